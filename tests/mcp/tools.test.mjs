// Every tool of tirvane-mcp called through the official MCP client against a real tirvane-app:
// pictures come back as JPEG images within the size limits with their facts, the other tools
// return the service's answers, and failures are results the model can read.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import { ErrorCode, McpError } from "@modelcontextprotocol/sdk/types.js";
import {
  MAX_BYTES, MAX_SIDE, connect, images, serviceGet, startFakeCamera, startService, startXvfb, tempDir, textOf,
} from "./fixtures.mjs";

const TOOLS = ["snap", "look", "focus", "screenshot", "record", "devices", "controls", "set_control", "sources",
  "add_source", "forget_source", "status"];

// A picture result: one image that is the JPEG the facts describe, within the limits (the long
// side within `maxSide`: the default unless the call asked for more), with the device's aspect
// kept.
function checkPicture(result, { device, sourceWidth, sourceHeight, longSide = null, maxSide = MAX_SIDE }) {
  assert.equal(result.isError, false, textOf(result));
  const [image, ...more] = images(result);
  assert.equal(more.length, 0);
  assert.equal(image.mimeType, "image/jpeg");
  const facts = result.structuredContent;
  assert.equal(facts.device, device);
  assert.equal(image.width, facts.width);
  assert.equal(image.height, facts.height);
  assert.equal(image.bytes.length, facts.bytes);
  assert.ok(image.bytes.length <= MAX_BYTES, `${image.bytes.length} bytes`);
  assert.ok(Math.max(image.width, image.height) <= maxSide, `${image.width}x${image.height}`);
  if (longSide !== null) assert.equal(Math.max(image.width, image.height), longSide);
  assert.equal(facts.source_width, sourceWidth);
  assert.equal(facts.source_height, sourceHeight);
  const shownWidth = facts.region ? facts.region.width : sourceWidth;
  const shownHeight = facts.region ? facts.region.height : sourceHeight;
  assert.ok(Math.abs(image.height - (image.width * shownHeight) / shownWidth) <= 1, "aspect kept");
  assert.ok(Math.abs(facts.scale - image.width / shownWidth) < 0.001, `scale ${facts.scale}`);
  return { image, facts };
}

describe("tirvane-mcp through the official client", () => {
  let xvfb, service, session, phone;
  const folder = tempDir("tirvane-mcp-files-");

  before(async () => {
    xvfb = await startXvfb();
    service = await startService({ display: xvfb.display });
    session = await connect({ port: service.port });
  });
  after(async () => {
    await session?.close();
    await phone?.stop();
    await service?.stop();
    await xvfb?.stop();
    fs.rmSync(folder, { recursive: true, force: true });
  });

  test("lists every tool with a description, schemas and annotations", () => {
    assert.deepEqual(session.tools.map((t) => t.name).sort(), [...TOOLS].sort());
    for (const tool of session.tools) {
      assert.ok(tool.description.length > 40, tool.name);
      assert.ok(tool.title, tool.name);
      assert.equal(tool.inputSchema.type, "object");
      assert.equal(tool.outputSchema.type, "object");
      assert.equal(typeof tool.annotations.readOnlyHint, "boolean", tool.name);
    }
    const readOnly = session.tools.filter((t) => t.annotations.readOnlyHint).map((t) => t.name).sort();
    assert.deepEqual(readOnly, ["controls", "devices", "screenshot", "snap", "sources", "status"]);
    const record = session.tools.find((t) => t.name === "record");
    assert.deepEqual(Object.keys(record.inputSchema.properties).sort(), ["format", "max_side", "path", "secs"]);
    const snap = session.tools.find((t) => t.name === "snap");
    assert.deepEqual(Object.keys(snap.inputSchema.properties).sort(),
      ["device", "height", "max_side", "path", "region", "width"]);
  });

  test("look focuses the test camera and returns a sharp picture with the locked focus", async () => {
    const started = performance.now();
    const result = await session.client.callTool({ name: "look", arguments: { device: "test" } });
    const millis = performance.now() - started;
    const { image, facts } = checkPicture(result, { device: "test", sourceWidth: 1280, sourceHeight: 720 });
    assert.equal(facts.focus.fixed, false);
    // The test chart is sharp at 150 at zoom 100; the sweep locks within a step of it.
    assert.ok(Math.abs(facts.focus.position - 150) <= 5, `locked at ${facts.focus.position}`);
    assert.ok(facts.warnings.some((w) => w.includes("synthetic")), facts.warnings.join("; "));
    const controls = await session.client.callTool({ name: "controls", arguments: { device: "test" } });
    const focus = controls.structuredContent.controls.find((c) => c.name === "focus");
    assert.equal(focus.value, facts.focus.position, "the focus stays locked");
    console.log(`# look on the test camera: ${millis.toFixed(0)} ms, ${image.width}x${image.height}, ${image.bytes.length} bytes`);
  });

  test("pictures keep to the limits, keep the aspect and zoom into regions", async () => {
    const cases = [
      { name: "snap", arguments: { device: "test" }, device: "test", source: [1280, 720], longSide: 1280 },
      { name: "snap", arguments: { device: "test", max_side: 400 }, device: "test", source: [1280, 720], longSide: 400 },
      { name: "snap", arguments: { device: "test", width: 300, height: 300 }, device: "test", source: [1280, 720], longSide: 300 },
      { name: "snap", arguments: { device: "test", region: { x: 640, y: 360, width: 320, height: 180 } },
        device: "test", source: [1280, 720], longSide: 320 },
      { name: "screenshot", arguments: {}, device: "screen", source: [1920, 1080], longSide: MAX_SIDE },
      { name: "screenshot", arguments: { region: { x: 1800, y: 1000, width: 120, height: 80 } },
        device: "screen", source: [1920, 1080], longSide: 120 },
      { name: "screenshot", arguments: { max_side: 4000 }, device: "screen", source: [1920, 1080], longSide: 1920 },
      { name: "look", arguments: { device: "screen", max_side: 800 }, device: "screen", source: [1920, 1080], longSide: 800 },
    ];
    for (const c of cases) {
      const result = await session.client.callTool({ name: c.name, arguments: c.arguments });
      const { image, facts } = checkPicture(result, {
        device: c.device, sourceWidth: c.source[0], sourceHeight: c.source[1], longSide: c.longSide,
        maxSide: c.arguments.max_side ?? MAX_SIDE,
      });
      if (c.arguments.region) assert.deepEqual(facts.region, c.arguments.region);
      if (c.name === "look") {
        assert.equal(facts.focus.fixed, true, "the screen has no focus: look still returns the picture");
        assert.match(textOf(result), /Focus: fixed/);
      }
      console.log(`# ${c.name} ${JSON.stringify(c.arguments)}: ${image.width}x${image.height}, ${image.bytes.length} bytes`);
    }
  });

  test("a picture is also saved when the call names a path", async () => {
    const file = path.join(folder, "sub", "shot.jpg");
    const result = await session.client.callTool({ name: "snap", arguments: { device: "test", path: file, max_side: 200 } });
    const { image, facts } = checkPicture(result, { device: "test", sourceWidth: 1280, sourceHeight: 720, longSide: 200 });
    assert.equal(facts.saved, file);
    assert.deepEqual(fs.readFileSync(file), image.bytes);
  });

  test("a network camera is registered, snapped at its own size and forgotten", async () => {
    const shot = await serviceGet(service.port, "/api/frame.jpg?_=&device=test&width=2000&height=1500");
    assert.equal(shot.status, 200);
    phone = await startFakeCamera(shot.body);
    const added = await session.client.callTool({ name: "add_source", arguments: { name: "phone", url: phone.url } });
    assert.equal(added.isError, false, textOf(added));
    assert.equal(added.structuredContent.added, "phone");
    const listed = await session.client.callTool({ name: "sources", arguments: {} });
    assert.deepEqual(listed.structuredContent.sources, [{ name: "phone", url: phone.url }]);

    const snapped = await session.client.callTool({ name: "snap", arguments: { device: "net:phone" } });
    const { image } = checkPicture(snapped, { device: "net:phone", sourceWidth: 2000, sourceHeight: 1500, longSide: MAX_SIDE });
    console.log(`# snap net:phone (2000x1500): ${image.width}x${image.height}, ${image.bytes.length} bytes`);
    const looked = await session.client.callTool({ name: "look", arguments: { device: "net:phone", max_side: 500 } });
    assert.equal(looked.structuredContent.focus.fixed, true);

    const forgotten = await session.client.callTool({ name: "forget_source", arguments: { name: "phone" } });
    assert.equal(forgotten.structuredContent.removed, "phone");
    const gone = await session.client.callTool({ name: "snap", arguments: { device: "net:phone" } });
    assert.equal(gone.isError, true);
    assert.match(textOf(gone), /phone/);
  });

  test("a picture that comes out too large is asked for again, smaller, until it fits", async () => {
    // Noise does not compress: at 1568 px on its long side it is a JPEG of well over 750 KB.
    const file = path.join(folder, "noise.jpg");
    execFileSync("ffmpeg", ["-v", "error", "-f", "lavfi", "-i", "nullsrc=s=2000x1500,geq=lum='random(1)*255':cb=128:cr=128",
      "-frames:v", "1", "-q:v", "2", "-y", file]);
    const noisy = await startFakeCamera(fs.readFileSync(file));
    try {
      await session.client.callTool({ name: "add_source", arguments: { name: "noise", url: noisy.url } });
      const plain = await serviceGet(service.port, "/api/frame.jpg?device=net:noise&max_side=1568");
      assert.ok(plain.body.length > MAX_BYTES, `${plain.body.length} bytes at 1568 px`);
      const result = await session.client.callTool({ name: "snap", arguments: { device: "net:noise" } });
      const { image } = checkPicture(result, { device: "net:noise", sourceWidth: 2000, sourceHeight: 1500 });
      assert.ok(image.width < MAX_SIDE);
      console.log(`# snap of noise (2000x1500): ${image.width}x${image.height}, ${image.bytes.length} bytes`);
    } finally {
      await session.client.callTool({ name: "forget_source", arguments: { name: "noise" } });
      await noisy.stop();
    }
  });

  test("focus returns the sweep; devices, controls, set_control and status return the service's answers", async () => {
    const swept = await session.client.callTool({ name: "focus", arguments: { device: "test" } });
    assert.equal(swept.isError, false, textOf(swept));
    assert.equal(swept.structuredContent.device, "test");
    assert.ok(swept.structuredContent.samples.length >= 5);
    const best = Math.max(...swept.structuredContent.samples.map((s) => s.sharpness));
    assert.equal(swept.structuredContent.sharpness, best);

    const devices = await session.client.callTool({ name: "devices", arguments: {} });
    const ids = devices.structuredContent.devices.map((d) => d.id);
    assert.ok(ids.includes("test") && ids.includes("screen"), ids.join(","));

    const set = await session.client.callTool({ name: "set_control", arguments: { device: "test", name: "zoom", value: 150 } });
    assert.deepEqual(set.structuredContent, { device: "test", control: "zoom", value: 150, was: 100 });
    const controls = await session.client.callTool({ name: "controls", arguments: { device: "test" } });
    assert.equal(controls.structuredContent.controls.find((c) => c.name === "zoom").value, 150);

    const status = await session.client.callTool({ name: "status", arguments: {} });
    assert.equal(status.structuredContent.port, service.port);
    assert.match(textOf(status), /running on port/);
  });

  test("record saves the video, links it, shows three stills and reports progress", async () => {
    const file = path.join(folder, "clip.webm");
    const progress = [];
    const result = await session.client.callTool({ name: "record", arguments: { secs: 3, path: file } }, undefined,
      { onprogress: (p) => progress.push(p), timeout: 60000 });
    assert.equal(result.isError, false, textOf(result));
    const facts = result.structuredContent;
    assert.equal(facts.path, file);
    assert.equal(facts.format, "webm");
    assert.equal(facts.bytes, fs.statSync(file).size);
    assert.equal(facts.frames_recorded + facts.frames_dropped, 90);
    const link = result.content.find((b) => b.type === "resource_link");
    assert.equal(link.uri, `file://${file}`);
    assert.equal(link.mimeType, "video/webm");
    const stills = images(result);
    assert.equal(stills.length, 3);
    assert.deepEqual(facts.stills.map((s) => s.at), ["first", "middle", "last"]);
    const total = stills.reduce((sum, s) => sum + s.bytes.length, 0);
    assert.ok(total <= MAX_BYTES, `${total} bytes of stills`);
    stills.forEach((still, i) => {
      assert.equal(still.width, facts.stills[i].width);
      assert.equal(still.height, facts.stills[i].height);
      assert.equal(facts.stills[i].source_width, 1920);
      assert.equal(Math.max(still.width, still.height), 1024);
    });
    // Once a second while it records: at least two reports in three seconds, counting up.
    assert.ok(progress.length >= 2, JSON.stringify(progress));
    for (let i = 1; i < progress.length; i++) assert.ok(progress[i].progress > progress[i - 1].progress);
    assert.ok(progress.every((p) => p.total === 3 && p.progress <= 3));

    const mp4 = await session.client.callTool({ name: "record", arguments: { secs: 1, format: "mp4" } });
    assert.equal(mp4.isError, false, textOf(mp4));
    assert.match(mp4.structuredContent.path, /\.mp4$/);
    assert.ok(fs.statSync(mp4.structuredContent.path).size > 0);
    fs.rmSync(mp4.structuredContent.path);
  });

  test("refusals of the service are results marked as errors, in the service's words", async () => {
    const cases = [
      { name: "snap", arguments: { device: "nosuch" }, says: /nosuch/ },
      { name: "set_control", arguments: { device: "test", name: "zoom", value: 9999 }, says: /zoom must be between 100 and 400/ },
      { name: "set_control", arguments: { device: "test", name: "warp", value: 1 }, says: /no control named warp/ },
      { name: "focus", arguments: { device: "screen" }, says: /fixed focus/ },
      { name: "snap", arguments: { device: "test", region: { x: 0, y: 0, width: 2000, height: 10 } }, says: /which is 1280x720/ },
      { name: "record", arguments: { secs: 500 }, says: /secs must be a whole number from 1 to 120/ },
      { name: "record", arguments: { format: "avi" }, says: /unknown format "avi"/ },
      { name: "add_source", arguments: { name: "cam", url: "ftp://127.0.0.1/x" }, says: /http/ },
      { name: "forget_source", arguments: { name: "never" }, says: /never/ },
    ];
    for (const c of cases) {
      const result = await session.client.callTool({ name: c.name, arguments: c.arguments });
      assert.equal(result.isError, true, `${c.name} ${JSON.stringify(c.arguments)}`);
      assert.match(textOf(result), c.says);
    }
  });

  test("an unknown tool and arguments of the wrong type are JSON-RPC errors -32602", async () => {
    const cases = [
      { name: "teleport", arguments: {} },
      { name: "snap", arguments: { device: 5 } },
      { name: "snap", arguments: { max_side: "big" } },
      { name: "snap", arguments: { max_side: 1.5 } },
      { name: "snap", arguments: { region: [0, 0, 10, 10] } },
      { name: "snap", arguments: { region: { x: 0, y: 0, width: 10 } } },
      { name: "snap", arguments: { zoom: 2 } },
      { name: "set_control", arguments: { name: "zoom" } },
      { name: "set_control", arguments: { name: "zoom", value: "150" } },
      { name: "record", arguments: { secs: "5" } },
      { name: "status", arguments: { verbose: true } },
    ];
    for (const c of cases) {
      await assert.rejects(session.client.callTool({ name: c.name, arguments: c.arguments }), (error) => {
        assert.ok(error instanceof McpError, String(error));
        assert.equal(error.code, ErrorCode.InvalidParams, `${c.name} ${JSON.stringify(c.arguments)}: ${error.message}`);
        return true;
      });
    }
  });
});

describe("tirvane-mcp without a display", () => {
  test("a screenshot says there is no display, as the service puts it", async () => {
    const service = await startService();
    const session = await connect({ port: service.port });
    try {
      const result = await session.client.callTool({ name: "screenshot", arguments: {} });
      assert.equal(result.isError, true);
      assert.match(textOf(result), /no X display/);
      const snapped = await session.client.callTool({ name: "snap", arguments: {} });
      checkPicture(snapped, { device: "test", sourceWidth: 1280, sourceHeight: 720 });
    } finally {
      await session.close();
      await service.stop();
    }
  });
});
