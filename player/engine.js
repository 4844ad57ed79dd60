// The playback engine: keeps one replayed screen and a reader positioned in
// the file, and moves them to any time: forward by applying records, or by
// starting again at the nearest place to seek from (a whole screen, a
// keyframe, a snapshot of the index worker) at or before that time.  Only the
// index and a few compressed snapshots are kept, never the file.
import { FormatError, HEAD_SIZE, T, decodeRecord, resync, u64 } from './format.js';
import { findJumpPoint } from './jump.js';
import { applyRecord, unpackSnapshot } from './replay.js';
import { CanvasView, Screen } from './screen.js';
import { FrameReader, RangeSource, readHead } from './source.js';
import { zstdReady } from './zstd.js';

const SKIP_AHEAD_BYTES = 4 * 1024 * 1024; // farther than this, start again at a seek point
const RETRY_END_MS = 250; // reading again at the end of a growing file
const LIVE_AHEAD_US = 11e6; // a live recording's end runs ahead of its last record by at most this
const IDLE_LEAD_US = 250e3; // skipping idle time lands this long before the next change
// Records that change what the screen shows.
const CHANGES = new Set([T.IMAGE, T.CIMAGE, T.BLOCKS, T.CBLOCKS, T.COPY, T.CURSOR, T.CCURSOR, T.POSITION, T.SCREEN]);

export class Index {
  constructor() {
    this.seekPoints = [];
    this.markers = [];
    this.snapshots = new Map();
    this.frontier = { offset: HEAD_SIZE, time: null };
    this.final = false;
    this.state = { state: 'checking' };
    this.lastTime = null;
    this.idle = []; // [{from, to}]: no change of the picture and no input
  }

  add(m) {
    for (const s of m.snapshots) this.snapshots.set(s.id, s.buffer);
    if (m.drop.length) {
      const drop = new Set(m.drop);
      drop.forEach((id) => this.snapshots.delete(id));
      this.seekPoints = this.seekPoints.filter((p) => !drop.has(p.snapshot));
    }
    this.seekPoints.push(...m.seekPoints);
    this.markers.push(...m.markers);
    this.idle.push(...m.idle);
    this.frontier = m.frontier;
    if (m.frontier.time !== null) this.lastTime = m.frontier.time;
    this.state = m.state;
    this.final = m.final;
    this.size = m.size;
  }

  // The last place to seek from at or before `time`, or null.
  best(time) {
    const p = this.seekPoints;
    let lo = 0, hi = p.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (p[mid].time <= time) lo = mid + 1;
      else hi = mid;
    }
    return lo > 0 ? p[lo - 1] : null;
  }

  // The idle span that `time` lies in, ending more than `lead` after it; or null.
  idleAt(time, lead) {
    const spans = this.idle;
    let lo = 0, hi = spans.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (spans[mid].from <= time) lo = mid + 1;
      else hi = mid;
    }
    const span = spans[lo - 1];
    return span && time < span.to - lead ? span : null;
  }

  lastHeaderOffset() {
    for (let i = this.seekPoints.length - 1; i >= 0; i--) if (this.seekPoints[i].kind === 'header') return this.seekPoints[i].offset;
    return HEAD_SIZE;
  }
}

// Thrown by a load() that a later load() replaced.
export class Superseded extends Error {}

export class Engine {
  constructor(canvas, onchange) {
    this.view = new CanvasView(canvas);
    this.onchange = onchange;
    this.queue = Promise.resolve();
    this.headers = new Map();
    this.loads = 0;
    this.reset();
  }

  // Forgets the recording: nothing of it stays (time, screen, index, reader).
  reset() {
    this.playing = false;
    this.follow = false;
    this.gen = (this.gen ?? 0) + 1; // seeks under way give up
    this.worker?.terminate();
    this.worker = null;
    this.reader?.close();
    this.reader = null;
    this.source = null;
    this.index = new Index();
    this.version = undefined;
    this.base = undefined;
    this.shown = undefined;
    this.stateTime = null;
    this.pending = null;
    this.atEnd = null;
    this.screen = null;
    this.tail = null;
    this.approximate = false;
    this.warned = false;
    this.headers.clear();
    this.view.clear();
    for (const t of this.thumbs?.values() ?? []) t.bitmap.close();
    this.thumbs = new Map(); // by the offset of their place to seek from
    this.thumbPx = null;
  }

  // options.snapshotSeconds: record time between the index worker's snapshots;
  // options.token: the access token of zeldump --serve; options.pinned: the
  // line of the public key every seal must be signed with; options.idleSeconds:
  // longer than this without a change or input is idle (5).  Rejects with
  // Superseded when another load() came first.
  async load(url, options = {}) {
    const load = ++this.loads;
    const current = () => {
      if (load !== this.loads) throw new Superseded('another recording was loaded');
    };
    this.reset();
    await this.queue; // what the last recording was doing ends first
    current();
    this.source = new RangeSource(url, options.token);
    [this.version] = await Promise.all([readHead(this.source), zstdReady]);
    current();
    this.worker = new Worker(new URL('./indexer.js', import.meta.url), { type: 'module' });
    this.worker.onmessage = (e) => this.fromIndexer(e.data);
    this.worker.postMessage({ url: this.source.url, token: options.token, pinned: options.pinned,
      snapshotEvery: (options.snapshotSeconds || 30) * 1e6, idleAfter: (options.idleSeconds || 5) * 1e6 });
    const tail = this.tailProbe().catch(() => {}); // the end is known when load() resolves
    await this.run(async () => {
      current();
      await this.restore(null);
      await this.firstFrame();
    });
    await tail;
    current();
  }

  fromIndexer(m) {
    if (m.kind !== 'index') return;
    this.index.add(m);
    if (m.final) { // checked for good: the worker ends, and its memory with it
      this.worker?.terminate();
      this.worker = null;
    }
    if (this.approximate && m.frontier.offset > this.nextOffset()) this.refresh();
    this.onchange?.();
  }

  // Time of the end of the recording, as far as known: the end record's time
  // once read; while it is being written, the wall-clock time (the recorder
  // seals at least every 10 s, idle or not: no further than LIVE_AHEAD_US
  // past the last record).
  get endTime() {
    const ix = this.index;
    if (ix.final) return Math.max(ix.lastTime ?? 0, this.base ?? 0);
    const known = Math.max(ix.lastTime ?? 0, this.tail?.time ?? 0, this.stateTime ?? 0, this.base ?? 0);
    return ix.state.live ? Math.max(known, Math.min(Date.now() * 1000, (ix.lastTime ?? known) + LIVE_AHEAD_US)) : known;
  }

  // The frame of the last record, learnt from the end of the file at once.
  async tailProbe() {
    const size = this.source.size;
    for (let span = 256 * 1024; span <= 16 * 1024 * 1024; span *= 4) {
      const from = Math.max(HEAD_SIZE, size - span);
      const b = await this.source.read(from, size - from);
      let at = resync(b, 0, this.version), last = null;
      while (at >= 0) {
        last = { offset: from + at, time: u64(b, at + 8) };
        at = resync(b, at + 24 + (b[at + 4] | (b[at + 5] << 8) | (b[at + 6] << 16) | (b[at + 7] << 24)) >>> 0, this.version);
      }
      if (last) {
        this.tail = last;
        this.onchange?.();
        return;
      }
      if (from === HEAD_SIZE) return;
    }
  }

  // Shows the first image as soon as it is read.
  async firstFrame() {
    await this.advance(Infinity, Infinity, () => this.paintedImage);
    this.shown = this.stateTime ?? this.base ?? 0;
    this.draw();
  }

  // Runs jobs one after the other.
  run(job) {
    const p = this.queue.then(job);
    this.queue = p.catch(() => {});
    return p;
  }

  // Moves to absolute time `target` (µs) and draws; `abort` stops early.
  async seekTo(target, abort = null, budget = Infinity) {
    const deadline = performance.now() + budget;
    let sp = this.index.best(target);
    if (this.beyondIndex(target)) {
      const j = await this.jumpPoint(target);
      if (j && (!sp || j.offset > sp.offset)) sp = j;
    }
    if (!this.canContinue(target, sp)) await this.restore(sp);
    const r = await this.advance(target, deadline, abort);
    this.shown = r === 'budget' ? this.stateTime : Math.min(target, Math.max(this.endTime, this.stateTime ?? 0));
    this.draw();
    return r;
  }

  beyondIndex(target) {
    const f = this.index.frontier;
    return !this.index.final && this.tail && target > (f.time ?? 0) && this.tail.offset - f.offset > 2 * SKIP_AHEAD_BYTES;
  }

  async jumpPoint(target) {
    const f = this.index.frontier;
    const j = await findJumpPoint(this.source, this.version, target, { offset: f.offset, time: f.time ?? this.base }, this.tail);
    if (j) Object.assign(j, { headerOffset: this.index.lastHeaderOffset(), cursorOffset: -1, pointer: null });
    return j;
  }

  nextOffset() {
    return this.pending ? this.pending.offset : this.reader ? this.reader.pos : HEAD_SIZE;
  }

  // Whether going on from the present state reaches `target` sooner than sp.
  canContinue(target, sp) {
    if (!this.reader || (this.stateTime !== null && target < this.stateTime)) return false;
    return !sp || sp.offset - this.nextOffset() < SKIP_AHEAD_BYTES;
  }

  // Starts again at a place to seek from (null: the file's first record).
  async restore(sp) {
    const screen = new Screen(this.screen?.px);
    this.approximate = sp?.kind === 'jump';
    if (sp && sp.kind !== 'header') {
      screen.header(await this.headerAt(sp.headerOffset));
      if (sp.kind === 'snap') screen.restore({ width: sp.width, height: sp.height, px: await unpackSnapshot(this.index.snapshots.get(sp.snapshot)) });
      else screen.resize(sp.width, sp.height);
    }
    if (sp && sp.cursorOffset >= 0) this.tryApply(screen, await this.recordAt(sp.cursorOffset), sp.cursorOffset);
    if (sp?.pointer) screen.setPointer(sp.pointer.x, sp.pointer.y);
    this.screen = screen;
    this.reader?.close();
    this.startOffset = sp ? sp.offset : HEAD_SIZE;
    this.reader = new FrameReader(this.source, this.startOffset, this.version, undefined, this.reader?.store);
    this.pending = null;
    this.stateTime = sp?.kind === 'snap' ? sp.time : null;
    this.atEnd = null;
    this.paintedImage = false;
  }

  async recordAt(offset) {
    const reader = new FrameReader(this.source, offset, this.version, 64 * 1024);
    const f = await reader.next();
    reader.close();
    if (f.end) throw new FormatError(`cannot read the record at byte ${offset}: ${f.problem}`);
    return decodeRecord(f.type, f.time, f.payload, this.version);
  }

  async headerAt(offset) {
    if (!this.headers.has(offset)) this.headers.set(offset, await this.recordAt(offset));
    return this.headers.get(offset);
  }

  // Applies records up to `target`: 'reached', 'end' (no more data, or the
  // end record), 'budget' (out of time) or 'aborted'.
  async advance(target, deadline, abort) {
    for (;;) {
      if (abort && abort()) return 'aborted';
      if (!this.pending) {
        if (this.atEnd && this.atEnd.end !== 'done' && performance.now() - this.atEnd.at < RETRY_END_MS) return 'end';
        const f = await this.reader.next();
        if (f.end === 'corrupt' && (await this.reader.resync(f.offset)) !== null) {
          this.screen.damaged = true; // on from the next intact frame; pictures from the next whole screen
          continue;
        }
        if (f.end) {
          this.atEnd = { ...f, at: performance.now() };
          return 'end';
        }
        this.atEnd = null;
        this.pending = f;
        this.base ??= f.time;
      }
      const f = this.pending;
      if (f.type === T.DONE) {
        this.atEnd = { end: 'done' };
        return 'end';
      }
      if (f.time > target) return 'reached';
      this.pending = null;
      this.applyFrame(f);
      if (performance.now() > deadline) return 'budget';
    }
  }

  applyFrame(f) {
    this.stateTime = f.time;
    if (f.type === T.KEYFRAME && f.offset !== this.startOffset && !this.screen.damaged) return; // the screen as it already is
    let r;
    try {
      r = decodeRecord(f.type, f.time, f.payload, this.version);
    } catch (e) {
      return this.warn(e, f.offset);
    }
    this.tryApply(this.screen, r, f.offset);
    if (r.type === T.IMAGE || r.type === T.CIMAGE || r.type === T.BLOCKS || r.type === T.CBLOCKS || r.type === T.KEYFRAME) this.paintedImage = true;
  }

  tryApply(screen, r, offset) {
    try {
      applyRecord(screen, r);
    } catch (e) {
      this.warn(e, offset);
    }
  }

  warn(e, offset) {
    if (!(e instanceof FormatError)) throw e;
    if (!this.warned) console.warn(`zel player: record at byte ${offset} skipped: ${e.message}`);
    this.warned = true;
  }

  // Draws again from a proper place once the index has reached a frame that
  // was found by jumping (the cursor is known then).
  refresh() {
    this.approximate = false;
    if (!this.playing) this.run(() => this.restore(this.index.best(this.shown)).then(() => this.seekTo(this.shown)));
  }

  draw() {
    if (this.screen) this.view.draw(this.screen);
    this.onchange?.();
  }

  // ---- playing ----

  play() {
    if (this.playing || this.base === undefined) return;
    if (this.index.final && this.shown >= this.endTime) this.shown = this.base;
    this.playing = true;
    this.speed ??= 1;
    this.clock = { wall: performance.now(), media: this.shown };
    requestAnimationFrame(this.tick);
  }

  pause() {
    this.playing = false;
    this.follow = false;
    this.onchange?.();
  }

  setSpeed(speed) {
    if (this.playing) this.clock = { wall: performance.now(), media: this.clockTime() };
    this.speed = speed;
    this.onchange?.();
  }

  // Follows the end of a recording that is still being written.
  goLive() {
    this.setSpeed(1);
    this.follow = true;
    this.play();
  }

  clockTime() {
    return this.clock.media + (performance.now() - this.clock.wall) * 1000 * this.speed;
  }

  tick = () => {
    if (!this.playing) return;
    requestAnimationFrame(this.tick);
    if (this.ticking) return;
    this.ticking = true;
    this.run(() => this.playStep()).finally(() => {
      this.ticking = false;
    });
  };

  // One step of playing: to the clock's time, or to the end as far as known.
  async playStep() {
    if (!this.playing) return;
    const end = this.endTime;
    let target = this.follow ? end : this.clockTime();
    const idle = this.skipIdle && !this.follow ? this.index.idleAt(target, IDLE_LEAD_US) : null;
    if (idle) {
      target = idle.to - IDLE_LEAD_US;
      this.clock = { wall: performance.now(), media: target };
    }
    if (target >= end) {
      // At the end: wait there for the file to grow, or stop when it is whole.
      this.clock = { wall: performance.now(), media: end };
      target = end;
    }
    await this.seekTo(target, null, 30);
    if (target >= end && this.index.final && this.atEnd !== null) this.pause();
  }

  // Moves to the previous (-1) or next (+1) change of the picture, paused.
  stepFrame(direction) {
    this.pause();
    const gen = (this.gen = this.gen + 1);
    return this.run(async () => {
      if (gen !== this.gen || this.base === undefined) return;
      const t = await this.nextChange(this.shown, direction);
      if (t !== null && gen === this.gen) await this.seekTo(t);
    });
  }

  // The time of the nearest record that changes the picture before (-1) or
  // after (+1) time t, from the frame heads from the place to seek from
  // before it on; null when there is none.
  async nextChange(t, direction) {
    const sp = this.index.best(direction < 0 ? t - 1 : t);
    const reader = new FrameReader(this.source, sp ? sp.offset : HEAD_SIZE, this.version, 1 << 20, null, false);
    let before = null;
    try {
      for (;;) {
        const f = await reader.next();
        if (f.end || f.type === T.DONE || (direction < 0 && f.time >= t)) return direction < 0 ? before : null;
        if (!CHANGES.has(f.type)) continue;
        if (direction > 0 && f.time > t) return f.time;
        before = f.time;
      }
    } finally {
      reader.close();
    }
  }

  // A picture `width` pixels wide of the last whole screen at or before
  // `time`: {bitmap, time}, or null where there is none.
  async thumbnail(time, width) {
    const sp = this.index.best(time);
    if (!sp || sp.kind === 'header' || sp.kind === 'jump') return null;
    const cached = this.thumbs.get(sp.offset);
    if (cached) return cached;
    const screen = new Screen(this.thumbPx);
    screen.header(await this.headerAt(sp.headerOffset));
    if (sp.kind === 'snap') screen.restore({ width: sp.width, height: sp.height, px: await unpackSnapshot(this.index.snapshots.get(sp.snapshot)) });
    else {
      screen.resize(sp.width, sp.height);
      applyRecord(screen, await this.recordAt(sp.offset));
    }
    this.thumbPx = screen.px;
    const { width: w, height: h } = screen;
    const image = new ImageData(new Uint8ClampedArray(screen.px.buffer, 0, w * h * 4), w, h);
    const bitmap = await createImageBitmap(image, { resizeWidth: width, resizeHeight: Math.max(1, Math.round((h * width) / w)), resizeQuality: 'medium' });
    const thumb = { bitmap, time: sp.time };
    this.thumbs.set(sp.offset, thumb);
    if (this.thumbs.size > 64) {
      const [oldest] = this.thumbs.keys();
      this.thumbs.get(oldest).bitmap.close();
      this.thumbs.delete(oldest);
    }
    return thumb;
  }

  // Moves to `seconds` after the first record (as zeldump --at counts).
  seek(seconds) {
    const end = this.endTime;
    const target = seconds <= 0 ? this.base : seconds >= (end - this.base) / 1e6 ? end : Math.floor(this.base + seconds * 1e6);
    this.follow = false;
    const gen = (this.gen = (this.gen ?? 0) + 1);
    return this.run(async () => {
      if (gen !== this.gen) return;
      this.worker?.postMessage({ hold: true }); // the index worker waits: the seek has the processor
      try {
        await this.seekTo(target, () => gen !== this.gen);
      } finally {
        this.worker?.postMessage({ hold: false });
      }
      if (this.playing) this.clock = { wall: performance.now(), media: this.shown };
    });
  }
}
