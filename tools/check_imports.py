#!/usr/bin/python3
"""Checks the import slots of a linked Windows program, run by the build on
every program it links.

A call into a DLL goes through a pointer-sized slot. The loader fills the slots
listed in the image's import directory before the program starts; a delay-load
slot instead holds, in the file, the address of a small thunk in the image
that resolves the function on first use. A slot that is in neither form holds
whatever the file holds, usually 0, and a call through it jumps to address 0 on
every Windows. GNU ld has produced exactly that for i686 delay-import
libraries, while the same sources linked for x86_64 were fine.

    check_imports.py EXE MAP [--known-dlls-only]

MAP is the linker's map file (-Wl,-Map): it names the import slots
(__imp_X on x86_64, _imp__X@N on i686), which a stripped image no longer does.
Every slot that the code refers to must lie in the import directory, or hold an
address inside the image's code. With --known-dlls-only, every DLL in the
import directory must also be one of Windows 7's KnownDLLs, which Windows
always maps from the system folder: anything else would be loaded, before the
program runs, from the program's own folder if a file of that name is there.
Exit code 0 when the image passes, 1 with one line per problem when not.
"""
from __future__ import annotations

import re
import struct
import subprocess
import sys
from pathlib import Path

# HKLM\System\CurrentControlSet\Control\Session Manager\KnownDLLs of Windows 7 SP1.
KNOWN_DLLS = {
    "advapi32", "clbcatq", "comdlg32", "difxapi", "gdi32", "iertutil", "imagehlp", "imm32",
    "kernel32", "lpk", "msctf", "msvcrt", "normaliz", "nsi", "ole32", "oleaut32", "psapi",
    "rpcrt4", "sechost", "setupapi", "shell32", "shlwapi", "urlmon", "user32", "usp10",
    "wininet", "wldap32", "ws2_32",
}

IMAGE_SCN_MEM_EXECUTE = 0x20000000


class Image:
    """The parts of a PE file the check needs."""

    def __init__(self, data: bytes):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        self.wide = self.magic == 0x20B
        self.pointer = 8 if self.wide else 4
        if self.wide:
            self.base = struct.unpack_from("<Q", data, optional + 24)[0]
            directories = optional + 112
        else:
            self.base = struct.unpack_from("<I", data, optional + 28)[0]
            directories = optional + 96
        self.size = struct.unpack_from("<I", data, optional + 56)[0]
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode(), rva, max(vsize, raw_size), raw, raw_size, flags))

    def section_of(self, rva: int):
        for section in self.sections:
            if section[1] <= rva < section[1] + section[2]:
                return section
        return None

    def read(self, rva: int, size: int) -> bytes | None:
        """Bytes at an RVA as the file holds them; zeros past a section's file data."""
        section = self.section_of(rva)
        if section is None:
            return None
        _, start, _, raw, raw_size, _ = section
        offset = rva - start
        chunk = self.data[raw + offset:raw + min(offset + size, raw_size)] if offset < raw_size else b""
        return chunk + b"\0" * (size - len(chunk))

    def read_pointer(self, rva: int) -> int | None:
        raw = self.read(rva, self.pointer)
        return None if raw is None else int.from_bytes(raw, "little")

    def c_string(self, rva: int) -> str:
        raw = self.read(rva, 256) or b""
        return raw.split(b"\0", 1)[0].decode("ascii", "replace")

    def imports(self) -> tuple[list[str], set[int]]:
        """The DLL names of the import directory, and the VAs of all its slots."""
        rva, size = self.directories[1]
        names, slots = [], set()
        if rva == 0:
            return names, slots
        for offset in range(0, size, 20):
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.read(rva + offset, 20))
            if name == 0 and first == 0:
                break
            names.append(self.c_string(name))
            walk = lookup or first
            index = 0
            while True:
                entry = self.read_pointer(walk + index * self.pointer)
                if not entry:
                    break
                slots.add(self.base + first + index * self.pointer)
                index += 1
        return names, slots

    def is_code(self, va: int) -> bool:
        rva = va - self.base
        section = self.section_of(rva) if 0 <= rva < self.size else None
        return section is not None and bool(section[5] & IMAGE_SCN_MEM_EXECUTE)


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
    image = Image(exe.read_bytes())
    names, loader_slots = image.imports()
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
        value = image.read_pointer(address - image.base)
        if value is not None and image.is_code(value):
            continue
        shown = "outside the image" if value is None else f"0x{value:x}"
        problems.append(f"the code uses {slots[address]} through the slot at 0x{address:x}, which is "
                        f"not in the import directory and holds {shown}: a jump to nowhere")
    return problems


def main(argv: list[str]) -> int:
    args = [a for a in argv if not a.startswith("--")]
    if len(args) != 2:
        print("usage: check_imports.py EXE MAP [--known-dlls-only] [--objdump=PROGRAM]", file=sys.stderr)
        return 2
    exe, map_file = Path(args[0]), Path(args[1])
    objdump = next((a.split("=", 1)[1] for a in argv if a.startswith("--objdump=")), "objdump")
    problems = check(exe, map_file, objdump, "--known-dlls-only" in argv)
    for problem in problems:
        print(f"{exe.name}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
