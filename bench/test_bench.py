"""Checks of the benchmark command's own logic (tools/bench.py), no Wine needed:
the digests it announces for the server's generated packages, the PE section
table it reports, the percentile rule, the manifest it publishes, and the
verdicts it writes against the targets."""
import hashlib
import os
import importlib.util
import struct
import sys
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tools/https_server"))
import vantrel_server  # noqa: E402

_spec = importlib.util.spec_from_file_location("bench_tool", SOURCE / "tools/bench.py")
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)

MIB = 1 << 20


@pytest.mark.parametrize("length,seed", [
    (1, 0), (255, 0), (256, 1), (257, 2), (MIB - 1, 3), (MIB, 1), (MIB + 1, 1), (3 * MIB + 4099, 200),
])
def test_generated_digest_matches_what_the_server_sends(length, seed):
    # A wrong digest makes every --verify run of the benchmark fail, or worse,
    # succeed on different bytes than the ones timed.
    served = vantrel_server.generated_bytes(length, seed)
    assert len(served) == length
    assert bench.generated_sha256(length, seed) == hashlib.sha256(served).hexdigest()


def _tiny_pe(machine: int, sections: list) -> bytes:
    """A PE image with just the headers the section report reads."""
    pe = 0x40
    optional = bytearray(224)
    struct.pack_into("<I", optional, 60, 0x400)  # SizeOfHeaders
    data = bytearray(b"MZ" + b"\0" * (pe - 2))
    struct.pack_into("<I", data, 0x3C, pe)
    data += b"PE\0\0" + struct.pack("<HHIIIHH", machine, len(sections), 0, 0, 0, len(optional), 0x102)
    data += optional
    for name, raw, virtual in sections:
        data += name.encode().ljust(8, b"\0") + struct.pack("<IIII", virtual, 0x1000, raw, 0) + b"\0" * 16
    return bytes(data.ljust(0x400, b"\0")) + b"\0" * sum(raw for _, raw, _ in sections)


def test_pe_sections_reads_names_sizes_and_machine(tmp_path):
    cases = [
        (0x14C, "i386", [(".text", 0x600, 0x5F0), (".rsrc", 0x200, 0x1D8), (".bss", 0, 0x40)]),
        (0x8664, "x86-64", [(".text", 0x200, 0x10)]),
    ]
    for machine, name, sections in cases:
        path = tmp_path / f"{name}.exe"
        path.write_bytes(_tiny_pe(machine, sections))
        report = bench.pe_sections(path)
        assert report["machine"] == name
        assert report["sections"] == sections
        assert report["headers"] == 0x400
        assert report["headers"] + sum(raw for _, raw, _ in sections) == report["file_size"]


def test_pe_sections_refuses_what_is_not_a_pe_file(tmp_path):
    for content in (b"", b"\x7fELF" + b"\0" * 100, b"MZ" + b"\0" * 0x3A + struct.pack("<I", 0x40) + b"XX\0\0"):
        path = tmp_path / "file.bin"
        path.write_bytes(content.ljust(0x80, b"\0"))
        with pytest.raises(ValueError):
            bench.pe_sections(path)


def test_pe_sections_of_the_built_programs_add_up():
    # Whatever programs exist: every byte of a linked exe is headers or a
    # section, so the breakdown in the report accounts for the whole file.
    found = [p for p in (SOURCE / "build/release/VantrelSetup.exe", SOURCE / "build/bench/VantrelSetup.exe")
             if p.exists()]
    if not found:
        pytest.skip("no built VantrelSetup.exe")
    for path in found:
        report = bench.pe_sections(path)
        assert report["headers"] + sum(raw for _, raw, _ in report["sections"]) == path.stat().st_size
        assert ".text" in [name for name, _, _ in report["sections"]]


@pytest.mark.parametrize("values,q,expected", [
    ([5.0], 0.99, 5.0),
    ([3.0, 1.0, 2.0], 0.0, 1.0),
    ([3.0, 1.0, 2.0], 0.5, 2.0),
    (list(range(1, 101)), 0.99, 100),   # nearest rank: the 100th of 100
    (list(range(1, 101)), 0.90, 91),
    (list(range(1, 1001)), 0.99, 991),
    ([], 0.5, None),
])
def test_percentile_uses_the_probes_nearest_rank_rule(values, q, expected):
    assert bench.percentile(values, q) == expected


def test_manifest_names_the_package_exactly():
    text = bench.manifest_text("windows", "bench-256m.exe", "ab" * 32, 268435456)
    assert text == f"[windows]\r\nfile=bench-256m.exe\r\nsha256={'ab' * 32}\r\nsize=268435456\r\n"


def _results(**overrides):
    results = {
        "download_mib": 256, "big_mib": 1024, "runs": 5,
        "download": {"installer_mbs": 90.0, "reader_mbs": 100.0, "curl_mbs": 400.0},
        "verify": {"hash_s": 1.2, "sha256sum_s": 0.8, "external_s": 1.3},
        "memory": {"small_kib": 30000, "big_kib": 30000 + 2047},
        "size": {"file_size": 320 * 1024, "machine": "i386", "headers": 1024, "sections": []},
        "startup": {"ms": [200.0, 300.0], "median_ms": 250.0, "reference_median_ms": 125.0},
        "latency": {"download": {"p50": 1.0, "p90": 5.0, "p99": 100.0, "max": 120.0, "count": 900}},
    }
    for key, value in overrides.items():
        results[key] = value
    return results


def _row(table: str, number: str) -> list:
    line = next(l for l in table.splitlines() if l.startswith(f"| {number}."))
    return [cell.strip() for cell in line.strip("|").split("|")]


@pytest.mark.parametrize("overrides,row,result", [
    ({}, "1", "met"),                                                            # exactly 0.9
    ({"download": {"installer_mbs": 89.9, "reader_mbs": 100.0}}, "1", "**missed**"),
    # The ratio within rounds decides when there is one, whatever the medians say.
    ({"download": {"installer_mbs": 80.0, "reader_mbs": 100.0, "paired_ratio": 0.95}}, "1", "met"),
    ({"download": {"installer_mbs": 99.0, "reader_mbs": 100.0, "paired_ratio": 0.85}}, "1", "**missed**"),
    ({}, "3", "met"),                                                            # 2047 KiB apart
    ({"memory": {"small_kib": 30000, "big_kib": 32048}}, "3", "**missed**"),     # 2048 KiB apart
    ({}, "4", "met"),                                                            # exactly 320 KiB
    ({"size": {"file_size": 320 * 1024 + 1}}, "4", "**missed**"),
    ({}, "6", "met"),                                                            # p99 exactly 100 ms
    ({"latency": {"download": {"p99": 100.5}}}, "6", "**missed**"),
    ({"download": {}}, "1", "n/a"),                                              # not measured
    ({"latency": {}}, "6", "n/a"),
    ({}, "7", "n/a"),
    # The window's verdict is its ratio per round and its worst round's WM_NULL p99.
    ({"window": {"p99_median": 3.0, "p99_max": 100.0, "paired_ratio": 0.95}}, "7", "met"),
    ({"window": {"p99_median": 3.0, "p99_max": 100.5, "paired_ratio": 0.99}}, "7", "**missed**"),
    ({"window": {"p99_median": 3.0, "p99_max": 5.0, "paired_ratio": 0.949}}, "7", "**missed**"),
    ({"window": {"p99_median": 3.0, "p99_max": 5.0}}, "7", "n/a"),
    # Start-up: at most 1.10 times the minimal window's median.
    ({}, "5", "**missed**"),                                                     # 2.00 ×
    ({"startup": {"median_ms": 110.0, "reference_median_ms": 100.0}}, "5", "met"),
    ({"startup": {"median_ms": 110.2, "reference_median_ms": 100.0}}, "5", "**missed**"),
    ({"startup": {}}, "5", "n/a"),
])
def test_verdicts_against_the_targets(overrides, row, result):
    table = bench.render_markdown(_results(**overrides), {})
    assert _row(table, row)[-1] == result


def test_ratios_in_the_table():
    table = bench.render_markdown(_results(), {})
    assert "0.900 of the medians" in _row(table, "1")[4]
    assert "0.225 × curl" in _row(table, "1")[4]
    assert _row(table, "2")[4] == "1.50 × sha256sum"
    assert _row(table, "5")[4] == "2.00 × minimal"
    window = {"window_mbs": 80.0, "verify_mbs": 100.0, "paired_ratio": 0.75, "p99_median": 2.0, "p99_max": 9.0}
    assert _row(bench.render_markdown(_results(window=window), {}), "7")[4].startswith(
        "0.750 × `--verify` per round (0.800 of the medians)")
    # The VM's table has only what ran there, under its own executor.
    both = bench.render_markdown(_results(vm={"executor": "i686 in the VM", "window": window}), {})
    assert (both.count("| 7. "), both.count("| 1. "), both.count("| i686 in the VM |")) == (2, 1, 1)


def test_an_empty_run_still_renders_a_document():
    document = bench.render_document({}, {"CPU": "x"})
    assert "- CPU: x" in document
    assert document.count("| n/a |") >= 1
    assert "**missed**" not in document


# --- running the clients ------------------------------------------------------

def _runner(tmp_path):
    runner = bench.Bench.__new__(bench.Bench)  # no server, prefix or screen needed
    runner.prefix, runner.display = tmp_path, None
    return runner


@pytest.mark.parametrize("written,exit_code,completes", [
    (1 << 20, 0, True),       # a fast client finishes the file and exits between two polls
    (1 << 20, 3, True),       # the exit code comes back as it is
    ((1 << 20) - 1, 0, False),  # one byte short never counts as complete
])
def test_watched_run_records_completion_exit_and_peak_memory(tmp_path, written, exit_code, completes):
    target = tmp_path / "out.bin"
    run = _runner(tmp_path).watched(
        ["/bin/sh", "-c", f"head -c {written} /dev/zero > {target}; exit {exit_code}"], 1 << 20,
        lambda: target if target.exists() else None, timeout=60)
    assert run["code"] == exit_code
    assert (run["complete"] is not None) == completes
    if completes:
        assert run["start"] <= run["complete"] <= run["exit"]
    assert run["maxrss_kib"] > 0


def test_captured_output_does_not_wait_for_background_children(tmp_path):
    # Wine's background processes inherit the first program's descriptors; a
    # pipe would stay open until they end, far beyond this timeout.
    result = bench.run_captured(["/bin/sh", "-c", "echo ready; sleep 20 & exit 5"], dict(os.environ), timeout=10)
    assert (result.returncode, result.stdout) == (5, "ready\n")


# --- what runs the rows, and what serves them -----------------------------------

@pytest.mark.parametrize("forced,expected", [("vm", "vm"), ("bogus", None)])
def test_executor_comes_from_the_tests_probe(forced, expected):
    env = dict(os.environ, VANTREL_I686_EXECUTOR=forced)
    if expected is None:
        with pytest.raises(ValueError, match="must be host or vm"):
            bench.choose_executor(env)
        return
    chosen = bench.choose_executor(env)
    assert (chosen["executor"], chosen["forced"]) == (expected, forced)
    assert chosen["detected"] in ("host", "vm")


@pytest.mark.parametrize("executor,build,loader,shipped", [
    ("host", "build/test-i686", "/usr/lib/wine/wine", True),
    ("vm", "build/bench", "/usr/lib/wine/wine64", False),
])
def test_the_width_follows_the_executor(executor, build, loader, shipped):
    plan = bench.width_plan(executor)
    assert (plan["build_dir"], plan["loader"], plan["shipped"], plan["vm"]) == (
        SOURCE / build, loader, shipped, not shipped)
    note = bench.width_note({"executor": executor, "detected": executor, "reason": "ENOEXEC", "forced": ""}, plan)
    # The x86_64 figures never pass for the shipped width without saying so.
    assert ("not the one that ships" in note) == (not shipped)
    assert ("runs i386 code" in note) == shipped
    assert plan["label"].startswith("i686" if shipped else "x86_64")


def test_nginx_serves_tls_1_2_only_on_loopback(tmp_path):
    conf = bench.nginx_config(tmp_path, tmp_path / "docroot", tmp_path / "certs", 8443)
    assert "listen 127.0.0.1:8443 ssl;" in conf
    assert [l.strip() for l in conf.splitlines() if "ssl_protocols" in l] == ["ssl_protocols TLSv1.2;"]
    assert f"root {tmp_path / 'docroot'};" in conf and "daemon off;" in conf
    assert "listen 80" not in conf and "443 " not in conf.replace("8443 ", "")


def test_nginx_log_gives_the_time_of_the_first_byte():
    text = ('{"end":1700000010.250,"request_time":2.125,"path":"/downloads/a.exe","status":200,"bytes":5}\n'
            '\n{"end":1700000011.000,"request_time":0.000,"path":"/downloads/release.ini","status":404,"bytes":0}\n')
    entries = bench.nginx_requests(text)
    assert [(e["path"], e["status"]) for e in entries] == [("/downloads/a.exe", 200), ("/downloads/release.ini", 404)]
    assert entries[0]["time"] == pytest.approx(1700000008.125)
    assert entries[1]["time"] == pytest.approx(1700000011.0)


def test_cpu_time_per_thread_between_two_snapshots():
    ticks = bench.CLOCK_TICKS
    before = {(10, 10): ("VantrelSetup.exe", "main", 5), (10, 12): ("VantrelSetup.exe", "thread 2", 0),
              (20, 20): ("wineserver", "", 100)}
    after = {(10, 10): ("VantrelSetup.exe", "main", 5 + ticks), (10, 12): ("VantrelSetup.exe", "thread 2", 3 * ticks),
             (10, 15): ("VantrelSetup.exe", "thread 3", ticks // 2), (20, 20): ("wineserver", "", 100 + 2 * ticks),
             (21, 21): ("wineserver", "", ticks)}
    delta = bench.cpu_delta(before, after)
    assert delta == {("VantrelSetup.exe", "main"): 1.0, ("VantrelSetup.exe", "thread 2"): 3.0,
                     ("VantrelSetup.exe", "thread 3"): (ticks // 2) / ticks, ("wineserver", ""): 3.0}
    named = bench.Bench.cpu_names(delta)
    assert named["VantrelSetup.exe / main"] == 1.0 and named["wineserver"] == 3.0
    rows = bench.cpu_table({"window": [named], "verify": [{"wineserver": 1.0}],
                            "seconds": {"window": [3.0], "verify": [2.5]}})
    # Busiest first; a thread a mode never had counts as idle there.
    assert rows[2:4] == ["| wineserver | 3.00 | 1.00 |", "| VantrelSetup.exe / thread 2 | 3.00 | 0.00 |"]
    assert rows[-1] == "| (wall time of the download, s) | 3.00 | 2.50 |"
