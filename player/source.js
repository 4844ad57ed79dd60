// Reading a recording by HTTP range requests, and walking its frames.
import { FRAME_OVERHEAD, FormatError, HEAD_SIZE, MAGIC, TruncatedHead, frameCrcOk, knownType, parseFileHead, parseFrameHead } from './format.js';

export const CHUNK = 2 * 1024 * 1024;

// A recording at a URL, read by byte ranges; `size` is what the server last
// said the file holds (it grows while the recording is written).  The access
// token of zeldump --serve goes as "Authorization: Bearer" to the page's own
// server only, never to another; only that server is believed when it says
// whether the recorder still writes the file (`writing`: true, false, or null
// when not told), which key it was told to expect (`pinnedKey`), and why the
// object store it reads the recording from does not hold it as shipped
// (`storeProblem`, '' when it does or when the server reads a file).
export class RangeSource {
  constructor(url, token = '') {
    this.url = new URL(url, globalThis.location?.href).href;
    this.token = token;
    this.size = -1;
    this.own = new URL(this.url).origin === globalThis.location?.origin;
    this.writing = null;
    this.pinnedKey = null;
    this.storeProblem = '';
  }

  headers(range) {
    const h = { Range: range };
    if (this.token && this.own) h.Authorization = `Bearer ${this.token}`;
    return h;
  }

  // What a response says about the file.
  learn(res) {
    this.learnSize(res.headers.get('Content-Range'));
    if (!this.own) return;
    const writing = res.headers.get('Zel-Being-Written');
    if (writing) this.writing = writing === 'yes';
    this.pinnedKey = res.headers.get('Zel-Pinned-Key') ?? this.pinnedKey;
    this.storeProblem = res.headers.get('Zel-Store-Problem') ?? this.storeProblem;
  }

  // Up to `length` bytes at `offset`; fewer at the end of the file, none past it.
  async read(offset, length) {
    return this.readInto(offset, new Uint8Array(length));
  }

  // Reads up to target.length bytes at `offset` into target's buffer; the
  // buffer may move (it is handed to the stream and back): the view returned
  // (on the new buffer, at target's offset) holds the bytes read.
  async readInto(offset, target) {
    const length = target.length;
    const res = await fetch(this.url, { headers: this.headers(`bytes=${offset}-${offset + length - 1}`), cache: 'no-store' });
    if (res.status === 416) {
      this.learn(res);
      await res.body?.cancel();
      return target.subarray(0, 0);
    }
    if (res.status === 206) this.learn(res);
    else if (res.status !== 200 || offset !== 0) {
      await res.body?.cancel();
      throw new Error(res.status === 200 ? `${this.url}: the server does not answer range requests` : `${this.url}: HTTP ${res.status} ${res.statusText}`);
    }
    return fill(res.body, target);
  }

  // A byte stream of the file from `offset` to its present end (one request,
  // read as it is used); null at or past the end.
  async stream(offset) {
    const res = await fetch(this.url, { headers: this.headers(`bytes=${offset}-`), cache: 'no-store' });
    this.learn(res);
    if (res.status === 206 || (res.status === 200 && offset === 0)) return res.body;
    await res.body?.cancel();
    if (res.status === 416) return null;
    throw new Error(res.status === 200 ? `${this.url}: the server does not answer range requests` : `${this.url}: HTTP ${res.status} ${res.statusText}`);
  }

  learnSize(range) {
    const m = /\/(\d+)\s*$/.exec(range || '');
    if (m) this.size = Number(m[1]);
  }
}

// Reads a body into target, in place where the stream allows it; at most
// target.length bytes (a server without ranges sends more: the rest is dropped).
async function fill(body, target) {
  const length = target.length, offset = target.byteOffset; // a handed-over buffer reads as empty
  let got = 0, reader;
  try {
    reader = body.getReader({ mode: 'byob' });
    while (got < length) {
      const { done, value } = await reader.read(new Uint8Array(target.buffer, offset + got, length - got));
      if (value) target = new Uint8Array(value.buffer, offset, length);
      if (done) break;
      got += value.length;
    }
  } catch {
    reader = body.getReader(); // no byte stream: copy what comes
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      const n = Math.min(value.length, length - got);
      target.set(value.subarray(0, n), got);
      got += n;
      if (got === length) break;
    }
  }
  await reader.cancel().catch(() => {});
  return target.subarray(0, got);
}

// Frames one after the other from an offset, through a window of the file
// read from one open-ended request (a request per read would leave the
// browser holding every response until it collects them).  next() gives
// {offset, size, type, time, payload, bytes} (views valid until the next
// call) or {end: 'incomplete' | 'corrupt', problem}; an incomplete end may be
// read again later, when the file has grown.  close() when done with it.
export class FrameReader {
  // `store`: the window buffer of a reader no longer used, to reuse;
  // verify false: frame checksums are not computed (for a scan that only
  // needs the frame heads, whose own checksums are always checked).
  constructor(source, offset, version, chunk = CHUNK, store = null, verify = true) {
    this.verify = verify;
    this.source = source;
    this.pos = offset;
    this.version = version;
    this.chunk = chunk;
    this.store = store || new Uint8Array(0); // one buffer for the window, reused
    this.bufStart = offset;
    this.bufLength = 0;
    this.body = null; // the open stream and the file offset it gives next
    this.bodyAt = -1;
  }

  close() {
    this.body?.cancel().catch(() => {});
    this.body = null;
  }

  // n bytes at pos in the window, reading on when needed; false when the file
  // ends first.  Views of earlier frames are overwritten.
  async ensure(pos, n) {
    const have = this.bufStart + this.bufLength;
    if (pos >= this.bufStart && pos + n <= have) return true;
    const keep = pos >= this.bufStart && pos < have ? have - pos : 0;
    const size = Math.max(n, keep + this.chunk);
    this.windowSize = size;
    if (this.store.length < size) {
      const grown = new Uint8Array(size);
      grown.set(this.store.subarray(pos - this.bufStart, pos - this.bufStart + keep));
      this.store = grown;
    } else if (keep) {
      this.store.copyWithin(0, pos - this.bufStart, pos - this.bufStart + keep);
    }
    this.bufStart = pos;
    this.bufLength = keep;
    while (this.bufLength < n && (await this.readMore()));
    return this.bufLength >= n;
  }

  // Reads what the stream has next into the window; false at the end.  A
  // stream the server has closed (it gives up on a reader idle for long) is
  // asked for again once.
  async readMore() {
    for (let retry = true; ; retry = false) {
      const at = this.bufStart + this.bufLength;
      if (!this.body || this.bodyAt !== at) {
        this.close();
        const body = await this.source.stream(at);
        if (!body) return false;
        this.body = body.getReader({ mode: 'byob' });
        this.bodyAt = at;
      }
      let got;
      try {
        got = await this.body.read(this.store.subarray(this.bufLength));
      } catch (e) {
        this.body = null;
        if (!retry) throw e;
        if (this.store.length === 0) { // handed to the stream, not given back: read the window again
          this.store = new Uint8Array(this.windowSize);
          this.bufLength = 0;
        }
        continue;
      }
      const { done, value } = got;
      if (value) this.store = new Uint8Array(value.buffer);
      if (done) {
        this.body = null;
        return false;
      }
      this.bufLength += value.length;
      this.bodyAt += value.length;
      return true;
    }
  }

  // After a damaged frame at `from`: moves to the first offset after it at
  // which an intact frame starts (its head checksum holds, its type is known,
  // its reserved bytes are 0, its length fits, its frame checksum holds), as
  // libzel's zel_reader_resync does; that offset, or null when the data
  // ends first.
  async resync(from) {
    for (let o = from + 1; await this.ensure(o, FRAME_OVERHEAD); o++) {
      const at = o - this.bufStart, b = this.store;
      if (b[at + 1] !== 0 || b[at + 2] !== 0 || b[at + 3] !== 0 || !knownType(b[at], this.version)) continue;
      const h = parseFrameHead(b, at, this.version);
      if (typeof h === 'string' || (this.source.size >= 0 && o + FRAME_OVERHEAD + h.length > this.source.size)) continue;
      if (!(await this.ensure(o, FRAME_OVERHEAD + h.length))) return null;
      if (frameCrcOk(this.store, o - this.bufStart, h.length)) {
        this.pos = o;
        return o;
      }
    }
    return null;
  }

  async next() {
    const o = this.pos;
    if (!(await this.ensure(o, 20))) return { end: 'incomplete', offset: o, problem: 'the data stops inside a frame head' };
    const h = parseFrameHead(this.store, o - this.bufStart, this.version);
    if (typeof h === 'string') return { end: 'corrupt', offset: o, problem: h };
    const size = FRAME_OVERHEAD + h.length;
    if (!(await this.ensure(o, size))) return { end: 'incomplete', offset: o, problem: 'the data stops inside a frame' };
    const at = o - this.bufStart, b = this.store;
    if (this.verify && !frameCrcOk(b, at, h.length)) return { end: 'corrupt', offset: o, problem: 'frame checksum is wrong' };
    this.pos = o + size;
    return { offset: o, size, type: h.type, time: h.time, payload: b.subarray(at + 20, at + 20 + h.length), bytes: b.subarray(at, at + size) };
  }
}

// The file head: {version}; throws FormatError or a network error.
export async function readHead(source) {
  const b = await source.read(0, HEAD_SIZE);
  if (b.length === 0) throw new FormatError('the recording is empty');
  if (b.length < HEAD_SIZE && b.every((x, i) => i >= MAGIC.length || x === MAGIC[i])) throw new TruncatedHead(`the file head is cut short at byte ${b.length}`);
  if (b.length < HEAD_SIZE) throw new FormatError('not a ZEL recording (bad magic)');
  return parseFileHead(b);
}
