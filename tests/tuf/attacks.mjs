// Our client reads repositories written by @tufjs/models: a valid one and the attacks TUF is
// made against, each case ending in the client's exact verdict (the first line on stderr, ""
// when it succeeds) and exit status.
//   node tests/tuf/attacks.mjs CLIENT [ARGS...]
// CLIENT ARGS is the plain client (`--metadata-dir DIR init ROOT`, `... refresh`,
// `... download`), e.g. build/bin/zorbent-tuf-client or `node web/tuf_client_node.mjs`;
// `--outcome-only node tests/tuf/tuf_js_client.mjs` shows that tuf-js refuses the same cases.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Repository, kPast, makeKey, serve } from './repository.mjs';

// A hung client must not hold the run; no case comes near it.
const kCommandLimitMs = 60_000;

const pool = new Map();
// The n-th key of a type, made once for all cases.
const key = (type, n = 0) => {
  const id = `${type}/${n}`;
  if (!pool.has(id)) pool.set(id, makeKey(type));
  return pool.get(id);
};

const kImage = 'KTR5577/ktr5577-2.2.3X.txt';
const image = (name) => Buffer.from(`${name}\nfirmware image bytes of ${name}\n`);

// The usual repository: root ecdsa, timestamp and snapshot ed25519, targets rsa; one target.
function usual(dir, thresholds = {}, targetsKeys = [key('rsa')]) {
  const r = new Repository(dir, {
    root: [key('ecdsa')], timestamp: [key('ed25519')], snapshot: [key('ed25519', 1)],
    targets: targetsKeys,
  }, thresholds);
  r.addTarget(kImage, image(kImage));
  r.publish();
  return r;
}

const refresh = 'refresh';
const download = (name = kImage) => `download ${name}`;
// The repository served with a newer version of each role, the older files remembered.
const newer = (r) => {
  r.old = r.read('metadata/timestamp.json');
  r.publish();
};

// The client's sentences (firmware/tuf/words.cpp), built from their facts.
const role = (r) => `The repository's ${r} metadata`;
const rollback = (r, facts) => `${role(r)} is older than the version already trusted (${facts}), `
  + 'so it was refused: a server may be replaying old metadata (a rollback). Try again later, '
  + "or from another mirror; tell the repository's publisher if it persists.";
const unsigned = (r, facts) => `${role(r)} is not signed by enough trusted keys (${facts}), so `
  + 'nothing from the repository was used: it may have been tampered with. Check the '
  + "repository's address and tell its publisher.";
const tooLarge = (what, limit) => `${what} is larger than ${limit}, so it `
  + "was not used: the server may be sending endless data. Check the repository's address, or "
  + 'try again later.';
const notListed = (name) => `The downloaded firmware file "${name}" is not the one the repository `
  + 'lists (its length or hash differs), so it was not used: the server or a mirror may have '
  + "been tampered with. Try again later; tell the repository's publisher if it persists.";
const unknown = (name) => `The repository lists no firmware file named "${name}". Check the name `
  + "against the repository's listing.";

// Each case: how the repository starts, then steps (a change to what is served, then a client
// command); every step but the last must succeed, the last ends in the verdict.
const table = [
  {
    name: 'valid repository: refresh and download',
    make: usual,
    steps: [[null, refresh], [null, download()]],
    verdict: '',
  },
  {
    name: 'root rotation 1 -> 2 -> 3 (ecdsa -> ed25519 -> rsa, new timestamp key)',
    make: (dir) => {
      const r = usual(dir);
      r.rotate({ root: [key('ed25519', 2)] });
      r.rotate({ root: [key('rsa', 1)], timestamp: [key('ecdsa', 1)] });
      r.publish();
      return r;
    },
    steps: [[null, download()]],
    verdict: '',
  },
  {
    name: 'rollback: timestamp replayed',
    make: usual,
    steps: [[null, refresh], [newer, refresh],
      [(r) => r.write('metadata/timestamp.json', r.old), refresh]],
    verdict: rollback('timestamp', 'version 1 is older than the trusted version 2'),
  },
  {
    name: 'rollback: snapshot (timestamp key held by the attacker)',
    make: usual,
    steps: [[null, refresh], [newer, refresh],
      [(r) => r.writeTimestamp({ version: 3, snapshotVersion: 1 }), refresh]],
    verdict: rollback('snapshot', 'timestamp lists snapshot version 1, older than the trusted version 2'),
  },
  {
    name: 'rollback: targets (timestamp and snapshot keys held)',
    make: usual,
    steps: [[null, refresh], [newer, refresh], [(r) => {
      r.writeSnapshot({ version: 3, targetsVersion: 1 });
      r.writeTimestamp({ version: 3, snapshotVersion: 3 });
    }, refresh]],
    verdict: rollback('targets', 'snapshot lists version 1, older than the trusted version 2'),
  },
  {
    name: 'expired timestamp (freeze)',
    make: usual,
    steps: [[(r) => r.writeTimestamp({ version: 2, expires: kPast }), refresh]],
    verdict: `${role('timestamp')} expired at 2020-01-09T10:00:00Z, so it was refused: the `
      + 'repository may be stale or held back by an attacker (a freeze). Try again later; tell '
      + "the repository's publisher if it persists.",
  },
  {
    name: 'mix-and-match: snapshot does not match targets',
    make: usual,
    steps: [[(r) => {
      newer(r);
      r.write('metadata/2.targets.json', r.read('metadata/1.targets.json'));
    }, refresh]],
    verdict: `${role('targets')} is not the file the repository lists (its hashes differ from what `
      + 'snapshot lists), so it was refused: the repository may be in the middle of a publish, '
      + 'or mixed with another one. Try again in a few minutes.',
  },
  {
    name: 'target whose hash differs',
    make: usual,
    steps: [[(r) => {
      const bytes = image(kImage);
      bytes[0] ^= 1;
      r.write(`targets/${r.targetUrl(kImage)}`, bytes);
    }, download()]],
    verdict: notListed(kImage),
  },
  {
    name: 'target whose length differs',
    make: usual,
    steps: [[(r) => r.write(`targets/${r.targetUrl(kImage)}`, image(kImage).subarray(1)),
      download()]],
    verdict: notListed(kImage),
  },
  {
    name: 'oversized metadata: timestamp over its limit',
    make: usual,
    steps: [[(r) => r.writeTimestamp({ version: 2, padding: 64 * 1024 }), refresh]],
    verdict: tooLarge(`${role('timestamp')} at $REPO/metadata/timestamp.json`,
      'its limit of 16384 bytes'),
  },
  {
    name: 'oversized target: endless data',
    make: usual,
    steps: [[(r) => r.endless.add(`/targets/${r.targetUrl(kImage)}`), download()]],
    verdict: tooLarge('The firmware file $REPO/targets/KTR5577/a3a82bfad096f56664a43ddce3eac3fe4fa918576684c'
      + '775f15507a7a9b73e39.ktr5577-2.2.3X.txt', 'the 78 bytes the repository lists'),
  },
  {
    name: 'threshold of two met by one key signing twice',
    make: (dir) => usual(dir, { targets: 2 }, [key('rsa'), key('rsa', 1)]),
    steps: [[null, refresh], [(r) => r.publish({ keys: [key('rsa')], repeatFirst: true }),
      refresh]],
    verdict: unsigned('targets', 'signed by 1 of the 2 trusted keys it needs'),
  },
  {
    name: 'revoked key: root 2 drops the timestamp key, its timestamp refused',
    make: usual,
    steps: [[null, refresh], [(r) => {
      r.rotate({ timestamp: [key('ed25519', 3)] });
      r.writeTimestamp({ version: 2, keys: [key('ed25519')] });
    }, refresh]],
    verdict: unsigned('timestamp', 'signed by 0 of the 1 trusted keys it needs'),
  },
  {
    name: 'fast-forward attack: timestamp version 1000 with the stolen key',
    make: usual,
    steps: [[null, refresh], [(r) => r.writeTimestamp({ version: 1000 }), refresh],
      [(r) => r.publish(), refresh]],
    verdict: rollback('timestamp', 'version 2 is older than the trusted version 1000'),
  },
  {
    name: 'fast-forward recovery: the timestamp key rotated',
    make: usual,
    steps: [[null, refresh], [(r) => r.writeTimestamp({ version: 1000 }), refresh], [(r) => {
      r.rotate({ timestamp: [key('ed25519', 3)] });
      r.publish();
    }, refresh]],
    verdict: '',
  },
  {
    name: 'delegated role for KTR55*/*: its target outside the pattern not found',
    make: (dir) => {
      const r = usual(dir);
      r.delegate('ktr55', [key('ecdsa', 2)], ['KTR55*/*']);
      r.addTarget('KTR5577/line.txt', image('line'), 'ktr55');
      r.addTarget('KTR6000/other.txt', image('other'), 'ktr55');
      r.publish();
      return r;
    },
    steps: [[null, download('KTR5577/line.txt')], [null, download('KTR6000/other.txt')]],
    verdict: unknown('KTR6000/other.txt'),
  },
  {
    name: 'terminating delegation: the roles after it not searched',
    make: (dir) => {
      const r = usual(dir);
      r.delegate('ktr55', [key('ed25519', 2)], ['KTR55*/*'], true);
      r.delegate('all', [key('rsa', 1)], ['*/*']);
      r.addTarget('KTR5577/line.txt', image('line'), 'ktr55');
      r.addTarget('KTR5577/after.txt', image('after'), 'all');
      r.publish();
      return r;
    },
    steps: [[null, download('KTR5577/line.txt')], [null, download('KTR5577/after.txt')]],
    verdict: unknown('KTR5577/after.txt'),
  },
];

// Whether the target's bytes are in the download folder, under whatever name.
function downloaded(dir, repo, name) {
  const folder = path.join(dir, 'downloads');
  const want = repo.targets.get(name).bytes;
  return fs.existsSync(folder) && fs.readdirSync(folder, { recursive: true })
    .some((f) => fs.statSync(path.join(folder, f)).isFile()
      && fs.readFileSync(path.join(folder, f)).equals(want));
}

function run(command, args) {
  return new Promise((resolve) => {
    const child = spawn(command[0], [...command.slice(1), ...args], {
      stdio: ['ignore', 'ignore', 'pipe'],
    });
    let stderr = '';
    child.stderr.on('data', (d) => { stderr += d; });
    const timer = setTimeout(() => child.kill('SIGKILL'), kCommandLimitMs);
    child.on('close', (status, signal) => {
      clearTimeout(timer);
      const verdict = stderr.split('\n')[0];
      resolve(signal ? { status: signal, verdict: `${verdict} (stopped: no end in time)` }
        : { status, verdict });
    });
  });
}

async function main() {
  // --outcome-only: another implementation's words, so only success or refusal is compared.
  const outcomeOnly = process.argv[2] === '--outcome-only';
  const command = process.argv.slice(outcomeOnly ? 3 : 2);
  if (command.length === 0) {
    console.error('usage: node tests/tuf/attacks.mjs [--outcome-only] CLIENT [ARGS...]');
    process.exit(2);
  }
  const served = {};
  const server = await serve(served);
  const base = `http://127.0.0.1:${server.address().port}`;
  const top = fs.mkdtempSync(path.join(os.tmpdir(), 'tuf-attacks-'));
  const rows = [];
  for (const [n, c] of table.entries()) {
    const dir = path.join(top, String(n));
    served.current = c.make(path.join(dir, 'repo'));
    const meta = path.join(dir, 'client');
    const got = await run(command, ['--metadata-dir', meta, 'init',
      served.current.file('metadata/1.root.json')]);
    for (const [i, [change, step]] of c.steps.entries()) {
      if (got.status !== 0) break;
      change?.(served.current);
      const [verb, name] = step.split(' ');
      const args = ['--metadata-dir', meta, '--metadata-url', `${base}/metadata/`];
      if (verb === 'download') {
        args.push('--target-name', name, '--target-base-url', `${base}/targets/`,
          '--target-dir', path.join(dir, 'downloads'));
      }
      Object.assign(got, await run(command, [...args, verb]));
      if (verb === 'download' && got.status === 0 && !downloaded(dir, served.current, name)) {
        Object.assign(got, { status: 1, verdict: 'the downloaded target is not in --target-dir' });
      }
      got.verdict = got.verdict.replaceAll(base, '$REPO').replaceAll(dir, '$DIR');
      if (i < c.steps.length - 1 && got.status !== 0) got.verdict += ` (at step ${i + 1})`;
    }
    const status = c.verdict === '' ? 0 : 1;
    const exit = got.status === status ? '' : ` (exit ${got.status})`;
    rows.push({ name: c.name, expected: c.verdict, got: `${got.verdict || '(success)'}${exit}`,
      pass: got.status === status
        && (outcomeOnly ? (got.verdict === '') === (c.verdict === '') : got.verdict === c.verdict) });
  }
  server.close();
  fs.rmSync(top, { recursive: true, force: true });

  console.log(`Attack table: ${command.join(' ')}`);
  for (const r of rows) {
    console.log(`${r.pass ? 'pass' : 'FAIL'}  ${r.name}`);
    console.log(`      expected: ${r.expected || '(success)'}\n      got:      ${r.got}`);
  }
  const failed = rows.filter((r) => !r.pass).length;
  console.log(`${rows.length - failed} of ${rows.length} cases as expected`);
  process.exit(failed ? 1 : 0);
}

await main();
