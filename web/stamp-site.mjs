// Names the service worker's cache after a digest of every other file of the
// built site. Usage: node stamp-site.mjs SITE
import { createHash } from 'node:crypto';
import { readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join, relative } from 'node:path';

const site = process.argv[2];
const files = readdirSync(site, { recursive: true, withFileTypes: true })
  .filter((entry) => entry.isFile())
  .map((entry) => join(entry.parentPath ?? entry.path, entry.name))
  .filter((path) => relative(site, path) !== 'sw.js')
  .sort();
const digest = createHash('sha256');
for (const path of files) digest.update(relative(site, path)).update('\0').update(readFileSync(path));
const worker = join(site, 'sw.js');
const stamped = readFileSync(worker, 'utf8')
  .replace(/const CACHE = 'tts-tarnwick-[^']*';/, `const CACHE = 'tts-tarnwick-${digest.digest('hex').slice(0, 16)}';`);
writeFileSync(worker, stamped);
