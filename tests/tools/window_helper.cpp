// Test helper, run under Wine beside the program: finds the main window and message boxes it
// owns, reports on them, and sends them messages. Reads one command a line on standard input
// and answers each with one line of JSON on standard output:
//
//   find [TIMEOUT_MS]            the first main window: title, rectangles, state, count
//   windows                      handles of all main windows
//   post|send HWND MSG WP LP     PostMessageW / SendMessageW (numbers decimal or 0x hex)
//   size HWND WIDTH HEIGHT       SetWindowPos to that outer size, then find's report
//   show HWND SHOW_COMMAND       ShowWindow, then find's report
//   msgbox [TIMEOUT_MS]          a message box owned by a main window: caption, text, buttons,
//                                and where it is on the screen
//   answer BUTTON_ID             posts that button's command to the message box
//   dialogs                      how many dialog windows are visible, owned or not
//   startup PATH CLASS           starts PATH, times it until its first visible window of CLASS,
//                                closes that window and reports the time and the exit code
//
// HWND may be "main" for the first main window.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "json_text.h"

namespace {

constexpr wchar_t kMainWindowClass[] = L"OSTREL_WINDOW_CLASS";

std::wstring WindowText(HWND window) {
  std::wstring text(GetWindowTextLengthW(window) + 1, L'\0');
  text.resize(GetWindowTextW(window, text.data(), static_cast<int>(text.size())));
  return text;
}

std::wstring ClassName(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

// Every top-level window, topmost first.
std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> windows;
  EnumWindows(
      [](HWND window, LPARAM found) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  return windows;
}

std::vector<HWND> MainWindows() {
  std::vector<HWND> windows;
  for (HWND window : TopLevelWindows())
    if (ClassName(window) == kMainWindowClass) windows.push_back(window);
  return windows;
}

bool IsVisibleDialog(HWND window) {
  return ClassName(window) == L"#32770" && IsWindowVisible(window);
}

HWND OwnedMessageBox() {
  const std::vector<HWND> mains = MainWindows();
  for (HWND window : TopLevelWindows()) {
    if (IsVisibleDialog(window) && std::ranges::count(mains, GetWindow(window, GW_OWNER)) > 0)
      return window;
  }
  return nullptr;
}

template <typename Find>
auto WaitFor(Find find, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    auto found = find();
    if (found || GetTickCount() - start >= timeoutMs) return found;
    Sleep(50);
  }
}

std::string Number(long long value) { return std::to_string(value); }

std::string Handle(HWND window) { return Number(reinterpret_cast<INT_PTR>(window)); }

std::string Report(HWND window) {
  if (!IsWindow(window)) return R"({"error":"no window"})";
  RECT outer, client;
  GetWindowRect(window, &outer);
  GetClientRect(window, &client);
  std::ostringstream out;
  out << "{\"hwnd\":" << Handle(window) << ",\"title\":" << Json(WindowText(window))
      << ",\"x\":" << outer.left << ",\"y\":" << outer.top
      << ",\"width\":" << outer.right - outer.left << ",\"height\":" << outer.bottom - outer.top
      << ",\"clientWidth\":" << client.right << ",\"clientHeight\":" << client.bottom
      << ",\"visible\":" << (IsWindowVisible(window) ? "true" : "false")
      << ",\"iconic\":" << (IsIconic(window) ? "true" : "false")
      << ",\"zoomed\":" << (IsZoomed(window) ? "true" : "false")
      << ",\"count\":" << MainWindows().size() << "}";
  return out.str();
}

std::string ReportMessageBox(HWND box) {
  if (!box) return R"({"error":"no message box"})";
  std::wstring text;
  std::string buttons;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    std::wstring kind = ClassName(child);
    if (_wcsicmp(kind.c_str(), L"Button") == 0 && IsWindowVisible(child)) {
      if (!buttons.empty()) buttons += ",";
      buttons +=
          "{\"id\":" + Number(GetDlgCtrlID(child)) + ",\"text\":" + Json(WindowText(child)) + "}";
    } else if (_wcsicmp(kind.c_str(), L"Static") == 0 && GetWindowTextLengthW(child) > 0) {
      text = WindowText(child);
    }
  }
  RECT outer;
  GetWindowRect(box, &outer);
  return "{\"hwnd\":" + Handle(box) + ",\"caption\":" + Json(WindowText(box)) +
         ",\"owner\":" + Handle(GetWindow(box, GW_OWNER)) + ",\"text\":" + Json(text) +
         ",\"buttons\":[" + buttons + "],\"x\":" + Number(outer.left) +
         ",\"y\":" + Number(outer.top) + ",\"width\":" + Number(outer.right - outer.left) +
         ",\"height\":" + Number(outer.bottom - outer.top) + "}";
}

std::wstring Wide(const std::string& text) {
  std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  wide.pop_back();
  return wide;
}

std::string MeasureStartup(const std::string& path, const std::string& className) {
  const std::wstring wantedClass = Wide(className);
  std::wstring commandLine = L"\"" + Wide(path) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return R"({"error":"not started"})";
  HWND window = nullptr;
  for (DWORD waited = 0; !window && waited < 30000; ++waited) {
    for (HWND candidate : TopLevelWindows()) {
      DWORD owner = 0;
      GetWindowThreadProcessId(candidate, &owner);
      if (owner == process.dwProcessId && IsWindowVisible(candidate) &&
          ClassName(candidate) == wantedClass) {
        window = candidate;
        break;
      }
    }
    if (!window) Sleep(1);
  }
  QueryPerformanceCounter(&now);
  const double ms = 1000.0 * (now.QuadPart - start.QuadPart) / frequency.QuadPart;
  if (window) PostMessageW(window, WM_CLOSE, 0, 0);
  WaitForSingleObject(process.hProcess, 10000);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!window) return R"({"error":"no window"})";
  char result[96];
  std::snprintf(result, sizeof result, "{\"ms\":%.2f,\"exit\":%lu}", ms,
                static_cast<unsigned long>(exitCode));
  return result;
}

long long ParseNumber(const std::string& word) { return std::strtoll(word.c_str(), nullptr, 0); }

HWND ParseWindow(const std::string& word) {
  if (word == "main") {
    std::vector<HWND> windows = MainWindows();
    return windows.empty() ? nullptr : windows.front();
  }
  return reinterpret_cast<HWND>(static_cast<INT_PTR>(ParseNumber(word)));
}

std::string Run(const std::string& line) {
  std::istringstream in(line);
  std::string command;
  in >> command;
  std::vector<std::string> args;
  for (std::string word; in >> word;) args.push_back(word);
  auto arg = [&](size_t i, const char* fallback) { return i < args.size() ? args[i] : fallback; };

  if (command == "find") {
    DWORD timeout = static_cast<DWORD>(ParseNumber(arg(0, "0")));
    HWND window = WaitFor([] { return ParseWindow("main"); }, timeout);
    return window ? Report(window) : R"({"error":"no window"})";
  }
  if (command == "windows") {
    std::string list;
    for (HWND window : MainWindows()) {
      if (!list.empty()) list += ',';
      list += Handle(window);
    }
    return "{\"windows\":[" + list + "]}";
  }
  if ((command == "post" || command == "send") && args.size() == 4) {
    HWND window = ParseWindow(args[0]);
    UINT message = static_cast<UINT>(ParseNumber(args[1]));
    WPARAM wParam = static_cast<WPARAM>(ParseNumber(args[2]));
    LPARAM lParam = static_cast<LPARAM>(ParseNumber(args[3]));
    long long result = command == "post" ? PostMessageW(window, message, wParam, lParam)
                                         : SendMessageW(window, message, wParam, lParam);
    return "{\"result\":" + Number(result) + "}";
  }
  if (command == "size" && args.size() == 3) {
    HWND window = ParseWindow(args[0]);
    SetWindowPos(window, nullptr, 0, 0, static_cast<int>(ParseNumber(args[1])),
                 static_cast<int>(ParseNumber(args[2])), SWP_NOMOVE | SWP_NOZORDER);
    return Report(window);
  }
  if (command == "show" && args.size() == 2) {
    HWND window = ParseWindow(args[0]);
    ShowWindow(window, static_cast<int>(ParseNumber(args[1])));
    return Report(window);
  }
  if (command == "msgbox") {
    DWORD timeout = static_cast<DWORD>(ParseNumber(arg(0, "0")));
    return ReportMessageBox(WaitFor(OwnedMessageBox, timeout));
  }
  if (command == "startup" && args.size() == 2) return MeasureStartup(args[0], args[1]);
  if (command == "dialogs")
    return "{\"dialogs\":" + Number(std::ranges::count_if(TopLevelWindows(), IsVisibleDialog)) +
           "}";
  if (command == "answer" && args.size() == 1) {
    HWND box = OwnedMessageBox();
    if (!box) return R"({"error":"no message box"})";
    WORD id = static_cast<WORD>(ParseNumber(args[0]));
    BOOL posted = PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                               reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
    return "{\"result\":" + Number(posted) + "}";
  }
  return R"({"error":"unknown command"})";
}

}  // namespace

int main() {
  _setmode(_fileno(stdout), _O_BINARY);
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    WriteLine(Run(line));
  }
  return 0;
}
