"""The packages under Wine: the ZIP's contents, version information, and the per-user installer
as users meet it: first install, upgrade over running copies, a file held by another program, the
WebView2 Runtime, the user's language, and the uninstaller."""
import os
import pathlib
import re
import subprocess
import threading
import zipfile

import pytest

from support import (DIALOG, IDCANCEL, IDNO, IDOK, IDYES, PROGRAM, PROGRAM_WITH_DOUBLE, WINE,
                     WM_CLOSE, WM_COMMAND, Program,
                     uninstall, user_folder, wait_until, windows_path)

ZIP, INSTALLER = os.environ.get("OSTREL_PACKAGE_ZIP", ""), os.environ.get("OSTREL_PACKAGE_INSTALLER", "")
VERSION = os.path.basename(INSTALLER).split("-")[1]  # OstrelBrowser-<version>-win64.exe
FILES = {"OstrelBrowser.exe", "WebView2Loader.dll", "LICENSE.txt", "WebView2-LICENSE.txt",
         "WebView2-NOTICE.txt"}
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\OstrelBrowser"
RUNTIME_CLIENT = r"Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"
RUNTIME_KEYS = {"machine": r"HKLM\SOFTWARE\WOW6432Node" + "\\" + RUNTIME_CLIENT,
                "user": r"HKCU\Software" + "\\" + RUNTIME_CLIENT}


def reg(*args):
    """Runs Wine's reg.exe; returns its output, or None where it failed (a missing key)."""
    done = subprocess.run([WINE, "reg", *args], capture_output=True, text=True)
    return done.stdout if done.returncode == 0 else None


def install(*args, env=None):
    return Program(INSTALLER, "/S", *args, env=env).exit_code(90)


def with_stale_marker(path):
    """Appends a byte, so the installed file differs from the one a new install writes."""
    path.write_bytes(path.read_bytes() + b"\0")
    return path.read_bytes()


@pytest.fixture
def folder(desk):
    """The install folder, empty before the test and after it, once the test's programs ended."""
    folder = user_folder("AppData", "Local", "Programs", "Ostrel Browser")
    yield folder
    desk.end()
    uninstall(folder)
    for key in RUNTIME_KEYS.values():
        reg("delete", key, "/f")


def test_zip_holds_the_program_folder_and_both_files_carry_the_version():
    with zipfile.ZipFile(ZIP) as package:
        assert set(package.namelist()) == FILES
    for path, keys in ((PROGRAM, ("FileVersion", "ProductVersion")), (INSTALLER, ("ProductVersion",))):
        data = subprocess.run(["wrestool", "-x", "--raw", "--type=16", path], capture_output=True,
                              check=True).stdout.decode("utf-16-le", "replace")
        for key in keys:  # the key, NUL padding, then the value
            assert re.search(f"{key}\0+{re.escape(VERSION)}\0", data), (path, key)


def test_install_upgrade_over_running_copies_and_uninstall(desk, folder):
    installed, data = folder / "OstrelBrowser.exe", folder / "OstrelBrowser.exe.WebView2"
    assert install() == 0
    assert set(os.listdir(folder)) == FILES | {"Uninstall.exe"}
    assert reg("query", UNINSTALL_KEY, "/v", "EstimatedSize") is not None
    shortcut = user_folder("AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs",
                           "Ostrel Browser.lnk")
    assert shortcut.is_file()
    # An optional update leaves the program running while the user installs the new one.
    data.mkdir()
    (data / "Cookies").write_text("session")
    with_stale_marker(installed)
    running = [desk.start(str(installed)) for _ in range(2)]
    assert wait_until(lambda: len(desk.windows()) == 2)
    assert install() == 0
    assert [program.exit_code() for program in running] == [0, 0]
    assert installed.read_bytes() == pathlib.Path(PROGRAM).read_bytes()
    assert (data / "Cookies").read_text() == "session"
    # The uninstaller closes a running copy too, and removes everything, data included, once the
    # web view's runtime (here the helper, for three seconds) lets go of it.
    program = desk.start(str(installed))
    desk.first_window()
    desk.helper("hold", windows_path(data / "Cookies"))
    threading.Timer(3, desk.helper.kill).start()
    uninstall(folder)
    assert program.exit_code() == 0
    assert not folder.exists() and not shortcut.exists()
    assert reg("query", UNINSTALL_KEY) is None


def test_the_programs_own_update_asks_each_page_then_starts_the_new_version(desk, folder):
    installed = folder / "OstrelBrowser.exe"
    assert install() == 0
    # Pages shaped by the test: the web view double in place of the loader.
    (folder / "WebView2Loader.dll").write_bytes((pathlib.Path(PROGRAM_WITH_DOUBLE).parent /
                                                 "WebView2Loader.dll").read_bytes())
    stale = with_stale_marker(installed)
    stays = desk.start(str(installed), env={"OSTREL_WEBVIEW_PAGE": "stays"})
    desk.first_window()
    assert install("/RESTART") == 2 and stays.running() and installed.read_bytes() == stale
    stays.kill()
    leaves = desk.start(str(installed))
    desk.first_window()
    assert install("/RESTART") == 0 and leaves.exit_code() == 0 and installed.read_bytes() != stale
    desk.message("post", WM_CLOSE, window=desk.first_window()["hwnd"])  # the new version's
    assert wait_until(lambda: not desk.windows())


def test_upgrade_goes_where_the_user_installed(folder):
    chosen = user_folder("Chosen")
    try:
        assert install(f"/D={windows_path(chosen)}") == 0
        stale = with_stale_marker(chosen / "OstrelBrowser.exe")
        assert install() == 0
        assert (chosen / "OstrelBrowser.exe").read_bytes() != stale and not folder.exists()
    finally:
        uninstall(chosen)


def test_older_installer_over_a_newer_version_goes_back_only_when_asked(desk, folder):
    installed = folder / "OstrelBrowser.exe"
    assert install() == 0
    reg("add", UNINSTALL_KEY, "/v", "DisplayVersion", "/d", "9.0.0", "/f")
    newer = with_stale_marker(installed)
    assert install() == 3
    asking = desk.start(INSTALLER, env={"LANG": "en_US.UTF-8"})
    assert (f"A newer version of Ostrel Browser, 9.0.0, is installed. Replace it with version "
            f"{VERSION}?") in desk.prompt()["text"]
    desk.answer(IDNO)
    assert asking.exit_code(30) == 3
    assert installed.read_bytes() == newer
    assert "9.0.0" in reg("query", UNINSTALL_KEY, "/v", "DisplayVersion")
    assert install("/ALLOWDOWNGRADE") == 0
    assert installed.read_bytes() != newer


def test_file_held_by_another_program_fails_the_install_and_keeps_the_old_files(desk, folder):
    assert install() == 0
    old = [with_stale_marker(folder / name) for name in ("OstrelBrowser.exe", "LICENSE.txt")]
    assert desk.helper("hold", windows_path(folder / "OstrelBrowser.exe"))["result"] == 1
    assert install() != 0
    assert [(folder / n).read_bytes() for n in ("OstrelBrowser.exe", "LICENSE.txt")] == old


# Recorded runtime versions, whether the stand-in fails: whether it runs.
@pytest.mark.parametrize("versions, fails, runs", [
    ({}, False, True), ({"machine": "120.0.2210.91"}, False, False),
    ({"user": "120.0.2210.91"}, False, False), ({"machine": "0.0.0.0", "user": ""}, False, True),
    ({}, True, True)])
def test_webview2_bootstrapper_runs_only_while_the_runtime_is_missing(folder, tmp_path, versions,
                                                                      fails, runs):
    for where, version in versions.items():
        reg("add", RUNTIME_KEYS[where], "/v", "pv", "/d", version, "/f")
    log = tmp_path / "bootstrapper.log"
    log.write_text("")
    env = {"OSTREL_BOOTSTRAPPER_LOG": str(log), "OSTREL_BOOTSTRAPPER_FAIL": "1" * fails}
    assert install(env=env) == 0
    assert (folder / "OstrelBrowser.exe").is_file()
    assert log.read_text().split() == (["/silent", "/install"] if runs else [])


def test_interactive_install_without_a_runtime_offers_its_page_then_starts_the_program(
        desk, folder, tmp_path):
    opened = tmp_path / "opened.log"
    opened.write_text("")
    installer = desk.start(INSTALLER, env={"OSTREL_BOOTSTRAPPER_FAIL": "1", "LANG": "en_US.UTF-8",
                                           "OSTREL_OPEN_LOG": str(opened)})
    wizard = desk.prompt()["hwnd"]
    desk.helper("post", wizard, WM_COMMAND, IDOK, 0)  # Install, on the folder page
    assert wait_until(lambda: len(desk.windows(DIALOG)) == 2)
    assert "Microsoft Edge WebView2 Runtime" in desk.prompt()["text"]
    desk.answer(IDYES)
    assert wait_until(opened.read_text)
    assert opened.read_text().split() == ["open", os.environ["OSTREL_WEBVIEW2_DOWNLOAD_PAGE_URL"]]
    # Finish, with "Run" checked, once the installer has moved on to that page by itself.
    assert wait_until(lambda: "Finish" in desk.helper("info", wizard)["ok"])
    desk.helper("post", wizard, WM_COMMAND, IDOK, 0)
    assert installer.exit_code() == 0
    assert desk.first_window()["title"] == "Ostrel Browser"


@pytest.mark.parametrize("lang, text", [("zh_CN.UTF-8", "Ostrel Browser 正在运行，将被关闭。"),
                                        ("en_US.UTF-8", "Ostrel Browser is running and will be closed.")])
def test_installer_speaks_the_users_language(desk, folder, lang, text):
    program = desk.start(PROGRAM)
    desk.first_window()
    installer = Program(INSTALLER, env={"LANG": lang, "LC_ALL": lang})
    assert desk.prompt()["text"] == text
    desk.answer(IDCANCEL)
    assert installer.exit_code(30) != 0
    assert program.running() and not folder.exists()
    desk.close(program)
