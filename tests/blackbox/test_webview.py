"""The web view host under Wine: the call chain as a double of the WebView2 loader logs it."""
import os
import time
import unittest

from driver import (HOME_PAGE_URL, IDOK, SC_MAXIMIZE, SC_MINIMIZE, SC_RESTORE, WM_CLOSE, WM_COMMAND,
                    WM_MOVE, WM_SETFOCUS, WM_SIZE, ProgramTestCase, wait_until)

PROGRAM_WITH_DOUBLE = os.environ.get("OSTREL_PROGRAM_WITH_DOUBLE", "")
WM_WEB_VIEW_PROCESS_FAILED = 0x0400 + 2

CHAIN_START = [
    "CreateCoreWebView2EnvironmentWithOptions browserFolder=null userDataFolder=null options=null"
    " apartment=main-sta",
    "EnvironmentCompleted 0x00000000 environment",
    "CreateCoreWebView2Controller parent={hwnd}",
    "ControllerCompleted 0x00000000 controller",
    "get_CoreWebView2",
]
LEAVE = "Navigate about:blank"
SETTINGS = ["add_ProcessFailed", "add_NavigationStarting", "add_NavigationCompleted", "get_Settings",
            "put_IsScriptEnabled 1", "put_AreDefaultScriptDialogsEnabled 1",
            "put_IsWebMessageEnabled 1"]


def bounds(window):
    return f"put_Bounds 0 0 {window['clientWidth']} {window['clientHeight']}"


def sizing(calls):
    return [line for line in calls if line.startswith(("put_Bounds", "put_IsVisible"))]


class WebViewTest(ProgramTestCase):
    def start_with_double(self, fail="", delay_ms=0, show=None, **env):
        self.log_path = self.log_file()
        env.update(OSTREL_WEBVIEW_LOG=self.log_path, OSTREL_WEBVIEW_FAIL=fail,
                   OSTREL_WEBVIEW_DELAY_MS=str(delay_ms))
        return self.start(PROGRAM_WITH_DOUBLE, env=env, show=show)

    def calls(self, *, releases=False, events=False):
        with open(self.log_path) as log:
            lines = log.read().splitlines()
        return [line for line in lines if (releases or not line.startswith("Release "))
                and (events or not line.startswith("event "))]

    def wait_for_call(self, prefix):
        self.assertTrue(wait_until(lambda: any(c.startswith(prefix) for c in self.calls())),
                        f"no {prefix} in {self.calls()}")

    def test_chain_sets_up_sizes_and_navigates_once_in_order(self):
        program = self.start_with_double()
        window = self.main_window()
        self.wait_for_call("MoveFocus")
        chain = [line.format(hwnd=window["hwnd"]) for line in CHAIN_START]
        # The window had the focus when the controller came: the page takes it over.
        self.assertEqual(self.calls(), chain + SETTINGS + [
            bounds(window), "Navigate " + HOME_PAGE_URL, "MoveFocus 0"])

        # It follows the window from then on, and rests, unsqueezed, while the window is minimised.
        resized = self.resize(1300, 850)
        self.assertEqual(self.calls()[-1], bounds(resized))  # shown already: no put_IsVisible
        before = len(self.calls())
        _, large, back = (self.show(c) for c in (SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE))
        self.assertEqual(sizing(self.calls()[before:]), ["put_IsVisible 0", bounds(large),
                                                         "put_IsVisible 1", bounds(back)])
        self.assertEqual(sum(line.startswith("Navigate") for line in self.calls()), 1)

        # Once their completion has run, the program holds no reference to either handler.
        handlers = [line for line in self.calls(releases=True) if "-handler" in line]
        self.assertEqual(handlers, ["Release environment-handler 0", "Release controller-handler 0"])

        self.close(program)
        # Released at exit: the controller first, then the web view.
        releases = [line for line in self.calls(releases=True)
                    if line.startswith(("Release controller", "Release webview"))][-2:]
        self.assertEqual([line.split()[1] for line in releases], ["controller", "webview"])

    def test_late_controller_gets_the_size_of_its_moment(self):
        program = self.start_with_double(delay_ms=3000)
        self.main_window()
        # Before the controller: nothing to size yet.
        self.resize(1250, 820)
        self.show(SC_MINIMIZE)
        self.wait_for_call("put_IsVisible")
        restored = self.show(SC_RESTORE)
        self.assertEqual(restored["width"], 1250)
        # Minimised, it is sized as the window will be restored: never to nothing.
        self.assertEqual([c for c in self.calls() if c.startswith(("put_", "Navigate"))][-5:],
                         [bounds(restored), "Navigate " + HOME_PAGE_URL, "put_IsVisible 0",
                          bounds(restored), "put_IsVisible 1"])
        # From then on, the window's moves and focus reach the web view.
        self.message("send", WM_MOVE)
        self.message("send", WM_SETFOCUS)
        self.assertEqual(self.calls()[-2:], ["NotifyParentWindowPositionChanged", "MoveFocus 0"])
        self.close(program)

    def test_hidden_or_minimised_start_creates_the_web_view_as_the_window_is(self):
        # In a single-threaded apartment either way; hidden only where the window is minimised.
        for show, visible in (("hide", []), ("min", ["put_IsVisible 0"])):
            with self.case(show=show):
                self.start_with_double(show=show)
                self.wait_for_call("Navigate")
                time.sleep(0.5)
                self.assertEqual(self.calls()[0], CHAIN_START[0])
                self.assertEqual([c for c in self.calls() if c.startswith("put_IsVisible")], visible)

    def test_closing_before_the_controller_arrives_ends_with_zero(self):
        program = self.start_with_double(delay_ms=60000)
        self.main_window()
        self.wait_for_call("CreateCoreWebView2Controller")
        started = time.monotonic()
        self.close(program)
        self.assertLess(time.monotonic() - started, 5)
        self.assertNotIn("ControllerCompleted", " ".join(self.calls()))

    def test_each_failure_stops_the_chain_where_it_should(self):
        steps = [line.split()[0] for line in CHAIN_START]
        cases = {
            "environment": steps[:2],
            "controller": steps[:4],
            "webview": steps + ["put_Bounds", "Close"],  # the controller still follows resizes
            "settings": steps + SETTINGS[:3] + ["get_Settings", "put_Bounds", "Navigate",
                                                "MoveFocus", "put_Bounds", "Navigate", "Close"],
        }
        for fail, expected in cases.items():
            with self.case(fail=fail):
                program = self.start_with_double(fail=fail)
                self.main_window()
                self.wait_for_call(expected[3] if fail != "environment" else expected[1])
                time.sleep(0.5)
                self.resize(1300, 850)
                self.close(program)
                self.assertEqual([line.split()[0] for line in self.calls()], expected)

    def test_a_failed_process_brings_the_page_back_at_most_three_times(self):
        # The double fails one process of each web view soon after its controller arrived; the
        # window's duties after the last failure reach a live web view, or nothing.
        duties = ["put_Bounds", "NotifyParentWindowPositionChanged", "MoveFocus"]
        cases = {"browser": (0, "", 4, ["Close"]),
                 "browser, its data folder held at first": (0, "recreation", 3, ["Close"]),
                 "render": (1, "", 1, ["Reload"] + duties + ["Navigate", "Close"]),
                 "gpu": (6, "", 1, duties + ["Navigate", "Close"]),
                 "none, the message forged": (None, "", 1, None)}
        for name, (kind, fail, chains, after) in cases.items():
            with self.case(process=name):
                failing = {} if kind is None else {"OSTREL_WEBVIEW_PROCESS_FAILED": str(kind)}
                program = self.start_with_double(fail, **failing)
                failed = f"ProcessFailed {kind}"
                if kind is None:  # as if the browser process had ended
                    self.wait_for_call("Navigate")
                    self.message("send", WM_WEB_VIEW_PROCESS_FAILED, 0)
                self.assertTrue(wait_until(lambda: self.calls().count(failed) == chains * bool(
                    failing)))
                time.sleep(0.5)
                for duty in (WM_SIZE, WM_MOVE, WM_SETFOCUS):
                    self.message("send", duty)
                self.close(program)
                calls = self.calls()
                self.assertEqual(calls.count("Navigate " + HOME_PAGE_URL), chains)
                if after:
                    last = len(calls) - calls[::-1].index(failed)
                    self.assertEqual([line.split()[0] for line in calls[last:]], after)
                self.assertNotIn("dead ", "\n".join(calls))

    def assertClosedOnceAndNeverCalledAfter(self):
        calls = self.calls()
        self.assertEqual(calls.count("Close"), 1, calls)
        self.assertEqual([line for line in calls if line.startswith("closed ")], [])

    def test_closing_asks_the_page_first(self):
        # The page, and what it does: how the program ends (at least and at most seconds after the
        # last close) and how often the page was asked. A page that unloads ends before the cap.
        mandatory = b'{"needUpdate":true,"mustUpdate":true,"url":"https://127.0.0.1:9/"}'
        cases = {"": (WM_CLOSE, 0, 1.9, 1), "loading,redirects": (WM_CLOSE, 0, 1.9, 1),
                 "loading,hangs": (WM_CLOSE, 2, 5, 1), "crashes": (WM_CLOSE, 0, 3, 1),
                 "stays": ((WM_COMMAND, 105), 0, 3, 2), "command 105": ((WM_COMMAND, 105), 0, 3, 0),
                 "mandatory update": (None, 0, 3, 0)}
        for page, (close, at_least, at_most, asked) in cases.items():
            with self.case(page=page):
                if close is None:
                    self.serve(mandatory)
                program = self.start_with_double(OSTREL_WEBVIEW_PAGE=page)
                self.main_window()
                self.wait_for_call("Navigate")
                if page in ("stays", "command 105"):  # only a close that asks restores
                    self.show(SC_MINIMIZE)
                if page == "stays":
                    # A double-click asks once, the window restored first; a close 1.5 s after
                    # the user stayed asks again.
                    before = len(self.calls())
                    for wait in (0, 0.1, 1.5):
                        time.sleep(wait)
                        self.message("post", WM_CLOSE)
                    self.assertFalse(wait_until(lambda: not self.windows(), 1))
                    window = self.main_window()
                    self.assertEqual((window["visible"], window["iconic"]), (True, False))
                    self.assertEqual(sizing(self.calls()[before:]),
                                     [bounds(window), "put_IsVisible 1"])
                if close is None:
                    self.prompt()
                started = time.monotonic()
                if close is None:
                    self.answer(IDOK)
                else:
                    self.message("post", *(close if isinstance(close, tuple) else [close]))
                if at_least:  # the page let go: the window is gone while the page unloads
                    self.assertTrue(wait_until(lambda: not self.windows(), 1))
                    self.assertTrue(program.running())
                self.assertExitsWith(program, 0)
                self.assertTrue(at_least <= time.monotonic() - started < at_most)
                calls = self.calls(events=True)
                self.assertEqual([calls.count(LEAVE), "Reload" in calls,
                                  "put_IsVisible 1" in calls], [asked, False, page == "stays"])
                self.assertClosedOnceAndNeverCalledAfter()


if __name__ == "__main__":
    unittest.main()
