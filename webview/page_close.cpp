#include "webview/page_close.h"

#include <algorithm>

namespace {

bool Holds(const std::vector<uint64_t>& ids, uint64_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

void Forget(std::vector<uint64_t>& ids, uint64_t id) { std::erase(ids, id); }

}  // namespace

void PageClose::HomePageRequested() {
  homePageStartPending_ = true;
  underWay_.clear();
  underWayAtAsk_.clear();
}

CloseStep PageClose::CloseRequested(uint64_t nowMs, bool pageCanAnswer, uint64_t doubleClickMs) {
  // Gone from the screen and unloading already: nothing is left to ask.
  if (Leaving() || !pageCanAnswer) return CloseStep::kCloseNow;
  // The same gesture as the close that asked: a double-click on the close button.
  if (askedAtMs_ && nowMs - *askedAtMs_ < doubleClickMs) return CloseStep::kNothing;
  // The runtime's "Leave site?" raises nothing, so a close after the user stayed cannot be told
  // from one while the question is up: either way the page is asked (again), never thrown away.
  askedAtMs_ = nowMs;
  askOpen_ = true;
  underWayAtAsk_ = underWay_;
  return CloseStep::kAsk;
}

CloseStep PageClose::NavigationStarting(const NavigationStart& start) {
  if (!Holds(underWay_, start.id)) underWay_.push_back(start.id);
  // A redirect, or a navigation of the page's that was under way before the ask (a sign-in chain,
  // a form post), tells nothing of the user's answer.
  if (Leaving() || start.redirected || Holds(underWayAtAsk_, start.id)) return CloseStep::kNothing;
  if (askOpen_ && start.userInitiated && start.uri == kLeavePageUrl) {
    askOpen_ = false;
    leavingId_ = start.id;
    return CloseStep::kHide;
  }
  if (homePageStartPending_) {
    homePageStartPending_ = false;
    return CloseStep::kNothing;
  }
  // The page's own script, or a link the user followed after staying: the user is at work.
  askOpen_ = false;
  return CloseStep::kNothing;
}

CloseStep PageClose::NavigationCompleted(uint64_t id) {
  Forget(underWay_, id);
  Forget(underWayAtAsk_, id);
  return leavingId_ == id ? CloseStep::kDestroy : CloseStep::kNothing;
}

CloseStep PageClose::PageFailed(uint64_t nowMs) const {
  const bool asking = askOpen_ && nowMs - *askedAtMs_ < kAskMs;
  return Leaving() || asking ? CloseStep::kDestroy : CloseStep::kNothing;
}
