// The browser player's figures (not asserted by any test): open, seeks while
// the index is built and after, 16x playback and memory, for one recording
// served by zeldump --serve to headless Chromium.  Usage (bench/player/run.sh
// does all of it):
//   node bench/player/bench.mjs ZELDUMP RECORDING [SEEKS_AFTER] [SEEKS_DURING]
// Chromium is driven over its DevTools pipe with Runtime.evaluate only:
// a client that enables the Network domain (as playwright does) makes the
// renderer keep every response body for the inspector, which is no memory of
// the player's.
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const [zeldump, file, seeksAfter = '20', seeksDuring = '10'] = process.argv.slice(2);
const profile = mkdtempSync(join(tmpdir(), 'zel-bench-chromium-'));

// Resident memory of the page's renderer process (the largest renderer of
// this browser: the page and its workers run there), MiB.
function rendererRss() {
  let kib = 0;
  for (const line of execFileSync('ps', ['-eo', 'rss=,args=']).toString().split('\n'))
    if (line.includes('--type=renderer') && line.includes(profile)) kib = Math.max(kib, Number(line.trim().split(/\s+/)[0]));
  return kib / 1024;
}

const server = spawn(zeldump, ['--serve', '127.0.0.1:0', file], { stdio: ['ignore', 'pipe', 'inherit'] });
const url = await new Promise((resolve) => server.stdout.once('data', (d) => resolve(String(d).split('\n')[0])));
const chrome = spawn(process.env.CHROMIUM || '/usr/bin/chromium', ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
  '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync', '--enable-precise-memory-info',
  '--window-size=1920,1200', `--user-data-dir=${profile}`, '--remote-debugging-pipe', 'about:blank'],
{ stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'] });
process.on('exit', () => {
  chrome.kill('SIGTERM');
  server.kill('SIGTERM');
});

// The DevTools protocol over the pipe: JSON messages ended by NUL bytes.
let nextId = 0, pending = '';
const waiting = new Map();
chrome.stdio[4].on('data', (d) => {
  const parts = (pending + d).split('\0');
  pending = parts.pop();
  for (const m of parts.map((p) => JSON.parse(p))) {
    if (!waiting.has(m.id)) continue;
    const { resolve, reject } = waiting.get(m.id);
    waiting.delete(m.id);
    if (m.error) reject(new Error(m.error.message));
    else resolve(m.result);
  }
});
const send = (method, params = {}, sessionId) => new Promise((resolve, reject) => {
  const id = ++nextId;
  waiting.set(id, { resolve, reject });
  chrome.stdio[3].write(`${JSON.stringify({ id, method, params, sessionId })}\0`);
});
const { targetInfos } = await send('Target.getTargets');
const { sessionId } = await send('Target.attachToTarget', { targetId: targetInfos.find((t) => t.type === 'page').targetId, flatten: true });
async function evaluate(expression) {
  const r = await send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true }, sessionId);
  if (r.exceptionDetails) throw new Error(r.exceptionDetails.exception?.description ?? r.exceptionDetails.text);
  return r.result.value;
}
const until = async (condition, ms) => {
  for (const end = Date.now() + ms; !(await evaluate(condition)); await new Promise((r) => setTimeout(r, 100)))
    if (Date.now() > end) throw new Error(`timed out: ${condition}`);
};
const goto = async (address) => {
  await send('Page.navigate', { url: address }, sessionId);
  await until(`document.readyState === 'complete' && location.href === ${JSON.stringify(address)}`, 30000).catch(() => {});
};

await goto(url.replace('/#', '/player/#')); // the player without a recording
await new Promise((r) => setTimeout(r, 1000));
const baseline = rendererRss();
let peak = 0;
const sampler = setInterval(() => { peak = Math.max(peak, rendererRss()); }, 200);
const phases = [];
const phase = (name) => phases.push(`${name} ${Math.round(rendererRss() - baseline)} (peak ${Math.round(peak - baseline)})`);

const pct = (xs, p) => (!xs.length ? NaN : [...xs].sort((a, b) => a - b)[Math.min(xs.length - 1, Math.floor((p / 100) * xs.length))]);
const t0 = Date.now();
await send('Page.navigate', { url }, sessionId); // redirected to the player, the fragment kept
await until('window.zelPlayer && zelPlayer.duration > 0', 60000);
const firstFrame = Date.now() - t0;
phase('first frame');

// Random points, seeded.
const seekRound = (n, seed) => evaluate(`(async () => {
  let x = ${seed};
  const times = [];
  for (let i = 0; i < ${n}; i++) {
    x = (x * 1103515245 + 12345) % 2147483648;
    const t = (x / 2147483648) * zelPlayer.duration, s = performance.now();
    await zelPlayer.seek(t);
    times.push(performance.now() - s);
  }
  return times;
})()`);
const early = await seekRound(Number(seeksDuring), 7);
const earlyDone = await evaluate('zelPlayer.verification.final');
await until('zelPlayer.verification.final', 1800000);
const indexed = Date.now() - t0;
phase('indexed');
const late = await seekRound(Number(seeksAfter), 11);
phase(`${seeksAfter} seeks`);

// 16x from a third of the way in, for 20 s of wall time.
const rate = await evaluate(`(async () => {
  await zelPlayer.seek(zelPlayer.duration / 3);
  zelPlayer.speed = 16;
  const from = zelPlayer.currentTime, s = performance.now();
  zelPlayer.play();
  await new Promise((r) => setTimeout(r, 20000));
  zelPlayer.pause();
  return (zelPlayer.currentTime - from) / ((performance.now() - s) / 1000);
})()`);
const heap = await evaluate('performance.memory.usedJSHeapSize / 1048576');
const frame = await evaluate("(() => { const c = document.getElementById('screen'); return (c.width * c.height * 4) / 1048576; })()");
phase('16x');
clearInterval(sampler);

const f = (x) => x.toFixed(0);
console.log(JSON.stringify({ file, duration_s: +(await evaluate('zelPlayer.duration')).toFixed(1), decoder: await evaluate('zelPlayer.decoder'),
  load: execFileSync('cat', ['/proc/loadavg']).toString().trim() }));
console.log(`page open to first frame: ${firstFrame} ms; whole file indexed and checked after ${(indexed / 1000).toFixed(1)} s`);
console.log(`seek while indexing (${early.length}${earlyDone ? ', but the index was done first' : ''}): p50 ${f(pct(early, 50))} ms, p95 ${f(pct(early, 95))} ms, max ${f(pct(early, 100))} ms`);
console.log(`seek after indexing (${late.length}): p50 ${f(pct(late, 50))} ms, p95 ${f(pct(late, 95))} ms, max ${f(pct(late, 100))} ms`);
console.log(`16x playback: ${rate.toFixed(1)}x achieved`);
console.log(`memory: frame ${frame.toFixed(1)} MiB; JS heap of the page ${heap.toFixed(1)} MiB; renderer RSS ${f(baseline)} MiB on the empty player, then growth (MiB): ${phases.join(', ')}`);
process.exit(0);
