#include "app/main_window.h"

#include <algorithm>

#include "app/globals.h"
#include "update/update_prompt.h"
#include "webview/webview_host.h"

namespace {

constexpr WORD kCloseCommand = 105;
constexpr POINT kMinimumTrackSize = {1200, 800};

// The work area (the screen less the taskbar) of the monitor that holds most of `window`; empty
// when it cannot be had. Unscaled screens as small as 1366 x 768 are common, and a screen scaled
// above 100% is smaller still in the pixels of a program that declares no DPI awareness.
RECT WorkAreaOf(HWND window) {
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof monitor;
  if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) return {};
  return monitor.rcWork;
}

}  // namespace

void FitMainWindowToWorkArea(HWND window) {
  const RECT area = WorkAreaOf(window);
  RECT place;
  if (IsRectEmpty(&area) || !GetWindowRect(window, &place)) return;
  const LONG width = std::min(place.right - place.left, area.right - area.left);
  const LONG height = std::min(place.bottom - place.top, area.bottom - area.top);
  const LONG left = std::clamp(place.left, area.left, area.right - width);
  const LONG top = std::clamp(place.top, area.top, area.bottom - height);
  const RECT fitted = {left, top, left + width, top + height};
  if (EqualRect(&fitted, &place)) return;
  SetWindowPos(window, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      CloseWebView();
      PostQuitMessage(0);
      return 0;
    case WM_SIZE:
      // Minimised, the page is hidden, not squeezed to nothing: it keeps its layout.
      if (wParam != SIZE_MINIMIZED) ResizeWebViewToClientArea();
      ShowWebView(wParam != SIZE_MINIMIZED);
      return 0;
    case WM_CLOSE:
      if (AskPageBeforeClosing()) return 0;
      break;
    case WM_MOVE:
      NotifyWebViewOfWindowMove();
      return 0;
    case WM_SETFOCUS:
      MoveFocusToWebView();
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_GETMINMAXINFO: {
      // Arrives during creation, before g_mainWindow is set: it must not depend on it. Never
      // larger than the work area, or the window could not be made to fit it: Windows keeps even
      // a maximised window at its minimum tracking size.
      const RECT area = WorkAreaOf(window);
      POINT& minimum = reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize;
      minimum = kMinimumTrackSize;
      if (!IsRectEmpty(&area)) {
        minimum.x = std::min(minimum.x, area.right - area.left);
        minimum.y = std::min(minimum.y, area.bottom - area.top);
      }
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) != kCloseCommand) break;
      DestroyWindow(window);
      return 0;
    case WM_WEB_VIEW_PROCESS_FAILED:
      RecoverWebView();
      return 0;
    case WM_UPDATE_AVAILABLE:
      ShowUpdatePrompt();
      return 0;
    case WM_INSTALLER_FETCHED:
      FinishUpdate();
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}
