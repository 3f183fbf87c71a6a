// Keeps the page's own files for use without a network; nothing else is fetched.
const CACHE = 'tts-tarnwick-@PROJECT_VERSION@';
const FILES = ['./', 'index.html', 'style.css', 'app.js', 'tarnwick.js', 'tarnwick.wasm', 'manifest.webmanifest',
               'icons/tts-tarnwick.svg', 'icons/tts-tarnwick-128.png', 'icons/tts-tarnwick-256.png'];

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(FILES)).then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
    .then((names) => Promise.all(names.filter((name) => name !== CACHE).map((name) => caches.delete(name))))
    .then(() => self.clients.claim()));
});

self.addEventListener('fetch', (event) => {
  const url = new URL(event.request.url);
  if (event.request.method !== 'GET' || url.origin !== self.location.origin) return;
  event.respondWith(caches.match(event.request, { ignoreSearch: true })
    .then((kept) => kept || fetch(event.request)));
});
