// Writes TUF repositories with @tufjs/models, the independent implementation: metadata/ with
// consistent snapshots (N.root.json, timestamp.json, N.snapshot.json, N.targets.json,
// N.<role>.json) and targets/<MODEL>/<sha256>.<name>. The low-level writers take overrides so
// that a case can play an attacker who holds some keys or replays older files.
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { canonicalize } from '@tufjs/canonical-json';
import {
  Key, MetaFile, Metadata, Root, Signature, Snapshot, TargetFile, Targets, Timestamp,
} from '@tufjs/models';

export const kFuture = '2036-01-09T10:00:00Z';
export const kPast = '2020-01-09T10:00:00Z';
const kSpecVersion = '1.0.31';
const kEndlessChunk = Buffer.alloc(64 * 1024, 0x41);

const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');

// One signing key of a kind the TUF community uses, with its key id as TUF computes it.
export function makeKey(type) {
  let pair;
  let keyval;
  let scheme;
  if (type === 'ed25519') {
    pair = crypto.generateKeyPairSync('ed25519');
    keyval = pair.publicKey.export({ format: 'der', type: 'spki' }).subarray(-32).toString('hex');
    scheme = 'ed25519';
  } else if (type === 'ecdsa') {
    pair = crypto.generateKeyPairSync('ec', { namedCurve: 'prime256v1' });
    keyval = pair.publicKey.export({ format: 'pem', type: 'spki' });
    scheme = 'ecdsa-sha2-nistp256';
  } else {
    pair = crypto.generateKeyPairSync('rsa', { modulusLength: 2048 });
    keyval = pair.publicKey.export({ format: 'pem', type: 'spki' });
    scheme = 'rsassa-pss-sha256';
  }
  const json = { keytype: type, scheme, keyval: { public: keyval } };
  const keyID = sha256(canonicalize(json));
  const signer = (data) => {
    let sig;
    if (type === 'ed25519') sig = crypto.sign(null, data, pair.privateKey);
    else if (type === 'ecdsa') sig = crypto.sign('sha256', data, pair.privateKey);
    else {
      sig = crypto.sign('sha256', data, {
        key: pair.privateKey, padding: crypto.constants.RSA_PKCS1_PSS_PADDING, saltLength: 32,
      });
    }
    return new Signature({ keyID, sig: sig.toString('hex') });
  };
  return { type, keyID, key: Key.fromJSON(keyID, json), sign: signer };
}

// Signed metadata as the file's JSON; repeatFirst lists the first signature twice, as an
// attacker holding one key of a threshold of two would.
function signed(body, keys, repeatFirst = false) {
  const md = new Metadata(body);
  for (const k of keys) md.sign(k.sign);
  const json = md.toJSON();
  if (repeatFirst) json.signatures.push({ ...json.signatures[0] });
  return json;
}

export class Repository {
  // roles: { root, timestamp, snapshot, targets } -> list of keys; thresholds default to 1.
  constructor(dir, roles, thresholds = {}) {
    this.dir = dir;
    this.roles = roles;
    this.thresholds = { root: 1, timestamp: 1, snapshot: 1, targets: 1, ...thresholds };
    this.endless = new Set();  // target URLs the server answers with data that never ends
    this.versions = { root: 1, timestamp: 0, snapshot: 0, targets: 0 };
    this.targets = new Map();  // name -> { bytes, role }
    this.delegations = [];     // { name, keys, paths, terminating, version }
    fs.mkdirSync(path.join(dir, 'metadata'), { recursive: true });
    fs.mkdirSync(path.join(dir, 'targets'), { recursive: true });
    this.writeRoot();
  }

  file(relative) { return path.join(this.dir, relative); }
  write(relative, data) {
    const bytes = Buffer.isBuffer(data) ? data : Buffer.from(JSON.stringify(data));
    fs.mkdirSync(path.dirname(this.file(relative)), { recursive: true });
    fs.writeFileSync(this.file(relative), bytes);
    return bytes;
  }
  read(relative) { return fs.readFileSync(this.file(relative)); }

  // The root of the current version, signed by its own keys and by signers (the previous
  // root's keys on a rotation).
  writeRoot(signers = []) {
    const keys = {};
    const roles = {};
    for (const [role, list] of Object.entries(this.roles)) {
      for (const k of list) keys[k.keyID] = k.key.toJSON();
      roles[role] = { keyids: list.map((k) => k.keyID), threshold: this.thresholds[role] };
    }
    const root = Root.fromJSON({
      _type: 'root', spec_version: kSpecVersion, version: this.versions.root, expires: kFuture,
      keys, roles, consistent_snapshot: true,
    });
    const all = [...new Map([...signers, ...this.roles.root].map((k) => [k.keyID, k])).values()];
    this.write(`metadata/${this.versions.root}.root.json`, signed(root, all));
  }

  // A new root version with some roles' keys replaced, signed by the old and the new root keys.
  rotate(changes) {
    const old = this.roles.root;
    Object.assign(this.roles, changes);
    this.versions.root += 1;
    this.writeRoot(old);
  }

  addTarget(name, bytes, role = 'targets') {
    this.targets.set(name, { bytes: Buffer.from(bytes), role });
    this.write(`targets/${this.targetUrl(name)}`, Buffer.from(bytes));
  }
  targetUrl(name) {
    const slash = name.lastIndexOf('/');
    const hash = sha256(this.targets.get(name).bytes);
    return `${name.slice(0, slash + 1)}${hash}.${name.slice(slash + 1)}`;
  }

  delegate(name, keys, paths, terminating = false) {
    this.delegations.push({ name, keys, paths, terminating, version: 0 });
  }

  targetsBody(role, version, expires = kFuture) {
    const files = {};
    for (const [name, t] of this.targets) {
      if (t.role !== role) continue;
      const model = name.split('/')[0];
      files[name] = TargetFile.fromJSON(name, {
        length: t.bytes.length, hashes: { sha256: sha256(t.bytes) },
        custom: { model, family: 'line', version: '2.2.3X', notes: 'made by @tufjs/models' },
      });
    }
    const body = Targets.fromJSON({
      _type: 'targets', spec_version: kSpecVersion, version, expires, targets: {},
      ...(role === 'targets' && this.delegations.length ? { delegations: this.delegationsJson() } : {}),
    });
    for (const f of Object.values(files)) body.addTarget(f);
    return body;
  }
  delegationsJson() {
    const keys = {};
    for (const d of this.delegations) for (const k of d.keys) keys[k.keyID] = k.key.toJSON();
    return {
      keys,
      roles: this.delegations.map((d) => ({
        name: d.name, keyids: d.keys.map((k) => k.keyID), threshold: 1, paths: d.paths,
        terminating: d.terminating,
      })),
    };
  }

  // targets (and each delegated role) at a version; returns the bytes written.
  writeTargets({ version = this.versions.targets, keys = this.roles.targets,
    repeatFirst = false } = {}) {
    return this.write(`metadata/${version}.targets.json`,
      signed(this.targetsBody('targets', version), keys, repeatFirst));
  }
  writeDelegated(d) {
    return this.write(`metadata/${d.version}.${d.name}.json`,
      signed(this.targetsBody(d.name, d.version), d.keys));
  }

  // snapshot listing targets (length and hash of the bytes given) and delegated roles.
  writeSnapshot({ version = this.versions.snapshot, targetsVersion = this.versions.targets,
    keys = this.roles.snapshot } = {}) {
    const targetsBytes = this.read(`metadata/${targetsVersion}.targets.json`);
    const meta = {
      'targets.json': new MetaFile({
        version: targetsVersion, length: targetsBytes.length,
        hashes: { sha256: sha256(targetsBytes) },
      }),
    };
    for (const d of this.delegations) meta[`${d.name}.json`] = new MetaFile({ version: d.version });
    const body = new Snapshot({ version, specVersion: kSpecVersion, expires: kFuture, meta });
    return this.write(`metadata/${version}.snapshot.json`, signed(body, keys));
  }

  writeTimestamp({ version = this.versions.timestamp, snapshotVersion = this.versions.snapshot,
    keys = this.roles.timestamp, expires = kFuture, padding = 0 } = {}) {
    const snapshotBytes = this.read(`metadata/${snapshotVersion}.snapshot.json`);
    const body = new Timestamp({
      version, specVersion: kSpecVersion, expires,
      snapshotMeta: new MetaFile({
        version: snapshotVersion, length: snapshotBytes.length,
        hashes: { sha256: sha256(snapshotBytes) },
      }),
      unrecognizedFields: padding ? { padding: 'x'.repeat(padding) } : {},
    });
    return this.write('metadata/timestamp.json', signed(body, keys));
  }

  // A new version of every role but root, written in the order a reader never sees half of.
  publish(targets = {}) {
    for (const d of this.delegations) {
      d.version += 1;
      this.writeDelegated(d);
    }
    for (const role of ['targets', 'snapshot', 'timestamp']) this.versions[role] += 1;
    this.writeTargets(targets);
    this.writeSnapshot();
    this.writeTimestamp();
  }
}

// Serves on the loopback the folder of served.current (a Repository or { dir }); URLs in its
// endless set get data that never ends.
export function serve(served) {
  const server = http.createServer((req, res) => {
    const url = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    if (served.current?.endless?.has(url)) {
      res.writeHead(200);
      const more = () => { while (res.write(kEndlessChunk)); };
      res.on('drain', more);
      more();
      return;
    }
    const file = path.join(served.current?.dir ?? '/nonexistent', path.normalize(url));
    fs.readFile(file, (err, bytes) => {
      if (err) {
        res.writeHead(404).end();
      } else {
        res.writeHead(200, { 'Content-Length': bytes.length }).end(bytes);
      }
    });
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}
