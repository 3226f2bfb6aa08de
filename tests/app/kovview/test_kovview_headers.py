# SPDX-License-Identifier: Apache-2.0
"""kovview's trace headers in headless Chromium: the panel of the keys of
the trace under the cursor, the table of the traces in view (pages, sorting
by the server, the CSV export), traces without a header record, and a
dataset without trace headers."""
import os
import time

import numpy as np
from conftest import KOVVIEW, wait_ready, write_dataset, write_keyed

from selenium.webdriver.common.by import By

from test_kovview_browser import at_pixel, centre_of


def shown(text):
    return np.nan if text == "\u2014" else float(text)


def table(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('#headers-table tbody tr')]"
        ".map((r) => [...r.cells].map((c) => c.textContent))")


def until(check, timeout=15):
    end = time.time() + timeout
    while time.time() < end:
        got = check()
        if got:
            return got
        time.sleep(0.05)
    return check()


def open_table(driver):
    driver.find_element(By.CSS_SELECTOR, "#headers-panel summary").click()
    until(lambda: table(driver))
    wait_ready(driver)


def sort_by(driver, key):
    driver.find_element(By.CSS_SELECTOR, f"#headers-table th[data-key='{key}']").click()
    until(lambda: driver.execute_script("return !window.kovview.headers.table.loading"))
    wait_ready(driver)


def test_the_panel_shows_every_key_of_the_trace_under_the_cursor(serve, browser, tmp_path):
    keys = write_keyed(str(tmp_path), "k.H", 40, 90)
    s = serve([KOVVIEW, "k.H"])
    browser.get(s.url)
    wait_ready(browser)
    assert browser.find_element(By.ID, "keys").is_displayed()
    for i2 in (0, 37, 89):
        at_pixel(browser, *centre_of(browser, 0, 20, i2)).perform()
        got = until(lambda: browser.execute_script(
            "const h = window.kovview.hoverKeys; return h && h.trace === arguments[0] ? h : null",
            i2))
        assert got, i2
        cells = browser.execute_script(
            "return [...document.querySelectorAll('#keys td:last-child')].map((c) => c.textContent)")
        np.testing.assert_array_equal(np.float32([shown(c) for c in cells]), keys[i2].astype(np.float32))
        assert browser.find_element(By.CSS_SELECTOR, "#keys .keys-title").text == f"trace i2={i2}"


def test_the_table_pages_and_sorts_the_traces_in_view_and_exports_them(serve, browser, tmp_path):
    keys = write_keyed(str(tmp_path), "k.H", 30, 240)
    s = serve([KOVVIEW, "k.H"])
    browser.get(s.url)
    wait_ready(browser)
    open_table(browser)
    rows = table(browser)
    assert len(rows) == 50
    assert browser.find_element(By.ID, "headers-page").text == "1\u201350 of 240 traces in view"
    np.testing.assert_array_equal(np.float32([[float(c) for c in r] for r in rows]),
                                  np.column_stack([np.arange(50), np.arange(50), keys[:50]]).astype(np.float32))
    # Sorted by offset (ties in the traces' order), then downwards, then the
    # next page.
    order = np.argsort(keys[:, 1], kind="stable")
    sort_by(browser, 2)
    assert [int(r[0]) for r in table(browser)] == list(order[:50])
    sort_by(browser, 2)
    down = np.lexsort((np.arange(240), -keys[:, 1]))
    assert [int(r[0]) for r in table(browser)] == list(down[:50])
    browser.find_element(By.ID, "headers-next").click()
    until(lambda: [int(r[0]) for r in table(browser)] == list(down[50:100]))
    assert [int(r[0]) for r in table(browser)] == list(down[50:100])
    # The export: every trace in view in the order shown, as the server
    # sends it to the link.
    csv = browser.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "fetch(document.getElementById('headers-csv').href).then((r) => r.text()).then(done)")
    lines = csv.strip().split("\n")
    assert lines[0] == 'trace,i2,i3,"tracl","offset","sx"'
    got = np.array([[float(c) for c in line.split(",")] for line in lines[1:]])
    assert got.shape == (240, 6)
    np.testing.assert_array_equal(got[:, 0], down)
    np.testing.assert_array_equal(got[:, 3:].astype(np.float32), keys[down].astype(np.float32))
    # Zoomed in, the table holds the traces of the view only.
    browser.execute_script("const v = window.kovview.views[0]; v.setWindow(1, 100, 130); v.load()")
    until(lambda: browser.find_element(By.ID, "headers-page").text.endswith("of 30 traces in view"))
    wait_ready(browser)
    rows = table(browser)
    assert sorted(int(r[0]) for r in rows) == list(range(100, 130))
    assert [int(r[0]) for r in rows] == list(100 + np.lexsort((np.arange(30), -keys[100:130, 1])))


def test_traces_without_a_header_record_show_no_values(serve, browser, tmp_path):
    keys = write_keyed(str(tmp_path), "k.H", 30, 60, records=45)
    s = serve([KOVVIEW, "k.H"])
    browser.get(s.url)
    wait_ready(browser)
    assert "45 header records for 60 traces" in s.proc.stderr.readline().decode()
    open_table(browser)
    browser.find_element(By.ID, "headers-next").click()
    until(lambda: table(browser) and table(browser)[0][0] == "50")
    rows = table(browser)
    assert [r[2:] for r in rows] == [["\u2014"] * 3] * 10
    # Sorted either way, the traces without a record come last.
    for _ in ("asc", "desc"):
        sort_by(browser, 3)
        browser.find_element(By.ID, "headers-next").click()
        until(lambda: table(browser)[0][0] == "50")
        assert [int(r[0]) for r in table(browser)] == list(range(50, 60))
        assert np.isnan(keys[50:]).all()


def test_a_dataset_without_trace_headers_has_no_panel(serve, browser, tmp_path):
    write_dataset(tmp_path, "r.H", np.zeros((20, 10), np.float32))
    s = serve([KOVVIEW, "r.H"])
    browser.get(s.url)
    wait_ready(browser)
    assert browser.execute_script("return document.getElementById('keys') === null")
    assert not browser.find_element(By.ID, "headers-panel").is_displayed()
