// Clients that send what the bridge does not accept are closed with a code and a logged reason,
// one at a time beside a live npm client that keeps receiving. Usage: node test_hostile.cjs BRIDGE_PEER
"use strict";
const { assert, run, until, startPeer, foxglove, raw } = require("./lib.cjs");

const maxClientMessage = 1024;
const subscribe = (subs) => JSON.stringify({ op: "subscribe", subscriptions: subs });

// [case, what the client sends (CHANNEL stands for a channel that exists), close code, logged reason]
const cases = [
  ["not JSON", ["{op: subscribe"], 1007, "message is not JSON"],
  ["binary", [Buffer.from([0x01, 0, 0, 0, 0])], 1003, "binary messages are not accepted"],
  ["unknown op", [JSON.stringify({ op: "getParameters", parameterNames: [] })], 1008, 'unsupported op "getParameters"'],
  ["no op", [JSON.stringify({ subscriptions: [] })], 1008, "message has no op"],
  ["JSON that is no object", ["[1,2]"], 1008, "message has no op"],
  ["oversized", ["x".repeat(maxClientMessage + 1)], 1009, `message larger than ${maxClientMessage} bytes`],
  ["unknown channel", [subscribe([{ id: 1, channelId: 999 }])], 1008, "subscribe to unknown channel 999"],
  ["negative id", [subscribe([{ id: -1, channelId: "CHANNEL" }])], 1008, "subscribe with a malformed subscription"],
  ["id too large", [subscribe([{ id: 2 ** 32, channelId: "CHANNEL" }])], 1008, "subscribe with a malformed subscription"],
  ["subscription id reused", [subscribe([{ id: 3, channelId: "CHANNEL" }]), subscribe([{ id: 3, channelId: "OTHER" }])],
    1008, "subscription id 3 already in use"],
  ["channel twice", [subscribe([{ id: 3, channelId: "CHANNEL" }, { id: 4, channelId: "CHANNEL" }])], 1008,
    "channel 1 subscribed twice"],
  ["unsubscribe without ids", [JSON.stringify({ op: "unsubscribe" })], 1008, "unsubscribe without subscriptionIds"],
];

run(async () => {
  const peer = await startPeer(8, maxClientMessage);
  const channel = await peer.channel("/points protobuf foxglove.PointCloud c2NoZW1h protobuf");
  const other = await peer.channel("/link json quarvis.LinkCounters {}");
  const live = foxglove(peer.port);
  await until(() => live.channels.size === 2);
  const liveSub = live.client.subscribe(channel);
  await until(async () => (await peer.clients())[0].channels.length === 1);

  let seq = 0;
  for (const [name, messages, code, reason] of cases) {
    const hostile = raw(peer.port);
    await hostile.opened;
    for (const m of messages)
      hostile.ws.send(typeof m === "string" ? m.replaceAll('"CHANNEL"', channel).replaceAll('"OTHER"', other) : m);
    await until(() => hostile.close);
    assert.equal(hostile.close.code, code, name);
    assert.ok(peer.log.includes(`: ${reason}\n`), `${name}: log was ${peer.log}`);
    if (code === 1008) assert.ok(hostile.close.reason.includes(reason), `${name}: reason ${hostile.close.reason}`);
    if (code !== 1009) assert.deepEqual(hostile.texts.at(-1), { op: "status", level: 2, message: reason }, name);

    await until(async () => (await peer.clients()).length === 1);
    await peer.send(`publish ${channel} ${++seq} 00`);
    await until(() => live.messages.length === seq);
    assert.deepEqual(live.messages[seq - 1], { sub: liveSub, ts: BigInt(seq), hex: "00" }, name);
  }

  // A WebSocket client that does not speak the protocol is refused before it connects.
  const stranger = raw(peer.port, []);
  await until(() => stranger.error || stranger.close);
  assert.equal(stranger.texts.length, 0);
  await peer.quit();
});
