#!/usr/bin/env bash
# Writes a signed update description as static files, for programs built with a path-style
# address (https://cdn.example.com/ostrel/update/{version}.json) served by any object store or
# web server without code:
#   OSTREL_UPDATE_PUBLIC_KEY=KEYS tools/static-feed.sh SIGNED_DESCRIPTION OUT_DIR [VERSION...]
# OUT_DIR/<version>.json holds exactly what the reference endpoint (server/update.php) answers
# that version, made by its own code, and OUT_DIR/SHA256SUMS their hashes. The versions are those
# given, or else every release tag of this clone (v1.2.0 and the like), each as the version that
# tag's CMakeLists.txt builds; each is named as the program asks for it (1.1 and 1.1.0.0 as
# 1.1.0). KEYS is the public keys' file the programs are built with: every answer is verified as
# a program of its version built with them does before anything is written.
# Exit code: 0 written; 1 a description the endpoint refuses (changed after signing, expired,
# anything it answers 503 for), one not signed, an answer that a program of its version would
# ignore (a signature no key verifies, made for other versions), or a version that is not plain,
# with nothing written; 2 a wrong call, no keys, a missing file or tool, or an OUT_DIR that exists
# in any form.
set -euo pipefail
fail() {
  echo "static-feed: ${*:2}" >&2
  exit "$1"
}
[[ $# -ge 2 ]] || fail 2 "usage: OSTREL_UPDATE_PUBLIC_KEY=KEYS $0 SIGNED_DESCRIPTION OUT_DIR [VERSION...]"
description=$1 out=${2%/}
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"
[[ -f $description && -r $description ]] || fail 2 "no description $description"
for tool in php sha256sum git openssl; do
  command -v "$tool" >/dev/null || fail 2 "$tool is missing: tools/setup.sh check installs it"
done
# Nothing is ever written into a folder already there, or through a link: the folder is new.
if [[ -z $out || -e $out || -L $out ]]; then
  fail 2 "$out is in use: give the folder a new name (see \"Static answers\" for the swap)"
fi
[[ -n ${OSTREL_UPDATE_PUBLIC_KEY:-} ]] ||
  fail 2 "OSTREL_UPDATE_PUBLIC_KEY must name the public keys the programs are built with"
keys=$(mktemp)
trap 'rm -f "$keys"' EXIT
why=$("$root/tools/read-public-keys.sh" "$OSTREL_UPDATE_PUBLIC_KEY" "$keys" 2>&1 >/dev/null) ||
  fail 2 "$why"

given=("$@")
if ((${#given[@]} == 0)); then
  # A tag's version is what its build puts in place of {version}: project()'s, not the tag's name.
  while IFS= read -r tag; do
    version=$(git -C "$root" show "$tag:CMakeLists.txt" 2>/dev/null |
      sed -n 's/^project(OstrelBrowser VERSION \([^ )]*\).*/\1/p' | head -n 1)
    [[ -n $version ]] || fail 1 "release tag $tag has no project() version in its CMakeLists.txt"
    given+=("$version")
  done < <(git -C "$root" tag --list 'v[0-9]*' | grep -E '^v[0-9]{1,9}(\.[0-9]{1,9}){0,3}$')
  ((${#given[@]})) || fail 2 "no release tags (v1.0.0 and the like) here: name the versions"
fi
versions=()
for version in "${given[@]}"; do
  # A version becomes a file name and a part of the address: plain dotted numbers alone.
  [[ $version =~ ^[0-9]{1,9}(\.[0-9]{1,9}){0,3}$ ]] ||
    fail 1 "\"$version\" is not a plain dotted version such as 1.2.0"
  version=$(canonical_version "$version")
  [[ " ${versions[*]} " == *" $version "* ]] || versions+=("$version")
done

# Made beside OUT_DIR, then renamed into place whole.
mkdir -p "$(dirname "$out")"
staging=$(dirname "$out")/.$(basename "$out").$$
mkdir "$staging"
trap 'rm -rf "$staging" "$keys"' EXIT
php "$root/tools/static-feed.php" "$description" "$keys" "$staging" "${versions[@]}" || exit 1
(cd "$staging" && sha256sum "${versions[@]/%/.json}" >SHA256SUMS)

# The soonest expiry of the answers written: the daily check names it too.
soonest=$(sed -n 's/^ *"expires": "\([^"]*\)".*/\1/p' "$staging"/*.json | sort | head -n 1)
if (($(date -u -d "$soonest" +%s) - $(date +%s) < 14 * 86400)); then
  echo "warning: answers expire on $soonest, within 14 days: sign the description again" \
    "(tools/sign-update.sh) and make a new folder" >&2
fi
mv -T "$staging" "$out"
trap 'rm -f "$keys"' EXIT
echo "Wrote $out: ${versions[*]/%/.json}, and SHA256SUMS."
