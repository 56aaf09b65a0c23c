#include "app/globals.h"

// Defined together, in this order, so that their destruction order at exit is fixed: the
// controller is released before the web view.
Microsoft::WRL::ComPtr<ICoreWebView2> g_webView;
Microsoft::WRL::ComPtr<ICoreWebView2Controller> g_webViewController;

// The update thread is never joined and may still be writing these texts while the process
// exits, so their storage is never destroyed.
UpdateInfo& g_updateInfo = *new UpdateInfo;
std::atomic<bool> g_updateInfoPublished{false};

HWND g_mainWindow = nullptr;
wchar_t g_windowTitle[100];
wchar_t g_windowClassName[100];
