#include "update/update_answer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// 64 bytes, 0 to 63, in padded base64.
const std::string kSignature =
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+Pw==";

std::string Answer(const std::string& terms, const std::string& signature = kSignature) {
  return R"({"needUpdate": true,)" + terms + R"("signature": ")" + signature + R"("})";
}

TEST(SplitSignedAnswer, TakesOutTheFirstSignatureValueOnly) {
  EXPECT_FALSE(SplitSignedAnswer(Answer(R"("signature": "x", )")));  // the first one is read
  const auto signedAnswer = SplitSignedAnswer(Answer(""));
  ASSERT_TRUE(signedAnswer);
  EXPECT_EQ(signedAnswer->signedBytes, R"({"needUpdate": true,"signature": ""})");
  for (int i = 0; i < 64; ++i) EXPECT_EQ(signedAnswer->signature[i], i);
  for (const std::string& wrong :
       std::vector<std::string>{"", kSignature.substr(4), kSignature + "AAAA", "no signature"})
    EXPECT_FALSE(SplitSignedAnswer(Answer("", wrong))) << wrong;
}

TEST(DecodeBase64, StandardAlphabetWithPaddingOnly) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"", ""},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"+/+/", "\xfb\xff\xbf"},
      {"Zg=", std::nullopt},
      {"Zh==", std::nullopt},
      {"Zm9=", std::nullopt},
      {"Z===", std::nullopt},
      {"Zm9v\n", std::nullopt},
      {"-_-_", std::nullopt},
      {"Zg==Zg==", std::nullopt}};
  for (const auto& [text, expected] : cases) {
    const auto bytes = DecodeBase64(text);
    EXPECT_EQ(bytes ? std::optional<std::string>(std::string(bytes->begin(), bytes->end()))
                    : std::nullopt,
              expected)
        << text;
  }
}

TEST(ParseExpiry, ExactlyAnExistingUtcTime) {
  const std::vector<std::pair<std::string, std::optional<int64_t>>> cases = {
      {"1970-01-01T00:00:00Z", 0},
      {"2027-03-08T00:00:00Z", 1804464000},
      {"2024-02-29T23:59:59Z", 1709251199},
      {"2023-02-29T00:00:00Z", std::nullopt},
      {"2027-04-31T00:00:00Z", std::nullopt},
      {"2027-13-01T00:00:00Z", std::nullopt},
      {"2027-03-08T24:00:00Z", std::nullopt},
      {"2027-03-08T23:59:60Z", std::nullopt},
      {"2027-03-08T00:00:00", std::nullopt},
      {"2027-03-08 00:00:00Z", std::nullopt},
      {"2027-03-08T00:00:00+00:00", std::nullopt},
      {"+027-03-08T00:00:00Z", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseExpiry(text), expected) << text;
}

TEST(CheckAnswerTerms, MadeForThisVersionAndNotExpired) {
  constexpr int64_t kNow = 1804464000;  // 2027-03-08T00:00:00Z
  const std::string later = R"("expires": "2027-03-08T00:00:01Z", )";
  struct TermsCase {
    std::string terms;
    AnswerVerdict expected;
  };
  const std::vector<TermsCase> cases = {
      {later, AnswerVerdict::kGenuine},
      {later + R"("forVersionsFrom": "1", "forVersionsBelow": "1.0.0.1", )",
       AnswerVerdict::kGenuine},
      {later + R"("forVersionsFrom": "", "forVersionsBelow": "", )", AnswerVerdict::kGenuine},
      {later + R"("forVersionsFrom": "1.0.1", )", AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsBelow": "1.0.0.0", )", AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsFrom": "1.0.x", )", AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsBelow": " 2", )", AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsBelow": "1.2.3.4.5", )", AnswerVerdict::kNotForThisVersion},
      {later + R"("forVersionsBelow": "1234567890", )", AnswerVerdict::kNotForThisVersion},
      {R"("expires": "2027-03-08T00:00:00Z", )", AnswerVerdict::kExpired},
      {R"("expires": "2027-03-08", )", AnswerVerdict::kExpired},
      {"", AnswerVerdict::kExpired},
  };
  for (const TermsCase& c : cases)
    EXPECT_EQ(CheckAnswerTerms(Answer(c.terms), "1.0.0", kNow), c.expected) << c.terms;
  // Signed or not comes first.
  auto verify = [&](const std::string& document, bool verifies) {
    return VerifyUpdateAnswer(document, "1.0.0", kNow,
                              [&](const SignedAnswer&) { return verifies; });
  };
  EXPECT_EQ(verify(Answer(later), true), AnswerVerdict::kGenuine);
  EXPECT_EQ(verify(Answer(later), false), AnswerVerdict::kForged);
  EXPECT_EQ(verify(Answer(later, ""), true), AnswerVerdict::kUnsigned);
}

}  // namespace
