#!/usr/bin/python3
"""Checks the resource files under res/ before the build compiles them into
the program: the pinned root certificate, the icon's frames and the manifest.

Usage: check_resources.py [source-root]   (default: the folder above tools/)

Exits 1 and names every problem when something is off. The end-to-end tests
apply the manifest check to the built program too.
"""
import hashlib
import struct
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

ICON_SIZES = (16, 20, 24, 32, 40, 48, 64, 128, 256)
# The shipped i686 VantrelSetup.exe may not grow past this (320 KiB): it is
# downloaded before anything else happens. The build checks it
# (cmake/size_check.cmake) and tools/bench.py reports it.
EXE_SIZE_LIMIT = 327_680
CERT_SIZE = 914
CERT_SHA256 = "cb3ccbb76031e5e0138f8dd39a23f9de47ffc35e43c1144cea27d46a5ab1cb5f"

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
TRUST_NAMESPACES = ("{urn:schemas-microsoft-com:asm.v2}", "{urn:schemas-microsoft-com:asm.v3}")
WINDOWS_SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"


def certificate_problems(der):
    digest = hashlib.sha256(der).hexdigest()
    return ([f"certificate: {len(der)} bytes, expected {CERT_SIZE}"] if len(der) != CERT_SIZE else []) + \
        ([f"certificate: SHA-256 {digest}, expected {CERT_SHA256}"] if digest != CERT_SHA256 else [])


def usable_alpha(alphas):
    # Windows ignores an alpha channel that is zero everywhere and falls back
    # to the mask, so the channel must carry actual values.
    alphas = set(alphas)
    return alphas != {0} and alphas != {255}


def image_format(image):
    """(width, height, bits per pixel, has alpha) of one icon image, which is
    either a PNG stream or a DIB whose height counts the colour and the mask
    rows together. Of a PNG only the header is read here: whether the stream
    decodes, and whether its alpha makes the corners transparent, Windows'
    own decoder judges in the unit test that loads and draws every frame."""
    if image.startswith(PNG_SIGNATURE):
        if image[12:16] != b"IHDR":
            raise ValueError("PNG image without IHDR")
        width, height, depth, colour_type = struct.unpack_from(">IIBB", image, 16)
        channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(colour_type, 0)
        return width, height, depth * channels, colour_type in (4, 6)
    if len(image) < 40:
        raise ValueError("image shorter than a bitmap header")
    header_size, width, double_height, _planes, bpp = struct.unpack_from("<IiiHH", image)
    if header_size < 40:
        raise ValueError(f"bitmap header of {header_size} bytes")
    height = double_height // 2
    has_alpha = False
    if bpp == 32:
        pixels = image[header_size:header_size + width * height * 4]
        has_alpha = len(pixels) == width * height * 4 and usable_alpha(pixels[3::4])
    return width, height, bpp, has_alpha


def icon_problems(entries):
    """entries: (directory width, directory height, directory bpp, image bytes)
    for each frame, from an .ico file or from an icon group resource. A
    directory size of 0 stands for 256."""
    problems = []
    sizes = []
    for dir_width, dir_height, dir_bpp, image in entries:
        try:
            width, height, bpp, has_alpha = image_format(image)
        except ValueError as error:
            problems.append(f"icon: {error}")
            continue
        sizes.append(width)
        if (dir_width or 256, dir_height or 256) != (width, height) or width != height:
            problems.append(f"icon: directory says {dir_width}x{dir_height}, image is {width}x{height}")
        if bpp != 32 or dir_bpp != 32:
            problems.append(f"icon: {width}px frame has {bpp} bits per pixel (directory {dir_bpp}), expected 32")
        elif not has_alpha:
            problems.append(f"icon: {width}px frame has no usable alpha channel")
    if sorted(sizes) != sorted(ICON_SIZES):
        problems.append(f"icon: frame sizes {sorted(sizes)}, expected {list(ICON_SIZES)}")
    return problems


def ico_entries(data):
    """Frames of an .ico file in the form icon_problems takes."""
    if len(data) < 6:
        raise ValueError("file shorter than an icon header")
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if reserved != 0 or kind != 1:
        raise ValueError("not an icon file")
    entries = []
    for index in range(count):
        if 6 + 16 * (index + 1) > len(data):
            raise ValueError("icon directory is cut short")
        width, height, _colours, _reserved, _planes, bpp, size, offset = struct.unpack_from(
            "<BBBBHHII", data, 6 + 16 * index)
        if offset + size > len(data):
            raise ValueError(f"frame {index} lies outside the file")
        entries.append((width, height, bpp, data[offset:offset + size]))
    return entries


def manifest_problems(text):
    try:
        root = ET.fromstring(text)
    except ET.ParseError as error:
        return [f"manifest: not well-formed XML ({error})"]
    problems = []
    if root.tag != ASM_V1 + "assembly" or root.get("manifestVersion") != "1.0":
        problems.append("manifest: root is not an asm.v1 assembly with manifestVersion 1.0")

    levels = [element for ns in TRUST_NAMESPACES for element in root.iter(ns + "requestedExecutionLevel")]
    if len(levels) != 1 or levels[0].get("level") != "asInvoker" \
            or levels[0].get("uiAccess", "false") != "false":
        problems.append('manifest: needs exactly one requestedExecutionLevel "asInvoker" without uiAccess')

    controls = [identity for dependent in root.iter(ASM_V1 + "dependentAssembly")
                for identity in dependent.findall(ASM_V1 + "assemblyIdentity")
                if identity.get("name") == "Microsoft.Windows.Common-Controls"]
    if len(controls) != 1 or controls[0].get("version") != "6.0.0.0" \
            or controls[0].get("type") != "win32" \
            or controls[0].get("publicKeyToken") != "6595b64144ccf1df" \
            or controls[0].get("processorArchitecture") not in ("x86", "*"):
        problems.append("manifest: needs one dependency on Microsoft.Windows.Common-Controls 6.0.0.0")

    dpi = list(root.iter(WINDOWS_SETTINGS_2005 + "dpiAware"))
    if len(dpi) != 1 or (dpi[0].text or "").strip() != "true":
        problems.append("manifest: needs one dpiAware element (2005 WindowsSettings) set to true")
    return problems


def source_problems(root):
    res = Path(root) / "res"
    problems = []
    try:
        problems += certificate_problems((res / "digicert_global_root_g2.der").read_bytes())
        try:
            problems += icon_problems(ico_entries((res / "vantrel.ico").read_bytes()))
        except ValueError as error:
            problems.append(f"icon: {error}")
        problems += manifest_problems((res / "app.manifest").read_bytes())
    except OSError as error:
        problems.append(f"cannot read {error.filename}: {error.strerror}")
    return problems


if __name__ == "__main__":
    found = source_problems(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
    for problem in found:
        print(f"check_resources: {problem}", file=sys.stderr)
    sys.exit(1 if found else 0)
