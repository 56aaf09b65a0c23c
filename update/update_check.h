// The one update check of a run, on its own thread.
#pragma once

#include <span>

#include "update/update_answer.h"

// Fetches the update document, stores what it offers in g_updateInfo and, when an update is
// offered, posts WM_UPDATE_AVAILABLE to the main window; then removes what an earlier update left
// in the temporary folder. Blocks; meant as a thread's body.
void RunUpdateCheck();

// Whether one of `keys` signed the answer, checked with Windows' own cryptography.
bool IsSignedByPublisher(const SignedAnswer& answer, std::span<const PublicKeyPoint> keys);
