#!/usr/bin/python3
"""Benchmarks of the shipped i686 installer on this machine, each beside its
reference: download throughput against a bare WinHTTP reader, digest time
against sha256sum, peak memory for a small and a large package, the file's
size by section, start-up time against a minimal window, and the windowed
download against --verify with the CPU time of every process and thread.

    /usr/bin/python3 tools/bench.py [--no-build] [--runs 7] [--only download,memory,size,startup,window]
    /usr/bin/python3 tools/bench.py --self-check    # only the checks of the benchmark's own programs

The i686 test build (build/test-i686, staging endpoints on localhost) runs
under the host's Wine where the kernel runs i386 code, else the whole run
happens again where qemu's user-mode emulator runs Wine's 32-bit side
(tools/with-i686.sh), as the tests' probe (tools/i686-executor.sh) decides;
the report names the executor. Under qemu only ratios mean much. Before it measures, it checks its own
programs (--self-check) and refuses to measure when one of them is wrong.
Downloads come from Debian's nginx (TLS 1.2 only, files from a directory) on
the build's loopback port, or from the Python test server where nginx is
missing. Run as root, everything runs in a private network namespace. The
report goes to docs/benchmarks.md, whose text from "## Method" on is kept.
The targets are reported, never enforced: the exit code is 1 only when a
program failed or the self-check did.
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE_DIR / "tools"))
sys.path.insert(0, str(SOURCE_DIR / "tools/https_server"))
sys.path.insert(0, str(SOURCE_DIR / "tests/e2e"))
from check_resources import EXE_SIZE_LIMIT  # noqa: E402
import pe_image  # noqa: E402
import vantrel_server  # noqa: E402
import winectl  # noqa: E402

NGINX = "/usr/sbin/nginx"
MB, MIB = 1_000_000, 1 << 20  # throughput is in MB/s of 10^6 bytes
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
PARTS = ("download", "memory", "size", "startup", "window")
FAILURES = (RuntimeError, OSError, subprocess.SubprocessError, ValueError, AssertionError, KeyError)

# Targets of the benchmark, as stated for the project.
TARGET_TRANSFER_RATIO = 0.9        # installer / bare WinHTTP reader, at least
TARGET_MEMORY_SPREAD_KIB = 2048    # peak RSS, 1 GiB package minus 1 MiB package, below
TARGET_SIZE_BYTES = EXE_SIZE_LIMIT  # shipped exe, at most (the resource tests enforce it)
TARGET_LATENCY_P99_MS = 100.0      # WM_NULL answer during a download, at most
TARGET_STARTUP_RATIO = 1.10        # installer / minimal window, start to visible window, at most
TARGET_WINDOW_RATIO = 0.95         # windowed download / --verify, per round, at least

NGINX_CONF = """daemon off;
worker_processes 1;
user root;
pid {run}/nginx.pid;
error_log {run}/nginx-error.log warn;
events {{ worker_connections 64; }}
http {{
    default_type application/octet-stream;
    client_body_temp_path {run}/nginx-body;
    log_format bench escape=json '{{"end":$msec,"request_time":$request_time,"path":"$uri"}}';
    access_log {run}/nginx-access.log bench;
    sendfile on;
    server {{
        listen 127.0.0.1:{port} ssl;
        ssl_certificate {certs}/localhost.crt;
        ssl_certificate_key {certs}/localhost.key;
        ssl_protocols TLSv1.2;
        root {docroot};
    }}
}}
"""


def log(*parts):
    print("bench:", *parts, file=sys.stderr, flush=True)


def median(values):
    return statistics.median(values) if values else None


def ratio(a, b):
    return a / b if a and b else None


def per_round(a, b):
    return median([x / y for x, y in zip(a, b)])


def fmt(value, digits=1, unit=""):
    return "n/a" if value is None else f"{value:,.{digits}f}{unit}"


def table(head, rows) -> list:
    return ["| " + " | ".join(head) + " |", "|---" * len(head) + "|"] + [
        "| " + " | ".join(map(str, row)) + " |" for row in rows]


def body(length: int, block: bytes, head: bytes = b"") -> list:
    """head, then block repeated up to length bytes."""
    full, rest = divmod(length - len(head), len(block))
    return [head] + [block] * full + [block[:rest]]


def cpu_delta(before: dict, after: dict) -> dict:
    """CPU seconds per "process / thread" between two snapshots; a thread
    born between them counts from 0."""
    out = {}
    for key, (name, ticks) in after.items():
        start = before.get(key, (name, 0))[1]
        out[name] = out.get(name, 0.0) + (ticks - start) / CLOCK_TICKS
    return out


# The report ------------------------------------------------------------------
def summary(r: dict) -> list:
    """(benchmark, installer, reference, ratio, target, verdict) per row; the
    verdict is True (met), False (missed), None (not measured) or "—"."""
    mib = r.get("download_mib", 256)
    d, v, m, s, st, w = (r.get(part, {}) for part in ("download", "verify", "memory", "size", "startup", "window"))
    # The clients of a round run back to back: the ratio within rounds is what
    # a change of the shared machine's load disturbs least, so it decides.
    transfer = d.get("paired_ratio") or ratio(d.get("installer_mbs"), d.get("reader_mbs"))
    spread = m["big_kib"] - m["small_kib"] if m.get("big_kib") and m.get("small_kib") else None
    startup = st.get("paired_ratio") or ratio(st.get("median_ms"), st.get("reference_median_ms"))
    size = s.get("file_size")
    window = None if w.get("paired_ratio") is None or w.get("p99_max") is None else (
        w["paired_ratio"] >= TARGET_WINDOW_RATIO and w["p99_max"] <= TARGET_LATENCY_P99_MS)
    return [
        (f"1. Download, installer `--verify` ({mib} MiB)", fmt(d.get("installer_mbs"), 1, " MB/s"),
         f"WinHTTP reader {fmt(d.get('reader_mbs'), 1, ' MB/s')}; curl {fmt(d.get('curl_mbs'), 1, ' MB/s')}",
         f"{fmt(transfer, 3)} × reader (reader vs itself {fmt(d.get('noise_ratio'), 3)}); "
         f"{fmt(ratio(d.get('installer_mbs'), d.get('curl_mbs')), 3)} × curl",
         f"≥ {TARGET_TRANSFER_RATIO} × reader", None if transfer is None else transfer >= TARGET_TRANSFER_RATIO),
        (f"2. Verification, last byte → verdict ({mib} MiB)",
         f"{fmt(v.get('hash_s'), 3, ' s')} in-process; {fmt(v.get('external_s'), 3, ' s')} to exit",
         f"sha256sum {fmt(v.get('sha256sum_s'), 3, ' s')}",
         f"{fmt(ratio(v.get('hash_s'), v.get('sha256sum_s')), 2)} × sha256sum", "report", "—"),
        (f"3. Peak RSS, 1 MiB vs {r.get('big_mib', 1024)} MiB package",
         f"{fmt(m.get('small_kib'), 0, ' KiB')} / {fmt(m.get('big_kib'), 0, ' KiB')}", "—",
         f"{fmt(spread, 0, ' KiB')} apart", f"< {TARGET_MEMORY_SPREAD_KIB} KiB apart",
         None if spread is None else spread < TARGET_MEMORY_SPREAD_KIB),
        ("4. Size, shipped i686 exe (`build/release`)", fmt(size, 0, " bytes"), "—",
         fmt(size / 1024 if size else None, 1, " KiB"), f"≤ {TARGET_SIZE_BYTES / 1024:g} KiB",
         None if not size else size <= TARGET_SIZE_BYTES),
        ("5. Start-up to visible window (warm wineserver)", f"median {fmt(st.get('median_ms'), 1, ' ms')}",
         f"minimal window {fmt(st.get('reference_median_ms'), 1, ' ms')}", f"{fmt(startup, 2)} × minimal",
         f"≤ {TARGET_STARTUP_RATIO:.2f} × minimal", None if startup is None else startup <= TARGET_STARTUP_RATIO),
        (f"6. Windowed download ({mib} MiB), WM_NULL probe running",
         f"{fmt(w.get('window_mbs'), 1, ' MB/s')}; WM_NULL p99 worst round {fmt(w.get('p99_max'), 2, ' ms')}",
         f"`--verify` {fmt(w.get('verify_mbs'), 1, ' MB/s')}; window without the probe "
         f"{fmt(w.get('quiet_mbs'), 1, ' MB/s')}", f"{fmt(w.get('paired_ratio'), 3)} × `--verify`",
         f"≥ {TARGET_WINDOW_RATIO:.2f} × `--verify`; p99 ≤ {TARGET_LATENCY_P99_MS:.0f} ms", window),
    ]


def results_table(r: dict) -> list:
    verdicts = {True: "met", False: "**missed**", None: "n/a"}
    return table(("Benchmark", "Installer", "Reference", "Ratio", "Target", "Result"),
                 [row[:5] + (verdicts.get(row[5], row[5]),) for row in summary(r)])


def render(r: dict, machine: dict) -> str:
    out = ["# Benchmarks", "", f"Measured by `tools/bench.py` on {r.get('date')}: {r.get('executor')}. "
           f"{r.get('server_note', '')} The targets are reported, never enforced. The machine is shared: its "
           "load average is below, and the figures move with it; see \"Method\" for how each is taken.", "",
           "## Machine", ""] + [f"- {key}: {value}" for key, value in machine.items()]
    out += ["", "## Results", ""] + results_table(r)
    d, v, m, s = (r.get(part) for part in ("download", "verify", "memory", "size"))
    if d:
        out += ["", "### Download (MB/s)", ""] + table(("Client", "median", "samples"), [
            (label, fmt(d[f"{key}_mbs"]), ", ".join(fmt(x) for x in d[f"{key}_samples"])) for key, label in
            (("installer", "installer `--verify`"), ("reader", "bare WinHTTP reader"),
             ("again", "the same reader again"), ("curl", "curl (TLS 1.2)"))])
        out += ["", f"The reader's own clock: {fmt(d['reader_own_clock_mbs'])} MB/s (median)."]
    if v:
        out += ["", "### Verification (s, medians)", ""] + table(("Part", "seconds"), [
            ("read back, 64 KiB chunks", fmt(v["read_s"], 3)), ("CNG SHA-256 alone", fmt(v["cng_s"], 3)),
            ("whole routine", fmt(v["hash_s"], 3)), ("sha256sum", fmt(v["sha256sum_s"], 3)),
            ("installer, file complete → exit", fmt(v["external_s"], 3))])
    if m:
        out += ["", "### Memory (peak RSS, KiB)", ""] + table(("Package", "maximum", "runs"), [
            ("1 MiB", m["small_kib"], ", ".join(map(str, m["small_runs"]))),
            (f"{r.get('big_mib')} MiB", m["big_kib"], ", ".join(map(str, m["big_runs"])))])
    if s:
        out += ["", f"### Size by section ({s['file_size']:,} bytes)", ""] + table(
            ("Section", "bytes in file", "share"),
            [(name, f"{raw:,}", f"{100 * raw / s['file_size']:.1f} %") for name, raw in s["sections"] if raw])
    st = r.get("startup")
    if st:
        out += ["", "### Start-up (ms)", "", "Installer: " + ", ".join(fmt(x, 0) for x in st["ms"]), "",
                "Minimal window: " + ", ".join(fmt(x, 0) for x in st["reference_ms"])]
    w = r.get("window")
    if w:
        out += ["", "### Window against `--verify`", ""] + table(
            ("Round", "`--verify` MB/s", "window MB/s", "ratio", "WM_NULL p99 ms", "status changes",
             "no probe MB/s"),
            [(i, fmt(a), fmt(b), fmt(b / a, 3), fmt(p, 2), c, fmt(q)) for i, (a, b, p, c, q) in enumerate(
                zip(w["verify_samples"], w["window_samples"], w["p99_samples"], w["status_changes"],
                    w["quiet_samples"]), 1)])
        out += ["", "WM_NULL answers (ms) in the round with the worst p99, by what the status line said:", ""]
        out += table(("Phase", "samples", "timeouts", "p50", "p90", "p99", "max"), [
            (phase, p["count"], p["timeouts"], *(fmt(p[k], 2) for k in ("p50", "p90", "p99", "max")))
            for phase, p in ((k, w["worst_probe"][k]) for k in ("download", "verify", "other"))])
        modes = ("window", "quiet", "verify")
        names = sorted({n for mode in modes for one in w["cpu"][mode] for n in one},
                       key=lambda n: -sum(median([one.get(n, 0.0) for one in w["cpu"][mode]]) or 0 for mode in modes))
        out += ["", "CPU seconds while the package downloads, median over the rounds:", ""] + table(
            ("Process / thread", "window", "window, no probe", "`--verify`"),
            [(n, *(fmt(median([one.get(n, 0.0) for one in w["cpu"][mode]]), 2) for mode in modes)) for n in names]
            + [("(wall time of the download)", *(fmt(median(w["cpu_seconds"][mode]), 2) for mode in modes))])
    return "\n".join(out) + "\n"


def write_report(results: dict, machine: dict, output: Path):
    """The report, and what the document holds from "## Method" on."""
    old = output.read_text(encoding="utf-8") if output.exists() else ""
    kept = old[old.index("\n## Method") + 1:] if "\n## Method" in old else ""
    output.write_text(render(results, machine) + ("\n" + kept if kept else ""), encoding="utf-8")
    print("\n".join(results_table(results)))
    log("written", output)


def machine_info(build: Path, loader: str) -> dict:
    def command(*args):
        try:
            found = subprocess.run(args, capture_output=True, text=True, timeout=30)
            return (found.stdout or found.stderr).strip().splitlines()[0]
        except (OSError, subprocess.SubprocessError, IndexError):
            return "unknown"

    def field(path, key):
        found = re.search(rf"^{key}\s*[:=]\s*\"?(.*?)\"?$", Path(path).read_text(), re.M)
        return found.group(1) if found else "unknown"

    def digest(path):
        return hashlib.sha256(path.read_bytes()).hexdigest() if path.exists() else None

    measured, staging = digest(build / "VantrelSetup.exe"), digest(SOURCE_DIR / "build/staging/VantrelSetup.exe")
    return {
        "CPU": f"{field('/proc/cpuinfo', 'model name')}, {os.cpu_count()} logical cores",
        "Memory": f"{int(field('/proc/meminfo', 'MemTotal').split()[0]) / MIB:.1f} GiB",
        "Kernel": platform.release(), "OS": field("/etc/os-release", "PRETTY_NAME"),
        "Wine": f"{command(loader, '--version')} ({loader})",
        "Compiler": command("i686-w64-mingw32-g++-posix", "--version"),
        "nginx": command(NGINX, "-v") if Path(NGINX).exists() else "not installed",
        "curl": " ".join(command("curl", "--version").split()[:2]),
        "Load average at start": " ".join(Path("/proc/loadavg").read_text().split()[:3]),
        "Network": "a private network namespace" if os.environ.get("VANTREL_BENCH_PRIVATE_NET") else "loopback",
        "VantrelSetup.exe measured": f"SHA-256 {str(measured)[:16]}…, " + (
            "the same bytes as build/staging" if measured == staging else "build/staging differs or is not built"),
    }


# Running things --------------------------------------------------------------
class Bench:
    def __init__(self, args, harness):
        self.args, self.harness = args, harness
        self.build = Path(args.build_dir).resolve()
        self.port = harness.CONFIG["product_port"]
        self.run_dir = Path(args.run_dir).resolve() if args.run_dir else self.build / "bench-run"
        self.docroot = self.run_dir / "docroot"
        self.prefix = harness.Prefix(self.run_dir / "prefix")
        self.nginx = self.server = None

    def program(self, name: str) -> Path:
        found = self.build / "bench" / f"{name}.exe"
        return found if found.exists() else self.harness.Prefix.exe(name)

    def prepare(self):
        if self.prefix.path.exists():
            self.prefix.kill()
        shutil.rmtree(self.run_dir, ignore_errors=True)
        (self.docroot / "downloads").mkdir(parents=True)
        winectl.copy_prefix(winectl.base_prefix("win10"), self.prefix.path)
        if Path(NGINX).exists():
            self.start_nginx()
        else:
            self.server = winectl.start_server(self.docroot, self.port)
        # A persistent wineserver: every start below is a warm start.
        subprocess.run(["wineserver", "-p"], env=self.prefix.env(), check=True)
        self.prefix.wine("cmd", "/c", "exit", timeout=120)

    def start_nginx(self):
        conf = self.run_dir / "nginx.conf"
        (self.run_dir / "nginx-body").mkdir()
        conf.write_text(NGINX_CONF.format(run=self.run_dir, docroot=self.docroot, certs=winectl.TEST_CA,
                                          port=self.port))
        self.nginx = subprocess.Popen([NGINX, "-p", str(self.run_dir), "-c", str(conf)], stdin=subprocess.DEVNULL)
        (self.docroot / "ready.txt").write_text("ready\n")
        for _ in range(200):
            if subprocess.run(self.curl_argv("/ready.txt"), capture_output=True, text=True).stdout == "ready\n":
                return
            if self.nginx.poll() is not None:
                break
            time.sleep(0.1)
        raise RuntimeError("nginx did not start: " + (self.run_dir / "nginx-error.log").read_text())

    def curl_argv(self, path: str, *out) -> list:
        return ["curl", "-sS", "--fail", "--noproxy", "*", "--tlsv1.2", "--tls-max", "1.2", "--cacert",
                str(winectl.TEST_CA / "ca.pem"), *out, f"https://localhost:{self.port}{path}"]

    def close(self):
        if self.prefix.path.exists():
            self.prefix.kill()
        if self.server:
            self.server.stop()
        if self.nginx and self.nginx.poll() is None:
            self.nginx.terminate()
            self.nginx.wait(timeout=30)

    def request_time(self, path: str) -> float:
        """When the server read the latest request for path (after the TLS
        handshake), on the host's clock."""
        if self.nginx:
            # nginx logs a request's end and its duration since its first byte.
            lines = (self.run_dir / "nginx-access.log").read_text().splitlines()
            times = [e["end"] - e["request_time"] for e in map(json.loads, lines) if e["path"] == path]
        else:
            times = [e["time"] for e in vantrel_server.read_requests(self.docroot) if e["path"] == path]
        if not times:
            raise RuntimeError(f"the server saw no request for {path}")
        return times[-1]

    def publish(self, name: str, chunks: list) -> dict:
        """A package under /downloads/, and the digest of the very bytes written."""
        digest, size = hashlib.sha256(), 0
        with open(self.docroot / "downloads" / name, "wb") as out:
            for chunk in chunks:
                out.write(chunk)
                digest.update(chunk)
                size += len(chunk)
        return {"file": name, "path": "/downloads/" + name, "size": size, "sha256": digest.hexdigest()}

    def use_package(self, package: dict):
        fields = {"file": package["file"], "sha256": package["sha256"], "size": package["size"]}
        (self.docroot / "downloads/release.ini").write_text(self.harness.ini_text({"windows": fields}))

    def cpu_snapshot(self) -> dict:
        """{(pid, tid): ("process / thread", user + system ticks)} of every
        process of the prefix, the screen and the server this script started.
        The installer's threads are told apart: "main" is the one it started
        with, the others are numbered by their ids."""
        marker = b"WINEPREFIX=" + str(self.prefix.path).encode()
        parents = {}
        for entry in Path("/proc").glob("[0-9]*"):
            try:
                parents[int(entry.name)] = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                pass
        mine = os.getpid()
        snapshot = {}
        for pid, parent in parents.items():
            entry = Path(f"/proc/{pid}")
            try:
                if mine not in (parent, parents.get(parent)) and marker not in (entry / "environ").read_bytes().split(b"\0"):
                    continue
                command = (entry / "cmdline").read_bytes().split(b"\0")[0].decode("utf-8", "replace")
                label = command.split(" /")[0] if command.startswith("nginx") else re.split(r"[\\/]", command)[-1]
                for rank, task in enumerate(sorted(int(t.name) for t in (entry / "task").iterdir())):
                    fields = (entry / f"task/{task}/stat").read_text().rsplit(")", 1)[1].split()
                    thread = ("main" if task == pid else f"thread {rank + 1}") if label == "VantrelSetup.exe" else ""
                    snapshot[(pid, task)] = (f"{label} / {thread}" if thread else label,
                                             int(fields[11]) + int(fields[12]))
            except (OSError, ValueError, IndexError):
                continue  # ended meanwhile
        return snapshot

    def watched(self, argv, size, find_file, cpu=False, timeout=900) -> dict:
        """Runs a program, polling every 2 ms for its output file reaching
        `size` bytes and for its exit: the times (host clock), the exit code,
        the peak resident size, and with `cpu` the CPU time per process and
        thread from the file's first appearance to its full size."""
        out = tempfile.TemporaryFile()
        start = time.time()
        proc = subprocess.Popen(argv, env=self.prefix.env(), stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        complete = path = cpu_start = used = None
        hwm = 0
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            now = time.time()
            if complete is None:  # also once after the exit: a fast client ends between two polls
                path = path or find_file()
                if cpu and path is not None and cpu_start is None:
                    cpu_start = (self.cpu_snapshot(), now)
                try:
                    if path is not None and os.stat(path).st_size >= size:
                        complete = now
                        if cpu_start:
                            used = {"threads": cpu_delta(cpu_start[0], self.cpu_snapshot()),
                                    "seconds": time.time() - cpu_start[1]}
                except FileNotFoundError:
                    path = None
            if pid:
                break
            if now - start > timeout:
                proc.kill()
                raise RuntimeError(f"{argv} did not finish in {timeout} s")
            try:
                hwm = max(hwm, int(re.search(r"VmHWM:\s*(\d+)", Path(f"/proc/{proc.pid}/status").read_text())[1]))
            except (OSError, TypeError):
                pass
            time.sleep(0.002)
        out.seek(0)
        return {"start": start, "complete": complete, "exit": now, "code": os.waitstatus_to_exitcode(status),
                "peak_kib": max(usage.ru_maxrss, hwm), "output": out.read().decode("utf-8", "replace"),
                "cpu": used}

    def fetch(self, client: str, package: dict, target: Path | None = None, cpu=False) -> dict:
        """One download by "installer" (--verify), "reader" or "curl", with
        its throughput from the server's time of the request to the file's
        full size."""
        if client == "installer":
            temp = self.prefix.temp_dir()
            for stale in temp.glob("VantrelSetup-*"):
                shutil.rmtree(stale, ignore_errors=True)
            exe = self.program("VantrelSetup")
            argv = [winectl.loader(exe), str(exe), "--verify"]
            find = lambda: next(temp.glob("VantrelSetup-*/package.exe"), None)  # noqa: E731
        else:
            target.unlink(missing_ok=True)
            exe = self.program("winhttp_reader")
            argv = (self.curl_argv(package["path"], "-o", str(target)) if client == "curl" else
                    [winectl.loader(exe), str(exe), "localhost", str(self.port), package["path"],
                     winectl.win_path(target)])
            find = lambda: target if target.exists() else None  # noqa: E731
        run = self.watched(argv, package["size"], find, cpu=cpu)
        if run["code"] != 0 or run["complete"] is None:
            raise RuntimeError(f"{client} failed (exit {run['code']}): {run['output'][-500:]}")
        run["request"] = self.request_time(package["path"])
        if not run["start"] - 0.01 <= run["request"] <= run["complete"]:
            raise RuntimeError(f"the server's time of the request lies outside the {client}'s run")
        run["mbs"] = package["size"] / MB / (run["complete"] - run["request"])
        return run

    # The benchmarks ----------------------------------------------------------
    def download(self, results: dict):
        size = self.args.download_mib * MIB
        package = self.publish("bench-download.exe", body(size, vantrel_server.generated_bytes(MIB, 1)))
        self.use_package(package)
        temp = self.prefix.temp_dir()
        files = {"reader": temp / "bench-reader.bin", "again": temp / "bench-again.bin", "curl": temp / "bench-curl.bin"}
        # "again" is the reader once more: the ratio of the two is what the
        # machine's noise alone does to a ratio.
        samples = {"installer": [], "reader": [], "again": [], "curl": []}
        external, own_clock = [], []
        clients = list(samples)
        for round_ in range(self.args.runs + 1):  # round 0 warms up
            for name in clients[round_ % 4:] + clients[:round_ % 4]:  # the order turns every round
                run = self.fetch("reader" if name == "again" else name, package, files.get(name))
                log(f"download round {round_} {name}: {run['mbs']:.1f} MB/s")
                if round_:
                    samples[name].append(run["mbs"])
                if round_ and name == "installer":
                    external.append(run["exit"] - run["complete"])
                if round_ and name == "reader":
                    own = json.loads(run["output"].strip().splitlines()[-1])
                    own_clock.append(size / MB / (own["seconds"] - own["first_byte_s"]))
                if name in files and (name != "reader" or round_ < self.args.runs):
                    files[name].unlink(missing_ok=True)  # no run writes back another's pages
        results["download"] = {**{f"{k}_mbs": median(v) for k, v in samples.items()},
                               **{f"{k}_samples": v for k, v in samples.items()},
                               "reader_own_clock_mbs": median(own_clock),
                               "paired_ratio": per_round(samples["installer"], samples["reader"]),
                               "noise_ratio": per_round(samples["again"], samples["reader"])}
        # The digest, on the very bytes the reader stored.
        timer = self.prefix.run(self.program("hash_timer"), winectl.win_path(files["reader"]), self.args.runs)
        measured = json.loads(timer.stdout.strip().splitlines()[-1]) if timer.returncode == 0 else {}
        if (measured.get("digest"), measured.get("bytes")) != (package["sha256"], size):
            raise RuntimeError("hash_timer failed or read other bytes: " + timer.stdout + timer.stderr)
        sha256sum = []
        for _ in range(self.args.runs):
            begin = time.perf_counter()
            found = subprocess.run(["sha256sum", str(files["reader"])], capture_output=True, text=True, check=True)
            sha256sum.append(time.perf_counter() - begin)
            if not found.stdout.startswith(package["sha256"]):
                raise RuntimeError("sha256sum disagrees with the published digest")
        results["verify"] = {**{k: median(measured[k]) for k in ("hash_s", "read_s", "cng_s")},
                             "sha256sum_s": median(sha256sum), "external_s": median(external)}
        files["reader"].unlink()

    def memory(self, results: dict):
        packages = {"small": self.publish("bench-1m.exe", body(MIB, vantrel_server.generated_bytes(MIB, 2))),
                    "big": self.publish("bench-big.exe",
                                        body(self.args.big_mib * MIB, vantrel_server.generated_bytes(MIB, 3)))}
        runs = {"small": [], "big": []}
        for _ in range(self.args.memory_runs):
            for key, package in packages.items():
                self.use_package(package)
                runs[key].append(self.fetch("installer", package)["peak_kib"])
                log(f"memory {key}: {runs[key][-1]} KiB")
        results["memory"] = {"small_kib": max(runs["small"]), "big_kib": max(runs["big"]),
                             "small_runs": runs["small"], "big_runs": runs["big"]}
        results["big_mib"] = self.args.big_mib

    def startup(self, results: dict):
        """Start-up to a visible window against the minimal window, both
        started in every round (bench/startup_probe.cpp); per block, the first
        round warms up."""
        ms, reference = [], []
        for _ in range(self.args.startup_blocks):
            run = self.prefix.run(self.program("startup_probe"), winectl.win_path(self.program("VantrelSetup")),
                                  self.args.startup_runs + 1, winectl.win_path(self.program("minimal_window")),
                                  timeout=900)
            data = json.loads(run.stdout.strip().splitlines()[-1]) if run.returncode == 0 else {}
            if not data or any(data["exit_codes"] + data["reference_exit_codes"]):
                raise RuntimeError(f"startup_probe failed, or a window did not exit cleanly: {run.stderr}")
            ms += data["ms"][1:]
            reference += data["reference_ms"][1:]
        results["startup"] = {"ms": ms, "median_ms": median(ms), "reference_ms": reference,
                              "reference_median_ms": median(reference), "paired_ratio": per_round(ms, reference)}
        log(f"start-up: {results['startup']['paired_ratio']:.3f} × the minimal window per round")

    def windowed_download(self, package: dict, during) -> tuple:
        """A windowed run of the installer while during() runs (it presses the
        button): during()'s answer, the transfer's MB/s and the CPU used."""
        record = self.run_dir / "sample-installer.txt"
        record.unlink(missing_ok=True)
        temp, stop, done = self.prefix.temp_dir(), threading.Event(), {}

        def watch():  # the package reaching its size in the workspace ends the transfer
            while not stop.is_set():
                for found in temp.glob("VantrelSetup-*/package.exe"):
                    done.setdefault("cpu", (self.cpu_snapshot(), time.time()))
                    try:
                        full = found.stat().st_size >= package["size"]
                    except FileNotFoundError:
                        continue
                    if full:
                        done["complete"] = time.time()
                        done["used"] = {"threads": cpu_delta(done["cpu"][0], self.cpu_snapshot()),
                                        "seconds": time.time() - done["cpu"][1]}
                        return
                time.sleep(0.005)

        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        exe = self.program("VantrelSetup")
        window = subprocess.Popen([winectl.loader(exe), str(exe)], stdin=subprocess.DEVNULL,
                                  env=self.prefix.env({"VANTREL_SAMPLE_RECORD": winectl.win_path(record)}),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            answer = during()
            status = self.prefix.drive("wait-enabled", "install", "1", "300000", timeout=400)["status"]["text"]
            self.prefix.drive("close")
            window.wait(timeout=60)
        finally:
            stop.set()
            watcher.join()
            if window.poll() is None:
                window.kill()
        if status != "安装已完成。" or not record.exists() or "complete" not in done:
            raise RuntimeError(f"the windowed run did not complete: status {status!r}")
        return answer, package["size"] / MB / (done["complete"] - self.request_time(package["path"])), done["used"]

    def window(self, results: dict):
        """The same package fetched by --verify, by a windowed run with the
        WM_NULL probe running and by one without it, in rounds whose order
        turns, after a warm-up round."""
        sample = self.program("sample_installer").read_bytes()  # with a tail of zeros it still runs
        package = self.publish("bench-setup.exe", body(self.args.download_mib * MIB, bytes(MIB), sample))
        self.use_package(package)
        clients = ["window", "verify", "quiet"]
        samples = {name: [] for name in clients}
        cpu, seconds, probes = ({name: [] for name in clients} for _ in range(3))

        def probe():
            run = self.prefix.run(self.program("latency_probe"), "2", "300", "click", timeout=400)
            if run.returncode != 0:
                raise RuntimeError("latency_probe failed: " + run.stderr)
            return json.loads(run.stdout.strip().splitlines()[-1])

        def press():
            self.prefix.drive("wait-window", "30000")
            self.prefix.drive("click", "install")

        for round_ in range(self.args.window_runs + 1):
            for name in clients[round_ % 3:] + clients[:round_ % 3]:
                if name == "verify":
                    run = self.fetch("installer", package, cpu=True)
                    answer, mbs, used = None, run["mbs"], run["cpu"]
                else:
                    answer, mbs, used = self.windowed_download(package, probe if name == "window" else press)
                log(f"window round {round_} {name}: {mbs:.1f} MB/s" + (f", {answer['download']}" if answer else ""))
                if round_:
                    samples[name].append(mbs)
                    cpu[name].append(used["threads"])
                    seconds[name].append(used["seconds"])
                    probes[name].append(answer)
        p99 = [p["download"]["p99"] for p in probes["window"]]
        results["window"] = {
            "window_mbs": median(samples["window"]), "verify_mbs": median(samples["verify"]),
            "quiet_mbs": median(samples["quiet"]), "paired_ratio": per_round(samples["window"], samples["verify"]),
            "window_samples": samples["window"], "verify_samples": samples["verify"],
            "quiet_samples": samples["quiet"], "p99_samples": p99,
            "p99_max": None if None in p99 else max(p99),
            "worst_probe": max(probes["window"], key=lambda p: p["download"]["p99"] or 0),
            "status_changes": [p["status_changes"] for p in probes["window"]], "cpu": cpu, "cpu_seconds": seconds}


# The self-check --------------------------------------------------------------
# Verdicts against the targets: (results, row, verdict).
VERDICT_ROWS = [
    ({"download": {"installer_mbs": 90.0, "reader_mbs": 100.0}}, 1, True),  # exactly 0.9
    ({"download": {"installer_mbs": 89.9, "reader_mbs": 100.0}}, 1, False),
    # The ratio within rounds decides when there is one, whatever the medians say.
    ({"download": {"installer_mbs": 80.0, "reader_mbs": 100.0, "paired_ratio": 0.95}}, 1, True),
    ({"download": {"installer_mbs": 99.0, "reader_mbs": 100.0, "paired_ratio": 0.85}}, 1, False),
    ({"memory": {"small_kib": 30000, "big_kib": 32047}}, 3, True),
    ({"memory": {"small_kib": 30000, "big_kib": 32048}}, 3, False),
    ({"size": {"file_size": TARGET_SIZE_BYTES}}, 4, True),
    ({"size": {"file_size": TARGET_SIZE_BYTES + 1}}, 4, False),
    ({"startup": {"median_ms": 110.0, "reference_median_ms": 100.0}}, 5, True),
    ({"startup": {"median_ms": 110.2, "reference_median_ms": 100.0}}, 5, False),
    ({"startup": {"median_ms": 200.0, "reference_median_ms": 100.0, "paired_ratio": 1.05}}, 5, True),
    ({"window": {"p99_max": 100.0, "paired_ratio": 0.95}}, 6, True),
    ({"window": {"p99_max": 100.5, "paired_ratio": 0.99}}, 6, False),
    ({"window": {"p99_max": 5.0, "paired_ratio": 0.949}}, 6, False),
    ({"window": {"p99_max": None, "paired_ratio": 0.99}}, 6, None),
    ({}, 1, None), ({}, 3, None), ({}, 4, None), ({}, 5, None), ({}, 6, None),
]


def self_check(bench: Bench) -> list:
    """What is wrong with the benchmark's rules and programs, [] when nothing:
    a benchmark is only worth its figures if its references do what they
    claim. Nothing here depends on time."""
    failures = []

    def check(name, ok, detail=""):
        log("self-check", "ok  " if ok else "FAIL", name, "" if ok else detail)
        if not ok:
            failures.append(name)

    for results, row, expected in VERDICT_ROWS:
        got = summary(results)[row - 1][5]
        check(f"row {row}'s verdict on {results}", got == expected, f"gave {got}")
    target = bench.run_dir / "watched.bin"
    for written, code, completes in ((MIB, 0, True), (MIB, 3, True), (MIB - 1, 0, False)):
        target.unlink(missing_ok=True)
        run = bench.watched(["/bin/sh", "-c", f"head -c {written} /dev/zero > {target}; exit {code}"], MIB,
                            lambda: target if target.exists() else None, timeout=60)
        check(f"a run writing {written} bytes and exiting {code} counts as complete: {completes}",
              (run["code"], run["complete"] is not None, run["peak_kib"] > 0) == (code, completes, True), str(run))

    prefix, run = bench.prefix, bench.prefix.run
    docroot = bench.run_dir / "check"
    docroot.mkdir()
    server = winectl.start_server(docroot)
    reader, stored = bench.program("winhttp_reader"), docroot / "stored.bin"

    def read(path, rules):
        vantrel_server.write_rules(docroot, rules)
        vantrel_server.clear_requests(docroot)
        stored.unlink(missing_ok=True)
        result = run(reader, "localhost", server.port, path, winectl.win_path(stored), timeout=120)
        lines = result.stdout.strip().splitlines()
        return result.returncode, json.loads(lines[-1]) if lines else {}, vantrel_server.read_requests(docroot)

    try:
        for length, seed in ((1, 0), (65537, 2), (3 * MIB + 5, 3)):
            code, report, requests = read("/bytes", {"/bytes": {"body_len": length, "seed": seed}})
            check(f"the reader stores exactly a body of {length} bytes",
                  (code, report.get("status"), report.get("bytes")) == (0, 200, length)
                  and stored.read_bytes() == vantrel_server.generated_bytes(length, seed), str(report))
            check("the reader speaks TLS 1.2 only", [e["tls_version"] for e in requests] == ["TLSv1.2"],
                  str(requests))
        for status in (404, 302, 301):
            code, report, requests = read("/status", {"/status": {"status": status}})
            # The server's redirects point at /redirected, which nobody may ask for.
            check(f"the reader fails on a {status} and follows nothing",
                  (code, report.get("status"), [e["path"] for e in requests]) == (1, status, ["/status"]),
                  f"exit {code}, {report}, {requests}")
    finally:
        server.stop()

    content = bytes(range(256)) * 4099
    hashed = docroot / "hashed.bin"
    hashed.write_bytes(content)
    result = run(bench.program("hash_timer"), winectl.win_path(hashed), 2)
    report = json.loads(result.stdout.strip().splitlines()[-1]) if result.returncode == 0 else {}
    check("the hash timer gives the true digest", (report.get("digest"), report.get("bytes"), len(
        report.get("hash_s", []))) == (hashlib.sha256(content).hexdigest(), len(content), 2), result.stdout)
    missing = run(bench.program("hash_timer"), winectl.win_path(docroot / "absent.bin"), 1)
    check("the hash timer fails on a missing file", missing.returncode == 1, missing.stdout)

    window = winectl.win_path(bench.program("minimal_window"))
    result = run(bench.program("startup_probe"), window, 2, window, timeout=120)
    report = json.loads(result.stdout.strip().splitlines()[-1]) if result.returncode == 0 else {}
    check("the start-up probe times real windows and closes them",
          len(report.get("ms", [])) == len(report.get("reference_ms", [])) == 2
          and min(report["ms"] + report["reference_ms"]) > 0
          and report["exit_codes"] == report["reference_exit_codes"] == [0, 0], result.stdout + result.stderr)
    for args in ((winectl.win_path(reader), 1), (window, 2, winectl.win_path(reader))):
        result = run(bench.program("startup_probe"), *args, timeout=120)
        check(f"the start-up probe gives up on a windowless program ({len(args) - 2} reference)",
              result.returncode == 1 and "no visible window" in result.stderr, result.stderr)

    shown = prefix.popen(bench.program("minimal_window"))
    try:
        result = run(bench.program("latency_probe"), 1, 0.5, timeout=60)
        report = json.loads(result.stdout.strip().splitlines()[-1]) if result.returncode == 0 else {}
        check("the latency probe counts the answers of a live window",
              report.get("other", {}).get("count", 0) > 0 and report["other"]["timeouts"] == 0
              and report["download"]["count"] == 0, result.stdout + result.stderr)
    finally:
        shown.kill()
        shown.wait(timeout=30)
    return failures


# The command line ------------------------------------------------------------
def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(SOURCE_DIR / "build/test-i686"))
    parser.add_argument("--release-dir", default=str(SOURCE_DIR / "build/release"))
    parser.add_argument("--no-build", action="store_true", help="use the builds as they are")
    parser.add_argument("--runs", type=int, default=7, help="measured rounds of the download benchmark")
    parser.add_argument("--startup-runs", type=int, default=20, help="measured rounds per start-up block")
    parser.add_argument("--startup-blocks", type=int, default=2)
    parser.add_argument("--memory-runs", type=int, default=2)
    parser.add_argument("--download-mib", type=int, default=256)
    parser.add_argument("--big-mib", type=int, default=1024, help="the large package of the memory benchmark")
    parser.add_argument("--window-runs", type=int, default=5)
    parser.add_argument("--only", default=",".join(PARTS), help="a subset of " + ",".join(PARTS))
    parser.add_argument("--self-check", action="store_true", help="check the benchmark's programs, measure nothing")
    parser.add_argument("--run-dir", help="the prefix copy and the server's files (default BUILD_DIR/bench-run)")
    parser.add_argument("--output", default=str(SOURCE_DIR / "docs/benchmarks.md"))
    args = parser.parse_args(argv)
    argv = sys.argv[1:] if argv is None else argv
    wanted = set(args.only.split(","))
    if wanted - set(PARTS) or args.runs < 1:
        parser.error(f"--only takes {','.join(PARTS)}; --runs at least 1")
    probe = subprocess.run(["bash", "-c", '. "$0" && choose_i686_executor && echo "$i686_executor" && i686_executor_line',
                            SOURCE_DIR / "tools/i686-executor.sh"], capture_output=True, text=True)
    if probe.returncode != 0:
        parser.error(probe.stderr.strip())
    if not args.no_build:
        for folder, preset in ((args.build_dir, "test-i686"), (args.release_dir, "release")):
            if not (Path(folder) / "CMakeCache.txt").exists():
                subprocess.run(["cmake", "--preset", preset], cwd=SOURCE_DIR, check=True)
            subprocess.run(["cmake", "--build", folder], check=True)
    executor, executor_line = probe.stdout.strip().split("\n", 1)
    if executor == "qemu" and not os.environ.get("VANTREL_I686_INSIDE"):
        # This kernel runs no i386 code by itself (or qemu was asked for): the
        # whole run again where qemu-i386 runs Wine's 32-bit side. Absolute
        # figures of the i686 programs mean little there; the ratios of two
        # programs measured side by side on the same executor still hold.
        log("the i386 side runs under qemu's user-mode emulator here (tools/i686-executor.sh)")
        return subprocess.run([str(SOURCE_DIR / "tools/with-i686.sh"), sys.executable,
                               str(Path(__file__).resolve()), *argv, "--no-build"], cwd=SOURCE_DIR).returncode
    if os.geteuid() == 0 and not os.environ.get("VANTREL_BENCH_PRIVATE_NET") and shutil.which("ip"):
        # Again in a network namespace of its own: the staging ports are those
        # a test run on this machine may use at the same time.
        return subprocess.run(["unshare", "--net", "--", "/bin/sh", "-c", 'ip link set lo up && exec "$0" "$@"',
                               sys.executable, str(Path(__file__).resolve()), *argv, "--no-build"],
                              env=dict(os.environ, VANTREL_BENCH_PRIVATE_NET="1")).returncode

    build = Path(args.build_dir).resolve()
    os.environ["VANTREL_BUILD_DIR"] = str(build)
    import harness
    exe = build / "VantrelSetup.exe"
    shown = build.relative_to(SOURCE_DIR) if build.is_relative_to(SOURCE_DIR) else build
    results = {"date": time.strftime("%Y-%m-%d %H:%M %Z"), "download_mib": args.download_mib,
               "executor": f"{pe_image.width(exe)} `{shown}` (staging endpoints on localhost) under "
                           f"{winectl.loader(exe)}, WOW64 in a private Windows 10 prefix; i386 code run by "
                           f"{executor_line.splitlines()[-1].removeprefix('executor: ')}",
               "server_note": "The downloads are served by " + (
                   "nginx (TLS 1.2 only, one worker) on 127.0.0.1." if Path(NGINX).exists() else
                   "the Python test server (tools/https_server): nginx is not installed here.")}
    shipped = Path(args.release_dir) / "VantrelSetup.exe"
    if "size" in wanted and not args.self_check:
        headers = pe_image.open_image(shipped, headers_only=True).OPTIONAL_HEADER.SizeOfHeaders
        results["size"] = {"file_size": shipped.stat().st_size, "sections": [("headers", headers)] + [
            (f"`{name}`", raw) for name, raw, _ in pe_image.section_table(shipped)]}
    bench = Bench(args, harness)
    try:
        with winectl.x_screen() as display:
            os.environ["DISPLAY"] = display  # Wine's desktop keeps the screen its first program had
            bench.prepare()
            failures = self_check(bench)
            if failures:
                log(f"the self-check failed ({len(failures)}): nothing is measured")
                return 1
            if args.self_check:
                return 0
            for part in PARTS:
                if part in wanted and part != "size":
                    getattr(bench, part)(results)
    except FAILURES as error:
        log("failed:", repr(error))
        return 1
    finally:
        bench.close()
    (build / "bench-results.json").write_text(json.dumps(results, indent=1, default=str))
    write_report(results, machine_info(build, winectl.loader(exe)), Path(args.output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
