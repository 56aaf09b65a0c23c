#!/usr/bin/env bash
# Signs an update description (the endpoint's update.json) in place, so that programs built with
# the matching public keys (OSTREL_UPDATE_PUBLIC_KEY) obey its answers:
#   OSTREL_UPDATE_SIGNING_KEY=KEY tools/sign-update.sh [--days N] [--mandatory-days M]
#     [--installer FILE] DESCRIPTION
# KEY is the P-256 private key's PEM file (openssl asks for its passphrase when it is encrypted);
# it never leaves this machine. The mandatory answer expires M days from now (30 unless given, 1
# to 90), the optional and no-update answers N days from now (90 unless given, 1 to 366): sign
# again before then. With --installer, the offers name FILE's SHA-256 and size, and an installed
# program then fetches downloadUrl, which must be FILE's address, and runs it only when it is
# FILE, byte for byte. Run it in your clone, then copy the file to the update host. A description
# the endpoint would refuse, a plain-http download address (unless OSTREL_ALLOW_PLAIN_HTTP=1), or
# a key that is not P-256 private, leaves the file as it was, with exit code 1; a wrong call
# exits 2, also leaving the file as it was.
set -euo pipefail
usage() {
  echo "usage: OSTREL_UPDATE_SIGNING_KEY=KEY $0 [--days N] [--mandatory-days M]" \
    "[--installer FILE] DESCRIPTION (N from 1 to 366, M from 1 to 90)" >&2
  exit 2
}
# A number of days, read as decimal whatever its leading zeros, within 1 and `most`.
days_from() {
  local text=$1 most=$2
  [[ $text =~ ^[0-9]{1,3}$ ]] && ((10#$text >= 1 && 10#$text <= most)) || usage
  echo $((10#$text))
}
days=90 mandatory_days=30 installer=()
while [[ $# -gt 1 ]]; do
  case $1 in
    --days) days=$(days_from "${2:-}" 366) ;;
    --mandatory-days) mandatory_days=$(days_from "${2:-}" 90) ;;
    --installer)
      [[ -f ${2:-} ]] || { echo "$0: no installer ${2:-}" >&2; exit 2; }
      installer=("$(sha256sum <"$2" | cut -d' ' -f1)" "$(stat -c %s "$2")")
      ;;
    *) usage ;;
  esac
  shift 2
done
[[ $# -eq 1 && $1 != --* ]] || usage
[[ -f $1 ]] || { echo "$0: no description $1" >&2; exit 2; }
key=${OSTREL_UPDATE_SIGNING_KEY:-}
if [[ ! -f $key || ! -r $key ]]; then
  echo "$0: OSTREL_UPDATE_SIGNING_KEY must name the private key's PEM file" >&2
  exit 1
fi
root=$(cd "$(dirname "$0")/.." && pwd)
# openssl reads the key once (asking for a passphrase when it has one) and hands it on through a
# pipe: it is never written anywhere.
openssl pkey -in "$key" |
  php "$root/tools/sign-update.php" "$1" "$days" "$mandatory_days" "${installer[@]}"
