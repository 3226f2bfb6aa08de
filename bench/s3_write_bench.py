#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Datasets written to an S3-protocol store against what curl does with the
same bytes, in the same run, on a moto_server started here on loopback.

  upload: velmodel datapath=s3://bench/run/ (the data uploaded in parts while
          they are made, completed at the end)
          against  curl --aws-sigv4 -T data (one PUT of the same bytes,
          made beforehand)
  memory: velmodel's peak resident memory writing MIB and 4 x MIB to the
          store: the parts in flight bound it, not the size

Usage: s3_write_bench.py VELMODEL [MIB] [REPEATS]   (MIB default 256)
"""
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "remote"))
from bench_common import compare, peak_rss  # noqa: E402
import servers  # noqa: E402


def main():
    velmodel = os.path.abspath(sys.argv[1])
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 256
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    if shutil.which("moto_server") is None:
        sys.exit("moto_server is not on this machine")
    n1 = 2048
    n2 = mib * (1 << 20) // (4 * n1)
    with tempfile.TemporaryDirectory() as d:
        s3 = servers.Moto(d)
        try:
            status, body = s3.curl("PUT", "bench")
            assert status == 200, body
            env = " ".join("%s='%s'" % (k, v) for k, v in s3.env().items()
                           if k.startswith("AWS_"))
            subprocess.run("%s n1=%d n2=%d head=local.H datapath=%s/ 2>/dev/null"
                           % (velmodel, n1, n2, d), shell=True, cwd=d, check=True,
                           stdin=subprocess.DEVNULL)
            compare("upload",
                    "env %s %s n1=%d n2=%d head=vel.H datapath=s3://bench/run/ 2>/dev/null"
                    % (env, velmodel, n1, n2),
                    "curl -sf --aws-sigv4 aws:amz:us-east-1:s3 --user '%s:%s' "
                    "-H 'x-amz-content-sha256: UNSIGNED-PAYLOAD' -T local.H@ %s/bench/plain.bin"
                    % (s3.key_id, s3.secret, s3.endpoint), d, repeats)
            small = peak_rss("env %s %s n1=%d n2=%d head=m.H datapath=s3://bench/m/ 2>/dev/null"
                             % (env, velmodel, n1, n2), d)
            large = peak_rss("env %s %s n1=%d n2=%d head=m.H datapath=s3://bench/m/ 2>/dev/null"
                             % (env, velmodel, n1, 4 * n2), d)
            print(f"memory: peak RSS {mib} MiB {small} KiB, {4 * mib} MiB {large} KiB, "
                  f"difference {large - small} KiB", flush=True)
        finally:
            s3.stop()


if __name__ == "__main__":
    main()
