import { h } from '../dom.js';
import { session, ApiError } from '../api.js';

// The sign-in form: the key is checked against the server before it is kept.
export function renderSignin(main, message, onSignedIn) {
  const input = h('input', {
    id: 'api-key', name: 'api-key', type: 'password', autocomplete: 'off', spellcheck: 'false',
    required: true, 'aria-describedby': 'api-key-help',
  });
  const status = h('p', { id: 'signin-message', class: message ? 'error' : 'muted', role: 'alert' }, message ?? '');
  const form = h('form', { class: 'signin', novalidate: true },
    h('h1', {}, 'Sign in'),
    h('p', { id: 'api-key-help' },
      'Enter your API key. It is kept in this browser tab only and forgotten when the tab closes or you sign out.'),
    h('label', { for: 'api-key' }, 'API key'),
    input,
    h('div', { class: 'actions' }, h('button', { type: 'submit' }, 'Sign in')),
    status);
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    const key = input.value.trim();
    if (!key) {
      status.className = 'error';
      status.textContent = 'Enter a key.';
      input.focus();
      return;
    }
    session.key = key;
    input.value = '';
    status.className = 'muted';
    status.textContent = 'Checking the key…';
    try {
      await onSignedIn();
    } catch (err) {
      if (err instanceof ApiError && err.status === 401) return;
      status.className = 'error';
      status.textContent = err.message;
    }
  });
  main.append(form);
  input.focus();
}
