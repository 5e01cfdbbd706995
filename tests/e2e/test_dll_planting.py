"""DLL search-order hijacking: copies of the non-KnownDLLs the installer uses,
left beside it in the folder it runs from (a user's Downloads folder), must
never be loaded, in any of its four modes.

The planted copies are one small DLL (tests/planted/planted_dll.cpp) under
each name; when loaded it appends the loading program's path to
"<its own path>.loaded". Wine is told to prefer such "native" copies over its
own (WINEDLLOVERRIDES=...=n,b), and Wine's loader trace (+loaddll) shows
where every module came from.

The controls show the setup catches a hijack: a program importing the same
DLLs the ordinary way loads every planted copy, and a plain LoadLibrary by
name loads the one beside it unless the installer's restriction is in place.
"""
import hashlib
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import harness

SETUP = harness.Prefix.exe("VantrelSetup")
DRIVER = harness.Prefix.exe("driver")
PLANTED_DLL = harness.BUILD_DIR / "tests" / "planted.dll"
EAGER = harness.Prefix.exe("planted_eager")
LOADER = harness.Prefix.exe("planted_loader")

# The non-KnownDLLs the installer loads at run time, and the theme library
# that comctl32 version 6 loads in turn when the window starts.
RUN_TIME_DLLS = ["bcrypt.dll", "comctl32.dll", "crypt32.dll", "winhttp.dll", "wintrust.dll"]
PLANTED = RUN_TIME_DLLS + ["uxtheme.dll"]
PLANTING_ENV = {
    "WINEDLLOVERRIDES": ",".join(name[:-4] for name in PLANTED) + "=n,b",
    "WINEDEBUG": "-all,+loaddll",
}

LOADED = re.compile(r'Loaded L"((?:[^"\\]|\\.)*)" at [0-9A-Fa-f]+: (native|builtin)')


def package_bytes(length: int) -> bytes:
    block = hashlib.sha256(b"planted test package").digest()
    return (block * (length // len(block) + 1))[:length]


class Downloads:
    """A folder holding the installer and the planted DLLs, in its own prefix."""

    def __init__(self, prefix: harness.Prefix, folder: Path):
        self.prefix = prefix
        self.folder = folder
        self.setup = folder / SETUP.name

    def place(self, program: Path) -> Path:
        target = self.folder / program.name
        shutil.copy2(program, target)
        return target

    def markers(self) -> dict:
        """{planted DLL name: [programs that loaded it]}"""
        found = {}
        for path in self.folder.iterdir():
            if path.name.lower().endswith(".loaded"):
                found[path.name[:-len(".loaded")].lower()] = path.read_text().split()
        return found

    def clear_markers(self) -> None:
        for path in self.folder.iterdir():
            if path.name.lower().endswith(".loaded"):
                path.unlink()

    def run(self, program: Path, *args, timeout: float = 120) -> subprocess.CompletedProcess:
        return self.prefix.run(program, *args, env=PLANTING_ENV, cwd=self.folder, timeout=timeout)

    def popen(self, program: Path, *args) -> subprocess.Popen:
        return self.prefix.popen(program, *args, env=PLANTING_ENV, cwd=self.folder)

    def win_folder(self) -> str:
        return self.prefix.win_path(self.folder).lower() + "\\"


def modules(trace: str) -> dict:
    """{lower-case module file name: [lower-case full paths]} from Wine's +loaddll trace."""
    found: dict = {}
    for path, _kind in LOADED.findall(trace):
        full = path.replace("\\\\", "\\").lower()
        found.setdefault(full.rsplit("\\", 1)[-1], []).append(full)
    return found


def assert_nothing_planted_was_loaded(downloads: Downloads, trace: str, used: list) -> None:
    assert downloads.markers() == {}
    loaded = modules(trace)
    # Nothing but the program itself came from the folder it ran from.
    from_downloads = sorted(path for paths in loaded.values() for path in paths
                            if path.startswith(downloads.win_folder()))
    assert from_downloads == [downloads.win_folder() + SETUP.name.lower()]
    # The DLLs this mode needs were really loaded, from Windows' folders.
    for name in used:
        assert name in loaded, f"{name} was never loaded: the run did not get that far"
        assert all(path.startswith(r"c:\windows" + "\\") for path in loaded[name]), loaded[name]


@pytest.fixture(scope="module")
def downloads(tmp_path_factory, display):
    prefix = harness.fresh_prefix(tmp_path_factory.mktemp("planting"), "win10")
    folder = tmp_path_factory.mktemp("Downloads")
    for name in PLANTED:
        shutil.copy2(PLANTED_DLL, folder / name)
    shutil.copy2(SETUP, folder / SETUP.name)
    # Wine's own processes (services, the desktop) start with the first
    # program that needs them and then live as long as the wineserver. Start
    # them now, on the display, without the overrides and with their output
    # going nowhere, so that every marker left later comes from the program
    # under test and no daemon holds a test's output pipe open.
    subprocess.run(["wineserver", "-p"], env=prefix.env(), check=True)
    warm_up(prefix, DRIVER, "hold", folder / "no-such-file")
    yield Downloads(prefix, folder)
    prefix.remove()


def warm_up(prefix: harness.Prefix, *command) -> None:
    subprocess.run([harness.loader(command[0]), *map(str, command)], env=prefix.env(), timeout=120,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# ---------------------------------------------------------------- controls
@pytest.mark.vm
def test_ordinary_imports_load_every_planted_copy(downloads):
    downloads.clear_markers()
    eager = downloads.place(EAGER)
    try:
        result = downloads.run(eager)
    finally:
        eager.unlink()
    assert result.returncode == 0
    markers = downloads.markers()
    downloads.clear_markers()
    assert set(RUN_TIME_DLLS) <= set(markers) <= set(PLANTED), sorted(markers)
    assert all(programs == [downloads.prefix.win_path(eager)] for programs in markers.values()), markers


# how: (planted copy loaded?, where the module came from)
LOADS = {
    "plain": (True, "downloads"),
    "restricted": (False, "system"),
    "system": (False, "system"),
}


@pytest.mark.parametrize("how", list(LOADS))
@pytest.mark.parametrize("dll", ["winhttp.dll", "crypt32.dll"])
def test_load_by_name_with_and_without_the_restriction(downloads, how, dll):
    planted, origin = LOADS[how]
    downloads.clear_markers()
    loader = downloads.place(LOADER)
    try:
        result = downloads.run(loader, how, dll)
    finally:
        loader.unlink()
    markers = downloads.markers()
    downloads.clear_markers()

    assert result.returncode == 0, result.stdout
    assert (dll in markers) == planted, markers
    path = re.search(r"^loaded (.*?)\r?$", result.stdout, re.M).group(1).lower()
    expected = downloads.win_folder() if origin == "downloads" else r"c:\windows\system32" + "\\"
    assert path == expected + dll
    if how == "restricted":
        # Wine has SetDefaultDllDirectories, so the full restriction applies.
        assert "scope system-folder-only" in result.stdout


@pytest.mark.parametrize("name", ["..\\winhttp.dll", "planted\\winhttp.dll", "./winhttp.dll",
                                  "{downloads}winhttp.dll", "winhttp.dll:stream"])
def test_load_by_system_path_takes_bare_names_only(downloads, name):
    """Anything with a folder, a drive or a stream in it is refused, never
    looked for elsewhere."""
    name = name.format(downloads=downloads.win_folder())
    (downloads.folder / "planted").mkdir(exist_ok=True)
    shutil.copy2(PLANTED_DLL, downloads.folder / "planted" / "winhttp.dll")
    downloads.clear_markers()
    loader = downloads.place(LOADER)
    try:
        result = downloads.run(loader, "system", name)
        in_subfolder = sorted(path.name for path in (downloads.folder / "planted").iterdir())
    finally:
        loader.unlink()
        shutil.rmtree(downloads.folder / "planted")
    assert result.returncode == 1, result.stdout
    assert result.stdout.startswith("not loaded")
    assert downloads.markers() == {}
    assert in_subfolder == ["winhttp.dll"]


# ---------------------------------------------------------------- the four modes
@pytest.mark.vm
def test_verify(downloads, staging):
    data = package_bytes(150_000)
    staging.publish_manifest({"windows": staging.publish_package("Full-Setup-2.0.exe", data)})
    downloads.clear_markers()
    result = downloads.run(downloads.setup, "--verify")
    assert result.returncode == 0
    assert_nothing_planted_was_loaded(downloads, result.stderr, ["winhttp.dll", "bcrypt.dll", "crypt32.dll"])


@pytest.mark.vm
def test_verify_ucrt(downloads, staging):
    package = (harness.BUILD_DIR / "fixtures" / "runtime.msu").read_bytes()
    assert hashlib.sha256(package).hexdigest() == harness.CONFIG["runtime_sha256"]
    staging.publish(harness.CONFIG["runtime_path"], package)
    downloads.clear_markers()
    result = downloads.run(downloads.setup, "--verify-ucrt")
    assert result.returncode == 0
    assert_nothing_planted_was_loaded(downloads, result.stderr,
                                      ["winhttp.dll", "bcrypt.dll", "crypt32.dll", "wintrust.dll"])


@pytest.mark.vm
def test_certificate(downloads):
    downloads.clear_markers()
    result = downloads.run(downloads.setup, "--certificate")
    # The prefix already trusts the root (Wine reads the host's roots): 0.
    assert result.returncode == 0
    assert_nothing_planted_was_loaded(downloads, result.stderr, ["crypt32.dll"])


def drive_window(downloads: Downloads, *steps) -> str:
    """Starts the installer's window, runs the driver's steps against it
    (the last one closes it) and returns the loader trace."""
    process = downloads.popen(downloads.setup)
    try:
        for step in steps:
            done = downloads.prefix.run(DRIVER, *step)
            assert done.returncode == 0, (step, done.stdout, done.stderr)
        _, trace = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 0
    return trace


@pytest.mark.vm
def test_windowed(downloads):
    downloads.clear_markers()
    trace = drive_window(downloads, ("wait-window", "20000"), ("close",))
    assert_nothing_planted_was_loaded(downloads, trace, ["comctl32.dll", "uxtheme.dll"])


@pytest.mark.vm
def test_windowed_install(downloads, staging):
    """The window loads the download's libraries only on the install
    command; they must come from the system folder all the same."""
    data = package_bytes(150_000)
    staging.publish_manifest({"windows": staging.publish_package("Full-Setup-2.0.exe", data)})
    downloads.clear_markers()
    trace = drive_window(downloads, ("wait-window", "20000"), ("click", "install"),
                         ("wait-enabled", "install", "1", "60000"), ("close",))
    assert_nothing_planted_was_loaded(downloads, trace, ["comctl32.dll", "uxtheme.dll", "winhttp.dll",
                                                         "bcrypt.dll", "crypt32.dll"])


# ---------------------------------------------------------------- the shipped exe
def test_shipped_exe_loads_its_other_dlls_by_name():
    shipped = os.environ.get("VANTREL_SHIPPED_DIR")
    assert shipped, "VANTREL_SHIPPED_DIR must name the i686 build folder"
    data = (Path(shipped) / "VantrelSetup.exe").read_bytes()
    # (That it imports only KnownDLLs the build's import check makes sure.)
    # The program names each DLL it loads at run time.
    for name in RUN_TIME_DLLS:
        assert b"\0" + name.encode() + b"\0" in data, name
    # ... and the functions by their exported names: a stdcall decoration
    # ("WinHttpOpen@20") would make each first call fail at run time.
    assert b"\0WinHttpOpen\0" in data and b"\0WinVerifyTrust\0" in data
    decorated = re.findall(rb"\0((?:WinHttp|BCrypt|Cert|Crypt|WinVerify|InitCommon)\w*@\d+)\0", data)
    assert decorated == []
