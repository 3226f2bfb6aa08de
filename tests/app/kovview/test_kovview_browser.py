# SPDX-License-Identifier: Apache-2.0
"""kovview in a real browser (headless Chromium): the drawn pixels follow
the colour map, a dragged rectangle and the wheel zoom, a drag with Shift
pans, the colour map and the clip redraw without the server, a click shows
the trace, the slices of a cube move, the view survives in the page's
address, and "Save picture" saves what the view shows."""
import base64
import os
import struct
import time

import numpy as np
import pytest
from conftest import KOVVIEW, VELMODEL, saved_pictures, wait_ready, write_dataset, write_keyed

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

# kovpng's colour maps, as points from 0 to 1.
VIRIDIS = [
    (68, 1, 84), (72, 13, 96), (72, 24, 106), (72, 34, 115), (71, 44, 122), (69, 55, 129),
    (67, 64, 134), (64, 74, 137), (59, 81, 139), (57, 91, 141), (52, 99, 142), (48, 107, 142),
    (44, 113, 142), (39, 122, 142), (35, 129, 141), (33, 137, 140), (33, 144, 141), (31, 152, 138),
    (33, 159, 135), (36, 166, 132), (39, 173, 129), (50, 181, 123), (61, 188, 116), (74, 194, 107),
    (92, 200, 99), (108, 206, 86), (128, 211, 73), (149, 216, 60), (170, 220, 50), (194, 223, 37),
    (216, 226, 29), (236, 229, 27), (253, 231, 37)]
GRAY = [(0, 0, 0), (255, 255, 255)]


def expected(table, t):
    t = min(max(t, 0.0), 1.0) * (len(table) - 1)
    i = min(int(t), len(table) - 2)
    f = t - i
    return tuple(int(np.floor(a + (b - a) * f + 0.5)) for a, b in zip(table[i], table[i + 1]))


N1, N2 = 60, 80


def ramp():
    i1 = np.arange(N1)[np.newaxis, :]
    i2 = np.arange(N2)[:, np.newaxis]
    return (i1 + N1 * i2).astype(np.float32)  # [i2][i1]


def pixel(driver, canvas_id, x, y):
    return tuple(driver.execute_script(
        "const d = document.getElementById(arguments[0]).getContext('2d')"
        ".getImageData(arguments[1], arguments[2], 1, 1).data; return [d[0], d[1], d[2]];",
        canvas_id, x, y))


def centre_of(driver, view, i1, i2):
    """The canvas pixel at the centre of sample (i1, i2) of the main view."""
    return driver.execute_script(
        "const v = window.kovview.views[arguments[0]], p = v.plot;"
        "return [Math.floor(p.x + (arguments[2] - v.f[v.across] + 0.5) / v.n[v.across] * p.w),"
        "        Math.floor(p.y + (arguments[1] - v.f[v.down] + 0.5) / v.n[v.down] * p.h)];",
        view, i1, i2)


def at_pixel(driver, x, y):
    """Actions that begin with the pointer on canvas pixel (x, y) of the main view."""
    canvas = driver.find_element(By.ID, "view12")
    w, h = canvas.size["width"], canvas.size["height"]
    return ActionChains(driver).move_to_element_with_offset(canvas, x - w // 2, y - h // 2)


def click_sample(driver, i1, i2):
    """Clicks the centre of sample (i1, i2) of the main view and waits for its trace."""
    at_pixel(driver, *centre_of(driver, 0, i1, i2)).click().perform()
    end = time.time() + 20
    while time.time() < end and not driver.execute_script("return !!window.kovview.trace"):
        time.sleep(0.05)


def check_colours(driver, table, lo, hi, samples):
    for i1, i2 in samples:
        x, y = centre_of(driver, 0, i1, i2)
        got = pixel(driver, "view12", x, y)
        want = expected(table, (i1 + N1 * i2 - lo) / (hi - lo))
        assert all(abs(g - w) <= 1 for g, w in zip(got, want)), (i1, i2, got, want)


def open_page(driver, server, hash_=""):
    driver.get(server.url + hash_)
    return wait_ready(driver)


def test_the_section_is_drawn_in_the_colour_map(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    open_page(browser, s)
    info = browser.execute_script("return window.kovview.info")
    assert info["n"] == [N1, N2, 1]
    clip = browser.execute_script("return window.kovview.clip")
    assert clip == {"lo": 0, "hi": N1 * N2 - 1}
    check_colours(browser, VIRIDIS, 0, N1 * N2 - 1, [(0, 0), (59, 79), (30, 40), (7, 61)])
    # Axis 1 down, axis 2 across, in coordinates: o2=100 d2=12.5.
    ticks = browser.execute_script("return window.kovview.views[0].ticksAcross")
    assert min(ticks) >= 100 and max(ticks) <= 100 + 12.5 * (N2 - 1)
    ticks = browser.execute_script("return window.kovview.views[0].ticksDown")
    assert min(ticks) >= 0 and max(ticks) <= 4 * (N1 - 1)
    assert browser.find_element(By.ID, "history").get_attribute("textContent").startswith("n1=60")


def test_samples_that_are_not_finite_are_grey_and_the_others_keep_their_colours(serve, browser,
                                                                                 tmp_path):
    values = ramp()
    values[40, 30] = np.nan
    values[41, 30] = np.inf
    values[42, 30] = -np.inf
    write_dataset(tmp_path, "r.H", values)
    s = serve([KOVVIEW, "r.H"])
    open_page(browser, s)
    for i2 in (40, 41, 42):
        assert pixel(browser, "view12", *centre_of(browser, 0, 30, i2)) == (128, 128, 128)
    check_colours(browser, VIRIDIS, 0, N1 * N2 - 1, [(0, 0), (59, 79), (29, 40), (31, 42)])
    # Reversed, the same pixels from the other end of the map.
    browser.find_element(By.ID, "reverse").click()
    check_colours(browser, VIRIDIS[::-1], 0, N1 * N2 - 1, [(0, 0), (59, 79), (29, 40)])
    assert pixel(browser, "view12", *centre_of(browser, 0, 30, 40)) == (128, 128, 128)


def test_a_dragged_rectangle_zooms_and_the_address_keeps_it(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    state = open_page(browser, s)
    x0, y0 = centre_of(browser, 0, 10, 20)
    x1, y1 = centre_of(browser, 0, 29, 49)
    at_pixel(browser, x0, y0).click_and_hold().move_by_offset((x1 - x0) // 2, (y1 - y0) // 2) \
        .move_by_offset(x1 - x0 - (x1 - x0) // 2, y1 - y0 - (y1 - y0) // 2).release().perform()
    wait_ready(browser, state["fetches"])
    v = browser.execute_script("const v = window.kovview.views[0]; return {f: v.f, n: v.n, "
                               "data: {f: v.data.f, n: v.data.n, rows: v.data.rows, "
                               "cols: v.data.cols}}")
    assert v["f"][:2] == [10, 20] and v["n"][:2] == [20, 30], v
    assert v["data"]["f"][:2] == [10, 20] and v["data"]["n"][:2] == [20, 30]
    assert (v["data"]["rows"], v["data"]["cols"]) == (20, 30)
    ticks = browser.execute_script("return window.kovview.views[0].ticksAcross")
    assert min(ticks) >= 100 + 12.5 * 20 and max(ticks) <= 100 + 12.5 * 49
    # The colours keep the clip of the new window's samples.
    clip = browser.execute_script("return window.kovview.clip")
    assert clip == {"lo": 10 + N1 * 20, "hi": 29 + N1 * 49}
    check_colours(browser, VIRIDIS, clip["lo"], clip["hi"], [(10, 20), (29, 49), (15, 33)])
    # A bookmark of the address shows the same window.
    url = browser.current_url
    assert "w12=10%2C20%2C20%2C30" in url or "w12=10,20,20,30" in url, url
    browser.get("about:blank")
    browser.get(url)
    wait_ready(browser)
    assert browser.execute_script("return window.kovview.views[0].f.slice(0, 2)") == [10, 20]
    # The wheel zooms out about the cursor; Reset shows the whole section.
    state = wait_ready(browser)
    browser.find_element(By.ID, "reset").click()
    wait_ready(browser, state["fetches"])
    assert browser.execute_script("return window.kovview.views[0].n.slice(0, 2)") == [N1, N2]


def window_requests(driver):
    return driver.execute_script(
        "return performance.getEntriesByType('resource').map((e) => e.name)"
        ".filter((n) => n.includes('/api/window?'))")


@pytest.mark.parametrize("keys", [False, True])
@pytest.mark.parametrize("address", ["", "#ov=rms&w12=10,30,20,40", "#w12=50,30,0,80"])
def test_the_first_window_is_asked_for_once_by_the_pages_first_script(serve, browser, tmp_path,
                                                                     address, keys):
    # A section; with trace headers, whose panel narrows the view.
    if keys:
        write_keyed(tmp_path, "r.H", N1, N2)
    else:
        write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    browser.get(s.url + address)
    wait_ready(browser)
    asked = window_requests(browser)
    assert len(asked) == 1, asked
    first = browser.execute_script(
        "const f = window.kovviewFirst; return {query: f.query || null, taken: !!f.taken}")
    v = window_of(browser)
    if address == "#w12=50,30,0,80":
        # A window beyond the data is moved into it by the view: the first
        # script leaves it to the modules, which ask once.
        assert first["query"] is None
        assert v == {"f": [30, 0], "n": [30, 80]}, v
        return
    # The one request is the first script's, and the view took its answer.
    assert first["taken"] and asked[0].endswith("/api/window?" + first["query"]), (asked, first)
    want = {"f": [10, 20], "n": [30, 40]} if address else {"f": [0, 0], "n": [N1, N2]}
    assert v == want
    data = browser.execute_script("const d = window.kovview.views[0].data;"
                                  "return {f: d.f.slice(0, 2), n: d.n.slice(0, 2)}")
    assert data == want
    assert ("overview=rms" in asked[0]) == bool(address)


def window_of(driver):
    return driver.execute_script("const v = window.kovview.views[0]; "
                                 "return {f: v.f.slice(0, 2), n: v.n.slice(0, 2)}")


def sample_at(driver, x, y):
    """The fractional sample (i1, i2) under canvas pixel (x, y) of the main view."""
    i = driver.execute_script("const i = window.kovview.views[0].indexAt(arguments[0], arguments[1]);"
                              "return [i.down, i.across];", x, y)
    return tuple(i)


def test_the_wheel_zooms_about_the_cursor_and_a_shift_drag_pans(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    state = open_page(browser, s)
    canvas = browser.find_element(By.ID, "view12")
    w, h = canvas.size["width"], canvas.size["height"]
    x, y = centre_of(browser, 0, 20, 40)
    before = sample_at(browser, x, y)
    for _ in range(3):
        ActionChains(browser).scroll_from_origin(
            ScrollOrigin.from_element(canvas, x - w // 2, y - h // 2), 0, -120).perform()
        time.sleep(0.1)
    state = wait_ready(browser, state["fetches"])
    win = window_of(browser)
    # Three steps of 0.8, each window's ends rounded out to whole samples.
    for k, n in enumerate((N1, N2)):
        most = n
        for _ in range(3):
            most = most * 0.8 + 2
        assert n * 0.8 ** 3 <= win["n"][k] <= most, win
    after = sample_at(browser, x, y)
    assert all(abs(a - b) < 1.5 for a, b in zip(after, before)), (before, after)
    # The address keeps it: first and count along axis 1, then axis 2.
    kept = (win["f"][0], win["n"][0], win["f"][1], win["n"][1])
    assert "w12=%d%%2C%d%%2C%d%%2C%d" % kept in browser.current_url or \
        "w12=%d,%d,%d,%d" % kept in browser.current_url, browser.current_url
    # Shift and drag: the sample under the pointer goes with it.
    grabbed = sample_at(browser, x, y)
    dx, dy = -60, -40
    at_pixel(browser, x, y).key_down(Keys.SHIFT).click_and_hold() \
        .move_by_offset(dx // 2, dy // 2).move_by_offset(dx - dx // 2, dy - dy // 2).release() \
        .key_up(Keys.SHIFT).perform()
    wait_ready(browser, state["fetches"])
    moved = window_of(browser)
    assert moved["n"] == win["n"], (win, moved)
    assert moved["f"][0] > win["f"][0] and moved["f"][1] > win["f"][1], (win, moved)
    assert all(abs(a - b) < 1.5 for a, b in zip(sample_at(browser, x + dx, y + dy), grabbed))
    clip = browser.execute_script("return window.kovview.clip")
    check_colours(browser, VIRIDIS, clip["lo"], clip["hi"], [(moved["f"][0] + 1, moved["f"][1] + 1)])


def test_save_picture_saves_what_the_view_shows(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    open_page(browser, s)
    browser.find_element(By.ID, "save").click()
    saved = saved_pictures(tmp_path / "downloads")
    assert len(saved) == 1 and saved[0].name.endswith("r.png"), saved
    data = saved[0].read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    canvas = browser.execute_script("const c = document.getElementById('view12'); "
                                    "return [c.width, c.height, c.toDataURL('image/png')]")
    assert (width, height) == (canvas[0], canvas[1])
    assert data == base64.b64decode(canvas[2].split(",", 1)[1])


def test_colour_map_and_clip_redraw_without_the_server(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    state = open_page(browser, s)
    Select(browser.find_element(By.ID, "cmap")).select_by_value("gray")
    check_colours(browser, GRAY, 0, N1 * N2 - 1, [(0, 0), (59, 79), (30, 40)])
    lo, hi = 1000.0, 3000.0
    browser.find_element(By.ID, "min").send_keys("1000")
    browser.find_element(By.ID, "max").send_keys("3000")
    assert browser.execute_script("return window.kovview.clip") == {"lo": lo, "hi": hi}
    check_colours(browser, GRAY, lo, hi, [(0, 0), (59, 79), (30, 30), (10, 25)])
    for field in ("min", "max"):
        browser.find_element(By.ID, field).send_keys(Keys.BACKSPACE * 4)
    # The percentile slider: the middle 90% of the samples.
    browser.execute_script("const p = document.getElementById('pclip'); p.value = 90;"
                           "p.dispatchEvent(new Event('input'));")
    values = np.sort(ramp().ravel())
    k = lambda q: values[int(np.floor(q * (values.size - 1) + 0.5))]
    clip = browser.execute_script("return window.kovview.clip")
    assert clip == {"lo": k(0.05), "hi": k(0.95)}
    browser.find_element(By.ID, "symmetric").click()
    clip = browser.execute_script("return window.kovview.clip")
    assert clip == {"lo": -k(0.9), "hi": k(0.9)}
    assert browser.execute_script("return window.kovview.fetches") == state["fetches"]
    assert "cmap=gray" in browser.current_url and "sym=1" in browser.current_url


def test_a_click_shows_the_trace_beside_the_section(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", ramp())
    s = serve([KOVVIEW, "r.H"])
    open_page(browser, s)
    click_sample(browser, 12, 33)
    t = browser.execute_script("const t = window.kovview.trace; return {index: t.index, "
                               "values: t.values, range: t.range}")
    assert t["index"] == 33
    assert t["values"] == [float(i1 + N1 * 33) for i1 in range(N1)]
    # The read-out names the sample under the cursor.
    readout = browser.find_element(By.ID, "readout").text
    assert "i1=12" in readout and "i2=33" in readout and "value=" + str(12 + N1 * 33) in readout
    # The curve: a sample's value sets its distance from the left of the plot.
    for i1 in (0, 30, 59):
        px, py = browser.execute_script(
            "const t = window.kovview.trace, p = t.plot; const v = t.values[arguments[0]];"
            "return [Math.round(p.x + (v - t.range.lo) / (t.range.hi - t.range.lo) * p.w),"
            "        Math.floor(p.y + (arguments[0] + 0.5) / t.values.length * p.h)];", i1)
        near = [pixel(browser, "trace", px + dx, py) for dx in (-1, 0, 1)]
        assert any(c[2] > 150 and c[0] < 120 for c in near), (i1, near)


def test_the_slices_of_a_cube_move_together(serve, browser, tmp_path):
    n1, n2, n3 = 30, 20, 10
    v = (np.arange(n1)[np.newaxis, np.newaxis, :] + n1 * np.arange(n2)[np.newaxis, :, np.newaxis]
         + n1 * n2 * np.arange(n3)[:, np.newaxis, np.newaxis]).astype(np.float32)
    write_dataset(tmp_path, "c.H", v)
    s = serve([KOVVIEW, "c.H"])
    state = open_page(browser, s)
    assert len(browser.find_elements(By.CSS_SELECTOR, "canvas.section")) == 3
    assert browser.execute_script("return window.kovview.slice") == [15, 10, 5]
    slider = browser.find_element(By.ID, "slice3")
    browser.execute_script("arguments[0].value = 7; arguments[0].dispatchEvent(new Event('input'));",
                           slider)
    state = wait_ready(browser, state["fetches"])
    d = browser.execute_script("const d = window.kovview.views[0].data; "
                               "return {slice: d.slice, rows: d.rows, cols: d.cols, "
                               "values: Array.from(d.values)}")
    assert d["slice"] == 7 and (d["rows"], d["cols"]) == (n1, n2)
    assert d["values"] == [float(i1 + n1 * i2 + n1 * n2 * 7) for i1 in range(n1) for i2 in range(n2)]
    # A click in the 1-2 view moves the cross-hair: the 1-3 view cuts at
    # i2, the 2-3 view at i1.
    at_pixel(browser, *centre_of(browser, 0, 4, 13)).click().perform()
    wait_ready(browser, state["fetches"] + 1)
    time.sleep(0.2)
    wait_ready(browser)
    assert browser.execute_script("return window.kovview.slice") == [4, 13, 7]
    d13 = browser.execute_script("const d = window.kovview.views[1].data; return {slice: d.slice, "
                                 "first: d.values[0], rows: d.rows, cols: d.cols}")
    assert d13 == {"slice": 13, "first": float(n1 * 13), "rows": n1, "cols": n3}
    d23 = browser.execute_script("const d = window.kovview.views[2].data; return {slice: d.slice, "
                                 "first: d.values[1], rows: d.rows, cols: d.cols}")
    assert d23 == {"slice": 4, "first": float(4 + n1 * n2), "rows": n2, "cols": n3}
    assert browser.execute_script("return document.getElementById('slice1').value") == "4"


def test_a_velocity_model_through_a_pipe(serve, browser, tmp_path):
    """The picture of the README: velmodel piped into kovview."""
    if not VELMODEL:
        pytest.skip("velmodel was not built")
    s = serve(f"'{VELMODEL}' n1=500 n2=800 2>/dev/null | exec '{KOVVIEW}'", shell=True)
    browser.set_window_size(1100, 640)
    open_page(browser, s)
    click_sample(browser, 300, 400)
    assert browser.execute_script("return window.kovview.info.unit") == "m/s"
    out = os.environ.get("KOVVIEW_ARTIFACTS") or str(tmp_path)
    os.makedirs(out, exist_ok=True)
    browser.save_screenshot(os.path.join(out, "kovview-velmodel.png"))
