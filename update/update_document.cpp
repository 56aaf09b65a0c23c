#include "update/update_document.h"

#include <algorithm>

namespace {

// The position of the value's colon: the first colon from the first occurrence of "key".
size_t FindValueColon(std::string_view document, std::string_view key) {
  std::string pattern;
  pattern.reserve(key.size() + 2);
  pattern.append(1, '"').append(key).append(1, '"');
  size_t keyAt = document.find(pattern);
  return keyAt == std::string_view::npos ? keyAt : document.find(':', keyAt);
}

std::string_view FindJsonString(std::string_view document, std::string_view key) {
  const std::optional<ValueSpan> value = FindJsonStringValue(document, key);
  return value ? document.substr(value->begin, value->end - value->begin) : std::string_view();
}

}  // namespace

std::optional<ValueSpan> FindJsonStringValue(std::string_view document, std::string_view key) {
  constexpr size_t npos = std::string_view::npos;
  size_t colon = FindValueColon(document, key);
  if (colon == npos) return std::nullopt;
  size_t open = document.find('"', colon);
  if (open == npos) return std::nullopt;
  size_t close = document.find('"', open + 1);
  if (close == npos) return std::nullopt;
  return ValueSpan{open + 1, close};
}

std::string ExtractJsonString(std::string_view document, std::string_view key) {
  return std::string(FindJsonString(document, key));
}

bool ExtractJsonBool(std::string_view document, std::string_view key) {
  size_t at = FindValueColon(document, key);
  if (at == std::string_view::npos) return false;
  ++at;
  while (at < document.size() && (document[at] == ' ' || document[at] == '\t')) ++at;
  return document.substr(at).starts_with("true");
}

std::string ConvertEscapedLineBreaks(std::string_view message) {
  std::string converted;
  converted.reserve(message.size());
  // Copies the runs between backslashes whole; a pair found becomes one line feed.
  for (size_t at = 0; at < message.size();) {
    size_t backslash = std::min(message.find('\\', at), message.size());
    converted.append(message, at, backslash - at);
    if (backslash == message.size()) break;
    const bool lineBreak = backslash + 1 < message.size() && message[backslash + 1] == 'n';
    converted.push_back(lineBreak ? '\n' : '\\');
    at = backslash + (lineBreak ? 2 : 1);
  }
  return converted;
}

std::optional<InstallerIdentity> ReadInstallerIdentity(std::string_view document) {
  const std::string_view digest = FindJsonString(document, "installerSha256");
  const std::string_view size = FindJsonString(document, "installerSize");
  if (digest.size() != 64 || size.empty() || size.size() > 9) return std::nullopt;
  InstallerIdentity installer;
  for (char c : size) {
    if (c < '0' || c > '9') return std::nullopt;
    installer.size = installer.size * 10 + static_cast<uint64_t>(c - '0');
  }
  if (installer.size == 0 || installer.size > kMaximumInstallerSize) return std::nullopt;
  constexpr std::string_view kDigits = "0123456789abcdef";
  for (size_t at = 0; at < digest.size(); ++at) {
    const char c = digest[at] >= 'A' && digest[at] <= 'F' ? digest[at] - 'A' + 'a' : digest[at];
    const size_t value = kDigits.find(c);
    if (value == std::string_view::npos) return std::nullopt;
    installer.sha256[at / 2] = static_cast<uint8_t>(installer.sha256[at / 2] << 4 | value);
  }
  return installer;
}

UpdateInfo ReadUpdateDocument(std::string_view document) {
  UpdateInfo info;
  info.needUpdate = ExtractJsonBool(document, "needUpdate") ? 1 : 0;
  info.mustUpdate = ExtractJsonBool(document, "mustUpdate") ? 1 : 0;
  // Views, not copies: the values go straight from the document into UTF-16.
  info.title = Utf8ToWide(FindJsonString(document, "title"));
  info.message = Utf8ToWide(ConvertEscapedLineBreaks(FindJsonString(document, "message")));
  info.url = Utf8ToWide(FindJsonString(document, "url"));
  info.versionName = Utf8ToWide(FindJsonString(document, "versionName"));
  info.installer = ReadInstallerIdentity(document);
  return info;
}
