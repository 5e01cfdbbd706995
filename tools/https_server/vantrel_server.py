#!/usr/bin/python3
"""Local HTTPS test server for the installer's download tests.

Binds 127.0.0.1 only. Every listener serves the same document root:

    main       product download server, certificate localhost, TLS 1.2/1.3
    runtime    runtime download server, certificate localhost, TLS 1.2/1.3
    tls10      special_base + 0: TLS 1.0/1.1 only
    wronghost  special_base + 1: certificate for DNS:wrong.example only
    expired    special_base + 2: certificate for localhost, already expired
    tunnel     only with tunnel_port: a plain-HTTP proxy. CONNECT to any
               target opens a tunnel to this server's main listener (or
               another, by a rule), so the client talks TLS to it under
               whatever name it asked for; a GET serves the docroot in plain
               HTTP (an auto-config script)

Port 0 (or None) picks a free port; VantrelServer.ports has the real ones.
One request per connection, answered with "Connection: close".

GET/HEAD of a path (or of an absolute URL: its path) serves DOCROOT/<path>
(query dropped, percent-decoding applied, nothing outside DOCROOT), or 404.
DOCROOT/_rules.json, re-read on every request, is the one way to pick a
fault: it maps request paths (without the query) to an object of these keys:
    status                  response code (default 200); a 3xx gets
                            Location: https://localhost:<port>/redirected,
                            which nothing serves and no client may ask for
    body_hex                the body, as hex digits ("" = empty body)
    body_len, seed          a generated body: byte i is ((i + seed) * 131 + 7) mod 256
                            (no body key: the file, else a short text with a
                            status, else 404)
    declared_length         Content-Length to announce; null leaves it out
    cut_after               send this many body bytes, then close normally
    reset_after             send this many body bytes, then reset (RST)
    drip {chunk, delay_ms}  send the body in pieces with a pause between them
    drip {..., hold: NAME}  and hold the last piece back until DOCROOT/NAME
                            exists (taken away again as the piece goes; at
                            most 120 s), so a test sees a download still running
    stall_before_headers_ms, stall_after_headers_ms   pauses
    no_response             true: after any stall, close without answering
A CONNECT's target ("localhost:443") is looked up the same way. Of the keys
only status applies to it (anything but 200 is the tunnel's answer, and no
tunnel opens), and one of its own:
    tunnel_to               the listener the tunnel leads to (default "main")
An unknown key or a broken rules file gives a 500 that names the problem.

Each request is appended to DOCROOT/_requests.log, before it is answered, as a
JSON line {"path", "method", "user_agent", "tls_version", "port", "listener",
"time"}; a CONNECT's path is its target, and the tunnel's tls_version null.

CLI: vantrel_server.py --docroot DIR [--certs DIR] [--port N] [--runtime-port N]
     [--special-base N] [--tunnel-port N]; --certs gets a copy of the committed
test certificates (for other servers of the same tests). Prints "ready" once
every listener accepts and stops on SIGTERM/SIGINT.
"""
import argparse
import contextlib
import fcntl
import http.server
import json
import os
import select
import shutil
import signal
import socket
import socketserver
import ssl
import struct
import termios
import threading
import time
import urllib.parse
import warnings
from pathlib import Path

HOST = "127.0.0.1"
RULES_FILE = "_rules.json"
LOG_FILE = "_requests.log"
TEST_CA = Path(__file__).resolve().parents[2] / "tests/fixtures/test-ca"
BLOCK = 1 << 20
RULE_KEYS = {"status", "body_hex", "body_len", "seed", "declared_length", "cut_after", "reset_after",
             "drip", "stall_before_headers_ms", "stall_after_headers_ms", "no_response", "tunnel_to"}
LISTENERS = {"main": "localhost", "runtime": "localhost", "tls10": "localhost",
             "wronghost": "wronghost", "expired": "expired"}


def _generated(n, seed):
    # BLOCK is a multiple of the 256-byte period, so every chunk starts alike.
    block = bytes(((i + seed) * 131 + 7) & 0xFF for i in range(256)) * (BLOCK // 256)
    for start in range(0, n, BLOCK):
        yield block[:min(BLOCK, n - start)]


def generated_bytes(n, seed=0):
    return b"".join(_generated(n, seed))


def _file_chunks(path):
    with open(path, "rb") as f:
        while data := f.read(BLOCK):
            yield data


def read_requests(docroot):
    try:
        with open(os.path.join(docroot, LOG_FILE), encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []


def clear_requests(docroot):
    Path(docroot, LOG_FILE).unlink(missing_ok=True)


def write_rules(docroot, rules):
    """Replaces DOCROOT/_rules.json atomically; None or {} removes it."""
    path = os.path.join(docroot, RULES_FILE)
    if not rules:
        Path(path).unlink(missing_ok=True)
        return
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        json.dump(rules, f)
    os.replace(path + ".tmp", path)


def _resolve_file(docroot, path):
    """The regular file under docroot that path names, or None."""
    root, path = os.path.realpath(docroot), urllib.parse.unquote(path)
    full = "\0" not in path and os.path.realpath(os.path.join(root, path.lstrip("/")))
    return full if full and os.path.commonpath([root, full]) == root and os.path.isfile(full) else None


def _rule(docroot, path):
    try:
        with open(os.path.join(docroot, RULES_FILE), encoding="utf-8") as f:
            rules = json.load(f)
    except FileNotFoundError:
        rules = {}
    rule = rules.get(path, {})
    if set(rule) - RULE_KEYS:
        raise ValueError("unknown rule keys " + ", ".join(sorted(set(rule) - RULE_KEYS)))
    return rule


def _answer(docroot, target):
    """(status, rule, body length, body chunks) for a request target."""
    path = target.split("?", 1)[0]
    rule = _rule(docroot, path)
    status = rule.get("status", 200)
    file = _resolve_file(docroot, path)
    if "body_hex" in rule:
        data = bytes.fromhex(rule["body_hex"])
    elif "body_len" in rule:
        return status, rule, rule["body_len"], _generated(rule["body_len"], rule.get("seed", 0))
    elif file:
        return status, rule, os.path.getsize(file), _file_chunks(file)
    elif "status" in rule:
        data = b"%d\n" % status
    else:
        status, data = 404, b"not found\n"
    return status, rule, len(data), iter([data])


def _await_release(path: str, seconds: float = 120) -> None:
    deadline = time.monotonic() + seconds
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.02)
    with contextlib.suppress(OSError):
        os.unlink(path)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 60
    reset = False

    def setup(self):
        super().setup()
        self.request.do_handshake()

    def log_message(self, *args):
        pass

    def do_HEAD(self):
        self.do_GET()

    def _log(self):
        listener = self.server
        version = self.request.version() if isinstance(self.request, ssl.SSLSocket) else None
        entry = {"path": self.path, "method": self.command, "user_agent": self.headers.get("User-Agent"),
                 "tls_version": version, "port": listener.server_address[1],
                 "listener": listener.name, "time": time.time()}
        with listener.owner.log_lock, open(os.path.join(listener.owner.docroot, LOG_FILE), "a") as log:
            log.write(json.dumps(entry, ensure_ascii=False) + "\n")

    def do_GET(self):
        self.close_connection = True
        tls, listener = self.request, self.server
        if self.path.startswith(("https://", "http://")):
            # The absolute form, which a server must accept too (Wine's
            # WinHTTP sends it inside a proxy's tunnel): served as its path.
            self.path = urllib.parse.urlsplit(self.path)._replace(scheme="", netloc="").geturl() or "/"
        self._log()
        try:
            status, rule, length, chunks = _answer(listener.owner.docroot, self.path)
        except Exception as e:  # a broken rule is the test's mistake: say which
            status, rule, text = 500, {}, ("bad test rule: %s\n" % e).encode()
            length, chunks = len(text), iter([text])
        time.sleep(rule.get("stall_before_headers_ms", 0) / 1000)
        if rule.get("no_response"):
            return
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        declared = rule.get("declared_length", length)
        if declared is not None:
            self.send_header("Content-Length", str(declared))
        if 300 <= status < 400:
            self.send_header("Location", "https://localhost:%d/redirected" % listener.server_address[1])
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command == "HEAD":
            return
        time.sleep(rule.get("stall_after_headers_ms", 0) / 1000)
        left = min(length, rule.get("cut_after", rule.get("reset_after", length)))
        self.reset = "reset_after" in rule
        drip = rule.get("drip", {})
        piece, first = drip.get("chunk", BLOCK), True
        for chunk in chunks:
            chunk = memoryview(chunk)[:left]
            left -= len(chunk)
            for start in range(0, len(chunk), piece):
                if drip and not first:
                    time.sleep(drip.get("delay_ms", 0) / 1000)
                first = False
                if drip.get("hold") and left <= 0 and start + piece >= len(chunk):
                    _await_release(os.path.join(listener.owner.docroot, drip["hold"]))
                tls.sendall(chunk[start:start + piece])
            if left <= 0:
                break

    def finish(self):
        super().finish()
        tls = self.request
        if not isinstance(tls, ssl.SSLSocket):
            return
        if self.reset:
            # SO_LINGER 0 drops what is still queued: let the bytes the rule
            # asked for leave first; the close then sends the RST.
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and struct.unpack(
                    "i", fcntl.ioctl(tls.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]:
                time.sleep(0.005)
            tls.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        try:  # close_notify, without waiting for the client's
            tls.settimeout(0)
            tls.unwrap()
        except (ssl.SSLError, OSError, ValueError):
            pass
        # Lingering close: unread client data at the close would turn the FIN
        # into a RST, which can destroy the response still in flight.
        socket.socket.shutdown(tls, socket.SHUT_WR)
        socket.socket.settimeout(tls, 2)
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline and socket.socket.recv(tls, 65536):
            pass


class _TunnelHandler(_Handler):
    def setup(self):
        socketserver.StreamRequestHandler.setup(self)

    def do_CONNECT(self):
        self.close_connection = True
        self._log()
        try:
            rule = _rule(self.server.owner.docroot, self.path)
        except Exception:  # the broken rule shows in the tunnel's answer
            rule = {"status": 500}
        status = rule.get("status", 200)
        if status != 200:
            self.send_response(status)
            if status == 407:
                self.send_header("Proxy-Authenticate", 'Basic realm="tunnel"')
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            return
        upstream_port = self.server.owner.ports[rule.get("tunnel_to", "main")]
        with socket.create_connection((HOST, upstream_port), timeout=60) as upstream:
            self.send_response(200, "Connection established")
            self.end_headers()
            self.wfile.flush()
            _relay(self.request, upstream)


def _relay(client, upstream):
    """Copies bytes both ways until both sides have finished sending."""
    open_ends = {client: upstream, upstream: client}
    while open_ends:
        ready = select.select(list(open_ends), [], [], 60)[0]
        if not ready:
            return
        for sock in ready:
            try:
                data = sock.recv(65536)
            except OSError:
                data = b""
            try:
                if data:
                    open_ends[sock].sendall(data)
                    continue
                open_ends[sock].shutdown(socket.SHUT_WR)
            except OSError:
                pass
            del open_ends[sock]


class _Listener(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    block_on_close = False

    def __init__(self, owner, name, port):
        self.owner, self.name = owner, name
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        if name == "tls10":
            # OpenSSL 3 refuses TLS 1.0/1.1 below security level 0.
            self.context.set_ciphers("DEFAULT:@SECLEVEL=0")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                self.context.minimum_version = ssl.TLSVersion.TLSv1
                self.context.maximum_version = ssl.TLSVersion.TLSv1_1
        else:
            self.context.minimum_version = ssl.TLSVersion.TLSv1_2
        stem = os.path.join(owner.certs, LISTENERS[name])
        self.context.load_cert_chain(stem + ".crt", stem + ".key")
        super().__init__((HOST, port or 0), _Handler)

    def get_request(self):
        sock, address = self.socket.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address

    def handle_error(self, request, address):
        pass  # failed handshakes and clients that went away

    def shutdown_request(self, request):
        request.close()


class _Tunnel(_Listener):
    def __init__(self, owner, name, port):
        self.owner, self.name = owner, name
        socketserver.ThreadingTCPServer.__init__(self, (HOST, port or 0), _TunnelHandler)

    def get_request(self):
        return self.socket.accept()


class VantrelServer:
    """start() binds every listener (OSError if a port is taken) and serves;
    stop() closes the listeners (connections already open run to their end).
    Usable as a context manager; start() may follow stop()."""

    LISTENERS = tuple(LISTENERS)

    def __init__(self, docroot, certs=TEST_CA, port=0, runtime_port=0, special_base=None, tunnel_port=None):
        self.docroot, self.certs = os.path.abspath(docroot), str(certs)
        self._wanted = {"main": port, "runtime": runtime_port}
        for offset, name in enumerate(("tls10", "wronghost", "expired")):
            self._wanted[name] = special_base + offset if special_base else 0
        if tunnel_port is not None:
            self._wanted["tunnel"] = tunnel_port
        self.log_lock = threading.Lock()
        self._listeners = []
        self.ports = {}

    def start(self):
        try:
            for name in self.LISTENERS:
                self._listeners.append(_Listener(self, name, self._wanted[name]))
            if "tunnel" in self._wanted:
                self._listeners.append(_Tunnel(self, "tunnel", self._wanted["tunnel"]))
        except OSError:
            for listener in self._listeners:
                listener.server_close()
            self._listeners = []
            raise
        for listener in self._listeners:
            threading.Thread(target=listener.serve_forever, args=(0.05,), daemon=True).start()
        self.ports = {l.name: l.server_address[1] for l in self._listeners}
        return self

    def stop(self):
        for listener in self._listeners:
            listener.shutdown()
            listener.server_close()
        self._listeners = []

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self.ports["main"]


def main():
    parser = argparse.ArgumentParser(description="local HTTPS test server")
    parser.add_argument("--docroot", required=True)
    parser.add_argument("--certs")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--runtime-port", type=int, default=0)
    parser.add_argument("--special-base", type=int)
    parser.add_argument("--tunnel-port", type=int)
    args = parser.parse_args()
    if args.certs:
        shutil.copytree(TEST_CA, args.certs, dirs_exist_ok=True)
    done = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: done.set())
    with VantrelServer(args.docroot, TEST_CA, args.port, args.runtime_port, args.special_base, args.tunnel_port):
        print("ready", flush=True)
        done.wait()


if __name__ == "__main__":
    main()
