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
    data = harness.package_bytes(150_000)
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
    data = harness.package_bytes(150_000)
    staging.publish_manifest({"windows": staging.publish_package("Full-Setup-2.0.exe", data)})
    downloads.clear_markers()
    trace = drive_window(downloads, ("wait-window", "20000"), ("click", "install"),
                         ("wait-enabled", "install", "1", "60000"), ("close",))
    assert_nothing_planted_was_loaded(downloads, trace, ["comctl32.dll", "uxtheme.dll", "winhttp.dll",
                                                         "bcrypt.dll", "crypt32.dll"])


# ---------------------------------------------------------------- a run-time DLL that can't be had
# Wine's load order "name=d" makes one DLL unavailable for one run: loading it
# fails with 126, as a missing or damaged system file would. Each mode must
# then give the answer it gives for any failure of the step that needs the
# DLL, and never end in abort() (what an exception leaving a noexcept
# function comes to): that exits with 3, which "--certificate" also uses for a
# real verdict, and skips every clean-up. trace+msvcrt prints "msvcrt:abort"
# when the program aborts.
#
# Without comctl32 Wine can't show any message box in this program: the
# manifest binds "Static" and "Button" to comctl32 version 6, so the box's
# controls can't be created and MessageBoxW returns at once. The start-up box
# is read from Wine's relay trace of the program's MessageBoxW call instead.
UNAVAILABLE_CERTIFICATE_STORE = "无法读取系统根证书库，请检查系统权限。"
COMCTL32_FAILURE = re.compile(r"无法加载系统组件 comctl32\.dll（错误码 \d+）")
RELAYED = "user32.MessageBoxW;user32.CreateWindowExW"
MESSAGE_BOX_CALL = re.compile(
    r'^([0-9a-f]+):Call user32\.MessageBoxW\(([0-9a-f]+),[0-9a-f]+ L"((?:[^"\\]|\\.)*)",[0-9a-f]+ L"((?:[^"\\]|\\.)*)",'
    r'([0-9a-f]+)\)', re.M)
MB_ICONERROR = 0x10

# (mode, DLL made unavailable, system, exit code)
MISSING_DLL_ROWS = [
    # The pin of the embedded certificate can't be checked without crypt32.
    ("--certificate", "crypt32", "win7", 2),
    ("--verify", "winhttp", "win10", 1),
    ("--verify", "bcrypt", "win10", 1),  # no random folder name, no workspace
    ("--verify-ucrt", "wintrust", "win10", 1),  # downloaded, then refused
    ("window", "crypt32", "win7", 0),  # a warning box at the press; the window stays
    ("window", "comctl32", "win10", 1),  # the start-up box instead of a window
]


@pytest.fixture(scope="module")
def machines(win7, win10, display):
    for prefix in (win7, win10):
        # As for the planting folder: Wine's own processes start now, without
        # the load order under test. One that starts again during a run gets
        # the run's settings and writes into its trace, so the checks of the
        # relay trace below look at the installer's own thread.
        subprocess.run(["wineserver", "-p"], env=prefix.env(), check=True)
        warm_up(prefix, DRIVER, "hold", "no-such-file")
        prefix.reg_add(r"HKCU\Software\Wine\Debug", "RelayInclude", "REG_SZ", RELAYED)
    return {"win7": win7, "win10": win10}


def assert_traced_without_abort(trace: str) -> None:
    assert "trace:msvcrt:" in trace, "no msvcrt trace: the abort check would see nothing"
    aborts = [line for line in trace.splitlines() if "msvcrt:abort" in line]
    assert aborts == []


def relayed_text(escaped: str) -> str:
    """A string argument as Wine's relay trace writes it: \\XXXX for anything
    outside ASCII, C escapes for the rest."""
    return re.sub(r"\\([0-9a-f]{4}|.)",
                  lambda m: chr(int(m.group(1), 16)) if len(m.group(1)) == 4
                  else {"n": "\n", "r": "\r", "t": "\t"}.get(m.group(1), m.group(1)), escaped)


def press_install_and_get_warning(prefix: harness.Prefix, env: dict, trace_path: Path) -> int:
    with open(trace_path, "wb") as trace:
        # Output to a file: the trace is long, and a pipe nobody reads would
        # stall the window.
        process = subprocess.Popen([harness.loader(SETUP), str(SETUP)], env=prefix.env(env),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=trace)
        try:
            prefix.drive("wait-window", 20000)
            prefix.drive("click", "install")
            box = prefix.drive("box", 20000)
            assert (box["caption"], box["text"], box["owner"]) == ("岚禾舟", UNAVAILABLE_CERTIFICATE_STORE, "main")
            assert box["icon"] and box["buttons"] == [1]
            prefix.drive("answer", "ok")
            # Still there and idle: the press can be tried again.
            state = prefix.drive("state")
            assert state["install"]["enabled"] and state["cancel"]["enabled"]
            prefix.drive("close")
            return process.wait(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()


@pytest.mark.parametrize("mode, dll, system, code", MISSING_DLL_ROWS,
                         ids=[f"{row[0].lstrip('-')}-without-{row[1]}" for row in MISSING_DLL_ROWS])
def test_a_missing_system_dll_is_a_failure_of_its_step(machines, staging, tmp_path, mode, dll, system, code):
    prefix = machines[system]
    package = (harness.BUILD_DIR / "fixtures" / "runtime.msu").read_bytes()
    staging.publish(harness.CONFIG["runtime_path"], package)
    staging.publish_manifest({"windows": staging.publish_package("Full-Setup-2.0.exe", harness.package_bytes(150_000))})
    env = {"WINEDLLOVERRIDES": f"{dll}=d", "WINEDEBUG": "-all,trace+msvcrt"}
    before = prefix.workspaces()

    if (mode, dll) == ("window", "crypt32"):
        trace_path = tmp_path / "trace.txt"
        assert press_install_and_get_warning(prefix, env, trace_path) == code
        trace = trace_path.read_text(encoding="utf-8", errors="replace")
    elif mode == "window":
        env["WINEDEBUG"] += ",+relay"
        result = prefix.run(SETUP, env=env, timeout=60)
        assert result.returncode == code
        trace = result.stderr
        boxes = [(thread, int(owner, 16), relayed_text(text), relayed_text(caption), int(style, 16))
                 for thread, owner, text, caption, style in MESSAGE_BOX_CALL.findall(trace)]
        assert [(owner, caption, style) for _, owner, _, caption, style in boxes] == [
            (0, "岚禾舟安装程序", MB_ICONERROR)], boxes
        thread, _, text, _, _ = boxes[0]
        assert COMCTL32_FAILURE.fullmatch(text), text
        # The window would be created on the same thread (Wine's own
        # processes, which the trace also covers, make windows of their own).
        assert f"\n{thread}:Call user32.CreateWindowExW" not in trace, "a window was created"
    else:
        result = prefix.run(SETUP, mode, env=env, timeout=60)
        assert result.returncode == code
        assert result.stdout == ""
        trace = result.stderr

    assert_traced_without_abort(trace)
    # Only the runtime package is fetched before its DLL is needed; every
    # other run fails before it asks anything of a server.
    assert staging.paths() == ([harness.CONFIG["runtime_path"]] if mode == "--verify-ucrt" else [])
    assert prefix.workspaces() == before


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
