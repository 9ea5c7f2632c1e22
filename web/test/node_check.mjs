// The WebAssembly engine end to end under Node: a stand-in with the Web Serial SerialPort's
// shape carries its bytes over TCP to adapter-sim, and every job runs through the real
// zorbent_engine.js and its wasm. A rate change there (SetBaud) is a close and a new open, as
// in a browser, and what arrives between them is lost; the simulator ignores rates over TCP,
// but each open is counted here.
//
//   node web/test/node_check.mjs DIST_DIR ADAPTER_SIM
//
// Exit status 0 when every check passed.

import { spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { startSim as startSimProcess } from './sim_process.mjs';

const [distDir, simPath] = process.argv.slice(2).map((p) => p && path.resolve(p));
if (!distDir || !simPath) {
  console.error('usage: node node_check.mjs DIST_DIR ADAPTER_SIM');
  process.exit(2);
}
// The Emscripten module's Node branch looks for CommonJS names even in an ES module.
globalThis.require = createRequire(import.meta.url);
globalThis.__dirname = distDir;
const { createEngine } = await import(path.join(distDir, 'zorbent_engine.js'));
const wasmBinary = readFileSync(path.join(distDir, 'zorbent_engine_core.wasm'));

const work = mkdtempSync(path.join(os.tmpdir(), 'zorbent-web-'));
const sims = new Set();
let failures = 0;
// A time-out (tools/test-web) must not leave simulators behind.
process.on('SIGTERM', () => {
  for (const child of sims) child.kill();
  process.exit(1);
});

function check(ok, what, seen) {
  if (ok) return;
  failures++;
  console.error(`FAIL ${what}${seen === undefined ? '' : `: ${JSON.stringify(seen)}`}`);
}

// A simulated adapter on a free TCP port; resolves to {host, port, child}.
function startSim(args) {
  const { child, started } = startSimProcess(simPath, args);
  sims.add(child);
  return started;
}

function stopSim(sim) {
  sims.delete(sim.child);
  sim.child.kill();
}

function makeImage(name, args) {
  const file = path.join(work, name);
  const made = spawnSync(simPath, ['make-image', ...args, '--output', file], { encoding: 'utf8' });
  if (made.status !== 0) throw new Error(`make-image ${args.join(' ')}: ${made.stderr}`);
  return new Uint8Array(readFileSync(file));
}

// The SerialPort shape over one TCP connection, made at the first open, that outlives the
// opens as the wire to an adapter does: what arrives while the port is closed is dropped, as a
// serial driver drops it. The simulator ending the connection ends the open of the moment.
class TcpSerialPort {
  constructor({ host, port }) {
    this.address = { host, port };
    this.wire = null;
    this.socket = null;  // the wire while the port is open
    this.take = null;    // where the open of the moment takes what arrives, and its end
    this.opens = [];     // the rate of each open
    this.signals = [];   // each setSignals, in order
    this.misuse = [];    // calls the API would refuse
  }

  // As the API does, opening an open port and closing one whose streams are locked fail.
  async open({ baudRate }) {
    if (this.socket) {
      this.misuse.push('open while open');
      throw new Error('The port is already open.');
    }
    this.opens.push(baudRate);
    if (!this.wire) {
      const wire = net.connect(this.address.port, this.address.host);
      await new Promise((resolve, reject) => {
        wire.once('connect', resolve);
        wire.once('error', reject);
      });
      wire.on('data', (data) => this.take?.data(new Uint8Array(data)));
      wire.on('close', () => {
        this.wire = null;
        this.take?.end();
      });
      this.wire = wire;
    }
    const socket = this.socket = this.wire;
    this.readable = new ReadableStream({
      start: (controller) => {
        this.take = {
          data: (bytes) => controller.enqueue(bytes),
          end: () => {
            try {
              controller.close();
            } catch {
              // cancelled already
            }
          },
        };
      },
      cancel: () => {
        this.take = null;
      },
    });
    this.writable = new WritableStream({
      write(chunk) {
        return new Promise((resolve, reject) =>
          socket.write(chunk, (error) => (error ? reject(error) : resolve())));
      },
    });
  }

  async setSignals(signals) {
    if (!this.socket) this.misuse.push('setSignals while closed');
    this.signals.push(signals);
  }

  async close() {
    if (!this.socket) this.misuse.push('close while closed');
    if (this.readable?.locked || this.writable?.locked) {
      this.misuse.push('close while a stream is locked');
      throw new TypeError('Cannot cancel a locked stream');
    }
    this.take = null;
    this.socket = null;
    this.readable = this.writable = null;
  }

  getInfo() {
    return { usbVendorId: 0x1a86, usbProductId: 0x7523 };
  }
}

// One engine over a fresh stand-in; answers each question with the next of answers.
async function engineFor(sim, answers = []) {
  const port = new TcpSerialPort(sim);
  const seen = { texts: [], progress: [], waits: [], questions: [] };
  const engine = await createEngine({
    port,
    core: { wasmBinary },
    onReport(kind, data, words) {
      if (kind === 'text') seen.texts.push(data);
      else if (kind === 'progress') seen.progress.push(data);
      else if (kind === 'wait') seen.waits.push({ ...data, words });
    },
    async ask(question) {
      seen.questions.push(question);
      return answers.shift() === true;
    },
  });
  return { engine, port, seen };
}

function checkPortUse(port, what) {
  check(port.misuse.length === 0, `${what}: port use`, port.misuse);
  check(port.socket === null, `${what}: port closed after the job`);
  check(port.signals.length === port.opens.length &&
        port.signals.every((s) => s.dataTerminalReady === false && s.requestToSend === false),
        `${what}: DTR and RTS inactive after every open`, port.signals);
}

function checkOutcome(outcome, expected, what) {
  for (const [key, value] of Object.entries(expected))
    check(outcome[key] === value, `${what}: ${key} is ${JSON.stringify(value)}`, outcome[key]);
}

async function lineModeChecks() {
  const sim = await startSim(['--model', 'KTR5577']);
  try {
    const { engine, port, seen } = await engineFor(sim);
    const read = await engine.read();
    checkOutcome(read, { succeeded: true, kind: 'none', state: 'unchanged', stage: 'done',
                         model: 'KTR5577', version_before: '2.2.30' }, 'read');
    check(seen.texts.join('').includes('Port is opened!'), 'read: reports the open');
    check(seen.waits.some((w) => w.what === 'answer' && w.subject === 'QKI' &&
                              w.words.startsWith("Waiting for the adapter's answer to QKI (")),
          'read: says its wait for QKI', seen.waits);
    check(port.opens.join() === '115200', 'read: one open at 115200', port.opens);
    checkPortUse(port, 'read');

    // A file for another model: refused before anything changes the adapter.
    const other = makeImage('ktr5578.txt', ['--model', 'KTR5578']);
    const mismatch = await engine.update(other);
    checkOutcome(mismatch, { succeeded: false, kind: 'model_mismatch', state: 'unchanged',
                             adapter_changed: false, file_model: 'KTR5578' }, 'model mismatch');
    check(seen.texts.join('').includes(
              '**Failed** The upgrade file does not match the device model!'),
          'model mismatch: the engine says so');
    // Worded by the engine in the page's terms: its buttons, no command line.
    check(mismatch.look === 'failed' && mismatch.question === null &&
              mismatch.verdict === `Update failed: ${mismatch.brief}. ${mismatch.state_sentence} ` +
                  mismatch.recovery_sentence &&
              mismatch.recovery_sentence.endsWith('(Choose file, or Newest firmware after a ' +
                                                  'Read) and press Update again.') &&
              !/zorbent-fw|--|`/.test(mismatch.verdict),
          'model mismatch: the verdict in the page\'s terms', mismatch);
    const after = await engine.read();
    checkOutcome(after, { succeeded: true, version_before: '2.2.30' },
                 'model mismatch: the adapter is unchanged');

    const image = makeImage('ktr5577.txt', ['--model', 'KTR5577']);
    const facts = engine.checkFile(image, 'ktr5577.txt');
    checkOutcome(facts, { ok: true, model: 'KTR5577', family: 'line' }, 'checkFile');
    seen.progress.length = 0;
    const update = await engine.update(image, { name: 'ktr5577.txt' });
    checkOutcome(update, { succeeded: true, kind: 'none', state: 'updated_confirmed',
                           stage: 'done', family: 'line', adapter_changed: true },
                 'line-mode update');
    check(update.version_after === update.file_version && update.file_version === facts.version,
          'line-mode update: the new version is read back', update);
    check(seen.progress.at(-1) === 100, 'line-mode update: progress ends at 100', seen.progress);
    check(port.opens.every((rate) => rate === 115200), 'line-mode update: no rate change',
          port.opens);
    checkPortUse(port, 'line-mode update');
  } finally {
    stopSim(sim);
  }
}

async function blockModeChecks() {
  const sim = await startSim(['--model', 'KTR558']);
  try {
    const { engine, port, seen } = await engineFor(sim);
    const image = makeImage('ktr558.txt', ['--model', 'KTR558', '--records', '64']);
    checkOutcome(engine.checkFile(image), { ok: true, model: 'KTR558', family: 'block' },
                 'checkFile block');

    // A stop while the image goes: the job ends at its next step, and a second job is
    // refused while the first runs.
    let busy = null;
    let midJob = null;
    const stopping = await engineFor(sim);
    const stopped = stopping.engine.update(image);
    const onProgress = setInterval(() => {
      if (stopping.seen.progress.some((p) => p >= 10)) {
        clearInterval(onProgress);
        stopping.engine.read().then((r) => { busy = r; });
        midJob = stopping.engine.checkFile(image);  // runs while the job is suspended
        stopping.engine.stop();
      }
    }, 5);
    const stop = await stopped;
    clearInterval(onProgress);
    checkOutcome(stop, { succeeded: false, kind: 'stopped', adapter_changed: true }, 'stop');
    check(stop.verdict.includes('no working firmware until an update finishes'),
          'stop: the verdict says the adapter has no firmware', stop.verdict);
    check(busy !== null && busy.succeeded === false && /Another job/.test(busy.cause),
          'a second job while one runs is refused', busy);
    check(midJob?.ok === true && midJob.model === 'KTR558', 'checkFile during a job', midJob);
    checkPortUse(stopping.port, 'stop');

    // The interrupted adapter waits in download mode; recover finishes the update.
    const update = await engine.update(image, { recover: true });
    checkOutcome(update, { succeeded: true, kind: 'none', state: 'updated_confirmed',
                           family: 'block', model: 'KTR558', rate_switch_failed: false },
                 'block-mode update');
    check(port.opens[0] === 115200 && port.opens.includes(2000000),
          'block-mode update: the port is opened again at 2,000,000 baud', port.opens);
    check(seen.progress.at(-1) === 100, 'block-mode update: progress ends at 100', seen.progress);
    checkPortUse(port, 'block-mode update');
  } finally {
    stopSim(sim);
  }
}

async function olderFileChecks() {
  const sim = await startSim(['--model', 'KTR5577', '--device-version', '2.2.90']);
  try {
    const image = makeImage('older.txt', ['--model', 'KTR5577']);
    const no = await engineFor(sim, [false]);
    const refused = await no.engine.update(image);
    checkOutcome(refused, { succeeded: false, kind: 'older_file', state: 'unchanged',
                            older_file: true, adapter_changed: false }, 'older file, No');
    check(no.seen.questions.length === 1 && /older than the adapter's firmware v2\.2\.90/.test(
              no.seen.questions[0]), 'older file: the question names both versions',
          no.seen.questions);
    const yes = await engineFor(sim, [true]);
    const done = await yes.engine.update(image);
    checkOutcome(done, { succeeded: true, kind: 'none', state: 'updated_confirmed',
                         older_file: true }, 'older file, Yes');
    checkPortUse(yes.port, 'older file');
  } finally {
    stopSim(sim);
  }
}

async function badFileChecks() {
  const sim = await startSim(['--model', 'KTR5577']);
  try {
    const { engine, port } = await engineFor(sim);
    const corrupt = makeImage('corrupt.txt', ['--model', 'KTR5577', '--corrupt', 'bad-check-byte',
                                              '--corrupt-index', '3']);
    const bad = engine.checkFile(corrupt, 'corrupt.txt');
    check(bad.ok === false && bad.text.startsWith('**Failed** update file format error!\r\n') &&
          /^line 4: .+\.$/.test(bad.text.split('\r\n')[1]) && bad.line === 4, 'checkFile: a bad check byte is refused with its line', bad);
    const short = engine.checkFile(new TextEncoder().encode('00AB\r\n'), 'short.txt');
    check(short.ok === false && short.text.includes('short.txt is too short (6 bytes)'),
          'checkFile: a short file is refused', short);
    check(engine.checkFile('00AB').ok === false && engine.checkFile(corrupt.buffer).line === 4,
          'checkFile: text is refused, an ArrayBuffer taken');
    checkOutcome(await engine.update(null), { succeeded: false, kind: 'file_unusable' },
                 'update without bytes');
    const updated = await engine.update(corrupt);
    checkOutcome(updated, { succeeded: false, kind: 'file_format', stage: 'file' },
                 'update with a bad file');
    check(port.opens.length === 1, 'update with a bad file: opens the port once', port.opens);
  } finally {
    stopSim(sim);
  }
}

// A port that will not open, a missing port, and a connection lost mid-download.
async function portChecks() {
  const refusing = new TcpSerialPort({ host: '127.0.0.1', port: 1 });
  refusing.open = async () => {
    refusing.opens.push('refused');
    throw new Error('Failed to open serial port.');
  };
  const texts = [];
  const engine = await createEngine({ port: refusing, core: { wasmBinary },
                                      onReport: (kind, data) => kind === 'text' && texts.push(data) });
  const read = await engine.read();
  checkOutcome(read, { succeeded: false, kind: 'port_unavailable', state: 'not_reached',
                       port_error: 'Failed to open serial port' }, 'refused open');
  check(texts.join('').includes(
            '**Failed** Port connection error!\r\nusb-1a86-7523: Failed to open serial port.\r\n'),
        'refused open: the engine names the port and the browser\'s words', texts);
  check(refusing.opens.length === 3, 'refused open: three attempts', refusing.opens);

  const none = await createEngine({ port: undefined, core: { wasmBinary } });
  checkOutcome(await none.read(), { succeeded: false, kind: 'port_unavailable' }, 'no port');

  const sim = await startSim(['--model', 'KTR558', '--disconnect-at', '5']);
  try {
    const { engine: cut, port } = await engineFor(sim);
    const update = await cut.update(makeImage('cut.txt', ['--model', 'KTR558']));
    checkOutcome(update, { succeeded: false, kind: 'port_gone', adapter_changed: true },
                 'connection lost');
    checkPortUse(port, 'connection lost');
  } finally {
    stopSim(sim);
  }
}

try {
  await portChecks();
  await lineModeChecks();
  await blockModeChecks();
  await olderFileChecks();
  await badFileChecks();
} catch (error) {
  failures++;
  console.error(`FAIL ${error.stack || error}`);
} finally {
  for (const child of sims) child.kill();
  rmSync(work, { recursive: true, force: true });
}
console.log(failures === 0 ? 'node_check: all passed' : `node_check: ${failures} failed`);
process.exit(failures === 0 ? 0 : 1);
