// A stand-in for WebView2Loader.dll, for tests: implements the environment, controller, web view
// and settings objects the program uses (every other method fails with E_NOTIMPL), and writes
// each call with its arguments to the file named by OSTREL_WEBVIEW_LOG.
//
// OSTREL_WEBVIEW_FAIL, a comma-separated list, makes steps fail: "environment" (no environment
// delivered), "controller" (no controller, with a failure code), "webview" (the controller has no
// web view), "settings" (the web view has no settings). OSTREL_WEBVIEW_DELAY_MS delays the
// controller's completion. Completions arrive through the caller's message loop, as the real
// runtime's do. OSTREL_WEBVIEW_PROCESS_FAILED, a COREWEBVIEW2_PROCESS_FAILED_KIND, is raised on
// each web view soon after its controller arrived; after a browser process exit the objects
// answer every call but Close with ERROR_INVALID_STATE, and log it, until a new environment.
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

bool Fails(const char* step) {
  const char* steps = std::getenv("OSTREL_WEBVIEW_FAIL");
  return steps && std::strstr(steps, step);
}

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

// One counted object of the double: the vtable pointer first, as COM lays objects out; `other`
// is the vtable of its other life, alive or dead.
struct Object {
  const void* vtable;
  LONG count;
  const char* name;
  const void* other;
};

HRESULT STDMETHODCALLTYPE NotImplemented(Object*) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE DeadCall(Object* self) {
  Log(std::string("dead ") + self->name);
  return HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
}
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
Vtable MakeVtable(HRESULT(STDMETHODCALLTYPE* fill)(Object*) = NotImplemented) {
  Vtable vtable;
  auto** slots = reinterpret_cast<void**>(&vtable);
  for (size_t i = 0; i < sizeof vtable / sizeof(void*); ++i)
    slots[i] = reinterpret_cast<void*>(fill);
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
  Log(call);
  *out = Deliver<Interface>(step, object);
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
  Log(std::string(kName) + " " + std::to_string(value));
  return S_OK;
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
const auto kDeadSettingsVtable = MakeVtable<ICoreWebView2SettingsVtbl>(DeadCall);
Object g_settings = {&kSettingsVtable, 1, "settings", &kDeadSettingsVtable};

ICoreWebView2ProcessFailedEventHandler* g_processFailed = nullptr;

const auto kWebViewVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2Vtbl>();
  vtable.get_Settings = [](ICoreWebView2*, ICoreWebView2Settings** settings) {
    return Get("get_Settings", "settings", &g_settings, settings);
  };
  vtable.Navigate = [](ICoreWebView2*, LPCWSTR uri) {
    Log("Navigate " + Text(uri));
    return S_OK;
  };
  vtable.Reload = [](ICoreWebView2*) {
    Log("Reload");
    return S_OK;
  };
  vtable.add_ProcessFailed = [](ICoreWebView2*, ICoreWebView2ProcessFailedEventHandler* handler,
                                EventRegistrationToken* token) {
    Log("add_ProcessFailed");
    handler->lpVtbl->AddRef(handler);
    // One handler at a time: a new web view's replaces the old one's, as Close would release it.
    if (g_processFailed) g_processFailed->lpVtbl->Release(g_processFailed);
    g_processFailed = handler;
    token->value = 1;
    return S_OK;
  };
  vtable.remove_ProcessFailed = [](ICoreWebView2*, EventRegistrationToken) {
    Log("remove_ProcessFailed");
    if (g_processFailed) g_processFailed->lpVtbl->Release(g_processFailed);
    g_processFailed = nullptr;
    return S_OK;
  };
  return vtable;
}();
const auto kDeadWebViewVtable = MakeVtable<ICoreWebView2Vtbl>(DeadCall);
Object g_webView = {&kWebViewVtable, 1, "webview", &kDeadWebViewVtable};

const auto kControllerVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2ControllerVtbl>();
  vtable.put_Bounds = [](ICoreWebView2Controller*, RECT r) {
    Log("put_Bounds " + std::to_string(r.left) + " " + std::to_string(r.top) + " " +
        std::to_string(r.right) + " " + std::to_string(r.bottom));
    return S_OK;
  };
  vtable.MoveFocus = [](ICoreWebView2Controller*, COREWEBVIEW2_MOVE_FOCUS_REASON reason) {
    Log("MoveFocus " + std::to_string(reason));
    return S_OK;
  };
  vtable.NotifyParentWindowPositionChanged = [](ICoreWebView2Controller*) {
    Log("NotifyParentWindowPositionChanged");
    return S_OK;
  };
  vtable.get_CoreWebView2 = [](ICoreWebView2Controller*, ICoreWebView2** webView) {
    return Get("get_CoreWebView2", "webview", &g_webView, webView);
  };
  return vtable;
}();
const auto kDeadControllerVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2ControllerVtbl>(DeadCall);
  vtable.Close = [](ICoreWebView2Controller*) {
    Log("Close");
    return S_OK;
  };
  return vtable;
}();
Object g_controller = {&kControllerVtable, 1, "controller", &kDeadControllerVtable};

void RaiseProcessFailed();
const auto kEnvironmentVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2EnvironmentVtbl>();
  vtable.CreateCoreWebView2Controller =
      [](ICoreWebView2Environment*, HWND parent,
         ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) {
        Log("CreateCoreWebView2Controller parent=" +
            std::to_string(reinterpret_cast<INT_PTR>(parent)));
        handler->lpVtbl->AddRef(handler);
        const char* delay = std::getenv("OSTREL_WEBVIEW_DELAY_MS");
        Later(delay ? std::atoi(delay) : 0, [handler] {
          Complete<ICoreWebView2Controller>(handler, "ControllerCompleted", "controller",
                                            HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), &g_controller);
          if (std::getenv("OSTREL_WEBVIEW_PROCESS_FAILED")) Later(200, RaiseProcessFailed);
        });
        return S_OK;
      };
  return vtable;
}();
const auto kDeadEnvironmentVtable = MakeVtable<ICoreWebView2EnvironmentVtbl>(DeadCall);
Object g_environment = {&kEnvironmentVtable, 1, "environment", &kDeadEnvironmentVtable};

// The objects of the one browser process, alive or dead.
bool g_browserProcessAlive = true;
void SetBrowserProcessAlive(bool alive) {
  if (alive == g_browserProcessAlive) return;
  g_browserProcessAlive = alive;
  for (Object* object : {&g_environment, &g_controller, &g_webView, &g_settings})
    std::swap(object->vtable, object->other);
}

COREWEBVIEW2_PROCESS_FAILED_KIND FailedKind() {
  return static_cast<COREWEBVIEW2_PROCESS_FAILED_KIND>(
      std::atoi(std::getenv("OSTREL_WEBVIEW_PROCESS_FAILED")));
}
const auto kProcessFailedArgsVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2ProcessFailedEventArgsVtbl>();
  vtable.get_ProcessFailedKind = [](ICoreWebView2ProcessFailedEventArgs*,
                                    COREWEBVIEW2_PROCESS_FAILED_KIND* kind) {
    *kind = FailedKind();
    return S_OK;
  };
  return vtable;
}();
Object g_processFailedArgs = {&kProcessFailedArgsVtable, 1, "args", nullptr};

void RaiseProcessFailed() {
  if (FailedKind() == COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED)
    SetBrowserProcessAlive(false);
  Log("ProcessFailed " + std::to_string(FailedKind()));
  if (g_processFailed) {
    g_processFailed->lpVtbl->Invoke(
        g_processFailed, reinterpret_cast<ICoreWebView2*>(&g_webView),
        reinterpret_cast<ICoreWebView2ProcessFailedEventArgs*>(&g_processFailedArgs));
  }
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR browserFolder, PCWSTR userDataFolder, ICoreWebView2EnvironmentOptions* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
  Log("CreateCoreWebView2EnvironmentWithOptions browserFolder=" + Text(browserFolder) +
      " userDataFolder=" + Text(userDataFolder) + " options=" + (options ? "set" : "null") +
      " apartment=" + Apartment());
  SetBrowserProcessAlive(true);  // a new environment starts a new browser process
  handler->lpVtbl->AddRef(handler);
  Later(0, [handler] {
    Complete<ICoreWebView2Environment>(handler, "EnvironmentCompleted", "environment",
                                       HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), &g_environment);
  });
  return S_OK;
}
