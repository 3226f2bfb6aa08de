# SPDX-License-Identifier: Apache-2.0
"""Fixtures of kovview's browser tests: a server on a dataset written by
the test, and headless Chromium driven through Selenium.  A failed test
leaves a screenshot in $KOVVIEW_ARTIFACTS (the ctest output directory) or
in its own temporary directory."""
import os
import shutil
import subprocess
import time

import numpy as np
import pytest

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:  # pragma: no cover - reported as a skip
    webdriver = None

KOVVIEW = os.environ.get("KOVVIEW", "")
VELMODEL = os.environ.get("VELMODEL", "")


def chromium_paths():
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver") or (
        "/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)
    return browser, driver


@pytest.hookimpl(tryfirst=True, hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "rep_" + report.when, report)


def write_dataset(directory, name, values, extra=""):
    """values: array indexed [i3][i2][i1] (axis 1 fastest on disk), stored
    as xdr_float."""
    values = np.asarray(values, dtype=np.float32)
    while values.ndim < 3:
        values = values[np.newaxis]
    n3, n2, n1 = values.shape
    data = os.path.join(directory, name + "@")
    values.astype(">f4").tofile(data)
    with open(os.path.join(directory, name), "w") as f:
        f.write(f'n1={n1} n2={n2} n3={n3} o1=0 d1=4 label1="depth" unit1=m '
                f'o2=100 d2=12.5 label2="x" o3=0 d3=1 label3="y" {extra} '
                f'data_format="xdr_float" esize=4 in="{data}"\n')


def write_keyed(directory, name, n1, n2, n3=1, records=None):
    """A dataset of n2 * n3 traces with three keys: tracl (the trace number
    from 1), offset (integers with repeats and negatives) and sx (floats),
    written by hand as the three-dimensional layer lays them out.  Returns
    the keys as [traces][3] doubles (NaN where there is no record)."""
    traces = n2 * n3
    records = traces if records is None else records
    i1 = np.arange(n1)[None, None, :]
    i2 = np.arange(n2)[None, :, None]
    values = np.sin(i1 * 0.3 + i2 * 0.2) * np.ones((n3, 1, 1))
    write_dataset(directory, name, values,
                  extra=f'hff="{os.path.join(directory, name)}@@" gff=-1')
    t = np.arange(records)
    offset = ((t * 7919) % 1000 - 500).astype(np.int32)
    sx = ((t % 13) * 2.5 + 0.1).astype(np.float32)
    rec = np.zeros((records, 3), dtype=">i4")
    rec[:, 0] = t + 1
    rec[:, 1] = offset
    rec[:, 2] = sx.astype(">f4").view(">i4")
    hff = os.path.join(directory, name + "@@")
    rec.tofile(hff + "@")
    with open(hff, "w") as f:
        f.write(f'n1=3 n2={records} o2=1 d2=1 label2="record"\n'
                '\t hdrkey1="tracl"    hdrtype1="scalar_int"   hdrfmt1="xdr_int"\n'
                '\t hdrkey2="offset"    hdrtype2="scalar_int"   hdrfmt2="xdr_int"\n'
                '\t hdrkey3="sx"    hdrtype3="scalar_float"   hdrfmt3="xdr_float"\n'
                f'data_format="xdr_float" esize=4 in="{hff}@"\n')
    keys = np.full((traces, 3), np.nan)
    keys[:records, 0] = t + 1
    keys[:records, 1] = offset
    keys[:records, 2] = sx
    return keys


class Server:
    def __init__(self, directory, args, stdin=subprocess.DEVNULL, shell=False):
        env = dict(os.environ, DATAPATH=str(directory) + "/")
        self.proc = subprocess.Popen(args, cwd=directory, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, shell=shell,
                                     start_new_session=True)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("kovview: open "):
            self.stop()
            raise RuntimeError("kovview did not start: " + line + self.proc.stderr.read().decode())
        self.url = line[len("kovview: open "):].strip()

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, 9)
        self.proc.wait()


@pytest.fixture
def serve(tmp_path):
    servers = []

    def start(*args, **kw):
        s = Server(tmp_path, *args, **kw)
        servers.append(s)
        return s
    yield start
    for s in servers:
        s.stop()


@pytest.fixture
def browser(tmp_path, request):
    if not KOVVIEW:
        pytest.skip("kovview was not built")
    path, driver_path = chromium_paths()
    if webdriver is None or not path or not driver_path:
        pytest.skip("needs chromium, chromium-driver and python3-selenium")
    options = webdriver.ChromeOptions()
    options.binary_location = path
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1200,900",
                "--force-device-scale-factor=1", "--no-first-run", "--disable-extensions",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-dev-shm-usage",
                "--user-data-dir=" + str(tmp_path / "chrome")):
        options.add_argument(arg)
    # "Save picture" downloads land in the test's own directory.
    options.add_experimental_option("prefs", {
        "download.default_directory": str(tmp_path / "downloads"),
        "download.prompt_for_download": False})
    service = Service(executable_path=driver_path, log_path=str(tmp_path / "chromedriver.log"))
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_script_timeout(30)
    yield driver
    rep = getattr(request.node, "rep_call", None)
    if rep is not None and rep.failed:
        out = os.environ.get("KOVVIEW_ARTIFACTS") or str(tmp_path)
        os.makedirs(out, exist_ok=True)
        shot = os.path.join(out, request.node.name + ".png")
        driver.save_screenshot(shot)
        print("screenshot of the failure:", shot)
    driver.quit()


def wait_ready(driver, fetches=None, timeout=30):
    """Until the page has loaded its windows and no request is pending (and,
    given `fetches`, more windows than that have arrived)."""
    end = time.time() + timeout
    while time.time() < end:
        s = driver.execute_script(
            "const k = window.kovview; return k && k.info ? "
            "{ready: !!k.ready, pending: k.pending, fetches: k.fetches} : null")
        if s and s["ready"] and s["pending"] == 0 and (fetches is None or s["fetches"] > fetches):
            return s
        time.sleep(0.05)
    raise AssertionError("the page did not finish loading")


def saved_pictures(directory, timeout=20):
    """The PNG files downloaded into `directory`, once each is whole (the
    browser may show a download's file before it has written all of it)."""
    end = time.time() + timeout
    while True:
        names = sorted(directory.glob("*.png")) if directory.exists() else []
        if names and all(n.read_bytes().endswith(b"IEND\xaeB`\x82") for n in names):
            return names
        if time.time() > end:
            return names
        time.sleep(0.05)
