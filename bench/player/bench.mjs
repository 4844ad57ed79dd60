// The browser player's figures (not asserted by any test): open, seek,
// 16x playback and memory, for one recording served by zeldump --serve to
// headless Chromium.  Usage (bench/player/run.sh does all of it):
//   node bench/player/bench.mjs ZELDUMP RECORDING [SEEKS]
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const require = createRequire(new URL('../../tests/player/', import.meta.url));
const { chromium } = require('playwright-core');
const [zeldump, file, seeks = '30'] = process.argv.slice(2);
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
process.on('exit', () => server.kill('SIGTERM'));
const url = await new Promise((resolve) => server.stdout.once('data', (d) => resolve(String(d).split('\n')[0])));
const browser = await chromium.launchPersistentContext(profile, {
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true, viewport: { width: 1920, height: 1200 },
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--enable-precise-memory-info'],
});
const page = await browser.newPage();
await page.goto(url.replace('/#', '/player/#')); // the player without a recording
const baseline = rendererRss();
let peak = 0;
const phases = [];
const sampler = setInterval(() => { peak = Math.max(peak, rendererRss()); }, 200);
const phase = (name) => { phases.push(`${name} ${Math.round(peak - baseline)}`); };

const pct = (xs, p) => !xs.length ? NaN : [...xs].sort((a, b) => a - b)[Math.min(xs.length - 1, Math.floor((p / 100) * xs.length))];
const t0 = Date.now();
await page.goto(url);
await page.waitForFunction(() => window.zelPlayer && zelPlayer.duration > 0, null, { timeout: 60000 });
const firstFrame = Date.now() - t0;
const duration = await page.evaluate(() => zelPlayer.duration);

// Random points, seeded, while the index is still being built and after.
async function seekRound(n, seed) {
  return page.evaluate(async ([n, seed]) => {
    let x = seed;
    const times = [];
    for (let i = 0; i < n; i++) {
      x = (x * 1103515245 + 12345) % 2147483648;
      const t = (x / 2147483648) * zelPlayer.duration;
      const s = performance.now();
      await zelPlayer.seek(t);
      times.push(performance.now() - s);
    }
    return times;
  }, [n, seed]);
}
phase('first frame');
const early = await seekRound(Number(seeks) / 3, 7);
await page.waitForFunction(() => zelPlayer.verification.final, null, { timeout: 1800000, polling: 1000 });
const indexed = Date.now() - t0;
phase('indexed');
const late = await seekRound(Number(seeks), 11);
phase('seeks');

// 16x from a third of the way in, for 20 s of wall time.
const rate = await page.evaluate(async () => {
  await zelPlayer.seek(zelPlayer.duration / 3);
  zelPlayer.speed = 16;
  const from = zelPlayer.currentTime, s = performance.now();
  zelPlayer.play();
  await new Promise((r) => setTimeout(r, 20000));
  zelPlayer.pause();
  return (zelPlayer.currentTime - from) / ((performance.now() - s) / 1000);
});
const heap = await page.evaluate(() => performance.memory.usedJSHeapSize / 1048576);
const frame = await page.evaluate(() => { const c = document.getElementById('screen'); return (c.width * c.height * 4) / 1048576; });
clearInterval(sampler);
phase('16x');

const f = (x) => x.toFixed(0);
console.log(JSON.stringify({ file, duration_s: +duration.toFixed(1), decoder: await page.evaluate(() => zelPlayer.decoder) }));
console.log(`page open to first frame: ${firstFrame} ms; whole file indexed and checked after ${(indexed / 1000).toFixed(1)} s`);
console.log(`seek while indexing (${early.length}): p50 ${f(pct(early, 50))} ms, p95 ${f(pct(early, 95))} ms, max ${f(pct(early, 100))} ms`);
console.log(`seek after indexing (${late.length}): p50 ${f(pct(late, 50))} ms, p95 ${f(pct(late, 95))} ms, max ${f(pct(late, 100))} ms`);
console.log(`16x playback: ${rate.toFixed(1)}x achieved`);
console.log(`memory: frame ${frame.toFixed(1)} MiB; JS heap of the page ${heap.toFixed(1)} MiB; renderer RSS ${f(baseline)} MiB before, peak ${f(peak)} MiB (+${f(peak - baseline)} MiB); budget 3 x frame + 64 MiB = ${f(3 * frame + 64)} MiB; peak growth after each phase (MiB): ${phases.join(', ')}`);
await browser.close();
server.kill('SIGTERM');
