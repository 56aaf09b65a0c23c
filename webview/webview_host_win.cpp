#include "webview/webview_host.h"

#include "app/addresses.h"
#include "app/globals.h"
#include "app/wide_text.h"
#include "webview/completion_handler.h"

using Microsoft::WRL::ComPtr;

namespace {

// Recoveries in one run; a runtime that fails more often than this is not going to recover.
constexpr int kMaximumRecoveries = 3;
int g_recoveries = 0;

// The references to a web view whose browser process ended, taken out of the process-wide values
// so that nothing calls the dead objects, and released once the runtime's event has returned.
ComPtr<ICoreWebView2Controller> g_deadController;
ComPtr<ICoreWebView2> g_deadWebView;

// Whether the live web view is shown, as last told; the runtime shows a new controller.
bool g_webViewVisible = true;

HRESULT OnProcessFailed(ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs* args) {
  COREWEBVIEW2_PROCESS_FAILED_KIND failure;
  if (!args || FAILED(args->get_ProcessFailedKind(&failure))) return S_OK;
  switch (failure) {
    case COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED:
      if (!g_webViewController) return S_OK;  // already taken for dead
      // Swapped into the empty holders: mingw-w64's ComPtr copies on move assignment.
      g_deadController.Swap(g_webViewController);
      g_deadWebView.Swap(g_webView);
      [[fallthrough]];
    case COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_EXITED:
      PostMessageW(g_mainWindow, WM_WEB_VIEW_PROCESS_FAILED, failure, 0);
      return S_OK;
    default:
      // The runtime recovers the other processes itself, and an unresponsive page is the site's
      // own to answer.
      return S_OK;
  }
}

HRESULT OnControllerCreated(HRESULT, ICoreWebView2Controller* controller) {
  if (!controller) return S_OK;
  g_webViewController = controller;
  g_webViewVisible = true;
  g_webView = nullptr;
  g_webViewController->get_CoreWebView2(&g_webView);
  if (!g_webView) return S_OK;

  auto processFailed =
      MakeCompletionHandler<ICoreWebView2ProcessFailedEventHandler,
                            IID_ICoreWebView2ProcessFailedEventHandler>(OnProcessFailed);
  // Kept for the web view's life: its processes can fail at any time.
  EventRegistrationToken token;
  if (processFailed) g_webView->add_ProcessFailed(processFailed.Get(), &token);

  ComPtr<ICoreWebView2Settings> settings;
  g_webView->get_Settings(&settings);
  if (settings) {
    settings->put_IsScriptEnabled(TRUE);
    settings->put_AreDefaultScriptDialogsEnabled(TRUE);
    settings->put_IsWebMessageEnabled(TRUE);
  }
  // Sized from the window as it is now: resizes before the controller came were not applied.
  ResizeWebViewToClientArea();
  g_webView->Navigate(AsWide(kHomePageUrl));
  // The window was minimised before there was a web view to hide: at start, or while the runtime
  // was recovering.
  if (IsIconic(g_mainWindow)) ShowWebView(false);
  // The window's own focus arrived before there was a page to pass it to.
  if (GetFocus() == g_mainWindow) MoveFocusToWebView();
  return S_OK;
}

HRESULT OnEnvironmentCreated(HWND window, ICoreWebView2Environment* environment) {
  if (!environment) return S_OK;
  auto handler =
      MakeCompletionHandler<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                            IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler>(
          OnControllerCreated);
  if (handler) environment->CreateCoreWebView2Controller(window, handler.Get());
  return S_OK;
}

}  // namespace

void ResizeWebViewToClientArea() {
  if (!g_webViewController || !g_mainWindow) return;
  RECT bounds;
  GetClientRect(g_mainWindow, &bounds);
  g_webViewController->put_Bounds(bounds);
}

void ShowWebView(bool visible) {
  if (!g_webViewController || visible == g_webViewVisible) return;
  g_webViewVisible = visible;
  g_webViewController->put_IsVisible(visible);
}

void MoveFocusToWebView() {
  if (g_webViewController)
    g_webViewController->MoveFocus(COREWEBVIEW2_MOVE_FOCUS_REASON_PROGRAMMATIC);
}

void NotifyWebViewOfWindowMove() {
  if (g_webViewController) g_webViewController->NotifyParentWindowPositionChanged();
}

void RecoverWebView(COREWEBVIEW2_PROCESS_FAILED_KIND failure) {
  const bool browserExited = failure == COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED;
  if (browserExited) {
    if (g_deadController) g_deadController->Close();
    g_deadController = nullptr;
    g_deadWebView = nullptr;
  }
  // A new web view needs only the window; a reload needs the web view to be live.
  if (g_recoveries == kMaximumRecoveries || (!browserExited && !g_webView)) return;
  ++g_recoveries;
  if (browserExited) {
    InitializeWebView(g_mainWindow);
  } else {
    g_webView->Reload();
  }
}

void InitializeWebView(HWND window) {
  auto handler =
      MakeCompletionHandler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                            IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler>(
          [window](HRESULT, ICoreWebView2Environment* environment) {
            return OnEnvironmentCreated(window, environment);
          });
  if (handler) CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, handler.Get());
}
