"""Resource leaks over many runs in one process.

* Fifty "--verify"-style installation sequences (successes and every kind of
  failure) in one process leave its handle count flat: tests/net/leak_test.cpp
  against the staging server.
* Twenty windowed installations in one installer window (click, the product
  installer runs and ends, click again) leave its GDI and USER objects and
  its handles flat, read with the window driver after each run.

Wine reports 0 for GetGuiResources and for other processes' handle counts;
the driver then counts what Wine does expose (the process's GDI handle table,
its windows, its entries in the system handle table), and the counts used
here are those wherever the API gave 0."""
from __future__ import annotations

import re
import subprocess
import time

import pytest

import harness

SETUP = harness.Prefix.exe("VantrelSetup")
SAMPLE = harness.Prefix.exe("sample_installer")
NET = harness.Prefix.exe("vantrel_net_tests")

WARM_UP_RUNS = 3
MEASURED_RUNS = 20
DONE = "安装已完成。"
PACKAGE_PATH = "/downloads/Leak-Setup-1.0.exe"
# GDI objects Wine may create on first use of something (a font in a new
# size, a cached brush) after the warm-up; a leak of one per run is twenty.
ALLOWED_GROWTH = {"gdi": 2, "user": 0, "handles": 3}


@pytest.fixture(scope="module")
def desk(tmp_path_factory, display):
    """A Windows 10 prefix whose desktop runs on the test display."""
    prefix = harness.fresh_prefix(tmp_path_factory.mktemp("leaks"), "win10")
    yield prefix
    prefix.remove()


def wait_for_requests(staging, path: str, count: int, seconds: float = 60) -> None:
    deadline = time.monotonic() + seconds
    while staging.paths().count(path) < count:
        assert time.monotonic() < deadline, f"{path} was not requested {count} times"
        time.sleep(0.05)


def objects(prefix: harness.Prefix) -> dict:
    counts = prefix.drive("count-objects")
    # The API's figures where it has them, Wine's own where it answers 0.
    return {"gdi": counts["gdi"] or counts["gdi_entries"],
            "user": counts["user"] or counts["windows"],
            "handles": counts["handles"] or counts["handle_entries"]}


def test_handle_count_is_flat_over_fifty_verify_sequences(desk, staging):
    result = desk.run(NET, "--gtest_filter=Leaks.*", env=staging.net_test_env(desk), timeout=600)
    assert result.returncode == 0, result.stdout[-4000:]
    assert "[  PASSED  ] 1 test." in result.stdout, result.stdout[-4000:]
    assert "SKIPPED" not in result.stdout
    print("\n" + re.search(r"^handles: .*$", result.stdout, re.M).group(0))


def test_gdi_and_user_objects_are_flat_over_twenty_windowed_runs(desk, staging):
    package = SAMPLE.read_bytes()
    staging.publish_manifest({"windows": staging.publish_package(PACKAGE_PATH.rsplit("/", 1)[1], package)})

    process = subprocess.Popen([harness.loader(SETUP), str(SETUP)], env=desk.env(),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        desk.drive("wait-window", 30000)
        first = objects(desk)
        # The figures are real: the window and its controls, some GDI objects
        # and some handles are there to be counted.
        assert first["gdi"] > 0 and first["user"] >= 5 and first["handles"] > 0, first

        history = []
        for run in range(WARM_UP_RUNS + MEASURED_RUNS):
            desk.drive("click", "install")
            # The status still reads DONE from the run before until this run
            # starts; once its package has been requested, DONE is this run's.
            wait_for_requests(staging, PACKAGE_PATH, run + 1)
            desk.drive("wait-status", harness.hexarg(DONE), 60000)
            desk.drive("wait-enabled", "install", 1, 60000)
            history.append(objects(desk))
        desk.drive("close")
        assert process.wait(timeout=60) == 0
    finally:
        if process.poll() is None:
            desk.kill()
            process.wait(timeout=30)

    baseline = history[WARM_UP_RUNS - 1]
    measured = history[WARM_UP_RUNS:]
    print(f"\nwindowed: at the start {first}; after {WARM_UP_RUNS} warm-up runs {baseline}; "
          f"after {MEASURED_RUNS} more {measured[-1]}")
    for kind, allowed in ALLOWED_GROWTH.items():
        series = [counts[kind] for counts in measured]
        assert max(series) <= baseline[kind] + allowed, (kind, baseline[kind], series)
    assert staging.paths().count(PACKAGE_PATH) == WARM_UP_RUNS + MEASURED_RUNS
    assert desk.workspaces() == []
