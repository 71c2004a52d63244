// scripts/run as a new user starts it: a random node password unless one is
// given, never written to a file, and no server left behind however the
// script ends.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { test } from 'node:test';
import { startServer } from './support.mjs';

const list = (base, query = '') => fetch(`${base}/vavode_deveruz?action=list${query}`).then(async (r) => [r.status, (await r.json()).ok]);

function filesUnder(dir) {
  return fs.readdirSync(dir, { recursive: true, withFileTypes: true })
    .filter((e) => e.isFile()).map((e) => path.join(e.parentPath ?? e.path, e.name));
}

const refused = (port) => new Promise((resolve) => {
  const s = net.connect(port, '127.0.0.1');
  s.on('connect', () => { s.destroy(); resolve(false); });
  s.on('error', () => resolve(true));
});

test('by default the page asks for a password made for this run', async () => {
  const server = await startServer({ BOT_PASSWORD: undefined });
  const pwd = server.stdout().match(/\/vavode_deveruz\?pwd=([0-9a-f]{32})\n/)?.[1];
  assert.ok(pwd, server.stdout());
  assert.deepEqual(await list(server.base), [401, false]);
  assert.deepEqual(await list(server.base, `&pwd=${pwd}`), [200, true]);
  // Not in the configuration nor in any other file of the run folder.
  const files = filesUnder(server.dir);
  assert.ok(files.some((f) => f.endsWith('lighttpd.conf')), files.join(' '));
  for (const f of files) assert.ok(!fs.readFileSync(f, 'utf8').includes(pwd), f);

  // Killed outright, the script still takes lighttpd and its folder along.
  process.kill(server.pid, 'SIGKILL');
  // The guard removes the folder once lighttpd has ended: wait for both.
  const left = () => fs.readdirSync(server.dir).filter((n) => n.startsWith('vavode_deveruz-run.'));
  for (let i = 0; i < 50 && !((await refused(server.port)) && left().length === 0); i++) {
    await new Promise((r) => setTimeout(r, 100));
  }
  assert.equal(await refused(server.port), true, 'lighttpd still serving');
  assert.deepEqual(left(), []);
  await server.stop();
});

test('an empty BOT_PASSWORD serves without one', async () => {
  const server = await startServer({ BOT_PASSWORD: '' });
  assert.doesNotMatch(server.stdout(), /pwd=/);
  assert.deepEqual(await list(server.base), [200, true]);
  await server.stop();
});
