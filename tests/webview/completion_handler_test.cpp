// The handler's COM rules; that Invoke reaches the lambda shows in the web view's call chain.
#include "webview/completion_handler.h"

#include <gtest/gtest.h>

#include <WebView2.h>

#include <memory>
#include <thread>

namespace {

using EnvironmentHandler = ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler;

// The lambda's capture holds `alive`: its use count shows whether the handler still exists.
auto MakeHandler(const std::shared_ptr<int>& alive) {
  return MakeCompletionHandler<EnvironmentHandler,
                               IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler>(
      [alive](HRESULT, ICoreWebView2Environment*) { return S_OK; });
}

TEST(CompletionHandler, AtomicCountFromOneAndTheLastReleaseDestroys) {
  auto alive = std::make_shared<int>();
  EnvironmentHandler* handler = MakeHandler(alive).Detach();
  auto churn = [handler] {
    for (int i = 0; i < 100000; ++i) {
      handler->AddRef();
      handler->Release();
    }
  };
  std::thread other(churn);
  churn();
  other.join();
  EXPECT_EQ(alive.use_count(), 2);
  EXPECT_EQ(handler->AddRef(), 2u);
  EXPECT_EQ(handler->Release(), 1u);
  EXPECT_EQ(handler->Release(), 0u);
  EXPECT_EQ(alive.use_count(), 1);
}

TEST(CompletionHandler, AnswersOnlyIUnknownAndItsOwnInterface) {
  auto alive = std::make_shared<int>();
  auto handler = MakeHandler(alive);
  for (const IID* id :
       {&IID_IUnknown, &IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler}) {
    void* object = nullptr;
    EXPECT_EQ(handler->QueryInterface(*id, &object), S_OK);
    EXPECT_EQ(object, handler.Get());
    EXPECT_EQ(handler->Release(), 1u);  // the reference QueryInterface added
  }
  for (const IID* id : {&IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                        &IID_ICoreWebView2, &IID_IDispatch}) {
    void* object = &alive;  // anything but null: QueryInterface must clear it
    EXPECT_EQ(handler->QueryInterface(*id, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(handler->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

}  // namespace
