// The one update check of a run, on its own thread.
#pragma once

// Fetches the update document, stores what it offers in g_updateInfo and, when an update is
// offered, posts WM_UPDATE_AVAILABLE to the main window. Blocks; meant as a thread's body.
void RunUpdateCheck();
