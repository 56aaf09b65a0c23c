#include "webview/webview_host.h"

#include <optional>
#include <utility>

#include "app/addresses.h"
#include "app/globals.h"
#include "app/wide_text.h"
#include "webview/completion_handler.h"
#include "webview/page_close.h"

using Microsoft::WRL::ComPtr;

namespace {

// Recoveries in one run; a runtime that fails more often than this is not going to recover.
constexpr int kMaximumRecoveries = 3;
int g_recoveries = 0;

// The references to a web view whose browser process ended, taken out of the process-wide values
// so that nothing calls the dead objects, and released once the runtime's event has returned.
ComPtr<ICoreWebView2Controller> g_deadController;
ComPtr<ICoreWebView2> g_deadWebView;

// The dead web view's handlers go with its controller's Close, which the runtime allows on a dead
// controller.
void CloseDeadWebView() {
  if (g_deadController) g_deadController->Close();
  g_deadController = nullptr;
  g_deadWebView = nullptr;
}

// Whether the live web view is shown, as last told; the runtime shows a new controller.
bool g_webViewVisible = true;

// The close's decisions; the live web view reports its navigations to them.
PageClose g_pageClose;
bool g_navigationEventsRegistered = false;
constexpr UINT_PTR kCloseTimerId = 1;

// A failure the runtime raised, kept for the message that handles it outside the runtime's event:
// the message alone, which any program can post, does nothing.
std::optional<COREWEBVIEW2_PROCESS_FAILED_KIND> g_raisedFailure;

// A new web view after the browser process ended can fail while the old process still holds the
// data folder; it is tried again after this long, within the recoveries.
constexpr UINT kRecreateDelayMs = 1000;
constexpr UINT_PTR kRecreateTimerId = 2;
bool g_recreating = false;

// Set when the window goes: the controller is closed then, as the runtime asks of its hosts, and
// nothing may call it or its web view afterwards (the runtime answers with an invalid-state
// error). The references themselves are released at exit.
bool g_webViewClosed = false;

ICoreWebView2Controller* LiveController() {
  return g_webViewClosed ? nullptr : g_webViewController.Get();
}
ICoreWebView2* LiveWebView() { return g_webViewClosed ? nullptr : g_webView.Get(); }

void CALLBACK DestroyMainWindow(HWND window, UINT, UINT_PTR timer, DWORD) {
  KillTimer(window, timer);
  DestroyWindow(window);
}

// Carries out what the close decided on a web view event. Destroying goes through the message
// loop: not inside the runtime's event.
void TakeCloseStep(CloseStep step) {
  if (step == CloseStep::kHide) {
    ShowWindow(g_mainWindow, SW_HIDE);
    SetTimer(g_mainWindow, kCloseTimerId, kUnloadMs, DestroyMainWindow);
  } else if (step == CloseStep::kDestroy) {
    SetTimer(g_mainWindow, kCloseTimerId, USER_TIMER_MINIMUM, DestroyMainWindow);
  }
}

HRESULT OnNavigationStarting(ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) {
  LPWSTR uri = nullptr;
  BOOL userInitiated, redirected;
  UINT64 id;
  if (args && SUCCEEDED(args->get_Uri(&uri)) &&
      SUCCEEDED(args->get_IsUserInitiated(&userInitiated)) &&
      SUCCEEDED(args->get_IsRedirected(&redirected)) && SUCCEEDED(args->get_NavigationId(&id))) {
    TakeCloseStep(g_pageClose.NavigationStarting(
        {reinterpret_cast<const char16_t*>(uri), userInitiated != FALSE, redirected != FALSE, id}));
  }
  CoTaskMemFree(uri);
  return S_OK;
}

HRESULT OnNavigationCompleted(ICoreWebView2*, ICoreWebView2NavigationCompletedEventArgs* args) {
  UINT64 id;
  if (args && SUCCEEDED(args->get_NavigationId(&id)))
    TakeCloseStep(g_pageClose.NavigationCompleted(id));
  return S_OK;
}

// Registers `function` for one of the live web view's events; the runtime keeps the handler for
// the web view's life. The handlers hold nothing of the web view: no reference cycle.
template <typename Handler, const IID& kHandlerId, typename Function>
bool Subscribe(HRESULT (STDMETHODCALLTYPE ICoreWebView2::*add)(Handler*, EventRegistrationToken*),
               Function function) {
  auto handler = MakeCompletionHandler<Handler, kHandlerId>(function);
  EventRegistrationToken token;
  return handler && SUCCEEDED((g_webView.Get()->*add)(handler.Get(), &token));
}

// The size the web view fills: the client area, or while the window is minimised (its client
// area then empty, which would lay the page out at zero width) the one it will have restored.
RECT WebViewBounds() {
  RECT bounds = {};
  if (!IsIconic(g_mainWindow)) {
    GetClientRect(g_mainWindow, &bounds);
    return bounds;
  }
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof placement;
  RECT frame = {};
  if (!GetWindowPlacement(g_mainWindow, &placement) ||
      !AdjustWindowRectEx(&frame, GetWindowLongW(g_mainWindow, GWL_STYLE), FALSE,
                          GetWindowLongW(g_mainWindow, GWL_EXSTYLE)))
    return bounds;
  const RECT& outer = placement.rcNormalPosition;
  return {0, 0, (outer.right - outer.left) - (frame.right - frame.left),
          (outer.bottom - outer.top) - (frame.bottom - frame.top)};
}

HRESULT OnProcessFailed(ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs* args) {
  COREWEBVIEW2_PROCESS_FAILED_KIND failure;
  if (!args || FAILED(args->get_ProcessFailedKind(&failure))) return S_OK;
  switch (failure) {
    case COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED:
      if (!g_webViewController) return S_OK;  // already taken for dead
      // Swapped into the empty holders: mingw-w64's ComPtr copies on move assignment.
      g_deadController.Swap(g_webViewController);
      g_deadWebView.Swap(g_webView);
      break;
    case COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_EXITED:
    case COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_UNRESPONSIVE:
      break;
    default:
      return S_OK;  // the runtime recovers the other processes itself
  }
  // A browser process that ended outweighs its page's failure, whichever came first.
  if (g_raisedFailure != COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED)
    g_raisedFailure = failure;
  PostMessageW(g_mainWindow, WM_WEB_VIEW_PROCESS_FAILED, 0, 0);
  return S_OK;
}

// Counts one recovery; false once they are spent.
bool TakeRecovery() {
  if (g_recoveries == kMaximumRecoveries) return false;
  ++g_recoveries;
  return true;
}

void RecreateWebView() {
  if (!TakeRecovery()) return;
  g_recreating = true;
  InitializeWebView(g_mainWindow);
}

void CALLBACK RecreateWebViewLater(HWND window, UINT, UINT_PTR timer, DWORD) {
  KillTimer(window, timer);
  if (!g_webViewClosed) RecreateWebView();
}

// No web view came about; when it was to replace a dead one, it is tried again.
void CreationFailed() {
  if (g_recreating && !g_webViewClosed)
    SetTimer(g_mainWindow, kRecreateTimerId, kRecreateDelayMs, RecreateWebViewLater);
}

HRESULT OnControllerCreated(HRESULT, ICoreWebView2Controller* controller) {
  if (!controller) {
    CreationFailed();
    return S_OK;
  }
  // Created for a window that has gone since: closed at once, never shown.
  if (g_webViewClosed) {
    controller->Close();
    return S_OK;
  }
  g_webViewController = controller;
  g_recreating = false;
  g_webViewVisible = true;
  g_navigationEventsRegistered = false;
  g_webView = nullptr;
  g_webViewController->get_CoreWebView2(&g_webView);
  if (!g_webView) return S_OK;

  // Once per web view; a dead one's go with it when its controller is closed.
  Subscribe<ICoreWebView2ProcessFailedEventHandler, IID_ICoreWebView2ProcessFailedEventHandler>(
      &ICoreWebView2::add_ProcessFailed, OnProcessFailed);
  g_navigationEventsRegistered =
      Subscribe<ICoreWebView2NavigationStartingEventHandler,
                IID_ICoreWebView2NavigationStartingEventHandler>(
          &ICoreWebView2::add_NavigationStarting, OnNavigationStarting) &&
      Subscribe<ICoreWebView2NavigationCompletedEventHandler,
                IID_ICoreWebView2NavigationCompletedEventHandler>(
          &ICoreWebView2::add_NavigationCompleted, OnNavigationCompleted);

  ComPtr<ICoreWebView2Settings> settings;
  g_webView->get_Settings(&settings);
  if (settings) {
    settings->put_IsScriptEnabled(TRUE);
    settings->put_AreDefaultScriptDialogsEnabled(TRUE);
    settings->put_IsWebMessageEnabled(TRUE);
  }
  // Sized from the window as it is now: resizes before the controller came were not applied.
  ResizeWebViewToClientArea();
  if (SUCCEEDED(g_webView->Navigate(AsWide(kHomePageUrl)))) g_pageClose.HomePageRequested();
  // The window was minimised before there was a web view to hide: at start, or while the runtime
  // was recovering.
  if (IsIconic(g_mainWindow)) ShowWebView(false);
  // The window's own focus arrived before there was a page to pass it to.
  if (GetFocus() == g_mainWindow) MoveFocusToWebView();
  return S_OK;
}

HRESULT OnEnvironmentCreated(HWND window, ICoreWebView2Environment* environment) {
  if (!environment) {
    CreationFailed();
    return S_OK;
  }
  auto handler =
      MakeCompletionHandler<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                            IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler>(
          OnControllerCreated);
  if (handler) environment->CreateCoreWebView2Controller(window, handler.Get());
  return S_OK;
}

}  // namespace

void ResizeWebViewToClientArea() {
  ICoreWebView2Controller* controller = LiveController();
  if (!controller || !g_mainWindow) return;
  const RECT bounds = WebViewBounds();
  if (!IsRectEmpty(&bounds)) controller->put_Bounds(bounds);
}

void ShowWebView(bool visible) {
  ICoreWebView2Controller* controller = LiveController();
  if (!controller || visible == g_webViewVisible) return;
  g_webViewVisible = visible;
  controller->put_IsVisible(visible);
}

void MoveFocusToWebView() {
  if (ICoreWebView2Controller* controller = LiveController())
    controller->MoveFocus(COREWEBVIEW2_MOVE_FOCUS_REASON_PROGRAMMATIC);
}

void NotifyWebViewOfWindowMove() {
  if (ICoreWebView2Controller* controller = LiveController())
    controller->NotifyParentWindowPositionChanged();
}

void RecoverWebView() {
  const auto failure = std::exchange(g_raisedFailure, std::nullopt);
  if (!failure) return;  // posted by someone else
  if (*failure == COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED) CloseDeadWebView();
  if (g_webViewClosed) return;  // the window is going
  // The user asked to close: a page that cannot answer any more is not brought back for it.
  if (g_pageClose.PageFailed(GetTickCount64()) == CloseStep::kDestroy) {
    DestroyWindow(g_mainWindow);
    return;
  }
  switch (*failure) {
    case COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED:
      RecreateWebView();
      return;
    case COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_EXITED:
      // A reload needs the web view to be live.
      if (g_webView && TakeRecovery()) g_webView->Reload();
      return;
    default:
      return;  // outside a close, an unresponsive page is the site's own to answer
  }
}

bool AskPageBeforeClosing() {
  ICoreWebView2* webView = LiveWebView();
  switch (g_pageClose.CloseRequested(GetTickCount64(), webView && g_navigationEventsRegistered,
                                     GetDoubleClickTime())) {
    case CloseStep::kNothing:
      return true;
    case CloseStep::kAsk:
      // The page's question belongs to the web view, which is hidden while the window is
      // minimised.
      if (IsIconic(g_mainWindow)) ShowWindow(g_mainWindow, SW_RESTORE);
      return SUCCEEDED(webView->Navigate(AsWide(kLeavePageUrl)));
    default:
      return false;
  }
}

void CloseWebView() {
  if (g_webViewClosed) return;
  g_webViewClosed = true;
  CloseDeadWebView();
  if (g_webViewController) g_webViewController->Close();
}

void InitializeWebView(HWND window) {
  auto handler =
      MakeCompletionHandler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                            IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler>(
          [window](HRESULT, ICoreWebView2Environment* environment) {
            return OnEnvironmentCreated(window, environment);
          });
  if (!handler ||
      FAILED(CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, handler.Get())))
    CreationFailed();
}
