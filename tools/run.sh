#!/usr/bin/env bash
# Builds the program and runs it under Wine beside the reference update endpoint (server/), whose
# demo description offers an optional update: on your display when DISPLAY is set (close the
# window to end), otherwise on Xvfb, saving a screenshot to build/screenshot.png. Its Wine prefix
# sends addresses to no browser, so the prompt's Yes opens nothing. The update channel is signed
# as a release's is, with a throw-away key pair made in build/demo-keys.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

"$root/tools/setup.sh" run
keys=$build/demo-keys
if [[ ! -f $keys/public.pem ]]; then
  mkdir -p "$keys"
  openssl ecparam -name prime256v1 -genkey -noout -out "$keys/private.pem"
  openssl ec -in "$keys/private.pem" -pubout -out "$keys/public.pem" 2>/dev/null
fi
configure_windows "$build/demo" "$demo_port" -DOSTREL_UPDATE_PUBLIC_KEY="$keys/public.pem"
cmake --build "$build/demo" --target OstrelBrowser window_helper

export WINEPREFIX=$build/run-wineprefix WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
export root build program=$build/demo/bin/OstrelBrowser.exe

# The reference endpoint, with a description that offers this build an optional update.
endpoint=$build/demo/endpoint
mkdir -p "$endpoint"
cp "$root/server/update.php" "$endpoint/"
cat >"$endpoint/update.json" <<EOF
{
  "latestVersion": "2.0.0",
  "lowestAllowedVersion": "1.0.0",
  "title": "Ostrel Browser 2.0",
  "notes": ["全新的界面", "更快的启动速度", "修复了若干问题"],
  "downloadUrl": "http://127.0.0.1:$((demo_port + 2))/download"
}
EOF
# The demo's download page is plain http on loopback, where no one else is on the path.
OSTREL_UPDATE_SIGNING_KEY=$keys/private.pem OSTREL_ALLOW_PLAIN_HTTP=1 \
  "$root/tools/sign-update.sh" "$endpoint/update.json"
php -S "127.0.0.1:$demo_port" -t "$endpoint" >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; "$root/tests/wine_prefix.sh" stop' EXIT

# The test prefix, drawn for people: dialog text in the CJK font the setup installs, smoothed as
# Windows draws it (unsmoothed CJK glyphs lose strokes), and Wine's own Marlett for the caption
# buttons, which Debian's Wine does not find.
make_prefix() {
  "$root/tests/wine_prefix.sh" start
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  printf '%s\r\n' 'REGEDIT4' '' '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' \
    '"Tahoma"="WenQuanYi Micro Hei"' '"MS Shell Dlg"="WenQuanYi Micro Hei"' '' \
    '[HKEY_CURRENT_USER\Control Panel\Desktop]' '"FontSmoothing"="2"' \
    '"FontSmoothingType"=dword:00000002' '"FontSmoothingOrientation"=dword:00000001' \
    >"$WINEPREFIX/display.reg"
  wine regedit /S "$(winepath -w "$WINEPREFIX/display.reg")"
}

# Wine's desktop belongs to the display it first starts on: make the prefix there.
if [[ -n ${DISPLAY:-} ]]; then
  make_prefix
  wine "$program"
else
  # xvfb-run runs sh, which passes on no shell functions: the function goes in the script.
  xvfb-run -a -s "-screen 0 1920x1080x24" bash -c "$(declare -f make_prefix)"'
    make_prefix
    wine "$program" &
    for _ in $(seq 150); do  # until the update prompt shows
      echo "windows #32770" | wine "$build/demo/tests/window_helper.exe" | grep -q "[0-9]" && break
      sleep 0.2
    done
    sleep 2
    import -window root "$build/screenshot.png"
  '
  echo "screenshot: $build/screenshot.png"
fi
