// Opens pages the suite wrote in headless Chromium, uses them as a person
// would, and prints what it saw as JSON; report_browser_test.py judges it.
//
//   node drive.mjs JOB.json
//
// JOB.json: {"chromium": "/usr/bin/chromium", "pages": [{"path": "...",
// "screenshot": "....png", "downloads": "a folder for the files it saves",
// "timings": 0}, ...]}. For each page: every request it made
// (nothing may be fetched: the network is switched off and every request
// but the page itself is aborted), console errors and uncaught exceptions,
// the sortable tables' rows, the findings grid, the charts' series (with
// their drawn colour) and points, the tooltip over each point the pointer
// can reach, the points each legend entry hides and shows again, the charts
// the speedup toggle shows, the row order after one and two clicks on each
// header, where the cells table's header is after scrolling past its top,
// what a filter hides, the files its download links save, and the page
// without script, and its first screen at 1280 x 800 and at a phone's
// 390 x 844 (where the answers, the decision map and the busy warning lie).
// A screenshot of the whole page and of each first screen go side by side. With "timings": N the page is only
// opened N times and the time to its load event is reported.

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

// Where the header of the cells table is once the page has scrolled 120 px past its top.
const stickyHeader = (page) => page.evaluate(() => {
  const table = document.querySelector('table#cells');
  if (!table) return null;
  window.scrollTo(0, window.scrollY + table.getBoundingClientRect().top + 120);
  return { tableTop: table.getBoundingClientRect().top,
    headTop: table.tHead.rows[0].cells[0].getBoundingClientRect().top };
});

// What is drawn: the cells of the rows shown and of the points on screen, and
// whether every series with points on screen, and only those, keeps its legend entry.
const shownNow = (page) => page.evaluate(() => {
  const drawn = (element) => {
    const box = element.getBoundingClientRect();
    return box.width > 0 && box.height > 0;
  };
  const legendMatches = Array.from(document.querySelectorAll('figure.chart')).every((figure) =>
    Array.from(figure.querySelectorAll('g.series')).every((series) => {
      const key = figure.querySelector(`ul.legend button[data-series="${series.dataset.series}"]`);
      return !key || drawn(key) === Array.from(series.querySelectorAll('.pt')).some(drawn);
    }));
  return {
    rows: Array.from(document.querySelectorAll('table#cells tbody tr')).filter(drawn)
      .map((row) => row.dataset.cell),
    points: Array.from(document.querySelectorAll('figure.chart .pt')).filter(drawn)
      .map((point) => point.getAttribute('data-key')),
    legendMatches,
  };
});

// Unchecks the last backend, then shows all again.
async function filterBackend(page) {
  const boxes = page.locator('.filters input[data-filter="backend"]');
  if (await boxes.count() < 2) return null;
  const box = boxes.last();
  const backend = await box.getAttribute('value');
  const before = await shownNow(page);
  await box.scrollIntoViewIfNeeded();
  await box.uncheck();
  const filtered = await shownNow(page);
  await page.locator('.filters button.filter-all').click();
  const restored = await shownNow(page);
  return { backend, before, filtered, restored };
}

// Saves every download link's file and reads it back (base64).
async function downloads(page, directory) {
  const saved = [];
  const links = page.locator('ul.downloads a[download]');
  for (let i = 0; i < await links.count(); i++) {
    const link = links.nth(i);
    await link.scrollIntoViewIfNeeded();
    const [download] = await Promise.all([page.waitForEvent('download'), link.click()]);
    const path = `${directory}/${download.suggestedFilename()}`;
    await download.saveAs(path);
    saved.push({ name: download.suggestedFilename(), content: (await readFile(path)).toString('base64') });
  }
  return saved;
}

// The page with script off: its errors, and the controls that need script still on screen.
async function withoutScript(url) {
  const context = await browser.newContext({ offline: true, javaScriptEnabled: false,
    viewport: { width: 1280, height: 900 } });
  const page = await context.newPage();
  const consoleErrors = [];
  const pageErrors = [];
  page.on('console', (message) => {
    if (message.type() === 'error') consoleErrors.push(message.text());
  });
  page.on('pageerror', (error) => pageErrors.push(String(error)));
  await page.goto(url, { waitUntil: 'load' });
  const state = await page.evaluate(() => ({
    needsScriptShown: Array.from(document.querySelectorAll('.needs-script'))
      .filter((e) => e.getBoundingClientRect().height > 0).length,
    rows: document.querySelectorAll('table.sortable tbody tr').length,
    // Points whose figures a reader cannot get without script: no <title>.
    untitled: Array.from(document.querySelectorAll('.pt'))
      .filter((p) => !(p.querySelector('title') || {}).textContent).length,
  }));
  await context.close();
  return { consoleErrors, pageErrors, ...state };
}

// Milliseconds from the start of navigation to the end of the load event of
// each of `times` openings of the page.
async function loadTimes(url, times) {
  const found = [];
  const errors = [];
  for (let i = 0; i < times; i++) {
    const context = await browser.newContext({ offline: true, viewport: { width: 1280, height: 800 } });
    const page = await context.newPage();
    page.on('pageerror', (error) => errors.push(String(error)));
    page.on('console', (message) => {
      if (message.type() === 'error') errors.push(message.text());
    });
    await page.goto(url, { waitUntil: 'load' });
    found.push(await page.evaluate(() => performance.getEntriesByType('navigation')[0].loadEventEnd));
    await context.close();
  }
  return { loadTimes: found, errors };
}

async function inspect(entry) {
  const url = pathToFileURL(entry.path).href;
  if (entry.timings) return { path: entry.path, url, ...await loadTimes(url, entry.timings) };
  const context = await browser.newContext({ offline: true, viewport: { width: 1280, height: 900 } });
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
  // The first screen at a desktop's width and a phone's: its screenshot, and where
  // the answers, the map and the busy warning lie.
  const firstScreen = {};
  for (const [name, width, height] of [['desktop', 1280, 800], ['phone', 390, 844]]) {
    await page.setViewportSize({ width, height });
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.screenshot({ path: entry.screenshot.replace(/\.png$/,
      name === 'desktop' ? '-first.png' : '-phone.png') });
    firstScreen[name] = await page.evaluate(() => {
      const box = (selector) => {
        const element = document.querySelector(selector);
        if (!element) return null;
        const r = element.getBoundingClientRect();
        return { top: r.top, bottom: r.bottom, left: r.left, right: r.right };
      };
      return { width: window.innerWidth, height: window.innerHeight,
        pageWidth: document.documentElement.scrollWidth, busy: box('#busy'),
        answers: Array.from(document.querySelectorAll('ul.answers li')).map((li) => {
          const r = li.getBoundingClientRect();
          return { text: li.textContent, top: r.top, bottom: r.bottom, left: r.left, right: r.right };
        }),
        map: box('table.decision'), mapBox: box('#answers .scroll') };
    });
  }
  await page.setViewportSize({ width: 1280, height: 800 });
  // Charts off screen are drawn only near the view: all of them, for the whole page.
  await page.evaluate(() => document.querySelectorAll('figure.chart').forEach((figure) => {
    figure.style.contentVisibility = 'visible';
  }));
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
    grid: Array.from(document.querySelectorAll('table.decision td[data-program]')).map((td) => ({
      program: td.dataset.program, n: Number(td.dataset.n), threads: Number(td.dataset.threads),
      backend: td.dataset.backend, tied: td.dataset.tied ? td.dataset.tied.split(',') : [],
      verdict: td.dataset.verdict,
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

  observed.needsScriptShown = await page.evaluate(() => Array.from(
    document.querySelectorAll('.needs-script')).filter((e) => e.getBoundingClientRect().height > 0).length);
  await page.setViewportSize({ width: 1280, height: 900 });
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
    await swap.click();
  }
  observed.sticky = await stickyHeader(page);
  observed.filter = await filterBackend(page);
  observed.downloads = await downloads(page, entry.downloads);
  await context.close();
  observed.noScript = await withoutScript(url);
  return { path: entry.path, url, requests, consoleErrors, pageErrors, firstScreen, ...observed };
}

try {
  const pages = [];
  for (const entry of job.pages) pages.push(await inspect(entry));
  process.stdout.write(JSON.stringify({ browser: browser.version(), pages }));
} finally {
  await browser.close();
}
