#!/usr/bin/env bash
# A sign command for tools/release.sh, OSTREL_SIGN_COMMAND="tools/sign-pfx.sh": signs FILE in
# place with osslsigncode (SHA-256) and a certificate in a PFX file.
#   OSTREL_SIGN_PFX                 the PFX (PKCS#12) file: the certificate and its private key
#   OSTREL_SIGN_PFX_PASSWORD_FILE   a file holding its password: a password given on a command
#                                   line can be read by every user of the machine
#   OSTREL_SIGN_TIMESTAMP_URL       an RFC 3161 timestamp server, for every real release: without
#                                   a timestamp, a signature stops being valid when the
#                                   certificate expires
# osslsigncode writes a new file: FILE is replaced only once it has been signed whole.
set -euo pipefail
if [[ $# -ne 1 ]]; then
  echo "usage: $0 FILE" >&2
  exit 2
fi
declare -A needed=([OSTREL_SIGN_PFX]="the PFX file to sign with"
  [OSTREL_SIGN_PFX_PASSWORD_FILE]="a file holding the PFX file's password")
for setting in "${!needed[@]}"; do
  if [[ ! -f ${!setting:-} ]]; then
    echo "$0: $setting must name ${needed[$setting]}" >&2
    exit 2
  fi
done
timestamp=()
[[ -z ${OSTREL_SIGN_TIMESTAMP_URL:-} ]] || timestamp=(-ts "$OSTREL_SIGN_TIMESTAMP_URL")

# Beside FILE, so that the signed file is renamed into place.
work=$(mktemp -d "$(dirname "$1")/.sign.XXXXXX")
trap 'rm -rf "$work"' EXIT
osslsigncode sign -pkcs12 "$OSTREL_SIGN_PFX" -readpass "$OSTREL_SIGN_PFX_PASSWORD_FILE" \
  -h sha256 -n "Ostrel Browser" "${timestamp[@]}" -in "$1" -out "$work/signed" >/dev/null
chmod --reference="$1" "$work/signed"
mv -f "$work/signed" "$1"
