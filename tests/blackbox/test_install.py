"""The packages: the ZIP's contents, and the per-user installer under Wine, silent both ways."""
import glob
import os
import subprocess
import time
import unittest
import zipfile

from driver import WINE, WM_CLOSE, Program, ProgramTestCase

ZIP = os.environ.get("OSTREL_PACKAGE_ZIP", "")
INSTALLER = os.environ.get("OSTREL_PACKAGE_INSTALLER", "")
FILES = {"OstrelBrowser.exe", "WebView2Loader.dll", "LICENSE.txt", "WebView2-LICENSE.txt",
         "WebView2-NOTICE.txt"}
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\OstrelBrowser"


def user_folder(*parts):
    users = [u for u in glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c/users/*"))
             if not u.endswith("/Public")]
    return os.path.join(users[0], *parts)


def registered():
    query = subprocess.run([WINE, "reg", "query", UNINSTALL_KEY], capture_output=True, text=True)
    return "Ostrel Browser" in query.stdout


class PackageTest(ProgramTestCase):
    def test_zip_holds_the_program_folder(self):
        with zipfile.ZipFile(ZIP) as package:
            self.assertEqual(set(package.namelist()), FILES)

    def test_silent_install_run_and_uninstall(self):
        folder = user_folder("AppData", "Local", "Programs", "Ostrel Browser")
        shortcut = user_folder("AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                               "Programs", "Ostrel Browser.lnk")
        self.assertEqual(Program(INSTALLER, "/S").exit_code(60), 0)
        self.assertEqual(set(os.listdir(folder)), FILES | {"Uninstall.exe"})
        self.assertTrue(os.path.isfile(shortcut))
        self.assertTrue(registered())

        program = self.start(os.path.join(folder, "OstrelBrowser.exe"))
        self.assertEqual(self.main_window()["title"], "Ostrel Browser")
        self.helper("post", "main", WM_CLOSE, 0, 0)
        self.assertExitsWith(program, 0)

        # The uninstaller runs on from a copy of itself, so its end shows in what it removes.
        self.assertEqual(Program(os.path.join(folder, "Uninstall.exe"), "/S").exit_code(60), 0)
        deadline = time.monotonic() + 30
        while os.path.exists(folder) and time.monotonic() < deadline:
            time.sleep(0.5)
        self.assertFalse(os.path.exists(folder))
        self.assertFalse(os.path.exists(shortcut))
        self.assertFalse(registered())


if __name__ == "__main__":
    unittest.main()
