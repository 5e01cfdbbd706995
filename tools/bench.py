#!/usr/bin/python3
"""Benchmarks of the installer on this machine: download throughput, digest
time, peak memory, file size, start-up time, responsiveness and what the
window costs a download, side by side with their references, in one run.

    /usr/bin/python3 tools/bench.py [--no-build] [--runs 5] [--startup-runs 10]
                                    [--big-mib 1024] [--output docs/benchmarks.md]
                                    [--only download,memory,size,startup,latency,window,vm]

What runs the programs follows the probe the tests use (tools/i686-executor.sh,
VANTREL_I686_EXECUTOR forces it):

- host, where this kernel runs i386 code: the shipped width, the i686 test
  build (build/test-i686, whose VantrelSetup.exe is the staging exe byte for
  byte), under the host's Wine 32-bit loader, WOW64 in a 64-bit prefix;
- vm, where it doesn't: the host rows come from the x86_64 build of the same
  sources (build/bench) under Wine's 64-bit loader, a second width that is
  labelled as such, and "vm" is added: this script runs again inside the QEMU
  VM of tools/vm/run.sh, whose Wine runs the i686 build; its figures get a
  table of their own.

Every row names its build and executor. The size is always that of the
shipped i686 file in build/release. The downloads are served by nginx (TLS 1.2
only, files from a directory), started by this script on the build's
loopback ports with a private configuration and the test certificates; where
nginx is not installed (the VM image) the Python test server stands in, and
the report says so. Run as root, the whole benchmark runs in a private network
namespace, so the staging ports can't collide with a test run on the same
machine. It also starts its own Xvfb screen and a private copy of the Windows 10
test prefix, prints a Markdown table and writes it, with the machine it ran
on, to docs/benchmarks.md. Only loopback traffic. The targets are reported,
never enforced: the exit code is 0 whenever every measurement could be taken,
whatever the figures, and 1 when a program under test failed.
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import platform
import re
import shlex
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[1]
WINE_64 = "/usr/lib/wine/wine64"
WINE_32 = "/usr/lib/wine/wine"  # the i386 loader: runs only where the kernel runs i386 code
NGINX = "/usr/sbin/nginx"
MB = 1_000_000  # throughput is in MB/s of 10^6 bytes
MIB = 1 << 20
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
WINDOW_CLASS_STATUS_DOWNLOADING = "正在下载"

sys.path.insert(0, str(SOURCE_DIR / "tools"))
sys.path.insert(0, str(SOURCE_DIR / "tests" / "e2e"))
from check_resources import EXE_SIZE_LIMIT  # noqa: E402
import winectl  # noqa: E402

# Targets of the benchmark, as stated for the project.
TARGET_TRANSFER_RATIO = 0.9        # installer / bare WinHTTP reader, at least
TARGET_MEMORY_SPREAD_KIB = 2048    # peak RSS, 1 GiB package minus 1 MiB package, below
TARGET_SIZE_BYTES = EXE_SIZE_LIMIT  # shipped exe, at most (the resource tests enforce it)
TARGET_LATENCY_P99_MS = 100.0      # WM_NULL answer during a download, at most
TARGET_STARTUP_RATIO = 1.10        # installer / minimal window, start to visible window, at most
TARGET_WINDOW_RATIO = 0.95         # windowed download / --verify, per round, at least

# Who ran what, for the report: every figure names its build and executor.
HOST_I686 = "i686 `build/test-i686` (staging), host Wine (32-bit loader, WOW64)"
HOST_X86_64 = "x86_64 `build/bench`, host Wine (64-bit loader)"
STATIC_I686 = "i686 `build/release`, file only"


# ---------------------------------------------------------------------------
# Pure helpers (tested in bench/test_bench.py)

def median(values):
    return statistics.median(values) if values else None


def percentile(values, q):
    """The value below which a fraction q of the sorted samples lie (nearest
    rank, the same rule as the probes use)."""
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def generated_block(seed: int, size: int = MIB) -> bytes:
    """The test server's generated body pattern: byte i is ((i + seed) * 131 + 7)
    mod 256. size must be a multiple of 256 so blocks join seamlessly."""
    assert size % 256 == 0
    period = bytes(((i + seed) * 131 + 7) & 0xFF for i in range(256))
    return period * (size // 256)


def generated_sha256(length: int, seed: int) -> str:
    block = generated_block(seed)
    digest = hashlib.sha256()
    full, rest = divmod(length, len(block))
    for _ in range(full):
        digest.update(block)
    digest.update(block[:rest])
    return digest.hexdigest()


def pe_sections(path: Path) -> dict:
    """Section table of a PE file: {"machine", "headers", "sections": [(name,
    raw_size, virtual_size)], "file_size"}. Raw sizes are the bytes each
    section takes in the file."""
    data = Path(path).read_bytes()
    if data[:2] != b"MZ":
        raise ValueError(f"{path} is not a PE file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{path} has no PE signature")
    machine, count = struct.unpack_from("<HH", data, pe + 4)
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    headers = struct.unpack_from("<I", data, pe + 24 + 60)[0]  # SizeOfHeaders
    table = pe + 24 + optional_size
    sections = []
    for index in range(count):
        entry = table + 40 * index
        name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
        virtual_size, _, raw_size = struct.unpack_from("<III", data, entry + 8)
        sections.append((name, raw_size, virtual_size))
    return {"machine": {0x14C: "i386", 0x8664: "x86-64"}.get(machine, hex(machine)),
            "headers": headers, "sections": sections, "file_size": len(data)}


def manifest_text(section: str, file: str, sha256: str, size: int) -> str:
    return f"[{section}]\r\nfile={file}\r\nsha256={sha256}\r\nsize={size}\r\n"


def fmt(value, digits=1, unit=""):
    if value is None:
        return "n/a"
    return f"{value:,.{digits}f}{unit}"


def verdict(ok):
    return "n/a" if ok is None else ("met" if ok else "**missed**")


def choose_executor(env=None) -> dict:
    """Which executor runs the shipped width here: the tests' own probe
    (tools/i686-executor.sh), so the benchmark can't disagree with them.
    {"executor": "host"|"vm", "detected": ..., "reason": why not host,
    "forced": VANTREL_I686_EXECUTOR or ""}. Raises ValueError for a value the
    probe refuses (unknown, or "host" where the kernel runs no i386 code)."""
    script = ('. "$1" && choose_i686_executor && '
              'printf "%s\\n%s\\n%s\\n" "$i686_executor" "$i686_detected" "$i686_reason"')
    env = dict(os.environ if env is None else env)
    proc = subprocess.run(["bash", "-c", script, "bash", str(SOURCE_DIR / "tools/i686-executor.sh")],
                          env=env, capture_output=True, text=True, timeout=60)
    if proc.returncode != 0:
        raise ValueError(proc.stderr.strip() or "tools/i686-executor.sh failed")
    executor, detected, reason = (proc.stdout.split("\n") + ["", "", ""])[:3]
    return {"executor": executor, "detected": detected, "reason": reason.strip(),
            "forced": env.get("VANTREL_I686_EXECUTOR", "")}


def width_plan(executor: str) -> dict:
    """What the host rows measure for an executor: the build folder, its
    preset (None: this script configures build/bench itself), the Wine loader
    and the label every row carries; "vm" says whether the VM must add the
    shipped width."""
    if executor == "host":
        return {"build_dir": SOURCE_DIR / "build/test-i686", "preset": "test-i686", "loader": WINE_32,
                "label": HOST_I686, "shipped": True, "vm": False}
    return {"build_dir": SOURCE_DIR / "build/bench", "preset": None, "loader": WINE_64,
            "label": HOST_X86_64, "shipped": False, "vm": True}


def width_note(executor: dict, plan: dict) -> str:
    """The report's paragraph on what ran the rows, from the probe's answer."""
    forced = (f" (VANTREL_I686_EXECUTOR={executor['forced']})" if executor.get("forced") else "")
    if plan["shipped"]:
        return ("This machine's kernel runs i386 code (the probe of `tools/i686-executor.sh` started Wine's "
                f"32-bit loader){forced}, so every row that runs a program measures the shipped width: the "
                "i686 test build `build/test-i686` (its `VantrelSetup.exe` is the staging exe byte for byte, "
                "staging endpoints on localhost) under the host's Wine 32-bit loader, WOW64 in a private "
                "Windows 10 prefix; the size is that of the shipped i686 `build/release/VantrelSetup.exe`.")
    if executor.get("forced"):
        why = (f"The executor for the shipped width is the VM, forced by VANTREL_I686_EXECUTOR="
               f"{executor['forced']} (the probe of `tools/i686-executor.sh` answered {executor.get('detected')}).")
    else:
        why = ("This machine's kernel runs no i386 code (the probe of `tools/i686-executor.sh`: "
               f"{executor.get('reason') or 'Wine 32-bit loader did not start'}), so the executor for the shipped "
               "width is the VM.")
    return (why + " The host rows therefore come from the x86_64 build of the same sources (`build/bench`, "
            "staging endpoints on localhost) under Wine's 64-bit loader, the second width and not the one that "
            "ships; the i686 figures are those of the VM's table, and the size is that of the shipped i686 "
            "`build/release/VantrelSetup.exe`.")


def nginx_config(run_dir: Path, docroot: Path, certs: Path, port: int) -> str:
    """A private nginx for the benchmark: loopback only, TLS 1.2 only, the
    files of `docroot` as a download server would serve them, one worker,
    its logs, pid and temporary files under run_dir. The access log gives,
    per request, the end time and the time since its first byte after the
    TLS handshake (see nginx_requests)."""
    return f"""daemon off;
master_process on;
worker_processes 1;
user root;
pid {run_dir}/nginx.pid;
error_log {run_dir}/nginx-error.log warn;
events {{ worker_connections 64; }}
http {{
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    client_body_temp_path {run_dir}/nginx-body;
    log_format bench escape=json
        '{{"end":$msec,"request_time":$request_time,"path":"$uri","status":$status,"bytes":$body_bytes_sent}}';
    access_log {run_dir}/nginx-access.log bench;
    sendfile on;
    keepalive_timeout 15;
    server {{
        listen 127.0.0.1:{port} ssl;
        server_name localhost;
        ssl_certificate {certs}/localhost.crt;
        ssl_certificate_key {certs}/localhost.key;
        ssl_protocols TLSv1.2;
        root {docroot};
        location / {{ }}
    }}
}}
"""


def nginx_requests(text: str) -> list:
    """The access log of nginx_config as the Python server's request log
    reads: [{"path", "time", "status"}], "time" being when the request's first
    byte arrived (the end time minus the request time, 1 ms resolution)."""
    entries = []
    for line in text.splitlines():
        if line.strip():
            entry = json.loads(line)
            entries.append({"path": entry["path"], "status": entry["status"],
                            "time": float(entry["end"]) - float(entry["request_time"])})
    return entries


def cpu_delta(before: dict, after: dict) -> dict:
    """CPU seconds per thread between two cpu_snapshot()s: {(process label,
    thread label): seconds}; threads that ended between them count what the
    first snapshot saw them at as lost (0), new ones count from 0."""
    out = {}
    for key, (label, thread, ticks) in after.items():
        start = before.get(key, (label, thread, 0))[2]
        out[(label, thread)] = out.get((label, thread), 0.0) + (ticks - start) / CLOCK_TICKS
    return out


def render_markdown(results: dict, machine: dict) -> str:
    """The report: one summary table, then the size breakdown and the raw
    samples. `results` holds what main() measured; missing parts read n/a.
    Figures from the VM (`results["vm"]`, same layout) get a table of their own."""
    lines = summary_table(results)
    vm = results.get("vm")
    if vm:
        when = f", {results['vm_date']}" if results.get("vm_date") else ""
        lines += ["", f"In the VM ({vm.get('executor', 'tools/vm/run.sh')}{when}):", ""]
        lines += summary_table(vm, measured_only=True)
    return "\n".join(lines)


def summary_table(results: dict, measured_only: bool = False) -> list:
    d = results.get("download", {})
    v = results.get("verify", {})
    m = results.get("memory", {})
    s = results.get("size", {})
    st = results.get("startup", {})
    r = results.get("latency", {})
    w = results.get("window", {})

    def ratio(a, b):
        return a / b if a and b else None

    def run_by(part, default=None):
        return results.get(part, {}).get("executor") or default or results.get("executor") or HOST_X86_64

    inst, reader, curl = d.get("installer_mbs"), d.get("reader_mbs"), d.get("curl_mbs")
    transfer_ratio = ratio(inst, reader)
    # The verdict uses the ratio within rounds where there is one: on a shared
    # machine it is the figure a change of load disturbs least.
    judged_ratio = d.get("paired_ratio") or transfer_ratio
    hash_ratio = ratio(v.get("hash_s"), v.get("sha256sum_s"))
    spread = (m["big_kib"] - m["small_kib"]) if m.get("big_kib") and m.get("small_kib") else None
    p99 = r.get("download", {}).get("p99")
    window_p99 = w.get("p99_median")
    startup_ratio = st.get("paired_ratio") or ratio(st.get("median_ms"), st.get("reference_median_ms"))
    mib = results.get("download_mib", 256)
    rows = [
        (f"1. Download, installer `--verify` ({mib} MiB)", run_by("download"), fmt(inst, 1, " MB/s"),
         f"WinHTTP reader {fmt(reader, 1, ' MB/s')}; curl {fmt(curl, 1, ' MB/s')}",
         f"{fmt(d.get('paired_ratio'), 3)} × reader per round ({fmt(transfer_ratio, 3)} of the medians; "
         f"reader vs itself {fmt(d.get('noise_ratio'), 3)}); {fmt(ratio(inst, curl), 3)} × curl",
         f"≥ {TARGET_TRANSFER_RATIO} × reader",
         verdict(None if judged_ratio is None else judged_ratio >= TARGET_TRANSFER_RATIO)),
        (f"2. Verification, last byte → verdict ({mib} MiB)", run_by("verify"),
         f"{fmt(v.get('hash_s'), 3, ' s')} in-process; {fmt(v.get('external_s'), 3, ' s')} to exit",
         f"sha256sum {fmt(v.get('sha256sum_s'), 3, ' s')}",
         f"{fmt(hash_ratio, 2)} × sha256sum", "report", "—"),
        (f"3. Peak RSS, 1 MiB vs {results.get('big_mib', 1024)} MiB package", run_by("memory"),
         f"{fmt(m.get('small_kib'), 0, ' KiB')} / {fmt(m.get('big_kib'), 0, ' KiB')}",
         "—", f"{fmt(spread, 0, ' KiB')} apart", f"< {TARGET_MEMORY_SPREAD_KIB} KiB apart",
         verdict(None if spread is None else spread < TARGET_MEMORY_SPREAD_KIB)),
        ("4. Size, shipped i686 exe", run_by("size", STATIC_I686), fmt(s.get("file_size"), 0, " bytes"),
         "—", f"{fmt(s.get('file_size', 0) / 1024 if s.get('file_size') else None, 1, ' KiB')}",
         f"≤ {TARGET_SIZE_BYTES / 1024:g} KiB",
         verdict(None if not s.get("file_size") else s["file_size"] <= TARGET_SIZE_BYTES)),
        ("5. Start-up to visible window (warm wineserver)", run_by("startup"),
         f"median {fmt(st.get('median_ms'), 1, ' ms')} of {len(st.get('ms', []))}",
         f"minimal window {fmt(st.get('reference_median_ms'), 1, ' ms')}",
         f"{fmt(startup_ratio, 2)} × minimal"
         + (f" per round ({fmt(ratio(st.get('median_ms'), st.get('reference_median_ms')), 2)} of the medians)"
            if st.get("paired_ratio") else ""), f"≤ {TARGET_STARTUP_RATIO:.2f} × minimal",
         verdict(None if startup_ratio is None else startup_ratio <= TARGET_STARTUP_RATIO)),
        (f"6. WM_NULL answer during a {mib} MiB download", run_by("latency"),
         f"p99 {fmt(p99, 2, ' ms')}",
         f"p50 {fmt(r.get('download', {}).get('p50'), 2)} / p90 {fmt(r.get('download', {}).get('p90'), 2)} / "
         f"max {fmt(r.get('download', {}).get('max'), 2)} ms, {r.get('download', {}).get('count', 0)} samples",
         "—", f"p99 ≤ {TARGET_LATENCY_P99_MS:.0f} ms",
         verdict(None if p99 is None else p99 <= TARGET_LATENCY_P99_MS)),
        (f"7. Windowed download ({mib} MiB) against `--verify`, WM_NULL probe running", run_by("window"),
         f"{fmt(w.get('window_mbs'), 1, ' MB/s')} in the window; WM_NULL p99 {fmt(window_p99, 2, ' ms')}",
         f"`--verify` {fmt(w.get('verify_mbs'), 1, ' MB/s')} in the same rounds"
         + (f"; window without the probe {fmt(w.get('quiet_mbs'), 1, ' MB/s')}, "
            f"{fmt(w.get('quiet_ratio'), 3)} × `--verify` per round" if w.get("quiet_samples") else ""),
         f"{fmt(w.get('paired_ratio'), 3)} × `--verify` per round "
         f"({fmt(ratio(w.get('window_mbs'), w.get('verify_mbs')), 3)} of the medians); "
         f"WM_NULL p99 worst round {fmt(w.get('p99_max'), 2, ' ms')}",
         f"≥ {TARGET_WINDOW_RATIO:.2f} × `--verify` per round; p99 ≤ {TARGET_LATENCY_P99_MS:.0f} ms",
         verdict(None if window_p99 is None or w.get("paired_ratio") is None else
                 w["paired_ratio"] >= TARGET_WINDOW_RATIO and w["p99_max"] <= TARGET_LATENCY_P99_MS)),
    ]
    parts = ("download", "verify", "memory", "size", "startup", "latency", "window")
    if measured_only:
        rows = [row for part, row in zip(parts, rows) if results.get(part)]
    lines = ["| Benchmark | Build, run by | Installer | Reference | Ratio | Target | Result |",
             "|---|---|---|---|---|---|---|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return lines


def window_rounds(w: dict) -> list:
    lines = ["| Round | `--verify` MB/s | window MB/s | ratio | WM_NULL p99 ms | status line changes | "
             "download phase ms | window, no probe, MB/s | ratio |", "|---|---|---|---|---|---|---|---|---|"]
    count = len(w.get("window_samples", []))
    quiet = w.get("quiet_samples") or [None] * count
    rounds = zip(w.get("verify_samples", []), w.get("window_samples", []), w.get("p99_samples", []),
                 w.get("status_changes", []), w.get("download_ms", []), quiet)
    for index, (verify_mbs, window_mbs, p99, changes, phase_ms, quiet_mbs) in enumerate(rounds, 1):
        lines.append(f"| {index} | {fmt(verify_mbs, 1)} | {fmt(window_mbs, 1)} | {fmt(window_mbs / verify_mbs, 3)} | "
                     f"{fmt(p99, 2)} | {changes} | {fmt(phase_ms, 0)} | {fmt(quiet_mbs, 1)} | "
                     f"{fmt(quiet_mbs / verify_mbs if quiet_mbs else None, 3)} |")
    return lines


def cpu_table(cpu: dict) -> list:
    """cpu: {"window": [round: {"process / thread": seconds}], "verify": [...],
    "seconds": {"window": [...], "verify": [...]}} -> Markdown rows, the
    busiest first."""
    modes = [mode for mode in ("window", "quiet", "verify") if mode != "quiet" or cpu.get("quiet")]
    names = sorted({name for mode in modes for r in cpu.get(mode, []) for name in r})

    def med(mode, name):
        values = [r.get(name, 0.0) for r in cpu.get(mode, [])]
        return median(values) if values else None

    names.sort(key=lambda name: -sum(med(mode, name) or 0 for mode in modes))
    heads = {"window": "window, CPU s", "quiet": "window without the probe, CPU s", "verify": "`--verify`, CPU s"}
    lines = ["| Process / thread | " + " | ".join(heads[m] for m in modes) + " |", "|---" * (len(modes) + 1) + "|"]
    for name in names:
        lines.append(f"| {name} | " + " | ".join(fmt(med(m, name), 2) for m in modes) + " |")
    totals = {mode: [sum(r.values()) for r in cpu.get(mode, [])] for mode in modes}
    lines.append("| all of the above | " + " | ".join(fmt(median(totals[m]), 2) for m in modes) + " |")
    seconds = cpu.get("seconds", {})
    lines.append("| (wall time of the download, s) | "
                 + " | ".join(fmt(median(seconds.get(m, [])), 2) for m in modes) + " |")
    return lines


def render_document(results: dict, machine: dict) -> str:
    out = ["# Benchmarks", "",
           f"Measured by `tools/bench.py` on {results.get('date', 'an unknown date')}. "
           "Benchmarks are not tests: the targets are reported here and never fail the test suite.", "",
           "## Machine", ""]
    out += [f"- {key}: {value}" for key, value in machine.items()]
    out += ["", (results.get("width_note") or "The executor of the rows was not recorded.")
            + " The column \"Build, run by\" names the build and the executor of every row. "
            + (results.get("server_note") or "")
            + " The machine is shared: its load average is given above, and the figures move with it.", ""]
    if results.get("vm_note"):
        out += [results["vm_note"], ""]
    out += ["## Results", "", render_markdown(results, machine), ""]

    d = results.get("download", {})
    if d:
        out += ["### Download", "",
                f"{results.get('runs')} runs each, interleaved in rounds whose order turns, after one "
                "warm-up round; median shown. The ratio per round is the median of installer ÷ reader "
                "within each round, which a change of the machine's load disturbs less; it decides the "
                "target. The reader runs twice per round, and the ratio of its two runs shows how much "
                "the machine's noise alone moves a ratio. "
                "Throughput is the package size over the time from the server's log of the request "
                "(after the TLS handshake) to the moment the file on disk reaches its full size, polled "
                "every 2 ms, so connection set-up and the digest are left out for all three.", "",
                "| Client | MB/s (median) | samples (MB/s) |", "|---|---|---|"]
        for key, label in (("installer", "installer `--verify`"), ("reader", "bare WinHTTP reader"),
                           ("again", "the same reader again (noise check)"), ("curl", "curl (TLS 1.2)")):
            samples = d.get(key + "_samples", [])
            out.append(f"| {label} | {fmt(d.get(key + '_mbs'), 1)} | "
                       + ", ".join(fmt(x, 1) for x in samples) + " |")
        out += ["", "The reader also times itself, from its first body byte to its last write: "
                    f"{fmt(d.get('reader_own_clock_mbs'), 1)} MB/s (median), which checks the outside "
                    "measurement.", ""]
    v = results.get("verify", {})
    if v:
        out += ["### Verification", "",
                "The installer's own digest routine (`Sha256Context` + `HashFileHex`, 64 KiB reads "
                "through CNG) timed in-process by `bench/hash_timer.exe` on the downloaded "
                f"{results.get('download_mib', 256)} MiB file, and split into reading and hashing, against "
                "`sha256sum` on the same file (page cache warm for both); medians.", "",
                "| Part | seconds |", "|---|---|",
                f"| read back, 64 KiB chunks, no hashing | {fmt(v.get('read_s'), 3)} |",
                f"| CNG SHA-256 alone, same bytes from memory | {fmt(v.get('cng_s'), 3)} |",
                f"| whole routine | {fmt(v.get('hash_s'), 3)} |",
                f"| sha256sum | {fmt(v.get('sha256sum_s'), 3)} |",
                f"| installer, file complete → process exit (digest, workspace removal, exit) | "
                f"{fmt(v.get('external_s'), 3)} |", ""]
    m = results.get("memory", {})
    if m:
        out += ["### Memory", "",
                "Peak resident set (the kernel's high-water mark, `ru_maxrss` of the Wine process that "
                "runs `VantrelSetup.exe --verify`, cross-checked with `VmHWM`), maximum over the runs.", "",
                "| Package | peak RSS (KiB) | runs (KiB) |", "|---|---|---|",
                f"| 1 MiB | {fmt(m.get('small_kib'), 0)} | {', '.join(str(x) for x in m.get('small_runs', []))} |",
                f"| {results.get('big_mib', 1024)} MiB | {fmt(m.get('big_kib'), 0)} | "
                f"{', '.join(str(x) for x in m.get('big_runs', []))} |", ""]
    s = results.get("size", {})
    if s:
        out += ["### Size by section", "",
                f"`build/release/VantrelSetup.exe`, {s.get('machine')}, {s['file_size']:,} bytes.", "",
                "| Section | bytes in file | share |", "|---|---|---|",
                f"| headers | {s['headers']:,} | {100 * s['headers'] / s['file_size']:.1f} % |"]
        for name, raw, _virtual in s["sections"]:
            if raw:
                out.append(f"| `{name}` | {raw:,} | {100 * raw / s['file_size']:.1f} % |")
        out.append("")
    st = results.get("startup", {})
    if st:
        out += ["### Start-up", "",
                "`bench/startup_probe.exe`, run inside the prefix (so its wineserver is up), starts the "
                "installer with `CreateProcessW` and polls every 1 ms until the main window is visible, "
                "then closes it and waits for it before the next start. The reference, "
                "`bench/minimal_window.exe`, has the installer's manifest (common controls 6) and only shows a "
                "window of the same class with a progress bar; every round starts both, in an order that "
                "turns each round, and the first round of each block is a warm-up. The ratio per round "
                "(installer ÷ minimal within the round) decides the target.", "",
                "Installer (ms): " + ", ".join(fmt(x, 0) for x in st.get("ms", [])), "",
                "Minimal window (ms): " + ", ".join(fmt(x, 0) for x in st.get("reference_ms", [])), ""]
    r = results.get("latency", {})
    if r:
        out += ["### Responsiveness", "",
                "A windowed run (the install button pressed by `bench/latency_probe.exe`) downloads a "
                f"{results.get('download_mib', 256)} MiB product installer (the sample installer padded "
                "with zeros, which then runs) while the probe sends `WM_NULL` with `SendMessageTimeoutW` "
                "every 2 ms and files each answer time under what the status line said.", "",
                "| Phase | samples | timeouts | p50 ms | p90 ms | p99 ms | max ms |", "|---|---|---|---|---|---|---|"]
        for phase in ("download", "verify", "other"):
            p = r.get(phase, {})
            out.append(f"| {phase} | {p.get('count', 0)} | {p.get('timeouts', 0)} | {fmt(p.get('p50'), 2)} | "
                       f"{fmt(p.get('p90'), 2)} | {fmt(p.get('p99'), 2)} | {fmt(p.get('max'), 2)} |")
        driver = results.get("driver_latency")
        if driver:
            out += ["", f"Cross-check with the test driver (`driver.exe null-latency {driver.get('count')}`, "
                        f"back to back, during the download of a second run): p50 {driver.get('p50')} ms, "
                        f"p90 {driver.get('p90')} ms, p99 {driver.get('p99')} ms, max {driver.get('max')} ms, "
                        f"{driver.get('timeouts')} timeouts."]
        out += ["", f"Status line changes seen: {r.get('status_changes')}; download phase "
                    f"{fmt(r.get('download_ms'), 0)} ms; final status “{r.get('final_status')}”.", "",
                    f"The transfer itself ran at {fmt(r.get('window_mbs'), 1)} MB/s in the window with the "
                    f"probe running ({fmt((driver or {}).get('window_mbs'), 1)} MB/s in the driver's run). "
                    "The worker stores a status line per 64 KiB chunk but posts a message only for a new kind "
                    "of text or when the window has caught up; the window repaints the status line and the "
                    "progress bar for one download at most every 33 ms from its timer (a new kind of text at "
                    "once), so the status line changes about 30 times a second at most.", ""]
    w = results.get("window", {})
    if w:
        out += ["### Window against `--verify`", "",
                f"{len(w.get('window_samples', []))} rounds after one warm-up round, the order turning each "
                f"round: the same {results.get('download_mib', 256)} MiB package (the padded sample "
                "installer) downloaded by `VantrelSetup.exe --verify` (no window) and by a windowed run "
                "whose install button `bench/latency_probe.exe` presses and which it probes with `WM_NULL` "
                "every 2 ms. Throughput as in the download benchmark (server's log of the request to the "
                "file's full size); the ratio per round is window ÷ `--verify` within the round.", "",
                ] + window_rounds(w) + [""]
        if w.get("cpu"):
            out += ["CPU time while the package downloads (from the first byte on disk to the last, "
                    "`/proc/<pid>/task/<tid>/stat`, user + system), median over the rounds, each process "
                    "of the run's prefix, the server and the screen; the installer's threads one by one "
                    "(main is the UI thread, or the only thread of `--verify`).", ""] + cpu_table(w["cpu"]) + [""]
    vm_window = results.get("vm", {}).get("window", {})
    if vm_window:
        vm_machine = results["vm"].get("machine", {})
        out += ["### Window against `--verify` in the VM", "",
                f"{results['vm'].get('executor')}: the same rounds with a "
                f"{results['vm'].get('download_mib')} MiB package, since the VM emulates its CPU "
                f"({vm_machine.get('CPU', 'CPU not reported')}, {vm_machine.get('Memory', '?')}, kernel "
                f"{vm_machine.get('Kernel', '?')}); the host's other work shares the same two cores. "
                "Figures under emulation show what the window costs relative to `--verify` in the shipped "
                "width, not the speed of a real machine.", ""]
        out += window_rounds(vm_window) + [""]
    out += ["## Where the time and the bytes go", "",
            "- Download: the installer streams each 64 KiB read straight to the file; its extra work per "
            "chunk (the status text) leaves no difference to the bare reader beyond what the machine's noise "
            "does to the reader against itself. Both are bounded by WinHTTP under Wine (its TLS through Wine's "
            "schannel), not by the server or the disk: curl on the same server is several times faster.",
            "- Window: a windowed download adds the repaints of the status line and the progress bar, about "
            "30 a second from the window's timer, the status messages of a new kind of text, and the WM_NULL "
            "probe's messages (every 2 ms, each a round trip through the wineserver for the probe and the "
            "UI thread); all of it shares the two cores with WinHTTP's TLS, the server and the screen (see "
            "the CPU table under \"Window against `--verify`\").",
            "- Verification: reading the file back costs next to nothing (page cache); the time is the "
            "platform's SHA-256 (compare the CNG-alone row with the whole routine). The digest must come "
            "from CNG, so this is the floor here.",
            "- Memory: one 64 KiB transfer buffer and one 64 KiB read-back buffer, whatever the package "
            "size; the peak is Wine's own footprint.",
            "- Size: `.text` and `.eh_frame` are mostly the static C++ runtime: the wide-string code "
            "(`std::wstring`'s out-of-line members, all kept, because on PE the linker keeps every "
            "function that a kept object's unwind table names), the DWARF unwinder and winpthread "
            "(`std::thread`, `std::mutex`). `.rsrc` is mostly the icon: nine frames, 16 to 40 px as "
            "32-bit bitmaps, 48 px and up as PNG. The C++ library's narrow-string and exception-class "
            "code is not linked at all: the program's own `std::__throw_*` functions "
            "(`app/library_errors.cpp`) keep it out.",
            "- Start-up: most of it is Wine loading and initialising the system DLLs, common controls 6 "
            "with theming and the X11 driver, which the minimal window pays too. The installer adds its "
            "platform check, its icon, its two fonts, three more controls and the sizing of its window; "
            "the libraries for downloads, digests, certificates and child processes are loaded only when "
            "a run starts.", ""]
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------------------
# The machine

def machine_info(loader: str = WINE_64, compiler: str = "x86_64-w64-mingw32-g++-posix") -> dict:
    def first(path, key):
        try:
            for line in Path(path).read_text().splitlines():
                if line.startswith(key):
                    return line[len(key):].lstrip(" \t:=").strip().strip('"')
        except OSError:
            pass
        return "unknown"

    def command(*args):
        try:
            return subprocess.run(args, capture_output=True, text=True, timeout=30).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            return "unknown"

    mem_kib = first("/proc/meminfo", "MemTotal").split()[0]
    return {
        "CPU": f"{first('/proc/cpuinfo', 'model name')}, {os.cpu_count()} logical cores (nproc {command('nproc')})",
        "Memory": f"{int(mem_kib) / 1024 / 1024:.1f} GiB" if mem_kib.isdigit() else mem_kib,
        "Kernel": platform.release(),
        "OS": first("/etc/os-release", "PRETTY_NAME="),
        "Wine": f"{command(loader, '--version')} ({loader})",
        "Compiler": f"{compiler} " + command(compiler, "-dumpfullversion"),
        "nginx": nginx_version(),
        "curl": " ".join(word for word in (command("curl", "--version").splitlines() or ["unknown"])[0].split()
                         if word.startswith(("curl", "OpenSSL")) or word[:1].isdigit()) or "unknown",
        "Load average at start": " ".join(Path("/proc/loadavg").read_text().split()[:3]),
    }


def nginx_version() -> str:
    if not Path(NGINX).exists():
        return "not installed"
    try:  # nginx -v writes to stderr
        found = subprocess.run([NGINX, "-v"], capture_output=True, text=True, timeout=30)
        return (found.stderr or found.stdout).strip().replace("nginx version: ", "") or "unknown"
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def exe_identity(build_dir: Path) -> str:
    """The measured exe's digest, and whether the staging build's is the
    same bytes (the i686 test build compiles the staging configuration)."""
    def digest(path):
        return hashlib.sha256(path.read_bytes()).hexdigest()
    measured = build_dir / "VantrelSetup.exe"
    if not measured.exists():
        return "not built"
    own = digest(measured)
    staging = SOURCE_DIR / "build/staging/VantrelSetup.exe"
    same = ("build/staging/VantrelSetup.exe not built" if not staging.exists() else
            "the same bytes as build/staging/VantrelSetup.exe" if digest(staging) == own else
            "**differs from build/staging/VantrelSetup.exe**")
    return f"SHA-256 {own[:16]}…, {same}"


# ---------------------------------------------------------------------------
# Running things

class Bench:
    def __init__(self, args):
        self.args = args
        self.build = Path(args.build_dir).resolve()
        self.release = Path(args.release_dir).resolve()
        config = self.build / "harness_config.json"
        # Only the benchmarks that run programs need a build of them.
        self.config = json.loads(config.read_text()) if config.exists() else {}
        self.run_dir = Path(args.run_dir).resolve() if args.run_dir else self.build / "bench-run"
        self.wine_dir = Path(args.wine_dir).resolve() if args.wine_dir else None
        self.docroot = self.run_dir / "docroot"
        self.prefix = self.run_dir / "prefix"
        self.children: list[subprocess.Popen] = []
        self.display = None
        self.rules: dict = {}
        self.published: dict = {}
        self.loader = getattr(args, "loader", WINE_64)
        self.use_nginx = getattr(args, "server", "nginx") == "nginx"
        self.nginx_log = self.run_dir / "nginx-access.log"
        self.screen = None
        self.cpu_last = None

    # -- environment ---------------------------------------------------------

    def env(self, extra=None) -> dict:
        env = dict(os.environ)
        for key in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy", "NO_PROXY"):
            env.pop(key, None)
        env.update(WINEPREFIX=str(self.prefix), WINEARCH="win64", WINEDEBUG="-all")
        if self.display:
            env["DISPLAY"] = self.display
        if extra:
            env.update(extra)
        return env

    @staticmethod
    def win_path(path: Path) -> str:
        return "Z:" + str(Path(path).resolve()).replace("/", "\\")

    def temp_dir(self) -> Path:
        users = self.prefix / "drive_c/users"
        for user in sorted(p for p in users.iterdir() if p.name.lower() != "public"):
            for candidate in (user / "AppData/Local/Temp", user / "Temp"):
                if candidate.is_dir():
                    return candidate
        raise FileNotFoundError("no temporary folder in the prefix")

    def program(self, name: str) -> Path:
        for candidate in (self.build / f"{name}.exe", self.build / "bench" / f"{name}.exe",
                          self.build / "tests" / f"{name}.exe"):
            if candidate.exists():
                return candidate
        raise FileNotFoundError(name)

    def wine(self, *args, timeout=600, extra=None) -> subprocess.CompletedProcess:
        return run_captured([self.loader, *map(str, args)], self.env(extra), timeout)

    # -- set-up --------------------------------------------------------------

    def prepare(self):
        log("preparing", self.run_dir)
        self.stop_wineserver()
        shutil.rmtree(self.run_dir, ignore_errors=True)
        (self.docroot / "downloads").mkdir(parents=True)
        base = self.wine_dir / "base-win10" if self.wine_dir else winectl.base_prefix("win10")
        winectl.copy_prefix(base, self.prefix)
        self.start_server()
        self.start_display()
        # A persistent wineserver for the prefix: every start below is a warm
        # start, as the start-up figure requires.
        subprocess.run(["wineserver", "-p"], env=self.env(), check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wine("cmd", "/c", "exit", timeout=120)

    def start_server(self):
        if self.use_nginx:
            self.start_nginx()
        else:
            self.start_python_server()

    def start_nginx(self):
        """The download server: Debian's nginx with a private configuration
        on the product port of this build (127.0.0.1 only)."""
        conf = self.run_dir / "nginx.conf"
        (self.run_dir / "nginx-body").mkdir(exist_ok=True)
        conf.write_text(nginx_config(self.run_dir, self.docroot, self.build / "certs", self.config["product_port"]))
        proc = subprocess.Popen([NGINX, "-p", str(self.run_dir), "-c", str(conf)], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.children.append(proc)
        deadline = time.monotonic() + 20
        probe = self.docroot / "downloads/ready.txt"
        probe.write_text("ready\n")
        while True:
            check = subprocess.run(["curl", "-sS", "--noproxy", "*", "--tlsv1.2", "--cacert",
                                    str(self.build / "certs/ca.pem"),
                                    f"https://localhost:{self.config['product_port']}/downloads/ready.txt"],
                                   capture_output=True, text=True)
            if check.stdout == "ready\n":
                break
            if proc.poll() is not None or time.monotonic() > deadline:
                error_log = self.run_dir / "nginx-error.log"
                raise RuntimeError("nginx did not start: "
                                   + (error_log.read_text() if error_log.exists() else check.stderr))
            time.sleep(0.1)
        probe.unlink()

    def start_python_server(self):
        port = self.config["product_port"]
        server_log = open(self.run_dir / "server.log", "w")
        proc = subprocess.Popen(
            ["/usr/bin/python3", str(SOURCE_DIR / "tools/https_server/vantrel_server.py"), "--docroot", str(self.docroot),
             "--certs", str(self.build / "certs"), "--port", str(port),
             "--runtime-port", str(self.config["runtime_port"]), "--special-base", str(port + 2)],
            stdout=subprocess.PIPE, stderr=server_log, text=True)
        server_log.close()
        self.children.append(proc)
        line = proc.stdout.readline().strip()
        if line != "ready":
            raise RuntimeError("the HTTPS server did not start: " + (self.run_dir / "server.log").read_text())

    def start_display(self):
        for number in range(150, 200):
            if not Path(f"/tmp/.X11-unix/X{number}").exists() and not Path(f"/tmp/.X{number}-lock").exists():
                break
        fbdir = self.run_dir / "xvfb"
        fbdir.mkdir()
        proc = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                                 "-nocursor", "-fbdir", str(fbdir)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.children.append(proc)
        self.screen = proc
        deadline = time.monotonic() + 20
        while not Path(f"/tmp/.X11-unix/X{number}").exists():
            if proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("Xvfb did not start")
            time.sleep(0.05)
        self.display = f":{number}"

    def stop_wineserver(self):
        if self.prefix.exists():
            subprocess.run(["wineserver", "-k"], env=self.env(), capture_output=True)
            subprocess.run(["wineserver", "-w"], env=self.env(), capture_output=True)

    def close(self):
        self.stop_wineserver()
        for proc in reversed(self.children):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()

    # -- CPU per process and thread ----------------------------------------------

    def cpu_snapshot(self) -> dict:
        """{(pid, tid): (process label, thread label, user + system ticks)}
        for every process of this run's prefix (the programs, Wine's own,
        the wineserver), the screen and the server. The installer's threads
        are told apart: "main" is the thread the process started with, the
        others are numbered in the order of their ids."""
        prefix_env = b"WINEPREFIX=" + str(self.prefix).encode()
        ours = {proc.pid for proc in self.children}
        snapshot = {}
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            pid = int(entry.name)
            try:
                stat = (entry / "stat").read_text()
                parent = int(stat.rsplit(")", 1)[1].split()[1])
                if pid in ours or parent in ours:
                    label = _process_label(entry, stat, self.screen and pid == self.screen.pid, parent in ours)
                elif prefix_env in (entry / "environ").read_bytes().split(b"\0"):
                    label = _process_label(entry, stat, False, False)
                else:
                    continue
                tids = sorted(int(t.name) for t in (entry / "task").iterdir())
                for rank, tid in enumerate(tids):
                    fields = (entry / "task" / str(tid) / "stat").read_text().rsplit(")", 1)[1].split()
                    ticks = int(fields[11]) + int(fields[12])  # utime, stime
                    thread = ("main" if tid == pid else f"thread {rank + 1}") if label == "VantrelSetup.exe" else ""
                    snapshot[(pid, tid)] = (label, thread, ticks)
            except (OSError, ValueError, IndexError):
                continue  # ended meanwhile
        return snapshot

    @staticmethod
    def cpu_names(delta: dict) -> dict:
        """cpu_delta's result keyed by one printable name, threads of one
        label added up."""
        named = {}
        for (label, thread), seconds in delta.items():
            name = f"{label} / {thread}" if thread else label
            named[name] = named.get(name, 0.0) + seconds
        return named

    # -- content ---------------------------------------------------------------

    def publish_generated(self, name: str, length: int, seed: int) -> dict:
        """A package of generated bytes under /downloads/, served from memory."""
        path = "/downloads/" + name
        if self.use_nginx:
            # A download server serves files: the same bytes, written out.
            block = generated_block(seed)
            with open(self.docroot / "downloads" / name, "wb") as out:
                full, rest = divmod(length, len(block))
                for _ in range(full):
                    out.write(block)
                out.write(block[:rest])
        else:
            self.rules[path] = {"body_len": length, "seed": seed}
            (self.docroot / "_rules.json").write_text(json.dumps(self.rules))
        return {"file": name, "path": path, "size": length, "sha256": generated_sha256(length, seed)}

    def publish_file(self, name: str, data_path: Path) -> dict:
        target = self.docroot / "downloads" / name
        shutil.copyfile(data_path, target)
        digest = hashlib.sha256()
        with open(target, "rb") as f:
            for chunk in iter(lambda: f.read(MIB), b""):
                digest.update(chunk)
        return {"file": name, "path": "/downloads/" + name, "size": target.stat().st_size,
                "sha256": digest.hexdigest()}

    def use_package(self, package: dict):
        (self.docroot / "downloads/release.ini").write_bytes(
            manifest_text("windows", package["file"], package["sha256"], package["size"]).encode())

    def request_time(self, path: str) -> float:
        """Server clock (same host clock) of the latest request for path."""
        if self.use_nginx:
            entries = nginx_requests(self.nginx_log.read_text()) if self.nginx_log.exists() else []
        else:
            entries = _read_log(self.docroot)
        times = [e["time"] for e in entries if e.get("path") == path]
        if not times:
            raise RuntimeError(f"the server saw no request for {path}")
        return times[-1]

    # -- one watched run -------------------------------------------------------

    def watched(self, argv, size, find_file, extra=None, timeout=900, cpu=False) -> dict:
        """Runs a program, polls for its output file reaching `size` bytes and
        for its exit, and reports the times (host clock), the exit code and the
        peak resident size of the process; with `cpu`, also the CPU time per
        process and thread from the file's first appearance to its full size."""
        start = time.time()
        out_file, err_file = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        proc = subprocess.Popen(argv, env=self.env(extra), stdin=subprocess.DEVNULL, stdout=out_file,
                                stderr=err_file)
        complete = None
        path = None
        hwm_kib = 0
        next_status = 0.0
        cpu_start = cpu_seen = None
        cpu_used = None
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            now = time.time()
            if complete is None:
                # Also once after the exit: a fast client may finish the file
                # and exit between two polls (then the exit time bounds it).
                path = path or find_file()
                if cpu and path is not None and cpu_start is None:
                    cpu_start, cpu_seen = self.cpu_snapshot(), time.time()
                try:
                    if path is not None and os.stat(path).st_size >= size:
                        complete = now
                        if cpu_start is not None:
                            cpu_used = {"threads": self.cpu_names(cpu_delta(cpu_start, self.cpu_snapshot())),
                                        "seconds": time.time() - cpu_seen}
                except FileNotFoundError:
                    path = None
            if pid:
                proc.returncode = os.waitstatus_to_exitcode(status)
                break
            if now - start > timeout:
                proc.kill()
                raise RuntimeError(f"{argv} did not finish in {timeout} s")
            if now >= next_status:
                hwm_kib = max(hwm_kib, _vm_hwm_kib(proc.pid))
                next_status = now + 0.02
            time.sleep(0.002)
        out, err = _read_back(out_file), _read_back(err_file)
        return {"start": start, "complete": complete, "exit": now, "code": proc.returncode,
                "maxrss_kib": usage.ru_maxrss, "vmhwm_kib": hwm_kib, "stdout": out, "stderr": err,
                "cpu": cpu_used}

    def installer_verify(self, package: dict, cpu: bool = False) -> dict:
        temp = self.temp_dir()
        for stale in temp.glob("VantrelSetup-*"):
            shutil.rmtree(stale, ignore_errors=True)

        def find():
            found = list(temp.glob("VantrelSetup-*/package.exe"))
            return found[0] if found else None

        run = self.watched([self.loader, str(self.program("VantrelSetup")), "--verify"], package["size"], find,
                           cpu=cpu)
        if run["code"] != 0 or run["complete"] is None:
            raise RuntimeError(f"VantrelSetup.exe --verify failed (exit {run['code']}): {run['stderr'][-500:]}")
        run["request"] = self.request_time(package["path"])
        return run

    def reader(self, package: dict, target: Path) -> dict:
        target.unlink(missing_ok=True)
        run = self.watched([self.loader, str(self.program("winhttp_reader")), "localhost", str(self.config["product_port"]),
                            package["path"], self.win_path(target)], package["size"],
                           lambda: target if target.exists() else None)
        if run["code"] != 0 or run["complete"] is None:
            raise RuntimeError(f"winhttp_reader failed (exit {run['code']}): {run['stderr'][-500:]}")
        run["request"] = self.request_time(package["path"])
        run["self"] = json.loads(run["stdout"].strip().splitlines()[-1])
        return run

    def curl(self, package: dict, target: Path) -> dict:
        target.unlink(missing_ok=True)
        url = f"https://localhost:{self.config['product_port']}{package['path']}"
        run = self.watched(["curl", "-sS", "--fail", "--noproxy", "*", "--tlsv1.2", "--tls-max", "1.2",
                            "--cacert", str(self.build / "certs/ca.pem"), "-o", str(target), url],
                           package["size"], lambda: target if target.exists() else None)
        if run["code"] != 0 or run["complete"] is None:
            raise RuntimeError(f"curl failed (exit {run['code']}): {run['stderr'][-500:]}")
        run["request"] = self.request_time(package["path"])
        return run

    # -- the benchmarks --------------------------------------------------------

    def download_and_verify(self, results: dict):
        size = self.args.download_mib * MIB
        package = self.publish_generated(f"bench-{self.args.download_mib}m.exe", size, seed=1)
        self.use_package(package)
        reader_file = self.temp_dir() / "bench-reader.bin"
        curl_file = self.temp_dir() / "bench-curl.bin"
        again_file = self.temp_dir() / "bench-reader-again.bin"
        # "again" is the same reader a second time: the spread between the two
        # readers is what the machine's noise alone does to a ratio.
        samples = {"installer": [], "reader": [], "curl": [], "again": []}
        external, reader_self = [], []
        clients = list(samples)
        for round_ in range(self.args.runs + 1):
            # The order turns every round, so no client always follows the
            # same one.
            turn = round_ % len(clients)
            for name in clients[turn:] + clients[:turn]:
                if name == "installer":
                    run = self.installer_verify(package)
                elif name == "reader":
                    run = self.reader(package, reader_file)
                elif name == "again":
                    run = self.reader(package, again_file)
                else:
                    run = self.curl(package, curl_file)
                # Like the installer's workspace, the copies go at once, so no
                # run pays for writing back an earlier one's pages.
                curl_file.unlink(missing_ok=True)
                again_file.unlink(missing_ok=True)
                if name == "reader" and round_ < self.args.runs:
                    reader_file.unlink(missing_ok=True)
                seconds = run["complete"] - run["request"]
                mbs = size / MB / seconds
                log(f"download round {round_} {name}: {mbs:.1f} MB/s"
                    + (f" (reader's own clock: {size / MB / (run['self']['seconds'] - run['self']['first_byte_s']):.1f})"
                       if name == "reader" else ""))
                if round_ == 0:
                    continue  # warm-up
                samples[name].append(mbs)
                if name == "installer":
                    external.append(run["exit"] - run["complete"])
                if name == "reader":
                    reader_self.append(size / MB / (run["self"]["seconds"] - run["self"]["first_byte_s"]))
        results["download"] = {f"{k}_mbs": median(v) for k, v in samples.items()}
        results["download"].update({f"{k}_samples": v for k, v in samples.items()})
        results["download"]["reader_own_clock_mbs"] = median(reader_self)
        # The machine is shared: a round's clients run back to back, so the
        # ratio within a round is less exposed to a change of load than the
        # ratio of the medians.
        results["download"]["paired_ratio"] = median(
            [a / b for a, b in zip(samples["installer"], samples["reader"])])
        results["download"]["noise_ratio"] = median([a / b for a, b in zip(samples["again"], samples["reader"])])

        # The digest on the very file the reader stored (same bytes as the
        # installer's package, which its workspace has removed by now).
        timer = self.wine(self.program("hash_timer"), self.win_path(reader_file), self.args.runs)
        if timer.returncode != 0:
            raise RuntimeError("hash_timer failed: " + timer.stderr)
        measured = json.loads(timer.stdout.strip().splitlines()[-1])
        if measured["digest"] != package["sha256"] or measured["bytes"] != size:
            raise RuntimeError("hash_timer read a different file: " + timer.stdout)
        sha256sum = []
        for _ in range(self.args.runs):
            begin = time.perf_counter()
            out = subprocess.run(["sha256sum", str(reader_file)], capture_output=True, text=True, check=True)
            sha256sum.append(time.perf_counter() - begin)
            if not out.stdout.startswith(package["sha256"]):
                raise RuntimeError("sha256sum disagrees with the expected digest")
        results["verify"] = {"hash_s": median(measured["hash_s"]), "read_s": median(measured["read_s"]),
                             "cng_s": median(measured["cng_s"]), "sha256sum_s": median(sha256sum),
                             "external_s": median(external), "hash_samples": measured["hash_s"],
                             "sha256sum_samples": sha256sum}
        reader_file.unlink(missing_ok=True)
        curl_file.unlink(missing_ok=True)

    def memory(self, results: dict):
        big = self.args.big_mib * MIB
        small_package = self.publish_generated("bench-1m.exe", MIB, seed=2)
        big_package = self.publish_generated(f"bench-{self.args.big_mib}m-mem.exe", big, seed=3)
        runs = {"small": [], "big": []}
        for _ in range(self.args.memory_runs):
            for key, package in (("small", small_package), ("big", big_package)):
                self.use_package(package)
                run = self.installer_verify(package)
                peak = max(run["maxrss_kib"], run["vmhwm_kib"])
                log(f"memory {key}: ru_maxrss {run['maxrss_kib']} KiB, VmHWM {run['vmhwm_kib']} KiB")
                runs[key].append(peak)
        results["memory"] = {"small_kib": max(runs["small"]), "big_kib": max(runs["big"]),
                             "small_runs": runs["small"], "big_runs": runs["big"]}
        results["big_mib"] = self.args.big_mib

    def size(self, results: dict):
        exe = self.release / "VantrelSetup.exe"
        results["size"] = pe_sections(exe)
        log(f"size: {results['size']['file_size']} bytes")

    def startup(self, results: dict):
        """Start-up to a visible window against the minimal window, the two
        started one after the other in every round (bench/startup_probe.cpp)
        so that a change of the machine's load falls on both; per block the
        first round is a warm-up. The ratio per round is installer ÷ minimal
        within the round."""
        ms, reference = [], []
        for _ in range(self.args.startup_blocks):
            run = self.wine(self.program("startup_probe"), self.win_path(self.program("VantrelSetup")),
                            self.args.startup_runs + 1, self.win_path(self.program("minimal_window")),
                            timeout=900)
            if run.returncode != 0:
                raise RuntimeError("startup_probe failed: " + run.stderr)
            data = json.loads(run.stdout.strip().splitlines()[-1])
            if any(code != 0 for code in data["exit_codes"] + data["reference_exit_codes"]):
                raise RuntimeError(f"a window did not exit cleanly: {data}")
            ms += data["ms"][1:]  # the first round is a warm-up
            reference += data["reference_ms"][1:]
        results["startup"] = {"ms": ms, "median_ms": median(ms), "min_ms": min(ms), "max_ms": max(ms),
                              "reference_ms": reference, "reference_median_ms": median(reference),
                              "paired_ratio": median([a / b for a, b in zip(ms, reference)])}
        log(f"start-up: median {median(ms):.1f} ms, reference window {median(reference):.1f} ms, "
            f"per round {results['startup']['paired_ratio']:.3f}")

    def windowed_download(self, package: dict, during) -> tuple:
        """Starts the window, runs `during()` while the download runs and lets the
        run finish; returns what during() returned and the transfer's MB/s."""
        record = self.run_dir / "sample-installer.txt"
        record.unlink(missing_ok=True)
        temp = self.temp_dir()
        complete = []
        stop = threading.Event()

        self.cpu_last = None
        cpu_start = []

        def watch():
            # The package reaching its size in the workspace ends the transfer.
            while not stop.is_set():
                for found in temp.glob("VantrelSetup-*/package.exe"):
                    if not cpu_start:
                        cpu_start.append((self.cpu_snapshot(), time.time()))
                    try:
                        if found.stat().st_size >= package["size"]:
                            complete.append(time.time())
                            self.cpu_last = {
                                "threads": self.cpu_names(cpu_delta(cpu_start[0][0], self.cpu_snapshot())),
                                "seconds": time.time() - cpu_start[0][1]}
                            return
                    except FileNotFoundError:
                        pass
                time.sleep(0.005)

        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        window = subprocess.Popen([self.loader, str(self.program("VantrelSetup"))],
                                  env=self.env({"VANTREL_SAMPLE_RECORD": self.win_path(record)}),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            result = during()
            driver = self.program("driver")
            final = self.wine(driver, "wait-enabled", "install", "1", "300000", timeout=400)
            state = json.loads(final.stdout) if final.returncode == 0 else {}
            self.wine(driver, "close")
            window.wait(timeout=60)
        finally:
            stop.set()
            watcher.join()
            if window.poll() is None:
                window.kill()
        status = state.get("status", {}).get("text")
        if status != "安装已完成。" or not record.exists() or not complete:
            raise RuntimeError(f"the windowed run did not complete: status {status!r}")
        return result, package["size"] / MB / (complete[0] - self.request_time(package["path"]))

    def padded_installer(self) -> dict:
        """The sample installer padded to the download size and published:
        a windowed run downloads it, checks it and starts it."""
        name = f"bench-{self.args.download_mib}m-setup.exe"
        if name not in self.published:
            padded = self.run_dir / "padded-installer.exe"
            with open(padded, "wb") as out:
                out.write(self.program("sample_installer").read_bytes())
                out.truncate(self.args.download_mib * MIB)  # a PE file with a long tail of zeros still runs
            self.published[name] = self.publish_file(name, padded)
            padded.unlink()
        return self.published[name]

    def probe_latency(self) -> dict:
        """Presses the install button and sends WM_NULL every 2 ms until the
        run ends (bench/latency_probe.cpp)."""
        run = self.wine(self.program("latency_probe"), "2", "300", "click", timeout=400)
        if run.returncode != 0:
            raise RuntimeError("latency_probe failed: " + run.stderr)
        return json.loads(run.stdout.strip().splitlines()[-1])

    def latency(self, results: dict):
        package = self.padded_installer()
        self.use_package(package)
        data, mbs = self.windowed_download(package, self.probe_latency)
        data["window_mbs"] = mbs
        results["latency"] = data
        log(f"latency during download: {data['download']}; the transfer ran at {mbs:.1f} MB/s")

        def driver_check():
            driver = self.program("driver")
            self.wine(driver, "wait-window", "30000")
            self.wine(driver, "click", "install")
            hex_text = WINDOW_CLASS_STATUS_DOWNLOADING.encode().hex()
            self.wine(driver, "wait-status", "hex:" + hex_text, "60000")
            run = self.wine(driver, "null-latency", str(self.args.driver_samples))
            return json.loads(run.stdout) if run.returncode == 0 else None

        driver, mbs = self.windowed_download(package, driver_check)
        if driver is not None:
            driver["window_mbs"] = mbs
        results["driver_latency"] = driver
        log(f"driver null-latency: {driver}; the transfer ran at {mbs:.1f} MB/s")

    def window(self, results: dict):
        """What the window costs a download: the same package fetched by
        `--verify` (no window) and by a windowed run with the WM_NULL probe
        running, in rounds whose order turns, after one warm-up round. The
        ratio within each round is what a change of the machine's load
        disturbs least. A third run per round, the window with no probe
        (the driver presses the button), shows what the probe itself costs."""
        package = self.padded_installer()
        self.use_package(package)
        clients = ["window", "verify", "quiet"]
        samples = {name: [] for name in clients}
        cpu = {"verify": [], "window": [], "quiet": [], "seconds": {name: [] for name in clients}}
        probes = []
        driver = self.program("driver")

        def press():
            self.wine(driver, "wait-window", "30000")
            self.wine(driver, "click", "install")

        for round_ in range(self.args.window_runs + 1):
            turn = round_ % len(clients)
            for name in clients[turn:] + clients[:turn]:
                if name == "verify":
                    run = self.installer_verify(package, cpu=True)
                    mbs = package["size"] / MB / (run["complete"] - run["request"])
                    used = run["cpu"]
                elif name == "quiet":
                    _, mbs = self.windowed_download(package, press)
                    used = self.cpu_last
                else:
                    probe, mbs = self.windowed_download(package, self.probe_latency)
                    used = self.cpu_last
                    log(f"window round {round_}: WM_NULL {probe['download']}, "
                        f"{probe['status_changes']} status changes")
                log(f"window round {round_} {name}: {mbs:.1f} MB/s")
                if round_ == 0:
                    continue  # warm-up
                samples[name].append(mbs)
                if used:
                    cpu[name].append(used["threads"])
                    cpu["seconds"][name].append(used["seconds"])
                if name == "window":
                    probes.append(probe)
        p99 = [p["download"]["p99"] for p in probes if p["download"]["p99"] is not None]
        results["window"] = {
            "window_mbs": median(samples["window"]), "verify_mbs": median(samples["verify"]),
            "window_samples": samples["window"], "verify_samples": samples["verify"],
            "paired_ratio": median([a / b for a, b in zip(samples["window"], samples["verify"])]),
            "quiet_mbs": median(samples["quiet"]), "quiet_samples": samples["quiet"],
            "quiet_ratio": median([a / b for a, b in zip(samples["quiet"], samples["verify"])]),
            "p99_median": median(p99), "p99_max": max(p99) if p99 else None, "p99_samples": p99,
            "status_changes": [p["status_changes"] for p in probes],
            "download_ms": [p["download_ms"] for p in probes],
            "samples_per_run": [p["download"]["count"] for p in probes],
            "cpu": cpu,
        }
        log(f"window: {results['window']}")


def _read_back(file) -> str:
    file.seek(0)
    text = file.read().decode("utf-8", "replace")
    file.close()
    return text


def run_captured(argv, env, timeout) -> subprocess.CompletedProcess:
    """subprocess.run with the output going through files, not pipes: the
    first program in a prefix starts Wine's own background processes, which
    inherit its descriptors and would hold a pipe open long after it exits."""
    out_file, err_file = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    try:
        proc = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=out_file, stderr=err_file,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        out_file.close()
        err_file.close()
        raise
    return subprocess.CompletedProcess(argv, proc.returncode, _read_back(out_file), _read_back(err_file))


def _process_label(entry: Path, stat: str, screen: bool, server_worker: bool) -> str:
    """A short name for a process: a Windows program's file name, or the
    Linux program's."""
    if screen:
        return "Xvfb"
    comm = stat.split("(", 1)[1].rsplit(")", 1)[0]
    if comm == "nginx":
        return "nginx worker" if server_worker else "nginx master"
    command = (entry / "cmdline").read_bytes().split(b"\0")[0].decode("utf-8", "replace")
    return re.split(r"[\\/]", command)[-1] or comm


def _read_log(docroot: Path) -> list:
    path = docroot / "_requests.log"
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]


def _vm_hwm_kib(pid: int) -> int:
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return 0


def log(*parts):
    print("bench:", *parts, file=sys.stderr, flush=True)


def run_in_vm(args) -> dict:
    """The i686 test build (staging endpoints), measured by this script run
    again inside the QEMU VM of tools/vm/run.sh, whose Wine runs 32-bit
    programs the ordinary WOW64 way. The prefixes and the run folder live in
    the VM's /tmp; the results come back through the shared project folder.
    Returns those results with "executor" naming the build and the VM."""
    runner = SOURCE_DIR / "tools/vm/run.sh"
    if not runner.exists():
        raise RuntimeError(f"{runner} is missing: the i686 figures need the VM")
    vm_build = Path(args.vm_build_dir).resolve()
    if not (vm_build / "harness_config.json").exists():
        raise RuntimeError(f"{vm_build} is not a test build (cmake --preset test-i686)")
    handoff = Path(args.build_dir).resolve() / "bench-results-vm.json"
    handoff.unlink(missing_ok=True)
    inner = ["/usr/bin/python3", str(SOURCE_DIR / "tools/bench.py"), "--no-build",
             "--build-dir", str(vm_build), "--run-dir", "/tmp/vantrel-bench", "--wine-dir", "/tmp/vantrel-wine",
             "--only", args.vm_only, "--download-mib", str(args.vm_download_mib),
             "--window-runs", str(args.vm_window_runs), "--output", "/tmp/vantrel-bench.md",
             "--results-out", str(handoff)]
    script = ("set -e; " + " ".join(map(shlex.quote, [str(SOURCE_DIR / "tools/make-prefix.sh"), str(vm_build),
                                                      "/tmp/vantrel-wine"]))
              + " >/dev/null; exec " + " ".join(map(shlex.quote, inner)))
    log("running in the VM:", script)
    with tempfile.TemporaryFile() as err:
        proc = subprocess.run([str(runner), "--", "bash", "-c", script], cwd=SOURCE_DIR,
                              stdin=subprocess.DEVNULL, stderr=err)
        err.seek(0)
        vm_log = err.read().decode("utf-8", "replace")
    sys.stderr.write(vm_log)
    if proc.returncode != 0 or not handoff.exists():
        raise RuntimeError(f"the benchmark in the VM failed (exit {proc.returncode})")
    results = json.loads(handoff.read_text())
    machine = results.setdefault("machine", {})
    accelerator = re.findall(r"accelerator: (\w+)", vm_log)
    shown = vm_build.relative_to(SOURCE_DIR) if vm_build.is_relative_to(SOURCE_DIR) else vm_build
    results["executor"] = (f"i686 `{shown}` (staging), {machine.get('Wine', 'Wine')} with wine32 in the "
                           f"QEMU VM ({accelerator[-1] if accelerator else 'accelerator not reported'})")
    return results


def in_private_network():
    """True inside the namespace main() starts, False where one could be
    started (root, unshare and ip present), None where it can't."""
    if os.environ.get("VANTREL_BENCH_PRIVATE_NET") == "1":
        return True
    if os.geteuid() == 0 and shutil.which("unshare") and shutil.which("ip"):
        return False
    return None


def build(args, plan):
    bench_dir = Path(args.build_dir).resolve()
    if plan["preset"] and bench_dir == plan["build_dir"]:
        # The staging build too: the report checks that the exe measured is its bytes.
        for preset in (plan["preset"], "staging"):
            subprocess.run(["cmake", "--preset", preset], cwd=SOURCE_DIR, check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", "--preset", preset], cwd=SOURCE_DIR, check=True)
    elif not (bench_dir / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(SOURCE_DIR), "-B", str(bench_dir), "-G", "Ninja",
                        f"-DCMAKE_TOOLCHAIN_FILE={SOURCE_DIR}/cmake/mingw-x86_64.cmake",
                        "-DCMAKE_BUILD_TYPE=MinSizeRel", "-DVANTREL_BUILD_TESTS=ON",
                        "-DVANTREL_PRODUCT_HOST=localhost", "-DVANTREL_RUNTIME_HOST=localhost",
                        "-DVANTREL_PRODUCT_PORT=24443", "-DVANTREL_RUNTIME_PORT=24444"], check=True)
    if not plan["preset"] or bench_dir != plan["build_dir"]:
        subprocess.run(["cmake", "--build", str(bench_dir)], check=True)
    if Path(args.release_dir).resolve() == (SOURCE_DIR / "build/release"):
        subprocess.run(["cmake", "--preset", "release"], cwd=SOURCE_DIR, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "release"], cwd=SOURCE_DIR, check=True)
    subprocess.run([str(SOURCE_DIR / "tools/make-prefix.sh"), str(bench_dir)], check=True)
    if "vm" in args.only.split(",") and Path(args.vm_build_dir).resolve() == SOURCE_DIR / "build/test-i686":
        subprocess.run(["cmake", "--preset", "test-i686"], cwd=SOURCE_DIR, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "test-i686"], cwd=SOURCE_DIR, check=True)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", help="the build whose programs run on the host (default: the one "
                                            "the executor probe picks, build/test-i686 or build/bench)")
    parser.add_argument("--release-dir", default=str(SOURCE_DIR / "build/release"))
    parser.add_argument("--no-build", action="store_true", help="use the builds as they are")
    parser.add_argument("--runs", type=int, default=7, help="measured runs per download client (default 7)")
    parser.add_argument("--startup-runs", type=int, default=20,
                        help="measured rounds per block of the start-up benchmark (default 20)")
    parser.add_argument("--startup-blocks", type=int, default=2)
    parser.add_argument("--memory-runs", type=int, default=2)
    parser.add_argument("--download-mib", type=int, default=256)
    parser.add_argument("--big-mib", type=int, default=1024, help="the large package of the memory test")
    parser.add_argument("--driver-samples", type=int, default=2000)
    parser.add_argument("--window-runs", type=int, default=5,
                        help="measured rounds of windowed download against --verify (default 5)")
    parser.add_argument("--only", help="comma-separated subset of download,memory,size,startup,latency,"
                                       "window,vm (default all but vm, and vm too where the probe answers vm); "
                                       "\"vm\" measures the i686 build in the VM (tools/vm/run.sh); \"vm\" alone "
                                       "adds the VM's figures to the last run's report")
    parser.add_argument("--server", choices=("nginx", "python"),
                        help="what serves the downloads (default nginx where it is installed, else the "
                             "Python test server)")
    parser.add_argument("--vm-build-dir", default=str(SOURCE_DIR / "build/test-i686"),
                        help="the i686 test build the VM runs (default build/test-i686)")
    parser.add_argument("--vm-only", default="window",
                        help="the benchmarks run in the VM (default window: its rounds include the "
                             "WM_NULL probe)")
    parser.add_argument("--vm-download-mib", type=int, default=32,
                        help="package size in the VM, where the CPU is emulated (default 32)")
    parser.add_argument("--vm-window-runs", type=int, default=3)
    parser.add_argument("--run-dir", help="where the prefix copy, the server's files and the screen "
                                          "live (default BUILD_DIR/bench-run)")
    parser.add_argument("--wine-dir", help="a folder with base-win10 (default: the machine's cached base)")
    parser.add_argument("--results-out", help="write the results as JSON here instead of the report")
    parser.add_argument("--output", default=str(SOURCE_DIR / "docs/benchmarks.md"))
    parser.add_argument("--render-only", action="store_true",
                        help="measure nothing: write the report again from the last run's bench-results.json")
    args = parser.parse_args(argv)
    try:
        executor = choose_executor()
    except ValueError as error:
        parser.error(str(error))
    plan = width_plan(executor["executor"])
    if args.build_dir is None:
        args.build_dir = str(plan["build_dir"])
    if args.only is None:
        args.only = "download,memory,size,startup,latency,window" + (",vm" if plan["vm"] else "")
    if args.server is None:
        args.server = "nginx" if Path(NGINX).exists() else "python"
    saved = Path(args.build_dir) / "bench-results.json"
    if not args.render_only and in_private_network() is False:
        # Everything again in a network namespace of its own: the staging
        # ports are those a test run on this machine uses at the same time.
        return subprocess.run(["unshare", "--net", "--", "/bin/sh", "-c", 'ip link set lo up && exec "$0" "$@"',
                               sys.executable, str(Path(__file__).resolve()),
                               *(sys.argv[1:] if argv is None else argv)],
                              env=dict(os.environ, VANTREL_BENCH_PRIVATE_NET="1")).returncode
    if args.render_only:
        results = json.loads(saved.read_text())
        write_report(results, results.pop("machine"), Path(args.output))
        return 0
    if args.runs < 1:
        parser.error("--runs must be at least 1")

    if not args.no_build:
        build(args, plan)
    build_dir = Path(args.build_dir).resolve()
    wanted = set(args.only.split(","))
    runs_programs = bool(wanted - {"size", "vm"})
    if runs_programs:
        i686 = pe_sections(build_dir / "VantrelSetup.exe")["machine"] == "i386"
    else:
        i686 = plan["shipped"]  # nothing runs on the host: the label is the plan's
    if i686 and executor["executor"] != "host":
        log(f"{build_dir} is an i686 build, and this machine's i686 executor is the VM: use the VM ('--only vm')")
        return 1
    args.loader = WINE_32 if i686 else WINE_64
    shown = build_dir.relative_to(SOURCE_DIR) if build_dir.is_relative_to(SOURCE_DIR) else build_dir
    label = (f"i686 `{shown}`, host Wine (32-bit loader, WOW64)" if i686
             else f"x86_64 `{shown}`, host Wine (64-bit loader)")
    label = {HOST_I686.split(",")[0]: HOST_I686, HOST_X86_64.split(",")[0]: HOST_X86_64}.get(
        label.split(",")[0], label)
    machine = machine_info(args.loader, "i686-w64-mingw32-g++-posix" if i686 else "x86_64-w64-mingw32-g++-posix")
    machine["Executor probe (tools/i686-executor.sh)"] = (
        f"{executor['executor']}" + (f", forced by VANTREL_I686_EXECUTOR (detected {executor['detected']})"
                                     if executor["forced"] else "")
        + (f"; {executor['reason']}" if executor["reason"] else ""))
    if runs_programs:
        machine["VantrelSetup.exe measured"] = exe_identity(build_dir)
    machine["Network"] = ("a private network namespace (loopback only)" if in_private_network()
                          else "the machine's loopback")
    results = {"date": time.strftime("%Y-%m-%d %H:%M %Z"), "runs": args.runs, "download_mib": args.download_mib,
               "executor": label, "width_note": width_note(executor, dict(plan, shipped=i686)),
               "server_note": ("The downloads are served by nginx (TLS 1.2 only, files from a directory, one "
                               "worker) on 127.0.0.1." if args.server == "nginx" else
                               "The downloads are served by the Python test server (tools/https_server): "
                               "nginx is not installed here.")}
    bench = Bench(args)
    try:
        if "size" in wanted:
            bench.size(results)
        if runs_programs:
            bench.prepare()
        if "download" in wanted:
            bench.download_and_verify(results)
        if "memory" in wanted:
            bench.memory(results)
        if "startup" in wanted:
            bench.startup(results)
        if "latency" in wanted:
            bench.latency(results)
        if "window" in wanted:
            bench.window(results)
    except (RuntimeError, OSError, subprocess.SubprocessError, ValueError) as error:
        log("failed:", error)
        return 1
    finally:
        bench.close()
    if args.results_out:
        Path(args.results_out).write_text(json.dumps(dict(results, machine=machine), indent=1, default=str))
        return 0
    if wanted == {"vm"} and saved.exists():
        # Only the VM this time: its figures join the last run's.
        last = json.loads(saved.read_text())
        machine = last.pop("machine", machine)
        last.pop("vm_note", None)
        results = dict(last, vm_date=results["date"])
    if "vm" in wanted:
        try:
            results["vm"] = run_in_vm(args)
        except (RuntimeError, OSError, subprocess.SubprocessError, ValueError) as error:
            log("failed:", error)
            results["vm_note"] = f"The i686 figures could not be measured: {error}."

    saved.parent.mkdir(parents=True, exist_ok=True)
    saved.write_text(json.dumps(dict(results, machine=machine), indent=1, default=str))
    write_report(results, machine, Path(args.output))
    return 0


def write_report(results: dict, machine: dict, output: Path):
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(render_document(results, machine), encoding="utf-8")
    print(render_markdown(results, machine))
    log("written", output)


if __name__ == "__main__":
    sys.exit(main())
