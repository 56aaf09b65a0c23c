// WebView2.h includes "EventToken.h"; mingw-w64 ships the same header in lower case.
#include <eventtoken.h>
