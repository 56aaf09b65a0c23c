#include "update/update_prompt.h"

#include <windows.h>

#include <shellapi.h>  // after windows.h, which it needs

#include "app/globals.h"
#include "app/wide_text.h"
#include "update/installer_fetch.h"

static_assert(kPromptAnswerOk == IDOK && kPromptAnswerYes == IDYES);
static_assert(kPromptStyleMandatory == (MB_OK | MB_ICONINFORMATION));
static_assert(kPromptStyleOptional == (MB_YESNO | MB_ICONINFORMATION));

void ShowUpdatePrompt() {
  // Any program can post this message: act only on what the update thread has finished writing.
  if (!g_updateInfoPublished.load(std::memory_order_acquire) || !g_updateInfo.needUpdate) return;

  const UpdatePrompt prompt = ComposeUpdatePrompt(g_updateInfo);
  const int answer =
      MessageBoxW(g_mainWindow, AsWide(prompt.text), AsWide(prompt.caption), prompt.style);
  const PromptOutcome outcome = ResolvePromptAnswer(answer, g_updateInfo, RunsFromInstallFolder());
  if (outcome.installsUpdate) {
    // A mandatory update ends once the fetch has ended, in FinishUpdate.
    StartInstallerFetch(g_updateInfo.url, *g_updateInfo.installer);
    return;
  }
  if (outcome.addressToOpen) {
    ShellExecuteW(nullptr, L"open", AsWide(*outcome.addressToOpen), nullptr, nullptr,
                  SW_SHOWNORMAL);
  }
  if (outcome.endProgram) PostMessageW(g_mainWindow, WM_DESTROY, 0, 0);
}

void FinishUpdate() {
  // Once: any program can post the message again.
  static bool finished = false;
  const std::optional<InstallerFetch> fetched = FinishedInstallerFetch();
  if (!fetched || finished) return;
  finished = true;
  // Never the browser instead: a host that failed the program's download could hand the browser
  // other bytes at the same address.
  if (*fetched == InstallerFetch::kDiffers) {
    MessageBoxW(g_mainWindow,
                L"更新未安装，未做任何更改。\n\n下载的文件与发布者签名的文件不一致，已被删除。"
                L"下次启动时将再次提供此更新。",
                g_windowTitle, MB_OK | MB_ICONWARNING);
  } else if (*fetched == InstallerFetch::kFailed) {
    MessageBoxW(g_mainWindow,
                L"更新未安装，未做任何更改。\n\n无法下载更新文件。下次启动时将再次提供此更新。",
                g_windowTitle, MB_OK | MB_ICONWARNING);
  }
  if (g_updateInfo.mustUpdate) {
    PostMessageW(g_mainWindow, WM_DESTROY, 0, 0);
  } else if (*fetched == InstallerFetch::kVerified) {
    // The page is asked first, as at the user's close; when it stays, so does the window, and the
    // installer runs when the program ends.
    PostMessageW(g_mainWindow, WM_CLOSE, 0, 0);
  }
}
