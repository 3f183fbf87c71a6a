// The page against the native command line on one large voice of each
// filler: opening it (read, survey) and a run of every option, in headless
// Chromium, each the best of a few, beside `status` and `apply --all` as
// whole processes. Prints each time and the page's over the native one.
// Usage: node bench/bench_page.mjs SITE CLI DEMO_TOOL [MIB]
// (SITE as tools/build-web.sh makes it, CLI and DEMO_TOOL from a native build).
import { execFileSync } from 'node:child_process';
import { copyFileSync, mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { chromium } from '../web/node_modules/playwright-core/index.mjs';
import { serve } from '../web/serve.mjs';

const [site, cli, demoTool, mib = '64'] = process.argv.slice(2);
const work = mkdtempSync(join(tmpdir(), 'tarnwick-page-bench-'));
const tries = 3;

function nativeSeconds(args) {
  let best = Infinity;
  for (let i = 0; i < tries; ++i) {
    const began = process.hrtime.bigint();
    execFileSync(cli, args, { env: { ...process.env, XDG_DATA_HOME: join(work, 'data') }, stdio: 'ignore' });
    best = Math.min(best, Number(process.hrtime.bigint() - began) / 1e9);
  }
  return best;
}

const { server, url } = await serve(site);
const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox', '--disable-gpu'] });
const idle = (page) => page.waitForFunction(() => document.body.dataset.busy === 'false' &&
  !document.getElementById('message').open, null, { polling: 5, timeout: 600_000 });

// One open and one run of every option in a fresh page, each timed in the page.
async function pageSeconds(path) {
  const context = await browser.newContext({ serviceWorkers: 'block', acceptDownloads: true });
  await context.addInitScript(() => { delete window.showOpenFilePicker; });
  const page = await context.newPage();
  await page.goto(url);
  await page.waitForSelector('body[data-ready="true"]');
  const chooser = page.waitForEvent('filechooser');
  await page.click('#open-button');
  const began = Date.now();
  await (await chooser).setFiles(path);
  await page.waitForFunction(() => document.getElementById('description').textContent !== '', null, { polling: 5 });
  await idle(page);
  const open = (Date.now() - began) / 1000;
  await page.evaluate(() => {
    for (const box of document.querySelectorAll('input[type="checkbox"]')) box.checked = true;
  });
  for (let k = 1; k <= 20; ++k) await page.evaluate((k) => document.getElementById(`check-${k}`).dispatchEvent(new Event('change')), k);
  const ran = Date.now();
  await page.evaluate(() => document.getElementById('patch-button').click());
  await page.waitForFunction(() => document.getElementById('message').open, null, { polling: 5, timeout: 600_000 });
  const run = (Date.now() - ran) / 1000;
  await context.close();
  return { open, run };
}

console.log(`voice of ${mib} MiB; best of ${tries}; Chromium ${browser.version()}`);
console.log('filler        page open  native status  ratio   page run  native apply  ratio');
for (const [name, flags] of [['text-like', []], ['table-like', ['--table-like']], ['phrase-like', ['--phrase-like']]]) {
  const path = join(work, `${name}.vpm`);
  execFileSync(demoTool, ['--size', mib, ...flags, path], { stdio: 'ignore' });
  let open = Infinity;
  let run = Infinity;
  for (let i = 0; i < tries; ++i) {
    const seconds = await pageSeconds(path);
    open = Math.min(open, seconds.open);
    run = Math.min(run, seconds.run);
  }
  const status = nativeSeconds(['status', path]);
  let apply = Infinity;
  for (let i = 0; i < tries; ++i) {
    const copy = join(work, `apply-${name}.vpm`);
    copyFileSync(path, copy);
    execFileSync('sync');
    const began = process.hrtime.bigint();
    execFileSync(cli, ['apply', '--all', copy], { env: { ...process.env, XDG_DATA_HOME: join(work, 'data') }, stdio: 'ignore' });
    apply = Math.min(apply, Number(process.hrtime.bigint() - began) / 1e9);
  }
  const f = (s) => `${s.toFixed(3)} s`.padStart(9);
  console.log(`${name.padEnd(12)} ${f(open)}  ${f(status)}     ${(open / status).toFixed(1).padStart(4)}x ${f(run)}  ${f(apply)}     ${(run / apply).toFixed(1).padStart(4)}x`);
}
await browser.close();
server.close();
