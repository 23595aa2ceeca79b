import { h, time, duration, bytes, statusBadge, outLink, tableWrap, announce, errorBox } from '../dom.js';
import { api, session, qdPath, ApiError } from '../api.js';
import { lossList } from '../loss.js';

const ACTION_WORDS = {
  ingested: 'Source copied in',
  artefact_written: 'Artefact written',
  indexed: 'Indexed',
  deleted: 'Blob deleted',
  deletion_verified: 'Deletion verified',
  failed: 'Failed',
  operator_request: 'Operator request',
};

function field(label, value) {
  return h('div', {}, h('dt', {}, label), h('dd', {}, value ?? h('span', { class: 'muted' }, '—')));
}

function rowFacts(doc, data) {
  const counts = data.index_counts && typeof data.index_counts === 'object' ? data.index_counts : null;
  return h('dl', { class: 'facts', id: 'document-row' },
    field('Name', doc.document_name),
    field('Status', statusBadge(doc.status)),
    field('Stage', doc.stage),
    field('Error', doc.error ? h('span', { class: 'reason' }, doc.error) : null),
    field('Last run', time(doc.processed_at)),
    field('Duration', duration(doc.duration_s)),
    field('File', doc.blob_filename),
    field('Source', doc.url_document_name ? outLink(doc.url_document_name) : null),
    field('Sections in the index', String(data.index_sections ?? '—')),
    counts ? field('Last indexing', Object.entries(counts).map(([k, v]) => `${k} ${v}`).join(', ')) : null);
}

// Text with "**bold**" runs shown as <strong>.
function strong(text) {
  const parts = String(text).split('**');
  return parts.map((part, i) => (i % 2 === 1 && i < parts.length - 1 ? h('strong', {}, part) : part));
}

// Markdown shown as plain structure: headings, bullets and paragraphs, the
// text itself never interpreted as markup.
function markdownBlocks(text) {
  const out = [];
  let list = null;
  let para = [];
  const flush = () => {
    if (para.length) out.push(h('p', {}, strong(para.join(' '))));
    para = [];
  };
  for (const line of String(text).split('\n')) {
    const heading = /^(#{1,6})\s+(.*)$/.exec(line);
    const bullet = /^\s*[-*]\s+(.*)$/.exec(line);
    if (heading) {
      flush(); list = null;
      out.push(h(heading[1].length <= 1 ? 'h3' : 'h4', {}, heading[2]));
    } else if (bullet) {
      flush();
      if (!list) { list = h('ul', {}); out.push(list); }
      list.append(h('li', {}, strong(bullet[1])));
    } else if (line.trim() === '') {
      flush(); list = null;
    } else {
      list = null;
      para.push(line.trim());
    }
  }
  flush();
  return out;
}

// The sections as an outline: "3.2" sits under "3"; each opens to its own
// text (up to its first sub-section, which has an entry of its own).
function outline(sections) {
  if (!sections.length) return h('p', { class: 'muted', id: 'sections' }, 'No sections in the index.');
  const root = h('ul', { class: 'outline', id: 'sections' });
  const byNumber = new Map();
  for (const sec of sections) {
    const number = typeof sec.section_number === 'string' ? sec.section_number : '';
    const label = [number ? `§${number}` : '', sec.section_heading ?? ''].filter(Boolean).join(' ');
    const ownText = ownPart(String(sec.text ?? ''));
    const children = h('ul', { class: 'outline' });
    const item = h('li', { dataset: { number, key: sec.section_key ?? '' } },
      h('details', {},
        h('summary', {}, label || sec.section_key || '(untitled)'),
        h('div', { class: 'section-text' }, ownText)),
      children);
    let parent = null;
    if (number.includes('.')) parent = byNumber.get(number.slice(0, number.lastIndexOf('.')));
    (parent ? parent.children : root).append(item);
    if (number) byNumber.set(number, { children });
  }
  for (const list of root.querySelectorAll('ul.outline')) {
    if (!list.children.length) list.remove();
  }
  return root;
}

function ownPart(text) {
  const lines = text.split('\n');
  const first = lines.findIndex((l) => /^#{1,8}\s/.test(l));
  if (first < 0) return text;
  const next = lines.findIndex((l, i) => i > first && /^#{1,8}\s/.test(l));
  return lines.slice(first, next < 0 ? lines.length : next).join('\n').trim();
}

function eventItem(e) {
  const path = e.blob_path || '';
  const detail = e.detail && typeof e.detail === 'object' ? e.detail : null;
  const parts = [];
  if (path) parts.push(h('span', { class: 'path' }, path));
  if (typeof e.size_bytes === 'number') parts.push(h('span', {}, bytes(e.size_bytes)));
  if (e.sha256) parts.push(h('span', { class: 'hash', title: e.sha256 }, `sha256 ${String(e.sha256).slice(0, 12)}…`));
  if (typeof e.index_rows === 'number') parts.push(h('span', {}, `${e.index_rows} index row(s)`));
  if (e.action === 'failed' && detail && typeof detail.error === 'string') {
    parts.push(h('span', { class: 'reason' }, detail.stage ? `${detail.stage}: ${detail.error}` : detail.error));
  }
  if (e.action === 'operator_request' && detail) {
    parts.push(h('span', {}, [detail.method, detail.route, detail.status].filter((x) => x !== undefined).join(' ')));
  }
  return h('li', { class: `event action-${String(e.action).replace(/[^a-z_]/g, '')}`, dataset: { path } },
    h('div', { class: 'when' }, time(e.recorded_at)),
    h('div', { class: 'what' },
      h('strong', {}, ACTION_WORDS[e.action] ?? String(e.action ?? '')),
      h('span', { class: 'mark-slot' }),
      parts.length ? h('div', { class: 'event-facts' }, parts) : null,
      h('div', { class: 'muted who-wrote' },
        `${e.host_user ?? ''}@${e.machine ?? ''}${e.pipeline_version ? `, kesto ${e.pipeline_version}` : ''}`)));
}

function timeline(events) {
  if (!events.length) return h('p', { class: 'muted', id: 'trail' }, 'No events.');
  return h('ol', { class: 'timeline', id: 'trail' }, events.map(eventItem));
}

// Marks the timeline's events whose blob the check found missing or changed.
function markTrail(trail, report) {
  const marks = new Map();
  for (const p of report.missing || []) marks.set(p, 'missing');
  for (const c of report.changed || []) if (c && c.blob_path) marks.set(c.blob_path, 'changed');
  for (const li of trail.querySelectorAll('li.event')) {
    const slot = li.querySelector('.mark-slot');
    slot.replaceChildren();
    li.classList.remove('mismatch');
    const mark = marks.get(li.dataset.path);
    if (mark && /artefact_written|ingested/.test(li.className)) {
      li.classList.add('mismatch');
      slot.append(h('span', { class: 'badge status-failed' }, mark));
    }
  }
}

function verifyReport(report) {
  const ok = report.ok === true;
  const items = [];
  for (const p of report.missing || []) items.push(h('li', {}, h('strong', {}, 'missing: '), p));
  for (const c of report.changed || []) {
    const r = c.recorded || {};
    const f = c.found || {};
    items.push(h('li', {}, h('strong', {}, 'changed: '), c.blob_path ?? '',
      h('div', { class: 'muted' }, `recorded ${bytes(r.size_bytes)} sha256 ${String(r.sha256 ?? '').slice(0, 12)}…, `
        + `found ${bytes(f.size_bytes)} sha256 ${String(f.sha256 ?? '').slice(0, 12)}…`)));
  }
  for (const p of report.not_in_trail || []) items.push(h('li', {}, h('strong', {}, 'not in the trail: '), p));
  for (const n of report.notes || []) items.push(h('li', { class: 'muted' }, h('strong', {}, 'note: '), n));
  return h('div', { class: ok ? 'ok-box' : 'problem-box', id: 'verify-result', role: 'status' },
    h('p', {}, h('strong', {}, ok ? 'Verified: ' : 'Not verified: '),
      `${report.checked ?? 0} artefact(s) in the trail, ${report.matching ?? 0} matching.`),
    items.length ? h('ul', {}, items) : null);
}

function receiptView(receipt) {
  const removed = Array.isArray(receipt.removed) ? receipt.removed : [];
  const v = receipt.verification && typeof receipt.verification === 'object' ? receipt.verification : {};
  return h('section', { 'aria-labelledby': 'receipt-h', id: 'receipt' },
    h('h2', { id: 'receipt-h' }, 'Deletion receipt'),
    h('dl', { class: 'facts' },
      field('Deleted', time(receipt.deleted_at)),
      field('Complete', receipt.complete ? 'yes' : 'no'),
      field('Verified', v.verified ? 'yes' : 'no'),
      field('Index sections removed', String(receipt.index_sections_removed ?? '—')),
      field('Metadata row removed', receipt.metadata_row_removed ? 'yes' : 'no')),
    removed.length
      ? tableWrap('Removed blobs', ['Blob', 'Size', 'SHA-256'], removed.map((b) => h('tr', {},
        h('td', { class: 'path' }, b.blob_path ?? ''), h('td', { class: 'num' }, bytes(b.size_bytes)),
        h('td', { class: 'hash' }, b.sha256 ?? '—'))))
      : null,
    ['warnings', 'errors', 'left_behind'].map((k) => (Array.isArray(receipt[k]) && receipt[k].length
      ? h('div', {}, h('h3', {}, k.replace('_', ' ')), h('ul', {}, receipt[k].map((x) => h('li', {}, typeof x === 'string' ? x : JSON.stringify(x)))))
      : null)));
}

function operatorActions(qd, name, result) {
  const dialog = h('dialog', { id: 'delete-dialog', 'aria-labelledby': 'delete-title' });
  const confirmInput = h('input', { id: 'delete-confirm', type: 'text', autocomplete: 'off', spellcheck: 'false' });
  const confirmButton = h('button', { type: 'submit', class: 'danger', id: 'delete-go', disabled: true }, `Delete ${qd}`);
  confirmInput.addEventListener('input', () => {
    confirmButton.disabled = confirmInput.value.trim().toUpperCase() !== qd;
  });
  const form = h('form', { method: 'dialog' },
    h('h2', { id: 'delete-title' }, `Delete ${qd}?`),
    h('p', {}, `This removes every artefact of ${qd} (${name ?? ''}): its blobs, its sections in the index and its metadata row. Its audit trail and a deletion receipt remain. It cannot be undone.`),
    h('label', { for: 'delete-confirm' }, `Type ${qd} to confirm`),
    confirmInput,
    h('div', { class: 'actions' },
      h('button', { type: 'button', value: 'cancel', on: { click: () => dialog.close('cancel') } }, 'Cancel'),
      confirmButton));
  dialog.append(form);
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    if (confirmInput.value.trim().toUpperCase() !== qd) return;
    dialog.close('delete');
    result.replaceChildren(h('p', { class: 'muted' }, `Deleting ${qd}…`));
    try {
      const answer = await api(`/api/documents/${qdPath(qd)}`, { method: 'DELETE' });
      const problems = Array.isArray(answer.problems) ? answer.problems : [];
      result.replaceChildren(h('p', { class: answer.complete ? 'ok-box' : 'problem-box', role: 'status' },
        answer.complete ? `${qd} was deleted and the deletion verified.` : `${qd} was not deleted completely.`),
      problems.length ? h('ul', {}, problems.map((p) => h('li', {}, p))) : null,
      answer.receipt ? receiptView(answer.receipt) : null);
      announce(answer.complete ? `${qd} deleted.` : `${qd} not deleted completely.`);
    } catch (err) {
      result.replaceChildren(errorBox(err));
    }
  });
  const reprocess = h('button', {
    type: 'button', id: 'reprocess',
    on: {
      click: async () => {
        result.replaceChildren(h('p', { class: 'muted' }, `Queueing ${qd}…`));
        try {
          const answer = await api(`/api/documents/${qdPath(qd)}/reprocess`, { method: 'POST' });
          result.replaceChildren(h('p', { class: answer.verdict === 'FAILED' ? 'problem-box' : 'ok-box', role: 'status' },
            `${answer.verdict ?? ''}: ${answer.reason ?? ''}`));
        } catch (err) {
          result.replaceChildren(errorBox(err));
        }
      },
    },
  }, 'Reprocess');
  const del = h('button', {
    type: 'button', class: 'danger', id: 'delete',
    on: { click: () => { confirmInput.value = ''; confirmButton.disabled = true; dialog.showModal(); confirmInput.focus(); } },
  }, 'Delete…');
  return h('section', { 'aria-labelledby': 'ops-h', class: 'operator', id: 'operator-actions' },
    h('h2', { id: 'ops-h' }, 'Operator actions'),
    h('div', { class: 'actions' }, reprocess, del), dialog);
}

async function trailSection(qd, stillCurrent) {
  const section = h('section', { 'aria-labelledby': 'trail-h' },
    h('h2', { id: 'trail-h' }, 'Audit trail'));
  const verifyBox = h('div', {});
  let trail = h('p', { class: 'muted' }, 'Loading…');
  const button = h('button', { type: 'button', id: 'verify' }, 'Verify against the stores');
  button.addEventListener('click', async () => {
    button.disabled = true;
    verifyBox.replaceChildren(h('p', { class: 'muted' }, 'Checking every artefact…'));
    try {
      const report = await api(`/api/documents/${qdPath(qd)}/audit?verify=1`);
      verifyBox.replaceChildren(verifyReport(report));
      markTrail(trail, report);
      announce(report.ok ? 'Verified: every artefact matches.' : 'Not verified: see the problems listed.');
    } catch (err) {
      verifyBox.replaceChildren(errorBox(err));
    } finally {
      button.disabled = false;
    }
  });
  section.append(h('p', {}, button), verifyBox, trail);
  let events = [];
  try {
    const data = await api(`/api/documents/${qdPath(qd)}/audit`);
    events = Array.isArray(data.events) ? data.events : [];
    if (!stillCurrent()) return { section, events };
    const fresh = timeline(events);
    trail.replaceWith(fresh);
    trail = fresh;
  } catch (err) {
    const box = errorBox(err);
    trail.replaceWith(box);
    trail = box;
  }
  return { section, events };
}

export async function renderDocument(main, given, stillCurrent) {
  const qd = String(given).trim().toUpperCase();
  document.title = `${qd} · Kesto documents`;
  const heading = h('h1', {}, qd);
  main.append(h('p', { class: 'crumbs' }, h('a', { href: '#/documents' }, 'Documents'), ' / ', qd), heading,
    h('p', { class: 'muted' }, 'Loading…'));
  let data = null;
  try {
    data = await api(`/api/documents/${qdPath(qd)}`);
  } catch (err) {
    if (!(err instanceof ApiError && err.status === 404)) throw err;
  }
  if (!stillCurrent()) return;
  const { section: trailPart, events } = await trailSection(qd, stillCurrent);
  if (!stillCurrent()) return;
  main.lastChild.remove();

  if (!data) {
    const receiptEvent = [...events].reverse().find((e) => (e.action === 'deletion_verified' || e.action === 'failed')
      && e.detail && typeof e.detail === 'object' && e.detail.qd_number);
    heading.textContent = `${qd} (no metadata row)`;
    main.append(receiptEvent
      ? h('p', { class: 'notice', id: 'deleted-notice' }, `${qd} was deleted.`)
      : h('p', { class: 'notice', id: 'unknown-notice' }, `No document ${qd} is known.`));
    if (receiptEvent) main.append(receiptView(receiptEvent.detail));
    if (events.length) main.append(trailPart);
    return;
  }

  const doc = data.document || {};
  heading.replaceChildren(`${doc.document_number ?? qd} `, h('span', { class: 'doc-name' }, doc.document_name ?? ''));
  const result = h('div', { id: 'operator-result', 'aria-live': 'polite' });
  main.append(rowFacts(doc, data));
  if (session.role === 'operator') main.append(operatorActions(doc.document_number ?? qd, doc.document_name, result), result);

  const sectionsPart = h('section', { 'aria-labelledby': 'sections-h' },
    h('h2', { id: 'sections-h' }, 'Sections'), h('p', { class: 'muted' }, 'Loading…'));
  main.append(
    h('section', { 'aria-labelledby': 'loss-h' }, h('h2', { id: 'loss-h' }, 'What the conversion left out'),
      lossList(data.loss_report)),
    sectionsPart,
    h('section', { 'aria-labelledby': 'summary-h' }, h('h2', { id: 'summary-h' }, 'Summary'),
      data.summary ? h('div', { class: 'summary', id: 'summary' }, markdownBlocks(data.summary))
        : h('p', { class: 'muted', id: 'summary' }, 'No summary.')));
  if (Array.isArray(data.artefacts) && data.artefacts.length) {
    main.append(h('section', { 'aria-labelledby': 'artefacts-h' }, h('h2', { id: 'artefacts-h' }, 'Artefacts'),
      tableWrap('Artefacts', ['Blob', 'Size', 'SHA-256', 'Written'], data.artefacts.map((a) => h('tr', {},
        h('td', { class: 'path' }, a.blob_path ?? ''), h('td', { class: 'num' }, bytes(a.size_bytes)),
        h('td', { class: 'hash', title: a.sha256 ?? '' }, a.sha256 ? `${String(a.sha256).slice(0, 16)}…` : '—'),
        h('td', {}, time(a.recorded_at)))))));
  }
  main.append(trailPart);
  try {
    const sec = await api(`/api/documents/${qdPath(qd)}/sections`);
    if (!stillCurrent()) return;
    const list = Array.isArray(sec.sections) ? sec.sections : [];
    const expand = h('button', {
      type: 'button', class: 'link-button',
      on: { click: () => { for (const d of sectionsPart.querySelectorAll('details')) d.open = true; } },
    }, 'Open all');
    const collapse = h('button', {
      type: 'button', class: 'link-button',
      on: { click: () => { for (const d of sectionsPart.querySelectorAll('details')) d.open = false; } },
    }, 'Close all');
    sectionsPart.lastChild.replaceWith(h('div', {},
      list.length ? h('p', { class: 'actions' }, expand, collapse) : null, outline(list)));
  } catch (err) {
    sectionsPart.lastChild.replaceWith(errorBox(err));
  }
}
