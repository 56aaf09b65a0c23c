// The DLLs the program loads late (WinINet, CNG's BCRYPT, the shell) come from the system folder
// only. WinINet is not one of Windows' known DLLs (nor is BCRYPT on every version), so the
// delay-load helper's own LoadLibrary would look in the program's folder first: a ZIP unpacked
// beside a planted WININET.dll would run it. SHELL32 is a
// known DLL on Windows 10 and 11, always taken from the system folder there; the hook covers it
// all the same, since it costs nothing and older systems' lists differ. The process's search
// path stays as it is, for the WebView2 loader, which finds the runtime through it.
#include <windows.h>

#include <delayimp.h>

#include <cstring>
#include <string>

namespace {

FARPROC WINAPI LoadFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) return nullptr;
  // Import names are ASCII.
  const std::wstring name(info->szDll, info->szDll + std::strlen(info->szDll));
  return reinterpret_cast<FARPROC>(
      LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

}  // namespace

// Called by mingw-w64's delay-load helper before each load (declared with C linkage in
// delayimp.h); defining it replaces the library's empty default.
PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemFolder;
