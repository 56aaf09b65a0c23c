"""The main window under Wine: class, title, sizes, show commands, and every way out."""
import unittest

from driver import (SW_MAXIMIZE, SW_MINIMIZE, SW_RESTORE, WM_CLOSE, WM_COMMAND,
                    WM_DESTROY, WM_UPDATE_AVAILABLE, ProgramTestCase)


class MainWindowTest(ProgramTestCase):
    def test_opens_titled_at_its_size_and_keeps_its_minimum(self):
        program = self.start()
        window = self.main_window()
        self.assertEqual(window["title"], "Ostrel Browser")
        self.assertEqual((window["width"], window["height"], window["y"]), (1400, 900, 0))
        self.assertTrue(window["visible"])
        self.assertFalse(window["iconic"] or window["zoomed"])
        self.assertEqual(window["count"], 1)

        for asked, got in [((800, 600), (1200, 800)), ((1199, 900), (1200, 900)),
                           ((1300, 850), (1300, 850))]:
            resized = self.helper("size", "main", *asked)
            self.assertEqual((resized["width"], resized["height"]), got, asked)

        maximised = self.helper("show", "main", SW_MAXIMIZE)
        self.assertTrue(maximised["zoomed"])
        self.assertGreater(maximised["width"], 1300)
        for state in ("zoomed", "iconic"):  # restoring from each comes back to the last size
            restored = self.helper("show", "main", SW_RESTORE)
            self.assertEqual((restored["width"], restored["height"]), (1300, 850), state)
            self.assertTrue(self.helper("show", "main", SW_MINIMIZE)["iconic"])

        self.helper("post", "main", WM_CLOSE, 0, 0)
        self.assertExitsWith(program, 0)

    def test_command_105_closes_whatever_its_notification_code(self):
        for wparam in (105, 0x00010069, 0xFFFF0069):
            with self.subTest(wparam=hex(wparam)):
                program = self.start()
                self.main_window()
                self.helper("post", "main", WM_COMMAND, wparam, 12345)
                self.assertExitsWith(program, 0)

    def test_other_commands_and_messages_change_nothing(self):
        program = self.start()
        before = self.main_window()
        for wparam in (104, 106, 0x690000, 0x10068):
            self.assertEqual(self.helper("send", "main", WM_COMMAND, wparam, 0)["result"], 0)
        # No update check has an offer (nothing serves it): the message shows nothing.
        self.assertEqual(self.helper("send", "main", WM_UPDATE_AVAILABLE, 7, 9)["result"], 0)
        self.assertIn("error", self.helper("msgbox", 500))
        after = self.helper("find")
        self.assertEqual({k: after[k] for k in before}, before)
        self.assertTrue(program.running())
        self.helper("post", "main", WM_CLOSE, 0, 0)
        self.assertExitsWith(program, 0)

    def test_posted_destroy_ends_with_zero(self):
        program = self.start()
        self.main_window()
        self.helper("post", "main", WM_DESTROY, 0, 0)
        self.assertExitsWith(program, 0)

    def test_show_command_at_start_is_honoured(self):
        for show, state in (("min", "iconic"), ("max", "zoomed")):
            with self.subTest(show=show):
                program = self.start(show=show)
                self.assertTrue(self.main_window()[state])
                self.helper("post", "main", WM_CLOSE, 0, 0)
                self.assertExitsWith(program, 0)

    def test_arguments_are_ignored(self):
        program = self.start(None, "--maximized", "/min", "http://127.0.0.1:9/", "x y")
        window = self.main_window()
        self.assertEqual((window["width"], window["height"], window["zoomed"]), (1400, 900, False))
        self.helper("post", "main", WM_CLOSE, 0, 0)
        self.assertExitsWith(program, 0)

    def test_two_instances_are_independent(self):
        first, second = self.start(), self.start()
        self.main_window()
        windows = []
        for _ in range(100):
            windows = self.helper("windows")["windows"]
            if len(windows) == 2:
                break
        self.assertEqual(len(windows), 2)
        self.helper("post", windows[0], WM_CLOSE, 0, 0)
        codes = []
        for program in (first, second):
            try:
                codes.append(program.exit_code(5))
            except Exception:
                pass
        self.assertEqual(codes, [0])
        self.assertEqual(self.helper("windows")["windows"], [windows[1]])
        self.helper("post", windows[1], WM_CLOSE, 0, 0)
        self.assertExitsWith(first, 0)
        self.assertExitsWith(second, 0)


if __name__ == "__main__":
    unittest.main()
