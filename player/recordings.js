// The index page of zeldump --serve for a directory: its rows come from
// /recordings.json, asked for with the access token from the address's
// fragment; each links to the player with the same fragment.
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
  a.href = `/player/?src=${encodeURIComponent(`/files/${encodeURIComponent(r.name)}`)}${location.hash}`;
  a.textContent = r.name;
  const cells = [a, duration(r.duration), size(r.size), r.user, r.sid, r.state];
  for (const c of cells) {
    const td = document.createElement('td');
    td.append(c);
    tr.append(td);
  }
  tr.lastChild.dataset.verdict = r.verdict;
  return tr;
}

async function list() {
  const res = await fetch('/recordings.json', { headers: { Authorization: `Bearer ${token}` }, cache: 'no-store' });
  if (res.status === 401) throw new Error('open the address that zeldump --serve printed: its #token=… part is missing or out of date');
  if (!res.ok) throw new Error(`the list of recordings: HTTP ${res.status}`);
  const { recordings } = await res.json();
  document.querySelector('#recordings tbody').replaceChildren(...recordings.map(row));
}

list().catch((e) => {
  const p = document.getElementById('error');
  p.hidden = false;
  p.textContent = e.message;
});
