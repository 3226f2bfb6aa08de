// SPDX-License-Identifier: Apache-2.0
// kovview's trace headers, for a dataset whose traces carry header keys:
// the panel of every key of the trace under the cursor, and the table of
// the keys of the traces of the main view.  The server pages and sorts the
// table, so that a view of a million traces shows any page at once; the
// table is exported as CSV by the server too.
import { getJson } from './net.js';

const PAGE_ROWS = 50;

// The text of a key's value as the server sends it: a number, "NaN",
// "Infinity", "-Infinity", or null for a trace without a header record.
function valueText(v) {
  if (v === null || v === undefined) return '\u2014';
  return String(v);
}

export class HeaderPanels {
  // state: the page's state (info, views, slice); failed(what, error)
  // reports a failed request in the page's banner.
  constructor(state, failed) {
    this.state = state;
    this.failed = failed;
    this.keys = state.info.keys || [];
    this.panel = null;
    this.hovered = null;
    this.hoverTimer = null;
    this.hoverController = null;
    this.table = { first: 0, count: 0, offset: 0, sort: 0, order: 'asc', rows: [], total: 0 };
    this.tableController = null;
    state.headers = this; // for the tests
  }

  get enabled() {
    return this.keys.length > 0;
  }

  // The trace number (0-based, axis 2 fastest) of indices i2, i3.
  trace(i2, i3) {
    return i3 * this.state.info.n[1] + i2;
  }

  // ---- the panel of the trace under the cursor ------------------------------

  makePanel() {
    const panel = document.createElement('div');
    panel.id = 'keys';
    const title = document.createElement('div');
    title.className = 'keys-title';
    title.textContent = 'trace headers';
    const table = document.createElement('table');
    for (const k of this.keys) {
      const row = table.insertRow();
      const name = row.insertCell();
      name.textContent = k.name;
      name.title = k.type + ' (' + k.fmt + ')';
      row.insertCell().textContent = '';
    }
    panel.append(title, table);
    this.panel = { box: panel, title, table };
    if (this.state.info.headers_problem) panel.title = this.state.info.headers_problem;
    return panel;
  }

  // The keys of the trace at i2, i3 (the sample under the cursor), asked
  // for once the cursor rests a moment; an older request is dropped.
  hover(i2, i3) {
    if (!this.enabled || !this.panel) return;
    const t = this.trace(i2, i3);
    if (this.hovered === t) return;
    this.hovered = t;
    clearTimeout(this.hoverTimer);
    this.hoverTimer = setTimeout(() => this.fetchHover(t, i2, i3), 30);
  }

  async fetchHover(t, i2, i3) {
    if (this.hoverController) this.hoverController.abort();
    const controller = new AbortController();
    this.hoverController = controller;
    const q = new URLSearchParams({ first: t, count: 1, limit: 1 });
    this.state.pending++;
    try {
      const j = await getJson('api/headers?' + q, controller.signal);
      const values = j.rows[0].slice(1);
      const where = 'trace i2=' + i2 + (this.state.info.n[2] > 1 ? ', i3=' + i3 : '');
      this.panel.title.textContent = where;
      values.forEach((v, k) => { this.panel.table.rows[k].cells[1].textContent = valueText(v); });
      this.state.hoverKeys = { trace: t, values };
    } catch (e) {
      if (e.name === 'AbortError') return;
      this.hovered = null;
      this.failed('the trace headers', e);
    } finally {
      this.state.pending--;
      if (this.hoverController === controller) this.hoverController = null;
    }
  }

  // ---- the table of the traces in view --------------------------------------

  setupTable() {
    const details = document.getElementById('headers-panel');
    if (!this.enabled) {
      details.hidden = true;
      return;
    }
    details.hidden = false;
    details.addEventListener('toggle', () => { if (details.open) this.refresh(); });
    document.getElementById('headers-prev').addEventListener('click', () => this.move(-1));
    document.getElementById('headers-next').addEventListener('click', () => this.move(1));
    this.details = details;
  }

  // The range of traces of the main view: its traces along axis 2 at the
  // cut of axis 3.
  range() {
    const v = this.state.views[0];
    const i3 = this.state.slice[2];
    return { first: this.trace(v.f[1], i3), count: v.n[1] };
  }

  // The main view moved: the table shows its traces from the first page.
  viewChanged() {
    if (!this.enabled) return;
    const r = this.range();
    if (r.first !== this.table.first || r.count !== this.table.count) this.table.offset = 0;
    if (this.details && this.details.open) this.refresh();
  }

  move(by) {
    const t = this.table;
    const offset = t.offset + by * PAGE_ROWS;
    if (offset < 0 || offset >= t.total) return;
    t.offset = offset;
    this.refresh();
  }

  sortBy(k) {
    const t = this.table;
    if (t.sort !== k) {
      t.sort = k;
      t.order = 'asc';
    } else if (t.order === 'asc') {
      t.order = 'desc';
    } else {
      t.sort = 0;
      t.order = 'asc';
    }
    t.offset = 0;
    this.refresh();
  }

  query(extra) {
    const t = this.table;
    const q = new URLSearchParams({ first: t.first, count: t.count });
    if (t.sort > 0) {
      q.set('sort', t.sort);
      q.set('order', t.order);
    }
    for (const [k, v] of Object.entries(extra)) q.set(k, v);
    return q;
  }

  async refresh() {
    const t = this.table;
    const r = this.range();
    t.first = r.first;
    t.count = r.count;
    if (this.tableController) this.tableController.abort();
    const controller = new AbortController();
    this.tableController = controller;
    t.loading = true;
    this.state.pending++;
    const started = performance.now();
    try {
      const j = await getJson('api/headers?' + this.query({ offset: t.offset, limit: PAGE_ROWS }),
                              controller.signal);
      t.rows = j.rows;
      t.total = j.total;
      t.took = performance.now() - started;
      this.drawTable();
    } catch (e) {
      if (e.name === 'AbortError') return;
      this.failed('the trace header table', e);
    } finally {
      this.state.pending--;
      if (this.tableController === controller) {
        this.tableController = null;
        t.loading = false;
      }
    }
  }

  drawTable() {
    const t = this.table, info = this.state.info;
    const three = info.n[2] > 1;
    const table = document.getElementById('headers-table');
    table.replaceChildren();
    const head = table.createTHead().insertRow();
    const names = ['trace', 'i2'].concat(three ? ['i3'] : []);
    for (const name of names) {
      const th = document.createElement('th');
      th.textContent = name;
      th.title = 'in the traces\u2019 order';
      th.addEventListener('click', () => { if (t.sort !== 0) this.sortBy(t.sort); });
      head.append(th);
    }
    this.keys.forEach((k, i) => {
      const th = document.createElement('th');
      const mark = t.sort === i + 1 ? (t.order === 'asc' ? ' \u25b2' : ' \u25bc') : '';
      th.textContent = k.name + mark;
      th.title = 'sort by ' + k.name;
      th.dataset.key = i + 1;
      th.addEventListener('click', () => this.sortBy(i + 1));
      head.append(th);
    });
    const body = table.createTBody();
    for (const row of t.rows) {
      const tr = body.insertRow();
      const trace = row[0];
      const cells = [trace, trace % info.n[1]].concat(three ? [Math.floor(trace / info.n[1])] : []);
      for (const c of cells) tr.insertCell().textContent = String(c);
      for (const v of row.slice(1)) tr.insertCell().textContent = valueText(v);
    }
    const last = Math.min(t.total, t.offset + t.rows.length);
    document.getElementById('headers-page').textContent =
      (t.total ? t.offset + 1 : 0) + '\u2013' + last + ' of ' + t.total + ' traces in view';
    document.getElementById('headers-prev').disabled = t.offset === 0;
    document.getElementById('headers-next').disabled = last >= t.total;
    const csv = document.getElementById('headers-csv');
    csv.href = 'api/headers.csv?' + this.query({});
  }
}
