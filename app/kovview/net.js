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
  let res;
  try {
    res = await fetch(path, options);
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
  const res = await checked('api/window?' + query, { signal });
  const buffer = await res.arrayBuffer();
  const rows = +res.headers.get('X-Kov-Rows'), cols = +res.headers.get('X-Kov-Cols');
  const values = new Float32Array(buffer);
  if (values.length !== rows * cols) throw new RequestError(res.status, 'a short answer');
  return { values, rows, cols };
}

// A window as JSON (NaN for missing samples).
export async function getWindowJson(query) {
  const j = await getJson('api/window?' + query);
  return { values: j.values.map((v) => (v === null ? NaN : v)), rows: j.rows, cols: j.cols };
}
