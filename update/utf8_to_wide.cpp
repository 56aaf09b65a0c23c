// The portable UTF-8 decoder, for builds without the Win32 code-page conversion. A malformed
// sequence becomes one U+FFFD per maximal invalid subpart, as the Unicode standard recommends.
#include "update/update_document.h"

std::u16string Utf8ToWide(std::string_view utf8) {
  utf8 = utf8.substr(0, utf8.find('\0'));
  std::u16string wide;
  wide.reserve(utf8.size());
  const size_t size = utf8.size();
  for (size_t at = 0; at < size;) {
    const unsigned char lead = static_cast<unsigned char>(utf8[at]);
    if (lead < 0x80) {
      wide.push_back(lead);
      ++at;
      continue;
    }
    size_t length;
    char32_t codePoint;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte; later ones are 80..BF
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      codePoint = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      codePoint = lead & 0x07;
      if (lead == 0xF0) low = 0x90;   // no overlong forms
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      wide.push_back(u'\uFFFD');
      ++at;
      continue;
    }
    size_t taken = 1;
    for (; taken < length && at + taken < size; ++taken) {
      const unsigned char next = static_cast<unsigned char>(utf8[at + taken]);
      if (next < low || next > high) break;
      low = 0x80, high = 0xBF;
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    at += taken;
    if (taken < length) {
      wide.push_back(u'\uFFFD');
    } else if (codePoint < 0x10000) {
      wide.push_back(static_cast<char16_t>(codePoint));
    } else {
      codePoint -= 0x10000;
      wide.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
      wide.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
    }
  }
  return wide;
}
