"""Wine on this machine, for the tests, the benchmark and the scripts: the
one place that cleans Wine's environment, picks the loader for a program's
width, builds and copies the base prefixes, starts the HTTPS test server and
starts a private X screen. Needs no build folder.

The base prefixes (Windows 7 SP1, Wine's default, and Windows 10 1903) are
built once per machine into a cache keyed by what goes into them, and are
only ever copied, never run in: a test works in a copy of its own.

    winectl.py run EXE [ARGS...]     runs a program in $WINEPREFIX (tools/wine-run.sh)
    winectl.py prefixes BUILD [DIR]  the bases, and BUILD's unit prefix in DIR (BUILD/wine)
    winectl.py copy win7|win10 DEST  a fresh copy of a base at DEST
    winectl.py width EXE             i686 or x86_64
    winectl.py serve DOCROOT BUILD [--ready-file F]
                                     the test server on BUILD's ports until SIGTERM
"""
from __future__ import annotations

import contextlib
import fcntl
import hashlib
import inspect
import json
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import threading
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR / "tools"))
sys.path.insert(0, str(SOURCE_DIR / "tools/https_server"))
import pe_image  # noqa: E402

WINE32, WINE64 = "/usr/lib/wine/wine", "/usr/lib/wine/wine64"
TEST_CA = SOURCE_DIR / "tests/fixtures/test-ca"
RUNTIME_CA = SOURCE_DIR / "tests/fixtures/runtime-signing/ca.der"
PROXIES = ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy", "NO_PROXY")
WINDOWS = ("win7", "win10")


def wine_env(prefix, extra: dict | None = None, debug: str = "-all") -> dict:
    """The environment of a Wine program in a 64-bit prefix: no proxies, so
    the loopback servers are reached directly."""
    env = {key: value for key, value in os.environ.items() if key not in PROXIES}
    env.update(WINEPREFIX=str(prefix), WINEARCH="win64", WINEDEBUG=debug)
    env.update({key: str(value) for key, value in (extra or {}).items()})
    return env


def loader(exe) -> str:
    """Wine's loader for a program of either width (wine64 for Wine's own
    programs). A 32-bit program goes straight to the 32-bit loader, as
    Debian's wine script does: wine64 would hand it to Wine's 64-bit
    start.exe first, which needs the prefix's 64-bit ucrtbase.dll, a file
    some tests take away."""
    return WINE32 if Path(exe).is_file() and pe_image.width(exe) == "i686" else WINE64


def win_path(unix_path) -> str:
    return "Z:" + str(Path(unix_path).resolve()).replace("/", "\\")


# Base prefixes --------------------------------------------------------------
def registry_file(*roots: bytes) -> bytes:
    """The settings of a base prefix as a .reg file: the test roots trusted by
    the machine (the Blob layout Wine's crypt32 reads: property 0x20, a
    reserved 1, the length, then the DER), "Microsoft YaHei" mapped to
    WenQuanYi Micro Hei with Tahoma linked to it so captions and message
    boxes show Chinese text, and Wine drawing its own window frames, since
    Xvfb runs no window manager."""
    link = ",".join(f"{b:02x}" for b in "wqy-microhei.ttc,WenQuanYi Micro Hei\0\0".encode("utf-16-le"))
    lines = ["Windows Registry Editor Version 5.00", "",
             r"[HKEY_CURRENT_USER\Software\Wine\X11 Driver]", '"Managed"="N"', "",
             r"[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]", '"Microsoft YaHei"="WenQuanYi Micro Hei"', "",
             r"[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]",
             f'"Tahoma"=hex(7):{link}', f'"Tahoma Bold"=hex(7):{link}', ""]
    for der in roots:
        blob = struct.pack("<III", 0x20, 1, len(der)) + der
        lines += [r"[HKEY_LOCAL_MACHINE\Software\Microsoft\SystemCertificates\Root\Certificates"
                  f"\\{hashlib.sha1(der).hexdigest().upper()}]", f'"Blob"=hex:{blob.hex(",")}', ""]
    # Version 5 files are UTF-16: then hex(7) holds the UTF-16 multi-string
    # as it is, where a version 4 file would widen every byte again.
    return b"\xff\xfe" + "\r\n".join(lines).encode("utf-16-le")


def _roots() -> tuple[bytes, bytes]:
    return (TEST_CA / "ca.der").read_bytes(), RUNTIME_CA.read_bytes()


def _make_base(prefix: Path, windows: str) -> None:
    env = wine_env(prefix, {"WINEDLLOVERRIDES": "mscoree,mshtml="})
    env.pop("DISPLAY", None)
    quiet = dict(env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([WINE64, "wineboot", "--init"], **quiet)
    subprocess.run(["wineserver", "-w"], env=env)
    for font in Path("/usr/share/wine/fonts").glob("*.ttf"):
        shutil.copy(font, prefix / "drive_c/windows/Fonts")
    reg = prefix / "vantrel-setup.reg"
    reg.write_bytes(registry_file(*_roots()))
    subprocess.run([WINE64, "regedit", "/S", win_path(reg)], **quiet)
    if windows != "win7":
        subprocess.run([WINE64, "winecfg", "-v", windows], **quiet)
    subprocess.run(["wineserver", "-w"], env=env)
    reg.unlink()


def runs_i386() -> bool:
    """Whether this process can start Wine's 32-bit loader (natively, or
    through the qemu registration of tools/i686-executor.sh)."""
    try:
        return subprocess.run([WINE32, "--version"], capture_output=True).returncode == 0
    except OSError:
        return False


def prefix_key() -> str:
    """A digest of everything a base is made of: Wine's version, the settings
    (with the test roots), the code that makes it, and its 32-bit side. A base
    made where no i386 code runs lacks that side (every 32-bit program then
    fails in it with c0000135); such bases are never made, and the marker
    keeps any old cache of them apart."""
    wine = subprocess.run([WINE64, "--version"], capture_output=True, text=True).stdout
    parts = [wine.encode(), registry_file(*_roots()), inspect.getsource(_make_base).encode(), b"wow64:i386"]
    return hashlib.sha256(b"\0".join(parts)).hexdigest()[:16]


def cache_dir() -> Path:
    """The machine's prefix cache: $VANTREL_PREFIX_CACHE, else
    /var/cache/vantrel-prefixes where it can be written, else the user's cache."""
    if os.environ.get("VANTREL_PREFIX_CACHE"):
        return Path(os.environ["VANTREL_PREFIX_CACHE"])
    system = Path("/var/cache/vantrel-prefixes")
    if os.access(system if system.exists() else system.parent, os.W_OK):
        return system
    return Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "vantrel-prefixes"


def base_prefix(windows: str = "win7") -> Path:
    """The cached base for "win7" or "win10", built first if needed (about
    half a minute). Builds of the same base wait for each other on a lock, and
    a base appears under its name only once it is complete."""
    if windows not in WINDOWS:
        raise ValueError(f"no base prefix for {windows}")
    root = cache_dir() / prefix_key()
    base = root / windows
    if (base / ".vantrel-ready").exists():
        return base
    root.mkdir(parents=True, exist_ok=True)
    with open(root / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (base / ".vantrel-ready").exists():
            if not runs_i386():
                raise RuntimeError("a base prefix needs its 32-bit side, and no i386 code runs in this process: "
                                   "run through tools/with-i686.sh (or run-tests.sh / run-main.sh)")
            building = root / f"{windows}.building"
            shutil.rmtree(building, ignore_errors=True)
            _make_base(building, windows)
            (building / ".vantrel-ready").write_text(windows + "\n")
            building.rename(base)
    return base


def copy_prefix(base: Path, target) -> Path:
    """A private copy of a prefix, to run and change."""
    subprocess.run(["cp", "-a", str(base), str(target)], check=True)
    return Path(target)


def build_prefixes(build: Path, wine_dir: Path | None = None) -> Path:
    """Both bases, and the build's unit prefix (WINE_DIR/unit), a copy of the
    Windows 7 base that the unit tests run in."""
    bases = [base_prefix(windows) for windows in WINDOWS]
    unit = Path(wine_dir or os.environ.get("VANTREL_WINE_DIR") or build / "wine") / "unit"
    stamp = unit / ".vantrel-base"
    if not stamp.exists() or stamp.read_text() != str(bases[0]):
        shutil.rmtree(unit, ignore_errors=True)
        unit.parent.mkdir(parents=True, exist_ok=True)
        copy_prefix(bases[0], unit)
        stamp.write_text(str(bases[0]))
    return unit


# The HTTPS test server and the X screen -------------------------------------
def start_server(docroot, port: int = 0, runtime_port: int = 0, special_base: int | None = None):
    """The test server over docroot with the committed test CA's certificates,
    started; stop it with .stop()."""
    import vantrel_server
    return vantrel_server.VantrelServer(docroot, TEST_CA, port=port, runtime_port=runtime_port,
                                        special_base=special_base).start()


def build_server(docroot, config: dict):
    """The server on the ports a staging build talks to (its harness_config.json)."""
    return start_server(docroot, config["product_port"], config["runtime_port"], config["product_port"] + 2)


@contextlib.contextmanager
def x_screen(fbdir=None):
    """A private Xvfb screen of 1024x768; yields its name (":N"). With fbdir,
    the screen is kept in fbdir/Xvfb_screen0, in xwd format, for screenshots."""
    read, write = os.pipe()
    command = ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-nocursor"]
    if fbdir is not None:
        command += ["-fbdir", str(fbdir)]
    proc = subprocess.Popen(command, pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    try:
        with os.fdopen(read) as pipe:
            number = pipe.readline().strip() if select.select([pipe], [], [], 30)[0] else ""
        if not number:
            raise RuntimeError("Xvfb did not start")
        yield f":{number}"
    finally:
        proc.terminate()
        proc.wait(timeout=10)


# The command line -----------------------------------------------------------
def _serve(docroot: str, build: str, ready_file: str | None = None) -> None:
    config = json.loads((Path(build) / "harness_config.json").read_text())
    server = build_server(docroot, config)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    print(f"serving {docroot} on https://localhost:{config['product_port']}/ and "
          f"https://localhost:{config['runtime_port']}/", flush=True)
    if ready_file:
        Path(ready_file).write_text("ready\n")
    stop.wait()
    server.stop()


def main(argv: list[str]) -> int:
    command, args = (argv[0], argv[1:]) if argv else ("", [])
    if command == "run" and args:
        prefix = os.environ.get("WINEPREFIX")
        if not prefix:
            build = os.environ.get("VANTREL_BUILD_DIR")
            if not build:
                sys.exit("winectl run: set WINEPREFIX or VANTREL_BUILD_DIR")
            prefix = Path(os.environ.get("VANTREL_WINE_DIR") or Path(build) / "wine") / "unit"
        program = loader(args[0])
        os.execve(program, [program, *args], wine_env(prefix, debug=os.environ.get("WINEDEBUG", "-all")))
    if command == "prefixes" and len(args) in (1, 2):
        unit = build_prefixes(Path(args[0]).resolve(), Path(args[1]) if len(args) == 2 else None)
        print(f"prefixes: bases in {cache_dir() / prefix_key()}, unit prefix {unit}")
        return 0
    if command == "copy" and len(args) == 2:
        copy_prefix(base_prefix(args[0]), args[1])
        return 0
    if command == "width" and len(args) == 1:
        print(pe_image.width(args[0]))
        return 0
    if command == "serve" and len(args) in (2, 4) and args[2:3] in ([], ["--ready-file"]):
        _serve(args[0], args[1], args[3] if len(args) == 4 else None)
        return 0
    print(__doc__.split("\n\n")[-1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
