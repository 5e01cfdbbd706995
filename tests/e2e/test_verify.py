"""The "--verify" mode end to end: the installer fetches the release manifest
from the staging server, reads its channel's section, downloads the package it
names and checks size and digest, starts nothing, and reports only through
its exit code. Also runs the in-process tests of the installation sequence
(launch, exit codes, cancel, clean-up), which need the same server."""
import hashlib

import pytest

import harness
import vantrel_server

NET = harness.Prefix.exe("vantrel_net_tests")
MANIFEST = "/downloads/release.ini"


FULL = harness.package_bytes(300_000, 1)
AGENT = harness.package_bytes(200_000, 2)
CHANNEL_FILES = {"win10": "Full-Setup-2.0.exe", "win7": "Agent-Setup-2.0.exe"}


section = harness.manifest_section


def publish_both_channels(staging) -> None:
    staging.publish("/downloads/" + CHANNEL_FILES["win10"], FULL)
    staging.publish("/downloads/" + CHANNEL_FILES["win7"], AGENT)
    staging.publish_manifest({"windows": section(CHANNEL_FILES["win10"], FULL),
                              "win7": section(CHANNEL_FILES["win7"], AGENT)})


@pytest.mark.parametrize("system", ["win7", "win10"])
def test_each_system_fetches_its_own_package(request, staging, system):
    prefix = request.getfixturevalue(system)
    publish_both_channels(staging)

    assert prefix.headless("--verify") == 0
    # One manifest path for both editions; the section picks the package.
    assert staging.paths() == [MANIFEST, "/downloads/" + CHANNEL_FILES[system]]


def test_win7_section_missing_a_key_fails_on_win7_only(win7, win10, staging):
    staging.publish("/downloads/" + CHANNEL_FILES["win10"], FULL)
    agent = section(CHANNEL_FILES["win7"], AGENT)
    del agent["size"]
    staging.publish_manifest({"windows": section(CHANNEL_FILES["win10"], FULL), "win7": agent})

    assert win7.headless("--verify") == 1
    assert staging.paths() == [MANIFEST]
    assert win10.headless("--verify") == 0


def wrong_digest(data: bytes) -> str:
    digest = hashlib.sha256(data).hexdigest()
    return ("1" if digest[0] == "0" else "0") + digest[1:]


WIN10_REQUESTS = [MANIFEST, "/downloads/" + CHANNEL_FILES["win10"]]


# name: (the "windows" section, or the whole release.ini as bytes, or None
# for none on the server; the requests expected). Each rule of the manifest
# has its rows in the unit tables; these are the failures that only show
# against a server.
FAILURES = {
    "no manifest on the server": (None, [MANIFEST]),
    "manifest that is not ini": (b"\x00\x01 not a manifest", [MANIFEST]),
    "package missing (404)": (section("Missing-Setup.exe", FULL), [MANIFEST, "/downloads/Missing-Setup.exe"]),
    "package one byte short": (section(CHANNEL_FILES["win10"], FULL, size=str(len(FULL) + 1)), WIN10_REQUESTS),
    "package one byte long": (section(CHANNEL_FILES["win10"], FULL, size=str(len(FULL) - 1)), WIN10_REQUESTS),
    "wrong digest": (section(CHANNEL_FILES["win10"], FULL, sha256=wrong_digest(FULL)), WIN10_REQUESTS),
    # Names that would leave /downloads/ or need encoding are never requested.
    "parent folder": (section("../x.exe", FULL), [MANIFEST]),
    "sub folder": (section("dir/setup.exe", FULL), [MANIFEST]),
    "percent escape": (section("a%20b.exe", FULL), [MANIFEST]),
}


@pytest.mark.parametrize("case", list(FAILURES))
def test_failures_exit_with_1(win10, staging, case):
    manifest, expected_requests = FAILURES[case]
    staging.publish("/downloads/Full-Setup-2.0.exe", FULL)
    # Something to serve if the unsafe names were ever requested.
    for path in ("/x.exe", "/downloads/dir/setup.exe", "/downloads/a b.exe", "/downloads/a%20b.exe"):
        staging.publish(path, FULL)
    if isinstance(manifest, dict):
        staging.publish_manifest({"windows": manifest})
    elif manifest is not None:
        staging.publish_manifest({}, raw=manifest)

    assert win10.headless("--verify") == 1
    assert staging.paths() == expected_requests


def test_no_server(win10, _staging_server):
    server, docroot = _staging_server
    logged = len(vantrel_server.read_requests(docroot))
    server.stop()
    try:
        assert win10.headless("--verify") == 1
    finally:
        server.start()
    # Nobody answered: the request never reached the (stopped) server.
    assert len(vantrel_server.read_requests(docroot)) == logged


def test_installation_sequence_in_process(win10, staging):
    """Launch with "/SP-" in the workspace, exit codes 0, 2 and C0000005,
    cancel after the download, a file left by the installer, the manifest
    limit of 65536 bytes: tests/net/workflow_test.cpp against this server."""
    win10.gtest(NET, "WorkflowInstall.*", env=staging.net_test_env(win10))
