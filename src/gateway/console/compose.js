// The composer (the Compose view and every thread's reply box): what the text
// will cost comes from POST /v1/preview while typing, from the encoder that
// sends it.
import { api } from './api.js';
import { data, loadModems, upsertSent } from './store.js';
import { h, toast, replaceChildren } from './dom.js';

const CODING_NAMES = { gsm7: 'GSM 7-bit', ucs2: 'UCS2 (16-bit)', '8bit': '8-bit data' };
const LANGUAGE_NAMES = {
  tr: 'Turkish', es: 'Spanish', pt: 'Portuguese', bn: 'Bengali', gu: 'Gujarati', hi: 'Hindi', kn: 'Kannada',
  ml: 'Malayalam', or: 'Oriya', pa: 'Punjabi', ta: 'Tamil', te: 'Telugu', ur: 'Urdu',
};
let serial = 0;

function plural(n, one, many) { return `${n} ${n === 1 ? one : many}`; }

// The cost line and, when characters force UCS2, what to do about them.
function costView(p, applyReplacements) {
  const unit = p.coding === 'gsm7' ? 'characters' : p.coding === 'ucs2' ? 'UTF-16 units' : 'octets';
  const parts = [
    h('strong', { class: 'cost-parts' }, plural(p.parts, 'part', 'parts')),
    h('span', { class: 'cost-coding' }, CODING_NAMES[p.coding] || p.coding),
    h('span', { class: 'cost-left' }, `${p.left_in_part} ${unit} left in this part`),
  ];
  if (p.languages.length) {
    parts.push(h('span', { class: 'cost-languages' },
      `national tables: ${p.languages.map((c) => `${LANGUAGE_NAMES[c] || c} (${c})`).join(', ')}`));
  }
  const out = [h('p', { class: 'cost-line' }, parts)];
  if (p.parts > p.max_parts) {
    out.push(h('p', { class: 'cost-warning' }, `Too long: the gateway sends at most ${p.max_parts} parts.`));
  }
  if (p.ucs2_because.length) {
    const after = p.if_replaced;
    const list = h('ul', { class: 'ucs2-list' }, p.ucs2_because.map((c) => {
      let text = ` (${c.codepoint})`;
      if (after && after.parts !== p.parts) text += ` makes this ${plural(p.parts, 'part', 'parts')} instead of ${after.parts}`;
      else text += ' forces UCS2';
      text += c.replacement === null ? ': no GSM 7-bit equivalent' : ': replace with ';
      return h('li', {}, h('code', { class: 'char' }, c.char), text,
        c.replacement === null ? null : h('code', { class: 'char' }, c.replacement === '' ? '(nothing)' : c.replacement));
    }));
    out.push(h('div', { class: 'cost-warning ucs2' },
      h('p', {}, 'Sent as UCS2 because of:'), list,
      after ? h('button', { type: 'button', class: 'button small', onclick: applyReplacements },
        `Replace (${plural(after.parts, 'part', 'parts')}, ${CODING_NAMES[after.coding] || after.coding})`) : null));
  }
  return out;
}

// A composer form. `fixedTo`: the thread's number (a reply box).
export function composer({ fixedTo = '', onSent = null, compact = false } = {}) {
  const id = `c${++serial}`;
  const to = h('input', { id: `${id}-to`, type: 'tel', autocomplete: 'off', required: true, value: fixedTo, inputmode: 'tel' });
  const text = h('textarea', { id: `${id}-text`, rows: compact ? 3 : 6, required: true, 'aria-describedby': `${id}-cost` });
  const report = h('input', { id: `${id}-report`, type: 'checkbox', checked: true });
  const modem = h('select', { id: `${id}-modem` }, h('option', { value: '' }, 'Any modem'));
  const languages = h('input', { id: `${id}-languages`, type: 'text', autocomplete: 'off', placeholder: 'none', 'aria-describedby': `${id}-languages-hint` });
  const codingSelect = h('select', { id: `${id}-coding` },
    h('option', { value: 'auto' }, 'Automatic'), h('option', { value: 'gsm7' }, 'GSM 7-bit'),
    h('option', { value: 'ucs2' }, 'UCS2'), h('option', { value: '8bit' }, '8-bit data'));
  const cost = h('div', { id: `${id}-cost`, class: 'cost', 'aria-live': 'polite' });
  const error = h('p', { class: 'error', role: 'alert' });
  const send = h('button', { type: 'submit', class: 'button primary' }, 'Send');
  let last = null;
  let asked = 0;
  let timer = 0;

  const fillModems = () => {
    const chosen = modem.value;
    replaceChildren(modem, h('option', { value: '' }, 'Any modem'),
      data.modems.map((m) => h('option', { value: m.name }, `${m.name} (${m.state})`)));
    modem.value = chosen;
  };
  if (data.modems.length) fillModems(); else loadModems().then(fillModems).catch(() => {});

  const body = () => {
    const b = { text: text.value, coding: codingSelect.value };
    if (languages.value.trim()) b.languages = languages.value.trim();
    else if (modem.value) b.modem = modem.value;
    return b;
  };
  const preview = async () => {
    const mine = ++asked;
    try {
      const p = await api('POST', '/v1/preview', body());
      if (mine !== asked) return;
      last = p;
      replaceChildren(cost, costView(p, applyReplacements));
      send.disabled = p.parts > p.max_parts;
    } catch (e) {
      if (mine !== asked) return;
      last = null;
      replaceChildren(cost, h('p', { class: 'cost-warning' }, e.message));
      send.disabled = e.status === 422;
    }
  };
  const schedule = () => { clearTimeout(timer); timer = setTimeout(preview, 120); };
  function applyReplacements() {
    if (!last) return;
    let t = text.value;
    for (const c of last.ucs2_because) if (c.replacement !== null) t = t.split(c.char).join(c.replacement);
    text.value = t;
    text.focus();
    preview();
  }
  for (const control of [text, languages]) control.addEventListener('input', schedule);
  for (const control of [modem, codingSelect]) control.addEventListener('change', schedule);

  const form = h('form', { class: compact ? 'composer compact' : 'composer card', novalidate: true });
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    error.textContent = '';
    if (!to.value.trim()) { error.textContent = 'Enter the number to send to.'; to.focus(); return; }
    if (!text.value) { error.textContent = 'Enter the text to send.'; text.focus(); return; }
    const b = body();
    delete b.modem;
    b.to = to.value.trim();
    b.report = report.checked;
    if (modem.value) b.modem = modem.value;
    send.disabled = true;
    try {
      const answer = await api('POST', '/v1/messages', b);
      const m = await api('GET', `/v1/messages/${answer.id}`);
      upsertSent(m);
      toast(`Message ${answer.id} to ${m.to} queued`);
      text.value = '';
      preview();
      if (onSent) onSent(m);
    } catch (err) {
      error.textContent = `Not sent: ${err.message}`;
    } finally {
      send.disabled = false;
    }
  });

  const field = (label, control, extra) => h('div', { class: 'field' }, h('label', { for: control.id }, label), control, extra);
  form.append(
    fixedTo ? h('input', { type: 'hidden' }) : field('To', to, h('p', { class: 'hint' }, 'International format, e.g. +4915112345678')),
    field(compact ? 'Reply' : 'Text', text),
    cost,
    h('details', { class: 'options' },
      h('summary', {}, 'Options'),
      h('div', { class: 'options-grid' },
        h('div', { class: 'field check' }, report, h('label', { for: report.id }, 'Ask for a delivery report')),
        field('Modem', modem),
        field('National language tables', languages,
          h('p', { class: 'hint', id: `${id}-languages-hint` }, 'Codes such as tr,es or all; empty: the modem\'s default')),
        field('Coding', codingSelect))),
    error,
    h('div', { class: 'actions' }, send));
  preview();
  return { form, focus: () => (fixedTo ? text : to).focus() };
}

export function renderCompose(view) {
  const c = composer({ onSent: (m) => { location.hash = `#/conversations/${encodeURIComponent(m.to)}`; } });
  view.append(h('h1', {}, 'Compose'), c.form);
  return () => {};
}
