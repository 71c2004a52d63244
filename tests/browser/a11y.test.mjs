// The page for people who use a keyboard, a screen reader or a bright room:
// axe-core's WCAG 2.1 A/AA rules on every view in both themes, and one walk
// through theme, create, test fire and delete by keyboard alone, where every
// stop shows a focus mark.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import { after, before, test } from 'node:test';
import { apiFire, apiSave, closeAll, launchBrowser, startReceiver, startServer } from './support.mjs';

const AXE = fs.readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');
// The WCAG 2.1 A/AA rules, and axe's best practices, which hold the landmark
// rules (every piece of content inside header, main or footer, no empty
// column header).
const TAGS = ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa', 'best-practice'];

let server, receiver, browser;
const pageErrors = [];

before(async () => {
  receiver = await startReceiver();
  server = await startServer();
  browser = await launchBrowser();
  // A standard hook in a rotation: its editor shows the rotation's controls.
  await apiSave(server.base, {
    name: 'deploy-note', url: `${receiver.url}/deploy?token=abc`, desc: 'Deploy notification', sig: 'standard',
    secret: `whsec_${'A'.repeat(43)}=`, headers: [{ name: 'Authorization', value: 'Bearer x' }],
  });
  await apiSave(server.base, { secret: `whsec_${'B'.repeat(43)}=`, rotate: true }, {}, 'deploy-note');
  // A failed delivery puts a red badge and a Detail cell into the log.
  await apiSave(server.base, { name: 'nobody-home', url: 'http://127.0.0.1:9/x' });
  assert.equal((await apiFire(server.base, { name: 'nobody-home' })).delivered, false);
});

after(() => closeAll({ browser, server, others: [receiver], pageErrors }));

async function openPage(theme, viewport = { width: 1280, height: 900 }) {
  const ctx = await browser.newContext({ colorScheme: theme, viewport });
  const page = await ctx.newPage();
  page.on('pageerror', (e) => pageErrors.push(e.message));
  await page.goto(`${server.base}/vavode_deveruz?theme=${theme}`);
  await page.waitForSelector('#rows .badge');
  return { ctx, page };
}

// One line per broken rule: its id and the elements that break it.
async function violations(page) {
  if (!(await page.evaluate(() => typeof window.axe === 'object'))) await page.evaluate(AXE);
  return page.evaluate(async (tags) => {
    const { violations: found } = await window.axe.run(document, { runOnly: { type: 'tag', values: tags }, resultTypes: ['violations'] });
    return found.map((v) => `${v.id} (${v.nodes.length}): ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
  }, TAGS);
}

async function fireAndWait(page, name) {
  await page.selectOption('#fFire', name);
  await page.click('#btnFire');
  await page.waitForFunction(() => {
    const out = document.getElementById('fireOut');
    return !out.hidden && !out.textContent.startsWith('Sending');
  });
}

test('axe: no WCAG 2.1 A/AA violation (nor best-practice one) on any view, dark and light', async (t) => {
  const found = {};
  for (const theme of ['dark', 'light']) {
    const { ctx, page } = await openPage(theme);
    found[`${theme} list`] = await violations(page);
    await page.click('#rows tr:first-child button:text("Edit")');
    await page.click('#btnGenerate');
    assert.equal(await page.isVisible('#btnEndRotation'), true);
    found[`${theme} editor`] = await violations(page);
    await page.click('#btnCancel');
    await fireAndWait(page, 'deploy-note');
    await page.waitForSelector('#logRows .badge.ok');
    found[`${theme} test-fire answer`] = await violations(page);
    await ctx.close();

    // Narrow: stacked tables, the editor with its error line, a failed send.
    const narrow = await openPage(theme, { width: 390, height: 844 });
    await narrow.page.click('#btnNew');
    await narrow.page.click('#btnSave');
    await narrow.page.waitForSelector('#saveMsg.err');
    await fireAndWait(narrow.page, 'nobody-home');
    assert.equal(await narrow.page.getAttribute('#fireOut', 'class'), 'out err');
    found[`${theme} narrow`] = await violations(narrow.page);
    await narrow.ctx.close();
  }
  for (const [view, list] of Object.entries(found)) t.diagnostic(`${view}: ${list.length} rules broken`);
  assert.deepEqual(Object.entries(found).filter(([, list]) => list.length), []);
});

// What the focused element draws around itself against an unfocused twin
// (same tag, classes and attributes) placed beside it.
function focusMark() {
  const el = document.activeElement;
  if (!el || el === document.body) return { id: 'body', visible: false };
  const look = (e) => {
    const s = getComputedStyle(e);
    return s.outlineStyle === 'none' || parseFloat(s.outlineWidth) === 0
      ? `none | ${s.boxShadow}` : `${s.outlineStyle} ${s.outlineWidth} ${s.outlineColor} | ${s.boxShadow}`;
  };
  const twin = el.cloneNode(false);
  el.after(twin);
  const on = look(el);
  const off = look(twin);
  twin.remove();
  return {
    id: el.id || el.getAttribute('aria-label') || el.textContent.trim(),
    theme: document.documentElement.getAttribute('data-theme'),
    visible: on !== off && on !== 'none | none',
  };
}

test('by keyboard alone: theme, create, edit, test fire, delete; each stop shows its focus', async () => {
  const { ctx, page } = await openPage('dark');
  const unmarked = [];
  const stops = [];
  const check = async () => {
    const mark = await page.evaluate(focusMark);
    stops.push(`${mark.theme} ${mark.id}`);
    if (!mark.visible) unmarked.push(`${mark.theme} ${mark.id}`);
  };
  const focused = (sel) => page.evaluate((q) => document.activeElement.matches(q), sel);
  const tabTo = async (sel, key = 'Tab') => {
    for (let i = 0; i < 40; i++) {
      await page.keyboard.press(key);
      await check();
      if (await focused(sel)) return;
    }
    assert.fail(`${key} never reached ${sel}; stops: ${stops.join(', ')}`);
  };
  const live = () => page.textContent('#announce');

  await tabTo('#themeToggle');
  await page.keyboard.press('Enter');
  assert.equal(await page.evaluate(() => window.krTheme()), 'light');
  await check();

  // Create: the editor opens on its name field; saving lands on the new row.
  await tabTo('#btnNew');
  await page.keyboard.press('Enter');
  assert.equal(await focused('#fName'), true, 'the editor opens on its name field');
  await check();
  await page.keyboard.type('kb-hook');
  await tabTo('#fUrl');
  await page.keyboard.type(`${receiver.url}/kb`);
  await tabTo('#fConfirm');
  await page.keyboard.press('Space');
  assert.equal(await page.isChecked('#fConfirm'), true);
  await tabTo('#btnSave');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.activeElement.getAttribute('aria-label') === 'Edit kb-hook');
  assert.equal(await page.isHidden('#editor'), true);
  assert.equal(await live(), 'Saved kb-hook.');
  await check();

  // Edit opens on the name field; Cancel goes back to the row's Edit button.
  await page.keyboard.press('Enter');
  assert.equal(await page.textContent('#editorTitle'), 'Edit kb-hook');
  assert.equal(await focused('#fName'), true);
  await tabTo('#btnCancel');
  await page.keyboard.press('Enter');
  assert.equal(await focused('[aria-label="Edit kb-hook"]'), true);

  // Test fire: the answer takes the focus, and the live region holds it.
  await tabTo('#fFire');
  await page.keyboard.press('End');
  assert.equal(await page.inputValue('#fFire'), 'kb-hook');
  await tabTo('#btnFire');
  const sent = receiver.requests.length;
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.activeElement.id === 'fireOut');
  assert.equal(receiver.requests.length, sent + 1);
  assert.equal(receiver.requests.at(-1).url, '/kb');
  assert.equal(JSON.parse(await page.textContent('#fireOut')).status, 200);
  assert.equal(await page.getAttribute('#fireOut', 'aria-live'), 'polite');
  // The page refreshes its list after the answer; the rows it renders then
  // replace the ones a key could land on, so the walk goes on after that.
  await page.waitForFunction(() => document.getElementById('logRows').textContent.includes('kb-hook'));
  await check();

  // Delete, back up the page: it is announced, and the focus goes to the row
  // that takes its place (here the one above, as it was the last).
  await tabTo('[aria-label="Delete kb-hook"]', 'Shift+Tab');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.getElementById('announce').textContent === 'Deleted kb-hook.');
  await page.waitForFunction(() => document.activeElement.getAttribute('aria-label') === 'Edit nobody-home');
  assert.deepEqual(server.readStore().hooks.map((h) => h.name), ['deploy-note', 'nobody-home']);
  await check();

  // Back to dark by keyboard, and through the fields once more in it.
  await tabTo('#themeToggle', 'Shift+Tab');
  await page.keyboard.press('Enter');
  assert.equal(await page.evaluate(() => window.krTheme()), 'dark');
  await tabTo('#btnFire');

  assert.deepEqual(unmarked, [], `stops without a visible focus mark (all stops: ${stops.join(', ')})`);
  await ctx.close();
});
