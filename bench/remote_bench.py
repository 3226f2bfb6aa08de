#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Datasets behind URLs against what curl does with the same objects, in
the same run, on loopback servers started here (nginx; moto_server when the
machine has it).

  https:  kovinfo https://127.0.0.1:PORT/big.H  (its statistics over every sample)
          against  curl -s URL-of-the-data > /dev/null                 goal <= 1.30
  s3:     kovinfo s3://bench/big.H
          against  curl -s --aws-sigv4 ... > /dev/null                  goal <= 1.30
  window: kovwindow of 1/64 of the dataset (a run of whole traces and a
          window of every trace) through a counting proxy: bytes fetched
          against the window's own bytes                               goal <= 1.10

  anchor: with ANCHOR (another build's kovinfo), kovinfo over https
          against the anchor's, pairs alternating

Usage: remote_bench.py KOVINFO KOVWINDOW [MIB] [REPEATS] [ANCHOR]   (MIB default 1024)
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "remote"))
from bench_common import compare  # noqa: E402
import servers  # noqa: E402
from faultproxy import FaultProxy  # noqa: E402


def main():
    kovinfo, kovwindow = sys.argv[1], sys.argv[2]
    mib = int(sys.argv[3]) if len(sys.argv) > 3 else 1024
    repeats = int(sys.argv[4]) if len(sys.argv) > 4 else 3
    anchor = sys.argv[5] if len(sys.argv) > 5 else None
    n1 = 2048
    n2 = mib * (1 << 20) // (4 * n1)
    with tempfile.TemporaryDirectory() as d:
        www = os.path.join(d, "www")
        os.mkdir(www)
        block = np.random.default_rng(3).standard_normal((256, n1)).astype(">f4").tobytes()
        with open(os.path.join(www, "big.H@"), "wb") as f:
            for _ in range(n2 // 256):
                f.write(block)
        n2 = n2 // 256 * 256
        with open(os.path.join(www, "big.H"), "w") as f:
            f.write('bench\nn1=%d n2=%d o1=0 o2=0 d1=1 d2=1\nin="big.H@"\nesize=4 '
                    'data_format="xdr_float"\n' % (n1, n2))
        web = servers.Nginx(d, www)
        env = "CURL_CA_BUNDLE=%s " % web.cert
        try:
            compare("https", env + "%s %s > /dev/null" % (kovinfo, web.url("big.H")),
                    "curl -s --cacert %s %s > /dev/null" % (web.cert, web.url("big.H@")),
                    d, repeats, goal=1.30)
            if anchor:
                compare("https against the anchor",
                        env + "%s %s > /dev/null" % (kovinfo, web.url("big.H")),
                        env + "%s %s > /dev/null" % (anchor, web.url("big.H")), d, repeats)
            proxy = FaultProxy(web.port)
            for name, args, bytes_ in (
                    ("window of traces", ["n2=%d" % (n2 // 64), "f2=%d" % (n2 // 3)], n2 // 64 * n1 * 4),
                    ("window of samples", ["n1=%d" % (n1 // 64), "f1=100"], n2 * n1 // 64 * 4)):
                proxy.bytes = 0
                subprocess.run([kovwindow, "stdin=" + proxy.url("big.H"), "out=w.H@"] + args,
                               cwd=d, check=True, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL)
                print("%s: %d bytes fetched for %d, ratio %.3f (goal <= 1.10)"
                      % (name, proxy.bytes, bytes_, proxy.bytes / bytes_), flush=True)
            proxy.stop()
        finally:
            web.stop()
        try:
            s3 = servers.Moto(d)
        except FileNotFoundError:
            print("s3: skipped, moto_server is not on this machine")
            return
        try:
            s3.curl("PUT", "bench")
            for f in ("big.H", "big.H@"):
                s3.put_file("bench", f, os.path.join(www, f))
            env = ("AWS_ACCESS_KEY_ID=%s AWS_SECRET_ACCESS_KEY=%s AWS_ENDPOINT_URL=%s "
                   % (s3.key_id, s3.secret, s3.endpoint))
            compare("s3", env + "%s s3://bench/big.H > /dev/null" % kovinfo,
                    "curl -s --aws-sigv4 aws:amz:us-east-1:s3 --user '%s:%s' -H "
                    "'x-amz-content-sha256: UNSIGNED-PAYLOAD' %s/bench/big.H@ > /dev/null"
                    % (s3.key_id, s3.secret, s3.endpoint), d, repeats, goal=1.30)
        finally:
            s3.stop()


if __name__ == "__main__":
    main()
