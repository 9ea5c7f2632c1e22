// The page's firmware repository client (the engine's wasm) as a command, with the shape of
// zorbent-tuf-client, so the same repository test suites drive the page's client:
//
//   node tuf_client_node.mjs --metadata-dir DIR init TRUSTED_ROOT
//   node tuf_client_node.mjs --metadata-dir DIR --metadata-url URL refresh
//   node tuf_client_node.mjs --metadata-dir DIR --metadata-url URL --target-name PATH \
//        --target-base-url URL --target-dir DIR download
//
// Exit status 0 on success, 1 on any failure with the verdict on stderr (one line), 2 for a
// command line it does not take. The trusted metadata is kept in DIR as <role>.json; a target
// is saved in --target-dir under its name as one file name (percent-encoded as the native
// client does: "a/b.txt" is "a%2Fb.txt"), and one already there that is the target is not
// fetched again. Node 20 or
// later (fetch, and WebCrypto with Ed25519). Runs from dist/web (tools/web --build), or from
// web/ with dist/web built.

import { randomBytes } from 'node:crypto';
import { existsSync, mkdirSync, readFileSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

// As the client's own limit for a root.
const kMaxRootBytes = 512 * 1024;
const kUsage =
    'usage: tuf_client_node.mjs --metadata-dir DIR init TRUSTED_ROOT | --metadata-dir DIR ' +
    '--metadata-url URL refresh | --metadata-dir DIR --metadata-url URL --target-name PATH ' +
    '--target-base-url URL --target-dir DIR download';

const fail = (why, status = 1) => {
  process.stderr.write(`${String(why).replace(/\s*\n\s*/g, ' ')}\n`);
  process.exit(status);
};

function parse(args) {
  const options = {};
  const kOptions = ['--metadata-dir', '--metadata-url', '--target-name', '--target-base-url',
                    '--target-dir'];
  const rest = [];
  for (let i = 0; i < args.length; i++) {
    if (kOptions.includes(args[i])) {
      if (args[i + 1] === undefined) fail(`${args[i]} needs a value. ${kUsage}`, 2);
      options[args[i].slice(2)] = args[++i];
    } else {
      rest.push(args[i]);
    }
  }
  const [command, ...operands] = rest;
  const needs = { init: ['metadata-dir'], refresh: ['metadata-dir', 'metadata-url'],
                  download: ['metadata-dir', 'metadata-url', 'target-name', 'target-base-url',
                             'target-dir'] }[command];
  if (!needs || operands.length !== (command === 'init' ? 1 : 0)) fail(kUsage, 2);
  const missing = needs.filter((name) => options[name] === undefined);
  if (missing.length) fail(`${command} needs --${missing.join(', --')}. ${kUsage}`, 2);
  return { command, operand: operands[0], options };
}

// Written beside the file under a name of its own, then renamed over it: a reader sees the
// old file or the new one.
function writeAtomically(file, bytes) {
  const temporary = `${file}.${process.pid}.${randomBytes(6).toString('hex')}.tmp`;
  try {
    writeFileSync(temporary, bytes);
    renameSync(temporary, file);
    return '';
  } catch (error) {
    rmSync(temporary, { force: true });
    return `${file} could not be written: ${error.message}`;
  }
}

// A name as one file name, as the native client writes it: letters, digits, "-", "_" and "."
// kept, every other byte %XX; "." and ".." are no file's name.
function percentEncode(text) {
  const name = Array.from(new TextEncoder().encode(text), (byte) => {
    const c = String.fromCharCode(byte);
    return /[A-Za-z0-9._-]/.test(c) ? c : `%${byte.toString(16).toUpperCase().padStart(2, '0')}`;
  }).join('');
  return name === '.' || name === '..' ? `%2E${name.slice(1)}` : name;
}

// The trusted metadata as <role>.json files in dir.
function folderStore(dir) {
  const file = (role) => path.join(dir, `${percentEncode(role)}.json`);
  return {
    load(role) {
      try {
        return readFileSync(file(role), 'utf8');
      } catch {
        return null;
      }
    },
    save: (role, text) => writeAtomically(file(role), text),
  };
}

const withSlash = (url) => (url.endsWith('/') ? url : `${url}/`);

async function loadClient(repository) {
  const here = path.dirname(fileURLToPath(import.meta.url));
  const dist = existsSync(path.join(here, 'zorbent_engine_core.wasm')) ? here
      : path.resolve(here, '..', 'dist', 'web');
  const wasm = path.join(dist, 'zorbent_engine_core.wasm');
  if (!existsSync(wasm)) fail(`${wasm} is missing: build the page first (tools/web --build).`);
  // The Emscripten module's Node branch looks for CommonJS names even in an ES module.
  globalThis.require ??= createRequire(import.meta.url);
  globalThis.__dirname ??= dist;
  const { createRepositoryClient } =
      await import(pathToFileURL(path.join(dist, 'zorbent_engine.js')).href);
  return createRepositoryClient({ repository, core: { wasmBinary: readFileSync(wasm) } });
}

const { command, operand, options } = parse(process.argv.slice(2));
const dir = options['metadata-dir'];
try {
  mkdirSync(dir, { recursive: true });
} catch (error) {
  fail(`${dir}: the metadata folder could not be made: ${error.message}`);
}

if (command === 'init') {
  // The initial root is copied as it is; the first refresh verifies it and what follows.
  let root;
  try {
    root = readFileSync(operand);
  } catch (error) {
    fail(`${operand} could not be read: ${error.message}`);
  }
  if (root.length > kMaxRootBytes) fail(`${operand} is larger than a root (${kMaxRootBytes} bytes).`);
  const why = writeAtomically(path.join(dir, 'root.json'), root);
  if (why) fail(why);
  process.exit(0);
}

const client = await loadClient({
  metadataUrl: withSlash(options['metadata-url']),
  targetsUrl: withSlash(options['target-base-url'] ?? ''),
  store: folderStore(dir),
});
if (command === 'refresh') {
  const got = await client.listFirmware();
  if (!got.ok) fail(got.sentence);
  process.exit(0);
}

const name = options['target-name'];
const targetDir = options['target-dir'];
const saved = path.join(targetDir, percentEncode(name));
let held = null;
try {
  held = new Uint8Array(readFileSync(saved));
} catch {
  // not held yet
}
const got = await client.download(name, { firmware: false, held });
if (!got.ok) fail(got.sentence);
if (!got.held) {
  try {
    mkdirSync(targetDir, { recursive: true });
  } catch (error) {
    fail(`${targetDir}: the target folder could not be made: ${error.message}`);
  }
  const why = writeAtomically(saved, got.bytes);
  if (why) fail(why);
}
process.exit(0);
