// The publisher's check of an update document: reads it with the program's own reader and prompt,
// prints what the program would show and open, and names every value that the program reads
// otherwise than JSON means it, and a download over plain http (a warning only with
// OSTREL_ALLOW_PLAIN_HTTP=1). With OSTREL_UPDATE_PUBLIC_KEY, it verifies the answer's signature
// and terms as a program of VERSION built with those keys does.
//
//   check_update FILE|- [VERSION]
//   exit code 0: read as meant; 1: not; 2: nothing could be read
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/addresses.h"
#include "update/update_answer.h"
#include "update/update_document.h"
#include "update/update_prompt.h"

namespace {

using nlohmann::json;

const char* const kKeys[] = {"needUpdate", "mustUpdate",      "title",        "message",
                             "url",        "versionName",     "installerSha256", "installerSize"};

// Every value of each top-level key, in the order they stand, as JSON reads them; the first
// syntax error ends the reading.
class TopLevelValues final : public nlohmann::json_sax<json> {
 public:
  std::map<std::string, std::vector<json>> values;
  std::string error;

  bool null() override { return Add(nullptr); }
  bool boolean(bool value) override { return Add(value); }
  bool number_integer(number_integer_t value) override { return Add(value); }
  bool number_unsigned(number_unsigned_t value) override { return Add(value); }
  bool number_float(number_float_t value, const string_t&) override { return Add(value); }
  bool string(string_t& value) override { return Add(value); }
  bool binary(binary_t&) override { return Add(nullptr); }
  bool key(string_t& key) override {
    if (depth_ == 1) key_ = key;
    return true;
  }
  bool start_object(std::size_t) override { return Open(json::object()); }
  bool start_array(std::size_t) override { return Open(json::array()); }
  bool end_object() override { return --depth_, true; }
  bool end_array() override { return --depth_, true; }
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& exception) override {
    error = exception.what();
    return false;
  }

 private:
  bool Add(json value) {
    if (depth_ == 1 && key_) values[*key_].push_back(std::move(value));
    key_.reset();
    return true;
  }
  bool Open(json value) {
    if (depth_ == 0 && value.is_array()) error = "the document is a JSON array, not an object";
    Add(std::move(value));
    return ++depth_, true;
  }

  int depth_ = 0;
  std::optional<std::string> key_;
};

std::string Utf8(const std::u16string& text) {
  std::string utf8(text.size() * 3, '\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8WithSub(utf8.data(), static_cast<int32_t>(utf8.size()), &length, text.data(),
                     static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  utf8.resize(U_SUCCESS(status) ? length : 0);
  return utf8;
}

// A value as it stands, line breaks and other control characters made visible: a real line break
// and the two characters backslash and n must not look alike here.
std::string Shown(const json& value) {
  if (!value.is_string()) return value.dump();
  std::string shown = "\"";
  for (unsigned char c : value.get_ref<const std::string&>()) {
    char control[8];
    std::snprintf(control, sizeof control, "<%02X>", c);
    shown += c == '\n' ? "↵" : c < 0x20 ? control : std::string(1, static_cast<char>(c));
  }
  return shown + "\"";
}

// What the program stores for `key`, before its conversion to UTF-16.
json ProgramValue(std::string_view document, const std::string& key) {
  if (key == "needUpdate" || key == "mustUpdate") return ExtractJsonBool(document, key);
  const std::string raw = ExtractJsonString(document, key);
  return key == "message" ? ConvertEscapedLineBreaks(raw) : raw;
}

// Whether the first "key" in the text, where the program starts reading, is followed by a colon.
bool FirstOccurrenceIsAKey(std::string_view document, const std::string& key) {
  const size_t after = document.find('"' + key + '"');
  const size_t next = document.find_first_not_of(" \t\r\n", after + key.size() + 2);
  return next != std::string_view::npos && document[next] == ':';
}

// The usual reason why the program reads a text otherwise than JSON means it.
std::string Reason(std::string_view document, const std::string& key, const std::string& meant) {
  const std::string raw = ExtractJsonString(document, key);
  if (!FirstOccurrenceIsAKey(document, key))
    return "the first \"" + key + "\" in the text is an earlier value, not the key";
  if (raw.find("\\/") != std::string::npos) return "slashes are escaped as \\/";
  if (raw.find("\\u") != std::string::npos) return "characters are escaped as \\uXXXX";
  if (meant.find('"') != std::string::npos) return "an escaped double quote ends the value";
  if (key == "message" && meant.find('\r') != std::string::npos)
    return "line breaks are \\r\\n, and the program shows the \\r";
  if (raw.find('\\') != std::string::npos)
    return "escapes stay as written: only \\n in message becomes a line break";
  return "the first \"" + key + "\" in the text is a key of a nested object";
}

std::vector<std::string> Problems(std::string_view document, const TopLevelValues& meaning) {
  std::vector<std::string> problems;
  for (const std::string key : kKeys) {
    const json program = ProgramValue(document, key);
    const auto found = meaning.values.find(key);
    if (found == meaning.values.end()) {
      if (key == "needUpdate") {
        problems.push_back("needUpdate is missing: the program never prompts");
      } else if (program != false && program != "") {
        problems.push_back(key + " is no top-level key, yet the program reads " + Shown(program));
      }
      continue;
    }
    // The program reads the first occurrence; most JSON readers take the last.
    const json& meant = found->second.front();
    if (found->second.size() > 1)
      problems.push_back(key + " stands " + std::to_string(found->second.size()) + " times");
    if (meant.type() != program.type()) {
      problems.push_back(key + " is written " + meant.dump() + ", not as a JSON " +
                         program.type_name() + "; the program reads " + Shown(program));
    } else if (meant != program) {
      const std::string reason =
          program.is_boolean()
              ? "true must follow its colon on the same line, after nothing but spaces and tabs"
              : Reason(document, key, meant.get<std::string>());
      problems.push_back(key + ": JSON means " + Shown(meant) + ", the program reads " +
                         Shown(program) + " (" + reason + ")");
    }
  }
  if ((FindJsonStringValue(document, "installerSha256") ||
       FindJsonStringValue(document, "installerSize")) &&
      !ReadInstallerIdentity(document)) {
    problems.push_back(
        "installerSha256 and installerSize do not name an installer (64 hexadecimal digits, and a "
        "size from 1 to " +
        std::to_string(kMaximumInstallerSize) + " in decimal): Yes opens url in the browser");
  }
  const std::string url = ExtractJsonString(document, "url");
  if (!url.empty() && !IsWebAddress(Utf8ToWide(url))) {
    problems.push_back("url is no http or https address: Yes opens " + Utf8(kDownloadPageUrl) +
                       " instead");
  }
  return problems;
}

// "http://" in any letter case: IsWebAddress, less https.
bool IsPlainHttp(std::u16string_view address) {
  return IsWebAddress(address) && address[4] == u':';
}

std::string Hexadecimal(const std::array<uint8_t, 32>& bytes) {
  std::ostringstream text;
  for (uint8_t byte : bytes) text << std::hex << std::setw(2) << std::setfill('0') << int{byte};
  return text.str();
}

void PrintProgramView(const UpdateInfo& info) {
  std::cout << "The program reads:\n"
            << "  needUpdate   " << (info.needUpdate ? "true" : "false") << "\n"
            << "  mustUpdate   " << (info.mustUpdate ? "true" : "false") << "\n";
  for (const auto& [name, value] : {std::pair{"title", &info.title},
                                    {"message", &info.message},
                                    {"url", &info.url},
                                    {"versionName", &info.versionName}})
    std::cout << "  " << std::left << std::setw(13) << name << Shown(Utf8(*value)) << "\n";
  if (info.installer) {
    std::cout << "  installer    " << info.installer->size << " bytes, SHA-256 "
              << Hexadecimal(info.installer->sha256) << "\n";
  }
  if (!info.needUpdate) {
    std::cout << "It shows no prompt.\n";
    return;
  }
  const UpdatePrompt prompt = ComposeUpdatePrompt(info);
  const bool mandatory = prompt.style == kPromptStyleMandatory;
  const int32_t confirmed = mandatory ? kPromptAnswerOk : kPromptAnswerYes;
  const PromptOutcome outcome = ResolvePromptAnswer(confirmed, info);
  std::string text = Utf8(prompt.text);
  for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 5)
    text.replace(at, 1, "\n    ");
  std::cout << "It shows the prompt:\n  caption  " << Utf8(prompt.caption) << "\n  text\n    "
            << text << "\n  buttons  " << (mandatory ? "OK" : "Yes, No") << "\n  "
            << (mandatory ? "OK" : "Yes") << " opens " << Utf8(*outcome.addressToOpen) << "\n";
  if (ResolvePromptAnswer(confirmed, info, true).installsUpdate) {
    std::cout << "  In a copy installed by the installer and built with keys, it fetches that "
                 "address instead, and runs the file only when it is the installer named above.\n";
  }
  std::cout << (outcome.endProgram ? "Then the program ends, whatever the answer.\n"
                                   : "The program keeps running.\n");
}

using PublicKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// The P-256 public keys of OSTREL_UPDATE_PUBLIC_KEY, read by the very script the build reads
// them with, or why there are none.
std::vector<PublicKey> ReadPublicKeys(std::string& error) {
  // The file's name reaches the script through the environment, never as words of the shell.
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(
      popen("bash '" OSTREL_READ_PUBLIC_KEYS "' \"$OSTREL_UPDATE_PUBLIC_KEY\" 2>&1", "r"), pclose);
  if (!pipe) {
    error = "the key reader could not be started";
    return {};
  }
  std::string output;
  char chunk[4096];
  for (size_t read; (read = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0;)
    output.append(chunk, read);
  if (pclose(pipe.release()) != 0) {
    error = output.substr(0, output.find_last_not_of('\n') + 1);
    return {};
  }
  // Each line a point, X then Y: a SubjectPublicKeyInfo is this prefix and the point.
  constexpr unsigned char kPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
  std::vector<PublicKey> keys;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    long length = 0;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> point(
        OPENSSL_hexstr2buf(line.c_str(), &length), [](unsigned char* p) { OPENSSL_free(p); });
    std::vector<unsigned char> der(std::begin(kPrefix), std::end(kPrefix));
    if (point) der.insert(der.end(), point.get(), point.get() + length);
    const unsigned char* at = der.data();
    PublicKey key(length == 64 ? d2i_PUBKEY(nullptr, &at, static_cast<long>(der.size())) : nullptr,
                  EVP_PKEY_free);
    if (!key) {
      error = "the key reader wrote " + line + ", not a P-256 point";
      return {};
    }
    keys.push_back(std::move(key));
  }
  return keys;
}

bool IsSignedWithOneOf(const std::vector<PublicKey>& keys, const SignedAnswer& answer) {
  // OpenSSL verifies the DER form of the signature the program reads as r and s.
  std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> signature(ECDSA_SIG_new(), ECDSA_SIG_free);
  BIGNUM* r = BN_bin2bn(answer.signature.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(answer.signature.data() + 32, 32, nullptr);
  unsigned char* der = nullptr;
  const int length = ECDSA_SIG_set0(signature.get(), r, s) ? i2d_ECDSA_SIG(signature.get(), &der)
                                                           : (BN_free(r), BN_free(s), 0);
  std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(
      der, [](unsigned char* bytes) { OPENSSL_free(bytes); });
  for (const PublicKey& key : keys) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    const auto* message = reinterpret_cast<const unsigned char*>(answer.signedBytes.data());
    if (length > 0 &&
        EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
        EVP_DigestVerify(context.get(), der, length, message, answer.signedBytes.size()) == 1)
      return true;
  }
  return false;
}

// Whether an answer that carries "expires" must be signed again now: it has expired, or has less
// than 14 days or a third of its life (from "issued", when it says) left, whichever is shorter,
// so a 30-day answer is named 10 days before it expires. Returns the exit code.
int CheckExpiry(std::string_view document, int64_t now) {
  if (!FindJsonStringValue(document, "expires")) return 0;  // unsigned: it never expires
  const std::string text = ExtractJsonString(document, "expires");
  const std::optional<int64_t> expires = ParseExpiry(text);
  if (!expires || *expires <= now) {
    std::cout << "Expired (expires \"" << text
              << "\"): a program built with keys ignores this answer. Sign the description "
                 "again.\n";
    return 1;
  }
  int64_t warning = 14 * 86400;
  const std::optional<int64_t> issued = ParseExpiry(ExtractJsonString(document, "issued"));
  if (issued && *issued < *expires) warning = std::min(warning, (*expires - *issued) / 3);
  if (*expires - now < warning) {
    std::cout << "Expires on " << text << ": sign the description again.\n";
    return 1;
  }
  return 0;
}

// With OSTREL_UPDATE_PUBLIC_KEY, verifies the answer as a program of `version` built with those
// keys does, and names why it would ignore it; with keys or without, an answer close to its
// expiry counts as one to sign again now. Returns the exit code.
int CheckSignature(std::string_view document, const std::string& version) {
  const int64_t now = std::time(nullptr);
  const std::string from = ExtractJsonString(document, "forVersionsFrom");
  const std::string below = ExtractJsonString(document, "forVersionsBelow");
  const std::string expires = ExtractJsonString(document, "expires");
  const std::string range = "versions from " + (from.empty() ? "any" : from) + " below " +
                            (below.empty() ? "any" : below);
  const char* const ignored = ": a program built with these keys ignores this answer.\n";
  const char* keyFile = std::getenv("OSTREL_UPDATE_PUBLIC_KEY");
  if (!keyFile || !*keyFile) {
    std::cout << "Signatures were not verified: set OSTREL_UPDATE_PUBLIC_KEY to the public keys "
                 "the programs are built with.\n";
    // The terms are plain text: an answer handed to a version it was not made for (a cache that
    // ignores the query string) shows without keys.
    if (!version.empty() && FindJsonStringValue(document, "expires") &&
        CheckAnswerTerms(document, version, now) == AnswerVerdict::kNotForThisVersion) {
      std::cout << "Made for " << range << ", not for " << version << ignored;
      return 1;
    }
    return CheckExpiry(document, now);
  }
  std::string error;
  const std::vector<PublicKey> keys = ReadPublicKeys(error);
  if (keys.empty()) {
    std::cout << "Cannot verify: " << error << "\n";
    return 2;
  }
  // Without a version asked, every term but the range is checked.
  const AnswerVerdict verdict = VerifyUpdateAnswer(
      document, version.empty() ? "0" : version, now,
      [&](const SignedAnswer& answer) { return IsSignedWithOneOf(keys, answer); });
  switch (verdict) {
    case AnswerVerdict::kUnsigned:
      std::cout << "Not signed" << ignored << "Sign the description with tools/sign-update.sh.\n";
      return 1;
    case AnswerVerdict::kForged:
      std::cout << "The signature is verified by no key in " << keyFile << ignored;
      return 1;
    case AnswerVerdict::kExpired:
      std::cout << "Expired (expires \"" << expires << "\")" << ignored
                << "Sign the description again.\n";
      return 1;
    case AnswerVerdict::kNotForThisVersion:
      if (version.empty()) break;
      std::cout << "Made for " << range << ", not for " << version << ignored;
      return 1;
    case AnswerVerdict::kGenuine:
      break;
  }
  std::cout << "Signed with a key of " << keyFile << ", made for " << range
            << (version.empty() ? " (no version asked: not checked)" : "") << ", expires on "
            << expires << ".\n";
  return CheckExpiry(document, now);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::cerr << "usage: check_update FILE|- [VERSION]\n";
    return 2;
  }
  std::ifstream file;
  std::istream* input = &std::cin;
  if (std::string(argv[1]) != "-") {
    file.open(argv[1], std::ios::binary);
    input = &file;
  }
  // One byte past the program's limit tells that the program would read nothing.
  std::string document(kMaximumUpdateDocumentSize + 1, '\0');
  input->read(document.data(), static_cast<std::streamsize>(document.size()));
  if (input->bad() || (input->fail() && !input->eof())) {
    std::cerr << "check_update: cannot read " << argv[1] << "\n";
    return 2;
  }
  document.resize(input->gcount());
  if (document.size() > kMaximumUpdateDocumentSize) {
    std::cout << "Over the program's limit of " << kMaximumUpdateDocumentSize
              << " bytes: the program reads nothing and shows nothing.\n";
    return 1;
  }

  const UpdateInfo info = ReadUpdateDocument(document);
  PrintProgramView(info);
  TopLevelValues meaning;
  json::sax_parse(document, &meaning);
  const std::vector<std::string> problems =
      meaning.error.empty() ? Problems(document, meaning)
                            : std::vector<std::string>{"not JSON: " + meaning.error};
  int status = 0;
  if (problems.empty()) {
    std::cout << "The program reads every value as JSON means it.\n";
  } else {
    std::cout << "What the program reads otherwise than JSON means:\n";
    for (const std::string& problem : problems) std::cout << "  " << problem << "\n";
    status = 1;
  }
  // Anyone on the network path can replace a download over plain http with a program of their
  // own, which users then run, trusting the prompt.
  const std::u16string download = *ResolvePromptAnswer(kPromptAnswerYes, info).addressToOpen;
  if (IsPlainHttp(download)) {
    const char* allowed = std::getenv("OSTREL_ALLOW_PLAIN_HTTP");
    const bool warnOnly = allowed && std::strcmp(allowed, "1") == 0;
    std::cout << (warnOnly ? "Warning (OSTREL_ALLOW_PLAIN_HTTP=1): " : "Not safe: ")
              << "the prompt sends users to " << Utf8(download)
              << ", plain http: anyone on the network path can replace that download.\n";
    if (!warnOnly) status = 1;
  }
  return std::max(status, CheckSignature(document, argc == 3 ? argv[2] : ""));
}
