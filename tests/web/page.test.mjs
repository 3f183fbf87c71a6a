// The browser page in headless Chromium, against the command line: the same
// messages in the same order, the same controls afterwards, the same bytes
// saved; both ways of saving; no request leaving the page; no accessibility
// violation; keyboard alone; a look at it on a laptop and a phone.
// Environment: TARNWICK_SITE (the built site), TARNWICK_CLI and
// TARNWICK_DEMO (the native command line and demo-voice tool), TARNWICK_SHOTS
// (where the screenshots go).
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { chromium } from '../../web/node_modules/playwright-core/index.mjs';
import { serve } from '../../web/serve.mjs';

const site = process.env.TARNWICK_SITE;
const cli = process.env.TARNWICK_CLI;
const demoTool = process.env.TARNWICK_DEMO;
const shots = process.env.TARNWICK_SHOTS ?? join(tmpdir(), 'tarnwick-web-shots');
const axePath = new URL('../../web/node_modules/axe-core/axe.min.js', import.meta.url).pathname;
const work = mkdtempSync(join(tmpdir(), 'tarnwick-web-'));

let browser;
let server;
let origin;

before(async () => {
  ({ server, url: origin } = await serve(site));
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  await browser?.close();
  server?.close();
});

// ---- voices, and what the command line makes of them ---------------------

const demo = (name, ...flags) => {
  const path = join(work, name);
  execFileSync(demoTool, [...flags, path]);
  return readFileSync(path);
};

function replaced(bytes, from, to) {
  const out = Buffer.from(bytes);
  const at = out.indexOf(Buffer.from(from, 'hex'));
  assert.notEqual(at, -1, `no ${from} to replace`);
  Buffer.from(to, 'hex').copy(out, at);
  return out;
}

let caseNumber = 0;

// `apply` on a copy: the window's messages in order (information on standard
// output, refusals and failures on standard error, the file named before
// them), what it listed for each option, and the bytes it left.
function commandLine(bytes, args) {
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

// ---- the page -------------------------------------------------------------

// A page whose open dialog answers with a file of the origin-private file
// system (written there first), or, with `picker` false, a page without one.
async function newPage({ picker = true, viewport = { width: 1280, height: 800 } } = {}) {
  const context = await browser.newContext({ viewport, serviceWorkers: 'block', acceptDownloads: true });
  if (picker) {
    await context.addInitScript(() => {
      window.showOpenFilePicker = async () => {
        const folder = await navigator.storage.getDirectory();
        return [await folder.getFileHandle(window.__voiceName)];
      };
    });
  } else {
    await context.addInitScript(() => { delete window.showOpenFilePicker; });
  }
  const page = await context.newPage();
  const requests = [];
  page.on('request', (request) => requests.push(request.url()));
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  await page.goto(origin);
  await page.waitForSelector('body[data-ready="true"]');
  return { page, context, requests, errors };
}

async function putPrivateFile(page, name, bytes) {
  await page.evaluate(async ({ name, data }) => {
    const folder = await navigator.storage.getDirectory();
    const handle = await folder.getFileHandle(name, { create: true });
    const writable = await handle.createWritable();
    await writable.write(Uint8Array.from(atob(data), (c) => c.charCodeAt(0)));
    await writable.close();
    window.__voiceName = name;
  }, { name, data: Buffer.from(bytes).toString('base64') });
}

async function privateFile(page, name) {
  const data = await page.evaluate(async (name) => {
    const folder = await navigator.storage.getDirectory();
    const file = await (await folder.getFileHandle(name)).getFile();
    const bytes = new Uint8Array(await file.arrayBuffer());
    let text = '';
    for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(text);
  }, name);
  return Buffer.from(data, 'base64');
}

// Answers every message box with OK until the page is idle; their texts in
// order. The next box may open as soon as one is answered: each box counts.
async function messagesUntilIdle(page) {
  const texts = [];
  let answered = await page.evaluate(() => {
    const box = document.getElementById('message');
    const shown = Number(box.dataset.shown ?? 0);
    return box.open ? shown - 1 : shown;
  });
  for (;;) {
    const state = await page.waitForFunction((answered) => {
      const box = document.getElementById('message');
      const shown = Number(box.dataset.shown ?? 0);
      if (box.open && shown > answered) return shown;
      return !box.open && document.body.dataset.busy === 'false' ? 'idle' : false;
    }, answered, { polling: 20 });
    const seen = await state.jsonValue();
    if (seen === 'idle') return texts;
    texts.push(await page.locator('#message-text').textContent());
    answered = seen;
    await page.getByRole('button', { name: 'OK' }).click();
  }
}

async function optionNumbers(args) {
  if (args[0] === '--all') return Array.from({ length: 20 }, (_, i) => i + 1);
  const numbers = [];
  for (const piece of args[1].split(',')) {
    const [first, last = first] = piece.split('-').map(Number);
    for (let k = first; k <= last; ++k) numbers.push(k);
  }
  return numbers;
}

async function tick(page, numbers) {
  for (const k of numbers) {
    const box = page.locator(`#check-${k}`);
    const tab = await box.evaluate((element) => element.closest('[role="tabpanel"]').getAttribute('aria-labelledby'));
    await page.locator(`#${tab}`).click();
    await box.check();
  }
}

async function controls(page) {
  return page.evaluate(() => ({
    patch: !document.getElementById('patch-button').disabled,
    boxes: Array.from({ length: 20 }, (_, i) => !document.getElementById(`check-${i + 1}`).disabled),
    summary: document.getElementById('description').textContent,
  }));
}

// ---- the tests --------------------------------------------------------------

describe('the page against the command line', () => {
  const DEMO = () => demo('demo.vpm');
  const voices = {
    'the demo voice': DEMO,
    'the container kind': () => demo('demo.rgn', '--rgn'),
    'a half-patched voice': () => commandLine(DEMO(), ['--options', '1-10']).bytes,
    // Option 15's lead (" Maintenance", " Maint") gone: its fallback decides.
    'option 15 by its fallback': () => replaced(DEMO(), '204D61696E74656E616E6365', '584D61696E74656E616E6365'),
    'not a voice': () => Buffer.from('not a voice at all, just some text that is long enough'),
    'an empty file': () => Buffer.alloc(0),
    'no "DLLIMG  BIN"': () => replaced(DEMO(), Buffer.from('DLLIMG  BIN').toString('hex'), Buffer.from('DLLIMX  BIN').toString('hex')),
  };
  const sets = [['--all'], ['--options', '1,3,15,19'], ['--options', '7,10,20']];

  for (const [voiceName, make] of Object.entries(voices)) {
    for (const args of sets) {
      test(`${voiceName}, ${args.join(' ')}`, async () => {
        const bytes = make();
        const expected = commandLine(bytes, args);
        const { page, context, requests, errors } = await newPage();
        const name = `voice-${++caseNumber}.vpm`;
        await putPrivateFile(page, name, bytes);
        const loaded = requests.length;

        await page.getByRole('button', { name: 'Open TTS Voice File' }).click();
        const said = await messagesUntilIdle(page);
        if (!(await page.locator('#patch-button').isDisabled())) {
          await tick(page, await optionNumbers(args));
          await page.getByRole('button', { name: 'Patch & Save' }).click();
          said.push(...(await messagesUntilIdle(page)));
        }
        const after = await controls(page);

        assert.deepEqual(said, expected.messages);
        assert.deepEqual(await privateFile(page, name), expected.bytes);
        const saved = expected.status === 0;
        if (saved) {
          // The window closes after a save; the page returns to its start.
          assert.deepEqual(after, { patch: false, boxes: Array(20).fill(false), summary: '' });
        } else if (expected.listed.length > 0) {
          assert.equal(after.patch, false);
          for (const [number, state] of expected.listed) {
            assert.equal(after.boxes[Number(number) - 1], state === 'changed', `box ${number}`);
          }
        }
        assert.deepEqual(requests.slice(loaded), [], 'no request after the page had loaded');
        assert.deepEqual(errors, []);
        await context.close();
      });
    }
  }
});

describe('saving', () => {
  test('a file changed between open and save is refused and left as it was', async () => {
    const { page, context } = await newPage();
    await putPrivateFile(page, 'changed.vpm', demo('demo.vpm'));
    await page.getByRole('button', { name: 'Open TTS Voice File' }).click();
    await messagesUntilIdle(page);
    // Another program writes one byte far from every range.
    await page.evaluate(async () => {
      const folder = await navigator.storage.getDirectory();
      const writable = await (await folder.getFileHandle('changed.vpm')).createWritable({ keepExistingData: true });
      await writable.write({ type: 'write', position: 100, data: new Uint8Array([0x42]) });
      await writable.close();
    });
    const changed = await privateFile(page, 'changed.vpm');
    await tick(page, [1]);
    await page.getByRole('button', { name: 'Patch & Save' }).click();
    assert.deepEqual(await messagesUntilIdle(page), [
      'Could not save the file "changed.vpm": it was changed by another program after it was opened; open it again. ' +
        'The file was left unchanged.',
    ]);
    assert.deepEqual(await privateFile(page, 'changed.vpm'), changed);
    assert.equal(await page.locator('#patch-button').isDisabled(), false);
    await context.close();
  });

  test('without a way to write into the file, the patched voice is a download', async () => {
    const bytes = demo('demo.vpm');
    const expected = commandLine(bytes, ['--all']);
    const { page, context, requests } = await newPage({ picker: false });
    const path = join(work, 'Garmin voice.vpm');
    writeFileSync(path, bytes);
    const loaded = requests.length;
    const chooser = page.waitForEvent('filechooser');
    await page.getByRole('button', { name: 'Open TTS Voice File' }).click();
    await (await chooser).setFiles(path);
    await messagesUntilIdle(page);
    await tick(page, await optionNumbers(['--all']));
    const downloaded = page.waitForEvent('download');
    await page.getByRole('button', { name: 'Patch & Save' }).click();
    const said = await messagesUntilIdle(page);
    const download = await downloaded;
    assert.equal(download.suggestedFilename(), 'Garmin voice.vpm');
    assert.deepEqual(readFileSync(await download.path()), expected.bytes);
    assert.equal(said.at(-1), 'This browser cannot write into the file you opened, so the patched voice was saved as ' +
      'a download named "Garmin voice.vpm". Copy that file over the original on your device to use it.');
    assert.deepEqual(requests.slice(loaded).filter((url) => !url.startsWith('blob:')), []);
    await context.close();
  });
});

describe('reach', () => {
  test('the keyboard alone opens, ticks, patches and answers every box', async () => {
    const { page, context } = await newPage();
    await putPrivateFile(page, 'keys.vpm', demo('demo.vpm'));
    await page.keyboard.press('Tab');  // About
    await page.keyboard.press('Tab');  // Open
    await page.keyboard.press('Enter');
    assert.deepEqual(await messagesUntilIdle(page), []);
    await page.keyboard.press('Tab');  // the selected tab
    await page.keyboard.press('ArrowLeft');  // English
    await page.keyboard.press('Tab');  // its first box
    await page.keyboard.press('Space');
    assert.equal(await page.locator('#check-1').isChecked(), true);
    await page.keyboard.press('Shift+Tab');
    await page.keyboard.press('ArrowRight');  // Jack & Jill & Samantha
    for (let i = 0; i < 5; ++i) await page.keyboard.press('Tab');  // four boxes, then Patch & Save
    assert.equal(await page.evaluate(() => document.activeElement.id), 'patch-button');
    await page.keyboard.press('Enter');
    await page.waitForSelector('#message[open]');
    assert.equal(await page.locator('#message-text').textContent(),
      'File patched successfully! Copy the VPM voice file back to your GSP.');
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => document.body.dataset.busy === 'false' && !document.getElementById('message').open);
    // About, and Escape closes it.
    for (let i = 0; i < 10 && (await page.evaluate(() => document.activeElement.id)) !== 'about-button'; ++i) {
      await page.keyboard.press('Tab');
    }
    await page.keyboard.press('Enter');
    assert.equal(await page.locator('#about').isVisible(), true);
    await page.keyboard.press('Escape');
    assert.equal(await page.locator('#about').isVisible(), false);
    await context.close();
  });

  test('no accessibility violation, nothing clipped or out of reach, on a laptop and a phone', async () => {
    mkdirSync(shots, { recursive: true });
    for (const [size, viewport] of [['1280x800', { width: 1280, height: 800 }], ['390x844', { width: 390, height: 844 }]]) {
      const { page, context } = await newPage({ viewport });
      await page.addScriptTag({ path: axePath });
      const violations = async () => (await page.evaluate(() => window.axe.run())).violations
        .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
      assert.deepEqual(await violations(), [], `${size} at start`);
      await putPrivateFile(page, 'look.vpm', demo('demo.vpm'));
      await page.getByRole('button', { name: 'Open TTS Voice File' }).click();
      await messagesUntilIdle(page);
      assert.deepEqual(await violations(), [], `${size} with a voice open`);
      // Nothing wider than the page, no text cut off in its box.
      const overflowing = await page.evaluate(() => [...document.querySelectorAll('button, label, p, span, h1, [role=tab]')]
        .filter((e) => e.offsetParent !== null && (e.scrollWidth > e.clientWidth + 1 || e.getBoundingClientRect().right > innerWidth + 1))
        .map((e) => e.id || e.textContent.slice(0, 30)));
      assert.deepEqual(overflowing, [], size);
      await page.screenshot({ path: join(shots, `page-${size}-voice-open.png`), fullPage: true });
      await tick(page, [2]);
      await page.getByRole('button', { name: 'Patch & Save' }).click();
      await page.waitForSelector('#message[open]');
      assert.deepEqual(await violations(), [], `${size} with a message shown`);
      await page.screenshot({ path: join(shots, `page-${size}-message.png`) });
      await messagesUntilIdle(page);
      await context.close();
    }
  });
});

describe('offline', () => {
  test('once loaded, the page works without the network, as an app that opens voice files', async () => {
    const context = await browser.newContext();
    const page = await context.newPage();
    await page.goto(origin);
    await page.waitForSelector('body[data-ready="true"]');
    await page.evaluate(async () => {
      await navigator.serviceWorker.ready;
      if (!navigator.serviceWorker.controller) {
        await new Promise((done) => navigator.serviceWorker.addEventListener('controllerchange', done, { once: true }));
      }
    });
    await context.setOffline(true);
    server.closeAllConnections?.();
    await page.reload();
    await page.waitForSelector('body[data-ready="true"]');
    assert.equal(await page.title(), (await page.evaluate(() => document.getElementById('title').textContent)));
    const manifest = await page.evaluate(async () => (await fetch('manifest.webmanifest')).json());
    assert.deepEqual(manifest.file_handlers[0].accept, { 'application/x-tts-tarnwick-voice': ['.vpm', '.rgn'] });
    await context.close();
  });
});
