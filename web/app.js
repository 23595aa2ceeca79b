// The page's shell: sign-in, the navigation and the four pages, chosen by
// the part of the address after "#" (#/overview, #/documents,
// #/documents/QD-000958, #/search?q=...).
import { api, session, ApiError } from './api.js';
import { h, clear, errorBox } from './dom.js';
import { renderSignin } from './pages/signin.js';
import { renderOverview } from './pages/overview.js';
import { renderDocuments } from './pages/documents.js';
import { renderDocument } from './pages/document.js';
import { renderSearch } from './pages/search.js';

const main = document.getElementById('main');
const nav = document.getElementById('nav');
const who = document.getElementById('who');
const whoText = document.getElementById('who-text');
let generation = 0;

function parseHash() {
  const raw = location.hash.startsWith('#/') ? location.hash.slice(2) : 'overview';
  const [path, query = ''] = raw.split('?');
  const parts = path.split('/').filter(Boolean).map((p) => {
    try { return decodeURIComponent(p); } catch { return p; }
  });
  return { parts, params: new URLSearchParams(query) };
}

function markNav(page) {
  for (const link of nav.querySelectorAll('a')) {
    if (link.dataset.page === page) link.setAttribute('aria-current', 'page');
    else link.removeAttribute('aria-current');
  }
}

function showSignedIn() {
  nav.hidden = false;
  who.hidden = false;
  whoText.textContent = session.role ? `${session.name ?? 'signed in'} (${session.role})` : 'signed in';
}

function showSignin(message) {
  generation += 1;
  nav.hidden = true;
  who.hidden = true;
  document.title = 'Sign in · Kesto documents';
  renderSignin(clear(main), message, async () => {
    await learnRole();
    if (!location.hash.startsWith('#/')) history.replaceState(null, '', '#/overview');
    await show();
  });
}

// Which role the key has: the operator's buttons are shown only to
// operators (the server refuses readers anyway).
async function learnRole() {
  const me = await api('/api/whoami');
  session.role = me && typeof me.role === 'string' ? me.role : null;
  session.name = me && typeof me.name === 'string' ? me.name : null;
}

// Whether the next page drawn follows a step of the reader (a link, a
// form, the sign-in): then the reading position moves to its heading. A
// page opened afresh starts at the top, as any page does.
let moved = false;

async function show() {
  const follows = moved;
  moved = true;
  if (!session.key) {
    showSignin();
    return;
  }
  const mine = ++generation;
  delete main.dataset.shown;
  if (!session.role) {
    try {
      await learnRole();
    } catch (e) {
      if (e instanceof ApiError && e.status === 401) return;
      clear(main).append(errorBox(e));
      return;
    }
  }
  showSignedIn();
  const { parts, params } = parseHash();
  const page = parts[0] || 'overview';
  markNav(page === 'documents' && parts[1] ? 'documents' : page);
  clear(main);
  const stillCurrent = () => mine === generation;
  try {
    if (page === 'documents' && parts[1]) {
      await renderDocument(main, parts[1], stillCurrent);
    } else if (page === 'documents') {
      await renderDocuments(main, params, stillCurrent);
    } else if (page === 'search') {
      await renderSearch(main, params, stillCurrent);
    } else {
      await renderOverview(main, stillCurrent);
    }
  } catch (e) {
    if (e instanceof ApiError && e.status === 401) return;
    if (stillCurrent()) main.append(errorBox(e));
  }
  if (!stillCurrent()) return;
  // Move the reading position to the new page's heading.
  const heading = main.querySelector('h1');
  if (follows && heading && document.activeElement?.closest('form') === null) {
    heading.setAttribute('tabindex', '-1');
    heading.focus({ preventScroll: false });
  }
  // Which address the page shows now, complete (tests wait on it).
  main.dataset.shown = location.hash;
}

window.addEventListener('hashchange', show);
window.addEventListener('kesto:signin', (e) => {
  session.role = null;
  showSignin(e.detail?.refused ? 'That key was not accepted, or is no longer valid. Enter a valid API key.' : undefined);
});
document.getElementById('signout').addEventListener('click', () => {
  session.forget();
  session.role = null;
  showSignin('Signed out. The key is forgotten in this tab.');
});
document.getElementById('skip').addEventListener('click', (e) => {
  e.preventDefault();
  main.focus();
});

show();

