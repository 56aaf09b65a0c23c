// Entry point: the main window, the web view request, the update thread and the message loop.
#include <objbase.h>
#include <windows.h>

#include <cwchar>
#include <system_error>
#include <thread>

#include "app/globals.h"
#include "app/main_window.h"
#include "update/installer_fetch.h"
#include "update/update_check.h"
#include "webview/webview_host.h"

namespace {

constexpr int kLargeIconId = 107;
constexpr int kSmallIconId = 108;
constexpr int kWindowWidth = 1400;
constexpr int kWindowHeight = 900;

void RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kLargeIconId));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = g_windowClassName;
  windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(kSmallIconId));
  RegisterClassExW(&windowClass);  // a failure shows as a failed window creation
}

// std::thread reports a failed start by throwing; the window and the web view carry on without
// the update check then.
void StartUpdateCheckThread() {
  try {
    std::thread(RunUpdateCheck).detach();
  } catch (const std::system_error&) {
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  // WebView2 must be created from a single-threaded apartment, and the shell wants one too. It
  // stays for the life of the process.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  wcscpy_s(g_windowTitle, 100, L"Ostrel Browser");
  wcscpy_s(g_windowClassName, 100, L"OSTREL_WINDOW_CLASS");
  RegisterMainWindowClass(instance);

  HWND window =
      CreateWindowExW(0, g_windowClassName, g_windowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                      kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);
  if (!window) return 0;
  g_mainWindow = window;

  FitMainWindowToWorkArea(window);
  ShowWindow(window, showCommand);
  UpdateWindow(window);
  InitializeWebView(window);

  // Cleared before the thread starts, which orders these writes before all of the thread's.
  g_updateInfo.needUpdate = 0;
  g_updateInfo.mustUpdate = 0;
  StartUpdateCheckThread();

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // The window is gone: an update the user accepted replaces the program now.
  RunVerifiedInstaller();
  return static_cast<int>(message.wParam);
}
