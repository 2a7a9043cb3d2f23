// A Foxglove client from npm (independent of our bridge) watching quarvis-decode --foxglove: it
// subscribes to a sensor's points, decodes them with the advertised schema and checks each cloud
// against the frame of the same stamp in `quarvis-decode --points` of the same stream.
// Usage: node check_share.js NPM_DIR PORT POINTS.txt SENSOR CLOUDS READY_FILE [hold]
//   SENSOR: the one sensor's name, its clouds' frame id
//   READY_FILE says "subscribed", then "matched" after CLOUDS matching clouds; the script then exits
//   0, or with "hold" stays connected until ended (SIGTERM).
'use strict';
const fs = require('fs');
const path = require('path');
const [npmDir, port, pointsPath, sensor, wanted, readyFile, hold] = process.argv.slice(2);
const need = (name) => require(path.join(npmDir, 'node_modules', name));
const WebSocket = need('ws');
const { FoxgloveClient } = need('@foxglove/ws-protocol');
const protobuf = need('protobufjs');
const descriptor = need('protobufjs/ext/descriptor');

const limitMs = 60000;  // a hung share fails the test instead of blocking the suite

function fail(text) {
  console.error(`check_share: ${text}`);
  process.exit(1);
}
setTimeout(() => fail(`fewer than ${wanted} clouds within ${limitMs} ms`), limitMs).unref();

// --points: a 'frame SEQ SECONDS MICROS' line, then the frame's numbers; keyed by stamp in ns.
const expected = new Map();
const lines = fs.readFileSync(pointsPath, 'utf8').split('\n');
for (let i = 0; i < lines.length; ++i) {
  const frame = /^frame (\d+) (\d+) (\d+)$/.exec(lines[i]);
  if (frame) expected.set(BigInt(frame[2]) * 1000000000n + BigInt(frame[3]) * 1000n, lines[++i].split(',').slice(0, -1).map(Number));
}

const client = new FoxgloveClient({ ws: new WebSocket(`ws://127.0.0.1:${port}`, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) });
let cloudType = null, subscription = null, matched = 0;
client.on('error', (e) => fail(`client error ${e}`));
client.on('close', () => matched < Number(wanted) && fail('the server closed the connection'));
client.on('advertise', (channels) => {
  const channel = channels.find((c) => c.topic.endsWith('/points'));
  if (!channel || subscription !== null) return;
  if (channel.encoding !== 'protobuf' || channel.schemaName !== 'foxglove.PointCloud') fail(`channel ${JSON.stringify(channel)}`);
  const set = descriptor.FileDescriptorSet.decode(Buffer.from(channel.schema, 'base64'));
  cloudType = protobuf.Root.fromDescriptor(set).lookupType(channel.schemaName);
  subscription = client.subscribe(channel.id);
  fs.writeFileSync(readyFile, 'subscribed\n');
});
client.on('message', ({ subscriptionId, data }) => {
  if (matched >= Number(wanted)) return;  // holding on: what comes later is not checked
  if (subscriptionId !== subscription) fail(`a message for subscription ${subscriptionId}`);
  const cloud = cloudType.toObject(cloudType.decode(new Uint8Array(data.buffer, data.byteOffset, data.byteLength)),
                                   { longs: String, defaults: true });
  const stamp = BigInt(cloud.timestamp.seconds) * 1000000000n + BigInt(cloud.timestamp.nanos);
  const want = expected.get(stamp);
  if (!want) fail(`a cloud stamped ${stamp} that the stream does not hold`);
  if (cloud.frameId !== sensor || cloud.pointStride !== 12) fail(`frame id ${cloud.frameId} or stride ${cloud.pointStride}`);
  const bytes = Buffer.from(cloud.data);
  if (bytes.length !== want.length * 4) fail(`${bytes.length} bytes of points`);
  for (let k = 0; k < want.length; ++k) {
    const got = bytes.readFloatLE(k * 4);
    if (Math.abs(got - want[k]) > 5e-6 * Math.abs(want[k]) + 1e-30) fail(`stamp ${stamp} value ${k}: ${got} != ${want[k]}`);
  }
  if (++matched === Number(wanted)) {
    console.log(`${matched} clouds match`);
    fs.writeFileSync(readyFile, 'matched\n');
    if (hold !== 'hold') process.exit(0);
  }
});
