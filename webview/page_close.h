// Closing the window asks the page first, as a browser tab does. The host navigates the page to
// kLeavePageUrl; the runtime runs the page's beforeunload (with its own "Leave site?" dialog)
// before it raises NavigationStarting for that navigation, and raises nothing at all when the user
// stays. These are the close's decisions, fed the window's and the web view's events; the host
// carries out the step each one answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

inline constexpr char16_t kLeavePageUrl[] = u"about:blank";
// A page that let go gets this long to unload before the window is destroyed.
inline constexpr uint32_t kUnloadMs = 2000;
// A runtime process that fails this soon after a close asked ends the window: it is what frees the
// user from a page whose beforeunload hangs.
inline constexpr uint64_t kAskMs = 10000;

enum class CloseStep {
  kNothing,
  kCloseNow,  // let the window close as the system closes it
  kAsk,       // navigate to kLeavePageUrl, a minimised window restored first
  kHide,      // the page let go: hide the window, and destroy it within kUnloadMs
  kDestroy,   // destroy the window now
};

// What NavigationStarting reports.
struct NavigationStart {
  std::u16string_view uri;
  bool userInitiated;  // the runtime reports the host's own navigations as user-initiated
  bool redirected;
  uint64_t id;
};

class PageClose {
 public:
  // A new web view, about to be sent to the home page by the host: that navigation's start is no
  // answer to a close, even one that came before it.
  void HomePageRequested();
  // A close from the user. `pageCanAnswer`: a live web view that reports its navigations.
  CloseStep CloseRequested(uint64_t nowMs, bool pageCanAnswer, uint64_t doubleClickMs);
  CloseStep NavigationStarting(const NavigationStart& start);
  CloseStep NavigationCompleted(uint64_t id);
  // One of the runtime's processes failed or stopped answering.
  CloseStep PageFailed(uint64_t nowMs) const;

 private:
  bool Leaving() const { return leavingId_.has_value(); }

  std::optional<uint64_t> askedAtMs_;  // the last close that asked
  bool askOpen_ = false;               // no navigation has answered it yet
  bool homePageStartPending_ = false;
  std::vector<uint64_t> underWay_;       // started, not yet completed
  std::vector<uint64_t> underWayAtAsk_;  // their redirects answer nothing
  std::optional<uint64_t> leavingId_;    // the navigation away, once the page let go
};
