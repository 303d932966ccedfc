// What the tests of tirvane-mcp stand on: the real tirvane-app on a free 127.0.0.1 port with its
// test camera (and a private Xvfb where a screen is wanted), tirvane-mcp driven by the official
// MCP client over stdio, a fake network camera on 127.0.0.1, and a JPEG size reader. Every
// process started here is stopped by its own id.
import { spawn } from "node:child_process";
import { once } from "node:events";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

export const APP = process.env.TIRVANE_APP;
export const MCP = process.env.TIRVANE_MCP;
if (!APP || !MCP) throw new Error("set TIRVANE_APP and TIRVANE_MCP to the built programs");

export const MAX_SIDE = 1568;
export const MAX_BYTES = 750 * 1024;

export function tempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

function waitFor(stream, pattern, what, ms = 20000) {
  return new Promise((resolve, reject) => {
    let seen = "";
    const timer = setTimeout(() => reject(new Error(`${what} did not start: ${seen}`)), ms);
    stream.on("data", (chunk) => {
      seen += chunk.toString();
      const match = seen.match(pattern);
      if (match) {
        clearTimeout(timer);
        resolve(match);
      }
    });
  });
}

async function stopChild(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const ended = once(child, "exit");
  process.kill(child.pid, "SIGTERM");
  const timer = setTimeout(() => process.kill(child.pid, "SIGKILL"), 5000);
  await ended;
  clearTimeout(timer);
}

// tirvane-app on 127.0.0.1: on a free port, or on `port` when given (a restart).
export async function startService({ port = 0, display = null, config = tempDir("tirvane-mcp-config-") } = {}) {
  const env = { ...process.env, XDG_CONFIG_HOME: config };
  delete env.DISPLAY;
  delete env.WAYLAND_DISPLAY;
  delete env.TIRVANE_PORT;
  if (display) env.DISPLAY = display;
  const child = spawn(APP, ["--port", String(port)], { env, stdio: ["ignore", "pipe", "pipe"] });
  child.stdout.resume();
  const match = await waitFor(child.stderr, /listening on http:\/\/127\.0\.0\.1:(\d+)\/api/, "tirvane-app");
  return { child, port: Number(match[1]), config, stop: () => stopChild(child) };
}

// A private X server with a 1920x1080 screen on a display number it picks itself.
export async function startXvfb() {
  const child = spawn("Xvfb", ["-displayfd", "3", "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset"],
    { stdio: ["ignore", "ignore", "ignore", "pipe"] });
  const match = await waitFor(child.stdio[3], /(\d+)\n/, "Xvfb");
  return { child, display: `:${match[1]}`, stop: () => stopChild(child) };
}

// tirvane-mcp under the official client; `args` and `env` as a host would give them.
// With TIRVANE_MCP_RUNNER set (e.g. to wine), the server is started through it.
export async function connect({ port, args = null, env = {} }) {
  const runner = process.env.TIRVANE_MCP_RUNNER;
  const serverArgs = args ?? ["--port", String(port)];
  // The runner's own settings (WINEPREFIX, WINEDEBUG, ...) reach it; nothing else of ours does.
  const runnerEnv = Object.fromEntries(Object.entries(process.env).filter(([key]) => key.startsWith("WINE")));
  const transport = new StdioClientTransport({
    command: runner ?? MCP,
    args: runner ? [MCP, ...serverArgs] : serverArgs,
    env: { PATH: process.env.PATH, HOME: process.env.HOME ?? "/tmp", TMPDIR: os.tmpdir(), ...runnerEnv, ...env },
    stderr: "pipe",
  });
  let log = "";
  transport.stderr?.on("data", (chunk) => { log += chunk.toString(); });
  const client = new Client({ name: "tirvane-mcp-tests", version: "1.0.0" });
  await client.connect(transport);
  // Listing the tools makes the client check every structured result against its outputSchema.
  const { tools } = await client.listTools();
  return { client, transport, tools, log: () => log, close: () => client.close() };
}

// A phone camera on 127.0.0.1 that answers every request with `jpeg`.
export async function startFakeCamera(jpeg) {
  const server = http.createServer((request, response) => {
    response.writeHead(200, { "Content-Type": "image/jpeg", "Content-Length": jpeg.length });
    response.end(jpeg);
  });
  server.listen(0, "127.0.0.1");
  await once(server, "listening");
  return { url: `http://127.0.0.1:${server.address().port}/shot.jpg`, stop: () => new Promise((r) => server.close(r)) };
}

// GET from the service with node:http (the service refuses requests that look like a browser's).
export function serviceGet(port, target) {
  return new Promise((resolve, reject) => {
    http.get({ host: "127.0.0.1", port, path: target }, (response) => {
      const chunks = [];
      response.on("data", (c) => chunks.push(c));
      response.on("end", () => resolve({ status: response.statusCode, headers: response.headers, body: Buffer.concat(chunks) }));
    }).on("error", reject);
  });
}

// Width and height from a JPEG's start-of-frame segment; throws when the bytes are not a JPEG.
export function jpegSize(bytes) {
  if (bytes[0] !== 0xff || bytes[1] !== 0xd8) throw new Error("not a JPEG: no start-of-image marker");
  let at = 2;
  while (at + 9 < bytes.length) {
    if (bytes[at] !== 0xff) throw new Error(`not a JPEG: no marker at byte ${at}`);
    const marker = bytes[at + 1];
    if (marker === 0xff) { at += 1; continue; }
    const length = bytes.readUInt16BE(at + 2);
    const isFrame = marker >= 0xc0 && marker <= 0xcf && marker !== 0xc4 && marker !== 0xc8 && marker !== 0xcc;
    if (isFrame) return { height: bytes.readUInt16BE(at + 5), width: bytes.readUInt16BE(at + 7) };
    at += 2 + length;
  }
  throw new Error("not a JPEG: no start-of-frame segment");
}

// The image blocks of a result, decoded.
export function images(result) {
  return result.content.filter((block) => block.type === "image").map((block) => {
    const bytes = Buffer.from(block.data, "base64");
    return { mimeType: block.mimeType, bytes, ...jpegSize(bytes) };
  });
}

export function textOf(result) {
  return result.content.filter((block) => block.type === "text").map((block) => block.text).join("\n");
}
