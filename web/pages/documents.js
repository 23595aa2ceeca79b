import { h, time, duration, statusBadge, announce } from '../dom.js';
import { api, route } from '../api.js';
import { lossSummary } from '../loss.js';

const STATUSES = ['PROCESSED', 'FAILED', 'ERROR', 'QUEUED', 'RUNNING', 'DELETION_PENDING'];
const LIMITS = ['25', '50', '100', '200'];

// The pages seen in this tab for one filter: the `after` of each, so that
// "Previous" goes back without the server counting rows.
const trail = { filter: '', afters: [] };

const COLUMNS = [
  { key: 'document_number', label: 'QD-number' },
  { key: 'document_name', label: 'Name' },
  { key: 'status', label: 'Status' },
  { key: 'processed_at', label: 'Last run' },
  { key: 'duration_s', label: 'Duration' },
  { key: 'loss', label: 'Left out' },
];

function lossCount(row) {
  const r = row.loss_report;
  if (!r || typeof r !== 'object') return -1;
  return Object.values(r).reduce((a, n) => a + (typeof n === 'number' ? n : 0), 0);
}

function compare(key) {
  return (a, b) => {
    const x = key === 'loss' ? lossCount(a) : a[key];
    const y = key === 'loss' ? lossCount(b) : b[key];
    if (x === y) return 0;
    if (x === null || x === undefined) return 1;
    if (y === null || y === undefined) return -1;
    return typeof x === 'number' && typeof y === 'number' ? x - y : String(x).localeCompare(String(y));
  };
}

function hashFor(params) {
  return route('#/documents', params);
}

export async function renderDocuments(main, params, stillCurrent) {
  document.title = 'Documents · Kesto documents';
  const status = STATUSES.includes(params.get('status')) ? params.get('status') : '';
  const q = (params.get('q') || '').slice(0, 200);
  const limit = LIMITS.includes(params.get('limit')) ? params.get('limit') : '50';
  const after = params.get('after') || '';
  const filter = JSON.stringify([status, q, limit]);
  if (trail.filter !== filter) {
    trail.filter = filter;
    trail.afters = [];
  }
  // Where this page sits in the pages seen so far.
  let index = trail.afters.indexOf(after);
  if (index < 0) {
    trail.afters = after ? ['', after] : [''];
    index = trail.afters.length - 1;
  }

  const statusSelect = h('select', { id: 'filter-status', name: 'status' },
    h('option', { value: '' }, 'Any status'),
    STATUSES.map((st) => h('option', { value: st, selected: st === status }, st)));
  const text = h('input', { id: 'filter-text', name: 'q', type: 'search', value: q, maxlength: '200' });
  const limitSelect = h('select', { id: 'filter-limit', name: 'limit' },
    LIMITS.map((n) => h('option', { value: n, selected: n === limit }, n)));
  const form = h('form', { class: 'filters', role: 'search', 'aria-label': 'Filter documents' },
    h('div', { class: 'field' }, h('label', { for: 'filter-status' }, 'Status'), statusSelect),
    h('div', { class: 'field grow' }, h('label', { for: 'filter-text' }, 'Number, name or file name contains'), text),
    h('div', { class: 'field' }, h('label', { for: 'filter-limit' }, 'Rows per page'), limitSelect),
    h('div', { class: 'field' }, h('button', { type: 'submit' }, 'Show')));
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    location.hash = hashFor({ status: statusSelect.value, q: text.value.trim(), limit: limitSelect.value });
  });
  const body = h('div', {}, h('p', { class: 'muted' }, 'Loading…'));
  main.append(h('h1', {}, 'Documents'), form, body);

  const data = await api(route('/api/documents', { status, q, limit, after }));
  if (!stillCurrent()) return;
  const rows = Array.isArray(data.documents) ? data.documents : [];
  const next = typeof data.next_after === 'string' && data.next_after ? data.next_after : null;
  let sortKey = null;
  let ascending = true;

  const tbody = h('tbody', {});
  const headers = COLUMNS.map((c) => {
    const button = h('button', { type: 'button', class: 'sort', dataset: { key: c.key } }, c.label);
    const th = h('th', { scope: 'col', 'aria-sort': 'none' }, button);
    button.addEventListener('click', () => {
      ascending = sortKey === c.key ? !ascending : true;
      sortKey = c.key;
      for (const other of headers) other.setAttribute('aria-sort', 'none');
      th.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
      fill();
      announce(`Rows of this page sorted by ${c.label}, ${ascending ? 'ascending' : 'descending'}.`);
    });
    return th;
  });

  function fill() {
    const shown = [...rows];
    if (sortKey) {
      shown.sort(compare(sortKey));
      if (!ascending) shown.reverse();
    }
    tbody.replaceChildren(...shown.map((r) => h('tr', { dataset: { qd: r.document_number } },
      h('td', {}, h('a', { href: `#/documents/${encodeURIComponent(r.document_number)}` }, r.document_number)),
      h('td', {}, r.document_name ?? ''),
      h('td', {}, statusBadge(r.status)),
      h('td', {}, time(r.processed_at)),
      h('td', { class: 'num' }, duration(r.duration_s)),
      h('td', { class: 'loss-cell' }, lossSummary(r.loss_report)))));
  }
  fill();

  const pageNo = index + 1;
  const nav = h('nav', { class: 'pager', 'aria-label': 'Pages of documents' },
    h('button', {
      type: 'button', id: 'page-first', disabled: index === 0,
      on: { click: () => { location.hash = hashFor({ status, q, limit }); } },
    }, 'First page'),
    h('button', {
      type: 'button', id: 'page-prev', disabled: index === 0,
      on: { click: () => { location.hash = hashFor({ status, q, limit, after: trail.afters[index - 1] }); } },
    }, 'Previous'),
    h('span', { class: 'page-no', id: 'page-no' }, `Page ${pageNo}`),
    h('button', {
      type: 'button', id: 'page-next', disabled: !next,
      on: {
        click: () => {
          trail.afters = trail.afters.slice(0, index + 1).concat([next]);
          location.hash = hashFor({ status, q, limit, after: next });
        },
      },
    }, 'Next'));

  body.replaceChildren(
    rows.length
      ? h('div', { class: 'table-wrap', tabindex: '0', role: 'region', 'aria-label': 'Documents' },
        h('table', { id: 'documents-table' },
          h('caption', {}, `${rows.length} document${rows.length === 1 ? '' : 's'} on page ${pageNo}, by QD-number`,
            h('span', { class: 'muted' }, ' (the column buttons sort this page)')),
          h('thead', {}, h('tr', {}, headers)), tbody))
      : h('p', { id: 'no-documents' }, 'No document matches.'),
    nav);
}
