"""Shared fixtures of the end-to-end tests: Wine prefixes, the local HTTPS
staging server on the build's configured ports, and an Xvfb display."""
from __future__ import annotations

import contextlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "https_server"))

import harness  # noqa: E402
import vantrel_server  # noqa: E402


def pytest_terminal_summary(terminalreporter):
    mode = "qemu-i386 in a private namespace" if os.environ.get("VANTREL_I686_INSIDE") else "the host's kernel"
    terminalreporter.write_line(
        f"installer under test: {harness.BUILD_DIR / 'VantrelSetup.exe'} ({harness.WIDTH}), i386 code run by {mode}")


@pytest.fixture(scope="module")
def win7(tmp_path_factory):
    prefix = harness.fresh_prefix(tmp_path_factory.mktemp("win7"), "win7")
    yield prefix
    prefix.remove()


@pytest.fixture(scope="module")
def win10(tmp_path_factory):
    prefix = harness.fresh_prefix(tmp_path_factory.mktemp("win10"), "win10")
    yield prefix
    prefix.remove()


class Staging:
    """The staging server's content for one test: files under the docroot, the
    rules that bend responses, and the log of what was requested."""

    def __init__(self, server: vantrel_server.VantrelServer, docroot: Path):
        self.server = server
        self.docroot = docroot
        self._rules: dict = {}

    def publish(self, path: str, data: bytes) -> Path:
        target = self.docroot / path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        return target

    def publish_manifest(self, sections: dict, raw: str | None = None) -> bytes:
        """Writes /downloads/release.ini from {"windows": {"file":..., ...}, ...}."""
        raw = harness.ini_text(sections) if raw is None else raw
        data = raw.encode("utf-8") if isinstance(raw, str) else raw
        self.publish("/downloads/release.ini", data)
        return data

    def publish_package(self, name: str, data: bytes, channel: str = "windows", **overrides) -> dict:
        """Publishes a package and a manifest section describing it."""
        self.publish("/downloads/" + name, data)
        return harness.manifest_section(name, data, **overrides)

    def rule(self, path: str, **behaviour) -> None:
        self._rules[path] = behaviour
        vantrel_server.write_rules(self.docroot, self._rules)

    def requests(self) -> list[dict]:
        return vantrel_server.read_requests(self.docroot)

    def paths(self) -> list[str]:
        return [entry["path"] for entry in self.requests()]

    @contextlib.contextmanager
    def tunnel(self, direct: bool = False):
        """A second server over the same docroot, on free ports, whose tunnel
        listener is a proxy to its own main listener; yields it. Unless
        direct, the build's ports are closed meanwhile, so the product server
        can be reached only through the tunnel."""
        if not direct:
            self.server.stop()
        try:
            with vantrel_server.VantrelServer(self.docroot, harness.CERTS_DIR, tunnel_port=0) as proxy:
                yield proxy
        finally:
            if not direct:
                self.server.start()

    def net_test_env(self, prefix: harness.Prefix) -> dict:
        """Environment of the in-process network tests (vantrel_net_tests.exe)."""
        return {
            "VANTREL_TEST_HOST": "localhost",
            "VANTREL_TEST_PORT": self.server.port,
            "VANTREL_TEST_SPECIAL_BASE": harness.CONFIG["special_base"],
            "VANTREL_TEST_DOCROOT": prefix.win_path(self.docroot),
        }


@pytest.fixture(scope="session")
def _staging_server(tmp_path_factory):
    docroot = tmp_path_factory.mktemp("docroot")
    server = harness.winectl.build_server(docroot, harness.CONFIG)
    yield server, docroot
    server.stop()


@pytest.fixture
def staging(_staging_server):
    server, docroot = _staging_server
    for child in docroot.iterdir():
        if child.is_dir():
            shutil.rmtree(child)
        else:
            child.unlink()
    yield Staging(server, docroot)


@pytest.fixture(scope="session")
def display(tmp_path_factory):
    """An Xvfb screen for windowed runs; DISPLAY is set for every later Wine call."""
    fbdir = tmp_path_factory.mktemp("xvfb")
    with harness.winectl.x_screen(fbdir) as name:
        previous = os.environ.get("DISPLAY")
        os.environ["DISPLAY"] = name

        class Display:
            framebuffer = fbdir / "Xvfb_screen0"

            def screenshot(self, target: Path) -> Path:
                target.parent.mkdir(parents=True, exist_ok=True)
                subprocess.run(["convert", f"xwd:{self.framebuffer}", str(target)], check=True)
                return target

        yield Display()
        if previous is None:
            os.environ.pop("DISPLAY", None)
        else:
            os.environ["DISPLAY"] = previous
