#include "update/update_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// One row of a table: what goes in, and what must come out.
template <typename Input, typename Expected>
struct Case {
  const char* name;
  Input input;
  Expected expected;
};

TEST(ExtractJsonString, ReadsByTheDocumentRules) {
  struct StringCase {
    const char* name;
    std::string document, key, expected;
  };
  const std::vector<StringCase> cases = {
      {"plain value", R"({"title":"Hello"})", "title", "Hello"},
      {"document shorter than the key", R"("ti)", "title", ""},
      {"missing key", R"({"name":"x"})", "title", ""},
      {"empty value", R"({"title":""})", "title", ""},
      {"blanks around the colon", "{\"title\" \t\r\n: \n\t \"x\"}", "title", "x"},
      {"anything between key and colon", R"({"title" junk : "x"})", "title", "x"},
      {"line break inside the value kept", "{\"title\":\"a\nb\"}", "title", "a\nb"},
      {"no colon", R"({"title" "x"})", "title", ""},
      {"no opening quote", R"({"title": 5})", "title", ""},
      {"opening quote is the last byte", R"({"title":")", "title", ""},
      {"no closing quote", R"({"title":"abc)", "title", ""},
      {"escaped quote cuts the value", R"({"message":"say \"hi\""})", "message", R"(say \)"},
      {"escapes stay as written", R"({"url":"http:\/\/x\u0041\n"})", "url",
       R"(http:\/\/x\u0041\n)"},
      {"case matters", R"({"Title":"a","title":"b"})", "title", "b"},
      {"longer key is not the key", R"({"titles":"a","subtitle":"b"})", "title", ""},
      {"space inside the key quotes", R"({"title ":"a"})", "title", ""},
      {"first occurrence wins", R"({"title":"a","title":"b"})", "title", "a"},
      {"nested key read as top level", R"({"x":{"title":"deep"}})", "title", "deep"},
      {"key text as an earlier value", R"({"title":"url","message":"m","url":"u"})", "url", "m"},
      {"null value takes the next key's name", R"({"title":null,"url":"u"})", "title", "url"},
      {"raw UTF-8 bytes carried", "{\"title\":\"\xE4\xB8\xAD\"}", "title", "\xE4\xB8\xAD"},
      {"NUL byte inside the value kept", "{\"title\":\"a\0b\"}"s, "title", "a\0b"s},
      {"NUL byte before the key", "\0{\"title\":\"x\"}"s, "title", "x"},
  };
  for (const StringCase& c : cases)
    EXPECT_EQ(ExtractJsonString(c.document, c.key), c.expected) << c.name;
}

TEST(ExtractJsonBool, TrueOnlyForTheFourLowerCaseBytes) {
  const std::vector<Case<std::string, bool>> cases = {
      {"true", R"({"needUpdate":true})", true},
      {"spaces and tabs before", "{\"needUpdate\": \t \ttrue}", true},
      {"merely begins with true", R"({"needUpdate":trueish})", true},
      {"document ends after true", R"({"needUpdate":true)", true},
      {"false", R"({"needUpdate":false})", false},
      {"True", R"({"needUpdate":True})", false},
      {"quoted", R"({"needUpdate":"true"})", false},
      {"one", R"({"needUpdate":1})", false},
      {"on the next line", "{\"needUpdate\":\ntrue}", false},
      {"ends after the colon", R"({"needUpdate":)", false},
      {"fewer than four bytes left", R"({"needUpdate":tru)", false},
      {"missing key", R"({"mustUpdate":true})", false},
      {"no colon", R"({"needUpdate" true})", false},
      {"first occurrence wins", R"({"needUpdate":false,"needUpdate":true})", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ExtractJsonBool(c.input, "needUpdate"), c.expected) << c.name;
}

// Runs of U+FFFD collapsed to one: how many a malformed run becomes is the converter's choice.
std::u16string CollapseReplacements(std::u16string text) {
  std::u16string out;
  for (char16_t c : text)
    if (!(c == u'\uFFFD' && !out.empty() && out.back() == u'\uFFFD')) out.push_back(c);
  return out;
}

// The same vectors run against the Win32 conversion (under Wine) and the portable decoder.
TEST(Utf8ToWide, ConvertsLikeTheSystemConversion) {
  const std::vector<Case<std::string, std::u16string>> cases = {
      {"empty", "", u""},
      {"ASCII", "Hello, world", u"Hello, world"},
      {"two-byte", "caf\xC3\xA9", u"caf\u00E9"},
      {"three-byte", "\xE4\xB8\xAD\xE6\x96\x87", u"\u4E2D\u6587"},
      {"four-byte becomes a surrogate pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"stops at the first NUL", "ab\0cd"s, u"ab"},
      {"NUL first", "\0abc"s, u""},
      {"lone continuation byte", "a\x80z", u"a\uFFFDz"},
      {"truncated sequence at the end", "a\xE4\xB8", u"a\uFFFD"},
      {"truncated sequence before ASCII", "\xE4\xB8z", u"\uFFFDz"},
      {"invalid lead bytes", "a\xFF\xFEz", u"a\uFFFDz"},
      {"overlong form", "a\xC0\xAFz", u"a\uFFFDz"},
      {"overlong three-byte form", "\xE0\x80\xAF\xE4\xB8\xAD", u"\uFFFD\u4E2D"},
      {"three-byte sequence ending the text", "\xE4\xB8\xAD\xE4\xB8\xAD", u"\u4E2D\u4E2D"},
      {"encoded surrogate", "a\xED\xA0\x80z", u"a\uFFFDz"},
      {"above U+10FFFF", "a\xF4\x90\x80\x80z", u"a\uFFFDz"},
      {"well-formed around malformed", "\xE4\xB8\xAD\x80\xE6\x96\x87", u"\u4E2D\uFFFD\u6587"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CollapseReplacements(Utf8ToWide(c.input)), c.expected) << c.name;
}

TEST(ConvertEscapedLineBreaks, TurnsBackslashNIntoLineFeeds) {
  const std::vector<Case<std::string, std::string>> cases = {
      {"empty", "", ""},
      {"one byte", "\\", "\\"},
      {"between words", "Fixes\\nSpeed", "Fixes\nSpeed"},
      {"two in a row", "a\\n\\nb", "a\n\nb"},
      {"escaped backslash before n", "\\\\n", "\\\n"},
      {"carriage return escape kept", "\\r\\n", "\\r\n"},
      {"other escapes kept", "\\t\\\"\\u0041\\N", "\\t\\\"\\u0041\\N"},
      {"trailing backslash kept", "end\\", "end\\"},
      {"a line feed formed by replacement is not rejoined", "\\\\nn", "\\\nn"},
      {"non-ASCII around", "\xE4\xB8\xAD\\n\xFF\\n", "\xE4\xB8\xAD\n\xFF\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(ConvertEscapedLineBreaks(c.input), c.expected) << c.name;
}

TEST(ReadInstallerIdentity, TakesOnlyAWellFormedPair) {
  const std::string digest = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
  // The texts of installerSha256 and installerSize, and the size read (nothing: no installer).
  const std::vector<Case<std::pair<std::string, std::string>, std::optional<uint64_t>>> cases = {
      {"well-formed, either letter case", {digest, "1048576"}, 1048576},
      {"the largest size", {digest, "268435456"}, 268435456},
      {"one byte more", {digest, "268435457"}, std::nullopt},
      {"size zero", {digest, "0"}, std::nullopt},
      {"size not decimal", {digest, "0x10"}, std::nullopt},
      {"digest one digit short", {digest.substr(1), "7"}, std::nullopt},
      {"digest not hexadecimal", {digest.substr(1) + "g", "7"}, std::nullopt},
  };
  for (const auto& [name, texts, size] : cases) {
    std::string document = R"({"installerSha256": ")";
    document.append(texts.first).append(R"(", "installerSize": ")").append(texts.second) += "\"}";
    const std::optional<InstallerIdentity> installer = ReadInstallerIdentity(document);
    EXPECT_EQ(installer ? std::optional(installer->size) : std::nullopt, size) << name;
    EXPECT_TRUE(!installer || installer->sha256[31] == 0xFF) << name;
  }
}

TEST(ReadUpdateDocument, ReadsAFullDocument) {
  const std::string document =
      "{\n  \"needUpdate\": true,\n  \"mustUpdate\": false,\n  \"title\": \"Ostrel 2.0\",\n"
      "  \"message\": \"\xE4\xBF\xAE\xE5\xA4\x8D\\n\xE6\x9B\xB4\xE5\xBF\xAB\",\n"
      "  \"url\": \"https://example.test/get\\/it\",\n  \"versionName\": \"2.0\\n1\"\n}";
  UpdateInfo info = ReadUpdateDocument(document);
  EXPECT_EQ(info.needUpdate, 1);
  EXPECT_EQ(info.mustUpdate, 0);
  EXPECT_EQ(info.title, u"Ostrel 2.0");
  EXPECT_EQ(info.message, u"\u4FEE\u590D\n\u66F4\u5FEB");
  EXPECT_EQ(info.url, u"https://example.test/get\\/it");  // only the message's breaks convert
  EXPECT_EQ(info.versionName, u"2.0\\n1");
}

}  // namespace
