"""Wine prefixes, the built programs and their settings, for the end-to-end tests.

Every Windows program runs under Wine in a private 64-bit prefix copied from
the bases that tools/make-prefix.sh builds inside the build folder, so the
32-bit installer sees WOW64 as on 64-bit Windows. Nothing here depends on the
developer's display or home folder.
"""
from __future__ import annotations

import base64
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]


def _load_config() -> dict:
    build = os.environ.get("VANTREL_BUILD_DIR")
    if not build:
        raise RuntimeError("VANTREL_BUILD_DIR must name the build folder")
    path = Path(build) / "harness_config.json"
    config = json.loads(path.read_text())
    config["build_dir"] = Path(config["build_dir"])
    config["special_base"] = config["product_port"] + 2
    return config


CONFIG = _load_config()
BUILD_DIR: Path = CONFIG["build_dir"]
# The base prefixes live in the build folder unless told otherwise: in the
# test VM the build folder is a shared folder, and Wine wants its prefixes on
# a local disk.
WINE_DIR = Path(os.environ.get("VANTREL_WINE_DIR") or BUILD_DIR / "wine")
CERTS_DIR = BUILD_DIR / "certs"


def _image_width(exe: Path) -> str:
    data = exe.read_bytes()[:4096]
    pe = int.from_bytes(data[0x3C:0x40], "little")
    machine = int.from_bytes(data[pe + 4:pe + 6], "little")
    return {0x14C: "i686", 0x8664: "x86_64"}.get(machine, hex(machine))


# "i686" when the suite runs the shipped 32-bit program (under WOW64), or
# "x86_64" for the second width on hosts that run no 32-bit code.
WIDTH = _image_width(BUILD_DIR / "VantrelSetup.exe")

# How many times slower than the host's Wine programs run here (the test VM
# emulates its CPU): drips that keep a download going long enough to be
# watched are stretched by it.
PACE = float(os.environ.get("VANTREL_TEST_PACE") or 1)


# The pinned root, and the host's bundle that Wine's ROOT store is read from.
G2 = (SOURCE_DIR / "res/digicert_global_root_g2.der").read_bytes()
HOST_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def bundle_without_g2(directory: Path) -> Path:
    """A copy of the host bundle without G2, to be mounted over it."""
    text = open(HOST_BUNDLE, encoding="ascii").read()
    blocks = re.findall(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----\n?", text, re.S)
    kept = [b for b in blocks if base64.b64decode("".join(b.splitlines()[1:-1])) != G2]
    assert len(kept) == len(blocks) - 1, "the host bundle should hold G2 exactly once"
    path = Path(directory) / "ca-certificates.crt"
    path.write_text("".join(kept), encoding="ascii")
    return path


def hexarg(text: str) -> str:
    """Text as the window driver takes it on its command line."""
    return "hex:" + text.encode("utf-8").hex()


def loader(exe) -> str:
    """Wine's loader for a built program of either width. A 32-bit program
    goes straight to the 32-bit loader, as Debian's wine script does: wine64
    would hand it to Wine's 64-bit start.exe first, which needs the prefix's
    64-bit ucrtbase.dll, a file some tests take away."""
    return "/usr/lib/wine/wine" if _image_width(Path(exe)) == "i686" else "/usr/lib/wine/wine64"


def ensure_bases() -> None:
    """Builds the base prefixes once per build folder (about a minute)."""
    ready = all((WINE_DIR / name / ".vantrel-ready").exists() for name in ("base", "base-win10"))
    if not ready:
        subprocess.run([str(SOURCE_DIR / "tools/make-prefix.sh"), str(BUILD_DIR), str(WINE_DIR)],
                       check=True)


def wine_env(prefix: Path, extra: dict | None = None) -> dict:
    env = dict(os.environ)
    for key in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy", "NO_PROXY"):
        env.pop(key, None)
    env.update(WINEPREFIX=str(prefix), WINEARCH="win64", WINEDEBUG="-all")
    if extra:
        env.update({k: str(v) for k, v in extra.items()})
    return env


class Prefix:
    """One Wine prefix, with helpers to run programs in it and change it."""

    def __init__(self, path: Path):
        self.path = Path(path)

    # Programs ---------------------------------------------------------------
    @staticmethod
    def exe(name: str) -> Path:
        """A built program: "VantrelSetup" or the name of a test fixture."""
        top = BUILD_DIR / f"{name}.exe"
        return top if top.exists() else BUILD_DIR / "tests" / f"{name}.exe"

    @staticmethod
    def native_exe(name: str) -> Path:
        """A fixture that stands in for a 64-bit system program (wusa.exe): it
        is placed in the 64-bit system folder, where only a 64-bit program
        belongs, whatever the width of the installer under test."""
        return Path(CONFIG["native_fixtures_dir"]) / f"{name}.exe"

    def env(self, extra: dict | None = None) -> dict:
        return wine_env(self.path, extra)

    def run(self, exe, *args, env: dict | None = None, timeout: float = 180,
            cwd=None) -> subprocess.CompletedProcess:
        """Runs a program and waits; returncode is the program's exit code.

        Output goes through files, not pipes: the first program in a prefix
        starts Wine's desktop and services, which inherit its standard handles
        and would hold a pipe open as long as the prefix lives."""
        return _run_captured([loader(exe), str(exe), *map(str, args)], self.env(env),
                             timeout, cwd)

    def popen(self, exe, *args, env: dict | None = None, cwd=None) -> subprocess.Popen:
        return subprocess.Popen([loader(exe), str(exe), *map(str, args)], env=self.env(env), cwd=cwd,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, encoding="utf-8", errors="replace")

    def wine(self, *args, timeout: float = 120) -> subprocess.CompletedProcess:
        """Runs one of Wine's own programs (reg, winecfg, cmd ...)."""
        return _run_captured(["/usr/lib/wine/wine64", *map(str, args)], self.env(), timeout, None)

    # Paths ------------------------------------------------------------------
    @staticmethod
    def win_path(unix_path) -> str:
        return "Z:" + str(Path(unix_path).resolve()).replace("/", "\\")

    def drive_c(self) -> Path:
        return self.path / "drive_c"

    def temp_dir(self) -> Path:
        """The user's %TEMP% folder, as a Unix path."""
        users = self.drive_c() / "users"
        for user in sorted(p for p in users.iterdir() if p.name not in ("Public", "public")):
            for candidate in (user / "AppData/Local/Temp", user / "Temp"):
                if candidate.is_dir():
                    return candidate
        raise FileNotFoundError("no temporary folder in " + str(users))

    def system32(self) -> Path:
        """The 64-bit system folder (what a 32-bit process reaches as Sysnative)."""
        return self.drive_c() / "windows/system32"

    def workspaces(self) -> list[Path]:
        return sorted(self.temp_dir().glob("VantrelSetup-*"))

    # Changes ----------------------------------------------------------------
    def reg_add(self, key: str, name: str | None, kind: str, data) -> None:
        args = ["reg", "add", key, "/f", "/t", kind, "/d", str(data)]
        args[3:3] = ["/v", name] if name is not None else ["/ve"]
        result = self.wine(*args)
        if result.returncode != 0:
            raise RuntimeError(f"reg add {key} failed: {result.stderr}")

    def set_windows(self, version: str, build: int | None = None) -> None:
        """winecfg -v VERSION, optionally with the build number RtlGetVersion reports.

        The build is written into both registry views: a 64-bit prefix keeps
        the version twice, and a 32-bit program (the shipped installer, under
        WOW64) reads the copy under Wow6432Node, which Wine's 64-bit reg
        reaches only by that name."""
        self.wine("winecfg", "-v", version)
        if build is not None:
            for software in (r"HKLM\Software", r"HKLM\Software\Wow6432Node"):
                key = software + r"\Microsoft\Windows NT\CurrentVersion"
                self.reg_add(key, "CurrentBuildNumber", "REG_SZ", build)
                self.reg_add(key, "CurrentBuild", "REG_SZ", build)
        self.wait()

    def kill(self) -> None:
        subprocess.run(["wineserver", "-k"], env=self.env(), capture_output=True)
        self.wait()

    def wait(self) -> None:
        """Waits until this prefix's wineserver has exited (registry saved)."""
        subprocess.run(["wineserver", "-w"], env=self.env(), capture_output=True)

    def remove(self) -> None:
        self.kill()
        shutil.rmtree(self.path, ignore_errors=True)


def _run_captured(command, env, timeout, cwd) -> subprocess.CompletedProcess:
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=err)
        try:
            code = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise
        out.seek(0)
        err.seek(0)
        decode = lambda data: data.decode("utf-8", errors="replace")  # noqa: E731
        return subprocess.CompletedProcess(command, code, decode(out.read()), decode(err.read()))


def fresh_prefix(dest_dir, windows: str = "win7", build: int | None = None) -> Prefix:
    """A private copy of a base prefix. windows: "win7", "win10" or any winecfg -v name."""
    ensure_bases()
    base = WINE_DIR / ("base-win10" if windows == "win10" else "base")
    target = Path(dest_dir) / f"prefix-{windows}-{time.monotonic_ns()}"
    subprocess.run(["cp", "-a", str(base), str(target)], check=True)
    prefix = Prefix(target)
    if windows not in ("win7", "win10"):
        prefix.set_windows(windows, build)
    elif build is not None:
        prefix.set_windows(windows, build)
    return prefix
