// Conversations: one thread per number, newest first; a thread interleaves
// received and sent messages by time, with each sent message's status and
// per-part delivery, and a reply box.
import { h, replaceChildren, statusBadge, partsText, timeElement } from './dom.js';
import { data, threads, subscribe, markRead } from './store.js';
import { composer } from './compose.js';

function snippet(item) {
  const prefix = item.kind === 'sent' ? 'You: ' : '';
  const text = item.m.text.replace(/\s+/g, ' ');
  return prefix + (text.length > 80 ? `${text.slice(0, 80)}…` : text);
}

function threadList(selected) {
  const list = threads();
  if (!list.length) {
    return h('p', { class: 'empty' }, 'No messages yet. Messages the modems receive and those sent appear here as they happen.');
  }
  return h('ul', { class: 'thread-list', 'aria-label': 'Threads' }, list.map((t) => h('li', {},
    h('a', {
      href: `#/conversations/${encodeURIComponent(t.number)}`,
      class: `thread-link${t.unread ? ' unread' : ''}`,
      'aria-current': t.number === selected ? 'true' : null,
      'data-key': `thread:${t.number}`,
    },
    h('span', { class: 'thread-top' },
      h('span', { class: 'thread-number' }, t.number),
      t.unread ? h('span', { class: 'unread-dot' }, h('span', { class: 'visually-hidden' }, 'unread')) : null,
      timeElement(t.last.kind === 'sent' ? t.last.m.created_at : t.last.m.received_at)),
    h('span', { class: 'thread-snippet' }, snippet(t.last))))));
}

function bubble(item) {
  const m = item.m;
  if (item.kind === 'received') {
    return h('li', { class: 'bubble received', 'data-id': `r${m.id}` },
      h('p', { class: 'bubble-text' }, m.text),
      h('p', { class: 'bubble-meta' }, timeElement(m.received_at), ` · received by ${m.modem}`,
        m.complete ? '' : ' · incomplete (parts missing)'));
  }
  const parts = partsText(m);
  return h('li', { class: 'bubble sent', 'data-id': `s${m.id}` },
    h('p', { class: 'bubble-text' }, m.text),
    h('p', { class: 'bubble-meta' }, timeElement(m.created_at), ' · ', statusBadge(m.status),
      m.modem ? ` · ${m.modem}` : ''),
    parts ? h('p', { class: 'bubble-parts' }, parts) : null,
    m.error ? h('p', { class: 'bubble-error' }, m.error) : null);
}

export function renderConversations(view, params) {
  const selected = params[0] ? decodeURIComponent(params[0]) : '';
  const listPane = h('div', { class: 'thread-pane' });
  const threadPane = h('section', { class: 'conversation', 'aria-label': selected ? `Conversation with ${selected}` : 'Conversation' });
  view.append(h('h1', { class: selected ? 'wide-only' : '' }, 'Conversations'),
    h('div', { class: `conversations${selected ? ' has-selection' : ''}` }, listPane, threadPane));

  const messages = h('ol', { class: 'messages', 'aria-label': 'Messages', 'aria-live': 'polite' });
  const count = h('span', { class: 'hint' });
  if (selected) {
    const reply = composer({ fixedTo: selected, compact: true });
    threadPane.append(
      h('div', { class: 'conversation-head' },
        h('a', { href: '#/conversations', class: 'button quiet narrow-only', 'aria-label': 'All conversations' }, '← All'),
        h('h2', {}, selected),
        count),
      messages, reply.form);
  } else {
    threadPane.append(h('p', { class: 'empty' }, 'Choose a conversation, or write a new message under Compose.'));
  }

  const draw = () => {
    const t = selected ? threads().find((x) => x.number === selected) : null;
    if (t && t.lastReceivedId && document.visibilityState === 'visible') markRead(selected, t.lastReceivedId);
    replaceChildren(listPane, threadList(selected));
    if (!selected) return;
    const atBottom = messages.scrollHeight - messages.scrollTop - messages.clientHeight < 40;
    count.textContent = t ? `${t.items.length} ${t.items.length === 1 ? 'message' : 'messages'}` : '';
    replaceChildren(messages, t ? t.items.map(bubble) : h('li', { class: 'empty' }, 'No messages with this number yet.'));
    if (atBottom || !draw.done) messages.scrollTop = messages.scrollHeight;
    draw.done = true;
  };
  draw();
  let queued = false;
  const unsubscribe = subscribe((kind) => {
    if (kind === 'modems' || queued) return;
    queued = true;
    requestAnimationFrame(() => { queued = false; draw(); });
  });
  return unsubscribe;
}

export { data };
