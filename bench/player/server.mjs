// zeldump --serve under load (figures not asserted by any test): 200
// concurrent 1 MiB range requests with the token, alone and beside 64 slow
// clients (a request byte every 2 s) and 64 silent connections.
//   node bench/player/server.mjs ZELDUMP RECORDING
import { spawn } from 'node:child_process';
import { readFileSync, statSync } from 'node:fs';
import http from 'node:http';
import net from 'node:net';

const [zeldump, file] = process.argv.slice(2);
const size = statSync(file).size;
const server = spawn(zeldump, ['--serve', '127.0.0.1:0', file], { stdio: ['ignore', 'pipe', 'inherit'] });
process.on('exit', () => server.kill('SIGTERM'));
const url = await new Promise((resolve) => server.stdout.once('data', (d) => resolve(String(d).split('\n')[0])));
const [, port, token] = /:(\d+)\/#token=([0-9a-f]+)/.exec(url);
const name = encodeURIComponent(file.split('/').pop());
const agent = new http.Agent({ keepAlive: false, maxSockets: Infinity });

// One 1 MiB range at a random place: milliseconds until its last byte.
function range() {
  const from = Math.floor(Math.random() * (size - (1 << 20)));
  const start = performance.now();
  return new Promise((resolve, reject) => {
    http.get({ port, path: `/files/${name}`, agent, headers: { Authorization: `Bearer ${token}`, Range: `bytes=${from}-${from + (1 << 20) - 1}` } }, (res) => {
      let n = 0;
      res.on('data', (d) => { n += d.length; });
      res.on('end', () => (n === 1 << 20 ? resolve(performance.now() - start) : reject(new Error(`${n} bytes`))));
    }).on('error', reject);
  });
}

function connections(n, drip) {
  return Promise.all(Array.from({ length: n }, () => new Promise((resolve, reject) => {
    const s = net.connect(port, '127.0.0.1', () => (drip ? s.write('G', () => resolve(s)) : resolve(s)));
    s.on('error', () => {});
    s.once('error', reject);
  })));
}

// Processor time of the server (user + system), ms.
const serverCpu = () => readFileSync(`/proc/${server.pid}/stat`, 'utf8').split(') ')[1].split(' ').slice(11, 13).reduce((a, b) => a + Number(b), 0) * 10;
const pct = (xs, p) => [...xs].sort((a, b) => a - b)[Math.min(xs.length - 1, Math.floor((p / 100) * xs.length))];
async function round(label) {
  const start = performance.now(), cpu = serverCpu(), mine = process.cpuUsage();
  const ms = await Promise.all(Array.from({ length: 200 }, range));
  const wall = performance.now() - start, used = process.cpuUsage(mine);
  console.log(`${label}: 200 concurrent 1 MiB ranges in ${(wall / 1000).toFixed(2)} s; each p50 ${pct(ms, 50).toFixed(0)} ms, p95 ${pct(ms, 95).toFixed(0)} ms, max ${pct(ms, 100).toFixed(0)} ms; processor time: server ${serverCpu() - cpu} ms, this client ${((used.user + used.system) / 1000).toFixed(0)} ms; load ${readFileSync('/proc/loadavg', 'utf8').split(' ')[0]}`);
}

await round('alone');
const slow = await connections(64, true);
const silent = await connections(64, false);
const drip = setInterval(() => slow.forEach((s) => s.write('E')), 2000);
const one = await range();
console.log(`beside 64 slow and 64 silent connections: one 1 MiB range ${one.toFixed(0)} ms`);
await round('beside 64 slow and 64 silent connections');
clearInterval(drip);
[...slow, ...silent].forEach((s) => s.destroy());
server.kill('SIGTERM');
