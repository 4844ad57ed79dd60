// The player page: controls, timeline, keyboard, and window.zelPlayer for
// scripts and tests.  The recording comes from ?src=URL (any server that
// answers HTTP range requests).
import { Engine } from './engine.js';
import { zstdDecoder } from './zstd.js';

const $ = (id) => document.getElementById(id);
const SPEEDS = [0.25, 0.5, 1, 2, 4, 8, 16];
const engine = new Engine($('screen'), () => requestAnimationFrame(update));
let loaded = false, dragging = false, markersShown = 0, lastSize = -1, grewAt = -Infinity;

// The access token of zeldump --serve, from the address's fragment (which the
// browser never sends): sent as "Authorization: Bearer" to this server only.
const token = new URLSearchParams(location.hash.slice(1)).get('token') || '';

const seconds = (us) => (us - (engine.base ?? 0)) / 1e6;

function clockText(s) {
  const m = Math.floor(s / 60), h = Math.floor(m / 60);
  const rest = `${String(m % 60).padStart(h ? 2 : 1, '0')}:${(s % 60).toFixed(1).padStart(4, '0')}`;
  return h ? `${h}:${rest}` : rest;
}

// The verification state in plain words: {state, text}.
function verification() {
  const ix = engine.index, s = ix?.state;
  if (!s) return { state: 'none', text: '' };
  const v1 = engine.version === 1;
  const sealed = s.sealed ? `sealed up to ${clockText(seconds(s.sealed.time))} (byte ${s.sealed.offset}), the rest is unsealed` : 'no seal read yet';
  const key = s.keyId ? `, signed with key ${s.keyId.toUpperCase()}` : '';
  if (s.authentic === false) return { state: 'not-authentic', text: `NOT AUTHENTIC: ${s.authProblem}` };
  if (s.state === 'corrupt') return { state: 'corrupt', text: `CORRUPT at byte ${s.problemOffset}: ${s.problem}; the readable part plays` };
  if (s.state === 'unreadable') return { state: 'error', text: `cannot be read: ${s.problem}` };
  if (s.state === 'complete') return { state: 'complete', text: v1 ? 'complete (format version 1, unsealed)' : `complete, ${s.seals} seals hold${key}` };
  if (s.state === 'truncated') {
    if (performance.now() - grewAt < 5000) return { state: 'live', text: `being recorded${v1 ? '' : `; ${sealed}`}` };
    return { state: 'truncated', text: `TRUNCATED at byte ${s.problemOffset}; the readable part plays${v1 ? '' : `; ${sealed}`}` };
  }
  const size = ix.size || engine.source?.size || 1;
  return { state: 'checking', text: `checking… ${Math.floor((100 * ix.frontier.offset) / size)}%` };
}

function update() {
  if (!loaded) return;
  const ix = engine.index;
  const end = seconds(engine.endTime), now = seconds(engine.shown ?? engine.base);
  $('time').textContent = `${clockText(now)} / ${clockText(end)}`;
  $('clock').textContent = new Date((engine.shown ?? 0) / 1000).toISOString().replace('T', ' ').replace('Z', ' UTC');
  if (!dragging) {
    $('seek').max = String(end || 1);
    $('seek').value = String(now);
  }
  $('play').textContent = engine.playing ? 'Pause' : 'Play';
  $('live').classList.toggle('on', !!engine.follow);
  const v = verification();
  $('state').dataset.state = v.state;
  $('state').textContent = v.text;
  showMarkers(end);
  showInput();
}

function markerTitle(m) {
  const t = clockText(seconds(m.time));
  if (m.kind === 'input') return `${t} input from ${m.user ?? '?'} (tfn ${m.tfn ?? '?'})`;
  if (m.kind === 'screen') return `${t} screen ${m.width}×${m.height}`;
  if (m.kind === 'footer') return `${t} ${m.name}: ${m.value}`;
  if (m.kind === 'seal') return `${t} seal at byte ${m.offset}${m.signed ? ', signed' : ''}${m.good ? '' : ' — DOES NOT HOLD'}`;
  return `${t} header ${m.width}×${m.height}, user ${m.user ?? '?'}`;
}

// Markers are placed by time over the seek bar; placed again when the end moves.
function showMarkers(end) {
  const box = $('markers'), ms = engine.index.markers;
  if (markersShown === ms.length && box.dataset.end === String(end)) return;
  box.dataset.end = String(end);
  box.replaceChildren();
  for (const m of ms) {
    const d = document.createElement('div');
    d.className = `marker ${m.kind}${m.kind === 'seal' && !m.good ? ' bad' : ''}`;
    d.style.left = `${(100 * seconds(m.time)) / (end || 1)}%`;
    d.title = markerTitle(m);
    d.dataset.time = String(seconds(m.time));
    d.onclick = () => zelPlayer.seek(seconds(m.time));
    box.append(d);
  }
  markersShown = ms.length;
  showFacts();
}

// Who holds the input at the frame shown: the last input marker before it.
function showInput() {
  let who = null;
  for (const m of engine.index.markers) {
    if (m.time > (engine.shown ?? 0)) break;
    if (m.kind === 'input' || (m.kind === 'header' && !who)) who = m;
  }
  $('input').textContent = who ? `input: ${who.user ?? '?'} (${who.tfn ?? '?'})` : '';
}

function showFacts() {
  const facts = new Map([['format version', String(engine.version)]]);
  for (const m of engine.index.markers) {
    if (m.kind === 'header') facts.set('user', `${m.user ?? ''} (${m.tfn ?? ''})`).set('screen', `${m.width}×${m.height}`);
    if (m.kind === 'footer') facts.set(m.name, m.value);
  }
  $('facts').replaceChildren(...[...facts].flatMap(([k, v]) => {
    const dt = document.createElement('dt'), dd = document.createElement('dd');
    dt.textContent = k;
    dd.textContent = v;
    return [dt, dd];
  }));
}

function fail(e) {
  $('error').hidden = false;
  $('error').textContent = String(e.message || e);
  $('state').dataset.state = 'error';
  throw e;
}

const zelPlayer = {
  // Opens a recording; resolves when its first frame is drawn.
  async load(url, options = {}) {
    loaded = false;
    markersShown = 0;
    $('title').textContent = decodeURIComponent(new URL(url, location.href).pathname.split('/').pop());
    $('error').hidden = true;
    await engine.load(url, { token, ...options }).catch(fail);
    loaded = true;
    update();
  },
  seek: (s) => engine.seek(s),
  play: () => engine.play(),
  pause: () => engine.pause(),
  live: () => engine.goLive(),
  get speed() { return engine.speed ?? 1; },
  set speed(s) { engine.setSpeed(s); $('speed').value = String(s); },
  get duration() { return loaded ? seconds(engine.endTime) : 0; },
  get currentTime() { return loaded ? seconds(engine.shown ?? engine.base) : 0; },
  get playing() { return !!engine.playing; },
  get following() { return !!engine.follow; },
  // {state: 'checking' | 'complete' | 'truncated' | 'live' | 'corrupt' | 'not-authentic' | 'error', text, final}
  get verification() { return { ...verification(), final: !!engine.index?.final }; },
  get markers() { return engine.index ? engine.index.markers.map((m) => ({ ...m, time: seconds(m.time) })) : []; },
  get version() { return engine.version; },
  get decoder() { return zstdDecoder(); }, // the zstd decoder: 'WebAssembly' or 'JavaScript'
};
window.zelPlayer = zelPlayer;

$('play').onclick = () => (engine.playing ? engine.pause() : engine.play());
$('speed').onchange = () => { zelPlayer.speed = Number($('speed').value); };
$('live').onclick = () => engine.goLive();
$('zoom').onclick = () => {
  const fit = $('screen').classList.toggle('fit');
  $('screen').classList.toggle('actual', !fit);
  $('zoom').textContent = fit ? '100%' : 'Fit';
};
$('seek').oninput = () => { dragging = true; engine.seek(Number($('seek').value)); };
$('seek').onchange = () => { dragging = false; };

document.addEventListener('keydown', (e) => {
  if (e.target instanceof HTMLSelectElement || e.ctrlKey || e.metaKey || e.altKey) return;
  const step = e.shiftKey ? 30 : 5;
  const keys = {
    ' ': () => $('play').click(),
    ArrowLeft: () => zelPlayer.seek(Math.max(0, zelPlayer.currentTime - step)),
    ArrowRight: () => zelPlayer.seek(zelPlayer.currentTime + step),
    Home: () => zelPlayer.seek(0),
    End: () => zelPlayer.seek(zelPlayer.duration),
    l: () => engine.goLive(),
    z: () => $('zoom').click(),
  };
  const speed = SPEEDS[Number(e.key) - 1];
  const action = keys[e.key] || (speed && (() => { zelPlayer.speed = speed; }));
  if (!action) return;
  e.preventDefault();
  action();
});

setInterval(() => {
  const size = engine.index?.size ?? -1;
  if (lastSize >= 0 && size > lastSize) grewAt = performance.now();
  lastSize = size;
  update();
}, 500);

const query = new URLSearchParams(location.search);
const src = query.get('src');
if (src) zelPlayer.load(src, { snapshotSeconds: Number(query.get('snapshot')) || undefined }).catch(() => {});
else $('title').textContent = 'no recording: give one as ?src=URL';
