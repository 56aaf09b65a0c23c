#!/usr/bin/env bash
# sign.sh NAME FILE: signs FILE in place for the release, NAME being the file's name in the
# release (the program, the uninstaller, the installer). Run by tools/release.sh and by makensis.
# With OSTREL_SIGN_COMMAND, which gets FILE's path as its last argument and must exit 0, run in
# the folder where the release command was started (OSTREL_RELEASE_CALLER_DIR), as if typed there;
# the signature it made is kept as NAME.p7s in OSTREL_SIGNATURES, so that the signed release can
# be rebuilt. A rebuild (OSTREL_RECORDED_SIGNATURES, a release's signatures) attaches the
# recorded NAME.p7s instead.
set -euo pipefail
name=$1 file=$(realpath "$2")
: "${OSTREL_SIGNATURES:?}"
if [[ -n ${OSTREL_RECORDED_SIGNATURES:-} ]]; then
  rm -f "$file.signed"
  # osslsigncode also checks the signature against the machine's authorities, and fails then for
  # an expired or private certificate; whether the file is the published one, the rebuild's
  # comparison tells.
  osslsigncode attach-signature -sigin "$OSTREL_RECORDED_SIGNATURES/$name.p7s" -in "$file" \
    -out "$file.signed" >/dev/null 2>&1 || [[ -s $file.signed ]]
  mv -f "$file.signed" "$file"
else
  (cd "$OSTREL_RELEASE_CALLER_DIR" && eval "$OSTREL_SIGN_COMMAND" '"$file"')
fi
osslsigncode extract-signature -in "$file" -out "$OSTREL_SIGNATURES/$name.p7s" >/dev/null
