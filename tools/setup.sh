#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine; `setup.sh check` installs
# only what the update document check needs (tools/check_update.sh).
# Safe to run again: apt skips what is already there.
set -euo pipefail

packages=(cmake ninja-build g++ libicu-dev nlohmann-json3-dev curl)
if [[ ${1:-} != check ]]; then
  packages+=(
    clang libclang-rt-14-dev googletest libgtest-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 fonts-wine fonts-liberation xvfb xauth imagemagick fonts-wqy-microhei
    nsis zip unzip python3 strip-nondeterminism osslsigncode icoutils openssl git php-cli
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
