"""The web view host under Wine: the call chain as a double of the WebView2 loader logs it."""
import time

import pytest

from support import (HOME_PAGE_URL, IDOK, PROGRAM_WITH_DOUBLE, SC_MAXIMIZE, SC_MINIMIZE,
                     SC_RESTORE, UPDATE_PORT, WM_CLOSE, WM_COMMAND, WM_MOVE, WM_SETFOCUS, WM_SIZE,
                     WM_WEB_VIEW_PROCESS_FAILED, document, wait_until)

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
DUTIES = ["put_Bounds", "NotifyParentWindowPositionChanged", "MoveFocus"]


def bounds(window):
    return f"put_Bounds 0 0 {window['clientWidth']} {window['clientHeight']}"


def sizing(calls):
    return [line for line in calls if line.startswith(("put_Bounds", "put_IsVisible"))]


class Double:
    """The program beside the double, and the double's log of calls and events."""

    def __init__(self, desk, tmp_path):
        self.desk, self.log = desk, tmp_path / "webview.log"

    def start(self, fail="", delay_ms=0, show=None, **env):
        self.log.write_text("")
        env.update(OSTREL_WEBVIEW_LOG=str(self.log), OSTREL_WEBVIEW_FAIL=fail,
                   OSTREL_WEBVIEW_DELAY_MS=str(delay_ms))
        return self.desk.start(PROGRAM_WITH_DOUBLE, env=env, show=show)

    def calls(self, *, releases=False, events=False):
        return [line for line in self.log.read_text().splitlines()
                if (releases or not line.startswith("Release "))
                and (events or not line.startswith("event "))]

    def wait_for(self, prefix, count=1):
        calls = lambda: self.calls(events=True)
        assert wait_until(lambda: sum(c.startswith(prefix) for c in calls()) >= count), \
            f"no {prefix} in {calls()}"

    def closed_once_and_never_called_after(self):
        calls = self.calls()
        assert calls.count("Close") == 1 and not [c for c in calls if c.startswith("closed ")]


@pytest.fixture
def double(desk, tmp_path):
    return Double(desk, tmp_path)


def test_chain_sets_up_sizes_and_navigates_once_in_order(desk, double):
    program = double.start()
    window = desk.first_window()
    double.wait_for("MoveFocus")
    chain = [line.format(hwnd=window["hwnd"]) for line in CHAIN_START]
    # The window had the focus when the controller came: the page takes it over.
    assert double.calls() == chain + SETTINGS + [bounds(window), "Navigate " + HOME_PAGE_URL,
                                                 "MoveFocus 0"]
    # It follows the window from then on, and rests, unsqueezed, while the window is minimised.
    resized = desk.resize(1300, 850)
    assert double.calls()[-1] == bounds(resized)  # shown already: no put_IsVisible
    before = len(double.calls())
    _, large, back = (desk.show(c) for c in (SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE))
    assert sizing(double.calls()[before:]) == ["put_IsVisible 0", bounds(large),
                                               "put_IsVisible 1", bounds(back)]
    desk.close(program)
    # Released at exit: the controller first, then the web view; nothing else called.
    releases = [line.split()[1] for line in double.calls(releases=True)
                if line.startswith(("Release controller ", "Release webview "))][-2:]
    assert releases == ["controller", "webview"]
    assert sum(line.startswith("Navigate") for line in double.calls()) == 2  # home, and the ask


def test_late_controller_gets_the_size_of_its_moment(desk, double):
    program = double.start(delay_ms=3000)
    desk.first_window()
    # Before the controller: nothing to size yet.
    desk.resize(1250, 820)
    desk.show(SC_MINIMIZE)
    double.wait_for("put_IsVisible")
    restored = desk.show(SC_RESTORE)
    assert restored["width"] == 1250
    # Minimised, it is sized as the window will be restored: never to nothing.
    assert [c for c in double.calls() if c.startswith(("put_", "Navigate"))][-5:] == [
        bounds(restored), "Navigate " + HOME_PAGE_URL, "put_IsVisible 0", bounds(restored),
        "put_IsVisible 1"]
    # From then on, the window's moves and focus reach the web view.
    desk.message("send", WM_MOVE)
    desk.message("send", WM_SETFOCUS)
    assert double.calls()[-2:] == ["NotifyParentWindowPositionChanged", "MoveFocus 0"]
    desk.close(program)


# In a single-threaded apartment either way; hidden only where the window is minimised.
@pytest.mark.parametrize("show, visible", [("hide", []), ("min", ["put_IsVisible 0"])])
def test_hidden_or_minimised_start_creates_the_web_view_as_the_window_is(double, show, visible):
    double.start(show=show)
    double.wait_for("Navigate")
    double.wait_for("event NavigationCompleted")
    assert double.calls()[0] == CHAIN_START[0]
    assert [c for c in double.calls() if c.startswith("put_IsVisible")] == visible


def test_closing_before_the_controller_arrives_ends_with_zero(desk, double):
    program = double.start(delay_ms=60000)
    desk.first_window()
    double.wait_for("CreateCoreWebView2Controller")
    started = time.monotonic()
    desk.close(program)
    assert time.monotonic() - started < 10
    assert "ControllerCompleted" not in " ".join(double.calls())


STEPS = [line.split()[0] for line in CHAIN_START]


@pytest.mark.parametrize("fail, expected", [
    ("environment", STEPS[:2]),
    ("controller", STEPS[:4]),
    ("webview", STEPS + ["put_Bounds", "Close"]),  # the controller still follows resizes
    ("settings", STEPS + SETTINGS[:3] + ["get_Settings", "put_Bounds", "Navigate", "MoveFocus",
                                         "put_Bounds", "Navigate", "Close"]),
])
def test_each_failure_stops_the_chain_where_it_should(desk, double, fail, expected):
    program = double.start(fail=fail)
    desk.first_window()
    double.wait_for(expected[3] if fail != "environment" else expected[1])
    desk.resize(1300, 850)
    desk.close(program)
    assert [line.split()[0] for line in double.calls()] == expected


# The double fails one process of each web view soon after its controller arrived; the window's
# duties after the last failure reach a live web view, or nothing.
@pytest.mark.parametrize("kind, fail, chains, after", [
    (0, "", 4, ["Close"]),
    (0, "recreation", 3, ["Close"]),  # the first new one refused: the data folder still held
    (1, "", 1, ["Reload"] + DUTIES + ["Navigate", "Close"]),
    (6, "", 1, DUTIES + ["Navigate", "Close"]),
    (None, "", 1, None),  # none raised, and the message forged
])
def test_a_failed_process_brings_the_page_back_at_most_three_times(desk, double, kind, fail,
                                                                   chains, after):
    failing = {} if kind is None else {"OSTREL_WEBVIEW_PROCESS_FAILED": str(kind)}
    program = double.start(fail, **failing)
    failed = f"ProcessFailed {kind}"
    double.wait_for("Navigate")
    if kind is None:  # as if the browser process had ended
        desk.message("send", WM_WEB_VIEW_PROCESS_FAILED, 0)
    else:
        double.wait_for(failed, chains)
    double.wait_for("Navigate " + HOME_PAGE_URL, chains)
    # A recovery is posted from the failure's handler, so a fourth, wrongly made, runs before the
    # close posted below and shows in the calls after the last failure.
    for duty in (WM_SIZE, WM_MOVE, WM_SETFOCUS):
        desk.message("send", duty)
    desk.close(program)
    calls = double.calls()
    assert calls.count("Navigate " + HOME_PAGE_URL) == chains
    if after:
        last = len(calls) - calls[::-1].index(failed)
        assert [line.split()[0] for line in calls[last:]] == after
    assert "dead " not in "\n".join(calls)


# The page, and what it does: how the program ends (at least and at most seconds after the last
# close) and how often the page was asked. A page that unloads ends before the two-second cap.
@pytest.mark.parametrize("page, close, at_least, at_most, asked", [
    ("", WM_CLOSE, 0, 1.9, 1), ("loading,redirects", WM_CLOSE, 0, 1.9, 1),
    ("loading,hangs", WM_CLOSE, 2, 5, 1), ("crashes", WM_CLOSE, 0, 3, 1),
    ("stays", (WM_COMMAND, 105), 0, 3, 2), ("command 105", (WM_COMMAND, 105), 0, 3, 0),
    ("mandatory update", None, 0, 3, 0)])
def test_closing_asks_the_page_first(desk, double, serve, page, close, at_least, at_most, asked):
    if close is None:
        serve(document(b'{"needUpdate":true,"mustUpdate":true,"url":"https://127.0.0.1:9/"}'),
              port=UPDATE_PORT)
    program = double.start(OSTREL_WEBVIEW_PAGE=page)
    desk.first_window()
    double.wait_for("Navigate")
    if page in ("stays", "command 105"):  # only a close that asks restores
        desk.show(SC_MINIMIZE)
    if page == "stays":
        # A double-click asks once, the window restored first; a close 1.5 s after the user
        # stayed asks again.
        before = len(double.calls())
        for wait in (0, 0.1, 1.5):
            time.sleep(wait)
            desk.message("post", WM_CLOSE)
        double.wait_for(LEAVE, 2)
        window = desk.first_window()
        assert (window["visible"], window["iconic"]) == (True, False)
        assert sizing(double.calls()[before:]) == [bounds(window), "put_IsVisible 1"]
    if close is None:
        desk.prompt()
    started = time.monotonic()
    if close is None:
        desk.answer(IDOK)
    else:
        desk.message("post", *(close if isinstance(close, tuple) else [close]))
    if at_least:  # the page let go: the window is gone while the page unloads
        assert wait_until(lambda: not desk.windows(), 1) and program.running()
    assert program.exit_code() == 0
    assert at_least <= time.monotonic() - started < at_most
    calls = double.calls(events=True)
    assert [calls.count(LEAVE), "Reload" in calls, "put_IsVisible 1" in calls] == [
        asked, False, page == "stays"]
    double.closed_once_and_never_called_after()
