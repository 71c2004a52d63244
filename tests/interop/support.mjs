// What the interop tests share: the program (or the Windows build under its
// emulator), a receiver on 127.0.0.1, and the official MCP client connected
// to the program's --mcp.
import http from 'node:http';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
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

// The official client on the program's --mcp with the store at `store`;
// stderr() gives what the server wrote there.
export async function connect(t, store) {
  const transport = new StdioClientTransport({
    command: emulator || program,
    args: emulator ? [program, '--mcp'] : ['--mcp'],
    env: { ...passOn, WEBHOOK_STORE_PATH: hostPath(store), WEBHOOK_ALLOW_PRIVATE: '1' },
    stderr: 'pipe',
  });
  let stderr = '';
  transport.stderr.on('data', (d) => (stderr += d));
  const client = new Client({ name: 'vd-interop', version: '1.0.0' });
  // Ends the server whatever fails below, so a failure is reported at once.
  t.after(() => client.close());
  await client.connect(transport, call);
  return { client, stderr: () => stderr };
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
