// The page: pick the adapter's serial port, Read, choose a firmware file (or the newest build
// from the signed firmware repository), Update with progress, and the job's end in this page's
// terms. The engine (zorbent_engine.js) does every check and exchange; this file only words
// what it reports and keeps the buttons in step.

import { createEngine } from './zorbent_engine.js';
import { kAdapterBridges, describePort } from './adapter_bridges.js';
import { storageStore } from './repository_host.js';
import { kRepository, kTrustedRoot, kWasmIntegrity } from './trust.js';
import * as words from './words.js';

// The engine's own limit for a firmware file: larger ones are refused before they are read.
const kMaxFirmwareBytes = 16 * 1024 * 1024;
// Lines kept in the output box; older lines go first.
const kOutputLines = 2000;
// Release notes shown in the question at most.
const kNotesShown = 600;
const kNoRepository =
    'Newest firmware is off: this page was built without a firmware repository\'s trusted ' +
    'root. Choose a firmware file instead.';
const kStopQuestion =
    'Stop the update? Once the download has begun, the adapter has no working firmware until ' +
    'an update finishes.';

const $ = (id) => document.getElementById(id);
const ui = {
  choosePort: $('choose-port'), chooseAnyPort: $('choose-any-port'), portName: $('port-name'), read: $('read'), file: $('file'),
  fileButton: document.querySelector('label[for="file"]'), fileFacts: $('file-facts'),
  latest: $('latest'), update: $('update'), stop: $('stop'), bar: $('bar'),
  percent: $('percent'), status: $('status'), verdict: $('verdict'), output: $('output'),
  question: $('question'), questionText: $('question-text'), unsupported: $('unsupported'),
  unsupportedText: $('unsupported-text'), downloads: $('downloads'),
};

const state = {
  engine: null,
  serialOk: false,
  port: null,
  file: null,      // {bytes, name, facts}
  adapter: null,   // {model, version} from the last Read or update
  repository: null,  // {metadataUrl, targetsUrl, store} when the page has a trusted root
  busy: false,     // a job or a download runs
  jobRunning: false,
  updating: false,    // ... and it is an update
  stopAsked: false,   // the question whether to stop is open  // a job (not a download) runs: Stop and leaving the page ask
  percent: -1,     // the last progress of the running job
};

// ---- output and status

function say(text) {
  const lines = String(text).replace(/\r\n?/g, '\n').replace(/\n$/, '');
  const box = ui.output;
  box.textContent += (box.textContent ? '\n' : '') + lines;
  const all = box.textContent.split('\n');
  if (all.length > kOutputLines) box.textContent = all.slice(-kOutputLines).join('\n');
  box.scrollTop = box.scrollHeight;
}

function showStatus(text) {
  ui.status.textContent = text;
}

function showProgress(percent) {
  if (percent < 0) {
    ui.bar.removeAttribute('value');  // busy: nothing to count yet
    ui.percent.textContent = '';
    return;
  }
  ui.bar.value = percent;
  ui.percent.textContent = `${percent}%`;
}

function showFileFacts(text, look) {
  ui.fileFacts.textContent = text;
  ui.fileFacts.className = `facts ${look || ''}`.trim();
}

function showVerdict(text, look) {
  ui.verdict.textContent = text;
  if (look) {
    ui.verdict.dataset.look = look;
    document.body.dataset.look = look;
  } else {
    delete ui.verdict.dataset.look;
    delete document.body.dataset.look;
  }
}

// ---- buttons follow the state

function refresh() {
  const idle = !state.busy && state.engine !== null;
  ui.choosePort.disabled = !state.serialOk || state.busy;
  ui.chooseAnyPort.disabled = ui.choosePort.disabled;
  ui.read.disabled = !idle || !state.port;
  ui.update.disabled = !idle || !state.port || !state.file?.facts.ok;
  ui.stop.disabled = !state.busy || !state.jobRunning;
  ui.file.disabled = state.busy;
  ui.fileButton.setAttribute('aria-disabled', String(state.busy));
  ui.latest.disabled = !idle || !state.adapter?.model || !state.repository;
  ui.latest.title = !state.repository ? kNoRepository
      : state.adapter?.model ? '' : 'Press Read first: it finds the adapter\'s model.';
  if (state.busy) document.body.dataset.busy = '1';
  else delete document.body.dataset.busy;
}

// ---- questions (No unless the user says Yes)

let answering = null;
function ask(text) {
  if (answering) return Promise.resolve(false);
  ui.questionText.textContent = text;
  return new Promise((resolve) => {
    answering = resolve;
    ui.question.returnValue = '';
    ui.question.showModal();
    $('no').focus();
  });
}
function answer(yes) {
  const resolve = answering;
  answering = null;
  if (resolve) resolve(yes);
}
ui.question.addEventListener('close', () => answer(ui.question.returnValue === 'yes'));
// Closes the open question with No at once, so that the next question can be asked.
function dismissQuestion() {
  answer(false);
  ui.question.close();
}

// ---- the engine's reports

function onReport(kind, data) {
  switch (kind) {
    case 'text':
      say(data);
      break;
    case 'progress':
      state.percent = data;
      showProgress(data);
      showStatus(words.progressWords(data));
      break;
    case 'wait': {
      const text = words.waitWords(data);
      if (text) showStatus(text);
      else showStatus(state.percent >= 0 ? words.progressWords(state.percent) : '');
      break;
    }
    default:
      break;
  }
}

// ---- jobs

async function runJob(update, { recover = false } = {}) {
  state.busy = true;
  state.jobRunning = true;
  state.updating = update;
  state.percent = -1;
  showVerdict('', null);
  showProgress(-1);
  showStatus('');
  refresh();
  say(update ? `Update with ${state.file.name}${recover ? ', finishing an interrupted update' : ''}:`
             : 'Read:');
  // A computer going to sleep in the middle of a download leaves the adapter without firmware.
  const awake = await navigator.wakeLock?.request('screen').catch(() => null);
  const started = performance.now();
  const outcome = update
      ? await state.engine.update(state.file.bytes, { recover, name: state.file.name })
      : await state.engine.read();
  const seconds = (performance.now() - started) / 1000;
  awake?.release().catch(() => {});
  state.busy = false;
  state.jobRunning = false;
  state.updating = false;
  if (state.stopAsked) dismissQuestion();  // the job ended before the user's word: No

  const advice = words.portOpened(outcome) ? '' : words.portAdvice(outcome);
  if (advice) say(advice);
  const look = words.lookOf(outcome);
  const text = words.verdict(outcome, update, seconds);
  say(text);
  // The panel is read when Messages is folded away: what to do about the port goes there too.
  showVerdict(advice ? `${text} ${advice}` : text, look);
  showProgress(100);  // a failure fills the bar in its colour
  // The first percents come from the file check: only a download that began can stop in it.
  const stopped = look === 'failed' && outcome.adapter_changed && state.percent >= 0;
  ui.percent.textContent = stopped ? `${state.percent}%` : update && look !== 'failed' ? '100%' : '';
  showStatus(stopped ? `The download stopped at ${state.percent}%.` : '');
  if (outcome.model) {
    const updated = update && outcome.succeeded && outcome.version_after;
    state.adapter = {
      model: outcome.model,
      version: updated ? outcome.version_after : outcome.version_before,
    };
  }
  refresh();

  const question = words.recoverQuestion(outcome, update);
  if (question && (await ask(question))) await runJob(true, { recover: true });
}

// ---- the port

function usePort(port) {
  state.port = port;
  state.engine?.usePort(port);
  let info = {};
  try {
    info = port.getInfo();
  } catch {
    // a port that cannot say
  }
  ui.portName.textContent = describePort(info);
  ui.portName.className = 'facts good';
  refresh();
}

async function choosePort(filtered) {
  try {
    const port = await navigator.serial.requestPort(filtered ? { filters: kAdapterBridges } : {});
    usePort(port);
  } catch (error) {
    if (error?.name === 'NotFoundError') {
      if (!state.port) {
        ui.portName.textContent = filtered
            ? 'No adapter chosen. Not in the list? Press Other port... for every serial port ' +
              '(Bluetooth adapters are there).'
            : 'No adapter chosen.';
      }
      return;
    }
    ui.portName.textContent = `The browser gave no port: ${error?.message || error}.`;
    ui.portName.className = 'facts bad';
  }
}

// ---- the file

function takeFile(bytes, name, origin) {
  const facts = state.engine.checkFile(bytes, name);
  if (!facts.ok) {
    state.file = null;
    showFileFacts(`${name}:\n${facts.text.replace(/\r\n?/g, '\n').trim()}\nChoose another file.`,
                  'bad');
  } else {
    state.file = { bytes, name, facts };
    showFileFacts(`${name}: ${facts.text.trim()}${origin ? ` ${origin}` : ''}`, 'good');
  }
  refresh();
}

async function onFileChosen() {
  const chosen = ui.file.files[0];
  ui.file.value = '';  // the same file chosen again is read again
  if (!chosen) return;
  if (chosen.size > kMaxFirmwareBytes) {
    state.file = null;
    showFileFacts(`${chosen.name} is ${chosen.size} bytes, larger than any adapter's firmware ` +
                  `(at most ${kMaxFirmwareBytes} bytes). Choose the firmware file.`, 'bad');
    refresh();
    return;
  }
  try {
    const bytes = new Uint8Array(await chosen.arrayBuffer());
    takeFile(bytes, chosen.name, '');
    if (state.file?.bytes === bytes && state.repository) await sayIfPublished(bytes);
  } catch (error) {
    state.file = null;
    showFileFacts(`${chosen.name} could not be read: ${error?.message || error}. Choose it again.`,
                  'bad');
    refresh();
  }
}

// Whether a file chosen from this computer is one the signed firmware repository lists, said
// after its facts; a repository that cannot be checked is said too, and the file stays chosen.
async function sayIfPublished(bytes) {
  state.busy = true;  // the engine runs one call at a time
  refresh();
  const listed = await state.engine.listFirmware();
  state.busy = false;
  refresh();
  const digest = Array.from(new Uint8Array(await crypto.subtle.digest('SHA-256', bytes)),
                            (b) => b.toString(16).padStart(2, '0')).join('');
  const found = listed.ok ? listed.targets.find((t) => t.sha256 === digest && t.length === bytes.length)
                          : null;
  if (state.file?.bytes !== bytes) return;  // another file was chosen meanwhile
  const custom = found?.custom || {};
  const note = !listed.ok ? `Not checked against the firmware repository: ${listed.sentence}`
      : found ? `Verified: ${custom.model || found.name} v${custom.version || '?'} in the signed ` +
                'firmware repository.'
      : 'Not verified: this file is in none of the signed firmware repository\'s files.';
  showFileFacts(`${ui.fileFacts.textContent} ${note}`, 'good');
}

function notesOf(build) {
  if (!build.notes) return '';
  const notes = build.notes.length > kNotesShown ? `${build.notes.slice(0, kNotesShown)} ...`
                                                 : build.notes;
  return `\n\nRelease notes:\n${notes}`;
}

// The newest build for the adapter Read found, from the signed firmware repository: its
// metadata refreshed and verified, the build downloaded and verified, then checked by the
// engine against the model and version it is listed with; those bytes are the ones flashed.
async function onLatest() {
  const { model, version } = state.adapter;
  const have = version ? `v${version}` : 'an unknown version';
  const refuse = (why) => {
    const kept = state.file ? `\nStill chosen: ${state.file.name}.` : '';
    const text = `Newest firmware: ${why.replace(/[.\s]*$/, '.')}`;
    showFileFacts(`${text}${kept}`, 'bad');
    say(text);
  };
  state.busy = true;
  refresh();
  showStatus('Checking the firmware repository ...');
  try {
    const choice = await state.engine.newest(model, version);
    if (!choice.ok) return refuse(choice.sentence);
    const newest = choice.build ? `v${choice.build.version}` : '';
    switch (choice.pick) {
      case 'no_build':
        return refuse(`the firmware repository has no firmware for ${model}. Nothing was fetched`);
      case 'up_to_date':
        say(`Newest firmware: ${model} already runs ${have}, the newest firmware the repository ` +
            'has for it.');
        showFileFacts(`${model} already runs ${have}, the newest firmware for it.`, 'good');
        return undefined;
      case 'only_older':
        return refuse(`the firmware repository's newest firmware for ${model} is ${newest}, ` +
                      `older than the ${have} it runs: the repository may be stale. Nothing was ` +
                      'fetched');
      default:
        break;
    }
    showStatus('');
    const yes = await ask(`The newest firmware for ${model} is ${newest}; the adapter runs ` +
                          `${have}.\n\nDownload it and use it for the update?` +
                          notesOf(choice.build));
    if (!yes) {
      say(`Newest firmware: ${newest} for ${model} was not fetched.`);
      return undefined;
    }
    showStatus('Downloading the firmware ...');
    const build = await state.engine.fetchFirmware(choice.build.file);
    if (!build.ok) return refuse(build.sentence);
    say(`Newest firmware: ${newest} for ${model} was fetched and matches the signed firmware ` +
        'repository: press Update to install it.');
    takeFile(build.bytes, choice.build.file.split('/').pop(),
             'From the signed firmware repository: press Update to install it.');
    return undefined;
  } finally {
    state.busy = false;
    showStatus('');
    refresh();
  }
}

// ---- start

// The firmware repository built into the page (tools/web --build --root): its root is the
// trust, so it is never fetched. The metadata verified since is kept per root and repository.
async function pinnedRepository() {
  // Without a secure context there is no WebCrypto, and no Web Serial either: the page says so.
  if (typeof kTrustedRoot !== 'string' || !globalThis.crypto?.subtle) return null;
  const base = new URL(kRepository, document.baseURI).href.replace(/\/?$/, '/');
  const digest = await crypto.subtle.digest('SHA-256', new TextEncoder().encode(kTrustedRoot));
  const root = Array.from(new Uint8Array(digest).slice(0, 8),
                          (b) => b.toString(16).padStart(2, '0')).join('');
  let storage = null;
  try {
    storage = window.localStorage;
  } catch {
    // the browser keeps storage from the page: each visit starts from the pinned root
  }
  return {
    metadataUrl: `${base}metadata/`,
    targetsUrl: `${base}targets/`,
    store: storageStore(storage, `zorbent-tuf ${root} ${base} `, kTrustedRoot),
  };
}

// Where the note for browsers without Web Serial points, from site.json beside the page
// (optional, {"downloads": URL}); nothing in it is trusted.
async function siteDownloads() {
  try {
    const response = await fetch(new URL('site.json', document.baseURI), { cache: 'no-store' });
    const site = response.ok ? await response.json() : {};
    return typeof site?.downloads === 'string' ? site.downloads : '';
  } catch {
    return '';
  }
}

function explainUnsupported() {
  let why = '';
  if (!window.isSecureContext) {
    why = 'This page was not served over https (or from localhost), so the browser keeps Web ' +
          'Serial from it: open it at its https:// address.';
  } else if (!('serial' in navigator) || !navigator.serial) {
    why = 'This browser has no Web Serial, which the page needs to reach the adapter: Firefox, ' +
          'Safari and browsers on phones lack it. Use Chrome, Edge or Opera on a computer.';
  }
  if (!why) return true;
  ui.unsupportedText.textContent = why;
  ui.unsupported.hidden = false;
  return false;
}

async function start() {
  state.serialOk = explainUnsupported();
  refresh();
  ui.choosePort.addEventListener('click', () => choosePort(true));
  ui.read.addEventListener('click', () => runJob(false));
  ui.update.addEventListener('click', () => runJob(true));
  ui.stop.addEventListener('click', async () => {
    // Stopping a download leaves the adapter without firmware: only on the user's word.
    if (state.updating) {
      state.stopAsked = true;
      const yes = await ask(kStopQuestion);
      state.stopAsked = false;
      if (!yes) return;
    }
    if (!state.jobRunning) return;  // ended while asked
    showStatus('Stopping ...');
    state.engine.stop();
  });
  ui.file.addEventListener('change', onFileChosen);
  ui.latest.addEventListener('click', onLatest);
  window.addEventListener('beforeunload', (event) => {
    if (!state.jobRunning) return;
    event.preventDefault();
    event.returnValue = '';  // an update cut off leaves the adapter without firmware
  });

  ui.chooseAnyPort.addEventListener('click', () => choosePort(false));

  try {
    state.repository = await pinnedRepository();
    if (typeof kTrustedRoot !== 'string') showFileFacts(`${ui.fileFacts.textContent} ${kNoRepository}`);
    // The wasm by the hash the page was built with, as the browser checks its scripts'.
    const wasm = await fetch(new URL('zorbent_engine_core.wasm', import.meta.url),
                             { integrity: kWasmIntegrity });
    if (!wasm.ok) throw new Error(`zorbent_engine_core.wasm: the server answered ${wasm.status}`);
    state.engine = await createEngine({ port: null, onReport, ask, repository: state.repository,
                                        core: { wasmBinary: await wasm.arrayBuffer() } });
  } catch (error) {
    say(`**Failed** The page's engine could not be loaded: ${error?.message || error}. Reload ` +
        'the page.');
    return;
  }
  const downloads = await siteDownloads();
  if (downloads) ui.downloads.href = downloads;
  if (state.serialOk) {
    navigator.serial.addEventListener?.('disconnect', (event) => {
      if (event.target !== state.port || state.busy) return;
      ui.portName.textContent = `${describePort(state.port.getInfo())}: unplugged. Plug it in ` +
                                'and press Choose adapter.';
      ui.portName.className = 'facts bad';
    });
    try {
      const granted = await navigator.serial.getPorts();
      if (granted.length === 1 && !state.port) usePort(granted[0]);
    } catch {
      // nothing granted before
    }
  }
  refresh();
}

start();
