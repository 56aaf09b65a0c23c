#!/usr/bin/env bash
# Builds a release from the checkout: the Release build for Windows (no tests), its ZIP and its
# installer, written into OUT_DIR with their SHA256SUMS. Two runs from one commit give the same
# bytes, wherever and whenever they run.
#
# Settings come from the environment, each falling back to the build's default when unset:
#   OSTREL_UPDATE_CHECK_URL        the update endpoint, with {version} where the program's version
#                                  goes: http://update.example.com//update.php?version={version}
#   OSTREL_HOME_PAGE_URL, OSTREL_DOWNLOAD_PAGE_URL,
#   OSTREL_WEBVIEW2_BOOTSTRAPPER   as the CMake settings of the same names;
#   OSTREL_SIGN_COMMAND            signs one file in place, given its path as the last argument:
#                                  the program, the uninstaller and the installer. Unset: unsigned.
set -euo pipefail
if [[ $# -ne 1 ]]; then
  echo "usage: $0 OUT_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"
"$root/tools/setup.sh"

# The commit's time stands for every time a build would record (given, outside a git checkout).
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
dir=$build/release

settings=()
for name in OSTREL_UPDATE_CHECK_URL OSTREL_HOME_PAGE_URL OSTREL_DOWNLOAD_PAGE_URL \
  OSTREL_WEBVIEW2_BOOTSTRAPPER; do
  if [[ -n ${!name:-} ]]; then settings+=("-D$name=${!name}"); else settings+=("-U$name"); fi
done
# The build's default address carries {version}; one without it gets the same answer for every
# version, so an offer would prompt even those who already run the version offered.
if [[ -n ${OSTREL_UPDATE_CHECK_URL:-} && $OSTREL_UPDATE_CHECK_URL != *"{version}"* ]]; then
  echo "warning: OSTREL_UPDATE_CHECK_URL has no {version}: the update endpoint cannot tell" \
    "one version of the program from another" >&2
fi
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" "${settings[@]}"
cmake --build "$dir"

packages=("$dir"/OstrelBrowser-*-win64.zip "$dir"/OstrelBrowser-*-win64.exe)
rm -f "${packages[@]}"
signing=()
if [[ -n ${OSTREL_SIGN_COMMAND:-} ]]; then
  # A signed copy of the program goes into both packages; the build's own file stays as it is.
  signed=$dir/signed/OstrelBrowser.exe
  mkdir -p "$dir/signed"
  cp "$dir/bin/OstrelBrowser.exe" "$signed"
  "$root/tools/sign.sh" "$signed"
  signing=(-D "CPACK_OSTREL_SIGNED_PROGRAM=$signed" -D "CPACK_OSTREL_SIGN_SCRIPT=$root/tools/sign.sh")
fi
(cd "$dir" && cpack "${signing[@]}")
# The commit's time and fixed attributes for the ZIP's entries; CPack writes them in a fixed order.
strip-nondeterminism --type zip --timestamp "$SOURCE_DATE_EPOCH" "$dir"/OstrelBrowser-*-win64.zip

# OUT_DIR gets the packages only once all of them are made.
mkdir -p "$1"
cp "$dir"/OstrelBrowser-*-win64.zip "$dir"/OstrelBrowser-*-win64.exe "$1/"
(cd "$1" && sha256sum OstrelBrowser-*-win64.zip OstrelBrowser-*-win64.exe >SHA256SUMS)
cat "$1/SHA256SUMS"
