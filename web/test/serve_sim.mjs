// The page by hand against a simulated adapter: serves DIST_DIR on http://localhost:PORT with
// the Web Serial stand-in put into the page, whose port reaches one adapter-sim (started here
// with the given options) over the WebSocket bridge. Choose adapter... then picks it at once.
//
//   node web/test/serve_sim.mjs DIST_DIR ADAPTER_SIM PORT ADAPTER-SIM-OPTIONS...
//
// Ctrl-C ends the server and the simulator. `kill -USR1 PID` (the PID printed) turns the
// simulated adapter off and on.

import { readFileSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { startBridge } from './serial_bridge.mjs';
import { startSim } from './sim_process.mjs';
import { serveFolder } from './static_server.mjs';

const [distDir, simPath, portText, ...simArgs] = process.argv.slice(2);
const port = Number(portText);
if (!distDir || !simPath || !Number.isInteger(port) || !simArgs.length) {
  console.error('usage: node serve_sim.mjs DIST_DIR ADAPTER_SIM PORT ADAPTER-SIM-OPTIONS...');
  process.exit(2);
}

const { child: sim, started } = startSim(simPath, simArgs, { stderr: 'inherit' });
const end = (code) => {
  sim.kill();
  process.exit(code);
};
process.on('SIGINT', () => end(0));
process.on('SIGTERM', () => end(0));
const address = await started.catch((error) => {
  console.error(`serve_sim: ${error.message}`);
  end(1);
});
sim.on('exit', (code) => {
  console.error(`serve_sim: adapter-sim ended (status ${code}); stopping`);
  process.exit(1);
});

const bridge = await startBridge();
bridge.addSim('manual', address);
const standin = readFileSync(path.join(path.dirname(fileURLToPath(import.meta.url)),
                                       'serial_standin.js'), 'utf8');
const label = `Simulated adapter: adapter-sim ${simArgs.join(' ')} (no real device is reached)`;
const inject = `<script>window.__standin = ${JSON.stringify({ bridge: bridge.url, sim: 'manual' })};
${standin}
addEventListener('DOMContentLoaded', () => {
  const note = document.createElement('p');
  note.className = 'note';
  note.textContent = ${JSON.stringify(label)};
  document.body.prepend(note);
});
</script>`;
let server;
try {
  server = await serveFolder(distDir, { port, inject });
} catch (error) {
  console.error(`serve_sim: cannot serve on port ${port}: ${error.message}`);
  end(1);
}
console.log(`serve_sim: ${label}, pid ${sim.pid}`);
console.log(`serve_sim: open ${server.url.replace('127.0.0.1', 'localhost')}/ in Chrome, Edge or ` +
            'Chromium; Ctrl-C ends');
