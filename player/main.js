// The player page: controls, timeline, keyboard, and window.zelPlayer for
// scripts and tests.  The recording comes from ?src=URL (any server that
// answers HTTP range requests); &t=SECONDS opens it at that time, &key= pins
// the public key line every seal must be signed with, &idle=SECONDS sets
// what counts as idle (5), &utc=1 shows times in UTC.
import { Engine, Superseded } from './engine.js';
import { TruncatedHead, publicKeyOfLine } from './format.js';
import { Timeline, person, windowText } from './timeline.js';
import { Windows, search } from './windows.js';
import { zstdDecoder } from './zstd.js';

const $ = (id) => document.getElementById(id);
const SPEEDS = [0.25, 0.5, 1, 2, 4, 8, 16];
const query = new URLSearchParams(location.search);
// The access token of zeldump --serve, from the address's fragment (which the
// browser never sends): sent as "Authorization: Bearer" to this server only.
const token = new URLSearchParams(location.hash.slice(1)).get('token') || '';

let updating = false; // one update a frame, however many changes
const engine = new Engine($('screen'), () => {
  if (updating) return;
  updating = true;
  requestAnimationFrame(() => {
    updating = false;
    update();
  });
});
const ui = { loaded: false, error: null, dragging: false, fit: true, utc: query.get('utc') === '1', url: null,
  hover: null, under: null }; // hover: the reviewer's pointer over the screen, in recorded pixels
const windows = new Windows();

const seconds = (us) => (us - (engine.base ?? 0)) / 1e6;

function clockText(s) {
  const m = Math.floor(s / 60), h = Math.floor(m / 60);
  const rest = `${String(m % 60).padStart(h ? 2 : 1, '0')}:${(s % 60).toFixed(1).padStart(4, '0')}`;
  return h ? `${h}:${rest}` : rest;
}

const clockFormats = new Map(); // made once each: an Intl formatter is costly

// A record time as the wall-clock time, local (with the zone) or UTC.
function wallClock(us) {
  if (!clockFormats.has(ui.utc)) {
    clockFormats.set(ui.utc, new Intl.DateTimeFormat('en-US', { year: 'numeric', month: '2-digit', day: '2-digit', hour: '2-digit',
      minute: '2-digit', second: '2-digit', fractionalSecondDigits: 1, hourCycle: 'h23', timeZoneName: 'short', timeZone: ui.utc ? 'UTC' : undefined }));
  }
  const p = Object.fromEntries(clockFormats.get(ui.utc).formatToParts(new Date(us / 1000)).map((x) => [x.type, x.value]));
  return `${p.year}-${p.month}-${p.day} ${p.hour}:${p.minute}:${p.second}.${p.fractionalSecond} ${p.timeZoneName}`;
}

const timeline = new Timeline({
  seconds,
  clock: (us) => clockText(Math.max(0, seconds(us))),
  seek: (s) => zelPlayer.seek(s).catch(() => {}),
  thumbnail: (us, width) => engine.thumbnail(us, width),
});
timeline.timeAt = (f) => (ui.loaded ? engine.base + f * (engine.endTime - engine.base) : null);

// Who signed, in words, and as a word for scripts.
function signer(s) {
  if (engine.version === 1) return ['none', 'format version 1: no seals, nothing proves it unchanged'];
  if (s.signed === null || s.signed === undefined) return ['none', 'no seal read yet'];
  if (!s.signed) return ['unsigned', 'unsigned: seals prove nothing about who wrote it'];
  if (s.pinned && s.authentic && s.seals) return ['pinned', `signed by the pinned key ${s.keyId}`];
  return ['key', `signed by key ${s.keyId}`];
}

// The verification state, no stronger than what the file proves.
function verification() {
  if (ui.error) return { state: ui.errorState, text: ui.error, signer: 'none' };
  if (!ui.url) return { state: 'none', text: '', signer: 'none' };
  const ix = engine.index, s = ix.state;
  if (!ui.loaded || !s) return { state: 'checking', text: 'opening…', signer: 'none' };
  const [who, whoText] = signer(s);
  const sealed = s.sealed && engine.version > 1 ? `; sealed up to ${clockText(seconds(s.sealed.time))}` : '';
  const out = (state, text) => ({ state, text, signer: who, keyId: s.keyId });
  if (engine.source?.storeProblem) return out('not-authentic', `not authentic from the store: ${engine.source.storeProblem}`);
  // damage breaks the seals' chain too: the state is corrupt, as zeldump
  // --verify says, and the text keeps the seal that does not hold
  const forged = s.authentic === false ? `; NOT AUTHENTIC: ${s.authProblem}` : '';
  if (s.state === 'corrupt') return out('corrupt', `CORRUPT: ${damageText(s.damage ?? [])}${forged}; the intact parts play`);
  if (s.authentic === false) return out('not-authentic', `NOT AUTHENTIC: ${s.authProblem}`);
  if (s.state === 'unreadable') return out('error', `cannot be read: ${s.problem}`);
  if (s.state === 'complete') return out('complete', `complete, ${engine.version > 1 ? 'intact, ' : ''}${whoText}`);
  if (s.state === 'truncated' && s.live) return out('live', `live: being recorded; ${whoText}${sealed}`);
  if (s.state === 'truncated') return out('truncated', `TRUNCATED at byte ${s.problemOffset}: ${s.problem}; the readable part plays; ${whoText}${sealed}`);
  const size = ix.size || engine.source?.size || 1;
  return out('checking', `checking… ${Math.min(100, Math.floor((100 * ix.frontier.offset) / size))}%`);
}

// Damaged spans by record time and bytes, as zeldump --verify tells them.
function damageSpans(damage) {
  return damage.map((d) => {
    const from = d.timeBefore ?? engine.base, to = d.timeAfter ?? from;
    return { from, to, bytes: [d.from, d.to], text: `damaged ${clockText(seconds(from))} to ${clockText(seconds(to))} (bytes ${d.from} to ${d.to}): ${d.problem}` };
  });
}

function damageText(damage) {
  const spans = damageSpans(damage);
  if (!spans.length) return 'damaged';
  return spans[0].text + (spans.length > 1 ? `, and ${spans.length - 1} more damaged stretch${spans.length > 2 ? 'es' : ''}` : '');
}

// Sets what differs only: the page is updated at every frame drawn.
function put(el, text) {
  if (el.textContent !== text) el.textContent = text;
}

function update() {
  const v = verification();
  $('state').dataset.state = v.state;
  $('state').dataset.signer = v.signer;
  put($('state'), v.text);
  if (!ui.loaded) return;
  const end = seconds(engine.endTime), now = seconds(engine.shown ?? engine.base);
  put($('time'), `${clockText(now)} / ${clockText(end)}`);
  put($('clock'), wallClock(engine.shown ?? engine.base));
  if (!ui.dragging) {
    $('seek').max = String(end || 1);
    $('seek').value = String(now);
  }
  put($('play'), engine.playing ? 'Pause' : 'Play');
  $('live').classList.toggle('on', !!engine.follow);
  windows.update(engine.index.markers);
  timeline.show(engine.index, engine.endTime, { damage: damageSpans(engine.index.state.damage ?? []),
    windows: windows.stretches(engine.endTime), windowKey: `${windows.records.length} ${engine.endTime}` });
  showInput();
  showWindowUnder();
  if ($('query').value && Number($('hits').dataset.markers) !== engine.index.markers.length) showHits();
  showFacts(v);
  layout();
}

// Who holds the input at the frame shown: the last input marker before it.
function showInput() {
  let who = null;
  for (const m of engine.index.markers) {
    if (m.time > (engine.shown ?? 0)) break;
    if (m.kind === 'input') who = m;
  }
  put($('input'), `input: ${who ? person(who) : 'nobody yet'}`);
  $('input').style.borderColor = who ? timeline.colour(who) : 'transparent';
}

// The window under the reviewer's pointer over the screen, else under the
// recorded pointer, at the frame shown.
function showWindowUnder() {
  const p = ui.hover ?? engine.screen?.pointer;
  const t = engine.shown ?? engine.base;
  const key = p ? `${t} ${p.x} ${p.y} ${windows.records.length}` : '';
  if (key === ui.under) return;
  ui.under = key;
  const w = p && windows.under(t, p.x, p.y);
  put($('under'), w ? `window: ${windowText(w)}` : '');
  $('under').title = ui.hover ? 'the window under your pointer' : 'the window under the recorded pointer';
}

function showFacts(v) {
  const ix = engine.index, screen = engine.screen;
  const when = `${ix.markers.length} ${screen?.width}x${screen?.height} ${v.text} ${ui.utc}`;
  if ($('facts').dataset.when === when) return;
  $('facts').dataset.when = when;
  const facts = new Map([['format version', String(engine.version)], ['started', wallClock(engine.base)]]);
  for (const m of ix.markers) {
    if (m.kind === 'header') facts.set('user', person(m));
    if (m.kind === 'footer') facts.set(m.name, m.value);
    if (m.kind === 'end') facts.set('ended', `${wallClock(m.time)}: ${m.reason}${m.reason === 'signal' ? ` ${m.signal} from pid ${m.pid}, uid ${m.uid}` : ''}`);
  }
  if (screen?.has) facts.set('screen', `${screen.width}×${screen.height}`);
  facts.set('state', v.text);
  if (ix.state.keyId) facts.set('key id', ix.state.keyId);
  facts.set('seals that hold', String(ix.state.seals ?? 0));
  const key = [...facts].join('\n');
  if ($('facts').dataset.key === key) return;
  $('facts').dataset.key = key;
  $('facts').replaceChildren(...[...facts].flatMap(([k, value]) => {
    const dt = document.createElement('dt'), dd = document.createElement('dd');
    dt.textContent = k;
    dd.textContent = value;
    return [dt, dd];
  }));
}

// Fit: the whole screen as large as the stage allows (up or down); 100 %:
// one recorded pixel a pixel.  Only CSS scales: the canvas keeps the pixels.
function layout() {
  const c = $('screen'), stage = $('stage');
  const k = ui.fit && c.width && c.height ? Math.min(stage.clientWidth / c.width, stage.clientHeight / c.height) : 1;
  const w = `${Math.floor(c.width * k)}px`, h = `${Math.floor(c.height * k)}px`;
  if (c.style.width !== w || c.style.height !== h) Object.assign(c.style, { width: w, height: h });
}

function fail(e) {
  if (e instanceof Superseded) return;
  ui.error = e instanceof TruncatedHead ? `TRUNCATED: ${e.message}; nothing to play` : String(e.message || e);
  ui.errorState = e instanceof TruncatedHead ? 'truncated' : 'error';
  $('error').hidden = false;
  $('error').textContent = ui.error;
  update();
}

const link = () => {
  const u = new URL(location.href);
  u.searchParams.set('t', String(Math.round(zelPlayer.currentTime * 1000) / 1000));
  return u.href; // the fragment (the token) comes along
};

function checked(speed) {
  if (!SPEEDS.includes(speed)) throw new RangeError(`speed must be one of ${SPEEDS.join(', ')}`);
  return speed;
}

const zelPlayer = {
  // Opens a recording; resolves when its first frame is drawn.
  async load(url, options = {}) {
    Object.assign(ui, { loaded: false, error: null, url: new URL(url, location.href) });
    $('error').hidden = true;
    $('title').textContent = decodeURIComponent(ui.url.pathname.split('/').pop());
    $('back').hidden = !(token && ui.url.origin === location.origin && ui.url.pathname.startsWith('/files/'));
    $('back').href = `/${location.hash}`;
    timeline.reset();
    windows.reset();
    ui.under = null;
    $('hits').replaceChildren();
    $('facts').replaceChildren();
    delete $('facts').dataset.key;
    delete $('facts').dataset.when;
    update();
    try {
      const pinned = options.key ?? query.get('key');
      if (pinned && !publicKeyOfLine(pinned)) throw new Error('the key given is not the line of a public key file');
      await engine.load(url, { token, pinned, ...options });
    } catch (e) {
      fail(e);
      throw e;
    }
    ui.loaded = true;
    engine.setSpeed(Number($('speed').value));
    engine.skipIdle = $('skip').checked;
    update();
  },
  seek(s) {
    if (typeof s !== 'number' || !Number.isFinite(s)) return Promise.reject(new RangeError('seek needs a finite number of seconds'));
    if (!ui.loaded) return Promise.reject(new Error('no recording is loaded'));
    return engine.seek(Math.max(0, s));
  },
  step: (direction) => (ui.loaded ? engine.stepFrame(direction < 0 ? -1 : 1) : Promise.resolve()),
  play: () => ui.loaded && engine.play(),
  pause: () => engine.pause(),
  live: () => ui.loaded && engine.goLive(),
  get speed() { return engine.speed ?? 1; },
  set speed(s) {
    engine.setSpeed(checked(s));
    $('speed').value = String(s);
  },
  get skipIdle() { return !!engine.skipIdle; },
  set skipIdle(on) {
    engine.skipIdle = !!on;
    $('skip').checked = !!on;
  },
  get utc() { return ui.utc; },
  set utc(on) {
    ui.utc = !!on;
    update();
  },
  get duration() { return ui.loaded ? seconds(engine.endTime) : 0; },
  get currentTime() { return ui.loaded ? seconds(engine.shown ?? engine.base) : 0; },
  get playing() { return !!engine.playing; },
  get following() { return !!engine.follow; },
  // {state: 'none' | 'checking' | 'complete' | 'truncated' | 'live' | 'corrupt' | 'not-authentic' | 'error',
  //  text, final, signer: 'pinned' | 'key' | 'unsigned' | 'none', keyId}
  get verification() { return { ...verification(), final: !!ui.error || !!engine.index.final }; },
  get markers() { return engine.index.markers.map(inSeconds); },
  // Every event read so far ({time, kind, ...}, as markers), in time order.
  events: () => engine.index.markers.map(inSeconds).sort((a, b) => a.time - b.time),
  // The hits of text in titles, programs, participants, footer items, gaps
  // and the end: [{time, kind, text, window?}] in time order.
  search: (text) => search(engine.index.markers, text).map((h) => ({ ...h, time: seconds(h.time) })),
  get idle() { return engine.index.idle.map((s) => ({ from: seconds(s.from), to: seconds(s.to) })); },
  // [{from, to, bytes: [first, after], text}]: the damaged stretches, in seconds
  get damage() { return damageSpans(engine.index.state.damage ?? []).map((d) => ({ ...d, from: seconds(d.from), to: seconds(d.to) })); },
  get link() { return link(); },
  get version() { return engine.version; },
  get decoder() { return zstdDecoder(); }, // the zstd decoder: 'WebAssembly' or 'JavaScript'
};
window.zelPlayer = zelPlayer;

function inSeconds(m) {
  return { ...m, time: seconds(m.time), ...(m.from !== undefined && { from: seconds(m.from) }) };
}

// The search box: the hits listed with their times; a click seeks there.
function showHits() {
  const q = $('query').value.trim();
  const hits = q && ui.loaded ? zelPlayer.search(q) : [];
  $('hits').replaceChildren(...hits.slice(0, 500).map((h) => {
    const li = document.createElement('li'), b = document.createElement('button');
    b.className = 'plain';
    b.textContent = `${clockText(h.time)} ${h.kind}: ${h.text}`;
    b.onclick = () => quietly(zelPlayer.seek(h.time));
    li.append(b);
    return li;
  }));
  $('hits').dataset.markers = String(engine.index.markers.length);
  put($('hit-count'), q ? `${hits.length} hit${hits.length === 1 ? '' : 's'}${hits.length > 500 ? ' (the first 500 shown)' : ''}` : '');
}

async function copyLink() {
  const text = link();
  try {
    await navigator.clipboard.writeText(text);
    $('link').textContent = 'Copied';
    setTimeout(() => { $('link').textContent = 'Copy link'; }, 1500);
  } catch { // no clipboard here (not a secure context): show it to copy by hand
    $('copied').hidden = false;
    $('copied-link').value = text;
    $('copied-link').select();
  }
}

function savePng() {
  $('screen').toBlob((blob) => {
    if (!blob) return;
    const a = document.createElement('a');
    a.href = URL.createObjectURL(blob);
    a.download = `${$('title').textContent.replace(/\.zel$/, '')}-${zelPlayer.currentTime.toFixed(1)}s.png`;
    a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  }, 'image/png');
}

function toggleZoom() {
  ui.fit = !ui.fit;
  $('stage').classList.toggle('fit', ui.fit);
  $('zoom').textContent = ui.fit ? '100%' : 'Fit';
  layout();
}

const toggleFullscreen = () => (document.fullscreenElement ? document.exitFullscreen() : document.body.requestFullscreen()).catch(() => {});
const toggleHelp = () => ($('help').open ? $('help').close() : $('help').showModal());
const quietly = (p) => Promise.resolve(p).catch(() => {});

$('play').onclick = () => (engine.playing ? engine.pause() : zelPlayer.play());
$('prev').onclick = () => quietly(zelPlayer.step(-1));
$('next').onclick = () => quietly(zelPlayer.step(1));
$('speed').onchange = () => { zelPlayer.speed = Number($('speed').value); };
$('skip').onchange = () => { zelPlayer.skipIdle = $('skip').checked; };
$('live').onclick = () => zelPlayer.live();
$('zoom').onclick = toggleZoom;
$('full').onclick = toggleFullscreen;
$('link').onclick = copyLink;
$('png').onclick = savePng;
$('clock').onclick = () => { zelPlayer.utc = !ui.utc; };
$('help-button').onclick = toggleHelp;
$('query').oninput = showHits;
$('find').onsubmit = (e) => {
  e.preventDefault();
  showHits();
  $('hits').querySelector('button')?.click();
};
$('screen').addEventListener('pointermove', (e) => {
  const c = $('screen'), r = c.getBoundingClientRect();
  ui.hover = { x: Math.floor(((e.clientX - r.left) * c.width) / r.width), y: Math.floor(((e.clientY - r.top) * c.height) / r.height) };
  showWindowUnder();
});
$('screen').addEventListener('pointerleave', () => {
  ui.hover = null;
  showWindowUnder();
});
$('seek').oninput = () => { ui.dragging = true; quietly(zelPlayer.seek(Number($('seek').value))); };
$('seek').onchange = () => { ui.dragging = false; };
new ResizeObserver(layout).observe($('stage'));

const KEYS = {
  ' ': () => $('play').click(),
  arrowleft: (e) => zelPlayer.seek(Math.max(0, zelPlayer.currentTime - (e.shiftKey ? 30 : 5))),
  arrowright: (e) => zelPlayer.seek(zelPlayer.currentTime + (e.shiftKey ? 30 : 5)),
  home: () => zelPlayer.seek(0),
  end: () => zelPlayer.seek(zelPlayer.duration),
  ',': () => zelPlayer.step(-1),
  '.': () => zelPlayer.step(1),
  l: () => zelPlayer.live(),
  z: toggleZoom,
  f: toggleFullscreen,
  i: () => { zelPlayer.skipIdle = !zelPlayer.skipIdle; },
  u: () => { zelPlayer.utc = !ui.utc; },
  c: copyLink,
  p: savePng,
  '?': toggleHelp,
  '/': () => $('query').focus(),
};

document.addEventListener('keydown', (e) => {
  if (e.ctrlKey || e.metaKey || e.altKey || e.target.matches?.('select, textarea, input:not([type=range]):not([type=checkbox])')) return;
  // Space and Enter keep their own meaning on buttons, links and the summary.
  if ((e.key === ' ' || e.key === 'Enter') && e.target.matches?.('button, a, summary, input')) return;
  const speed = SPEEDS[Number(e.key) - 1];
  const action = KEYS[e.key.toLowerCase()] || (speed && (() => { zelPlayer.speed = speed; }));
  if (!action || ($('help').open && e.key !== '?')) return;
  e.preventDefault();
  quietly(action(e));
});

setInterval(update, 500);

const src = query.get('src');
if (src) {
  const at = Number(query.get('t'));
  zelPlayer.load(src, { snapshotSeconds: Number(query.get('snapshot')) || undefined, idleSeconds: Number(query.get('idle')) || undefined })
    .then(() => (query.has('t') && Number.isFinite(at) ? zelPlayer.seek(at) : null))
    .catch(() => {});
} else {
  $('title').textContent = 'no recording: give one as ?src=URL';
}
