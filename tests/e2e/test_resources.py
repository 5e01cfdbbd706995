"""The built VantrelSetup.exe: PE header, imported DLLs and the resources
compiled into it (icon group, pinned certificate, manifest, version record)."""
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

RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_MANIFEST = 3, 10, 14, 24


def one(resources, kind, name):
    matches = {key: value for key, value in resources.items() if key[:2] == (kind, name)}
    assert len(matches) == 1, f"resource type {kind} id {name}: {sorted(matches)}"
    return next(iter(matches.values()))


@pytest.fixture(scope="module")
def exe():
    # The shipped program is the i686 build; the test build next to it is
    # x86_64 only because this machine can't run 32-bit code.
    shipped = os.environ.get("VANTREL_SHIPPED_DIR")
    assert shipped, "VANTREL_SHIPPED_DIR must name the i686 build folder"
    path = Path(shipped) / "VantrelSetup.exe"
    assert path.is_file(), f"{path} is missing; build VantrelSetup first"
    return pe_image.open_image(path)


@pytest.fixture(scope="module")
def resources(exe):
    return pe_image.resources(exe)


def test_is_a_32_bit_gui_program(exe):
    # Its imports (KnownDLLs only) and its size the build itself checks.
    header = exe.OPTIONAL_HEADER
    assert (exe.FILE_HEADER.Machine, header.Magic, header.Subsystem) == (0x14C, 0x10B, 2)


def test_icon_group_101_has_nine_32_bit_frames(resources):
    group = one(resources, RT_GROUP_ICON, 101)
    reserved, kind, count = struct.unpack_from("<HHH", group)
    assert (reserved, kind, len(group)) == (0, 1, 6 + 14 * count)
    entries = []
    for i in range(count):
        width, height, _, _, _, bpp, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        image = one(resources, RT_ICON, icon_id)
        assert len(image) == size
        entries.append((width, height, bpp, image))
    assert check_resources.icon_problems(entries) == []


def test_certificate_301_is_the_pinned_root(resources):
    der = resources.get((RT_RCDATA, 301, 1033))
    assert der == (ROOT / "res" / "digicert_global_root_g2.der").read_bytes()
    assert check_resources.certificate_problems(der) == []


def test_manifest_runs_as_invoker_with_common_controls_6_and_dpi_awareness(resources):
    assert check_resources.manifest_problems(one(resources, RT_MANIFEST, 1)) == []


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


def test_checker_rejects_wrong_icon_frames():
    # Whether a PNG frame decodes and is transparent where it should be, the
    # unit test Icon.EveryFrameLoadsAndDrawsAtItsOwnSize sees through
    # Windows' own decoder; these rows are what the header and directory say.
    good = check_resources.ico_entries((ROOT / "res" / "vantrel.ico").read_bytes())
    assert check_resources.icon_problems(good) == []
    small = next(entry for entry in good if entry[0] == 16)
    without_alpha = bytearray(small[3])
    for alpha in range(40 + 3, 40 + 16 * 16 * 4, 4):
        without_alpha[alpha] = 0
    assert next(entry for entry in good if entry[0] == 48)[3].startswith(check_resources.PNG_SIGNATURE), \
        "48 px and up are stored as PNG"

    def with_png(size, image):
        return [e if e[0] != size else (size, size, 32, image) for e in good]

    cases = [
        good[:-1],                                             # 256 frame missing
        good + [small],                                        # a size twice
        [(w, h, 24 if w == 32 else bpp, img) for w, h, bpp, img in good],  # 24-bit directory entry
        [e if e is not small else (16, 16, 32, bytes(without_alpha)) for e in good],  # alpha all zero
        with_png(48, png_stream(48, 2, b"\x10\x80\x90")),        # 24-bit RGB PNG
        with_png(48, png_stream(64, 6, b"\x10\x80\x90\x80")),   # 64 px image in the 48 px entry
    ]
    assert check_resources.icon_problems(with_png(48, png_stream(48, 6, b"\x10\x80\x90\x80"))) == []
    for index, entries in enumerate(cases):
        assert check_resources.icon_problems(entries) != [], index


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
