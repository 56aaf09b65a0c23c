// UTF-8 to UTF-16 with ICU, for builds without the Win32 code-page conversion. Like that
// conversion, malformed sequences become U+FFFD instead of failing the whole text.
#include <unicode/ustring.h>

#include <climits>

#include "update/update_document.h"

std::u16string Utf8ToWide(std::string_view utf8) {
  utf8 = utf8.substr(0, utf8.find('\0'));
  if (utf8.empty() || utf8.size() > INT_MAX) return {};
  // Never more UTF-16 units than UTF-8 bytes: a unit per byte at most, two for four bytes.
  std::u16string wide(utf8.size(), u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(wide.data(), static_cast<int32_t>(wide.size()), &length, utf8.data(),
                       static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  wide.resize(length);
  return wide;
}
