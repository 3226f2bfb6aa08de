# SPDX-License-Identifier: Apache-2.0
"""A proxy of the tests' own on 127.0.0.1 between a program and a web
server, which spoils answers on purpose: connections reset in the middle of
a body, 500 and 503 answers, stalls, short bodies, another version of the
object.  `faults` maps a kind to how many data answers it spoils next."""
import http.client
import http.server
import socket
import struct
import threading
import time


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_HEAD(self):
        self._forward(head=True)

    def do_GET(self):
        self._forward(head=False)

    def _take(self):
        proxy = self.server.proxy
        with proxy.lock:
            # Only ranges of the data are spoiled: the header comes whole.
            if "Range" not in self.headers or self.headers["Range"] == "bytes=0-0":
                return None
            proxy.ranges += 1
            for kind, left in proxy.faults.items():
                if left > 0:
                    proxy.faults[kind] = left - 1
                    proxy.spoiled += 1
                    return kind
        return None

    def _forward(self, head):
        proxy = self.server.proxy
        fault = self._take()
        if fault in ("500", "503"):
            body = b"<Error><Code>SlowDown</Code></Error>" if fault == "503" else b"oops"
            self.send_response(int(fault))
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if fault == "stall":
            time.sleep(proxy.stall)
            self.close_connection = True
            return
        upstream = http.client.HTTPConnection("127.0.0.1", proxy.upstream_port, timeout=30)
        headers = {k: v for k, v in self.headers.items() if k.lower() in ("range", "if-match")}
        upstream.request("HEAD" if head else "GET", self.path, headers=headers)
        answer = upstream.getresponse()
        body = answer.read()
        upstream.close()
        self.send_response(answer.status)
        for k, v in answer.getheaders():
            if k.lower() in ("connection", "transfer-encoding", "content-length"):
                continue
            if k.lower() == "etag" and fault == "version":
                v = '"another-version"'
            self.send_header(k, v)
        if fault == "short":
            # An answer that is whole by its own account, but shorter than asked.
            body = body[: len(body) // 2]
        # A HEAD answer tells the length of the body a GET would bring.
        length = answer.getheader("Content-Length", "0") if head else str(len(body))
        self.send_header("Content-Length", length)
        self.end_headers()
        if head:
            return
        if fault == "reset":
            self.wfile.write(body[: len(body) // 3])
            self.wfile.flush()
            # A reset, not an orderly end.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
            return
        self.wfile.write(body)
        with proxy.lock:
            proxy.bytes += len(body) if "Range" in self.headers else 0


class _Server(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        pass  # a reader that went away (a reset it provoked) is expected


class FaultProxy:
    def __init__(self, upstream_port, stall=5.0):
        self.upstream_port = upstream_port
        self.stall = stall
        self.faults = {}
        self.ranges = 0
        self.spoiled = 0
        self.bytes = 0  # body bytes of the range answers passed on whole
        self.lock = threading.Lock()
        self.server = _Server(("127.0.0.1", 0), _Handler)
        self.server.daemon_threads = True
        self.server.proxy = self
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.port, name)

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
