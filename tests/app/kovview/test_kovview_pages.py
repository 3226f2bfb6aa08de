# SPDX-License-Identifier: Apache-2.0
"""kovview's page when things go wrong and the displays of seismic data:
the credential stays with this server, failures show in a banner and never
as an old picture, wiggles, gain, keys and the window's size, the seismic
colour maps."""
import http.server
import os
import subprocess
import threading
import time
import urllib.request

import numpy as np
import pytest
from conftest import KOVVIEW, saved_pictures, wait_ready, write_dataset

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

from test_kovview_browser import centre_of, click_sample, pixel, ramp, window_requests, N1, N2


def open_page(driver, server, hash_=""):
    driver.get(server.url + hash_)
    return wait_ready(driver)


def banner(driver):
    return driver.execute_script(
        "const b = document.getElementById('banner'); return b.hidden ? '' : b.textContent")


def until(check, timeout=15):
    end = time.time() + timeout
    while time.time() < end:
        got = check()
        if got:
            return got
        time.sleep(0.05)
    return check()


def test_another_local_server_receives_nothing_that_grants_access(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    open_page(browser, s)
    token = s.url.rstrip("/").rsplit("/", 1)[1]
    seen = []

    class Record(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            seen.append((self.path, dict(self.headers)))
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(b"<html><body><img src='/pic.png'>other</body></html>")

        def log_message(self, *args):
            pass

    other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Record)
    thread = threading.Thread(target=other.serve_forever, daemon=True)
    thread.start()
    try:
        browser.get("http://127.0.0.1:%d/" % other.server_address[1])
        until(lambda: len(seen) >= 1)
    finally:
        other.shutdown()
        other.server_close()
    assert seen
    for path, headers in seen:
        assert "Cookie" not in headers and "cookie" not in headers, headers
        assert token not in path and token not in repr(headers), (path, headers)


def test_a_lost_server_shows_a_banner_and_the_view_keeps_its_picture(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    open_page(browser, s)
    assert banner(browser) == ""
    s.stop()
    browser.execute_script(
        "window.kovviewErrors = []; window.addEventListener('unhandledrejection',"
        " (e) => window.kovviewErrors.push(String(e.reason)));")
    # A zoom asks for a window that never comes.
    browser.execute_script("const v = window.kovview.views[0]; v.setWindow(0, 10, 30);"
                           "v.setWindow(1, 20, 50); v.load();")
    assert "does not answer" in until(lambda: banner(browser))
    v = browser.execute_script("const v = window.kovview.views[0]; return {f: v.f.slice(0, 2),"
                               " n: v.n.slice(0, 2), df: v.data.f.slice(0, 2), dn: v.data.n.slice(0, 2)}")
    assert v["f"] == v["df"] == [0, 0] and v["n"] == v["dn"] == [N1, N2], v
    # The trace fails the same way, without an uncaught error.
    failures = browser.execute_script("return window.kovview.failures")
    browser.execute_script("window.kovview.views[0].click({x: 200, y: 200})")
    assert until(lambda: browser.execute_script("return window.kovview.failures") > failures)
    assert browser.execute_script("return window.kovviewErrors") == []


def test_a_dataset_replaced_on_disk_is_told(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    open_page(browser, s)
    data = tmp_path / "r.H@"
    (tmp_path / "new@").write_bytes(data.read_bytes())
    os.replace(tmp_path / "new@", data)
    browser.execute_script("window.kovview.views[0].setWindow(0, 5, 25); window.kovview.views[0].load()")
    assert until(lambda: banner(browser)) == "the dataset changed on disk \u2014 reload"


@pytest.mark.parametrize("name", ["__proto__", "constructor", "toString"])
def test_a_colour_map_name_from_the_address_is_looked_up_among_the_maps(serve, browser, tmp_path,
                                                                       name):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    open_page(browser, s, "#cmap=" + name)
    assert browser.execute_script("return window.kovview.cmap") == "viridis"
    x, y = centre_of(browser, 0, 0, 0)
    assert pixel(browser, "view12", x, y) == (68, 1, 84)


def test_seismic_colour_maps_and_their_reversal(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    open_page(browser, s)
    Select(browser.find_element(By.ID, "cmap")).select_by_value("rwb")
    lo, hi = centre_of(browser, 0, 0, 0), centre_of(browser, 0, N1 - 1, N2 - 1)
    assert pixel(browser, "view12", *lo) == (255, 0, 0)
    assert pixel(browser, "view12", *hi) == (0, 0, 0)
    browser.find_element(By.ID, "reverse").click()
    assert pixel(browser, "view12", *lo) == (0, 0, 0)
    assert pixel(browser, "view12", *hi) == (255, 0, 0)
    Select(browser.find_element(By.ID, "cmap")).select_by_value("seismic")
    assert pixel(browser, "view12", *lo) == (255, 0, 0)
    assert pixel(browser, "view12", *hi) == (0, 0, 255)
    assert "rev=1" in browser.current_url and "cmap=seismic" in browser.current_url


def gather(n1=250, n2=48, d1=0.004):
    """A shot gather: three hyperbolic events of a Ricker wavelet."""
    t = np.arange(n1) * d1
    x = (np.arange(n2) - n2 / 2) * 25.0
    out = np.zeros((n2, n1), np.float32)
    for t0, v, a in ((0.2, 1500.0, 1.0), (0.5, 2000.0, -0.7), (0.75, 2600.0, 0.8)):
        tx = np.sqrt(t0 ** 2 + (x / v) ** 2)
        arg = (np.pi * 25.0 * (t[np.newaxis, :] - tx[:, np.newaxis])) ** 2
        out += (a * (1 - 2 * arg) * np.exp(-arg)).astype(np.float32)
    return out


def test_few_traces_are_drawn_as_wiggles_with_their_positive_lobes_filled(serve, browser, tmp_path):
    n2, n1 = 40, 60
    v = np.tile(np.sin(np.arange(n1) * 2 * np.pi / 20).astype(np.float32), (n2, 1))
    write_dataset(tmp_path, "w.H", v)
    s = serve([KOVVIEW, "w.H"])
    open_page(browser, s, "#sym=1")
    assert browser.execute_script("return window.kovview.views[0].wiggles()")
    lines = browser.execute_script("return window.kovview.views[0].wiggleLines")
    assert len(lines) == n2
    spacing = lines[1] - lines[0]
    # Sample 5 is a crest (+1), sample 15 a trough (-1): right of the line
    # is filled at a crest, left of it is not at a trough.
    _, y_crest = centre_of(browser, 0, 5, 20)
    _, y_trough = centre_of(browser, 0, 15, 20)
    x = lines[20]
    assert pixel(browser, "view12", int(x + spacing * 0.5), y_crest) == (0, 0, 0)
    assert pixel(browser, "view12", int(x - spacing * 0.5), y_trough) == (255, 255, 255)
    # A smaller excursion reaches less far.
    browser.execute_script("const e = document.getElementById('excursion'); e.value = 0.3;"
                           "e.dispatchEvent(new Event('input'));")
    assert pixel(browser, "view12", int(x + spacing * 0.5), y_crest) == (255, 255, 255)
    assert pixel(browser, "view12", int(x + spacing * 0.2), y_crest) == (0, 0, 0)
    # The colour image instead; the key w brings the wiggles back over it.
    Select(browser.find_element(By.ID, "display")).select_by_value("image")
    assert not browser.execute_script("return window.kovview.views[0].wiggles()")
    browser.find_element(By.TAG_NAME, "body").send_keys("w")
    assert browser.execute_script("return window.kovview.display") == "both"


def agc_reference(trace, d, length):
    h = int(np.floor(length / (2 * abs(d)) + 0.5))  # kovgain's half width
    out = np.zeros(len(trace))
    for i in range(len(trace)):
        w = trace[max(0, i - h):i + h + 1].astype(np.float64)
        rms = np.sqrt(np.mean(w * w))
        out[i] = trace[i] / rms if rms > 0 else 0.0
    return out


def test_the_gain_is_the_formula_of_the_manual(serve, browser, tmp_path):
    g = gather(n1=200, n2=30)
    g *= np.linspace(0.1, 5, 200)[np.newaxis, :].astype(np.float32)
    write_dataset(tmp_path, "g.H", g)  # d1=4 (axis-1 units of the header)
    s = serve([KOVVIEW, "g.H"])
    open_page(browser, s)
    rng = np.random.default_rng(7)
    trace = rng.normal(size=101).astype(np.float32)
    trace[40:50] = 0
    got = browser.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "import('./gain.js').then((m) => { const t = Float32Array.from(arguments[0]);"
        " const direct = (u, o, d, p) => Array.from(u, (v, i) =>"
        "   Math.fround(v * (o + d * i > 0 ? Math.pow(o + d * i, p) : 0)));"
        " const u = t.subarray(0, 57);"
        " const again = [m.tpower(t, 0, 0.004, 2), m.tpower(u, 0.1, 0.004, 1.5),"
        "   m.tpower(u, 0.1, 0.004, 2), m.tpower(t, -0.02, 0.004, 2), m.tpower(t, 0, 0.004, 2)];"
        " const want = [direct(t, 0, 0.004, 2), direct(u, 0.1, 0.004, 1.5),"
        "   direct(u, 0.1, 0.004, 2), direct(t, -0.02, 0.004, 2), direct(t, 0, 0.004, 2)];"
        " done({agc: Array.from(m.agc(t, 0.004, 0.06)), tp: Array.from(m.tpower(t, 0, 0.004, 2)),"
        " tpSame: again.every((a, k) => a.every((v, i) => Object.is(v, want[k][i]))),"
        " rms: Array.from(m.normalise(t, 'rms')), max: Array.from(m.normalise(t, 'max'))}); });",
        trace.tolist())
    # The power of time of traces one after another, on axes that change:
    # Math.pow's values each time, bit for bit.
    assert got["tpSame"]
    np.testing.assert_allclose(got["agc"], agc_reference(trace, 0.004, 0.06), rtol=1e-5, atol=1e-6)
    tt = np.arange(101) * 0.004
    np.testing.assert_allclose(got["tp"], trace * tt ** 2, rtol=1e-5, atol=1e-9)
    np.testing.assert_allclose(got["rms"], trace / np.sqrt(np.mean(trace.astype(np.float64) ** 2)),
                               rtol=1e-5)
    np.testing.assert_allclose(got["max"], trace / np.abs(trace).max(), rtol=1e-6)
    # The page's AGC of its traces: window 40 axis-1 units, 11 samples.
    browser.execute_script("const a = document.getElementById('agc'); a.value = '40';"
                           "a.dispatchEvent(new Event('change'));")
    Select(browser.find_element(By.ID, "gain")).select_by_value("agc")
    shown = np.array(browser.execute_script(
        "const v = window.kovview.views[0]; return [v.data.rows, v.data.cols, Array.from(v.shown())]"
    )[2], dtype=np.float64).reshape(200, 30)
    for c in (0, 13, 29):
        np.testing.assert_allclose(shown[:, c], agc_reference(g[c], 4, 40), rtol=1e-4, atol=1e-5)
    assert "gain=agc" in browser.current_url


def test_the_pages_agc_is_kovgains(serve, browser, tmp_path):
    """The page's AGC of the traces it holds against kovgain agc= of the
    same dataset: loud samples, a sample that is not a number, a trace of
    zeros, windows cut at the ends."""
    kovgain = os.environ.get("KOVGAIN", "")
    if not kovgain:
        pytest.skip("kovgain was not built")
    g = gather(n1=300, n2=40)
    g *= np.linspace(0.1, 5, 300)[np.newaxis, :].astype(np.float32)
    g[5, 100] = 3e15   # loud: a running sum would lose the samples after it
    g[6, 150:] *= 1e-12
    g[7, 20] = np.nan
    g[8] = 0
    write_dataset(tmp_path, "g.H", g)  # d1=4 axis-1 units
    for window in ("40", "250"):
        subprocess.run(f"'{kovgain}' agc={window} < g.H > a.H", shell=True, check=True,
                       cwd=tmp_path, stdin=subprocess.DEVNULL,
                       env=dict(os.environ, DATAPATH=str(tmp_path) + "/"))
        want = np.fromfile(tmp_path / "a.H@", dtype=">f4").reshape(40, 300).astype(np.float32)
        s = serve([KOVVIEW, "g.H"])
        open_page(browser, s, "#gain=agc&agc=" + window)
        rows, cols, values = browser.execute_script(
            "const v = window.kovview.views[0]; return [v.data.rows, v.data.cols, Array.from(v.shown())]")
        assert (rows, cols) == (300, 40)
        got = np.array([np.nan if v is None else v for v in values], np.float32).reshape(300, 40).T
        np.testing.assert_allclose(got, want, rtol=2e-7, atol=0, equal_nan=True)
        s.stop()


def test_keys_move_the_view_and_the_page_follows_the_window_size(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    state = open_page(browser, s)
    body = browser.find_element(By.TAG_NAME, "body")
    body.send_keys("+")
    state = wait_ready(browser, state["fetches"])
    n = browser.execute_script("return window.kovview.views[0].n.slice(0, 2)")
    assert n[0] < N1 and n[1] < N2, n
    f = browser.execute_script("return window.kovview.views[0].f.slice(0, 2)")
    body.send_keys(Keys.ARROW_RIGHT)
    state = wait_ready(browser, state["fetches"])
    assert browser.execute_script("return window.kovview.views[0].f[1]") > f[1]
    body.send_keys("r")
    wait_ready(browser, state["fetches"])
    assert browser.execute_script("return window.kovview.views[0].n.slice(0, 2)") == [N1, N2]
    body.send_keys("g")
    assert browser.execute_script("return window.kovview.gain") == "agc"
    # Smaller: the views shrink, the page has no scroll bars.
    before = browser.execute_script("return document.getElementById('view12').width")
    browser.set_window_size(800, 457)
    inner = browser.execute_script("return [window.innerWidth, window.innerHeight]")
    browser.set_window_size(800 + 800 - inner[0], 457 + 457 - inner[1])
    until(lambda: browser.execute_script("return document.getElementById('view12').width") < before)
    time.sleep(0.3)
    size = browser.execute_script(
        "const e = document.documentElement, v = document.getElementById('view12').getBoundingClientRect();"
        "return {sw: e.scrollWidth, cw: e.clientWidth, sh: e.scrollHeight, ch: e.clientHeight,"
        " right: v.right, bottom: v.bottom, iw: window.innerWidth, ih: window.innerHeight}")
    assert size["right"] <= size["iw"] and size["bottom"] <= size["ih"], size


def test_the_trace_title_names_every_coordinate(serve, browser, tmp_path):
    n1, n2, n3 = 30, 20, 10
    write_dataset(tmp_path, "c.H", np.zeros((n3, n2, n1), np.float32))
    s = serve([KOVVIEW, "c.H"])
    open_page(browser, s)
    browser.execute_script("window.kovview.views[0].click({x: 150, y: 100})")
    title = until(lambda: browser.execute_script(
        "return window.kovview.trace && window.kovview.trace.title"))
    assert "x = " in title and "y = " in title, title


def test_a_gather_in_wiggles(serve, browser, tmp_path):
    """The picture of the README: a shot gather drawn as wiggles."""
    g = gather()
    data = tmp_path / "shot.H@"
    g.astype(">f4").tofile(data)
    (tmp_path / "shot.H").write_text(
        'n1=250 o1=0 d1=0.004 label1="time" unit1=s n2=48 o2=-600 d2=25 label2="offset" '
        f'unit2=m data_format="xdr_float" esize=4 in="{data}"\n')
    s = serve([KOVVIEW, "shot.H"])
    browser.set_window_size(1100, 640)
    open_page(browser, s, "#sym=1&display=wiggle")
    assert browser.execute_script("return window.kovview.views[0].wiggles()")
    out = os.environ.get("KOVVIEW_ARTIFACTS") or str(tmp_path)
    os.makedirs(out, exist_ok=True)
    browser.save_screenshot(os.path.join(out, "kovview-wiggle.png"))


def test_an_overview_of_data_around_zero_keeps_short_period_events(serve, browser, tmp_path):
    """Flat events of period 5 samples, 2000 samples down: a mean over the
    cells of a screen would show them at a fraction of their amplitude."""
    n1, n2 = 2000, 30
    v = np.tile(np.sin(2 * np.pi * np.arange(n1) / 5).astype(np.float32), (n2, 1))
    write_dataset(tmp_path, "e.H", v)
    s = serve([KOVVIEW, "e.H"])
    open_page(browser, s)
    until(lambda: browser.execute_script("return window.kovview.views[0].data.rows") < n1)
    wait_ready(browser)
    values = np.array(browser.execute_script("return Array.from(window.kovview.views[0].data.values)"))
    assert np.abs(values).min() > 0.9, np.abs(values).min()
    Select(browser.find_element(By.ID, "overview")).select_by_value("mean")
    time.sleep(0.3)
    wait_ready(browser)
    values = np.array(browser.execute_script("return Array.from(window.kovview.views[0].data.values)"))
    assert np.median(np.abs(values)) < 0.45 and np.abs(values).max() < 0.6
    assert "ov=mean" in browser.current_url


def test_data_judged_of_one_sign_get_their_peaks_when_the_picture_spans_zero(serve, browser,
                                                                            tmp_path):
    """The server judges the sign of the data on 64 traces spread over them
    (every fourth of 300 here) and the page asks for the first mean without
    the peaks; a trace between those judged that makes the picture span
    zero gets the view read again for its peaks."""
    n1, n2 = 2000, 300
    v = np.tile((2 + np.sin(2 * np.pi * np.arange(n1) / 5)).astype(np.float32), (n2, 1))
    v[9] = -v[9]
    write_dataset(tmp_path, "e.H", v)
    s = serve([KOVVIEW, "e.H"])
    open_page(browser, s)
    assert browser.execute_script("return window.kovview.info.one_sign") is True
    asked = until(lambda: (lambda a: a if len(a) == 2 else None)(window_requests(browser)))
    assert asked and "also=peak" not in asked[0] and "overview=mean" in asked[0], asked
    assert "overview=peak" in asked[1], asked
    wait_ready(browser, fetches=1)
    data = browser.execute_script(
        "const d = window.kovview.views[0].data; return {rows: d.rows, cols: d.cols,"
        " values: Array.from(d.values)}")
    assert data["cols"] == n2 and data["rows"] < n1
    # The server's peak overview of the window, each cell's sample of
    # largest magnitude, of its sign.
    query = asked[1].split("?", 1)[1]
    with urllib.request.urlopen(s.url + "api/window?" + query) as r:
        peak = np.frombuffer(r.read(), dtype="<f4")
    assert np.array_equal(np.array(data["values"], dtype=np.float32), peak)
    values = peak.reshape(data["rows"], n2)
    assert values[:, 9].max() <= -2 and np.delete(values, 9, axis=1).min() >= 2
    assert np.abs(values).max() > 2.9


def test_save_picture_of_a_cube_holds_its_three_views(serve, browser, tmp_path):
    n1, n2, n3 = 30, 20, 10
    write_dataset(tmp_path, "c.H", np.arange(n1 * n2 * n3, dtype=np.float32).reshape(n3, n2, n1))
    s = serve([KOVVIEW, "c.H"])
    open_page(browser, s)
    browser.find_element(By.ID, "save").click()
    saved = saved_pictures(tmp_path / "downloads")
    assert len(saved) == 1
    import struct
    width, height = struct.unpack(">II", saved[0].read_bytes()[16:24])
    sizes = browser.execute_script(
        "return window.kovview.views.map((v) => [v.canvas.width, v.canvas.height])")
    assert width >= sizes[0][0] + sizes[1][0] and height >= sizes[0][1] + sizes[2][1], \
        (width, height, sizes)


def test_each_view_of_a_cube_has_its_clip_and_colour_bar_or_one_over_all(serve, browser, tmp_path):
    from test_kovview_browser import VIRIDIS, expected
    n3, n2, n1 = 6, 7, 8
    cube = np.fromfunction(lambda i3, i2, i1: i1 + 10 * i2 + 1000 * i3, (n3, n2, n1))
    write_dataset(tmp_path, "c.H", cube)
    s = serve([KOVVIEW, "c.H"])
    open_page(browser, s)
    i1, i2, i3 = browser.execute_script("return window.kovview.slice")
    cuts = {"view12": cube[i3], "view13": cube[:, i2, :], "view23": cube[:, :, i1]}  # [across][down]

    def check(clips):
        got = browser.execute_script("return window.kovview.views.map((v) => v.clip)")
        for k, (name, cut) in enumerate(cuts.items()):
            lo, hi = clips[name]
            assert got[k] == {"lo": lo, "hi": hi}, (name, got[k])
            # A sample in the view's own clip, and the top of its colour bar.
            for down, across in ((0, 0), (cut.shape[1] - 1, cut.shape[0] - 1), (1, 1)):  # off the cross
                x, y = centre_of(browser, k, down, across)
                want = expected(VIRIDIS, (cut[across, down] - lo) / (hi - lo))
                assert all(abs(a - b) <= 1 for a, b in zip(pixel(browser, name, x, y), want)), \
                    (name, down, across)
            bar = browser.execute_script(
                "const p = window.kovview.views[arguments[0]].plot;"
                "return [p.x + p.w + 24, p.y + 2, p.h]", k)
            want = expected(VIRIDIS, 1 - 2.5 / bar[2])
            assert all(abs(a - b) <= 1 for a, b in zip(pixel(browser, name, bar[0], bar[1]), want))

    check({name: (cut.min(), cut.max()) for name, cut in cuts.items()})
    Select(browser.find_element(By.ID, "clipscope")).select_by_value("all")
    every = min(c.min() for c in cuts.values()), max(c.max() for c in cuts.values())
    check({name: every for name in cuts})
    assert "cs=all" in browser.current_url
    browser.get("about:blank")
    browser.get(s.url + "#cs=all")
    wait_ready(browser)
    check({name: every for name in cuts})


def test_a_section_has_no_choice_of_clip_over_views(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    open_page(browser, s)
    assert not browser.find_element(By.ID, "clipscope-label").is_displayed()
