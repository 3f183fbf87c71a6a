// What the page's tests share: voices made by the demo tool, what the native
// command line makes of them, and the option numbers of its arguments.
// Environment: TARNWICK_CLI and TARNWICK_DEMO (the native command line and
// demo-voice tool).
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const cli = process.env.TARNWICK_CLI;
const demoTool = process.env.TARNWICK_DEMO;
export const work = mkdtempSync(join(tmpdir(), 'tarnwick-web-'));

export const demo = (name, ...flags) => {
  const path = join(work, name);
  execFileSync(demoTool, [...flags, path]);
  return readFileSync(path);
};

export function replaced(bytes, from, to) {
  const out = Buffer.from(bytes);
  const at = out.indexOf(Buffer.from(from, 'hex'));
  assert.notEqual(at, -1, `no ${from} to replace`);
  Buffer.from(to, 'hex').copy(out, at);
  return out;
}

// `apply` on a copy: the window's messages in order (information on standard
// output, refusals and failures on standard error, the file named before
// them), what it listed for each option, and the bytes it left.
export function commandLine(bytes, args) {
  const dir = mkdtempSync(join(work, 'cli-'));
  const path = join(dir, 'voice.vpm');
  writeFileSync(path, bytes);
  const run = spawnSync(cli, ['apply', ...args, path], { env: { ...process.env, XDG_DATA_HOME: join(dir, 'data') } });
  const out = run.stdout.toString().split('\n').filter((line) => line && line !== path);
  const prefix = `tts-tarnwick-cli: ${path}: `;
  const errors = run.stderr.toString().split('\n').filter(Boolean).map((line) => line.replace(prefix, ''));
  return {
    status: run.status,
    messages: [...out.filter((line) => !line.startsWith('  ')), ...errors],
    listed: out.filter((line) => line.startsWith('  ')).map((line) => line.trim().split(/\s{2,}/)),
    bytes: readFileSync(path),
  };
}

export function optionNumbers(args) {
  if (args[0] === '--all') return Array.from({ length: 20 }, (_, i) => i + 1);
  const numbers = [];
  for (const piece of args[1].split(',')) {
    const [first, last = first] = piece.split('-').map(Number);
    for (let k = first; k <= last; ++k) numbers.push(k);
  }
  return numbers;
}

// The voices the page is compared on, and the options ticked.
export const DEMO = () => demo('demo.vpm');
export const voices = {
  'the demo voice': DEMO,
  'the container kind': () => demo('demo.rgn', '--rgn'),
  'a half-patched voice': () => commandLine(DEMO(), ['--options', '1-10']).bytes,
  // Option 15's lead (" Maintenance", " Maint") gone: its fallback decides.
  'option 15 by its fallback': () => replaced(DEMO(), '204D61696E74656E616E6365', '584D61696E74656E616E6365'),
  'not a voice': () => Buffer.from('not a voice at all, just some text that is long enough'),
  'an empty file': () => Buffer.alloc(0),
  'no "DLLIMG  BIN"': () => replaced(DEMO(), Buffer.from('DLLIMG  BIN').toString('hex'), Buffer.from('DLLIMX  BIN').toString('hex')),
};
// Just larger than the page reads in one piece: read in the browser's own chunks.
export const largeVoice = () => demo('large.vpm', '--size', '17');
export const optionSets = [['--all'], ['--options', '1,3,15,19'], ['--options', '7,10,20']];
