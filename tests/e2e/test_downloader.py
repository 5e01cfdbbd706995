"""The downloader's in-process tests (vantrel_net_tests.exe, Downloader.*)
run inside a Windows 10 prefix against the local staging server; and
--verify behind the current user's proxy, through the server's CONNECT tunnel."""
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


# The current user's proxy when the direct attempt cannot connect. Each row:
# the Internet Options setting ({tunnel} stands for the tunnel's address),
# whether the product server also answers directly (else only through the
# tunnel), the tunnel's rule for the server's CONNECT; then what --verify
# exits with and how many CONNECTs the tunnel sees (one per resource fetched
# through it).
PROXY_ROWS = {
    "typed-in proxy": ({"proxy": "{tunnel}"}, False, {}, 0, 2),
    "auto-config script": ({"script": "http://{tunnel}/proxy.pac"}, False, {}, 0, 2),
    "script not found: the typed-in proxy": (
        {"proxy": "{tunnel}", "script": "http://{tunnel}/missing.pac"}, False, {}, 0, 2),
    "script answers DIRECT": ({"script": "http://{tunnel}/direct.pac"}, False, {}, 1, 0),
    "host on the bypass list": ({"proxy": "{tunnel}", "bypass": "*.example.com; LOCALHOST"}, False, {}, 1, 0),
    "<local> on the bypass list": ({"proxy": "{tunnel}", "bypass": "<local>"}, False, {}, 1, 0),
    "no proxy set": ({}, False, {}, 1, 0),
    "direct attempt works": ({"proxy": "{tunnel}"}, True, {}, 0, 0),
    "tunnel refused (407)": ({"proxy": "{tunnel}"}, False, {"status": 407}, 1, 1),
    # A proxy that answers with another certificate (one for wrong.example).
    "tunnel to an impostor": ({"proxy": "{tunnel}"}, False, {"tunnel_to": "wronghost"}, 1, 1),
}


@pytest.mark.parametrize("row", list(PROXY_ROWS))
def test_user_proxy_when_the_server_cannot_be_reached(win10, staging, row):
    setting, direct, tunnel_rule, code, connects = PROXY_ROWS[row]
    package = harness.package_bytes(150_000, 3)
    staging.publish("/downloads/Proxy-Setup.exe", package)
    staging.publish_manifest({"windows": harness.manifest_section("Proxy-Setup.exe", package)})
    target = f"localhost:{harness.CONFIG['product_port']}"
    if tunnel_rule:
        staging.rule(target, **tunnel_rule)
    with staging.tunnel(direct) as proxy:
        address = f"127.0.0.1:{proxy.ports['tunnel']}"
        staging.publish("/proxy.pac", b'function FindProxyForURL(url, host) { return "PROXY %s"; }'
                        % address.encode())
        staging.publish("/direct.pac", b'function FindProxyForURL(url, host) { return "DIRECT"; }')
        win10.set_user_proxy(**{key: value.format(tunnel=address) for key, value in setting.items()})
        try:
            assert win10.headless("--verify") == code
        finally:
            win10.set_user_proxy()
    seen = staging.requests()
    assert [e["path"] for e in seen if e["method"] == "CONNECT"] == [target] * connects
    fetched = [e for e in seen if e["listener"] == "main"]
    assert [e["path"] for e in fetched] == (["/downloads/release.ini", "/downloads/Proxy-Setup.exe"]
                                            if code == 0 else [])
    assert all((e["tls_version"], e["user_agent"]) == ("TLSv1.2", "VantrelSetup/1.0") for e in fetched)
