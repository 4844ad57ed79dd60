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
let server, base, token, browser, page, keyId, keyLine;

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
  keyLine = readFileSync(join(dir, 'key.pub'), 'utf8').split('\n')[1];
  execFileSync(ZELDUMP, ['--keygen', join(dir, 'other.sec'), join(dir, 'other.pub')]);
  make('other.zel', '--key', join(dir, 'other.sec'));
  make('later.zel', '--start', '100000');
  make('idle.zel', '--idle');
  writeFileSync(rec('empty.zel'), '');
  writeFileSync(rec('garbage.zel'), 'not a recording at all, but long enough for a head');
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
  ({ server, base, token } = await serve());
  browser = await chromium.launchPersistentContext(mkdtempSync(join(tmpdir(), 'zel-chromium-')), {
    executablePath: CHROMIUM, headless: true, viewport: { width: 1000, height: 700 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  page = await browser.newPage();
  page.on('pageerror', (e) => console.log(`page error: ${e.message}`));
});

// zeldump --serve on the test's folder (or another): {server, base, token}.
function serve(...options) {
  return serveFolder(dir, ...options);
}
async function serveFolder(folder, ...options) {
  const server = spawn(ZELDUMP, ['--serve', ...options, '127.0.0.1:0', folder], { stdio: ['ignore', 'pipe', 'inherit'] });
  const url = await new Promise((resolve) => server.stdout.once('data', (d) => resolve(String(d).split('\n')[0])));
  const [, base, token] = /^(http:\/\/[^/]+)\/#token=([0-9a-f]{64})$/.exec(url);
  return { server, base, token };
}

after(async () => {
  await browser?.close();
  server?.kill('SIGTERM');
});

async function open(name, query = '', at = { base, token }) {
  await page.goto('about:blank'); // a new page even for the same address (a fragment alone would not load one)
  await page.goto(`${at.base}/player/?src=${encodeURIComponent(`/files/${name}`)}${query}#token=${at.token}`);
  await page.waitForFunction(() => window.zelPlayer && zelPlayer.duration > 0);
}

const settled = () => page.waitForFunction(() => zelPlayer.verification.final || zelPlayer.verification.state === 'live');

// zeldump's frames at these times (the last frame for none), as RGBA.
function zeldumpFrames(name, times) {
  const out = mkdtempSync(join(dir, 'png-'));
  execFileSync(ZELDUMP, ['--png', out, '--quiet', ...times.flatMap((t) => ['--at', String(t)]), rec(name)]);
  return readdirSync(out).filter((f) => f.endsWith('.png')).sort().map((f) => PNG.sync.read(readFileSync(join(out, f))));
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

test('timeline markers: last input, screen changes, footer items, windows, interruptions; the duration is the end record\'s time', async () => {
  await open('main.zel');
  await settled();
  assert.equal(await page.evaluate(() => zelPlayer.duration), 9);
  const marks = await page.evaluate(() => zelPlayer.markers.map((m) => `${m.kind}@${m.time.toFixed(2)}:${m.tfn ?? m.title ?? m.width ?? m.value ?? m.event ?? m.cause ?? m.reason}`));
  for (const m of ['input@2.00:tfn-bob', 'input@4.00:tfn-alice', 'input@7.00:tfn-bob', 'screen@4.00:401', 'screen@7.00:301', 'footer@1.00:session-42',
    'window@1.00:top: alice', 'window@2.00:vim notes.txt', 'window@6.00:gone', 'gap@5.00:input-lost', 'end@9.00:stdin-closed'])
    assert.ok(marks.includes(m), `${m} in ${marks}`);
  const shown = await page.evaluate(() => zelPlayer.markers.find((m) => m.kind === 'window'));
  assert.deepEqual([shown.command, shown.instance, shown.className, shown.pid, shown.from], ['xterm -e top', 'xterm', 'XTerm', 4242, undefined]);
  assert.equal(await page.evaluate(() => zelPlayer.markers.find((m) => m.kind === 'gap').from), 4.5);
  assert.equal(await page.locator('#markers .marker.input').count(), 3);
  assert.equal(await page.locator('#lanes .span.gap').count(), 1);
});

test('the search finds windows by title and program and people, and seeks there; the windows on screen and under the pointer', async () => {
  await open('main.zel');
  await settled();
  const found = (q) => page.evaluate((q) => zelPlayer.search(q).map((h) => `${h.time}:${h.kind}:${h.text}`), q);
  assert.deepEqual(await found('VIM'), ['2:title:vim notes.txt']);
  assert.deepEqual(await found('top'), ['1:title:top: alice', '1:program:xterm -e top (xterm, XTerm) pid 4242 uid 1000']);
  assert.deepEqual(await found('bob'), ['2:input:bob (tfn tfn-bob)', '7:input:bob (tfn tfn-bob)']);
  assert.deepEqual(await found('no such thing'), []);
  const times = await page.evaluate(() => zelPlayer.events().map((e) => e.time));
  assert.deepEqual(times, [...times].sort((a, b) => a - b));
  // Each title of the window is a stretch of the window lane, named in full.
  const lane = await page.locator('#windows .span.window').evaluateAll((l) => l.map((d) => d.title));
  assert.equal(lane.length, 2);
  assert.match(lane[1], /vim notes\.txt — xterm -e top \(xterm, XTerm\) pid 4242 uid 1000$/);
  await page.fill('#query', 'vim');
  await page.locator('#hits button').click();
  await page.waitForFunction(() => zelPlayer.currentTime === 2);
  // The window moved to (30, 0) 220×120 at 2 s: its pixel (40, 30) is in it.
  const box = await page.locator('#screen').boundingBox();
  const scale = box.width / (await page.evaluate(() => document.getElementById('screen').width));
  await page.mouse.move(box.x + 40.5 * scale, box.y + 30.5 * scale);
  await page.waitForFunction(() => document.getElementById('under').textContent.includes('vim notes.txt'));
  await page.mouse.move(box.x + 20.5 * scale, box.y + 150.5 * scale);
  await page.waitForFunction(() => document.getElementById('under').textContent === '');
});

test('damaged recordings play all their intact parts; a flipped byte is marked by time and bytes', async () => {
  const intact = zeldumpFrames('main.zel', [7.3, 8.96, 9]);
  for (const [name, state, readable] of [['truncated.zel', 'truncated', [1, 8.5]], ['forged.zel', 'not-authentic', [9, 9]],
    ['corrupt.zel', 'corrupt', [9, 9]]]) {
    await open(name);
    await settled();
    assert.equal(await page.evaluate(() => zelPlayer.verification.state), state, name);
    const duration = await page.evaluate(() => zelPlayer.duration);
    assert.ok(duration >= readable[0] && duration <= readable[1], `${name}: readable part ${duration} s`);
    await page.evaluate(() => { zelPlayer.speed = 16; zelPlayer.play(); });
    await page.waitForFunction(() => zelPlayer.currentTime >= zelPlayer.duration - 0.01, null, { timeout: 30000 });
    if (name === 'corrupt.zel') await compareFrame(null, intact[2], 'corrupt.zel played on across the damage to its end');
    await compareFrame(1.5, zeldumpFrames(name, [1.5])[0], `${name} at 1.5 s`);
  }
  // corrupt.zel, still open: after the damage and the next whole screen, every frame is the intact file's.
  const [span, more] = await page.evaluate(() => zelPlayer.damage);
  assert.ok(span && !more && span.from > 1.5 && span.to < 6 && span.bytes[0] < span.bytes[1], JSON.stringify(span));
  assert.match(await page.locator('#state').innerText(), /^CORRUPT: damaged 0:0\d\.\d to 0:0\d\.\d \(bytes \d+ to \d+\)/);
  assert.equal(await page.locator('#lanes .span.damage').count(), 1);
  await compareFrame(7.3, intact[0], 'corrupt.zel at 7.3 s');
  await compareFrame(8.96, intact[1], 'corrupt.zel at 8.96 s');
});

// The shared corpus of damaged files: the index page's verdict and the
// player's state are libzel's verdict, file by file.
test('every file of the corpus gets the verdict libzel gives it, in the index and in the player', async () => {
  const corpus = join(here, '../zel/corpus');
  const expected = readFileSync(join(corpus, 'expected.txt'), 'utf8').split('\n').filter((l) => l && !l.startsWith('#'))
    .map((l) => l.split(' ')).map(([name, , verdict]) => [name, verdict]);
  const at = await serveFolder(corpus);
  try {
    const res = await fetch(`${at.base}/recordings.json`, { headers: { Authorization: `Bearer ${at.token}` } });
    const listed = new Map((await res.json()).recordings.map((r) => [r.name, r.verdict.replace(' ', '-')]));
    // damage that only decoding a picture shows: the index does not decode pictures
    const inPictures = /block-overrun|damaged-zstd|undecodable-image|copy-outside|damaged-cursor-zstd/;
    await page.goto(`${at.base}/player/#token=${at.token}`);
    const wrong = [];
    for (const [name, verdict] of expected) {
      const state = await page.evaluate(async (name) => {
        await zelPlayer.load(`/files/${name}`).catch(() => {});
        while (!zelPlayer.verification.final) await new Promise((r) => setTimeout(r, 20));
        return zelPlayer.verification.state;
      }, name);
      if ((listed.get(name) !== verdict && !inPictures.test(name)) || state !== verdict) wrong.push(`${name}: libzel ${verdict}, index ${listed.get(name)}, player ${state}`);
    }
    assert.deepEqual(wrong, []);
  } finally {
    at.server.kill('SIGTERM');
  }
});

test('the state says what the seals prove, with the key pinned by the page or by the server', async () => {
  const pinned = await serve('--key', join(dir, 'key.pub'));
  try {
    for (const [name, query, at, state, signer, text] of [
      ['main.zel', '', null, 'complete', 'unsigned', /^complete, intact, unsigned: seals prove nothing about who wrote it$/],
      ['signed.zel', '', null, 'complete', 'key', new RegExp(`^complete, intact, signed by key ${keyId}$`)],
      ['signed.zel', `&key=${encodeURIComponent(keyLine)}`, null, 'complete', 'pinned', new RegExp(`signed by the pinned key ${keyId}$`)],
      ['main.zel', `&key=${keyLine}`, null, 'not-authentic', 'unsigned', new RegExp(`NOT AUTHENTIC: unsigned, but key ${keyId} is expected`)],
      ['other.zel', `&key=${encodeURIComponent(keyLine)}`, null, 'not-authentic', 'key', new RegExp(`not with the pinned key ${keyId}`)],
      ['signed.zel', '', pinned, 'complete', 'pinned', /signed by the pinned key/],
      ['main.zel', '', pinned, 'not-authentic', 'unsigned', /NOT AUTHENTIC: unsigned/],
      ['truncated.zel', '', null, 'truncated', 'unsigned', /^TRUNCATED at byte \d+: .*; sealed up to 0:0\d\.\d$/],
      ['forged.zel', '', null, 'not-authentic', 'key', /NOT AUTHENTIC/]]) {
      await open(name, query, at ?? { base, token });
      await page.waitForFunction(() => zelPlayer.verification.final, null, { timeout: 20000 });
      const v = await page.evaluate(() => zelPlayer.verification);
      assert.deepEqual([v.state, v.signer], [state, signer], `${name}${query}${at ? ' pinned by the server' : ''}`);
      assert.match(await page.locator('#state').innerText(), text, name);
    }
    const rows = JSON.parse((await get('/recordings.json', { Authorization: `Bearer ${pinned.token}` }, pinned.base)).body).recordings;
    const state = (n) => rows.find((r) => r.name === n).state;
    assert.match(state('signed.zel'), new RegExp(`^complete, intact, signed by the pinned key ${keyId}$`));
    assert.match(state('main.zel'), /^NOT AUTHENTIC at byte \d+: the seal at byte \d+ is not signed, but a key was given$/);
    assert.match(state('other.zel'), /^NOT AUTHENTIC/);
  } finally {
    pinned.server.kill('SIGTERM');
  }
});

test('load() of another recording forgets the first, and every failure ends in error', async () => {
  await open('main.zel');
  await settled();
  const later = await page.evaluate(async () => {
    await zelPlayer.load('/files/later.zel');
    return { duration: zelPlayer.duration, times: zelPlayer.markers.map((m) => m.time), clock: document.getElementById('clock').textContent };
  });
  assert.equal(later.duration, 9);
  assert.ok(later.times.every((t) => t >= 0 && t <= 9), String(later.times));
  assert.match(later.clock, /^2025-10-1\d /); // 100000 s after the first file's 2025-10-09
  for (const [name, text] of [['empty.zel', /empty/], ['garbage.zel', /not a ZEL recording/], ['nothere.zel', /HTTP 404/]]) {
    const got = await page.evaluate(async (n) => {
      const failed = await zelPlayer.load(`/files/${n}`).then(() => null, (e) => e.message);
      return { failed, v: zelPlayer.verification, width: document.getElementById('screen').width };
    }, name);
    assert.ok(got.failed, name);
    assert.deepEqual([got.v.state, got.v.final, got.width], ['error', true, 0], name);
    assert.match(got.v.text, text, name);
  }
});

test('the API takes only values it can use; keys work in either case and leave buttons alone', async () => {
  await open('main.zel');
  await settled();
  const refused = await page.evaluate(async () => {
    const out = [];
    for (const s of [3, 100, 0, -1, NaN, '2']) {
      try { zelPlayer.speed = s; out.push('taken'); } catch (e) { out.push(e.name); }
    }
    for (const t of [NaN, Infinity, '1']) out.push(await zelPlayer.seek(t).then(() => 'taken', (e) => e.name));
    await zelPlayer.seek(-5);
    out.push(zelPlayer.currentTime, zelPlayer.speed);
    await zelPlayer.seek(1e9);
    out.push(zelPlayer.currentTime);
    return out;
  });
  assert.deepEqual(refused, [...Array(9).fill('RangeError'), 0, 1, 9]);
  await page.evaluate(() => zelPlayer.seek(4.05));
  for (const [key, check] of [['Z', () => document.getElementById('zoom').textContent === 'Fit'],
    ['z', () => document.getElementById('zoom').textContent === '100%'], ['?', () => document.getElementById('help').open],
    ['?', () => !document.getElementById('help').open], ['.', () => zelPlayer.currentTime > 4.05 && zelPlayer.currentTime < 4.2],
    [',', () => zelPlayer.currentTime <= 4.05], ['I', () => zelPlayer.skipIdle], ['L', () => zelPlayer.currentTime === zelPlayer.duration]]) {
    await page.keyboard.press(key);
    await page.waitForFunction(check, null, { timeout: 5000 }).catch((e) => assert.fail(`key ${key}: ${e.message}`));
  }
  await page.evaluate(() => zelPlayer.pause());
  await page.focus('#info summary');
  await page.keyboard.press(' ');
  assert.deepEqual(await page.evaluate(() => [zelPlayer.playing, document.getElementById('info').open]), [false, true]);
});

test('a link to a moment opens there; the hover picture and the saved PNG', async () => {
  await open('main.zel', '&t=4.05');
  await page.waitForFunction(() => Math.abs(zelPlayer.currentTime - 4.05) < 1e-6);
  const link = await page.evaluate(() => zelPlayer.link);
  assert.ok(link.includes('t=4.05') && link.endsWith(`#token=${token}`), link);
  await settled(); // the pictures come from the index
  const box = await page.locator('#seek').boundingBox();
  await page.mouse.move(box.x + box.width * 0.7, box.y + 2);
  await page.waitForFunction(() => !document.getElementById('preview').hidden && document.getElementById('thumb').width > 0);
  const [download] = await Promise.all([page.waitForEvent('download'), page.keyboard.press('p')]);
  const saved = PNG.sync.read(readFileSync(await download.path()));
  const want = zeldumpFrames('main.zel', [4.05])[0];
  assert.deepEqual([saved.width, saved.height], [want.width, want.height]);
  for (let i = 0; i < want.data.length; i++) if (i % 4 !== 3 && saved.data[i] !== want.data[i]) assert.fail(`saved PNG differs at byte ${i}`);
});

test('skip idle crosses an idle stretch at once', async () => {
  await open('idle.zel', '&idle=2');
  await settled();
  const [span] = await page.evaluate(() => zelPlayer.idle);
  assert.ok(span && span.from < 3 && span.to >= 8, JSON.stringify(span));
  assert.equal(await page.locator('#lanes .span.idle').count(), 1);
  await page.evaluate(async () => {
    await zelPlayer.seek(2.5);
    zelPlayer.skipIdle = true;
    zelPlayer.play();
  });
  await page.waitForFunction(() => zelPlayer.currentTime > 8, null, { timeout: 4000 }); // 5.5 s at 1x without skipping
  await page.evaluate(() => zelPlayer.pause());
});

const bearer = () => ({ Authorization: `Bearer ${token}` });

function get(path, headers = bearer(), at = base) {
  return new Promise((resolve, reject) => {
    const { hostname, port } = new URL(at);
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
  // Across the recordings: a hit in each file that has the retitled window, opened at its time.
  await page.goto(`${base}/#token=${token}`);
  await page.fill('#query', 'vim notes');
  await page.press('#query', 'Enter');
  const hit = page.locator('#hits tbody tr', { hasText: 'main.zel' });
  assert.match(await hit.innerText(), /main\.zel\s+0:00:02\s+title\s+vim notes\.txt/);
  assert.ok(await page.locator('#hits tbody tr', { hasText: 'signed.zel' }).count() === 1);
  await hit.locator('a').click();
  await page.waitForFunction(() => window.zelPlayer && zelPlayer.duration > 0 && zelPlayer.currentTime === 2);
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
        zelPlayer.verification.state === 'live', before, { timeout: 20000 });
    }
    // Nothing happens on the display: still live, the duration follows the clock.
    const idle = await page.evaluate(() => zelPlayer.duration);
    await page.waitForFunction((d) => zelPlayer.duration > d + 6, idle, { timeout: 20000 });
    assert.equal(await page.evaluate(() => zelPlayer.verification.state), 'live');
  } finally {
    writer.stdin.end();
  }
  assert.equal(await exited, 0);
  await page.waitForFunction(() => zelPlayer.verification.state === 'complete' && zelPlayer.currentTime === zelPlayer.duration, null, { timeout: 20000 });
  await compareFrame(null, zeldumpFrames('live.zel', [])[0], 'live.zel at its end');
});
