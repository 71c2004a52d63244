// The program's MCP server (--mcp) driven by the official MCP TypeScript
// client 2.x (@modelcontextprotocol/client), the stateless era: with
// versionNegotiation 'auto' it probes server/discover and stays on
// 2026-07-28, every request naming its version in _meta; then the same
// calls as the 1.x client's test, structured content validated. Without
// negotiation options it still opens with initialize, and gets 2025-11-25.
// A hook that asks first answers the call with input_required: the client's
// driver asks its elicitation handler and retries with the answer, and a
// retry that brings a ticket for another payload is refused.
//
// The 2.x client needs Node 20 or later; tests/CMakeLists.txt runs this file
// with such a Node where it finds one (scripts/install-deps puts one beside
// an older system Node), and on an older Node the test is skipped, saying why.
import { test } from 'node:test';
import assert from 'node:assert/strict';

const major = Number(process.versions.node.split('.')[0]);
const skip =
  major < 20 &&
  `needs Node 20 or later for the MCP client 2.x; this is Node ${process.version} ` +
    '(scripts/install-deps installs Node 22 beside it)';

test('the official MCP client 2.x, stateless era', { skip, timeout: 180000 }, async (t) => {
  const { Client } = await import('@modelcontextprotocol/client');
  const { StdioClientTransport } = await import('@modelcontextprotocol/client/stdio');
  const common = await import('./support.mjs');
  const { call } = common;
  const { port, received, store } = await common.toolsSetUp(t);
  const server = common.serverParams(store);

  const transport = new StdioClientTransport(server);
  let stderr = '';
  transport.stderr.on('data', (d) => (stderr += d));
  const client = new Client({ name: 'vd-interop', version: '2.0.0' }, { versionNegotiation: { mode: 'auto' } });
  t.after(() => client.close());
  await client.connect(transport, call);

  assert.deepEqual([client.getNegotiatedProtocolVersion(), client.getProtocolEra()], ['2026-07-28', 'modern']);
  assert.deepEqual(client.getServerVersion(), { name: 'vavode_deveruz', version: '1.0.1' });
  assert.deepEqual(client.getDiscoverResult().supportedVersions,
    ['2026-07-28', '2025-11-25', '2025-06-18', '2025-03-26', '2024-11-05']);
  const { tools } = await client.listTools(undefined, call);
  common.checkTools(tools);
  const check = common.outputValidator(tools);

  const list = await client.callTool({ name: 'webhook_list', arguments: {} }, call);
  assert.deepEqual(
    [list.content, list.structuredContent, list.isError],
    [[{ type: 'text', text: common.listText(port) }], common.listed(port), undefined],
  );
  check('webhook_list', list);

  const fired = await client.callTool({ name: 'webhook_trigger', arguments: common.trigger }, call);
  assert.equal(fired.isError, undefined);
  assert.match(fired.content[0].text, /^POST deploy -> HTTP 202 in \d+ ms\nok: yes\nbody:\n/);
  assert.equal(fired.content[0].text.split('\n')[3], common.echo);
  check('webhook_trigger', fired);
  const bytes = common.checkDelivery(received, store);
  const { ms, ...rest } = fired.structuredContent;
  assert.ok(Number.isInteger(ms));
  assert.deepEqual(rest, { hook: 'deploy', status: 202, ok: true, bytes, truncated: false, body: common.echo });

  const shut = await client.callTool({ name: 'webhook_trigger', arguments: { name: 'shut' } }, call);
  assert.equal(shut.isError, true);
  check('webhook_trigger', shut);
  assert.equal(shut.content[0].text, `could not deliver to 'shut': ${shut.structuredContent.error}`);

  const missing = await client.callTool({ name: 'webhook_trigger', arguments: { name: 'nope' } }, call);
  assert.deepEqual(
    [missing.content, missing.structuredContent, missing.isError],
    [[{ type: 'text', text: "no webhook named 'nope'. Configured: deploy, shut" }], undefined, true],
  );
  await assert.rejects(client.callTool({ name: 'webhook_delete', arguments: {} }, call), {
    code: -32602,
    message: /unknown tool/,
  });
  await client.close();
  assert.equal(stderr, '');

  // Without negotiation options the 2.x client opens with initialize.
  const legacy = new Client({ name: 'vd-interop', version: '2.0.0' });
  t.after(() => legacy.close());
  await legacy.connect(new StdioClientTransport(server), call);
  assert.deepEqual([legacy.getNegotiatedProtocolVersion(), legacy.getProtocolEra()], ['2025-11-25', 'legacy']);
  common.checkTools((await legacy.listTools(undefined, call)).tools);
  await legacy.close();
});

test('the official MCP client 2.x answers a hook that asks first', { skip, timeout: 60000 }, async (t) => {
  const { Client } = await import('@modelcontextprotocol/client');
  const { StdioClientTransport } = await import('@modelcontextprotocol/client/stdio');
  const common = await import('./support.mjs');
  const { call, trigger } = common;
  const { received, store } = await common.toolsSetUp(t);
  common.askFirst(store);

  const transport = new StdioClientTransport(common.serverParams(store));
  let stderr = '';
  transport.stderr.on('data', (d) => (stderr += d));
  const client = new Client({ name: 'vd-interop', version: '2.0.0' }, {
    versionNegotiation: { mode: 'auto' }, capabilities: { elicitation: {} },
  });
  const asked = [];
  let action;
  client.setRequestHandler('elicitation/create', async (req) => {
    asked.push(req.params);
    return { action };
  });
  t.after(() => client.close());
  await client.connect(transport, call);
  assert.equal(client.getNegotiatedProtocolVersion(), '2026-07-28');
  const fire = (args, extra) => client.callTool({ name: 'webhook_trigger', arguments: args, ...extra }, call);

  action = 'accept';
  const sent = await fire(trigger);
  assert.match(sent.content[0].text, /^POST deploy -> HTTP 202 in \d+ ms\nok: yes\nbody:\n/);
  common.checkDelivery(received, store);
  action = 'decline';
  const no = await fire(trigger);
  assert.deepEqual([no.isError, no.content[0].text], [true, common.declined]);
  assert.deepEqual(asked.splice(0), [common.question, common.question]);

  // By hand: the question handed back untouched, then a retry that brings its
  // ticket with another payload, and again with the payload it was for.
  const open = await client.request(
    { method: 'tools/call', params: { name: 'webhook_trigger', arguments: trigger } },
    { ...call, allowInputRequired: true },
  );
  assert.deepEqual(open.inputRequests, { confirm: { method: 'elicitation/create', params: common.question } });
  assert.match(open.requestState, /^[A-Za-z0-9_-]{24}$/);
  const answer = { inputResponses: { confirm: { action: 'accept' } }, requestState: open.requestState };
  const stale =
    "'deploy' was not sent: the owner's answer in this call is not for this trigger (another hook, payload " +
    'or query), has lapsed or was used already; call again without it to be asked anew';
  for (const args of [{ ...trigger, payload: '{"event":"other"}' }, trigger]) {
    const r = await fire(args, answer);
    assert.deepEqual([r.isError, r.content[0].text], [true, stale], args.payload);
  }
  assert.deepEqual([asked.length, received.length], [0, 1]);
  await client.close();
  assert.equal(stderr, '');
});
