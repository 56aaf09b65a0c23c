#!/usr/bin/env bash
# Checks a published release against the source: rebuilds the commit that its BUILDINFO names,
# with the settings recorded there, and compares the packages and SHA256SUMS byte for byte. A
# signed release is rebuilt with its recorded signatures (signatures/) attached to the rebuild's
# own files, so that every published byte is accounted for: the source's, or a signature's.
#
#   tools/verify-release.sh RELEASE_DIR
#   OSTREL_WEBVIEW2_BOOTSTRAPPER   for a release that carried Microsoft's bootstrapper: that very
#                                  file, checked against the hash the release recorded
#
# The caller's working tree stays as it is: the rebuild is made in a clone of its own,
# build/verify-release/COMMIT (ignored), kept for the next check of that commit. The commit must
# be in this repository (git fetch --tags). A toolchain that differs from the release's is named
# first: the same source gives the same bytes only with the same toolchain.
# Exit code: 0 every file matches; 1 one differs, and each is named; 2 no rebuild could be made.
set -euo pipefail
if [[ $# -ne 1 || ! -d $1 ]]; then
  echo "usage: $0 RELEASE_DIR" >&2
  exit 2
fi
release=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"
fail() {
  echo "$*" >&2
  exit 2
}

[[ -f $release/BUILDINFO ]] || fail "$release has no BUILDINFO: it was not made by tools/release.sh"
declare -A recorded
while IFS= read -r line; do
  [[ $line == \#* || $line != *=* ]] || recorded[${line%%=*}]=${line#*=}
done <"$release/BUILDINFO"
# Said first, whatever the comparison finds: the bytes can match and still be a release whose
# programs obey whatever the update host answers.
if [[ ${recorded[OSTREL_ALLOW_UNSIGNED_ANSWERS]:-} == 1 || -z ${recorded[update-public-keys-sha256]:-} ]]; then
  echo "Note: this release was built without the answers' public keys (BUILDINFO:" \
    "OSTREL_ALLOW_UNSIGNED_ANSWERS=${recorded[OSTREL_ALLOW_UNSIGNED_ANSWERS]:-}," \
    "update-public-keys-sha256 empty): its programs obey unsigned answers, so whoever controls" \
    "the update host can end every copy and choose what users download."
fi
commit=${recorded[commit]:-}
[[ $commit =~ ^[0-9a-f]{40}$ ]] || fail "BUILDINFO names no commit: the release was not made in a git checkout"
git -C "$root" cat-file -e "$commit^{commit}" 2>/dev/null ||
  fail "Commit $commit is not in this repository: fetch it (git fetch --tags), then run again."

"$root/tools/setup.sh" || fail "What the rebuild needs could not be installed (see above)."
differences=()
while IFS= read -r line; do
  name=${line%%=*}
  [[ ${recorded[$name]:-none} == "${line#*=}" ]] ||
    differences+=("  ${name#toolchain.}: ${line#*=} here, ${recorded[$name]:-none} in the release")
done < <(toolchain_versions)
if ((${#differences[@]})); then
  echo "The toolchain here differs from the release's, so the bytes may differ for that reason"
  echo "alone, and not because a file was changed:"
  printf '%s\n' "${differences[@]}"
fi

# The rebuild takes nothing from this shell's settings: only what the release recorded.
rebuild=()
for name in $(compgen -e); do
  [[ $name != OSTREL_* ]] || rebuild+=(-u "$name")
done
for name in SOURCE_DATE_EPOCH OSTREL_UPDATE_CHECK_URL OSTREL_HOME_PAGE_URL \
  OSTREL_DOWNLOAD_PAGE_URL OSTREL_WEBVIEW2_DOWNLOAD_PAGE_URL OSTREL_ALLOW_PLAIN_HTTP \
  OSTREL_ALLOW_UNSIGNED_ANSWERS; do
  [[ -z ${recorded[$name]:-} ]] || rebuild+=("$name=${recorded[$name]}")
done
bootstrapper_hash=${recorded[webview2-bootstrapper-sha256]:-}
if [[ -n $bootstrapper_hash ]]; then
  bootstrapper=${OSTREL_WEBVIEW2_BOOTSTRAPPER:-}
  [[ -f $bootstrapper ]] || fail "This release carries Microsoft's WebView2 bootstrapper: give" \
    "that very file in OSTREL_WEBVIEW2_BOOTSTRAPPER (SHA-256 $bootstrapper_hash)."
  [[ $(sha256sum <"$bootstrapper") == "$bootstrapper_hash "* ]] ||
    fail "$bootstrapper is not the bootstrapper this release carried (SHA-256 $bootstrapper_hash)."
  rebuild+=("OSTREL_WEBVIEW2_BOOTSTRAPPER=$(realpath "$bootstrapper")")
fi
# Built with the release's own copy of the public keys, which must be the one it recorded.
keys_hash=${recorded[update-public-keys-sha256]:-}
if [[ -n $keys_hash ]]; then
  [[ $(sha256sum 2>/dev/null <"$release/update-public-keys.pem") == "$keys_hash "* ]] ||
    fail "update-public-keys.pem, beside BUILDINFO, is missing or not the one the release was" \
      "built with (SHA-256 $keys_hash)."
  rebuild+=("OSTREL_UPDATE_PUBLIC_KEY=$release/update-public-keys.pem")
fi
if [[ ${recorded[signed]:-} == yes ]]; then
  for name in OstrelBrowser.exe Uninstall.exe "OstrelBrowser-${recorded[version]:-}-win64.exe"; do
    [[ -f $release/signatures/$name.p7s ]] ||
      fail "This release is signed, and signatures/$name.p7s, beside BUILDINFO, is missing."
  done
  rebuild+=("OSTREL_RECORDED_SIGNATURES=$release/signatures")
fi

source=$build/verify-release/$commit
if [[ ! -d $source/.git ]]; then
  { rm -rf "$source" && git clone --quiet --shared --no-checkout "$root" "$source"; } ||
    fail "Cannot make $source."
fi
git -C "$source" checkout --quiet --detach "$commit" || fail "Cannot check out $commit in $source."
rebuilt=$source/build/rebuilt log=$source/build/rebuild.log
rm -rf "$rebuilt" && mkdir -p "$source/build" || fail "Cannot write $source/build."
echo "Rebuilding $commit (its output: $log)"
env "${rebuild[@]}" "$source/tools/release.sh" "$rebuilt" >"$log" 2>&1 ||
  fail "The rebuild failed; $log says why."

status=0
echo "Compared with a rebuild of $commit:"
for file in "$rebuilt"/OstrelBrowser-* "$rebuilt"/SHA256SUMS "$rebuilt"/update-public-keys.pem; do
  [[ -e $file || $file != */update-public-keys.pem ]] || continue  # a release without keys
  name=${file##*/}
  if [[ ! -f $release/$name ]]; then
    echo "  missing  $name"
    status=1
  elif cmp -s "$file" "$release/$name"; then
    echo "  same     $name"
  else
    echo "  DIFFERS  $name"
    status=1
  fi
done
for file in "$release"/*; do
  name=${file##*/}
  case $name in
    BUILDINFO | signatures | WebView2-bootstrapper.sha256 | update-public-keys.pem) ;;
    *) [[ -e $rebuilt/$name ]] || { echo "  not made by the source  $name"; status=1; } ;;
  esac
done
exit "$status"
