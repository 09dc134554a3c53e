// Search over inbox and outbox by number or words (GET /v1/search).
import { api } from './api.js';
import { h, replaceChildren, statusBadge, timeElement } from './dom.js';

function result(item) {
  const m = item.m;
  const number = item.kind === 'sent' ? m.to : m.from;
  return h('li', { class: 'result card' },
    h('p', { class: 'result-head' },
      h('span', { class: `direction ${item.kind}` }, item.kind === 'sent' ? 'Sent to' : 'Received from'), ' ',
      h('a', { href: `#/conversations/${encodeURIComponent(number)}` }, number), ' · ',
      timeElement(item.kind === 'sent' ? m.created_at : m.received_at),
      item.kind === 'sent' ? [' · ', statusBadge(m.status)] : ''),
    h('p', { class: 'bubble-text' }, m.text));
}

export function renderSearch(view, params) {
  const input = h('input', { id: 'search-q', type: 'search', autocomplete: 'off', value: params[0] ? decodeURIComponent(params[0]) : '' });
  const results = h('div', { class: 'results', 'aria-live': 'polite' });
  const form = h('form', { class: 'search-form', role: 'search' },
    h('div', { class: 'field grow' }, h('label', { for: 'search-q' }, 'Number or words'), input),
    h('button', { type: 'submit', class: 'button primary' }, 'Search'));
  view.append(h('h1', {}, 'Search'), form,
    h('p', { class: 'hint search-hint' }, 'Received and sent messages whose number or text holds every word, whatever the case.'),
    results);

  const run = async () => {
    const q = input.value.trim();
    if (!q) { replaceChildren(results); return; }
    try {
      const answer = await api('GET', `/v1/search?q=${encodeURIComponent(q)}&limit=200`);
      const items = [...answer.sent.map((m) => ({ kind: 'sent', m, t: m.created_at })),
        ...answer.received.map((m) => ({ kind: 'received', m, t: m.received_at }))]
        .sort((a, b) => (b.t || '').localeCompare(a.t || ''));
      replaceChildren(results,
        h('p', { class: 'hint' }, `${items.length} ${items.length === 1 ? 'message' : 'messages'} found`),
        items.length ? h('ul', { class: 'result-list' }, items.map(result)) : null);
    } catch (e) {
      replaceChildren(results, h('p', { class: 'error' }, e.message));
    }
  };
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    history.replaceState(null, '', `#/search/${encodeURIComponent(input.value.trim())}`);
    run();
  });
  if (input.value) run();
  return () => {};
}
