"""The installer's window under Xvfb, driven like a user would drive it.

A second program in the same prefix (tests/fixtures/driver.cpp) reads the
window's texts, button states, progress and rectangles, posts clicks and
close requests, and finds and answers message boxes; keystrokes go through X
with xdotool. The product installer is the sample
installer fixture, served by the staging server as the release package; the
runtime update goes through the wusa.exe double.

Screenshots of the Ready, Running and Finished states at 96 and 144 DPI are
written to BUILD/screenshots/.
"""
from __future__ import annotations

import concurrent.futures
import contextlib
import hashlib
import json
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

import pytest

import harness

SETUP = harness.Prefix.exe("VantrelSetup")
DRIVER = harness.Prefix.exe("driver")
SAMPLE = harness.Prefix.exe("sample_installer")
WUSA = harness.Prefix.native_exe("wusa_double")
UNIT = harness.Prefix.exe("vantrel_unit_tests")
SHOTS = harness.BUILD_DIR / "screenshots"
G2, HOST_BUNDLE = harness.G2, harness.HOST_BUNDLE

TITLE = "岚禾舟安装程序"
INSTALL, REINSTALL = "下载并安装", "重新安装"
CANCEL, CLOSE = "取消", "关闭"
BANNER_WIN10 = "已识别 Windows 10/11 x64 · 将安装完整版"
BANNER_WIN7 = "已识别 Windows 7 SP1 x64 · 将安装被控端"
BANNER_WIN7_RUNTIME = "已识别 Windows 7 SP1 x64 · 将先安装系统运行库"
WIZARD_OPEN = "请在安装向导中选择位置并完成安装。"
DONE = "安装已完成。"
CANCELLING = "正在取消，请稍候…"
CANCELLED = "已取消下载，可以重新开始。"
FINISH_WIZARD_FIRST = "请先在安装向导中完成或取消安装。"
ALREADY_RUNNING = "安装程序已经运行，请完成或关闭已有窗口。"
RUNTIME_QUESTION = ("此 Win7 缺少 Universal C Runtime。\n是否自动下载并安装微软官方 KB2999226？\n"
                    "此操作会请求管理员授权；系统缺少前置更新时仍需先完成 Windows Update。")
CERTIFICATE_QUESTION = ("旧系统缺少 DigiCert Global Root G2 根证书，无法验证当前下载站证书。\n"
                        "是否安装内置且已核验指纹的 DigiCert 官方证书？\n"
                        "安装会增加本机所有用户信任的证书颁发机构，并请求管理员授权。")
IDOK, IDYES, IDNO = 1, 6, 7
HEADING_RGB = (21, 100, 112)
STATUS_RGB = (77, 104, 111)

# The sample installer padded to a few megabytes, so a dripped download shows
# the progress bar moving. Extra bytes after the image don't stop it running.
PACKAGE = SAMPLE.read_bytes() + bytes(3 * 1024 * 1024)
PACKAGE_NAME = "VantrelProductSetup.exe"


def scaled(length: int, dpi: int) -> int:
    """MulDiv(length, dpi, 96): rounds halves away from zero."""
    return (length * dpi + 48) // 96


# --------------------------------------------------------------------------
# Driving the window


class Ui:
    """The window driver in the installer's prefix: ui.wait_status(DONE, 60000)
    runs `driver wait-status <text> 60000` and returns its JSON. Non-ASCII
    texts go hex-encoded, past the command line's code page."""

    def __init__(self, prefix: harness.Prefix, driver: Path = DRIVER):
        self.prefix = prefix
        self.driver = driver

    def __getattr__(self, command: str):
        def call(*args):
            args = [harness.hexarg(a) if isinstance(a, str) and not a.isascii()
                    else int(a) if isinstance(a, bool) else a for a in args]
            return self.prefix.drive(command.replace("_", "-"), *args, driver=self.driver)
        return call

    def press(self, key: str) -> None:
        """A real keystroke through X (xdotool's key name): it passes the
        installer's dialog-key handling as a user's would."""
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{TITLE}$"],
                               capture_output=True, text=True)
        assert found.stdout.split(), "the installer window has no X window"
        subprocess.run(["xdotool", "windowfocus", "--sync", found.stdout.split()[0]], check=True, timeout=10)
        subprocess.run(["xdotool", "key", key], check=True, timeout=10)


class Installer:
    """One windowed installer process with the sample installer's controls in
    its environment (they pass on to the product installer it starts)."""

    def __init__(self, prefix: harness.Prefix, work: Path, env: dict | None = None,
                 command=None, folder: Path | None = None):
        """folder: run the installer and the driver from there instead."""
        self.prefix = prefix
        setup = folder / SETUP.name if folder else SETUP
        self.ui = Ui(prefix, folder / DRIVER.name if folder else DRIVER)
        self.record, self.hold = work / "sample-record.txt", work / "sample-hold"
        self.record.unlink(missing_ok=True)
        env = {"VANTREL_SAMPLE_RECORD": prefix.win_path(self.record),
               "VANTREL_SAMPLE_HOLD": prefix.win_path(self.hold), **(env or {})}
        self.proc = subprocess.Popen(command or [harness.loader(setup), str(setup)], env=prefix.env(env),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)

    def __enter__(self) -> "Installer":
        return self

    def __exit__(self, *exc) -> None:
        self.hold.unlink(missing_ok=True)
        if self.proc.poll() is None:
            # A failed test may leave the window or a box open; the next test
            # needs the single-instance mutex free.
            self.prefix.kill()
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def exit_code(self, timeout: float = 30) -> int:
        return self.proc.wait(timeout=timeout)

    def sample_record(self) -> dict:
        lines = self.record.read_text(encoding="utf-8").splitlines()
        return dict(line.split("=", 1) for line in lines if "=" in line)


# --------------------------------------------------------------------------
# Prefixes and content


def link_ui_font(prefix: harness.Prefix) -> None:
    """Captions and message boxes use Tahoma; link it to a CJK face so their
    Chinese text renders in screenshots (the values must be real multi-strings)."""
    key = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink"
    saved = (prefix.path / "system.reg").read_text(encoding="utf-8", errors="replace")
    if '"Tahoma"=str(7):"wqy-microhei.ttc,WenQuanYi Micro Hei' in saved:
        return
    for name in ("Tahoma", "Tahoma Bold"):
        prefix.reg_add(key, name, "REG_MULTI_SZ", "wqy-microhei.ttc,WenQuanYi Micro Hei")


def gui_prefix(prefix: harness.Prefix, dpi: int = 96) -> harness.Prefix:
    link_ui_font(prefix)
    if dpi != 96:
        prefix.reg_add(r"HKCU\Control Panel\Desktop", "LogPixels", "REG_DWORD", dpi)
    return prefix


@pytest.fixture(scope="module")
def desk96(win10, display):
    return gui_prefix(win10)


@pytest.fixture(scope="module")
def desk144(tmp_path_factory, display):
    prefix = gui_prefix(harness.fresh_prefix(tmp_path_factory.mktemp("dpi144"), "win10"), 144)
    yield prefix
    prefix.remove()


@pytest.fixture
def desk(request):
    """(prefix, dpi) for the parametrised DPI."""
    return request.getfixturevalue(f"desk{request.param}"), request.param


def publish_release(staging, drip: dict | None = None, **overrides) -> dict:
    values = staging.publish_package(PACKAGE_NAME, PACKAGE, **overrides)
    staging.publish_manifest({"windows": values, "win7": values})
    if drip:
        staging.rule("/downloads/" + PACKAGE_NAME, drip=drip)
    return values


def wait_for_file(path: Path, seconds: float = 30) -> None:
    deadline = time.monotonic() + seconds
    while not path.exists():
        assert time.monotonic() < deadline, f"{path.name} never appeared"
        time.sleep(0.05)


def count(staging, path: str) -> int:
    return staging.paths().count(path)


def assert_stopped_short(app: Installer, status: str) -> None:
    """A run that ended before the product installer: the status line alone
    says why, the bar is empty, the window is ready again and nothing started."""
    app.ui.wait_status(status)
    state = app.ui.wait_enabled("install", True)
    assert (state["status"]["text"], state["progress"]["pos"]) == (status, 0)
    assert (state["install"]["text"], state["cancel"]["text"]) == (REINSTALL, CLOSE)
    app.ui.no_box()
    assert not app.record.exists(), "nothing may start"


# --------------------------------------------------------------------------
# Screenshots and pixels


def ink_box(display, colour, left, top, right, bottom):
    """Pixels of exactly `colour` in a screen rectangle: their count and bounds."""
    width = right - left
    pixels = subprocess.run(["convert", f"xwd:{display.framebuffer}", "-crop",
                             f"{width}x{bottom - top}+{left}+{top}", "-depth", "8", "rgb:-"],
                            check=True, capture_output=True).stdout
    found = [(left + i % width, top + i // width) for i in range(len(pixels) // 3)
             if pixels[3 * i:3 * i + 3] == bytes(colour)]
    if not found:
        return 0, None
    xs, ys = [x for x, _ in found], [y for _, y in found]
    return len(found), (min(xs), min(ys), max(xs), max(ys))


def screenshot(display, name: str) -> Path:
    return display.screenshot(SHOTS / name)


# --------------------------------------------------------------------------
# Layout


@pytest.mark.parametrize("desk", [96, 144], indirect=True)
def test_layout_scales_with_the_screen_dpi(desk, tmp_path, display):
    prefix, dpi = desk
    with Installer(prefix, tmp_path) as app:
        state = app.ui.wait_window()
        assert state["title"] == TITLE
        assert state["client"]["width"] == scaled(460, dpi)
        assert state["client"]["height"] == scaled(264, dpi)
        expected = {"status": (28, 96, 404, 60), "progress": (28, 164, 404, 8),
                    "install": (264, 202, 168, 36), "cancel": (28, 202, 80, 36)}
        for name, (x, y, w, h) in expected.items():
            assert state[name]["rect"] == {"x": scaled(x, dpi), "y": scaled(y, dpi),
                                           "width": scaled(w, dpi), "height": scaled(h, dpi)}, name
        # Centred by the right and bottom edges of the work area.
        window, work = state["window"], state["work_area"]
        assert window["x"] == int((work["x"] + work["width"] - window["width"]) / 2)
        assert window["y"] == int((work["y"] + work["height"] - window["height"]) / 2)

        assert state["status"]["text"] == BANNER_WIN10
        assert state["progress"]["pos"] == 0
        assert (state["install"]["text"], state["install"]["enabled"]) == (INSTALL, True)
        assert (state["cancel"]["text"], state["cancel"]["enabled"]) == (CANCEL, True)
        screenshot(display, f"ready-{dpi}.png")

        # Painted heading and status text: exact colours, fonts scaled with
        # the DPI (the ink of CJK glyphs fills most of the character height).
        cx, cy = state["client"]["x"], state["client"]["y"]
        status = state["status"]["rect"]
        heading_pixels, heading = ink_box(display, HEADING_RGB, cx, cy, cx + state["client"]["width"],
                                          cy + status["y"])
        status_pixels, status_ink = ink_box(display, STATUS_RGB, cx + status["x"], cy + status["y"],
                                            cx + status["x"] + status["width"],
                                            cy + status["y"] + status["height"])
        assert heading_pixels > 100 and status_pixels > 30
        title_height, body_height = scaled(24, dpi), scaled(14, dpi)
        assert 0.75 * title_height <= heading[3] - heading[1] + 1 <= title_height
        assert 0.75 * body_height <= status_ink[3] - status_ink[1] + 1 <= body_height
        assert scaled(28, dpi) <= heading[0] - cx <= scaled(28, dpi) + 0.2 * title_height
        assert scaled(30, dpi) <= heading[1] - cy <= scaled(30, dpi) + 0.3 * title_height
        assert ink_box(display, (255, 255, 255), cx + 2, cy + 2, cx + 3, cy + 3)[0] == 1, "white background"

        app.ui.close()
        app.ui.wait_gone()
        assert app.exit_code() == 0


def test_windows7_banner_names_the_controlled_edition(win7, tmp_path, display):
    with Installer(gui_prefix(win7), tmp_path) as app:
        assert app.ui.wait_window()["status"]["text"] == BANNER_WIN7
        # G2 is among the host's roots and the runtime is present: the
        # install command asks nothing.
        app.ui.close()
        assert app.exit_code() == 0


def test_unit_window_tests_pass_with_a_display(win10, display):
    result = win10.run(UNIT, "--gtest_filter=MainWindow.*", timeout=120)
    assert result.returncode == 0, result.stdout[-3000:]
    assert "[  PASSED  ] 3 tests" in result.stdout and "SKIPPED" not in result.stdout, result.stdout[-3000:]


# --------------------------------------------------------------------------
# Runs


@pytest.mark.parametrize("desk", [96, 144], indirect=True)
def test_full_run_then_a_second_run(desk, staging, tmp_path, display):
    prefix, dpi = desk
    # About five seconds of pieces for the driver to see the bar move, and the
    # last one waits for the test, so the running state is read before the
    # end however slowly the driver runs.
    publish_release(staging, drip={"chunk": 65536, "delay_ms": 100, "hold": "go"})
    with Installer(prefix, tmp_path) as app:
        ui = app.ui
        ui.wait_window()
        ui.click("install")
        assert len(ui.wait_progress_moving()["positions"]) >= 2
        running = ui.state()
        assert not running["install"]["enabled"]
        assert running["status"]["text"].startswith("正在下载安装包：")
        assert (running["install"]["text"], running["cancel"]["text"]) == (INSTALL, CANCEL)
        screenshot(display, f"running-{dpi}.png")
        staging.publish("/go", b"")

        ui.wait_status(DONE)
        finished = ui.wait_enabled("install", True)
        assert finished["progress"]["pos"] == 100
        assert (finished["install"]["text"], finished["cancel"]["text"]) == (REINSTALL, CLOSE)
        assert app.sample_record()["args"] == "/SP-"
        assert re.search(r"\\VantrelSetup-[0-9a-f]{32}$", app.sample_record()["cwd"])
        ui.no_box(300)
        screenshot(display, f"finished-{dpi}.png")

        # Again, from the finished state: the same sequence from the start.
        app.record.unlink()
        ui.click("install")
        ui.wait_status("正在下载安装包：")
        staging.publish("/go", b"")
        ui.wait_status(DONE)
        again = ui.wait_enabled("install", True)
        assert (again["install"]["text"], again["cancel"]["text"]) == (REINSTALL, CLOSE)
        assert app.sample_record()["args"] == "/SP-"
        assert count(staging, "/downloads/release.ini") == 2
        assert count(staging, "/downloads/" + PACKAGE_NAME) == 2

        ui.click("cancel")  # reads "关闭" now; idle, so it closes
        ui.wait_gone()
        assert app.exit_code() == 0
    assert prefix.workspaces() == []


# name: (the release's manifest changes, the answer of the user's proxy to
# CONNECT or None for no proxy and the server reachable, the status line).
# Behind a proxy the failure shown is the proxied attempt's, not the direct
# one's (12029). Windows shows a proxy's 407 as "下载服务器返回 HTTP 407";
# Wine 8's WinHTTP ignores the status of the answer to CONNECT and fails the
# TLS handshake over the closed tunnel instead.
FAILED_RUNS = {
    "wrong digest": ({"sha256": "0" * 64}, None, "安装包 SHA-256 校验失败，已拒绝运行。"),
    "proxy refuses the tunnel (407)": ({}, 407, "下载连接失败，请检查网络、系统时间和证书（错误码 12157）"),
}


@pytest.mark.parametrize("case", list(FAILED_RUNS))
def test_failed_run_reports_in_the_status_line_only(desk96, staging, tmp_path, case):
    changes, proxy_answer, status = FAILED_RUNS[case]
    publish_release(staging, **changes)
    with contextlib.ExitStack() as behind_proxy:
        if proxy_answer:
            staging.rule(f"localhost:{harness.CONFIG['product_port']}", status=proxy_answer)
            tunnel = behind_proxy.enter_context(staging.tunnel())
            desk96.set_user_proxy(proxy=f"127.0.0.1:{tunnel.ports['tunnel']}")
            behind_proxy.callback(desk96.set_user_proxy)
        with Installer(desk96, tmp_path) as app:
            ui = app.ui
            ui.wait_window()
            ui.click("install")
            assert_stopped_short(app, status)
            ui.close()
            assert app.exit_code() == 0


def test_cancel_during_a_slow_download_then_start_again(desk96, staging, tmp_path):
    # Each chunk well inside the installer's 15 s network timeout.
    slow = 1500
    publish_release(staging, drip={"chunk": 16384, "delay_ms": slow})
    with Installer(desk96, tmp_path) as app:
        ui = app.ui
        ui.wait_window()
        ui.click("install")
        ui.wait_status("正在下载安装包：")
        ui.click("cancel")
        ui.wait_status(CANCELLING, slow)
        assert_stopped_short(app, CANCELLED)

        # The next run starts with the cancel request cleared.
        staging.rule("/downloads/" + PACKAGE_NAME)
        ui.click("install")
        ui.wait_status(DONE)
        ui.wait_enabled("install", True)
        assert app.sample_record()["args"] == "/SP-"
        ui.close()
        ui.wait_gone()
        assert app.exit_code() == 0


def test_closing_is_refused_while_the_product_installer_runs(desk96, staging, tmp_path):
    publish_release(staging)
    with Installer(desk96, tmp_path) as app:
        ui = app.ui
        app.hold.touch()
        ui.wait_window()
        ui.click("install")
        ui.wait_status(WIZARD_OPEN)
        before = ui.state()
        assert before["progress"]["pos"] == 100 and not before["install"]["enabled"]
        # The text goes up just before the wizard starts, and the window shows
        # a new kind of text at once.
        wait_for_file(app.record)

        for attempt, act in (("close box", ui.close_box), ("cancel button", lambda: ui.click("cancel")),
                             ("Esc", lambda: ui.press("Escape"))):
            act()
            box = ui.answer("ok")
            assert (box["caption"], box["text"]) == ("岚禾舟", FINISH_WIZARD_FIRST), attempt
            assert box["buttons"] == [IDOK] and not box["icon"] and box["owner"] == "main", attempt
            after = ui.state()
            for key in ("status", "progress", "install", "cancel", "title"):
                assert after[key] == before[key], (attempt, key)
            assert app.proc.poll() is None

        app.hold.unlink()
        ui.wait_status(DONE)
        ui.wait_enabled("install", True)
        assert count(staging, "/downloads/release.ini") == 1
        ui.close()
        assert app.exit_code() == 0


@pytest.mark.parametrize("keys, focus, installs", [
    (["Return"], None, True),                 # Enter acts as the install button
    (["Escape"], None, False),                # Esc closes the window
    (["Tab", "Tab", "Return"], "cancel", False),  # Enter presses the focused cancel button
], ids=["enter", "esc", "tab-tab-enter"])
def test_dialog_keys_in_the_ready_state(desk96, staging, tmp_path, keys, focus, installs):
    publish_release(staging)
    with Installer(desk96, tmp_path) as app:
        app.ui.wait_window()
        for key in keys[:-1]:
            app.ui.press(key)
        assert focus is None or app.ui.state()["focus"] == focus
        app.ui.press(keys[-1])
        if installs:
            app.ui.wait_status(DONE)
            assert app.ui.wait_enabled("install", True)["install"]["text"] == REINSTALL
            app.ui.close()
        app.ui.wait_gone()
        assert app.exit_code() == 0
    assert count(staging, "/downloads/release.ini") == int(installs)


def test_second_windowed_instance_is_refused(desk96, tmp_path):
    (tmp_path / "first").mkdir()
    with Installer(desk96, tmp_path / "first") as first:
        before = first.ui.wait_window()
        with Installer(desk96, tmp_path) as second:
            box = second.ui.box()
            assert (box["caption"], box["text"]) == ("岚禾舟", ALREADY_RUNNING)
            assert box["owner"] == "none" and box["buttons"] == [IDOK]
            assert box["pid"] != before["pid"]
            second.ui.answer("ok")
            assert second.exit_code() == 1
        after = first.ui.state()
        for key in ("title", "status", "progress", "install", "cancel", "window"):
            assert after[key] == before[key], key
        first.ui.close()
        assert first.exit_code() == 0


# How the program reads its command line: the argument text as it stands,
# not split, trimmed or unquoted (the unit tables check the rule itself,
# case and every mode, on the text it is given).
@pytest.mark.parametrize("arguments", ["--verify ", '"--verify"', "--verify x"])
def test_other_command_lines_open_the_window(desk96, staging, arguments):
    # The driver starts the installer with exactly this argument text and
    # reports its exit code.
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        runner = pool.submit(desk96.run, DRIVER, "run", desk96.win_path(SETUP), harness.hexarg(arguments))
        try:
            assert Ui(desk96).wait_window()["title"] == TITLE
            Ui(desk96).close()
            assert json.loads(runner.result(timeout=60).stdout.splitlines()[-1])["exit"] == 0
        finally:
            if not runner.done():
                desk96.kill()
    assert staging.paths() == [], "the windowed mode downloads nothing by itself"


# --------------------------------------------------------------------------
# Windows 7: runtime update and root certificate


@pytest.fixture(scope="module")
def runtime_package():
    target = harness.BUILD_DIR / "fixtures" / "runtime.msu"
    if not target.exists():
        script = harness.SOURCE_DIR / "tools/make_runtime_package.sh"
        if not script.exists() or not shutil.which("osslsigncode") or not shutil.which("gcab"):
            pytest.skip("the signed runtime package can't be made here")
        subprocess.run([str(script), str(harness.BUILD_DIR)], check=True, capture_output=True)
    data = target.read_bytes()
    if len(data) != harness.CONFIG["runtime_size"]:
        pytest.skip("this build doesn't pin the staging runtime package")
    return data


@pytest.fixture(scope="module")
def win7_without_runtime(tmp_path_factory, display):
    """Windows 7 whose native ucrtbase.dll can be removed and put back by the
    wusa.exe double. Wine's own 64-bit DLLs import that file, so the installer
    and the driver run from a folder holding a copy (the loader looks beside
    the program first), and a holder process started while the file is there
    keeps the prefix's services and desktop alive: they could not start again
    without it. The product installer only starts once the double has put the
    file back."""
    root = tmp_path_factory.mktemp("win7-noucrt")
    prefix = gui_prefix(harness.fresh_prefix(root, "win7"))
    shutil.copy(WUSA, prefix.system32() / "wusa.exe")
    prefix.reg_add(r"HKCU\Software\Wine\DllOverrides", "wusa.exe", "REG_SZ", "native")
    runtime = prefix.system32() / "ucrtbase.dll"
    folder = root / "app"
    folder.mkdir()
    for source in (SETUP, DRIVER, runtime):
        shutil.copy(source, folder)
    saved = root / "ucrtbase.dll.saved"
    shutil.copy(runtime, saved)
    keep = root / "keep-desktop"
    keep.touch()
    holder = subprocess.Popen([harness.loader(DRIVER), str(DRIVER), "hold", prefix.win_path(keep)],
                              env=prefix.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    try:
        assert "holding" in holder.stdout.readline()
        yield prefix, folder, runtime, saved
    finally:
        shutil.copy(saved, runtime)
        keep.unlink()
        try:
            holder.wait(timeout=15)
        finally:
            prefix.remove()


def decline_then_accept(app: Installer, staging, caption: str, question: str, banner: str) -> None:
    """No: nothing starts and the window stays as it was, so the next press
    asks again. Yes: the product installs in the same run."""
    ui = app.ui
    ui.click("install")
    box = ui.answer("no")
    assert (box["caption"], box["text"]) == (caption, question)
    assert box["buttons"] == [IDYES, IDNO] and box["icon"] and box["owner"] == "main"
    ui.no_box()
    state = ui.state()
    assert (state["install"]["enabled"], state["install"]["text"]) == (True, INSTALL)
    assert state["status"]["text"] == banner
    assert staging.paths() == []

    ui.click("install")
    assert ui.answer("yes")["text"] == question
    ui.wait_status(DONE, 60000)
    ui.wait_enabled("install", True)
    assert app.sample_record()["args"] == "/SP-"


def test_windows7_runtime_question_update_and_product_in_one_run(
        win7_without_runtime, runtime_package, staging, tmp_path):
    prefix, folder, runtime, saved = win7_without_runtime
    runtime.unlink(missing_ok=True)
    staging.publish(harness.CONFIG["runtime_path"], runtime_package)
    publish_release(staging)
    wusa_record = tmp_path / "wusa-record.txt"
    env = {"VANTREL_WUSA_RECORD": prefix.win_path(wusa_record), "VANTREL_WUSA_EXIT": 3010,
           "VANTREL_WUSA_INSTALL": 1, "VANTREL_WUSA_UCRT_SOURCE": prefix.win_path(saved)}
    with Installer(prefix, tmp_path, env=env, folder=folder) as app:
        ui = app.ui
        assert ui.wait_window()["status"]["text"] == BANNER_WIN7_RUNTIME
        # The update, then the product, in the same run.
        decline_then_accept(app, staging, "安装系统运行库", RUNTIME_QUESTION, BANNER_WIN7_RUNTIME)
        wusa = dict(line.split("=", 1) for line in wusa_record.read_text(encoding="utf-8").splitlines())
        assert wusa["args"].endswith('\\Windows6.1-KB2999226-x64.msu" /quiet /norestart')
        assert wusa["package"] == "1"
        assert runtime.exists()
        paths = staging.paths()
        assert paths.index(harness.CONFIG["runtime_path"]) < paths.index("/downloads/release.ini")

        # The runtime is there now: no question, no second update.
        wusa_record.unlink()
        app.record.unlink()
        ui.click("install")
        ui.no_box()
        wait_for_file(app.record)
        ui.wait_status(DONE)
        ui.wait_enabled("install", True)
        assert not wusa_record.exists()
        assert count(staging, harness.CONFIG["runtime_path"]) == 1
        ui.close()
        assert app.exit_code() == 0


def test_windows7_missing_root_certificate_is_asked_for_then_added(staging, tmp_path, display):
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("hiding a host root needs root and unshare")
    prefix = gui_prefix(harness.fresh_prefix(tmp_path, "win7"))
    try:
        publish_release(staging)
        bundle = harness.bundle_without_g2(tmp_path)
        prefix.kill()
        # The installer starts the prefix's wineserver inside a mount namespace
        # where the host bundle lacks G2; the driver joins that server from
        # outside.
        script = 'mount --bind "$1" "$2" || exit 99; shift 2; "$@"'
        command = ["unshare", "-m", "--", "sh", "-c", script, "sh", str(bundle), HOST_BUNDLE,
                   harness.loader(SETUP), str(SETUP)]
        with Installer(prefix, tmp_path, command=command) as app:
            assert app.ui.wait_window()["status"]["text"] == BANNER_WIN7
            decline_then_accept(app, staging, "安装兼容证书", CERTIFICATE_QUESTION, BANNER_WIN7)
            app.ui.close()
            assert app.exit_code() == 0
        # The elevated helper's private copy went with its folder.
        assert prefix.workspaces() == []
        prefix.kill()
        thumb = hashlib.sha1(G2).hexdigest().upper()
        assert thumb in (prefix.path / "system.reg").read_text(encoding="utf-8", errors="replace")
    finally:
        prefix.remove()
