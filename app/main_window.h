// The main window's procedure, and its place on the screen.
#pragma once

#include <windows.h>

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Shrinks and moves the new window, before it is first shown, so that it lies wholly inside the
// work area of the monitor it opens on; a window that already does is left as it is.
void FitMainWindowToWorkArea(HWND window);
