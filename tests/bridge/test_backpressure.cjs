// A client that stops reading beside one that reads: the reader gets every message, the stalled
// client's queue drops its oldest messages and counts them, and once it reads again it gets the
// newest ones byte for byte. Usage: node test_backpressure.cjs BRIDGE_PEER
"use strict";
const { assert, run, until, startPeer, foxglove, raw } = require("./lib.cjs");

const queueMessages = 8;
const messageCount = 400;
const messageSize = 65536;  // 400 × 64 KiB is far more than loopback socket buffers hold
const stalledSub = 7;

// What bridge_peer's "fill" publishes: timestamp SEQ, byte i = (SEQ * 7 + i) mod 256.
function pattern(seq) {
  const b = Buffer.alloc(messageSize);
  for (let i = 0; i < messageSize; i++) b[i] = (seq * 7 + i) & 0xff;
  return b;
}
// The data message as the protocol lays it out, written by hand.
function frame(sub, seq) {
  const header = Buffer.alloc(13);
  header[0] = 0x01;
  header.writeUInt32LE(sub, 1);
  header.writeBigUInt64LE(BigInt(seq), 5);
  return Buffer.concat([header, pattern(seq)]);
}

run(async () => {
  const peer = await startPeer(queueMessages);
  const channel = await peer.channel("/points protobuf foxglove.PointCloud c2NoZW1h protobuf");
  const live = foxglove(peer.port);
  await until(() => live.channels.has(channel));
  const liveSub = live.client.subscribe(channel);
  const stalled = raw(peer.port);
  await stalled.opened;
  stalled.ws.send(JSON.stringify({ op: "subscribe", subscriptions: [{ id: stalledSub, channelId: channel }] }));
  await until(async () => (await peer.clients()).filter((c) => c.channels.length === 1).length === 2);
  stalled.ws._socket.pause();

  for (let seq = 0; seq < messageCount; seq++) {
    await peer.send(`fill ${channel} ${seq} ${messageSize}`);
    await until(() => live.messages.length === seq + 1);
  }
  live.messages.forEach((m, seq) => {
    assert.equal(m.sub, liveSub);
    assert.equal(m.ts, BigInt(seq));
    assert.ok(m.hex === pattern(seq).toString("hex"), `live message ${seq} differs`);
  });

  const [liveInfo, stalledInfo] = await peer.clients();
  assert.deepEqual([liveInfo.sent, liveInfo.dropped, liveInfo.queued], [messageCount, 0, 0]);
  assert.ok(stalledInfo.dropped > 0, "the stalled client dropped nothing");
  assert.ok(stalledInfo.queued <= queueMessages);
  const accounted = stalledInfo.sent + stalledInfo.dropped + stalledInfo.queued;  // + at most one in flight
  assert.ok(accounted === messageCount || accounted === messageCount - 1, `accounted for ${accounted}`);

  // Reading again, it gets all it was not dropped, the newest last, each exactly as written.
  stalled.ws._socket.resume();
  const expected = messageCount - stalledInfo.dropped;
  await until(() => stalled.binaries.length >= expected);
  const seqs = stalled.binaries.map((b) => Number(b.readBigUInt64LE(5)));
  assert.equal(stalled.binaries.length, expected);
  assert.equal(seqs[seqs.length - 1], messageCount - 1);
  seqs.forEach((seq, i) => {
    assert.ok(i === 0 || seq > seqs[i - 1], "out of order");
    assert.ok(stalled.binaries[i].equals(frame(stalledSub, seq)), `stalled message ${seq} differs`);
  });
  assert.equal((await peer.clients())[1].dropped, stalledInfo.dropped);
  await peer.quit();
});
