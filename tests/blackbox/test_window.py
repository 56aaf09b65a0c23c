"""The main window under Wine, with the real WebView2 loader and no runtime: class, title, sizes,
show commands, and every way out."""
import unittest

from driver import (SC_MAXIMIZE, SC_MINIMIZE, SC_RESTORE, WM_CLOSE, WM_COMMAND, WM_DESTROY,
                    ProgramTestCase, wait_until)


class MainWindowTest(ProgramTestCase):
    def test_opens_at_its_size_keeps_its_minimum_and_works_without_a_runtime(self):
        program = self.start()
        window = self.main_window()
        self.assertEqual((window["title"], window["width"], window["height"], window["y"]),
                         ("Ostrel Browser", 1400, 900, 0))
        self.assertEqual((window["iconic"], window["zoomed"], len(self.windows())), (False, False, 1))
        self.assertNoPrompt(2)  # no runtime: the page stays empty, and nothing is said

        for asked, got in [((800, 600), (1200, 800)), ((1199, 900), (1200, 900)),
                           ((1300, 850), (1300, 850))]:
            resized = self.resize(*asked)
            self.assertEqual((resized["width"], resized["height"]), got, asked)

        maximised = self.show(SC_MAXIMIZE)
        self.assertTrue(maximised["zoomed"])
        self.assertGreater(maximised["width"], 1300)
        for state in ("zoomed", "iconic"):  # restoring from each comes back to the last size
            restored = self.show(SC_RESTORE)
            self.assertEqual((restored["width"], restored["height"]), (1300, 850), state)
            self.assertTrue(self.show(SC_MINIMIZE)["iconic"])
        self.close(program)

    def test_a_small_screen_holds_the_whole_window(self):
        for width, height in ((1366, 768), (1280, 720)):
            with self.case(screen=(width, height)), self.screen(width, height):
                program = self.start()
                window = self.main_window()
                self.assertEqual([window[k] for k in ("x", "y", "width", "height")],
                                 [0, 0, width, height])
                resized = self.resize(800, 600)  # the minimum, as far as the screen holds it
                self.assertEqual((resized["width"], resized["height"]), (1200, height))
                self.assertLessEqual(self.show(SC_MAXIMIZE)["clientHeight"], height)
                self.close(program)

    def test_each_way_out_ends_with_zero(self):
        # Command 105 closes whatever its notification code and lParam.
        for message, wparam in ((WM_CLOSE, 0), (WM_DESTROY, 0), (WM_COMMAND, 105),
                                (WM_COMMAND, 0x00010069), (WM_COMMAND, 0xFFFF0069)):
            with self.case(message=message, wparam=hex(wparam)):
                program = self.start()
                self.main_window()
                self.message("post", message, wparam, 12345)
                self.assertExitsWith(program, 0)

    def test_other_commands_change_nothing(self):
        program = self.start()
        before = self.main_window()
        for wparam in (104, 106, 0x690000, 0x10068):
            self.assertEqual(self.message("send", WM_COMMAND, wparam), 0)
        self.assertEqual(self.main_window(), before)
        self.close(program)

    def test_show_command_at_start_is_honoured_and_arguments_are_ignored(self):
        for show, args, state in (("min", (), "iconic"), ("max", (), "zoomed"),
                                  (None, ("--maximized", "/min", "http://127.0.0.1:9/"), None)):
            with self.case(show=show, args=args):
                program = self.start(None, *args, show=show)
                window = self.main_window()
                self.assertTrue(window[state] if state else
                                (window["width"], window["height"]) == (1400, 900))
                self.close(program)

    def test_two_instances_are_independent(self):
        first, second = self.start(), self.start()
        self.assertTrue(wait_until(lambda: len(self.windows()) == 2))
        closing, staying = self.windows()
        self.message("post", WM_CLOSE, window=closing)
        wait_until(lambda: not (first.running() and second.running()))
        closed, other = (first, second) if second.running() else (second, first)
        self.assertExitsWith(closed, 0)
        self.assertEqual(self.windows(), [staying])
        self.close(other)


if __name__ == "__main__":
    unittest.main()
