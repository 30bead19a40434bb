#!/usr/bin/env node
// kestctl export --format las and --format mcap, read back by readers that are
// not ours. copc's LAS 1.4 reader must find in every LAS file (one a cloud, the
// merged map, the thinned map) the header, points, colours, times and
// sequences the recording holds. @mcap/core (with fzstd for zstd chunks) must
// find one well-formed MCAP file, its CRCs right, its summary indexed and
// counted, and @foxglove/rosmsg2-serialization must decode every message, with
// its own channel's ROS 2 schema as @foxglove/rosmsg parses it, to the clouds,
// poses, transforms, pictures and camera calibration of the recording. The
// recording is read here from its file layouts, not through kestctl.
//
// usage: node check_formats.mjs MODULES_DIR KESTCTL WORKDIR [KESTCTL OPTIONS...]
// MODULES_DIR is a node_modules folder holding the packages that package.json
// beside this file pins (npm ci in the build tree). Exit status 0 when every
// check passed, 1 on a failure, and 1 too when a reader is missing.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';
import { createRequire } from 'node:module';

const [modules, kestctl, work, ...extra] = process.argv.slice(2);
if (!work) {
  console.log('FAILED: usage: node check_formats.mjs MODULES_DIR KESTCTL WORKDIR [KESTCTL OPTIONS...]');
  process.exit(1);
}

/** Each pinned package, from MODULES_DIR itself and at package.json's version. */
function loadReaders() {
  try {
    const pins = JSON.parse(fs.readFileSync(new URL('package.json', import.meta.url), 'utf8')).dependencies;
    const root = fs.realpathSync(modules);
    const require = createRequire(path.join(root, '..', 'read-back.cjs'));
    const load = (name) => {
      const file = require.resolve(name);
      if (!file.startsWith(root + path.sep)) throw new Error(`${name} is found at ${file}, not in ${root}`);
      const { version } = require(path.join(root, name, 'package.json'));
      if (version !== pins[name]) throw new Error(`${name} is ${version}, package.json pins ${pins[name]}`);
      return require(file);
    };
    return { Las: load('copc').Las, mcap: load('@mcap/core'), rosmsg: load('@foxglove/rosmsg'),
      ros2: load('@foxglove/rosmsg2-serialization'), fzstd: load('fzstd') };
  } catch (error) {
    console.log(`FAILED: the read-back readers are not installed in ${modules} (scripts/setup installs them): ${error.message}`);
    return process.exit(1);
  }
}

const { Las, mcap, rosmsg, ros2, fzstd } = loadReaders();
let failures = 0;

function check(condition, what) {
  if (!condition) console.log(`FAILED: ${what}`);
  failures += condition ? 0 : 1;
  return Boolean(condition);
}

/** What action returns, or undefined with the failure reported when it throws. */
async function attempt(what, action) {
  try {
    return await action();
  } catch (error) {
    return void check(false, `${what}: ${error.message}`);
  }
}

const show = (v) => JSON.stringify(ArrayBuffer.isView(v) ? Array.from(v) : v, (k, x) => (typeof x === 'bigint' ? `${x}` : x));

/** [] when got is want (numbers within tolerance, lists and objects member by member), else what differs. */
function differs(what, got, want, tolerance = 0) {
  const close = (a, b) => {
    if (typeof a === 'number' && typeof b === 'number') return Math.abs(a - b) <= tolerance;
    if (typeof b !== 'object' || b === null) return a === b;
    const keys = Object.keys(b);
    return typeof a === 'object' && a !== null && Object.keys(a).length === keys.length && keys.every((k) => close(a[k], b[k]));
  };
  return close(got, want) ? [] : [`${what} ${show(got)}, not ${show(want)}`];
}

/** The members of want that got does not match. */
const members = (got, want) => Object.keys(want).flatMap((key) => differs(key, got[key], want[key]));

/** The factor on every time limit: the environment's when a whole number from 1 to 100. */
function timeScale() {
  const value = ['KEST_TIME_SCALE', 'KEST_BUILD_TIME_SCALE'].map((name) => process.env[name] ?? '')
    .find((v) => /^\d+$/.test(v) && Number(v) >= 1 && Number(v) <= 100);
  return value ? Number(value) : 1;
}
const scale = timeScale();

function run(...args) {
  const done = spawnSync(kestctl, args, { encoding: 'utf8', timeout: 600_000 * scale, maxBuffer: 1 << 28 });
  const status = done.error ? done.error.message : done.signal ? `signal ${done.signal}` : done.status;
  check(done.status === 0, `kestctl ${args.join(' ')}: exit ${status}, not 0\n${done.stderr ?? ''}`);
  return done;
}

// ---- the recording, from its file layouts ----

/** {sequence, seconds, count, body} per record; unit: bytes an item after the count, 0 for poses. */
function records(file, unit) {
  const data = fs.readFileSync(file);
  const out = [];
  for (let at = 0; at < data.length;) {
    const count = unit ? data.readUInt32LE(at + 12) : 0;
    const start = at + (unit ? 16 : 12), end = unit ? start + count * unit : at + 40;
    if (end > data.length) throw new Error(`${file}: the record at byte ${at} is cut off`);
    out.push({ sequence: data.readUInt32LE(at), seconds: data.readDoubleLE(at + 4), count, body: data.subarray(start, end) });
    at = end;
  }
  return out;
}

function cloudPoints(cloud) {
  return Array.from({ length: cloud.count }, (_, i) => {
    const b = cloud.body, at = 15 * i;
    return { x: b.readFloatLE(at), y: b.readFloatLE(at + 4), z: b.readFloatLE(at + 8),
      rgb: [b[at + 12], b[at + 13], b[at + 14]], seconds: cloud.seconds, sequence: cloud.sequence };
  });
}

/** Poses with a quaternion, that normalised to unit length (all-zero ones are left out). */
function posesWithRotation(poses) {
  return poses.flatMap(({ seconds, body }) => {
    const [x, y, z, qx, qy, qz, qw] = [0, 1, 2, 3, 4, 5, 6].map((k) => body.readFloatLE(4 * k));
    const norm = Math.hypot(qx, qy, qz, qw);
    return norm === 0 ? [] : [{ seconds, position: { x, y, z }, quaternion: { x: qx / norm, y: qy / norm, z: qz / norm, w: qw / norm } }];
  });
}

const CAMERA_KEYS = ['image_width', 'image_height', 'k2', 'k3', 'k4', 'k5', 'k6', 'k7', 'p1', 'p2', 'A11', 'A12', 'A22', 'u0', 'v0'];

/** The converted camera calibration's numbers by name, or null when the file was not converted. */
function calibration(recording) {
  const text = fs.readFileSync(`${recording}/image/cam_in_ex.txt`, 'utf8');
  if (text.startsWith('# camera intrinsics/extrinsics TBD')) return null;
  const values = Object.fromEntries([...text.matchAll(/^ {3}(\w+): (\S+)$/gm)].map(([, key, v]) => [key, Number(v)]));
  const missing = CAMERA_KEYS.filter((key) => !Number.isFinite(values[key]));
  check(text.startsWith('Tcl_0: [') && !missing.length, `cam_in_ex.txt lacks ${missing.join(', ') || 'its Tcl_0 matrix'}`);
  return values;
}

// ---- LAS ----

const LAS_SCALE = 0.0001, NEAR = 0.5 * LAS_SCALE + 1e-9;
const LAS_FIELDS = [ // what, copc's dimension, the recorded value, the difference allowed
  ['x', 'X', (p) => p.x, NEAR], ['y', 'Y', (p) => p.y, NEAR], ['z', 'Z', (p) => p.z, NEAR],
  ['red', 'Red', (p) => p.rgb[0] * 257, 0], ['green', 'Green', (p) => p.rgb[1] * 257, 0],
  ['blue', 'Blue', (p) => p.rgb[2] * 257, 0], ['GPS time', 'GpsTime', (p) => p.seconds, 0],
  ['point source id', 'PointSourceId', (p) => p.sequence & 0xffff, 0], ['intensity', 'Intensity', () => 0, 0],
  ['return number', 'ReturnNumber', () => 1, 0], ['number of returns', 'NumberOfReturns', () => 1, 0],
  ['classification', 'Classification', () => 0, 0],
];

function readLas(file) {
  const bytes = new Uint8Array(fs.readFileSync(file));
  const header = Las.Header.parse(bytes);
  const start = header.pointDataOffset;
  const view = Las.View.create(bytes.subarray(start, start + header.pointCount * header.pointDataRecordLength), header);
  return { file, bytes, header, view };
}

/** The least and the greatest x, y and z of the points as the reader decodes them. */
function pointBounds(view) {
  return ['X', 'Y', 'Z'].map((dimension) => {
    const get = view.getter(dimension);
    let [low, high] = [Infinity, -Infinity];
    for (let i = 0; i < view.pointCount; i += 1) [low, high] = [Math.min(low, get(i)), Math.max(high, get(i))];
    return [low, high];
  });
}

function checkLasHeader({ file, bytes, header: h, view }, count) {
  const raw = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const got = { version: `${h.majorVersion}.${h.minorVersion}`, 'point format': h.pointDataRecordFormat,
    'point format byte': raw.getUint8(104), 'record length': h.pointDataRecordLength, 'header size': h.headerLength,
    'point data offset': h.pointDataOffset, VLRs: h.vlrCount, EVLRs: h.evlrCount, points: h.pointCount,
    'points read': view.pointCount, 'points by return': h.pointCountByReturn, 'file size': bytes.length, scale: h.scale,
    // Not in the reader's LAS 1.4 header: the legacy point count and counts by return, read here.
    'legacy counts': [107, 111, 115, 119, 123, 127].map((at) => raw.getUint32(at, true)) };
  const wrong = members(got, { version: '1.4', 'point format': 7, 'point format byte': 7, 'record length': 36,
    'header size': 375, 'point data offset': 375, VLRs: 0, EVLRs: 0, points: count, 'points read': count,
    'points by return': [count, ...Array(14).fill(0)], 'file size': 375 + 36 * count,
    scale: [LAS_SCALE, LAS_SCALE, LAS_SCALE], 'legacy counts': [0, 0, 0, 0, 0, 0] });
  const bounds = pointBounds(view);
  wrong.push(...differs('header minimum', h.min, bounds.map((b) => b[0]), 1e-9),
    ...differs('header maximum', h.max, bounds.map((b) => b[1]), 1e-9));
  check(!wrong.length, `${file}: ${wrong.join('; ')}`);
}

/** Every point as copc decodes it against the recorded one, field by field. */
function compareLasPoints({ file, header, view }, want) {
  if (view.pointCount !== want.length || header.pointDataRecordFormat !== 7) return;
  for (const [what, dimension, value, tolerance] of LAS_FIELDS) {
    const get = view.getter(dimension);
    const bad = want.flatMap((p, i) => (Math.abs(get(i) - value(p)) <= tolerance ? [] : [i]));
    if (bad.length) {
      check(false, `${file}: ${what} differs at ${bad.length} of ${want.length} points, ` +
        `first at point ${bad[0]}: ${get(bad[0])}, not ${value(want[bad[0]])}`);
    }
  }
}

function checkCloudIndex(dir, clouds) {
  const [head, ...lines] = fs.readFileSync(`${dir}/clouds.csv`, 'utf8').trim().split('\n');
  check(head === 'file,sequence,time,points', `${dir}/clouds.csv: header line ${head}`);
  check(lines.length === clouds.length, `${dir}/clouds.csv: ${lines.length} clouds listed, not ${clouds.length}`);
  clouds.forEach((cloud, i) => {
    const [file, sequence, time, points] = (lines[i] ?? '').split(',');
    check(file === `cloud_${String(i).padStart(6, '0')}.las` && Number(sequence) === cloud.sequence &&
      Number(points) === cloud.count && Math.abs(Number(time) - cloud.seconds) < 1e-6,
    `${dir}/clouds.csv line ${i + 2}: ${lines[i]}, not cloud ${i}: ${cloud.sequence}, ${cloud.seconds}, ${cloud.count} points`);
  });
}

/** Thinned: it reads, holds no more points than the map, and lies inside the map's bounds. */
function checkThinned(thin, map) {
  const { file, header: h } = thin;
  checkLasHeader(thin, h.pointCount);
  check(h.pointCount > 0 && h.pointCount <= map.header.pointCount, `${file}: ${h.pointCount} points, not 1 to ${map.header.pointCount}`);
  const inside = [0, 1, 2].every((k) => h.min[k] >= map.header.min[k] - LAS_SCALE && h.max[k] <= map.header.max[k] + LAS_SCALE);
  check(inside, `${file}: spans ${h.min} to ${h.max}, outside the map's ${map.header.min} to ${map.header.max}`);
}

async function checkLas(recording, clouds) {
  const dir = `${work}/las`;
  run('export', recording, '--format', 'las', '--out', dir);
  await attempt(`${dir}/clouds.csv`, () => checkCloudIndex(dir, clouds));
  for (const [i, cloud] of clouds.entries()) {
    const las = await attempt(`cloud ${i} as LAS`, () => readLas(`${dir}/cloud_${String(i).padStart(6, '0')}.las`));
    if (las) checkLasHeader(las, cloud.count);
    if (las) compareLasPoints(las, cloudPoints(cloud));
  }
  // One map of every cloud's points, in recording order.
  run('export', recording, '--format', 'las', '--merge', '--out', `${work}/las-map`);
  const all = clouds.flatMap(cloudPoints);
  const map = await attempt('the merged map as LAS', () => readLas(`${work}/las-map/map.las`));
  if (map) checkLasHeader(map, all.length);
  if (map) compareLasPoints(map, all);
  run('export', recording, '--format', 'las', '--merge', '--voxel', '0.05', '--out', `${work}/las-vox`);
  const thin = await attempt('the thinned map as LAS', () => readLas(`${work}/las-vox/map.las`));
  if (thin && map) checkThinned(thin, map);
}

// ---- MCAP ----

const TOPICS = {
  '/kestone/points': 'sensor_msgs/msg/PointCloud2',
  '/kestone/pose': 'geometry_msgs/msg/PoseStamped',
  '/tf': 'tf2_msgs/msg/TFMessage',
  '/kestone/camera/image/compressed': 'sensor_msgs/msg/CompressedImage',
  '/kestone/camera/camera_info': 'sensor_msgs/msg/CameraInfo',
};
const HEADER = 'std_msgs/Header header';
const XYZ = 'float64 x; float64 y; float64 z';
/** ROS 2's definitions of these types and their dependencies, as fields (constants left out). */
const ROS2_TYPES = {
  'std_msgs/Header': 'time stamp; string frame_id',
  'builtin_interfaces/Time': 'int32 sec; uint32 nanosec',
  'sensor_msgs/PointCloud2': `${HEADER}; uint32 height; uint32 width; sensor_msgs/PointField[] fields; ` +
    'bool is_bigendian; uint32 point_step; uint32 row_step; uint8[] data; bool is_dense',
  'sensor_msgs/PointField': 'string name; uint32 offset; uint8 datatype; uint32 count',
  'geometry_msgs/PoseStamped': `${HEADER}; geometry_msgs/Pose pose`,
  'geometry_msgs/Pose': 'geometry_msgs/Point position; geometry_msgs/Quaternion orientation',
  'geometry_msgs/Point': XYZ,
  'geometry_msgs/Vector3': XYZ,
  'geometry_msgs/Quaternion': `${XYZ}; float64 w`,
  'tf2_msgs/TFMessage': 'geometry_msgs/TransformStamped[] transforms',
  'geometry_msgs/TransformStamped': `${HEADER}; string child_frame_id; geometry_msgs/Transform transform`,
  'geometry_msgs/Transform': 'geometry_msgs/Vector3 translation; geometry_msgs/Quaternion rotation',
  'sensor_msgs/CompressedImage': `${HEADER}; string format; uint8[] data`,
  'sensor_msgs/CameraInfo': `${HEADER}; uint32 height; uint32 width; string distortion_model; float64[] d; ` +
    'float64[9] k; float64[9] r; float64[12] p; uint32 binning_x; uint32 binning_y; sensor_msgs/RegionOfInterest roi',
  'sensor_msgs/RegionOfInterest': 'uint32 x_offset; uint32 y_offset; uint32 height; uint32 width; bool do_rectify',
};
const plainType = (type) => type.replace('/msg/', '/');
const fieldsOf = (definition) => definition.definitions.filter((f) => !f.isConstant)
  .map((f) => `${plainType(f.type)}${f.isArray ? `[${f.arrayLength ?? ''}]` : ''} ${f.name}`).join('; ');

const decompressHandlers = {
  zstd: (data, size) => {
    const out = fzstd.decompress(data);
    if (BigInt(out.length) !== size) throw new Error(`a zstd chunk holds ${out.length} bytes, not ${size}`);
    return out;
  },
};

/** Every record in file order, each chunk's CRC checked. */
function streamRecords(bytes) {
  const reader = new mcap.McapStreamReader({ includeChunks: true, validateCrcs: true, decompressHandlers });
  reader.append(bytes);
  const all = [];
  for (let record; (record = reader.nextRecord());) all.push(record);
  check(reader.done(), 'the MCAP stream ends in its footer');
  const of = (type) => all.filter((r) => r.type === type);
  return { header: of('Header')[0], chunks: of('Chunk'), messages: of('Message'), dataEnd: of('DataEnd')[0] };
}

const messageKey = (m) => `${m.channelId} ${m.sequence} ${m.logTime} ${m.publishTime} ${zlib.crc32(m.data)} ${m.data.length}`;
const [earlier, later] = [(a, b) => (b < a ? b : a), (a, b) => (b > a ? b : a)];

/** The container: profile, CRCs, chunk and message indexes, statistics, message order. */
async function checkContainer(file, bytes, stream, indexed) {
  const { messages } = stream;
  const times = messages.map((m) => m.logTime);
  const found = [];
  for await (const message of indexed.readMessages({ validateCrcs: true })) found.push(message);
  const stats = indexed.statistics ?? {};
  const got = { profile: stream.header?.profile, 'chunks without a CRC': stream.chunks.filter((c) => !c.uncompressedCrc).length,
    'summary CRC written': indexed.footer.summaryCrc !== 0, 'data section CRC': stream.dataEnd?.dataSectionCrc || 'none',
    'chunk indexes': indexed.chunkIndexes.length, 'chunk indexes with message indexes':
      indexed.chunkIndexes.filter((c) => c.messageIndexOffsets.size > 0).length,
    'messages the indexes find': found.length,
    'the same messages as the data section': found.map(messageKey).sort().join() === messages.map(messageKey).sort().join(),
    'log times in file order': times.every((t, i) => !i || t >= times[i - 1]),
    'statistics message count': stats.messageCount, 'statistics chunk count': stats.chunkCount,
    'statistics channel and schema counts': [stats.channelCount, stats.schemaCount],
    'statistics message counts by channel': Object.fromEntries([...stats.channelMessageCounts ?? []].filter(([, n]) => n > 0n)),
    'statistics time span': [stats.messageStartTime, stats.messageEndTime] };
  const byChannel = [...indexed.channelsById.keys()].map((id) => [id, BigInt(messages.filter((m) => m.channelId === id).length)])
    .filter(([, count]) => count > 0n);
  const wrong = members(got, { profile: 'ros2', 'chunks without a CRC': 0, 'summary CRC written': true,
    'data section CRC': zlib.crc32(bytes.subarray(0, Number(indexed.dataEndOffset))),
    'chunk indexes': stream.chunks.length, 'chunk indexes with message indexes': stream.chunks.length,
    'messages the indexes find': messages.length, 'the same messages as the data section': true,
    'log times in file order': true,
    'statistics message count': BigInt(messages.length), 'statistics chunk count': indexed.chunkIndexes.length,
    'statistics channel and schema counts': [indexed.channelsById.size, indexed.schemasById.size],
    'statistics message counts by channel': Object.fromEntries(byChannel),
    'statistics time span': [times.reduce(earlier), times.reduce(later)] });
  check(!wrong.length, `${file}: ${wrong.join('; ')}`);
}

/** A CDR reader per channel, from its own schema; the schemas are ROS 2's own definitions. */
function channelReaders(file, indexed, topics) {
  const readers = new Map();
  for (const [id, channel] of indexed.channelsById) {
    const schema = indexed.schemasById.get(channel.schemaId), want = TOPICS[channel.topic];
    const label = `${file}: ${channel.topic}`;
    if (!check(schema && want, `${label}: an unknown topic, or no schema`)) continue;
    const wrong = members({ schema: schema.name, 'schema encoding': schema.encoding, 'message encoding': channel.messageEncoding },
      { schema: want, 'schema encoding': 'ros2msg', 'message encoding': 'cdr' });
    check(!wrong.length, `${label}: ${wrong.join('; ')}`);
    const definitions = rosmsg.parse(new TextDecoder().decode(schema.data), { ros2: true });
    for (const definition of definitions) {
      const type = plainType(definition.name ?? schema.name);
      check(ROS2_TYPES[type] === fieldsOf(definition), `${label}: ${type} has fields ${fieldsOf(definition)}, not ${ROS2_TYPES[type]}`);
    }
    readers.set(id, { topic: channel.topic, reader: new ros2.MessageReader(definitions) });
  }
  const found = [...readers.values()].map((r) => r.topic);
  check(found.sort().join() === [...topics].sort().join(), `${file}: topics ${found}, not ${topics}`);
  return readers;
}

/** Every message decoded, by topic in file order; none may hold bytes past its fields (but CDR padding). */
function decodeAll(file, messages, readers) {
  const byTopic = new Map(Object.keys(TOPICS).map((topic) => [topic, []]));
  for (const message of messages) {
    const channel = readers.get(message.channelId);
    if (!channel) continue;
    const decoded = channel.reader.readMessage(message.data);
    byTopic.get(channel.topic).push({ ...message, decoded, left: message.data.length - channel.reader.lastReadByteLength() });
  }
  for (const [topic, list] of byTopic) {
    const long = list.filter((m) => m.left > 3);
    check(!long.length, `${file}: ${long.length} ${topic} messages have bytes past their fields, ${long[0]?.left} the first`);
  }
  return byTopic;
}

function nanoseconds(seconds) {
  const whole = Math.floor(seconds);
  return BigInt(whole) * 1_000_000_000n + BigInt(Math.round((seconds - whole) * 1e9));
}

function headerProblems(header, frame, seconds) {
  const whole = Math.floor(seconds), { sec, nanosec } = header.stamp;
  const off = nanosec >= 1e9 || Math.abs(sec - whole + (nanosec * 1e-9 - (seconds - whole))) > 1e-6;
  return [...differs('frame_id', header.frame_id, frame), ...(off ? [`stamp ${sec} s ${nanosec} ns, not ${seconds}`] : [])];
}

/** The first point whose x, y, z differ from the recorded float32s or whose rgb is not 0x00RRGGBB. */
function wrongPoint(data, body, count) {
  const hex = (bytes) => Buffer.from(bytes).toString('hex');
  for (let i = 0; i < count; i += 1) {
    const got = data.subarray(16 * i, 16 * i + 16), xyz = body.subarray(15 * i, 15 * i + 12);
    const rgb = [body[15 * i + 14], body[15 * i + 13], body[15 * i + 12], 0];
    if (Buffer.compare(got.subarray(0, 12), xyz) || rgb.some((v, k) => got[12 + k] !== v)) {
      return [`point ${i}: bytes ${hex(got)}, not ${hex(xyz)} ${hex(rgb)}`];
    }
  }
  return [];
}

function cloudProblems(m, cloud) {
  const n = cloud.count;
  const wrong = [...headerProblems(m.header, 'map', cloud.seconds),
    ...members({ ...m, fields: m.fields.map((f) => `${f.name} ${f.offset} ${f.datatype} ${f.count}`).join(', '),
      'data bytes': m.data.length }, { height: 1, width: n, fields: 'x 0 7 1, y 4 7 1, z 8 7 1, rgb 12 7 1',
      point_step: 16, row_step: 16 * n, 'data bytes': 16 * n, is_bigendian: false, is_dense: true })];
  return wrong.length ? wrong : wrongPoint(m.data, cloud.body, n);
}

/** A place in the map: the recorded position as it is, the quaternion normalised. */
function placeProblems(header, [where, position], [turn, orientation], pose) {
  return [...headerProblems(header, 'map', pose.seconds), ...differs(where, position, pose.position),
    ...differs(turn, orientation, pose.quaternion, 1e-6)];
}

const poseProblems = (m, pose) => placeProblems(m.header, ['position', m.pose.position], ['orientation', m.pose.orientation], pose);

function transformProblems(m, pose) {
  if (m.transforms.length !== 1) return [`${m.transforms.length} transforms, not 1`];
  const [{ header, child_frame_id: child, transform: t }] = m.transforms;
  return [...differs('child_frame_id', child, 'kestone'), ...placeProblems(header, ['translation', t.translation], ['rotation', t.rotation], pose)];
}

function imageProblems(m, image) {
  const same = Buffer.compare(m.data, image.body) === 0;
  return [...headerProblems(m.header, 'kestone_camera', image.seconds), ...differs('format', m.format, 'jpeg'),
    ...(same ? [] : [`picture of ${m.data.length} bytes differs from the recorded JPEG of ${image.body.length}`])];
}

function cameraInfoProblems(m, image, c) {
  const plumbBob = c.k3 === 0 && c.k5 === 0 && c.k7 === 0;
  return [...headerProblems(m.header, 'kestone_camera', image.seconds),
    ...differs('width', m.width, c.image_width), ...differs('height', m.height, c.image_height),
    ...differs('distortion_model', m.distortion_model, plumbBob ? 'plumb_bob' : 'kestone_radial_k2_k7_tangential_p1_p2'),
    ...differs('d', m.d, plumbBob ? [c.k2, c.k4, c.p1, c.p2, c.k6] : [c.k2, c.k3, c.k4, c.k5, c.k6, c.k7, c.p1, c.p2], 1e-6),
    ...differs('k', m.k, [c.A11, c.A12, c.u0, 0, c.A22, c.v0, 0, 0, 1], 1e-6),
    ...differs('r', m.r, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1e-6),
    ...differs('p', m.p, [c.A11, c.A12, c.u0, 0, 0, c.A22, c.v0, 0, 0, 0, 1, 0], 1e-6)];
}

/** One message a record, in order: its times and every compared field. */
function checkTopic(file, topic, messages, wanted, problems) {
  if (!check(messages.length === wanted.length, `${file}: ${messages.length} messages on ${topic}, not ${wanted.length}`)) return;
  const wrong = messages.flatMap((m, i) => {
    const want = nanoseconds(wanted[i].seconds);
    const found = [...(m.logTime === m.publishTime ? [] : [`publish time ${m.publishTime}, log time ${m.logTime}`]),
      ...(m.logTime - want <= 1000n && want - m.logTime <= 1000n ? [] : [`log time ${m.logTime}, not ${want}`]),
      ...problems(m.decoded, wanted[i])];
    return found.length ? [`${topic} message ${i}: ${found.join('; ')}`] : [];
  });
  wrong.slice(0, 5).forEach((what) => check(false, `${file}: ${what}`));
  check(wrong.length <= 5, `${file}: ${wrong.length} messages on ${topic} differ in all`);
}

async function checkMcap(recording, name, { clouds, poses, images, camera }) {
  const dir = `${work}/mcap`;
  run('export', recording, '--format', 'mcap', '--out', dir);
  const file = `${dir}/${name}.mcap`;
  const bytes = await attempt(file, () => new Uint8Array(fs.readFileSync(file)));
  const stream = bytes && await attempt(`${file} (McapStreamReader)`, () => streamRecords(bytes));
  const readable = { size: async () => BigInt(bytes.length), read: async (at, size) => bytes.subarray(Number(at), Number(at + size)) };
  const indexed = stream && await attempt(`${file} (McapIndexedReader)`,
    () => mcap.McapIndexedReader.Initialize({ readable, decompressHandlers }));
  if (!indexed) return;
  await attempt(`${file}: the container`, () => checkContainer(file, bytes, stream, indexed));
  const topics = Object.keys(TOPICS).filter((topic) => camera || !topic.endsWith('camera_info'));
  const byTopic = await attempt(`${file}: decoding`, () => decodeAll(file, stream.messages, channelReaders(file, indexed, topics)));
  if (!byTopic) return;
  const rotated = posesWithRotation(poses);
  const wanted = { '/kestone/points': [clouds, cloudProblems], '/kestone/pose': [rotated, poseProblems],
    '/tf': [rotated, transformProblems], '/kestone/camera/image/compressed': [images, imageProblems],
    '/kestone/camera/camera_info': [images, (m, image) => cameraInfoProblems(m, image, camera)] };
  for (const topic of topics) checkTopic(file, topic, byTopic.get(topic), ...wanted[topic]);
}

async function main() {
  fs.rmSync(work, { recursive: true, force: true });
  fs.mkdirSync(work, { recursive: true });
  // A recording of the virtual KestOne, as kestctl record makes it.
  const made = run('--virtual-device', ...extra, 'record', '--seconds', String(2 * scale), '--dir', `${work}/rec`);
  const found = /recording: (\S+)\n/.exec(made.stdout ?? '');
  if (!check(found, 'kestctl record names its recording')) return;
  const recording = found[1], name = path.basename(recording);
  const recorded = { clouds: records(`${recording}/MT${name}.kvx`, 15), poses: records(`${recording}/KestPose.bin`, 0),
    images: records(`${recording}/KestImage.bin`, 1), camera: calibration(recording) };
  const { clouds, poses, images, camera } = recorded;
  check(clouds.length > 1 && posesWithRotation(poses).length > 1 && images.length > 1, 'the recording holds every stream');
  check(camera, 'the recording holds its camera calibration converted');
  await checkLas(recording, clouds);
  await checkMcap(recording, name, recorded);
}

await attempt('the read-back', main);
console.log(failures ? `${failures} failures` : 'every LAS and MCAP export read back as recorded');
process.exit(failures ? 1 : 0);
