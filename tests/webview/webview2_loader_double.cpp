// A stand-in for WebView2Loader.dll, for tests: implements the environment, controller, web view
// and settings objects the program uses (every other method fails with E_NOTIMPL), and writes
// each call with its arguments to the file named by OSTREL_WEBVIEW_LOG.
//
// OSTREL_WEBVIEW_FAIL, a comma-separated list, makes steps fail: "environment" (no environment
// delivered), "controller" (no controller, with a failure code), "webview" (the controller has no
// web view), "settings" (the web view has no settings). OSTREL_WEBVIEW_DELAY_MS delays the
// controller's completion. Completions arrive through the caller's message loop, as the real
// runtime's do.
//
// Written against the SDK header's C view of the interfaces, so each object is its vtable of
// named slots: the unused ones are filled with one generic E_NOTIMPL function.
#define CINTERFACE
#define COBJMACROS
#include <windows.h>

#include <WebView2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

namespace {

void Log(const std::string& line) {
  const char* path = std::getenv("OSTREL_WEBVIEW_LOG");
  if (!path) return;
  if (FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

bool Fails(const char* step) {
  const char* steps = std::getenv("OSTREL_WEBVIEW_FAIL");
  return steps && std::strstr(steps, step);
}

std::string Text(LPCWSTR text) {
  if (!text) return "null";
  std::string out;
  for (; *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
  return out;
}

std::string Hex(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(result));
  return text;
}

// Completions run from a thread timer, dispatched by the caller's message loop.
std::map<UINT_PTR, std::function<void()>> g_pending;

void CALLBACK RunPending(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  auto found = g_pending.find(id);
  if (found == g_pending.end()) return;
  std::function<void()> completion = std::move(found->second);
  g_pending.erase(found);
  completion();
}

void Later(UINT delayMs, std::function<void()> completion) {
  g_pending[SetTimer(nullptr, 0, delayMs, RunPending)] = std::move(completion);
}

HRESULT STDMETHODCALLTYPE NotImplemented() { return E_NOTIMPL; }

// One counted object of the double: the vtable pointer first, as COM lays objects out.
struct Object {
  const void* vtable;
  LONG count;
  const char* name;
};

template <typename Vtable>
void FillNotImplemented(Vtable& vtable) {
  auto** slots = reinterpret_cast<void**>(&vtable);
  for (size_t i = 0; i < sizeof vtable / sizeof(void*); ++i)
    slots[i] = reinterpret_cast<void*>(&NotImplemented);
}

HRESULT STDMETHODCALLTYPE QueryInterface(void* self, REFIID, void** out) {
  *out = nullptr;
  Log(std::string("QueryInterface ") + static_cast<Object*>(self)->name);
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE AddRef(void* self) { return ++static_cast<Object*>(self)->count; }

ULONG STDMETHODCALLTYPE Release(void* self) {
  auto* object = static_cast<Object*>(self);
  LONG count = --object->count;
  Log(std::string("Release ") + object->name + " " + std::to_string(count));
  return count;
}

template <typename Vtable>
Vtable MakeVtable() {
  Vtable vtable;
  FillNotImplemented(vtable);
  vtable.QueryInterface = reinterpret_cast<decltype(vtable.QueryInterface)>(&QueryInterface);
  vtable.AddRef = reinterpret_cast<decltype(vtable.AddRef)>(&AddRef);
  vtable.Release = reinterpret_cast<decltype(vtable.Release)>(&Release);
  return vtable;
}

template <typename Interface>
Interface* Handing(Object* object) {
  ++object->count;  // the caller's reference
  return reinterpret_cast<Interface*>(object);
}

// A getter's answer: the object with a reference for the caller, or nothing when told to fail.
template <typename Interface>
HRESULT HandOut(const char* call, const char* failStep, Object* object, Interface** out) {
  Log(call);
  *out = Fails(failStep) ? nullptr : Handing<Interface>(object);
  return *out ? S_OK : E_FAIL;
}

// A completion: delivers the object (or nothing, with a failure code, when told to fail), then
// logs the handler's count after the double's own reference is dropped.
template <typename Handler, typename Interface>
void Complete(Handler* handler, const char* label, const char* step, HRESULT failure,
              Object* object) {
  const bool fail = Fails(step);
  const HRESULT result = fail ? failure : S_OK;
  std::string line = label;
  line.append(" ").append(Hex(result)).append(" ").append(fail ? "null" : object->name);
  Log(line);
  Interface* delivered = fail ? nullptr : Handing<Interface>(object);
  handler->lpVtbl->Invoke(handler, result, delivered);
  if (delivered) delivered->lpVtbl->Release(delivered);
  Log(std::string("Release ") + object->name + "-handler " +
      std::to_string(handler->lpVtbl->Release(handler)));
}

// --- Settings --------------------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE PutIsScriptEnabled(ICoreWebView2Settings*, BOOL value) {
  Log("put_IsScriptEnabled " + std::to_string(value));
  return S_OK;
}
HRESULT STDMETHODCALLTYPE PutAreDefaultScriptDialogsEnabled(ICoreWebView2Settings*, BOOL value) {
  Log("put_AreDefaultScriptDialogsEnabled " + std::to_string(value));
  return S_OK;
}
HRESULT STDMETHODCALLTYPE PutIsWebMessageEnabled(ICoreWebView2Settings*, BOOL value) {
  Log("put_IsWebMessageEnabled " + std::to_string(value));
  return S_OK;
}

const ICoreWebView2SettingsVtbl kSettingsVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2SettingsVtbl>();
  vtable.put_IsScriptEnabled = PutIsScriptEnabled;
  vtable.put_AreDefaultScriptDialogsEnabled = PutAreDefaultScriptDialogsEnabled;
  vtable.put_IsWebMessageEnabled = PutIsWebMessageEnabled;
  return vtable;
}();
Object g_settings = {&kSettingsVtable, 1, "settings"};

// --- Web view --------------------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE GetSettings(ICoreWebView2*, ICoreWebView2Settings** settings) {
  return HandOut("get_Settings", "settings", &g_settings, settings);
}

HRESULT STDMETHODCALLTYPE Navigate(ICoreWebView2*, LPCWSTR uri) {
  Log("Navigate " + Text(uri));
  return S_OK;
}

const ICoreWebView2Vtbl kWebViewVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2Vtbl>();
  vtable.get_Settings = GetSettings;
  vtable.Navigate = Navigate;
  return vtable;
}();
Object g_webView = {&kWebViewVtable, 1, "webview"};

// --- Controller ------------------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE PutBounds(ICoreWebView2Controller*, RECT bounds) {
  Log("put_Bounds " + std::to_string(bounds.left) + " " + std::to_string(bounds.top) + " " +
      std::to_string(bounds.right) + " " + std::to_string(bounds.bottom));
  return S_OK;
}

HRESULT STDMETHODCALLTYPE GetCoreWebView2(ICoreWebView2Controller*, ICoreWebView2** webView) {
  return HandOut("get_CoreWebView2", "webview", &g_webView, webView);
}

const ICoreWebView2ControllerVtbl kControllerVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2ControllerVtbl>();
  vtable.put_Bounds = PutBounds;
  vtable.get_CoreWebView2 = GetCoreWebView2;
  return vtable;
}();
Object g_controller = {&kControllerVtable, 1, "controller"};

// --- Environment -----------------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE
CreateController(ICoreWebView2Environment*, HWND parent,
                 ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) {
  Log("CreateCoreWebView2Controller parent=" + std::to_string(reinterpret_cast<INT_PTR>(parent)));
  handler->lpVtbl->AddRef(handler);
  const char* delay = std::getenv("OSTREL_WEBVIEW_DELAY_MS");
  Later(delay ? std::atoi(delay) : 0, [handler] {
    Complete<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, ICoreWebView2Controller>(
        handler, "ControllerCompleted", "controller", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
        &g_controller);
  });
  return S_OK;
}

const ICoreWebView2EnvironmentVtbl kEnvironmentVtable = [] {
  auto vtable = MakeVtable<ICoreWebView2EnvironmentVtbl>();
  vtable.CreateCoreWebView2Controller = CreateController;
  return vtable;
}();
Object g_environment = {&kEnvironmentVtable, 1, "environment"};

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR browserFolder, PCWSTR userDataFolder, ICoreWebView2EnvironmentOptions* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
  Log("CreateCoreWebView2EnvironmentWithOptions browserFolder=" + Text(browserFolder) +
      " userDataFolder=" + Text(userDataFolder) + " options=" + (options ? "set" : "null"));
  handler->lpVtbl->AddRef(handler);
  Later(0, [handler] {
    Complete<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, ICoreWebView2Environment>(
        handler, "EnvironmentCompleted", "environment", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
        &g_environment);
  });
  return S_OK;
}
