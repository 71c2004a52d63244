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
import { ElicitRequestSchema } from '@modelcontextprotocol/sdk/types.js';
import {
  askFirst, call, checkDelivery, checkTools, connect, declined, echo, listed, listText, outputValidator, question,
  toolsSetUp, trigger,
} from './support.mjs';

test('the official MCP client 1.x lists and fires hooks', { timeout: 60000 }, async (t) => {
  const { port, received, store } = await toolsSetUp(t);
  const { client, stderr, version } = await connect(t, store);

  assert.equal(version(), '2025-11-25');
  assert.deepEqual(client.getServerVersion(), { name: 'vavode_deveruz', version: '1.0.1' });
  const { tools } = await client.listTools(undefined, call);
  checkTools(tools);
  const check = outputValidator(tools);

  const list = await client.callTool({ name: 'webhook_list', arguments: {} }, undefined, call);
  assert.deepEqual(list, { content: [{ type: 'text', text: listText(port) }], structuredContent: listed(port) });
  check('webhook_list', list);

  const fired = await client.callTool({ name: 'webhook_trigger', arguments: trigger }, undefined, call);
  assert.equal(fired.isError, undefined);
  assert.match(fired.content[0].text, /^POST deploy -> HTTP 202 in \d+ ms\nok: yes\nbody:\n/);
  assert.equal(fired.content[0].text.split('\n')[3], echo);
  check('webhook_trigger', fired);
  const bytes = checkDelivery(received, store);
  const { ms, ...rest } = fired.structuredContent;
  assert.ok(Number.isInteger(ms));
  assert.deepEqual(rest, { hook: 'deploy', status: 202, ok: true, bytes, truncated: false, body: echo });

  const shut = await client.callTool({ name: 'webhook_trigger', arguments: { name: 'shut' } }, undefined, call);
  assert.equal(shut.isError, true);
  check('webhook_trigger', shut);
  assert.deepEqual([shut.structuredContent.status, shut.structuredContent.ok], [0, false]);
  assert.equal(shut.content[0].text, `could not deliver to 'shut': ${shut.structuredContent.error}`);

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
  const { received, store } = await toolsSetUp(t);
  askFirst(store);
  const { client, stderr } = await connect(t, store, { capabilities: { elicitation: {} } });
  const asked = [];
  let action;
  client.setRequestHandler(ElicitRequestSchema, async (req) => {
    asked.push(req.params);
    return { action };
  });

  // Accepted first, so its delivery is the log's only entry and the one
  // request the receiver ever gets.
  for (const answer of ['accept', 'decline', 'cancel']) {
    action = answer;
    const r = await client.callTool({ name: 'webhook_trigger', arguments: trigger }, undefined, call);
    assert.deepEqual(asked.splice(0), [question], answer);
    if (answer === 'accept') {
      assert.equal(r.isError, undefined);
      assert.match(r.content[0].text, /^POST deploy -> HTTP 202 in \d+ ms\nok: yes\nbody:\n/);
      checkDelivery(received, store);
    } else {
      assert.deepEqual([r.isError, r.content[0].text], [true, declined], answer);
    }
    assert.equal(received.length, 1, answer);
  }
  await client.close();
  assert.equal(stderr(), '');
});
