// Shared by the bridge tests: starts bridge_peer (a bridge driven from its standard input), connects
// npm Foxglove clients and raw `ws` sockets to it on 127.0.0.1, and bounds every test in time.
"use strict";
const assert = require("node:assert/strict");
const { spawn } = require("node:child_process");
const readline = require("node:readline");
const WebSocket = require("ws");
const { FoxgloveClient } = require("@foxglove/ws-protocol");

const testLimitMs = 60000;  // a hung test fails instead of blocking the suite
const pollMs = 5;
const started = [];  // peers and sockets to end whatever happens

function endAll() {
  for (const s of started) {
    try { s.kill ? s.kill("SIGKILL") : s.terminate(); } catch (e) { /* already gone */ }
  }
}

// Runs the test body; fails it after the limit or on the first error, and ends what it started.
function run(body) {
  const timer = setTimeout(() => { console.error("FAIL: no result within " + testLimitMs + " ms"); endAll(); process.exit(1); }, testLimitMs);
  body().then(() => { clearTimeout(timer); endAll(); console.log("PASS"); },
              (e) => { clearTimeout(timer); endAll(); console.error("FAIL:", e); process.exit(1); });
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function until(condition) {
  while (!(await condition())) await sleep(pollMs);
}

class Peer {
  constructor(args) {
    this.proc = spawn(process.argv[2], args.map(String), { stdio: ["pipe", "pipe", "pipe"] });
    started.push(this.proc);
    this.log = "";
    this.proc.stderr.on("data", (d) => { this.log += d; });
    this.lines = [];
    this.waiters = [];
    readline.createInterface({ input: this.proc.stdout }).on("line", (line) => {
      const w = this.waiters.shift();
      if (w) w(line); else this.lines.push(line);
    });
  }
  next() {
    return new Promise((r) => (this.lines.length ? r(this.lines.shift()) : this.waiters.push(r)));
  }
  async send(command) {
    this.proc.stdin.write(command + "\n");
    return this.next();
  }
  async channel(spec) { return Number((await this.send("channel " + spec)).split(" ")[1]); }
  async clients() { return JSON.parse((await this.send("clients")).slice("clients ".length)); }
  async quit() {
    const exited = new Promise((r) => this.proc.on("exit", (code) => r(code)));
    assert.equal(await this.send("quit"), "stopped");
    assert.equal(await exited, 0);
  }
}

async function startPeer(...args) {
  const peer = new Peer(args);
  const first = await peer.next();
  assert.match(first, /^port \d+$/);
  peer.port = Number(first.split(" ")[1]);
  return peer;
}

// An npm Foxglove client that records what it receives.
function foxglove(port) {
  const ws = new WebSocket(`ws://127.0.0.1:${port}`, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]);
  started.push(ws);
  const client = new FoxgloveClient({ ws });
  const rec = { client, serverInfo: null, channels: new Map(), messages: [], unadvertised: [] };
  client.on("serverInfo", (info) => { rec.serverInfo = info; });
  client.on("advertise", (list) => list.forEach((c) => rec.channels.set(c.id, c)));
  client.on("unadvertise", (ids) => ids.forEach((id) => { rec.channels.delete(id); rec.unadvertised.push(id); }));
  client.on("message", (m) => rec.messages.push({
    sub: m.subscriptionId, ts: m.timestamp,
    hex: Buffer.from(m.data.buffer, m.data.byteOffset, m.data.byteLength).toString("hex") }));
  return rec;
}

// A plain `ws` socket offering the subprotocol: what a hostile or stalled client is made of.
function raw(port, protocols = [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) {
  const ws = new WebSocket(`ws://127.0.0.1:${port}`, protocols);
  started.push(ws);
  const rec = { ws, texts: [], binaries: [], close: null, error: null };
  ws.on("message", (data, isBinary) => (isBinary ? rec.binaries.push(Buffer.from(data)) : rec.texts.push(JSON.parse(data))));
  ws.on("close", (code, reason) => { rec.close = { code, reason: reason.toString() }; });
  ws.on("error", (e) => { rec.error = e; });
  rec.opened = new Promise((resolve) => ws.on("open", resolve));
  return rec;
}

module.exports = { assert, run, until, startPeer, foxglove, raw };
