"""The downloader's in-process tests (vantrel_net_tests.exe, Downloader.*)
run inside a Windows 10 prefix against the local staging server."""
import os
import re
import shutil
import subprocess

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
    # Everything ran for real, none skipped for want of a setting.
    assert "[  SKIPPED ]" not in result.stdout, result.stdout[-3000:]
    # What the server saw: TLS 1.2, the program's user agent, and never the
    # target of a redirect.
    seen = staging.requests()
    assert seen, "the server logged no request"
    for entry in seen:
        if entry.get("listener") == "main" and entry.get("path"):
            assert entry["tls_version"] == "TLSv1.2", entry
            assert entry["user_agent"] == "VantrelSetup/1.0", entry
    assert "/redirected" not in [entry.get("path") for entry in seen]


def test_a_full_disk_is_reported_with_the_systems_code(win10, staging, tmp_path):
    """A download into a folder on a 1028 KiB tmpfs (a size no run of 16 KiB
    TLS records ends on), made a drive of the prefix: DownloaderFullDisk.*.
    The mount exists only in a private mount namespace, so the prefix's
    wineserver, which opens the files, is started inside it and ended there."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("a private tmpfs needs root and unshare")
    small = tmp_path / "small"
    small.mkdir()
    drive = win10.path / "dosdevices" / "t:"
    drive.symlink_to(small)
    script = ('mount -t tmpfs -o size=1028k tmpfs "$1" || exit 99; shift; "$@"; code=$?; '
              'wineserver -k; wineserver -w; exit $code')

    def run_on_small_drive(exe, *args, env, timeout):
        win10.kill()
        return subprocess.run(["unshare", "-m", "--", "sh", "-c", script, "sh", str(small),
                               harness.loader(exe), str(exe), *map(str, args)],
                              env=win10.env(env), capture_output=True, text=True, timeout=timeout,
                              encoding="utf-8", errors="replace")

    try:
        env = {**staging.net_test_env(win10), "VANTREL_TEST_FULL_FOLDER": "T:"}
        win10.gtest(NET_TESTS, "DownloaderFullDisk.*", env=env, run=run_on_small_drive)
    finally:
        drive.unlink()
