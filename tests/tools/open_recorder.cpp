// Registered in the test prefix as the shell's "open" handler for http, https and file: records
// what it was asked to open, one line to the file OSTREL_OPEN_LOG names, and opens nothing.
// Run directly (as an unsafe download address would be), it records "started" and its path.
#include <windows.h>

#include <shellapi.h>  // after windows.h, which it needs

#include <cstdio>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const wchar_t* path = _wgetenv(L"OSTREL_OPEN_LOG");
  if (!path) return 1;
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  const std::wstring line =
      count > 1 ? L"open " + std::wstring(words[1]) : L"started " + std::wstring(words[0]);
  char utf8[4096] = {};
  WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8, sizeof utf8 - 1, nullptr, nullptr);
  if (FILE* log = _wfopen(path, L"a")) {
    std::fprintf(log, "%s\n", utf8);
    std::fclose(log);
  }
  return 0;
}
