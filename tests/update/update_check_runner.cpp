// Runs the update check once, against whatever serves the update endpoint, and reports as one
// JSON line what it stored, whether it published it, and how many messages it posted.
#include <windows.h>

#include "../tools/json_text.h"
#include "app/globals.h"
#include "update/update_check.h"

int main() {
  g_mainWindow =
      CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  RunUpdateCheck();

  int posted = 0;
  MSG message;
  while (PeekMessageW(&message, g_mainWindow, WM_UPDATE_AVAILABLE, WM_UPDATE_AVAILABLE, PM_REMOVE))
    ++posted;

  const UpdateInfo& info = g_updateInfo;
  WriteLine(std::string("{\"published\":") + (g_updateInfoPublished ? "true" : "false") +
            ",\"posted\":" + std::to_string(posted) + ",\"needUpdate\":" +
            std::to_string(info.needUpdate) + ",\"mustUpdate\":" + std::to_string(info.mustUpdate) +
            ",\"title\":" + Json(info.title) + ",\"message\":" + Json(info.message) +
            ",\"url\":" + Json(info.url) + ",\"versionName\":" + Json(info.versionName) + "}");
  return 0;
}
