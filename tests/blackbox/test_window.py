"""The main window under Wine, with the real WebView2 loader and no runtime: class, title, sizes,
show commands, and every way out."""
import unittest

from driver import (SW_MAXIMIZE, SW_MINIMIZE, SW_RESTORE, WM_CLOSE, WM_COMMAND, WM_DESTROY,
                    ProgramTestCase, wait_until)


class MainWindowTest(ProgramTestCase):
    def test_opens_at_its_size_keeps_its_minimum_and_works_without_a_runtime(self):
        program = self.start()
        window = self.main_window()
        self.assertEqual((window["title"], window["width"], window["height"], window["y"]),
                         ("Ostrel Browser", 1400, 900, 0))
        self.assertEqual((window["visible"], window["iconic"], window["zoomed"], window["count"]),
                         (True, False, False, 1))
        self.assertNoPrompt(2000)  # no runtime: the page stays empty, and nothing is said

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
        self.close(program)

    def test_each_way_out_ends_with_zero(self):
        # Command 105 closes whatever its notification code and lParam.
        for message, wparam in ((WM_CLOSE, 0), (WM_DESTROY, 0), (WM_COMMAND, 105),
                                (WM_COMMAND, 0x00010069), (WM_COMMAND, 0xFFFF0069)):
            with self.subTest(message=message, wparam=hex(wparam)):
                program = self.start()
                self.main_window()
                self.helper("post", "main", message, wparam, 12345)
                self.assertExitsWith(program, 0)

    def test_other_commands_change_nothing(self):
        program = self.start()
        before = self.main_window()
        for wparam in (104, 106, 0x690000, 0x10068):
            self.assertEqual(self.helper("send", "main", WM_COMMAND, wparam, 0)["result"], 0)
        after = self.helper("find")
        self.assertEqual({k: after[k] for k in before}, before)
        self.close(program)

    def test_show_command_at_start_is_honoured_and_arguments_are_ignored(self):
        for show, args, state in (("min", (), "iconic"), ("max", (), "zoomed"),
                                  (None, ("--maximized", "/min", "http://127.0.0.1:9/"), None)):
            with self.subTest(show=show, args=args):
                program = self.start(None, *args, show=show)
                window = self.main_window()
                if state:
                    self.assertTrue(window[state])
                else:
                    self.assertEqual((window["width"], window["height"], window["zoomed"]),
                                     (1400, 900, False))
                self.close(program)

    def test_two_instances_are_independent(self):
        first, second = self.start(), self.start()
        self.main_window()
        self.assertTrue(wait_until(lambda: len(self.helper("windows")["windows"]) == 2))
        windows = self.helper("windows")["windows"]
        self.helper("post", windows[0], WM_CLOSE, 0, 0)
        wait_until(lambda: not (first.running() and second.running()))
        closed, other = (first, second) if second.running() else (second, first)
        self.assertExitsWith(closed, 0)
        self.assertTrue(other.running())
        self.assertEqual(self.helper("windows")["windows"], [windows[1]])
        self.close(other, windows[1])


if __name__ == "__main__":
    unittest.main()
