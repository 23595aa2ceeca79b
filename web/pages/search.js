import { h, outLink, marked } from '../dom.js';
import { api, route } from '../api.js';

const MODES = [['', 'Default'], ['lexical', 'Words (lexical)'], ['hybrid', 'Words and meaning (hybrid)'],
  ['vector', 'Meaning (vector)']];
const KS = ['10', '20', '50'];

export async function renderSearch(main, params, stillCurrent) {
  document.title = 'Search · Kesto documents';
  const q = (params.get('q') || '').slice(0, 1000);
  const mode = MODES.some(([m]) => m === params.get('mode')) ? params.get('mode') : '';
  const k = KS.includes(params.get('k')) ? params.get('k') : '10';
  const qd = (params.get('qd') || '').slice(0, 40);

  const input = h('input', { id: 'search-q', name: 'q', type: 'search', value: q, maxlength: '1000', required: true });
  const modeSelect = h('select', { id: 'search-mode', name: 'mode' },
    MODES.map(([m, label]) => h('option', { value: m, selected: m === mode }, label)));
  const kSelect = h('select', { id: 'search-k', name: 'k' }, KS.map((n) => h('option', { value: n, selected: n === k }, n)));
  const qdInput = h('input', { id: 'search-qd', name: 'qd', type: 'text', value: qd, placeholder: 'QD-000958', maxlength: '40' });
  const form = h('form', { class: 'filters', role: 'search', 'aria-label': 'Search the index' },
    h('div', { class: 'field grow' }, h('label', { for: 'search-q' }, 'Question or words'), input),
    h('div', { class: 'field' }, h('label', { for: 'search-qd' }, 'Only document (optional)'), qdInput),
    h('div', { class: 'field' }, h('label', { for: 'search-mode' }, 'Ranking'), modeSelect),
    h('div', { class: 'field' }, h('label', { for: 'search-k' }, 'Results'), kSelect),
    h('div', { class: 'field' }, h('button', { type: 'submit' }, 'Search')));
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    location.hash = route('#/search', { q: input.value.trim(), qd: qdInput.value.trim(), mode: modeSelect.value, k: kSelect.value });
  });
  main.append(h('h1', {}, 'Search'), form);
  if (!q.trim()) {
    input.focus();
    return;
  }
  const results = h('div', { id: 'search-results' }, h('p', { class: 'muted' }, 'Searching…'));
  main.append(results);
  const data = await api(route('/api/search', { q, k, mode, qd }));
  if (!stillCurrent()) return;
  const hits = Array.isArray(data.hits) ? data.hits : [];
  if (!hits.length) {
    results.replaceChildren(h('p', {}, 'No section matches.'));
    return;
  }
  results.replaceChildren(
    h('p', { class: 'muted' }, `${hits.length} section${hits.length === 1 ? '' : 's'}, best first (${data.mode ?? 'default'} ranking).`),
    h('ol', { class: 'hits' }, hits.map((hit) => h('li', { class: 'hit' },
      h('h2', { class: 'citation' },
        h('a', { href: `#/documents/${encodeURIComponent(hit.qd_number ?? '')}`, class: 'hit-link' },
          hit.citation ?? `${hit.qd_number ?? ''} ${hit.section_key ?? ''}`)),
      h('p', { class: 'hit-doc' }, hit.document_name ?? '',
        hit.link ? [' · ', outLink(hit.link, 'source')] : null),
      h('p', { class: 'snippet' }, marked(hit.snippet))))));
}
