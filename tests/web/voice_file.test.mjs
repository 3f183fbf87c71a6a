// A voice the page may only read keeps the engine's writes beside it, and
// its download is the file's own pieces with the writes over them: however
// the writes overlap (an undo's ranges over an earlier save's), the download
// is the file with every write in order, never longer. The page's answers
// to the engine are the engine's own numbers, never numbers of its own.
// Environment: TARNWICK_SITE, the built site.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';

const site = process.env.TARNWICK_SITE;
const { PatchedDownload, code } = await import(join(site, 'voice_file.js'));
const { ANSWER } = await import(join(site, 'page_protocol.js'));

test('every browser error is answered with one of the engine\'s numbers, and no script has its own', () => {
  const answers = [
    ['NotFoundError', ANSWER.GONE], ['NotAllowedError', ANSWER.NOT_ALLOWED], ['SecurityError', ANSWER.NOT_ALLOWED],
    ['AbortError', ANSWER.NOT_ALLOWED], ['NoModificationAllowedError', ANSWER.READ_ONLY],
    ['InvalidModificationError', ANSWER.READ_ONLY], ['QuotaExceededError', ANSWER.NO_SPACE],
    ['NotReadableError', ANSWER.UNREADABLE], ['TypeError', ANSWER.FAILED],
  ];
  for (const [name, answer] of answers) assert.equal(code({ name }), answer, name);
  assert.equal(new Set(Object.values(ANSWER)).size, 7);
  assert.ok(Object.values(ANSWER).every((n) => Number.isInteger(n) && n < 0), 'answers are below every count');
  for (const file of ['voice_file.js', 'save_history.js', 'app.js']) {
    const source = readFileSync(join(site, file), 'utf8');
    assert.doesNotMatch(source, /(return|answer\(|=)\s*-[1-9]/, `${file} answers with a number of its own`);
    assert.doesNotMatch(source, /1 << 20|1048576/, `${file} bounds records itself`);
  }
});

test('writes that overlap, touch or repeat give the file with each write in order', async () => {
  const cases = [
    ['apart', [[2, 'ab'], [10, 'cd']]],
    ['the same place twice', [[4, 'ab'], [4, 'xy']]],
    ['a later write inside an earlier one', [[2, 'abcdef'], [4, 'X']]],
    ['a later write over an earlier one\'s end', [[2, 'abcd'], [4, 'WXYZ']]],
    ['a later write over an earlier one\'s start', [[6, 'abcd'], [3, 'WXYZ']]],
    ['one write over two', [[2, 'ab'], [7, 'cd'], [1, 'MNOPQRSTU']]],
    ['touching, not overlapping', [[2, 'ab'], [4, 'cd']]],
    ['at both ends of the file', [[0, 'ab'], [18, 'yz']]],
  ];
  for (const [name, writes] of cases) {
    const original = new TextEncoder().encode('0123456789abcdefghij');
    const file = new PatchedDownload(new Blob([original]));
    const expected = Uint8Array.from(original);
    for (const [offset, text] of writes) {
      const bytes = new TextEncoder().encode(text);
      file.write(offset, bytes);
      await file.flush();
      expected.set(bytes, offset);
    }
    assert.deepEqual(new Uint8Array(await file.patched().arrayBuffer()), expected, name);
    // A fresh look at the file, as the next command makes, reads the same.
    const again = new Uint8Array(await file.fresh().patched().arrayBuffer());
    assert.deepEqual(again, expected, `${name}, looked at again`);
  }
});
