#!/usr/bin/python3
"""The committed test certificates, made by hand with this script and never
by the build or the tests, so that every machine has the same ones.

    make_certs.py --regenerate          a new loopback set in tests/fixtures/test-ca/
    make_certs.py --regenerate-signer   a new runtime signer in
                                        tests/fixtures/runtime-signing/

The loopback set:
The files, all RSA 2048 and SHA-256, valid until 2049 so the set never needs
renewing (the expired leaf's dates lie entirely in the past):

    ca.pem, ca.der              the test root; the Wine test prefixes trust ca.der
    localhost.crt               DNS:localhost, serverAuth
    wronghost.crt               DNS:wrong.example only
    expired.crt                 DNS:localhost, expired in 2023
    codesign-chain.pem          a codeSigning leaf followed by ca.pem
    codesign.pfx                the code signing key and chain, password "vantrel-test"
    localhost.key               the one leaf key; wronghost.key, expired.key and
                                codesign.key are links to it

The CA's own key is not kept: a new set is a new CA, and the prefixes built
from the old one are rebuilt because their cache key includes ca.der.

The runtime signer: ca.der and ca.pem, the root "Vantrel Test Code Signing
Root" (its key is not kept either), signer.pem issued by it and signer.key,
valid 2020 to 2099. A new signer changes the signed runtime package and the
digest the staging preset in CMakePresets.json pins: update it there.

ensure_certs(DIR) puts a copy of the loopback set into DIR, for callers that
want the certificates in a folder of their own.
"""
import datetime
import fcntl
import shutil
import sys
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

COMMITTED = Path(__file__).resolve().parents[2] / "tests/fixtures/test-ca"
PFX_PASSWORD = "vantrel-test"
KEY_LINKS = ("wronghost.key", "expired.key", "codesign.key")
SIGNER = COMMITTED.parent / "runtime-signing"
PEM = serialization.Encoding.PEM


def ensure_certs(outdir, force=False):
    """Copies the committed set into outdir unless it is there; returns outdir, absolute."""
    outdir = Path(outdir).resolve()
    if (outdir / "ca.der").exists() and not force:
        return str(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    with open(outdir / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        # ca.der is the completion marker, so it is copied last.
        for source in sorted(COMMITTED.iterdir(), key=lambda p: p.name == "ca.der"):
            if source.suffix != ".md":
                shutil.copyfile(source, outdir / source.name)
    return str(outdir)


def date(year, month=1, day=1):
    return datetime.datetime(year, month, day, tzinfo=datetime.timezone.utc)


def name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Vantrel Test"),
                      x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def usage(**allowed):
    flags = dict.fromkeys(("digital_signature", "content_commitment", "key_encipherment", "data_encipherment",
                           "key_agreement", "key_cert_sign", "crl_sign", "encipher_only", "decipher_only"), False)
    return x509.KeyUsage(**dict(flags, **allowed))


def builder(subject, issuer, public, start, end, serial=None):
    return (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer).public_key(public)
            .serial_number(serial or x509.random_serial_number()).not_valid_before(start).not_valid_after(end)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(public), critical=False))


def new_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def root(common_name, start, end, path_length=None, serial=None):
    key = new_key()
    cert = (builder(name(common_name), name(common_name), key.public_key(), start, end, serial)
            .add_extension(x509.BasicConstraints(ca=True, path_length=path_length), critical=True)
            .add_extension(usage(key_cert_sign=True, crl_sign=True), critical=True)
            .sign(key, hashes.SHA256()))
    return key, cert


def leaf(ca_key, ca, key, common_name, dns, eku, start, end, serial=None):
    made = (builder(name(common_name), ca.subject, key.public_key(), start, end, serial)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(usage(digital_signature=True,
                                 key_encipherment=eku == ExtendedKeyUsageOID.SERVER_AUTH), critical=True)
            .add_extension(x509.ExtendedKeyUsage([eku]), critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()), critical=False))
    if dns:
        made = made.add_extension(x509.SubjectAlternativeName([x509.DNSName(dns)]), critical=False)
    return made.sign(ca_key, hashes.SHA256())


def write_root(out, ca):
    (out / "ca.pem").write_bytes(ca.public_bytes(PEM))
    (out / "ca.der").write_bytes(ca.public_bytes(serialization.Encoding.DER))


def regenerate_signer(out=SIGNER):
    ca_key, ca = root("Vantrel Test Code Signing Root", date(2020), date(2099, 12, 31), path_length=0, serial=1)
    key = new_key()
    signer = leaf(ca_key, ca, key, "Vantrel Test Runtime Publisher", None, ExtendedKeyUsageOID.CODE_SIGNING,
                  date(2020), date(2099, 12, 31), serial=2)
    (out / "signer.pem").write_bytes(signer.public_bytes(PEM))
    (out / "signer.key").write_bytes(key.private_bytes(PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                                                       serialization.NoEncryption()))
    write_root(out, ca)


def regenerate(out=COMMITTED):
    ca_key, ca = root("Vantrel Test Root CA", date(2020), date(2049, 12, 31))
    key = new_key()
    server = ExtendedKeyUsageOID.SERVER_AUTH
    for stem, cert in {
            "localhost": leaf(ca_key, ca, key, "localhost", "localhost", server, date(2024), date(2049, 12)),
            "wronghost": leaf(ca_key, ca, key, "wrong.example", "wrong.example", server, date(2024), date(2049, 12)),
            "expired": leaf(ca_key, ca, key, "localhost", "localhost", server, date(2021), date(2023))}.items():
        (out / f"{stem}.crt").write_bytes(cert.public_bytes(PEM))
    codesign = leaf(ca_key, ca, key, "Vantrel Test Code Signing", None, ExtendedKeyUsageOID.CODE_SIGNING,
                    date(2024), date(2049, 12))
    (out / "codesign-chain.pem").write_bytes(codesign.public_bytes(PEM) + ca.public_bytes(PEM))
    (out / "codesign.pfx").write_bytes(pkcs12.serialize_key_and_certificates(
        b"codesign", key, codesign, [ca], serialization.BestAvailableEncryption(PFX_PASSWORD.encode())))
    (out / "localhost.key").write_bytes(key.private_bytes(PEM, serialization.PrivateFormat.PKCS8,
                                                          serialization.NoEncryption()))
    for link in KEY_LINKS:
        (out / link).unlink(missing_ok=True)
        (out / link).symlink_to("localhost.key")
    write_root(out, ca)


if __name__ == "__main__":
    commands = {"--regenerate": regenerate, "--regenerate-signer": regenerate_signer}
    if len(sys.argv) != 2 or sys.argv[1] not in commands:
        sys.exit("usage: make_certs.py --regenerate | --regenerate-signer")
    commands[sys.argv[1]]()
