#!/usr/bin/env bash
# Start-up under Wine: process start to visible main window, for the program and for a minimal
# Win32 window program built with the same flags, alternating, median of 7 each, and the ratio.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

"$root/tools/setup.sh" run
configure_windows "$build/windows" "$(free_ports "$build/windows")"
cmake --build "$build/windows" --target OstrelBrowser minimal_window startup_timer

export WINEPREFIX=$build/startup-wineprefix WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
export root build
xvfb-run -a -s "-screen 0 1920x1080x24" bash -c '
  "$root/tests/wine_prefix.sh" start
  trap "\"$root/tests/wine_prefix.sh\" stop" EXIT
  program=$(winepath -w "$build/windows/bin/OstrelBrowser.exe")
  minimal=$(winepath -w "$build/windows/bench/minimal_window.exe")
  {
    for run in 0 1 2 3 4 5 6 7; do  # run 0 warms Wine up and is not counted
      echo "$program OSTREL_WINDOW_CLASS"
      echo "$minimal MINIMAL_WINDOW_CLASS"
    done
  } | wine "$build/windows/bench/startup_timer.exe"
' | python3 -c '
import json, statistics, sys
runs = [json.loads(line) for line in sys.stdin if line.startswith("{")]
assert all("ms" in r and r["exit"] == 0 for r in runs), runs
program = statistics.median(r["ms"] for r in runs[2::2])
minimal = statistics.median(r["ms"] for r in runs[3::2])
print(f"program {program:.1f} ms, minimal window program {minimal:.1f} ms, "
      f"ratio {program / minimal:.3f} (median of 7 each)")
'
