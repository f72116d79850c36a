// Opens pages the suite wrote in headless Chromium, uses them as a person
// would, and prints what it saw as JSON; report_browser_test.py judges it.
//
//   node drive.mjs JOB.json
//
// JOB.json: {"chromium": "/usr/bin/chromium", "pages": [{"path": "...",
// "screenshot": "....png", "timings": 0}, ...]}. For each page: every request it made
// (nothing may be fetched: the network is switched off and every request
// but the page itself is aborted), console errors and uncaught exceptions,
// the sortable tables' rows, the findings grid, the charts' series (with
// their drawn colour) and points, the tooltip over each point the pointer can
// reach, the points each legend entry hides and shows again, the row order
// after one and two clicks on each header, and what the page shows with its
// script switched off. A screenshot of the whole page and one of its first
// screen (1280 x 800) go beside each other. With "timings": N the page is
// only opened N times more and the time to its load event is reported.

import { readFile } from 'node:fs/promises';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

const TIMEOUT_MS = 15000;

const job = JSON.parse(await readFile(process.argv[2], 'utf8'));
const browser = await chromium.launch({
  executablePath: job.chromium,
  // Belt and braces: a name never resolves and any proxied request goes nowhere.
  args: ['--host-resolver-rules=MAP * ~NOTFOUND', '--proxy-server=http://127.0.0.1:9',
    '--no-first-run', '--disable-background-networking', '--disable-component-update'],
});

const tooltipState = (page) => page.evaluate(() => {
  const tip = document.querySelector('.tooltip');
  return tip ? { shown: !tip.hidden && tip.checkVisibility(), text: tip.textContent } : null;
});

async function hoverPoints(page, figure, chartIndex) {
  const seen = [];
  await figure.scrollIntoViewIfNeeded();
  const count = await figure.locator('.pt').count();
  for (let index = 0; index < count; index++) {
    const target = await figure.evaluate((element, i) => {
      const point = element.querySelectorAll('.pt')[i];
      const box = point.getBoundingClientRect();
      const x = box.left + box.width / 2;
      const y = box.top + Math.min(box.height / 2, 6);
      // Of points drawn over each other only the one on top can be hovered.
      return { x, y, key: point.getAttribute('data-key'),
        reachable: document.elementFromPoint(x, y) === point };
    }, index);
    if (!target.reachable) {
      seen.push({ chart: chartIndex, key: target.key, reachable: false });
      continue;
    }
    await page.mouse.move(target.x, target.y);
    const state = await tooltipState(page);
    const active = await figure.evaluate((element, i) =>
      element.querySelectorAll('.pt')[i].classList.contains('active'), index);
    seen.push({ chart: chartIndex, key: target.key, reachable: true, active, ...state });
  }
  return seen;
}

// Drawn points, counted by the boxes they take on screen (checkVisibility()
// does not see that an SVG element's group is hidden).
const visiblePoints = (figure) => figure.evaluate((element) =>
  Array.from(element.querySelectorAll('g.series')).map((series) =>
    Array.from(series.querySelectorAll('.pt')).filter((p) => {
      const box = p.getBoundingClientRect();
      return box.width > 0 && box.height > 0;
    }).length));

async function toggleLegend(figure, chartIndex) {
  const toggles = [];
  const buttons = figure.locator('ul.legend button[data-series]');
  for (let i = 0; i < await buttons.count(); i++) {
    const button = buttons.nth(i);
    const series = await button.getAttribute('data-series');
    const before = await visiblePoints(figure);
    await button.click();
    const hidden = await visiblePoints(figure);
    const pressedHidden = await button.getAttribute('aria-pressed');
    await button.click();
    const shown = await visiblePoints(figure);
    const pressedShown = await button.getAttribute('aria-pressed');
    toggles.push({ chart: chartIndex, series, before, hidden, shown, pressedHidden,
      pressedShown });
  }
  return toggles;
}

const rowOrder = (table) => table.evaluate((element) => ({
  cells: Array.from(element.tBodies[0].rows).map((row) => row.getAttribute('data-cell')),
  sort: Array.from(element.tHead.rows[0].cells).map((th) => th.getAttribute('aria-sort')),
}));

async function sortColumns(table) {
  const sorts = [];
  const headers = table.locator('thead th');
  for (let i = 0; i < await headers.count(); i++) {
    const header = headers.nth(i);
    const column = (await header.textContent()).trim();
    await header.locator('button').click();
    const first = await rowOrder(table);
    await header.locator('button').click();
    const second = await rowOrder(table);
    sorts.push({ column, index: i, first, second });
  }
  return sorts;
}

// A page opened offline, with what it requests and reports recorded.
async function open(url, options = {}) {
  const context = await browser.newContext({ offline: true, viewport: { width: 1280, height: 800 },
    ...options });
  const requests = [];
  await context.route('**/*', (route) => (route.request().url() === url
    ? route.continue() : route.abort('blockedbyclient')));
  const page = await context.newPage();
  page.setDefaultTimeout(TIMEOUT_MS);
  const consoleErrors = [];
  const pageErrors = [];
  page.on('request', (request) => requests.push(request.url()));
  page.on('console', (message) => {
    if (message.type() === 'error') consoleErrors.push(message.text());
  });
  page.on('pageerror', (error) => pageErrors.push(String(error)));
  await page.goto(url, { waitUntil: 'load' });
  return { context, page, requests, consoleErrors, pageErrors };
}

// Milliseconds from the start of navigation to the end of the load event.
const loadTime = (page) => page.evaluate(() =>
  performance.getEntriesByType('navigation')[0].loadEventEnd);

// The page with its script off: its errors, controls that need the script
// left showing, and the points without a <title> to read.
async function withoutScript(url) {
  const { context, page, consoleErrors, pageErrors } = await open(url, { javaScriptEnabled: false });
  const seen = await page.evaluate(() => ({
    scriptControlsShown: Array.from(document.querySelectorAll('.needs-script'))
      .filter((e) => e.checkVisibility()).length,
    points: document.querySelectorAll('.pt').length,
    untitled: Array.from(document.querySelectorAll('.pt'))
      .filter((p) => !(p.querySelector('title') || {}).textContent).length,
  }));
  await context.close();
  return { consoleErrors, pageErrors, ...seen };
}

async function inspect(entry) {
  const url = pathToFileURL(entry.path).href;
  if (entry.timings) {
    const times = [];
    let errors = [];
    for (let i = 0; i < entry.timings; i++) {
      const opened = await open(url);
      times.push(await loadTime(opened.page));
      errors = errors.concat(opened.consoleErrors, opened.pageErrors);
      await opened.context.close();
    }
    return { path: entry.path, url, loadTimes: times, errors };
  }
  const { context, page, requests, consoleErrors, pageErrors } = await open(url);
  await page.screenshot({ path: entry.screenshot.replace(/\.png$/, '-first.png') });
  await page.screenshot({ path: entry.screenshot, fullPage: true });

  const observed = await page.evaluate(() => ({
    title: document.title,
    injected: { flag: typeof window.injected, elements: document.querySelectorAll('.injected').length },
    tooltips: document.querySelectorAll('.tooltip').length,
    tables: Array.from(document.querySelectorAll('table.sortable')).map((table) => ({
      id: table.id,
      headers: Array.from(table.tHead.rows[0].cells).map((th) => th.textContent.trim()),
      rows: Array.from(table.tBodies[0].rows).map((row) => ({
        cell: row.getAttribute('data-cell'), classes: Array.from(row.classList) })),
    })),
    grid: Array.from(document.querySelectorAll('table.findings td[data-program]')).map((td) => ({
      program: td.dataset.program, n: Number(td.dataset.n), threads: Number(td.dataset.threads),
      backend: td.dataset.backend, tied: td.dataset.tied ? td.dataset.tied.split(',') : [],
      colour: getComputedStyle(td).getPropertyValue('--c').trim(),
      // Whether the cell lies inside the first screen, where no scrolling is needed.
      firstScreen: td.getBoundingClientRect().bottom <= window.innerHeight })),
    charts: Array.from(document.querySelectorAll('figure.chart')).map((figure) => ({
      kind: figure.dataset.kind,
      program: figure.dataset.program ?? null,
      cell: figure.dataset.cell ?? null,
      series: Array.from(figure.querySelectorAll('g.series')).map((series) => ({
        index: series.dataset.series,
        backend: series.dataset.backend ?? null,
        colour: getComputedStyle(series).color,
        points: Array.from(series.querySelectorAll('.pt')).map((p) => p.getAttribute('data-key')),
        marked: Array.from(series.querySelectorAll('.pt.marked')).map((p) => p.getAttribute('data-key')),
      })),
      legend: Array.from(figure.querySelectorAll('ul.legend button')).map((b) => b.textContent),
    })),
  }));

  // The charts one click away are opened, as a person would, to be used too.
  await page.evaluate(() => document.querySelectorAll('details.alternate').forEach((d) => {
    d.open = true;
  }));
  const figures = page.locator('figure.chart');
  observed.hovers = [];
  observed.toggles = [];
  for (let i = 0; i < await figures.count(); i++) {
    observed.hovers.push(...await hoverPoints(page, figures.nth(i), i));
    observed.toggles.push(...await toggleLegend(figures.nth(i), i));
  }
  // Off every point, the tooltip goes away.
  await page.evaluate(() => window.scrollTo(0, 0));
  await page.mouse.move(2, 2);
  observed.tooltipAfterLeaving = await tooltipState(page);

  observed.sorts = [];
  const tables = page.locator('table.sortable');
  for (let i = 0; i < await tables.count(); i++) {
    observed.sorts.push({ table: i, columns: await sortColumns(tables.nth(i)) });
  }
  // The speedup section's button shows the other reference in place of the first.
  const shownKinds = () => page.evaluate(() => Array.from(document.querySelectorAll(
    'figure.chart')).filter((f) => f.checkVisibility()).map((f) => f.dataset.kind));
  const swap = page.locator('button.swap');
  if (await swap.count()) {
    await page.evaluate(() => document.querySelectorAll('details.alternate').forEach((d) => {
      d.open = false;
    }));
    const before = await shownKinds();
    await swap.click();
    observed.swap = { before, after: await shownKinds() };
  }
  observed.loadTime = await loadTime(page);
  await context.close();
  observed.noScript = await withoutScript(url);
  return { path: entry.path, url, requests, consoleErrors, pageErrors, ...observed };
}

try {
  const pages = [];
  for (const entry of job.pages) pages.push(await inspect(entry));
  process.stdout.write(JSON.stringify({ browser: browser.version(), pages }));
} finally {
  await browser.close();
}
