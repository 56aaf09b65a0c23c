#!/usr/bin/env bash
# Builds the release of the checked-out commit: the Release build for Windows (no tests), its ZIP
# and its installer, written into OUT_DIR with their SHA256SUMS, and BUILDINFO: the commit, the
# settings and the toolchain, all that a rebuild needs (tools/verify-release.sh), and for a signed
# release the signatures it made (signatures/); it prints the installer's SHA-256 and size for the
# signer of update answers (tools/sign-update.sh --installer). Two runs from one commit with the
# same settings and toolchain give the same bytes, wherever and whenever they run, whatever was
# built before.
# OUT_DIR must not exist or be empty; either all of the release lands there or none of it.
#
# Settings come from the environment, each falling back to the build's default when unset:
#   OSTREL_UPDATE_CHECK_URL        the update endpoint, with {version} where the program's version
#                                  goes: https://update.example.com//update.php?version={version},
#                                  or a static folder's file for each version (README: "Static
#                                  answers"): https://cdn.example.com/ostrel/update/{version}.json
#   OSTREL_HOME_PAGE_URL, OSTREL_DOWNLOAD_PAGE_URL, OSTREL_WEBVIEW2_BOOTSTRAPPER,
#   OSTREL_WEBVIEW2_DOWNLOAD_PAGE_URL   as the CMake settings of the same names;
#   OSTREL_SIGN_COMMAND            signs one file in place, given its path as the last argument:
#                                  the program, the uninstaller and the installer. Unset: unsigned.
#                                  tools/sign-pfx.sh is one, for a certificate in a PFX file.
#   OSTREL_RECORDED_SIGNATURES     the signatures/ of a signed release, attached in place of
#                                  signing: its rebuild by tools/verify-release.sh.
#   OSTREL_ALLOW_PLAIN_HTTP=1      builds an http update, download or home page address, with a
#                                  warning; without it, such an address is refused.
#   OSTREL_UPDATE_PUBLIC_KEY       the PEM file of the P-256 public keys the update answers are
#                                  signed with (tools/sign-update.sh), two of them (one a spare,
#                                  or it warns); required, unless
#   OSTREL_ALLOW_UNSIGNED_ANSWERS=1  builds a program that obeys unsigned answers, with a warning.
set -euo pipefail
# Every refusal exits 2, and all but one (a build that compiled in no key) come before anything
# is built.
refuse() {
  echo "$*" >&2
  exit 2
}
[[ $# -eq 1 ]] || refuse "usage: $0 OUT_DIR"
out=$1 caller=$PWD
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

if [[ -e $out && ! -d $out ]] || [[ -d $out && -n $(ls -A "$out") ]]; then
  refuse "$out is in use: give the release a new or empty folder"
fi
# Over plain http anyone on the network path (a public Wi-Fi, a router, a provider) can write the
# update document (end every copy at every start, send its users to a download of their choosing)
# or the page, which is the program's whole interface.
shopt -s nocasematch
for name in OSTREL_UPDATE_CHECK_URL OSTREL_DOWNLOAD_PAGE_URL OSTREL_HOME_PAGE_URL; do
  [[ ${!name:-} == http://* ]] || continue
  risk="forge the update answer, end every copy and choose what users download"
  [[ $name != OSTREL_HOME_PAGE_URL ]] || risk="rewrite the page, the program's whole interface"
  if [[ ${OSTREL_ALLOW_PLAIN_HTTP:-} == 1 ]]; then
    echo "warning: $name is plain http (OSTREL_ALLOW_PLAIN_HTTP=1): anyone on the network" \
      "path can $risk" >&2
  else
    refuse "$name is plain http: anyone on the network path could $risk. Give an https" \
      "address, or set OSTREL_ALLOW_PLAIN_HTTP=1 to ship plain http knowingly."
  fi
done
shopt -u nocasematch
# Without keys the programs obey whatever the update host answers: whoever controls that host
# (its provider, a leaked password, a hijacked name) could end every copy or choose the download.
if [[ -n ${OSTREL_UPDATE_PUBLIC_KEY:-} ]]; then
  [[ -f $OSTREL_UPDATE_PUBLIC_KEY ]] ||
    refuse "OSTREL_UPDATE_PUBLIC_KEY: no file $OSTREL_UPDATE_PUBLIC_KEY"
  OSTREL_UPDATE_PUBLIC_KEY=$(realpath "$OSTREL_UPDATE_PUBLIC_KEY")
  # Read as the build reads them, so that a file it would refuse is refused before anything.
  key_points=$("$root/tools/read-public-keys.sh" "$OSTREL_UPDATE_PUBLIC_KEY" 2>&1) ||
    refuse "OSTREL_UPDATE_PUBLIC_KEY: $key_points"
  if [[ $(wc -l <<<"$key_points") -lt 2 ]]; then
    echo "warning: OSTREL_UPDATE_PUBLIC_KEY holds one key and no spare: if that key is lost or" \
      "leaked, no answer these programs obey can be signed again (README: \"Signed answers\")" >&2
  fi
  # A signed answer is made for a range of versions: the endpoint must know who asks.
  [[ ${OSTREL_UPDATE_CHECK_URL:-"{version}"} == *"{version}"* ]] ||
    refuse "OSTREL_UPDATE_CHECK_URL has no {version}: signed answers are made for the versions" \
      "that ask, and the endpoint could not tell one version from another."
elif [[ ${OSTREL_ALLOW_UNSIGNED_ANSWERS:-} == 1 ]]; then
  echo "warning: no OSTREL_UPDATE_PUBLIC_KEY (OSTREL_ALLOW_UNSIGNED_ANSWERS=1): the programs" \
    "obey any answer the update host sends" >&2
else
  refuse "No OSTREL_UPDATE_PUBLIC_KEY: the programs would obey any answer the update host sends," \
    "so whoever controls that host could end every copy and choose what users download. Give" \
    "the public keys the answers are signed with (README: \"Signed answers\"), or set" \
    "OSTREL_ALLOW_UNSIGNED_ANSWERS=1 to ship unsigned answers knowingly."
fi

"$root/tools/setup.sh"

# The commit's time stands for every time a build would record. A release is the commit's alone:
# nobody could rebuild the bytes of a changed working tree.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  changes=$(git -C "$root" status --porcelain)
  if [[ -n $changes ]]; then
    refuse "The working tree differs from its commit, and nobody could rebuild the bytes" \
      "of these changes: commit them, or take them out of the tree (git stash --include-untracked" \
      "takes untracked files too; a folder of your own can go in .git/info/exclude):"$'\n'"$changes"
  fi
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
elif [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  refuse "Outside a git checkout, SOURCE_DATE_EPOCH must give the release commit's time"
fi

# The build's default address carries {version}; one without it gets the same answer for every
# version, so an offer would prompt even those who already run the version offered.
if [[ -n ${OSTREL_UPDATE_CHECK_URL:-} && $OSTREL_UPDATE_CHECK_URL != *"{version}"* ]]; then
  echo "warning: OSTREL_UPDATE_CHECK_URL has no {version}: the update endpoint cannot tell" \
    "one version of the program from another" >&2
fi

# A folder of the release's own, configured afresh: the settings below, and nothing left from an
# earlier configure or from this shell's compiler flags, shape the build.
dir=$build/release-command
unset CFLAGS CXXFLAGS LDFLAGS RCFLAGS
settings=()
for name in OSTREL_UPDATE_CHECK_URL OSTREL_HOME_PAGE_URL OSTREL_DOWNLOAD_PAGE_URL \
  OSTREL_WEBVIEW2_BOOTSTRAPPER OSTREL_WEBVIEW2_DOWNLOAD_PAGE_URL OSTREL_UPDATE_PUBLIC_KEY; do
  [[ -z ${!name:-} ]] || settings+=("-D$name=${!name}")
done
cmake --fresh -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" "${settings[@]}"
cmake --build "$dir"

packages=("$dir"/OstrelBrowser-*-win64.zip "$dir"/OstrelBrowser-*-win64.exe)
rm -f "${packages[@]}"
signing=()
export OSTREL_SIGNATURES=$dir/signatures OSTREL_RELEASE_CALLER_DIR=$caller
rm -rf "$OSTREL_SIGNATURES" "$dir/signed"
if [[ -n ${OSTREL_SIGN_COMMAND:-}${OSTREL_RECORDED_SIGNATURES:-} ]]; then
  # A signed copy of the program goes into both packages; the build's own file stays as it is.
  signed=$dir/signed/OstrelBrowser.exe
  mkdir -p "$dir/signed" "$OSTREL_SIGNATURES"
  cp "$dir/bin/OstrelBrowser.exe" "$signed"
  "$root/tools/sign.sh" OstrelBrowser.exe "$signed"
  signing=(-D "CPACK_OSTREL_SIGNED_PROGRAM=$signed" -D "CPACK_OSTREL_SIGN_SCRIPT=$root/tools/sign.sh")
fi
(cd "$dir" && cpack "${signing[@]}")
# The commit's time and fixed attributes for the ZIP's entries; CPack writes them in a fixed order.
strip-nondeterminism --type zip --timestamp "$SOURCE_DATE_EPOCH" "$dir"/OstrelBrowser-*-win64.zip

# Made beside OUT_DIR, then renamed into place whole.
mkdir -p "$(dirname "$out")"
staging=$(dirname "$out")/.$(basename "$out").$$
mkdir "$staging"
trap 'rm -rf "$staging"' EXIT
cp "$dir"/OstrelBrowser-*-win64.zip "$dir"/OstrelBrowser-*-win64.exe "$staging/"
(cd "$staging" && sha256sum OstrelBrowser-*-win64.zip OstrelBrowser-*-win64.exe >SHA256SUMS)
[[ ! -d $OSTREL_SIGNATURES ]] || cp -r "$OSTREL_SIGNATURES" "$staging/"
# The public keys as built: the programs obey answers signed with these alone.
keys=$dir/generated/update/update-public-keys.pem keys_hash=
if [[ -n ${OSTREL_UPDATE_PUBLIC_KEY:-} && ! -s $keys ]]; then
  refuse "OSTREL_UPDATE_PUBLIC_KEY was given, and the build compiled in no key: nothing is released"
fi
if [[ -f $keys ]]; then
  cp "$keys" "$staging/"
  keys_hash=$(sha256sum <"$keys" | cut -d' ' -f1)
fi
bootstrapper_hash=
if [[ -n ${OSTREL_WEBVIEW2_BOOTSTRAPPER:-} ]]; then
  # Microsoft replaces the bootstrapper over time: a rebuild of this installer needs this one.
  (cd "$(dirname "$OSTREL_WEBVIEW2_BOOTSTRAPPER")" &&
    sha256sum "$(basename "$OSTREL_WEBVIEW2_BOOTSTRAPPER")") >"$staging/WebView2-bootstrapper.sha256"
  bootstrapper_hash=$(cut -d' ' -f1 "$staging/WebView2-bootstrapper.sha256")
fi
# Every setting as the build took it, defaults included; no secret is among them.
setting() { sed -n "s/^$1:[A-Z]*=//p" "$dir/CMakeCache.txt"; }
{
  echo "# What tools/verify-release.sh needs to rebuild this release and compare it."
  echo "commit=$(git -C "$root" rev-parse HEAD 2>/dev/null || true)"
  echo "version=$(setting CMAKE_PROJECT_VERSION)"
  echo "SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"
  for name in OSTREL_UPDATE_CHECK_URL OSTREL_HOME_PAGE_URL OSTREL_DOWNLOAD_PAGE_URL \
    OSTREL_WEBVIEW2_DOWNLOAD_PAGE_URL; do
    echo "$name=$(setting "$name")"
  done
  echo "OSTREL_ALLOW_PLAIN_HTTP=${OSTREL_ALLOW_PLAIN_HTTP:-}"
  echo "OSTREL_ALLOW_UNSIGNED_ANSWERS=${OSTREL_ALLOW_UNSIGNED_ANSWERS:-}"
  echo "update-public-keys-sha256=$keys_hash"
  echo "webview2-bootstrapper-sha256=$bootstrapper_hash"
  echo "signed=$([[ -d $OSTREL_SIGNATURES ]] && echo yes || echo no)"
  toolchain_versions
} >"$staging/BUILDINFO"
rmdir "$out" 2>/dev/null || true
mv -T "$staging" "$out"
trap - EXIT
cat "$out/SHA256SUMS"
# What the update description's signer names, so that installed programs run this file alone.
installer=("$out"/OstrelBrowser-*-win64.exe)
echo "Installer: $(sha256sum <"${installer[0]}" | cut -d' ' -f1), $(stat -c %s "${installer[0]}")" \
  "bytes; sign the update description with --installer ${installer[0]}"
