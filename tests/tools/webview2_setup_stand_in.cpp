// Stands in for Microsoft's WebView2 bootstrapper in the installer under test: appends its
// command line to the file OSTREL_BOOTSTRAPPER_LOG names and, as the real one does once the
// runtime is in place, records a version under the current user. With OSTREL_BOOTSTRAPPER_FAIL
// set to anything but empty it fails instead, recording nothing.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int) {
  if (const wchar_t* path = _wgetenv(L"OSTREL_BOOTSTRAPPER_LOG")) {
    if (FILE* log = _wfopen(path, L"a")) {
      std::fprintf(log, "%ls\n", arguments);
      std::fclose(log);
    }
  }
  const wchar_t* fail = _wgetenv(L"OSTREL_BOOTSTRAPPER_FAIL");
  if (fail && *fail) return 1;
  const wchar_t version[] = L"131.0.2903.70";
  return RegSetKeyValueW(HKEY_CURRENT_USER,
                         L"Software\\Microsoft\\EdgeUpdate\\Clients\\"
                         L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}",
                         L"pv", REG_SZ, version, sizeof version) == ERROR_SUCCESS
             ? 0
             : 2;
}
