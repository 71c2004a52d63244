// The program's MCP server (--mcp) driven by the official MCP TypeScript
// client: connect, list the tools, list the hooks, fire one at a local
// receiver that echoes the request, and check what arrived there and what
// came back to the model.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { call, connect, startReceiver } from './support.mjs';

test('the official MCP client lists and fires hooks', { timeout: 60000 }, async (t) => {
  const { port, received } = await startReceiver(t, (req) => ({
    status: 202, body: JSON.stringify({ url: req.url, key: req.headers['x-api-key'] }),
  }));
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vd-interop-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const store = path.join(dir, 'hooks.json');
  const hook = {
    name: 'deploy',
    url: `http://127.0.0.1:${port}/services/T0AB12CD3/XoXb7yZ8aB9cD0eF?token=abc123xyz`,
    method: 'POST',
    desc: 'Deploy relay',
    sig: 'github',
    secret: 's3cret',
    headers: [{ name: 'X-Api-Key', value: 'key-1-5f2a9c' }],
  };
  fs.writeFileSync(store, JSON.stringify({ version: 1, hooks: [hook], log: [] }));

  const { client, stderr } = await connect(t, store);

  assert.deepEqual(client.getServerVersion(), { name: 'vavode_deveruz', version: '1.0.1' });
  const { tools } = await client.listTools(undefined, call);
  const shape = (s) => ({
    type: s.type,
    props: Object.entries(s.properties).map(([k, v]) => `${k}:${v.type}`),
    required: s.required,
    additionalProperties: s.additionalProperties,
  });
  assert.deepEqual(
    tools.map((x) => [x.name, shape(x.inputSchema)]),
    [
      ['webhook_list', {
        type: 'object', props: ['redact_url:boolean'], required: undefined, additionalProperties: false,
      }],
      ['webhook_trigger', {
        type: 'object',
        props: ['name:string', 'payload:string', 'query:string'],
        required: ['name'],
        additionalProperties: false,
      }],
    ],
  );

  const list = await client.callTool({ name: 'webhook_list', arguments: {} }, undefined, call);
  assert.deepEqual(list, {
    content: [{
      type: 'text',
      text:
        '1 configured webhook\n\n' +
        `- deploy  POST  http://127.0.0.1:${port}/<redacted>?<redacted>  [signed: github]  [1 header]  [limit: 30/hour]\n` +
        '    Deploy relay\n\nUse webhook_trigger with one of these names. ' +
        'Secrets are stored on the node and never returned.\n',
    }],
  });

  const fired = await client.callTool({
    name: 'webhook_trigger',
    arguments: { name: 'deploy', payload: '{"event":"ship"}', query: 'env=prod' },
  }, undefined, call);
  assert.equal(fired.isError, undefined);
  // The echo comes back without the path token, the query key or the header value.
  assert.match(
    fired.content[0].text,
    /^POST deploy -> HTTP 202 in \d+ ms\nok: yes\nbody:\n\{"url":"\/<redacted>\?<redacted>&env=prod","key":"<redacted>"\}$/,
  );
  assert.equal(received.length, 1);
  const req = received[0];
  assert.deepEqual(
    [req.method, req.url, req.body],
    ['POST', '/services/T0AB12CD3/XoXb7yZ8aB9cD0eF?token=abc123xyz&env=prod', '{"event":"ship"}'],
  );
  assert.equal(req.headers['x-api-key'], 'key-1-5f2a9c');
  assert.equal(req.headers['content-type'], 'application/json; charset=utf-8');
  const { log } = JSON.parse(fs.readFileSync(store, 'utf8'));
  assert.deepEqual(
    log.map((e) => [e.name, e.status, e.ok, e.bytes, e.error]),
    [['deploy', 202, true, JSON.stringify({ url: req.url, key: 'key-1-5f2a9c' }).length, '']],
  );

  const missing = await client.callTool({ name: 'webhook_trigger', arguments: { name: 'nope' } }, undefined, call);
  assert.deepEqual(missing, {
    content: [{ type: 'text', text: "no webhook named 'nope'. Configured: deploy" }],
    isError: true,
  });
  await assert.rejects(client.callTool({ name: 'webhook_delete', arguments: {} }, undefined, call), {
    code: -32602,
    message: /unknown tool/,
  });

  await client.close();
  assert.equal(stderr(), '');
});
