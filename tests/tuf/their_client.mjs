// tuf-js's Updater, the independent client, reads a repository our publisher commands write:
// through new targets, a root rotation, a role key rotation, a key revocation and a timestamp
// refreshed alone, downloading and verifying the targets.
//   node tests/tuf/their_client.mjs ZORBENT_FW ADAPTER_SIM
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Updater } from 'tuf-js';
import { serve } from './repository.mjs';

const [fw, sim] = process.argv.slice(2);
if (!sim) {
  console.error('usage: node tests/tuf/their_client.mjs ZORBENT_FW ADAPTER_SIM');
  process.exit(2);
}
const top = fs.mkdtempSync(path.join(os.tmpdir(), 'tuf-their-client-'));
const repo = path.join(top, 'repo');
const keys = path.join(top, 'keys');
const client = path.join(top, 'client');

function run(program, args) {
  const r = spawnSync(program, args, { encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`${program} ${args.join(' ')}: ${r.stderr || r.error}`);
}
const publisher = (...args) => run(fw, ['repo', ...args, '--keys', keys]);
const image = (model) => {
  const file = path.join(top, `${model.toLowerCase()}.txt`);
  run(sim, ['make-image', '--model', model, '--output', file]);
  return file;
};
const trusted = (role) => JSON.parse(fs.readFileSync(path.join(client, `${role}.json`))).signed;
const rootKeyIds = (role) => JSON.parse(fs.readFileSync(path.join(repo, 'metadata',
  `${trusted('root').version}.root.json`))).signed.roles[role].keyids;

const served = { current: { dir: repo } };
const server = await serve(served);
const base = `http://127.0.0.1:${server.address().port}`;
// A fresh Updater each time, as a new run of a client keeping its metadata in `client`.
async function refresh(...targets) {
  const updater = new Updater({
    metadataDir: client, metadataBaseUrl: `${base}/metadata/`,
    targetDir: path.join(top, 'downloads'), targetBaseUrl: `${base}/targets/`,
    config: { fetchRetries: 0 },
  });
  await updater.refresh();
  fs.mkdirSync(path.join(top, 'downloads'), { recursive: true });
  for (const [name, file] of targets) {
    const info = await updater.getTargetInfo(name);
    if (!info) throw new Error(`tuf-js finds no target ${name}`);
    if (info.custom.model !== name.split('/')[0] || !info.custom.version) {
      throw new Error(`${name} lists custom fields ${JSON.stringify(info.custom)}`);
    }
    const saved = await updater.downloadTarget(info, path.join(top, 'downloads', path.basename(name)));
    if (!fs.readFileSync(saved).equals(fs.readFileSync(file))) {
      throw new Error(`tuf-js downloaded other bytes for ${name}`);
    }
  }
}

let status = 0;
const steps = [
  ['repo init (root and snapshot thresholds of 2): version 1 of every role', async () => {
    publisher('init', repo, '--threshold', 'root=2', '--threshold', 'snapshot=2');
    fs.mkdirSync(client);
    fs.copyFileSync(path.join(repo, 'metadata', '1.root.json'), path.join(client, 'root.json'));
    await refresh();
  }],
  ['repo add and publish: a KTR5577 image downloaded and verified', async () => {
    const file = image('KTR5577');
    publisher('add', repo, file);
    publisher('publish', repo);
    await refresh([`KTR5577/${path.basename(file)}`, file]);
  }],
  ['repo rotate --role root: root 2 trusted', async () => {
    publisher('rotate', repo, '--role', 'root');
    await refresh();
    if (trusted('root').version !== 2) throw new Error(`tuf-js trusts root ${trusted('root').version}`);
  }],
  ['repo rotate --role timestamp, then a KTR558 image added', async () => {
    publisher('rotate', repo, '--role', 'timestamp');
    const file = image('KTR558');
    publisher('add', repo, file);
    publisher('publish', repo);
    await refresh([`KTR558/${path.basename(file)}`, file]);
  }],
  ['repo revoke --role snapshot: one of its two keys replaced', async () => {
    const [revoked] = rootKeyIds('snapshot');
    publisher('revoke', repo, '--role', 'snapshot', '--keyid', revoked);
    await refresh();
    const now = trusted('root').roles.snapshot.keyids;
    if (now.includes(revoked) || now.length !== 2) {
      throw new Error(`tuf-js trusts snapshot keys ${now.join(', ')} (revoked ${revoked})`);
    }
  }],
  ['repo timestamp: a new timestamp alone', async () => {
    const before = trusted('timestamp').version;
    publisher('timestamp', repo);
    await refresh();
    if (trusted('timestamp').version <= before) throw new Error('tuf-js kept the old timestamp');
  }],
];
for (const [what, step] of steps) {
  try {
    await step();
    console.log(`pass  tuf-js reads ${what}`);
  } catch (e) {
    console.log(`FAIL  tuf-js reads ${what}\n      ${String(e.message).trim()}`);
    status = 1;
    break;
  }
}
server.close();
fs.rmSync(top, { recursive: true, force: true });
process.exit(status);
