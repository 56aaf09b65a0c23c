// Reading the update document. The document is read by plain substring search for each quoted
// key, not parsed as JSON; these rules are the format the update service writes to, so they
// keep its corners: the first occurrence wins, values are raw bytes, escapes stay undecoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "update/update_info.h"

// The largest update document the program reads; it ignores a longer body. Far beyond any real
// document: an endless body (a broken endpoint, one taken over, or anyone on the way of a
// plain-http channel) must not grow until memory runs out.
inline constexpr size_t kMaximumUpdateDocumentSize = 1 << 20;

// The largest installer an answer may name, far beyond any real one: the program never writes
// more than this of a download to disk.
inline constexpr uint64_t kMaximumInstallerSize = 256 << 20;

// Where a text value lies in the document: [begin, end), its quotes outside.
struct ValueSpan {
  size_t begin, end;
};

// The place of the bytes between the first two double quotes after the first colon that follows
// the first occurrence of "key" (quotes included in the match); nothing when any is missing.
std::optional<ValueSpan> FindJsonStringValue(std::string_view document, std::string_view key);

// The bytes FindJsonStringValue finds, or empty.
std::string ExtractJsonString(std::string_view document, std::string_view key);

// True when, after the colon that follows "key" and any spaces and tabs, the next four bytes are
// "true"; false in every other case.
bool ExtractJsonBool(std::string_view document, std::string_view key);

// UTF-8 to UTF-16, up to the first NUL byte; malformed sequences become U+FFFD, never a failure.
std::u16string Utf8ToWide(std::string_view utf8);

// Turns each backslash-n pair of the message's bytes into one line feed, in one pass; other
// escapes stay as they are. Backslash, n and line feed are ASCII, which UTF-8 never uses inside
// a multi-byte sequence, so this is the same before decoding as after it.
std::string ConvertEscapedLineBreaks(std::string_view message);

// "installerSha256" (64 hexadecimal digits) and "installerSize" (1 to kMaximumInstallerSize, in
// decimal), read as texts like the others; nothing unless both are well-formed.
std::optional<InstallerIdentity> ReadInstallerIdentity(std::string_view document);

// The values of an update document, with the message's escaped line breaks converted.
UpdateInfo ReadUpdateDocument(std::string_view document);
