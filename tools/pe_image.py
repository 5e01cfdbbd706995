"""The one PE reader of the build's checks, the tests and the benchmark:
Debian's python3-pefile, with the few questions they ask of an image."""
from __future__ import annotations

import pefile

WIDTHS = {0x14C: "i686", 0x8664: "x86_64"}
IMAGE_SCN_MEM_EXECUTE = 0x20000000


def open_image(path, headers_only: bool = False) -> pefile.PE:
    return pefile.PE(str(path), fast_load=headers_only)


def width(path) -> str:
    """"i686" or "x86_64" from the header's machine field."""
    machine = open_image(path, headers_only=True).FILE_HEADER.Machine
    return WIDTHS.get(machine, hex(machine))


def read_pointer(image: pefile.PE, va: int) -> int | None:
    """The pointer-sized value the file holds at a VA, zeros past a section's
    file data as the loader maps it; None outside every section."""
    size = 8 if image.OPTIONAL_HEADER.Magic == 0x20B else 4
    rva = va - image.OPTIONAL_HEADER.ImageBase
    section = image.get_section_by_rva(rva)
    if section is None:
        return None
    raw = section.get_data(rva, size)
    return int.from_bytes(raw.ljust(size, b"\0"), "little")


def is_code(image: pefile.PE, va: int) -> bool:
    section = image.get_section_by_rva(va - image.OPTIONAL_HEADER.ImageBase)
    return section is not None and bool(section.Characteristics & IMAGE_SCN_MEM_EXECUTE)


def imports(image: pefile.PE) -> tuple[list[str], set[int]]:
    """The DLL names of the import directory, and the VAs of all its slots."""
    entries = getattr(image, "DIRECTORY_ENTRY_IMPORT", [])
    return ([entry.dll.decode() for entry in entries],
            {slot.address for entry in entries for slot in entry.imports})


def resources(image: pefile.PE) -> dict:
    """{(type, name, language): bytes} of every resource; named ones by their name."""
    found = {}

    def key(entry):
        return entry.id if entry.id is not None else str(entry.name)

    directory = getattr(image, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in directory.entries if directory else []:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found[(key(kind), key(name), key(language))] = image.get_data(data.OffsetToData, data.Size)
    return found


def section_table(path) -> list[tuple[str, int, int]]:
    """(name, size in the file, size in memory) of each section, in order."""
    return [(s.Name.rstrip(b"\0").decode(), s.SizeOfRawData, s.Misc_VirtualSize)
            for s in open_image(path, headers_only=True).sections]
