"""Wine prefixes, the built programs and their settings, for the end-to-end tests.

Every Windows program runs under Wine in a private 64-bit prefix copied from
the machine's cached bases (winectl.py), so the 32-bit installer sees WOW64 as
on 64-bit Windows. Nothing here depends on the developer's display or home
folder.
"""
from __future__ import annotations

import base64
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
from pathlib import Path

import winectl
from winectl import SOURCE_DIR, copy_prefix, loader, wine_env


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
CERTS_DIR = winectl.TEST_CA


# "i686" when the suite runs the shipped 32-bit program (under WOW64), or
# "x86_64" for the second width on hosts that run no 32-bit code.
WIDTH = winectl.pe_image.width(BUILD_DIR / "VantrelSetup.exe")

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


def package_bytes(length: int, seed: int = 0) -> bytes:
    """Deterministic filler standing in for a product installer."""
    block = hashlib.sha256(b"vantrel package %d" % seed).digest()
    return (block * (length // len(block) + 1))[:length]


def manifest_section(name: str, data: bytes, **changes) -> dict:
    """A release.ini section for a package: file, sha256 and size, with
    changes (None leaves a key out)."""
    entry = {"file": name, "sha256": hashlib.sha256(data).hexdigest(), "size": str(len(data)), **changes}
    return {key: value for key, value in entry.items() if value is not None}


def ini_text(sections: dict) -> str:
    """release.ini from {"windows": {"file": ..., ...}, ...}, with CRLF line ends."""
    return "".join(f"[{name}]\r\n" + "".join(f"{k}={v}\r\n" for k, v in values.items())
                   for name, values in sections.items())


def hexarg(text: str) -> str:
    """Text as the window driver takes it on its command line."""
    return "hex:" + text.encode("utf-8").hex()


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

    def drive(self, *args, driver=None, timeout: float = 120) -> dict:
        """One command of the window driver (tests/fixtures/driver.cpp) in
        this prefix; its last line of JSON."""
        driver = driver or self.exe("driver")
        result = self.run(driver, *args, timeout=timeout)
        if result.returncode != 0 and "driver:" not in result.stderr:
            # The driver explains every failure of its own; a silent non-zero
            # exit means Wine could not start it (seen rarely on a loaded
            # machine), which says nothing about the window. One more try.
            result = self.run(driver, *args, timeout=timeout)
        assert result.returncode == 0, (
            f"driver {' '.join(map(str, args))}: exit {result.returncode}: {result.stderr.strip()}")
        return json.loads(result.stdout.strip().splitlines()[-1])

    def gtest(self, exe, test_filter: str, env: dict | None = None, timeout: float = 600,
              run=None) -> subprocess.CompletedProcess:
        """Runs the GoogleTest cases of exe (vantrel_unit_tests, vantrel_net_tests)
        that test_filter selects and asserts that every one passed: exit 0, none
        skipped, and as many passed as the filter lists, at least one. A filter
        that matches nothing, a case that skips for want of a setting, and a
        disabled case (listed, never run) all fail here. run: a stand-in for
        self.run that starts the program some other way."""
        selected = "--gtest_filter=" + test_filter
        listing = self.run(exe, "--gtest_list_tests", selected)
        assert listing.returncode == 0, listing.stdout[-4000:] + listing.stderr[-4000:]
        listed = sum(line.startswith("  ") for line in listing.stdout.splitlines())
        result = (run or self.run)(exe, selected, env=env, timeout=timeout)
        tail = result.stdout[-4000:]
        assert result.returncode == 0, tail
        assert "[  SKIPPED ]" not in result.stdout, tail
        passed = re.search(r"^\[  PASSED  \] (\d+) tests?\.", result.stdout, re.M)
        assert passed and int(passed.group(1)) == listed > 0, f"{listed} listed for {test_filter}\n{tail}"
        return result

    def headless(self, mode: str, exe=None, env: dict | None = None) -> int:
        """Runs the installer in a mode that reports only through its exit code
        (--verify, --verify-ucrt) and returns that code, having checked that it
        printed nothing and that its workspace is gone, whatever the outcome."""
        before = self.workspaces()
        result = self.run(exe or self.exe("VantrelSetup"), mode, env=env)
        assert (result.stdout, result.stderr) == ("", ""), mode
        assert self.workspaces() == before, mode
        return result.returncode

    def popen(self, exe, *args, env: dict | None = None, cwd=None) -> subprocess.Popen:
        return subprocess.Popen([loader(exe), str(exe), *map(str, args)], env=self.env(env), cwd=cwd,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, encoding="utf-8", errors="replace")

    def wine(self, *args, timeout: float = 120) -> subprocess.CompletedProcess:
        """Runs one of Wine's own programs (reg, winecfg, cmd ...)."""
        return _run_captured([winectl.WINE64, *map(str, args)], self.env(), timeout, None)

    # Paths ------------------------------------------------------------------
    win_path = staticmethod(winectl.win_path)

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

    def set_user_proxy(self, proxy: str | None = None, bypass: str | None = None,
                       script: str | None = None) -> None:
        """The current user's proxy in Internet Options: one typed in, with its
        bypass list, and/or an auto-config script's URL. None of them removes
        the setting, which a new prefix lacks (Wine then reports automatic
        discovery on, and no proxy)."""
        key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
        if not (proxy or script):
            self.wine("reg", "delete", key, "/v", "DefaultConnectionSettings", "/f")
            return
        # Version 0x46, a change counter, the flags (direct, proxy, script),
        # then three counted ANSI strings, then the fields left at zero.
        data = struct.pack("<III", 0x46, 1, 1 | (2 if proxy else 0) | (4 if script else 0))
        for text in (proxy, bypass, script):
            data += struct.pack("<I", len(text or "")) + (text or "").encode("ascii")
        self.reg_add(key, "DefaultConnectionSettings", "REG_BINARY", (data + bytes(32)).hex())

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
    base = winectl.base_prefix("win10" if windows == "win10" else "win7")
    prefix = Prefix(copy_prefix(base, Path(dest_dir) / f"prefix-{windows}-{time.monotonic_ns()}"))
    if windows not in ("win7", "win10") or build is not None:
        prefix.set_windows(windows, build)
    return prefix
