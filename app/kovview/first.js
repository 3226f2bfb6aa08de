// SPDX-License-Identifier: Apache-2.0
// kovview's first window, asked for as soon as the page's text and style
// are in, while its modules are still on their way.  It reads the
// description of the dataset that the server put into the page, and asks
// for the window the main view of a section asks for first, computed as
// the modules compute it (kovview.js layout(), views.js View.load()).  The
// modules take its answer when their first request is the same text, and
// drop it otherwise (the server then stops its reading for the newer
// request of the view), so that this script can only ever save time.  A
// cube waits for the modules: its sliders change the layout.  A classic
// script inside the page, named by its hash in the page's
// Content-Security-Policy.
(() => {
  'use strict';
  let info;
  try {
    info = JSON.parse(document.getElementById('kovview-info').textContent);
  } catch (e) {
    return; // the modules ask the server
  }
  const first = { info, client: Math.floor(Math.random() * 4294967296) };
  window.kovviewFirst = first;
  if (!Array.isArray(info.n) || info.n[2] !== 1) return;

  // The state the address keeps (kovview.js loadState()).
  const h = new URLSearchParams(location.hash.slice(1));
  let overview = 'auto';
  if (['mean', 'rms', 'peak'].includes(h.get('ov'))) overview = h.get('ov');
  const n = [info.n[0], info.n[1]], f = [0, 0];
  if (h.has('w12')) {
    const w = h.get('w12').split(',').map(Number);
    // A window the view would move into the data: left to the modules.
    if (!(w.length === 4 && w.every(Number.isInteger) && w[0] >= 0 && w[1] >= 1 &&
          w[0] + w[1] <= n[0] && w[2] >= 0 && w[3] >= 1 && w[2] + w[3] <= n[1]))
      return;
    [f[0], n[0], f[1], n[1]] = w;
  }

  // The layout of a section (kovview.js layout()): the title and the
  // trace headers' menu are in the header first, as the modules put them.
  const keys = Array.isArray(info.keys) && info.keys.length > 0;
  document.getElementById('title').textContent = info.title || 'kovview';
  document.getElementById('headers-panel').hidden = !keys;
  const top = document.getElementById('views').getBoundingClientRect().top + window.scrollY;
  const below = document.getElementById('readout').offsetHeight + 30;
  const W = Math.max(320, document.documentElement.clientWidth - 24);
  const H = Math.max(200, window.innerHeight - top - below);
  const tw = Math.min(220, Math.floor(W / 4));
  // A canvas keeps whole pixels; the plot is inside its margins (views.js).
  const width = Math.trunc(W - tw - (keys ? 178 : 0) - 10), height = Math.trunc(H);
  const rows = Math.max(1, Math.min(4096, Math.round(height - 34 - 44)));
  const cols = Math.max(1, Math.min(4096, Math.round(width - 72 - 96)));

  // The query, name for name in the order of View.load().
  const q = new URLSearchParams();
  q.set('axes', '12');
  q.set('f1', f[0]);
  q.set('n1', n[0]);
  q.set('f2', f[1]);
  q.set('n2', n[1]);
  q.set('f3', 0);
  q.set('rows', rows);
  q.set('cols', cols);
  q.set('overview', overview === 'auto' ? 'mean' : overview);
  if (overview === 'auto' && info.one_sign !== true) q.set('also', 'peak');
  q.set('view', 0);
  q.set('client', first.client);
  first.seq = 1;
  q.set('seq', first.seq);
  first.query = q.toString();
  first.controller = new AbortController();
  first.response = fetch('api/window?' + first.query, { signal: first.controller.signal });
  first.response.catch(() => {}); // a failure is the modules' to report, or nobody's
})();
