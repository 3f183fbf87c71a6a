// The page: the window's controls, and the engine (WebAssembly) behind them.
// Every rule (what is checked and written, in which order; what is enabled;
// what is said and in which order) comes from the engine; the page carries
// out the file calls the engine asks for (voice_file.js) and shows what it is
// told. No byte of a voice leaves this computer.
import { SaveHistory } from './save_history.js';
import { HandleFile, PatchedDownload, copyBlob } from './voice_file.js';
import { zipSync } from './fflate.js';

const $ = (id) => document.getElementById(id);

// What the engine needs of the browser; said by name when one is missing.
function missingFeatures() {
  const missing = [];
  if (typeof WebAssembly !== 'object') {
    missing.push('WebAssembly');
  } else {
    // The smallest module with one SIMD instruction (i32x4.splat).
    const simd = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 8, 1, 6, 0,
      65, 0, 253, 17, 11]);
    if (!WebAssembly.validate(simd)) missing.push('WebAssembly SIMD');
  }
  if (typeof HTMLDialogElement !== 'function') missing.push('dialog boxes');
  if (typeof Blob !== 'function' || !Blob.prototype.arrayBuffer) missing.push('reading files');
  return missing;
}

async function startEngine() {
  const missing = missingFeatures();
  if (missing.length > 0) throw new Error(`this browser lacks ${missing.join(', ')}`);
  const { default: createTarnwick } = await import('./tarnwick.js');
  return createTarnwick();
}

let engine;
try {
  engine = await startEngine();
} catch (error) {
  const reason = /lacks/.test(error.message) ? error.message : 'its engine could not be loaded (a file of the page is missing or damaged)';
  $('loading').textContent = `This page cannot work in this browser: ${reason}. No file was opened or changed. ` +
    'Use a current Chrome, Edge, Firefox or Safari, or the TTS_Tarnwick program.';
  $('loading').classList.add('problem');
  $('drop-hint').hidden = true;
  document.querySelector('.tabs').hidden = true;
  document.body.dataset.ready = 'failed';
  throw error;
}
engine.history = new SaveHistory();
const texts = engine.texts();
const OPTION_COUNT = texts.optionCount;
$('file-input').accept = texts.voiceExtensions.join(',');

// The file the engine works on now: what the page shows is what it patches.
let opened = null;

// ---- messages: one modal box at a time, in order --------------------------

const messageBox = $('message');
let messageDone = null;
$('message-ok').addEventListener('click', () => messageBox.close());
messageBox.addEventListener('close', () => {
  const done = messageDone;
  messageDone = null;
  if (done) done();
});

let shownMessages = 0;

function showMessage(text) {
  return new Promise((resolve) => {
    messageBox.dataset.shown = String(++shownMessages);
    $('message-title').textContent = texts.applicationTitle;
    $('message-text').textContent = text;
    messageDone = resolve;
    messageBox.showModal();
    $('message-ok').focus();
  });
}

async function tell(messages) {
  for (const message of messages) await showMessage(message.text);
}

// A question with Yes and No, the engine's default focused; Escape answers No.
const questionBox = $('question');
function ask(question) {
  return new Promise((resolve) => {
    let answer = false;
    $('question-title').textContent = texts.applicationTitle;
    $('question-text').textContent = question.text;
    $('question-yes').onclick = () => { answer = true; questionBox.close(); };
    $('question-no').onclick = () => questionBox.close();
    questionBox.addEventListener('close', () => resolve(answer), { once: true });
    questionBox.showModal();
    $(question.yesByDefault ? 'question-yes' : 'question-no').focus();
  });
}

// ---- the controls -----------------------------------------------------------

const boxes = [];   // boxes[k] is Check<k>
const states = [];  // the state in words beside option k
const tabs = [];
const panels = [];

function selectTab(index, focus) {
  tabs.forEach((tab, i) => {
    const selected = i === index;
    tab.setAttribute('aria-selected', String(selected));
    tab.tabIndex = selected ? 0 : -1;
    panels[i].hidden = !selected;
  });
  if (focus) tabs[index].focus();
}

function build() {
  document.title = texts.title;
  $('title').textContent = texts.title;
  $('about-button').textContent = texts.aboutMenu;
  $('open-button').textContent = texts.open;
  $('patch-button').textContent = texts.patch;
  $('instructions').textContent = texts.instructions;
  $('about-title').textContent = texts.aboutTitle;
  $('about-name').textContent = texts.aboutName;
  $('about-maker').textContent = texts.aboutMaker;
  $('about-find').textContent = texts.aboutFind;
  $('about-link').textContent = texts.makerAddress;
  $('about-link').href = texts.makerAddress;
  $('about-close').textContent = texts.aboutClose;
  $('drop-hint').textContent = texts.dropHint;
  $('undo-button').textContent = texts.undo;

  texts.tabs.forEach((tab, i) => {
    const button = document.createElement('button');
    button.type = 'button';
    button.id = `tab-${i + 1}`;
    button.setAttribute('role', 'tab');
    button.setAttribute('aria-controls', `panel-${i + 1}`);
    button.textContent = tab.caption;
    button.addEventListener('click', () => selectTab(i, false));
    button.addEventListener('keydown', (event) => {
      const moves = { ArrowRight: i + 1, ArrowLeft: i - 1, Home: 0, End: texts.tabs.length - 1 };
      if (!(event.key in moves)) return;
      event.preventDefault();
      selectTab((moves[event.key] + texts.tabs.length) % texts.tabs.length, true);
    });
    $('tablist').append(button);
    tabs.push(button);

    const panel = document.createElement('div');
    panel.id = `panel-${i + 1}`;
    panel.setAttribute('role', 'tabpanel');
    panel.setAttribute('aria-labelledby', button.id);
    for (const option of tab.options) {
      const k = option.number;
      const row = document.createElement('div');
      row.className = 'row';
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.id = `check-${k}`;
      box.disabled = true;
      box.setAttribute('aria-describedby', `state-${k}`);
      box.addEventListener('change', () => showControls(engine.boxChanged(k, box.checked)));
      const label = document.createElement('label');
      label.htmlFor = box.id;
      label.textContent = option.label;
      const state = document.createElement('span');
      state.id = `state-${k}`;
      state.className = 'state';
      row.append(box, label, state);
      panel.append(row);
      boxes[k] = box;
      states[k] = state;
    }
    $('panels').append(panel);
    panels.push(panel);
  });
  selectTab(texts.selectedTab, false);
}

// The boxes and Patch as the engine says they stand.
function showControls(controls) {
  for (let k = 1; k <= OPTION_COUNT; ++k) {
    boxes[k].disabled = !controls.enabled[k - 1];
    boxes[k].checked = controls.ticked[k - 1];
  }
  $('patch-button').disabled = !controls.patch;
}

// The survey, and the recorded save that left the voice as it is beside its undo.
function showSurvey(survey) {
  $('description').textContent = survey.description;
  $('readiness').textContent = survey.readiness;
  for (let k = 1; k <= OPTION_COUNT; ++k) states[k].textContent = survey.states[k - 1];
  $('last-patch').textContent = survey.lastPatch ?? '';
  $('undo-row').hidden = !survey.lastPatch;
}

// As at start: nothing open, the second tab, as the engine starts.
function reset() {
  opened = null;
  showSurvey(texts.start.survey);
  showControls(texts.start.controls);
  selectTab(texts.selectedTab, false);
}

// What the last command left for the person: the last save, or a patched copy on offer.
function forgetLastSave() {
  $('last-save').hidden = true;
  $('last-save-how').textContent = '';
  $('last-save-text').textContent = '';
  $('last-save-list').replaceChildren();
  $('offer').hidden = true;
}

function rememberSave(how, text, changed) {
  $('last-save-how').textContent = how;
  $('last-save-how').hidden = !how;
  $('last-save-text').textContent = text;
  $('last-save-list').replaceChildren(...changed.map((label) => {
    const item = document.createElement('li');
    item.textContent = label;
    return item;
  }));
  $('last-save').hidden = false;
  focusWhenDone = $('last-save');
}

// A save was recorded: where the browser will not promise to keep the
// history, the page says so once. Not waited for: a browser may ask the
// person first, and the page goes on meanwhile.
function askToKeepHistory() {
  engine.history.lasting().then((lasting) => {
    if (lasting) return;
    $('history-note').textContent = texts.historyMayGo;
    $('history-note').hidden = false;
  });
}

// ---- the engine's commands ---------------------------------------------------

// Runs an engine command that reaches the voice through `file`; what it found.
async function engineCommand(file, name, types, args) {
  file.engine = engine;
  engine.voiceFile = file;
  try {
    await engine.ccall(name, null, types, args, { async: true });
  } finally {
    engine.voiceFile = null;
  }
  return engine.outcome();
}

// ---- opening --------------------------------------------------------------

function showProgress(name) {
  $('progress-label').textContent = engine.reading(name);
  $('progress-bar').value = 0;
  $('progress').hidden = false;
}

// Opens `file`; again after a refused save, with the person's ticks kept.
async function openFile(file, keepTicks = false) {
  forgetLastSave();
  reset();
  showProgress(file.name);
  file.onProgress = (done, total) => { $('progress-bar').value = total > 0 ? done / total : 1; };
  let result;
  try {
    result = await engineCommand(file, 'tarnwick_open', ['string', 'number'], [file.name, keepTicks ? 1 : 0]);
  } finally {
    $('progress').hidden = true;
    file.onProgress = null;
  }
  if (result.survey) {
    opened = file;
    showSurvey(result.survey);
  }
  await tell(result.messages);
  showControls(result.controls);
  // A file cut off half-way through a save is put back only when the person says so.
  if (result.question && (await ask(result.question))) await undoNow();
}

const filePicker = window.showOpenFilePicker
  ? async () => {
      let handles;
      try {
        handles = await window.showOpenFilePicker({
          types: [{ description: texts.openFilter, accept: { 'application/octet-stream': texts.voiceExtensions } }],
          excludeAcceptAllOption: false,
          multiple: true,
        });
      } catch (error) {
        if (error.name === 'AbortError') return;  // a cancelled dialog changes nothing
        throw error;
      }
      await openFiles(handles.map((handle) => new HandleFile(handle)));
    }
  : async () => $('file-input').click();

// ---- saving ------------------------------------------------------------------

function download(blob, name) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60_000);
}

// What the engine offers after an in-place save that did not happen: a
// patched copy where the file holds what was opened, else opening it again.
function offer(kind, text) {
  if (kind === 'copy') {
    offerCopy(text);
  } else if (kind === 'open again') {
    const file = opened;
    $('offer-text').textContent = text;
    $('offer-button').textContent = texts.openAgain;
    $('offer-button').onclick = command(() => openFile(file.fresh(), true));
    $('offer').hidden = false;
  }
}

function offerCopy(text) {
  const blob = copyBlob(engine.patchedCopy());
  engine.forgetCopy();
  const name = opened.name;
  $('offer-text').textContent = text;
  $('offer-button').textContent = texts.downloadCopy;
  $('offer-button').onclick = () => download(blob, name);
  $('offer').hidden = false;
}

async function patchAndSave() {
  forgetLastSave();
  const file = opened.fresh();
  const run = await engineCommand(file, 'tarnwick_run', [], []);
  if (run.saved && run.download) download(file.patched(), file.name);
  offer(run.offer, run.offerText);
  showControls(run.controls);
  if (run.survey) showSurvey(run.survey);
  await tell(run.messages);
  if (run.saved) {
    askToKeepHistory();
    rememberSave(run.downloadedText, run.savedText, run.changed);
  }
  if (run.close) reset();
}

// Takes back the recorded save that left the voice as it is, once the person
// said yes: in place where the page may write into the file, otherwise as a
// download of the voice as it was before that save.
async function undoLastPatch() {
  if (await ask(engine.undoQuestion())) await undoNow();
}

async function undoNow() {
  forgetLastSave();
  const file = opened.fresh();
  const undo = await engineCommand(file, 'tarnwick_undo', [], []);
  if (undo.undone && undo.download) {
    download(file.patched(), file.name);
    opened = file;  // what the page now shows is the downloaded voice
  }
  if (undo.undone) askToKeepHistory();
  if (undo.survey) showSurvey(undo.survey);
  await tell(undo.messages);
}

// ---- several voices at once -------------------------------------------------

// One voice opens in the window; several side by side in a table of their own.
async function openFiles(files) {
  if (files.length === 1) {
    closeSeveral();
    await openFile(files[0]);
  }
  if (files.length > 1) await openSeveral(files);
}

let several = [];         // the batch's files, in the order the engine has them
const severalBoxes = [];  // severalBoxes[k]: option k's box in the table
let patchable = false;
let undoQuestion = null;

// Runs a batch command of the engine on the batch's files, as each stood
// after the last one; its outcome.
async function batchCommand(name, types, args) {
  several = several.map((file) => file.fresh());
  for (const file of several) file.engine = engine;
  engine.voiceFiles = several;
  engine.batchNames = several.map((file) => file.name);
  engine.onBatchProgress = (done, total, text) => {
    $('several-progress-label').textContent = text;
    $('several-progress-bar').value = total > 0 ? done / total : 1;
    $('several-progress').hidden = false;
  };
  try {
    await engine.ccall(name, null, types, args, { async: true });
  } finally {
    engine.voiceFiles = null;
    engine.voiceFile = null;
    engine.onBatchProgress = null;
  }
  return engine.batchOutcome();
}

function buildSeveral() {
  const batch = texts.batch;
  $('several-title').textContent = batch.title;
  $('several-instructions').textContent = batch.instructions;
  $('patch-all-button').textContent = batch.patchAll;
  $('undo-all-button').textContent = batch.undoAll;
  $('several-close').textContent = batch.close;
}

function chosenOptions() {
  let chosen = 0;
  for (let k = 1; k <= OPTION_COUNT; ++k) if (severalBoxes[k]?.checked && !severalBoxes[k].disabled) chosen |= 1 << (k - 1);
  return chosen;
}

function showSeveralButtons() {
  $('patch-all-button').disabled = !patchable || chosenOptions() === 0;
  $('undo-all-button').disabled = !undoQuestion;
}

// The table as the engine says it stands: a column per voice, a row per
// option under its tab, each box tickable where the option is ready somewhere.
function showTable(outcome) {
  const ticked = severalBoxes.map((box) => box?.checked && !box.disabled);
  const heading = (text) => {
    const cell = document.createElement('th');
    cell.scope = 'col';
    cell.textContent = text;
    return cell;
  };
  $('several-head').replaceChildren(heading(texts.batch.optionHeading), ...outcome.headings.map(heading));
  const rows = [];
  for (const tab of texts.tabs) {
    const row = document.createElement('tr');
    const cell = document.createElement('th');
    cell.colSpan = outcome.headings.length + 1;
    cell.scope = 'colgroup';
    cell.textContent = tab.caption;
    row.append(cell);
    rows.push(row);
    for (const option of tab.options) {
      const k = option.number;
      const shown = outcome.options[k - 1];
      const line = document.createElement('tr');
      const head = document.createElement('th');
      head.scope = 'row';
      const wrap = document.createElement('div');
      wrap.className = 'several-option';
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.id = `several-check-${k}`;
      box.disabled = !shown.tickable;
      box.checked = shown.tickable && Boolean(ticked[k]);
      box.addEventListener('change', showSeveralButtons);
      const label = document.createElement('label');
      label.htmlFor = box.id;
      label.textContent = option.label;
      wrap.append(box, label);
      head.append(wrap);
      line.append(head, ...shown.cells.map((text) => {
        const state = document.createElement('td');
        state.textContent = text;
        return state;
      }));
      rows.push(line);
      severalBoxes[k] = box;
    }
  }
  $('several-body').replaceChildren(...rows);
  patchable = outcome.patchable;
  undoQuestion = outcome.undoQuestion ?? null;
  showSeveralButtons();
}

// What became of each voice: the closing line, then each voice's line with its messages.
function showBatchSummary(outcome) {
  $('several-closing').textContent = outcome.closing;
  $('several-download').textContent = outcome.download?.text ?? '';
  $('several-download').hidden = !outcome.download;
  $('several-lines').replaceChildren(...outcome.voices.map((voice) => {
    const item = document.createElement('li');
    item.textContent = voice.line;
    if (voice.messages.length > 0) {
      const told = document.createElement('ul');
      told.append(...voice.messages.map((message) => {
        const said = document.createElement('li');
        said.textContent = message.text;
        return said;
      }));
      item.append(told);
    }
    return item;
  }));
  $('several-summary').hidden = false;
  focusWhenDone = $('several-summary');
}

// The voices written as downloads, in one zip named as the engine says.
async function downloadBatch(outcome) {
  if (!outcome.download) return;
  const entries = {};
  for (const voice of outcome.voices) {
    if (!voice.download) continue;
    const file = several.find((f) => f.name === voice.name);
    entries[voice.name] = [new Uint8Array(await file.patched().arrayBuffer()), { level: 0 }];
  }
  download(new Blob([zipSync(entries)], { type: 'application/zip' }), outcome.download.name);
}

async function openSeveral(files) {
  forgetLastSave();
  reset();
  several = files;
  severalBoxes.length = 0;
  $('client').hidden = true;
  $('several').hidden = false;
  $('several-summary').hidden = true;
  let outcome;
  try {
    outcome = await batchCommand('tarnwick_batch_open', [], []);
  } finally {
    $('several-progress').hidden = true;
  }
  showTable(outcome);
  showBatchSummary(outcome);
  focusWhenDone = severalBoxes.find((box) => box && !box.disabled) ?? $('several-close');
}

async function patchAll() {
  const outcome = await batchCommand('tarnwick_batch_patch', ['number'], [chosenOptions()]);
  for (const box of severalBoxes) if (box) box.checked = false;
  await downloadBatch(outcome);
  showTable(outcome);
  showBatchSummary(outcome);
  if (outcome.undoQuestion) askToKeepHistory();
}

async function undoAll() {
  if (!undoQuestion || !(await ask(undoQuestion))) return;
  const outcome = await batchCommand('tarnwick_batch_undo', [], []);
  await downloadBatch(outcome);
  showTable(outcome);
  showBatchSummary(outcome);
}

function closeSeveral() {
  if ($('several').hidden) return;
  several = [];
  $('several').hidden = true;
  $('client').hidden = false;
  focusWhenDone = $('open-button');
}

// ---- the rest of the window -------------------------------------------------

// One command at a time: while one runs (a voice read, a save), the controls
// take no input and Open, drops and Ctrl+O are ignored, so that the file shown
// is always the file that will be patched.
let busy = false;
let focusWhenDone = null;

function command(action) {
  return async (...args) => {
    if (busy) return;
    busy = true;
    const focused = document.activeElement;
    document.body.dataset.busy = 'true';
    $('client').inert = true;
    $('several').inert = true;
    $('reload-button').disabled = true;
    try {
      await action(...args);
    } catch (error) {
      console.error(error);
      await showMessage(texts.unexpected);
    } finally {
      busy = false;
      $('client').inert = false;
      $('several').inert = false;
      // Taking input away took the focus too: it goes where the command
      // asked, or back where it was.
      const active = document.activeElement;
      const lost = !active || active === document.body || active === focused || active.offsetParent === null;
      const next = focusWhenDone ?? (lost ? focused : null);
      focusWhenDone = null;
      if (next?.isConnected && !next.disabled) next.focus();
      $('reload-button').disabled = false;
      document.body.dataset.busy = 'false';
    }
  };
}

$('patch-all-button').addEventListener('click', command(patchAll));
$('undo-all-button').addEventListener('click', command(undoAll));
$('several-close').addEventListener('click', command(async () => closeSeveral()));
const open = command(() => filePicker());
$('open-button').addEventListener('click', open);
$('patch-button').addEventListener('click', command(patchAndSave));
$('undo-button').addEventListener('click', command(undoLastPatch));
$('file-input').addEventListener('change', command(async () => {
  const files = [...$('file-input').files];
  $('file-input').value = '';
  await openFiles(files.map((file) => new PatchedDownload(file)));
}));
$('about-button').addEventListener('click', () => $('about').showModal());
$('about-close').addEventListener('click', () => $('about').close());
document.addEventListener('keydown', (event) => {
  if ((event.ctrlKey || event.metaKey) && event.key.toLowerCase() === 'o' && !document.querySelector('dialog[open]')) {
    event.preventDefault();
    open();
  }
});

// A file dropped on the page; with a handle where the browser gives one. The
// drop's items are read at once: they are gone after the event.
document.addEventListener('dragover', (event) => {
  event.preventDefault();
  if (!busy) document.body.classList.add('dragging');
});
document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
// A voice's name, by its extension.
const isVoiceName = (name) => texts.voiceExtensions.some((extension) => name.toLowerCase().endsWith(extension));

// The voices directly in a dropped folder: with handles where the browser
// gives them (written in place), else as files read only.
async function voicesIn(kept, entry) {
  if (kept?.kind === 'directory') {
    const found = [];
    for await (const handle of kept.values()) {
      if (handle.kind === 'file' && isVoiceName(handle.name)) found.push(new HandleFile(handle));
    }
    return found;
  }
  const reader = entry.createReader();
  const entries = [];
  for (let batch; (batch = await new Promise((done, fail) => reader.readEntries(done, fail))).length > 0;) entries.push(...batch);
  const files = entries.filter((e) => e.isFile && isVoiceName(e.name));
  return Promise.all(files.map((e) => new Promise((done, fail) => e.file(done, fail)).then((file) => new PatchedDownload(file))));
}

const openDropped = command(async (items) => {
  const files = [];
  for (const { entry, handle, file } of items) {
    const kept = handle ? await handle.catch(() => null) : null;
    if (kept?.kind === 'directory' || entry?.isDirectory) {
      files.push(...(await voicesIn(kept, entry)));
    } else {
      files.push(kept?.kind === 'file' ? new HandleFile(kept) : new PatchedDownload(file));
    }
  }
  if (files.length === 0 && items.length > 0) {
    await showMessage(texts.folderHoldsNoVoice);
    return;
  }
  await openFiles(files);
});
document.addEventListener('drop', (event) => {
  event.preventDefault();
  document.body.classList.remove('dragging');
  if (busy || document.querySelector('dialog[open]')) return;
  const items = [...event.dataTransfer.items].filter((item) => item.kind === 'file').map((item) => ({
    entry: item.webkitGetAsEntry?.(),
    handle: item.getAsFileSystemHandle?.(),
    file: item.getAsFile(),
  }));
  openDropped(items);
});

// Opened from the system as an installed app (.vpm and .rgn).
if ('launchQueue' in window) {
  const openLaunched = command(async (handles) => openFiles(handles.map((handle) => new HandleFile(handle))));
  window.launchQueue.setConsumer((launch) => {
    if (launch.files.length > 0) openLaunched(launch.files);
  });
}

// ---- updates ------------------------------------------------------------------

// A new version waits until the person reloads, never in the middle of work.
function offerUpdate(registration) {
  $('update-text').textContent = texts.newVersion;
  $('reload-button').textContent = texts.reload;
  $('reload-button').onclick = () => {
    if (busy || !registration.waiting) return;
    navigator.serviceWorker.addEventListener('controllerchange', () => location.reload(), { once: true });
    registration.waiting.postMessage('take over');
  };
  $('update').hidden = false;
}

async function watchForUpdates() {
  const registration = await navigator.serviceWorker.register('sw.js', { updateViaCache: 'none' });
  const waitFor = (worker) => worker?.addEventListener('statechange', () => {
    if (worker.state === 'installed' && navigator.serviceWorker.controller) offerUpdate(registration);
  });
  if (registration.waiting && navigator.serviceWorker.controller) offerUpdate(registration);
  waitFor(registration.installing);
  registration.addEventListener('updatefound', () => waitFor(registration.installing));
}

if ('serviceWorker' in navigator && location.protocol !== 'file:') watchForUpdates().catch(() => {});

build();
buildSeveral();
$('loading').hidden = true;
for (const id of ['open-button', 'about-button']) $(id).disabled = false;
document.body.dataset.busy = 'false';
document.body.dataset.ready = 'true';
