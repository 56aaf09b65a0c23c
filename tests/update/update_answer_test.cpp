#include "update/update_answer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// 64 bytes, 0 to 63, in padded base64.
const std::string kSignature =
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+Pw==";

std::string Answer(const std::string& terms, const std::string& signature = kSignature) {
  return R"({"needUpdate": true,)" + terms + R"("signature": ")" + signature + R"("})";
}

TEST(SplitSignedAnswer, TakesOutTheFirstSignatureValueOnly) {
  const auto answer = SplitSignedAnswer(Answer(""));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->signedBytes, R"({"needUpdate": true,"signature": ""})");
  for (int i = 0; i < 64; ++i) EXPECT_EQ(answer->signature[i], i);
  for (const std::string& wrong : {""s, kSignature.substr(4), kSignature + "AAAA", "no signature"s})
    EXPECT_FALSE(SplitSignedAnswer(Answer("", wrong))) << wrong;
  EXPECT_FALSE(SplitSignedAnswer(Answer(R"("signature": "x", )")));  // the first one is read
}

TEST(DecodeBase64, StandardAlphabetWithPaddingOnly) {
  const std::vector<std::pair<std::string, std::string>> valid = {
      {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"}, {"+/+/", "\xfb\xff\xbf"}};
  for (const auto& [text, bytes] : valid)
    EXPECT_EQ(DecodeBase64(text), std::vector<uint8_t>(bytes.begin(), bytes.end())) << text;
  for (const char* text : {"Zg=", "Zh==", "Zm9=", "Z===", "Zm9v\n", "-_-_", "Zg==Zg=="})
    EXPECT_FALSE(DecodeBase64(text)) << text;
}

TEST(ParseExpiry, ExactlyAnExistingUtcTime) {
  EXPECT_EQ(ParseExpiry("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(ParseExpiry("2027-03-08T00:00:00Z"), 1804464000);
  EXPECT_EQ(ParseExpiry("2024-02-29T23:59:59Z"), 1709251199);
  for (const char* text :
       {"2023-02-29T00:00:00Z", "2027-04-31T00:00:00Z", "2027-13-01T00:00:00Z",
        "2027-03-08T24:00:00Z", "2027-03-08T23:59:60Z", "2027-03-08T00:00:00",
        "2027-03-08 00:00:00Z", "2027-03-08T00:00:00+00:00", "+027-03-08T00:00:00Z"})
    EXPECT_FALSE(ParseExpiry(text)) << text;
}

TEST(CheckAnswerTerms, MadeForThisVersionAndNotExpired) {
  constexpr int64_t kNow = 1804464000;  // 2027-03-08T00:00:00Z
  const std::string later = R"("expires": "2027-03-08T00:00:01Z", )";
  const std::string any = later + R"("forVersionsFrom": "", "forVersionsBelow": "", )";
  const std::vector<std::pair<std::string, AnswerVerdict>> cases = {
      {any, AnswerVerdict::kGenuine},
      {later + R"("forVersionsFrom": "1", "forVersionsBelow": "1.0.0.1", )",
       AnswerVerdict::kGenuine},
      // A bound left out counts for no version; an empty one is no bound on that side.
      {later, AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsFrom": "", )", AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsBelow": "", )", AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsFrom": "", "forVersionsBelow": 2, )",
       AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsFrom": "1.0.1", "forVersionsBelow": "", )",
       AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsFrom": "", "forVersionsBelow": "1.0.0.0", )",
       AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsFrom": "1.0.x", "forVersionsBelow": "", )",
       AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsFrom": "", "forVersionsBelow": " 2", )",
       AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsFrom": "", "forVersionsBelow": "1.2.3.4.5", )",
       AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsFrom": "", "forVersionsBelow": "1234567890", )",
       AnswerVerdict::kNotForThisVersion},
      {R"("expires": "2027-03-08T00:00:00Z", )", AnswerVerdict::kExpired},
      {R"("expires": "2027-03-08", )", AnswerVerdict::kExpired},
      {"", AnswerVerdict::kExpired},
  };
  for (const auto& [terms, verdict] : cases)
    EXPECT_EQ(CheckAnswerTerms(Answer(terms), "1.0.0", kNow), verdict) << terms;
  // Signed or not comes first.
  auto verify = [&](const std::string& document, bool verifies) {
    return VerifyUpdateAnswer(document, "1.0.0", kNow, [&](auto&) { return verifies; });
  };
  EXPECT_EQ(verify(Answer(any), true), AnswerVerdict::kGenuine);
  EXPECT_EQ(verify(Answer(any), false), AnswerVerdict::kForged);
  EXPECT_EQ(verify(Answer(any, ""), true), AnswerVerdict::kUnsigned);
}

}  // namespace
