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
    # Nothing in the tests may reach the host's browser or desktop through Wine's shell: the
    # schemes the program may open go to the open recorder (OSTREL_OPEN_RECORDER), or nowhere.
    handler='C:\\windows\\system32\\rundll32.exe'
    if [[ -n ${OSTREL_OPEN_RECORDER:-} ]]; then
      handler=$(winepath -w "$OSTREL_OPEN_RECORDER" | sed 's/\\/\\\\/g')
    fi
    settings=$WINEPREFIX/test-settings.reg
    {
      echo 'REGEDIT4'
      for scheme in http https file; do
        printf '\n[HKEY_CLASSES_ROOT\\%s\\shell\\open\\command]\n' "$scheme"
        printf '@="\\"%s\\" \\"%%1\\""\n' "$handler"
      done
      # Wine draws the window frames itself, since Xvfb has no window manager to do it.
      printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="N"\n'
      # A program that crashes ends, as on Windows without a debugger, instead of leaving Wine's
      # crash dialog in front of the next test.
      printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\n"ShowCrashDialog"=dword:00000000\n'
    } >"$settings"
    wine regedit /S "$(winepath -w "$settings")"
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
