#!/usr/bin/env bash
# Signs an update description (the endpoint's update.json) in place, so that programs built with
# the matching public keys (OSTREL_UPDATE_PUBLIC_KEY) obey its answers:
#   OSTREL_UPDATE_SIGNING_KEY=KEY tools/sign-update.sh [--days N] DESCRIPTION
# KEY is the P-256 private key's PEM file (openssl asks for its passphrase when it is encrypted);
# it never leaves this machine. The answers expire N days from now (90 unless given, 1 to 366):
# sign again before then. Run it in your clone, then copy the file to the update host. A
# description the endpoint would refuse, or a key that is not P-256 private, leaves the file as
# it was, with exit code 1; a wrong call exits 2.
set -euo pipefail
usage() {
  echo "usage: OSTREL_UPDATE_SIGNING_KEY=KEY $0 [--days N] DESCRIPTION (N from 1 to 366)" >&2
  exit 2
}
days=90
if [[ ${1:-} == --days ]]; then
  days=${2:-}
  shift 2 || usage
fi
[[ $# -eq 1 && $days =~ ^[0-9]{1,3}$ ]] && ((days >= 1 && days <= 366)) || usage
[[ -f $1 ]] || { echo "$0: no description $1" >&2; exit 2; }
key=${OSTREL_UPDATE_SIGNING_KEY:-}
if [[ ! -f $key || ! -r $key ]]; then
  echo "$0: OSTREL_UPDATE_SIGNING_KEY must name the private key's PEM file" >&2
  exit 1
fi
root=$(cd "$(dirname "$0")/.." && pwd)
# openssl reads the key once (asking for a passphrase when it has one) and hands it on through a
# pipe: it is never written anywhere.
openssl pkey -in "$key" | php "$root/tools/sign-update.php" "$1" "$days"
