// Seeking into the part of a recording that the index has not reached yet:
// find frames near the wanted time by resynchronising on frame heads whose
// checksums hold (interpolating the offset from the time), then scan the
// frame heads from there to the time for the last whole screen.  Versions 2
// and 3 write a whole screen at least every 30 s of record time, so the scan
// starts 30 s before the time; for version 1 it looks back from the time.
import { T, resync, u16, u64 } from './format.js';
import { FrameReader } from './source.js';

const PROBE = 64 * 1024;
const NEAR_US = 5e6; // near enough: the frames from there to the time are read anyway
const WINDOW = 4 * 1024 * 1024;
const MAX_WINDOWS = 16;
const KEYFRAME_PERIOD_US = 30e6;

// The first whole frame at or after `offset`: {offset, time}, or null.
async function probe(source, version, offset) {
  const b = await source.read(offset, PROBE);
  const at = resync(b, 0, version);
  return at < 0 ? null : { offset: offset + at, time: u64(b, at + 8) };
}

// A frame boundary at or before the frames of `target` and at most NEAR_US
// before it where it can (lo a known boundary, hi past it: {offset, time}).
async function locate(source, version, target, lo, hi) {
  for (let n = 0; n < 24 && hi.offset - lo.offset > PROBE && target - lo.time > NEAR_US; n++) {
    const share = n % 2 ? 0.5 : Math.min(0.95, Math.max(0.05, (target - lo.time) / Math.max(1, hi.time - lo.time)));
    const est = lo.offset + Math.floor((hi.offset - lo.offset) * share);
    const f = await probe(source, version, est);
    if (f && f.time <= target && f.offset < hi.offset) lo = f;
    else hi = { offset: est, time: f ? f.time : hi.time };
  }
  return lo;
}

function wholeScreen(f) {
  if (f.type === T.KEYFRAME || f.type === T.CIMAGE) return { width: u16(f.payload, 0), height: u16(f.payload, 2) };
  return null;
}

// The last whole screen in frames from `start` up to `end` (offset) or past
// `target` (time), from the frame heads (the engine checks the frames it
// applies).
async function lastWholeScreen(source, version, start, end, target) {
  const reader = new FrameReader(source, start, version, WINDOW, null, false);
  let found = null;
  for (;;) {
    const f = await reader.next();
    if (f.end || f.offset >= end || f.time > target) {
      reader.close();
      return found;
    }
    const g = wholeScreen(f);
    if (g) found = { kind: 'jump', offset: f.offset, time: f.time, ...g };
  }
}

// A place to start replaying for `target` between lo (a frame boundary the
// index reached) and hi (a frame near the end), or null.
export async function findJumpPoint(source, version, target, lo, hi) {
  const near = await locate(source, version, version >= 2 ? target - KEYFRAME_PERIOD_US : target, lo, hi);
  let found = await lastWholeScreen(source, version, near.offset, Infinity, target);
  for (let k = 1, end = near.offset; !found && k <= MAX_WINDOWS && end > lo.offset; k++) {
    const from = Math.max(lo.offset, end - WINDOW);
    const b = await source.read(from, PROBE);
    const at = resync(b, 0, version);
    if (at >= 0) found = await lastWholeScreen(source, version, from + at, end, target);
    end = from;
  }
  return found;
}
