// The update engine in the page: a read, an update and a file check over a serial port with
// the Web Serial API's shape (navigator.serial.requestPort()), driving the engine compiled to
// WebAssembly. The engine runs on the page's one thread: while it waits for the adapter, its
// call is suspended (Asyncify) and the page goes on.
//
//   const engine = await createEngine({ port, onReport(kind, data, words), ask(question) });
//   engine.checkFile(bytes)                         -> {ok, text, family, model, version, ...}
//   await engine.read()                             -> outcome
//   await engine.update(bytes, {recover, allowOlder}) -> outcome
//
// A progress or wait report comes with its words for the page (words, '' when a wait is over);
// an outcome with its verdict, look and question (null when there is none) in the page's terms.
//   engine.stop()
//   engine.usePort(port)                            -> false while a job runs
//   await engine.newest(model, version, allowOlder) -> {ok, sentence, pick, build}
//   await engine.fetchFirmware(name)                -> {ok, sentence, bytes, file}
//   await engine.listFirmware()                     -> {ok, sentence, targets}
//
// The last three use the firmware repository given to createEngine as repository:
// {metadataUrl, targetsUrl, store} (store: {load(role), save(role, text)}, repository_host.js),
// verified by the same client as the programs'; a refusal's sentence says what failed and what
// to do. createRepositoryClient gives them without a port (tuf_client_node.mjs).
//
// No method throws or rejects: every failure is a result (ok false, succeeded false). Only
// createEngine rejects, when the WebAssembly module cannot be loaded.

import createZorbentCore from './zorbent_engine_core.js';
import { fetchLimited } from './repository_host.js';

// The rate the adapters talk at until a block-mode download switches to the fast one.
const kNormalRate = 115200;
// Bytes kept for the engine's next read at most; older bytes go first. The engine empties the
// buffer before each command, so only a flooding line ever comes near it.
const kReceiveLimit = 1 << 20;
// The port's own read and write buffers (the API's default is 255 bytes): a block-mode record
// is longer, and a page busy for a moment must not overrun the reads at 2,000,000 baud.
const kPortBufferSize = 16384;
// How long a close may take before the port counts as closed anyway: a stuck device must not
// hang the job that closes it.
const kCloseLimitMs = 3000;
// The largest firmware file name kept for messages.
const kNameLimit = 100;

function errorText(error) {
  const text = error && error.message ? String(error.message) : String(error);
  return text.replace(/\.+\s*$/, '');
}

// A promise that settles after ms with value; cancel() stops its timer.
function timer(ms, value) {
  let id;
  const promise = new Promise((resolve) => {
    id = setTimeout(() => resolve(value), Math.max(0, ms));
  });
  return { promise, cancel: () => clearTimeout(id) };
}

// The engine's side of the serial port: opening at a rate (DTR and RTS inactive after every
// open), a receive buffer a reader keeps filling, waits for a count of bytes against a timer,
// writes against a timer, and closing. Nothing here rejects.
export class SerialLine {
  constructor(port) {
    this.port = port;
    this.reader = null;
    this.stream = null;  // the readable stream being read
    this.writer = null;
    this.pumping = null;
    this.chunks = [];
    this.size = 0;
    this.waiter = null;
    this.gone = false;
    this.closing = false;
    this.error = '';
  }

  // keepReceived: reopened for a new rate, which keeps the bytes received before, as a native
  // port's rate change does.
  async open(baudRate, keepReceived = false) {
    this.error = '';
    this.gone = false;
    if (!keepReceived) this.purge();
    if (!this.port || typeof this.port.open !== 'function') {
      this.error = 'no serial port was given (one from navigator.serial.requestPort())';
      return false;
    }
    try {
      await this.port.open({ baudRate, bufferSize: kPortBufferSize });
    } catch (error) {
      this.error = errorText(error);
      return false;
    }
    try {
      // Some adapters reset or stay in their boot loader while DTR or RTS is active.
      await this.port.setSignals({ dataTerminalReady: false, requestToSend: false });
    } catch (error) {
      this.error = `could not set DTR and RTS inactive: ${errorText(error)}`;
      await this.#closePort();
      return false;
    }
    try {
      this.writer = this.port.writable.getWriter();
      this.stream = this.port.readable;
      this.reader = this.stream.getReader();
    } catch (error) {
      this.error = errorText(error);
      await this.close();
      return false;
    }
    this.pumping = this.#pump();
    return true;
  }

  async close(keepReceived = false) {
    this.closing = true;
    const reader = this.reader;
    this.reader = null;
    if (reader) {
      try {
        await reader.cancel();
      } catch {
        // already ended
      }
    }
    if (this.pumping) await this.pumping;
    this.pumping = null;
    if (this.writer) {
      try {
        this.writer.releaseLock();  // a write still pending is dropped
      } catch {
        // already released
      }
      this.writer = null;
    }
    await this.#closePort();
    this.closing = false;
    if (!keepReceived) this.purge();
    this.#wake();
  }

  async #closePort() {
    const limit = timer(kCloseLimitMs, undefined);
    try {
      await Promise.race([this.port.close().catch(() => {}), limit.promise]);
    } catch {
      // closed already
    } finally {
      limit.cancel();
    }
  }

  // Reads until the port is closed or lost. A read error the port survives (a framing or
  // parity error, an overrun) gives a new readable stream: reading goes on there. Each reader's
  // lock is released when it ends: the port does not close while its readable is locked.
  async #pump() {
    let reader = this.reader;
    while (reader) {
      let failed = false;
      try {
        const { value, done } = await reader.read();
        if (value && value.length) this.#append(value);
        if (!done) continue;
      } catch (error) {
        this.error = errorText(error);
        failed = true;
      }
      const stream = this.port.readable;
      try {
        reader.releaseLock();
      } catch {
        // released already
      }
      reader = null;
      // Only an error the port survived brings a new stream; an ended one is the end.
      if (failed && !this.closing && stream && !stream.locked && stream !== this.stream) {
        try {
          reader = this.reader = stream.getReader();
          this.stream = stream;
        } catch {
          reader = null;
        }
      }
    }
    if (!this.closing) this.gone = true;  // ended from the other side, or the device went
    this.#wake();
  }

  #append(bytes) {
    this.chunks.push(bytes);
    this.size += bytes.length;
    while (this.size > kReceiveLimit) this.#drop(this.size - kReceiveLimit);
    this.#wake();
  }

  #drop(count) {
    while (count > 0 && this.chunks.length) {
      const first = this.chunks[0];
      if (first.length <= count) {
        this.chunks.shift();
        this.size -= first.length;
        count -= first.length;
      } else {
        this.chunks[0] = first.subarray(count);
        this.size -= count;
        count = 0;
      }
    }
  }

  #wake() {
    const waiter = this.waiter;
    if (!waiter) return;
    if (this.size >= waiter.count) waiter.finish(true);
    else if (this.gone || !this.reader) waiter.finish(false);
  }

  count() {
    return this.size;
  }

  // True once count bytes are buffered; false when timeoutMs passes first or the port ends.
  wait(count, timeoutMs) {
    if (this.size >= count) return Promise.resolve(true);
    if (this.gone || !this.reader) return Promise.resolve(false);
    const limit = timer(timeoutMs, false);
    return new Promise((resolve) => {
      const finish = (ok) => {
        limit.cancel();
        this.waiter = null;
        resolve(ok);
      };
      this.waiter = { count, finish };
      limit.promise.then(() => {
        if (this.waiter && this.waiter.finish === finish) finish(false);
      });
    });
  }

  // Up to count buffered bytes, oldest first.
  take(count) {
    const out = new Uint8Array(Math.min(count, this.size));
    let at = 0;
    while (at < out.length) {
      const first = this.chunks[0];
      const part = Math.min(first.length, out.length - at);
      out.set(first.subarray(0, part), at);
      at += part;
      this.#drop(part);
    }
    return out;
  }

  purge() {
    this.chunks = [];
    this.size = 0;
  }

  // Bytes that came before the port ended can still be read; then it is gone.
  isGone() {
    return this.gone && this.size === 0;
  }

  lastError() {
    return this.error || 'the serial port could not be opened';
  }

  // True once the writer took every byte within timeoutMs.
  async write(bytes, timeoutMs) {
    if (!this.writer || this.gone) return false;
    const limit = timer(timeoutMs, false);
    const written = this.writer.write(bytes).then(
      () => true,
      (error) => {
        this.error = errorText(error);
        return false;
      });
    try {
      return await Promise.race([written, limit.promise]);
    } finally {
      limit.cancel();
    }
  }
}

// What a page calls the port in messages: the USB vendor and product when the port tells.
function portName(port) {
  try {
    const info = port.getInfo ? port.getInfo() : {};
    const hex = (n) => n.toString(16).padStart(4, '0');
    if (Number.isInteger(info.usbVendorId) && Number.isInteger(info.usbProductId))
      return `usb-${hex(info.usbVendorId)}-${hex(info.usbProductId)}`;
  } catch {
    // a port without getInfo
  }
  return 'serial-port';
}

// The file's name for messages, as a plain name in MEMFS's working folder.
function fileName(name) {
  const base = String(name || '').split(/[\\/]/).pop().replace(/[^\w.\-+ ()]/g, '_');
  return base && base !== '.' && base !== '..' ? base.slice(0, kNameLimit) : 'firmware.txt';
}

// The bytes of a file as MEMFS takes them; null for anything else.
function asBytes(bytes) {
  if (bytes instanceof ArrayBuffer) return new Uint8Array(bytes);
  return ArrayBuffer.isView(bytes) ? bytes : null;
}

const kNotBytes = 'The firmware must be given as its bytes (a Uint8Array).';

// A job refused here, before the engine had it: its verdict is the cause.
function refusal(cause, update) {
  return {
    succeeded: false, stage: 'connect', kind: 'port_unavailable', state: 'not_reached',
    recovery: 'run_again', check_only: false, cause, detail: null, opened: false,
    look: 'failed', verdict: `${update ? 'Update' : 'Read'} failed. ${cause}`, question: null,
  };
}

// The host's side of the repository client: fetch() for downloads, store for the metadata.
function repositoryHost(repository) {
  const store = repository?.store;
  return {
    fetch: fetchLimited,
    load: (role) => store?.load(role) ?? null,
    save: (role, text) => (store ? store.save(role, text) : 'no store was given for the metadata'),
  };
}

// The repository calls of a loaded core: each suspends while it downloads, so they run one at
// a time and never beside a job (busy() tells).
function repositoryCalls(Module, repository, busy, setBusy) {
  const call = async (name, types, values) => {
    if (!repository) return { ok: false, sentence: 'No firmware repository is set for this page.' };
    if (busy()) return { ok: false, sentence: 'Another job is still running: wait for it to end.' };
    setBusy(true);
    try {
      return JSON.parse(await Module.ccall(name, 'string', ['string', 'string', ...types],
                                           [repository.metadataUrl, repository.targetsUrl, ...values],
                                           { async: true }));
    } catch (error) {
      return { ok: false, sentence: `The firmware repository's client failed: ${errorText(error)}.` };
    } finally {
      setBusy(false);
    }
  };
  const kFetched = '/firmware/repository-download';
  const kHeld = '/firmware/repository-held';
  const drop = (at) => {
    try {
      Module.FS.unlink(at);
    } catch {
      // not there
    }
  };
  return {
    listFirmware: () => call('zorbent_repository_refresh', [], []),
    newest: (model, version = '', allowOlder = false) =>
      call('zorbent_repository_choose', ['string', 'string', 'number'],
           [String(model || ''), String(version || ''), allowOlder ? 1 : 0]),
    // The target downloaded and verified; firmware: also the engine's file check, its model and
    // version those the target lists. held: bytes already kept, used when they are the target.
    async download(name, { firmware = true, held = null } = {}) {
      drop(kFetched);
      if (held) Module.FS.writeFile(kHeld, held);
      try {
        const got = await call('zorbent_repository_download',
                               ['string', 'string', 'string', 'number'],
                               [String(name), kFetched, held ? kHeld : '', firmware ? 1 : 0]);
        if (got.ok) got.bytes = got.held ? held : Module.FS.readFile(kFetched);
        return got;
      } finally {
        drop(kFetched);
        drop(kHeld);
      }
    },
  };
}

// The repository client alone, without a port (Node's command-line client).
export async function createRepositoryClient({ repository, core = {} }) {
  const Module = await createZorbentCore({ ...core, zorbentHost: { repository: repositoryHost(repository) } });
  Module.FS.mkdir('/firmware');
  let running = false;
  return repositoryCalls(Module, repository, () => running, (now) => { running = now; });
}

export async function createEngine({ port, onReport = () => {}, ask = async () => false, repository = null, core = {} }) {
  const line = new SerialLine(port);
  const report = (kind, data, words = '') => {
    try {
      onReport(kind, data, words);
    } catch (error) {
      console.error('onReport failed:', error);
    }
  };
  const host = {
    line,
    report,
    repository: repositoryHost(repository),
    async ask(question) {
      try {
        return (await ask(question)) === true;
      } catch {
        return false;  // no answer is No
      }
    },
  };
  const Module = await createZorbentCore({ ...core, zorbentHost: host });
  // Files go by their plain names into a folder of their own, where no system folder
  // (/dev, /tmp) can take a name.
  Module.FS.mkdir('/firmware');
  Module.FS.chdir('/firmware');
  let config = `com|${portName(port)}:${kNormalRate}`;
  let running = false;

  // Calls a C function that takes text and may not suspend (see check): ccall would take a
  // suspended job's pause for its own.
  const callWithText = (fn, texts) => {
    const pointers = texts.map((text) => {
      const size = Module.lengthBytesUTF8(text) + 1;
      const at = Module._malloc(size);
      Module.stringToUTF8(text, at, size);
      return at;
    });
    try {
      return Module.UTF8ToString(fn(...pointers));
    } finally {
      pointers.forEach((at) => Module._free(at));
    }
  };

  // One job at a time: a second is refused, said like the engine says a refusal.
  const job = async (update, run) => {
    if (running) {
      const cause = 'Another job is still running: wait for it to end, or stop it.';
      report('text', `**Failed** ${cause}\r\n`);
      return refusal(cause, update);
    }
    running = true;
    try {
      return JSON.parse(await run());
    } catch (error) {
      const cause = `The engine failed: ${errorText(error)}.`;
      report('text', `**Failed** ${cause}\r\n`);
      return { ...refusal(cause, update), kind: 'unknown', recovery: 'nothing', opened: true };
    } finally {
      running = false;
    }
  };

  const calls = repositoryCalls(Module, repository, () => running, (now) => { running = now; });
  return {
    listFirmware: calls.listFirmware,
    newest: calls.newest,
    fetchFirmware: (name) => calls.download(name),

    checkFile(bytes, name = 'firmware.txt') {
      const path = `check-${fileName(name)}`;
      const data = asBytes(bytes);
      if (!data) return { ok: false, text: `**Failed** File is Invalid!\r\n${kNotBytes}\r\n` };
      try {
        Module.FS.writeFile(path, data);
        return JSON.parse(callWithText(Module._zorbent_check_file, [path]));
      } catch (error) {
        return { ok: false, text: `**Failed** File is Invalid!\r\n${errorText(error)}.\r\n` };
      } finally {
        try {
          Module.FS.unlink(path);
        } catch {
          // never written
        }
      }
    },

    read() {
      return job(false, () => Module.ccall('zorbent_read', 'string', ['string'], [config],
                                           { async: true }));
    },

    update(bytes, { recover = false, allowOlder = false, name = 'firmware.txt' } = {}) {
      const data = asBytes(bytes);
      if (!data) {
        report('text', `**Failed** File is Invalid!\r\n${kNotBytes}\r\n`);
        return Promise.resolve({ ...refusal(kNotBytes, true), stage: 'file', kind: 'file_unusable',
                                 recovery: 'another_file', opened: true });
      }
      return job(true, async () => {
        const path = fileName(name);
        Module.FS.writeFile(path, data);
        try {
          return await Module.ccall('zorbent_update', 'string',
                                    ['string', 'string', 'number', 'number'],
                                    [config, path, recover ? 1 : 0, allowOlder ? 1 : 0],
                                    { async: true });
        } finally {
          Module.FS.unlink(path);
        }
      });
    },

    stop() {
      if (running) Module._zorbent_stop();
    },

    // The port the next jobs use (one from requestPort()); false while a job runs.
    usePort(next) {
      if (running) return false;
      line.port = next;
      config = `com|${portName(next)}:${kNormalRate}`;
      return true;
    },
  };
}
