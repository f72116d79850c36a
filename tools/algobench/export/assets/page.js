// What the suite's pages do beyond showing: a tooltip over chart points,
// series shown and hidden from their legend, tables sorted by any column,
// the cells filtered in the table and the charts together.
// Every figure is in the markup already; this only adds the behaviour.
(() => {
  'use strict';

  // Controls that need this script are shown from here on (see .needs-script).
  document.documentElement.classList.add('js');

  // charts: a point's figures are its SVG <title> (what a browser shows
  // without script); the tooltip below shows them at once, so on the first
  // hover the title moves to data-tip and the browser's own does not show too.
  const tipOf = (point) => {
    const title = point.querySelector('title');
    if (title) {
      point.setAttribute('data-tip', title.textContent);
      title.remove();
    }
    return point.getAttribute('data-tip');
  };

  // charts: the speedup section's other reference, one click away.
  const swap = (button) => {
    const section = button.closest('section');
    const details = section && section.querySelector('details.alternate');
    if (!details) return;
    const swapped = !section.classList.contains('swapped');
    section.classList.toggle('swapped', swapped);
    details.open = swapped;
    button.setAttribute('aria-pressed', swapped ? 'true' : 'false');
    button.textContent = swapped ? 'Show the speedup over the sequential build at 1 thread'
      : "Show each backend's speedup over its own 1-thread time";
  };

  const tooltip = document.createElement('div');
  tooltip.className = 'tooltip';
  tooltip.setAttribute('role', 'tooltip');
  tooltip.hidden = true;
  document.body.appendChild(tooltip);
  let active = null;

  const hide = () => {
    tooltip.hidden = true;
    if (active) active.classList.remove('active');
    active = null;
  };

  // The tooltip sits beside its point, inside the window.
  const place = (point) => {
    const box = point.getBoundingClientRect();
    const width = tooltip.offsetWidth;
    const height = tooltip.offsetHeight;
    let left = box.right + 10;
    if (left + width > window.innerWidth - 4) left = box.left - width - 10;
    let top = box.top - height - 6;
    if (top < 4) top = box.bottom + 6;
    tooltip.style.left = `${Math.max(4, left)}px`;
    tooltip.style.top = `${Math.max(4, top)}px`;
  };

  const show = (point) => {
    if (active) active.classList.remove('active');
    active = point;
    point.classList.add('active');
    tooltip.textContent = tipOf(point);
    tooltip.hidden = false;
    place(point);
  };

  document.addEventListener('mouseover', (event) => {
    const point = event.target.closest ? event.target.closest('.pt') : null;
    if (point) show(point);
    else if (active) hide();
  });
  document.addEventListener('scroll', () => {
    if (active) place(active);
  }, { passive: true });

  const toggleSeries = (button) => {
    const figure = button.closest('figure');
    const series = figure && figure.querySelector(`g.series[data-series="${button.dataset.series}"]`);
    if (!series) return;
    const hidden = button.getAttribute('aria-pressed') === 'true';
    button.setAttribute('aria-pressed', hidden ? 'false' : 'true');
    series.classList.toggle('off', hidden);
    if (active && series.contains(active)) hide();
  };

  // Rows keep their first order, which breaks ties; a field without a key sorts last.
  const firstOrder = new WeakMap();
  const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: 'base' });

  const keyOf = (cell, numeric) => {
    const key = cell.getAttribute('data-key');
    if (key === '') return null;
    if (!numeric) return key === null ? cell.textContent.trim() : key;
    const value = parseFloat(key === null ? cell.textContent : key);
    return Number.isFinite(value) ? value : null;
  };

  const sortBy = (header) => {
    const table = header.closest('table');
    const body = table.tBodies[0];
    const column = Array.prototype.indexOf.call(header.parentNode.children, header);
    const numeric = header.classList.contains('num');
    const descending = header.getAttribute('aria-sort') === 'ascending';
    const rows = Array.from(body.rows);
    if (!firstOrder.has(table)) firstOrder.set(table, new Map(rows.map((row, i) => [row, i])));
    const order = firstOrder.get(table);
    const keyed = rows.map((row) => ({ row, key: keyOf(row.cells[column], numeric) }));
    keyed.sort((a, b) => {
      if (a.key === null || b.key === null) {
        if (a.key !== b.key) return a.key === null ? 1 : -1;
      } else {
        const by = numeric ? a.key - b.key : collator.compare(a.key, b.key);
        if (by !== 0) return descending ? -by : by;
      }
      return order.get(a.row) - order.get(b.row);
    });
    for (const other of header.parentNode.children) other.removeAttribute('aria-sort');
    header.setAttribute('aria-sort', descending ? 'descending' : 'ascending');
    body.append(...keyed.map((item) => item.row));
  };

  // -- table and filters: the checked programs, backends and thread counts are
  // shown; a row, a chart, a series or a point whose data-program, data-backend
  // or data-threads is unchecked is hidden, and so is every point whose
  // data-key names a hidden row. A line through points of which some are
  // hidden is drawn again through the others.
  const filters = document.querySelector('.filters');
  const table = filters && document.getElementById('cells');
  const centres = new WeakMap();

  const centreOf = (point) => {
    if (!centres.has(point)) {
      const cx = point.getAttribute('cx');
      const box = cx === null ? point.getBBox() : null;
      centres.set(point, box ? [box.x + box.width / 2, box.y + box.height / 2]
        : [parseFloat(cx), parseFloat(point.getAttribute('cy'))]);
    }
    return centres.get(point);
  };

  const redraw = (series, points) => {
    const line = series.querySelector('path.line');
    if (!line) return;
    if (!line.dataset.all) line.dataset.all = line.getAttribute('d');
    const shown = points.filter((p) => !p.classList.contains('filtered'));
    if (shown.length === points.length) {
      line.setAttribute('d', line.dataset.all);
      return;
    }
    const path = shown.map(centreOf).sort((a, b) => a[0] - b[0])
      .map(([x, y], i) => `${i ? 'L' : 'M'}${x.toFixed(1)},${y.toFixed(1)}`).join('');
    line.setAttribute('d', shown.length > 1 ? path : '');
  };

  const applyFilters = () => {
    const allowed = {};
    for (const box of filters.querySelectorAll('input[data-filter]')) {
      const name = box.dataset.filter;
      if (!allowed[name]) allowed[name] = new Set();
      if (box.checked) allowed[name].add(box.value);
    }
    const passes = (element) => Object.keys(allowed).every((name) => {
      const value = element.getAttribute(`data-${name}`);
      return value === null || value === '' || allowed[name].has(value);
    });
    const hiddenCells = new Set();
    let shown = 0;
    const rows = Array.from(table.tBodies[0].rows);
    for (const row of rows) {
      row.hidden = !passes(row);
      if (row.hidden) hiddenCells.add(row.dataset.cell);
      else shown += 1;
    }
    for (const figure of document.querySelectorAll('figure.chart')) {
      let anyShown = false;
      const all = figure.querySelectorAll('g.series');
      for (const series of all) {
        const points = Array.from(series.querySelectorAll('.pt'));
        for (const point of points) {
          point.classList.toggle('filtered', hiddenCells.has(point.getAttribute('data-key')));
        }
        const visible = points.some((p) => !p.classList.contains('filtered'));
        const out = !passes(series) || (points.length > 0 && !visible);
        series.classList.toggle('filtered', out);
        if (!out) {
          anyShown = true;
          redraw(series, points);
        }
        const key = figure.querySelector(`ul.legend button[data-series="${series.dataset.series}"]`);
        if (key) key.closest('li').hidden = out;
      }
      figure.hidden = !passes(figure) || (all.length > 0 && !anyShown);
    }
    const count = filters.querySelector('.filter-count');
    if (count) count.textContent = `${shown} of ${rows.length} cells shown`;
    if (active && active.closest('.filtered, [hidden]')) hide();
  };

  if (table) {
    filters.addEventListener('change', applyFilters);
    const all = filters.querySelector('.filter-all');
    if (all) {
      all.addEventListener('click', () => {
        for (const box of filters.querySelectorAll('input[data-filter]')) box.checked = true;
        applyFilters();
      });
    }
    const count = filters.querySelector('.filter-count');
    if (count) count.textContent = `${table.tBodies[0].rows.length} cells shown`;
  }

  // -- samples: a click on a cell's CV opens its samples as a strip, drawn from
  // the figures the CV carries (data-samples: "place seconds marks;...").
  const SVG = 'http://www.w3.org/2000/svg';
  const STRIP = { width: 260, height: 78, left: 62, right: 10, top: 8, bottom: 20 };

  const svgElement = (name, attributes, text) => {
    const element = document.createElementNS(SVG, name);
    for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, value);
    if (text !== undefined) {
      const title = name === 'text' ? element : element.appendChild(document.createElementNS(SVG, 'title'));
      title.textContent = text;
    }
    return element;
  };

  const drawStrip = (opener) => {
    const data = opener.dataset;
    const samples = data.samples.split(';').map((item) => {
      const [place, seconds, marks] = item.split(' ');
      return { place: Number(place), seconds: Number(seconds), marks: marks || '' };
    });
    const words = opener.getAttribute('title').split('; ');
    const { width, height, left, right, top, bottom } = STRIP;
    const times = samples.map((s) => s.seconds);
    const low = Math.min(...times);
    const high = Math.max(...times);
    const pad = (high - low) * 0.1 || Math.abs(high) * 0.01 || 1e-9;
    const places = samples.map((s) => s.place);
    const first = Math.min(...places);
    const last = Math.max(...places);
    const x = (place) => (first === last ? (left + width - right) / 2
      : left + 6 + ((place - first) / (last - first)) * (width - right - left - 12));
    const y = (seconds) => height - bottom
      - ((seconds - low + pad) / (high - low + 2 * pad)) * (height - bottom - top);
    const svg = svgElement('svg', { viewBox: `0 0 ${width} ${height}`, role: 'img',
      'aria-label': `samples by ${data.word}` });
    svg.append(svgElement('path', { class: 'axis', d: `M${left},${top}V${height - bottom}H${width - right}` }));
    svg.append(svgElement('text', { x: left - 5, y: y(high).toFixed(1), class: 'ty' }, data.high));
    if (high > low) svg.append(svgElement('text', { x: left - 5, y: y(low).toFixed(1), class: 'ty' }, data.low));
    if (data.median) {
      const at = y(Number(data.median)).toFixed(1);
      svg.append(svgElement('path', { class: 'median', d: `M${left},${at}H${width - right}` },
        `median ${data.medianLabel}`));
    }
    svg.append(svgElement('text', { x: x(first), y: height - 6, class: 'tx' }, `${data.word} ${first}`));
    if (last !== first) svg.append(svgElement('text', { x: x(last), y: height - 6, class: 'tx' }, String(last)));
    samples.forEach((sample, i) => {
      const contended = sample.marks.includes('c');
      const again = sample.marks.includes('r');
      const classes = `s${contended ? ' contended' : ''}${again ? ' remeasured' : ''}`;
      const cx = x(sample.place);
      const cy = y(sample.seconds);
      svg.append(again
        ? svgElement('rect', { class: classes, x: (cx - 3.5).toFixed(1), y: (cy - 3.5).toFixed(1), width: 7, height: 7 }, words[i])
        : svgElement('circle', { class: classes, cx: cx.toFixed(1), cy: cy.toFixed(1), r: 3.5 }, words[i]));
    });
    const marks = ['\u25CF a sample', '\u2013 \u2013 the median'];
    if (samples.some((s) => s.marks.includes('c'))) marks.push('\u25CB another process competed (kept after the retries)');
    if (samples.some((s) => s.marks.includes('r'))) marks.push('\u25A0 its round was measured again first');
    let note = `${samples.length} sample${samples.length === 1 ? '' : 's'}: ${marks.join('; ')}.`;
    if (data.replaced) note += ` ${data.replaced} process${data.replaced === '1' ? '' : 'es'} of this cell ran again while the machine was busy (warm-up and calibration included).`;
    const box = document.createElement('div');
    box.className = 'strip';
    const list = document.createElement('p');
    list.className = 'sample-list';
    list.textContent = words.join('; ');
    const key = document.createElement('p');
    key.className = 'strip-key';
    key.textContent = note;
    box.append(svg, key, list);
    return box;
  };

  let openStrip = null;
  const closeStrip = () => {
    if (!openStrip) return;
    openStrip.box.remove();
    openStrip.opener.setAttribute('aria-expanded', 'false');
    openStrip = null;
  };
  const toggleStrip = (opener) => {
    const again = openStrip && openStrip.opener === opener;
    closeStrip();
    if (again) return;
    const box = drawStrip(opener);
    opener.after(box);
    opener.setAttribute('aria-expanded', 'true');
    openStrip = { opener, box };
  };
  for (const opener of document.querySelectorAll('.samples[data-samples]')) {
    opener.setAttribute('role', 'button');
    opener.setAttribute('tabindex', '0');
    opener.setAttribute('aria-expanded', 'false');
  }
  document.addEventListener('keydown', (event) => {
    if (event.key === 'Escape') closeStrip();
    const opener = event.target.closest && event.target.closest('.samples[data-samples]');
    if (opener && (event.key === 'Enter' || event.key === ' ')) {
      event.preventDefault();
      toggleStrip(opener);
    }
  });

  document.addEventListener('click', (event) => {
    if (!event.target.closest) return;
    const opener = event.target.closest('.samples[data-samples]');
    if (opener) {
      toggleStrip(opener);
      return;
    }
    if (openStrip && !event.target.closest('.strip')) closeStrip();
    const key = event.target.closest('ul.legend button[data-series]');
    if (key) {
      toggleSeries(key);
      return;
    }
    const swapper = event.target.closest('button.swap');
    if (swapper) {
      swap(swapper);
      return;
    }
    const sorter = event.target.closest('table.sortable th button.sort');
    if (sorter) sortBy(sorter.closest('th'));
  });
})();
