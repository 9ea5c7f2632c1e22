// Seals the built page (tools/web --build): writes trust.js, the firmware repository's trusted
// root and address the page is built with, and gives index.html the SHA-384 of everything it
// runs (subresource integrity): its script and style tags, an import map for the modules the
// scripts import, and in trust.js the wasm's, which the engine fetches with it. So index.html
// alone, served from a host one trusts, fixes every byte the page runs wherever the rest is.
//
//   node web/seal_page.mjs DIST_DIR REPOSITORY_URL [ROOT_JSON]

import { createHash } from 'node:crypto';
import { readdirSync, readFileSync, writeFileSync } from 'node:fs';
import path from 'node:path';

// A root larger than this is no repository's root of this program's (the client's own limit).
const kMaxRootBytes = 512 * 1024;

const [dist, repository, rootFile] = process.argv.slice(2);
if (!dist || !repository) {
  console.error('usage: node web/seal_page.mjs DIST_DIR REPOSITORY_URL [ROOT_JSON]');
  process.exit(2);
}
const fail = (why) => {
  console.error(`tools/web: ${why}`);
  process.exit(1);
};

// Plain http lets anyone on the way hold back or replay what the page fetches; the loopback is
// for trying a repository out.
const kLoopback = ['127.0.0.1', '[::1]', 'localhost'];
if (/^http:/i.test(repository) && !kLoopback.includes(new URL(repository).hostname))
  fail(`--repository ${repository}: an http:// repository is refused (only the loopback may be ` +
       'plain http): give its https:// address');

let root = null;
if (rootFile) {
  const bytes = readFileSync(rootFile);
  if (bytes.length > kMaxRootBytes) fail(`${rootFile}: ${bytes.length} bytes, more than a root's ${kMaxRootBytes}`);
  root = bytes.toString('utf8');
  let parsed = null;
  try {
    parsed = JSON.parse(root);
  } catch (error) {
    fail(`${rootFile}: not JSON (${error.message}); give the repository's root.json`);
  }
  if (parsed?.signed?._type !== 'root' || !Array.isArray(parsed?.signatures))
    fail(`${rootFile}: not a repository's root metadata ("_type": "root" with its signatures)`);
}

const integrity = (file) =>
  `sha384-${createHash('sha384').update(readFileSync(path.join(dist, file))).digest('base64')}`;

writeFileSync(path.join(dist, 'trust.js'),
  '// Written by tools/web --build: the firmware repository this page trusts.\n' +
  `export const kTrustedRoot = ${JSON.stringify(root)};\n` +
  `export const kRepository = ${JSON.stringify(repository)};\n` +
  `export const kWasmIntegrity = ${JSON.stringify(integrity('zorbent_engine_core.wasm'))};\n`);

const modules = Object.fromEntries(readdirSync(dist)
  .filter((name) => name.endsWith('.js') && name !== 'page.js')
  .sort()
  .map((name) => [`./${name}`, integrity(name)]));
const page = path.join(dist, 'index.html');
// Sealed again (a test's copy of the page with its own root): the old hashes are replaced.
const html = readFileSync(page, 'utf8')
  .replace(/<link rel="stylesheet" href="page.css"[^>]*>/,
           `<link rel="stylesheet" href="page.css" integrity="${integrity('page.css')}" ` +
           'crossorigin="anonymous">')
  .replace(/(<script type="importmap">.*<\/script>\s*)?<script type="module" src="page.js"[^>]*><\/script>/,
           `<script type="importmap">${JSON.stringify({ integrity: modules })}</script>\n` +
           `  <script type="module" src="page.js" integrity="${integrity('page.js')}"></script>`);
if (!html.includes('integrity="sha384-')) fail(`${page}: its script and style tags were not found`);
writeFileSync(page, html);
