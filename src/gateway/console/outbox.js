// Outbox: every sent message with its status in words, attempts, the
// modem's error, its parts' references and delivery; cancel and retry.
import { api } from './api.js';
import { h, replaceChildren, statusBadge, partsText, timeElement, toast, STATUS_WORDS } from './dom.js';
import { data, subscribe, upsertSent } from './store.js';

async function act(m, action) {
  try {
    if (action === 'cancel') await api('DELETE', `/v1/messages/${m.id}`);
    else await api('POST', `/v1/messages/${m.id}/retry`);
    upsertSent(await api('GET', `/v1/messages/${m.id}`));
    toast(`Message ${m.id} ${action === 'cancel' ? 'cancelled' : 'queued again'}`);
  } catch (e) {
    toast(`Message ${m.id}: ${e.message}`, 'bad');
  }
}

function row(m) {
  const actions = [];
  if (m.status === 'queued') {
    actions.push(h('button', { type: 'button', class: 'button small', 'data-key': `cancel:${m.id}`,
      'aria-label': `Cancel message ${m.id}`, onclick: () => act(m, 'cancel') }, 'Cancel'));
  }
  if (m.status === 'failed' || m.status === 'unknown') {
    actions.push(h('button', { type: 'button', class: 'button small', 'data-key': `retry:${m.id}`,
      'aria-label': `Retry message ${m.id}`, onclick: () => act(m, 'retry') }, 'Retry'));
  }
  return h('tr', { 'data-id': m.id },
    h('td', { 'data-label': 'ID' }, String(m.id)),
    h('td', { 'data-label': 'To' }, h('a', { href: `#/conversations/${encodeURIComponent(m.to)}` }, m.to)),
    h('td', { 'data-label': 'Text', class: 'text-cell' }, m.text),
    h('td', { 'data-label': 'Status' }, statusBadge(m.status)),
    h('td', { 'data-label': 'Attempts' }, String(m.attempts)),
    h('td', { 'data-label': 'Modem' }, m.modem || 'any'),
    h('td', { 'data-label': 'Parts' }, partsText(m) || '—'),
    h('td', { 'data-label': 'Error', class: m.error ? 'error-cell' : '' }, m.error || '—'),
    h('td', { 'data-label': 'Created' }, timeElement(m.created_at)),
    h('td', { 'data-label': 'Actions', class: 'actions-cell' }, actions.length ? actions : '—'));
}

export function renderOutbox(view) {
  const filter = h('select', { id: 'outbox-status' }, h('option', { value: '' }, 'All'),
    Object.entries(STATUS_WORDS).map(([value, word]) => h('option', { value }, word)));
  const table = h('div', { class: 'table-wrap' });
  const count = h('p', { class: 'hint', role: 'status' });
  view.append(h('div', { class: 'view-head' }, h('h1', {}, 'Outbox'),
    h('div', { class: 'field inline' }, h('label', { for: 'outbox-status' }, 'Status'), filter)), count, table);

  const draw = () => {
    const list = [...data.sent.values()].filter((m) => !filter.value || m.status === filter.value).sort((a, b) => b.id - a.id);
    count.textContent = `${list.length} ${list.length === 1 ? 'message' : 'messages'}`;
    if (!list.length) { replaceChildren(table, h('p', { class: 'empty' }, 'Nothing here.')); return; }
    replaceChildren(table, h('table', { class: 'outbox' },
      h('caption', { class: 'visually-hidden' }, 'Sent messages, newest first'),
      h('thead', {}, h('tr', {}, ['ID', 'To', 'Text', 'Status', 'Attempts', 'Modem', 'Parts', 'Error', 'Created', 'Actions']
        .map((t) => h('th', { scope: 'col' }, t)))),
      h('tbody', {}, list.slice(0, 500).map(row))));
  };
  filter.addEventListener('change', draw);
  draw();
  let queued = false;
  return subscribe((kind) => {
    if (kind !== 'sent' || queued) return;
    queued = true;
    requestAnimationFrame(() => { queued = false; draw(); });
  });
}
