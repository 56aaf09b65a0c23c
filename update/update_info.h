// The result of the update check: what the update document offers.
#pragma once

#include <cstdint>
#include <string>

struct UpdateInfo {
  int32_t needUpdate = 0;  // 1: an update is offered
  int32_t mustUpdate = 0;  // 1: the update is mandatory
  std::u16string url;
  std::u16string title;
  std::u16string message;
  std::u16string versionName;
};
