// Test helper, run under Wine beside the programs under test. Reads one command a line on
// standard input and answers each with one line of JSON on standard output:
//
//   find [TIMEOUT_MS]         the first main window: title, rectangles, state, how many there are
//   windows                   handles of all main windows
//   post|send HWND MSG WP LP  PostMessageW / SendMessageW (numbers decimal or 0x hex)
//   size HWND WIDTH HEIGHT    SetWindowPos to that outer size, then find's report
//   show HWND SHOW_COMMAND    ShowWindow, then find's report
//   msgbox [TIMEOUT_MS]       the first visible dialog box: caption, owner, text, buttons, place
//   answer BUTTON_ID          presses that button of the dialog box
//   hold PATH                 opens PATH sharing nothing, as a scanner might, until the helper ends
//
// HWND may be "main" for the first main window.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
  std::string out(text.size() * 3, '\0');
  out.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                 static_cast<int>(out.size()), nullptr, nullptr));
  return out;
}

std::wstring Wide(const std::string& text) {
  std::wstring out(text.size(), L'\0');
  out.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                 static_cast<int>(out.size())));
  return out;
}

std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (unsigned char c : Utf8(text)) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
    if (c == '"' || c == '\\')
      out += {'\\', static_cast<char>(c)};
    else
      out += c < 0x20 ? escaped : std::string(1, static_cast<char>(c));
  }
  return out + "\"";
}

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

// Every top-level window of one class, topmost first; with `visibleOnly`, the visible ones.
std::vector<HWND> TopLevelWindows(const wchar_t* className, bool visibleOnly = false) {
  std::vector<HWND> windows;
  EnumWindows(
      [](HWND window, LPARAM found) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  std::erase_if(windows, [&](HWND window) {
    return ClassName(window) != className || (visibleOnly && !IsWindowVisible(window));
  });
  return windows;
}

std::vector<HWND> MainWindows() { return TopLevelWindows(L"OSTREL_WINDOW_CLASS"); }

HWND VisibleDialog() {
  std::vector<HWND> dialogs = TopLevelWindows(L"#32770", true);
  return dialogs.empty() ? nullptr : dialogs.front();
}

template <typename Find>
HWND WaitFor(Find find, DWORD timeoutMs) {
  for (DWORD start = GetTickCount();; Sleep(50)) {
    HWND found = find();
    if (found || GetTickCount() - start >= timeoutMs) return found;
  }
}

std::string Number(long long value) { return std::to_string(value); }
std::string Handle(HWND window) { return Number(reinterpret_cast<INT_PTR>(window)); }

// Opens a report: the window's handle and its place on the screen.
std::string Place(HWND window) {
  RECT outer;
  GetWindowRect(window, &outer);
  return "{\"hwnd\":" + Handle(window) + ",\"x\":" + Number(outer.left) +
         ",\"y\":" + Number(outer.top) + ",\"width\":" + Number(outer.right - outer.left) +
         ",\"height\":" + Number(outer.bottom - outer.top);
}

std::string Report(HWND window) {
  if (!IsWindow(window)) return R"({"error":"no window"})";
  RECT client;
  GetClientRect(window, &client);
  auto flag = [](BOOL value) { return value ? "true" : "false"; };
  return Place(window) + ",\"title\":" + Json(WindowText(window)) +
         ",\"clientWidth\":" + Number(client.right) + ",\"clientHeight\":" + Number(client.bottom) +
         ",\"visible\":" + flag(IsWindowVisible(window)) + ",\"iconic\":" + flag(IsIconic(window)) +
         ",\"zoomed\":" + flag(IsZoomed(window)) + ",\"count\":" + Number(MainWindows().size()) +
         "}";
}

std::string ReportDialog(HWND box) {
  if (!box) return R"({"error":"no message box"})";
  std::wstring text;
  std::string buttons;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (_wcsicmp(ClassName(child).c_str(), L"Button") == 0 && IsWindowVisible(child)) {
      if (!buttons.empty()) buttons += ',';
      buttons +=
          "{\"id\":" + Number(GetDlgCtrlID(child)) + ",\"text\":" + Json(WindowText(child)) + "}";
    } else if (_wcsicmp(ClassName(child).c_str(), L"Static") == 0 &&
               GetWindowTextLengthW(child) > 0) {
      text = WindowText(child);
    }
  }
  return Place(box) + ",\"caption\":" + Json(WindowText(box)) +
         ",\"owner\":" + Handle(GetWindow(box, GW_OWNER)) + ",\"text\":" + Json(text) +
         ",\"buttons\":[" + buttons + "]}";
}

long long ParseNumber(const std::string& word) { return std::strtoll(word.c_str(), nullptr, 0); }

HWND ParseWindow(const std::string& word) {
  if (word != "main") return reinterpret_cast<HWND>(static_cast<INT_PTR>(ParseNumber(word)));
  std::vector<HWND> windows = MainWindows();
  return windows.empty() ? nullptr : windows.front();
}

std::string Run(const std::string& line) {
  std::istringstream in(line);
  std::string command;
  std::vector<std::string> args;
  in >> command;
  for (std::string word; in >> word;) args.push_back(word);
  const DWORD timeout = args.empty() ? 0 : static_cast<DWORD>(ParseNumber(args[0]));

  if (command == "find") return Report(WaitFor([] { return ParseWindow("main"); }, timeout));
  if (command == "windows") {
    std::string list;
    for (HWND window : MainWindows()) list.append(list.empty() ? "" : ",").append(Handle(window));
    return "{\"windows\":[" + list + "]}";
  }
  if ((command == "post" || command == "send") && args.size() == 4) {
    HWND window = ParseWindow(args[0]);
    auto message = static_cast<UINT>(ParseNumber(args[1]));
    auto wParam = static_cast<WPARAM>(ParseNumber(args[2]));
    auto lParam = static_cast<LPARAM>(ParseNumber(args[3]));
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
  if (command == "msgbox") return ReportDialog(WaitFor(VisibleDialog, timeout));
  if (command == "answer" && args.size() == 1) {
    HWND box = VisibleDialog();
    auto id = static_cast<WORD>(ParseNumber(args[0]));
    BOOL posted = box && PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                      reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
    return "{\"result\":" + Number(posted) + "}";
  }
  if (command == "hold") {
    // The rest of the line is the path, which may hold spaces; the handle stays open.
    const std::wstring path = Wide(line.substr(line.find(' ') + 1));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return "{\"result\":" + Number(file != INVALID_HANDLE_VALUE) + "}";
  }
  return R"({"error":"unknown command"})";
}

}  // namespace

int main() {
  _setmode(_fileno(stdout), _O_BINARY);
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::string answer = Run(line);
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
  }
  return 0;
}
