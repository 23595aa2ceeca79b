// The loss report: what a conversion left out, in words.
import { h } from './dom.js';

export const LOSS_LABELS = {
  drawings: ['picture, chart, shape or embedded object', 'pictures, charts, shapes or embedded objects'],
  text_boxes: ['text box (with its text)', 'text boxes (with their text)'],
  equations: ['equation', 'equations'],
  symbols: ['symbol character', 'symbol characters'],
  footnotes: ['footnote (its text is not read)', 'footnotes (their text is not read)'],
  endnotes: ['endnote (its text is not read)', 'endnotes (their text is not read)'],
  comments: ['comment', 'comments'],
  headers: ['page header', 'page headers'],
  footers: ['page footer', 'page footers'],
  tracked_deletions: ['tracked deletion (deleted text left out)', 'tracked deletions (deleted text left out)'],
  tracked_insertions: ['tracked insertion (text kept, mark dropped)', 'tracked insertions (text kept, marks dropped)'],
  fields: ['field (result kept, code dropped)', 'fields (results kept, codes dropped)'],
  content_controls: ['content control skipped with its content', 'content controls skipped with their content'],
  skipped_blocks: ['other block skipped with its content', 'other blocks skipped with their content'],
  nested_tables: ['table inside a table cell', 'tables inside table cells'],
  deep_headings: ['Heading 3–9 written as plain text', 'Headings 3–9 written as plain text'],
  demoted_headings: ['numbered Heading 1/2 written as plain text', 'numbered Headings 1/2 written as plain text'],
  merged_cells: ['merged table cell', 'merged table cells'],
  empty_paragraphs: ['empty paragraph', 'empty paragraphs'],
};

// The report's non-zero counts, [key, count], in the report's order.
export function lossEntries(report) {
  if (!report || typeof report !== 'object') return [];
  return Object.entries(report).filter(([, n]) => typeof n === 'number' && n > 0);
}

function label(key, n) {
  const words = LOSS_LABELS[key];
  return words ? words[n === 1 ? 0 : 1] : key.replace(/_/g, ' ');
}

// One short line for a table cell.
export function lossSummary(report) {
  if (report === null || report === undefined) return h('span', { class: 'muted' }, '—');
  const entries = lossEntries(report);
  if (!entries.length) return h('span', { class: 'muted' }, 'nothing left out');
  return entries.map(([k, n]) => `${k.replace(/_/g, ' ')} ${n}`).join(', ');
}

// The readable list of the document page.
export function lossList(report) {
  if (report === null || report === undefined) {
    return h('p', { class: 'muted', id: 'loss-report' }, 'No conversion recorded for this document.');
  }
  const entries = lossEntries(report);
  if (!entries.length) return h('p', { id: 'loss-report' }, 'The conversion left nothing out.');
  return h('ul', { class: 'loss', id: 'loss-report' }, entries.map(([k, n]) =>
    h('li', { dataset: { key: k } }, h('span', { class: 'count' }, String(n)), ' ', label(k, n))));
}
