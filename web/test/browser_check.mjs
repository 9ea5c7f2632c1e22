// The update page end to end in headless Chromium: a temporary copy of DIST_DIR is served on
// 127.0.0.1 (a secure context), a Web Serial stand-in (serial_standin.js) carries each open of
// the port over a WebSocket bridge (serial_bridge.mjs) to an adapter-sim of the scenario's
// own, and each scenario drives the page by its element ids as a user would.
//
//   node web/test/browser_check.mjs DIST_DIR ADAPTER_SIM ZORBENT_FW [--screenshots DIR]
//
// One PASS or FAIL line per scenario; exit status 0 when every scenario passed. CHROMIUM
// names the browser (default /usr/bin/chromium).

import { execFile, spawnSync } from 'node:child_process';
import {
  cpSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync,
} from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import { startBridge } from './serial_bridge.mjs';
import { serveFolder } from './static_server.mjs';
import { startSim as startSimProcess } from './sim_process.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const args = process.argv.slice(2);
const shotsAt = args.indexOf('--screenshots');
const shotsArg = shotsAt >= 0 ? args.splice(shotsAt, 2)[1] : null;
const [distDir, simPath, fwPath] = args.map((p) => path.resolve(p));
if (!distDir || !simPath || !fwPath || args.length !== 3 || (shotsAt >= 0 && !shotsArg)) {
  console.error('usage: node browser_check.mjs DIST_DIR ADAPTER_SIM ZORBENT_FW [--screenshots DIR]');
  process.exit(2);
}
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';
if (!existsSync(chromiumPath)) {
  console.error(`browser_check: ${chromiumPath} not found: apt-get install chromium ` +
                '(or set CHROMIUM to a Chromium to use)');
  process.exit(1);
}

// Bounds: a step waits at most kStepMs, a scenario runs at most kScenarioMs.
const kStepMs = 15000;
const kScenarioMs = 40000;
// The adapter of the scenarios that act during a transfer: each command takes a while, so a
// press at 10% comes seconds before the end.
const kSlowSim = ['--model', 'KTR5577', '--link-model', '--processing-us', '200000'];
const kWide = { width: 1000, height: 800 };
const kNarrow = { width: 360, height: 740 };

const work = mkdtempSync(path.join(os.tmpdir(), 'zorbent-browser-'));
const site = path.join(work, 'site');
const shots = path.resolve(shotsArg || mkdtempSync(path.join(os.tmpdir(), 'zorbent-shots-')));
mkdirSync(shots, { recursive: true });
cpSync(distDir, site, { recursive: true });
// A page of its own that only loads the engine, for the engine's check in the browser.
writeFileSync(path.join(site, 'engine-check.html'), '<!doctype html><title>engine</title>');

const sims = new Set();
const stopAll = () => sims.forEach((child) => child.kill());
process.on('SIGTERM', () => process.exit(1));
process.on('exit', () => {
  stopAll();
  rmSync(work, { recursive: true, force: true });
});

function check(ok, what, seen) {
  if (!ok) throw new Error(`${what}${seen === undefined ? '' : `: ${JSON.stringify(seen)}`}`);
}

// A simulated adapter on a free TCP port; resolves to {host, port, child}.
function startSim(simArgs) {
  const { child, started } = startSimProcess(simPath, simArgs);
  sims.add(child);
  return started;
}

function run(program, programArgs) {
  const done = spawnSync(program, programArgs, { encoding: 'utf8', timeout: kStepMs });
  if (done.status !== 0)
    throw new Error(`${path.basename(program)} ${programArgs.join(' ')}: ${done.stderr || done.error}`);
}

// As run, without blocking this process: for programs that fetch from its own server.
const runAsync = (program, programArgs) => new Promise((resolve, reject) => {
  execFile(program, programArgs, { timeout: kStepMs }, (error, stdout, stderr) => {
    if (error) reject(new Error(`${path.basename(program)} ${programArgs.join(' ')}: ${stderr || error.message}`));
    else resolve();
  });
});

function makeImage(name, imageArgs) {
  const file = path.resolve(work, name);
  run(simPath, ['make-image', ...imageArgs, '--output', file]);
  return file;
}

const server = await serveFolder(site);
const base = server.url;
const bridge = await startBridge();
const contexts = [];  // the running scenario's, closed at its end
// A name for the same server that is not a secure context (only localhost and 127.0.0.1 are).
const kPlainHost = 'zorbent-page.test';
const browser = await chromium.launch({
  executablePath: chromiumPath, headless: true,
  args: [`--host-resolver-rules=MAP ${kPlainHost} 127.0.0.1`],
});

// A new context and page at viewport; sim (adapter-sim's arguments) starts a simulator the
// stand-in reaches as id; standin false leaves the page without Web Serial.
async function openPage(id, { sim, standin = true, viewport = kWide, at = '/', origin = base } = {}) {
  const context = await browser.newContext({ viewport });
  contexts.push(context);
  context.setDefaultTimeout(kStepMs);
  const errors = [];
  const state = { context, errors, simChild: null };
  if (sim) {
    const started = await startSim(sim);
    state.simChild = started.child;
    bridge.addSim(id, started);
  }
  if (standin) {
    await context.addInitScript((where) => { window.__standin = where; },
                                { bridge: bridge.url, sim: id });
    await context.addInitScript({ path: path.join(here, 'serial_standin.js') });
  } else {
    await context.addInitScript(() => { delete Navigator.prototype.serial; });
  }
  // Counts the jobs that ended (body's data-busy removed), so a wait cannot miss a short job.
  await context.addInitScript(() => {
    window.__jobsEnded = 0;
    new MutationObserver((changes) => {
      for (const c of changes)
        if (c.target === document.body && c.oldValue && !document.body.dataset.busy)
          window.__jobsEnded++;
    }).observe(document, { subtree: true, attributeFilter: ['data-busy'], attributeOldValue: true });
  });
  const page = await context.newPage();
  page.on('pageerror', (error) => errors.push(String(error)));
  await page.goto(origin + at);
  return Object.assign(state, { page });
}

const shot = (page, name) => page.screenshot({ path: path.join(shots, `${name}.png`), fullPage: true });
const text = (page, selector) => page.locator(selector).innerText();
const standinLog = (page) => page.evaluate(() => window.__serialStandin.log);

// The engine loads while the port is chosen: Read is enabled once both are there.
async function choosePort(page) {
  await page.click('#choose-port');
  await page.waitForSelector('#read:enabled');
}

async function chooseFile(page, file, expect) {
  await page.setInputFiles('#file', file);
  await page.waitForFunction((want) => document.querySelector('#file-facts').textContent.includes(want),
                             expect);
}

// Presses button (after waiting for it to be enabled) and waits for the jobs it starts to end
// (two when a question after the first starts another); during(page) runs meanwhile.
// Resolves to the verdict.
async function job(page, button, during, jobs = 1) {
  const ended = await page.evaluate(() => window.__jobsEnded);
  await page.click(button);
  if (during) await during(page);
  await page.waitForFunction((n) => window.__jobsEnded >= n, ended + jobs);
  return page.evaluate(() => {
    const verdict = document.querySelector('#verdict');
    return { look: verdict.dataset.look, text: verdict.textContent.trim() };
  });
}

// Waits for the bar to show least percent; resolves to which buttons were enabled then.
const percentAtLeast = async (page, least) => (await page.waitForFunction((n) => {
  const $ = (id) => document.getElementById(id);
  return parseInt($('percent').textContent, 10) >= n &&
         { stop: !$('stop').disabled, read: !$('read').disabled, update: !$('update').disabled };
}, least)).jsonValue();

// The port was used as the API allows, and the page threw nothing.
async function checkClean({ page, errors }, what) {
  check(errors.length === 0, `${what}: errors in the page`, errors);
  const misuse = await page.evaluate(() => window.__serialStandin?.log.misuse ?? []);
  check(misuse.length === 0, `${what}: port use the API refuses`, misuse);
}

function checkLook(verdict, look, what) {
  check(verdict.look === look, `${what}: the verdict's look is ${look}`, verdict);
}

// A block-mode update that switches to 2,000,000 baud (the port opened again at that rate,
// and at 115200 only after the download) whenever the adapter's first line there comes.
async function blockUpdate(id, lineDelay) {
  const state = await openPage(id, { sim: ['--model', 'KTR558', ...lineDelay] });
  const { page } = state;
  await choosePort(page);
  await chooseFile(page, makeImage(`${id}.txt`, ['--model', 'KTR558', '--records', '64']),
                   'KTR558');
  checkLook(await job(page, '#update'), 'succeeded', 'block-mode Update');
  const opens = bridge.opens(id);
  check(opens.join() === '115200,2000000,115200', 'opened at 115200, 2000000, then 115200',
        opens);
  return state;
}

const scenarios = {
  // The engine alone, imported by a plain page and driven through the stand-in.
  async 'engine-read'(id) {
    const state = await openPage(id, { sim: ['--model', 'KTR5577'], at: '/engine-check.html' });
    const outcome = await state.page.evaluate(async () => {
      const { createEngine } = await import('/zorbent_engine.js');
      const port = await navigator.serial.requestPort({ filters: [{ usbVendorId: 0x1a86 }] });
      const engine = await createEngine({ port });
      return engine.read();
    });
    check(outcome.succeeded && outcome.model === 'KTR5577', 'read through the stand-in', outcome);
    check(bridge.opens(id).join() === '115200', 'one open at 115200', bridge.opens(id));
    return state;
  },

  async 'at-rest'(id) {
    const state = await openPage(id);
    const { page } = state;
    check(await page.isDisabled('#read') && await page.isDisabled('#update'),
          'Read and Update are disabled before a port is chosen');
    check(await page.isHidden('#unsupported'), '#unsupported is hidden where Web Serial is');
    check(await page.isDisabled('#stop'), 'Stop is disabled without a job');
    await page.waitForFunction(() => /Newest firmware is off/.test(document.querySelector('#file-facts').textContent));
    check(await page.isDisabled('#latest'), 'a page built without a root has Newest firmware off');
    check(await page.getAttribute('#verdict', 'data-look') === null, 'no verdict before a job');
    await shot(page, 'web-at-rest');
    // Cancelling the chooser leaves the page as it was.
    await page.evaluate(() => { window.__serialStandin.cancelChooser = true; });
    await page.click('#choose-port');
    check(await page.isDisabled('#read'), 'a cancelled chooser chooses no port');
    await page.setViewportSize(kNarrow);
    const width = await page.evaluate(() => document.documentElement.scrollWidth);
    check(width <= kNarrow.width, 'no horizontal scroll at 360 pixels', width);
    await shot(page, 'web-narrow');
    return state;
  },

  async 'line-update'(id) {
    const state = await openPage(id, { sim: kSlowSim });
    const { page } = state;
    await choosePort(page);
    const filters = (await standinLog(page)).filters.at(-1);
    check(filters.length > 0 && filters.every((f) => Number.isInteger(f.usbVendorId)) &&
          filters.some((f) => f.usbVendorId === 0x1a86), 'the chooser asks for USB serial bridges',
          filters);
    const read = await job(page, '#read');
    checkLook(read, 'succeeded', 'Read');
    check(read.text.includes('KTR5577'), 'Read: the verdict names the model', read);
    await chooseFile(page, makeImage('ktr5577.txt', ['--model', 'KTR5577']), 'KTR5577');
    const update = await job(page, '#update', async () => {
      const enabled = await percentAtLeast(page, 20);
      check(enabled.stop && !enabled.read && !enabled.update,
            'while the job runs only Stop is enabled', enabled);
      await shot(page, 'web-updating');
    });
    checkLook(update, 'succeeded', 'Update');
    check(update.text.startsWith('Update succeeded:'), 'Update: the verdict says so', update);
    const bar = await page.evaluate(() => document.querySelector('#bar').value);
    check(bar === 100 && (await text(page, '#percent')).trim() === '100%', 'the bar ends at 100%',
          bar);
    check(bridge.opens(id).every((rate) => rate === 115200), 'every open at 115200',
          bridge.opens(id));
    const { opens, signals } = await standinLog(page);
    check(signals.length === opens.length &&
          signals.every((s) => s.dataTerminalReady === false && s.requestToSend === false),
          'DTR and RTS inactive after every open', signals);
    await shot(page, 'web-success');
    return state;
  },

  // The adapter's first line at 2,000,000 baud comes a few ms after its "OK" (adapter-sim's
  // default), mostly while the port reopens for the new rate, and is then lost.
  'block-update': (id) => blockUpdate(id, []),
  'block-update-line-at-once': (id) => blockUpdate(id, ['--rate-line-delay', '0']),
  'block-update-line-after-reopen': (id) => blockUpdate(id, ['--rate-line-delay', '1000']),

  // The adapter hangs up mid-download: the page says the update failed, and what to do.
  async 'port-lost'(id) {
    const state = await openPage(id, { sim: ['--model', 'KTR558', '--disconnect-at', '5'] });
    const { page } = state;
    await choosePort(page);
    await chooseFile(page, makeImage('cut.txt', ['--model', 'KTR558']), 'KTR558');
    const verdict = await job(page, '#update');
    checkLook(verdict, 'failed', 'a connection lost mid-download');
    check(/download mode/i.test(verdict.text), 'the verdict tells of download mode', verdict);
    return state;
  },

  async 'model-mismatch'(id) {
    const state = await openPage(id, { sim: ['--model', 'KTR5577'] });
    const { page } = state;
    await choosePort(page);
    await chooseFile(page, makeImage('other.txt', ['--model', 'KTR558']), 'KTR558');
    const verdict = await job(page, '#update');
    checkLook(verdict, 'failed', 'a file for another model');
    check(verdict.text.includes('Nothing was sent that changes the adapter'),
          'the verdict says the adapter is unchanged', verdict);
    check(await text(page, '#status') === '', 'no download, so none stopped',
          await text(page, '#status'));
    await shot(page, 'web-failure');
    return state;
  },

  async 'bad-file'(id) {
    const state = await openPage(id, { sim: ['--model', 'KTR5577'] });
    const { page } = state;
    await choosePort(page);
    await page.setInputFiles('#file', makeImage('damaged.txt', [
      '--model', 'KTR5577', '--corrupt', 'bad-check-byte', '--corrupt-index', '3']));
    await page.waitForFunction(() => /\*\*Failed\*\* (update file format error|File is Invalid)!/
                                 .test(document.querySelector('#file-facts').textContent));
    check(await page.isDisabled('#update'), 'Update stays disabled for a refused file');
    check(bridge.opens(id).length === 0, 'the adapter was not reached', bridge.opens(id));
    return state;
  },

  async stop(id) {
    const state = await openPage(id, { sim: kSlowSim });
    const { page } = state;
    await choosePort(page);
    await chooseFile(page, makeImage('stop.txt', ['--model', 'KTR5577']), 'KTR5577');
    const verdict = await job(page, '#update', async () => {
      await percentAtLeast(page, 10);
      // Stopping a download is asked first; No lets it go on.
      await page.click('#stop');
      await page.waitForSelector('#question[open]');
      check((await text(page, '#question-text')).startsWith('Stop the update?'), 'Stop asks first');
      await page.click('#no');
      check(await page.evaluate(() => document.body.dataset.busy === '1'), 'No goes on');
      await page.click('#stop');
      await page.click('#question[open] #yes');
    });
    checkLook(verdict, 'failed', 'a stopped update');
    check(/download mode/i.test(verdict.text), 'the verdict tells of download mode', verdict);
    const where = await text(page, '#status');
    check(/^The download stopped at \d+%\.$/.test(where), 'the page says where it stopped', where);
    return state;
  },

  async 'download-mode'(id) {
    const state = await openPage(id, { sim: ['--model', 'KTR5577', '--download-mode'] });
    const { page } = state;
    await choosePort(page);
    await chooseFile(page, makeImage('finish.txt', ['--model', 'KTR5577']), 'KTR5577');
    const verdict = await job(page, '#update', async () => {
      await page.waitForSelector('#question[open]');
      const question = await text(page, '#question-text');
      check(question.includes('Finish the interrupted update?'), 'the page asks to finish',
            question);
      await page.click('#yes');
    }, 2);
    checkLook(verdict, 'succeeded', 'the interrupted update finished');
    return state;
  },

  // The engine's own question, in the page: a file older than the adapter's firmware is asked
  // about before anything changes it, No by default; then the port another program holds.
  async 'older-file-and-busy-port'(id) {
    const state = await openPage(id, { sim: ['--model', 'KTR5577', '--device-version', '2.2.90'] });
    const { page } = state;
    await choosePort(page);
    await chooseFile(page, makeImage('older.txt', ['--model', 'KTR5577']), 'KTR5577');
    const refused = await job(page, '#update', async () => {
      await page.waitForSelector('#question[open]');
      const question = await text(page, '#question-text');
      check(/older than the adapter's firmware v2\.2\.90\. Install the older firmware anyway\?$/
                .test(question), 'the engine asks about the older file', question);
      await page.keyboard.press('Enter');  // the default answer: No
    });
    checkLook(refused, 'failed', 'an older file, answered No');
    check(refused.text.endsWith('To install the older file anyway, press Update again and answer ' +
                                'Yes when asked.'), 'the verdict says how to install it', refused);
    await page.evaluate(() => { window.__serialStandin.busy = true; });
    const opens = bridge.opens(id).length;
    const busy = await job(page, '#read');
    checkLook(busy, 'failed', 'a port another program holds');
    check(busy.text.startsWith('Read failed: the adapter could not be reached. Nothing was sent ' +
                               'to it. The browser said: Failed to open serial port.'),
          'the verdict for a port not opened, with what to do', busy);
    const output = await text(page, '#output');
    check(output.includes('The browser said: Failed to open serial port. Close any other ' +
                          'program or browser tab using the adapter'), 'what to do about it', output);
    check(bridge.opens(id).length === opens, 'nothing reached the adapter', bridge.opens(id));
    return state;
  },

  // Newest firmware from a repository made by zorbent-fw repo, its root sealed into this copy
  // of the page: fetched, verified, checked by the engine and flashed; then an older timestamp
  // served again (a rollback) is refused with its sentence and nothing is chosen.
  async repository(id) {
    const repo = path.join(site, 'firmware');
    const keys = path.join(work, 'repository-keys');
    const image = makeImage('ktr5577-2.2.4X.txt', ['--model', 'KTR5577', '--version', 'V2.2.4X']);
    run(fwPath, ['repo', 'init', repo, '--keys', keys]);
    run(fwPath, ['repo', 'add', repo, image, '--keys', keys]);
    run(fwPath, ['repo', 'publish', repo, '--keys', keys]);
    run('node', [path.join(here, '..', 'seal_page.mjs'), site, 'firmware/',
                 path.join(repo, 'metadata', '1.root.json')]);
    // The page's client as a command (tuf_client_node.mjs) on the same repository.
    const client = ['--metadata-dir', path.join(work, 'node-client'), '--metadata-url',
                    `${base}/firmware/metadata/`];
    run('node', [path.join(site, 'tuf_client_node.mjs'), client[0], client[1], 'init',
                 path.join(repo, 'metadata', '1.root.json')]);
    await runAsync('node', [path.join(site, 'tuf_client_node.mjs'), ...client, 'refresh']);

    const state = await openPage(id, { sim: ['--model', 'KTR5577'] });
    const { page } = state;
    await choosePort(page);
    checkLook(await job(page, '#read'), 'succeeded', 'Read');
    await page.click('#latest:enabled');
    await page.waitForSelector('#question[open]');
    const question = await text(page, '#question-text');
    check(question.includes('2.2.4X'), 'the question names the newest version', question);
    await page.click('#yes');
    await page.waitForFunction(() => document.querySelector('#file-facts').textContent.includes('2.2.4X'));
    checkLook(await job(page, '#update'), 'succeeded', 'Update with the newest firmware');
    // A file from this computer is looked up in the repository by its SHA-256.
    await chooseFile(page, image, 'Verified: KTR5577 v2.2.4X');

    const timestamp = path.join(repo, 'metadata', 'timestamp.json');
    const older = readFileSync(timestamp);
    run(fwPath, ['repo', 'publish', repo, '--keys', keys]);
    await page.click('#latest:enabled');
    await page.waitForFunction(() => /already runs/.test(document.querySelector('#file-facts').textContent));
    writeFileSync(timestamp, older);
    await page.click('#latest:enabled');
    await page.waitForFunction(() => /^Newest firmware: /.test(document.querySelector('#file-facts').textContent));
    const refused = await text(page, '#file-facts');
    check(refused.includes('replaying old metadata (a rollback)'), 'the rollback is refused with its sentence', refused);
    await shot(page, 'web-rollback');
    return state;
  },

  // A repository (written by @tufjs/models, tests/tuf) listing a file as v2.2.3X whose own
  // version is 2.2.4X: verified by its hash, then refused by the engine's check of its content.
  async 'listed-not-the-file'(id) {
    const { Repository, makeKey } = await import('../../tests/tuf/repository.mjs');
    const repo = new Repository(path.join(site, 'mislisted'), {
      root: [makeKey('ecdsa')], timestamp: [makeKey('ed25519')], snapshot: [makeKey('ed25519')],
      targets: [makeKey('rsa')] });
    repo.addTarget('KTR5577/ktr5577.txt', readFileSync(
      makeImage('mislisted.txt', ['--model', 'KTR5577', '--version', 'V2.2.4X'])));
    repo.publish();
    run('node', [path.join(here, '..', 'seal_page.mjs'), site, 'mislisted/',
                 repo.file('metadata/1.root.json')]);
    const state = await openPage(id, { sim: ['--model', 'KTR5577', '--device-version', '2.2.20'] });
    const { page } = state;
    await choosePort(page);
    checkLook(await job(page, '#read'), 'succeeded', 'Read');
    await page.click('#latest:enabled');
    await page.click('#question[open] #yes');
    await page.waitForFunction(() => /^Newest firmware: /.test(document.querySelector('#file-facts').textContent));
    const refused = await text(page, '#file-facts');
    check(refused.includes('is listed as KTR5577 v2.2.3X but the file itself is KTR5577 v2.2.4X') &&
          await page.isDisabled('#update'), 'a file that is not what its listing says is refused',
          refused);
    return state;
  },

  async unsupported(id) {
    const state = await openPage(id, { standin: false });
    const { page } = state;
    await page.waitForSelector('#unsupported', { state: 'visible' });
    check((await text(page, '#unsupported')).includes('Web Serial'), 'the note names Web Serial');
    check(await page.locator('#unsupported a[href]').count() > 0,
          'the note links to the installable programs');
    // Served over plain http from a name other than localhost, the page is not a secure context.
    const plain = await openPage(`${id}-plain`, {
      standin: false, origin: base.replace('127.0.0.1', kPlainHost) });
    await plain.page.waitForSelector('#unsupported', { state: 'visible' });
    const note = await text(plain.page, '#unsupported');
    check(/https/.test(note) && await plain.page.isDisabled('#choose-port'),
          'outside a secure context the note asks for https and no port can be chosen', note);
    return state;
  },

  async 'leave-during-update'(id) {
    const state = await openPage(id, { sim: kSlowSim });
    const { page } = state;
    await choosePort(page);
    await chooseFile(page, makeImage('leave.txt', ['--model', 'KTR5577']), 'KTR5577');
    let asked = false;
    page.on('dialog', (dialog) => {
      asked ||= dialog.type() === 'beforeunload';
      dialog.dismiss();
    });
    const verdict = await job(page, '#update', async () => {
      await percentAtLeast(page, 5);
      await page.close({ runBeforeUnload: true });
    }).catch((error) => {
      check(!page.isClosed(), 'leaving during an update closed the page without asking');
      throw error;
    });
    check(asked, 'leaving during an update asks first');
    checkLook(verdict, 'succeeded', 'the update went on after staying');
    await checkClean(state, id);
    asked = false;
    await page.close({ runBeforeUnload: true });
    await page.waitForEvent('close');
    check(!asked, 'leaving after the update does not ask');
    return state;
  },
};

function limit(ms, what) {
  let id;
  const promise = new Promise((_, reject) => {
    id = setTimeout(() => reject(new Error(`${what} took more than ${ms / 1000} s`)), ms);
  });
  return { promise, cancel: () => clearTimeout(id) };
}

const only = process.env.ZORBENT_SCENARIOS?.split(',');
let failures = 0;
const started = Date.now();
for (const [name, scenario] of Object.entries(scenarios)) {
  if (only && !only.includes(name)) continue;
  const bound = limit(kScenarioMs, name);
  try {
    const state = await Promise.race([scenario(name), bound.promise]);
    if (!state.page.isClosed()) await checkClean(state, name);
    console.log(`PASS ${name}`);
  } catch (error) {
    failures++;
    // The first line, and what Playwright was waiting for.
    const lines = String(error.message || error).replace(/\x1b\[\d+m/g, '').split('\n');
    const waiting = lines.find((line) => /^\s*- waiting for/.test(line));
    console.log(`FAIL ${name}: ${lines[0]}${waiting ? ` (${waiting.trim().slice(2)})` : ''}`);
  } finally {
    bound.cancel();
    // How each page was left, a failed one above all.
    const pages = contexts.flatMap((context) => context.pages());
    for (const [at, page] of pages.entries()) {
      await page.screenshot({ path: path.join(shots, `${name}${at ? `-${at + 1}` : ''}.png`),
                              fullPage: true, timeout: kStepMs }).catch(() => {});
    }
    await Promise.all(contexts.splice(0).map((context) => context.close().catch(() => {})));
    stopAll();
    sims.clear();
  }
}
await browser.close();
await bridge.close();
server.close();
console.log(`browser_check: ${failures === 0 ? 'all passed' : `${failures} failed`} in ` +
            `${Math.round((Date.now() - started) / 1000)} s; screenshots in ${shots}`);
process.exit(failures === 0 ? 0 : 1);
