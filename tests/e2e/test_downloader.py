"""The downloader's in-process tests (vantrel_net_tests.exe, Downloader.*)
run inside a Windows 10 prefix against the local staging server, plus an
optional 256 MiB measurement (VANTREL_BENCH=1): throughput and the peak
memory of the Wine process. The measurement prints; it asserts nothing about
time."""
import os
import re
import threading
import time
from pathlib import Path

import pytest

import harness

NET_TESTS = harness.Prefix.exe("vantrel_net_tests")


def gtest_counts(stdout: str) -> tuple[int, int]:
    """(tests run, tests passed) from GoogleTest's closing lines."""
    ran = re.search(r"\[==========\] (\d+) tests? from \d+ test suites? ran", stdout)
    passed = re.search(r"\[  PASSED  \] (\d+) tests?", stdout)
    return (int(ran.group(1)) if ran else 0, int(passed.group(1)) if passed else 0)


def test_downloader_in_process(win10, staging):
    result = win10.run(NET_TESTS, "--gtest_filter=Downloader.*", env=staging.net_test_env(win10),
                       timeout=300)
    ran, passed = gtest_counts(result.stdout)
    assert result.returncode == 0, result.stdout[-6000:]
    assert ran > 0 and passed > 0, result.stdout[-3000:]
    assert "[  FAILED  ]" not in result.stdout
    # Everything except the measurement ran for real, none skipped for want
    # of a setting.
    skipped = re.findall(r"\[  SKIPPED \] (Downloader\.\w+)", result.stdout)
    assert set(skipped) <= {"Downloader.Bench256MiB"}, skipped
    # What the server saw: TLS 1.2, the program's user agent, and never the
    # target of a redirect.
    seen = staging.requests()
    assert seen, "the server logged no request"
    for entry in seen:
        if entry.get("listener") == "main" and entry.get("path"):
            assert entry["tls_version"] == "TLSv1.2", entry
            assert entry["user_agent"] == "VantrelSetup/1.0", entry
    assert "/t/bytes/1" not in [entry.get("path") for entry in seen]


def _peak_rss_kib(program: str, prefix: Path, stop: threading.Event, peak: list) -> None:
    """Polls /proc for the Wine process running `program` in this prefix
    (other builds may run the same program at the same time) and keeps the
    largest VmHWM, the kernel's record of its peak resident size."""
    marker = f"WINEPREFIX={prefix}".encode()
    while not stop.is_set():
        for proc in Path("/proc").iterdir():
            if not proc.name.isdigit():
                continue
            try:
                if program not in (proc / "cmdline").read_bytes().decode("utf-8", "replace"):
                    continue
                if marker not in (proc / "environ").read_bytes().split(b"\0"):
                    continue
                for line in (proc / "status").read_text().splitlines():
                    if line.startswith("VmHWM:"):
                        peak[0] = max(peak[0], int(line.split()[1]))
            except OSError:
                continue
        stop.wait(0.2)


@pytest.mark.skipif(os.environ.get("VANTREL_BENCH") != "1", reason="set VANTREL_BENCH=1 to measure")
def test_measure_256_mib(win10, staging):
    env = staging.net_test_env(win10)
    env["VANTREL_BENCH_256"] = "1"
    stop, peak = threading.Event(), [0]
    watcher = threading.Thread(target=_peak_rss_kib, args=(str(NET_TESTS), win10.path, stop, peak))
    watcher.start()
    started = time.monotonic()
    try:
        result = win10.run(NET_TESTS, "--gtest_filter=Downloader.Bench256MiB", env=env, timeout=600)
    finally:
        stop.set()
        watcher.join()
    wall = time.monotonic() - started
    assert result.returncode == 0, result.stdout[-3000:]
    line = re.search(r"BENCH .*", result.stdout)
    assert line, result.stdout[-3000:]
    print(f"\n{line.group(0).strip()}\nwhole process: {wall:.1f} s wall, "
          f"peak RSS of the Wine process {peak[0] / 1024:.1f} MiB")
