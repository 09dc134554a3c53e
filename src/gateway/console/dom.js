// DOM helpers. Text from messages only ever reaches the page as text nodes
// and attribute values, never as markup.

const PROPERTIES = new Set(['value', 'checked', 'disabled', 'selected', 'hidden']);

export function h(tag, props, ...children) {
  const el = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') el.className = value;
    else if (key === 'text') el.textContent = value;
    else if (key.startsWith('on') && typeof value === 'function') el.addEventListener(key.slice(2), value);
    else if (PROPERTIES.has(key)) el[key] = value;
    else el.setAttribute(key, value === true ? '' : String(value));
  }
  append(el, children);
  return el;
}

export function append(el, children) {
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    el.append(child instanceof Node ? child : String(child));
  }
  return el;
}

export function clear(el) {
  while (el.firstChild) el.firstChild.remove();
  return el;
}

// Replaces the children of `el`, keeping the focus on the control with the
// same data-key if it had it.
export function replaceChildren(el, ...children) {
  const active = document.activeElement;
  const key = active && el.contains(active) ? active.getAttribute('data-key') : null;
  clear(el);
  append(el, children);
  if (key) {
    const again = el.querySelector(`[data-key="${CSS.escape(key)}"]`);
    if (again) again.focus();
  }
}

export function formatTime(iso) {
  if (!iso) return '';
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return iso;
  const now = new Date();
  const sameDay = d.toDateString() === now.toDateString();
  const time = d.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
  if (sameDay) return time;
  return `${d.toLocaleDateString([], { day: 'numeric', month: 'short', year: d.getFullYear() === now.getFullYear() ? undefined : 'numeric' })} ${time}`;
}

export function timeElement(iso) {
  return h('time', { datetime: iso || '', title: iso ? new Date(iso).toLocaleString() : '' }, formatTime(iso));
}

export const STATUS_WORDS = {
  queued: 'queued',
  sending: 'sending',
  sent: 'sent',
  delivered: 'delivered',
  not_delivered: 'not delivered',
  failed: 'failed',
  unknown: 'unknown',
  cancelled: 'cancelled',
};

const STATUS_ICONS = {
  queued: '◷', sending: '➚', sent: '✓', delivered: '✓✓', not_delivered: '✗', failed: '!', unknown: '?', cancelled: '⊘',
};

// The status as an icon and its word (the word is what is read out).
export function statusBadge(status) {
  const word = STATUS_WORDS[status] || status;
  return h('span', { class: `status status-${status}` },
    h('span', { class: 'status-icon', 'aria-hidden': 'true' }, STATUS_ICONS[status] || '•'), word);
}

// "2 parts: #12 delivered, #13 waiting for its report".
export function partsText(m) {
  if (!m.parts) return '';
  const states = (m.references || []).map((ref, i) => {
    const d = (m.delivered || [])[i];
    const state = d === true ? 'delivered' : d === false ? 'not delivered' : m.report ? 'no report yet' : 'no report asked';
    return `#${ref} ${state}`;
  });
  return `${m.parts} ${m.parts === 1 ? 'part' : 'parts'}: ${states.join(', ')}`;
}

let toastTimer = 0;
export function toast(message, kind = 'info') {
  const el = document.getElementById('toast');
  el.textContent = message;
  el.className = `toast show ${kind}`;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { el.className = 'toast'; }, 5000);
}
