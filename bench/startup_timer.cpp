// Times start-ups under Wine: for each line "PATH CLASS" on standard input, starts PATH, waits
// for its first visible top-level window of CLASS, closes it, and prints one JSON line with the
// milliseconds from process start to that window and the program's exit code.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

namespace {

struct Search {
  DWORD processId;
  const char* className;
  HWND found;
};

BOOL CALLBACK FindProgramWindow(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<Search*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  char name[256] = {};
  GetClassNameA(window, name, sizeof name);
  if (owner != search->processId || !IsWindowVisible(window) ||
      std::string(name) != search->className)
    return TRUE;
  search->found = window;
  return FALSE;
}

std::string TimeStartup(std::string path, const std::string& className) {
  std::string commandLine = "\"" + path + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return R"({"error":"not started"})";
  Search search = {process.dwProcessId, className.c_str(), nullptr};
  for (int waited = 0; !search.found && waited < 30000; ++waited) {
    EnumWindows(FindProgramWindow, reinterpret_cast<LPARAM>(&search));
    if (!search.found) Sleep(1);
  }
  QueryPerformanceCounter(&now);
  if (search.found) PostMessageW(search.found, WM_CLOSE, 0, 0);
  WaitForSingleObject(process.hProcess, 10000);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!search.found) return R"({"error":"no window"})";
  char result[96];
  std::snprintf(result, sizeof result, "{\"ms\":%.2f,\"exit\":%lu}",
                1000.0 * (now.QuadPart - start.QuadPart) / frequency.QuadPart,
                static_cast<unsigned long>(exitCode));
  return result;
}

}  // namespace

int main() {
  for (std::string line; std::getline(std::cin, line);) {
    std::istringstream words(line);
    std::string path, className;
    if (words >> path >> className) std::cout << TimeStartup(path, className) << std::endl;
  }
  return 0;
}
