#include "webview/webview_host.h"

void InitializeWebView(HWND) {}
