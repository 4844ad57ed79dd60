// What the recording says about its windows and the people at the keyboard,
// in the words a reviewer searches with: the windows on screen at a time
// (geometry and stacking are facts of the X server; titles and classes are
// the client's claims), the window at a point, the stretches each window was
// shown under each title, and a search over titles, programs, participants,
// footer items, gaps and the end, with the kinds zeldump --search uses.
// Times are record times (microseconds), as in the index's markers.

const UNKNOWN_UID = 0xffffffff;
// A footer item's kind of hit, as zeldump --search names it.
const FOOTER_KINDS = { application: 'app', host: 'host', address: 'address', 'session id': 'session', 'ticket id': 'ticket', 'application format': 'app-format' };

// "xterm -e top (xterm, XTerm) pid 4242 uid 1000", as zeldump --search says it.
export function program(w) {
  const cls = [w.instance, w.className].filter((s) => s !== null && s !== undefined);
  const known = (v, unknown) => (v === null || v === undefined || v === unknown ? 'unknown' : String(v));
  return `${w.command ?? 'unknown'}${cls.length ? ` (${cls.join(', ')})` : ''} pid ${known(w.pid, -1)} uid ${known(w.uid, UNKNOWN_UID)}`;
}

// "bob (tfn tfn-bob)", or "unknown" for a record naming nobody.
export function participant(m) {
  const user = m.user ?? 'unknown';
  return m.tfn ? `${user} (tfn ${m.tfn})` : user;
}

// The window records of the index, kept in order as the index grows.
export class Windows {
  constructor() {
    this.reset();
  }

  reset() {
    this.records = []; // the window markers, in file order
    this.seen = 0; // markers of the index looked at
  }

  update(markers) {
    if (markers.length < this.seen) this.reset();
    for (let i = this.seen; i < markers.length; i++) if (markers[i].kind === 'window') this.records.push(markers[i]);
    this.seen = markers.length;
  }

  // The windows shown at time t: id -> {title, command, pid, ..., x, y, width, height, z}.
  at(t) {
    const shown = new Map();
    for (const r of this.records) {
      if (r.time > t) break;
      apply(shown, r);
    }
    return shown;
  }

  // The top window (highest z) whose outer rectangle holds (x, y) at time t.
  under(t, x, y) {
    let top = null;
    for (const w of this.at(t).values()) {
      const inside = x >= w.x && y >= w.y && x < w.x + w.width && y < w.y + w.height;
      if (inside && (!top || w.z >= top.z)) top = w;
    }
    return top;
  }

  // [{window, from, to, title, ...facts}]: each window's stretches on screen,
  // one for each title it had; `end` closes those still shown.
  stretches(end) {
    const out = [], open = new Map();
    const close = (id, t) => {
      const s = open.get(id);
      if (s) out.push({ ...s, to: t });
      open.delete(id);
    };
    const shown = new Map();
    for (const r of this.records) {
      if (r.event === 'geometry') continue;
      close(r.window, r.time);
      apply(shown, r);
      if (r.event !== 'gone' && shown.has(r.window)) open.set(r.window, { ...shown.get(r.window), from: r.time });
    }
    for (const id of [...open.keys()]) close(id, end);
    return out.sort((a, b) => a.from - b.from);
  }
}

function apply(shown, r) {
  if (r.event === 'shown') shown.set(r.window, { ...r });
  const w = shown.get(r.window);
  if (!w) return;
  if (r.event === 'title') w.title = r.title;
  if (r.event === 'geometry') Object.assign(w, { x: r.x, y: r.y, width: r.width, height: r.height, z: r.z });
  if (r.event === 'gone') shown.delete(r.window);
}

// Case-insensitive in the text as the page shows it (a title that is not
// UTF-8 was decoded with U+FFFD, as zeldump --json writes it).
const has = (text, needle) => typeof text === 'string' && text.toLocaleLowerCase().includes(needle);

// The hits of `query` among the markers, in time order:
// [{time, kind, text, window?}] with kind title, program, user, input, a
// footer item's name, gap or end.
export function search(markers, query) {
  const needle = String(query ?? '').toLocaleLowerCase();
  if (!needle) return [];
  const hits = [];
  const hit = (m, kind, text, extra = {}) => hits.push({ time: m.time, kind, text, ...extra });
  for (const m of markers) {
    if (m.kind === 'window' && (m.event === 'shown' || m.event === 'title') && has(m.title, needle)) hit(m, 'title', m.title, { window: m.window });
    if (m.kind === 'window' && m.event === 'shown' && [m.command, m.instance, m.className].some((s) => has(s, needle))) hit(m, 'program', program(m), { window: m.window });
    if ((m.kind === 'header' || m.kind === 'input') && (has(m.user, needle) || has(m.tfn, needle))) hit(m, m.kind === 'header' ? 'user' : 'input', participant(m));
    if (m.kind === 'footer' && has(m.value, needle)) hit(m, FOOTER_KINDS[m.name] ?? m.name, m.value);
    if (m.kind === 'gap' && (has(m.cause, needle) || has(m.detail, needle))) hit(m, 'gap', `${m.cause}${m.detail ? `: ${m.detail}` : ''}`);
    if (m.kind === 'end' && has(m.reason, needle)) hit(m, 'end', m.reason);
  }
  return hits.sort((a, b) => a.time - b.time);
}
