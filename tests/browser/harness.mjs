// What every browser test needs: a collector with --store and --http on loopback, the demo's
// two services and page_cases feeding it, the API to wait on, and a headless Chromium with a
// profile of its own. Everything started here is stopped by its own handle in stop().
import {spawn} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const bin = process.env.VESKA_BIN;
export const artifacts = process.env.VESKA_ARTIFACTS ?? os.tmpdir();
export const MARKUP_ID = '<img src=x onerror="window.__veskaPwned=1">';
export const MARKUP_VALUE = '<script>window.__veskaPwned=1</script>';

// Polls `probe` until it returns a truthy value; fails after `seconds`. Each try is cheap and
// the pause between them short, so a loaded machine only makes it slower, never wrong.
export async function waitFor(what, probe, seconds = 60) {
  const deadline = Date.now() + seconds * 1000;
  let last;
  while (Date.now() < deadline) {
    try {
      const value = await probe();
      if (value) return value;
    } catch (error) {
      last = error;
    }
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  throw new Error(`timed out waiting for ${what}${last ? `: ${last.message}` : ''}`);
}

function run(program, args) {
  return new Promise((resolve, reject) => {
    const child = spawn(path.join(bin, program), args, {
      env: {...process.env, QIVA_LOGGER_DISABLE: '1'},
      stdio: ['ignore', 'inherit', 'inherit'],
    });
    const timer = setTimeout(() => child.kill('SIGKILL'), 120000);
    child.on('error', reject);
    child.on('exit', (code, signal) => {
      clearTimeout(timer);
      if (code === 0) resolve();
      else reject(new Error(`${program} ${args.join(' ')} ended with ${code ?? signal}`));
    });
  });
}

export class Setup {
  async start() {
    if (!bin) throw new Error('VESKA_BIN must name the folder of veska-collector');
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'veska-browser-'));
    const ready = path.join(this.dir, 'ready');
    this.collector = spawn(path.join(bin, 'veska-collector'), [
      '--listen', '127.0.0.1:0', '--http', '127.0.0.1:0', '--ready-file', ready,
      '--store', path.join(this.dir, 'store.sqlite'), '--output', path.join(this.dir, 'events.jsonl'),
    ], {stdio: ['ignore', 'ignore', 'inherit']});
    const exited = new Promise((resolve) => this.collector.on('exit', resolve));
    const lines = await waitFor('the collector to listen', async () => {
      if (this.collector.exitCode !== null) throw new Error('veska-collector exited');
      const text = fs.existsSync(ready) ? fs.readFileSync(ready, 'utf8') : '';
      const all = text.split('\n');
      return all.length >= 2 && all[1].startsWith('http ') ? all : null;
    });
    this.collectorExited = exited;
    this.intake = 'tcp:' + lines[0].trim();
    this.base = 'http://' + lines[1].slice(5).trim();
    return this;
  }

  // The demo's order service, which calls the inventory service inside its OUTBOUND.
  runDemo() {
    return run('veska-demo', [this.intake, path.join(bin, 'veska-inventory')]);
  }

  runCases(...cases) {
    return run('page_cases', [this.intake, ...cases]);
  }

  async api(pathAndQuery) {
    const response = await fetch(this.base + pathAndQuery);
    if (!response.ok) throw new Error(`${pathAndQuery}: ${response.status}`);
    return response.json();
  }

  // The summary of the stored transaction `id` once it holds `events` events.
  waitForTransaction(id, events) {
    return waitFor(`${id} with ${events} events in the store`, async () => {
      const answer = await this.api('/api/transactions?' + new URLSearchParams({id}));
      const found = answer.transactions.find((t) => t.transaction_id === id);
      return found && found.events >= events ? found : null;
    }, 90);
  }

  async browser() {
    const profile = fs.mkdtempSync(path.join(this.dir, 'chromium-'));
    this.chromium = await puppeteer.launch({
      executablePath: '/usr/bin/chromium',
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             `--user-data-dir=${profile}`],
      protocolTimeout: 120000,
    });
    return this.chromium;
  }

  // A page at 1280x800 that records script errors, for the tests to assert there were none.
  async page() {
    const page = await this.chromium.newPage();
    await page.setViewport({width: 1280, height: 800});
    page.setDefaultTimeout(60000);
    page.errors = [];
    page.on('pageerror', (error) => page.errors.push(error.message));
    return page;
  }

  async screenshot(page, name) {
    fs.mkdirSync(artifacts, {recursive: true});
    const file = path.join(artifacts, `${name}.png`);
    await page.screenshot({path: file});
    return file;
  }

  async stop() {
    if (this.chromium) await this.chromium.close().catch(() => {});
    if (this.collector && this.collector.exitCode === null) {
      this.collector.kill('SIGTERM');
      const timer = setTimeout(() => this.collector.kill('SIGKILL'), 10000);
      await this.collectorExited;
      clearTimeout(timer);
    }
    if (this.dir) fs.rmSync(this.dir, {recursive: true, force: true});
  }
}

// The texts of the elements matching `selector`, in document order.
export function texts(page, selector) {
  return page.$$eval(selector, (nodes) => nodes.map((node) => node.textContent));
}
