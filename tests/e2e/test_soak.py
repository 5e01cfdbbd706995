"""Fault soak in one prefix: every kind of fault the staging server can do to
a download -- error statuses, bodies cut off or reset, wrong sizes and
digests, broken manifests, lying or missing length headers, short stalls and
slow bodies -- twice, with its details (sizes, offsets, codes) drawn from a
fixed seed, each run a "--verify"; and a user's cancel while the package
flows, in the window. Every kind has one outcome, so two runs per kind are
two runs per kind and outcome. Every run must end with the exit code (and for
the window the status) the fault calls for, request what it should and
nothing else, and leave no workspace folder and no process behind."""
from __future__ import annotations

import collections
import hashlib
import os
import random
import subprocess
from dataclasses import dataclass, field

import harness
import vantrel_server

SETUP = harness.Prefix.exe("VantrelSetup")
SEED = 20240611
RUNS_PER_KIND = 2
MANIFEST = "/downloads/release.ini"
MANIFEST_LIMIT = 65536
DOWNLOADING, CANCELLED = "正在下载安装包：", "已取消下载，可以重新开始。"


@dataclass
class Fault:
    kind: str
    expected_exit: int
    package_requested: bool
    # What the server holds for this run.
    manifest: bytes = b""
    package_name: str = ""
    package: bytes = b""
    rules: dict = field(default_factory=dict)
    cancel: bool = False  # a windowed run, cancelled while the package flows


def manifest_text(values: dict) -> bytes:
    lines = ["[windows]"] + [f"{key}={value}" for key, value in values.items()]
    return ("\r\n".join(lines) + "\r\n").encode()


def make_fault(rng: random.Random, index: int, kind: str, repeat: int) -> Fault:
    """One run's server content: a package of random size, a manifest, and
    the fault of this kind applied to either; repeat is 0 or 1."""
    name = rng.choice(["Full-Setup-2.0.exe", "Setup.exe", "a.exe", "-x.exe", "Setup-1.2.3.exe"])
    data = harness.package_bytes(rng.randint(1, 400_000) + (1_000_000 if kind == "cancel" else 0), index)
    good = {"file": name, "sha256": hashlib.sha256(data).hexdigest(), "size": str(len(data))}
    package_path = "/downloads/" + name

    def fault(expected_exit, package_requested, values=None, manifest=None, rules=None, package=None):
        text = manifest if manifest is not None else manifest_text(values or good)
        return Fault(kind, expected_exit, package_requested, text, name,
                     data if package is None else package, rules or {}, kind == "cancel")

    if kind == "none":
        return fault(0, True)
    if kind == "manifest status":
        return fault(1, False, rules={MANIFEST: {"status": rng.choice([204, 301, 302, 403, 404, 500, 503])}})
    if kind == "package status":
        return fault(1, True, rules={package_path: {"status": rng.choice([301, 302, 307, 403, 404, 500, 503])}})
    if kind in ("package cut off", "package reset"):
        # Content-Length announces the whole body; the server ends early.
        end = "cut_after" if kind == "package cut off" else "reset_after"
        return fault(1, True, rules={package_path: {end: rng.randrange(0, len(data))}})
    if kind in ("manifest cut off", "manifest reset"):
        # Content-Length announces the whole manifest: wherever the server
        # ends early, cut or reset, the manifest is refused as incomplete.
        text = manifest_text(good)
        end = "cut_after" if kind == "manifest cut off" else "reset_after"
        return fault(1, False, manifest=text, rules={MANIFEST: {end: rng.randrange(0, len(text))}})
    if kind == "manifest hang-up":
        return fault(1, False, rules={MANIFEST: {"no_response": True}})
    if kind == "wrong size":
        # One run each way: more bytes than announced end the read at the
        # limit; fewer are a short body, even with the right digest.
        size = len(data) - rng.randint(1, len(data) - 1) if repeat and len(data) > 1 else \
            len(data) + rng.choice([1, 1000])
        return fault(1, True, values=dict(good, size=str(size)))
    if kind == "wrong digest":
        digest = list(good["sha256"])
        at = rng.randrange(64)
        digest[at] = rng.choice([c for c in "0123456789abcdef" if c != digest[at]])
        return fault(1, True, values=dict(good, sha256="".join(digest)))
    if kind == "tampered package":
        tampered = bytearray(data)
        tampered[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        return fault(1, True, package=bytes(tampered))
    if kind == "empty package":
        return fault(1, True, package=b"")
    if kind == "bad manifest":
        broken = rng.choice([
            dict(good, sha256=good["sha256"].upper()),
            dict(good, sha256=good["sha256"][:63]),
            dict(good, file=name[:-4] + ".EXE"),
            dict(good, file="../" + name),
            dict(good, file="setup_1.exe"),
            dict(good, size="0"),
            dict(good, size="1073741825"),
            dict(good, size="0x" + format(len(data), "x")),
            dict(good, size="+" + good["size"]),
            {"file": name, "sha256": good["sha256"]},
            {"sha256": good["sha256"], "size": good["size"]},
        ])
        return fault(1, False, values=broken)
    if kind == "manifest not ini":
        return fault(1, False, manifest=rng.choice([b"\x00\x01 not a manifest", b"<html>404</html>",
                                                    manifest_text(good).replace(b"[windows]", b"[win7]")]))
    if kind == "empty manifest":
        return fault(1, False, manifest=b"")
    if kind == "manifest over the limit":
        text = manifest_text(good)
        return fault(1, False, manifest=text + b";" * (MANIFEST_LIMIT + 1 - len(text)))
    if kind == "manifest at the limit":
        text = manifest_text(good)
        return fault(0, True, manifest=text + b";" * (MANIFEST_LIMIT - len(text)))
    if kind == "length header too small":
        # Fewer bytes than the file are read, so the size is wrong.
        return fault(1, True, rules={package_path: {"declared_length": max(0, len(data) - rng.randint(1, 1000))}})
    if kind == "length header too large":
        # The server closes after the real body. The length header is never
        # trusted; what arrived is whole and has the right size and digest.
        return fault(0, True, rules={package_path: {"declared_length": len(data) + rng.randint(1, 1000)}})
    if kind == "no length header":
        return fault(0, True, rules={package_path: {"declared_length": None}})
    if kind == "stall after headers":
        target = rng.choice([MANIFEST, package_path])
        return fault(0, True, rules={target: {"stall_after_headers_ms": rng.randint(100, 1500)}})
    if kind == "stall before headers":
        target = rng.choice([MANIFEST, package_path])
        return fault(0, True, rules={target: {"stall_before_headers_ms": rng.randint(100, 1000)}})
    if kind == "slow body":
        return fault(0, True, rules={package_path: {"drip": {"chunk": rng.choice([16384, 65536]),
                                                             "delay_ms": rng.randint(1, 20)}}})
    if kind == "cancel":
        # Bytes keep coming, each piece well inside the network timeout, for
        # longer than the driver takes to press the button: a downloader that
        # stopped looking at the flag would read on to the end.
        delay = rng.randint(80, 120)
        return fault(0, True, rules={package_path: {"drip": {"chunk": 16384, "delay_ms": delay}}})
    raise AssertionError(kind)


KINDS = ["none", "manifest status", "package status", "package cut off", "package reset",
         "manifest cut off", "manifest reset", "manifest hang-up", "wrong size", "wrong digest",
         "tampered package", "empty package", "bad manifest", "manifest not ini", "empty manifest",
         "manifest over the limit", "manifest at the limit", "length header too small",
         "length header too large", "no length header", "stall after headers",
         "stall before headers", "slow body", "cancel"]


def setup_processes(prefix: harness.Prefix) -> list[str]:
    """Command lines of installer processes still running in the prefix."""
    marker = b"WINEPREFIX=" + str(prefix.path).encode() + b"\0"
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                line = f.read().replace(b"\0", b" ").decode(errors="replace")
            with open(f"/proc/{pid}/environ", "rb") as f:
                environment = f.read() + b"\0"
        except OSError:
            continue
        if "VantrelSetup" in line and marker in environment:
            found.append(f"{pid}: {line}")
    return found


def cancel_in_the_window(prefix: harness.Prefix) -> tuple[int, str]:
    """Install, press cancel once the package is coming in, wait for the run
    to end and close: (exit code, the status the run ended with)."""
    proc = subprocess.Popen([harness.loader(SETUP), str(SETUP)], env=prefix.env(), stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        prefix.drive("wait-window", 30000)
        prefix.drive("click", "install")
        prefix.drive("wait-status", harness.hexarg(DOWNLOADING), 60000)
        prefix.drive("click", "cancel")
        status = prefix.drive("wait-enabled", "install", 1, 120000)["status"]["text"]
        prefix.drive("close")
        return proc.wait(timeout=60), status
    finally:
        if proc.poll() is None:
            prefix.kill()
            proc.wait()


def distinct_in_order(paths: list[str]) -> list[str]:
    out: list[str] = []
    for path in paths:
        if path not in out:
            out.append(path)
    return out


def test_soak_against_random_faults(win10, staging, display):
    docroot = staging.docroot
    # One wineserver for the whole soak; its daemons start here, with their
    # output going nowhere, so no run's output pipe is held open by them.
    subprocess.run(["wineserver", "-p"], env=win10.env(), check=True)
    subprocess.run(["/usr/lib/wine/wine64", "cmd", "/c", "exit"], env=win10.env(), timeout=120,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    rng = random.Random(SEED)
    exits: collections.Counter = collections.Counter()
    runs = [(kind, repeat) for kind in KINDS for repeat in range(RUNS_PER_KIND)]
    for index, (kind, repeat) in enumerate(runs):
        fault = make_fault(rng, index, kind, repeat)
        for child in docroot.iterdir():
            if child.is_dir():
                for item in child.iterdir():
                    item.unlink()
        vantrel_server.write_rules(docroot, fault.rules)
        vantrel_server.clear_requests(docroot)
        staging.publish(MANIFEST, fault.manifest)
        staging.publish("/downloads/" + fault.package_name, fault.package)

        context = f"run {index} (seed {SEED}): {fault.kind}, rules {fault.rules}"
        if fault.cancel:
            code, status = cancel_in_the_window(win10)
            assert status == CANCELLED, context
        else:
            result = win10.run(SETUP, "--verify", timeout=60)
            code = result.returncode
            assert result.stdout == "", context
        assert code == fault.expected_exit, context
        assert win10.workspaces() == [], context
        assert setup_processes(win10) == [], context
        expected_paths = [MANIFEST] + (["/downloads/" + fault.package_name] if fault.package_requested else [])
        assert distinct_in_order(staging.paths()) == expected_paths, context
        exits[code] += 1

    print(f"\nsoak: {len(runs)} runs, seed {SEED}; exit codes {dict(sorted(exits.items()))}")
