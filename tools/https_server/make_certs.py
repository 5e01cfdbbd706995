#!/usr/bin/python3
"""Makes the committed test certificates by hand (never the build or the
tests, so every machine has the same ones). RSA 2048, SHA-256.

    make_certs.py --regenerate         tests/fixtures/test-ca/: ca.pem/ca.der (the root the
        Wine test prefixes trust, to 2049), localhost.crt, wronghost.crt (DNS:wrong.example),
        expired.crt (2021-2023), codesign-chain.pem (a codeSigning leaf, then ca.pem),
        codesign.pfx (password "vantrel-test"); one leaf key, localhost.key, with
        wronghost.key, expired.key and codesign.key linked to it
    make_certs.py --regenerate-signer  tests/fixtures/runtime-signing/: the runtime signer
        signer.pem/signer.key and its root ca.pem/ca.der, 2020-2099. A new signer changes the
        signed runtime package and the digest the staging preset in CMakePresets.json pins.

The roots' keys are not kept: a new set is a new CA, and the Wine prefixes built
from the old one are rebuilt, because their cache key includes ca.der.
"""
import datetime
import sys
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID as EKU, NameOID

FIXTURES = Path(__file__).resolve().parents[2] / "tests/fixtures"
PEM = serialization.Encoding.PEM
UNENCRYPTED = serialization.NoEncryption()


def cert(subject, issuer_key, issuer, key, start, end, ca=False, eku=None, dns=None, serial=None, path_length=None):
    """A certificate for key, signed by issuer_key; issuer None: self-signed."""
    name = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Vantrel Test"),
                      x509.NameAttribute(NameOID.COMMON_NAME, subject)])
    flags = dict.fromkeys(("digital_signature", "content_commitment", "key_encipherment", "data_encipherment",
                           "key_agreement", "key_cert_sign", "crl_sign", "encipher_only", "decipher_only"), False)
    if ca:
        flags.update(key_cert_sign=True, crl_sign=True)
    else:
        flags.update(digital_signature=True, key_encipherment=eku == EKU.SERVER_AUTH)
    made = (x509.CertificateBuilder().subject_name(name).issuer_name(issuer.subject if issuer else name)
            .public_key(key.public_key()).serial_number(serial or x509.random_serial_number())
            .not_valid_before(datetime.datetime(*start, tzinfo=datetime.timezone.utc))
            .not_valid_after(datetime.datetime(*end, tzinfo=datetime.timezone.utc))
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
            .add_extension(x509.BasicConstraints(ca=ca, path_length=path_length), critical=True)
            .add_extension(x509.KeyUsage(**flags), critical=True))
    if not ca:
        made = (made.add_extension(x509.ExtendedKeyUsage([eku]), critical=False)
                .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer_key.public_key()),
                               critical=False))
    if dns:
        made = made.add_extension(x509.SubjectAlternativeName([x509.DNSName(dns)]), critical=False)
    return made.sign(issuer_key, hashes.SHA256())


def new_root(out, subject, end, **details):
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    root = cert(subject, key, None, key, (2020, 1, 1), end, ca=True, **details)
    (out / "ca.pem").write_bytes(root.public_bytes(PEM))
    (out / "ca.der").write_bytes(root.public_bytes(serialization.Encoding.DER))
    return key, root


def regenerate(out=FIXTURES / "test-ca"):
    ca_key, ca = new_root(out, "Vantrel Test Root CA", (2049, 12, 31))
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    for stem, subject, start, end in (("localhost", "localhost", (2024, 1, 1), (2049, 12, 1)),
                                      ("wronghost", "wrong.example", (2024, 1, 1), (2049, 12, 1)),
                                      ("expired", "localhost", (2021, 1, 1), (2023, 1, 1))):
        leaf = cert(subject, ca_key, ca, key, start, end, eku=EKU.SERVER_AUTH, dns=subject)
        (out / f"{stem}.crt").write_bytes(leaf.public_bytes(PEM))
    signing = cert("Vantrel Test Code Signing", ca_key, ca, key, (2024, 1, 1), (2049, 12, 1), eku=EKU.CODE_SIGNING)
    (out / "codesign-chain.pem").write_bytes(signing.public_bytes(PEM) + ca.public_bytes(PEM))
    (out / "codesign.pfx").write_bytes(pkcs12.serialize_key_and_certificates(
        b"codesign", key, signing, [ca], serialization.BestAvailableEncryption(b"vantrel-test")))
    (out / "localhost.key").write_bytes(key.private_bytes(PEM, serialization.PrivateFormat.PKCS8, UNENCRYPTED))
    for link in ("wronghost.key", "expired.key", "codesign.key"):
        (out / link).unlink(missing_ok=True)
        (out / link).symlink_to("localhost.key")


def regenerate_signer(out=FIXTURES / "runtime-signing"):
    ca_key, ca = new_root(out, "Vantrel Test Code Signing Root", (2099, 12, 31, 23, 59, 59), serial=1, path_length=0)
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    signer = cert("Vantrel Test Runtime Publisher", ca_key, ca, key, (2020, 1, 1), (2099, 12, 31, 23, 59, 59),
                  eku=EKU.CODE_SIGNING, serial=2)
    (out / "signer.pem").write_bytes(signer.public_bytes(PEM))
    (out / "signer.key").write_bytes(key.private_bytes(PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                                                       UNENCRYPTED))


if __name__ == "__main__":
    commands = {"--regenerate": regenerate, "--regenerate-signer": regenerate_signer}
    if len(sys.argv) != 2 or sys.argv[1] not in commands:
        sys.exit("usage: make_certs.py --regenerate | --regenerate-signer")
    commands[sys.argv[1]]()
