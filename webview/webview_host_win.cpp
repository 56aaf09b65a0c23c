#include "webview/webview_host.h"

#include "app/addresses.h"
#include "app/globals.h"
#include "app/wide_text.h"
#include "webview/completion_handler.h"

using Microsoft::WRL::ComPtr;

namespace {

HRESULT OnControllerCreated(HRESULT, ICoreWebView2Controller* controller) {
  if (!controller) return S_OK;
  g_webViewController = controller;
  g_webView = nullptr;
  g_webViewController->get_CoreWebView2(&g_webView);
  if (!g_webView) return S_OK;

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

void MoveFocusToWebView() {
  if (g_webViewController)
    g_webViewController->MoveFocus(COREWEBVIEW2_MOVE_FOCUS_REASON_PROGRAMMATIC);
}

void NotifyWebViewOfWindowMove() {
  if (g_webViewController) g_webViewController->NotifyParentWindowPositionChanged();
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
