#!/usr/bin/env bash
# Makes the test run's own Wine prefix anew and keeps its wineserver up for the run
# ("start"), or ends that wineserver ("stop"). WINEPREFIX names the prefix.
set -euo pipefail
: "${WINEPREFIX:?}"
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="

case "${1:-}" in
  start)
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # A persistent server keeps Wine warm between the tests' many short processes.
    wineserver -p >/dev/null 2>&1
    wineboot -i >/dev/null 2>&1
    # Nothing in the tests may reach the host's browser or desktop through Wine's shell.
    for scheme in http https file; do
      wine reg add "HKCU\\Software\\Classes\\$scheme\\shell\\open\\command" /ve /d '"C:\\windows\\system32\\rundll32.exe"' /f >/dev/null
    done
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
