#include "update/update_prompt.h"

#include <windows.h>

#include <shellapi.h>  // after windows.h, which it needs

#include "app/globals.h"
#include "app/wide_text.h"

static_assert(kPromptAnswerOk == IDOK && kPromptAnswerYes == IDYES);
static_assert(kPromptStyleMandatory == (MB_OK | MB_ICONINFORMATION));
static_assert(kPromptStyleOptional == (MB_YESNO | MB_ICONINFORMATION));

void ShowUpdatePrompt() {
  // Any program can post this message: act only on what the update thread has finished writing.
  if (!g_updateInfoPublished.load(std::memory_order_acquire) || !g_updateInfo.needUpdate) return;

  const UpdatePrompt prompt = ComposeUpdatePrompt(g_updateInfo);
  const int answer =
      MessageBoxW(g_mainWindow, AsWide(prompt.text), AsWide(prompt.caption), prompt.style);
  const PromptOutcome outcome = ResolvePromptAnswer(answer, g_updateInfo);
  if (outcome.addressToOpen) {
    ShellExecuteW(nullptr, L"open", AsWide(*outcome.addressToOpen), nullptr, nullptr,
                  SW_SHOWNORMAL);
  }
  if (outcome.endProgram) PostMessageW(g_mainWindow, WM_DESTROY, 0, 0);
}
