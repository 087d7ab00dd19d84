// The page of `haul serve --listen`: the service's own JSON interface and event stream.
// Every text from the service or a server is set with textContent, never parsed as markup.
'use strict';

// First of all: the link's one-time code leaves the address bar and this history entry before
// anything else runs, so it is not in a copied link, and a used code is worth nothing anyway.
const linkCode = takeCode();

const $ = (id) => document.getElementById(id);
const rows = new Map(); // id -> download model; drawn only while in view
const picked = new Set(); // ids
const gone = new Map(); // id -> `heard` when forgotten: a list asked before must not bring it back
let shown = []; // the models the filter lets through, in the chosen order
let rendered = new Map(); // id -> its <li>, for the rows in view
const spare = []; // <li> elements out of view, for reuse
let changed = true; // something that may reorder rows or change the totals
let frame = 0;
let seq = 0; // creation order, for rows added in the same second
let events = null;
let retryDelay = 1000;
let retryTimer = 0;
let lostSince = 0;
let signedIn = false; // once the service accepted this page, a 401 means its session is gone
let lastDrop = 0;
let heard = 0; // events taken so far
let refreshing = false;
let refreshAgain = false; // asked for while a list was on its way
let detailsId = '';
let overallLimit = null; // bytes a second, as the last list said; null while the owner names none
let bulkAsking = ''; // the selection's action waiting for a yes
let bulkBusy = false;
let clearing = false;
let lastPick = -1; // index in `shown` of the last checkbox clicked, for shift-click ranges
let pruneNext = false; // the view changed: a selection hidden by it is dropped

const LINK_REFUSED = 'This link was already used or has expired (a link works once, for ten minutes). ' +
  'Run “haul page” for a new one, or enter the token.';
const SESSION_GONE = 'The service no longer knows this page (it may have restarted). ' +
  'Run “haul page” for a new link, or enter the token.';
const TOKEN_REFUSED = 'That is not the token of this service; it changes each time the service starts.';
const RATE_FORMAT = 'Bytes a second, such as 500K, 2M or 1.5M (K, M, G: times 1024), or empty for none.';
const MAX_BATCH = 1000; // the owner takes at most this many in one request
const IN_FLIGHT = 4; // requests at once for a selection or a clear: the owner stays responsive
const MARGIN = 6; // rows drawn beyond each edge of the window, so a scroll shows no gap

// The code is read once and kept in no storage: the session cookie it buys is what signs in.
function takeCode() {
  if (!location.hash) return '';
  const code = new URLSearchParams(location.hash.slice(1)).get('code') || '';
  history.replaceState(null, '', location.pathname);
  return code;
}

// Paths only, never a full URL. The session cookie is HttpOnly and this origin's alone; no
// secret is put in a header or a URL by this script.
async function api(method, path, body) {
  const headers = body ? { 'Content-Type': 'application/json' } : {};
  const response = await fetch(path, {
    method, headers, body: body && JSON.stringify(body), cache: 'no-store', credentials: 'same-origin',
  });
  const answer = await response.json().catch(() => ({}));
  if (!response.ok) {
    const error = new Error(answer.error || response.statusText || 'HTTP ' + response.status);
    error.status = response.status;
    error.code = answer.code;
    throw error;
  }
  return answer;
}

// ---- formatting

function bytes(n) {
  if (!(n > 0)) return '0 B';
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  const i = Math.min(units.length - 1, Math.floor(Math.log(n) / Math.log(1024)));
  return (i ? (n / 1024 ** i).toFixed(1) : String(n)) + ' ' + units[i];
}

function duration(seconds) {
  if (!isFinite(seconds) || seconds < 0) return '';
  const s = Math.round(seconds);
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min ' + (s % 60) + ' s';
  return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min';
}

function moment(seconds) {
  if (!(seconds > 0)) return '';
  const d = new Date(seconds * 1000);
  const two = (n) => String(n).padStart(2, '0');
  return d.getFullYear() + '-' + two(d.getMonth() + 1) + '-' + two(d.getDate()) + ' ' +
    two(d.getHours()) + ':' + two(d.getMinutes()) + ':' + two(d.getSeconds());
}

// "500K", "2M", "1.5M" (times 1024), a plain number of bytes, or empty or 0 for none; NaN else.
function parseRate(text) {
  if (!text.trim()) return 0;
  const match = /^\s*(\d+(?:\.\d*)?|\.\d+)\s*([kmg]?)(?:i?b)?(?:\/s)?\s*$/i.exec(text);
  if (!match) return NaN;
  const n = Math.round(Number(match[1]) * 1024 ** ['', 'k', 'm', 'g'].indexOf(match[2].toLowerCase()));
  return n <= 1e12 ? n : NaN;
}

const rateText = (n) => (n > 0 ? bytes(n) + '/s' : 'none');

// Cached: the name is asked for by every sort and every draw.
function nameOf(r) {
  const key = r.url + '\n' + r.path;
  if (r.nameKey !== key) {
    r.nameKey = key;
    r.name = computeName(r);
    // Compared as plain strings, numbers by value (n9 before n10): a collator is too slow for
    // 1,000 rows each frame.
    r.nameOrder = r.name.toLowerCase().replace(/\d+/g, (digits) => digits.padStart(20, '0'));
  }
  return r.name;
}

function computeName(r) {
  if (r.path) return r.path.slice(r.path.lastIndexOf('/') + 1);
  try {
    const url = new URL(r.url);
    const last = url.pathname.slice(url.pathname.lastIndexOf('/') + 1);
    return decodeURIComponent(last) || url.host;
  } catch (e) {
    return r.url || r.id;
  }
}

// ---- what each state allows, as the owner judges it

const ACTIVE = new Set(['queued', 'running', 'pausing', 'aborting']);
const OVER = new Set(['finished', 'aborted']);
const STATE_ORDER = ['running', 'pausing', 'queued', 'paused', 'interrupted', 'failed', 'aborting', 'finished',
  'aborted'];

function allowed(r, action) {
  const s = r.state;
  if (action === 'pause') return s === 'queued' || s === 'running';
  if (action === 'resume') return s === 'paused' || s === 'interrupted' || s === 'failed';
  if (action === 'abort') return s === 'queued' || s === 'running' || s === 'pausing' || allowed(r, 'resume');
  if (action === 'forget') return OVER.has(s) || allowed(r, 'resume');
  return false;
}

// Aborting, and forgetting what is not over, delete the part already received.
const deletes = (r, action) => action === 'abort' || (action === 'forget' && !OVER.has(r.state));

function timeLeft(r) {
  return ACTIVE.has(r.state) && r.rate > 0 && r.total > r.bytes ? (r.total - r.bytes) / r.rate : undefined;
}

// ---- the view's choice, kept in this browser (it holds nothing secret)

const FILTERS = {
  all: () => true,
  active: (s) => ACTIVE.has(s),
  running: (s) => s === 'running' || s === 'pausing',
  queued: (s) => s === 'queued',
  paused: (s) => s === 'paused' || s === 'interrupted',
  failed: (s) => s === 'failed',
  finished: (s) => s === 'finished',
  aborted: (s) => s === 'aborted' || s === 'aborting',
};

// desc: the direction a newly chosen key starts with. A value undefined sorts last either way.
const SORTS = {
  added: { desc: true, value: (r) => r.added },
  name: { desc: false, value: (r) => nameOf(r) && r.nameOrder, text: true }, // nameOf fills nameOrder
  size: { desc: true, value: (r) => (r.total > 0 ? r.total : undefined) },
  progress: {
    desc: true,
    value: (r) => (r.total > 0 ? Math.min(r.bytes / r.total, 1) : r.state === 'finished' ? 1 : undefined),
  },
  rate: { desc: true, value: (r) => (ACTIVE.has(r.state) && r.rate > 0 ? r.rate : undefined) },
  left: { desc: false, value: timeLeft },
};

const VIEW_KEY = 'haulwright.view';
const view = loadView();

function loadView() {
  let kept = {};
  try {
    kept = JSON.parse(localStorage.getItem(VIEW_KEY)) || {};
  } catch (e) { /* none kept, or storage refused */ }
  const sort = Object.hasOwn(SORTS, kept.sort) ? kept.sort : 'added';
  return {
    sort,
    desc: typeof kept.desc === 'boolean' ? kept.desc : SORTS[sort].desc,
    state: Object.hasOwn(FILTERS, kept.state) ? kept.state : 'all',
    q: typeof kept.q === 'string' ? kept.q.slice(0, 500) : '',
  };
}

function saveView() {
  try {
    localStorage.setItem(VIEW_KEY, JSON.stringify(view));
  } catch (e) { /* a private window may refuse: the choice lasts this page */ }
}

function showView() {
  $('search').value = view.q;
  $('state-filter').value = view.state;
  $('sort').value = view.sort;
  $('sort-dir').textContent = view.desc ? '↓ descending' : '↑ ascending';
}

function changeView(change) {
  Object.assign(view, change);
  saveView();
  showView();
  pruneNext = true;
  lastPick = -1;
  touch();
}

function order() {
  const keep = FILTERS[view.state];
  const needle = view.q.trim().toLowerCase();
  const list = [];
  for (const r of rows.values()) {
    if (!keep(r.state)) continue;
    if (needle && !nameOf(r).toLowerCase().includes(needle) && !r.url.toLowerCase().includes(needle)) continue;
    list.push(r);
  }
  const sort = SORTS[view.sort];
  const sign = view.desc ? -1 : 1;
  const compare = (a, b) => {
    const x = sort.value(a);
    const y = sort.value(b);
    if (x !== y) {
      if (x === undefined) return 1;
      if (y === undefined) return -1;
      const d = sort.text ? (x < y ? -1 : 1) : x - y;
      if (d) return sign * d;
    }
    return (b.added - a.added) || (b.seq - a.seq) || (a.id < b.id ? -1 : 1);
  };
  return list.sort(compare);
}

// ---- the model, drawn at most once a frame however many events arrive

function row(id) {
  let found = rows.get(id);
  if (!found) {
    found = {
      id, url: '', dir: '', state: 'queued', bytes: 0, total: 0, rate: 0, code: 0, text: '', path: '',
      added: Math.floor(Date.now() / 1000), updated: 0, tries: 0, sha1: '', outcome: '', maxRate: 0,
      heard: 0, seq: ++seq, asking: '', busy: false,
    };
    rows.set(id, found);
    changed = true;
  }
  return found;
}

// A hidden tab gets no animation frames, but its title still tells the progress.
function schedule() {
  if (!frame) frame = document.hidden ? setTimeout(draw, 500) : requestAnimationFrame(draw);
}

function touch() {
  changed = true;
  schedule();
}

function remove(id) {
  gone.set(id, ++heard);
  if (!rows.delete(id)) return;
  picked.delete(id);
  if (detailsId === id) closeDetails();
  touch();
}

function draw() {
  frame = 0;
  if (changed) {
    changed = false;
    shown = order();
    if (pruneNext) {
      pruneNext = false;
      const visible = new Set(shown.map((r) => r.id));
      for (const id of picked) if (!visible.has(id)) picked.delete(id);
    }
    summarize();
    showSelection();
    showDetails();
  }
  place();
}

// Only the rows in the window, and a margin, are in the document; the list's height makes the
// scroll bar what it would be with all of them.
function place() {
  const list = $('rows');
  const height = parseFloat(getComputedStyle(list).getPropertyValue('--row-h')) || 60;
  list.style.height = shown.length * height + 'px';
  const top = -list.getBoundingClientRect().top;
  const first = Math.max(0, Math.floor(top / height) - MARGIN);
  const last = Math.min(shown.length, Math.ceil((top + innerHeight) / height) + MARGIN);
  const now = new Map();
  let previous = null;
  for (let i = first; i < last; i++) {
    const r = shown[i];
    let el = rendered.get(r.id);
    if (el) rendered.delete(r.id);
    else el = spare.pop() || makeRow();
    now.set(r.id, el);
    fill(el, r, i * height);
    // Document order follows the screen's, for keyboards and readers; only what is out of place moves.
    if (el.previousElementSibling !== previous || el.parentNode !== list) {
      list.insertBefore(el, previous ? previous.nextElementSibling : list.firstElementChild);
    }
    previous = el;
  }
  for (const el of rendered.values()) {
    el.remove();
    spare.push(el);
  }
  rendered = now;
  const empty = $('empty');
  empty.hidden = shown.length > 0 || rows.size === 0;
  set(empty, 'No download matches this search and filter.');
}

function makeRow() {
  const el = $('row').content.firstElementChild.cloneNode(true);
  el.parts = {};
  for (const part of el.querySelectorAll('[class], progress, button')) {
    el.parts[part.className || part.dataset.action || part.localName] = part;
  }
  return el;
}

function set(el, text) {
  if (el.textContent !== text) el.textContent = text;
}

function fill(el, r, y) {
  const part = el.parts;
  const active = ACTIVE.has(r.state);
  el.dataset.id = r.id;
  el.dataset.state = r.state;
  el.style.transform = 'translateY(' + y + 'px)';
  el.classList.toggle('picked', picked.has(r.id));
  el.classList.toggle('open', detailsId === r.id);
  const name = nameOf(r);
  part.pick.checked = picked.has(r.id);
  part.pick.setAttribute('aria-label', 'select ' + name);
  set(part.name, name);
  part.name.title = r.url;
  set(part.state, r.state);
  const bar = part.progress;
  if (r.total > 0) {
    bar.max = r.total;
    bar.value = Math.min(r.bytes, r.total);
  } else if (r.state === 'running') {
    bar.removeAttribute('value'); // indeterminate while the size is unknown
  } else {
    bar.max = 1;
    bar.value = r.state === 'finished' ? 1 : 0;
  }
  set(part.bytes, r.total > 0 ? bytes(r.bytes) + ' of ' + bytes(r.total)
    : r.bytes > 0 || r.state === 'running' ? bytes(r.bytes) : '');
  set(part.rate, active && r.rate > 0 ? bytes(r.rate) + '/s' : '');
  const left = timeLeft(r);
  set(part.left, left === undefined ? '' : duration(left) + ' left');
  const detail = r.state === 'finished' ? 'saved: ' + r.path
    : r.code ? r.text + ' (code ' + r.code + ')'
      : r.text || ((r.state === 'paused' || r.state === 'interrupted') && r.dir ? 'in ' + r.dir : '');
  set(part.detail, detail);
  part.detail.title = detail; // one line in the row; all of it on hover and in the details
  if (r.asking && !allowed(r, r.asking)) r.asking = '';
  for (const action of ['pause', 'resume', 'abort', 'forget']) {
    part[action].hidden = !!r.asking || !allowed(r, action);
    part[action].disabled = r.busy;
  }
  part.yes.hidden = part.no.hidden = part.ask.hidden = !r.asking;
  set(part.ask, r.asking === 'abort' ? 'Abort and delete?' : r.asking ? 'Forget and delete?' : '');
}

function summarize() {
  const count = {};
  let rate = 0;
  let done = 0;
  let total = 0;
  let ended = 0;
  for (const r of rows.values()) {
    count[r.state] = (count[r.state] || 0) + 1;
    if (OVER.has(r.state)) ended++;
    if (!ACTIVE.has(r.state)) continue;
    if (r.state === 'running') rate += r.rate;
    if (r.total > 0) {
      done += Math.min(r.bytes, r.total);
      total += r.total;
    }
  }
  const states = Object.keys(count).sort((a, b) => STATE_ORDER.indexOf(a) - STATE_ORDER.indexOf(b));
  set($('summary'), states.map((s) => count[s] + ' ' + s).join(' · '));
  const percent = total > 0 ? Math.floor((done / total) * 100) : -1;
  const totals = [];
  if (count.running) totals.push(bytes(rate) + '/s in all');
  if (total > 0) totals.push(bytes(done) + ' of ' + bytes(total) + ' (' + percent + '%) of what is under way');
  set($('totals'), totals.join(' · '));
  const running = count.running || 0;
  const title = running ? (percent >= 0 ? percent + '% · ' : '') + running + ' running — Haulwright' : 'Haulwright';
  if (document.title !== title) document.title = title;
  set($('shown'), shown.length === rows.size ? rows.size + (rows.size === 1 ? ' download' : ' downloads')
    : shown.length + ' of ' + rows.size + ' shown');
  set($('limit-now'), overallLimit === null ? '' : 'now: ' + rateText(overallLimit));
  const clear = $('clear');
  set(clear, 'Clear finished and aborted' + (ended ? ' (' + ended + ')' : ''));
  clear.disabled = !ended || clearing;
}

function showSelection() {
  const all = $('pick-all');
  const count = shown.reduce((n, r) => n + picked.has(r.id), 0);
  all.checked = count > 0 && count === shown.length;
  all.indeterminate = count > 0 && count < shown.length;
  all.disabled = shown.length === 0;
  $('bulk').hidden = picked.size === 0;
  if (!picked.size) bulkAsking = '';
  set($('picked'), picked.size + ' selected');
  const chosen = [...picked].map((id) => rows.get(id)).filter(Boolean);
  for (const button of $('bulk-actions').querySelectorAll('button[data-bulk]')) {
    const action = button.dataset.bulk;
    // Forget goes to all of them: the owner says in each row why it keeps a running one.
    button.disabled = bulkBusy || (action !== 'unpick' && !chosen.some((r) => allowed(r, action) ||
      (action === 'forget' && ACTIVE.has(r.state))));
  }
  $('bulk-actions').hidden = !!bulkAsking;
  $('bulk-ask').hidden = !bulkAsking;
  const n = targets(bulkAsking).length;
  set($('bulk-question'), bulkAsking === 'abort' ? 'Abort ' + n + ' and delete what they received?'
    : bulkAsking === 'forget' ? 'Forget ' + n + '? Paused and failed ones lose what they received.' : '');
}

// ---- details of one download

const DETAILS = [
  ['URL', (r) => r.url],
  ['State', (r) => r.state],
  ['Folder', (r) => r.dir],
  ['Saved as', (r) => r.path],
  ['Size', (r) => (r.total > 0 ? bytes(r.total) + ' (' + r.total + ' bytes)' : 'unknown')],
  ['Received', (r) => bytes(r.bytes) + ' (' + r.bytes + ' bytes)'],
  ['Added', (r) => moment(r.added)],
  ['Updated', (r) => moment(r.updated)],
  ['Tries', (r) => String(r.tries)],
  ['SHA-1', (r) => r.sha1],
  ['Outcome', (r) => r.outcome],
  ['Code', (r) => (r.code ? String(r.code) : '')],
  ['Text', (r) => r.text],
  ['Its own limit', (r) => rateText(r.maxRate)],
  ['Connections', (r) => (r.connections ? String(r.connections) : 'as configured')],
  ['Id', (r) => r.id],
];

// The pieces and the tries are the list's: read again while the panel shows a running download.
let detailsTimer = 0;

function openDetails(id) {
  detailsId = id;
  clearInterval(detailsTimer);
  detailsTimer = setInterval(() => {
    const r = rows.get(detailsId);
    if (r && r.state === 'running' && (r.pieces || r.connections > 1)) refresh();
  }, 2000);
  $('details').hidden = false;
  $('own-limit').value = '';
  $('own-limit-error').textContent = '';
  refresh(); // tries, times and outcome are the list's, not the events'
  touch();
}

function closeDetails() {
  detailsId = '';
  clearInterval(detailsTimer);
  $('details').hidden = true;
  touch();
}

// The same elements each time, so a selection in the panel survives the next event.
function showDetails() {
  const r = rows.get(detailsId);
  if (!r) return;
  set($('details-name'), nameOf(r));
  const list = $('details-list');
  if (!list.children.length) {
    for (const [label] of DETAILS) {
      const term = document.createElement('dt');
      term.textContent = label;
      list.append(term, document.createElement('dd'));
    }
  }
  DETAILS.forEach(([, value], i) => {
    const text = value(r);
    const term = list.children[2 * i];
    set(term.nextElementSibling, text);
    term.hidden = term.nextElementSibling.hidden = !text;
  });
  $('own-limit-form').hidden = OVER.has(r.state);
  drawPieces(r);
}

// A file fetched over several connections: each piece's written part on the file's length.
function drawPieces(r) {
  const strip = $('pieces');
  const parts = (r.pieces || '').split(',').map((p) => p.split('-').map(Number)).filter((p) => p.length === 3);
  const total = parts.length ? Math.max(...parts.map((p) => p[2])) : 0;
  strip.hidden = !(total > 0) || OVER.has(r.state);
  if (strip.hidden) return;
  while (strip.children.length > parts.length) strip.lastChild.remove();
  while (strip.children.length < parts.length) strip.append(document.createElement('span'));
  // Below the first piece the file is whole.
  const first = Math.min(...parts.map((p) => p[0]));
  parts.push([0, first, first]);
  if (strip.children.length < parts.length) strip.append(document.createElement('span'));
  parts.forEach(([start, pos], i) => {
    const part = strip.children[i];
    part.style.left = (100 * start / total) + '%';
    part.style.width = (100 * (pos - start) / total) + '%';
  });
}

// ---- the list: at start and after each reconnect, since events of the gap are lost

// asked: the count of events when the list was asked for; a row that heard of something since
// knows its state better than the list.
function applyList(list, asked) {
  const seen = new Set();
  if (typeof list.maxRate === 'number') overallLimit = list.maxRate;
  for (const [id, at] of gone) if (at <= asked) gone.delete(id);
  for (const d of list.downloads || []) {
    if (gone.has(d.id)) continue;
    const r = row(d.id);
    seen.add(d.id);
    // What never changes, or only the list tells: even a row that heard more learns its URL here.
    Object.assign(r, {
      url: d.url, dir: d.dir || '', added: d.added || r.added, updated: d.updated || 0, tries: d.tries || 0,
      sha1: d.sha1 || '', maxRate: d.maxRate || 0, connections: d.connections || 0, pieces: d.pieces || '',
    });
    if (r.heard > asked) continue;
    // Interrupted: the owner or the machine stopped under it; it resumes as a paused one does.
    const state = d.state === 'paused' && d.interrupted ? 'interrupted' : d.state;
    // A finished one's report text is its path, shown as such.
    const ended = state === 'finished';
    Object.assign(r, {
      state, bytes: d.bytes, total: d.size, rate: d.rate, path: d.path || '', code: ended ? 0 : d.code || 0,
      text: ended ? '' : d.words || d.text || '', outcome: d.outcome || '',
    });
  }
  // The owner keeps what ended (its history): what it no longer names was forgotten or trimmed.
  for (const [id, r] of rows) if (!seen.has(id) && !(r.heard > asked)) remove(id);
  touch();
}

async function refresh() {
  if (refreshing) {
    refreshAgain = true;
    return;
  }
  refreshing = true;
  try {
    const asked = heard;
    applyList(await api('GET', '/v1/downloads'), asked);
  } catch (e) {
    if (e.status === 401) askToken(); // anything else: the stream's reconnect reads it again
  } finally {
    refreshing = false;
    if (refreshAgain) {
      refreshAgain = false;
      refresh();
    }
  }
}

// ---- the event stream

const REPORTS = new Set(['WasFinished', 'WasFailed', 'WasAborted', 'DownloaderError']);

// Every event is an object of the service's one shape; its type says what it is about.
function onMessage(message) {
  const m = JSON.parse(message.data);
  if (m.type === 'Dropped') return dropped();
  // A limit changed, here or by another client: the overall one has no session.
  if (m.type === 'Limited') {
    if (!m.session) overallLimit = m.maxRate;
    else if (rows.has(m.session)) rows.get(m.session).maxRate = m.maxRate;
    return touch();
  }
  if (!m.session) return;
  if (m.type === 'Forgotten') return remove(m.session);
  // Started elsewhere: its state names its URL, the list the rest.
  if (!rows.has(m.session)) refresh();
  const r = row(m.session);
  if (m.url && !r.url) r.url = m.url;
  r.heard = ++heard;
  if (m.type === 'Progress') {
    if (r.state !== 'running') Object.assign(r, { code: 0, text: '' }); // an earlier failure was resumed
    Object.assign(r, { state: 'running', bytes: m.bytes, total: m.size, rate: m.bytesPerSecond });
  } else if (m.type === 'State') {
    const state = m.state === 'paused' && m.interrupted ? 'interrupted' : m.state;
    Object.assign(r, { state, bytes: m.bytes, total: m.size || r.total, rate: 0 });
    if (m.path) r.path = m.path;
    const ended = state === 'finished';
    Object.assign(r, { code: ended ? 0 : m.code || 0, text: ended ? '' : m.words || m.text || '' });
    if (detailsId === r.id) refresh();
  } else if (m.type === 'Retrying') {
    Object.assign(r, { state: 'queued', rate: 0, code: m.code, text: 'retrying in ' + m.delaySeconds + ' s (' +
      m.attempt + '/' + m.retries + '): ' + m.reason });
  } else if (REPORTS.has(m.type)) {
    r.outcome = m.type;
  }
  touch();
}

function showConnection(state, text) {
  const sign = $('connection');
  sign.dataset.state = state;
  document.body.dataset.connection = state; // rows are dimmed while they may be stale
  sign.textContent = text;
}

function connect() {
  clearTimeout(retryTimer);
  if (events) events.close();
  // Same origin: the session cookie goes along, and nothing secret is in the URL.
  const source = events = new EventSource('/v1/events');
  source.onmessage = onMessage;
  source.onopen = () => {
    retryDelay = 1000;
    signedIn = true;
    if (lostSince) {
      showConnection('back', 'connected again');
      setTimeout(() => { if ($('connection').dataset.state === 'back') showConnection('open', 'connected'); }, 4000);
    } else {
      showConnection('open', 'connected');
    }
    lostSince = 0;
    refresh();
  };
  // A stopping service answers 503, after which EventSource gives up for good: reconnect
  // here instead, backing off to 5 s.
  source.onerror = () => {
    source.close();
    lost();
    retryTimer = setTimeout(probe, retryDelay);
    retryDelay = Math.min(retryDelay * 2, 5000);
  };
}

// The service closed a stream that fell behind: what it missed is in the list, which the next
// stream reads as it opens. A stream dropped again at once waits a second first.
function dropped() {
  if (events) events.close();
  const now = Date.now();
  retryTimer = setTimeout(connect, now - lastDrop < 1000 ? 1000 : 0);
  lastDrop = now;
}

function lost() {
  if (!lostSince) lostSince = Date.now();
  showConnection('lost', 'connection to the service lost — reconnecting…');
}

// An EventSource does not say why it failed; a plain request tells a missing session apart.
async function probe(note) {
  try {
    await api('GET', '/v1/downloads');
  } catch (e) {
    if (e.status === 401) return askToken(note);
  }
  connect();
}

// A code or the token is traded for the session cookie; neither is kept. A service out of
// reach may not have seen it, so it is offered again, from memory only.
async function signIn(offer, refusal) {
  try {
    await api('POST', '/v1/session', offer);
  } catch (e) {
    if (!e.status) {
      lost();
      retryTimer = setTimeout(() => signIn(offer, refusal), retryDelay);
      retryDelay = Math.min(retryDelay * 2, 5000);
    } else if (e.status === 401 && offer.code) {
      probe(refusal); // a used link, but this browser's session may still be good
    } else {
      askToken(e.status === 401 ? refusal : e.message);
    }
    return;
  }
  $('token-form').hidden = true;
  $('token-note').textContent = '';
  probe();
}

function askToken(note = signedIn ? SESSION_GONE : '') {
  clearTimeout(retryTimer);
  if (events) events.close();
  showConnection('lost', 'not signed in');
  $('token-note').textContent = note;
  $('token-form').hidden = false;
  $('token').focus();
}

// ---- adding

async function add(event) {
  event.preventDefault();
  const form = event.target;
  const value = (name) => form.elements[name].value.trim();
  const common = {};
  for (const name of ['dir', 'sha1', 'user']) if (value(name)) common[name] = value(name);
  if (form.elements.password.value) common.password = form.elements.password.value;
  if (value('connections')) common.connections = Number(value('connections'));
  let urls = form.elements.urls.value.split('\n').map((u) => u.trim()).filter((u) => u && !u.startsWith('#'));
  $('add-error').textContent = '';
  $('add-note').textContent = '';
  try {
    // A long list goes in parts the owner takes; what was taken leaves the field.
    while (urls.length) {
      const part = urls.slice(0, MAX_BATCH);
      const answer = await api('POST', '/v1/downloads', { downloads: part.map((url) => ({ url, ...common })) });
      // Numbered last to first, so the batch reads in its own order above older rows.
      answer.ids.map((id, i) => [id, part[i]]).reverse().forEach(([id, url]) => {
        const r = row(id);
        if (!r.url) r.url = url;
        r.seq = ++seq;
        if (!r.heard) r.heard = ++heard; // a list asked before this answer does not know it yet
      });
      touch();
      urls = urls.slice(MAX_BATCH);
      form.elements.urls.value = urls.join('\n');
    }
    // The folder and user often serve the next batch too; a digest and a password do not.
    for (const name of ['urls', 'sha1', 'password']) form.elements[name].value = '';
  } catch (e) {
    if (e.status === 401) askToken();
    $('add-error').textContent = e.message + (e.code ? ' (code ' + e.code + ')' : '');
  }
}

// A list of URLs from a file, one a line, '#' lines left out, after what the field holds.
function readList(file) {
  if (file.size > 16 << 20) {
    $('add-error').textContent = file.name + ' is larger than 16 MiB: not a list of URLs?';
    return;
  }
  const reader = new FileReader();
  reader.onload = () => {
    const urls = String(reader.result).split(/\r?\n/).map((u) => u.trim()).filter((u) => u && !u.startsWith('#'));
    const field = $('urls');
    const before = field.value.trim();
    field.value = (before ? before + '\n' : '') + urls.join('\n');
    $('add-error').textContent = '';
    $('add-note').textContent = urls.length + (urls.length === 1 ? ' URL' : ' URLs') + ' read from ' + file.name +
      ': Add to start ' + (urls.length === 1 ? 'it' : 'them') + '.';
  };
  reader.onerror = () => {
    $('add-error').textContent = 'could not read ' + file.name;
  };
  reader.readAsText(file);
}

function dropping(event) {
  return event.dataTransfer && [...event.dataTransfer.types].includes('Files');
}

// ---- acting on downloads

async function act(r, action, body) {
  r.busy = true;
  touch();
  try {
    await api('POST', '/v1/downloads/' + encodeURIComponent(r.id) + '/' + action, body);
    return true;
  } catch (e) {
    if (e.status === 401) askToken();
    const now = rows.get(r.id);
    if (now) Object.assign(now, { code: e.code || e.status || 0, text: e.message });
    return false;
  } finally {
    r.busy = false;
    touch();
  }
}

// Each of items through work, a few at a time.
async function each(items, work) {
  let next = 0;
  const worker = async () => {
    while (next < items.length) await work(items[next++]);
  };
  await Promise.all(Array.from({ length: Math.min(IN_FLIGHT, items.length) }, worker));
}

function control(event) {
  if (event.target.classList.contains('pick')) return pick(event);
  const button = event.target.closest('button');
  const li = event.target.closest('li');
  if (!button || !li) return;
  const r = rows.get(li.dataset.id);
  if (!r) return;
  if (button.classList.contains('name')) return openDetails(r.id);
  const action = button.dataset.action;
  if (action === 'no') {
    r.asking = '';
  } else if (action === 'yes') {
    const asked = r.asking;
    r.asking = '';
    if (asked) act(r, asked);
  } else if (deletes(r, action)) {
    r.asking = action;
  } else if (action) {
    act(r, action);
  }
  touch();
}

// A click, not a change: only a click says whether Shift was held.
function pick(event) {
  const box = event.target;
  const li = box.closest('li');
  if (!li) return;
  const index = shown.findIndex((r) => r.id === li.dataset.id);
  // Shift-click: every row between the last one clicked and this one takes its mark.
  const from = event.shiftKey && lastPick >= 0 ? Math.min(lastPick, index) : index;
  const to = event.shiftKey && lastPick >= 0 ? Math.max(lastPick, index) : index;
  for (let i = from; i <= to && i >= 0; i++) {
    if (box.checked) picked.add(shown[i].id);
    else picked.delete(shown[i].id);
  }
  lastPick = index;
  touch();
}

function pickAll(event) {
  for (const r of shown) {
    if (event.target.checked) picked.add(r.id);
    else picked.delete(r.id);
  }
  touch();
}

function targets(action) {
  const chosen = [...picked].map((id) => rows.get(id)).filter(Boolean);
  return action === 'forget' ? chosen : chosen.filter((r) => allowed(r, action));
}

function bulk(event) {
  const button = event.target.closest('button[data-bulk]');
  if (!button) return;
  const action = button.dataset.bulk;
  if (action === 'unpick') picked.clear();
  else if (action === 'no') bulkAsking = '';
  else if (action === 'yes') {
    const asked = bulkAsking;
    bulkAsking = '';
    runBulk(asked);
  } else if (targets(action).some((r) => deletes(r, action))) bulkAsking = action;
  else runBulk(action);
  touch();
}

async function runBulk(action) {
  const list = targets(action);
  if (!list.length || bulkBusy) return;
  bulkBusy = true;
  let done = 0;
  let refused = 0;
  const note = $('bulk-note');
  note.textContent = action + ': 0 of ' + list.length;
  await each(list, async (r) => {
    if (!(await act(r, action))) refused++;
    note.textContent = action + ': ' + ++done + ' of ' + list.length;
  });
  bulkBusy = false;
  note.textContent = refused ? refused + ' refused: their rows say why' : '';
  touch();
}

// Forgets what ended: records only, every saved file stays where it is.
async function clearEnded() {
  const list = [...rows.values()].filter((r) => OVER.has(r.state));
  if (!list.length || clearing) return;
  clearing = true;
  touch();
  let done = 0;
  let refused = 0;
  const note = $('clear-note');
  await each(list, async (r) => {
    if (!(await act(r, 'forget'))) refused++;
    note.textContent = 'clearing: ' + ++done + ' of ' + list.length;
  });
  clearing = false;
  note.textContent = refused ? refused + ' could not be forgotten: their rows say why' : '';
  touch();
}

// ---- speed limits

async function setLimit(event, input, error, path, done) {
  event.preventDefault();
  const maxRate = parseRate(input.value);
  error.textContent = '';
  if (isNaN(maxRate)) {
    error.textContent = RATE_FORMAT;
    return;
  }
  try {
    await api('POST', path, { maxRate });
    input.value = '';
    done(maxRate);
    refresh();
  } catch (e) {
    if (e.status === 401) askToken();
    error.textContent = e.message + (e.code ? ' (code ' + e.code + ')' : '');
  }
  touch();
}

// ---- start

function start() {
  showView();
  $('add').addEventListener('submit', add);
  $('add').addEventListener('keydown', (event) => {
    if (event.key === 'Enter' && (event.ctrlKey || event.metaKey)) {
      event.preventDefault();
      $('add').requestSubmit();
    }
  });
  $('url-file').addEventListener('change', (event) => {
    for (const file of event.target.files) readList(file);
    event.target.value = ''; // the same file may be chosen again
  });
  document.addEventListener('dragover', (event) => {
    if (!dropping(event)) return;
    event.preventDefault();
    document.body.dataset.dropping = 'yes';
  });
  document.addEventListener('dragleave', (event) => {
    if (!event.relatedTarget) delete document.body.dataset.dropping;
  });
  document.addEventListener('drop', (event) => {
    delete document.body.dataset.dropping;
    if (!dropping(event)) return;
    event.preventDefault();
    for (const file of event.dataTransfer.files) readList(file);
  });
  $('rows').addEventListener('click', control);
  $('pick-all').addEventListener('change', pickAll);
  $('bulk').addEventListener('click', bulk);
  $('clear').addEventListener('click', clearEnded);
  $('search').addEventListener('input', (event) => changeView({ q: event.target.value }));
  $('state-filter').addEventListener('change', (event) => changeView({ state: event.target.value }));
  $('sort').addEventListener('change', (event) =>
    changeView({ sort: event.target.value, desc: SORTS[event.target.value].desc }));
  $('sort-dir').addEventListener('click', () => changeView({ desc: !view.desc }));
  $('details-close').addEventListener('click', closeDetails);
  document.addEventListener('keydown', (event) => {
    if (event.key === 'Escape' && detailsId) closeDetails();
  });
  $('limit-form').addEventListener('submit', (event) =>
    setLimit(event, $('limit'), $('limit-error'), '/v1/limit', (n) => { overallLimit = n; }));
  $('own-limit-form').addEventListener('submit', (event) => {
    const r = rows.get(detailsId);
    if (!r) return event.preventDefault();
    setLimit(event, $('own-limit'), $('own-limit-error'), '/v1/downloads/' + encodeURIComponent(r.id) + '/limit',
      (n) => { r.maxRate = n; });
  });
  addEventListener('scroll', schedule, { passive: true });
  addEventListener('resize', schedule);
  document.addEventListener('visibilitychange', schedule);
  $('token-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const field = $('token');
    const offer = { token: field.value.trim() };
    field.value = ''; // not left in the page, nor in what the browser keeps of it
    signIn(offer, TOKEN_REFUSED);
  });
  touch();
  if (linkCode) signIn({ code: linkCode }, LINK_REFUSED);
  else probe();
}

start();
