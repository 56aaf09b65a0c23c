#include "update/update_answer.h"

#include <algorithm>

#include "update/update_document.h"

std::optional<SignedAnswer> SplitSignedAnswer(std::string_view document) {
  const std::optional<ValueSpan> value = FindJsonStringValue(document, "signature");
  if (!value) return std::nullopt;
  const std::optional<std::vector<uint8_t>> bytes =
      DecodeBase64(document.substr(value->begin, value->end - value->begin));
  SignedAnswer answer;
  if (!bytes || bytes->size() != answer.signature.size()) return std::nullopt;
  std::copy(bytes->begin(), bytes->end(), answer.signature.begin());
  answer.signedBytes.reserve(document.size() - (value->end - value->begin));
  answer.signedBytes.append(document.substr(0, value->begin)).append(document.substr(value->end));
  return answer;
}

std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  const size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  uint32_t bits = 0;
  for (size_t i = 0; i < text.size() - padding; ++i) {
    const size_t digit = kAlphabet.find(text[i]);
    if (digit == std::string_view::npos) return std::nullopt;
    bits = bits << 6 | static_cast<uint32_t>(digit);
    if (i % 4 == 3) {
      for (int shift : {16, 8, 0}) bytes.push_back(static_cast<uint8_t>(bits >> shift));
      bits = 0;
    }
  }
  // The last group: two or three digits make one or two bytes, and the bits left over are zero.
  if (padding == 2) {
    if (bits & 0xF) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(bits >> 4));
  } else if (padding == 1) {
    if (bits & 0x3) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(bits >> 10));
    bytes.push_back(static_cast<uint8_t>(bits >> 2));
  }
  return bytes;
}

namespace {

// The number read from the digits at text[at, at + count), when they are all digits.
std::optional<uint32_t> Digits(std::string_view text, size_t at, size_t count) {
  uint32_t number = 0;
  for (char c : text.substr(at, count)) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<uint32_t>(c - '0');
  }
  return number;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t DaysSinceEpoch(int64_t year, uint32_t month, uint32_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

}  // namespace

std::optional<int64_t> ParseExpiry(std::string_view text) {
  if (text.size() != 20) return std::nullopt;
  for (auto [at, separator] :
       {std::pair{4, '-'}, {7, '-'}, {10, 'T'}, {13, ':'}, {16, ':'}, {19, 'Z'}})
    if (text[at] != separator) return std::nullopt;
  const auto year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2),
             hour = Digits(text, 11, 2), minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  const bool leap = *year % 4 == 0 && (*year % 100 != 0 || *year % 400 == 0);
  constexpr uint32_t kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (*month < 1 || *month > 12 || *day < 1 || *day > kDaysIn[*month - 1] + (*month == 2 && leap) ||
      *hour > 23 || *minute > 59 || *second > 59)
    return std::nullopt;
  return DaysSinceEpoch(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second;
}

std::optional<std::array<uint32_t, 4>> ParsePlainVersion(std::string_view text) {
  std::array<uint32_t, 4> parts = {};
  for (size_t part = 0;; ++part) {
    const size_t dot = std::min(text.find('.'), text.size());
    if (part == parts.size() || dot == 0 || dot > 9) return std::nullopt;
    const std::optional<uint32_t> number = Digits(text, 0, dot);
    if (!number) return std::nullopt;
    parts[part] = *number;
    if (dot == text.size()) return parts;
    text.remove_prefix(dot + 1);
  }
}

AnswerVerdict CheckAnswerTerms(std::string_view document, std::string_view version, int64_t now) {
  const std::optional<int64_t> expires = ParseExpiry(ExtractJsonString(document, "expires"));
  if (!expires || *expires <= now) return AnswerVerdict::kExpired;
  // Both bounds must be written, empty for none: a hand-written answer that forgot its range
  // counts for no version, rather than ending every version with a mandatory offer.
  const std::optional<ValueSpan> fromValue = FindJsonStringValue(document, "forVersionsFrom");
  const std::optional<ValueSpan> belowValue = FindJsonStringValue(document, "forVersionsBelow");
  if (!fromValue || !belowValue) return AnswerVerdict::kNotForThisVersion;
  const auto text = [&](const ValueSpan& value) {
    return document.substr(value.begin, value.end - value.begin);
  };
  const std::string_view from = text(*fromValue), below = text(*belowValue);
  const auto own = ParsePlainVersion(version);
  const auto lowest = ParsePlainVersion(from), limit = ParsePlainVersion(below);
  if (!own || (!from.empty() && (!lowest || *own < *lowest)) ||
      (!below.empty() && (!limit || !(*own < *limit))))
    return AnswerVerdict::kNotForThisVersion;
  return AnswerVerdict::kGenuine;
}

AnswerVerdict VerifyUpdateAnswer(std::string_view document, std::string_view version, int64_t now,
                                 const std::function<bool(const SignedAnswer&)>& verifies) {
  const std::optional<SignedAnswer> answer = SplitSignedAnswer(document);
  if (!answer) return AnswerVerdict::kUnsigned;
  if (!verifies(*answer)) return AnswerVerdict::kForged;
  return CheckAnswerTerms(document, version, now);
}
