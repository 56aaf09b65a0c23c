// The result of the update check: what the update document offers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// The installer a signed answer names: the program runs the file at the answer's url only when
// these are its length and its SHA-256.
struct InstallerIdentity {
  uint64_t size = 0;
  std::array<uint8_t, 32> sha256 = {};

  bool operator==(const InstallerIdentity&) const = default;
};

struct UpdateInfo {
  int32_t needUpdate = 0;  // 1: an update is offered
  int32_t mustUpdate = 0;  // 1: the update is mandatory
  std::u16string url;
  std::u16string title;
  std::u16string message;
  std::u16string versionName;
  // Both "installerSha256" and "installerSize", well-formed; kept only from a verified answer.
  std::optional<InstallerIdentity> installer;
};
