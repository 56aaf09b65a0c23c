#!/usr/bin/env bash
# Writes a signed update description as static files, for programs built with a path-style
# address (https://cdn.example.com/ostrel/update/{version}.json) served by any object store or
# web server without code:
#   tools/static-feed.sh SIGNED_DESCRIPTION OUT_DIR [VERSION...]
# OUT_DIR/<version>.json holds exactly what the reference endpoint (server/update.php) answers
# that version, made by its own code, and OUT_DIR/SHA256SUMS their hashes. The versions are those
# given, or else every release tag of this clone (v1.2.0 and the like), each as the version that
# tag's CMakeLists.txt builds. No key is needed: the description is signed already.
# Exit code: 0 written; 1 a description the endpoint refuses (changed after signing, expired,
# anything it answers 503 for), one not signed, or a version that is not plain, with nothing
# written; 2 a wrong call, a missing file or tool, or an OUT_DIR that exists and is not empty.
set -euo pipefail
fail() {
  echo "static-feed: ${*:2}" >&2
  exit "$1"
}
[[ $# -ge 2 ]] || fail 2 "usage: $0 SIGNED_DESCRIPTION OUT_DIR [VERSION...]"
description=$1 out=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
[[ -f $description && -r $description ]] || fail 2 "no description $description"
for tool in php sha256sum git; do
  command -v "$tool" >/dev/null || fail 2 "$tool is missing: tools/setup.sh check installs it"
done
if [[ -e $out && ! -d $out ]] || [[ -d $out && -n $(ls -A "$out") ]]; then
  fail 2 "$out is in use: give the folder a new or empty one"
fi

versions=("$@")
if ((${#versions[@]} == 0)); then
  # A tag's version is what its build puts in place of {version}: project()'s, not the tag's name.
  while IFS= read -r tag; do
    version=$(git -C "$root" show "$tag:CMakeLists.txt" 2>/dev/null |
      sed -n 's/^project(OstrelBrowser VERSION \([^ )]*\).*/\1/p' | head -n 1)
    [[ -n $version ]] || fail 1 "release tag $tag has no project() version in its CMakeLists.txt"
    [[ " ${versions[*]} " == *" $version "* ]] || versions+=("$version")
  done < <(git -C "$root" tag --list 'v[0-9]*' | grep -E '^v[0-9]{1,9}(\.[0-9]{1,9}){0,3}$')
  ((${#versions[@]})) || fail 2 "no release tags (v1.0.0 and the like) here: name the versions"
fi
for version in "${versions[@]}"; do
  # A version becomes a file name and a part of the address: plain dotted numbers alone.
  [[ $version =~ ^[0-9]{1,9}(\.[0-9]{1,9}){0,3}$ ]] ||
    fail 1 "\"$version\" is not a plain dotted version such as 1.2.0"
done

# The endpoint's own reading: what it refuses here, it would answer 503 for.
if ! refusal=$(php "$root/server/update.php" "${versions[0]}" "$description" 2>&1 >/dev/null); then
  fail 1 "the endpoint refuses $description: ${refusal#update.php: }"
fi
grep -q '"signedAnswers"' "$description" ||
  fail 1 "$description is not signed: static answers are for programs built with keys;" \
    "sign it with tools/sign-update.sh first"

# Made beside OUT_DIR, then renamed into place whole.
mkdir -p "$(dirname "$out")"
staging=$(dirname "$out")/.$(basename "$out").$$
mkdir "$staging"
trap 'rm -rf "$staging"' EXIT
for version in "${versions[@]}"; do
  php "$root/server/update.php" "$version" "$description" >"$staging/$version.json"
done
(cd "$staging" && sha256sum "${versions[@]/%/.json}" >SHA256SUMS)

# The soonest expiry of the answers written: the daily check names it too.
soonest=$(sed -n 's/^ *"expires": "\([^"]*\)".*/\1/p' "$staging"/*.json | sort | head -n 1)
if [[ -n $soonest ]] && (($(date -u -d "$soonest" +%s) - $(date +%s) < 14 * 86400)); then
  echo "warning: answers expire on $soonest, within 14 days: sign the description again" \
    "(tools/sign-update.sh) and make a new folder" >&2
fi
rmdir "$out" 2>/dev/null || true
mv -T "$staging" "$out"
trap - EXIT
echo "Wrote $out: ${versions[*]/%/.json}, and SHA256SUMS."
