// The standard scheme checked by the official Standard Webhooks verifier:
// fires from the program (through the MCP client) verified with the secret,
// a rotation started and ended through the web API, and the old secret
// accepted while the rotation runs and refused once it has ended.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Webhook, WebhookVerificationError } from 'standardwebhooks';
import { call, cgi, connect, startReceiver } from './support.mjs';

const newSecret = () => `whsec_${crypto.randomBytes(32).toString('base64')}`;

test('the official verifier accepts fires, across a rotation from start to end', { timeout: 120000 }, async (t) => {
  const { port, received } = await startReceiver(t, () => ({ status: 200, body: '{"ok":true}' }));
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vd-standard-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const store = path.join(dir, 'hooks.json');
  const oldSecret = newSecret();
  const rotated = newSecret();
  // Saves "sw" through the web API: the new hook, or an edit of the stored one.
  const save = (hook, query = 'action=save&name=sw') =>
    assert.deepEqual(cgi(store, query, JSON.stringify(hook)), { ok: true, saved: 'sw' });
  save({ name: 'sw', url: `http://127.0.0.1:${port}/in`, sig: 'standard', secret: oldSecret }, 'action=save');
  const { client, stderr } = await connect(t, store);

  // Fires once; the report's id is the one sent. Returns what arrived.
  const fire = async (payload) => {
    const before = received.length;
    const out = await client.callTool({ name: 'webhook_trigger', arguments: { name: 'sw', payload } }, undefined, call);
    assert.equal(out.isError, undefined, out.content[0].text);
    assert.equal(received.length, before + 1);
    const got = received[before];
    assert.match(out.content[0].text, new RegExp(`\\nmessage id: ${got.headers['webhook-id']}\\n`));
    return got;
  };
  const accepts = (secret, got) => new Webhook(secret).verify(got.body, got.headers);
  const refuses = (secret, got) => assert.throws(() => accepts(secret, got), (e) =>
    e instanceof WebhookVerificationError && e.message === 'No matching signature found');

  const plain = await fire('{"event":"ship","n":"caf\u00e9 \u20ac"}');
  assert.deepEqual(accepts(oldSecret, plain), { event: 'ship', n: 'caf\u00e9 \u20ac' });

  // The rotation starts: both secrets sign, so a receiver that still holds
  // only the old one accepts the delivery, as one that has the new one does.
  save({ secret: rotated, rotate: true });
  const during = await fire('{"event":"during"}');
  assert.deepEqual(accepts(rotated, during), { event: 'during' });
  assert.deepEqual(accepts(oldSecret, during), { event: 'during' });

  // Ended early: the old secret signs no more.
  save({ end_rotation: true });
  const after = await fire('{"event":"after"}');
  assert.deepEqual(accepts(rotated, after), { event: 'after' });
  refuses(oldSecret, after);
  await client.close();
  assert.equal(stderr(), '');
});
