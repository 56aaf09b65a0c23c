// Puts the web view into the main window and sends it to the home page.
#pragma once

#include <windows.h>

#include <WebView2.h>

// Posted to the main window by the web view host when one of the runtime's processes failed, both
// parameters 0. Handled outside the runtime's event, which must not start a new web view or
// release the old one while it runs.
constexpr UINT WM_WEB_VIEW_PROCESS_FAILED = WM_USER + 2;

// Starts the asynchronous creation of the web view for `window` and returns at once; the
// completions arrive later through the message loop.
void InitializeWebView(HWND window);

// The main window's duties to the web view; each does nothing while there is no live web view.

// Gives the web view the main window's client area.
void ResizeWebViewToClientArea();
// Shows or hides the web view; only a change reaches the runtime. A child window hears nothing
// when its top-level window is minimised, so the main window hides the view then: the page rests
// (document.visibilityState "hidden", animations and timers slowed), as in a minimised browser.
void ShowWebView(bool visible);
// Hands the keyboard focus that the main window received on to the page.
void MoveFocusToWebView();
// Tells the web view that the main window moved, so that what it places on the screen (a
// drop-down list, the page's idea of its position) follows.
void NotifyWebViewOfWindowMove();
// Asks the page whether the window may close, as a browser tab does: the page's beforeunload
// runs, and the window is hidden and then destroyed once the page has let go and unloaded (or
// stays when the user chose to stay). A minimised window is restored first, so that the user sees
// the page's question. True when the close is taken care of: the page is asked, or the close is
// the same gesture (a double-click) as the one that asked. False when the window is to close at
// once: no live web view to ask, or the page let go already.
bool AskPageBeforeClosing();
// Acts on the failure the runtime last raised, if any: a failure while a close is asking ends the
// window; otherwise the page comes back, a new web view when the browser process ended, a reload
// when the page's own process did. A runtime that keeps failing is given up on after a few
// recoveries.
void RecoverWebView();
// Closes the web view's controller as the window goes, as the runtime asks of its hosts; from
// then on none of the calls above reaches the web view. Once, whatever calls it again.
void CloseWebView();
