#!/usr/bin/python3
"""Private test CA and leaf certificates for the local HTTPS test servers.

Usage: make_certs.py OUTDIR [--force]

Writes into OUTDIR (nothing is done when OUTDIR/ca.der already exists, unless
--force is given):

    ca.pem, ca.der, ca.key      test root; tests add ca.der to the Wine prefix's
                                ROOT store
    ca.sha1                     upper-case hex SHA-1 thumbprint of ca.der (the
                                registry key name of a ROOT store entry)
    localhost.crt/.key          DNS:localhost, currently valid, serverAuth
    wronghost.crt/.key          DNS:wrong.example only
    expired.crt/.key            DNS:localhost, validity entirely in the past
    codesign.crt/.key           codeSigning, issued by the same CA
    codesign-chain.pem          codesign.crt followed by ca.pem
    codesign.pfx, codesign.p12  key + codesign certificate + CA, password
                                PFX_PASSWORD ("vantrel-test")

All keys are RSA 2048, all signatures SHA-256, keys unencrypted PEM (PKCS#8).
Concurrent callers are serialised by a lock file in OUTDIR, so parallel test
runs never mix keys of one run with certificates of another.
"""

import datetime
import fcntl
import hashlib
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

PFX_PASSWORD = "vantrel-test"

_DAY = datetime.timedelta(days=1)


def _name(common_name):
    return x509.Name([
        x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Vantrel Test"),
        x509.NameAttribute(NameOID.COMMON_NAME, common_name),
    ])


def _new_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def _key_pem(key):
    return key.private_bytes(serialization.Encoding.PEM,
                             serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def _make_ca(now):
    key = _new_key()
    name = _name("Vantrel Test Root CA")
    ski = x509.SubjectKeyIdentifier.from_public_key(key.public_key())
    cert = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        # Starts well before the expired leaf so that leaf fails for its own
        # dates, not because its issuer was not yet valid.
        .not_valid_before(now - 5 * 365 * _DAY)
        .not_valid_after(now + 10 * 365 * _DAY)
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .add_extension(x509.KeyUsage(
            digital_signature=False, content_commitment=False, key_encipherment=False,
            data_encipherment=False, key_agreement=False, key_cert_sign=True,
            crl_sign=True, encipher_only=False, decipher_only=False), critical=True)
        .add_extension(ski, critical=False)
        .sign(key, hashes.SHA256())
    )
    return key, cert


def _make_leaf(ca_key, ca_cert, common_name, dns_names, eku, not_before, not_after):
    key = _new_key()
    builder = (
        x509.CertificateBuilder()
        .subject_name(_name(common_name))
        .issuer_name(ca_cert.subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(not_before)
        .not_valid_after(not_after)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.KeyUsage(
            digital_signature=True, content_commitment=False,
            key_encipherment=(eku == ExtendedKeyUsageOID.SERVER_AUTH),
            data_encipherment=False, key_agreement=False, key_cert_sign=False,
            crl_sign=False, encipher_only=False, decipher_only=False), critical=True)
        .add_extension(x509.ExtendedKeyUsage([eku]), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                       critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
            ca_key.public_key()), critical=False)
    )
    if dns_names:
        builder = builder.add_extension(
            x509.SubjectAlternativeName([x509.DNSName(n) for n in dns_names]),
            critical=False)
    return key, builder.sign(ca_key, hashes.SHA256())


def _write(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def _generate(outdir):
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    ca_key, ca_cert = _make_ca(now)
    server = ExtendedKeyUsageOID.SERVER_AUTH
    leaves = {
        "localhost": ("localhost", ["localhost"], server,
                      now - _DAY, now + 825 * _DAY),
        "wronghost": ("wrong.example", ["wrong.example"], server,
                      now - _DAY, now + 825 * _DAY),
        "expired": ("localhost", ["localhost"], server,
                    now - 3 * 365 * _DAY, now - 365 * _DAY),
        "codesign": ("Vantrel Test Code Signing", [], ExtendedKeyUsageOID.CODE_SIGNING,
                     now - _DAY, now + 825 * _DAY),
    }
    ca_pem = ca_cert.public_bytes(serialization.Encoding.PEM)
    for stem, (cn, dns, eku, nb, na) in leaves.items():
        key, cert = _make_leaf(ca_key, ca_cert, cn, dns, eku, nb, na)
        cert_pem = cert.public_bytes(serialization.Encoding.PEM)
        _write(os.path.join(outdir, stem + ".key"), _key_pem(key))
        _write(os.path.join(outdir, stem + ".crt"), cert_pem)
        if stem == "codesign":
            _write(os.path.join(outdir, "codesign-chain.pem"), cert_pem + ca_pem)
            pfx = pkcs12.serialize_key_and_certificates(
                b"codesign", key, cert, [ca_cert],
                serialization.BestAvailableEncryption(PFX_PASSWORD.encode()))
            _write(os.path.join(outdir, "codesign.pfx"), pfx)
            _write(os.path.join(outdir, "codesign.p12"), pfx)
    ca_der = ca_cert.public_bytes(serialization.Encoding.DER)
    _write(os.path.join(outdir, "ca.key"), _key_pem(ca_key))
    _write(os.path.join(outdir, "ca.pem"), ca_pem)
    _write(os.path.join(outdir, "ca.sha1"),
           (hashlib.sha1(ca_der).hexdigest().upper() + "\n").encode())
    # ca.der is the completion marker, so it is written last.
    _write(os.path.join(outdir, "ca.der"), ca_der)


def ensure_certs(outdir, force=False):
    """Creates the certificate set in outdir unless it is already there.

    Returns outdir as an absolute path.
    """
    outdir = os.path.abspath(outdir)
    os.makedirs(outdir, exist_ok=True)
    with open(os.path.join(outdir, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if force or not os.path.exists(os.path.join(outdir, "ca.der")):
            _generate(outdir)
    return outdir


def main(argv):
    args = [a for a in argv if a != "--force"]
    if len(args) != 1:
        sys.stderr.write("usage: make_certs.py OUTDIR [--force]\n")
        return 2
    ensure_certs(args[0], force="--force" in argv)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
