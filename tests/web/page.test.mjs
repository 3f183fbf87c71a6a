// The browser page in headless Chromium, against the command line: the same
// messages in the same order, the same controls afterwards, the same bytes
// saved; both ways of saving; no request leaving the page; no accessibility
// violation; keyboard alone; a look at it on a laptop and a phone.
// Environment: TARNWICK_SITE (the built site), TARNWICK_CLI and
// TARNWICK_DEMO (the native command line and demo-voice tool), TARNWICK_SHOTS
// (where the screenshots go).
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { cpSync, mkdirSync, mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { chromium } from '../../web/node_modules/playwright-core/index.mjs';
import { serve } from '../../web/serve.mjs';
import { DEMO, commandLine, demo, optionNumbers, optionSets, voices, work } from './support.mjs';

const site = process.env.TARNWICK_SITE;
const shots = process.env.TARNWICK_SHOTS ?? join(tmpdir(), 'tarnwick-web-shots');
const axePath = new URL('../../web/node_modules/axe-core/axe.min.js', import.meta.url).pathname;

let browser;
let server;
let origin;

before(async () => {
  ({ server, url: origin } = await serve(site));
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-background-timer-throttling', '--disable-renderer-backgrounding', '--disable-backgrounding-occluded-windows',
           '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  await browser?.close();
  server?.close();
});

// ---- the page -------------------------------------------------------------

// A page whose open dialog answers with a file of the origin-private file
// system (written there first), or, with `picker` false, a page without one.
async function newPage({ picker = true, viewport = { width: 1280, height: 800 } } = {}) {
  const context = await browser.newContext({ viewport, serviceWorkers: 'block', acceptDownloads: true });
  if (picker) {
    await context.addInitScript(() => {
      window.showOpenFilePicker = async () => {
        const folder = await navigator.storage.getDirectory();
        return Promise.all((window.__voiceNames ?? [window.__voiceName]).map((name) => folder.getFileHandle(name)));
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

let caseNumber = 0;

describe('the page against the command line', () => {
  for (const [voiceName, make] of Object.entries(voices)) {
    for (const args of optionSets) {
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
          await tick(page, optionNumbers(args));
          await page.getByRole('button', { name: 'Patch & Save' }).click();
          said.push(...(await messagesUntilIdle(page)));
        }
        const after = await controls(page);

        assert.deepEqual(said, expected.messages);
        assert.deepEqual(await privateFile(page, name), expected.bytes);
        const saved = expected.status === 0;
        if (saved) {
          // The window closes after a save; the page returns to its start,
          // and keeps what it saved in view.
          assert.deepEqual(after, { patch: false, boxes: Array(20).fill(false), summary: '' });
          assert.match(await page.locator('#last-save-text').textContent(), new RegExp(`^Saved "${name}" with \\d+ changes?:$`));
          assert.equal(await page.evaluate(() => document.activeElement.id), 'last-save');
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

  test('without a way to write into the file, the patched voice is a download, told in the program\'s words', async () => {
    const bytes = DEMO();
    const expected = commandLine(bytes, ['--all']);
    const { page, context, requests } = await newPage({ picker: false });
    const path = join(work, 'Garmin voice.vpm');
    writeFileSync(path, bytes);
    const loaded = requests.length;
    const chooser = page.waitForEvent('filechooser');
    await page.getByRole('button', { name: 'Open TTS Voice File' }).click();
    await (await chooser).setFiles(path);
    await messagesUntilIdle(page);
    await tick(page, optionNumbers(['--all']));
    const downloaded = page.waitForEvent('download');
    await page.getByRole('button', { name: 'Patch & Save' }).click();
    const said = await messagesUntilIdle(page);
    const download = await downloaded;
    assert.equal(download.suggestedFilename(), 'Garmin voice.vpm');
    assert.deepEqual(readFileSync(await download.path()), expected.bytes);
    assert.deepEqual(said, expected.messages);
    assert.equal(said.at(-1), 'File patched successfully! Copy the VPM voice file back to your GSP.');
    assert.match(await page.locator('#last-save-how').textContent(), /downloaded as "Garmin voice.vpm"/);
    assert.equal(await page.locator('#last-save-list li').count(), 20);
    assert.deepEqual(requests.slice(loaded).filter((url) => !url.startsWith('blob:')), []);
    await context.close();
  });

  test('two tabs saving one file together: never two successes, never a lost change; the other opened again', async () => {
    const original = DEMO();
    const results = { 1: commandLine(original, ['--options', '1']).bytes, 3: commandLine(original, ['--options', '3']).bytes };
    const both = commandLine(original, ['--options', '1,3']).bytes;
    const context = await browser.newContext({ serviceWorkers: 'block' });
    await context.addInitScript(() => {
      window.showOpenFilePicker = async () => [await (await navigator.storage.getDirectory()).getFileHandle('shared.vpm')];
    });
    const tabs = [await context.newPage(), await context.newPage()];
    for (const tab of tabs) {
      await tab.goto(origin);
      await tab.waitForSelector('body[data-ready="true"]');
    }
    const outcomes = new Set();
    for (let round = 0; round < 20; ++round) {
      await putPrivateFile(tabs[0], 'shared.vpm', original);
      for (const [i, tab] of tabs.entries()) {
        await tab.bringToFront();  // a tab behind another draws no frames, and clicks wait for one
        await tab.getByRole('button', { name: 'Open TTS Voice File' }).click();
        await messagesUntilIdle(tab);
        await tick(tab, [i === 0 ? 1 : 3]);
      }
      await Promise.all(tabs.map((tab) => tab.evaluate(() => document.getElementById('patch-button').click())));
      const said = await Promise.all(tabs.map((tab) => messagesUntilIdle(tab)));
      const winners = said.map((texts, i) => (texts.at(-1)?.startsWith('File patched successfully!') ? i : -1)).filter((i) => i >= 0);
      assert.equal(winners.length, 1, `round ${round}: ${JSON.stringify(said)}`);
      const loser = said[1 - winners[0]];
      assert.match(loser.at(-1), /^Could not save the file "shared.vpm": (another tab of this page is saving it right now|it was changed by another program after it was opened; open it again)\. The file was left unchanged\.$/);
      outcomes.add(loser.at(-1).includes('another tab') ? 'locked out' : 'found changed');
      assert.deepEqual(await privateFile(tabs[0], 'shared.vpm'), results[winners[0] === 0 ? 1 : 3], `round ${round}`);
      // A copy of what the refused tab opened would drop the other's change:
      // it offers opening the file again, its tick kept, and then saves both.
      const refused = tabs[1 - winners[0]];
      await refused.bringToFront();
      assert.equal(await refused.getByRole('button', { name: 'Download Patched Copy' }).count(), 0);
      assert.match(await refused.locator('#offer-text').textContent(), /no longer as it was when it was opened here/);
      if (round === 0) {
        mkdirSync(shots, { recursive: true });
        await refused.screenshot({ path: join(shots, 'page-open-again.png'), fullPage: true });
      }
      await refused.getByRole('button', { name: 'Open Again' }).click();
      assert.deepEqual(await messagesUntilIdle(refused), []);
      assert.equal(await refused.locator(`#check-${winners[0] === 0 ? 3 : 1}`).isChecked(), true, `round ${round}`);
      await refused.getByRole('button', { name: 'Patch & Save' }).click();
      assert.match((await messagesUntilIdle(refused)).at(-1), /^File patched successfully!/);
      assert.deepEqual(await privateFile(refused, 'shared.vpm'), both, `round ${round}`);
    }
    console.log(`two tabs, 20 rounds: the second tab was ${[...outcomes].join(' or ')}`);
    await context.close();
  });

  // Each failure between open and save: its message, the file as it was, and
  // a patched copy offered where the file is unchanged.
  const failures = [
    ['the file removed', async (page) => page.evaluate(async () => (await navigator.storage.getDirectory()).removeEntry('failing.vpm')),
      'it was moved or deleted, or its device was removed, after it was opened', false],
    ['the prompt refused', async (page) => page.evaluate(() => {
      FileSystemHandle.prototype.queryPermission = async () => 'prompt';
      FileSystemHandle.prototype.requestPermission = async () => 'denied';
    }), 'this page was not allowed to write to it', true],
    ['a read-only device', async (page) => page.evaluate(() => {
      FileSystemFileHandle.prototype.createWritable = async () => { throw new DOMException('read-only', 'NoModificationAllowedError'); };
    }), 'the disk it is on is read-only', true],
    ['a full device', async (page) => page.evaluate(() => {
      const create = FileSystemFileHandle.prototype.createWritable;
      FileSystemFileHandle.prototype.createWritable = async function (options) {
        const writable = await create.call(this, options);
        writable.close = async () => {
          await writable.abort();
          throw new DOMException('would cause the application to exceed its storage quota.', 'QuotaExceededError');
        };
        return writable;
      };
    }), 'there is not enough free space on its device: the browser writes a patched copy of the whole file beside it ' +
      'before it replaces the file, so the device needs free space as large as the file', true],
  ];
  for (const [what, fail, reason, kept] of failures) {
    test(`${what} between open and save: told, the file untouched, a patched copy offered`, async () => {
      const bytes = DEMO();
      const { page, context, errors } = await newPage();
      await putPrivateFile(page, 'failing.vpm', bytes);
      await page.getByRole('button', { name: 'Open TTS Voice File' }).click();
      await messagesUntilIdle(page);
      await tick(page, [1, 2]);
      await fail(page);
      await page.getByRole('button', { name: 'Patch & Save' }).click();
      assert.deepEqual(await messagesUntilIdle(page), [`Could not save the file "failing.vpm": ${reason}. The file was left unchanged.`]);
      if (kept) assert.deepEqual(await privateFile(page, 'failing.vpm'), bytes);
      assert.equal(await page.locator('#offer').isVisible(), true);
      mkdirSync(shots, { recursive: true });
      await page.screenshot({ path: join(shots, `page-failed-${what.replaceAll(' ', '-')}.png`), fullPage: true });
      const downloaded = page.waitForEvent('download');
      await page.getByRole('button', { name: 'Download Patched Copy' }).click();
      assert.deepEqual(readFileSync(await (await downloaded).path()), commandLine(bytes, ['--options', '1,2']).bytes);
      assert.deepEqual(errors, []);
      await context.close();
    });
  }

  // Lasting storage asked for once, at the first recorded save; a refusal told once, on the page.
  for (const [what, granted] of [['granted', true], ['refused (a private window)', false]]) {
    test(`lasting storage for the history ${what}`, async () => {
      const { page, context } = await newPage();
      await page.evaluate((granted) => {
        window.__asked = 0;
        navigator.storage.persisted = async () => false;
        navigator.storage.persist = async () => { window.__asked += 1; return granted; };
      }, granted);
      await putPrivateFile(page, 'kept.vpm', DEMO());
      for (const k of [1, 2]) {
        await page.getByRole('button', { name: 'Open TTS Voice File' }).click();
        await messagesUntilIdle(page);
        await tick(page, [k]);
        await page.getByRole('button', { name: 'Patch & Save' }).click();
        assert.match((await messagesUntilIdle(page)).at(-1), /^File patched successfully!/);
      }
      assert.equal(await page.evaluate(() => window.__asked), 1);
      const note = page.locator('#history-note');
      assert.equal(await note.isVisible(), !granted);
      if (!granted) assert.match(await note.textContent(), /^This browser may clear what this page records of your patches/);
      await context.close();
    });
  }

  test('several files dropped at once open side by side, each refused as it would be alone', async () => {
    const { page, context } = await newPage();
    await page.evaluate(() => {
      const dropped = new DataTransfer();
      for (const name of ['a.vpm', 'b.vpm']) dropped.items.add(new File([new Uint8Array(64)], name));
      document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: dropped, bubbles: true, cancelable: true }));
    });
    await page.waitForSelector('#several-summary:not([hidden])');
    assert.deepEqual(await messagesUntilIdle(page), []);
    assert.equal(await page.locator('#several-closing').textContent(), '2 voices opened; 0 can be patched.');
    assert.deepEqual(await page.locator('#several-lines > li').allInnerTexts(), ['a.vpm', 'b.vpm'].map((name) =>
      `${name}: Refused: the file is as it was.\nThe specified file is not a valid TTS voice file.`));
    assert.deepEqual(await page.locator('#several-head th').allTextContents(),
      ['Change', 'a.vpm\nnot a voice file, 64 bytes', 'b.vpm\nnot a voice file, 64 bytes']);
    assert.equal(await page.locator('#patch-all-button').isDisabled(), true);
    assert.equal(await page.locator('#client').isVisible(), false);
    await page.getByRole('button', { name: 'Close' }).click();
    assert.equal(await page.locator('#open-button').isVisible(), true);
    await context.close();
  });

  test('an engine that cannot load is explained, and nothing can be opened', async () => {
    const context = await browser.newContext({ serviceWorkers: 'block' });
    const page = await context.newPage();
    await page.route('**/tarnwick.wasm', (route) => route.fulfill({ status: 404, body: 'not found' }));
    await page.goto(origin);
    await page.waitForSelector('body[data-ready="failed"]');
    assert.match(await page.locator('#loading').textContent(), /^This page cannot work in this browser: its engine could not be loaded .*No file was opened or changed\./);
    assert.equal(await page.locator('#open-button').isDisabled(), true);
    mkdirSync(shots, { recursive: true });
    await page.screenshot({ path: join(shots, 'page-engine-missing.png') });
    await context.close();
  });
});

describe('taking a patch back', () => {
  // Clicks "Undo Last Patch" and answers its question; what was asked and said.
  async function undo(page, yes) {
    await page.getByRole('button', { name: 'Undo Last Patch' }).click();
    const question = page.locator('#question');
    await question.waitFor({ state: 'visible' });
    const asked = await page.locator('#question-text').textContent();
    if (!yes) await page.screenshot({ path: join(shots, 'page-undo-question.png') });
    await page.getByRole('button', { name: yes ? 'Yes' : 'No' }).click();
    return { asked, said: await messagesUntilIdle(page) };
  }

  async function openAndPatch(page, numbers) {
    await page.getByRole('button', { name: 'Open TTS Voice File' }).click();
    await messagesUntilIdle(page);
    await tick(page, numbers);
    await page.getByRole('button', { name: 'Patch & Save' }).click();
    await messagesUntilIdle(page);
  }

  test('two patches, taken back one by one after a reload, in place: the original bytes exactly', async () => {
    const original = DEMO();
    const first = commandLine(original, ['--options', '1-3']).bytes;
    const { page, context, errors } = await newPage();
    await putPrivateFile(page, 'undo.vpm', original);
    await page.getByRole('button', { name: 'Open TTS Voice File' }).click();
    await messagesUntilIdle(page);
    assert.equal(await page.locator('#undo-row').isVisible(), false, 'nothing recorded yet');
    await tick(page, [1, 2, 3]);
    await page.getByRole('button', { name: 'Patch & Save' }).click();
    await messagesUntilIdle(page);
    await openAndPatch(page, [5]);

    // The history outlives the visit; what else the browser holds there
    // (a name with a folder in it, not bytes, too large, damaged) is passed over.
    await page.evaluate(() => new Promise((done, fail) => {
      const request = indexedDB.open('tts-tarnwick', 1);
      request.onerror = () => fail(request.error);
      request.onsuccess = () => {
        const store = request.result.transaction('history', 'readwrite').objectStore('history');
        store.put(new Uint8Array(40), '../elsewhere.record');
        store.put('not bytes', 'text.record');
        store.put(new Uint8Array(2 << 20), 'large.record');
        store.put(new Uint8Array(300).fill(7), 'damaged.record');
        store.transaction.oncomplete = () => done();
      };
    }));
    await page.reload();
    await page.waitForSelector('body[data-ready="true"]');
    await page.evaluate(() => { window.__voiceName = 'undo.vpm'; });
    await page.getByRole('button', { name: 'Open TTS Voice File' }).click();
    await messagesUntilIdle(page);
    assert.match(await page.locator('#last-patch').textContent(), /^Patched with this program on \d{1,2} \w+ \d{4}: 1 option$/);
    assert.match(await page.locator('#state-5').textContent(), /^changed \d{1,2} \w{3}$/);
    mkdirSync(shots, { recursive: true });
    await page.screenshot({ path: join(shots, 'page-undo-offered.png'), fullPage: true });

    const declined = await undo(page, false);
    assert.match(declined.asked, /^Take back the patch saved on /);
    assert.deepEqual(declined.said, []);
    assert.deepEqual(await privateFile(page, 'undo.vpm'), commandLine(first, ['--options', '5']).bytes);

    const steps = [[first, /: 3 options$/], [original, null]];
    for (const [bytes, next] of steps) {
      const { said } = await undo(page, true);
      assert.equal(said.length, 1);
      assert.match(said[0], /^Took back the patch saved on /);
      assert.deepEqual(await privateFile(page, 'undo.vpm'), bytes);
      assert.equal(await page.locator('#undo-row').isVisible(), next !== null);
      if (next) assert.match(await page.locator('#last-patch').textContent(), next);
    }
    assert.equal(await page.locator('#state-1').textContent(), 'ready');
    assert.deepEqual(errors, []);
    await context.close();
  });

  test('a voice the page may only read: the patch downloaded, and its undo downloaded in turn', async () => {
    const original = DEMO();
    const { page, context } = await newPage({ picker: false });
    const choose = async (path) => {
      const chooser = page.waitForEvent('filechooser');
      await page.getByRole('button', { name: 'Open TTS Voice File' }).click();
      await (await chooser).setFiles(path);
      await messagesUntilIdle(page);
    };
    const path = join(work, 'read only.vpm');
    writeFileSync(path, original);
    await choose(path);
    await tick(page, [4, 7]);
    const patched = page.waitForEvent('download');
    await page.getByRole('button', { name: 'Patch & Save' }).click();
    await messagesUntilIdle(page);
    await choose(await (await patched).path());
    assert.equal(await page.locator('#undo-row').isVisible(), true);

    const undone = page.waitForEvent('download');
    const { said } = await undo(page, true);
    assert.match(said[0], /^The voice as it was before the patch saved on .* \(2 options\) was downloaded as ".+" \(look in your browser's downloads\)\. The file ".+" on your device still holds that patch until you copy the download over it\.$/);
    assert.deepEqual(readFileSync(await (await undone).path()), original);
    assert.match(await page.locator('#description').textContent(), /^The downloaded copy of /);
    assert.equal(await page.locator('#undo-row').isVisible(), false);
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
      // Evaluated, not added as a script tag: the page's policy rightly refuses inline scripts.
      await page.evaluate(readFileSync(axePath, 'utf8'));
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
      assert.deepEqual(await violations(), [], `${size} after a save`);
      await page.screenshot({ path: join(shots, `page-${size}-saved.png`), fullPage: true });

      // Several voices at once: the table scrolls within its own box.
      const names = ['English.vpm', 'Karen & Lee.rgn', 'notes.vpm'];
      await putPrivateFile(page, names[0], demo('demo.vpm'));
      await putPrivateFile(page, names[1], demo('demo.rgn', '--rgn'));
      await putPrivateFile(page, names[2], Buffer.from('not a voice at all'));
      await page.evaluate((chosen) => { window.__voiceNames = chosen; }, names);
      await page.getByRole('button', { name: 'Open TTS Voice File' }).click();
      await page.waitForSelector('#several-summary:not([hidden])');
      await messagesUntilIdle(page);
      assert.deepEqual(await violations(), [], `${size} with several voices open`);
      const cut = await page.evaluate(() => [...document.querySelectorAll('#several button, #several label, #several p, #several th, #several li')]
        .filter((e) => e.offsetParent !== null && (e.scrollWidth > e.clientWidth + 1 ||
          (!e.closest('.several-scroll') && e.getBoundingClientRect().right > innerWidth + 1)))
        .map((e) => e.id || e.textContent.slice(0, 30)));
      assert.deepEqual(cut, [], `${size} with several voices open`);
      await page.screenshot({ path: join(shots, `page-${size}-several.png`), fullPage: true });
      await page.locator('#several-check-1').check();
      await page.getByRole('button', { name: 'Patch & Save All' }).click();
      await messagesUntilIdle(page);
      assert.equal(await page.locator('#several-closing').textContent(), 'Saved 2 of 3 voices.');
      assert.deepEqual(await violations(), [], `${size} after saving several voices`);
      await page.screenshot({ path: join(shots, `page-${size}-several-saved.png`), fullPage: true });
      await context.close();
    }
  });
});

// Until the page's service worker controls it.
async function controlled(page) {
  await page.waitForSelector('body[data-ready="true"]');
  await page.evaluate(async () => {
    await navigator.serviceWorker.ready;
    if (!navigator.serviceWorker.controller) {
      await new Promise((done) => navigator.serviceWorker.addEventListener('controllerchange', done, { once: true }));
    }
  });
}

describe('offline', () => {
  test('a rebuild with one file changed is offered, and served after one reload', async () => {
    const copy = mkdtempSync(join(tmpdir(), 'tarnwick-site-'));
    cpSync(site, copy, { recursive: true });
    const { server: own, url } = await serve(copy);
    const context = await browser.newContext();
    const page = await context.newPage();
    await page.goto(url);
    await controlled(page);
    const css = join(copy, 'style.css');
    writeFileSync(css, `${readFileSync(css, 'utf8')}\n/* rebuilt */\n`);
    execFileSync(process.execPath, [new URL('../../web/stamp-site.mjs', import.meta.url).pathname, copy]);
    await page.reload();
    await page.waitForSelector('#update:not([hidden])');
    assert.equal(await page.locator('#update-text').textContent(), 'A new version is available —');
    assert.doesNotMatch(await page.evaluate(async () => (await fetch('style.css')).text()), /rebuilt/);
    mkdirSync(shots, { recursive: true });
    await page.screenshot({ path: join(shots, 'page-new-version.png') });
    const reloaded = page.waitForEvent('load');
    await page.getByRole('button', { name: 'Reload' }).click();
    await reloaded;
    await controlled(page);
    assert.match(await page.evaluate(async () => (await fetch('style.css')).text()), /rebuilt/);
    assert.equal(await page.locator('#update').isHidden(), true);
    await context.close();
    own.close();
  });

  test('once loaded, the page works without the network, as an app that opens voice files, within its policy', async () => {
    const context = await browser.newContext();
    await context.addInitScript(() => {
      window.breaches = [];
      document.addEventListener('securitypolicyviolation', (e) => window.breaches.push(`${e.violatedDirective} ${e.blockedURI}`));
    });
    const page = await context.newPage();
    await page.goto(origin);
    await controlled(page);
    await context.setOffline(true);
    server.closeAllConnections?.();
    await page.reload();
    await page.waitForSelector('body[data-ready="true"]');
    assert.equal(await page.title(), (await page.evaluate(() => document.getElementById('title').textContent)));
    const manifest = await page.evaluate(async () => (await fetch('manifest.webmanifest')).json());
    assert.deepEqual(manifest.file_handlers[0].accept, { 'application/x-tts-tarnwick-voice': ['.vpm', '.rgn'] });
    assert.deepEqual(await page.evaluate(() => window.breaches), [], 'nothing the page\'s policy forbids');
    await context.close();
  });
});
