#include "update/installer_fetch.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "app/globals.h"
#include "app/wide_text.h"
#include "update/cng_win.h"
#include "update/internet_win.h"

namespace {

constexpr char16_t kFilePrefix[] = u"OstrelBrowser-update-";
constexpr wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OstrelBrowser";
constexpr size_t kPieceSize = 64 * 1024;

struct FileCloser {
  void operator()(HANDLE file) const { CloseHandle(file); }
};
using File = std::unique_ptr<void, FileCloser>;

File OwnFile(HANDLE file) { return File(file == INVALID_HANDLE_VALUE ? nullptr : file); }

struct SearchCloser {
  void operator()(HANDLE search) const { FindClose(search); }
};
using Search = std::unique_ptr<void, SearchCloser>;

// Written by the fetch's thread, which then sets g_fetchFinished (release); read by the
// user-interface thread only once an acquire load sees it set. Never destroyed: the thread may
// still run while the process exits.
struct FetchedInstaller {
  std::u16string path;
  File heldFile;  // open for reading only, sharing reading only: nobody can write, rename or
                  // delete the file until it is closed
  InstallerFetch result = InstallerFetch::kFailed;
};
FetchedInstaller& g_fetched = *new FetchedInstaller;
std::atomic<bool> g_fetchStarted{false};
std::atomic<bool> g_fetchFinished{false};

std::u16string TemporaryFolder() {
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  return length > 0 && length <= MAX_PATH ? AsText(folder, length) : std::u16string();
}

// A new file under a random name in the temporary folder, created exclusively: a file that
// someone put there first is never taken for the program's own.
File CreateInstallerFile(std::u16string& path) {
  const std::u16string folder = TemporaryFolder();
  if (folder.empty()) return nullptr;
  for (int attempt = 0; attempt < 4; ++attempt) {
    uint8_t random[8];
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      return nullptr;
    path = folder + kFilePrefix;
    for (uint8_t byte : random) {
      path += u"0123456789abcdef"[byte >> 4];
      path += u"0123456789abcdef"[byte & 15];
    }
    path += u".exe";
    File file = OwnFile(CreateFileW(AsWide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return nullptr;
}

// Writes what `url` answers into `file`, reading at most one byte more than the signed size;
// returns why that failed, or nothing once the whole answer is written.
std::optional<InstallerFetch> Download(const std::u16string& url, uint64_t size, HANDLE file,
                                       std::vector<char>& buffer) {
  const InternetHandle internet = OpenInternet();
  if (!internet) return InstallerFetch::kFailed;
  const InternetHandle request(
      InternetOpenUrlW(internet.get(), AsWide(url), nullptr, 0, kRequestFlags, 0));
  DWORD status = 0, length = sizeof status;
  if (!request ||
      !HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                      &length, nullptr) ||
      status != HTTP_STATUS_OK)
    return InstallerFetch::kFailed;
  for (uint64_t received = 0;;) {
    const auto wanted = static_cast<DWORD>(std::min<uint64_t>(buffer.size(), size + 1 - received));
    DWORD read = 0, written = 0;
    if (!InternetReadFile(request.get(), buffer.data(), wanted, &read))
      return InstallerFetch::kFailed;
    if (read == 0) return std::nullopt;
    received += read;
    if (received > size) return InstallerFetch::kDiffers;
    if (!WriteFile(file, buffer.data(), read, &written, nullptr) || written != read)
      return InstallerFetch::kFailed;
  }
}

// Whether `file`, read from its start, is the installer the answer names.
bool IsSignedInstaller(HANDLE file, const InstallerIdentity& installer, std::vector<char>& buffer) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) || static_cast<uint64_t>(size.QuadPart) != installer.size)
    return false;
  const Algorithm sha256 = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
  BCRYPT_HASH_HANDLE created = nullptr;
  if (!sha256 ||
      !BCRYPT_SUCCESS(BCryptCreateHash(sha256.get(), &created, nullptr, 0, nullptr, 0, 0)))
    return false;
  const Hash hash(created);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
      return false;
    if (read == 0) break;
    if (!BCRYPT_SUCCESS(
            BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(buffer.data()), read, 0)))
      return false;
  }
  std::array<uint8_t, 32> digest;
  return BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest.data(), digest.size(), 0)) &&
         digest == installer.sha256;
}

// Fetches into a file of the program's own; the file stays, held, only when it is the signed
// installer.
InstallerFetch FetchInto(FetchedInstaller& fetched, const std::u16string& url,
                         const InstallerIdentity& installer) {
  std::vector<char> buffer(kPieceSize);
  File writer = CreateInstallerFile(fetched.path);
  if (!writer) return InstallerFetch::kFailed;
  std::optional<InstallerFetch> failed = Download(url, installer.size, writer.get(), buffer);
  writer.reset();
  if (!failed) {
    // The bytes checked are the bytes run: the file is opened again and held, writers shut out,
    // before its digest is taken, so nothing can change it between the check and the start.
    fetched.heldFile = OwnFile(CreateFileW(AsWide(fetched.path), GENERIC_READ, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!fetched.heldFile) {
      failed = InstallerFetch::kFailed;
    } else if (!IsSignedInstaller(fetched.heldFile.get(), installer, buffer)) {
      failed = InstallerFetch::kDiffers;
    }
  }
  if (!failed) return InstallerFetch::kVerified;
  fetched.heldFile.reset();
  DeleteFileW(AsWide(fetched.path));
  return *failed;
}

void FetchInstaller(std::u16string url, InstallerIdentity installer) {
  // The standard library reports allocation failure by throwing; here that means no installer.
  try {
    g_fetched.result = FetchInto(g_fetched, url, installer);
  } catch (const std::bad_alloc&) {
    if (!g_fetched.path.empty()) DeleteFileW(AsWide(g_fetched.path));
  }
  g_fetchFinished.store(true, std::memory_order_release);
  PostMessageW(g_mainWindow, WM_INSTALLER_FETCHED, 0, 0);
}

// A folder as a full path without trailing separators.
std::u16string FullFolderPath(const wchar_t* folder) {
  wchar_t full[MAX_PATH];
  const DWORD length = GetFullPathNameW(folder, MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) return std::u16string();
  std::u16string path = AsText(full, length);
  while (path.size() > 3 && path.back() == u'\\') path.pop_back();
  return path;
}

}  // namespace

bool RunsFromInstallFolder() {
  wchar_t recorded[MAX_PATH];
  DWORD bytes = sizeof recorded;
  if (RegGetValueW(HKEY_CURRENT_USER, kUninstallKey, L"InstallLocation", RRF_RT_REG_SZ, nullptr,
                   recorded, &bytes) != ERROR_SUCCESS)
    return false;
  wchar_t program[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  wchar_t* const name = wcsrchr(program, L'\\');
  if (!name) return false;
  *name = L'\0';
  const std::u16string installed = FullFolderPath(recorded), running = FullFolderPath(program);
  return !installed.empty() &&
         CompareStringOrdinal(AsWide(installed), -1, AsWide(running), -1, TRUE) == CSTR_EQUAL;
}

void StartInstallerFetch(const std::u16string& url, const InstallerIdentity& installer) {
  if (g_fetchStarted.exchange(true)) return;
  // std::thread reports a failed start by throwing: then no installer arrives.
  try {
    std::thread(FetchInstaller, url, installer).detach();
  } catch (const std::system_error&) {
    g_fetchFinished.store(true, std::memory_order_release);
    PostMessageW(g_mainWindow, WM_INSTALLER_FETCHED, 0, 0);
  }
}

std::optional<InstallerFetch> FinishedInstallerFetch() {
  if (!g_fetchFinished.load(std::memory_order_acquire)) return std::nullopt;
  return g_fetched.result;
}

void RunVerifiedInstaller() {
  if (FinishedInstallerFetch() != InstallerFetch::kVerified) return;
  std::u16string commandLine = u"\"" + g_fetched.path + u"\" /S /RESTART";
  const std::u16string folder = TemporaryFolder();
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started;
  // Started from the temporary folder, so that no process of the update keeps the program's
  // folder as its current one.
  const bool running =
      CreateProcessW(AsWide(g_fetched.path), AsWide(commandLine), nullptr, nullptr, FALSE, 0,
                     nullptr, folder.empty() ? nullptr : AsWide(folder), &startup, &started);
  // Held until the installer runs; its own image keeps the file from change after that.
  g_fetched.heldFile.reset();
  if (!running) {
    DeleteFileW(AsWide(g_fetched.path));
    return;
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
}

void RemoveFetchedInstallers() {
  const std::u16string folder = TemporaryFolder();
  if (folder.empty()) return;
  WIN32_FIND_DATAW found;
  const HANDLE first = FindFirstFileW(AsWide(folder + kFilePrefix + u"*.exe"), &found);
  if (first == INVALID_HANDLE_VALUE) return;
  const Search search(first);
  do {
    const std::u16string path = folder + AsText(found.cFileName, wcslen(found.cFileName));
    // The installer that started this program ends a moment after it, and holds its file until
    // then; a copy still fetching or holding its own refuses for longer, and keeps it.
    for (int attempt = 0; attempt < 40 && !DeleteFileW(AsWide(path)); ++attempt) {
      const DWORD error = GetLastError();
      if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
      Sleep(250);
    }
  } while (FindNextFileW(search.get(), &found));
}
