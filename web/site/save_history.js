// The page's history of finished saves, kept by this browser (IndexedDB)
// between visits, so that a patch made here can be taken back later. The
// engine keeps its records as the files of one folder and checks each one it
// reads; this only carries that folder's files to the browser and back
// (engine/file_calls_web.cpp). Nothing of it leaves the computer.
//
// Records pass as one run of entries: a byte (1 put, 0 removed), the name's
// length (4 bytes, little end first), the name, the record's length, the record.

const DATABASE = 'tts-tarnwick';
const STORE = 'history';
const FAILED = -7;
const LARGEST_RECORD = 1 << 20;  // as the engine's records are bounded

function opened() {
  return new Promise((resolve, reject) => {
    const request = indexedDB.open(DATABASE, 1);
    request.onupgradeneeded = () => request.result.createObjectStore(STORE);
    request.onsuccess = () => resolve(request.result);
    request.onerror = () => reject(request.error);
    request.onblocked = () => reject(new DOMException('blocked by another tab', 'AbortError'));
  });
}

function finished(transaction) {
  return new Promise((resolve, reject) => {
    transaction.oncomplete = () => resolve();
    transaction.onerror = () => reject(transaction.error);
    transaction.onabort = () => reject(transaction.error ?? new DOMException('aborted', 'AbortError'));
  });
}

const encoder = new TextEncoder();
const decoder = new TextDecoder();

function u32(view, at, value) {
  view.setUint32(at, value, true);
}

export class SaveHistory {
  constructor() {
    this.loaded = null;
  }

  // Reads every record the browser holds; answers their size as entries,
  // kept until the engine takes them.
  async load() {
    try {
      const database = await opened();
      try {
        const transaction = database.transaction(STORE, 'readonly');
        const store = transaction.objectStore(STORE);
        const [names, records] = await Promise.all([store.getAllKeys(), store.getAll()].map((request) =>
          new Promise((resolve, reject) => {
            request.onsuccess = () => resolve(request.result);
            request.onerror = () => reject(request.error);
          })));
        const entries = [];
        let size = 0;
        names.forEach((name, i) => {
          const record = records[i];
          // What no save of the engine's writes is left where it lies.
          if (typeof name !== 'string' || !(record instanceof Uint8Array) || record.length > LARGEST_RECORD) return;
          const encoded = encoder.encode(name);
          entries.push([encoded, record]);
          size += 9 + encoded.length + record.length;
        });
        const all = new Uint8Array(size);
        const view = new DataView(all.buffer);
        let at = 0;
        for (const [name, record] of entries) {
          all[at] = 1;
          u32(view, at + 1, name.length);
          all.set(name, at + 5);
          at += 5 + name.length;
          u32(view, at, record.length);
          all.set(record, at + 4);
          at += 4 + record.length;
        }
        this.loaded = all;
        return size;
      } finally {
        database.close();
      }
    } catch {
      return FAILED;
    }
  }

  take(heap, at) {
    heap.set(this.loaded, at);
    this.loaded = null;
  }

  // Puts and removes the records `changes` names, all or none.
  async store(changes) {
    try {
      const database = await opened();
      try {
        const transaction = database.transaction(STORE, 'readwrite', { durability: 'strict' });
        const store = transaction.objectStore(STORE);
        const view = new DataView(changes.buffer, changes.byteOffset, changes.byteLength);
        for (let at = 0; at < changes.length;) {
          const put = changes[at] === 1;
          const nameLength = view.getUint32(at + 1, true);
          const name = decoder.decode(changes.subarray(at + 5, at + 5 + nameLength));
          at += 5 + nameLength;
          const recordLength = view.getUint32(at, true);
          const record = changes.slice(at + 4, at + 4 + recordLength);
          at += 4 + recordLength;
          if (put) store.put(record, name);
          else store.delete(name);
        }
        await finished(transaction);
        return 0;
      } finally {
        database.close();
      }
    } catch {
      return FAILED;
    }
  }
}
