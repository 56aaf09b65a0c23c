// A stand-in for WebView2Loader.dll, for tests: implements the environment, controller, web view
// and settings objects the program uses (every other method fails with E_NOTIMPL), and writes
// each call with its arguments to the file named by OSTREL_WEBVIEW_LOG.
//
// OSTREL_WEBVIEW_FAIL, a comma-separated list, makes steps fail: "environment" (no environment
// delivered), "controller" (no controller, with a failure code), "webview" (the controller has no
// web view), "settings" (the web view has no settings), "recreation" (the first environment after
// a browser process exit, whose data folder that process still holds). OSTREL_WEBVIEW_DELAY_MS
// delays the controller's completion. Completions arrive through the caller's message loop, as the
// real runtime's do. OSTREL_WEBVIEW_PROCESS_FAILED, a COREWEBVIEW2_PROCESS_FAILED_KIND, is raised
// on each web view soon after its controller arrived.
//
// Each Navigate raises NavigationStarting and, 200 ms later, NavigationCompleted, with the
// navigation's id, as the runtime does (a navigation away runs the page's beforeunload before it
// starts); the runtime reports navigations made through its API as user-initiated. One that
// replaces a navigation still loading completes that one unsuccessfully after it started.
// OSTREL_WEBVIEW_PAGE, a comma-separated list, shapes the page: "loading" (the first navigation
// completes only when replaced), "redirects" (the navigation still loading is redirected, with
// its own id, before a navigation away starts), "stays" (the page keeps itself: a navigation away
// raises nothing), "hangs" (a navigation away never completes), "crashes" (a navigation away ends
// the page's process instead).
//
// Close releases the event handlers, and from then on the controller and its web view answer
// every call with ERROR_INVALID_STATE, logged as "closed", as the runtime's do.
//
// Written against the SDK header's C view of the interfaces, so each object is its vtable of
// named slots: the unused ones are filled with one generic E_NOTIMPL function.
#define CINTERFACE
#include <windows.h>

#include <WebView2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>

namespace {

void Log(const std::string& line) {
  const char* path = std::getenv("OSTREL_WEBVIEW_LOG");
  if (FILE* file = path ? std::fopen(path, "a") : nullptr) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

bool Listed(const char* variable, const char* word) {
  const char* words = std::getenv(variable);
  return words && std::strstr(words, word);
}
bool Fails(const char* step) { return Listed("OSTREL_WEBVIEW_FAIL", step); }

std::string Text(LPCWSTR text) {
  std::string out = text ? "" : "null";
  for (; text && *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
  return out;
}

// The calling thread's COM apartment: WebView2 must be created from a single-threaded one.
std::string Apartment() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  if (FAILED(CoGetApartmentType(&type, &qualifier))) return "none";
  return type == APTTYPE_MAINSTA ? "main-sta" : type == APTTYPE_STA ? "sta" : "other";
}

// Completions run from a thread timer, dispatched by the caller's message loop.
std::map<UINT_PTR, std::function<void()>> g_pending;

void Later(UINT delayMs, std::function<void()> completion) {
  g_pending[SetTimer(nullptr, 0, delayMs, [](HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    std::function<void()> run = std::move(g_pending[id]);
    g_pending.erase(id);
    if (run) run();
  })] = std::move(completion);
}

// The COREWEBVIEW2_PROCESS_FAILED_KIND to raise on each web view, if any.
const char* const kProcessFailed = std::getenv("OSTREL_WEBVIEW_PROCESS_FAILED");

// Set by a browser process exit, until a new environment: the objects of the dead process answer
// every call with ERROR_INVALID_STATE, as the runtime's do, and the call is logged as dead.
bool g_browserProcessExited = false;

// Set by Close, until the next controller is asked for.
bool g_controllerClosed = false;

// Logs a call and answers it.
HRESULT Call(const std::string& line) {
  const std::string state = g_controllerClosed ? "closed " : g_browserProcessExited ? "dead " : "";
  Log(state + line);
  return state.empty() ? S_OK : HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
}

// One counted object of the double: the vtable pointer first, as COM lays objects out.
struct Object {
  const void* vtable;
  LONG count;
  const char* name;
};

HRESULT STDMETHODCALLTYPE NotImplemented() { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE QueryInterface(void*, REFIID, void** out) {
  *out = nullptr;
  return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE AddRef(void* self) { return ++static_cast<Object*>(self)->count; }
ULONG STDMETHODCALLTYPE Release(void* self) {
  auto* object = static_cast<Object*>(self);
  Log(std::string("Release ") + object->name + " " + std::to_string(--object->count));
  return object->count;
}

template <typename Vtable>
Vtable MakeVtable() {
  Vtable vtable;
  auto** slots = reinterpret_cast<void**>(&vtable);
  for (size_t i = 0; i < sizeof vtable / sizeof(void*); ++i)
    slots[i] = reinterpret_cast<void*>(&NotImplemented);
  vtable.QueryInterface = reinterpret_cast<decltype(vtable.QueryInterface)>(&QueryInterface);
  vtable.AddRef = reinterpret_cast<decltype(vtable.AddRef)>(&AddRef);
  vtable.Release = reinterpret_cast<decltype(vtable.Release)>(&Release);
  return vtable;
}

// The object with a reference for the caller, or nothing when its step is told to fail.
template <typename Interface>
Interface* Deliver(const char* step, Object* object) {
  if (Fails(step)) return nullptr;
  ++object->count;
  return reinterpret_cast<Interface*>(object);
}

template <typename Interface>
HRESULT Get(const char* call, const char* step, Object* object, Interface** out) {
  *out = SUCCEEDED(Call(call)) ? Deliver<Interface>(step, object) : nullptr;
  return *out ? S_OK : E_FAIL;
}

// A completion: delivers the object (or nothing, with a failure code), then logs the handler's
// count after the double's own reference is dropped.
template <typename Interface, typename Handler>
void Complete(Handler* handler, const char* label, const char* step, HRESULT failure,
              Object* object) {
  Interface* delivered = Deliver<Interface>(step, object);
  const HRESULT result = delivered ? S_OK : failure;
  char line[96];
  std::snprintf(line, sizeof line, "%s 0x%08lx %s", label, static_cast<unsigned long>(result),
                delivered ? object->name : "null");
  Log(line);
  handler->lpVtbl->Invoke(handler, result, delivered);
  if (delivered) delivered->lpVtbl->Release(delivered);
  Log(std::string("Release ") + object->name + "-handler " +
      std::to_string(handler->lpVtbl->Release(handler)));
}

template <const char* kName>
HRESULT STDMETHODCALLTYPE PutFlag(ICoreWebView2Settings*, BOOL value) {
  return Call(std::string(kName) + " " + std::to_string(value));
}
constexpr char kScript[] = "put_IsScriptEnabled";
constexpr char kDialogs[] = "put_AreDefaultScriptDialogsEnabled";
constexpr char kWebMessages[] = "put_IsWebMessageEnabled";

const auto kSettingsVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2SettingsVtbl>();
  vtable.put_IsScriptEnabled = PutFlag<kScript>;
  vtable.put_AreDefaultScriptDialogsEnabled = PutFlag<kDialogs>;
  vtable.put_IsWebMessageEnabled = PutFlag<kWebMessages>;
  return vtable;
}();
Object g_settings = {&kSettingsVtable, 1, "settings"};

// The handlers registered on the web view, by event: the runtime holds a reference to each until
// the controller is closed.
std::map<std::string, IUnknown*> g_handlers;
extern Object g_webView;  // the sender of every event

HRESULT Subscribe(const char* event, void* handler) {
  auto* unknown = static_cast<IUnknown*>(handler);
  unknown->lpVtbl->AddRef(unknown);
  if (IUnknown* old = std::exchange(g_handlers[event], unknown)) old->lpVtbl->Release(old);
  return Call(std::string("add_") + event);
}

template <typename Handler, typename Args>
void Raise(const char* event, Object* args) {
  if (auto* handler = reinterpret_cast<Handler*>(g_handlers[event]))
    handler->lpVtbl->Invoke(handler, reinterpret_cast<ICoreWebView2*>(&g_webView),
                            reinterpret_cast<Args*>(args));
}

// The navigation an event is raised for, and the one still loading (0: none).
std::wstring g_eventUri;
BOOL g_eventUserInitiated = FALSE, g_eventRedirected = FALSE;
UINT64 g_eventId = 0, g_lastId = 0, g_loadingId = 0;
int g_navigations = 0;  // of the current web view

const auto kStartingArgsVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2NavigationStartingEventArgsVtbl>();
  vtable.get_Uri = [](ICoreWebView2NavigationStartingEventArgs*, LPWSTR* uri) {
    const size_t bytes = (g_eventUri.size() + 1) * sizeof(wchar_t);
    *uri = static_cast<LPWSTR>(std::memcpy(CoTaskMemAlloc(bytes), g_eventUri.c_str(), bytes));
    return S_OK;
  };
  vtable.get_IsUserInitiated = [](ICoreWebView2NavigationStartingEventArgs*, BOOL* user) {
    return *user = g_eventUserInitiated, S_OK;
  };
  vtable.get_IsRedirected = [](ICoreWebView2NavigationStartingEventArgs*, BOOL* redirected) {
    return *redirected = g_eventRedirected, S_OK;
  };
  vtable.get_NavigationId = [](ICoreWebView2NavigationStartingEventArgs*, UINT64* id) {
    return *id = g_eventId, S_OK;
  };
  return vtable;
}();
Object g_startingArgs = {&kStartingArgsVtable, 1, "args"};
const auto kCompletedArgsVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2NavigationCompletedEventArgsVtbl>();
  vtable.get_NavigationId = [](ICoreWebView2NavigationCompletedEventArgs*, UINT64* id) {
    return *id = g_eventId, S_OK;
  };
  return vtable;
}();
Object g_completedArgs = {&kCompletedArgsVtable, 1, "args"};

void CompleteNavigation(UINT64 id, BOOL success) {
  g_eventId = id;
  Log("event NavigationCompleted " + std::to_string(id) + " " + std::to_string(success));
  Raise<ICoreWebView2NavigationCompletedEventHandler, ICoreWebView2NavigationCompletedEventArgs>(
      "NavigationCompleted", &g_completedArgs);
}

void RaiseStarting(UINT64 id, const std::wstring& uri, BOOL userInitiated, BOOL redirected) {
  g_eventUri = uri, g_eventId = id, g_eventUserInitiated = userInitiated;
  g_eventRedirected = redirected;
  Log("event NavigationStarting " + std::to_string(id) + " " + Text(uri.c_str()) +
      (userInitiated ? " user" : "") + (redirected ? " redirected" : ""));
  Raise<ICoreWebView2NavigationStartingEventHandler, ICoreWebView2NavigationStartingEventArgs>(
      "NavigationStarting", &g_startingArgs);
}

void StartNavigation(const std::wstring& uri, BOOL userInitiated, bool completes) {
  const UINT64 id = ++g_lastId;
  Later(50, [id, completes, userInitiated, uri] {
    if (g_loadingId && Listed("OSTREL_WEBVIEW_PAGE", "redirects"))
      RaiseStarting(g_loadingId, L"https://127.0.0.1:9/sign-in", TRUE, TRUE);
    RaiseStarting(id, uri, userInitiated, FALSE);
    if (g_loadingId) CompleteNavigation(std::exchange(g_loadingId, 0), FALSE);
    g_loadingId = id;
    if (completes)
      Later(200, [id] {
        if (g_loadingId == id) CompleteNavigation(std::exchange(g_loadingId, 0), TRUE);
      });
  });
}

void RaiseProcessFailed(int kind);
HRESULT Navigate(LPCWSTR uri) {
  const HRESULT result = Call("Navigate " + Text(uri));
  const bool away = g_navigations++ > 0;
  if (FAILED(result)) return result;
  if (away && Listed("OSTREL_WEBVIEW_PAGE", "stays")) return result;
  if (away && Listed("OSTREL_WEBVIEW_PAGE", "crashes")) {
    Later(100, [] { RaiseProcessFailed(COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_EXITED); });
    return result;
  }
  const char* unfinished = away ? "hangs" : "loading";
  StartNavigation(uri, TRUE,
                  !Listed("OSTREL_WEBVIEW_PAGE", unfinished) &&
                      !(!away && Listed("OSTREL_WEBVIEW_PAGE", "redirects")));
  return result;
}

const auto kWebViewVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2Vtbl>();
  vtable.get_Settings = [](ICoreWebView2*, ICoreWebView2Settings** settings) {
    return Get("get_Settings", "settings", &g_settings, settings);
  };
  vtable.Navigate = [](ICoreWebView2*, LPCWSTR uri) { return Navigate(uri); };
  vtable.Reload = [](ICoreWebView2*) { return Call("Reload"); };
  vtable.add_ProcessFailed = [](ICoreWebView2*, ICoreWebView2ProcessFailedEventHandler* handler,
                                EventRegistrationToken*) {
    return Subscribe("ProcessFailed", handler);
  };
  vtable.add_NavigationStarting = [](ICoreWebView2*, auto* handler, EventRegistrationToken*) {
    return Subscribe("NavigationStarting", handler);
  };
  vtable.add_NavigationCompleted = [](ICoreWebView2*, auto* handler, EventRegistrationToken*) {
    return Subscribe("NavigationCompleted", handler);
  };
  return vtable;
}();
Object g_webView = {&kWebViewVtable, 1, "webview"};

const auto kControllerVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2ControllerVtbl>();
  vtable.put_Bounds = [](ICoreWebView2Controller*, RECT r) {
    return Call("put_Bounds " + std::to_string(r.left) + " " + std::to_string(r.top) + " " +
                std::to_string(r.right) + " " + std::to_string(r.bottom));
  };
  vtable.put_IsVisible = [](ICoreWebView2Controller*, BOOL visible) {
    return Call("put_IsVisible " + std::to_string(visible));
  };
  vtable.MoveFocus = [](ICoreWebView2Controller*, COREWEBVIEW2_MOVE_FOCUS_REASON reason) {
    return Call("MoveFocus " + std::to_string(reason));
  };
  vtable.NotifyParentWindowPositionChanged = [](ICoreWebView2Controller*) {
    return Call("NotifyParentWindowPositionChanged");
  };
  vtable.Close = [](ICoreWebView2Controller*) {  // allowed on a dead controller too
    if (g_controllerClosed) return Call("Close");
    g_controllerClosed = true;
    Log("Close");
    for (auto& [event, handler] : g_handlers)
      Log("Release " + event + "-event " + std::to_string(handler->lpVtbl->Release(handler)));
    g_handlers.clear();
    return S_OK;
  };
  vtable.get_CoreWebView2 = [](ICoreWebView2Controller*, ICoreWebView2** webView) {
    return Get("get_CoreWebView2", "webview", &g_webView, webView);
  };
  return vtable;
}();
Object g_controller = {&kControllerVtable, 1, "controller"};

const auto kEnvironmentVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2EnvironmentVtbl>();
  vtable.CreateCoreWebView2Controller =
      [](ICoreWebView2Environment*, HWND parent,
         ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) {
        g_controllerClosed = false;
        Call("CreateCoreWebView2Controller parent=" +
             std::to_string(reinterpret_cast<INT_PTR>(parent)));
        handler->lpVtbl->AddRef(handler);
        const char* delay = std::getenv("OSTREL_WEBVIEW_DELAY_MS");
        Later(delay ? std::atoi(delay) : 0, [handler] {
          g_navigations = 0;
          Complete<ICoreWebView2Controller>(handler, "ControllerCompleted", "controller",
                                            HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), &g_controller);
          if (kProcessFailed) Later(200, [] { RaiseProcessFailed(std::atoi(kProcessFailed)); });
        });
        return S_OK;
      };
  return vtable;
}();
Object g_environment = {&kEnvironmentVtable, 1, "environment"};

COREWEBVIEW2_PROCESS_FAILED_KIND g_failedKind;
const auto kProcessFailedArgsVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2ProcessFailedEventArgsVtbl>();
  vtable.get_ProcessFailedKind = [](ICoreWebView2ProcessFailedEventArgs*, auto* kind) {
    *kind = g_failedKind;
    return S_OK;
  };
  return vtable;
}();
Object g_processFailedArgs = {&kProcessFailedArgsVtable, 1, "args"};

void RaiseProcessFailed(int kind) {
  g_failedKind = COREWEBVIEW2_PROCESS_FAILED_KIND(kind);
  g_browserProcessExited = kind == COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED;
  Log("ProcessFailed " + std::to_string(kind));
  Raise<ICoreWebView2ProcessFailedEventHandler, ICoreWebView2ProcessFailedEventArgs>(
      "ProcessFailed", &g_processFailedArgs);
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR browserFolder, PCWSTR userDataFolder, ICoreWebView2EnvironmentOptions* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
  Log("CreateCoreWebView2EnvironmentWithOptions browserFolder=" + Text(browserFolder) +
      " userDataFolder=" + Text(userDataFolder) + " options=" + (options ? "set" : "null") +
      " apartment=" + Apartment());
  // A new environment starts a new browser process, once the old one let go of the data folder.
  static bool recreationFailed = false;
  const bool held = g_browserProcessExited && Fails("recreation") && !recreationFailed;
  recreationFailed = recreationFailed || held;
  g_browserProcessExited = held;
  handler->lpVtbl->AddRef(handler);
  Later(0, [handler, held] {
    Complete<ICoreWebView2Environment>(handler, "EnvironmentCompleted",
                                       held ? "recreation" : "environment",
                                       HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), &g_environment);
  });
  return S_OK;
}
