// Serves a folder as a static site on this computer only, for trying the page
// and for its tests. Usage: node serve.mjs FOLDER [PORT]; prints the address.
import { createReadStream, readFileSync } from 'node:fs';
import { stat } from 'node:fs/promises';
import { createServer } from 'node:http';
import { extname, join, normalize, resolve, sep } from 'node:path';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.wasm': 'application/wasm',
  '.webmanifest': 'application/manifest+json',
  '.json': 'application/json',
  '.png': 'image/png',
  '.svg': 'image/svg+xml',
};

// The headers a host of the page should send: the policy the page declares
// in its own HTML, with what only a header can say (that no other site may
// frame it), and no guessing of types or sharing of its window.
export function pageHeaders(folder) {
  const html = readFileSync(join(folder, 'index.html'), 'utf8');
  const policy = /<meta http-equiv="Content-Security-Policy" content="([^"]*)">/.exec(html)?.[1];
  if (!policy) throw new Error(`${folder}/index.html declares no Content-Security-Policy`);
  return {
    'Content-Security-Policy': `${policy}; frame-ancestors 'none'`,
    'X-Content-Type-Options': 'nosniff',
    'Cross-Origin-Opener-Policy': 'same-origin',
    'Referrer-Policy': 'no-referrer',
  };
}

export function serve(folder, port = 0) {
  const root = resolve(folder);
  const headers = pageHeaders(root);
  const server = createServer(async (request, response) => {
    const path = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
    let file = normalize(join(root, path));
    if (file !== root && !file.startsWith(root + sep)) {
      response.writeHead(403).end();
      return;
    }
    try {
      if ((await stat(file)).isDirectory()) file = join(file, 'index.html');
      const size = (await stat(file)).size;
      response.writeHead(200, {
        ...headers,
        'Content-Type': TYPES[extname(file)] ?? 'application/octet-stream',
        'Content-Length': size,
        'Cache-Control': 'no-cache',
      });
      createReadStream(file).pipe(response);
    } catch {
      response.writeHead(404, { 'Content-Type': 'text/plain' }).end('not found');
    }
  });
  return new Promise((done) => {
    server.listen(port, '127.0.0.1', () => done({ server, url: `http://127.0.0.1:${server.address().port}/` }));
  });
}

if (import.meta.url === `file://${process.argv[1]}`) {
  const folder = process.argv[2] ?? '.';
  if (process.argv[3] === '--headers') {
    for (const [name, value] of Object.entries(pageHeaders(folder))) console.log(`${name}: ${value}`);
  } else {
    const { url } = await serve(folder, Number(process.argv[3] ?? 8080));
    console.log(`Serving ${resolve(folder)} at ${url} (Ctrl+C stops it)`);
  }
}
