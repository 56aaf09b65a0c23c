// The update prompt: a message box composed from the update check's result, and what its
// answer does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "update/update_info.h"

// The message box answers and styles the prompt uses (the platform's IDOK, IDYES, MB_OK and
// MB_YESNO, each with MB_ICONINFORMATION), spelled out so this logic builds without Win32.
inline constexpr int32_t kPromptAnswerOk = 1;
inline constexpr int32_t kPromptAnswerYes = 6;
inline constexpr uint32_t kPromptStyleMandatory = 0x40;
inline constexpr uint32_t kPromptStyleOptional = 0x44;

struct UpdatePrompt {
  std::u16string caption;
  std::u16string text;
  uint32_t style;
};

struct PromptOutcome {
  std::optional<std::u16string> addressToOpen;
  bool endProgram;
};

UpdatePrompt ComposeUpdatePrompt(const UpdateInfo& info);

// Yes or OK opens the document's url when it is a web address, else kDownloadPageUrl; a
// mandatory update ends the program whatever the answer.
PromptOutcome ResolvePromptAnswer(int32_t answer, const UpdateInfo& info);

// "http" or "https", in any letter case, followed by "://".
bool IsWebAddress(std::u16string_view address);

// Shows the prompt for an offered update once the update check has published it; does nothing
// otherwise. Runs on the user-interface thread.
void ShowUpdatePrompt();
