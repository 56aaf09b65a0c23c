// The portable UTF-8 decoder, for builds without the Win32 code-page conversion. A malformed
// sequence becomes one U+FFFD per maximal invalid subpart, as the Unicode standard recommends.
#include <cstdint>
#include <cstring>

#include "update/update_document.h"

std::u16string Utf8ToWide(std::string_view utf8) {
  utf8 = utf8.substr(0, utf8.find('\0'));
  const size_t size = utf8.size();
  const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
  // Never more UTF-16 units than UTF-8 bytes: a unit per byte at most, two for four bytes.
  std::u16string wide(size, u'\0');
  char16_t* out = wide.data();
  for (size_t at = 0; at < size;) {
    const unsigned char lead = bytes[at];
    if (lead < 0x80) {
      // ASCII runs, eight bytes at a time.
      uint64_t eight;
      while (at + 8 <= size &&
             (std::memcpy(&eight, bytes + at, 8), (eight & 0x8080808080808080u) == 0)) {
        for (int i = 0; i < 8; ++i) *out++ = bytes[at + i];
        at += 8;
      }
      while (at < size && bytes[at] < 0x80) *out++ = bytes[at++];
      continue;
    }
    // Three bytes with no special range on the second (most of CJK): the common case of notes.
    auto isPlainThreeByte = [&](size_t i) {
      const unsigned char first = bytes[i];
      return first >= 0xE1 && first <= 0xEF && first != 0xED && i + 2 < size &&
             (bytes[i + 1] & 0xC0) == 0x80 && (bytes[i + 2] & 0xC0) == 0x80;
    };
    if (isPlainThreeByte(at)) {
      do {
        *out++ = static_cast<char16_t>((bytes[at] & 0x0F) << 12 | (bytes[at + 1] & 0x3F) << 6 |
                                       (bytes[at + 2] & 0x3F));
        at += 3;
      } while (at < size && isPlainThreeByte(at));
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
      *out++ = u'\uFFFD';
      ++at;
      continue;
    }
    size_t taken = 1;
    for (; taken < length && at + taken < size; ++taken) {
      const unsigned char next = bytes[at + taken];
      if (next < low || next > high) break;
      low = 0x80, high = 0xBF;
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    at += taken;
    if (taken < length) {
      *out++ = u'\uFFFD';
    } else if (codePoint < 0x10000) {
      *out++ = static_cast<char16_t>(codePoint);
    } else {
      codePoint -= 0x10000;
      *out++ = static_cast<char16_t>(0xD800 + (codePoint >> 10));
      *out++ = static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
    }
  }
  wide.resize(out - wide.data());
  return wide;
}
