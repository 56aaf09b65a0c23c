#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine; `setup.sh check` installs
# only what the update document check needs (tools/check_update.sh).
# Safe to run again: apt skips what is already there.
set -euo pipefail

# The one thing apt cannot bring: Debian packages no .NET SDK, which restores the WebView2 SDK.
if [[ ${1:-} != check ]] && ! command -v dotnet >/dev/null; then
  echo "The .NET SDK 10 is missing: the build restores the WebView2 SDK with it, and Debian" \
    "does not package it. Install it as Microsoft describes for Debian" \
    "(https://learn.microsoft.com/dotnet/core/install/linux-debian), then run this again." >&2
  exit 1
fi

packages=(cmake ninja-build g++ libicu-dev nlohmann-json3-dev libssl-dev curl php-cli)
if [[ ${1:-} != check ]]; then
  packages+=(
    clang libclang-rt-14-dev googletest libgtest-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 fonts-wine fonts-liberation xvfb xauth imagemagick fonts-wqy-microhei
    nsis zip unzip python3 strip-nondeterminism osslsigncode icoutils openssl git
    nginx php-fpm  # the endpoint behind a real web server, run by the tests as their own processes
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
