// The timeline above the seek bar: markers of events (a colour for each
// person who gave input), lanes of spans (idle, interruptions, damage) and of
// seals (one summary mark where they are too dense to tell apart), a lane of
// the windows on screen (a row for each window shown at once, a stretch for
// each title), the legend, and the picture shown while the pointer is over
// the timeline.
import { program } from './windows.js';

const $ = (id) => document.getElementById(id);
const PARTICIPANT_COLOURS = ['#6cb6ff', '#ffb454', '#59d8c1', '#ff7eb6', '#b8e986', '#f78c6c', '#82aaff', '#e6db74'];
const SEAL_SPACING_PX = 4; // closer than this on average: one summary mark
const THUMB_WIDTH = 192;
const WINDOW_ROWS = 6; // windows shown at once beyond this share the last row

const KINDS = [
  ['input', 'input (a colour for each person)'], ['screen', 'screen size'], ['window', 'window'], ['footer', 'footer item'],
  ['end', 'end'], ['seal', 'seals'], ['seal bad', 'seal that does not hold'], ['idle', 'idle'], ['gap', 'recording interrupted'],
  ['damage', 'damaged'],
];

export class Timeline {
  // `clock(us)` gives the text of a record time; `seek(seconds)` moves there;
  // `thumbnail(us, width)` gives {bitmap, time} or null.
  constructor({ seconds, clock, seek, thumbnail }) {
    Object.assign(this, { seconds, clock, seek, thumbnail });
    this.participants = new Map(); // "user\0tfn" -> colour
    this.reset();
    this.preview();
  }

  reset() {
    this.participants.clear();
    this.shown = { markers: 0, spans: '', end: null, width: 0, people: 0, windows: null };
    $('markers').replaceChildren();
    $('lanes').replaceChildren();
    $('windows').replaceChildren();
    $('legend').replaceChildren();
  }

  colour(m) {
    const key = `${m.user ?? ''}\0${m.tfn ?? ''}`;
    if (!this.participants.has(key)) this.participants.set(key, PARTICIPANT_COLOURS[this.participants.size % PARTICIPANT_COLOURS.length]);
    return this.participants.get(key);
  }

  // Shows what changed: new markers are added, and all are placed again only
  // when the end or the width changes (the DOM is not rebuilt at every update).
  show(index, end, extra) {
    const shown = this.shown, width = $('timeline').clientWidth;
    const at = (us) => `${Math.min(100, Math.max(0, (100 * this.seconds(us)) / (this.seconds(end) || 1)))}%`;
    const moved = shown.end !== end || shown.width !== width;
    const box = $('markers');
    if (moved) box.replaceChildren();
    const from = moved ? 0 : shown.markers;
    const dot = (m) => !['seal', 'header', 'gap'].includes(m.kind) && m.event !== 'geometry';
    const added = index.markers.slice(from).filter(dot).map((m) => this.marker(m, at));
    if (added.length) box.append(...added);
    const seals = index.markers.filter((m) => m.kind === 'seal');
    const gaps = index.markers.filter((m) => m.kind === 'gap');
    const spans = `${index.idle.length} ${gaps.length} ${extra.damage.length} ${seals.length}`;
    if (moved || spans !== shown.spans) {
      $('lanes').replaceChildren(
        ...index.idle.map((s) => this.span('idle', s.from, s.to, at, `idle ${this.clock(s.from)} to ${this.clock(s.to)}`)),
        ...gaps.map((m) => this.span('gap', m.from, m.time, at, `recording interrupted ${this.clock(m.from)} to ${this.clock(m.time)}: ${m.cause}${m.detail ? ` (${m.detail})` : ''}`)),
        ...extra.damage.map((d) => this.span('damage', d.from, d.to, at, d.text)),
        ...this.seals(seals, at, width));
    }
    if (moved || extra.windowKey !== shown.windows) this.windowLane(extra.windows, at);
    if (this.participants.size !== shown.people) this.legend();
    Object.assign(shown, { markers: index.markers.length, spans, end, width, people: this.participants.size, windows: extra.windowKey });
  }

  marker(m, at) {
    const d = document.createElement('div');
    d.className = `marker ${m.kind}`;
    d.style.left = at(m.time);
    if (m.kind === 'input') d.style.background = this.colour(m);
    d.title = this.describe(m);
    d.onclick = () => this.seek(this.seconds(m.time));
    return d;
  }

  describe(m) {
    const t = this.clock(m.time);
    if (m.kind === 'input') return `${t} input from ${person(m)}`;
    if (m.kind === 'screen') return `${t} screen ${m.width}×${m.height}`;
    if (m.kind === 'footer') return `${t} ${m.name}: ${m.value}`;
    if (m.kind === 'window' && m.event === 'shown') return `${t} window 0x${m.window.toString(16)} shown: ${windowText(m)}`;
    if (m.kind === 'window') return `${t} window 0x${m.window.toString(16)} ${m.event}${m.title ? `: ${m.title}` : ''}`;
    if (m.kind === 'end') return `${t} end: ${m.reason}${m.reason === 'signal' ? ` ${m.signal} from pid ${m.pid}, uid ${m.uid}` : ''}`;
    return t;
  }

  // Each stretch in the first row free at its start (the last row when none is).
  windowLane(stretches, at) {
    const rows = [];
    const spans = stretches.map((s) => {
      let row = rows.findIndex((to) => to <= s.from);
      if (row < 0) row = rows.length < WINDOW_ROWS ? rows.length : WINDOW_ROWS - 1;
      rows[row] = Math.max(rows[row] ?? 0, s.to);
      const d = this.span('window', s.from, s.to, at, `${this.clock(s.from)} to ${this.clock(s.to)} ${windowText(s)}`);
      d.style.top = `${row * 5}px`;
      d.onclick = () => this.seek(this.seconds(s.from));
      return d;
    });
    $('windows').style.height = `${rows.length * 5}px`;
    $('windows').replaceChildren(...spans);
  }

  span(kind, from, to, at, title) {
    const d = document.createElement('div');
    d.className = `span ${kind}`;
    d.style.left = at(from);
    d.style.width = `calc(${at(to)} - ${at(from)})`;
    d.title = title;
    return d;
  }

  // Seals as ticks, or one mark from the first to the last where they are
  // too many for the width; those that do not hold always as ticks.
  seals(seals, at, width) {
    const good = seals.filter((s) => s.good), bad = seals.filter((s) => !s.good);
    const tick = (s) => {
      const d = this.span(`seal${s.good ? '' : ' bad'}`, s.time, s.time, at, `${this.clock(s.time)} seal at byte ${s.offset}${s.signed ? ', signed' : ''}${s.good ? '' : ' — DOES NOT HOLD'}`);
      d.onclick = () => this.seek(this.seconds(s.time));
      return d;
    };
    const dense = good.length > 1 && good.length * SEAL_SPACING_PX > width;
    const marks = dense
      ? [this.span('seal summary', good[0].time, good[good.length - 1].time, at, `${good.length} seals hold, ${this.clock(good[0].time)} to ${this.clock(good[good.length - 1].time)}`)]
      : good.map(tick);
    return [...marks, ...bad.map(tick)];
  }

  legend() {
    const item = (cls, text, colour) => {
      const s = document.createElement('span');
      const sw = document.createElement('i');
      sw.className = `swatch ${cls}`;
      if (colour) sw.style.background = colour;
      s.append(sw, text);
      return s;
    };
    const people = [...this.participants].map(([key, colour]) => {
      const [user, tfn] = key.split('\0');
      return item('input', person({ user: user || null, tfn: tfn || null }), colour);
    });
    $('legend').replaceChildren(...KINDS.map(([cls, text]) => item(cls, text)), ...people);
  }

  // The picture of the last whole screen before the time under the pointer.
  preview() {
    const box = $('timeline'), pv = $('preview');
    let want = null, busy = false;
    const draw = async () => {
      if (busy || want === null) return;
      busy = true;
      const t = want;
      try {
        const thumb = await this.thumbnail(t, THUMB_WIDTH);
        const c = $('thumb');
        if (thumb) {
          c.width = thumb.bitmap.width;
          c.height = thumb.bitmap.height;
          c.getContext('2d').drawImage(thumb.bitmap, 0, 0);
        }
        c.hidden = !thumb;
      } catch {
        $('thumb').hidden = true;
      } finally {
        busy = false;
        if (want !== t) draw();
      }
    };
    box.addEventListener('pointermove', (e) => {
      const r = $('seek').getBoundingClientRect();
      const f = Math.min(1, Math.max(0, (e.clientX - r.left) / r.width));
      const t = this.timeAt?.(f);
      if (t === undefined || t === null) return;
      pv.hidden = false;
      pv.style.left = `${Math.min(r.width - THUMB_WIDTH, Math.max(0, e.clientX - r.left - THUMB_WIDTH / 2))}px`;
      $('preview-time').textContent = this.clock(t);
      want = t;
      draw();
    });
    box.addEventListener('pointerleave', () => {
      pv.hidden = true;
      want = null;
    });
  }
}

// "top: alice — xterm -e top (xterm, XTerm) pid 4242 uid 1000": a window's
// title (the client's claim) and its program (what the server and host know).
export function windowText(w) {
  return `${w.title === null || w.title === undefined ? '(no title)' : w.title} — ${program(w)}`;
}

// Who a last-input record names ("nobody known" when it names nobody).
export function person(m) {
  if (m.user === null && m.tfn === null) return 'nobody known';
  return `${m.user ?? 'a user not named'}${m.tfn ? ` (${m.tfn})` : ''}`;
}
