"""Checks of the local HTTPS test server with Python's own TLS client.

Self-contained: needs neither Wine nor a build; certificates and document
root live in pytest's temporary directories and all ports are picked free.
"""

import http.client
import json
import os
import re
import signal
import socket
import ssl
import struct
import subprocess
import sys
import threading
import warnings

import pytest

SERVER_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "https_server")
sys.path.insert(0, SERVER_DIR)

from make_certs import ensure_certs  # noqa: E402
from vantrel_server import (BLOCK, VantrelServer, clear_requests,  # noqa: E402
                            generated_bytes, read_requests, wait_for_requests,
                            write_rules)

UA = "VantrelSetup/1.0"
BIG = os.urandom(2 * BLOCK + 12345)
TLS12 = ssl.TLSVersion.TLSv1_2
TLS10 = ssl.TLSVersion.TLSv1


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    return ensure_certs(str(tmp_path_factory.mktemp("certs")))


@pytest.fixture(scope="module")
def docroot(tmp_path_factory):
    base = tmp_path_factory.mktemp("site")
    (base / "secret.txt").write_bytes(b"outside the docroot")
    root = base / "www"
    (root / "sub" / "dir").mkdir(parents=True)
    (root / "hello.txt").write_bytes(b"hello\n")
    (root / "sub" / "dir" / "big.bin").write_bytes(BIG)
    os.symlink(base / "secret.txt", root / "escape.txt")
    return str(root)


@pytest.fixture(scope="module")
def server(docroot, certs):
    with VantrelServer(docroot, certs) as srv:
        yield srv


@pytest.fixture
def rules(docroot):
    yield lambda r: write_rules(docroot, r)
    write_rules(docroot, None)


class StrictContext(ssl.SSLContext):
    """Reports an end of stream without close_notify as an error instead of
    as a normal end, so a clean close and a reset can be told apart."""

    def wrap_socket(self, sock, **kwargs):
        kwargs["suppress_ragged_eofs"] = False
        return super().wrap_socket(sock, **kwargs)


def client_context(certs, version=None):
    ctx = StrictContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.load_verify_locations(os.path.join(certs, "ca.pem"))
    if version is not None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
            ctx.minimum_version = version
            ctx.maximum_version = version
    return ctx


def fetch(server, certs, path, listener="main", version=None):
    """(status, headers dict, body, error) of one GET.

    Reads the TLS stream itself rather than through http.client, whose
    buffering drops the bytes that came before a reset; error is the exception
    that ended the body early, or None after a clean close."""
    raw = socket.create_connection(("127.0.0.1", server.ports[listener]), timeout=10)
    with client_context(certs, version).wrap_socket(raw, server_hostname="localhost") as tls:
        tls.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\nUser-Agent: %s\r\n\r\n"
                     % (path, UA)).encode())
        data, error = bytearray(), None
        try:
            while chunk := tls.recv(65536):
                data += chunk
        except OSError as e:
            error = e
    if b"\r\n\r\n" not in data:
        raise http.client.RemoteDisconnected("no response head", error)
    head, body = bytes(data).split(b"\r\n\r\n", 1)
    lines = head.decode("iso-8859-1").split("\r\n")
    assert re.fullmatch(r"HTTP/1\.1 \d{3} \S.*", lines[0]), lines[0]
    headers = {}
    for line in lines[1:]:
        name, value = line.split(":", 1)
        assert name.lower() not in headers, "duplicate header " + name
        headers[name.lower()] = value.strip()
    return int(lines[0].split()[1]), headers, body, error


def case_id(value):
    if isinstance(value, ssl.TLSVersion):
        return value.name
    if isinstance(value, type):
        return value.__name__
    if isinstance(value, (bytes, bytearray)):
        return "%dB" % len(value)
    return json.dumps(value) if isinstance(value, (dict, type(None))) else str(value)


def formula(n, seed=0):
    return bytes(((i + seed) * 131 + 7) & 0xFF for i in range(n))


# --- paths, files, generated bodies -----------------------------------------

@pytest.mark.parametrize("path, status, body", [
    ("/hello.txt", 200, b"hello\n"),
    ("/hello.txt?v=1&x=2", 200, b"hello\n"),
    ("/sub/dir/big.bin", 200, BIG),
    ("/missing.txt", 404, None),
    ("/sub", 404, None),                        # a directory is not a file
    ("/../secret.txt", 404, None),
    ("/sub/../../secret.txt", 404, None),
    ("/%2e%2e/secret.txt", 404, None),
    ("/escape.txt", 404, None),                 # symlink out of the docroot
], ids=case_id)
def test_paths(server, certs, path, status, body):
    got_status, headers, got_body, error = fetch(server, certs, path)
    assert (got_status, error) == (status, None)
    if body is not None:
        assert got_body == body
        assert int(headers["content-length"]) == len(body)
    else:
        assert b"outside" not in got_body


# --- rules file --------------------------------------------------------------

@pytest.mark.parametrize("rule, path, status, headers, body", [
    ({"status": 302}, "/nofile", 302, {"location": "https://localhost:%d/redirected"}, None),
    ({"body_hex": ""}, "/x", 200, {"content-length": "0"}, b""),
    ({"body_len": BLOCK + 17, "seed": 9}, "/x", 200, {}, formula(BLOCK + 17, 9)),
    ({"status": 503}, "/hello.txt", 503, {}, b"hello\n"),    # file still the body
    ({"declared_length": None}, "/hello.txt", 200, {}, b"hello\n"),
    ({"body_len": 20, "drip": {"chunk": 7, "delay_ms": 1}}, "/x", 200, {}, formula(20)),
    ({"body_len": 20, "stall_after_headers_ms": 10}, "/x", 200, {}, formula(20)),
    ({"body_len": 20, "stall_before_headers_ms": 10}, "/x", 200, {}, formula(20)),
    ({}, "/nofile", 404, {}, None),
    ({"bogus": 1}, "/hello.txt", 500, {}, None),
    ({"body_hex": "zz"}, "/x", 500, {}, None),
], ids=case_id)
def test_rules(server, certs, rules, rule, path, status, headers, body):
    rules({path: rule})
    got_status, got_headers, got_body, error = fetch(server, certs, path)
    assert (got_status, error) == (status, None)
    for name, value in headers.items():
        assert got_headers.get(name) == value.replace("%d", str(server.port))
    if body is not None:
        assert got_body == body
    if rule.get("declared_length", 0) is None:
        assert "content-length" not in got_headers


def test_rules_are_reread_and_match_query_first(server, certs, rules):
    rules({"/hello.txt": {"status": 404}})
    assert fetch(server, certs, "/hello.txt")[0] == 404
    rules({"/hello.txt?a=1": {"status": 410}, "/hello.txt": {"status": 403}})
    assert fetch(server, certs, "/hello.txt?a=1")[0] == 410
    assert fetch(server, certs, "/hello.txt?b=2")[0] == 403
    with open(os.path.join(server.docroot, "_rules.json"), "w") as f:
        f.write("{not json")
    assert fetch(server, certs, "/hello.txt")[0] == 500
    rules(None)
    assert fetch(server, certs, "/hello.txt")[0] == 200


# --- early ends ----------------------------------------------------------------

@pytest.mark.parametrize("path, rule, sent, declared, reset", [
    ("/x", {"body_len": 8000000 + BLOCK, "reset_after": 8000000},    # more than the socket buffers
     8000000, 8000000 + BLOCK, True),
    ("/sub/dir/big.bin", {"cut_after": BLOCK + 5}, BLOCK + 5, len(BIG), False),
    ("/sub/dir/big.bin", {"reset_after": 0}, 0, len(BIG), True),
    ("/x", {"body_len": 4000, "declared_length": 9000}, 4000, 9000, False),
], ids=case_id)
def test_truncated_bodies(server, certs, rules, path, rule, sent, declared, reset):
    """A cut ends as a clean short body; a reset surfaces as a connection reset."""
    rules({path: rule})
    status, headers, body, error = fetch(server, certs, path)
    assert status == 200 and int(headers["content-length"]) == declared
    source = BIG if path.startswith("/sub") else generated_bytes(max(sent, declared))
    assert body == source[:sent]
    if reset:
        assert isinstance(error, OSError)       # ended without close_notify
    else:
        assert error is None


@pytest.mark.parametrize("rule, reset", [({"body_len": 9000, "reset_after": 3000}, True),
                                         ({"body_len": 9000, "cut_after": 3000}, False)], ids=case_id)
def test_reset_is_a_tcp_reset(server, certs, rules, rule, reset):
    """Below TLS: a reset ends in ECONNRESET after all data, a cut in a FIN."""
    path = "/x"
    rules({path: rule})
    raw = socket.create_connection(("127.0.0.1", server.port), timeout=10)
    tls = client_context(certs).wrap_socket(raw, server_hostname="localhost")
    with tls:
        tls.sendall(b"GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % path.encode())
        received, outcome = 0, None
        while outcome is None:
            try:
                data = socket.socket.recv(tls, 65536)    # raw TLS records
                received += len(data)
                outcome = "eof" if not data else None
            except ConnectionResetError:
                outcome = "reset"
    assert outcome == ("reset" if reset else "eof")
    assert received > 3000          # the body's records came before the end


def test_hangup_sends_nothing(server, certs, docroot, rules):
    rules({"/hello.txt": {"no_response": True, "stall_before_headers_ms": 1}})
    clear_requests(docroot)
    with pytest.raises(OSError):        # no status line at all
        fetch(server, certs, "/hello.txt")
    assert [e["path"] for e in read_requests(docroot)] == ["/hello.txt"]


# --- TLS listeners -------------------------------------------------------------

@pytest.mark.parametrize("listener, version, outcome", [
    ("main", TLS10, ssl.SSLError),
    ("tls10", TLS10, "TLSv1"),
    ("wronghost", TLS12, "Hostname mismatch"),
    ("expired", TLS12, "expired"),
], ids=case_id)
def test_tls_listeners(server, certs, listener, version, outcome):
    ctx = client_context(certs, version)
    raw = socket.create_connection(("127.0.0.1", server.ports[listener]), timeout=10)
    with raw:
        if isinstance(outcome, type):
            with pytest.raises(outcome) as info:
                ctx.wrap_socket(raw, server_hostname="localhost")
            assert not isinstance(info.value, ssl.SSLCertVerificationError)
        elif outcome.startswith("TLS"):
            with ctx.wrap_socket(raw, server_hostname="localhost") as tls:
                assert tls.version() == outcome
                tls.sendall(b"GET /hello.txt HTTP/1.1\r\nHost: localhost\r\n\r\n")
                reply = b""
                while chunk := tls.recv(4096):
                    reply += chunk
                assert reply.startswith(b"HTTP/1.1 200") and reply.endswith(b"\r\n\r\nhello\n")
        else:
            with pytest.raises(ssl.SSLCertVerificationError) as info:
                ctx.wrap_socket(raw, server_hostname="localhost")
            assert outcome in info.value.verify_message


def test_request_log(tmp_path, certs):
    # Own server: late handshake-failure entries of other tests cannot leak in.
    docroot = str(tmp_path)
    (tmp_path / "hello.txt").write_bytes(b"hello\n")
    with VantrelServer(docroot, certs) as server:
        fetch(server, certs, "/hello.txt?q=1", version=TLS12)
        fetch(server, certs, "/hello.txt", listener="runtime")
        with pytest.raises(ssl.SSLCertVerificationError):
            fetch(server, certs, "/never", listener="expired")
        wait_for_requests(docroot, 3, include_failed=True)
    entries = read_requests(docroot)
    assert [(e["path"], e["user_agent"], e["tls_version"], e["port"]) for e in entries] == [
        ("/hello.txt?q=1", UA, "TLSv1.2", server.port),
        ("/hello.txt", UA, "TLSv1.3", server.runtime_port),
    ]
    assert all(isinstance(e["time"], float) for e in entries)
    failed = [e for e in read_requests(docroot, include_failed=True) if "event" in e]
    assert [(e["event"], e["port"]) for e in failed] == [
        ("handshake_failed", server.expired_port)]
    clear_requests(docroot)
    assert read_requests(docroot) == []


# --- robustness, shutdown, CLI -------------------------------------------------

def test_survives_vanished_clients_and_stops_open_connections(docroot, certs, rules):
    rules({"/drip": {"body_len": 100000, "drip": {"chunk": 100, "delay_ms": 5}},
           "/stall": {"body_len": 10, "stall_after_headers_ms": 600000},
           "/slow": {"body_len": 100000, "drip": {"chunk": 1, "delay_ms": 60000}},
           "/huge": {"body_len": 100000000}})
    srv = VantrelServer(docroot, certs).start()
    try:
        ctx = client_context(certs)

        def open_stream(path):
            raw = socket.create_connection(("127.0.0.1", srv.port), timeout=10)
            tls = ctx.wrap_socket(raw, server_hostname="localhost")
            tls.sendall(b"GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % path.encode())
            head = b""
            while b"\r\n\r\n" not in head:
                head += tls.recv(1)
            return tls

        # Clients that vanish mid-body, one with a reset and one with a close.
        for linger in (True, False):
            tls = open_stream("/drip")
            tls.recv(100)
            if linger:
                tls.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            tls.close()
        stalled = open_stream("/stall")
        dripping = open_stream("/slow")
        not_reading = open_stream("/huge")
        silent = ctx.wrap_socket(socket.create_connection(("127.0.0.1", srv.port), timeout=10),
                                 server_hostname="localhost")
        assert fetch(srv, certs, "/hello.txt")[2] == b"hello\n"
    finally:
        srv.stop()
    # Each must see its connection closed by stop() (a timeout here means the
    # server left it open), and nothing beyond what was due before stopping:
    # raw TLS bytes, so a limit of 200 leaves room for one dripped byte.
    for tls, limit in ((stalled, 1), (dripping, 200), (not_reading, 100000000),
                       (silent, 4096)):
        with tls:
            received = 0
            try:
                while data := socket.socket.recv(tls, 1 << 20):
                    received += len(data)
            except ConnectionResetError:
                pass
            assert received < limit
    alive = [t for t in threading.enumerate() if t.name.endswith("-%d" % srv.port)]
    assert alive == []
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", srv.port), timeout=10).close()


def test_cli_serves_and_stops_on_sigterm(tmp_path, certs):
    (tmp_path / "www").mkdir()
    (tmp_path / "www" / "a.txt").write_bytes(b"cli\n")
    ports_file = tmp_path / "ports.json"
    proc = subprocess.Popen(
        [sys.executable, os.path.join(SERVER_DIR, "vantrel_server.py"), "--docroot",
         str(tmp_path / "www"), "--certs", certs, "--port", "0",
         "--ports-file", str(ports_file)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        ports = json.loads(ports_file.read_text())
        assert set(ports) == set(VantrelServer.LISTENERS)

        class Ports:
            pass
        srv = Ports()
        srv.ports = ports
        assert fetch(srv, certs, "/a.txt")[2] == b"cli\n"
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=30) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()
        proc.stderr.close()
