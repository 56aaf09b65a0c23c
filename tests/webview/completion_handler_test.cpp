#include "webview/completion_handler.h"

#include <gtest/gtest.h>

#include <WebView2.h>

#include <memory>
#include <thread>

namespace {

using EnvironmentHandler = ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler;

// Counts how many copies of a lambda's capture are alive, to see the handler destroy itself.
struct Alive {
  std::shared_ptr<int> token;
};

auto MakeHandler(const Alive& alive, HRESULT* seenResult = nullptr,
                 ICoreWebView2Environment** seenEnvironment = nullptr) {
  return MakeCompletionHandler<EnvironmentHandler,
                               IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler>(
      [alive, seenResult, seenEnvironment](HRESULT result, ICoreWebView2Environment* environment) {
        if (seenResult) *seenResult = result;
        if (seenEnvironment) *seenEnvironment = environment;
        return HRESULT(0x1234);
      });
}

TEST(CompletionHandler, CountStartsAtOneAndTheLastReleaseDestroys) {
  Alive alive{std::make_shared<int>()};
  EnvironmentHandler* handler = MakeHandler(alive).Detach();
  EXPECT_EQ(alive.token.use_count(), 2);
  EXPECT_EQ(handler->AddRef(), 2u);
  EXPECT_EQ(handler->Release(), 1u);
  EXPECT_EQ(handler->Release(), 0u);
  EXPECT_EQ(alive.token.use_count(), 1);
}

TEST(CompletionHandler, AnswersOnlyIUnknownAndItsOwnInterface) {
  Alive alive{std::make_shared<int>()};
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

TEST(CompletionHandler, InvokeForwardsArgumentsAndResult) {
  Alive alive{std::make_shared<int>()};
  HRESULT seenResult = S_OK;
  ICoreWebView2Environment* seenEnvironment = nullptr;
  auto handler = MakeHandler(alive, &seenResult, &seenEnvironment);
  auto* environment = reinterpret_cast<ICoreWebView2Environment*>(&alive);
  EXPECT_EQ(handler->Invoke(E_ACCESSDENIED, environment), HRESULT(0x1234));
  EXPECT_EQ(seenResult, E_ACCESSDENIED);
  EXPECT_EQ(seenEnvironment, environment);
}

TEST(CompletionHandler, CountIsAtomic) {
  Alive alive{std::make_shared<int>()};
  auto handler = MakeHandler(alive);
  auto churn = [&] {
    for (int i = 0; i < 100000; ++i) {
      handler->AddRef();
      handler->Release();
    }
  };
  std::thread other(churn);
  churn();
  other.join();
  EXPECT_EQ(handler->AddRef(), 2u);
  EXPECT_EQ(handler->Release(), 1u);
}

}  // namespace
