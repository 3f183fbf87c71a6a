// The voice file as the engine reaches it from the page: each method carries
// out one file call the engine asks for (engine/file_calls_web.cpp) and
// answers with a count, or with a negative number naming the browser's error.
// No rule of the save lives here: what to check, write and read back, and in
// which order, is the engine's.

import { ANSWER } from './page_protocol.js';

export function code(error) {
  switch (error?.name) {
    case 'NotFoundError': return ANSWER.GONE;
    case 'NotAllowedError': case 'SecurityError': case 'AbortError': return ANSWER.NOT_ALLOWED;
    case 'NoModificationAllowedError': case 'InvalidModificationError': return ANSWER.READ_ONLY;
    case 'QuotaExceededError': return ANSWER.NO_SPACE;
    case 'NotReadableError': return ANSWER.UNREADABLE;
    default: return ANSWER.FAILED;
  }
}

// The largest read made in one piece, and how often a larger one tells its progress.
const PIECE = 16 << 20;

// What both kinds of voice file share: reading into the engine's memory, and
// the lock that keeps every tab of this site from saving the file while
// another one is (Web Locks are per site, so all tabs see one).
class VoiceFile {
  constructor(name) {
    this.name = name;
    this.engine = null;       // set by the page before a command
    this.onProgress = null;   // (done, total), while a voice is read
    this.release = null;
  }

  // Whether what the engine writes reaches the person as a download.
  get downloads() { return false; }

  // A small read (the save's checks read 1 MiB at a time) in one piece; a
  // large one (a whole voice) through the browser's own chunks, straight
  // into the engine's memory, with no buffer of it beside it.
  async read(offset, at, size) {
    try {
      const file = await this.snapshot();
      const end = Math.min(file.size, offset + size);
      if (end <= offset) return 0;
      if (end - offset <= PIECE) {
        const piece = new Uint8Array(await file.slice(offset, end).arrayBuffer());
        this.overlay(piece, offset);
        this.engine.HEAPU8.set(piece, at);
        return piece.length;
      }
      const reader = file.slice(offset, end).stream().getReader();
      let from = offset;
      let told = offset;
      for (;;) {
        const { done, value } = await reader.read();
        if (done) break;
        const piece = value.subarray(0, Math.min(value.length, end - from));
        this.overlay(piece, from);
        this.engine.HEAPU8.set(piece, at + (from - offset));
        from += piece.length;
        if (from - told >= PIECE || from === end) {
          told = from;
          this.onProgress?.(from - offset, end - offset);
        }
      }
      return from - offset;
    } catch (error) {
      return code(error);
    }
  }

  async describe() {
    try {
      const file = await this.snapshot();
      return { size: file.size, modified: file.lastModified };
    } catch (error) {
      return code(error);
    }
  }

  lock() {
    if (!navigator.locks) return Promise.resolve(0);
    return new Promise((answer) => {
      navigator.locks.request(`tts-tarnwick ${this.name}`, { ifAvailable: true }, (lock) => {
        if (!lock) {
          answer(ANSWER.BUSY);
          return undefined;
        }
        answer(0);
        return new Promise((release) => { this.release = release; });
      }).catch(() => answer(ANSWER.FAILED));
    });
  }

  unlock() {
    this.release?.();
    this.release = null;
  }

  overlay() {}
}

// A file the browser lets the page write into (File System Access). The
// browser writes a patched copy beside it and swaps it in when the writing is
// closed (flush): a crash before leaves the file as it was.
export class HandleFile extends VoiceFile {
  constructor(handle) {
    super(handle.name);
    this.handle = handle;
    this.pending = [];
  }

  fresh() { return new HandleFile(this.handle); }

  snapshot() { return this.handle.getFile(); }

  async openForUpdate() {
    try {
      if (this.handle.queryPermission) {
        let state = await this.handle.queryPermission({ mode: 'readwrite' });
        if (state === 'prompt') state = await this.handle.requestPermission({ mode: 'readwrite' });
        if (state !== 'granted') return ANSWER.NOT_ALLOWED;
      }
      await this.handle.getFile();
      return 0;
    } catch (error) {
      return code(error);
    }
  }

  write(offset, bytes) {
    this.pending.push({ offset, bytes });
    return bytes.length;
  }

  // Writing what the file already holds changes nothing, and the browser
  // would copy the whole file to do it: putting bytes back after a write
  // that never reached the file costs nothing and cannot fail for want of room.
  async holdsAlready(writes) {
    const file = await this.handle.getFile();
    for (const { offset, bytes } of writes) {
      const there = new Uint8Array(await file.slice(offset, offset + bytes.length).arrayBuffer());
      if (there.length !== bytes.length || there.some((byte, i) => byte !== bytes[i])) return false;
    }
    return true;
  }

  async flush() {
    const writes = this.pending;
    this.pending = [];
    if (writes.length === 0) return 0;
    try {
      if (await this.holdsAlready(writes)) return 0;
      const writable = await this.handle.createWritable({ keepExistingData: true });
      try {
        for (const { offset, bytes } of writes) await writable.write({ type: 'write', position: offset, data: bytes });
        await writable.close();
      } catch (error) {
        await writable.abort().catch(() => {});
        throw error;
      }
      return 0;
    } catch (error) {
      return code(error);
    }
  }
}

// A file the page may only read (an <input>, a drop without a handle): what
// the engine writes is kept beside it, and the patched voice is then offered
// as a download made of the file's own pieces and the changed bytes.
export class PatchedDownload extends VoiceFile {
  constructor(file) {
    super(file.name);
    this.file = file;
    this.pending = [];
    this.written = new Map();  // offset -> bytes, never overlapping
  }

  get downloads() { return true; }

  // The file as the page last left it: the engine's writes (an undo's, which
  // keeps the voice open) count as written.
  fresh() {
    const file = new PatchedDownload(this.file);
    file.written = new Map(this.written);
    return file;
  }

  snapshot() { return Promise.resolve(this.file); }

  openForUpdate() { return Promise.resolve(0); }

  write(offset, bytes) {
    this.pending.push({ offset, bytes });
    return bytes.length;
  }

  flush() {
    for (const { offset, bytes } of this.pending) this.keep(offset, bytes);
    this.pending = [];
    return Promise.resolve(0);
  }

  // Keeps a write over those before it. Writes that overlap (an undo's
  // ranges over an earlier one's) become one, so that the pieces of the
  // download never overlap.
  keep(offset, bytes) {
    if (bytes.length === 0) return;
    const overlapping = [...this.written].filter(([at, kept]) => at < offset + bytes.length && offset < at + kept.length);
    let start = offset;
    let end = offset + bytes.length;
    for (const [at, kept] of overlapping) {
      start = Math.min(start, at);
      end = Math.max(end, at + kept.length);
      this.written.delete(at);
    }
    const merged = new Uint8Array(end - start);
    for (const [at, kept] of overlapping) merged.set(kept, at - start);
    merged.set(bytes, offset - start);
    this.written.set(start, merged);
  }

  overlay(piece, from) {
    for (const [offset, bytes] of this.written) {
      const start = Math.max(offset, from);
      const end = Math.min(offset + bytes.length, from + piece.length);
      if (start < end) piece.set(bytes.subarray(start - offset, end - offset), start - from);
    }
  }

  patched() {
    const parts = [];
    let at = 0;
    for (const offset of [...this.written.keys()].sort((a, b) => a - b)) {
      parts.push(this.file.slice(at, offset), this.written.get(offset));
      at = offset + this.written.get(offset).length;
    }
    parts.push(this.file.slice(at));
    return new Blob(parts, { type: 'application/octet-stream' });
  }
}

// A Blob of pieces of the engine's memory, copied before the engine runs again.
export function copyBlob(pieces) {
  return new Blob(pieces, { type: 'application/octet-stream' });
}
