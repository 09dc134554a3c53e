// Modems: state, identity, signal, network, queue, last error, limits.
import { h, replaceChildren } from './dom.js';
import { data, loadModems, subscribe } from './store.js';

// Bars from dBm as phones show them (-113 none ... -51 full).
function bars(dbm) {
  const level = dbm === null || dbm === undefined ? 0 : dbm >= -73 ? 4 : dbm >= -83 ? 3 : dbm >= -93 ? 2 : dbm >= -103 ? 1 : 0;
  return h('span', { class: 'bars', role: 'img', 'aria-label': `signal ${level} of 4 bars` },
    [1, 2, 3, 4].map((i) => h('span', { class: `bar bar${i}${i <= level ? ' on' : ''}` })));
}

// Sending limits, where the gateway reports them: a "limits" object, or
// fields named after limits and rates.
function limitsList(m) {
  const scalar = ([, v]) => v !== null && v !== undefined && typeof v !== 'object';
  const entries = [
    ...Object.entries(m.limits && typeof m.limits === 'object' ? m.limits : {}).filter(scalar),
    ...Object.entries(m).filter(([k]) => /limit|per_(second|minute|hour|day)|quota/.test(k)).filter(scalar),
  ];
  if (!entries.length) return null;
  return [h('dt', {}, 'Limits'), h('dd', {}, entries.map(([k, v]) => `${k.replace(/_/g, ' ')}: ${v}`).join(', '))];
}

function card(m) {
  const item = (label, value) => [h('dt', {}, label), h('dd', {}, value === null || value === undefined || value === '' ? '—' : String(value))];
  return h('article', { class: 'card modem', 'aria-labelledby': `modem-${m.name}` },
    h('header', { class: 'modem-head' },
      h('h2', { id: `modem-${m.name}` }, m.name),
      h('span', { class: 'signal' }, m.signal_dbm === null ? 'no signal reading' : `${m.signal_dbm} dBm`, ' ', bars(m.signal_dbm)),
      h('span', { class: `state state-${m.state}` }, m.state)),
    h('dl', { class: 'facts' },
      item('Device', [m.manufacturer, m.model].filter(Boolean).join(' ') || null),
      item('Operator', m.operator),
      item('Registration', m.registration),
      item('Queue', `${m.queue_length} waiting`),
      limitsList(m),
      item('Last error', m.last_error)));
}

export function renderModems(view) {
  const list = h('div', { class: 'modem-grid' });
  const status = h('p', { class: 'hint', role: 'status' });
  const refresh = async () => {
    try {
      await loadModems();
      status.textContent = `Updated ${new Date().toLocaleTimeString()}`;
    } catch (e) {
      status.textContent = `Cannot read the modems: ${e.message}`;
    }
  };
  view.append(h('div', { class: 'view-head' }, h('h1', {}, 'Modems'),
    h('button', { type: 'button', class: 'button', onclick: refresh }, 'Refresh')), status, list);
  const draw = () => replaceChildren(list, data.modems.length ? data.modems.map(card) : h('p', { class: 'empty' }, 'No modems.'));
  draw();
  refresh();
  // Modem state has no events: read it again while the view is open.
  const timer = setInterval(refresh, 15000);
  const unsubscribe = subscribe((kind) => { if (kind === 'modems') draw(); });
  return () => { clearInterval(timer); unsubscribe(); };
}
