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
  // Fetch the url, check it against the answer's installer and run it: the program updates
  // itself, and a mandatory update ends the program once the fetch has ended.
  bool installsUpdate;
  bool endProgram;
};

UpdatePrompt ComposeUpdatePrompt(const UpdateInfo& info);

// Yes or OK installs the answer's installer when `installsItself` (a build with the publisher's
// keys, running from the folder its installer recorded) and the answer names one at a web
// address; otherwise it opens the url when it is a web address, else kDownloadPageUrl. A
// mandatory update ends the program whatever the answer.
PromptOutcome ResolvePromptAnswer(int32_t answer, const UpdateInfo& info,
                                  bool installsItself = false);

// "http" or "https", in any letter case, followed by "://".
bool IsWebAddress(std::u16string_view address);

// Shows the prompt for an offered update once the update check has published it; does nothing
// otherwise. Runs on the user-interface thread.
void ShowUpdatePrompt();

// Once the installer's fetch has ended: closes the window for a verified installer, as the user's
// close does, or tells the user that nothing was installed; a mandatory update then ends the
// program. Runs on the user-interface thread.
void FinishUpdate();
