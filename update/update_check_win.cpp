#include "update/update_check.h"

#include <windows.h>

#include <new>
#include <optional>
#include <string>

#include "app/addresses.h"
#include "app/globals.h"
#include "app/wide_text.h"
#include "resources/version.h"
#include "update/installer_fetch.h"
#include "update/internet_win.h"
#include "update/update_document.h"
#include "update/update_public_keys.h"

namespace {

constexpr DWORD kReadSize = 4096;

// The update document's bytes, or nothing when no answer was obtained or it passed the cap.
std::optional<std::string> FetchUpdateDocument() {
  const InternetHandle internet = OpenInternet();
  if (!internet) return std::nullopt;
  InternetHandle request(
      InternetOpenUrlW(internet.get(), AsWide(kUpdateCheckUrl), nullptr, 0, kRequestFlags, 0));
  if (!request) return std::nullopt;

  std::string body;
  char buffer[kReadSize];
  DWORD read = 0;
  // A failed read ends the body like its end does; what came before it is used.
  while (InternetReadFile(request.get(), buffer, kReadSize, &read) && read > 0) {
    body.append(buffer, read);
    if (body.size() > kMaximumUpdateDocumentSize) return std::nullopt;
  }
  return body;
}

// Seconds since 1970, UTC.
int64_t Now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000) - 11644473600;
}

// A build with the publisher's keys obeys only an answer signed with one of them, made for this
// version and not expired: whoever holds the update host cannot forge one. A build without keys
// reads every answer.
bool IsObeyed(const std::string& body) {
  if (kUpdatePublicKeys.empty()) return true;
  return VerifyUpdateAnswer(body, OSTREL_VERSION_TEXT, Now(), [](const SignedAnswer& answer) {
           return IsSignedByPublisher(answer, kUpdatePublicKeys);
         }) == AnswerVerdict::kGenuine;
}

// Stores what the update document offers and, when an update is offered, posts
// WM_UPDATE_AVAILABLE; stores nothing when no obeyed document arrived.
void CheckForUpdate() {
  // The standard library reports allocation failure by throwing; on this thread that means the
  // check has no result, not that the process ends.
  try {
    std::optional<std::string> body = FetchUpdateDocument();
    if (!body || !IsObeyed(*body)) return;
    UpdateInfo info = ReadUpdateDocument(*body);
    // Only a signature vouches for the installer an answer names.
    if (kUpdatePublicKeys.empty()) info.installer.reset();
    g_updateInfo = std::move(info);
  } catch (const std::bad_alloc&) {
    return;
  }
  g_updateInfoPublished.store(true, std::memory_order_release);
  if (g_updateInfo.needUpdate && g_mainWindow)
    PostMessageW(g_mainWindow, WM_UPDATE_AVAILABLE, 0, 0);
}

}  // namespace

void RunUpdateCheck() {
  CheckForUpdate();
  RemoveFetchedInstallers();
}
