// Signed update answers: a program built with the publisher's public keys obeys only an answer
// that one of them signed, made for its own version and not yet expired. The signature covers
// the whole body as received with the signature's value taken out, so nothing in the answer can
// be changed, added or moved; its terms are read by the same rules as the other values.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A P-256 public key's point (X, then Y), and an ECDSA signature over SHA-256 (r, then s): 32
// big-endian bytes each.
using PublicKeyPoint = std::array<uint8_t, 64>;
using AnswerSignature = std::array<uint8_t, 64>;

struct SignedAnswer {
  std::string signedBytes;  // the body, with the signature's value taken out
  AnswerSignature signature;
};

enum class AnswerVerdict {
  kGenuine,
  kUnsigned,           // no signature, or one that is not 64 bytes in padded base64
  kForged,             // no key verifies the signature
  kExpired,            // "expires" is not a UTC time later than now
  kNotForThisVersion,  // outside forVersionsFrom <= version < forVersionsBelow, or a bound
                       // missing or unreadable (an empty one is no bound on that side)
};

// The answer's signed bytes and signature, or nothing when it carries no well-formed signature.
std::optional<SignedAnswer> SplitSignedAnswer(std::string_view document);

// Standard base64 with padding, strictly: nothing when the text is anything else.
std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text);

// "YYYY-MM-DDTHH:MM:SSZ" as seconds since 1970-01-01 UTC; nothing for any other text or a date
// that does not exist.
std::optional<int64_t> ParseExpiry(std::string_view text);

// A plain version: one to four numbers of one to nine digits, joined by dots, read in four
// parts (1.1 = 1.1.0 = 1.1.0.0).
std::optional<std::array<uint32_t, 4>> ParsePlainVersion(std::string_view text);

// What the answer's terms say for a program of `version` at `now` (seconds since 1970, UTC):
// kGenuine when it has not expired and was made for that version. The signature is not looked at.
AnswerVerdict CheckAnswerTerms(std::string_view document, std::string_view version, int64_t now);

// The whole verification: the signature (`verifies` tells whether one of the keys signed it),
// then the terms.
AnswerVerdict VerifyUpdateAnswer(std::string_view document, std::string_view version, int64_t now,
                                 const std::function<bool(const SignedAnswer&)>& verifies);
