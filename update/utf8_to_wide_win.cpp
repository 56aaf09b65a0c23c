// UTF-8 to UTF-16 with the system's code-page conversion: measure, then fill.
#include <windows.h>

#include <climits>

#include "app/wide_text.h"
#include "update/update_document.h"

std::u16string Utf8ToWide(std::string_view utf8) {
  // An explicit length up to the first NUL converts what a NUL-terminated call would, without
  // relying on a terminator behind the view.
  utf8 = utf8.substr(0, utf8.find('\0'));
  if (utf8.empty() || utf8.size() > INT_MAX) return {};
  const int length = static_cast<int>(utf8.size());
  const int count = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
  if (count <= 0) return {};
  std::u16string wide(count, u'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, AsWide(wide), count);
  return wide;
}
