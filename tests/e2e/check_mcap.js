// Reads a session file with npm's MCAP reader (an implementation independent of ours) and checks it
// against `quarvis-decode --points` of the same capture.
// Usage: node check_mcap.js NPM_DIR full FILE.mcap POINTS.txt RAW_OUT   (every check; raw bytes to RAW_OUT)
//        node check_mcap.js NPM_DIR cut FILE.mcap POINTS.txt RAW_OUT    (a cut file: what it holds is a
//                                                                        prefix of the full decode)
//        node check_mcap.js NPM_DIR live FILE.mcap POINTS.txt RAW_OUT   (a live session: as full, its log
//                                  times the host's clock, too short a file for a seek to skip chunks)
'use strict';
const fs = require('fs');
const path = require('path');
const [npmDir, mode, mcapPath, pointsPath, rawOut] = process.argv.slice(2);
const need = (name) => require(path.join(npmDir, 'node_modules', name));
const { McapIndexedReader, McapStreamReader } = need('@mcap/core');
const { loadDecompressHandlers } = need('@mcap/support');
const protobuf = need('protobufjs');
const descriptor = need('protobufjs/ext/descriptor');

function fail(text) {
  console.error(`check_mcap: ${mcapPath}: ${text}`);
  process.exit(1);
}

// The --points output: per good frame a 'frame SEQ SECONDS MICROS' line and a line of 1440 numbers,
// then 'NAME: COUNT' statistics.
function readExpected() {
  const frames = [];
  const counters = {};
  const lines = fs.readFileSync(pointsPath, 'utf8').split('\n');
  for (let i = 0; i < lines.length; ++i) {
    const frame = /^frame (\d+) (\d+) (\d+)$/.exec(lines[i]);
    if (frame) {
      const points = lines[++i].split(',').slice(0, -1).map(Number);
      frames.push({ nanos: BigInt(frame[2]) * 1000000000n + BigInt(frame[3]) * 1000n, points });
      continue;
    }
    const counter = /^(.+): (\d+)$/.exec(lines[i]);
    if (counter) counters[counter[1]] = Number(counter[2]);
  }
  return { frames, counters };
}

function typeFrom(schema) {
  const set = descriptor.FileDescriptorSet.decode(schema.data);
  return protobuf.Root.fromDescriptor(set).lookupType(schema.name);
}

function checkCloud(cloud, expected, index) {
  const stamp = BigInt(cloud.timestamp.seconds) * 1000000000n + BigInt(cloud.timestamp.nanos);
  if (stamp !== expected.nanos) fail(`frame ${index}: stamp ${stamp}, expected ${expected.nanos}`);
  if (cloud.frameId !== 'ostrel' || cloud.pointStride !== 12) fail(`frame ${index}: frame id or stride`);
  const fields = cloud.fields.map((f) => `${f.name}@${f.offset}:${f.type}`).join(' ');
  if (fields !== 'x@0:7 y@4:7 z@8:7') fail(`frame ${index}: fields ${fields}`);
  const data = Buffer.from(cloud.data);
  if (data.length !== expected.points.length * 4) fail(`frame ${index}: ${data.length} bytes of points`);
  for (let k = 0; k < expected.points.length; ++k) {
    const got = data.readFloatLE(k * 4);
    const want = expected.points[k];   // printed with 6 significant digits
    if (Math.abs(got - want) > 5e-6 * Math.abs(want) + 1e-30) fail(`frame ${index} value ${k}: ${got} != ${want}`);
  }
}

function fileReadable(handle, size, counter) {
  return {
    size: async () => BigInt(size),
    read: async (offset, length) => {
      counter.bytes += Number(length);
      const buffer = Buffer.alloc(Number(length));
      fs.readSync(handle, buffer, 0, buffer.length, Number(offset));
      return buffer;
    },
  };
}

// Every message of a file without a usable summary, read from the start up to where it was cut.
function streamMessages(bytes, decompressHandlers) {
  const reader = new McapStreamReader({ decompressHandlers, validateCrcs: true });
  reader.append(bytes);
  const channels = new Map();
  const schemas = new Map();
  const messages = [];
  try {
    for (let record; (record = reader.nextRecord()) !== undefined;) {
      if (record.type === 'Schema') schemas.set(record.id, record);
      if (record.type === 'Channel') channels.set(record.id, record);
      if (record.type === 'Message') messages.push(record);
    }
  } catch (error) {
    // A cut file ends inside a record; the records before it are whole.
  }
  return { channels, schemas, messages };
}

async function main() {
  const decompressHandlers = await loadDecompressHandlers();
  const expected = readExpected();
  const size = fs.statSync(mcapPath).size;
  const handle = fs.openSync(mcapPath, 'r');
  const counter = { bytes: 0 };
  let reader = null;
  let channels, schemas, messages = [];
  const live = mode === 'live';
  const whole = mode === 'full' || live;
  try {
    reader = await McapIndexedReader.Initialize({ readable: fileReadable(handle, size, counter), decompressHandlers });
  } catch (error) {
    if (whole) fail(`the indexed reader refuses it: ${error.message}`);
  }
  if (reader) {
    channels = reader.channelsById;
    schemas = reader.schemasById;
    for await (const message of reader.readMessages({ validateCrcs: true })) messages.push(message);
    const stats = reader.statistics;
    if (!stats || stats.messageCount !== BigInt(messages.length)) fail(`statistics count ${stats && stats.messageCount}, read ${messages.length}`);
  } else {
    ({ channels, schemas, messages } = streamMessages(fs.readFileSync(mcapPath), decompressHandlers));
  }
  const topicOf = (id) => channels.get(id).topic;
  const byTopic = {};
  const lastLogTime = {};
  for (const message of messages) {
    const topic = topicOf(message.channelId);
    if (lastLogTime[topic] !== undefined && message.logTime < lastLogTime[topic]) fail(`${topic}: log time goes back`);
    lastLogTime[topic] = message.logTime;
    (byTopic[topic] = byTopic[topic] || []).push(message);
  }
  if (!whole && messages.length === 0) {
    fs.writeFileSync(rawOut, Buffer.alloc(0));
    console.log('no whole chunk');
    return;
  }
  const wanted = ['/ostrel/points', '/ostrel/raw', '/ostrel/link', '/ostrel/transform'];
  const missing = wanted.filter((topic) => ![...channels.values()].some((c) => c.topic === topic));
  if (missing.length) fail(`no channel ${missing.join(', ')}`);
  const pointsChannel = [...channels.values()].find((c) => c.topic === '/ostrel/points');
  const cloudType = typeFrom(schemas.get(pointsChannel.schemaId));
  const clouds = byTopic['/ostrel/points'] || [];
  if (whole ? clouds.length !== expected.frames.length : clouds.length > expected.frames.length)
    fail(`${clouds.length} point clouds, ${expected.frames.length} good frames`);
  clouds.forEach((message, index) => {
    const cloud = cloudType.toObject(cloudType.decode(message.data), { longs: String, defaults: true });
    checkCloud(cloud, expected.frames[index], index);
    if (message.publishTime !== expected.frames[index].nanos) fail(`frame ${index}: publish time`);
  });
  fs.writeFileSync(rawOut, Buffer.concat((byTopic['/ostrel/raw'] || []).map((m) => Buffer.from(m.data))));
  if (!whole) {
    console.log(`${clouds.length} clouds, ${reader ? 'indexed' : 'read through'}`);
    return;
  }

  const transformChannel = [...channels.values()].find((c) => c.topic === '/ostrel/transform');
  const transformType = typeFrom(schemas.get(transformChannel.schemaId));
  const transform = transformType.decode(byTopic['/ostrel/transform'][0].data);
  if (transform.parentFrameId !== 'robot' || transform.childFrameId !== 'ostrel' || transform.rotation.w !== 1)
    fail(`transform ${JSON.stringify(transform)}`);
  const links = byTopic['/ostrel/link'];
  const last = JSON.parse(Buffer.from(links[links.length - 1].data).toString());
  if (JSON.stringify(last) !== JSON.stringify(expected.counters)) fail(`counters ${JSON.stringify(last)}`);
  const seconds = new Set(expected.frames.map((frame) => frame.nanos / 1000000000n)).size;
  if (live) {
    // Log times are the host's clock: every message logged within the last hour.
    const hostNow = BigInt(Date.now()) * 1000000n;
    if (messages.some((m) => m.logTime > hostNow || m.logTime < hostNow - 3600n * 1000000000n)) fail('log time off the host clock');
    console.log(`${clouds.length} clouds, ${links.length} counter messages, live`);
    return;
  }
  if (links.length < seconds) fail(`${links.length} counter messages over ${seconds} seconds of stamps`);

  // A seek by time is answered from the index: only a part of the file is read.
  const middle = clouds[Math.floor(clouds.length / 2)].logTime;
  counter.bytes = 0;
  const later = [];
  for await (const message of reader.readMessages({ topics: ['/ostrel/points'], startTime: middle, validateCrcs: true }))
    later.push(message.logTime);
  const fromMiddle = clouds.filter((m) => m.logTime >= middle).length;
  if (later.length !== fromMiddle || later[0] !== middle) fail(`seek found ${later.length}, expected ${fromMiddle}`);
  if (counter.bytes > size * 0.75) fail(`the seek read ${counter.bytes} of ${size} bytes`);
  console.log(`${clouds.length} clouds, ${links.length} counter messages, seek read ${counter.bytes} of ${size} bytes`);
}

main().catch((error) => fail(error.stack));
