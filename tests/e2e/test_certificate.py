"""The "--certificate" helper in Wine prefixes: what it finds in the machine's
ROOT store, what it adds, and what it refuses.

Wine's ROOT store holds the host's trusted roots, DigiCert Global Root G2
among them. To make G2 missing for one run, the run happens in a private mount
namespace where a copy of the host bundle without G2 is mounted over the
original; the prefix's wineserver is stopped before and after, because it keeps
the roots it was started with. What the helper adds is written to the prefix's
registry file, where this file looks for it."""
import hashlib
import os
import re
import shutil
import struct
import subprocess

import pytest

import harness

SETUP = harness.Prefix.exe("VantrelSetup")
UNIT = harness.Prefix.exe("vantrel_unit_tests")
G2, HOST_BUNDLE = harness.G2, harness.HOST_BUNDLE
CERTIFICATES = r"Software\Microsoft\SystemCertificates\{}\Certificates"
PRESENT, MISSING = 0, 1


def thumbprint(der: bytes) -> str:
    return hashlib.sha1(der).hexdigest().upper()


def store_certificate(prefix, hive: str, store: str, der: bytes) -> None:
    """Writes a certificate into a system store the way the registry keeps it:
    property 0x20 (the certificate), encoding 1, length, then the DER bytes."""
    blob = struct.pack("<III", 0x20, 1, len(der)) + der
    prefix.reg_add(hive + "\\" + CERTIFICATES.format(store) + "\\" + thumbprint(der),
                   "Blob", "REG_BINARY", blob.hex())
    prefix.wait()


def saved_certificates(prefix, store: str, hive_file: str = "system.reg") -> set[str]:
    """Thumbprints saved in a store of the prefix's registry file. Roots that
    Wine takes from the host are never saved, so this lists what was added."""
    prefix.wait()
    section = re.escape("[" + CERTIFICATES.format(store).replace("\\", "\\\\") + "\\\\") + r"([0-9A-F]{40})\]"
    text = (prefix.path / hive_file).read_text(encoding="utf-8", errors="replace")
    return set(re.findall(section, text))


@pytest.fixture(scope="module")
def bundle_without_g2(tmp_path_factory):
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("hiding a host root needs root and unshare")
    return harness.bundle_without_g2(tmp_path_factory.mktemp("bundle"))


@pytest.fixture
def prefix(tmp_path):
    made = harness.fresh_prefix(tmp_path, "win7")
    yield made
    made.remove()


def run_without_g2(prefix, bundle, exe, *args, env=None) -> subprocess.CompletedProcess:
    prefix.kill()
    script = ('mount --bind "$1" "$2" || exit 99; shift 2; "$@"; code=$?; '
              'wineserver -k; wineserver -w; exit $code')
    result = subprocess.run(
        ["unshare", "-m", "--", "sh", "-c", script, "sh", str(bundle), HOST_BUNDLE,
         harness.loader(exe), str(exe), *map(str, args)],
        env=prefix.env(env), capture_output=True, text=True, timeout=180,
        encoding="utf-8", errors="replace")
    assert result.returncode != 99, "bind mount failed: " + result.stderr
    return result


def expect_root_state_without_g2(prefix, bundle, state: int) -> None:
    """QueryRootCertificate's answer inside the prefix, with G2 hidden."""
    prefix.gtest(UNIT, "RootCertificateOnThisMachine.*", env={"VANTREL_EXPECT_ROOT_STATE": state},
                 run=lambda exe, *args, env, timeout: run_without_g2(prefix, bundle, exe, *args, env=env))


def test_present_root_ends_at_once_and_adds_nothing(prefix):
    assert prefix.run(SETUP, "--certificate").returncode == 0
    assert thumbprint(G2) not in saved_certificates(prefix, "Root")


def test_missing_root_is_added_and_found_by_later_searches(prefix, bundle_without_g2):
    expect_root_state_without_g2(prefix, bundle_without_g2, MISSING)
    assert run_without_g2(prefix, bundle_without_g2, SETUP, "--certificate").returncode == 0
    assert thumbprint(G2) in saved_certificates(prefix, "Root")
    # Found in the store now, even without the host's copy.
    expect_root_state_without_g2(prefix, bundle_without_g2, PRESENT)
    assert run_without_g2(prefix, bundle_without_g2, SETUP, "--certificate").returncode == 0


def test_distrusted_root_is_refused_and_nothing_added(prefix, bundle_without_g2):
    store_certificate(prefix, "HKLM", "Disallowed", G2)
    assert run_without_g2(prefix, bundle_without_g2, SETUP, "--certificate").returncode == 3
    assert thumbprint(G2) not in saved_certificates(prefix, "Root")


def test_changed_embedded_certificate_is_never_added(prefix, bundle_without_g2, tmp_path):
    image = bytearray(SETUP.read_bytes())
    at = image.find(G2)
    assert at > 0 and image.find(G2, at + 1) < 0
    image[at + len(G2) - 1] ^= 0x01  # last byte of the signature
    patched = tmp_path / "VantrelSetup.exe"
    patched.write_bytes(image)
    assert run_without_g2(prefix, bundle_without_g2, patched, "--certificate").returncode == 2
    assert thumbprint(G2) not in saved_certificates(prefix, "Root")
    # With the root present the embedded copy is not even looked at.
    assert prefix.run(patched, "--certificate").returncode == 0


def test_same_name_with_other_bytes_counts_as_missing(prefix, bundle_without_g2, tmp_path):
    subject = "/C=US/O=DigiCert Inc/OU=www.digicert.com/CN=DigiCert Global Root G2"
    key, der = tmp_path / "key.pem", tmp_path / "lookalike.der"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key),
                    "-subj", subject, "-days", "3650", "-outform", "DER", "-out", str(der)],
                   check=True, capture_output=True)
    lookalike = der.read_bytes()
    store_certificate(prefix, "HKLM", "Root", lookalike)
    expect_root_state_without_g2(prefix, bundle_without_g2, MISSING)
    assert run_without_g2(prefix, bundle_without_g2, SETUP, "--certificate").returncode == 0
    assert {thumbprint(G2), thumbprint(lookalike)} <= saved_certificates(prefix, "Root")


def test_current_user_root_counts_as_missing(prefix, bundle_without_g2):
    store_certificate(prefix, "HKCU", "Root", G2)
    assert thumbprint(G2) in saved_certificates(prefix, "Root", "user.reg")
    expect_root_state_without_g2(prefix, bundle_without_g2, MISSING)
    assert run_without_g2(prefix, bundle_without_g2, SETUP, "--certificate").returncode == 0
    assert thumbprint(G2) in saved_certificates(prefix, "Root")
