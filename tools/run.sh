#!/usr/bin/env bash
# Builds the program and runs it under Wine beside a local demo update endpoint: on your display
# when DISPLAY is set (close the window to end), otherwise on Xvfb, saving a screenshot to
# build/screenshot.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

"$root/tools/setup.sh"
configure_windows "$build/windows"
cmake --build "$build/windows"

export WINEPREFIX=${OSTREL_RUN_WINEPREFIX:-$build/run-wineprefix}
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
[[ -f $WINEPREFIX/system.reg ]] || "$root/tests/wine_prefix.sh" start

python3 "$root/tools/demo_server.py" &
server=$!
trap 'kill $server 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT

program=$build/windows/bin/OstrelBrowser.exe
if [[ -n ${DISPLAY:-} ]]; then
  wine "$program"
else
  export root build program
  xvfb-run -a -s "-screen 0 1920x1080x24" bash -c '
    wine "$program" &
    sleep 12
    xwd -root -silent | convert xwd:- "$build/screenshot.png"
    echo "find" | wine "$build/windows/tests/window_helper.exe"
    echo "post main 16 0 0" | wine "$build/windows/tests/window_helper.exe" >/dev/null
    wait
  '
  echo "screenshot: $build/screenshot.png"
fi
