// The index page of zeldump --serve for a directory: its rows come from
// /recordings.json, asked for with the access token from the address's
// fragment; each links to the player with the same fragment.  The search box
// asks /search?q=TEXT and links each hit to the player at its time.
const token = new URLSearchParams(location.hash.slice(1)).get('token') || '';

function size(n) {
  return n < 1048576 ? `${(n / 1024).toFixed(1)} KiB` : `${(n / 1048576).toFixed(1)} MiB`;
}

function duration(s) {
  const t = Math.floor(s);
  return `${Math.floor(t / 3600)}:${String(Math.floor(t / 60) % 60).padStart(2, '0')}:${String(t % 60).padStart(2, '0')}`;
}

function row(r) {
  const tr = document.createElement('tr');
  const a = document.createElement('a');
  a.href = player(r.name);
  a.textContent = r.name;
  cells(tr, [a, duration(r.duration), size(r.size), r.user, r.sid, r.state]);
  tr.lastChild.dataset.verdict = r.verdict;
  return tr;
}

const player = (name, t) =>
  `/player/?src=${encodeURIComponent(`/files/${encodeURIComponent(name)}`)}${t === undefined ? '' : `&t=${t}`}${location.hash}`;

function cells(tr, values) {
  for (const c of values) {
    const td = document.createElement('td');
    td.append(c);
    tr.append(td);
  }
  return tr;
}

function hitRow(h) {
  const a = document.createElement('a');
  a.href = player(h.file, h.kind === 'note' ? undefined : h.time);
  a.textContent = h.file;
  return cells(document.createElement('tr'), [a, h.kind === 'note' ? '' : duration(h.time), h.kind, h.text]);
}

async function search(q) {
  const res = await fetch(`/search?q=${encodeURIComponent(q)}`, { headers: { Authorization: `Bearer ${token}` }, cache: 'no-store' });
  if (!res.ok) throw new Error(`the search: HTTP ${res.status}: ${(await res.text()).trim()}`);
  const hits = await res.json();
  const found = hits.filter((h) => h.kind !== 'note').length;
  document.getElementById('hit-count').textContent = `${found} hit${found === 1 ? '' : 's'}`;
  document.querySelector('#hits tbody').replaceChildren(...hits.map(hitRow));
  document.getElementById('hits').hidden = false;
}

document.getElementById('find').onsubmit = (e) => {
  e.preventDefault();
  const q = document.getElementById('query').value.trim();
  if (q) search(q).catch(showError);
};

async function list() {
  const res = await fetch('/recordings.json', { headers: { Authorization: `Bearer ${token}` }, cache: 'no-store' });
  if (res.status === 401) throw new Error('open the address that zeldump --serve printed: its #token=… part is missing or out of date');
  if (!res.ok) throw new Error(`the list of recordings: HTTP ${res.status}`);
  const { recordings } = await res.json();
  document.querySelector('#recordings tbody').replaceChildren(...recordings.map(row));
}

function showError(e) {
  const p = document.getElementById('error');
  p.hidden = false;
  p.textContent = e.message;
}

list().catch(showError);
