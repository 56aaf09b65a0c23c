"""The packages under Wine: the ZIP's contents, version information, and the per-user installer
as users meet it: first install, upgrade over running copies, a file held by another program, the
WebView2 Runtime, the user's language, and the uninstaller."""
import os
import pathlib
import subprocess
import threading
import time
import unittest
import zipfile

from driver import (DIALOG, IDCANCEL, IDNO, IDOK, IDYES, PROGRAM, WINE, WM_COMMAND, Program,
                    ProgramTestCase, install_folder, uninstall, user_folder, wait_until,
                    windows_path)

ZIP = os.environ.get("OSTREL_PACKAGE_ZIP", "")
INSTALLER = os.environ.get("OSTREL_PACKAGE_INSTALLER", "")
VERSION = os.path.basename(INSTALLER).split("-")[1]  # OstrelBrowser-<version>-win64.exe
FILES = {"OstrelBrowser.exe", "WebView2Loader.dll", "LICENSE.txt", "WebView2-LICENSE.txt",
         "WebView2-NOTICE.txt"}
WEBVIEW2_DOWNLOAD_PAGE_URL = os.environ.get("OSTREL_WEBVIEW2_DOWNLOAD_PAGE_URL", "")
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\OstrelBrowser"
RUNTIME_CLIENT = r"Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"
RUNTIME_KEYS = {"machine": r"HKLM\SOFTWARE\WOW6432Node" + "\\" + RUNTIME_CLIENT,
                "user": r"HKCU\Software" + "\\" + RUNTIME_CLIENT}
FOLDER = pathlib.Path(install_folder())
INSTALLED, DATA = FOLDER / "OstrelBrowser.exe", FOLDER / "OstrelBrowser.exe.WebView2"


def reg(*args):
    """Runs Wine's reg.exe; returns its output, or None where it failed (a missing key)."""
    done = subprocess.run([WINE, "reg", *args], capture_output=True, text=True)
    return done.stdout if done.returncode == 0 else None


def version_strings(path, keys=("ProductName", "OriginalFilename", "InternalName", "CompanyName",
                                 "FileVersion", "ProductVersion", "LegalCopyright")):
    """Values of a PE file's version resource (read with icoutils' wrestool): each key's UTF-16
    text is followed, after NUL padding, by its value."""
    data = subprocess.run(["wrestool", "-x", "--raw", "--type=16", path], capture_output=True,
                          check=True).stdout
    words = [w for w in data.decode("utf-16-le", "replace").split("\0") if w]
    return {key: value for word, value in zip(words, words[1:]) for key in keys
            if word.endswith(key)}


def with_stale_marker(path):
    """Appends a byte, so the installed file differs from the one a new install writes."""
    path.write_bytes(path.read_bytes() + b"\0")
    return path.read_bytes()


class PackageTest(ProgramTestCase):
    def setUp(self):
        super().setUp()
        self.addCleanup(self.uninstall)

    def install(self, *args, env=None):
        return Program(INSTALLER, "/S", *args, env=env).exit_code(90)

    def uninstall(self):
        uninstall()
        for key in RUNTIME_KEYS.values():
            reg("delete", key, "/f")

    def start_installed(self, count):
        programs = [self.start(INSTALLED) for _ in range(count)]
        self.assertTrue(wait_until(lambda: len(self.windows()) == count))
        return programs

    def test_zip_holds_the_program_folder(self):
        with zipfile.ZipFile(ZIP) as package:
            self.assertEqual(set(package.namelist()), FILES)

    def test_program_and_installer_carry_version_information(self):
        program = version_strings(PROGRAM)
        self.assertIn("Copyright", program.pop("LegalCopyright"))
        self.assertEqual(program, {"ProductName": "Ostrel Browser", "CompanyName": "Ostrel",
                                   "OriginalFilename": "OstrelBrowser.exe",
                                   "InternalName": "OstrelBrowser", "FileVersion": VERSION,
                                   "ProductVersion": VERSION})
        self.assertEqual(version_strings(INSTALLER)["ProductVersion"], VERSION)

    def test_install_upgrade_over_running_copies_and_uninstall(self):
        self.assertEqual(self.install(), 0)
        self.assertEqual(set(os.listdir(FOLDER)), FILES | {"Uninstall.exe"})
        self.assertIsNotNone(reg("query", UNINSTALL_KEY, "/v", "EstimatedSize"))
        shortcut = user_folder("AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                               "Programs", "Ostrel Browser.lnk")
        self.assertTrue(os.path.isfile(shortcut))

        # An optional update leaves the program running while the user installs the new one.
        DATA.mkdir()
        (DATA / "Cookies").write_text("session")
        with_stale_marker(INSTALLED)
        first, second = self.start_installed(2)
        self.assertEqual(self.install(), 0)
        self.assertExitsWith(first, 0)
        self.assertExitsWith(second, 0)
        self.assertEqual(INSTALLED.read_bytes(), pathlib.Path(PROGRAM).read_bytes())
        self.assertEqual((DATA / "Cookies").read_text(), "session")

        # The uninstaller closes a running copy too, and removes everything, data included, once
        # the web view's runtime (here the helper, for three seconds) lets go of it.
        program, = self.start_installed(1)
        self.helper("hold", windows_path(DATA / "Cookies"))
        threading.Timer(3, self.helper.kill).start()
        self.uninstall()
        self.assertExitsWith(program, 0)
        self.assertFalse(os.path.exists(FOLDER))
        self.assertFalse(os.path.exists(shortcut))
        self.assertIsNone(reg("query", UNINSTALL_KEY))

    def test_upgrade_goes_where_the_user_installed(self):
        chosen = pathlib.Path(user_folder("Chosen"))
        self.addCleanup(uninstall, chosen)
        self.assertEqual(self.install(f"/D={windows_path(chosen)}"), 0)
        stale = with_stale_marker(chosen / "OstrelBrowser.exe")
        self.assertEqual(self.install(), 0)
        self.assertNotEqual((chosen / "OstrelBrowser.exe").read_bytes(), stale)
        self.assertFalse(FOLDER.exists())

    def test_older_installer_over_a_newer_version_goes_back_only_when_asked(self):
        self.assertEqual(self.install(), 0)
        reg("add", UNINSTALL_KEY, "/v", "DisplayVersion", "/d", "9.0.0", "/f")
        newer = with_stale_marker(INSTALLED)
        self.assertEqual(self.install(), 3)
        asking = Program(INSTALLER, env={"LANG": "en_US.UTF-8"})
        self.assertIn("A newer version of Ostrel Browser, 9.0.0, is installed. Replace it with "
                      f"version {VERSION}?", self.prompt()["text"])
        self.answer(IDNO)
        self.assertEqual(asking.exit_code(30), 3)
        self.assertEqual(INSTALLED.read_bytes(), newer)
        self.assertIn("9.0.0", reg("query", UNINSTALL_KEY, "/v", "DisplayVersion"))
        self.assertEqual(self.install("/ALLOWDOWNGRADE"), 0)
        self.assertNotEqual(INSTALLED.read_bytes(), newer)

    def test_file_held_by_another_program_fails_the_install_and_keeps_the_old_files(self):
        self.assertEqual(self.install(), 0)
        old = [with_stale_marker(FOLDER / name) for name in ("OstrelBrowser.exe", "LICENSE.txt")]
        self.assertEqual(self.helper("hold", windows_path(INSTALLED))["result"], 1)
        self.assertNotEqual(self.install(), 0)
        self.assertEqual([(FOLDER / n).read_bytes() for n in ("OstrelBrowser.exe", "LICENSE.txt")],
                         old)

    def test_webview2_bootstrapper_runs_only_while_the_runtime_is_missing(self):
        cases = [  # recorded versions, whether the stand-in fails, whether it runs
            ({}, False, True),
            ({"machine": "120.0.2210.91"}, False, False),
            ({"user": "120.0.2210.91"}, False, False),
            ({"machine": "0.0.0.0", "user": ""}, False, True),
            ({}, True, True),
        ]
        for versions, fails, runs in cases:
            with self.case(versions=versions, fails=fails):
                for where, version in versions.items():
                    reg("add", RUNTIME_KEYS[where], "/v", "pv", "/d", version, "/f")
                log = self.log_file()
                env = {"OSTREL_BOOTSTRAPPER_LOG": log, "OSTREL_BOOTSTRAPPER_FAIL": "1" * fails}
                self.assertEqual(self.install(env=env), 0)
                self.assertTrue(INSTALLED.is_file())
                self.assertEqual(pathlib.Path(log).read_text().split(),
                                 ["/silent", "/install"] if runs else [])

    def test_interactive_install_without_a_runtime_offers_its_page_then_starts_the_program(self):
        opened = pathlib.Path(self.log_file())
        installer = Program(INSTALLER, env={"OSTREL_BOOTSTRAPPER_FAIL": "1", "LANG": "en_US.UTF-8",
                                            "OSTREL_OPEN_LOG": str(opened)})
        wizard = self.prompt()["hwnd"]
        self.helper("post", wizard, WM_COMMAND, IDOK, 0)  # Install, on the folder page
        self.assertTrue(wait_until(lambda: len(self.windows(DIALOG)) == 2))
        self.assertIn("Microsoft Edge WebView2 Runtime", self.prompt()["text"])
        self.answer(IDYES)
        self.assertTrue(wait_until(opened.read_text))
        self.assertEqual(opened.read_text().split(), ["open", WEBVIEW2_DOWNLOAD_PAGE_URL])
        for page in ("installing", "finish"):  # Next, then Finish with "Run" checked
            time.sleep(1)
            self.helper("post", wizard, WM_COMMAND, IDOK, 0)
        self.assertExitsWith(installer, 0)
        self.assertEqual(self.main_window()["title"], "Ostrel Browser")

    def test_installer_speaks_the_users_language(self):
        for lang, text in (("zh_CN.UTF-8", "Ostrel Browser 正在运行，将被关闭。"),
                           ("en_US.UTF-8", "Ostrel Browser is running and will be closed.")):
            with self.case(lang=lang):
                program = self.start(PROGRAM)
                self.main_window()
                installer = Program(INSTALLER, env={"LANG": lang, "LC_ALL": lang})
                self.assertEqual(self.prompt()["text"], text)
                self.answer(IDCANCEL)
                self.assertNotEqual(installer.exit_code(30), 0)
                self.assertTrue(program.running())
                self.assertFalse(os.path.exists(FOLDER))
                self.close(program)


if __name__ == "__main__":
    unittest.main()
