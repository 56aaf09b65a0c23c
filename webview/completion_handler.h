// A classic COM object made from a lambda, for WebView2's completion and event handler interfaces;
// WRL's Callback does the same but is not in mingw-w64.
#pragma once

#include <unknwn.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include <wrl/client.h>

#include "adopt_com_ptr.h"

template <typename Interface, const IID& kInterfaceId, typename Function,
          typename Invoke = decltype(&Interface::Invoke)>
class CompletionHandler;

// Specialised on the interface's Invoke signature, so one template serves every handler.
template <typename Interface, const IID& kInterfaceId, typename Function, typename... Args>
class CompletionHandler<Interface, kInterfaceId, Function,
                        HRESULT (STDMETHODCALLTYPE Interface::*)(Args...)>
    final : public Interface {
 public:
  explicit CompletionHandler(Function function) : function_(std::move(function)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(id, IID_IUnknown) && !IsEqualIID(id, kInterfaceId)) return E_NOINTERFACE;
    *object = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }

  ULONG STDMETHODCALLTYPE Release() override {
    const int32_t count = --count_;
    if (count == 0) delete this;
    return count;
  }

  HRESULT STDMETHODCALLTYPE Invoke(Args... args) override { return function_(args...); }

 private:
  std::atomic<int32_t> count_{1};
  Function function_;
};

// The new handler, holding its one reference; empty when it cannot be allocated.
template <typename Interface, const IID& kInterfaceId, typename Function>
Microsoft::WRL::ComPtr<Interface> MakeCompletionHandler(Function function) {
  return AdoptComPtr<Interface>(
      new (std::nothrow) CompletionHandler<Interface, kInterfaceId, Function>(std::move(function)));
}
