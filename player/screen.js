// The recorded screen, rebuilt by applying records, kept as opaque RGBA (one
// Uint32 per pixel, bytes R, G, B, A) so that drawing is a putImageData of
// what changed.  Colours convert exactly as libzel's zel_replay_render_rgba
// does; the alpha byte of ARGB visuals is not shown (a screen is opaque).
import { FormatError, u16, u32 } from './format.js';

const BYTES_PER_PIXEL = [0, 1, 1, 1, 2, 2, 4, 4, 4, 4, 4, 4, 4, 4]; // by pixel format 0..13
const OPAQUE = 0xff000000;
const MAX_CANVAS = 512 * 1024 * 1024;

export function stride(width, bpp, pad) {
  const p = pad || 8;
  return (Math.ceil((width * bpp * 8) / p) * p) / 8;
}

const rgba = (r, g, b) => (OPAQUE | r | (g << 8) | (b << 16)) >>> 0;
const scale = (v, max) => Math.floor((v * 255 + (max >> 1)) / max);

// A table from pixel value to RGBA for 1- and 2-byte formats.
function lookupTable(format, palette) {
  if (format === 1) {
    const t = new Uint32Array(256).fill(rgba(0, 0, 0));
    (palette || []).slice(0, 256).forEach(([r, g, b], i) => { t[i] = rgba(r >> 8, g >> 8, b >> 8); });
    return t;
  }
  if (format === 2) return Uint32Array.from({ length: 256 }, (_, v) => rgba(scale(v >> 5, 7), scale((v >> 2) & 7, 7), scale(v & 3, 3)));
  if (format === 3) return Uint32Array.from({ length: 256 }, (_, v) => rgba(scale(v & 7, 7), scale((v >> 3) & 7, 7), scale(v >> 6, 3)));
  const t = new Uint32Array(65536);
  for (let v = 0; v < 65536; v++) {
    const hi = scale(v >> 11, 31), mid = scale((v >> 5) & 63, 63), lo = scale(v & 31, 31);
    t[v] = format === 4 ? rgba(hi, mid, lo) : rgba(lo, mid, hi);
  }
  return t;
}

// Shifts of red, green and blue in the 32-bit formats 6..13.
const SHIFTS = { 6: [16, 8, 0], 7: [0, 8, 16], 8: [24, 16, 8], 9: [8, 16, 24], 10: [16, 8, 0], 11: [0, 8, 16], 12: [24, 16, 8], 13: [8, 16, 24] };

// A function converting n pixels at s[so] into d[di..].
function rowConverter(format, palette) {
  const bpp = BYTES_PER_PIXEL[format];
  if (bpp === 1) {
    const t = lookupTable(format, palette);
    return (s, so, d, di, n) => { for (let i = 0; i < n; i++) d[di + i] = t[s[so + i]]; };
  }
  if (bpp === 2) {
    const t = lookupTable(format, palette);
    return (s, so, d, di, n) => { for (let i = 0; i < n; i++, so += 2) d[di + i] = t[s[so] | (s[so + 1] << 8)]; };
  }
  if (format === 6 || format === 10) { // B, G, R, x bytes: the usual depth-24 layout
    const bytes = (s, so, d, di, n) => {
      for (let i = 0; i < n; i++, so += 4) d[di + i] = OPAQUE | s[so + 2] | (s[so + 1] << 8) | (s[so] << 16);
    };
    // The source as 32-bit little-endian words (as on every platform browsers
    // run on), where aligned: a quarter faster.
    let buffer = null, words = null;
    return (s, so, d, di, n) => {
      const at = s.byteOffset + so;
      if (at & 3) return bytes(s, so, d, di, n);
      if (s.buffer !== buffer) {
        buffer = s.buffer;
        words = new Uint32Array(buffer, 0, buffer.byteLength >>> 2);
      }
      for (let i = 0, k = at >>> 2; i < n; i++, k++) {
        const v = words[k];
        d[di + i] = OPAQUE | ((v >>> 16) & 255) | (v & 0xff00) | ((v & 255) << 16);
      }
    };
  }
  const [rs, gs, bs] = SHIFTS[format];
  return (s, so, d, di, n) => {
    for (let i = 0; i < n; i++, so += 4) {
      const v = u32(s, so);
      d[di + i] = OPAQUE | ((v >>> rs) & 255) | (((v >>> gs) & 255) << 8) | (((v >>> bs) & 255) << 16);
    }
  };
}

// A copy record is refused whole when any rectangle leaves the screen
// (`screen`: {has, width, height}).
export function checkCopy(screen, rects) {
  const inside = (x, y, w, h) => x >= 0 && y >= 0 && x + w <= screen.width && y + h <= screen.height;
  const fits = (r) => r.w === 0 || r.h === 0 || (inside(r.sx, r.sy, r.w, r.h) && inside(r.dx, r.dy, r.w, r.h));
  if (!screen.has || !rects.every(fits)) throw new FormatError('copy record does not fit the screen');
}

export class Screen {
  // `spare`: a pixel buffer of an earlier screen to reuse for one of the same size.
  constructor(spare = null) {
    this.spare = spare;
    this.has = false;
    this.width = 0;
    this.height = 0;
    this.px = new Uint32Array(0);
    this.cursor = null; // {width, height, xhot, yhot, pixels}
    this.pointer = null; // {x, y}
    this.dirty = null; // {x0, y0, x1, y1} changed since the last draw
    this.revision = 0;
    this.damaged = false; // records are missing: pictures wait for a whole screen
  }

  header(h) {
    const bpp = BYTES_PER_PIXEL[h.format] || 0;
    if (!bpp || ![0, 8, 16, 32, 64].includes(h.pad)) throw new FormatError('header of a pixel format without pixel size');
    this.format = h.format;
    this.bpp = bpp;
    this.pad = h.pad;
    this.convert = rowConverter(h.format, h.palette);
    const zero = new Uint32Array(1);
    this.convert(new Uint8Array(4), 0, zero, 0, 1);
    this.zero = zero[0];
    this.has = true;
    this.width = this.height = 0;
    this.resize(h.width, h.height);
  }

  // A new size keeping the top-left part; the rest as zero bytes would show.
  resize(w, h) {
    if (!this.has) throw new FormatError('screen change before the header');
    if (w === this.width && h === this.height) return;
    if (stride(w, this.bpp, this.pad) * h > MAX_CANVAS) throw new FormatError('screen past the size limit');
    const reuse = this.spare && this.spare.length === w * h && this.width * this.height === 0;
    const px = (reuse ? this.spare : new Uint32Array(w * h)).fill(this.zero);
    this.spare = null;
    const cw = Math.min(w, this.width);
    for (let y = 0; y < Math.min(h, this.height); y++) px.set(this.px.subarray(y * this.width, y * this.width + cw), y * w);
    this.px = px;
    this.width = w;
    this.height = h;
    this.touch(0, 0, w, h);
  }

  touch(x0, y0, x1, y1) {
    const d = this.dirty;
    this.dirty = d ? { x0: Math.min(d.x0, x0), y0: Math.min(d.y0, y0), x1: Math.max(d.x1, x1), y1: Math.max(d.y1, y1) } : { x0, y0, x1, y1 };
    this.revision++;
  }

  // Pixels of a w x h rectangle whose rows lie rowBytes apart, clipped.
  paint(x, y, w, h, src, at, rowBytes) {
    const x0 = Math.max(x, 0), y0 = Math.max(y, 0);
    const x1 = Math.min(x + w, this.width), y1 = Math.min(y + h, this.height);
    if (x0 >= x1 || y0 >= y1) return;
    for (let row = y0; row < y1; row++)
      this.convert(src, at + (row - y) * rowBytes + (x0 - x) * this.bpp, this.px, row * this.width + x0, x1 - x0);
    this.touch(x0, y0, x1, y1);
  }

  image(g, pixels) {
    if (!this.has || g.format !== this.format || ![0, 8, 16, 32, 64].includes(g.pad)) throw new FormatError('image that does not fit the screen');
    if (g.width === 0 || g.height === 0) return;
    const rowBytes = stride(g.width, this.bpp, g.pad);
    if (pixels.length < (g.height - 1) * rowBytes + g.width * this.bpp) throw new FormatError('image data shorter than its size');
    this.paint(g.x, g.y, g.width, g.height, pixels, 0, rowBytes);
  }

  // Block entries: every one checked before any is painted.
  blocks(d) {
    if (!this.has) throw new FormatError('image blocks before the header');
    for (let pass = 0; pass < 2; pass++) {
      let at = 0;
      while (at < d.length) {
        if (d.length - at < 8) throw new FormatError('block entry cut short');
        const x = (u16(d, at) << 16) >> 16, y = (u16(d, at + 2) << 16) >> 16, w = u16(d, at + 4), h = u16(d, at + 6);
        const rowBytes = stride(w, this.bpp, this.pad);
        at += 8;
        if (rowBytes * h > d.length - at) throw new FormatError('block entry longer than the record');
        if (pass === 1) this.paint(x, y, w, h, d, at, rowBytes);
        at += rowBytes * h;
      }
    }
  }

  // Copy entries in order, each as if its source were read whole first; the
  // record is refused whole when any rectangle leaves the screen.
  copy(rects) {
    checkCopy(this, rects);
    const W = this.width, px = this.px;
    for (const r of rects) {
      if (r.w === 0 || r.h === 0) continue;
      const down = r.dy > r.sy;
      for (let k = 0; k < r.h; k++) {
        const row = down ? r.h - 1 - k : k;
        const s = (r.sy + row) * W + r.sx;
        px.copyWithin((r.dy + row) * W + r.dx, s, s + r.w);
      }
      this.touch(r.dx, r.dy, r.dx + r.w, r.dy + r.h);
    }
  }

  setCursor(c, pixels) {
    const n = c.width * c.height;
    if (pixels.length < n) throw new FormatError('cursor image with fewer pixels than its size');
    this.cursor = { width: c.width, height: c.height, xhot: c.xhot, yhot: c.yhot, pixels: pixels.slice(0, n) };
    this.setPointer(c.x, c.y);
  }

  setPointer(x, y) {
    this.pointer = { x, y };
    this.revision++;
  }

  // The cursor's rectangle on the screen, clipped; null when not drawn.
  cursorRect() {
    const c = this.cursor, p = this.pointer;
    if (!c || !p || !this.has) return null;
    const x = p.x - c.xhot, y = p.y - c.yhot;
    const x0 = Math.max(x, 0), y0 = Math.max(y, 0), x1 = Math.min(x + c.width, this.width), y1 = Math.min(y + c.height, this.height);
    return x0 < x1 && y0 < y1 ? { x, y, x0, y0, x1, y1 } : null;
  }

  // Blends the premultiplied ARGB cursor over the screen (libzel's rounding);
  // returns the pixels it covered so that uncover() can put them back.
  cover(r) {
    const c = this.cursor, W = this.width, px = this.px, saved = [];
    for (let y = r.y0; y < r.y1; y++) {
      saved.push(px.slice(y * W + r.x0, y * W + r.x1));
      for (let x = r.x0; x < r.x1; x++) {
        const p = c.pixels[(y - r.y) * c.width + (x - r.x)], a = p >>> 24;
        if (a === 0 && (p & 0xffffff) === 0) continue;
        const d = px[y * W + x], keep = 255 - a;
        const blend = (s, dv) => Math.min(255, s + Math.floor((dv * keep + 127) / 255));
        px[y * W + x] = rgba(blend((p >>> 16) & 255, d & 255), blend((p >>> 8) & 255, (d >>> 8) & 255), blend(p & 255, (d >>> 16) & 255));
      }
    }
    return saved;
  }

  uncover(r, saved) {
    saved.forEach((row, i) => this.px.set(row, (r.y0 + i) * this.width + r.x0));
  }

  snapshot() {
    return { width: this.width, height: this.height, px: this.px.slice() };
  }

  restore(s) {
    this.width = s.width;
    this.height = s.height;
    this.px = s.px;
    this.touch(0, 0, s.width, s.height);
  }
}

// Draws a Screen into a 2D canvas: only what changed since the last draw,
// plus where the cursor was and is.
export class CanvasView {
  constructor(canvas) {
    this.canvas = canvas;
    this.ctx = canvas.getContext('2d', { alpha: false, willReadFrequently: false });
    this.image = null;
    this.lastCursor = null;
  }

  clear() {
    this.canvas.width = this.canvas.height = 0;
    this.image = null;
    this.lastCursor = null;
  }

  draw(screen) {
    if (!screen.has || screen.width === 0 || screen.height === 0) return;
    let d = screen.dirty;
    if (!this.image || this.image.data.buffer !== screen.px.buffer) {
      if (this.canvas.width !== screen.width || this.canvas.height !== screen.height) {
        this.canvas.width = screen.width;
        this.canvas.height = screen.height;
      }
      this.image = new ImageData(new Uint8ClampedArray(screen.px.buffer, 0, screen.width * screen.height * 4), screen.width, screen.height);
      d = { x0: 0, y0: 0, x1: screen.width, y1: screen.height };
    }
    const r = screen.cursorRect();
    for (const c of [this.lastCursor, r]) {
      if (!c) continue;
      const x0 = Math.max(0, c.x0), y0 = Math.max(0, c.y0), x1 = Math.min(screen.width, c.x1), y1 = Math.min(screen.height, c.y1);
      if (x0 < x1 && y0 < y1) d = d ? { x0: Math.min(d.x0, x0), y0: Math.min(d.y0, y0), x1: Math.max(d.x1, x1), y1: Math.max(d.y1, y1) } : { x0, y0, x1, y1 };
    }
    screen.dirty = null;
    this.lastCursor = r;
    if (!d) return;
    const saved = r ? screen.cover(r) : null;
    this.ctx.putImageData(this.image, 0, 0, d.x0, d.y0, d.x1 - d.x0, d.y1 - d.y0);
    if (r) screen.uncover(r, saved);
  }
}
