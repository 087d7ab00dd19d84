// The page of `haul serve --listen`: the service's own JSON interface and event stream.
// Every text from the service or a server is set with textContent, never parsed as markup.
'use strict';

// First of all: the link's one-time code leaves the address bar and this history entry before
// anything else runs, so it is not in a copied link, and a used code is worth nothing anyway.
const linkCode = takeCode();

const $ = (id) => document.getElementById(id);
const rows = new Map(); // id -> row model; row.el is its <li>
const dirty = new Set();
let frame = 0;
let events = null;
let retryDelay = 1000;
let retryTimer = 0;
let lostSince = 0;
let signedIn = false; // once the service accepted this page, a 401 means its session is gone
let lastDrop = 0;
let heard = 0; // events taken so far
let refreshing = false;
let refreshAgain = false; // asked for while a list was on its way

const LINK_REFUSED = 'This link was already used or has expired (a link works once, for ten minutes). ' +
  'Run “haul page” for a new one, or enter the token.';
const SESSION_GONE = 'The service no longer knows this page (it may have restarted). ' +
  'Run “haul page” for a new link, or enter the token.';
const TOKEN_REFUSED = 'That is not the token of this service; it changes each time the service starts.';

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

function nameOf(row) {
  if (row.path) return row.path.slice(row.path.lastIndexOf('/') + 1);
  try {
    const url = new URL(row.url);
    const last = url.pathname.slice(url.pathname.lastIndexOf('/') + 1);
    return decodeURIComponent(last) || url.host;
  } catch (e) {
    return row.url || row.id;
  }
}

// ---- rows, drawn at most once a frame however many events arrive

const ENDED = new Set(['finished', 'failed', 'aborted']);

function row(id) {
  let found = rows.get(id);
  if (!found) {
    found = { id, url: '', state: 'queued', bytes: 0, total: 0, rate: 0, code: 0, text: '', path: '' };
    found.el = $('row').content.firstElementChild.cloneNode(true);
    found.el.dataset.id = id;
    found.parts = {};
    for (const part of found.el.querySelectorAll('[class], progress, button')) {
      found.parts[part.className || part.dataset.action || part.localName] = part;
    }
    $('rows').prepend(found.el);
    rows.set(id, found);
  }
  return found;
}

function touch(r) {
  dirty.add(r);
  if (!frame) frame = requestAnimationFrame(draw);
}

function remove(id) {
  const r = rows.get(id);
  if (!r) return;
  r.el.remove();
  rows.delete(id);
  dirty.delete(r);
}

function draw() {
  frame = 0;
  for (const r of dirty) {
    const el = r.el;
    const field = (name) => r.parts[name];
    const active = r.state === 'running' || r.state === 'queued';
    el.dataset.state = r.state;
    field('name').textContent = nameOf(r);
    field('name').title = r.url;
    field('state').textContent = r.state;
    const bar = field('progress');
    if (r.total > 0) {
      bar.max = r.total;
      bar.value = Math.min(r.bytes, r.total);
    } else if (r.state === 'running') {
      bar.removeAttribute('value'); // indeterminate while the size is unknown
    } else {
      bar.max = 1;
      bar.value = r.state === 'finished' ? 1 : 0;
    }
    field('bytes').textContent = r.total > 0 ? bytes(r.bytes) + ' of ' + bytes(r.total)
      : r.bytes > 0 || r.state === 'running' ? bytes(r.bytes) : '';
    field('rate').textContent = active && r.rate > 0 ? bytes(r.rate) + '/s' : '';
    field('left').textContent =
      active && r.rate > 0 && r.total > r.bytes ? duration((r.total - r.bytes) / r.rate) + ' left' : '';
    field('detail').textContent =
      r.state === 'finished' ? 'saved: ' + r.path
        : r.code ? r.text + ' (code ' + r.code + ')'
          : r.text || ((r.state === 'paused' || r.state === 'interrupted') && r.dir ? 'in ' + r.dir : '');
    const resumable = r.state === 'paused' || r.state === 'interrupted' || r.state === 'failed';
    field('pause').hidden = !active;
    field('resume').hidden = !resumable;
    field('abort').hidden = !(active || resumable);
  }
  dirty.clear();
  summarize();
}

function summarize() {
  const count = {};
  for (const r of rows.values()) count[r.state] = (count[r.state] || 0) + 1;
  $('summary').textContent = Object.keys(count).sort().map((s) => count[s] + ' ' + s).join(' · ');
}

// ---- the list: at start and after each reconnect, since events of the gap are lost

// asked: the count of events when the list was asked for; a row that heard of something since
// knows better than the list.
function applyList(list, asked) {
  const seen = new Set();
  for (const d of list.downloads || []) {
    const r = row(d.id);
    seen.add(d.id);
    if (r.heard > asked) continue;
    // Interrupted: the owner or the machine stopped under it; it resumes as a paused one does.
    const state = d.state === 'paused' && d.interrupted ? 'interrupted' : d.state;
    Object.assign(r, {
      url: d.url, dir: d.dir, state, bytes: d.bytes, total: d.size, rate: d.rate, path: d.path || '',
      code: d.code || 0, text: d.words || d.text || '',
    });
    touch(r);
  }
  // What ended here stays on screen; what the service no longer knows of is gone.
  for (const [id, r] of rows) if (!seen.has(id) && !ENDED.has(r.state)) remove(id);
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

// Every event is an object of the service's one shape; its type says what it is about.
function onMessage(message) {
  const m = JSON.parse(message.data);
  if (m.type === 'Dropped') return dropped();
  if (!m.session) return;
  if (m.type === 'Forgotten') return remove(m.session);
  if (!rows.has(m.session)) refresh(); // started elsewhere: the list names its URL
  const r = row(m.session);
  r.heard = ++heard;
  if (m.type === 'Progress') {
    if (r.state !== 'running') Object.assign(r, { code: 0, text: '' }); // an earlier failure was resumed
    Object.assign(r, { state: 'running', bytes: m.bytes, total: m.size, rate: m.bytesPerSecond });
  } else if (m.type === 'State') {
    const state = m.state === 'paused' && m.interrupted ? 'interrupted' : m.state;
    Object.assign(r, { state, bytes: m.bytes, total: m.size || r.total, rate: 0 });
    if (m.path) r.path = m.path;
    Object.assign(r, { code: m.code || 0, text: m.words || m.text || '' });
  } else if (m.type === 'Retrying') {
    Object.assign(r, { state: 'queued', rate: 0, code: m.code, text: 'retrying in ' + m.delaySeconds + ' s (' +
      m.attempt + '/' + m.retries + '): ' + m.reason });
  }
  touch(r);
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

// ---- forms and buttons

async function add(event) {
  event.preventDefault();
  const form = event.target;
  const value = (name) => form.elements[name].value.trim();
  const common = {};
  for (const name of ['dir', 'sha1', 'user']) if (value(name)) common[name] = value(name);
  if (form.elements.password.value) common.password = form.elements.password.value;
  const urls = form.elements.urls.value.split('\n').map((u) => u.trim()).filter((u) => u && !u.startsWith('#'));
  $('add-error').textContent = '';
  try {
    const answer = await api('POST', '/v1/downloads', { downloads: urls.map((url) => ({ url, ...common })) });
    // Created last to first, so the batch reads in its own order above older rows.
    answer.ids.map((id, i) => [id, urls[i]]).reverse().forEach(([id, url]) => {
      const r = row(id);
      if (!r.url) r.url = url;
      touch(r);
    });
    // The folder and user often serve the next batch too; a digest and a password do not.
    for (const name of ['urls', 'sha1', 'password']) form.elements[name].value = '';
  } catch (e) {
    if (e.status === 401) askToken();
    $('add-error').textContent = e.message + (e.code ? ' (code ' + e.code + ')' : '');
  }
}

async function control(event) {
  const button = event.target.closest('button[data-action]');
  if (!button) return;
  const id = button.closest('li').dataset.id;
  button.disabled = true;
  try {
    await api('POST', '/v1/downloads/' + encodeURIComponent(id) + '/' + button.dataset.action);
  } catch (e) {
    if (e.status === 401) askToken();
    const r = rows.get(id);
    if (r) {
      Object.assign(r, { code: e.code || e.status || 0, text: e.message });
      touch(r);
    }
  } finally {
    button.disabled = false;
  }
}

function start() {
  $('add').addEventListener('submit', add);
  $('rows').addEventListener('click', control);
  $('token-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const field = $('token');
    const offer = { token: field.value.trim() };
    field.value = ''; // not left in the page, nor in what the browser keeps of it
    signIn(offer, TOKEN_REFUSED);
  });
  if (linkCode) signIn({ code: linkCode }, LINK_REFUSED);
  else probe();
}

start();
