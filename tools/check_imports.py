#!/usr/bin/python3
"""Checks the import slots of a linked Windows program, run by the build on
every program it links:

    check_imports.py EXE MAP [--known-dlls-only] [--objdump=PROGRAM]

A call into a DLL goes through a pointer-sized slot. The loader fills the slots
of the image's import directory; a delay-load slot instead holds, in the file,
the address of a thunk in the image that resolves the function on first use.
A slot in neither form holds what the file holds, usually 0: a call through it
jumps to address 0. GNU ld has produced exactly that for i686 delay-import
libraries, while the same sources linked for x86_64 were fine. So every slot
the code refers to (named by the linker's map file, -Wl,-Map, as __imp_X or
_imp__X@N: a stripped image no longer names them) must lie in the import
directory or hold an address in the image's code.

With --known-dlls-only, every DLL in the import directory must also be one of
Windows 7's KnownDLLs, which Windows always maps from the system folder:
anything else would be loaded, before the program runs, from the program's own
folder if a file of that name is there. Exit 0 when the image passes, 1 with
one line per problem when not, 2 on bad usage.
"""
from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pe_image

# HKLM\System\CurrentControlSet\Control\Session Manager\KnownDLLs of Windows 7 SP1.
KNOWN_DLLS = {
    "advapi32", "clbcatq", "comdlg32", "difxapi", "gdi32", "iertutil", "imagehlp", "imm32",
    "kernel32", "lpk", "msctf", "msvcrt", "normaliz", "nsi", "ole32", "oleaut32", "psapi",
    "rpcrt4", "sechost", "setupapi", "shell32", "shlwapi", "urlmon", "user32", "usp10",
    "wininet", "wldap32", "ws2_32",
}


def import_slots_from_map(map_text: str) -> dict[int, str]:
    """Address -> name of every import slot symbol the linker placed."""
    slots = {}
    for match in re.finditer(r"^\s+0x([0-9a-f]+)\s+_?(_imp_\S+)\s*$", map_text, re.M):
        address = int(match.group(1), 16)
        if address:
            slots[address] = match.group(2).lstrip("_").removeprefix("imp_").lstrip("_")
    return slots


# Absolute memory operands (i686: "call *0x440668", "mov 0x440668,%esi") and
# the targets objdump resolves for RIP-relative ones ("# 0x140045123" or
# "# 140045123 <...>").
_OPERAND = re.compile(r"(?<![$\w])\*?0x([0-9a-f]+)(?![\w(])|#\s*(?:0x)?([0-9a-f]+)")


def referenced_addresses(objdump: str, exe: Path) -> set[int]:
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", str(exe)], check=True,
                             capture_output=True, text=True).stdout
    found = set()
    for line in listing.splitlines():
        parts = line.split("\t", 1)
        if len(parts) != 2 or not parts[0].rstrip().endswith(":"):
            continue
        for match in _OPERAND.finditer(parts[1]):
            found.add(int(match.group(1) or match.group(2), 16))
    return found


def check(exe: Path, map_file: Path, objdump: str, known_dlls_only: bool) -> list[str]:
    image = pe_image.open_image(exe)
    names, loader_slots = pe_image.imports(image)
    problems = []
    if known_dlls_only:
        for name in names:
            base = name.lower().removesuffix(".dll")
            if base not in KNOWN_DLLS:
                problems.append(f"imports {name} directly: a copy beside the exe would be loaded "
                                f"before the program can restrict the DLL search")
    slots = import_slots_from_map(map_file.read_text(errors="replace"))
    for address in sorted(referenced_addresses(objdump, exe) & slots.keys()):
        if address in loader_slots:
            continue
        value = pe_image.read_pointer(image, address)
        if value is not None and pe_image.is_code(image, value):
            continue
        shown = "outside the image" if value is None else f"0x{value:x}"
        problems.append(f"the code uses {slots[address]} through the slot at 0x{address:x}, which is "
                        f"not in the import directory and holds {shown}: a jump to nowhere")
    return problems


def main(argv: list[str]) -> int:
    args = [a for a in argv if not a.startswith("--")]
    if len(args) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    exe, map_file = Path(args[0]), Path(args[1])
    objdump = next((a.split("=", 1)[1] for a in argv if a.startswith("--objdump=")), "objdump")
    problems = check(exe, map_file, objdump, "--known-dlls-only" in argv)
    for problem in problems:
        print(f"{exe.name}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
