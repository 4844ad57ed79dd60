// Reading a recording by HTTP range requests, and walking its frames.
import { FRAME_OVERHEAD, FormatError, HEAD_SIZE, frameCrcOk, parseFileHead, parseFrameHead } from './format.js';

export const CHUNK = 2 * 1024 * 1024;

// A recording at a URL, read by byte ranges; `size` is what the server last
// said the file holds (it grows while the recording is written).
export class RangeSource {
  constructor(url) {
    this.url = new URL(url, globalThis.location?.href).href;
    this.size = -1;
  }

  // Up to `length` bytes at `offset`; fewer at the end of the file, none past it.
  async read(offset, length) {
    const res = await fetch(this.url, { headers: { Range: `bytes=${offset}-${offset + length - 1}` }, cache: 'no-store' });
    if (res.status === 416) {
      this.learnSize(res.headers.get('Content-Range'));
      await res.body?.cancel();
      return new Uint8Array(0);
    }
    if (res.status === 206) {
      this.learnSize(res.headers.get('Content-Range'));
      return new Uint8Array(await res.arrayBuffer());
    }
    if (res.status === 200) return this.readWhole(res, offset, length);
    throw new Error(`${this.url}: HTTP ${res.status} ${res.statusText}`);
  }

  // A server without ranges: only the start of the file can be had cheaply.
  async readWhole(res, offset, length) {
    if (offset !== 0) {
      await res.body?.cancel();
      throw new Error(`${this.url}: the server does not answer range requests`);
    }
    const out = new Uint8Array(length);
    let got = 0;
    const reader = res.body.getReader();
    while (got < length) {
      const { done, value } = await reader.read();
      if (done) break;
      const n = Math.min(value.length, length - got);
      out.set(value.subarray(0, n), got);
      got += n;
    }
    await reader.cancel();
    return out.subarray(0, got);
  }

  learnSize(range) {
    const m = /\/(\d+)\s*$/.exec(range || '');
    if (m) this.size = Number(m[1]);
  }
}

// Frames one after the other from an offset, through a window of the file.
// next() gives {offset, size, type, time, payload} (payload valid until the
// next call) or {end: 'incomplete' | 'corrupt', problem}; an incomplete end
// may be read again later, when the file has grown.
export class FrameReader {
  constructor(source, offset, version, chunk = CHUNK) {
    this.source = source;
    this.pos = offset;
    this.version = version;
    this.chunk = chunk;
    this.buf = new Uint8Array(0);
    this.bufStart = 0;
    this.ahead = null; // a read of the following chunk already asked for
  }

  // n bytes at pos in the window, reading on when needed; false when the file ends first.
  async ensure(pos, n) {
    const have = this.bufStart + this.buf.length;
    if (pos >= this.bufStart && pos + n <= have) return true;
    let next = null;
    if (this.ahead && this.ahead.at === have && pos >= this.bufStart && pos <= have) next = await this.ahead.data;
    this.ahead = null;
    const keep = pos >= this.bufStart && pos <= have ? this.buf.subarray(pos - this.bufStart) : new Uint8Array(0);
    const from = pos + keep.length + (next ? next.length : 0);
    const want = Math.max(n - keep.length - (next ? next.length : 0), this.chunk);
    const more = next && keep.length + next.length >= n ? new Uint8Array(0) : await this.source.read(from, want);
    const parts = [keep, next || new Uint8Array(0), more];
    const buf = new Uint8Array(parts.reduce((s, p) => s + p.length, 0));
    parts.reduce((at, p) => (buf.set(p, at), at + p.length), 0);
    this.buf = buf;
    this.bufStart = pos;
    return buf.length >= n;
  }

  // Starts reading the chunk after the window while the window is used.
  readAhead() {
    const at = this.bufStart + this.buf.length;
    if (!this.ahead && this.pos - this.bufStart > this.buf.length / 2 && (this.source.size < 0 || at < this.source.size)) {
      const data = this.source.read(at, this.chunk);
      data.catch(() => {});
      this.ahead = { at, data };
    }
  }

  async next() {
    const o = this.pos;
    if (!(await this.ensure(o, 20))) return { end: 'incomplete', offset: o, problem: 'the data stops inside a frame head' };
    const h = parseFrameHead(this.buf, o - this.bufStart, this.version);
    if (typeof h === 'string') return { end: 'corrupt', offset: o, problem: h };
    const size = FRAME_OVERHEAD + h.length;
    if (!(await this.ensure(o, size))) return { end: 'incomplete', offset: o, problem: 'the data stops inside a frame' };
    const at = o - this.bufStart;
    if (!frameCrcOk(this.buf, at, h.length)) return { end: 'corrupt', offset: o, problem: 'frame checksum is wrong' };
    this.pos = o + size;
    this.readAhead();
    return { offset: o, size, type: h.type, time: h.time, payload: this.buf.subarray(at + 20, at + 20 + h.length), bytes: this.buf.subarray(at, at + size) };
  }

  // Drops the window (e.g. after a wait for the file to grow).
  forget() {
    this.buf = new Uint8Array(0);
    this.bufStart = this.pos;
    this.ahead = null;
  }
}

// The file head: {version}; throws FormatError or a network error.
export async function readHead(source) {
  const b = await source.read(0, HEAD_SIZE);
  if (b.length < HEAD_SIZE) throw new FormatError(b.length === 0 ? 'the recording is empty' : 'the file head is cut short');
  return parseFileHead(b);
}
