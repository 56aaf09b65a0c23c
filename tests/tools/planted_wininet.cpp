// Planted beside the program under WinINet's name, as a downloads folder may hold such a file:
// when loaded, it says so in the file named by OSTREL_PLANTED_LOG.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  const char* path = std::getenv("OSTREL_PLANTED_LOG");
  if (reason != DLL_PROCESS_ATTACH || !path) return TRUE;
  if (FILE* log = std::fopen(path, "w")) {
    std::fputs("loaded\n", log);
    std::fclose(log);
  }
  return TRUE;
}
