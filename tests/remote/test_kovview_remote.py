# SPDX-License-Identifier: Apache-2.0
"""kovview serves a dataset read over https from nginx and from the S3
store: its description and its windows hold the samples of the file."""
import json
import os
import subprocess
import urllib.request

import numpy as np
import pytest

from conftest import write_dataset


def kovview_binary():
    path = os.environ.get("KOV_KOVVIEW", "")
    if not path or not os.access(path, os.X_OK) or os.path.isdir(path):
        pytest.skip("kovview is not built (KOV_KOVVIEW)")
    return path


class View:
    """kovview started on `name` in `cwd`: its address and token."""

    def __init__(self, name, cwd, env):
        self.proc = subprocess.Popen([kovview_binary(), name], cwd=cwd, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, start_new_session=True)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("kovview: open "):
            self.stop()
            raise AssertionError("kovview did not start: " + line +
                                 self.proc.stderr.read().decode())
        # http://127.0.0.1:<port>/<token>/
        self.base = line[len("kovview: open "):].strip()
        self.token = self.base.rstrip("/").rsplit("/", 1)[1]

    def get(self, path):
        origin = self.base[:self.base.index("/", len("http://"))]
        sep = "&" if "?" in path else "?"
        with urllib.request.urlopen(origin + path + sep + "token=" + self.token,
                                    timeout=60) as answer:
            return answer.read()

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, 9)
        self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


def check_served(view, values):
    """The description and two windows of the served dataset against the
    samples (NumPy order: axis 3, axis 2, axis 1)."""
    n3, n2, n1 = values.shape
    info = json.loads(view.get("/api/info"))
    assert info["n"] == [n1, n2, n3]
    for axes, f, n in (("12", (5, 3, 1), (40, 9, 1)), ("23", (7, 0, 0), (1, n2, n3))):
        q = "axes=%s&format=json&" % axes + "&".join(
            "f%d=%d&n%d=%d" % (k + 1, f[k], k + 1, n[k]) for k in range(3))
        got = json.loads(view.get("/api/window?" + q))
        part = values[f[2]:f[2] + n[2], f[1]:f[1] + n[1], f[0]:f[0] + n[0]]
        if axes == "12":
            want = part[0].T  # rows down axis 1, columns across axis 2
        else:
            want = part[:, :, 0].T  # rows down axis 2, columns across axis 3
        assert (got["rows"], got["cols"]) == want.shape, axes
        assert np.array_equal(np.asarray(got["values"], np.float32).reshape(want.shape), want)


def test_kovview_serves_a_dataset_over_https_and_from_the_store(web, s3, workdir):
    rng = np.random.default_rng(5)
    values = rng.standard_normal((3, 30, 80)).astype(np.float32)
    write_dataset(str(web.root), "cube.H", values)
    env = dict(os.environ, CURL_CA_BUNDLE=web.cert)
    view = View(web.url("cube.H"), str(workdir), env)
    try:
        check_served(view, values)
    finally:
        view.stop()

    for name in ("cube.H", "cube.H@"):
        s3.put_file("survey", name, os.path.join(web.root, name))
    view = View("s3://survey/cube.H", str(workdir), s3.env())
    try:
        check_served(view, values)
    finally:
        view.stop()
