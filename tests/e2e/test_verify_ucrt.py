"""The "--verify-ucrt" mode end to end, and the runtime update in process.

The staging build pins the size and digest of a stand-in package that
tools/make_runtime_package.sh builds reproducibly: a cabinet signed with the
committed test signer. "--verify-ucrt" must accept exactly that file. An
unsigned package can't be served with the pinned digest (the digest is checked
first), so the in-process tests check the signed package and the same cabinet
unsigned through the program's own trust check. The runtime update with the
wusa.exe double (exit codes, parameters, the runtime file deciding) runs in
process too, in a prefix prepared below."""
import hashlib
import shutil
import subprocess

import pytest

import harness

NET = harness.Prefix.exe("vantrel_net_tests")
WUSA_DOUBLE = harness.Prefix.native_exe("wusa_double")
PATH = harness.CONFIG["runtime_path"]


@pytest.fixture(scope="module")
def package() -> bytes:
    subprocess.run([str(harness.SOURCE_DIR / "tools/make_runtime_package.sh"), str(harness.BUILD_DIR)],
                   check=True, capture_output=True)
    return (harness.BUILD_DIR / "fixtures/runtime.msu").read_bytes()


def test_staging_package_is_what_the_build_pins(package):
    # The fixture has just made it again, at another path and time than the
    # pinned one was made: the same bytes mean the tool is reproducible.
    assert len(package) == harness.CONFIG["runtime_size"]
    assert hashlib.sha256(package).hexdigest() == harness.CONFIG["runtime_sha256"]
    # Same length as the real update, so the progress figures read "1010 KB".
    assert len(package) == 1034556


@pytest.mark.parametrize("system", ["win7", "win10"])
def test_signed_package_is_accepted(request, staging, package, system):
    prefix = request.getfixturevalue(system)
    staging.publish(PATH, package)

    assert prefix.headless("--verify-ucrt") == 0
    requests = staging.requests()
    assert [r["path"] for r in requests] == [PATH]
    assert requests[0]["port"] == harness.CONFIG["runtime_port"]


def corrupted(data: bytes) -> bytes:
    middle = len(data) // 2
    return data[:middle] + bytes([data[middle] ^ 0xFF]) + data[middle + 1:]


# name: what is served instead of the package (None: nothing)
CHANGES = {
    "missing": lambda data: None,
    "one byte short": lambda data: data[:-1],
    "one byte long": lambda data: data + b"\x00",
    "same length, other digest": corrupted,
    "empty": lambda data: b"",
}


@pytest.mark.parametrize("change", list(CHANGES))
def test_other_files_are_refused(win7, staging, package, change):
    served = CHANGES[change](package)
    if served is not None:
        staging.publish(PATH, served)
    assert win7.headless("--verify-ucrt") == 1
    assert staging.paths() == [PATH]


def test_signature_and_fetch_in_process(win10, staging, package):
    win10.gtest(NET, "WorkflowRuntime.*", env=staging.net_test_env(win10))


@pytest.fixture
def wusa_prefix(tmp_path):
    """A Windows 7 prefix whose native wusa.exe is the test double, with a
    saved copy of ucrtbase.dll that the double (and the test) put back."""
    prefix = harness.fresh_prefix(tmp_path, "win7")
    shutil.copyfile(WUSA_DOUBLE, prefix.system32() / "wusa.exe")
    # Without this Wine runs its builtin wusa.exe for that path.
    prefix.reg_add(r"HKCU\Software\Wine\DllOverrides", "wusa.exe", "REG_SZ", "native")
    saved = tmp_path / "ucrtbase.dll"
    shutil.copyfile(prefix.system32() / "ucrtbase.dll", saved)
    yield prefix, saved
    shutil.copyfile(saved, prefix.system32() / "ucrtbase.dll")
    prefix.remove()


def test_runtime_update_with_the_wusa_double(wusa_prefix, staging, package):
    prefix, saved = wusa_prefix
    env = staging.net_test_env(prefix)
    env.update(VANTREL_TEST_WUSA_DOUBLE=1, VANTREL_WUSA_UCRT_SOURCE=prefix.win_path(saved))
    prefix.gtest(NET, "WorkflowWusa.*", env=env)
    # The double put the runtime back in the last case that installs it, and
    # the test's clean-up restores it in any case.
    assert (prefix.system32() / "ucrtbase.dll").read_bytes() == saved.read_bytes()
