// The page: the window's controls, and the engine (WebAssembly) behind them.
// Every rule (what is enabled, what is said and in which order) comes from
// the engine; the page shows it, and reads and writes the file through the
// browser. No byte of a voice leaves this computer.
import createTarnwick from './tarnwick.js';

const $ = (id) => document.getElementById(id);

const engine = await createTarnwick();
const texts = engine.texts();
const session = new engine.Session();
const OPTION_COUNT = 20;

// The opened file: its bytes as read, and what saving needs to know of it.
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
      box.addEventListener('change', () => apply(session.boxChanged()));
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

// What the engine says to enable or disable.
function apply(change) {
  if (change.enableAll) {
    $('patch-button').disabled = false;
    for (let k = 1; k <= OPTION_COUNT; ++k) boxes[k].disabled = false;
  }
  if (change.enablePatch) $('patch-button').disabled = false;
  for (const k of change.disableBoxes ?? []) boxes[k].disabled = true;
  if (change.disablePatch) $('patch-button').disabled = true;
}

function showSurvey(survey) {
  $('description').textContent = survey.description;
  $('readiness').textContent = survey.readiness;
  for (let k = 1; k <= OPTION_COUNT; ++k) states[k].textContent = survey.states[k - 1];
}

// As at start: nothing open, the second tab, every control disabled.
function reset() {
  opened = null;
  $('description').textContent = '';
  $('readiness').textContent = '';
  for (let k = 1; k <= OPTION_COUNT; ++k) {
    boxes[k].checked = false;
    boxes[k].disabled = true;
    states[k].textContent = '';
  }
  $('patch-button').disabled = true;
  selectTab(texts.selectedTab, false);
}

// ---- opening --------------------------------------------------------------

async function openFile(file, handle) {
  const bytes = new Uint8Array(await file.arrayBuffer());
  const at = session.reserve(bytes.length);
  engine.HEAPU8.set(bytes, at);
  const result = session.open(file.name);
  if (result.readable) {
    opened = { name: file.name, bytes, handle, size: file.size, lastModified: file.lastModified };
    showSurvey(result.survey);
  }
  await tell(result.messages);
  apply(result);
}

const filePicker = window.showOpenFilePicker
  ? async () => {
      try {
        const [handle] = await window.showOpenFilePicker({
          types: [{ description: 'Garmin TTS (*.vpm;*.rgn)', accept: { 'application/octet-stream': ['.vpm', '.rgn'] } }],
          excludeAcceptAllOption: false,
          multiple: false,
        });
        await openFile(await handle.getFile(), handle);
      } catch (error) {
        if (error.name !== 'AbortError') throw error;  // a cancelled dialog changes nothing
      }
    }
  : async () => $('file-input').click();

$('file-input').addEventListener('change', command(async () => {
  const [file] = $('file-input').files;
  $('file-input').value = '';
  if (file) await openFile(file, null);
}));

// ---- saving ------------------------------------------------------------------

// Byte for byte, four at a time where the bytes allow (a voice may be large).
function same(a, b) {
  if (a.length !== b.length) return false;
  const words = a.byteOffset % 4 === 0 && b.byteOffset % 4 === 0 ? Math.floor(a.length / 4) : 0;
  const a4 = new Uint32Array(a.buffer, a.byteOffset, words);
  const b4 = new Uint32Array(b.buffer, b.byteOffset, words);
  for (let i = 0; i < words; ++i) if (a4[i] !== b4[i]) return false;
  for (let i = words * 4; i < a.length; ++i) if (a[i] !== b[i]) return false;
  return true;
}

async function bytesAt(file, change) {
  return new Uint8Array(await file.slice(change.offset, change.offset + change.old.length).arrayBuffer());
}

async function writeSide(handle, changes, side) {
  const writable = await handle.createWritable({ keepExistingData: true });
  try {
    for (const change of changes) await writable.write({ type: 'write', position: change.offset, data: change[side] });
    await writable.close();
  } catch (error) {
    await writable.abort().catch(() => {});
    throw error;
  }
}

async function holds(handle, changes, side) {
  const file = await handle.getFile();
  for (const change of changes) {
    if (!same(await bytesAt(file, change), change[side])) return false;
  }
  return true;
}

// Writes only the changed ranges into the file opened, lowest first, once it
// is still the file that was opened; then reads them back. Some browsers'
// file systems keep a file's time through a write, so its bytes are compared
// too, all of them.
async function saveInPlace(changes) {
  const { handle } = opened;
  const file = await handle.getFile();
  if (file.size !== opened.size || file.lastModified !== opened.lastModified) return ['changed', ''];
  for (const change of changes) {
    if (!same(await bytesAt(file, change), change.old)) return ['changed', ''];
  }
  if (!same(new Uint8Array(await file.arrayBuffer()), opened.bytes)) return ['changed', ''];
  try {
    await writeSide(handle, changes, 'new');
  } catch (error) {
    return ['error', error.message];
  }
  if (await holds(handle, changes, 'new')) return ['saved', ''];
  try {
    await writeSide(handle, changes, 'old');
    return [(await holds(handle, changes, 'old')) ? 'mismatch' : 'mismatch_kept', ''];
  } catch {
    return ['mismatch_kept', ''];
  }
}

// Where the browser cannot write into the file: the patched voice as a download.
function download(changes) {
  const patched = opened.bytes.slice();
  for (const change of changes) patched.set(change.new, change.offset);
  const link = document.createElement('a');
  link.href = URL.createObjectURL(new Blob([patched], { type: 'application/octet-stream' }));
  link.download = opened.name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60_000);
  return ['downloaded', ''];
}

async function patchAndSave() {
  const enabled = [];
  const ticked = [];
  for (let k = 1; k <= OPTION_COUNT; ++k) {
    enabled.push(!boxes[k].disabled);
    ticked.push(boxes[k].checked);
  }
  const run = session.run(enabled, ticked);
  apply(run);
  await tell(run.messages);
  if (!run.save) return;
  const [how, words] = opened.handle ? await saveInPlace(run.changes) : download(run.changes);
  const done = session.saveDone(how, words);
  await tell(done.messages);
  if (done.close) {
    reset();
  } else {
    showSurvey(session.survey());
  }
}

// ---- the rest of the window -------------------------------------------------

// While a command runs the page is busy (for people's tools and the tests).
function command(action) {
  return async (...args) => {
    document.body.dataset.busy = 'true';
    try {
      await action(...args);
    } finally {
      document.body.dataset.busy = 'false';
    }
  };
}

const open = command(() => filePicker());
const openDropped = command((file, handle) => openFile(file, handle));
$('open-button').addEventListener('click', open);
$('patch-button').addEventListener('click', command(patchAndSave));
$('about-button').addEventListener('click', () => $('about').showModal());
$('about-close').addEventListener('click', () => $('about').close());
document.addEventListener('keydown', (event) => {
  if ((event.ctrlKey || event.metaKey) && event.key.toLowerCase() === 'o' && !document.querySelector('dialog[open]')) {
    event.preventDefault();
    open();
  }
});

// A file dropped on the page; with a handle where the browser gives one.
document.addEventListener('dragover', (event) => {
  event.preventDefault();
  document.body.classList.add('dragging');
});
document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
document.addEventListener('drop', async (event) => {
  event.preventDefault();
  document.body.classList.remove('dragging');
  const items = [...event.dataTransfer.items].filter((item) => item.kind === 'file');
  if (items.length !== 1) return;
  const handle = items[0].getAsFileSystemHandle ? await items[0].getAsFileSystemHandle() : null;
  if (handle && handle.kind === 'file') {
    await openDropped(await handle.getFile(), handle);
  } else {
    await openDropped(items[0].getAsFile(), null);
  }
});

// Opened from the system as an installed app (.vpm and .rgn).
if ('launchQueue' in window) {
  window.launchQueue.setConsumer(async (launch) => {
    if (launch.files.length === 1) await openDropped(await launch.files[0].getFile(), launch.files[0]);
  });
}

if ('serviceWorker' in navigator && location.protocol !== 'file:') {
  navigator.serviceWorker.register('sw.js').catch(() => {});
}

build();
$('loading').hidden = true;
for (const id of ['open-button', 'about-button']) $(id).disabled = false;
document.body.dataset.busy = 'false';
document.body.dataset.ready = 'true';
