// The process-wide values shared by the window, the web view host and the update check.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <WebView2.h>

#include <atomic>

#include "update/update_info.h"

// Posted by the update thread once it has stored an offered update; both parameters are 0.
constexpr UINT WM_UPDATE_AVAILABLE = WM_USER + 1;
// Posted by the installer's fetch once it has ended; both parameters are 0. (WM_USER + 2 is the
// web view's.)
constexpr UINT WM_INSTALLER_FETCHED = WM_USER + 3;

extern Microsoft::WRL::ComPtr<ICoreWebView2> g_webView;
extern Microsoft::WRL::ComPtr<ICoreWebView2Controller> g_webViewController;

// Written only by the update thread, which sets g_updateInfoPublished (release) after its last
// write; readers on other threads look at g_updateInfo only once an acquire load sees it set.
extern UpdateInfo& g_updateInfo;
extern std::atomic<bool> g_updateInfoPublished;

extern HWND g_mainWindow;
extern wchar_t g_windowTitle[100];
extern wchar_t g_windowClassName[100];
