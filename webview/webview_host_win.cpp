#include "webview/webview_host.h"

#include <cwchar>
#include <optional>
#include <utility>

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

// The dead web view's handlers go with its controller's Close, which the runtime allows on a dead
// controller.
void CloseDeadWebView() {
  if (g_deadController) g_deadController->Close();
  g_deadController = nullptr;
  g_deadWebView = nullptr;
}

// Whether the live web view is shown, as last told; the runtime shows a new controller.
bool g_webViewVisible = true;

// Closing asks the page first: the host navigates it away, and the runtime runs the page's
// beforeunload (with its own "Leave site?" dialog) before it raises NavigationStarting, and does
// not raise it at all when the user stays. So the first navigation within kAskMs of the close
// answers it: the host's own about:blank means the page let go, any other navigation means the
// user is still at work; an ask left unanswered that long has ended, and a later about:blank is
// the page's own. A second close within kAskMs of the one that asked closes at once, unless it is
// the same gesture (a double-click); the page's unload handlers get at most kUnloadMs once it let
// go.
constexpr wchar_t kLeavePageUrl[] = L"about:blank";
constexpr ULONGLONG kAskMs = 10000;
constexpr UINT kUnloadMs = 2000;
constexpr UINT_PTR kCloseTimerId = 1;
// The live web view reports its navigations to the host, so a close can ask the page.
bool g_navigationEventsRegistered = false;
std::optional<ULONGLONG> g_closeAskedAt;      // GetTickCount64 of the last close that asked
bool g_askAnswered = true;                    // by a navigation since that close
std::optional<UINT64> g_leavingNavigationId;  // set once the page let go
// The home page's navigation, asked for and not yet started: the start of the web view's first
// navigation is no answer to a close that came before it.
bool g_homePageRequested = false;

// Set when the window goes: the controller is closed then, as the runtime asks of its hosts, and
// nothing may call it or its web view afterwards (the runtime answers with an invalid-state
// error). The references themselves are released at exit.
bool g_webViewClosed = false;

ICoreWebView2Controller* LiveController() {
  return g_webViewClosed ? nullptr : g_webViewController.Get();
}
ICoreWebView2* LiveWebView() { return g_webViewClosed ? nullptr : g_webView.Get(); }

bool WithinAskOfClose() { return g_closeAskedAt && GetTickCount64() - *g_closeAskedAt < kAskMs; }

bool CloseIsPending() { return g_leavingNavigationId || WithinAskOfClose(); }

void CALLBACK DestroyMainWindow(HWND window, UINT, UINT_PTR timer, DWORD) {
  KillTimer(window, timer);
  DestroyWindow(window);
}

HRESULT OnNavigationStarting(ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) {
  if (std::exchange(g_homePageRequested, false) || g_askAnswered || !WithinAskOfClose() || !args)
    return S_OK;
  g_askAnswered = true;
  LPWSTR uri = nullptr;
  BOOL userInitiated = TRUE;
  UINT64 id;
  const bool read = SUCCEEDED(args->get_Uri(&uri)) &&
                    SUCCEEDED(args->get_IsUserInitiated(&userInitiated)) &&
                    SUCCEEDED(args->get_NavigationId(&id));
  const bool leaving = read && !userInitiated && std::wcscmp(uri, kLeavePageUrl) == 0;
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
  // Created for a window that has gone since: closed at once, never shown.
  if (g_webViewClosed) {
    controller->Close();
    return S_OK;
  }
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
  g_homePageRequested = SUCCEEDED(g_webView->Navigate(AsWide(kHomePageUrl)));
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

void RecoverWebView(COREWEBVIEW2_PROCESS_FAILED_KIND failure) {
  const bool browserExited = failure == COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED;
  if (browserExited) CloseDeadWebView();
  if (g_webViewClosed) return;  // the window is going
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
  ICoreWebView2* webView = LiveWebView();
  if (g_leavingNavigationId || !webView || !g_navigationEventsRegistered) return false;
  const ULONGLONG now = GetTickCount64();
  if (g_closeAskedAt) {
    const ULONGLONG since = now - *g_closeAskedAt;
    if (since < GetDoubleClickTime()) return true;  // the same gesture as the close that asked
    if (since < kAskMs) return false;               // the user insists
  }
  // The page's question belongs to the web view, which is hidden while the window is minimised.
  if (IsIconic(g_mainWindow)) ShowWindow(g_mainWindow, SW_RESTORE);
  if (FAILED(webView->Navigate(kLeavePageUrl))) return false;
  g_closeAskedAt = now;
  g_askAnswered = false;
  return true;
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
  if (handler) CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, handler.Get());
}
