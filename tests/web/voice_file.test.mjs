// A voice the page may only read keeps the engine's writes beside it, and
// its download is the file's own pieces with the writes over them: however
// the writes overlap (an undo's ranges over an earlier save's), the download
// is the file with every write in order, never longer.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import { PatchedDownload } from '../../web/site/voice_file.js';

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
