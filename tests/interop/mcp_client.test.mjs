// The program's MCP server (--mcp) driven by the official MCP TypeScript
// client 1.x, the handshake era: connect (initialize asks for 2025-11-25,
// the 1.x client's newest version, and gets it), list the tools, list the
// hooks, fire one at a local receiver that echoes the request, and check
// what arrived there and what came back to the model, its structured
// content validated against the tool's output schema. A hook that asks first
// is put to the owner through the client's elicitation handler, and only an
// accepted question sends it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { ElicitRequestSchema } from '@modelcontextprotocol/sdk/types.js';
import { call, connect, outputValidator, owner, toolsSetUp, trigger } from './support.mjs';

test('the official MCP client 1.x lists and fires hooks', { timeout: 60000 }, async (t) => {
  const { port, received, store } = await toolsSetUp(t);
  const { client, stderr, version } = await connect(t, store);

  assert.equal(version(), '2025-11-25');
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
  const check = outputValidator(tools);

  const list = await client.callTool({ name: 'webhook_list', arguments: {} }, undefined, call);
  assert.deepEqual(list.content, [{
    type: 'text',
    text:
      '2 configured webhooks\n\n' +
      `- deploy  POST  http://127.0.0.1:${port}/<redacted>?<redacted>  [signed: github]  [1 header]  [limit: 30/hour]\n` +
      '    Deploy relay\n- shut  POST  http://127.0.0.1:1/  [limit: 30/hour]\n\nUse webhook_trigger with one of these names. ' +
      'Secrets are stored on the node and never returned.\n',
  }]);
  check('webhook_list', list);

  const fired = await client.callTool({ name: 'webhook_trigger', arguments: trigger }, undefined, call);
  assert.equal(fired.isError, undefined);
  // The echo comes back without the path token, the query key or the header value.
  assert.match(
    fired.content[0].text,
    /^POST deploy -> HTTP 202 in \d+ ms\nok: yes\nbody:\n\{"url":"\/<redacted>\?<redacted>&env=prod","key":"<redacted>"\}$/,
  );
  check('webhook_trigger', fired);
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

  // No exchange: an error whose structured content the schema still allows.
  const shut = await client.callTool({ name: 'webhook_trigger', arguments: { name: 'shut' } }, undefined, call);
  check('webhook_trigger', shut);
  assert.deepEqual([shut.isError, shut.content[0].text],
    [true, `could not deliver to 'shut': ${shut.structuredContent.error}`]);

  const missing = await client.callTool({ name: 'webhook_trigger', arguments: { name: 'nope' } }, undefined, call);
  assert.deepEqual(missing, {
    content: [{ type: 'text', text: "no webhook named 'nope'. Configured: deploy, shut" }],
    isError: true,
  });
  await assert.rejects(client.callTool({ name: 'webhook_delete', arguments: {} }, undefined, call), {
    code: -32602,
    message: /unknown tool/,
  });

  await client.close();
  assert.equal(stderr(), '');
});

test('the official MCP client 1.x answers a hook that asks first', { timeout: 60000 }, async (t) => {
  const { received, store } = await toolsSetUp(t, true);
  const { client, stderr } = await connect(t, store, { capabilities: { elicitation: {} } });
  const asked = owner();
  client.setRequestHandler(ElicitRequestSchema, asked.answer);
  await asked.check(() => client.callTool({ name: 'webhook_trigger', arguments: trigger }, undefined, call), received);
  await client.close();
  assert.equal(stderr(), '');
});
