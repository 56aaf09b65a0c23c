#include "update/update_document.h"

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
  constexpr size_t npos = std::string_view::npos;
  size_t colon = FindValueColon(document, key);
  if (colon == npos) return {};
  size_t open = document.find('"', colon);
  if (open == npos) return {};
  size_t close = document.find('"', open + 1);
  if (close == npos) return {};
  return document.substr(open + 1, close - open - 1);
}

}  // namespace

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

void ConvertEscapedLineBreaks(std::u16string& message) {
  size_t out = 0;
  for (size_t in = 0; in < message.size(); ++out) {
    if (message[in] == u'\\' && in + 1 < message.size() && message[in + 1] == u'n') {
      message[out] = u'\n';
      in += 2;
    } else {
      message[out] = message[in++];
    }
  }
  message.resize(out);
}

UpdateInfo ReadUpdateDocument(std::string_view document) {
  UpdateInfo info;
  info.needUpdate = ExtractJsonBool(document, "needUpdate") ? 1 : 0;
  info.mustUpdate = ExtractJsonBool(document, "mustUpdate") ? 1 : 0;
  // Views, not copies: the values go straight from the document into UTF-16.
  info.title = Utf8ToWide(FindJsonString(document, "title"));
  info.message = Utf8ToWide(FindJsonString(document, "message"));
  info.url = Utf8ToWide(FindJsonString(document, "url"));
  info.versionName = Utf8ToWide(FindJsonString(document, "versionName"));
  ConvertEscapedLineBreaks(info.message);
  return info;
}
