// Puts the web view into the main window and sends it to the home page.
#pragma once

#include <windows.h>

// Starts the asynchronous creation of the web view for `window` and returns at once; the
// completions arrive later through the message loop.
void InitializeWebView(HWND window);

// The main window's duties to the web view; each does nothing before the web view exists.

// Gives the web view the main window's client area.
void ResizeWebViewToClientArea();
// Hands the keyboard focus that the main window received on to the page.
void MoveFocusToWebView();
// Tells the web view that the main window moved, so that what it places on the screen (a
// drop-down list, the page's idea of its position) follows.
void NotifyWebViewOfWindowMove();
