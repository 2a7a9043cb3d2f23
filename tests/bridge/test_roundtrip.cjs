// Two npm Foxglove clients against the bridge: advertisements before and after they connect, data
// messages with hand-known payloads and timestamps (the full 64 bits), unsubscribe and channel removal.
// Usage: node test_roundtrip.cjs BRIDGE_PEER
"use strict";
const { assert, run, until, startPeer, foxglove } = require("./lib.cjs");

run(async () => {
  const peer = await startPeer();
  const points = await peer.channel("/points protobuf foxglove.PointCloud c2NoZW1h protobuf");
  const one = foxglove(peer.port);
  await until(() => one.serverInfo);  // so that the clients are numbered in this order
  const two = foxglove(peer.port);
  await until(() => one.channels.has(points) && two.channels.has(points));
  const link = await peer.channel("/link json quarvis.LinkCounters {}");
  await until(() => one.channels.has(link) && two.channels.has(link));

  assert.equal(one.serverInfo.name, "Quarvis");
  assert.deepEqual(one.serverInfo.capabilities, []);
  assert.deepEqual(one.channels.get(points), { id: points, topic: "/points", encoding: "protobuf",
    schemaName: "foxglove.PointCloud", schema: "c2NoZW1h", schemaEncoding: "protobuf" });
  assert.deepEqual(two.channels.get(link), { id: link, topic: "/link", encoding: "json",
    schemaName: "quarvis.LinkCounters", schema: "{}" });

  const onePoints = one.client.subscribe(points);
  const oneLink = one.client.subscribe(link);
  const twoPoints = two.client.subscribe(points);
  await until(async () => {
    const c = await peer.clients();
    return c.length === 2 && c[0].channels.length === 2 && c[1].channels.length === 1;
  });

  // [channel, timestamp, payload hex]: empty, one byte, every timestamp byte distinct, top bit set.
  const published = [
    [points, 0n, ""],
    [points, 1n, "00"],
    [link, 0x0102030405060708n, "7b2278223a317d"],
    [points, 0xfedcba9876543210n, "ff00ff00807f"],
    [link, 1700000000123456789n, "0a"],
  ];
  for (const [channel, ts, hex] of published) assert.equal(await peer.send(`publish ${channel} ${ts} ${hex}`), "published");
  const subs = new Map([[points, onePoints], [link, oneLink]]);
  const forOne = published.map(([channel, ts, hex]) => ({ sub: subs.get(channel), ts, hex }));
  const forTwo = published.filter(([c]) => c === points).map(([, ts, hex]) => ({ sub: twoPoints, ts, hex }));
  await until(() => one.messages.length >= forOne.length && two.messages.length >= forTwo.length);
  assert.deepEqual(one.messages, forOne);
  assert.deepEqual(two.messages, forTwo);

  // Once the unsubscribe has landed nothing more comes on that channel: the next message is the link's.
  one.client.unsubscribe(onePoints);
  await until(async () => (await peer.clients())[0].channels.length === 1);
  await peer.send(`publish ${points} 5 aa`);
  await peer.send(`publish ${link} 6 bb`);
  await until(() => one.messages.length > forOne.length && two.messages.length > forTwo.length);
  assert.deepEqual(one.messages.slice(forOne.length), [{ sub: oneLink, ts: 6n, hex: "bb" }]);
  assert.deepEqual(two.messages.slice(forTwo.length), [{ sub: twoPoints, ts: 5n, hex: "aa" }]);

  // A removed channel is unadvertised to all and its subscriptions end.
  await peer.send(`remove ${link}`);
  await until(() => one.unadvertised.includes(link) && two.unadvertised.includes(link));
  const clients = await peer.clients();
  assert.deepEqual(clients.map((c) => [c.id, c.channels, c.sent, c.dropped]),
    [[1, [], forOne.length + 1, 0], [2, [points], forTwo.length + 1, 0]]);
  assert.match(clients[0].address, /^127\.0\.0\.1:\d+$/);
  await peer.quit();
});
