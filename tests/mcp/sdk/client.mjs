// Drives kivo-pdf-mcp with the official MCP TypeScript SDK's client, as an AI application would:
// the SDK starts the connector, initialises, lists the tools, and calls list_documents,
// inspect_document and render_page against the running worker.
//
//   node client.mjs <path of kivo-pdf-mcp>
//
// KIVO_PDF_SUPPORT_DIR and TMPDIR are passed on to the connector. Prints one JSON line with what
// it saw and exits 0, or prints the reason on standard error and exits 1.
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport, getDefaultEnvironment } from '@modelcontextprotocol/sdk/client/stdio.js';

const [command] = process.argv.slice(2);
if (!command) {
  console.error('usage: node client.mjs <path of kivo-pdf-mcp>');
  process.exit(2);
}

function check(condition, what) {
  if (!condition) throw new Error(what);
}

// The worker's response travels as the text item of every tool result.
async function callTool(client, name, args) {
  const result = await client.callTool({ name, arguments: args });
  check(result.isError === false, `${name} failed: ${JSON.stringify(result)}`);
  const response = JSON.parse(result.content[0].text);
  check(response.ok === true, `${name}: the worker refused: ${result.content[0].text}`);
  return { result, response: response.result };
}

const env = getDefaultEnvironment();
for (const name of ['KIVO_PDF_SUPPORT_DIR', 'TMPDIR']) {
  if (process.env[name]) env[name] = process.env[name];
}
const transport = new StdioClientTransport({ command, args: [], env, stderr: 'inherit' });
const client = new Client({ name: 'kivo-pdf-interop-test', version: '1.0.0' });

try {
  await client.connect(transport);
  const server = client.getServerVersion();
  check(client.getServerCapabilities()?.tools, 'the connector offers no tools capability');

  const { tools } = await client.listTools();
  const names = tools.map((tool) => tool.name);
  check(names[0] === 'list_documents' && names.at(-1) === 'redo', `unexpected tool list ${names}`);

  const listed = await callTool(client, 'list_documents', {});
  const sessionIds = listed.response.documents.map((document) => document.sessionId);
  check(sessionIds.length > 0, 'no document is shared');

  const inspected = await callTool(client, 'inspect_document', { sessionId: sessionIds[0] });
  const pageId = inspected.response.pages[0].id;

  const rendered = await callTool(client, 'render_page', { sessionId: sessionIds[0], pageId });
  const image = rendered.result.content.find((item) => item.type === 'image');
  check(image && image.mimeType === 'image/png', 'render_page returned no PNG image');
  const png = Buffer.from(image.data, 'base64');
  const signature = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
  check(png.subarray(0, 8).equals(signature) && png.toString('latin1', 12, 16) === 'IHDR', 'the image is not a PNG');

  console.log(JSON.stringify({
    server: server?.name,
    tools: tools.length,
    sessionIds,
    pageId,
    png: { width: png.readUInt32BE(16), height: png.readUInt32BE(20) },
  }));
  await client.close();
} catch (error) {
  console.error(`client.mjs: ${error?.stack ?? error}`);
  await client.close().catch(() => {});
  process.exit(1);
}
