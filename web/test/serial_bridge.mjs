// Carries a page's serial port to adapter-sim: each WebSocket connection is one open of the
// port (ws://127.0.0.1:P/?baud=RATE&sim=ID); its binary messages go both ways over a TCP
// connection to that simulator, and either side closing closes the other. The rate of each
// open is kept per simulator, so a check can see a block-mode download's switch.
//
//   const bridge = await startBridge();
//   bridge.addSim(id, {host, port}); bridge.url; bridge.opens(id); await bridge.close();

import net from 'node:net';
import { WebSocketServer } from 'ws';

export async function startBridge() {
  const sims = new Map();  // id -> {host, port, opens: [rate...]}
  const sockets = new Set();
  const server = new WebSocketServer({ host: '127.0.0.1', port: 0 });
  await new Promise((resolve, reject) => {
    server.once('listening', resolve);
    server.once('error', reject);
  });

  server.on('connection', (ws, request) => {
    const query = new URL(request.url, 'ws://127.0.0.1').searchParams;
    const sim = sims.get(query.get('sim'));
    if (!sim) {
      ws.close(4004, `no simulator '${query.get('sim')}'`);
      return;
    }
    sim.opens.push(Number(query.get('baud')));
    // Bytes from the page wait until the simulator's connection is up.
    const tcp = net.connect(sim.port, sim.host);
    sockets.add(tcp);
    tcp.setNoDelay(true);
    tcp.on('data', (data) => ws.readyState === ws.OPEN && ws.send(data, { binary: true }));
    tcp.on('close', () => {
      sockets.delete(tcp);
      ws.close();
    });
    tcp.on('error', () => tcp.destroy());
    ws.on('message', (data) => tcp.write(data));
    ws.on('close', () => tcp.destroy());
    ws.on('error', () => tcp.destroy());
  });

  return {
    url: `ws://127.0.0.1:${server.address().port}`,
    addSim(id, { host, port }) {
      sims.set(id, { host, port, opens: [] });
    },
    opens: (id) => sims.get(id)?.opens ?? [],
    close() {
      for (const tcp of sockets) tcp.destroy();
      for (const ws of server.clients) ws.terminate();
      return new Promise((resolve) => server.close(() => resolve()));
    },
  };
}
