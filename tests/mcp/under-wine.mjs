// The Windows build of tirvane-mcp, run under wine by scripts/test-windows, driven by the
// official MCP client against the Linux service: it starts, negotiates, lists its tools, reaches
// the service over its sockets and returns a picture through its own base64 encoder.
import assert from "node:assert/strict";
import { after, before, test } from "node:test";
import { connect, images, startService, textOf } from "./fixtures.mjs";

let service, session;
before(async () => {
  service = await startService();
  session = await connect({ port: service.port });
});
after(async () => {
  await session?.close();
  await service?.stop();
});

test("answers initialize and tools/list", () => {
  assert.equal(session.client.getServerVersion().name, "tirvane-mcp");
  assert.ok(session.client.getServerCapabilities().tools);
  assert.equal(session.tools.length, 12);
  assert.ok(session.tools.every((tool) => tool.inputSchema.type === "object" && tool.outputSchema));
});

test("calls reach the service and pictures come back whole", async () => {
  const status = await session.client.callTool({ name: "status", arguments: {} });
  assert.equal(status.structuredContent.port, service.port, textOf(status));
  const snapped = await session.client.callTool({ name: "snap", arguments: { device: "test", max_side: 640 } });
  const [image] = images(snapped);
  assert.equal(image.width, 640);
  assert.equal(image.height, 360);
  assert.equal(image.bytes.length, snapped.structuredContent.bytes);
  const refused = await session.client.callTool({ name: "set_control", arguments: { device: "test", name: "zoom", value: 0 } });
  assert.equal(refused.isError, true);
  assert.match(textOf(refused), /zoom must be between 100 and 400/);
});
