// The handler's COM rules; its count and that Invoke reaches the lambda show in the web view's
// call chain, where the double logs the count after each completion.
#include "webview/completion_handler.h"

#include <gtest/gtest.h>

#include <WebView2.h>

#include <memory>

namespace {

using EnvironmentHandler = ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler;

// The lambda's capture holds `alive`: its use count shows whether the handler still exists.
auto MakeHandler(const std::shared_ptr<int>& alive) {
  return MakeCompletionHandler<EnvironmentHandler,
                               IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler>(
      [alive](HRESULT, ICoreWebView2Environment*) { return S_OK; });
}

TEST(CompletionHandler, TheLastReleaseDestroys) {
  auto alive = std::make_shared<int>();
  MakeHandler(alive).Reset();
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
