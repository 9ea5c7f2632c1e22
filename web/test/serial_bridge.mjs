// Carries a page's serial port to adapter-sim as a serial line does. Each simulator has one TCP
// connection, its wire, which outlives the opens of the port; each WebSocket connection is one
// open (ws://127.0.0.1:P/?baud=RATE&sim=ID) and takes what comes over the wire while it lasts.
// What the adapter sends while no open takes it is lost, as a serial driver drops what arrives
// on a closed port. The wire ends when the simulator ends it (a hang-up, a power cycle), and
// with it the open of the moment; the next open makes a new one. The rate of each open is kept
// per simulator, so a check can see a block-mode download's switch.
//
//   const bridge = await startBridge();
//   bridge.addSim(id, {host, port}); bridge.url; bridge.opens(id); await bridge.close();

import net from 'node:net';
import { WebSocketServer } from 'ws';

export async function startBridge() {
  const sims = new Map();  // id -> {host, port, opens: [rate...], wire, open}
  const sockets = new Set();
  const server = new WebSocketServer({ host: '127.0.0.1', port: 0 });
  await new Promise((resolve, reject) => {
    server.once('listening', resolve);
    server.once('error', reject);
  });

  // Bytes from the page wait until the connection is up.
  const connect = (sim) => {
    const wire = net.connect(sim.port, sim.host);
    sim.wire = wire;
    sockets.add(wire);
    wire.setNoDelay(true);
    wire.on('data', (data) => {
      const { open } = sim;
      if (open && open.readyState === open.OPEN) open.send(data, { binary: true });
    });
    wire.on('close', () => {
      sockets.delete(wire);
      if (sim.wire === wire) sim.wire = null;
      sim.open?.close();
    });
    wire.on('error', () => wire.destroy());
    return wire;
  };

  server.on('connection', (ws, request) => {
    const query = new URL(request.url, 'ws://127.0.0.1').searchParams;
    const sim = sims.get(query.get('sim'));
    if (!sim) {
      ws.close(4004, `no simulator '${query.get('sim')}'`);
      return;
    }
    sim.opens.push(Number(query.get('baud')));
    const wire = sim.wire ?? connect(sim);
    sim.open = ws;
    ws.on('message', (data) => wire.destroyed || wire.write(data));
    const closed = () => {
      if (sim.open === ws) sim.open = null;
    };
    ws.on('close', closed);
    ws.on('error', closed);
  });

  return {
    url: `ws://127.0.0.1:${server.address().port}`,
    addSim(id, { host, port }) {
      sims.set(id, { host, port, opens: [], wire: null, open: null });
    },
    opens: (id) => sims.get(id)?.opens ?? [],
    close() {
      for (const wire of sockets) wire.destroy();
      for (const ws of server.clients) ws.terminate();
      return new Promise((resolve) => server.close(() => resolve()));
    },
  };
}
