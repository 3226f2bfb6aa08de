// SPDX-License-Identifier: Apache-2.0
// kovview's requests to its server.  The page's address is /<token>/: the
// requests, relative to it, carry the token in their paths.  A request
// that fails throws a RequestError with the server's own message.

export class RequestError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status; // 0 when the server did not answer
  }
}

async function checked(path, options) {
  return answered(fetch(path, options));
}

// The answer of a request made (`response`, fetch's promise), or the
// RequestError of its failure.
async function answered(response) {
  let res;
  try {
    res = await response;
  } catch (e) {
    if (e.name === 'AbortError') throw e;
    throw new RequestError(0, 'the server does not answer (' + e.message + ')');
  }
  if (!res.ok) {
    let message = res.statusText || 'error';
    try {
      const j = await res.json();
      if (j && typeof j.error === 'string') message = j.error;
    } catch (e) {
      // not JSON: the status text stands
    }
    throw new RequestError(res.status, message);
  }
  return res;
}

export async function getJson(path, signal) {
  return (await checked(path, { signal })).json();
}

export async function getText(path) {
  return (await checked(path)).text();
}

// A window of the dataset (the query of api/window) as rows x cols values,
// across fastest.
export async function getWindow(query, signal) {
  return windowOf(await checked('api/window?' + query, { signal }));
}

async function windowOf(res) {
  const buffer = await res.arrayBuffer();
  const rows = +res.headers.get('X-Kov-Rows'), cols = +res.headers.get('X-Kov-Cols');
  const values = new Float32Array(buffer);
  if (values.length !== rows * cols) throw new RequestError(res.status, 'a short answer');
  return { values, rows, cols };
}

// The answer of the window the page's first script asked for before the
// modules ran (first.js), when `query` (URLSearchParams) is that request
// but for its number (seq), which is the next; otherwise null, and that
// request is dropped (the server stops its reading when the view's own
// request, numbered after it, comes).  `signal` aborts it as it aborts the
// view's own requests.
export function firstWindow(query, signal) {
  const first = window.kovviewFirst;
  if (!first || !first.response || first.taken) return null;
  first.taken = true;
  const same = new URLSearchParams(query);
  same.set('seq', first.seq);
  if (first.query !== same.toString()) {
    first.controller.abort();
    return null;
  }
  if (signal.aborted) first.controller.abort();
  signal.addEventListener('abort', () => first.controller.abort());
  return answered(first.response).then(windowOf);
}

// The description of the dataset that the server put into the page, or
// null.
export function pageInfo() {
  if (window.kovviewFirst) return window.kovviewFirst.info;
  try {
    return JSON.parse(document.getElementById('kovview-info').textContent);
  } catch (e) {
    return null;
  }
}

// A window as JSON (NaN for missing samples).
export async function getWindowJson(query) {
  const j = await getJson('api/window?' + query);
  return { values: j.values.map((v) => (v === null ? NaN : v)), rows: j.rows, cols: j.cols };
}
