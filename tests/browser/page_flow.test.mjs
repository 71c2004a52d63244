// What a person does on the page: create, edit, rename, fire and delete a
// hook, and the refusals they meet on the way.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { closeAll, launchBrowser, startReceiver, startServer } from './support.mjs';

let server, receiver, browser, page;
const pageErrors = [];

before(async () => {
  receiver = await startReceiver();
  server = await startServer();
  browser = await launchBrowser();
  page = await browser.newPage();
  page.on('pageerror', (e) => pageErrors.push(e.message));
});

after(() => closeAll({ browser, server, others: [receiver], pageErrors }));

const text = (sel) => page.textContent(sel);
const rowTexts = (sel) => page.$$eval(`${sel} tr`, (rows) => rows.map((r) => [...r.cells].map((c) => c.textContent.trim())));

async function openPage() {
  await page.goto(`${server.base}/vavode_deveruz`);
  await page.waitForFunction(() => document.getElementById('policynote').textContent !== '');
}

// Fills the open editor; `headers` are [name, value] rows to add.
async function fillEditor({ name, url, desc, sig, secret, headers = [] }) {
  if (name !== undefined) await page.fill('#fName', name);
  if (url !== undefined) await page.fill('#fUrl', url);
  if (desc !== undefined) await page.fill('#fDesc', desc);
  if (sig !== undefined) await page.selectOption('#fSig', sig);
  if (secret !== undefined) await page.fill('#fSecret', secret);
  for (const [n, v] of headers) {
    await page.click('#btnAddHdr');
    await page.fill('#hdrList .hdr-row:last-child input[type=text]', n);
    await page.fill('#hdrList .hdr-row:last-child input[type=password]', v);
  }
}

async function saveAndWait() {
  await page.click('#btnSave');
  await page.waitForSelector('#editor', { state: 'hidden' });
}

async function editRow(name) {
  await page.click(`#rows tr:has(td:first-child :text-is("${name}")) button:text("Edit")`);
}

test('an empty store: the hook table says so and firing asks for a hook', async () => {
  await openPage();
  assert.equal(await text('#policynote'), 'Private / loopback endpoints are allowed on this node (WEBHOOK_ALLOW_PRIVATE=1).');
  assert.deepEqual(await rowTexts('#rows'), [['No hooks yet. Create one to give the agent a tool it can fire.']]);
  assert.equal(await text('#count'), '0');
  await page.click('#btnFire');
  assert.equal(await text('#fireOut'), 'Create a hook first.');
  assert.equal(await page.getAttribute('#fireOut', 'class'), 'out err');
});

test('create, edit, rename, fire and delete a hook', async () => {
  await openPage();
  await page.click('#btnNew');
  assert.equal(await text('#editorTitle'), 'New hook');
  assert.equal(await page.inputValue('#hdrList input[type=text]'), 'Content-Type');
  await fillEditor({
    name: 'deploy-note', url: `${receiver.url}/hook?token=abc`, desc: 'Deploy notification', sig: 'github',
    secret: 's3cret', headers: [['Authorization', 'Bearer t0ken']],
  });
  await saveAndWait();
  await page.waitForSelector('#rows .badge');
  assert.equal(await text('#count'), '1');
  assert.deepEqual(await rowTexts('#rows'), [[
    'deploy-noteDeploy notification', 'POST', `${receiver.url}/hook?<redacted>`, 'github', '2 headers + HMAC', '30/hour',
    'EditDelete',
  ]]);
  assert.equal(await page.getAttribute('#rows .badge.sig', 'class'), 'badge sig');

  // Edit without touching the secret, the URL or the header values.
  await editRow('deploy-note');
  assert.equal(await text('#editorTitle'), 'Edit deploy-note');
  assert.equal(await page.getAttribute('#fSecret', 'placeholder'), 'stored \u2014 leave blank to keep');
  assert.deepEqual(await page.$$eval('#hdrList input[type=text]', (l) => l.map((i) => i.value)), ['Content-Type', 'Authorization']);
  assert.deepEqual(await page.$$eval('#hdrList input[type=password]', (l) => l.map((i) => i.value)), ['', '']);
  await fillEditor({ desc: 'Deploy note, edited' });
  await saveAndWait();
  await page.waitForSelector('#rows :text("Deploy note, edited")');
  let stored = server.readStore().hooks;
  assert.equal(stored.length, 1);
  assert.equal(stored[0].secret, 's3cret');
  assert.equal(stored[0].url, `${receiver.url}/hook?token=abc`, 'the hidden query survives an edit');
  assert.deepEqual(stored[0].headers.map((h) => [h.name, h.value]),
    [['Content-Type', 'application/json'], ['Authorization', 'Bearer t0ken']]);

  // Rename in place.
  await editRow('deploy-note');
  await fillEditor({ name: 'deploy-prod' });
  await saveAndWait();
  await page.waitForSelector('#rows :text-is("deploy-prod")');
  stored = server.readStore().hooks;
  assert.deepEqual(stored.map((h) => [h.name, h.secret]), [['deploy-prod', 's3cret']]);

  // Fire with a payload and a query; Ctrl+Enter in the payload box sends.
  const payload = '{"event":"deploy",  "n": 1}';
  await page.selectOption('#fFire', 'deploy-prod');
  await page.fill('#fQuery', '  event=deploy&env=prod ');
  await page.fill('#fPayload', payload);
  await page.press('#fPayload', 'Control+Enter');
  await page.waitForSelector('#logRows .badge.ok');
  assert.equal(receiver.requests.length, 1);
  const got = receiver.requests[0];
  assert.equal(got.method, 'POST');
  assert.equal(got.url, '/hook?token=abc&event=deploy&env=prod');
  assert.equal(got.body, payload, 'the payload arrives exactly as typed');
  assert.equal(got.headers.authorization, 'Bearer t0ken');
  const out = JSON.parse(await text('#fireOut'));
  assert.deepEqual({ ...out, ms: 0 }, {
    ok: true, delivered: true, status: 200, ok_status: true, ms: 0, bytes: 17, truncated: false, body_preview: '{"received":true}',
  });
  assert.equal(await page.getAttribute('#fireOut', 'class'), 'out');
  const log = await rowTexts('#logRows');
  assert.equal(log.length, 1);
  assert.match(log[0][0], /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/);
  assert.deepEqual(log[0].slice(1, 4), ['deploy-prod', '200', '17']);
  assert.equal(log[0].length, 5, 'no Detail cell without an error');

  await page.click('#rows button:text("Delete")');
  await page.waitForSelector('#rows :text("No hooks yet.")');
  assert.equal(await text('#count'), '0');
  assert.deepEqual(server.readStore().hooks, []);
});

test('refusals: invalid JSON payload, duplicate name, a failed delivery', async () => {
  await openPage();
  await page.click('#btnNew');
  await fillEditor({ name: 'dup', url: `${receiver.url}/dup` });
  await saveAndWait();
  await page.waitForSelector('#rows :text-is("dup")');

  await page.click('#btnNew');
  await fillEditor({ name: 'dup', url: `${receiver.url}/other` });
  await page.click('#btnSave');
  await page.waitForSelector('#saveMsg:text-matches("^Error")');
  assert.equal(await text('#saveMsg'), "Error: a hook named 'dup' already exists");
  assert.equal(await page.isVisible('#editor'), true);
  await page.click('#btnCancel');

  const before = receiver.requests.length;
  await page.selectOption('#fFire', 'dup');
  await page.fill('#fPayload', '{"event": deploy}');
  await page.click('#btnFire');
  assert.match(await text('#fireOut'), /^The payload is not valid JSON: \S/);
  assert.equal(await page.getAttribute('#fireOut', 'class'), 'out err');
  assert.equal(receiver.requests.length, before, 'nothing was sent');

  // A hook whose endpoint refuses the connection: the node answers 502, the
  // page says so, and the log shows a red "error" with its detail.
  await page.click('#btnNew');
  await fillEditor({ name: 'nobody-home', url: 'http://127.0.0.1:9/x' });
  await saveAndWait();
  await page.selectOption('#fFire', 'nobody-home');
  await page.fill('#fPayload', '');
  await page.click('#btnFire');
  await page.waitForSelector('#fireOut:text-matches("^Send failed: ")');
  assert.equal(await page.getAttribute('#fireOut', 'class'), 'out err');
  await page.click('#btnReload');
  await page.waitForSelector('#logRows .badge.bad');
  const [row] = await rowTexts('#logRows');
  assert.deepEqual(row.slice(1, 3), ['nobody-home', 'error']);
  assert.equal(row.length, 6);
  assert.equal(`Send failed: ${row[5]}`, await text('#fireOut'));
});

test('a description holding HTML shows as text and runs nothing', async () => {
  const desc = '<img src=x onerror="window.__pwned=1"><b>bold</b>';
  await openPage();
  await page.click('#btnNew');
  await fillEditor({ name: 'html-desc', url: `${receiver.url}/h`, desc });
  await saveAndWait();
  await page.waitForSelector('#rows :text-is("html-desc")');
  await page.reload();
  await page.waitForSelector('#rows :text-is("html-desc")');
  // A broken image would have fired its handler by the time the page loaded.
  await page.waitForLoadState('load');
  assert.equal(await page.$$eval('#rows tr:has(:text-is("html-desc")) .hint', (l) => l.map((e) => e.textContent)).then((t) => t[0]), desc);
  assert.equal(await page.$$eval('#rows img, #rows b', (l) => l.length), 0);
  assert.equal(await page.evaluate(() => window.__pwned), undefined);
});

test('standard: generate a secret, fire, rotate to a new one and end the rotation early', async () => {
  await openPage();
  await page.click('#btnNew');
  await fillEditor({ name: 'std-hook', url: `${receiver.url}/std`, sig: 'standard' });
  assert.equal(await page.isHidden('#rotateBox'), true, 'a new hook has nothing to rotate');
  await page.click('#btnGenerate');
  const first = await page.inputValue('#fSecret');
  assert.match(first, /^whsec_[A-Za-z0-9+/]{43}=$/);
  assert.equal(await page.getAttribute('#fSecret', 'type'), 'text', 'shown, to be copied to the receiver');
  await saveAndWait();
  await page.waitForSelector('#rows :text-is("std-hook")');

  // Fired from the page: the id sent is the one the answer and the log show.
  await page.selectOption('#fFire', 'std-hook');
  await page.fill('#fPayload', '{"event":"std"}');
  const before = receiver.requests.length;
  await page.click('#btnFire');
  await page.waitForSelector('#logRows :text-matches("^id msg_")');
  const got = receiver.requests[before];
  const id = got.headers['webhook-id'];
  assert.equal(JSON.parse(await text('#fireOut')).message_id, id);
  assert.equal((await rowTexts('#logRows'))[0][5], `id ${id}`);

  // Rotate: a new secret, the old one kept for 24 hours.
  await editRow('std-hook');
  await page.check('#fRotate');
  await page.click('#btnSave');
  assert.equal(await text('#saveMsg'), 'Type or generate the new secret to rotate to.');
  await page.click('#btnGenerate');
  const second = await page.inputValue('#fSecret');
  assert.notEqual(second, first);
  await saveAndWait();
  const [stored] = server.readStore().hooks.filter((h) => h.name === 'std-hook');
  assert.deepEqual([stored.secret, stored.previous_secret], [second, first]);
  const until = new Date(stored.previous_until * 1000).toISOString().slice(0, 16).replace('T', ' ') + ' UTC';
  await page.waitForSelector(`#rows :text("old HMAC until ${until}")`);

  // The editor says until when.
  await editRow('std-hook');
  assert.equal(await text('#rotationNote'), `A rotation is running: the old secret also signs until ${until}.`);
  await page.selectOption('#fSig', 'github');
  assert.equal(await text('#rotateHint'), 'github carries one signature: it switches to the new secret at once.');

  // Ended early: only the new secret signs from now on.
  await page.click('#btnEndRotation');
  await page.waitForSelector('#saveMsg:text("Rotation ended: only the current secret signs.")');
  assert.equal(await page.isHidden('#rotation'), true);
  await page.click('#btnCancel');
  await page.waitForSelector('#rows :text-is("1 header + HMAC")');
});

test("the model's bounds: set, shown as badges, refused, cleared and back to the default", async () => {
  const badges = () => page.$$eval('#rows tr:has(td:first-child :text-is("bounded")) td:nth-child(6) .badge',
    (l) => l.map((b) => b.textContent));
  const stored = () => server.readStore().hooks.find((h) => h.name === 'bounded');
  const saved = async (shown) => {
    await saveAndWait();
    await page.waitForFunction((t) => document.getElementById('rows').textContent.includes(t), shown);
  };
  await openPage();
  await page.click('#btnNew');
  await fillEditor({ name: 'bounded', url: `${receiver.url}/b` });
  await page.fill('#fLimitCount', '0');
  await page.click('#btnSave');
  assert.equal(await text('#saveMsg'), 'The model\u2019s limit needs a whole number of triggers from 1 to 100000.');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'fLimitCount');
  await page.fill('#fLimitCount', '5');
  await page.selectOption('#fLimitPer', 'minute');
  await page.check('#fConfirm');
  await page.fill('#fExample', '  {"event": "ship"}\n');
  await saved('5/minute');
  assert.deepEqual(await badges(), ['5/minute', 'ask first', 'example']);
  const { limit, confirm, example } = stored();
  assert.deepEqual({ limit, confirm, example }, { limit: { count: 5, per: 'minute' }, confirm: true, example: '{"event": "ship"}' });

  // Each cleared, and then the default limit again: the members leave the store.
  await editRow('bounded');
  await page.check('#fNoLimit');
  assert.equal(await page.isDisabled('#fLimitCount'), true);
  await page.uncheck('#fConfirm');
  await page.fill('#fExample', '');
  await saved('no limit');
  assert.deepEqual(await badges(), ['no limit']);
  assert.deepEqual(Object.entries(stored()).filter(([k]) => ['limit', 'confirm', 'example'].includes(k)), [['limit', null]]);
  await editRow('bounded');
  await page.uncheck('#fNoLimit');
  assert.deepEqual([await page.inputValue('#fLimitCount'), await page.inputValue('#fLimitPer')], ['30', 'hour']);
  await saved('30/hour');
  assert.equal('limit' in stored(), false);
});
