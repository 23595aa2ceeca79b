// The web page in a real browser (Debian's Chromium, driven headless by
// puppeteer-core) against `kesto serve` over documents the pipeline
// processed; tests/web/run.sh sets it all up and passes what the page
// should show in KESTO_WEB_* variables.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const BASE = process.env.KESTO_WEB_URL;
const READER = process.env.KESTO_WEB_READER_KEY;
const OPERATOR = process.env.KESTO_WEB_OPERATOR_KEY;
const OUT = process.env.KESTO_WEB_OUT;
const COUNTS = JSON.parse(process.env.KESTO_WEB_COUNTS);
const LOSS = JSON.parse(process.env.KESTO_WEB_LOSS);
const CHANGED_BLOB = process.env.KESTO_WEB_CHANGED_BLOB;
const WAIT = { timeout: 20000 };

let browser;
const requests = [];
const problems = [];

// Every page of every test goes through here: its requests are logged and
// its console errors and uncaught exceptions collected.
async function openPage({ width = 1280, height = 800 } = {}) {
  const page = await browser.newPage();
  await page.setViewport({ width, height });
  page.on('request', (r) => requests.push(r.url()));
  page.on('console', (m) => {
    if (m.type() === 'error') problems.push({ text: m.text(), url: m.location()?.url ?? '' });
  });
  page.on('pageerror', (e) => problems.push({ text: `uncaught: ${e.message}`, url: '' }));
  return page;
}

// Console errors other than the answers a test provoked on purpose (the
// browser logs every 4xx answer as "Failed to load resource").
function takeProblems(expectedStatuses = []) {
  const left = problems.splice(0).filter((p) => !expectedStatuses.some((s) =>
    p.text.includes(`Failed to load resource: the server responded with a status of ${s}`)));
  return left;
}

async function signIn(page, key) {
  await page.goto(`${BASE}/`, { waitUntil: 'networkidle0' });
  await page.waitForSelector('#api-key', WAIT);
  await page.type('#api-key', key);
  await Promise.all([page.waitForSelector('nav#nav:not([hidden])', WAIT), page.keyboard.press('Enter')]);
}

// Shows the address and waits until the page has drawn it whole.
async function go(page, hash, selector) {
  await page.evaluate((h) => { location.hash = h; }, hash);
  await page.waitForFunction(() => document.querySelector('main').dataset.shown === location.hash, WAIT);
  await page.waitForSelector(selector, WAIT);
}

const texts = (page, selector) => page.$$eval(selector, (els) => els.map((e) => e.textContent.trim()));

// A screenshot at 1280×800 of the page's top, or of the element `at`.
async function shot(page, name, at) {
  fs.mkdirSync(OUT, { recursive: true });
  await page.setViewport({ width: 1280, height: 800 });
  await page.evaluate((sel) => {
    if (sel) document.querySelector(sel).scrollIntoView({ block: 'start' });
    else window.scrollTo(0, 0);
  }, at ?? null);
  await page.screenshot({ path: path.join(OUT, `${name}.png`) });
}

// The elements that stick out of the window on the right (none when the
// page fits its width, at phone width or zoomed).
async function overflowing(page) {
  return page.evaluate(() => {
    if (document.documentElement.scrollWidth <= window.innerWidth + 1) return [];
    return [...document.querySelectorAll('body *')]
      .filter((e) => e.getBoundingClientRect().right > window.innerWidth + 1 && !e.closest('.table-wrap'))
      .slice(0, 5).map((e) => `${e.tagName.toLowerCase()}#${e.id}.${e.className}`);
  });
}

before(async () => {
  browser = await puppeteer.launch({
    executablePath: process.env.KESTO_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--headless=new', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-default-apps', '--disable-sync', '--metrics-recording-only'],
  });
});

after(async () => {
  await browser?.close();
});

test('a wrong key shows the sign-in again, and nothing is kept outside the tab', async () => {
  const page = await openPage();
  await page.goto(`${BASE}/`, { waitUntil: 'networkidle0' });
  await page.type('#api-key', 'kesto_not-a-key');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => /not accepted/.test(document.querySelector('#signin-message')?.textContent ?? ''), WAIT);
  assert.equal(await page.$eval('#nav', (n) => n.hidden), true);
  // A key that stops working mid-session brings the sign-in back too.
  await signIn(page, READER);
  await page.evaluate(() => sessionStorage.setItem('kesto.apiKey', 'kesto_revoked'));
  await page.evaluate(() => { location.hash = '#/documents'; });
  await page.waitForSelector('#api-key', WAIT);
  const stored = await page.evaluate(() => ({ session: sessionStorage.length, local: localStorage.length, url: location.href }));
  assert.deepEqual([stored.session, stored.local], [0, 0]);
  assert.ok(!stored.url.includes('kesto_'));
  assert.deepEqual(takeProblems([401]), []);
  await page.close();
});

test('the overview shows the counts by status, the hours, the queue and the latest failures', async () => {
  const page = await openPage();
  await signIn(page, READER);
  await page.waitForSelector('#status-bars', WAIT);
  const shown = await page.$$eval('#status-bars li', (lis) => Object.fromEntries(lis.map((li) =>
    [li.dataset.status, Number(li.querySelector('.bar-count').textContent)])));
  for (const status of ['PROCESSED', 'FAILED', 'ERROR', 'QUEUED', 'RUNNING']) {
    assert.equal(shown[status], COUNTS[status] ?? 0, status);
  }
  const bars = await page.$$eval('#per-hour-chart rect.col', (r) => r.length);
  assert.equal(bars, 72);
  const label = await page.$eval('#per-hour-chart', (s) => s.getAttribute('aria-label'));
  assert.match(label, /^\d+ documents processed in the last 72 hours/);
  assert.notEqual(Number(label.split(' ')[0]), 0);
  await page.waitForSelector('#queue-figures [data-figure="poison"]', WAIT);
  const reasons = await texts(page, 'td.reason');
  assert.ok(reasons.includes('not a Word file <script>window.__kestoPwned=1</script>')
    || reasons.some((r) => r.startsWith('not a Word file <script>')), reasons.join('|'));
  await shot(page, 'overview');
  assert.equal(await page.evaluate(() => window.__kestoPwned), undefined);
  assert.deepEqual(takeProblems(), []);
  await page.close();
});

test('the documents table filters by status and text, sorts, and pages by key', async () => {
  const page = await openPage();
  const from = requests.length;
  await signIn(page, READER);
  await go(page, '#/documents?status=FAILED&limit=200', '#documents-table');
  const statuses = await texts(page, '#documents-table tbody td:nth-child(3)');
  assert.equal(statuses.length, COUNTS.FAILED);
  assert.ok(statuses.every((s) => s === 'FAILED'));

  await go(page, '#/documents', '#documents-table');
  await page.type('#filter-text', 'cleaning');
  await page.click('form.filters button[type=submit]');
  await page.waitForFunction(() => document.querySelectorAll('#documents-table tbody tr').length === 1, WAIT);
  assert.deepEqual(await texts(page, '#documents-table tbody td:first-child'), ['QD-000958']);
  // What the conversion left out comes with the list's rows.
  const lost = Object.entries(LOSS).filter(([, n]) => n > 0).map(([k, n]) => `${k.replace(/_/g, ' ')} ${n}`).join(', ');
  await page.waitForFunction((want) => document.querySelector('#documents-table td.loss-cell')?.textContent === want,
    WAIT, lost || 'nothing left out');

  // Three pages of at most 50, each after the last of the one before.
  await go(page, '#/documents?limit=50', '#documents-table');
  const seen = [];
  for (let pageNo = 1; ; pageNo++) {
    await page.waitForFunction((n) => document.querySelector('#page-no')?.textContent === `Page ${n}`, WAIT, pageNo);
    const numbers = await texts(page, '#documents-table tbody td:first-child');
    assert.ok(numbers.length <= 50);
    assert.deepEqual(numbers, [...numbers].sort());
    if (seen.length) assert.ok(numbers[0] > seen[seen.length - 1]);
    seen.push(...numbers);
    if (await page.$eval('#page-next', (b) => b.disabled)) break;
    await page.click('#page-next');
  }
  const total = Object.values(COUNTS).reduce((a, b) => a + b, 0);
  assert.equal(seen.length, total);
  await page.click('#page-prev');
  await page.waitForFunction(() => document.querySelector('#page-no')?.textContent === 'Page 2', WAIT);
  assert.equal((await texts(page, '#documents-table tbody td:first-child'))[0], seen[50]);

  // Sorting orders the page's rows by the column, both ways.
  // (The table of 50 rows is still there until the new page's rows come.)
  await go(page, '#/documents?limit=25', '#documents-table');
  await page.waitForFunction(() => document.querySelectorAll('#documents-table tbody tr').length === 25, WAIT);
  const sortedAs = (way) => page.waitForFunction(
    (w) => document.querySelector('th:nth-child(5)')?.getAttribute('aria-sort') === w, WAIT, way);
  await page.click('th button[data-key="duration_s"]');
  await sortedAs('ascending');
  await page.click('th button[data-key="duration_s"]');
  await sortedAs('descending');
  const names = await page.$$eval('#documents-table tbody tr', (trs) => trs.map((tr) => tr.dataset.qd));
  assert.equal(names.length, 25);
  const hostile = await texts(page, '#documents-table tbody td:nth-child(2)');
  assert.ok(hostile.some((n) => n.startsWith('<img src=x onerror=')));
  await shot(page, 'documents');
  assert.equal(await page.evaluate(() => window.__kestoPwned), undefined);
  assert.deepEqual(takeProblems(), []);
  // The table asked the list route only, never a row's own route.
  const perRow = requests.slice(from).filter((u) => /^\/api\/documents\/./.test(new URL(u).pathname));
  assert.deepEqual(perRow, []);
  await page.close();
});

test('a document page shows its row, loss report, summary, sections and trail; verify finds the changed blob', async () => {
  const page = await openPage();
  await signIn(page, READER);
  await go(page, '#/documents/QD-000958', '#trail');
  assert.match(await page.$eval('h1', (e) => e.textContent), /^QD-000958 Cleaning Validation of Manufacturing Equipment/);
  // The loss report: the non-zero counts of the stored report, nothing else.
  const expected = Object.entries(LOSS).filter(([, n]) => n > 0);
  if (expected.length) {
    const items = await page.$$eval('#loss-report li', (lis) => lis.map((li) => [li.dataset.key, Number(li.querySelector('.count').textContent)]));
    assert.deepEqual(items, expected);
  } else {
    assert.equal(await page.$eval('#loss-report', (e) => e.textContent), 'The conversion left nothing out.');
  }
  assert.match(await page.$eval('#summary', (e) => e.textContent), /Procedure/);
  await page.waitForSelector('#sections li[data-number="3.2"]', WAIT);
  // 3.2 sits under 3 in the outline and opens to its own text.
  assert.equal(await page.$eval('#sections li[data-number="3.2"]', (li) => li.parentElement.closest('li')?.dataset.number), '3');
  await page.click('#sections li[data-number="3"] > details > summary');
  await page.click('#sections li[data-number="3.2"] > details > summary');
  assert.match(await page.$eval('#sections li[data-number="3.2"] .section-text', (e) => e.textContent), /Swab each sampling point/);
  const actions = await page.$$eval('#trail li', (lis) => lis.map((li) => li.className));
  assert.ok(actions.some((c) => c.includes('action-ingested')));
  assert.ok(actions.filter((c) => c.includes('action-artefact_written')).length >= 4);

  await page.click('#verify');
  await page.waitForSelector('#verify-result', WAIT);
  assert.match(await page.$eval('#verify-result', (e) => e.textContent), /^Not verified/);
  const marked = await page.$$eval('#trail li.mismatch', (lis) => lis.map((li) => [li.dataset.path, li.querySelector('.mark-slot').textContent]));
  assert.ok(marked.length >= 1);
  assert.ok(marked.every(([p, m]) => p === CHANGED_BLOB && m === 'changed'), JSON.stringify(marked));
  await shot(page, 'document');
  await shot(page, 'document-verified', '#trail-h');
  assert.deepEqual(takeProblems(), []);
  await page.close();
});

test('search finds a known section, and its citation opens the document', async () => {
  const page = await openPage();
  await signIn(page, READER);
  await go(page, '#/search', '#search-q');
  await page.type('#search-q', 'rinse the vessel with purified water');
  await page.keyboard.press('Enter');
  await page.waitForSelector('#search-results .hit', WAIT);
  const citations = await texts(page, '#search-results .hit-link');
  assert.equal(citations[0], 'QD-000958 §3.2 Execution');
  const markedWords = await texts(page, '#search-results .hit:first-child .snippet mark');
  assert.ok(markedWords.length > 0);
  assert.ok(markedWords.every((w) => /rins|vessel|purifi|water/i.test(w)), markedWords.join('|'));
  const source = await page.$eval('#search-results .hit:first-child .hit-doc a', (a) => a.href);
  assert.equal(source, 'https://vault.example.invalid/ui/#doc_info/QD-000958');
  await shot(page, 'search');
  await page.click('#search-results .hit:first-child .hit-link');
  await page.waitForSelector('#document-row', WAIT);
  assert.match(page.url(), /#\/documents\/QD-000958$/);
  assert.deepEqual(takeProblems(), []);
  await page.close();
});

test('a reader sees no operator buttons, and an operator request with a reader key is refused', async () => {
  const page = await openPage();
  await signIn(page, READER);
  await go(page, '#/documents/QD-002317', '#trail');
  assert.equal(await page.$('#operator-actions'), null);
  assert.equal(await page.$('#reprocess'), null);
  const statuses = await page.evaluate(async (key) => {
    const headers = { Authorization: `Bearer ${key}` };
    const reprocess = await fetch('/api/documents/QD-002317/reprocess', { method: 'POST', headers });
    const del = await fetch('/api/documents/QD-002317', { method: 'DELETE', headers });
    const me = await (await fetch('/api/whoami', { headers })).json();
    const anonymous = await fetch('/api/whoami');
    return [reprocess.status, del.status, me.role, anonymous.status];
  }, READER);
  assert.deepEqual(statuses, [403, 403, 'reader', 401]);
  await page.reload({ waitUntil: 'networkidle0' });
  await page.waitForSelector('#document-row', WAIT);
  assert.deepEqual(takeProblems([401, 403]), []);
  await page.close();
});

test('an operator reprocesses a document, deletes another after naming it, and its page then shows the receipt', async () => {
  const page = await openPage();
  await signIn(page, OPERATOR);
  await go(page, '#/documents/QD-002317', '#operator-actions');
  await page.click('#reprocess');
  await page.waitForSelector('#operator-result .ok-box', WAIT);
  assert.match(await page.$eval('#operator-result', (e) => e.textContent), /^QUEUED: /);

  await go(page, '#/documents/QD-001204', '#operator-actions');
  await page.click('#delete');
  await page.waitForSelector('#delete-dialog[open]', WAIT);
  assert.match(await page.$eval('#delete-title', (e) => e.textContent), /QD-001204/);
  assert.equal(await page.$eval('#delete-go', (b) => b.disabled), true);
  await page.type('#delete-confirm', 'QD-002317');
  assert.equal(await page.$eval('#delete-go', (b) => b.disabled), true);
  await page.$eval('#delete-confirm', (i) => { i.value = ''; });
  await page.type('#delete-confirm', 'qd-001204');
  assert.equal(await page.$eval('#delete-go', (b) => b.disabled), false);
  await page.click('#delete-go');
  await page.waitForSelector('#operator-result #receipt', { timeout: 60000 });
  assert.match(await page.$eval('#operator-result', (e) => e.textContent), /QD-001204 was deleted and the deletion verified/);

  await page.reload({ waitUntil: 'networkidle0' });
  await page.waitForSelector('#deleted-notice', WAIT);
  const receipt = await page.$eval('#receipt', (e) => e.textContent);
  assert.match(receipt, /Complete\s*yes/);
  assert.match(receipt, /SOP QD-001204 Batch Record Review\.docx/);
  assert.deepEqual(takeProblems([404]), []);
  await page.close();
});

test('keyboard only: skip link, navigation and sort buttons are reached and used with Tab and Enter', async () => {
  const page = await openPage();
  await signIn(page, READER);
  // A page opened afresh starts at the top: the first Tab reaches the skip link.
  await page.reload({ waitUntil: 'networkidle0' });
  await page.waitForSelector('#status-bars', WAIT);
  await page.keyboard.press('Tab');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'skip');
  const order = [];
  for (let i = 0; i < 3; i++) {
    await page.keyboard.press('Tab');
    order.push(await page.evaluate(() => document.activeElement.textContent));
  }
  assert.deepEqual(order, ['Overview', 'Documents', 'Search']);
  await page.keyboard.down('Shift');
  await page.keyboard.press('Tab');
  await page.keyboard.up('Shift');
  await page.keyboard.press('Enter');
  await page.waitForSelector('#documents-table', WAIT);
  // Every control has a label.
  const unlabelled = await page.$$eval('input, select', (els) => els.filter((e) => !e.labels?.length).map((e) => e.id));
  assert.deepEqual(unlabelled, []);
  assert.deepEqual(takeProblems(), []);
  await page.close();
});

test('every page fits a phone (390×844) and 200% zoom without sideways scrolling', async () => {
  for (const [width, height] of [[390, 844], [640, 400]]) {
    const page = await openPage({ width, height });
    await signIn(page, READER);
    for (const [hash, selector] of [['#/overview', '#status-bars'], ['#/documents', '#documents-table'],
      ['#/documents/QD-000958', '#sections li'], ['#/search?q=gloves%20goggles', '#search-results .hit']]) {
      await go(page, hash, selector);
      assert.deepEqual(await overflowing(page), [], `${hash} at ${width}×${height}`);
    }
    await page.close();
  }
  assert.deepEqual(takeProblems(), []);
});

test('no request left 127.0.0.1, and the page runs under its policy', async () => {
  const page = await openPage();
  const response = await page.goto(`${BASE}/`, { waitUntil: 'networkidle0' });
  const csp = response.headers()['content-security-policy'];
  assert.match(csp, /default-src 'none'/);
  assert.match(csp, /script-src 'self'/);
  assert.doesNotMatch(csp, /unsafe-inline/);
  await page.close();
  const base = new URL(BASE);
  const outside = requests.filter((u) => {
    const url = new URL(u);
    return !(url.protocol === 'data:' || (url.hostname === base.hostname && url.port === base.port));
  });
  assert.ok(requests.length > 20);
  assert.deepEqual(outside, []);
  assert.equal(base.hostname, '127.0.0.1');
});
