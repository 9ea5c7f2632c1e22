// How a job ended, in this page's terms: the line that closes it (what happened, the adapter's
// state, what to do with the page's buttons), its look, and the line under the bar while it
// waits. Built only from the engine's outcome (its kind, state and recovery names and facts),
// never from its message text.

const kFinishInterrupted =
    'press Update again; answer Yes when asked to finish the interrupted update';
// After a Read, which had no file.
const kFinishFromRead = 'choose its firmware file, then press Update and answer Yes when asked ' +
    'to finish the interrupted update.';
// The adapters whose interrupted update needs a power cycle first, as the engine's device table
// names them.
const kBlockModels = 'KTR558, KTR5688';

const version = (v) => (v ? `v${v}` : 'an unknown version');
const modelOr = (model, otherwise) => model || otherwise;

// "KTR5577 (zOrbent BM)"
function adapter(o) {
  if (!o.model) return 'the adapter';
  return o.adapter_name ? `${o.model} (${o.adapter_name})` : o.model;
}

// Whether the job got as far as an open port.
export function portOpened(o) {
  return !(o.stage === 'connect' && o.kind === 'port_unavailable');
}

function updateEnded(o, seconds) {
  const file = ` (file ${version(o.file_version)}); press Read to check.`;
  if (o.kind === 'not_confirmed' && !o.version_after) {
    return 'Update not confirmed: the download finished, but the adapter did not report its ' +
           `new version${file}`;
  }
  if (o.kind === 'not_confirmed') {
    const still = o.version_after === o.version_before ? 'still ' : '';
    return `Update not confirmed: the adapter ${still}reports ${version(o.version_after)}${file}`;
  }
  const before = o.found_in_download_mode ? '(was in download mode)' : version(o.version_before);
  return `Update succeeded: ${adapter(o)} ${before} -> ${version(o.version_after)} in ` +
         `${seconds.toFixed(1)} s`;
}

function readEnded(o) {
  if (!o.model) return `Read: ${version(o.version_before)}, from a model this page does not know`;
  if (!o.version_before) return `Read: ${o.model}, which did not report its firmware version`;
  return `Read: ${o.model} v${o.version_before}`;
}

const kStates = {
  not_reached: () => 'Nothing was sent to the adapter.',
  unchanged: () => 'Nothing was sent that changes the adapter.',
  in_download_mode: () =>
    'The adapter is in download mode: it has no working firmware until an update finishes.',
  may_be_in_download_mode: (o) =>
    `The adapter did not answer ${o.unanswered || 'the last command'}, so it may be in ` +
    'download mode.',
  updated_confirmed: () => "The adapter reports the file's version.",
  updated_not_confirmed: () =>
    "The download finished, but the adapter does not report the file's version.",
};

function checkConnection(o) {
  if (o.garbled) {
    return 'Its answer was not text, which a wrong rate or another device gives: check that ' +
           'the adapter chosen is the adapter (Choose adapter).';
  }
  return 'Check that it is powered and plugged in (a Bluetooth adapter paired and on), then ' +
         'press Choose adapter and pick it again.';
}

function anotherFile(o) {
  switch (o.kind) {
    case 'upgrade_first':
      return 'Choose the firmware the message above names, install it, then this file.';
    case 'firmware_higher':
      return `Choose a newer file for ${modelOr(o.file_model, 'this adapter')} and press ` +
             'Update again.';
    case 'model_mismatch':
      return `Choose a file for ${modelOr(o.model, 'this adapter')} (Choose file, or Newest ` +
             'firmware after a Read) and press Update again.';
    default:
      return 'Choose a sound firmware file for the adapter and press Update again.';
  }
}

// What to do next, with the page's buttons.
function recoverySentence(o, update) {
  const model = modelOr(o.model, o.file_model);
  switch (o.recovery) {
    case 'check_connection':
      return checkConnection(o);
    case 'run_again':
      return update ? 'Press Update again.' : 'Press Read again.';
    case 'power_cycle_then_update':
      if (o.state !== 'in_download_mode')
        return 'Power the adapter off and on, then press Update again.';
      if (!update) return `Power the adapter off and on, ${kFinishFromRead}`;
      return `Power the adapter off and on, then ${kFinishInterrupted}.`;
    case 'another_file':
      return anotherFile(o);
    case 'another_file_recover':
      if (o.kind === 'odd_file_not_closed') {
        return "This adapter does not close a download without the file's last line, which a " +
               'file with an odd number of lines never sends: choose another file for ' +
               `${modelOr(model, 'it')}, then ${kFinishInterrupted}.`;
      }
      return `Choose a file for ${modelOr(model, 'it')}, then ${kFinishInterrupted}.`;
    case 'recover_if_download_mode':
      if (!update) {
        return 'If an interrupted update left it in download mode, power it off and on if it ' +
               `is a block-mode adapter (${kBlockModels}), ${kFinishFromRead}`;
      }
      return `If it is a ${modelOr(o.file_model, "adapter of this file's model")} left in ` +
             `download mode by an interrupted update, ${kFinishInterrupted}.`;
    case 'allow_older':
      return `To install the ${o.version_unknown ? '' : 'older '}file anyway, press Update ` +
             'again and answer Yes when asked.';
    case 'read_to_tell':
      return 'To find out, press Read: it tells.';
    case 'contact_maker':
      return 'This page cannot update it.';
    case 'newer_program':
      return 'This adapter needs a newer version of this page.';
    default:
      return '';
  }
}

// The port could not be opened: what the browser said, and what to do about it.
export function portAdvice(o) {
  const said = o.port_error ? `The browser said: ${o.port_error}. ` : '';
  return `${said}Close any other program or browser tab using the adapter, check that it is ` +
         'plugged in, then press Choose adapter and pick it again.';
}

// The line that closes a job; seconds is its time.
export function verdict(o, update, seconds) {
  const job = update ? 'Update' : 'Read';
  if (!portOpened(o)) return `${job} failed: the adapter could not be reached. Nothing was sent to it.`;
  if (o.succeeded) return update ? updateEnded(o, seconds) : readEnded(o);
  const state = (kStates[o.state] || (() => ''))(o);
  const line = `${job} failed: ${o.brief || 'the job failed'}. ${state}`.trim();
  const next = recoverySentence(o, update);
  return next ? `${line} ${next}` : line;
}

// succeeded | failed | not_confirmed: a finished update whose version is not the file's is
// neither a success nor a failure.
export function lookOf(o) {
  if (!portOpened(o) || !o.succeeded) return 'failed';
  return o.kind === 'not_confirmed' ? 'not_confirmed' : 'succeeded';
}

// The question after an adapter that did not name itself: whether this file may finish an
// interrupted update; null when there is nothing to ask.
export function recoverQuestion(o, update) {
  if (!update || !portOpened(o) || o.succeeded || o.recovery !== 'recover_if_download_mode')
    return null;
  const model = o.file_model || "this file's model";
  return `The adapter did not identify itself (it answered "${o.banner || ''}" to ATI). If it ` +
         `is a ${model} left in download mode by an interrupted update, this file can finish ` +
         'that update, without model and version checks. Finish the interrupted update?';
}

// The line under the bar while a job waits: what for and how long at most.
export function waitWords(wait) {
  const limit = `${Math.ceil(wait.limitMs / 1000)} s`;
  switch (wait.what) {
    case 'connection': {
      const parts = [];
      if (wait.attempt > 1) parts.push(`attempt ${wait.attempt} of ${wait.attempts}`);
      if (wait.limitMs > 0) parts.push(`up to ${limit}`);
      return `Opening the adapter's port${parts.length ? ` (${parts.join(', ')})` : ''} ...`;
    }
    case 'answer':
      return `Waiting for the adapter's answer${wait.subject ? ` to ${wait.subject}` : ''} ` +
             `(${limit}) ...`;
    case 'quiet_line':
      return `Waiting for a late answer to pass (up to ${limit}) ...`;
    case 'restart':
      return `Waiting for the adapter to restart (${limit}) ...`;
    default:
      return '';
  }
}

export const progressWords = (percent) => `Sending the firmware: ${percent}%`;
