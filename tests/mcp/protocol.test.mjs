// tirvane-mcp as a protocol peer: the version negotiation, the port from the command line or
// the environment, the message reader's refusals (not JSON, too long, too deep, wrong types),
// nothing on standard output but messages, and a service that stops and comes back.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { once } from "node:events";
import { after, before, describe, test } from "node:test";
import { MCP, connect, startService, textOf } from "./fixtures.mjs";

// tirvane-mcp spoken to line by line, as a host does underneath.
class RawSession {
  constructor(args, env = {}) {
    this.child = spawn(MCP, args, { env: { PATH: process.env.PATH, ...env }, stdio: ["pipe", "pipe", "pipe"] });
    this.lines = [];
    this.waiting = [];
    this.stdout = "";
    this.child.stdout.on("data", (chunk) => {
      this.stdout += chunk.toString();
      let end;
      while ((end = this.stdout.indexOf("\n")) >= 0) {
        const line = this.stdout.slice(0, end);
        this.stdout = this.stdout.slice(end + 1);
        this.lines.push(line);
        this.waiting.shift()?.();
      }
    });
    this.child.stderr.resume();
  }
  send(text) {
    this.child.stdin.write(text);
  }
  // The next line on standard output, which must be one JSON-RPC message.
  async next() {
    while (this.lines.length === 0) {
      await new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error("no answer within 20 s")), 20000);
        this.waiting.push(() => { clearTimeout(timer); resolve(); });
      });
    }
    const message = JSON.parse(this.lines.shift());
    assert.equal(message.jsonrpc, "2.0");
    return message;
  }
  async request(id, method, params) {
    this.send(JSON.stringify({ jsonrpc: "2.0", id, method, params }) + "\n");
    return this.next();
  }
  async close() {
    this.child.stdin.end();
    const [code] = await once(this.child, "exit");
    return code;
  }
}

function initialize(version) {
  return { protocolVersion: version, capabilities: {}, clientInfo: { name: "raw", version: "1" } };
}

describe("the protocol", () => {
  let service;
  before(async () => { service = await startService(); });
  after(async () => { await service?.stop(); });

  test("each supported version is answered in kind; any other gets the latest", async () => {
    const cases = [
      ["2025-11-25", "2025-11-25"], ["2025-06-18", "2025-06-18"], ["2025-03-26", "2025-03-26"],
      ["2024-11-05", "2024-11-05"], ["1999-01-01", "2025-11-25"], [42, "2025-11-25"],
    ];
    for (const [asked, answered] of cases) {
      const raw = new RawSession(["--port", String(service.port)]);
      const reply = await raw.request(1, "initialize", initialize(asked));
      assert.equal(reply.result.protocolVersion, answered, `asked ${asked}`);
      assert.equal(reply.result.serverInfo.name, "tirvane-mcp");
      assert.ok(reply.result.capabilities.tools);
      raw.send(JSON.stringify({ jsonrpc: "2.0", method: "notifications/initialized" }) + "\n");
      const listed = await raw.request(2, "tools/list", {});
      const snap = listed.result.tools.find((t) => t.name === "snap");
      // Revisions before 2025-06-18 know no output schemas or structured results.
      assert.equal("outputSchema" in snap, answered >= "2025-06-18", `asked ${asked}`);
      const called = await raw.request(3, "tools/call", { name: "status", arguments: {} });
      assert.equal("structuredContent" in called.result, answered >= "2025-06-18");
      assert.match(called.result.content[0].text, /"version"/);
      assert.equal(await raw.close(), 0);
    }
  });

  test("bad lines get JSON-RPC errors and the next line is still answered", async () => {
    const raw = new RawSession(["--port", String(service.port)]);
    await raw.request(1, "initialize", initialize("2025-06-18"));
    const deep = "[".repeat(100000) + "]".repeat(100000);
    const cases = [
      { line: "this is not json", code: -32700, id: null },
      { line: "{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":", code: -32700, id: null },
      { line: deep, code: -32700, id: null },
      { line: "\"just a string\"", code: -32600, id: null },
      { line: "[{\"jsonrpc\":\"2.0\",\"id\":8,\"method\":\"ping\"}]", code: -32600, id: null },
      { line: "{\"jsonrpc\":\"1.0\",\"id\":9,\"method\":\"ping\"}", code: -32600, id: 9 },
      { line: "{\"jsonrpc\":\"2.0\",\"id\":{},\"method\":\"ping\"}", code: -32600, id: null },
      { line: "{\"jsonrpc\":\"2.0\",\"id\":10,\"method\":5}", code: -32600, id: 10 },
      { line: "{\"jsonrpc\":\"2.0\",\"id\":11,\"method\":\"tools/call\",\"params\":[1]}", code: -32602, id: 11 },
      { line: "{\"jsonrpc\":\"2.0\",\"id\":12,\"method\":\"tools/call\",\"params\":{\"name\":7}}", code: -32602, id: 12 },
      { line: "{\"jsonrpc\":\"2.0\",\"id\":13,\"method\":\"tools/call\",\"params\":{\"name\":\"snap\",\"arguments\":5}}", code: -32602, id: 13 },
      { line: "{\"jsonrpc\":\"2.0\",\"id\":\"x\",\"method\":\"resources/list\"}", code: -32601, id: "x" },
    ];
    for (const c of cases) {
      raw.send(c.line + "\n");
      const reply = await raw.next();
      assert.equal(reply.error?.code, c.code, `${c.line.slice(0, 60)}: ${JSON.stringify(reply)}`);
      assert.equal(reply.id, c.id, c.line.slice(0, 60));
      const pong = await raw.request(100, "ping", {});
      assert.deepEqual(pong.result, {});
    }
    await raw.close();
  });

  test("a line of several megabytes is refused at once and reading resumes after it", async () => {
    const raw = new RawSession(["--port", String(service.port)]);
    await raw.request(1, "initialize", initialize("2025-06-18"));
    const huge = JSON.stringify({ jsonrpc: "2.0", id: 2, method: "ping", params: { pad: "x".repeat(6 * 1024 * 1024) } });
    // The refusal comes before the line has ended: the server does not wait for the rest.
    raw.send(huge.slice(0, 3 * 1024 * 1024));
    const refused = await raw.next();
    assert.equal(refused.error.code, -32600);
    assert.match(refused.error.message, /longer than/);
    raw.send(huge.slice(3 * 1024 * 1024) + "\n");
    const pong = await raw.request(3, "ping", {});
    assert.equal(pong.id, 3);
    assert.deepEqual(pong.result, {});
    assert.equal(raw.lines.length, 0, "one refusal for the long line, nothing more");
    await raw.close();
  });

  test("the port comes from --port, else TIRVANE_PORT; a bad port is refused at start", async () => {
    const fromEnv = await connect({ port: service.port, args: [], env: { TIRVANE_PORT: String(service.port) } });
    const status = await fromEnv.client.callTool({ name: "status", arguments: {} });
    assert.equal(status.structuredContent.port, service.port);
    await fromEnv.close();
    // --port wins over TIRVANE_PORT.
    const both = await connect({ port: service.port, args: ["--port", String(service.port)], env: { TIRVANE_PORT: "1" } });
    assert.equal((await both.client.callTool({ name: "status", arguments: {} })).isError, false);
    await both.close();

    const bad = spawn(MCP, ["--port", "http"], { stdio: ["pipe", "pipe", "pipe"] });
    let out = "", err = "";
    bad.stdout.on("data", (c) => { out += c; });
    bad.stderr.on("data", (c) => { err += c; });
    const [code] = await once(bad, "exit");
    assert.equal(code, 1);
    assert.equal(out, "");
    assert.match(err, /port from --port must be a number from 1 to 65535, not "http"/);
  });
});

describe("a service that goes away", () => {
  test("calls fail readably while it is down and work again when it is back; the server stays", async () => {
    let service = await startService();
    const { port, config } = service;
    const session = await connect({ port });
    try {
      assert.equal((await session.client.callTool({ name: "status", arguments: {} })).isError, false);
      await service.stop();
      for (const name of ["status", "snap", "look", "devices"]) {
        const down = await session.client.callTool({ name, arguments: {} });
        assert.equal(down.isError, true, name);
        assert.match(textOf(down), new RegExp(`cannot reach the Tirvane service at 127\\.0\\.0\\.1:${port}`));
        assert.match(textOf(down), /Is tirvane-app running\?/);
      }
      assert.equal(session.transport.pid !== null, true);
      service = await startService({ port, config });
      const back = await session.client.callTool({ name: "snap", arguments: { device: "test", max_side: 320 } });
      assert.equal(back.isError, false, textOf(back));
      assert.equal(back.structuredContent.width, 320);
      await session.client.ping();
    } finally {
      await session.close();
      await service.stop();
    }
  });
});
