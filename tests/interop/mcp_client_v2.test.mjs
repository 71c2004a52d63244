// The program's MCP server (--mcp) driven by the official MCP TypeScript
// client 2.x (@modelcontextprotocol/client), the stateless era: with
// versionNegotiation 'auto' it probes server/discover and stays on
// 2026-07-28, every request naming its version in _meta; the era's results
// read by the client, structured content validated. Without negotiation
// options it still opens with initialize, and gets 2025-11-25. A hook that
// asks first answers the call with input_required: the client's driver asks
// its elicitation handler and retries with the answer.
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

// The 2.x client on the program's --mcp with the store at `store`; stderr()
// gives what the server wrote there. Loaded here, as an older Node cannot.
async function connect(t, store, options) {
  const { Client } = await import('@modelcontextprotocol/client');
  const { StdioClientTransport } = await import('@modelcontextprotocol/client/stdio');
  const { call, serverParams } = await import('./support.mjs');
  const transport = new StdioClientTransport(serverParams(store));
  let stderr = '';
  transport.stderr.on('data', (d) => (stderr += d));
  const client = new Client({ name: 'vd-interop', version: '2.0.0' }, options);
  t.after(() => client.close());
  await client.connect(transport, call);
  return { client, stderr: () => stderr };
}

test('the official MCP client 2.x, stateless era', { skip, timeout: 180000 }, async (t) => {
  const { call, outputValidator, toolsSetUp, trigger } = await import('./support.mjs');
  const { store } = await toolsSetUp(t);
  const { client, stderr } = await connect(t, store, { versionNegotiation: { mode: 'auto' } });
  assert.deepEqual([client.getNegotiatedProtocolVersion(), client.getProtocolEra()], ['2026-07-28', 'modern']);
  assert.deepEqual(client.getServerVersion(), { name: 'vavode_deveruz', version: '1.0.1' });
  const check = outputValidator((await client.listTools(undefined, call)).tools);
  check('webhook_list', await client.callTool({ name: 'webhook_list', arguments: {} }, call));
  const fired = await client.callTool({ name: 'webhook_trigger', arguments: trigger }, call);
  assert.equal(fired.isError, undefined);
  check('webhook_trigger', fired);
  await client.close();
  assert.equal(stderr(), '');

  const { client: legacy } = await connect(t, store);
  assert.deepEqual([legacy.getNegotiatedProtocolVersion(), legacy.getProtocolEra()], ['2025-11-25', 'legacy']);
  await legacy.close();
});

test('the official MCP client 2.x answers a hook that asks first', { skip, timeout: 60000 }, async (t) => {
  const { call, owner, toolsSetUp, trigger } = await import('./support.mjs');
  const { received, store } = await toolsSetUp(t, true);
  const { client, stderr } = await connect(t, store, {
    versionNegotiation: { mode: 'auto' }, capabilities: { elicitation: {} },
  });
  assert.equal(client.getNegotiatedProtocolVersion(), '2026-07-28');
  const asked = owner();
  client.setRequestHandler('elicitation/create', asked.answer);
  await asked.check(() => client.callTool({ name: 'webhook_trigger', arguments: trigger }, call), received);
  await client.close();
  assert.equal(stderr(), '');
});
