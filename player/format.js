// The ZEL file format (docs/zel-format.md): file head, frames, CRC-32C and the
// payload of every record type of versions 1 to 3, decoded strictly.
import { sha256 } from './vendor/noble-hashes/sha2.js';
import { zstdDecompress } from './zstd.js';

export const T = {
  DONE: 0, HEADER: 2, IMAGE: 3, CIMAGE: 4, CURSOR: 5, POSITION: 6, SCREEN: 7, LAST_INPUT: 8,
  APP: 9, HOST: 10, IP: 11, SID: 12, TID: 13, BLOCKS: 14, CBLOCKS: 15, APPFMT: 16,
  CCURSOR: 17, COPY: 18, SEAL: 19, WINDOW: 20, INTERRUPTION: 21, KEYFRAME: 128,
};
export const END_REASONS = ['unspecified', 'signal', 'stdin-closed', 'size-limit', 'display-gone', 'write-failed'];
export const WINDOW_EVENTS = [null, 'shown', 'title', 'geometry', 'gone'];
export const GAP_CAUSES = [null, 'connection-lost', 'input-lost', 'resource-lost', 'manager-changed'];
export const MAX_BYTES = 4096;
export const FOOTER_NAMES = { 9: 'application', 10: 'host', 11: 'address', 12: 'session id', 13: 'ticket id', 16: 'application format' };
export const HEAD_SIZE = 16;
export const FRAME_OVERHEAD = 24;
export const MAX_PAYLOAD = 512 * 1024 * 1024;
export const MAGIC = [0x89, 0x5a, 0x45, 0x4c, 0x0d, 0x0a, 0x1a, 0x0a];

export class FormatError extends Error {}

// A recording that ends before anything can be read of it (its file head is
// cut short): truncated, as libzel says, not an error.
export class TruncatedHead extends FormatError {}

export function knownType(type, version) {
  if (type === 0 || (type >= 2 && type <= 16) || type === 128) return true;
  return (version >= 2 && type >= 17 && type <= 19) || (version >= 3 && (type === 20 || type === 21));
}

// ---- CRC-32C (Castagnoli, reflected 0x82F63B78), eight bytes at a time ----
const CRC_TABLES = (() => {
  const t = new Uint32Array(8 * 256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? (c >>> 1) ^ 0x82f63b78 : c >>> 1;
    t[n] = c;
  }
  for (let n = 0; n < 256; n++) for (let k = 1; k < 8; k++) t[k * 256 + n] = (t[(k - 1) * 256 + n] >>> 8) ^ t[t[(k - 1) * 256 + n] & 255];
  return t;
})();

export function crc32c(b, start = 0, end = b.length) {
  const t = CRC_TABLES;
  let c = 0xffffffff, i = start;
  for (; i + 8 <= end; i += 8) {
    const lo = c ^ (b[i] | (b[i + 1] << 8) | (b[i + 2] << 16) | (b[i + 3] << 24));
    c = t[1792 + (lo & 255)] ^ t[1536 + ((lo >>> 8) & 255)] ^ t[1280 + ((lo >>> 16) & 255)] ^ t[1024 + (lo >>> 24)] ^
      t[768 + b[i + 4]] ^ t[512 + b[i + 5]] ^ t[256 + b[i + 6]] ^ t[b[i + 7]];
  }
  for (; i < end; i++) c = t[(c ^ b[i]) & 255] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

export const u16 = (b, o) => b[o] | (b[o + 1] << 8);
export const u32 = (b, o) => (b[o] | (b[o + 1] << 8) | (b[o + 2] << 16) | (b[o + 3] << 24)) >>> 0;
export const u64 = (b, o) => u32(b, o) + u32(b, o + 4) * 4294967296; // exact below 2^53
const i16 = (b, o) => (u16(b, o) << 16) >> 16;

// The file head: the format version, or a FormatError.
export function parseFileHead(b) {
  for (let i = 0; i < 8; i++) if (b[i] !== MAGIC[i]) throw new FormatError('not a ZEL recording (bad magic)');
  if (crc32c(b, 0, 12) !== u32(b, 12)) throw new FormatError('file head checksum is wrong');
  const version = u16(b, 8);
  if (version < 1 || version > 3) throw new FormatError(`format version ${version} is not supported`);
  if (u16(b, 10) !== 0) throw new FormatError('file head flags are not 0');
  return version;
}

// A frame head at o (20 bytes there): {type, length, time}, or a string saying what is wrong.
export function parseFrameHead(b, o, version) {
  if (crc32c(b, o, o + 16) !== u32(b, o + 16)) return 'frame head checksum is wrong';
  const type = b[o], length = u32(b, o + 4);
  if (!knownType(type, version)) return `unknown record type ${type}`;
  if (b[o + 1] !== 0 || b[o + 2] !== 0 || b[o + 3] !== 0) return 'frame flags or reserved bytes are not 0';
  if (length > MAX_PAYLOAD) return 'payload length past the limit';
  return { type, length, time: u64(b, o + 8) };
}

export function frameCrcOk(b, o, length) {
  return crc32c(b, o, o + 20 + length) === u32(b, o + 20 + length);
}

// The first offset at or after `from` where a whole frame (head and frame
// checksums right) starts inside b; -1 when none does.
export function resync(b, from, version) {
  for (let o = from; o + FRAME_OVERHEAD <= b.length; o++) {
    if (b[o + 1] !== 0 || b[o + 2] !== 0 || b[o + 3] !== 0 || !knownType(b[o], version) || b[o + 7] > 0x20) continue;
    const h = parseFrameHead(b, o, version);
    if (typeof h !== 'string' && o + FRAME_OVERHEAD + h.length <= b.length && frameCrcOk(b, o, h.length)) return o;
  }
  return -1;
}

// ---- payloads ----

class Fields {
  constructor(b, version) { this.b = b; this.at = 0; this.version = version; }
  take(n) {
    if (n > this.b.length - this.at) throw new FormatError('payload too short for its fields');
    const v = this.b.subarray(this.at, this.at + n);
    this.at += n;
    return v;
  }
  u8() { return this.take(1)[0]; }
  u16() { const v = u16(this.b, this.at); this.take(2); return v; }
  i16() { const v = i16(this.b, this.at); this.take(2); return v; }
  u32() { const v = u32(this.b, this.at); this.take(4); return v; }
  i32() { return this.u32() | 0; }
  u64() { const v = u64(this.b, this.at); this.take(8); return v; }
  format() {
    const v = this.u32() | 0;
    if (v < -1 || v > 13) throw new FormatError('pixel format out of range');
    return v;
  }
  string() {
    const n = this.u32();
    if (n === 0xffffffff) return null;
    const s = this.take(n);
    if (s.includes(0)) throw new FormatError('string holds a NUL byte');
    return new TextDecoder().decode(s);
  }
  // Any bytes (NUL allowed), at most MAX_BYTES; null for no value.
  bytes() {
    const n = this.u32();
    if (n === 0xffffffff) return null;
    if (n > MAX_BYTES) throw new FormatError('bytes field longer than 4096 bytes');
    return this.take(n);
  }
  zstd() {
    if (this.u8() !== 1) throw new FormatError('unknown compression method');
    return this.compressed();
  }
  compressed() {
    const length = this.u32(), clen = this.u32();
    if (length > MAX_PAYLOAD) throw new FormatError('uncompressed length past the limit');
    if (clen !== this.b.length - this.at) throw new FormatError('compressed length does not match the payload');
    return { length, data: this.take(clen) };
  }
  rest() { return this.take(this.b.length - this.at); }
  end() { if (this.at !== this.b.length) throw new FormatError('payload has bytes left over after its fields'); }
}

function header(f) {
  const h = { version: f.u8(), depth: f.u8(), width: f.u16(), height: f.u16(), format: f.format(), pad: f.u8(),
    minKeycode: f.u8(), maxKeycode: f.u8() };
  const size = f.u16(), present = f.u8();
  if (present > 1) throw new FormatError('palette flag is neither 0 nor 1');
  h.palette = null;
  if (present) {
    const p = f.take(size * 6);
    h.palette = [];
    for (let i = 0; i < size; i++) h.palette.push([u16(p, 6 * i), u16(p, 6 * i + 2), u16(p, 6 * i + 4)]);
  }
  h.user = f.string();
  h.tfn = f.string();
  return h;
}

function geometry(f) {
  return { width: f.u16(), height: f.u16(), x: f.i16(), y: f.i16(), format: f.format(), pad: f.u8() };
}

function cursorHead(f) {
  return { width: f.u16(), height: f.u16(), x: f.i16(), y: f.i16(), xhot: f.u16(), yhot: f.u16(), serial: f.u32() };
}

function seal(f) {
  const s = { offset: f.u64(), chain: f.take(32), flags: f.u8(), keyId: null, signature: null, publicKey: null };
  const kind = s.flags & 3; // bit 2: the final seal, right before the end-of-data record
  if (s.flags > 7 || kind === 2) throw new FormatError('unknown seal flags');
  if (f.b.length !== [41, 113, 0, 145][kind]) throw new FormatError('seal flags and length do not agree');
  if (s.flags & 1) { s.keyId = f.take(8); s.signature = f.take(64); }
  if (s.flags & 2) s.publicKey = f.take(32);
  return s;
}

// Versions 1 and 2: nothing; version 3: why the recording ended.
function doneRecord(f) {
  if (f.version < 3) return { reason: 'unspecified' };
  const code = f.u8();
  if (code >= END_REASONS.length) throw new FormatError('unknown end reason');
  return { reason: END_REASONS[code], signal: f.i32(), pid: f.i32(), uid: f.u32() };
}

const text = (b) => (b === null ? null : new TextDecoder().decode(b));

function windowRecord(f) {
  const w = { window: f.u32(), event: WINDOW_EVENTS[f.u8()] };
  if (!w.event) throw new FormatError('unknown window event');
  if (w.event === 'shown') {
    w.flags = f.u8();
    if (w.flags & ~3) throw new FormatError('unknown window flags');
  }
  if (w.event === 'shown' || w.event === 'geometry') Object.assign(w, { x: f.i16(), y: f.i16(), width: f.u16(), height: f.u16(), z: f.u16() });
  if (w.event === 'shown') {
    Object.assign(w, { transientFor: f.u32(), client: f.u32(), pid: f.i32(), uid: f.u32() });
    const command = f.bytes();
    w.command = command === null ? null : text(command).split('\0').join(' ');
  }
  if (w.event === 'shown' || w.event === 'title') w.title = text(f.bytes());
  if (w.event === 'shown') Object.assign(w, { instance: text(f.bytes()), className: text(f.bytes()) });
  return w;
}

function interruptionRecord(f, time) {
  const i = { from: f.u64(), cause: GAP_CAUSES[f.u8()] };
  if (i.from > time) throw new FormatError('interruption begins after its end');
  if (!i.cause) throw new FormatError('unknown interruption cause');
  i.detail = text(f.bytes());
  return i;
}

const DECODERS = {
  [T.DONE]: doneRecord,
  [T.WINDOW]: windowRecord,
  [T.INTERRUPTION]: interruptionRecord,
  [T.HEADER]: header,
  [T.IMAGE]: (f) => {
    const g = geometry(f);
    g.bytesPerLine = f.u32();
    const length = f.u32();
    if (length !== f.b.length - f.at) throw new FormatError('image length does not match the payload');
    g.pixels = f.take(length);
    return g;
  },
  [T.CIMAGE]: (f) => Object.assign(geometry(f), { z: f.zstd() }),
  [T.CURSOR]: (f) => {
    const c = cursorHead(f), count = f.u32();
    const raw = f.take(count * 4);
    c.pixels = new Uint32Array(count);
    for (let i = 0; i < count; i++) c.pixels[i] = u32(raw, 4 * i);
    return c;
  },
  [T.CCURSOR]: (f) => {
    const c = cursorHead(f);
    if (f.u8() !== 1) throw new FormatError('unknown compression method');
    c.count = f.u32();
    if (c.count !== c.width * c.height || c.count > MAX_PAYLOAD / 4) throw new FormatError('cursor pixel count is not width x height');
    const clen = f.u32();
    if (clen !== f.b.length - f.at) throw new FormatError('compressed length does not match the payload');
    c.z = { length: 4 * c.count, data: f.take(clen) };
    return c;
  },
  [T.POSITION]: (f) => ({ x: f.i16(), y: f.i16() }),
  [T.SCREEN]: (f) => ({ width: f.u16(), height: f.u16() }),
  [T.LAST_INPUT]: (f) => ({ user: f.string(), tfn: f.string() }),
  [T.BLOCKS]: (f) => {
    const length = f.u32();
    if (length !== f.b.length - f.at) throw new FormatError('block length does not match the payload');
    return { entries: f.rest() };
  },
  [T.CBLOCKS]: (f) => ({ z: f.zstd() }),
  [T.COPY]: (f) => {
    const n = f.u32();
    if (n < 1) throw new FormatError('copy record with no entries');
    const rects = [];
    for (let i = 0; i < n; i++) rects.push({ sx: f.i16(), sy: f.i16(), w: f.u16(), h: f.u16(), dx: f.i16(), dy: f.i16() });
    return { rects };
  },
  [T.SEAL]: seal,
};
DECODERS[T.KEYFRAME] = DECODERS[T.CIMAGE];
for (const t of [T.APP, T.HOST, T.IP, T.SID, T.TID, T.APPFMT]) {
  DECODERS[t] = (f) => {
    const item = f.string();
    if (item === null) throw new FormatError('footer item is null');
    return { item };
  };
}

// A record from its frame's type, time and payload (of a file of this format
// version); a FormatError when the payload does not hold exactly its fields.
// Byte fields are views into payload.
export function decodeRecord(type, time, payload, version) {
  const f = new Fields(payload, version);
  const r = DECODERS[type](f, time);
  f.end();
  r.type = type;
  r.time = time;
  return r;
}

// Content size stated in a zstd frame header (RFC 8878), or -1 when absent.
function zstdContentSize(d) {
  if (d.length < 6 || u32(d, 0) !== 0xfd2fb528) return -1;
  const fhd = d[4], fcsFlag = fhd >> 6, single = (fhd >> 5) & 1, dictFlag = fhd & 3;
  let o = 5 + (single ? 0 : 1) + [0, 1, 2, 4][dictFlag];
  const size = [single ? 1 : 0, 2, 4, 8][fcsFlag];
  if (size === 0 || o + size > d.length) return -1;
  if (size === 1) return d[o];
  if (size === 2) return u16(d, o) + 256;
  if (size === 4) return u32(d, o);
  return u64(d, o);
}

// Decompresses {length, data} to exactly `length` bytes; the frame must state
// that size before any buffer is made.  The result is a view of one buffer
// reused from call to call (no garbage per record): use it before the next call.
export function inflate(z) {
  if (zstdContentSize(z.data) !== z.length) throw new FormatError('compressed data does not state its declared size');
  try {
    return zstdDecompress(z.data, z.length);
  } catch (e) {
    throw new FormatError(`compressed data does not decode (${e.message})`);
  }
}

// A public key file's Base64 line: "Ed", the key id (8 bytes), the key (32
// bytes); the key, or null when the line is not one.
export function publicKeyOfLine(line) {
  let b;
  try {
    b = Uint8Array.from(atob(String(line).trim().replace(/ /g, '+')), (c) => c.charCodeAt(0)); // a + read from a URL as a space
  } catch {
    return null;
  }
  const key = b.subarray(10);
  const ok = b.length === 42 && b[0] === 0x45 && b[1] === 0x64 && sha256(key).slice(0, 8).every((x, i) => x === b[2 + i]);
  return ok ? key.slice() : null;
}
