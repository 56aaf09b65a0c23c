#!/usr/bin/env bash
# Installs what a command needs on a Debian 12 machine, and only that:
#   setup.sh           building the program and its packages (the release, its verification);
#   setup.sh run       that, and running it under Wine (the demo, the benchmark);
#   setup.sh test      that, and the test suite's own tools (the test command);
#   setup.sh check     the update document check (tools/check_update.sh, tools/static-feed.sh).
# Safe to run again: apt skips what is already there.
set -euo pipefail
what=${1:-build}
case $what in build | run | test | check) ;; *) echo "usage: $0 [run|test|check]" >&2; exit 2 ;; esac

# The one thing apt cannot bring: Debian packages no .NET SDK, which restores the WebView2 SDK.
if [[ $what != check ]] && ! command -v dotnet >/dev/null; then
  echo "The .NET SDK 10 is missing: the build restores the WebView2 SDK with it, and Debian" \
    "does not package it. Install it as Microsoft describes for Debian" \
    "(https://learn.microsoft.com/dotnet/core/install/linux-debian), then run this again." >&2
  exit 1
fi

packages=(cmake ninja-build g++ libicu-dev nlohmann-json3-dev libssl-dev curl php-cli openssl git)
[[ $what == check ]] || packages+=(
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  nsis zip unzip strip-nondeterminism osslsigncode icoutils
)
[[ $what != run && $what != test ]] || packages+=(
  wine wine64 fonts-wine fonts-liberation xvfb xauth imagemagick fonts-wqy-microhei python3
  googletest  # the window helper is built with the tests
)
if [[ $what == test ]]; then
  packages+=(
    clang libclang-rt-14-dev libgtest-dev
    python3-pytest python3-trustme python3-cryptography
    nginx php-fpm  # the endpoint behind a real web server, run by the tests as their own processes
    awscli         # uploads static answers to an S3-compatible store, s3rver below
  )
  # The machine's own Node.js may come from elsewhere than Debian; Debian's only when none is.
  command -v npm >/dev/null || packages+=(nodejs npm)
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

# The tests' S3-compatible object store, pinned, in the build folder.
if [[ $what == test ]]; then
  root=$(cd "$(dirname "$0")/.." && pwd)
  source "$root/tools/common.sh"
  s3rver_version=3.7.1
  if [[ $(sed -n 's/^  "version": "\(.*\)",$/\1/p' "$build/node/node_modules/s3rver/package.json" \
    2>/dev/null) != "$s3rver_version" ]]; then
    npm install --prefix "$build/node" --no-audit --no-fund --no-save --loglevel=error \
      "s3rver@$s3rver_version"
  fi
fi
