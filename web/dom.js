// Building the page: every piece of data goes in as text (textContent or a
// text node), never as markup. Names, snippets, errors and links come from
// documents and their authors and are treated as hostile.

const SVG_NS = 'http://www.w3.org/2000/svg';

function put(node, props) {
  for (const [name, value] of Object.entries(props || {})) {
    if (value === null || value === undefined || value === false) continue;
    if (name === 'on') {
      for (const [event, fn] of Object.entries(value)) node.addEventListener(event, fn);
    } else if (name === 'text') {
      node.textContent = String(value);
    } else if (name === 'dataset') {
      Object.assign(node.dataset, value);
    } else if (/^on/i.test(name) || name === 'style' || name === 'srcdoc') {
      throw new Error(`refusing the attribute ${name}`);
    } else if (name === 'href' || name === 'src') {
      node.setAttribute(name, String(value));
    } else {
      node.setAttribute(name, value === true ? '' : String(value));
    }
  }
}

function append(node, children) {
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

// An HTML element with attributes (`text`, `on`, `dataset` are special) and
// children (nodes or text).
export function h(tag, props, ...children) {
  const node = document.createElement(tag);
  put(node, props);
  return append(node, children);
}

// An SVG element, as `h`.
export function s(tag, props, ...children) {
  const node = document.createElementNS(SVG_NS, tag);
  put(node, props);
  return append(node, children);
}

export function clear(node) {
  node.replaceChildren();
  return node;
}

// The link if it is an absolute http(s) URL, else null: a stored link may be
// "javascript:..." or anything else an author typed.
export function safeUrl(text) {
  if (typeof text !== 'string' || text === '') return null;
  try {
    const url = new URL(text);
    return url.protocol === 'https:' || url.protocol === 'http:' ? url.href : null;
  } catch {
    return null;
  }
}

// A link that leaves the page: opened apart, with no referrer and no handle
// back to this page.
export function outLink(url, label) {
  const safe = safeUrl(url);
  if (!safe) return h('span', { class: 'muted' }, label ?? url ?? '');
  return h('a', { href: safe, rel: 'noopener noreferrer', target: '_blank', referrerpolicy: 'no-referrer' },
    label ?? safe);
}

// Text with the words between "**" marks shown as <mark>, as search
// snippets carry them.
export function marked(text) {
  const parts = String(text ?? '').split('**');
  return parts.map((part, i) => (i % 2 === 1 && i < parts.length - 1 ? h('mark', {}, part) : part));
}

const timeFormat = new Intl.DateTimeFormat(undefined, {
  year: 'numeric', month: 'short', day: 'numeric', hour: '2-digit', minute: '2-digit',
});

// A stored time for people: local time, the exact ISO text in a tooltip.
export function time(iso) {
  if (!iso) return h('span', { class: 'muted' }, '—');
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return h('span', {}, iso);
  return h('time', { datetime: d.toISOString(), title: iso }, timeFormat.format(d));
}

export function duration(seconds) {
  if (typeof seconds !== 'number' || !Number.isFinite(seconds)) return '—';
  if (seconds < 1) return `${Math.round(seconds * 1000)} ms`;
  if (seconds < 120) return `${seconds.toFixed(1)} s`;
  return `${Math.floor(seconds / 60)} min ${Math.round(seconds % 60)} s`;
}

export function bytes(n) {
  if (typeof n !== 'number') return '—';
  if (n < 1024) return `${n} B`;
  if (n < 1024 * 1024) return `${(n / 1024).toFixed(1)} KiB`;
  return `${(n / 1024 / 1024).toFixed(1)} MiB`;
}

export function statusBadge(status) {
  const word = status || 'none';
  return h('span', { class: `badge status-${word.toLowerCase().replace(/[^a-z_]/g, '')}` }, word);
}

// A table whose rows are scrolled sideways on narrow screens, not squeezed.
export function tableWrap(caption, head, rows) {
  return h('div', { class: 'table-wrap', tabindex: '0', role: 'region', 'aria-label': caption },
    h('table', {}, h('caption', { class: 'sr-only' }, caption),
      h('thead', {}, h('tr', {}, head.map((c) => (c instanceof Node ? c : h('th', { scope: 'col' }, c))))),
      h('tbody', {}, rows)));
}

// Says a message to screen readers (and keeps it in the live region).
export function announce(text) {
  const region = document.getElementById('announce');
  if (region) region.textContent = text;
}

// A message box for an error of a request.
export function errorBox(error) {
  return h('p', { class: 'error', role: 'alert' }, error?.message || String(error));
}
