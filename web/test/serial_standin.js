// A Web Serial stand-in for the browser check, put in the page before its own scripts: its
// navigator.serial hands out one port (a CH340, 1a86:7523) whose every open is a WebSocket to
// the check's bridge (serial_bridge.mjs), which carries the bytes to adapter-sim. As a serial
// driver does, it drops what arrives while the port is closed, or after its readable was
// cancelled.
//
// window.__standin = {bridge: 'ws://127.0.0.1:P', sim: 'ID'} says where to connect (read at
// each open). window.__serialStandin is what the check looks at and steers:
//   log.filters   the filters of each requestPort
//   log.opens     the rate of each open
//   log.misuse    each call the real API refuses (open while open, close while locked, ...)
//   cancelChooser true: the next requestPort rejects as a user's Cancel does
//   busy          true: every open rejects as for a device another program holds
(() => {
  const kInfo = { usbVendorId: 0x1a86, usbProductId: 0x7523 };
  const log = { filters: [], opens: [], signals: [], misuse: [] };
  const control = { log, cancelChooser: false, busy: false };
  const granted = [];
  const refuse = (what, error) => {
    log.misuse.push(what);
    throw error;
  };
  const invalid = (text) => new DOMException(text, 'InvalidStateError');

  class StandinPort extends EventTarget {
    #ws = null;
    #opening = false;
    #readable = null;
    #writable = null;

    get readable() {
      return this.#readable;
    }
    get writable() {
      return this.#writable;
    }

    async open({ baudRate, bufferSize } = {}) {
      if (this.#ws || this.#opening) refuse('open while open', invalid('The port is already open.'));
      if (!Number.isInteger(baudRate) || baudRate <= 0)
        throw new TypeError(`Failed to execute 'open' on 'SerialPort': baudRate ${baudRate}.`);
      if (bufferSize !== undefined && !(bufferSize > 0 && bufferSize <= 16 * 1024 * 1024))
        throw new TypeError(`Failed to execute 'open' on 'SerialPort': bufferSize ${bufferSize}.`);
      const { bridge, sim } = window.__standin || {};
      log.opens.push(baudRate);
      // Another program or tab holds the device: the browser's own words.
      if (control.busy) throw new DOMException('Failed to open serial port.', 'NetworkError');
      this.#opening = true;
      const ws = new WebSocket(`${bridge}/?baud=${baudRate}&sim=${encodeURIComponent(sim)}`);
      ws.binaryType = 'arraybuffer';
      try {
        await new Promise((resolve, reject) => {
          ws.onopen = resolve;
          ws.onerror = () => reject(new DOMException('Failed to open serial port.', 'NetworkError'));
        });
      } finally {
        this.#opening = false;
      }
      this.#ws = ws;
      const port = this;
      let reading = true;
      this.#readable = new ReadableStream({
        start(controller) {
          ws.onmessage = (event) => {
            if (port.#ws !== ws || !reading) return;
            controller.enqueue(new Uint8Array(event.data));
          };
          // The other side hung up: as a lost device, the stream fails.
          ws.onclose = () => {
            try {
              controller.error(new DOMException('The device has been lost.', 'NetworkError'));
            } catch {
              // cancelled already
            }
          };
        },
        cancel: () => {
          reading = false;
          ws.close();
        },
      });
      this.#writable = new WritableStream({
        write(chunk) {
          if (port.#ws !== ws) refuse('write after close', invalid('The port is closed.'));
          if (ws.readyState !== WebSocket.OPEN)
            throw new DOMException('The device has been lost.', 'NetworkError');
          ws.send(chunk);
        },
      });
    }

    async setSignals(signals = {}) {
      if (!this.#ws) refuse('setSignals while closed', invalid('The port is closed.'));
      log.signals.push({ ...signals });
    }

    async close() {
      if (!this.#ws) refuse('close while closed', invalid('The port is already closed.'));
      if (this.#readable?.locked || this.#writable?.locked)
        refuse('close while a stream is locked', new TypeError('Cannot cancel a locked stream'));
      this.#ws.close();
      this.#ws = this.#readable = this.#writable = null;
    }

    getInfo() {
      return { ...kInfo };
    }

    async forget() {
      if (this.#ws && !this.#readable?.locked && !this.#writable?.locked) await this.close();
      granted.splice(granted.indexOf(this), 1);
    }
  }

  const serial = new EventTarget();
  serial.requestPort = async (options = {}) => {
    const filters = options.filters || [];
    log.filters.push(filters);
    if (!navigator.userActivation.isActive)
      refuse('requestPort without a user gesture',
             new DOMException('Must be handling a user gesture to show a permission request.',
                              'SecurityError'));
    // The chooser lists only the ports the filters let through.
    const shown = filters.length === 0 || filters.some((f) =>
      (f.usbVendorId === undefined || f.usbVendorId === kInfo.usbVendorId) &&
      (f.usbProductId === undefined || f.usbProductId === kInfo.usbProductId));
    if (control.cancelChooser || !shown) {
      control.cancelChooser = false;
      throw new DOMException('No port selected by the user.', 'NotFoundError');
    }
    if (!granted.length) granted.push(new StandinPort());
    return granted[0];
  };
  serial.getPorts = async () => [...granted];
  Object.defineProperty(Navigator.prototype, 'serial', { get: () => serial, configurable: true });
  window.__serialStandin = control;
})();
