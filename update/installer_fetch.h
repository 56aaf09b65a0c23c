// The program's own update: the installer a verified answer names is fetched into a file of the
// program's own in the user's temporary folder, checked against the signed size and SHA-256, and
// run once the program's window is gone.
#pragma once

#include <optional>
#include <string>

#include "update/update_info.h"

enum class InstallerFetch {
  kVerified,  // the signed installer, held until it runs
  kDiffers,   // bytes arrived, and they are not what the publisher signed
  kFailed,    // no installer arrived: no connection, an HTTP error, a failed read or write
};

// Whether the program runs from the folder its installer recorded: only an installed copy
// updates itself, and only where the installer would put the new version.
bool RunsFromInstallFolder();

// Fetches `url` on a thread of its own, once per run, and then posts WM_INSTALLER_FETCHED to the
// main window; the window stays responsive meanwhile.
void StartInstallerFetch(const std::u16string& url, const InstallerIdentity& installer);

// How the fetch ended, once it has; nothing before, whoever posted the message.
std::optional<InstallerFetch> FinishedInstallerFetch();

// When the program ends: starts the verified installer, if the fetch left one, as
// "<file>" /S /RESTART, so that it installs silently and starts the new version.
void RunVerifiedInstaller();

// Removes the installers that this user's earlier updates left in the temporary folder: a
// running installer cannot remove its own file, so the version it started does.
void RemoveFetchedInstallers();
