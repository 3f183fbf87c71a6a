// The page in the three browser engines people use, from Debian's packages:
// Chromium (playwright-core), Firefox ESR (puppeteer-core over WebDriver
// BiDi) and WebKitGTK's MiniBrowser (W3C WebDriver, WebKitWebDriver). In
// each: a voice opened through the file input, the survey, a run, the patched
// voice offered for download with the command line's bytes, the messages in
// the command line's order, no accessibility violation, no request off the
// page's origin. WebKit needs a display (test-web.sh runs these under Xvfb).
// Environment: TARNWICK_SITE, and support.mjs's.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createServer } from 'node:net';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

import { chromium } from '../../web/node_modules/playwright-core/index.mjs';
import puppeteer from '../../web/node_modules/puppeteer-core/lib/puppeteer/puppeteer-core.js';
import { serve } from '../../web/serve.mjs';
import { unzipSync } from '../../web/node_modules/fflate/esm/index.mjs';
import { commandLine, largeVoice, optionNumbers, voices, work } from './support.mjs';

const axeSource = readFileSync(new URL('../../web/node_modules/axe-core/axe.min.js', import.meta.url), 'utf8');

// ---- one small driver for each engine --------------------------------------
// run(source, arg): the body of an async function of `arg`, run in the page.

function viaPage(page) {
  return {
    run: (source, arg = null) => page.evaluate(`(async (arg) => { ${source} })(${JSON.stringify(arg)})`),
    click: (css) => page.click(css),
    upload: async (css, path) => {
      const paths = [path].flat();
      const input = await page.$(css);
      await (input.setInputFiles ? input.setInputFiles(paths) : input.uploadFile(...paths));
    },
    load: (url) => page.goto(url),
  };
}

const engines = {
  Chromium: async () => {
    const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox', '--disable-gpu'] });
    return {
      version: browser.version(),
      page: async () => {
        const context = await browser.newContext({ serviceWorkers: 'block' });
        return { ...viaPage(await context.newPage()), close: () => context.close() };
      },
      quit: () => browser.close(),
    };
  },
  'Firefox ESR': async () => {
    const browser = await puppeteer.launch({ browser: 'firefox', executablePath: '/usr/lib/firefox-esr/firefox-esr',
      headless: true });
    return {
      version: await browser.version(),
      page: async () => {
        const page = await browser.newPage();
        return { ...viaPage(page), close: () => page.close() };
      },
      quit: () => browser.close(),
    };
  },
  WebKitGTK: async () => {
    const port = 20000 + Math.floor(Math.random() * 20000);
    const driver = spawn('WebKitWebDriver', [`--port=${port}`], { stdio: 'ignore' });
    const call = async (method, path, body) => {
      const response = await fetch(`http://127.0.0.1:${port}${path}`, {
        method, headers: { 'content-type': 'application/json' }, body: body && JSON.stringify(body),
      });
      const { value } = await response.json();
      if (value?.error) throw new Error(`WebDriver ${path}: ${value.error}: ${value.message}`);
      return value;
    };
    let session;
    for (let tries = 0; !session; ++tries) {
      try {
        session = await call('POST', '/session', { capabilities: { alwaysMatch: { 'webkitgtk:browserOptions': {
          binary: '/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser', args: ['--automation'] } } } });
      } catch (error) {
        if (tries > 50) throw error;
        await new Promise((done) => setTimeout(done, 100));
      }
    }
    const at = `/session/${session.sessionId}`;
    const element = async (css) => Object.values(await call('POST', `${at}/element`, { using: 'css selector', value: css }))[0];
    const run = async (source, arg = null) => {
      const value = await call('POST', `${at}/execute/async`, {
        script: `const done = arguments[1]; (async (arg) => { ${source} })(arguments[0]).then(done, (e) => done({ thrown: String(e) }));`,
        args: [arg],
      });
      if (value?.thrown) throw new Error(value.thrown);
      return value;
    };
    const page = {
      run,
      click: async (css) => call('POST', `${at}/element/${await element(css)}/click`, {}),
      upload: async (css, path) => call('POST', `${at}/element/${await element(css)}/value`, { text: [path].flat().join('\n') }),
      load: (url) => call('POST', `${at}/url`, { url }),
      close: async () => {},
    };
    return {
      version: `MiniBrowser ${session.capabilities.browserVersion}`,
      page: async () => page,
      quit: async () => {
        await call('DELETE', at).catch(() => {});
        driver.kill();
      },
    };
  },
};

// ---- what every engine is asked ---------------------------------------------

async function waitFor(page, source, arg) {
  for (const start = Date.now(); Date.now() - start < 30_000;) {
    const value = await page.run(source, arg);
    if (value !== false && value !== null && value !== undefined) return value;
    await new Promise((done) => setTimeout(done, 25));
  }
  throw new Error(`timed out waiting for: ${source}`);
}

// Answers every message box with OK until the page is idle; their texts in order.
async function messagesUntilIdle(page) {
  const texts = [];
  let answered = await page.run(`const box = document.getElementById('message');
    const shown = Number(box.dataset.shown ?? 0); return box.open ? shown - 1 : shown;`);
  for (;;) {
    const seen = await waitFor(page, `const box = document.getElementById('message');
      const shown = Number(box.dataset.shown ?? 0);
      if (box.open && shown > arg) return [shown, document.getElementById('message-text').textContent];
      return !box.open && document.body.dataset.busy === 'false' ? 'idle' : false;`, answered);
    if (seen === 'idle') return texts;
    [answered] = seen;
    texts.push(seen[1]);
    await page.click('#message-ok');
  }
}

async function tick(page, numbers) {
  for (const k of numbers) {
    const tab = await page.run(`return document.getElementById('check-' + arg).closest('[role="tabpanel"]').getAttribute('aria-labelledby');`, k);
    await page.click(`#${tab}`);
    await page.click(`#check-${k}`);
  }
}

// The page's downloads, kept instead of made: the name and the bytes, read
// from the Blob itself (the page's policy lets nothing fetch a blob: URL).
// And every breach of the page's policy it reports.
const keepDownloads = `window.kept = [];
  const blobs = new Map();
  const create = URL.createObjectURL;
  URL.createObjectURL = (blob) => { const url = create(blob); blobs.set(url, blob); return url; };
  const click = HTMLAnchorElement.prototype.click;
  HTMLAnchorElement.prototype.click = function () {
    if (!this.download) return click.call(this);
    const name = this.download;
    window.kept.push(blobs.get(this.href).arrayBuffer().then((b) => {
      let text = '';
      const bytes = new Uint8Array(b);
      for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
      return { name, data: btoa(text) };
    }));
  };
  window.breaches = [];
  document.addEventListener('securitypolicyviolation', (e) => window.breaches.push(\`\${e.violatedDirective} \${e.blockedURI}\`));
  return true;`;

const cases = [
  ['the demo voice', ['--all']],
  ['the demo voice', ['--options', '1,3,15,19']],
  ['the container kind', ['--options', '7,10,20']],
  ['a half-patched voice', ['--all']],
  ['not a voice', ['--all']],
  ['a voice larger than one read', ['--options', '1,20']],
];

// A page of `engine` ready, its downloads kept, and `bytes` written as `name`
// for the file input; the page and the file's path.
async function readyPage(engine, name, bytes) {
  const path = join(work, name);
  writeFileSync(path, bytes);
  const page = await engine.page();
  await page.load(origin);
  await waitFor(page, `return document.body.dataset.ready === 'true';`);
  await page.run(keepDownloads);
  return { page, path };
}

// A listener on another port of this computer that keeps the first line of
// whatever reaches it. (Chromium connects ahead for a form it then blocks, and
// sends nothing: a connection alone carries no byte of a voice.)
function listen() {
  return new Promise((done) => {
    const received = [];
    const listener = createServer((socket) => {
      socket.once('data', (data) => { received.push(data.toString().split('\r\n')[0]); socket.destroy(); });
    });
    listener.listen(0, '127.0.0.1', () => done({ port: listener.address().port, received, close: () => listener.close() }));
  });
}

let server;
let origin;
before(async () => { ({ server, url: origin } = await serve(process.env.TARNWICK_SITE)); });
after(() => server?.close());

for (const [engineName, start] of Object.entries(engines)) {
  describe(`the page in ${engineName}`, () => {
    let engine;
    before(async () => {
      engine = await start();
      console.log(`${engineName}: ${engine.version}`);
    });
    after(async () => engine?.quit());

    let caseNumber = 0;
    for (const [voiceName, args] of cases) {
      test(`${voiceName}, ${args.join(' ')}: the command line's messages and bytes, as a download`, async () => {
        const bytes = { ...voices, 'a voice larger than one read': largeVoice }[voiceName]();
        const expected = commandLine(bytes, args);
        const name = `${engineName.split(' ')[0]}-${++caseNumber}.vpm`;
        const { page, path } = await readyPage(engine, name, bytes);

        await page.upload('#file-input', path);
        const said = await messagesUntilIdle(page);
        if (caseNumber === 1) {
          assert.deepEqual(await page.run(`${axeSource}; return (await axe.run()).violations.map((v) => v.id);`), [],
            'no accessibility violation with a voice open');
        }
        if (await page.run(`return !document.getElementById('patch-button').disabled;`)) {
          await tick(page, optionNumbers(args));
          await page.click('#patch-button');
          said.push(...(await messagesUntilIdle(page)));
        }
        assert.deepEqual(said, expected.messages);
        const downloads = await page.run('return Promise.all(window.kept);');
        if (expected.status === 0) {
          assert.deepEqual(downloads.map((d) => d.name), [name]);
          assert.deepEqual(Buffer.from(downloads[0].data, 'base64'), expected.bytes);
          assert.match(await page.run(`return document.getElementById('last-save').textContent;`), new RegExp(name));
        } else {
          assert.deepEqual(downloads, []);
        }
        assert.deepEqual(await page.run(`return performance.getEntriesByType('resource').map((e) => e.name)
          .filter((url) => !url.startsWith(location.origin) && !url.startsWith('blob:'));`), [], 'nothing off the origin');
        assert.deepEqual(await page.run('return window.breaches;'), [], 'nothing the page\'s policy forbids');
        await page.close();
      });
    }

    test('three voices at once: each patched as the command line patches it alone, in one zip, and taken back', async () => {
      const made = {
        'English.vpm': voices['the demo voice'](),
        'Karen & Lee.rgn': voices['the container kind'](),
        'Julie.vpm': voices['a half-patched voice'](),
      };
      const args = ['--options', '1,12,19'];
      const { page } = await readyPage(engine, 'unused.vpm', Buffer.alloc(0));
      const paths = Object.entries(made).map(([name, bytes]) => {
        const path = join(work, `${engineName.split(' ')[0]}-batch-${name}`);
        writeFileSync(path, bytes);
        return path;
      });
      await page.upload('#file-input', paths);
      await waitFor(page, `return !document.getElementById('several-summary').hidden && document.body.dataset.busy === 'false';`);
      for (const k of optionNumbers(args)) {
        // In the middle of the table's box, clear of its header that stays in view.
        await page.run(`document.getElementById('several-check-' + arg).scrollIntoView({ block: 'center' }); return true;`, k);
        await page.click(`#several-check-${k}`);
      }
      await page.click('#patch-all-button');
      assert.deepEqual(await messagesUntilIdle(page), [], 'no message box');
      assert.equal(await page.run(`return document.getElementById('several-closing').textContent;`), 'Saved 3 of 3 voices.');
      const [zip] = await page.run('return Promise.all(window.kept);');
      assert.equal(zip.name, 'TTS_Tarnwick patched voices.zip');
      const inside = unzipSync(new Uint8Array(Buffer.from(zip.data, 'base64')));
      assert.deepEqual(Object.keys(inside).sort(), paths.map((path) => path.split('/').pop()).sort());
      for (const [name, bytes] of Object.entries(made)) {
        const entry = `${engineName.split(' ')[0]}-batch-${name}`;
        assert.deepEqual(Buffer.from(inside[entry]), commandLine(bytes, args).bytes, name);
      }
      // Undo All, after its question: the voices as they were, in a zip of their own.
      await page.click('#undo-all-button');
      await waitFor(page, `return document.getElementById('question').open;`);
      await page.click('#question-yes');
      await messagesUntilIdle(page);
      const [, before] = await page.run('return Promise.all(window.kept);');
      assert.equal(before.name, 'TTS_Tarnwick voices as before.zip');
      const restored = unzipSync(new Uint8Array(Buffer.from(before.data, 'base64')));
      for (const [name, bytes] of Object.entries(made)) {
        assert.deepEqual(Buffer.from(restored[`${engineName.split(' ')[0]}-batch-${name}`]), bytes, name);
      }
      assert.deepEqual(await page.run('return window.breaches;'), [], 'nothing the page\'s policy forbids');
      await page.close();
    });

    test('a patch taken back where the page may only read: the undo says it is a download', async () => {
      const original = voices['the demo voice']();
      const name = `${engineName.split(' ')[0]}-undo.vpm`;
      const { page, path } = await readyPage(engine, name, original);
      await page.upload('#file-input', path);
      await messagesUntilIdle(page);
      await tick(page, [4, 7]);
      await page.click('#patch-button');
      await messagesUntilIdle(page);
      const [patched] = await page.run('return Promise.all(window.kept);');
      writeFileSync(path, Buffer.from(patched.data, 'base64'));
      await page.upload('#file-input', path);
      await messagesUntilIdle(page);
      await page.click('#undo-button');
      await waitFor(page, `return document.getElementById('question').open;`);
      await page.click('#question-yes');
      const said = await messagesUntilIdle(page);
      assert.match(said[0], new RegExp(`^The voice as it was before the patch saved on .* was downloaded as "${name}" .*` +
        `The file "${name}" on your device still holds that patch until you copy the download over it\\.$`));
      const downloads = await page.run('return Promise.all(window.kept);');
      assert.deepEqual(downloads.map((d) => d.name), [name, name]);
      assert.deepEqual(Buffer.from(downloads[1].data, 'base64'), original);
      assert.deepEqual(await page.run('return window.breaches;'), [], 'nothing the page\'s policy forbids');
      await page.close();
    });

    test('a script in the page cannot send a voice off its origin: fetch, beacon, image, form and socket blocked', async () => {
      const { page, path } = await readyPage(engine, `${engineName.split(' ')[0]}-send.vpm`, voices['the demo voice']());
      await page.upload('#file-input', path);
      await messagesUntilIdle(page);
      const listener = await listen();
      const tried = await page.run(`const to = 'http://127.0.0.1:' + arg + '/';
        const bytes = new Uint8Array(64);
        const outcome = (promise) => promise.then(() => 'sent', () => 'blocked');
        const loaded = (element) => new Promise((done) => { element.onload = () => done('sent'); element.onerror = () => done('blocked'); });
        const image = new Image();
        const imageLoad = loaded(image);
        image.src = to + 'image';
        const socket = new Promise((done) => {
          try {
            const ws = new WebSocket('ws://127.0.0.1:' + arg + '/socket');
            ws.onopen = () => done('sent');
            ws.onerror = () => done('blocked');
          } catch { done('blocked'); }
        });
        const form = document.createElement('form');
        form.method = 'post';
        form.action = to + 'form';
        form.target = '_self';
        document.body.append(form);
        try { form.submit(); } catch {}
        // A beacon is queued whatever becomes of it: the listener tells.
        try { navigator.sendBeacon(to + 'beacon', bytes); } catch {}
        return {
          fetch: await outcome(fetch(to + 'fetch', { method: 'POST', body: bytes, mode: 'no-cors' })),
          image: await imageLoad,
          socket: await socket,
        };`, listener.port);
      await new Promise((done) => setTimeout(done, 1000));
      const breaches = await page.run('return window.breaches;');
      await page.close();
      listener.close();
      assert.deepEqual(tried, { fetch: 'blocked', image: 'blocked', socket: 'blocked' });
      for (const directive of ['connect-src', 'img-src', 'form-action']) {
        assert.ok(breaches.some((breach) => breach.startsWith(directive)), `${directive} reported: ${breaches.join('; ')}`);
      }
      assert.deepEqual(listener.received, [], 'the listener on another port received nothing');
    });
  });
}
