// Pages of other origins, and a name rebound to this machine, attack a node
// that runs without a password: none of them may change a hook, fire one or
// frame the page, not even through addresses to which the browser sends no
// Fetch Metadata (0.0.0.0, a plain-http name the owner allowed). The node's
// own page keeps working (page_flow.test.mjs).
import assert from 'node:assert/strict';
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import { after, before, test } from 'node:test';
import { closeAll, launchBrowser, startReceiver, startServer } from './support.mjs';

let server, legit, attacker, pages, browser;
let storeBefore;
const documents = new Map();  // path -> HTML the attacker's server answers with

before(async () => {
  legit = await startReceiver();
  attacker = await startReceiver();
  // Real loopback servers: the browser holds a page of unknown address to
  // stricter rules towards 127.0.0.1 than a local attacker meets.
  pages = http.createServer((req, res) => {
    res.writeHead(documents.has(req.url) ? 200 : 404, { 'Content-Type': 'text/html' });
    res.end(documents.get(req.url) ?? '');
  });
  pages.listen(0, '127.0.0.1');
  await once(pages, 'listening');
  server = await startServer({ WEBHOOK_ALLOWED_HOSTS: 'hub.test' });
  browser = await launchBrowser(['--host-resolver-rules=MAP rebound.test 127.0.0.1, MAP hub.test 127.0.0.1']);
  const res = await fetch(`${server.base}/vavode_deveruz?action=save`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({
      name: 'deploy', url: `${legit.url}/hook`, sig: 'gitlab', secret: 'gl-token',
      headers: [{ name: 'Authorization', value: 'Bearer stored-token' }],
    }),
  });
  assert.equal((await res.json()).ok, true);
  storeBefore = fs.readFileSync(server.storePath);
});

after(() => closeAll({ browser, server, others: [legit, attacker, pages] }));

// Opens `html` as a document of `origin` and waits until every attack in it
// has settled.
let served = 0;
async function attackFrom(origin, html) {
  const file = `/attack-${++served}.html`;
  documents.set(file, `<!doctype html><body>${html}</body>`);
  const ctx = await browser.newContext();
  const page = await ctx.newPage();
  await page.goto(`${origin}${file}`);
  await page.waitForFunction(() => window.settled === true, null, { timeout: 15000 });
  await page.waitForLoadState('networkidle');
  return { ctx, page };
}

function attacks(target, sink) {
  const evil = JSON.stringify({ name: 'evil', url: `${sink}/x` });
  const formName = JSON.stringify({ name: 'evil-form', url: `${sink}/y`, pad: '' }).slice(0, -2);
  return `
<form id="f" method="POST" enctype="text/plain" target="sink" action="${target}?action=save">
  <input name='${formName}' value='"}'>
</form>
<script>
  const img = (src) => new Promise((done) => { const i = new Image(); i.onload = i.onerror = done; i.src = src; });
  const quiet = (p) => p.then(() => {}, () => {});
  // The form's answer lands in a frame whose first (blank) load is over.
  const frame = document.createElement('iframe');
  frame.name = 'sink';
  document.body.appendChild(frame);
  const sent = new Promise((done) => { frame.onload = done; });
  document.getElementById('f').submit();
  Promise.all([
    quiet(fetch('${target}?action=save', { method: 'POST', mode: 'no-cors',
      headers: { 'Content-Type': 'text/plain' }, body: ${JSON.stringify(evil)} })),
    quiet(fetch('${target}?action=save&name=deploy', { method: 'POST', mode: 'no-cors',
      headers: { 'Content-Type': 'text/plain' }, body: '{"url":"${sink}/repointed"}' })),
    img('${target}?action=fire&name=deploy'),
    img('${target}?action=delete&name=deploy'),
    quiet(fetch('${target}?action=fire&name=deploy', { method: 'PUT', headers: { 'X-Preflight': '1' } })),
    sent,
  ]).then(() => { window.settled = true; });
</script>`;
}

test('pages of other origins change nothing and send nothing', async () => {
  const target = `${server.base}/vavode_deveruz`;
  const port = pages.address().port;
  const origins = [`http://127.0.0.1:${port}`, `http://localhost:${port}`];
  for (const origin of origins) {
    const { ctx } = await attackFrom(origin, attacks(target, attacker.url));
    await ctx.close();
  }
  assert.ok(fs.readFileSync(server.storePath).equals(storeBefore), 'the store changed');
  assert.deepEqual(attacker.requests, []);
  assert.deepEqual(legit.requests, []);
});

test('GETs by image, navigation, new window or typed link neither fire nor delete', async () => {
  const port = pages.address().port;
  for (const base of [`http://0.0.0.0:${server.port}`, `http://hub.test:${server.port}`]) {
    const target = `${base}/vavode_deveruz`;
    const fire = `${target}?action=fire&name=deploy&payload=%7B%22evil%22%3A1%7D`;
    const del = `${target}?action=delete&name=deploy`;
    const { ctx, page } = await attackFrom(`http://127.0.0.1:${port}`, `<script>
      const img = (src) => new Promise((done) => { const i = new Image(); i.onload = i.onerror = done; i.src = src; });
      Promise.all([img(${JSON.stringify(fire)}), img(${JSON.stringify(del)})]).then(() => { window.settled = true; });
    </script>`);
    const opened = ctx.waitForEvent('page');
    await page.evaluate((url) => window.open(url), fire);
    await (await opened).waitForLoadState();
    const navigated = await page.goto(del).catch((e) => e);  // a link from another page or program
    await ctx.close();
    assert.ok(navigated instanceof Error || navigated.status() === 405, `${base}: ${navigated}`);
  }
  assert.ok(fs.readFileSync(server.storePath).equals(storeBefore), 'the store changed');
  assert.deepEqual(legit.requests, []);
});

test('a name rebound to 127.0.0.1 can neither read nor save', async () => {
  const page = await browser.newPage();
  const rebound = `http://rebound.test:${server.port}/vavode_deveruz`;
  const doc = await page.goto(rebound);
  assert.equal(doc.status(), 403);
  const tries = await page.evaluate(async (url) => {
    const list = await fetch(`${url}?action=list`);
    const save = await fetch(`${url}?action=save`, {
      method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"name":"evil","url":"https://e.example/"}',
    });
    return [[list.status, (await list.json()).error], [save.status, (await save.json()).error]];
  }, rebound);
  const why = 'host name not served without a node password: use an IP address or localhost, '
    + 'or list the name in WEBHOOK_ALLOWED_HOSTS';
  assert.deepEqual(tries, [[403, why], [403, why]]);
  assert.ok(fs.readFileSync(server.storePath).equals(storeBefore), 'the store changed');
  await page.close();
});

test('only the server itself may frame the page', async () => {
  // Opens `url`, then frames the page from there as a host would.
  const frameFrom = async (url) => {
    const ctx = await browser.newContext();
    const page = await ctx.newPage();
    await page.goto(url);
    await page.evaluate((src) => new Promise((done) => {
      const f = document.createElement('iframe');
      f.onload = done;
      f.src = src;
      document.body.appendChild(f);
    }), `${server.base}/vavode_deveruz?embed=1`);
    const frame = page.frames().find((f) => f !== page.mainFrame());
    const shown = await frame.evaluate(() => !!document.getElementById('rows')).catch(() => false);
    await ctx.close();
    return shown;
  };
  documents.set('/blank.html', '<!doctype html><body></body>');
  const port = pages.address().port;
  assert.equal(await frameFrom(`http://127.0.0.1:${port}/blank.html`), false);
  assert.equal(await frameFrom(`http://localhost:${port}/blank.html`), false);
  assert.equal(await frameFrom(`${server.base}/vavode_deveruz`), true);  // its own pages, as the hub's
});
