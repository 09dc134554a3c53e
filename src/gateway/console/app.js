// The console's shell: sign-in, navigation between the views, the live
// indicator.
import { api, setCsrf, onSignedOut, signedOut } from './api.js';
import { clear } from './dom.js';
import { forget, onLive, startEvents } from './store.js';
import { renderConversations } from './conversations.js';
import { renderCompose } from './compose.js';
import { renderOutbox } from './outbox.js';
import { renderModems } from './modems.js';
import { renderSearch } from './search.js';

const VIEWS = {
  conversations: { title: 'Conversations', render: renderConversations },
  compose: { title: 'Compose', render: renderCompose },
  outbox: { title: 'Outbox', render: renderOutbox },
  modems: { title: 'Modems', render: renderModems },
  search: { title: 'Search', render: renderSearch },
};
const $ = (id) => document.getElementById(id);
let cleanup = () => {};
let signedIn = false;

function route() {
  if (!signedIn) return;
  const [name, ...params] = location.hash.replace(/^#\/?/, '').split('/');
  const view = VIEWS[name] ? name : 'conversations';
  cleanup();
  const container = $('view');
  clear(container);
  container.className = `view view-${view}`;
  for (const link of document.querySelectorAll('#nav a')) {
    if (link.dataset.view === view) link.setAttribute('aria-current', 'page');
    else link.removeAttribute('aria-current');
  }
  document.title = `${VIEWS[view].title} · VelaCtrl SMS console`;
  cleanup = VIEWS[view].render(container, params) || (() => {});
}

function showSignedIn(csrf) {
  setCsrf(csrf);
  signedIn = true;
  $('signin').hidden = true;
  $('nav').hidden = false;
  $('session').hidden = false;
  $('view').hidden = false;
  startEvents();
  route();
}

function showSignIn(message = '') {
  signedIn = false;
  cleanup();
  cleanup = () => {};
  forget();
  clear($('view'));
  $('view').hidden = true;
  $('nav').hidden = true;
  $('session').hidden = true;
  $('signin').hidden = false;
  $('signin-error').textContent = message;
  document.title = 'Sign in · VelaCtrl SMS console';
  $('token').focus();
}

async function signIn(event) {
  event.preventDefault();
  const token = $('token');
  const error = $('signin-error');
  error.textContent = '';
  if (!token.value) { error.textContent = 'Enter the API token.'; return; }
  try {
    const answer = await api('POST', '/console/session', { token: token.value });
    token.value = '';
    showSignedIn(answer.csrf);
  } catch (e) {
    token.value = '';
    if (e.status === 429) error.textContent = `Too many wrong tokens from this address: try again in ${e.retryAfter || 60} s.`;
    else if (e.status === 401) error.textContent = 'Wrong token.';
    else error.textContent = `Cannot sign in: ${e.message}`;
    token.focus();
  }
}

async function signOut() {
  try { await api('DELETE', '/console/session'); } catch (e) { /* signed out either way */ }
  showSignIn('Signed out.');
}

onSignedOut(() => { if (signedIn) showSignIn('Your session ended: sign in again.'); });
onLive((state) => {
  const live = $('live');
  live.className = `live is-${state}`;
  live.textContent = state === 'live' ? 'Live' : state === 'reconnecting' ? 'Reconnecting…' : 'Offline';
});

$('signin-form').addEventListener('submit', signIn);
$('signout').addEventListener('click', signOut);
window.addEventListener('hashchange', route);
// The tab of the view shown starts it afresh (no hash change to notice).
$('nav').addEventListener('click', (e) => {
  const link = e.target.closest('a');
  if (link && link.hash === location.hash) route();
});

api('GET', '/console/session')
  .then((s) => (s.signed_in ? showSignedIn(s.csrf) : showSignIn()))
  .catch((e) => showSignIn(`Cannot reach the gateway: ${e.message}`));

export { signedOut };
