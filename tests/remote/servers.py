# SPDX-License-Identifier: Apache-2.0
"""Servers of the remote-data tests, started on 127.0.0.1 in a temporary
directory: nginx (range reads over http and https, with a self-signed
certificate made here) and an S3-protocol store (moto_server)."""
import os
import re
import shutil
import signal
import socket
import subprocess
import time
import urllib.parse


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def nginx_binary():
    for candidate in (shutil.which("nginx"), "/usr/sbin/nginx"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


class Nginx:
    """nginx serving `root` over http and https on loopback ports."""

    def __init__(self, workdir, root):
        self.dir = os.path.join(workdir, "nginx")
        os.makedirs(os.path.join(self.dir, "logs"), exist_ok=True)
        self.root = root
        self.cert = os.path.join(self.dir, "cert.pem")
        key = os.path.join(self.dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-keyout", key, "-out", self.cert, "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True, stdin=subprocess.DEVNULL)
        for _ in range(5):
            self.port, self.tls_port = free_port(), free_port()
            conf = os.path.join(self.dir, "nginx.conf")
            # Run as root, nginx would hand its workers to another user, who
            # cannot read the test's private directory.
            user = "user root root;\n" if os.geteuid() == 0 else ""
            with open(conf, "w") as f:
                f.write(user + f"""daemon off;
worker_processes 1;
pid {self.dir}/nginx.pid;
error_log {self.dir}/logs/error.log;
events {{ worker_connections 256; }}
http {{
  access_log {self.dir}/logs/access.log;
  client_body_temp_path {self.dir}/body;
  proxy_temp_path {self.dir}/proxy;
  fastcgi_temp_path {self.dir}/fastcgi;
  uwsgi_temp_path {self.dir}/uwsgi;
  scgi_temp_path {self.dir}/scgi;
  server {{
    listen 127.0.0.1:{self.port};
    listen 127.0.0.1:{self.tls_port} ssl;
    ssl_certificate {self.cert};
    ssl_certificate_key {key};
    root {root};
    location /locked/ {{ deny all; }}
  }}
}}
""")
            self.proc = subprocess.Popen([nginx_binary(), "-c", conf, "-p", self.dir],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.PIPE)
            if wait_for_port(self.port, self.proc) and wait_for_port(self.tls_port, self.proc):
                return
            self.stop()
        raise RuntimeError("nginx did not start")

    def url(self, name, tls=True):
        if tls:
            return f"https://127.0.0.1:{self.tls_port}/{name}"
        return f"http://127.0.0.1:{self.port}/{name}"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Moto:
    """moto_server on a loopback port that checks signatures: its first
    three requests (unchecked) make a user with every S3 right and its
    access key; every later request must be signed with that key."""

    def __init__(self, workdir):
        binary = shutil.which("moto_server")
        if binary is None:
            raise FileNotFoundError("moto_server")
        env = dict(os.environ, INITIAL_NO_AUTH_ACTION_COUNT="3")
        for _ in range(5):
            self.port = free_port()
            # In a process group of its own: the server runs in a child
            # process, which goes with it.
            self.proc = subprocess.Popen([binary, "-H", "127.0.0.1", "-p", str(self.port)],
                                         cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                         start_new_session=True)
            if wait_for_port(self.port, self.proc, timeout=60):
                self.endpoint = f"http://127.0.0.1:{self.port}"
                break
            self.stop()
        else:
            raise RuntimeError("moto_server did not start")
        self._make_user()

    def reset(self):
        """The store as new: no bucket, no upload, a new user and key (one
        server serves every test: starting one takes seconds)."""
        for path, body in (("/moto-api/reset", ""), ("/moto-api/reset-auth", "3")):
            subprocess.run(["curl", "-sf", "-X", "POST", "-H", "Content-Type: text/plain", "-d", body,
                            self.endpoint + path],
                           capture_output=True, stdin=subprocess.DEVNULL, check=True, timeout=60)
        self._make_user()

    def alive(self):
        return self.proc.poll() is None

    def _make_user(self):
        policy = ('{"Version":"2012-10-17","Statement":[{"Effect":"Allow","Action":"s3:*",'
                  '"Resource":"*"}]}')
        self._iam({"Action": "CreateUser", "UserName": "kov"})
        self._iam({"Action": "PutUserPolicy", "UserName": "kov", "PolicyName": "all",
                   "PolicyDocument": policy})
        answer = self._iam({"Action": "CreateAccessKey", "UserName": "kov"})
        self.key_id = re.search(r"<AccessKeyId>([^<]+)<", answer).group(1)
        self.secret = re.search(r"<SecretAccessKey>([^<]+)<", answer).group(1)

    def _iam(self, fields):
        # Signed with any key: the store tells the service by the signature.
        fields = dict(fields, Version="2010-05-08")
        got = subprocess.run(["curl", "-s", "--aws-sigv4", "aws:amz:us-east-1:iam", "--user",
                              "setup:setup", "-d", urllib.parse.urlencode(fields),
                              self.endpoint + "/"],
                             capture_output=True, stdin=subprocess.DEVNULL, check=True, timeout=60)
        return got.stdout.decode()

    def env(self, **more):
        """The environment of a program that uses this store."""
        env = dict(os.environ, AWS_ACCESS_KEY_ID=self.key_id, AWS_SECRET_ACCESS_KEY=self.secret,
                   AWS_ENDPOINT_URL=self.endpoint, AWS_REGION="us-east-1")
        env.update(more)
        return env

    def curl(self, method, path, *more):
        """A request signed by curl; its status and body."""
        got = subprocess.run(["curl", "-s", "-w", "\n%{http_code}", "--aws-sigv4",
                              "aws:amz:us-east-1:s3", "--user", self.key_id + ":" + self.secret,
                              "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", "-X", method,
                              *more, self.endpoint + "/" + path],
                             capture_output=True, stdin=subprocess.DEVNULL, check=True)
        body, _, status = got.stdout.rpartition(b"\n")
        return int(status), body

    def put_file(self, bucket, key, path):
        status, body = self.curl("PUT", bucket + "/" + key, "-T", path)
        assert status == 200, body

    def keys(self, bucket):
        """Every key in a bucket."""
        status, body = self.curl("GET", bucket + "?list-type=2")
        assert status == 200, body
        return sorted(re.findall(rb"<Key>([^<]+)</Key>", body))

    def stop(self):
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
