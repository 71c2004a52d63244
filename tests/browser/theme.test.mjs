// The theme system as a person and a host frame meet it, and screenshots of
// the page with hooks in both themes at a wide and a narrow width.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { apiFire, apiSave, closeAll, launchBrowser, OUTPUT_DIR, startReceiver, startServer } from './support.mjs';

let server, receiver, browser;

before(async () => {
  receiver = await startReceiver();
  server = await startServer();
  browser = await launchBrowser();
});

after(() => closeAll({ browser, server, others: [receiver] }));

const themeOf = (page) => page.evaluate(() => document.documentElement.getAttribute('data-theme'));
const stored = (page) => page.evaluate(() => localStorage.getItem('bot_theme'));
const background = (page) => page.evaluate(() => getComputedStyle(document.body).backgroundColor);

test('address, storage and browser preference pick the theme', async () => {
  const ctx = await browser.newContext({ colorScheme: 'dark' });
  const page = await ctx.newPage();
  await page.goto(`${server.base}/vavode_deveruz`);
  assert.equal(await themeOf(page), 'dark');
  assert.equal(await stored(page), 'dark');

  // "LIGHT" does not match the page's own lower-case check, so only the
  // server's forced-light script can make it win over the stored dark.
  await page.goto(`${server.base}/vavode_deveruz?theme=LIGHT`);
  assert.equal(await themeOf(page), 'light');
  assert.equal(await background(page), 'rgb(245, 245, 247)');
  assert.equal(await stored(page), 'dark', 'forced light is not stored');

  // The toggle flips and stores the choice.
  await page.goto(`${server.base}/vavode_deveruz`);
  assert.equal(await background(page), 'rgb(0, 0, 0)');
  await page.click('#themeToggle');
  assert.equal(await themeOf(page), 'light');
  assert.equal(await stored(page), 'light');
  await ctx.close();

  for (const scheme of ['light', 'dark']) {
    const fresh = await browser.newContext({ colorScheme: scheme });
    const p = await fresh.newPage();
    await p.goto(`${server.base}/vavode_deveruz`);
    assert.equal(await themeOf(p), scheme, `empty storage follows prefers-color-scheme: ${scheme}`);
    assert.equal(await stored(p), scheme);
    await fresh.close();
  }
});

test('inside a host frame: one theme request, kr-theme messages switch once', async () => {
  const ctx = await browser.newContext({ colorScheme: 'light' });
  const page = await ctx.newPage();
  const src = `${server.base}/plugins?plugin=vavode_deveruz&embed=1`;
  // The host's hub is a page of the same server: no other origin may frame this one.
  await page.goto(`${server.base}/plugins?action=list`);
  await page.setContent(`<script>window.got = []; addEventListener('message', (e) => got.push(e.data));</script>
    <iframe id="f" style="width:900px;height:700px" src="${src}"></iframe>`);
  const frame = await (await page.waitForSelector('#f')).contentFrame();
  await frame.waitForSelector('#rows td');
  await frame.evaluate(() => {
    window.themeEvents = [];
    window.messages = 0;
    addEventListener('bot-theme', (e) => themeEvents.push(e.detail));
    // Registered after the bridge's listener, so it runs after it.
    addEventListener('message', () => { messages += 1; });
  });
  assert.deepEqual(await page.evaluate(() => got), [{ type: 'kr-theme-request' }]);
  assert.equal(await themeOf(frame), 'light');
  assert.equal(await frame.isHidden('#themeToggle'), true, 'embed=1 hides the theme button');

  const send = () => page.evaluate(() => document.getElementById('f').contentWindow.postMessage({ type: 'kr-theme', theme: 'dark' }, '*'));
  await send();
  await frame.waitForFunction(() => messages === 1);
  assert.equal(await themeOf(frame), 'dark');
  await send();
  await frame.waitForFunction(() => messages === 2);
  assert.deepEqual(await frame.evaluate(() => themeEvents), ['dark'], 'a repeated theme fires no second event');
  await ctx.close();
});

// Counts what a person would notice: how many colours the picture has and how
// much of it differs from its corner colour.
async function pictureStats(png) {
  const page = await browser.newPage();
  const stats = await page.evaluate(async (b64) => {
    const img = new Image();
    img.src = `data:image/png;base64,${b64}`;
    await img.decode();
    const c = document.createElement('canvas');
    c.width = img.width;
    c.height = img.height;
    const g = c.getContext('2d');
    g.drawImage(img, 0, 0);
    const d = g.getImageData(0, 0, c.width, c.height).data;
    const colours = new Set();
    let differing = 0;
    for (let i = 0; i < d.length; i += 4) {
      colours.add((d[i] << 16) | (d[i + 1] << 8) | d[i + 2]);
      if (Math.abs(d[i] - d[0]) + Math.abs(d[i + 1] - d[1]) + Math.abs(d[i + 2] - d[2]) > 24) differing++;
    }
    return { width: c.width, colours: colours.size, share: differing / (d.length / 4) };
  }, png.toString('base64'));
  await page.close();
  return stats;
}

test('screenshots with hooks, dark and light, wide and narrow', async () => {
  await apiSave(server.base, {
    name: 'deploy-note', url: `${receiver.url}/deploy?token=abc`, desc: 'Deploy notification to the release channel',
    sig: 'github', secret: 's3cret', headers: [{ name: 'Authorization', value: 'Bearer x' }, { name: 'Content-Type', value: 'application/json' }],
  });
  await apiSave(server.base, { name: 'nightly-build', method: 'PUT', url: `${receiver.url}/builds/nightly`, sig: 'v2', secret: 'k' });
  await apiSave(server.base, { name: 'status-ping', method: 'GET', url: 'http://127.0.0.1:9/ping', desc: 'Nothing listens here' });
  assert.equal((await apiFire(server.base, { name: 'deploy-note', payload: '{"event":"deploy"}' })).status, 200);
  assert.equal((await apiFire(server.base, { name: 'status-ping' })).delivered, false);
  assert.equal((await apiFire(server.base, { name: 'nightly-build', query: 'run=1' })).status, 200);

  fs.mkdirSync(OUTPUT_DIR, { recursive: true });
  for (const theme of ['dark', 'light']) {
    for (const width of [1280, 600]) {
      const ctx = await browser.newContext({ viewport: { width, height: 900 }, colorScheme: theme });
      const page = await ctx.newPage();
      await page.goto(`${server.base}/vavode_deveruz?theme=${theme}`);
      await page.waitForSelector('#logRows .badge');
      await page.click('#btnFire');
      await page.waitForSelector('#fireOut:not([hidden])');
      await page.waitForFunction(() => !document.getElementById('fireOut').textContent.startsWith('Sending'));
      const file = path.join(OUTPUT_DIR, `page-${theme}-${width}.png`);
      const png = await page.screenshot({ path: file, fullPage: true });
      const stats = await pictureStats(png);
      assert.equal(stats.width, width);
      assert.ok(stats.colours > 50, `${file}: only ${stats.colours} colours`);
      assert.ok(stats.share > 0.05, `${file}: ${(stats.share * 100).toFixed(1)}% differs from the background`);
      // Nothing may stick out sideways at either width.
      assert.equal(await page.evaluate(() => document.documentElement.scrollWidth), width);
      await ctx.close();
    }
  }
});
