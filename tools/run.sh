#!/usr/bin/env bash
# Builds the program and runs it under Wine beside a local demo update endpoint that offers an
# optional update: on your display when DISPLAY is set (close the window to end), otherwise on
# Xvfb, saving a screenshot to build/screenshot.png. Its Wine prefix sends addresses to no
# browser, so the prompt's Yes opens nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

"$root/tools/setup.sh"
configure_windows "$build/demo" "$demo_port"
cmake --build "$build/demo" --target OstrelBrowser window_helper

export WINEPREFIX=$build/run-wineprefix WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
export root build program=$build/demo/bin/OstrelBrowser.exe

python3 "$root/tools/demo_server.py" "$demo_port" &
server=$!
trap 'kill $server 2>/dev/null; "$root/tests/wine_prefix.sh" stop' EXIT

# Wine's desktop belongs to the display it first starts on: make the prefix there.
if [[ -n ${DISPLAY:-} ]]; then
  "$root/tests/wine_prefix.sh" start
  wine "$program"
else
  xvfb-run -a -s "-screen 0 1920x1080x24" bash -c '
    "$root/tests/wine_prefix.sh" start
    wine "$program" &
    echo "msgbox 30000" | wine "$build/demo/tests/window_helper.exe"
    sleep 2
    import -window root "$build/screenshot.png"
    echo "post main 16 0 0" | wine "$build/demo/tests/window_helper.exe" >/dev/null
    wait
  '
  echo "screenshot: $build/screenshot.png"
fi
