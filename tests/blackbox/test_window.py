"""The main window under Wine, with the real WebView2 loader and no runtime: class, title, sizes,
show commands, and every way out."""
import pytest

from support import (SC_MAXIMIZE, SC_MINIMIZE, SC_RESTORE, WM_CLOSE, WM_COMMAND, WM_DESTROY)


def test_opens_at_its_size_keeps_its_minimum_and_works_without_a_runtime(desk):
    program = desk.start()
    window = desk.first_window()
    assert [window[k] for k in ("title", "width", "height", "y", "iconic", "zoomed")] == [
        "Ostrel Browser", 1400, 900, 0, False, False]
    assert desk.no_prompt(2)  # no runtime: the page stays empty, and nothing is said
    for asked, got in [((800, 600), (1200, 800)), ((1199, 900), (1200, 900)),
                       ((1300, 850), (1300, 850))]:
        resized = desk.resize(*asked)
        assert (resized["width"], resized["height"]) == got, asked
    maximised = desk.show(SC_MAXIMIZE)
    assert maximised["zoomed"] and maximised["width"] > 1300
    for state in ("zoomed", "iconic"):  # restoring from each comes back to the last size
        restored = desk.show(SC_RESTORE)
        assert (restored["width"], restored["height"]) == (1300, 850), state
        assert desk.show(SC_MINIMIZE)["iconic"]
    desk.close(program)


@pytest.mark.parametrize("width, height", [(1366, 768), (1280, 720)])
def test_a_small_screen_holds_the_whole_window(screen, width, height):
    desk = screen(width, height)
    program = desk.start()
    window = desk.first_window(timeout=60)  # the first program of a new prefix sets it up
    assert [window[k] for k in ("x", "y", "width", "height")] == [0, 0, width, height]
    resized = desk.resize(800, 600)  # the minimum, as far as the screen holds it
    assert (resized["width"], resized["height"]) == (1200, height)
    assert desk.show(SC_MAXIMIZE)["clientHeight"] <= height
    desk.close(program)


# Command 105 closes whatever its notification code and lParam.
@pytest.mark.parametrize("message, wparam", [(WM_CLOSE, 0), (WM_DESTROY, 0), (WM_COMMAND, 105),
                                             (WM_COMMAND, 0x00010069), (WM_COMMAND, 0xFFFF0069)])
def test_each_way_out_ends_with_zero(desk, message, wparam):
    program = desk.start()
    desk.first_window()
    desk.message("post", message, wparam, 12345)
    assert program.exit_code() == 0


def test_other_commands_change_nothing(desk):
    program = desk.start()
    before = desk.first_window()
    assert [desk.message("send", WM_COMMAND, w) for w in (104, 106, 0x690000, 0x10068)] == [0] * 4
    assert desk.first_window() == before
    desk.close(program)


@pytest.mark.parametrize("show, state", [("min", "iconic"), ("max", "zoomed")])
def test_show_command_at_start_is_honoured(desk, show, state):
    program = desk.start(show=show)
    assert desk.first_window()[state]
    desk.close(program)
