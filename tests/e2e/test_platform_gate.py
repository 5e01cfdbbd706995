"""Which systems the installer serves, end to end: Wine prefixes set to each
Windows version, the installer's start modes on them, and the gate's own
findings read back through the unit-test program run in the same prefix.

An accepted system gets past the gate, so "--verify" asks the staging server
for the release manifest (and fails there, nothing being published); a refused
system ends before any request."""
import shutil
import subprocess

import pytest

import harness

GENERIC = "仅支持 Windows 7 SP1 x64、Windows 10/11 x64。"
TOO_OLD = "完整版需要 Windows 10 1809 或更新版本，请先更新系统。"
SETUP = harness.Prefix.exe("VantrelSetup")
UNIT = harness.Prefix.exe("vantrel_unit_tests")
DRIVER = harness.Prefix.exe("driver")

REFUSED = [("win10-17134", TOO_OLD), ("vista", GENERIC), ("win8", GENERIC),
           ("win81", GENERIC), ("win2008r2", GENERIC)]


@pytest.fixture(scope="module")
def systems(tmp_path_factory):
    """Prefixes by name, made on first use and shared by this file's tests."""
    made = {}

    def get(name):
        """name: a winecfg version, with the build number written to the
        registry after a dash (18362 is what "win10" reports already)."""
        if name not in made:
            version, _, build = name.partition("-")
            made[name] = harness.fresh_prefix(tmp_path_factory.mktemp(name), version,
                                              int(build) if build not in ("", "18362") else None)
        return made[name]

    yield get
    for prefix in made.values():
        prefix.remove()


def expect_gate(prefix, mode, needs_runtime, build=None, exe=UNIT):
    """Runs the gate inside the prefix and checks what it decided."""
    env = {"VANTREL_EXPECT_SYSTEM_MODE": mode, "VANTREL_EXPECT_NEEDS_RUNTIME": int(needs_runtime)}
    if build is not None:
        env["VANTREL_EXPECT_BUILD"] = build
    prefix.gtest(exe, "PlatformOnThisMachine.*", env=env)


@pytest.mark.parametrize("name, mode, build", [
    ("win7", 1, 7601),
    ("win10-18362", 2, 18362),
    ("win10-17763", 2, 17763)])
def test_accepted_system_gets_past_the_gate(systems, staging, name, mode, build):
    prefix = systems(name)
    expect_gate(prefix, mode, needs_runtime=False, build=build)
    assert prefix.headless("--verify") == 1  # nothing published
    assert "/downloads/release.ini" in staging.paths()


@pytest.mark.parametrize("name, message", REFUSED)
def test_refused_system_ends_silently_or_with_an_error_box(systems, display, staging, name, message):
    prefix = systems(name)
    for mode in ("--verify", "--verify-ucrt"):
        assert prefix.headless(mode) == 1, mode
    setup = prefix.popen(SETUP)
    try:
        box = prefix.drive("box", 20000)
        assert (box["caption"], box["text"], box["owner"]) == ("岚禾舟安装程序", message, "none")
        assert box["buttons"] == [1]  # MB_OK with the error icon
        assert box["icon"] is True
        # The refusal comes before the window: there is none behind the box.
        assert prefix.run(DRIVER, "state").returncode != 0
        prefix.drive("answer", "ok")
        assert setup.wait(timeout=60) == 1
    finally:
        if setup.poll() is None:
            setup.kill()
    assert staging.requests() == []


def test_certificate_mode_skips_the_gate(systems):
    # Vista is refused by the gate, yet the helper finds the root there.
    assert systems("vista").run(SETUP, "--certificate").returncode == 0


@pytest.fixture(scope="module")
def win7_without_runtime(tmp_path_factory):
    """Windows 7 SP1 x64 whose 64-bit system folder lacks ucrtbase.dll.

    Wine's own 64-bit DLLs import ucrtbase.dll, so the programs run from a
    folder that holds a copy of it (the loader looks beside the program first)
    and a process started beforehand keeps the prefix's services and desktop
    alive, since they could not start again without the file."""
    root = tmp_path_factory.mktemp("no-ucrt")
    prefix = harness.fresh_prefix(root, "win7")
    system_copy = prefix.system32() / "ucrtbase.dll"
    app = root / "app"
    app.mkdir()
    for source in (SETUP, UNIT, system_copy):
        shutil.copy(source, app)
    keep_alive = subprocess.Popen([harness.winectl.WINE64, "cmd.exe"], env=prefix.env(),
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
    saved = root / "ucrtbase.dll.saved"
    try:
        # Once cmd answers, the prefix is up; only then remove the file.
        keep_alive.stdin.write("echo prefix-up\n")
        keep_alive.stdin.flush()
        # (Input from a pipe is not echoed; only the output has the marker.)
        while "prefix-up" not in keep_alive.stdout.readline():
            assert keep_alive.poll() is None, "cmd ended"
        shutil.move(system_copy, saved)
        yield prefix, app
    finally:
        if system_copy.is_dir():
            system_copy.rmdir()
        if saved.exists():
            shutil.move(saved, system_copy)
        keep_alive.stdin.close()
        keep_alive.wait(timeout=60)
        prefix.remove()


def test_windows7_without_runtime_is_accepted_and_needs_it(win7_without_runtime, staging):
    prefix, app = win7_without_runtime
    expect_gate(prefix, 1, needs_runtime=True, exe=app / UNIT.name)
    assert prefix.headless("--verify", exe=app / SETUP.name) == 1
    assert "/downloads/release.ini" in staging.paths()


def test_a_directory_named_like_the_runtime_counts_as_present(win7_without_runtime):
    prefix, app = win7_without_runtime
    probe = prefix.system32() / "ucrtbase.dll"
    probe.mkdir()
    try:
        expect_gate(prefix, 1, needs_runtime=False, exe=app / UNIT.name)
    finally:
        probe.rmdir()
