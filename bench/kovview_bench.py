#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""kovview in headless Chromium: the first picture of a 1 GiB dataset, a
zoom, and the server's resident memory.

Writes velmodel n1=2048 n2=131072 (1 GiB, xdr_float) and n2=8192 (64 MiB)
to a scratch directory, reads the big one once into the page cache, starts
kovview on it and opens the page REPEATS times in headless Chromium
(1280x900).  For each opening it prints, alternating with `cat` of the data
file (the machine's limit for reading the data the first picture averages):
  first picture: milliseconds from the opening of the page to the section
      drawn (performance.now() when the first window has arrived and been
      drawn; the goal is 0.3 s), with the times its window was asked for
      and answered (resource timing: before is the page, after the drawing);
  zoom: milliseconds from a zoom to a window of 1/8 of the traces (at a
      different place each time) to its picture (the goal is 0.3 s);
then the medians, and the peak resident memory of the server (VmHWM) for
the 1 GiB and the 64 MiB dataset (the goal: under 64 MiB for both).

Usage: kovview_bench.py PATH/TO/velmodel PATH/TO/kovview [REPEATS] [DIRECTORY]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

from bench_common import timed

MIB = 1024 * 1024


def cpu():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip() + f", {os.cpu_count()} cores"
    return "unknown"


def start(kovview, header, cwd):
    proc = subprocess.Popen([kovview, header], cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = proc.stdout.readline().decode()
    assert line.startswith("kovview: open "), line
    return proc, line[len("kovview: open "):].strip()


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for arg in ("--headless=new", "--disable-gpu", "--window-size=1280,900",
                "--force-device-scale-factor=1", "--no-first-run", "--disable-extensions",
                "--disable-dev-shm-usage", "--user-data-dir=" + profile):
        options.add_argument(arg)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    driver = webdriver.Chrome(service=Service(executable_path=shutil.which("chromedriver")),
                              options=options)
    driver.set_script_timeout(120)
    return driver


def first_picture(driver, url):
    """Opens the page and waits for its first picture, in the page itself:
    asking the browser from here every few milliseconds would take the
    processor time of a round trip through the driver each time, from the
    very work being timed."""
    driver.get("about:blank")
    driver.get(url)
    t = driver.execute_async_script(
        "const done = arguments[arguments.length - 1], end = performance.now() + 110000;"
        "(function wait() {"
        "  const t = window.kovview && window.kovview.firstPicture;"
        "  if (t || performance.now() > end) done(t || 0); else setTimeout(wait, 2);"
        "})();")
    if not t:
        raise RuntimeError("no picture")
    return t


def first_window(driver):
    """When the first window was asked for and when its last byte came, in
    milliseconds from the opening of the page (the browser's resource
    timing): what comes before is the page itself, what comes after is the
    drawing."""
    return driver.execute_script(
        "const w = performance.getEntriesByType('resource')"
        ".filter(e => e.name.includes('api/window'));"
        "return w.length ? [w[0].startTime, w[0].responseEnd] : [0, 0];")


def zoom(driver, where):
    return driver.execute_async_script(
        "const done = arguments[arguments.length - 1], v = window.kovview.views[0];"
        "const n = v.n[1] / 8, at = arguments[0] * (v.n[1] - n);"
        "const t0 = performance.now();"
        "v.setWindow(1, at, at + n); v.setWindow(0, 0, v.n[0] / 2);"
        "v.load().then(() => done(performance.now() - t0));", where)


def main():
    velmodel = os.path.abspath(sys.argv[1])
    kovview = os.path.abspath(sys.argv[2])
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    base = sys.argv[4] if len(sys.argv) > 4 else None
    print("cpu:", cpu())
    with tempfile.TemporaryDirectory(dir=base) as d:
        model = f"'{velmodel}' n1=2048 n2={{n2}} datapath='{d}/' > {{name}} 2>/dev/null"
        subprocess.run(model.format(n2=131072, name="vel.H"), shell=True, check=True, cwd=d,
                       stdin=subprocess.DEVNULL)
        subprocess.run(model.format(n2=8192, name="small.H"), shell=True, check=True, cwd=d,
                       stdin=subprocess.DEVNULL)
        size = os.path.getsize(os.path.join(d, "vel.H@"))
        plain = "cat vel.H@ > /dev/null"
        timed(plain, d)  # the data in the page cache

        driver = browser(os.path.join(d, "chrome"))
        try:
            proc, url = start(kovview, "vel.H", d)
            firsts, zooms, cats, asked, answered = [], [], [], [], []
            for rep in range(repeats):
                cats.append(timed(plain, d) * 1000)
                firsts.append(first_picture(driver, url))
                start_ms, end_ms = first_window(driver)
                asked.append(start_ms)
                answered.append(end_ms)
                zooms.append(zoom(driver, (rep + 0.5) / repeats))
                print(f"run {rep + 1}: first picture {firsts[-1]:.0f} ms (its window asked at "
                      f"{asked[-1]:.0f} ms, answered at {answered[-1]:.0f} ms), zoom "
                      f"{zooms[-1]:.0f} ms; cat of the {size // MIB} MiB data file {cats[-1]:.0f} ms")
            big = peak_kib(proc.pid)
            proc.kill()
            proc.wait()
            proc, url = start(kovview, "small.H", d)
            first_picture(driver, url)
            zoom(driver, 0.5)
            small = peak_kib(proc.pid)
            proc.kill()
            proc.wait()
        finally:
            driver.quit()
        print(f"median: first window asked at {statistics.median(asked):.0f} ms, answered at "
              f"{statistics.median(answered):.0f} ms")
        print(f"median: first picture {statistics.median(firsts):.0f} ms (goal 300), "
              f"zoom {statistics.median(zooms):.0f} ms (goal 300), "
              f"cat {statistics.median(cats):.0f} ms")
        print(f"server peak resident memory: {big / 1024:.1f} MiB for 1 GiB, "
              f"{small / 1024:.1f} MiB for 64 MiB (goal under 64 MiB)")
        print("load average:", open("/proc/loadavg").read().split()[:3])


if __name__ == "__main__":
    main()
