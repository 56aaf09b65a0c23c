#!/usr/bin/env bash
# The whole test suite on a Debian machine: installs what is missing, builds the portable logic
# natively and the program for Windows (with loopback addresses), and runs both test sets, the
# Windows one under Wine on a private Xvfb display.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

"$root/tools/setup.sh" test

configure_native "$build/native" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build/native"
ctest --test-dir "$build/native" --output-on-failure

# The same unit tests under AddressSanitizer and UndefinedBehaviorSanitizer, and a short fuzz run.
CC=clang CXX=clang++ configure_native "$build/sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSTREL_SANITIZE=ON
cmake --build "$build/sanitize"
ctest --test-dir "$build/sanitize" --output-on-failure -E test_publishing  # the release build's run

# The installer under test carries a stand-in for Microsoft's WebView2 bootstrapper.
configure_windows "$build/windows" "$(free_ports "$build/windows")" \
  -DOSTREL_WEBVIEW2_BOOTSTRAPPER="$build/windows/tests/webview2_setup_stand_in.exe"
cmake --build "$build/windows"
cmake --build "$build/windows" --target package  # the ZIP and the installer, tested below
xvfb-run -a -s "-screen 0 1920x1080x24" \
  ctest --test-dir "$build/windows" --output-on-failure --parallel 2
