// A node with a password, the page served through the hub route: the page
// finds the password the host stored and sends it both ways on every call.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { closeAll, launchBrowser, startServer } from './support.mjs';

const PASSWORD = 'hub pass+1&x';
let server, browser;

before(async () => {
  server = await startServer({ BOT_PASSWORD: PASSWORD });
  browser = await launchBrowser();
});

after(() => closeAll({ browser, server }));

// The document itself is guarded too: the host's own request for it carries
// the password. Only that one request gets it here; the page's calls must
// bring their own.
async function pageWithHost(storage) {
  const ctx = await browser.newContext();
  await ctx.addInitScript((entries) => {
    for (const [k, v] of Object.entries(entries)) localStorage.setItem(k, v);
  }, storage);
  const page = await ctx.newPage();
  await page.route((url) => url.pathname === '/plugins' && !url.search.includes('action='), (route) =>
    route.continue({ headers: { ...route.request().headers(), 'x-bot-password': PASSWORD } }));
  const calls = [];
  page.on('request', (req) => {
    if (req.url().includes('action=')) calls.push({ url: req.url(), password: req.headers()['x-bot-password'] });
  });
  return { ctx, page, calls };
}

test('through the hub with a stored node password every call carries it', async () => {
  const { ctx, page, calls } = await pageWithHost({ bot_pwd_n1: PASSWORD, bot_active_pwd: 'not this one' });
  await page.goto(`${server.base}/plugins?plugin=vavode_deveruz&node=n1`);
  await page.waitForSelector('#rows :text("No hooks yet.")');

  await page.click('#btnNew');
  await page.fill('#fName', 'via-hub');
  await page.fill('#fUrl', 'https://hooks.example.com/via-hub');
  await page.click('#btnSave');
  await page.waitForSelector('#rows :text-is("via-hub")');
  assert.deepEqual(server.readStore().hooks.map((h) => h.name), ['via-hub']);

  const suffix = `&format=json&node=n1&pwd=${encodeURIComponent(PASSWORD)}`;
  assert.deepEqual(calls.map((c) => c.url.slice(server.base.length)), [
    `/plugins?plugin=vavode_deveruz?action=list${suffix}`,
    `/plugins?plugin=vavode_deveruz?action=save${suffix}`,
    `/plugins?plugin=vavode_deveruz?action=list${suffix}`,
  ]);
  assert.deepEqual(calls.map((c) => c.password), [PASSWORD, PASSWORD, PASSWORD]);
  await ctx.close();
});

test('without a known password the node refuses and the page says so', async () => {
  const { ctx, page, calls } = await pageWithHost({});
  await page.goto(`${server.base}/plugins?plugin=vavode_deveruz&node=n1`);
  await page.waitForSelector('#rows :text("Could not load hooks")');
  assert.equal(await page.textContent('#rows'), 'Could not load hooks: invalid node password');
  assert.equal(calls.length, 1);
  assert.equal(calls[0].password, undefined);
  assert.ok(!calls[0].url.includes('pwd='));
  await ctx.close();
});
