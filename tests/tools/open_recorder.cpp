// Registered in the test prefix as the shell's "open" handler for http, https and file: records
// what it was asked to open, one line to the file OSTREL_OPEN_LOG names, and opens nothing.
// Run directly (as an unsafe download address would be), it records "started" and its path.
#include <windows.h>

#include <shellapi.h>  // after windows.h, which it needs

#include <cstdio>
#include <cstdlib>
#include <string>

#include "json_text.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const wchar_t* path = _wgetenv(L"OSTREL_OPEN_LOG");
  if (!path) return 1;
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  std::string line = count > 1 ? "open " + Utf8(words[1]) : "started " + Utf8(words[0]);
  if (FILE* log = _wfopen(path, L"a")) {
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
  }
  return 0;
}
