"""The update prompt end to end: the local update endpoint offers, the window helper reads and
answers the box, and the open recorder (the prefix's http, https and file handler) notes what the
shell was asked to open."""
import os
import subprocess
import time
import unittest

from driver import (DOWNLOAD_PAGE_URL, IDNO, IDOK, IDYES, WM_CLOSE, WM_UPDATE_AVAILABLE,
                    ProgramTestCase, windows_path)

OPEN_RECORDER = os.environ.get("OSTREL_OPEN_RECORDER", "")
ARTIFACT_DIR = os.environ.get("OSTREL_ARTIFACT_DIR", "")
RULES = "--------------------\n--------------------\n\n"
CLOSING = "推荐您立即更新以获取最佳体验。\n\n是否现在更新？"
BARE_TEXT = "更新内容:\n" + RULES + CLOSING


def document(**values):
    """An update document written as the service writes it: raw UTF-8, no escapes decoded."""
    fields = []
    for key, value in values.items():
        fields.append(f'"{key}": {value}' if isinstance(value, str) and value in ("true", "false")
                      else f'"{key}": "{value}"')
    return ("{" + ", ".join(fields) + "}").encode()


class UpdatePromptTest(ProgramTestCase):
    def start_offering(self, body, **kwargs):
        self.serve(body, **kwargs)
        self.open_log = self.log_file()
        return self.start(env={"OSTREL_OPEN_LOG": self.open_log})

    def opened(self, wait=1.5):
        time.sleep(wait)  # the shell starts the handler asynchronously
        with open(self.open_log) as log:
            return log.read().splitlines()

    def prompt(self):
        box = self.helper("msgbox", 30000)
        self.assertNotIn("error", box, "no update prompt appeared")
        return box

    def save_screenshot(self, box, path):
        """Saves the screen and checks the box on it is painted: a dialog is light grey, an
        unpainted window black."""
        time.sleep(1)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        # import reads the screen as shown; xwd -root composes the windows itself and puts
        # Wine's unmanaged windows in the wrong order, hiding the box behind the main window.
        subprocess.run(["import", "-window", "root", path], check=True)
        area = f'{box["width"]}x{box["height"]}+{box["x"]}+{box["y"]}'
        brightness = subprocess.run(["convert", path, "-crop", area, "-format", "%[fx:mean]",
                                     "info:"], check=True, capture_output=True, text=True).stdout
        self.assertGreater(float(brightness), 0.5, f"the box on {path} is not painted")

    def assertNoPrompt(self, timeout_ms=1500):
        self.assertIn("error", self.helper("msgbox", timeout_ms))

    def test_full_document_yes_opens_the_url_and_keeps_running(self):
        program = self.start_offering(document(
            needUpdate="true", mustUpdate="false", title="Ostrel 2.0",
            message="修复了若干问题\\n启动更快", url="https://127.0.0.1:9/get?v=2.0.1",
            versionName="2.0.1"))
        window = self.main_window()
        box = self.prompt()
        self.assertEqual(box["owner"], window["hwnd"])
        self.assertEqual(box["caption"], "Ostrel 2.0")
        self.assertEqual(box["text"], "版本: 2.0.1\n\n更新内容:\n--------------------\n"
                         "修复了若干问题\n启动更快\n--------------------\n\n" + CLOSING)
        self.assertEqual([b["id"] for b in box["buttons"]], [IDYES, IDNO])
        if ARTIFACT_DIR:
            self.save_screenshot(box, os.path.join(ARTIFACT_DIR, "update-prompt.png"))

        self.helper("answer", IDYES)
        self.assertEqual(self.opened(), ["open https://127.0.0.1:9/get?v=2.0.1"])
        self.assertTrue(program.running())
        self.assertNoPrompt()

        # Nothing is cleared: the message shows the prompt again; No opens nothing.
        self.helper("post", "main", WM_UPDATE_AVAILABLE, 0, 0)
        self.prompt()
        self.helper("answer", IDNO)
        self.assertEqual(self.opened(), ["open https://127.0.0.1:9/get?v=2.0.1"])
        self.assertTrue(program.running())
        self.helper("post", "main", WM_CLOSE, 0, 0)
        self.assertExitsWith(program, 0)

    def test_bare_offer_has_the_default_caption_and_no_opens_nothing(self):
        program = self.start_offering(document(needUpdate="true"))
        self.main_window()
        box = self.prompt()
        self.assertEqual((box["caption"], box["text"]), ("New Version Available", BARE_TEXT))
        self.helper("answer", IDNO)
        self.assertEqual(self.opened(), [])
        self.assertNoPrompt()
        self.assertTrue(program.running())
        self.helper("post", "main", WM_CLOSE, 0, 0)
        self.assertExitsWith(program, 0)

    def test_mandatory_update_offers_ok_opens_and_ends(self):
        program = self.start_offering(document(needUpdate="true", mustUpdate="true",
                                               url="http://127.0.0.1:9/must", message=""))
        self.main_window()
        box = self.prompt()
        self.assertEqual([b["id"] for b in box["buttons"]], [IDOK])
        self.assertEqual(box["text"], BARE_TEXT)
        self.helper("answer", IDOK)
        self.assertExitsWith(program, 0)
        self.assertEqual(self.opened(), ["open http://127.0.0.1:9/must"])

    def test_empty_and_unsafe_urls_open_the_download_page_instead(self):
        recorder = windows_path(OPEN_RECORDER)
        for url in ("", recorder, "file:///" + recorder.replace("\\", "/"), "ms-settings:display",
                    "http:" + recorder):
            with self.subTest(url=url):
                program = self.start_offering(document(needUpdate="true", mustUpdate="true",
                                                       url=url))
                self.main_window()
                self.prompt()
                self.helper("answer", IDOK)
                self.assertExitsWith(program, 0)
                self.assertEqual(self.opened(), ["open " + DOWNLOAD_PAGE_URL])
                self.doCleanups()
                self.setUp()

    def test_no_offer_or_an_unpublished_result_shows_nothing(self):
        for name, body, behaviour in (("needUpdate false", document(needUpdate="false",
                                                                    mustUpdate="true"), "document"),
                                      ("request still pending", b"", "silent")):
            with self.subTest(name):
                program = self.start_offering(body, behaviour=behaviour)
                self.main_window()
                self.assertNoPrompt(3000)
                self.assertEqual(self.helper("send", "main", WM_UPDATE_AVAILABLE, 0, 0)["result"], 0)
                self.assertNoPrompt()
                self.assertEqual(self.opened(wait=0), [])
                self.helper("post", "main", WM_CLOSE, 0, 0)
                self.assertExitsWith(program, 0)
                self.doCleanups()
                self.setUp()


if __name__ == "__main__":
    unittest.main()
