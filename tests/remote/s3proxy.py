# SPDX-License-Identifier: Apache-2.0
"""A proxy of the tests' own on 127.0.0.1 between a program and an S3
store that passes every request on (the Host header kept, so signatures
stay valid) and spoils uploads on purpose: `faults` maps a kind to how many
part uploads it spoils next, after the first `spare` ("500": an error answer, "stall": an answer
held for `stall` seconds, then passed on)."""
import http.client
import http.server
import threading
import time

_HOP = ("connection", "expect", "keep-alive", "transfer-encoding", "proxy-connection")


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _take(self):
        proxy = self.server.proxy
        with proxy.lock:
            proxy.requests.append((self.command, self.path))
            if self.command != "PUT" or "partNumber=" not in self.path:
                return None
            proxy.parts += 1
            if proxy.parts <= proxy.spare:
                return None
            for kind, left in proxy.faults.items():
                if left > 0:
                    proxy.faults[kind] = left - 1
                    proxy.spoiled += 1
                    return kind
        return None

    def _forward(self):
        proxy = self.server.proxy
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        fault = self._take()
        if fault == "500":
            answer = b"<Error><Code>InternalError</Code></Error>"
            self.send_response(500)
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)
            return
        if fault == "stall":
            proxy.stalled.set()
            time.sleep(proxy.stall)
        upstream = http.client.HTTPConnection("127.0.0.1", proxy.upstream_port, timeout=60)
        upstream.putrequest(self.command, self.path, skip_host=True, skip_accept_encoding=True)
        for k, v in self.headers.items():
            if k.lower() not in _HOP:
                upstream.putheader(k, v)
        upstream.endheaders(body)
        answer = upstream.getresponse()
        data = answer.read()
        upstream.close()
        self.send_response(answer.status)
        for k, v in answer.getheaders():
            if k.lower() not in _HOP and k.lower() != "content-length":
                self.send_header(k, v)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    do_GET = do_PUT = do_POST = do_DELETE = do_HEAD = _forward


class _Server(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        pass  # a client that went away (stopped on purpose) is expected


class S3Proxy:
    def __init__(self, upstream_port, stall=5.0):
        self.upstream_port = upstream_port
        self.stall = stall
        self.faults = {}
        self.spare = 0  # part uploads passed on whole before any is spoiled
        self.parts = 0
        self.spoiled = 0
        self.requests = []
        self.stalled = threading.Event()
        self.lock = threading.Lock()
        self.server = _Server(("127.0.0.1", 0), _Handler)
        self.server.daemon_threads = True
        self.server.proxy = self
        self.port = self.server.server_address[1]
        self.endpoint = "http://127.0.0.1:%d" % self.port
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
