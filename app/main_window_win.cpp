#include "app/main_window.h"

#include "app/globals.h"
#include "update/update_prompt.h"
#include "webview/webview_host.h"

namespace {

constexpr WORD kCloseCommand = 105;
constexpr POINT kMinimumTrackSize = {1200, 800};

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_SIZE:
      ResizeWebViewToClientArea();
      return 0;
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
    case WM_GETMINMAXINFO:
      // Arrives during creation, before g_mainWindow is set: it must not depend on it.
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = kMinimumTrackSize;
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) != kCloseCommand) break;
      DestroyWindow(window);
      return 0;
    case WM_UPDATE_AVAILABLE:
      ShowUpdatePrompt();
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}
