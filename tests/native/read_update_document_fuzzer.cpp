// Any bytes at all: reading never fails, and what it reads keeps the format's promises.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "update/update_answer.h"
#include "update/update_document.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

bool IsWellFormedUtf16(const std::u16string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] >= 0xDC00 && text[i] <= 0xDFFF) return false;
    if (text[i] >= 0xD800 && text[i] <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view document(reinterpret_cast<const char*>(data), size);
  const UpdateInfo info = ReadUpdateDocument(document);
  Require(info.needUpdate == 0 || info.needUpdate == 1);
  Require(info.mustUpdate == 0 || info.mustUpdate == 1);
  for (const std::u16string* text : {&info.title, &info.message, &info.url, &info.versionName}) {
    Require(text->size() <= size);
    Require(IsWellFormedUtf16(*text));
    Require(text->find(u'\0') == std::u16string::npos);
  }
  // Each text value is the raw bytes of the document between two of its quotes.
  const std::string title = ExtractJsonString(document, "title");
  Require(title.empty() || document.find("\"" + title + "\"") != std::string_view::npos);
  Require(Utf8ToWide(title) == info.title);
  // Every escaped line break was converted, and none can form anew.
  Require(info.message.find(u"\\n") == std::u16string::npos);
  // The signed bytes are the document less the signature's 88 base64 characters, and reading
  // the terms never fails.
  if (const auto answer = SplitSignedAnswer(document))
    Require(answer->signedBytes.size() + 88 == size);
  VerifyUpdateAnswer(document, "1.0.0", 0, [](const SignedAnswer&) { return true; });
  return 0;
}
