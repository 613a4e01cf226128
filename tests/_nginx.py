"""A throwaway nginx on 127.0.0.1 serving a folder, for the remote-input tests
and benchmarks: range requests on, a throttled location, and an access log
that records each request's Range header, status and body bytes sent."""

from __future__ import annotations

import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import List, NamedTuple, Optional

# Bytes per second of the throttled location (a slow link).
SLOW_RATE = 5 * 1000 * 1000

_CONF = """\
{user}worker_processes 1;
daemon off;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {tmp}/client_body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    log_format ranges '$request_uri|$status|$http_range|$body_bytes_sent';
    default_type application/octet-stream;
    sendfile off;
    keepalive_requests 10000;
    server {{
        listen 127.0.0.1:{port};
        access_log {tmp}/access.log ranges;
        root {root};
        max_ranges 1;
        location /slow/ {{
            alias {root}/;
            limit_rate {rate};
        }}
        location /norange/ {{
            alias {root}/;
            max_ranges 0;
        }}
        location /missing/ {{ return 404; }}
        location /forbidden/ {{ return 403; }}
    }}
}}
"""


class Request(NamedTuple):
    uri: str
    status: int
    range: str  # "-" without a Range header
    sent: int   # body bytes sent


def nginx_binary() -> Optional[str]:
    return shutil.which("nginx") or next(
        (p for p in ("/usr/sbin/nginx", "/usr/local/sbin/nginx") if os.access(p, os.X_OK)), None
    )


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class Nginx:
    """nginx serving `root` at http://127.0.0.1:<port>/ (and /slow/, /norange/)."""

    def __init__(self, root: Path, binary: str) -> None:
        self.root = Path(root)
        self.tmp = Path(tempfile.mkdtemp(prefix="qm-nginx-"))
        self.port = _free_port()
        conf = self.tmp / "nginx.conf"
        # Started as root, nginx's workers would run as an unprivileged user
        # that cannot read a private temporary folder: they stay this user.
        user = f"user {pwd.getpwuid(os.geteuid()).pw_name};\n" if os.geteuid() == 0 else ""
        conf.write_text(_CONF.format(user=user, tmp=self.tmp, port=self.port, root=self.root,
                                     rate=SLOW_RATE))
        self.log = self.tmp / "access.log"
        self.proc = subprocess.Popen(
            [binary, "-c", str(conf), "-p", str(self.tmp), "-e", str(self.tmp / "error.log")],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        )
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                break
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    err = self.proc.stderr.read().decode() if self.proc.stderr else ""
                    self.stop()
                    raise RuntimeError(f"nginx did not start: {err.strip()}")
                time.sleep(0.05)
        self._seen = 0

    def url(self, name: str, where: str = "") -> str:
        return f"http://127.0.0.1:{self.port}/{where + '/' if where else ''}{name}"

    def requests(self) -> List[Request]:
        """The requests logged since the last call (nginx logs a request once
        its response has ended)."""
        time.sleep(0.05)
        lines = self.log.read_text().splitlines() if self.log.exists() else []
        new, self._seen = lines[self._seen:], len(lines)
        out = []
        for line in new:
            uri, status, rng, sent = line.rsplit("|", 3)
            out.append(Request(uri, int(status), rng, int(sent)))
        return out

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stderr:
            self.proc.stderr.close()
        shutil.rmtree(self.tmp, ignore_errors=True)
