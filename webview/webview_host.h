// Puts the web view into the main window and sends it to the home page.
#pragma once

#include <windows.h>

// Starts the asynchronous creation of the web view for `window` and returns at once; the
// completions arrive later through the message loop.
void InitializeWebView(HWND window);

// Gives the web view the main window's client area; does nothing before the web view exists.
void ResizeWebViewToClientArea();
