// What the update check and the installer's fetch share of WinINet.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <memory>

// Always from the server, and never kept in the user's cache: the program writes nothing of its
// own there. A redirect from http to https is followed even where Internet Options would warn of
// the change (WinINet fails it with 12039 there), so a program built with an http address reaches
// an endpoint that moved to https. Certificates are checked as WinINet always does: one that
// Windows does not trust, that names another host or that is out of date fails the fetch. No
// cookie is sent or kept (an endpoint's or a CDN's would land in the user's store and travel back
// at every start), and no WinINet dialog ever opens on these threads.
inline constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                       INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS |
                                       INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;

struct InternetHandleCloser {
  void operator()(HINTERNET handle) const { InternetCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetHandleCloser>;

// A session as the program's requests go: user agent "Ostrel Browser", straight to the host.
inline InternetHandle OpenInternet() {
  return InternetHandle(
      InternetOpenW(L"Ostrel Browser", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
}
