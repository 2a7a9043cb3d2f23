// The live bridge against npm's Foxglove client and raw `ws` sockets, all on 127.0.0.1: channels and
// data messages byte for byte, hostile clients closed beside a live one, a stalled client that
// drops while a live one misses nothing. Drives bridge_peer, a bridge fed from standard input.
// Usage: node test_bridge.js BRIDGE_PEER   (NODE_PATH: the npm folder scripts/setup.sh fills)
"use strict";
const assert = require("node:assert/strict");
const { spawn } = require("node:child_process");
const readline = require("node:readline");
const WebSocket = require("ws");
const { FoxgloveClient } = require("@foxglove/ws-protocol");

const testLimitMs = 90000;  // a hung test fails instead of blocking the suite
const queueMessages = 8;
const maxClientMessage = 1024;
const started = [];  // peers and sockets, ended whatever happens

const until = async (condition) => { while (!(await condition())) await new Promise((r) => setTimeout(r, 5)); };

// Starts bridge_peer with ARGS; resolves once its first line (the port or the error) is read.
async function startPeer(...args) {
  const proc = spawn(process.argv[2], args.map(String));
  started.push(proc);
  const lines = [], waiters = [];
  readline.createInterface({ input: proc.stdout }).on("line", (l) => (waiters.length ? waiters.shift()(l) : lines.push(l)));
  const next = () => new Promise((r) => (lines.length ? r(lines.shift()) : waiters.push(r)));
  const peer = { log: "", exited: new Promise((r) => proc.on("exit", r)) };
  proc.stderr.on("data", (d) => { peer.log += d; });
  peer.first = await next();
  peer.port = Number(peer.first.split(" ")[1]);
  peer.send = (command) => { proc.stdin.write(command + "\n"); return next(); };
  peer.clients = async () => (await peer.send("clients")).split(";").filter(Boolean).map((c) => {
    const [id, address, sent, dropped, queued, ...channels] = c.split(" ");
    return { id: +id, address, sent: +sent, dropped: +dropped, queued: +queued, channels: channels.map(Number) };
  });
  return peer;
}

// An npm Foxglove client that records what it receives.
function foxglove(port) {
  const ws = new WebSocket(`ws://127.0.0.1:${port}`, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]);
  started.push(ws);
  const client = new FoxgloveClient({ ws });
  const rec = { client, serverInfo: null, channels: new Map(), messages: [] };
  client.on("serverInfo", (info) => { rec.serverInfo = info; });
  client.on("advertise", (list) => list.forEach((c) => rec.channels.set(c.id, c)));
  client.on("unadvertise", (ids) => ids.forEach((id) => rec.channels.delete(id)));
  client.on("message", (m) => rec.messages.push({ sub: m.subscriptionId, ts: m.timestamp,
    hex: Buffer.from(m.data.buffer, m.data.byteOffset, m.data.byteLength).toString("hex") }));
  return rec;
}

// A plain `ws` socket: what a stalled or hostile client is made of.
function raw(port, protocols = [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) {
  const ws = new WebSocket(`ws://127.0.0.1:${port}`, protocols);
  started.push(ws);
  const rec = { ws, texts: [], binaries: [], close: null, error: null };
  ws.on("message", (data, binary) => (binary ? rec.binaries.push(Buffer.from(data)) : rec.texts.push(JSON.parse(data))));
  ws.on("close", (code, reason) => { rec.close = { code, reason: reason.toString() }; });
  ws.on("error", (e) => { rec.error = e; });
  rec.opened = new Promise((resolve) => ws.on("open", resolve));
  return rec;
}
const subscribe = (subs) => JSON.stringify({ op: "subscribe", subscriptions: subs });
const channelCounts = async (peer) => (await peer.clients()).map((c) => c.channels.length).join();

// Two clients: advertisements before and after they connect, hand-known payloads and timestamps
// (all 64 bits), unsubscribe, channel removal. Leaves client `two` alone, subscribed to /points.
async function roundtrip(peer, points) {
  const one = foxglove(peer.port);
  await until(() => one.serverInfo);  // so that the clients are numbered in this order
  const two = foxglove(peer.port);
  await until(() => one.channels.has(points) && two.channels.has(points));
  const link = Number(await peer.send("channel /link json quarvis.LinkCounters {}"));
  await until(() => one.channels.has(link) && two.channels.has(link));
  assert.deepEqual(one.channels.get(points), { id: points, topic: "/points", encoding: "protobuf",
    schemaName: "foxglove.PointCloud", schema: "c2NoZW1h", schemaEncoding: "protobuf" });
  assert.deepEqual(two.channels.get(link), { id: link, topic: "/link", encoding: "json",
    schemaName: "quarvis.LinkCounters", schema: "{}" });

  const subs = new Map([[points, one.client.subscribe(points)], [link, one.client.subscribe(link)]]);
  const twoPoints = two.client.subscribe(points);
  await until(async () => (await channelCounts(peer)) === "2,1");
  // [channel, timestamp, payload hex]: empty, one byte, every timestamp byte distinct, top bit set.
  const published = [[points, 0n, ""], [points, 1n, "00"], [link, 0x0102030405060708n, "7b2278223a317d"],
    [points, 0xfedcba9876543210n, "ff00ff00807f"], [link, 1700000000123456789n, "0a"]];
  for (const [channel, ts, hex] of published) await peer.send(`publish ${channel} ${ts} ${hex}`);
  const forOne = published.map(([channel, ts, hex]) => ({ sub: subs.get(channel), ts, hex }));
  const forTwo = published.filter(([c]) => c === points).map(([, ts, hex]) => ({ sub: twoPoints, ts, hex }));
  await until(() => one.messages.length >= forOne.length && two.messages.length >= forTwo.length);
  assert.deepEqual([one.messages, two.messages], [forOne, forTwo]);

  // Once the unsubscribe has landed nothing more comes on that channel: the next message is the link's.
  one.client.unsubscribe(subs.get(points));
  await until(async () => (await channelCounts(peer)) === "1,1");
  await peer.send(`publish ${points} 5 aa`);
  await peer.send(`publish ${link} 6 bb`);
  await until(() => one.messages.length > forOne.length && two.messages.length > forTwo.length);
  assert.deepEqual([one.messages.slice(forOne.length), two.messages.slice(forTwo.length)],
    [[{ sub: subs.get(link), ts: 6n, hex: "bb" }], [{ sub: twoPoints, ts: 5n, hex: "aa" }]]);

  // A removed channel is unadvertised to all and its subscriptions end.
  await peer.send(`remove ${link}`);
  await until(() => !one.channels.has(link) && !two.channels.has(link));
  assert.equal(await channelCounts(peer), "0,1");
  one.client.close();
  await until(async () => (await peer.clients()).length === 1);
  return { live: two, sub: twoPoints };
}

// [case, what the client sends (CHANNEL: /points, OTHER: another channel), close code, logged reason]
const hostileCases = [
  ["not JSON", ["{op: subscribe"], 1007, "message is not JSON"],
  ["binary", [Buffer.from([0x01, 0, 0, 0, 0])], 1003, "binary messages are not accepted"],
  ["unknown op", [JSON.stringify({ op: "getParameters", parameterNames: [] })], 1008, 'unsupported op "getParameters"'],
  ["no op", [JSON.stringify({ subscriptions: [] })], 1008, "message has no op"],
  ["oversized", ["x".repeat(maxClientMessage + 1)], 1009, `message larger than ${maxClientMessage} bytes`],
  ["unknown channel", [subscribe([{ id: 1, channelId: 999 }])], 1008, "subscribe to unknown channel 999"],
  ["id too large", [subscribe([{ id: 2 ** 32, channelId: "CHANNEL" }])], 1008, "subscribe with a malformed subscription"],
  ["id reused", [subscribe([{ id: 3, channelId: "CHANNEL" }]), subscribe([{ id: 3, channelId: "OTHER" }])], 1008,
    "subscription id 3 already in use"],
  ["channel twice", [subscribe([{ id: 3, channelId: "CHANNEL" }, { id: 4, channelId: "CHANNEL" }])], 1008,
    "channel 1 subscribed twice"],
];

// Each hostile client is closed with its code and reason (status first, then the close frame), and
// the live client still gets the next message; so after starts that fail beside the running bridge.
async function hostile(peer, points, { live, sub }) {
  for (const [host, port, reason] of [["127.0.0.1", peer.port, "address in use"], ["300.1.2.3", 0, "bad address"],
    ["sensor.example", 0, "bad address"]])
    assert.equal((await startPeer(queueMessages, maxClientMessage, host, port)).first,
      `error cannot listen on ${host}:${port}: ${reason}`);
  const other = await peer.send("channel /other json other {}");
  for (const [name, messages, code, reason] of hostileCases) {
    const client = raw(peer.port);
    await client.opened;
    messages.forEach((m) => client.ws.send(typeof m === "string" ? m.replaceAll('"CHANNEL"', points).replace('"OTHER"', other) : m));
    await until(() => client.close);
    assert.equal(client.close.code, code, name);
    assert.ok(peer.log.includes(`: ${reason}\n`), `${name}: the log was ${peer.log}`);
    if (code !== 1009) {
      assert.equal(client.close.reason, reason, name);
      assert.deepEqual(client.texts.at(-1), { op: "status", level: 2, message: reason }, name);
    }
    await until(async () => (await peer.clients()).length === 1);
    const before = live.messages.length;
    await peer.send(`publish ${points} ${before} 00`);
    await until(() => live.messages.length > before);
    assert.deepEqual(live.messages[before], { sub, ts: BigInt(before), hex: "00" }, name);
  }
  // A WebSocket client that does not offer the subprotocol is refused before it connects.
  const stranger = raw(peer.port, []);
  await until(() => stranger.error || stranger.close);
  assert.equal(stranger.texts.length, 0);
}

// A client that stops reading beside one that reads: the reader gets every message, the stalled one
// drops its oldest (counted) and, reading again, gets the newest byte for byte, the last one last.
async function stalled(peer, points, { live, sub }) {
  const count = 400, size = 65536;  // 25 MiB: far more than loopback socket buffers hold
  const payloads = Array.from({ length: count }, (_, seq) => Buffer.from(Array.from({ length: size }, (_, i) => (seq * 7 + i) & 0xff)));
  const client = raw(peer.port);
  await client.opened;
  client.ws.send(subscribe([{ id: 7, channelId: points }]));
  await until(async () => (await channelCounts(peer)) === "1,1");
  client.ws._socket.pause();
  const first = live.messages.length;
  for (let seq = 0; seq < count; seq++) {
    await peer.send(`publish ${points} ${seq} ${payloads[seq].toString("hex")}`);
    await until(() => live.messages.length === first + seq + 1);
  }
  assert.ok(live.messages.slice(first).every((m, seq) => m.sub === sub && m.ts === BigInt(seq) &&
    m.hex === payloads[seq].toString("hex")), "a live message differs");
  const [liveInfo, stalledInfo] = await peer.clients();
  assert.deepEqual([liveInfo.dropped, liveInfo.queued], [0, 0]);
  assert.ok(stalledInfo.dropped > 0, "the stalled client dropped nothing");
  const accounted = stalledInfo.sent + stalledInfo.dropped + stalledInfo.queued;  // + at most one in flight
  assert.ok(accounted === count || accounted === count - 1, `accounted for ${accounted} of ${count}`);

  client.ws._socket.resume();
  await until(() => client.binaries.length >= count - stalledInfo.dropped);
  const seqs = client.binaries.map((b) => Number(b.readBigUInt64LE(5)));
  assert.deepEqual([client.binaries.length, seqs.at(-1)], [count - stalledInfo.dropped, count - 1]);
  // The data message as the protocol lays it out, by hand: opcode, subscription, timestamp, payload.
  const frame = (seq) => Buffer.concat([Buffer.from([1, 7, 0, 0, 0, seq & 0xff, seq >> 8, 0, 0, 0, 0, 0, 0]), payloads[seq]]);
  assert.ok(client.binaries.every((b, i) => b.equals(frame(seqs[i])) && !(seqs[i] <= seqs[i - 1])),
    "a stalled client's message differs or is out of order");
}

const end = (error) => {
  started.forEach((s) => (s.kill ? s.kill("SIGKILL") : s.terminate()));
  if (error) { console.error("FAIL:", error); process.exit(1); }
  console.log("PASS");
};
const timer = setTimeout(() => end(`no result within ${testLimitMs} ms`), testLimitMs);
(async () => {
  const peer = await startPeer(queueMessages, maxClientMessage);
  const points = Number(await peer.send("channel /points protobuf foxglove.PointCloud c2NoZW1h protobuf"));
  const live = await roundtrip(peer, points);
  await hostile(peer, points, live);
  await stalled(peer, points, live);
  assert.equal(await peer.send("quit"), "stopped");
  assert.equal(await peer.exited, 0);
})().then(() => { clearTimeout(timer); end(); }, (e) => { clearTimeout(timer); end(e); });
