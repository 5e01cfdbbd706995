"""Checks of the local HTTPS test server with Python's own TLS client: one row
per path rule, fault key and listener. Needs neither Wine nor a build."""

import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import types
import warnings
from pathlib import Path

import pytest

SERVER_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "https_server")
sys.path.insert(0, SERVER_DIR)

from vantrel_server import BLOCK, TEST_CA, VantrelServer, clear_requests, generated_bytes, read_requests, write_rules  # noqa: E402,E501

UA = "VantrelSetup/1.0"
BIG = os.urandom(2 * BLOCK + 12345)


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    base = tmp_path_factory.mktemp("site")
    (base / "secret.txt").write_bytes(b"outside the docroot")
    root = base / "www"
    (root / "sub").mkdir(parents=True)
    (root / "hello.txt").write_bytes(b"hello\n")
    (root / "sub" / "big.bin").write_bytes(BIG)
    os.symlink(base / "secret.txt", root / "escape.txt")
    with VantrelServer(root, tunnel_port=0) as srv:
        yield srv


@pytest.fixture(autouse=True)
def no_rules(server):
    yield
    write_rules(server.docroot, None)


def fetch(port, path, version=None, sock=None):
    """One GET, through a memory BIO so that what ends the stream is seen
    below TLS: end is None after close_notify, SSLEOFError after a plain FIN,
    ConnectionResetError after a reset; records counts the TLS reads. sock:
    an open connection to use instead of one to the port."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.load_verify_locations(TEST_CA / "ca.pem")
    if version is not None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
            ctx.minimum_version = ctx.maximum_version = version
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ctx.wrap_bio(incoming, outgoing, server_hostname="localhost")
    data, end, records = bytearray(), None, 0
    with sock or socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        def step(call, *args):
            while True:
                try:
                    return call(*args)
                except ssl.SSLWantReadError:
                    # Send only what there is: even an empty send reports a
                    # reset that has arrived, before the bytes that came
                    # ahead of it have been read.
                    if pending := outgoing.read():
                        sock.sendall(pending)
                    raw = sock.recv(65536)
                    incoming.write(raw) if raw else incoming.write_eof()
        step(tls.do_handshake)
        step(tls.write, f"GET {path} HTTP/1.1\r\nHost: localhost\r\nUser-Agent: {UA}\r\n\r\n".encode())
        sock.sendall(outgoing.read())
        try:
            while chunk := step(tls.read, 65536):
                data += chunk
                records += 1
        except ssl.SSLZeroReturnError:
            pass
        except OSError as e:
            end = e
    head, _, body = bytes(data).partition(b"\r\n\r\n")
    lines = head.decode("iso-8859-1").split("\r\n") if data else ["- -"]
    return types.SimpleNamespace(
        status=int(lines[0].split()[1]) if data else None, body=body, end=end, records=records,
        headers=dict((k.lower(), v.strip()) for k, v in (line.split(":", 1) for line in lines[1:])),
        version=tls.version())


@pytest.mark.parametrize("path, status, body", [
    ("/hello.txt?v=1", 200, b"hello\n"),
    ("/sub/big.bin", 200, BIG),
    ("/missing.txt", 404, None),
    ("/sub", 404, None),                    # a directory is not a file
    ("/sub/../../secret.txt", 404, None),
    ("/%2e%2e/secret.txt", 404, None),
    ("/escape.txt", 404, None),             # a link out of the docroot
    ("https://localhost:1/hello.txt", 200, b"hello\n"),  # the absolute form
])
def test_paths(server, path, status, body):
    got = fetch(server.port, path)
    assert (got.status, got.end) == (status, None)
    assert got.body == body if body is not None else b"outside" not in got.body
    assert int(got.headers["content-length"]) == len(got.body)


# Each fault key: status, headers, the bytes that arrive, how the stream ends.
@pytest.mark.parametrize("path, rule, status, headers, body, end", [
    ("/x", {"status": 302}, 302, {"location": "https://localhost:%d/redirected"}, b"302\n", None),
    ("/hello.txt", {"status": 503}, 503, {}, b"hello\n", None),       # the file is still the body
    ("/x", {"body_hex": ""}, 200, {"content-length": "0"}, b"", None),
    ("/x", {"body_len": BLOCK + 17, "seed": 9}, 200, {},
     bytes(((i + 9) * 131 + 7) & 0xFF for i in range(BLOCK + 17)), None),
    ("/hello.txt", {"declared_length": None}, 200, {"content-length": None}, b"hello\n", None),
    ("/x", {"body_len": 4000, "declared_length": 9000}, 200, {"content-length": "9000"},
     generated_bytes(4000), None),
    ("/sub/big.bin", {"cut_after": BLOCK + 5}, 200, {"content-length": str(len(BIG))}, BIG[:BLOCK + 5], None),
    # The server resets only once its bytes are acknowledged, so all of them
    # arrive, and the reset follows.
    ("/x", {"body_len": 9000, "reset_after": 3000}, 200, {"content-length": "9000"}, generated_bytes(3000),
     ConnectionResetError),
    ("/x", {"body_len": 3 * BLOCK, "reset_after": 2 * BLOCK + 5}, 200, {}, generated_bytes(2 * BLOCK + 5),
     ConnectionResetError),
    ("/x", {"body_len": 20, "drip": {"chunk": 7, "delay_ms": 1}}, 200, {}, generated_bytes(20), 3),
    ("/x", {"body_len": 20, "drip": {"chunk": 7, "hold": "go"}}, 200, {}, generated_bytes(20), 3),
    ("/x", {"body_len": 20, "stall_before_headers_ms": 10}, 200, {}, generated_bytes(20), None),
    ("/x", {"body_len": 20, "stall_after_headers_ms": 10}, 200, {}, generated_bytes(20), None),
    ("/hello.txt", {"no_response": True}, None, {}, b"", None),
    ("/x", {}, 404, {}, b"not found\n", None),
    ("/hello.txt", {"bogus": 1}, 500, {}, b"bad test rule: unknown rule keys bogus\n", None),
    ("/hello.txt", "{not json", 500, {}, b"bad test rule: Expecting property name enclosed in double quotes: "
     b"line 1 column 2 (char 1)\n", None),
], ids=lambda value: json.dumps(value) if isinstance(value, (dict, str)) else "-")
def test_rules(server, path, rule, status, headers, body, end):
    if isinstance(rule, str):       # the rules file itself is broken
        (Path(server.docroot) / "_rules.json").write_text(rule)
    else:
        write_rules(server.docroot, {path: rule})
    held, released = isinstance(rule, dict) and "hold" in rule.get("drip", {}), threading.Event()
    if held:  # the last piece waits for the file, which is taken away as it goes
        go = Path(server.docroot) / rule["drip"]["hold"]
        threading.Timer(0.5, lambda: (go.touch(), released.set())).start()
    got = fetch(server.port, path)
    assert not held or (released.is_set() and not go.exists())
    assert got.status == status
    assert got.body == body
    for name, value in headers.items():
        assert got.headers.get(name) == (value and value.replace("%d", str(server.port)))
    if isinstance(end, int):        # at least this many TLS records: the pieces of a drip
        assert got.end is None and got.records >= end
    else:
        assert (type(got.end) if got.end else None) is end


@pytest.mark.parametrize("listener, version, outcome", [
    ("main", ssl.TLSVersion.TLSv1, "VERSION"),      # the download servers refuse TLS 1.0
    ("tls10", ssl.TLSVersion.TLSv1, "TLSv1"),
    ("wronghost", None, "Hostname mismatch"),
    ("expired", None, "certificate has expired"),
])
def test_tls_listeners(server, listener, version, outcome):
    if outcome.startswith("TLS"):
        got = fetch(server.ports[listener], "/hello.txt", version)
        assert (got.version, got.body) == (outcome, b"hello\n")
    else:
        with pytest.raises(ssl.SSLError) as info:
            fetch(server.ports[listener], "/hello.txt", version)
        assert outcome in str(info.value)


# The tunnel: a CONNECT to any target reaches the main listener, unless a
# rule for the target answers otherwise or leads elsewhere; a plain GET serves
# the docroot.
@pytest.mark.parametrize("request_line, rule, answer, outcome", [
    ("CONNECT localhost:1", None, "HTTP/1.1 200 Connection established", b"hello\n"),
    ("CONNECT localhost:1", {"tunnel_to": "wronghost"}, "HTTP/1.1 200 Connection established", "Hostname mismatch"),
    ("CONNECT localhost:1", {"status": 407}, "HTTP/1.1 407 Proxy Authentication Required", None),
    ("GET /hello.txt", None, "HTTP/1.1 200 OK", b"hello\n"),
])
def test_tunnel(server, request_line, rule, answer, outcome):
    clear_requests(server.docroot)
    write_rules(server.docroot, rule and {"localhost:1": rule})
    sock = socket.create_connection(("127.0.0.1", server.ports["tunnel"]), timeout=10)
    sock.sendall(f"{request_line} HTTP/1.1\r\nHost: localhost:1\r\nUser-Agent: {UA}\r\n\r\n".encode())
    head = b""
    while b"\r\n\r\n" not in head:
        head += sock.recv(1)
    lines = head.decode("iso-8859-1").split("\r\n")
    assert lines[0] == answer
    method, target = request_line.split()
    logged = [(method, target, "tunnel", None)]
    if method == "GET":
        assert sock.recv(100) == outcome
    elif isinstance(outcome, str):
        with pytest.raises(ssl.SSLError, match=outcome):
            fetch(None, "/hello.txt", sock=sock)
    elif outcome is not None:
        assert fetch(None, "/hello.txt", sock=sock).body == outcome
        logged.append(("GET", "/hello.txt", "main", "TLSv1.3"))
    else:
        assert "Proxy-Authenticate: Basic" in head.decode() and sock.recv(100) == b""
    sock.close()
    assert [(e["method"], e["path"], e["listener"], e["tls_version"])
            for e in read_requests(server.docroot)] == logged


def test_request_log(server):
    clear_requests(server.docroot)
    fetch(server.port, "/hello.txt?q=1", ssl.TLSVersion.TLSv1_2)
    fetch(server.ports["runtime"], "/missing")
    assert [(e["path"], e["method"], e["user_agent"], e["tls_version"], e["port"], e["listener"])
            for e in read_requests(server.docroot)] == [
        ("/hello.txt?q=1", "GET", UA, "TLSv1.2", server.port, "main"),
        ("/missing", "GET", UA, "TLSv1.3", server.ports["runtime"], "runtime")]
    clear_requests(server.docroot)
    assert read_requests(server.docroot) == []


def test_cli_serves_copies_the_certificates_and_stops_on_sigterm(tmp_path):
    (tmp_path / "a.txt").write_bytes(b"cli\n")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    proc = subprocess.Popen([sys.executable, os.path.join(SERVER_DIR, "vantrel_server.py"), "--docroot",
                             str(tmp_path), "--certs", str(tmp_path / "certs"), "--port", str(port)],
                            stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        assert (tmp_path / "certs" / "ca.pem").read_bytes() == (TEST_CA / "ca.pem").read_bytes()
        assert fetch(port, "/a.txt").body == b"cli\n"
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=30) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        proc.stdout.close()
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=10).close()
