#include "webview/page_close.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint64_t kDoubleClickMs = 500;
constexpr char16_t kBlank[] = u"about:blank", kHome[] = u"https://a.test/",
                   kOther[] = u"https://a.test/next";

// One event fed to the close, and the step it must answer.
struct Event {
  enum { kHome, kClose, kCannotAsk, kStart, kCompleted, kFailed } kind;
  uint64_t timeOrId = 0;
  CloseStep step = CloseStep::kNothing;
  std::u16string_view uri = {};
  bool user = false, redirected = false;
};

Event Close(uint64_t ms, CloseStep step) { return {Event::kClose, ms, step}; }
Event Start(uint64_t id, std::u16string_view uri, bool user, CloseStep step = CloseStep::kNothing,
            bool redirected = false) {
  return {Event::kStart, id, step, uri, user, redirected};
}
Event Done(uint64_t id, CloseStep step = CloseStep::kNothing) {
  return {Event::kCompleted, id, step};
}
Event Fail(uint64_t ms, CloseStep step) { return {Event::kFailed, ms, step}; }
const Event kHomePage = {Event::kHome};
constexpr CloseStep kAsk = CloseStep::kAsk, kHide = CloseStep::kHide,
                    kDestroy = CloseStep::kDestroy, kNothing = CloseStep::kNothing,
                    kNow = CloseStep::kCloseNow;

CloseStep Feed(PageClose& close, const Event& e) {
  switch (e.kind) {
    case Event::kHome:
      close.HomePageRequested();
      return CloseStep::kNothing;
    case Event::kClose:
    case Event::kCannotAsk:
      return close.CloseRequested(e.timeOrId, e.kind == Event::kClose, kDoubleClickMs);
    case Event::kStart:
      return close.NavigationStarting({e.uri, e.user, e.redirected, e.timeOrId});
    case Event::kCompleted:
      return close.NavigationCompleted(e.timeOrId);
    case Event::kFailed:
      return close.PageFailed(e.timeOrId);
  }
  return CloseStep::kNothing;
}

TEST(PageClose, AnswersEachEventAsTheRuntimeReportsIt) {
  const std::vector<std::pair<const char*, std::vector<Event>>> cases = {
      {"the host's own about:blank (user-initiated) lets go at the first close",
       {kHomePage, Start(1, kHome, true), Close(0, kAsk), Start(2, kBlank, true, kHide), Done(1),
        Done(2, kDestroy)}},
      {"the page's script going to about:blank ends the ask; a close asks again",
       {Close(0, kAsk), Start(2, kBlank, false), Start(3, kBlank, true), Close(900, kAsk)}},
      {"a link the user follows after staying ends the ask",
       {Close(0, kAsk), Start(5, kOther, true), Start(6, kBlank, true), Done(6)}},
      {"redirects, and the navigation under way at the ask, answer nothing",
       {kHomePage, Start(1, kHome, true), Close(0, kAsk), Start(1, kOther, true, kNothing, true),
        Start(1, kOther, true), Start(2, kOther, true, kNothing, true),
        Start(3, kBlank, true, kHide)}},
      {"a close before the home page started",
       {kHomePage, Close(0, kAsk), Start(1, kHome, true), Start(2, kBlank, true, kHide)}},
      {"a close before the home page started, which the runtime drops",
       {kHomePage, Close(0, kAsk), Start(2, kBlank, true, kHide)}},
      {"a double-click asks once; every later close asks again, however soon",
       {Close(0, kAsk), Close(100, kNothing), Close(1500, kAsk), Close(1999, kNothing),
        Close(60000, kAsk)}},
      {"nothing to ask closes at once", {{Event::kCannotAsk, 0, kNow}}},
      {"a close while the page unloads closes at once",
       {Close(0, kAsk), Start(2, kBlank, true, kHide), Close(5000, kNow)}},
      {"a failure during an ask ends the window",
       {Fail(0, kNothing), Close(1000, kAsk), Fail(10999, kDestroy)}},
      {"a failure long after the ask, or after the user went on, does not",
       {Close(0, kAsk), Fail(10000, kNothing), Close(20000, kAsk), Start(3, kOther, true),
        Fail(20001, kNothing)}},
      {"a failure while the page unloads ends the window",
       {Close(0, kAsk), Start(2, kBlank, true, kHide), Fail(60000, kDestroy)}},
  };
  for (const auto& [name, events] : cases) {
    PageClose close;
    for (size_t i = 0; i < events.size(); ++i)
      EXPECT_EQ(Feed(close, events[i]), events[i].step) << name << ", event " << i;
  }
}

}  // namespace
