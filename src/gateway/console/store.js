// What the console knows: sent and received messages by id, kept current by
// the event stream (/v1/events), which resumes after a dropped connection.
import { api, signedOut } from './api.js';

export const data = { sent: new Map(), received: new Map(), modems: [] };
const listeners = new Set();
let source = null;
let lastEventId = '';
let retryTimer = 0;
let liveListener = () => {};

export function subscribe(listener) {
  listeners.add(listener);
  return () => listeners.delete(listener);
}
function changed(kind, item) {
  for (const listener of [...listeners]) listener(kind, item);
}

export function upsertSent(m) {
  const old = data.sent.get(m.id);
  if (old && (old.updated_at || '') > (m.updated_at || '')) return;
  data.sent.set(m.id, m);
  changed('sent', m);
}
export function upsertReceived(m) {
  data.received.set(m.id, m);
  changed('received', m);
}

async function loadPages(path, upsert) {
  for (let since = 0; ;) {
    const page = await api('GET', `${path}?since=${since}&limit=1000`);
    for (const m of page.messages) {
      upsert(m);
      since = Math.max(since, m.id);
    }
    if (page.messages.length < 1000) return;
  }
}

export async function loadAll() {
  await Promise.all([loadPages('/v1/messages', upsertSent), loadPages('/v1/inbox', upsertReceived), loadModems()]);
}

export async function loadModems() {
  const answer = await api('GET', '/v1/modems');
  data.modems = answer.modems;
  changed('modems', null);
  return data.modems;
}

// Messages of one number and all threads, newest first.
export function when(item) { return item.kind === 'sent' ? item.m.created_at : item.m.received_at; }

export function threads() {
  const byNumber = new Map();
  const add = (number, item) => {
    if (!byNumber.has(number)) byNumber.set(number, { number, items: [], lastReceivedId: 0 });
    const t = byNumber.get(number);
    t.items.push(item);
    if (item.kind === 'received') t.lastReceivedId = Math.max(t.lastReceivedId, item.m.id);
  };
  for (const m of data.sent.values()) add(m.to, { kind: 'sent', m });
  for (const m of data.received.values()) add(m.from, { kind: 'received', m });
  const list = [...byNumber.values()];
  for (const t of list) {
    t.items.sort((a, b) => (when(a) || '').localeCompare(when(b) || '') || a.m.id - b.m.id);
    t.last = t.items[t.items.length - 1];
    t.unread = t.lastReceivedId > readUpTo(t.number);
  }
  list.sort((a, b) => (when(b.last) || '').localeCompare(when(a.last) || ''));
  return list;
}

// Read marks stay in this browser: the highest received id seen per number.
function readMarks() {
  try { return JSON.parse(localStorage.getItem('velasms-read') || '{}'); } catch (e) { return {}; }
}
export function readUpTo(number) { return readMarks()[number] || 0; }
export function markRead(number, id) {
  const marks = readMarks();
  if ((marks[number] || 0) >= id) return;
  marks[number] = id;
  try { localStorage.setItem('velasms-read', JSON.stringify(marks)); } catch (e) { /* private mode */ }
  changed('read', number);
}

// --- the event stream ---

export function onLive(listener) { liveListener = listener; }

export function startEvents() {
  stopEvents();
  const url = lastEventId ? `/v1/events?since=${encodeURIComponent(lastEventId)}` : '/v1/events';
  source = new EventSource(url);
  const fresh = !lastEventId;
  source.addEventListener('open', () => {
    liveListener('live');
    // Without a position the stream starts now: what happened before comes from the lists.
    if (fresh) loadAll().catch(() => {});
  });
  source.addEventListener('message', (e) => {
    lastEventId = e.lastEventId || lastEventId;
    upsertReceived(JSON.parse(e.data));
  });
  source.addEventListener('status', (e) => {
    lastEventId = e.lastEventId || lastEventId;
    upsertSent(JSON.parse(e.data));
  });
  source.addEventListener('error', () => {
    if (source && source.readyState === EventSource.CLOSED) {
      // The browser gave up (the gateway refused the stream): ask whether we
      // are still signed in, then open it again from the last event seen.
      liveListener('offline');
      source.close();
      source = null;
      retryTimer = setTimeout(resume, 3000);
    } else {
      liveListener('reconnecting');
    }
  });
}

async function resume() {
  try {
    const session = await api('GET', '/console/session');
    if (!session.signed_in) {
      signedOut();
      return;
    }
    startEvents();
  } catch (e) {
    retryTimer = setTimeout(resume, 5000);
  }
}

export function stopEvents() {
  clearTimeout(retryTimer);
  if (source) source.close();
  source = null;
}

export function forget() {
  stopEvents();
  lastEventId = '';
  data.sent.clear();
  data.received.clear();
  data.modems = [];
}
