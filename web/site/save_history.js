// The page's history of finished saves, kept by this browser (IndexedDB)
// between visits, so that a patch made here can be taken back later. The
// engine keeps its records as the files of one folder and checks each one it
// reads; this only carries that folder's files to the browser and back
// (engine/file_calls_web.cpp). Nothing of it leaves the computer.
//
// Records pass as one run of entries: a mark, the name's length, the name,
// the record's length, the record (page_protocol.js, from the engine's own
// definitions).
import { ANSWER, ENTRY_PUT, LARGEST_NAME, LARGEST_RECORD, LENGTH_BYTES } from './page_protocol.js';

const DATABASE = 'tts-tarnwick';
const STORE = 'history';

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
          if (encoded.length > LARGEST_NAME) return;
          entries.push([encoded, record]);
          size += 1 + 2 * LENGTH_BYTES + encoded.length + record.length;
        });
        const all = new Uint8Array(size);
        const view = new DataView(all.buffer);
        let at = 0;
        for (const [name, record] of entries) {
          all[at] = ENTRY_PUT;
          u32(view, at + 1, name.length);
          all.set(name, at + 1 + LENGTH_BYTES);
          at += 1 + LENGTH_BYTES + name.length;
          u32(view, at, record.length);
          all.set(record, at + LENGTH_BYTES);
          at += LENGTH_BYTES + record.length;
        }
        this.loaded = all;
        return size;
      } finally {
        database.close();
      }
    } catch {
      return ANSWER.FAILED;
    }
  }

  // Whether the browser promises to keep these records under storage
  // pressure; asked for once, when the page first records a save. A private
  // window, or a browser that declines, keeps them only for now.
  lasting() {
    this.asked ??= (async () => {
      try {
        if (!navigator.storage?.persist) return false;
        return (await navigator.storage.persisted()) || (await navigator.storage.persist());
      } catch {
        return false;
      }
    })();
    return this.asked;
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
          const put = changes[at] === ENTRY_PUT;
          const nameLength = view.getUint32(at + 1, true);
          const name = decoder.decode(changes.subarray(at + 1 + LENGTH_BYTES, at + 1 + LENGTH_BYTES + nameLength));
          at += 1 + LENGTH_BYTES + nameLength;
          const recordLength = view.getUint32(at, true);
          const record = changes.slice(at + LENGTH_BYTES, at + LENGTH_BYTES + recordLength);
          at += LENGTH_BYTES + recordLength;
          if (put) store.put(record, name);
          else store.delete(name);
        }
        await finished(transaction);
        return 0;
      } finally {
        database.close();
      }
    } catch {
      return ANSWER.FAILED;
    }
  }
}
