import { h, s, time, statusBadge, tableWrap } from '../dom.js';
import { api } from '../api.js';

const MAIN_STATUSES = ['PROCESSED', 'FAILED', 'ERROR', 'QUEUED', 'RUNNING'];
const HOURS = 72;

function statusBars(byStatus) {
  const counts = { ...Object.fromEntries(MAIN_STATUSES.map((st) => [st, 0])), ...byStatus };
  const entries = Object.entries(counts).filter(([st, n]) => MAIN_STATUSES.includes(st) || n > 0);
  const max = Math.max(1, ...entries.map(([, n]) => Number(n) || 0));
  const total = entries.reduce((sum, [, n]) => sum + (Number(n) || 0), 0);
  return h('section', { 'aria-labelledby': 'by-status' },
    h('h2', { id: 'by-status' }, `Documents by status (${total})`),
    h('ul', { class: 'bars', id: 'status-bars' }, entries.map(([st, n]) => {
      const fill = h('span', { class: `fill status-${st.toLowerCase().replace(/[^a-z_]/g, '')}` });
      fill.style.width = `${(100 * (Number(n) || 0)) / max}%`;
      return h('li', { dataset: { status: st } },
        h('a', { href: `#/documents?status=${encodeURIComponent(st)}`, class: 'bar-label' }, st),
        h('span', { class: 'bar', 'aria-hidden': 'true' }, fill),
        h('span', { class: 'bar-count' }, String(n)));
    })));
}

// Documents processed per hour over the last three days, as columns; the
// hours with any are also listed as text.
function perHour(rows) {
  const now = new Date();
  now.setMinutes(0, 0, 0);
  const start = now.getTime() - (HOURS - 1) * 3600e3;
  const counts = new Array(HOURS).fill(0);
  for (const row of rows || []) {
    const t = new Date(row.hour).getTime();
    const i = Math.floor((t - start) / 3600e3);
    if (i >= 0 && i < HOURS) counts[i] += Number(row.count) || 0;
  }
  const total = counts.reduce((a, b) => a + b, 0);
  const max = Math.max(1, ...counts);
  const width = 1000;
  const height = 200;
  const pad = 24;
  const top = 18;
  const colW = (width - pad) / HOURS;
  const bars = counts.map((n, i) => {
    const hgt = ((height - pad - top) * n) / max;
    const at = new Date(start + i * 3600e3);
    return s('rect', {
      x: (pad + i * colW + 1).toFixed(1), y: (height - pad - hgt).toFixed(1),
      width: Math.max(1, colW - 2).toFixed(1), height: hgt.toFixed(1), class: 'col',
    }, s('title', {}, `${at.toLocaleString()}: ${n}`));
  });
  const ticks = [];
  for (let i = 0; i < HOURS; i++) {
    const at = new Date(start + i * 3600e3);
    if (at.getHours() === 0) {
      const x = pad + i * colW;
      ticks.push(s('line', { x1: x, x2: x, y1: top, y2: height - pad, class: 'tick' }));
      ticks.push(s('text', { x: x + 3, y: height - 8, class: 'tick-label' },
        at.toLocaleDateString(undefined, { month: 'short', day: 'numeric' })));
    }
  }
  const chart = s('svg', {
    viewBox: `0 0 ${width} ${height}`, role: 'img', class: 'hour-chart', id: 'per-hour-chart',
    'aria-label': `${total} documents processed in the last ${HOURS} hours; the busiest hour had ${Math.max(...counts)}.`,
  },
  s('line', { x1: pad, x2: width, y1: height - pad, y2: height - pad, class: 'axis' }),
  s('line', { x1: pad, x2: width, y1: top, y2: top, class: 'tick' }),
  s('text', { x: 0, y: top + 4, class: 'tick-label' }, String(max)),
  s('text', { x: 0, y: height - pad + 4, class: 'tick-label' }, '0'),
  ...ticks, ...bars);
  const listed = (rows || []).filter((r) => Number(r.count) > 0);
  return h('section', { 'aria-labelledby': 'per-hour' },
    h('h2', { id: 'per-hour' }, `Processed per hour, last ${HOURS} hours (${total})`),
    chart,
    h('details', {}, h('summary', {}, 'The same as a list'),
      listed.length
        ? h('ul', { class: 'plain' }, listed.map((r) => h('li', {}, time(r.hour), `: ${r.count}`)))
        : h('p', { class: 'muted' }, 'Nothing processed in these hours.')));
}

function queueBox(queue) {
  return h('section', { 'aria-labelledby': 'queue-h' },
    h('h2', { id: 'queue-h' }, 'Work queue'),
    queue
      ? h('dl', { class: 'figures', id: 'queue-figures' },
        h('div', {}, h('dt', {}, 'Waiting'), h('dd', { dataset: { figure: 'waiting' } }, String(queue.waiting))),
        h('div', {}, h('dt', {}, 'Poison'), h('dd', { dataset: { figure: 'poison' } }, String(queue.poison))))
      : h('p', { class: 'error' }, 'Storage does not answer: the queue cannot be read now.'));
}

function failures(rows) {
  return h('section', { 'aria-labelledby': 'failures-h' },
    h('h2', { id: 'failures-h' }, 'Latest failures'),
    rows && rows.length
      ? tableWrap('Latest failures', ['QD-number', 'Name', 'Status', 'Stage', 'Reason', 'When'],
        rows.map((r) => h('tr', {},
          h('td', {}, h('a', { href: `#/documents/${encodeURIComponent(r.document_number)}` }, r.document_number)),
          h('td', {}, r.document_name ?? ''),
          h('td', {}, statusBadge(r.status)),
          h('td', {}, r.stage ?? ''),
          h('td', { class: 'reason' }, r.error ?? ''),
          h('td', {}, time(r.processed_at)))))
      : h('p', { class: 'muted' }, 'No failures.'));
}

export async function renderOverview(main, stillCurrent) {
  document.title = 'Overview · Kesto documents';
  main.append(h('h1', {}, 'Overview'), h('p', { class: 'muted' }, 'Loading…'));
  const data = await api('/api/overview');
  if (!stillCurrent()) return;
  main.replaceChildren(h('h1', {}, 'Overview'),
    h('div', { class: 'grid' }, statusBars(data.by_status || {}), queueBox(data.queue)),
    perHour(data.processed_per_hour),
    failures(data.latest_failures));
}
