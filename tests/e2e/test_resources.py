"""The shipped VantrelSetup.exe (its header, manifest and version record),
and the build's checks: each must reject what Windows would not accept. The
build checks the icon and the certificate in res/ and the imports and size of
every program it links; the unit tests load the icon and the certificate from
the compiled resources."""
import os
import struct
import sys
import zlib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
import check_imports  # noqa: E402
import check_resources  # noqa: E402
import pe_image  # noqa: E402

RT_MANIFEST = 24


@pytest.fixture(scope="module")
def exe():
    # The shipped program is the i686 build; the test build next to it is
    # x86_64 only because this machine can't run 32-bit code.
    shipped = os.environ.get("VANTREL_SHIPPED_DIR")
    assert shipped, "VANTREL_SHIPPED_DIR must name the i686 build folder"
    path = Path(shipped) / "VantrelSetup.exe"
    assert path.is_file(), f"{path} is missing; build VantrelSetup first"
    return pe_image.open_image(path)


def test_is_a_32_bit_gui_program(exe):
    # Its imports (KnownDLLs only) and its size the build itself checks.
    header = exe.OPTIONAL_HEADER
    assert (exe.FILE_HEADER.Machine, header.Magic, header.Subsystem) == (0x14C, 0x10B, 2)


def test_manifest_runs_as_invoker_with_common_controls_6_and_dpi_awareness(exe):
    # Wine reports the DPI without it, so only this check sees the manifest.
    manifests = [data for (kind, name, _), data in pe_image.resources(exe).items()
                 if (kind, name) == (RT_MANIFEST, 1)]
    assert len(manifests) == 1 and check_resources.manifest_problems(manifests[0]) == []


def test_version_record(exe):
    [fixed] = exe.VS_FIXEDFILEINFO
    assert fixed.Signature == 0xFEEF04BD
    assert (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS) == (1, 0, 1, 0)
    blocks = {block.Key: block for block in exe.FileInfo[0]}
    [table] = blocks[b"StringFileInfo"].StringTable
    assert table.entries[b"ProductVersion"] == b"0.1.0"
    assert table.entries[b"FileVersion"] == b"0.1.0.0"
    # Explorer shows the strings only when the translation names their table.
    [translation] = blocks[b"VarFileInfo"].Var
    language, code_page = (int(part, 16) for part in translation.entry[b"Translation"].split())
    assert table.LangID.decode().lower() == f"{language:04x}{code_page:04x}"


# The checker guards the build, so it must reject what Windows would not accept.
GOOD_MANIFEST = (ROOT / "res" / "app.manifest").read_text(encoding="utf-8")


@pytest.mark.parametrize("old, new", [
    ('level="asInvoker"', 'level="requireAdministrator"'),
    ('uiAccess="false"', 'uiAccess="true"'),
    ('version="6.0.0.0"', 'version="5.82.0.0"'),
    (">true</dpiAware>", ">false</dpiAware>"),
    ("SMI/2005/WindowsSettings", "SMI/2016/WindowsSettings"),
    ("</assembly>", "</assembly"),
])
def test_checker_rejects_broken_manifest(old, new):
    assert old in GOOD_MANIFEST
    assert check_resources.manifest_problems(GOOD_MANIFEST.replace(old, new).encode()) != []


def png_stream(width, colour_type, pixel):
    """A square PNG of one colour."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    rows = (b"\0" + pixel * width) * width
    return (check_resources.PNG_SIGNATURE
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, width, 8, colour_type, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


GOOD_ICON = check_resources.ico_entries((ROOT / "res" / "vantrel.ico").read_bytes())
SMALL = next(entry for entry in GOOD_ICON if entry[0] == 16)
NO_ALPHA = bytearray(SMALL[3])
NO_ALPHA[40 + 3:40 + 16 * 16 * 4:4] = bytes(16 * 16)


def changed(size, image=None, bpp=32):
    return [e if e[0] != size else (size, size, bpp, e[3] if image is None else image) for e in GOOD_ICON]


# Whether a PNG frame decodes and is transparent where it should be, the unit
# test Icon.EveryFrameLoadsAndDrawsAtItsOwnSize sees through Windows' own
# decoder; these rows are what the header and directory say.
@pytest.mark.parametrize("entries, passes", [
    (GOOD_ICON, True),
    (changed(48, png_stream(48, 6, b"\x10\x80\x90\x80")), True),   # 48 px and up are PNG
    (GOOD_ICON[:-1], False),                                        # 256 frame missing
    (GOOD_ICON + [SMALL], False),                                   # a size twice
    (changed(32, bpp=24), False),                                   # 24-bit directory entry
    (changed(16, bytes(NO_ALPHA)), False),                          # alpha all zero
    (changed(48, png_stream(48, 2, b"\x10\x80\x90")), False),        # 24-bit RGB PNG
    (changed(48, png_stream(64, 6, b"\x10\x80\x90\x80")), False),   # 64 px image in the 48 px entry
], ids=["shipped", "one-colour-png", "no-256", "16-twice", "24-bit-entry", "no-alpha", "rgb-png", "64-in-48"])
def test_icon_checker(entries, passes):
    assert (check_resources.icon_problems(entries) == []) == passes


def test_icon_stores_48_px_and_up_as_png():
    assert [e[0] for e in GOOD_ICON if e[3].startswith(check_resources.PNG_SIGNATURE)] == [48, 64, 128, 0]


def test_layering_check_rejects_an_upward_include(tmp_path):
    import check_layers
    for folder in ("app", "workflow", "download", "prereq", "support"):
        (tmp_path / folder).mkdir()
    (tmp_path / "workflow" / "step.cpp").write_text('#include "download/downloader.h"\n')
    (tmp_path / "prereq" / "gate.cpp").write_text('#include "res/resource_ids.h"\n')
    assert check_layers.violations(tmp_path) == []
    for folder, include in [("download", "app/installer_app.h"), ("support", "download/sha256.h"),
                            ("prereq", "download/endpoints.h"), ("workflow", "tests/test_support.h")]:
        bad = tmp_path / folder / "bad.cpp"
        bad.write_text(f'#include <windows.h>\n#include "{include}"\n')
        assert [line.split(":")[0] for line in check_layers.violations(tmp_path)] == [f"{folder}/bad.cpp"]
        bad.unlink()


def test_import_check_rejects_a_slot_that_nothing_fills(tmp_path):
    """The shipped image passes; told (through its map) that a zero-filled
    variable the code calls through is an import slot, the check fails, as it
    did on the delay-import build whose empty slots jumped to address 0."""
    objdump = "i686-w64-mingw32-objdump"
    shipped = Path(os.environ["VANTREL_SHIPPED_DIR"]) / "VantrelSetup.exe"
    map_file = Path(str(shipped) + ".map")
    assert check_imports.check(shipped, map_file, objdump, True) == []
    image = pe_image.open_image(shipped)
    _, loader_slots = pe_image.imports(image)
    zero = sorted(a for a in check_imports.referenced_addresses(objdump, shipped)
                  if a not in loader_slots and pe_image.read_pointer(image, a) == 0)
    assert zero, "the code refers to no zero-filled data at all"
    fake = tmp_path / "fake.map"
    fake.write_text(map_file.read_text(errors="replace") + f"\n                0x{zero[0]:08x}                _imp__Fake@4\n")
    problems = check_imports.check(shipped, fake, objdump, True)
    assert len(problems) == 1 and "Fake@4" in problems[0] and "0x0" in problems[0]
