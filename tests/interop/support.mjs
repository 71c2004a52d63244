// What the interop tests share: the program (or the Windows build under its
// emulator), a receiver on 127.0.0.1, and the official MCP client 1.x
// connected to the program's --mcp (the 2.x client's test starts the server
// with the same parameters); the store the tool tests use, the owner who
// answers a hook that asks first, and the check of structured content
// against the tool's output schema with a JSON Schema validator (ajv, JSON
// Schema 2020-12: MCP's dialect for a schema without "$schema").
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
import Ajv2020 from 'ajv/dist/2020.js';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

export const program =
  process.env.VD_PROGRAM ?? path.join(process.env.VD_SOURCE_DIR ?? '../..', 'build/vavode_deveruz');

// The Windows build runs under an emulator (Wine), which gets the program as
// its first argument and file paths in the Windows form (Wine's drive Z: is
// the Unix root).
const emulator = process.env.VD_EMULATOR || '';
export const hostPath = (p) => (emulator ? `Z:${p.replaceAll('/', '\\')}` : p);

// Sanitizer builds must keep their settings, and Wine its prefix and the
// locale it reads Unix paths in (UTF-8 for a folder with non-ASCII letters):
// the client passes on only a few variables.
const passOn = Object.fromEntries(
  ['ASAN_OPTIONS', 'UBSAN_OPTIONS', 'LSAN_OPTIONS', 'WINEPREFIX', 'WINEDEBUG', 'LANG', 'LC_ALL', 'LC_CTYPE']
    .filter((k) => process.env[k])
    .map((k) => [k, process.env[k]]),
);

// Every call gets a short bound of its own: a server that does not answer
// fails the case at once with the call named, not at CTest's limit.
export const call = { timeout: 10000 };

// Records each request (its body as the bytes arrived, as text) and answers
// with `answer(request)`: { status, body }.
export async function startReceiver(t, answer) {
  const received = [];
  const server = http.createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      const got = { method: req.method, url: req.url, headers: req.headers, body: Buffer.concat(chunks).toString() };
      received.push(got);
      const { status, body } = answer(got);
      res.writeHead(status, { 'Content-Type': 'application/json' }).end(body);
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  t.after(() => server.close());
  return { port: server.address().port, received };
}

// How a stdio client starts the program's --mcp with the store at `store`.
export const serverParams = (store) => ({
  command: emulator || program,
  args: emulator ? [program, '--mcp'] : ['--mcp'],
  env: { ...passOn, WEBHOOK_STORE_PATH: hostPath(store), WEBHOOK_ALLOW_PRIVATE: '1' },
  stderr: 'pipe',
});

// The official client 1.x on the program's --mcp with the store at `store`;
// stderr() gives what the server wrote there, version() the protocol version
// initialize settled on. `options` are the client's (its capabilities).
export async function connect(t, store, options) {
  const transport = new StdioClientTransport(serverParams(store));
  let stderr = '';
  transport.stderr.on('data', (d) => (stderr += d));
  // The client tells an HTTP transport the version it negotiated; a stdio
  // transport has no use for it, so this one only records it.
  let negotiated;
  transport.setProtocolVersion = (v) => (negotiated = v);
  const client = new Client({ name: 'vd-interop', version: '1.0.0' }, options);
  // Ends the server whatever fails below, so a failure is reported at once.
  t.after(() => client.close());
  await client.connect(transport, call);
  return { client, stderr: () => stderr, version: () => negotiated };
}

// One CGI call of the program, as a web server makes it: the answer's JSON.
export function cgi(store, query, body) {
  const run = spawnSync(emulator || program, emulator ? [program] : [], {
    env: {
      ...passOn, WEBHOOK_STORE_PATH: hostPath(store), REQUEST_METHOD: 'POST', QUERY_STRING: query,
      CONTENT_LENGTH: String(Buffer.byteLength(body)),
    },
    input: body,
    timeout: 30000,
  });
  const out = run.stdout.toString();
  return JSON.parse(out.slice(out.indexOf('\r\n\r\n') + 4));
}

// ---- The tools' tests -----------------------------------------------------

// A receiver that echoes the URL and the X-Api-Key header it got, and a store
// with the hook "deploy" sent to it (asking first if `confirm`) and "shut"
// sent to a closed port.
export async function toolsSetUp(t, confirm = false) {
  const { port, received } = await startReceiver(t, (req) => ({
    status: 202, body: JSON.stringify({ url: req.url, key: req.headers['x-api-key'] }),
  }));
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vd-interop-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const store = path.join(dir, 'hooks.json');
  const hooks = [
    {
      name: 'deploy',
      url: `http://127.0.0.1:${port}/services/T0AB12CD3/XoXb7yZ8aB9cD0eF?token=abc123xyz`,
      method: 'POST',
      desc: 'Deploy relay',
      sig: 'github',
      secret: 's3cret',
      headers: [{ name: 'X-Api-Key', value: 'key-1-5f2a9c' }],
      confirm,
    },
    { name: 'shut', url: 'http://127.0.0.1:1/', method: 'POST' },
  ];
  fs.writeFileSync(store, JSON.stringify({ version: 1, hooks, log: [] }));
  return { port, received, store };
}

// Each tool's output schema compiled by ajv (strict: an unknown keyword or a
// schema error fails here); check(name, result) validates a result's
// structured content against it.
export function outputValidator(tools) {
  const ajv = new Ajv2020({ strict: true, allErrors: true });
  const validate = Object.fromEntries(tools.map((x) => [x.name, ajv.compile(x.outputSchema)]));
  return (name, result) => {
    assert.ok(result.structuredContent, `${name} gave structured content`);
    assert.ok(validate[name](result.structuredContent), ajv.errorsText(validate[name].errors));
  };
}

// The trigger of "deploy" the tests make.
export const trigger = { name: 'deploy', payload: '{"event":"ship"}', query: 'env=prod' };

// The owner behind a client's elicitation handler (`answer`), asked about
// "deploy" once per answer by check(fire, received), where fire() triggers it
// with `trigger`: each time the question names the hook, payload and query,
// none of its credentials, and only the accepted trigger sends (the
// receiver's one request).
export function owner() {
  const asked = [];
  let action;
  return {
    answer: async (req) => {
      asked.push(req.params);
      return { action };
    },
    async check(fire, received) {
      for (action of ['accept', 'decline']) {
        const r = await fire();
        assert.deepEqual(asked.splice(0), [{
          message: "The model asks to send the webhook 'deploy'. Send it?\n\nPayload:\n{\"event\":\"ship\"}\n\n" +
            'Query: env=prod\n\nAccept sends it once; decline sends nothing.',
          requestedSchema: { type: 'object', properties: {} },
        }], action);
        if (action === 'accept') assert.match(r.content[0].text, /^POST deploy -> HTTP 202 in \d+ ms\n/);
        else assert.deepEqual([r.isError, r.content[0].text], [true, "'deploy' was not sent: declined by the owner"]);
        assert.equal(received.length, 1, action);
      }
    },
  };
}
