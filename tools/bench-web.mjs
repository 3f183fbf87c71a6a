// Measures the browser page against the native command line on one large
// voice (a benchmark, not a test): opening it with its survey, and a whole run
// of every option with its save in place, median of five each; and the size
// of the site, compressed. Usage (after tools/build-web.sh and a native build):
//   node tools/bench-web.mjs SITE NATIVE_BUILD [MIB]
import { execFileSync, spawnSync } from 'node:child_process';
import { copyFileSync, mkdtempSync, readdirSync, readFileSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { gzipSync } from 'node:zlib';

import { chromium } from '../web/node_modules/playwright-core/index.mjs';
import { serve } from '../web/serve.mjs';

const [site, native, mib = '64'] = process.argv.slice(2);
const work = mkdtempSync(join(tmpdir(), 'tarnwick-bench-'));
const voice = join(work, 'voice.vpm');
execFileSync(join(native, 'tools/make-demo-voice'), ['--size', mib, voice]);
const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];
const seconds = (from) => Number(process.hrtime.bigint() - from) / 1e9;

// The native command line, as whole processes.
function nativeRun(args, fresh) {
  const times = [];
  for (let i = 0; i < 5; ++i) {
    const file = join(work, `native-${i}.vpm`);
    if (fresh) copyFileSync(voice, file);
    const began = process.hrtime.bigint();
    spawnSync(join(native, 'cli/tts-tarnwick-cli'), [...args, fresh ? file : voice],
      { env: { ...process.env, XDG_DATA_HOME: join(work, 'data') } });
    times.push(seconds(began));
  }
  return median(times);
}
const nativeStatus = nativeRun(['status'], false);
const nativeApply = nativeRun(['apply', '--all'], true);

// The page, with the voice in its origin-private file system, opened through
// the page's own Open button.
const { server, url } = await serve(site);
const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
});
const opens = [];
const runs = [];
for (let i = 0; i < 5; ++i) {
  const context = await browser.newContext({ serviceWorkers: 'block' });
  await context.addInitScript(() => {
    window.showOpenFilePicker = async () => [await (await navigator.storage.getDirectory()).getFileHandle('voice.vpm')];
  });
  const page = await context.newPage();
  await page.goto(url);
  await page.waitForSelector('body[data-ready="true"]');
  // The voice into the page's private file system, a piece at a time.
  const bytes = readFileSync(voice);
  await page.evaluate(async () => {
    const handle = await (await navigator.storage.getDirectory()).getFileHandle('voice.vpm', { create: true });
    window.__writer = await handle.createWritable();
  });
  for (let at = 0; at < bytes.length; at += 4 << 20) {
    await page.evaluate(async (data) => {
      await window.__writer.write(Uint8Array.from(atob(data), (c) => c.charCodeAt(0)));
    }, bytes.subarray(at, at + (4 << 20)).toString('base64'));
  }
  await page.evaluate(async () => window.__writer.close());
  let began = process.hrtime.bigint();
  await page.click('#open-button');
  await page.waitForFunction(() => document.body.dataset.busy === 'false' && document.getElementById('readiness').textContent);
  opens.push(seconds(began));
  await page.evaluate(() => document.querySelectorAll('input[type=checkbox]').forEach((box) => { box.checked = true; }));
  began = process.hrtime.bigint();
  await page.click('#patch-button');
  await page.waitForSelector('#message[open]');
  runs.push(seconds(began));
  await context.close();
}
await browser.close();
server.close();

const siteBytes = (folder) => readdirSync(folder).reduce((sum, name) => {
  const path = join(folder, name);
  return sum + (statSync(path).isDirectory() ? siteBytes(path) : gzipSync(readFileSync(path), { level: 9 }).length);
}, 0);
const page = { open: median(opens), run: median(runs) };
console.log(`voice: ${mib} MiB, text-like; medians of 5`);
console.log(`open + survey: page ${page.open.toFixed(3)} s, native status ${nativeStatus.toFixed(3)} s, ratio ${(page.open / nativeStatus).toFixed(2)}`);
console.log(`whole run + save: page ${page.run.toFixed(3)} s, native apply --all ${nativeApply.toFixed(3)} s, ratio ${(page.run / nativeApply).toFixed(2)}`);
console.log(`site: ${(siteBytes(site) / 1024).toFixed(0)} KiB compressed (gzip -9, each file)`);
