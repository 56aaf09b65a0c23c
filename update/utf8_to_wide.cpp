// The portable UTF-8 decoder, for builds without the Win32 code-page conversion. A malformed
// sequence becomes one U+FFFD per maximal invalid subpart, as the Unicode standard recommends.
#include <bit>
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
        for (int i = 0; i < 8; ++i) out[i] = bytes[at + i];
        out += 8;
        at += 8;
      }
      while (at < size && bytes[at] < 0x80) *out++ = bytes[at++];
      continue;
    }
    // Runs of three-byte sequences (most of CJK), read four bytes at a time and checked on
    // the decoded value; anything else, or the last bytes, takes the general path below.
    if constexpr (std::endian::native == std::endian::little) {
      const size_t runStart = at;
      uint32_t four;
      while (at + 4 <= size &&
             (std::memcpy(&four, bytes + at, 4), (four & 0x00C0C0F0u) == 0x008080E0u)) {
        const char32_t codePoint =
            (four & 0x0F) << 12 | (four >> 8 & 0x3F) << 6 | (four >> 16 & 0x3F);
        if (codePoint < 0x800 || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) break;
        *out++ = static_cast<char16_t>(codePoint);
        at += 3;
      }
      if (at != runStart) continue;
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
