// What the suite's pages do beyond showing: a tooltip over chart points,
// series shown and hidden from their legend, tables sorted by any column.
// Every figure is in the markup already; this only adds the behaviour.
(() => {
  'use strict';

  // Controls that need this script show only where it runs.
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

  document.addEventListener('click', (event) => {
    if (!event.target.closest) return;
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
