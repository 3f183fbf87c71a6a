// Keeps the page's own files for use without a network; nothing else is
// fetched. The cache is named by a digest of the site's files, written in
// when the site is built (web/stamp-site.mjs), so that a change to any file
// is a new version. A new version waits until the page asks it to take over.
const CACHE = 'tts-tarnwick-__SITE_DIGEST__';
const FILES = ['./', 'index.html', 'style.css', 'app.js', 'voice_file.js', 'save_history.js', 'page_protocol.js', 'fflate.js', 'tarnwick.js', 'tarnwick.wasm',
               'manifest.webmanifest', 'icons/tts-tarnwick.svg', 'icons/tts-tarnwick-128.png',
               'icons/tts-tarnwick-256.png'];

// Past the HTTP cache, so that a host's max-age never puts an old file under a new name.
self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(FILES.map((file) => new Request(file, { cache: 'reload' })))));
});

self.addEventListener('message', (event) => {
  if (event.data === 'take over') self.skipWaiting();
});

self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
    .then((names) => Promise.all(names.filter((name) => name !== CACHE).map((name) => caches.delete(name))))
    .then(() => self.clients.claim()));
});

self.addEventListener('fetch', (event) => {
  const url = new URL(event.request.url);
  if (event.request.method !== 'GET' || url.origin !== self.location.origin) return;
  event.respondWith(caches.open(CACHE)
    .then((cache) => cache.match(event.request, { ignoreSearch: true }))
    .then((kept) => kept || fetch(event.request)));
});
