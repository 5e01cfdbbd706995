"""The benchmark programs under Wine, against a local HTTPS server of their
own: a benchmark is only worth its figures if the reference programs do
what they claim. The bare WinHTTP reader must store exactly the body, refuse
what the installer refuses (a redirect is not followed, a non-200 is not a
success); the digest timer must report the true digest; the start-up probe
must time a real window and give up on a program that never shows one.
Nothing here asserts on time."""
import hashlib
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests/e2e"))
sys.path.insert(0, str(SOURCE / "tools/https_server"))
import harness  # noqa: E402
import vantrel_server  # noqa: E402

BENCH_DIR = harness.BUILD_DIR / "bench"


def program(name: str) -> Path:
    return BENCH_DIR / f"{name}.exe"


@pytest.fixture(scope="module")
def prefix(tmp_path_factory, display):
    prefix = harness.fresh_prefix(tmp_path_factory.mktemp("bench"), "win10")
    yield prefix
    prefix.remove()


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    docroot = tmp_path_factory.mktemp("docroot")
    with vantrel_server.VantrelServer(docroot, harness.CERTS_DIR) as running:
        yield running


@pytest.fixture(scope="module")
def display(tmp_path_factory):
    for number in range(200, 260):
        if not Path(f"/tmp/.X11-unix/X{number}").exists() and not Path(f"/tmp/.X{number}-lock").exists():
            break
    proc = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                             "-nocursor"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while not Path(f"/tmp/.X11-unix/X{number}").exists():
        if proc.poll() is not None or time.monotonic() > deadline:
            pytest.fail("Xvfb did not start")
        time.sleep(0.05)
    # Every program of the prefix gets the screen: Wine's desktop process
    # starts with the first of them and keeps the display it was given.
    previous = os.environ.get("DISPLAY")
    os.environ["DISPLAY"] = f":{number}"
    yield {"DISPLAY": f":{number}"}
    proc.terminate()
    proc.wait(timeout=10)
    if previous is None:
        os.environ.pop("DISPLAY", None)
    else:
        os.environ["DISPLAY"] = previous


def last_json(stdout: str) -> dict:
    return json.loads(stdout.strip().splitlines()[-1])


def read(prefix, server, path, target):
    return prefix.run(program("winhttp_reader"), "localhost", server.port, path, prefix.win_path(target),
                      timeout=120)


@pytest.mark.parametrize("length,seed", [(1, 0), (65536, 1), (65537, 2), (3 * 1048576 + 5, 3)])
def test_reader_stores_exactly_the_body(prefix, server, tmp_path, length, seed):
    target = tmp_path / f"body-{length}.bin"
    vantrel_server.write_rules(server.docroot, {"/bytes": {"body_len": length, "seed": seed}})
    result = read(prefix, server, "/bytes", target)
    assert result.returncode == 0, result.stderr
    report = last_json(result.stdout)
    assert (report["status"], report["bytes"]) == (200, length)
    assert target.read_bytes() == vantrel_server.generated_bytes(length, seed)


@pytest.mark.parametrize("status", [404, 302, 301])
def test_reader_reports_other_answers_as_failures_and_never_follows(prefix, server, tmp_path, status):
    vantrel_server.write_rules(server.docroot, {"/status": {"status": status}})
    vantrel_server.clear_requests(server.docroot)
    result = read(prefix, server, "/status", tmp_path / "answer.bin")
    assert result.returncode == 1
    assert last_json(result.stdout)["status"] == status
    # The server's redirects point at /redirected; it must never be asked for.
    assert [e["path"] for e in vantrel_server.read_requests(server.docroot)] == ["/status"]


def test_reader_speaks_tls_1_2_only(prefix, server, tmp_path):
    vantrel_server.write_rules(server.docroot, {"/bytes": {"body_len": 10}})
    vantrel_server.clear_requests(server.docroot)
    assert read(prefix, server, "/bytes", tmp_path / "tls.bin").returncode == 0
    assert [e["tls_version"] for e in vantrel_server.read_requests(server.docroot)] == ["TLSv1.2"]


@pytest.mark.parametrize("length", [0, 3, 256 * 4099])
def test_hash_timer_reports_the_true_digest(prefix, tmp_path, length):
    content = (bytes(range(256)) * (length // 256 + 1))[:length]
    target = tmp_path / "hashed.bin"
    target.write_bytes(content)
    result = prefix.run(program("hash_timer"), prefix.win_path(target), 2)
    assert result.returncode == 0, result.stderr
    report = last_json(result.stdout)
    assert report["digest"] == hashlib.sha256(content).hexdigest()
    assert report["bytes"] == len(content)
    assert len(report["hash_s"]) == len(report["read_s"]) == len(report["cng_s"]) == 2


def test_hash_timer_fails_on_a_missing_file(prefix, tmp_path):
    assert prefix.run(program("hash_timer"), prefix.win_path(tmp_path / "absent.bin"), 1).returncode == 1


def test_startup_probe_times_a_real_window_and_closes_it(prefix, display):
    result = prefix.run(program("startup_probe"), prefix.win_path(program("minimal_window")), 2, env=display)
    assert result.returncode == 0, result.stderr
    report = last_json(result.stdout)
    assert len(report["ms"]) == 2 and all(ms > 0 for ms in report["ms"])
    assert report["exit_codes"] == [0, 0]  # closed through WM_CLOSE, not killed


def test_startup_probe_alternates_with_a_reference(prefix, display):
    window = prefix.win_path(program("minimal_window"))
    result = prefix.run(program("startup_probe"), window, 3, window, env=display)
    assert result.returncode == 0, result.stderr
    report = last_json(result.stdout)
    assert len(report["ms"]) == 3 and len(report["reference_ms"]) == 3
    assert all(ms > 0 for ms in report["ms"] + report["reference_ms"])
    assert report["exit_codes"] == report["reference_exit_codes"] == [0, 0, 0]
    # A reference that shows no window fails the whole run.
    failed = prefix.run(program("startup_probe"), window, 2, prefix.win_path(program("winhttp_reader")), env=display)
    assert failed.returncode == 1 and "no visible window" in failed.stderr


def test_startup_probe_gives_up_on_a_program_without_a_window(prefix, display):
    # The reader without arguments prints its usage and exits at once.
    result = prefix.run(program("startup_probe"), prefix.win_path(program("winhttp_reader")), 1, env=display)
    assert result.returncode == 1
    assert "no visible window" in result.stderr


def test_latency_probe_counts_answers_of_a_live_window(prefix, display):
    window = prefix.popen(program("minimal_window"), env=display)
    try:
        result = prefix.run(program("latency_probe"), 1, 0.5, env=display, timeout=60)
        assert result.returncode == 0, result.stderr
        report = last_json(result.stdout)
        answered = report["other"]
        assert answered["count"] > 0 and answered["timeouts"] == 0
        assert report["download"]["count"] == 0  # no status line says it is downloading
    finally:
        window.kill()
        window.wait(timeout=30)
