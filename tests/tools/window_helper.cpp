// Test helper, run under Wine beside the programs under test. Reads one command a line on
// standard input and answers each with one line of JSON on standard output:
//
//   windows CLASS             the visible top-level windows of that class, topmost first
//   info HWND                 title, place, client size, state and owner; for a dialog box, its
//                             text, the identifiers of its buttons and the OK button's label
//   post|send HWND MSG WP LP  PostMessageW / SendMessageW (numbers decimal or 0x hex)
//   size HWND WIDTH HEIGHT    SetWindowPos to that outer size
//   hold PATH                 opens PATH sharing nothing, as a scanner might, until the helper ends
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A JSON string; everything but printable ASCII escaped, as UTF-16 units, which JSON allows.
std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (wchar_t c : text) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
    const bool plain = c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
    out += plain ? std::string(1, static_cast<char>(c)) : std::string(escaped);
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

std::string Number(long long value) { return std::to_string(value); }
std::string Flag(BOOL value) { return value ? "true" : "false"; }

std::string Windows(const std::wstring& className) {
  std::vector<HWND> windows;
  EnumWindows(
      [](HWND window, LPARAM found) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  std::string list;
  for (HWND window : windows) {
    if (ClassName(window) != className || !IsWindowVisible(window)) continue;
    list.append(list.empty() ? "" : ",").append(Number(reinterpret_cast<INT_PTR>(window)));
  }
  return "{\"windows\":[" + list + "]}";
}

std::string Info(HWND window) {
  if (!IsWindow(window)) return R"({"error":"no window"})";
  std::wstring text;
  std::string buttons;
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    const std::wstring kind = ClassName(child);
    if (_wcsicmp(kind.c_str(), L"Button") == 0 && IsWindowVisible(child))
      buttons.append(buttons.empty() ? "" : ",").append(Number(GetDlgCtrlID(child)));
    else if (_wcsicmp(kind.c_str(), L"Static") == 0 && GetWindowTextLengthW(child) > 0)
      text = WindowText(child);
  }
  RECT outer, client;
  GetWindowRect(window, &outer);
  GetClientRect(window, &client);
  return "{\"hwnd\":" + Number(reinterpret_cast<INT_PTR>(window)) +
         ",\"title\":" + Json(WindowText(window)) + ",\"x\":" + Number(outer.left) +
         ",\"y\":" + Number(outer.top) + ",\"width\":" + Number(outer.right - outer.left) +
         ",\"height\":" + Number(outer.bottom - outer.top) +
         ",\"clientWidth\":" + Number(client.right) + ",\"clientHeight\":" + Number(client.bottom) +
         ",\"visible\":" + Flag(IsWindowVisible(window)) + ",\"iconic\":" + Flag(IsIconic(window)) +
         ",\"zoomed\":" + Flag(IsZoomed(window)) +
         ",\"owner\":" + Number(reinterpret_cast<INT_PTR>(GetWindow(window, GW_OWNER))) +
         ",\"text\":" + Json(text) + ",\"buttons\":[" + buttons + "]" +
         ",\"ok\":" + Json(WindowText(GetDlgItem(window, IDOK))) + "}";
}

std::string Run(const std::string& line) {
  std::istringstream in(line);
  std::string command;
  std::vector<long long> numbers;
  in >> command;
  const std::string rest = line.substr(std::min(line.size(), command.size() + 1));
  for (std::string word; in >> word;) numbers.push_back(std::strtoll(word.c_str(), nullptr, 0));
  const auto window = reinterpret_cast<HWND>(numbers.empty() ? 0 : numbers[0]);

  if (command == "windows") return Windows(std::wstring(rest.begin(), rest.end()));
  if (command == "info") return Info(window);
  if ((command == "post" || command == "send") && numbers.size() == 4) {
    const auto message = static_cast<UINT>(numbers[1]);
    const auto wParam = static_cast<WPARAM>(numbers[2]);
    const auto lParam = static_cast<LPARAM>(numbers[3]);
    return "{\"result\":" +
           Number(command == "post" ? PostMessageW(window, message, wParam, lParam)
                                    : SendMessageW(window, message, wParam, lParam)) +
           "}";
  }
  if (command == "size" && numbers.size() == 3) {
    return "{\"result\":" +
           Number(SetWindowPos(window, nullptr, 0, 0, static_cast<int>(numbers[1]),
                               static_cast<int>(numbers[2]), SWP_NOMOVE | SWP_NOZORDER)) +
           "}";
  }
  if (command == "hold") {
    std::wstring path(rest.size(), L'\0');
    path.resize(MultiByteToWideChar(CP_UTF8, 0, rest.data(), static_cast<int>(rest.size()),
                                    path.data(), static_cast<int>(path.size())));
    // The handle stays open until the helper ends.
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
    std::printf("%s\n", Run(line).c_str());
    std::fflush(stdout);
  }
  return 0;
}
