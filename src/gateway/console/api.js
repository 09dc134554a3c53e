// The gateway's JSON API under the console session: the CSRF token goes
// with every request that changes something.

let csrf = '';
const signedOutListeners = new Set();

export class ApiError extends Error {
  constructor(status, message, retryAfter) {
    super(message);
    this.status = status;
    this.retryAfter = retryAfter;
  }
}

export function setCsrf(token) { csrf = token || ''; }
export function onSignedOut(listener) { signedOutListeners.add(listener); }
export function signedOut() {
  csrf = '';
  for (const listener of signedOutListeners) listener();
}

export async function api(method, path, body) {
  const headers = { Accept: 'application/json' };
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  if (method !== 'GET' && csrf) headers['X-CSRF-Token'] = csrf;
  let response;
  try {
    response = await fetch(path, {
      method, headers, credentials: 'same-origin', cache: 'no-store',
      body: body === undefined ? undefined : JSON.stringify(body),
    });
  } catch (e) {
    throw new ApiError(0, 'cannot reach the gateway');
  }
  let data = null;
  try { data = await response.json(); } catch (e) { data = null; }
  if (!response.ok) {
    if (response.status === 401 && !path.startsWith('/console/session')) signedOut();
    const message = (data && data.error) || `the gateway answered ${response.status}`;
    throw new ApiError(response.status, message, response.headers.get('Retry-After'));
  }
  return data;
}
