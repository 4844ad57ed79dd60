// The browser player in headless Chromium against zeldump --serve.
// Environment: ZELDUMP, ZEL_PLAYER_RECORDING (tests/player/make_recording.cpp),
// CHROMIUM; ZEL_PLAYER_LIVE_WRITER: a shell command recording a test display
// to "$ZEL_OUT" (tests/player/live_recorder.cpp), a new frame for each line
// on its standard input, finishing the recording when the input ends.
import { spawn, execFileSync } from 'node:child_process';
import { appendFileSync, existsSync, mkdtempSync, readFileSync, writeFileSync, symlinkSync, statSync, readdirSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import http from 'node:http';
import net from 'node:net';
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';

const { ZELDUMP, ZEL_PLAYER_RECORDING: MAKER, CHROMIUM = '/usr/bin/chromium' } = process.env;
const here = new URL('.', import.meta.url).pathname;
const missing = !existsSync(CHROMIUM) ? CHROMIUM : !existsSync(join(here, 'node_modules/playwright-core')) ? 'tests/player/node_modules (npm ci)' : null;
if (missing) {
  console.log(`skipped: ${missing} is missing`);
  process.exit(process.env.CI ? 1 : 77);
}
const { chromium } = await import('playwright-core');
const { PNG } = (await import('pngjs')).default;

const dir = mkdtempSync(join(tmpdir(), 'zel-player-'));
const rec = (name) => join(dir, name);
let server, base, token, browser, page, keyId;

function until(cond, what, ms = 20000) { // polls a condition, with a guard
  return new Promise((resolve, reject) => {
    const start = Date.now();
    const poll = () => (cond() ? resolve() : Date.now() - start > ms ? reject(new Error(`timed out: ${what}`)) : setTimeout(poll, 25));
    poll();
  });
}

function make(name, ...args) {
  execFileSync(MAKER, [rec(name), ...args]);
}

// Where each seal frame ends.
function sealEnds(b) {
  const ends = [];
  for (let o = 16, n; o + 24 <= b.length; o += n) {
    n = 24 + b.readUInt32LE(o + 4);
    if (b[o] === 19) ends.push(o + n);
  }
  return ends;
}

before(async () => {
  make('main.zel');
  keyId = /key ([0-9A-F]{16})/.exec(execFileSync(ZELDUMP, ['--keygen', rec('key.sec'), join(dir, 'key.pub')]))[1];
  make('signed.zel', '--key', rec('key.sec'));
  for (const f of [1, 3, 4, 13]) make(`format${f}.zel`, '--format', String(f));
  const whole = readFileSync(rec('main.zel'));
  writeFileSync(rec('truncated.zel'), whole.subarray(0, Math.floor(whole.length * 0.6)));
  const bad = Buffer.from(whole);
  bad[Math.floor(bad.length * 0.55)] ^= 0x40;
  writeFileSync(rec('corrupt.zel'), bad);
  // Every checksum holds, but the seals after the first are another file's.
  const signed = readFileSync(rec('signed.zel'));
  writeFileSync(rec('forged.zel'), Buffer.concat([signed.subarray(0, sealEnds(signed)[0]), whole.subarray(sealEnds(whole)[0])]));
  writeFileSync(join(tmpdir(), 'outside.zel'), whole.subarray(0, 100));
  symlinkSync(join(tmpdir(), 'outside.zel'), rec('link.zel'));
  writeFileSync(rec('notes.txt'), 'not a recording');
  server = spawn(ZELDUMP, ['--serve', '127.0.0.1:0', dir], { stdio: ['ignore', 'pipe', 'inherit'] });
  const url = await new Promise((resolve) => server.stdout.once('data', (d) => resolve(String(d).split('\n')[0])));
  [, base, token] = /^(http:\/\/[^/]+)\/#token=([0-9a-f]{64})$/.exec(url);
  browser = await chromium.launchPersistentContext(mkdtempSync(join(tmpdir(), 'zel-chromium-')), {
    executablePath: CHROMIUM, headless: true, viewport: { width: 1000, height: 700 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  page = await browser.newPage();
  page.on('pageerror', (e) => console.log(`page error: ${e.message}`));
});

after(async () => {
  await browser?.close();
  server?.kill('SIGTERM');
});

async function open(name, query = '') {
  await page.goto('about:blank'); // a new page even for the same address (a fragment alone would not load one)
  await page.goto(`${base}/player/?src=${encodeURIComponent(`/files/${name}`)}${query}#token=${token}`);
  await page.waitForFunction(() => window.zelPlayer && zelPlayer.duration > 0);
}

const settled = () => page.waitForFunction(() => zelPlayer.verification.final || ['truncated', 'live'].includes(zelPlayer.verification.state));

// zeldump's frames at these times (the last frame for none), as RGBA.
function zeldumpFrames(name, times) {
  const out = mkdtempSync(join(dir, 'png-'));
  execFileSync(ZELDUMP, ['--png', out, '--quiet', ...times.flatMap((t) => ['--at', String(t)]), rec(name)]);
  return readdirSync(out).sort().map((f) => PNG.sync.read(readFileSync(join(out, f))));
}

// The canvas after seek(t) (the frame shown now for t === null), against a PNG.
async function compareFrame(t, png, label) {
  const got = await page.evaluate(async (t) => {
    if (t !== null) await zelPlayer.seek(t);
    const c = document.getElementById('screen');
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let s = '';
    for (let i = 0; i < d.length; i += 8192) s += String.fromCharCode(...d.subarray(i, i + 8192));
    return { w: c.width, h: c.height, rgba: btoa(s) };
  }, t);
  assert.deepEqual([got.w, got.h], [png.width, png.height], `${label}: size`);
  const a = Buffer.from(got.rgba, 'base64'), b = png.data;
  for (let i = 0; i < a.length; i++) {
    if (i % 4 !== 3 && a[i] !== b[i]) {
      const p = i >> 2;
      assert.fail(`${label}: pixel (${p % png.width}, ${Math.floor(p / png.width)}) is ${[...a.subarray(p * 4, p * 4 + 3)]}, zeldump has ${[...b.subarray(p * 4, p * 4 + 3)]}`);
    }
  }
}

// Out of order, so that seeking goes back as well as on: across whole
// screens, keyframes, both size changes and to the last frame.
const TIMES = [6.0, 1.23, 8.96, 4.05, 0, 7.3, 2.5, 5.55, 3.999, 9];

test('frames after seek equal zeldump --png --at, from keyframes and from snapshots', async () => {
  const pngs = zeldumpFrames('main.zel', TIMES);
  const byTime = new Map([...TIMES].sort((x, y) => x - y).map((t, i) => [t, pngs[i]]));
  for (const query of ['', '&snapshot=0.5']) {
    await open('main.zel', query);
    await settled();
    assert.equal(await page.evaluate(() => zelPlayer.decoder), 'WebAssembly');
    for (const t of TIMES) await compareFrame(t, byTime.get(t), `main.zel${query} at ${t} s`);
  }
});

test('every pixel format converts as zeldump does', async () => {
  for (const f of [1, 3, 4, 13]) {
    const pngs = zeldumpFrames(`format${f}.zel`, [2.5, 7.3]);
    await open(`format${f}.zel`);
    await compareFrame(2.5, pngs[0], `format ${f} at 2.5 s`);
    await compareFrame(7.3, pngs[1], `format ${f} at 7.3 s`);
  }
});

test('timeline markers: last input, screen changes, footer items', async () => {
  await open('main.zel');
  await settled();
  const marks = await page.evaluate(() => zelPlayer.markers.map((m) => `${m.kind}@${m.time.toFixed(2)}:${m.tfn ?? m.width ?? m.value}`));
  for (const m of ['input@2.00:tfn-bob', 'input@4.00:tfn-alice', 'input@7.00:tfn-bob', 'screen@4.00:401', 'screen@7.00:301', 'footer@1.00:session-42'])
    assert.ok(marks.includes(m), `${m} in ${marks}`);
  assert.equal(await page.locator('#markers .marker.input').count(), 3);
});

test('the verification state is shown, and damaged recordings play their readable prefix', async () => {
  for (const [name, state, text, most] of [['signed.zel', 'complete', keyId, 9], ['truncated.zel', 'truncated', 'truncated', 8.5],
    ['corrupt.zel', 'corrupt', 'corrupt', 8.5], ['forged.zel', 'not-authentic', 'not authentic', 9]]) {
    await open(name);
    await settled();
    assert.equal(await page.evaluate(() => zelPlayer.verification.state), state, name);
    assert.match(await page.locator('#state').innerText(), new RegExp(text, 'i'));
    const readable = await page.evaluate(() => zelPlayer.duration);
    assert.ok(readable > 1 && readable <= most, `${name}: readable part ${readable} s`);
    await page.evaluate(() => { zelPlayer.speed = 16; zelPlayer.play(); });
    await page.waitForFunction(() => zelPlayer.currentTime >= zelPlayer.duration - 0.01, null, { timeout: 30000 });
    await compareFrame(1.5, zeldumpFrames(name, [1.5])[0], `${name} at 1.5 s`);
  }
});

const bearer = () => ({ Authorization: `Bearer ${token}` });

function get(path, headers = bearer()) {
  return new Promise((resolve, reject) => {
    const { hostname, port } = new URL(base);
    http.get({ hostname, port, path, headers, signal: AbortSignal.timeout(20000) }, (res) => {
      const parts = [];
      res.on('data', (d) => parts.push(d));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(parts) }));
    }).on('error', reject);
  });
}

// Raw bytes sent on one connection, and all that comes back until it closes;
// `onFirst` runs (reading paused) when the first bytes come.
function exchange(request, onFirst = () => {}) {
  return new Promise((resolve, reject) => {
    const { hostname, port } = new URL(base);
    const s = net.connect(port, hostname, () => s.write(request));
    const parts = [];
    s.on('data', (d) => {
      if (!parts.length) {
        s.pause();
        onFirst();
        s.resume();
      }
      parts.push(d);
    });
    s.on('end', () => resolve(Buffer.concat(parts)));
    s.on('error', reject);
  });
}

test('the server wants the bearer token, sets no cookie, serves only its files, and ranges right', async () => {
  const whole = readFileSync(rec('main.zel'));
  const none = {}, wrong = { Authorization: `Bearer ${'0'.repeat(64)}` };
  for (const [path, headers, status] of [['/files/main.zel', none, 401], ['/files/main.zel', wrong, 401],
    ['/files/main.zel', { Authorization: `Bearer ${token.slice(0, 63)}` }, 401], [`/files/main.zel?token=${token}`, none, 401],
    ['/files/main.zel', { Cookie: `zeltoken-${new URL(base).port}=${token}` }, 401], ['/recordings.json', none, 401],
    ['/files/main.zel', { Authorization: `bearer ${token}` }, 200], ['/files/main.zel', bearer(), 200], ['/', none, 200],
    ['/player/', none, 200], ['/files/link.zel', bearer(), 403], ['/files/notes.txt', bearer(), 404],
    ['/files/nothere.zel', bearer(), 404], ['/files/../outside.zel', bearer(), 403], ['/files/%2e%2e/outside.zel', bearer(), 403],
    ['/files/..%2foutside.zel', bearer(), 403], ['/files/%252e%252e%252foutside.zel', bearer(), 403], ['/files/..%5coutside.zel', bearer(), 403],
    ['/files/main.zel%00.zel', bearer(), 403], ['/files/%2Ftmp%2Foutside.zel', bearer(), 403], ['/player/../../etc/passwd', bearer(), 404],
    ['/files//tmp/outside.zel', bearer(), 403]]) {
    const r = await get(path, headers);
    assert.equal(r.status, status, `${path} ${JSON.stringify(headers)}`);
    assert.equal(r.headers['set-cookie'], undefined, path);
  }
  const n = whole.length;
  for (const [range, from, to] of [['bytes=0-15', 0, 15], ['bytes=100-', 100, n - 1], ['bytes=-50', n - 50, n - 1],
    [`bytes=${n - 10}-${n + 1000}`, n - 10, n - 1]]) {
    const r = await get('/files/main.zel', { ...bearer(), Range: range });
    assert.equal(r.status, 206, range);
    assert.equal(r.headers['content-range'], `bytes ${from}-${to}/${n}`, range);
    assert.ok(r.body.equals(whole.subarray(from, to + 1)), range);
  }
  for (const range of [`bytes=${n}-`, `bytes=${n + 5}-${n + 9}`, 'bytes=-0', 'bytes=9-3', 'bytes=x-1', 'bytes=0-1,5-9'])
    assert.equal((await get('/files/main.zel', { ...bearer(), Range: range })).status, 416, range);

  // A file that grows while it is sent whole: exactly Content-Length bytes, so
  // that the next answer on the connection comes out whole.
  const grow = rec('growing.zel');
  const size = (32 << 20) + 1000; // not a whole number of the server's reads
  writeFileSync(grow, Buffer.alloc(size));
  const ask = (extra) => `GET /files/growing.zel HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer ${token}\r\n${extra}\r\n`;
  const out = await exchange(ask('') + ask('Range: bytes=0-9\r\nConnection: close\r\n'), () => appendFileSync(grow, Buffer.alloc(1 << 20, 1)));
  const head = out.indexOf('\r\n\r\n') + 4;
  assert.match(out.subarray(0, head).toString(), new RegExp(`content-length: ${size}\r\n`, 'i'));
  assert.match(out.subarray(head + size, head + size + 12).toString(), /^HTTP\/1\.1 206/);
});

test('64 slow clients do not hold up a request', async () => {
  const { hostname, port } = new URL(base);
  const slow = await Promise.all(Array.from({ length: 64 }, () => new Promise((resolve, reject) => {
    const s = net.connect(port, hostname, () => s.write('G', () => resolve(s)));
    s.on('error', reject);
  })));
  const drip = setInterval(() => slow.forEach((s) => s.write('E')), 2000); // a request line that never ends
  try {
    const start = Date.now();
    const r = await get('/files/growing.zel', { ...bearer(), Range: 'bytes=0-1048575' });
    assert.equal(r.body.length, 1 << 20);
    assert.ok(Date.now() - start < 2000, `1 MiB took ${Date.now() - start} ms beside 64 slow clients`);
  } finally {
    clearInterval(drip);
    slow.forEach((s) => s.destroy());
  }
});

test('the index page lists the recordings and links to the player with the token', async () => {
  await page.goto(`${base}/#token=${token}`);
  const row = page.locator('#recordings tr', { hasText: 'main.zel' });
  await row.waitFor();
  assert.match(await row.innerText(), /main\.zel\s+0:00:09\s+\S+ KiB\s+alice\s+session-42\s+complete/);
  assert.ok((await page.locator('#recordings').innerText()).match(/link\.zel|notes\.txt/) === null);
  await row.locator('a').click();
  await page.waitForFunction(() => window.zelPlayer && zelPlayer.duration > 0);
  assert.deepEqual(await browser.cookies(), []);
});

test('a recording being written plays live and reaches its end', async () => {
  const cmd = process.env.ZEL_PLAYER_LIVE_WRITER;
  const file = rec('live.zel');
  const writer = spawn('sh', ['-c', cmd], { env: { ...process.env, ZEL_OUT: file }, stdio: ['pipe', 'ignore', 'inherit'] });
  const exited = new Promise((resolve) => writer.on('exit', resolve));
  try { // a failure half way still ends the recorder, so that node can exit
    await until(() => existsSync(file) && statSync(file).size > 2000, 'the writer starts the recording');
    await open('live.zel');
    await page.evaluate(() => zelPlayer.live());
    for (let k = 1; k <= 3; k++) {
      const before = await page.evaluate(() => zelPlayer.duration);
      writer.stdin.write(`tid live-${k}\n`);
      await page.waitForFunction((d) => zelPlayer.duration > d && zelPlayer.currentTime >= zelPlayer.duration - 2 &&
        ['live', 'truncated'].includes(zelPlayer.verification.state), before, { timeout: 20000 });
    }
  } finally {
    writer.stdin.end();
  }
  assert.equal(await exited, 0);
  await page.waitForFunction(() => zelPlayer.verification.state === 'complete' && zelPlayer.currentTime === zelPlayer.duration, null, { timeout: 20000 });
  await compareFrame(null, zeldumpFrames('live.zel', [])[0], 'live.zel at its end');
});
