#include "webview/webview_host.h"

#include <cwchar>
#include <optional>

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

// Closing asks the page first: the host navigates it away, and the runtime runs the page's
// beforeunload (with its own "Leave site?" dialog) before it raises NavigationStarting, and does
// not raise it at all when the user stays. A second close within kInsistMs of the one that asked
// closes at once; the page's unload handlers get at most kUnloadMs once it let go.
constexpr wchar_t kLeavePageUrl[] = L"about:blank";
constexpr ULONGLONG kInsistMs = 10000;
constexpr UINT kUnloadMs = 2000;
constexpr UINT_PTR kCloseTimerId = 1;
// The live web view reports its navigations to the host, so a close can ask the page.
bool g_navigationEventsRegistered = false;
std::optional<ULONGLONG> g_closeAskedAt;      // GetTickCount64 of the last close that asked
std::optional<UINT64> g_leavingNavigationId;  // set once the page let go

bool CloseIsPending() {
  return g_leavingNavigationId ||
         (g_closeAskedAt && GetTickCount64() - *g_closeAskedAt < kInsistMs);
}

void CALLBACK DestroyMainWindow(HWND window, UINT, UINT_PTR timer, DWORD) {
  KillTimer(window, timer);
  DestroyWindow(window);
}

HRESULT OnNavigationStarting(ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) {
  LPWSTR uri = nullptr;
  UINT64 id;
  if (!g_closeAskedAt || g_leavingNavigationId || !args || FAILED(args->get_Uri(&uri)) ||
      FAILED(args->get_NavigationId(&id))) {
    CoTaskMemFree(uri);
    return S_OK;
  }
  const bool leaving = std::wcscmp(uri, kLeavePageUrl) == 0;
  CoTaskMemFree(uri);
  if (!leaving) return S_OK;
  // The page let go: the window goes at once, and is destroyed once the page has unloaded.
  g_leavingNavigationId = id;
  ShowWindow(g_mainWindow, SW_HIDE);
  SetTimer(g_mainWindow, kCloseTimerId, kUnloadMs, DestroyMainWindow);
  return S_OK;
}

// Matched by id: the completion of a navigation still loading when the close came (the home
// page's, cancelled by this one) may arrive after this one started.
HRESULT OnNavigationCompleted(ICoreWebView2*, ICoreWebView2NavigationCompletedEventArgs* args) {
  UINT64 id;
  if (!g_leavingNavigationId || !args || FAILED(args->get_NavigationId(&id)) ||
      id != *g_leavingNavigationId)
    return S_OK;
  // Not inside the runtime's event: the timer fires from the message loop.
  SetTimer(g_mainWindow, kCloseTimerId, USER_TIMER_MINIMUM, DestroyMainWindow);
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
  const RECT bounds = WebViewBounds();
  if (!IsRectEmpty(&bounds)) g_webViewController->put_Bounds(bounds);
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
  // The user asked to close: a page that cannot answer any more is not brought back for it.
  if (CloseIsPending()) {
    DestroyWindow(g_mainWindow);
    return;
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

bool AskPageBeforeClosing() {
  if (g_leavingNavigationId || !g_webView || !g_navigationEventsRegistered) return false;
  const ULONGLONG now = GetTickCount64();
  if (g_closeAskedAt && now - *g_closeAskedAt < kInsistMs) return false;  // the user insists
  if (FAILED(g_webView->Navigate(kLeavePageUrl))) return false;
  g_closeAskedAt = now;
  return true;
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
