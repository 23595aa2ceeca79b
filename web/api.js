// Requests to kesto serve. The API key lives in this tab's sessionStorage
// only: never in a URL (the server refuses keys in query strings), never in
// localStorage (which outlives the tab and is shared by every tab).

const KEY = 'kesto.apiKey';
const TIMEOUT_MS = 60000;

export const session = {
  get key() { return sessionStorage.getItem(KEY); },
  set key(value) { sessionStorage.setItem(KEY, value); },
  forget() { sessionStorage.removeItem(KEY); },
  role: null,
  name: null,
};

export class ApiError extends Error {
  constructor(status, code, message) {
    super(message);
    this.status = status;
    this.code = code;
  }
}

// Calls the API; resolves to the parsed answer, rejects with an ApiError.
// A 401 forgets the key and asks for it again ("kesto:signin").
export async function api(path, { method = 'GET' } = {}) {
  const key = session.key;
  if (!key) {
    window.dispatchEvent(new CustomEvent('kesto:signin'));
    throw new ApiError(401, 'unauthorized', 'Sign in first.');
  }
  let res;
  try {
    res = await fetch(path, {
      method,
      headers: { Authorization: `Bearer ${key}`, Accept: 'application/json' },
      cache: 'no-store',
      credentials: 'omit',
      redirect: 'error',
      referrerPolicy: 'no-referrer',
      signal: AbortSignal.timeout(TIMEOUT_MS),
    });
  } catch (e) {
    throw new ApiError(0, 'network', e?.name === 'TimeoutError'
      ? 'The server did not answer in time.' : 'The server cannot be reached.');
  }
  let body = null;
  try {
    body = await res.json();
  } catch {
    body = null;
  }
  if (res.status === 401) {
    session.forget();
    window.dispatchEvent(new CustomEvent('kesto:signin', { detail: { refused: true } }));
    throw new ApiError(401, 'unauthorized', 'The key was refused.');
  }
  if (!res.ok) {
    const err = body && typeof body === 'object' && body.error ? body.error : {};
    const message = typeof err.message === 'string' && err.message ? err.message : `${res.status} ${res.statusText}`;
    throw new ApiError(res.status, typeof err.code === 'string' ? err.code : '', message);
  }
  return body;
}

// The path of a route with its query, empty values left out.
export function route(path, params = {}) {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params)) {
    if (v !== undefined && v !== null && v !== '') q.set(k, String(v));
  }
  const text = q.toString();
  return text ? `${path}?${text}` : path;
}

// A QD-number as the API takes it in a path.
export function qdPath(qd) {
  return encodeURIComponent(qd);
}
