// The one crossing between the program's UTF-16 text (std::u16string) and Win32's wchar_t.
#pragma once

#include <string>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 text is UTF-16");

inline const wchar_t* AsWide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}
inline const wchar_t* AsWide(const std::u16string& text) { return AsWide(text.c_str()); }
inline wchar_t* AsWide(std::u16string& text) { return reinterpret_cast<wchar_t*>(text.data()); }
inline std::u16string AsText(const wchar_t* text, size_t length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}
