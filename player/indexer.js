// The index worker: reads the whole recording once, in order and in bounded
// chunks, while the page plays.  It checks every checksum, the seals' hash
// chain and signatures, replays the screen of a version-1 file (whose writer
// puts whole screens far apart) to take snapshots where the file has none for
// a while (a version-2 writer adds a keyframe at least every 30 s), and posts
// what it learns in batches: places to seek from, timeline markers, the
// verification state.  A file that stops without an end record is polled for
// growth (a recording still being written).
import { sha256 } from './vendor/noble-hashes/sha2.js';
import { FOOTER_NAMES, FormatError, HEAD_SIZE, T, decodeRecord, publicKeyOfLine } from './format.js';
import { applyRecord, isWholeImage, packSnapshot } from './replay.js';
import { Screen, checkCopy } from './screen.js';
import { zstdReady } from './zstd.js';
import { FrameReader, RangeSource, readHead } from './source.js';

const SNAPSHOT_EVERY_US = 30e6; // record time without a place to seek from
const SNAPSHOT_EVERY_BYTES = 32 * 1024 * 1024;
const SNAPSHOT_BUDGET = 48 * 1024 * 1024; // compressed bytes kept by the page
const POLL_MS = 500; // reading again at the end of the data: at first
const MAX_POLL_MS = 8000; // twice as long each time nothing came, up to this
const LIVE_MS = 10000; // not told whether it is written: live while it grew as recently
const GIVE_UP_MS = 30000; // not told: truncated for good after this long without growth
const PAINTS = new Set([T.IMAGE, T.CIMAGE, T.BLOCKS, T.CBLOCKS, T.COPY, T.KEYFRAME]);
// Records that show activity: a change of the picture, the pointer, the input or a window.
const ACTIVITY = new Set([T.HEADER, T.IMAGE, T.CIMAGE, T.BLOCKS, T.CBLOCKS, T.COPY, T.CURSOR, T.CCURSOR, T.POSITION,
  T.SCREEN, T.LAST_INPUT, T.WINDOW]);
const IDLE_AFTER_US = 5e6; // longer than this without activity is idle
const HOLD_MS = 2000; // the page may hold the worker (while it seeks) this long at most

const hex = (b) => Array.from(b, (x) => x.toString(16).padStart(2, '0')).join('');
const equal = (a, b) => a.length === b.length && a.every((x, i) => x === b[i]);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// A window record as a marker: the fields of its event only.
function windowMarker(time, r) {
  const m = { kind: 'window', time, window: r.window, event: r.event };
  if (r.event === 'shown' || r.event === 'geometry') Object.assign(m, { x: r.x, y: r.y, width: r.width, height: r.height, z: r.z });
  if (r.event === 'shown') {
    Object.assign(m, { overrideRedirect: !!(r.flags & 1), managed: !!(r.flags & 2), transientFor: r.transientFor, client: r.client,
      pid: r.pid, uid: r.uid, command: r.command, instance: r.instance, className: r.className });
  }
  if (r.event === 'shown' || r.event === 'title') m.title = r.title;
  return m;
}

class Indexer {
  constructor(url, token, snapshotEvery, pinned, idleAfter) {
    this.source = new RangeSource(url, token);
    this.pinned = pinned ? [publicKeyOfLine(pinned)] : []; // keys every seal must be signed with
    this.screen = new Screen();
    this.out = { seekPoints: [], markers: [], snapshots: [], drop: [], idle: [] };
    this.lastPost = 0;
    this.idleAfter = idleAfter || IDLE_AFTER_US;
    this.lastActive = null;
    this.cursorOffset = -1;
    this.headerOffset = -1;
    this.headerTime = null; // the first header's frame timestamp, 8 raw bytes
    this.sinceKey = { time: 0, bytes: 0 };
    this.snapshots = []; // {id, bytes}
    this.snapshotBytes = 0;
    this.snapshotEvery = snapshotEvery || SNAPSHOT_EVERY_US;
    this.seal = { count: 0, last: null, signed: null, key: null, publicKey: null, keyId: null, final: false };
    this.state = { state: 'checking', problem: '', problemOffset: -1, authentic: true, authProblem: '' };
    this.lastTime = null;
    this.damage = []; // [{from, to, timeBefore, timeAfter, problem}]: bytes, and record times around them
    this.started = performance.now();
    this.watch = { seenSize: -1, grewAt: -Infinity, pollMs: POLL_MS, wasWriting: null, live: false };
  }

  async run() {
    try {
      this.version = await readHead(this.source);
      if (this.source.pinnedKey) this.pinned.push(publicKeyOfLine(this.source.pinnedKey));
      if (this.pinned.includes(null)) throw new Error('the server\'s pinned key is not a public key line');
      if (this.pinned.length && this.version < 2) this.notAuthentic(`format version 1 has no seals, but key ${this.pinnedIds()} is expected`);
      postMessage({ kind: 'head', version: this.version });
      if (this.version >= 2) this.hash = sha256.create().update(await this.source.read(0, HEAD_SIZE));
      this.reader = new FrameReader(this.source, HEAD_SIZE, this.version, 4 * 1024 * 1024);
      await this.loop();
    } catch (e) {
      this.finish(e instanceof FormatError ? 'corrupt' : 'unreadable', e.message, this.reader ? this.reader.pos : 0);
    }
  }

  async loop() {
    for (;;) {
      if (hold) await hold.promise;
      if (this.ended()) {
        const end = this.reader.pos;
        if (await this.reader.ensure(end, 1)) return this.finish('corrupt', `data after the ${this.version < 3 ? 'end-of-data record' : 'final seal'}`, end);
        return this.finish('complete');
      }
      const f = await this.reader.next();
      if (f.end === 'incomplete') {
        const problem = this.done ? 'the data ends after the end-of-data record, before its final seal' : f.problem;
        if (this.watchEnd()) return this.finish('truncated', problem, f.offset);
        this.setState('truncated', problem, f.offset);
        this.post(true);
        await sleep(this.watch.pollMs);
        continue;
      }
      if (f.end === 'corrupt') {
        if (await this.damaged(f.offset, f.problem)) continue;
        return this.finish('corrupt', f.problem, f.offset);
      }
      if (this.done && f.type !== T.SEAL) return this.finish('corrupt', `a record after the end-of-data record (byte ${f.offset})`, f.offset);
      await this.frame(f);
      this.post(false);
    }
  }

  // At the end of the data: whether the recording is still being written
  // (live: the server says the recorder holds it, or, not told, it grew
  // lately), and whether to stop reading again: the server said twice that
  // nobody writes it and nothing came between, or, not told, nothing came
  // for GIVE_UP_MS.  The next read comes after POLL_MS, twice as long each
  // time nothing came, up to MAX_POLL_MS.
  watchEnd() {
    const e = this.watch, now = performance.now(), size = this.source.size, writing = this.source.writing;
    const grew = e.seenSize >= 0 && size !== e.seenSize;
    if (grew) e.grewAt = now;
    e.pollMs = grew || e.seenSize < 0 ? POLL_MS : Math.min(2 * e.pollMs, MAX_POLL_MS);
    e.seenSize = size;
    const released = writing === false && e.wasWriting === false && !grew;
    e.wasWriting = writing;
    e.live = writing === true || (writing === null && now - e.grewAt < LIVE_MS);
    return released || (writing === null && !e.live && now - Math.max(e.grewAt, this.started) > GIVE_UP_MS);
  }

  // Whether the data must end here: after the end-of-data record (version 3:
  // after the seal that follows it).
  ended() {
    return this.done && (this.version < 3 || this.endSealed);
  }

  // A damaged frame at `from`: a span from it to the next intact frame, where
  // reading goes on (as libzel's zel_reader_resync); false when none follows.
  async damaged(from, problem) {
    this.setState('corrupt', problem, from);
    const to = await this.reader.resync(from);
    this.damage.push({ from, to: to ?? Math.max(from, this.source.size), timeBefore: this.lastTime, timeAfter: null, problem });
    this.screen.damaged = true;
    return to !== null;
  }

  async frame(f) {
    const span = this.damage[this.damage.length - 1];
    if (span && span.timeAfter === null) span.timeAfter = f.time;
    let r;
    try {
      r = decodeRecord(f.type, f.time, f.payload, this.version);
    } catch (e) { // every checksum holds, but the fields do not: this record is damage
      this.setState('corrupt', `${e.message} (record at byte ${f.offset})`, f.offset);
      this.damage.push({ from: f.offset, to: f.offset + f.size, timeBefore: this.lastTime, timeAfter: null, problem: e.message });
      return;
    }
    const checking = this.damage.length === 0; // after damage no chain can hold
    const afterFinal = this.seal.final;
    this.seal.final = r.type === T.SEAL && (r.flags & 4) !== 0;
    if (checking && this.version < 3 && afterFinal && r.type !== T.DONE) this.notAuthentic(`a record follows the final seal (byte ${f.offset})`);
    if (r.type === T.SEAL && checking) {
      if (this.version >= 3) this.checkEnd(r, f);
      await this.checkSeal(r, f);
    }
    this.hash?.update(f.bytes);
    this.lastType = r.type;
    if (r.type === T.SEAL) this.endSealed = this.done;
    if (r.type === T.DONE) return this.end(afterFinal && checking, r, f);
    if (r.type === T.SEAL && this.done) return;
    this.lastTime = f.time;
    this.sinceKey.bytes += f.size;
    this.note(r, f);
    // Version 2: sizes, cursor and pointer only; the images are the page's
    // (a copy's rectangles are checked against the screen all the same).
    if (r.type !== T.KEYFRAME && (this.version < 2 || !PAINTS.has(r.type))) this.replay(r, f);
    else if (r.type === T.COPY) this.replay(r, f, () => checkCopy(this.screen, r.rects));
    if (this.version < 2) await this.maybeSnapshot(f);
  }

  // Index entries and markers of one record.
  note(r, f) {
    const s = this.screen;
    if (ACTIVITY.has(r.type)) {
      if (this.lastActive !== null && f.time - this.lastActive > this.idleAfter) this.out.idle.push({ from: this.lastActive, to: f.time });
      this.lastActive = f.time;
    }
    if (r.type === T.HEADER) {
      this.headerOffset = f.offset;
      this.headerTime ??= f.bytes.slice(8, 16);
      this.point('header', f.offset, f.time, r.width, r.height);
      this.marker({ kind: 'header', time: f.time, user: r.user, tfn: r.tfn, width: r.width, height: r.height, format: r.format });
    } else if (r.type === T.SCREEN) {
      this.marker({ kind: 'screen', time: f.time, width: r.width, height: r.height });
    } else if (r.type === T.LAST_INPUT) {
      this.marker({ kind: 'input', time: f.time, user: r.user, tfn: r.tfn });
    } else if (r.type === T.WINDOW) {
      this.marker(windowMarker(f.time, r));
    } else if (r.type === T.INTERRUPTION) {
      this.marker({ kind: 'gap', time: f.time, from: r.from, cause: r.cause, detail: r.detail });
    } else if (FOOTER_NAMES[r.type]) {
      this.marker({ kind: 'footer', time: f.time, name: FOOTER_NAMES[r.type], value: r.item });
    } else if (r.type === T.CURSOR || r.type === T.CCURSOR) {
      this.cursorOffset = f.offset;
    } else if (s.has && isWholeImage(r, s.width, s.height)) {
      this.point(r.type === T.KEYFRAME ? 'key' : 'image', f.offset, f.time, s.width, s.height);
    }
  }

  replay(r, f, apply = () => applyRecord(this.screen, r)) {
    try {
      apply();
    } catch (e) {
      if (!(e instanceof FormatError)) throw e;
      this.setState('corrupt', `${e.message} (record at byte ${f.offset})`, f.offset);
      this.damage.push({ from: f.offset, to: f.offset + f.size, timeBefore: this.lastTime, timeAfter: null, problem: e.message });
    }
  }

  point(kind, offset, time, width, height, extra = {}) {
    const p = this.screen.pointer;
    this.out.seekPoints.push({ kind, offset, time, width, height, headerOffset: this.headerOffset,
      cursorOffset: this.cursorOffset, pointer: p ? { x: p.x, y: p.y } : null, ...extra });
    this.sinceKey = { time, bytes: 0 };
  }

  marker(m) {
    this.out.markers.push(m);
  }

  // A snapshot of the replayed screen where no whole screen came for a while.
  async maybeSnapshot(f) {
    const s = this.screen;
    if (!s.has || s.width * s.height === 0) return;
    if (f.time - this.sinceKey.time < this.snapshotEvery && this.sinceKey.bytes < SNAPSHOT_EVERY_BYTES) return;
    const buffer = await packSnapshot(s.px);
    const id = this.snapshots.length ? this.snapshots[this.snapshots.length - 1].id + 1 : 1;
    this.snapshots.push({ id, bytes: buffer.byteLength });
    this.snapshotBytes += buffer.byteLength;
    this.out.snapshots.push({ id, buffer });
    this.point('snap', f.offset + f.size, f.time, s.width, s.height, { snapshot: id });
    while (this.snapshotBytes > SNAPSHOT_BUDGET && this.snapshots.length > 1) this.thin();
  }

  // Over budget: every second snapshot goes, and they come half as often.
  thin() {
    const keep = [];
    this.snapshots.forEach((s, i) => {
      if (i % 2 === 0) keep.push(s);
      else {
        this.out.drop.push(s.id);
        this.snapshotBytes -= s.bytes;
      }
    });
    this.snapshots = keep;
    this.snapshotEvery *= 2;
  }

  async checkSeal(r, f) {
    const seal = this.seal;
    const chain = this.hash.clone().digest();
    const signed = (r.flags & 1) !== 0;
    seal.signed ??= signed;
    let problem = '';
    if (r.offset !== f.offset) problem = 'a seal does not name its own place in the file';
    else if (!equal(chain, r.chain)) problem = 'the hash chain does not match the bytes before a seal';
    else if (signed !== seal.signed) problem = signed ? 'a signed seal follows unsigned ones' : 'an unsigned seal follows signed ones';
    else if (signed) problem = await this.checkSignature(r, f);
    if (!problem && this.pinned.length) problem = this.checkPinned(signed);
    this.marker({ kind: 'seal', time: f.time, offset: f.offset, signed: !!(r.flags & 1), good: !problem });
    if (problem) return this.notAuthentic(`${problem} (seal at byte ${f.offset})`);
    seal.count++;
    seal.last = { offset: f.offset, time: f.time };
  }

  async checkSignature(r, f) {
    const seal = this.seal;
    if (r.publicKey) {
      const id = sha256(r.publicKey).slice(0, 8);
      if (!equal(id, r.keyId)) return 'the key id does not belong to the public key';
      if (seal.key && !equal(seal.publicKey, r.publicKey)) return 'the signing key changes';
      if (!seal.key) {
        seal.keyId = id;
        seal.publicKey = r.publicKey.slice();
        seal.key = await crypto.subtle.importKey('raw', seal.publicKey, { name: 'Ed25519' }, false, ['verify']);
      }
    }
    if (!seal.key) return 'a signed seal without a public key before it';
    if (!equal(seal.keyId, r.keyId)) return 'the signing key changes';
    // "ZEL-SEAL", version, header time, (version 3: the seal's own time),
    // offset, chain, flags.
    const at = this.version >= 3 ? 26 : 18;
    const msg = new Uint8Array(at + 41);
    msg.set(new TextEncoder().encode('ZEL-SEAL'), 0);
    msg.set([this.version, 0], 8);
    if (this.headerTime) msg.set(this.headerTime, 10);
    if (this.version >= 3) msg.set(f.bytes.subarray(8, 16), 18);
    msg.set(f.payload.subarray(0, 8), at);
    msg.set(r.chain, at + 8);
    msg[at + 40] = r.flags;
    const ok = await crypto.subtle.verify({ name: 'Ed25519' }, seal.key, r.signature, msg);
    return ok ? '' : 'a seal signature is wrong';
  }

  pinnedIds() {
    return this.pinned.map((k) => hex(sha256(k).slice(0, 8)).toUpperCase()).join(' and ');
  }

  // Every seal signed with the key the reviewer expects.
  checkPinned(signed) {
    if (!signed) return `unsigned, but key ${this.pinnedIds()} is expected`;
    if (this.pinned.every((k) => equal(k, this.seal.publicKey))) return '';
    return `signed with key ${hex(this.seal.keyId).toUpperCase()}, not with the pinned key ${this.pinnedIds()}`;
  }

  notAuthentic(why) {
    if (this.state.authentic) Object.assign(this.state, { authentic: false, authProblem: why });
  }

  // Version 3: the final seal comes right after the end-of-data record, and only there.
  checkEnd(r, f) {
    const final = (r.flags & 4) !== 0, afterDone = this.lastType === T.DONE;
    if (afterDone && !final) this.notAuthentic(`the seal at byte ${f.offset} after the end-of-data record is not final`);
    else if (!afterDone && final) this.notAuthentic(`the final seal at byte ${f.offset} does not follow the end-of-data record`);
  }

  // The end-of-data record: its time is the recording's end.
  end(afterFinal, r, f) {
    this.done = true;
    this.lastTime = f.time;
    this.marker({ kind: 'end', time: f.time, reason: r.reason, signal: r.signal ?? 0, pid: r.pid ?? 0, uid: r.uid ?? 0 });
    if (this.version === 2 && !afterFinal && !this.damage.length)
      this.notAuthentic(this.seal.count === 0 ? 'the recording holds no seal' : 'no final seal right before the end-of-data record');
  }

  setState(state, problem = '', offset = -1) {
    if (this.state.state === 'corrupt') return; // the first damage found is the one told
    Object.assign(this.state, { state, problem, problemOffset: offset });
  }

  finish(state, problem = '', offset = -1) {
    this.reader?.close();
    this.setState(state, problem, offset);
    this.post(true, true);
  }

  // What was learnt since the last post, at most every 200 ms.
  post(force, final = false) {
    const now = performance.now();
    if (!force && now - this.lastPost < 200) return;
    this.lastPost = now;
    const o = this.out;
    const seal = this.seal;
    postMessage({
      kind: 'index', ...o, final, version: this.version, size: this.source.size,
      frontier: { offset: this.reader ? this.reader.pos : HEAD_SIZE, time: this.lastTime },
      state: { ...this.state, sealed: seal.last, seals: seal.count, signed: seal.signed, keyId: seal.keyId ? hex(seal.keyId).toUpperCase() : null,
        pinned: this.pinned.length > 0, live: this.watch.live && !final, damage: this.damage.map((d) => ({ ...d })) },
    }, o.snapshots.map((s) => s.buffer));
    this.out = { seekPoints: [], markers: [], snapshots: [], drop: [], idle: [] };
  }
}

// The page holds the worker while it seeks, so that the seek is not slowed
// by the index being built on the same cores.
let hold = null;
function setHold(on) {
  if (on && !hold) {
    let release;
    const promise = new Promise((r) => { release = r; });
    hold = { promise, release, timer: setTimeout(() => setHold(false), HOLD_MS) };
  } else if (!on && hold) {
    clearTimeout(hold.timer);
    hold.release();
    hold = null;
  }
}

onmessage = async (e) => {
  const d = e.data;
  if ('hold' in d) return setHold(d.hold);
  await zstdReady;
  if (d.url) new Indexer(d.url, d.token, d.snapshotEvery, d.pinned, d.idleAfter).run();
};

