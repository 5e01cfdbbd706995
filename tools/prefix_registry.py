#!/usr/bin/env python3
"""Prints the registry settings of a test Wine prefix as a .reg file.

- the test roots as trusted roots of the machine (the Blob layout Wine's
  crypt32 reads: property id 0x20, a reserved 1, the length, then the DER):
  the local HTTPS test CA and the signer root of the staging runtime package,
- "Microsoft YaHei" mapped to WenQuanYi Micro Hei, and Tahoma linked to it so
  captions and message boxes show Chinese text,
- Wine drawing its own window frames, since Xvfb runs no window manager.
"""
import hashlib
import struct
import sys


def reg_hex(data: bytes) -> str:
    return ",".join(f"{b:02x}" for b in data)


def cert_blob(der: bytes) -> bytes:
    return struct.pack("<III", 0x20, 1, len(der)) + der


def multi_sz(*items: str) -> bytes:
    return ("\0".join(items) + "\0\0").encode("utf-16-le")


def main() -> None:
    link = multi_sz("wqy-microhei.ttc,WenQuanYi Micro Hei")
    out = [
        "Windows Registry Editor Version 5.00",
        "",
        "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]",
        '"Managed"="N"',
        "",
        "[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]",
        '"Microsoft YaHei"="WenQuanYi Micro Hei"',
        "",
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]",
        f'"Tahoma"=hex(7):{reg_hex(link)}',
        f'"Tahoma Bold"=hex(7):{reg_hex(link)}',
        "",
    ]
    for path in sys.argv[1:]:
        der = open(path, "rb").read()
        thumb = hashlib.sha1(der).hexdigest().upper()
        out += [
            f"[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\{thumb}]",
            f'"Blob"=hex:{reg_hex(cert_blob(der))}',
            "",
        ]
    # Version 5 files are UTF-16: then hex(7) holds the UTF-16 multi-string
    # as it is, where a version 4 file would widen every byte again.
    sys.stdout.buffer.write(b"\xff\xfe" + "\r\n".join(out).encode("utf-16-le"))


if __name__ == "__main__":
    main()
