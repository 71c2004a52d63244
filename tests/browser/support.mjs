// Shared pieces of the browser tests: the real server of scripts/run on a free
// port with a temporary store, a receiver for deliveries on 127.0.0.1, and
// headless Chromium from the system.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const PROGRAM = process.env.VD_PROGRAM;
const SOURCE_DIR = process.env.VD_SOURCE_DIR;
export const OUTPUT_DIR = process.env.VD_TEST_OUTPUT || path.join(os.tmpdir(), 'vd-browser-output');
if (!PROGRAM || !SOURCE_DIR) throw new Error('VD_PROGRAM and VD_SOURCE_DIR must be set (CTest sets them)');

async function freePort() {
  const srv = net.createServer();
  srv.listen(0, '127.0.0.1');
  await once(srv, 'listening');
  const { port } = srv.address();
  srv.close();
  await once(srv, 'close');
  return port;
}

// Records every request and answers 200 with a small JSON body.
export async function startReceiver() {
  const requests = [];
  const server = http.createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      requests.push({ method: req.method, url: req.url, headers: req.headers, body: Buffer.concat(chunks).toString() });
      res.writeHead(200, { 'Content-Type': 'application/json' });
      res.end('{"received":true}');
    });
  });
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  return {
    requests,
    url: `http://127.0.0.1:${server.address().port}`,
    close: () => new Promise((resolve) => server.close(resolve)),
  };
}

const running = new Set();
process.on('exit', () => {
  for (const child of running) {
    try { process.kill(-child.pid, 'SIGKILL'); } catch {}
  }
});

// Starts scripts/run with the built program: no install, no build; without a
// node password unless `env` gives one. `env` adds to (or, with undefined
// values, removes from) the server's environment.
export async function startServer(env = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vd-browser-'));
  const storePath = path.join(dir, 'store', 'hooks.json');
  const port = await freePort();
  const childEnv = { ...process.env };
  for (const k of ['BOT_PASSWORD', 'WEBHOOK_STORE_PATH', 'WEBHOOK_ALLOW_PRIVATE']) delete childEnv[k];
  Object.assign(childEnv, {
    VD_RUN_PROGRAM: PROGRAM, PORT: String(port), WEBHOOK_STORE_PATH: storePath, WEBHOOK_ALLOW_PRIVATE: '1',
    BOT_PASSWORD: '', TMPDIR: dir,
  }, env);
  for (const [k, v] of Object.entries(childEnv)) if (v === undefined) delete childEnv[k];

  // Its own process group, so that stopping it takes lighttpd and any CGI
  // process along even if the script's own clean-up never ran.
  const child = spawn('bash', [path.join(SOURCE_DIR, 'scripts', 'run')], {
    env: childEnv, stdio: ['ignore', 'pipe', 'pipe'], detached: true,
  });
  running.add(child);
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (d) => { stdout += d; });
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = once(child, 'exit');

  const base = `http://127.0.0.1:${port}`;
  const deadline = Date.now() + 20000;
  while (!stdout.includes(`${base}/vavode_deveruz`)) {
    if (child.exitCode !== null || Date.now() > deadline) {
      throw new Error(`scripts/run did not come up:\n${stdout}\n${stderr}`);
    }
    await new Promise((r) => setTimeout(r, 50));
  }

  return {
    base,
    port,
    dir,
    storePath,
    pid: child.pid,
    stdout: () => stdout,
    readStore: () => JSON.parse(fs.readFileSync(storePath, 'utf8')),
    // Stops the server the way Ctrl+C does and hands back what the server and
    // the CGI processes wrote to standard error.
    async stop() {
      if (child.exitCode === null && child.signalCode === null) {
        process.kill(-child.pid, 'SIGINT');
        const timer = setTimeout(() => { try { process.kill(-child.pid, 'SIGKILL'); } catch {} }, 5000);
        await exited;
        clearTimeout(timer);
      }
      running.delete(child);
      fs.rmSync(dir, { recursive: true, force: true });
      return stderr;
    },
  };
}

// What a sanitizer build of the program reports when something went wrong in
// a CGI process; the server relays CGI standard error to its own.
function sanitizerReports(stderr) {
  return stderr.split('\n').filter((l) => /AddressSanitizer|LeakSanitizer|runtime error:/.test(l));
}

// Ends what a test file started (the browser, receivers and other servers,
// then the program's server) and checks that no CGI process reported a
// sanitizer error and no page threw.
export async function closeAll({ browser, server, others = [], pageErrors = [] }) {
  await browser?.close();
  for (const o of others) await o?.close();
  const stderr = await server?.stop();
  assert.deepEqual(sanitizerReports(stderr ?? ''), []);
  assert.deepEqual(pageErrors, []);
}

export async function launchBrowser(extraArgs = []) {
  return chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           ...extraArgs],
  });
}

// Saves a hook through the API, as the page would; `edit` names the stored
// hook the body changes.
export async function apiSave(base, hook, headers = {}, edit = undefined) {
  const name = edit === undefined ? '' : `&name=${encodeURIComponent(edit)}`;
  const res = await fetch(`${base}/vavode_deveruz?action=save&format=json${name}`, {
    method: 'POST', headers: { 'Content-Type': 'application/json', ...headers }, body: JSON.stringify(hook),
  });
  const answer = await res.json();
  if (!answer.ok) throw new Error(`save failed: ${answer.error}`);
}

export async function apiFire(base, body) {
  const res = await fetch(`${base}/vavode_deveruz?action=fire&format=json`, {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
  });
  return res.json();
}
