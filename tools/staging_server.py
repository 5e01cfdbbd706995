#!/usr/bin/env python3
"""The bundled local staging server: what the staging build downloads.

    tools/staging_server.py BUILD_DIR [--ready-file FILE]

Lays out BUILD_DIR/staging-root with
  /downloads/release.ini            "win7" and "windows" sections
  /downloads/VantrelProduct-win7.exe and /downloads/VantrelProduct.exe
                                    the sample product installer (a test
                                    fixture that records its command line)
  <runtime path>                    the signed stand-in for KB2999226
and serves it over HTTPS on the ports the build was configured with, with the
local test CA (trusted only inside the test Wine prefixes), until SIGTERM or
Ctrl-C.
"""
import argparse
import hashlib
import json
import shutil
import sys
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE_DIR / "tests/e2e"))
import winectl  # noqa: E402
import vantrel_server  # noqa: E402


def lay_out(build: Path, drip: bool = False) -> Path:
    config = json.loads((build / "harness_config.json").read_text())
    root = build / "staging-root"
    shutil.rmtree(root, ignore_errors=True)
    (root / "downloads").mkdir(parents=True)
    sample = (build / "tests/sample_installer.exe").read_bytes()
    sections = []
    for section, name in (("win7", "VantrelProduct-win7.exe"), ("windows", "VantrelProduct.exe")):
        (root / "downloads" / name).write_bytes(sample)
        sections.append(f"[{section}]\r\nfile={name}\r\nsha256={hashlib.sha256(sample).hexdigest()}\r\n"
                        f"size={len(sample)}\r\n")
    (root / "downloads/release.ini").write_text("".join(sections), newline="")
    if drip:
        # Slow enough that the progress bar can be watched.
        slow = {"drip": {"chunk": 4096, "delay_ms": 40}}
        vantrel_server.write_rules(root, {"/downloads/VantrelProduct-win7.exe": slow,
                                          "/downloads/VantrelProduct.exe": slow})
    runtime = build / "fixtures/runtime.msu"
    if runtime.exists():
        target = root / config["runtime_path"].lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(runtime, target)
    return root


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir", type=Path)
    parser.add_argument("--ready-file")
    parser.add_argument("--drip", action="store_true", help="send the product installers slowly")
    args = parser.parse_args()
    build = args.build_dir.resolve()
    winectl.main(["serve", str(lay_out(build, args.drip)), str(build)]
                 + (["--ready-file", args.ready_file] if args.ready_file else []))


if __name__ == "__main__":
    main()
