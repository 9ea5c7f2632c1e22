// adapter-sim on a free loopback TCP port, for the checks and the page by hand.
//
//   const sim = await startSim(simPath, ['--model', 'KTR5577']);  // {host, port, child}

import { spawn } from 'node:child_process';

// How long a simulator may take to say its address.
const kSimStartMs = 10000;

// Resolves once the simulator says its address; rejects when it ends or stays silent first.
// stderr: 'ignore', 'pipe' or 'inherit' for the simulator's own lines.
export function startSim(simPath, simArgs, { stderr = 'ignore' } = {}) {
  const child = spawn(simPath, [...simArgs, '--tcp', '0'], { stdio: ['ignore', 'pipe', stderr] });
  const what = `adapter-sim ${simArgs.join(' ')}`;
  const started = new Promise((resolve, reject) => {
    let out = '';
    const limit = setTimeout(() => reject(new Error(`${what}: no address`)), kSimStartMs);
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const found = /tcp\|([\d.]+):(\d+)/.exec(out);
      if (!found) return;
      clearTimeout(limit);
      resolve({ host: found[1], port: Number(found[2]), child });
    });
    child.on('exit', (code) => {
      clearTimeout(limit);
      reject(new Error(`${what} ended (${code})`));
    });
  });
  return { child, started };
}
