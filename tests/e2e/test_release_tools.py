"""Release tooling: vantrel-manifest.exe (release.ini judged and written with
the installer's own reader and digest), tools/sign-release.sh, the release
guard of the release configuration, and tools/publish.sh. Programs run from
the build under test, of either width (the summary line says which)."""
import hashlib
import os
import subprocess

import pytest

import harness

TOOL = harness.Prefix.exe("vantrel-manifest")
SETUP = harness.Prefix.exe("VantrelSetup")
SOURCE = harness.SOURCE_DIR
MISSING, FORMAT, SIZE = "版本清单缺少有效字段。", "版本清单格式不正确。", "版本清单的文件大小无效。"

AGENT = hashlib.sha256(b"agent").digest() * 4000      # 128000 bytes
FULL = hashlib.sha256(b"full").digest() * 6000        # 192000 bytes
PACKAGES = {"Agent-Setup-2.0.exe": AGENT, "Full-Setup-2.0.exe": FULL}


def ini(win7: dict | None = None, windows: dict | None = None) -> str:
    return harness.ini_text({"win7": harness.manifest_section("Agent-Setup-2.0.exe", AGENT, **(win7 or {})),
                             "windows": harness.manifest_section("Full-Setup-2.0.exe", FULL, **(windows or {}))})


def run_tool(prefix, *args, cwd=None) -> tuple[int, dict, list[str]]:
    """Exit code, {section: "accepted" or the refusal}, and the other lines."""
    result = prefix.run(TOOL, *args, cwd=cwd)
    verdicts, other = {}, []
    for line in result.stdout.splitlines():
        section, _, rest = line.partition(": ")
        if section in ("win7", "windows"):
            verdict, _, detail = rest.partition(": ")
            verdicts[section] = "accepted" if verdict == "accepted" else detail
        else:
            other.append(line)
    return result.returncode, verdicts, other


BOTH = {"win7": "accepted", "windows": "accepted"}
TOO_BIG = ini() + ";" + "x" * 65536 + "\r\n"
# name: (release.ini bytes, local packages for --files (None: no --files),
#        verdict per section, text of a whole-file refusal or None). The
# installer's rules have their rows in the unit tables; one row per message
# shows the tool passes it on for the right section.
CHECKS = {
    "ascii": (ini().encode(), None, BOTH, None),
    "utf-16 le with its mark": (b"\xff\xfe" + ini().encode("utf-16-le"), None, BOTH, None),
    "utf-8 mark (Windows loses the first line)": (b"\xef\xbb\xbf" + ini().encode(), None, BOTH, "UTF-8 byte-order mark"),
    "larger than the download limit": (TOO_BIG.encode(), None, BOTH, "1 to 65536 bytes"),
    "win7 lacks size": (ini(win7={"size": None}).encode(), None, {"win7": MISSING, "windows": "accepted"}, None),
    "upper-case suffix": (ini(windows={"file": "Full-Setup-2.0.EXE"}).encode(), None,
                          {"win7": "accepted", "windows": FORMAT}, None),
    "size over 1 GiB": (ini(windows={"size": "1073741825"}).encode(), None, {"win7": "accepted", "windows": SIZE}, None),
    "files match": (ini().encode(), PACKAGES, BOTH, None),
    "package one byte short": (ini().encode(), dict(PACKAGES, **{"Full-Setup-2.0.exe": FULL[:-1]}),
                               {"win7": "accepted", "windows": f"is {len(FULL) - 1} bytes, the manifest says {len(FULL)}"},
                               None),
    "package changed, same size": (ini().encode(), dict(PACKAGES, **{"Agent-Setup-2.0.exe": FULL[:len(AGENT)]}),
                                   {"win7": "has sha256", "windows": "accepted"}, None),
    "package missing": (ini().encode(), {"Full-Setup-2.0.exe": FULL}, {"win7": "cannot open", "windows": "accepted"},
                        None),
}


@pytest.mark.parametrize("case", list(CHECKS))
def test_check(win10, tmp_path, case):
    manifest, packages, expected, whole_file = CHECKS[case]
    (tmp_path / "release.ini").write_bytes(manifest)
    args = []
    if packages is not None:
        for name, data in packages.items():
            (tmp_path / name).write_bytes(data)
        args = ["--files", win10.win_path(tmp_path)]
    # A bare file name: the profile API would look for it in the Windows
    # folder, so the tool must make it absolute itself.
    code, verdicts, other = run_tool(win10, "check", "release.ini", *args, cwd=tmp_path)

    assert verdicts.keys() == expected.keys(), other
    for section, verdict in expected.items():
        assert verdicts[section] == verdict if verdict == "accepted" else verdict in verdicts[section], verdicts
    assert (whole_file is None) == (other == []), other
    if whole_file:
        assert whole_file in other[0]
    passed = whole_file is None and set(expected.values()) == {"accepted"}
    assert code == (0 if passed else 1)


def test_write_refuses_a_name_the_installer_would_refuse(win10, tmp_path):
    """The installer's message, and nothing written. What the tool writes
    for an accepted release, and the installer's verdict on it, test_publish
    checks."""
    (tmp_path / "Agent_Setup.exe").write_bytes(AGENT)
    (tmp_path / "Full-Setup-2.0.exe").write_bytes(FULL)
    code, verdicts, _ = run_tool(win10, "write", "--win7", win10.win_path(tmp_path / "Agent_Setup.exe"),
                                 "--windows", win10.win_path(tmp_path / "Full-Setup-2.0.exe"),
                                 win10.win_path(tmp_path / "release.ini"))
    assert (code, verdicts["win7"].split(" (")[0]) == (1, FORMAT)
    assert not (tmp_path / "release.ini").exists()


# How a release engineer hands over the key, as (options, environment) made
# from the test PKI's folder: a PKCS#12 file named in the environment with its
# password there too, or key and chain by path.
SIGNERS = {
    "pkcs12 from the environment": lambda certs: (
        [], {"VANTREL_SIGN_PKCS12": str(certs / "codesign.pfx"), "VANTREL_SIGN_PASSWORD": "vantrel-test"}),
    "key and certificate by path": lambda certs: (
        ["--key", certs / "codesign.key", "--cert", certs / "codesign-chain.pem"], {}),
}


@pytest.mark.parametrize("signer", list(SIGNERS))
def test_signing_round_trip(win10, staging, tmp_path, signer):
    certs = harness.CERTS_DIR
    options, environment = SIGNERS[signer](certs)
    env = dict(os.environ, **environment)
    signed = tmp_path / "VantrelSetup.exe"
    result = subprocess.run([SOURCE / "tools/sign-release.sh", *options, "--ca", certs / "ca.pem", "--out", signed,
                             SETUP], env=env, capture_output=True, text=True)
    # The script itself checks that the signature verifies against --ca and
    # comes off again without a trace (so a signed release can be compared
    # with a rebuild of its commit), and fails otherwise.
    assert result.returncode == 0, result.stderr
    verify = subprocess.run(["osslsigncode", "verify", "-CAfile", certs / "ca.pem", "-in", signed],
                            capture_output=True, text=True)
    assert verify.returncode == 0, verify.stdout + verify.stderr
    assert "Text description: 岚禾舟" in verify.stdout
    assert f"URL description: https://localhost:{harness.CONFIG['product_port']}/" in verify.stdout
    assert "SHA256" in verify.stdout
    # Another root must not vouch for it.
    other_root = SOURCE / "tests/fixtures/runtime-signing/ca.pem"
    assert subprocess.run(["osslsigncode", "verify", "-CAfile", other_root, "-in", signed],
                          capture_output=True).returncode != 0
    # The signed program still does its job.
    staging.publish("/downloads/Full-Setup-2.0.exe", FULL)
    staging.publish_manifest({}, raw=ini())
    assert win10.run(signed, "--verify").returncode == 0


def test_release_guard(tmp_path):
    build = tmp_path / "release"
    configure = ["cmake", "--preset", "release", "-B", str(build)]
    staging_settings = ["-DVANTREL_PRODUCT_HOST=localhost", "-DVANTREL_PRODUCT_PORT=8443",
                        "-DVANTREL_RUNTIME_SHA256=" + harness.CONFIG["runtime_sha256"]]
    refused = subprocess.run(configure + staging_settings, cwd=SOURCE, capture_output=True, text=True)
    assert refused.returncode != 0
    message = " ".join(refused.stderr.split())
    assert "Release guard" in message
    for problem in ('VANTREL_PRODUCT_HOST "localhost" names this machine', "VANTREL_PRODUCT_PORT is 8443, not 443",
                    "VANTREL_RUNTIME_SHA256 is " + harness.CONFIG["runtime_sha256"]):
        assert problem in message
    assert "VANTREL_RUNTIME_HOST" not in message

    overridden = subprocess.run(configure + ["-DVANTREL_RELEASE_GUARD_OVERRIDE=internal mirror"], cwd=SOURCE,
                                capture_output=True, text=True)
    assert overridden.returncode == 0, overridden.stderr
    warning = " ".join(overridden.stderr.split())
    assert "CMake Warning" in warning and "Release guard overridden" in warning and "internal mirror" in warning
    assert 'VANTREL_PRODUCT_HOST "localhost" names this machine' in warning


def test_publish(win7, win10, _staging_server, tmp_path):
    for name, data in PACKAGES.items():
        (tmp_path / name).write_bytes(data)
    out = tmp_path / "out"
    # publish.sh serves on the staging ports itself.
    server, _ = _staging_server
    server.stop()
    try:
        result = subprocess.run([SOURCE / "tools/publish.sh", "--win7", tmp_path / "Agent-Setup-2.0.exe",
                                 "--windows", tmp_path / "Full-Setup-2.0.exe", "--out", out,
                                 "--build", harness.BUILD_DIR, "--win7-prefix", win7.path,
                                 "--win10-prefix", win10.path], capture_output=True, text=True, timeout=600)
    finally:
        server.start()
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.count("--verify): exit 0") == 2, result.stdout
    assert "GET | /downloads/Agent-Setup-2.0.exe | 128000 bytes" in result.stdout
    assert "GET | /downloads/Full-Setup-2.0.exe | 192000 bytes" in result.stdout
    downloads = out / "downloads"
    assert sorted(os.listdir(out)) == ["downloads"]
    assert sorted(os.listdir(downloads)) == sorted(["SHA256SUMS", "release.ini", *PACKAGES])
    assert (downloads / "release.ini").read_bytes() == ini().encode("ascii")
    assert subprocess.run(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=downloads).returncode == 0
