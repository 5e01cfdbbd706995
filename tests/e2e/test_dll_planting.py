"""DLL search-order hijacking: copies of the non-KnownDLLs the installer uses,
left beside it in the folder it runs from (a user's Downloads folder), must
never be loaded, in any of its four modes. The planted copies are one small
DLL (tests/planted/planted_dll.cpp) under each name, which appends the loading
program's path to "<its own path>.loaded"; Wine prefers such "native" copies
(WINEDLLOVERRIDES=...=n,b), and its loader trace (+loaddll) shows where every
module came from. The controls show the setup catches a hijack: a program
importing the same DLLs the ordinary way loads every planted copy, and a
plain LoadLibrary by name loads the one beside it unless the installer's
restriction is in place."""
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

    def run(self, program: Path, *args) -> subprocess.CompletedProcess:
        return self.prefix.run(program, *args, env=PLANTING_ENV, cwd=self.folder, timeout=120)

    def run_beside(self, program: Path, *args) -> tuple[subprocess.CompletedProcess, dict]:
        """Runs a copy of a test program from the folder: its result and the
        markers left by the run."""
        self.clear_markers()
        copy = self.folder / program.name
        shutil.copy2(program, copy)
        try:
            result = self.run(copy, *args)
        finally:
            copy.unlink()
        markers = self.markers()
        self.clear_markers()
        return result, markers

    def win_folder(self) -> str:
        return self.prefix.win_path(self.folder).lower() + "\\"


def modules(trace: str) -> dict:
    """{lower-case module file name: [lower-case full paths]} from Wine's +loaddll trace."""
    found: dict = {}
    for path, _kind in LOADED.findall(trace):
        full = path.replace("\\\\", "\\").lower()
        found.setdefault(full.rsplit("\\", 1)[-1], []).append(full)
    return found


def start_wine_daemons(prefix: harness.Prefix) -> None:
    """Wine's own processes (services, the desktop) start with the first
    program that needs them and then live as long as the wineserver. Started
    now, on the display and without a test's load order, every marker and
    trace line later comes from the program under test."""
    subprocess.run(["wineserver", "-p"], env=prefix.env(), check=True)
    prefix.run(DRIVER, "hold", "no-such-file")


def publish_release(staging) -> None:
    """A package for "--verify" and the install press, and the runtime package."""
    staging.publish(harness.CONFIG["runtime_path"], (harness.BUILD_DIR / "fixtures/runtime.msu").read_bytes())
    staging.publish_manifest({"windows": staging.publish_package("Full-Setup-2.0.exe", harness.package_bytes(150_000))})


def run_window(prefix: harness.Prefix, env: dict, trace_path: Path, steps, cwd=None, exe=SETUP) -> tuple[int, str]:
    """Starts the installer's window, drives it (steps(prefix); the last step
    closes it) and returns its exit code and Wine's trace. The trace goes to a
    file: it can be long, and a pipe nobody reads would stall the window."""
    with open(trace_path, "wb") as trace:
        process = subprocess.Popen([harness.loader(exe), str(exe)], env=prefix.env(env), cwd=cwd,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=trace)
        try:
            steps(prefix)
            code = process.wait(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
    return code, trace_path.read_text(encoding="utf-8", errors="replace")


@pytest.fixture(scope="module")
def downloads(tmp_path_factory, display):
    prefix = harness.fresh_prefix(tmp_path_factory.mktemp("planting"), "win10")
    folder = tmp_path_factory.mktemp("Downloads")
    for name in PLANTED:
        shutil.copy2(PLANTED_DLL, folder / name)
    shutil.copy2(SETUP, folder / SETUP.name)
    start_wine_daemons(prefix)
    yield Downloads(prefix, folder)
    prefix.remove()


# ---------------------------------------------------------------- controls
def test_ordinary_imports_load_every_planted_copy(downloads):
    result, markers = downloads.run_beside(EAGER)
    assert result.returncode == 0
    assert set(RUN_TIME_DLLS) <= set(markers) <= set(PLANTED), sorted(markers)
    eager = downloads.prefix.win_path(downloads.folder / EAGER.name)
    assert all(programs == [eager] for programs in markers.values()), markers


# (how the loader loads, the name, where the module comes from: the folder it
# runs from, the system folder, or None for a name that is refused). The
# installer's load by system path takes bare names only: anything with a
# folder, a drive or a stream in it is refused, never looked for elsewhere.
LOADS = [(how, dll, origin) for dll in ("winhttp.dll", "crypt32.dll")
         for how, origin in (("plain", "downloads"), ("restricted", "system"), ("system", "system"))] + [
    ("system", name, None) for name in ("..\\winhttp.dll", "planted\\winhttp.dll", "./winhttp.dll",
                                        "{downloads}winhttp.dll", "winhttp.dll:stream")]


@pytest.mark.parametrize("how, name, origin", LOADS)
def test_load_by_name_with_and_without_the_restriction(downloads, how, name, origin):
    subfolder = downloads.folder / "planted"
    subfolder.mkdir(exist_ok=True)
    shutil.copy2(PLANTED_DLL, subfolder / "winhttp.dll")
    try:
        result, markers = downloads.run_beside(LOADER, how, name.format(downloads=downloads.win_folder()))
        assert sorted(path.name for path in subfolder.iterdir()) == ["winhttp.dll"]
    finally:
        shutil.rmtree(subfolder)
    if origin is None:
        assert (result.returncode, markers) == (1, {}), result.stdout
        assert result.stdout.startswith("not loaded")
        return
    assert result.returncode == 0, result.stdout
    assert (name in markers) == (origin == "downloads"), markers
    path = re.search(r"^loaded (.*?)\r?$", result.stdout, re.M).group(1).lower()
    assert path == (downloads.win_folder() if origin == "downloads" else r"c:\windows\system32" + "\\") + name
    if how == "restricted":
        # Wine has SetDefaultDllDirectories, so the full restriction applies.
        assert "scope system-folder-only" in result.stdout


# ---------------------------------------------------------------- the four modes
WAIT = ("wait-window", 20000)
INSTALL = [("click", "install"), ("wait-enabled", "install", 1, 60000)]


# (mode, window driver steps, DLLs the run must load from the system folder,
# DLLs it must not load at all)
@pytest.mark.parametrize("mode, steps, used, unused", [
    ("--verify", [], ["winhttp.dll", "bcrypt.dll", "crypt32.dll"], []),
    ("--verify-ucrt", [], ["winhttp.dll", "bcrypt.dll", "crypt32.dll", "wintrust.dll"], []),
    # The prefix already trusts the root (Wine reads the host's roots): 0.
    # The elevated helper takes in crypt32 alone (and what crypt32 imports).
    ("--certificate", [], ["crypt32.dll"], ["winhttp.dll", "wintrust.dll"]),
    ("window", [WAIT, ("close",)], ["comctl32.dll", "uxtheme.dll"], []),
    # The window loads the download's libraries only on the install command.
    ("window", [WAIT, *INSTALL, ("close",)], ["comctl32.dll", "uxtheme.dll", "winhttp.dll", "bcrypt.dll",
                                            "crypt32.dll"], []),
], ids=["verify", "verify-ucrt", "certificate", "windowed", "windowed-install"])
def test_no_mode_loads_a_planted_copy(downloads, staging, tmp_path, mode, steps, used, unused):
    publish_release(staging)
    downloads.clear_markers()
    if mode == "window":
        code, trace = run_window(downloads.prefix, PLANTING_ENV, tmp_path / "trace.txt", cwd=downloads.folder,
                                 exe=downloads.setup, steps=lambda prefix: [prefix.drive(*step) for step in steps])
    else:
        result = downloads.run(downloads.setup, mode)
        code, trace = result.returncode, result.stderr
    assert code == 0
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
    assert [name for name in unused if name in loaded] == []


# ---------------------------------------------------------------- a run-time DLL that can't be had
# Wine's load order "name=d" makes one DLL unavailable for one run: loading it
# fails with 126, as a missing or damaged system file would. Each mode must
# then give the answer it gives for any failure of the step that needs the
# DLL, and never end in abort() (what an exception leaving a noexcept function
# comes to, shown by trace+msvcrt): that exits with 3, which "--certificate"
# also uses for a real verdict, and skips every clean-up. Without comctl32
# Wine can't show any message box in this program (the manifest binds "Static"
# and "Button" to comctl32 version 6, so MessageBoxW returns at once): the
# start-up box is read from Wine's relay trace of the MessageBoxW call.
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
        # One of Wine's processes that starts again during a run gets the
        # run's settings and writes into its trace, so the checks of the relay
        # trace below look at the installer's own thread.
        start_wine_daemons(prefix)
        prefix.reg_add(r"HKCU\Software\Wine\Debug", "RelayInclude", "REG_SZ", RELAYED)
    return {"win7": win7, "win10": win10}


def relayed_text(escaped: str) -> str:
    """A string argument as Wine's relay trace writes it: \\XXXX for anything
    outside ASCII, C escapes for the rest."""
    return re.sub(r"\\([0-9a-f]{4}|.)",
                  lambda m: chr(int(m.group(1), 16)) if len(m.group(1)) == 4
                  else {"n": "\n", "r": "\r", "t": "\t"}.get(m.group(1), m.group(1)), escaped)


def assert_only_the_start_up_box(trace: str) -> None:
    boxes = [(thread, int(owner, 16), relayed_text(text), relayed_text(caption), int(style, 16))
             for thread, owner, text, caption, style in MESSAGE_BOX_CALL.findall(trace)]
    assert [(owner, caption, style) for _, owner, _, caption, style in boxes] == [
        (0, "岚禾舟安装程序", MB_ICONERROR)], boxes
    thread, _, text, _, _ = boxes[0]
    assert COMCTL32_FAILURE.fullmatch(text), text
    # The window would be created on the same thread (Wine's own processes,
    # which the trace also covers, make windows of their own).
    assert f"\n{thread}:Call user32.CreateWindowExW" not in trace, "a window was created"


def press_install_and_get_warning(prefix: harness.Prefix) -> None:
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


@pytest.mark.parametrize("mode, dll, system, code", MISSING_DLL_ROWS,
                         ids=[f"{row[0].lstrip('-')}-without-{row[1]}" for row in MISSING_DLL_ROWS])
def test_a_missing_system_dll_is_a_failure_of_its_step(machines, staging, tmp_path, mode, dll, system, code):
    prefix = machines[system]
    publish_release(staging)
    env = {"WINEDLLOVERRIDES": f"{dll}=d", "WINEDEBUG": "-all,trace+msvcrt"}
    before = prefix.workspaces()
    if (mode, dll) == ("window", "crypt32"):
        returncode, trace = run_window(prefix, env, tmp_path / "trace.txt", press_install_and_get_warning)
    else:
        if mode == "window":
            env["WINEDEBUG"] += ",+relay"
        result = prefix.run(SETUP, *([mode] if mode != "window" else []), env=env, timeout=60)
        returncode, trace = result.returncode, result.stderr
        if mode == "window":
            assert_only_the_start_up_box(trace)
        else:
            assert result.stdout == ""
    assert returncode == code
    assert "trace:msvcrt:" in trace, "no msvcrt trace: the abort check would see nothing"
    assert [line for line in trace.splitlines() if "msvcrt:abort" in line] == []
    # Only the runtime package is fetched before its DLL is needed; every
    # other run fails before it asks anything of a server.
    assert staging.paths() == ([harness.CONFIG["runtime_path"]] if mode == "--verify-ucrt" else [])
    assert prefix.workspaces() == before
