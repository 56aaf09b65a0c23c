#!/usr/bin/env bash
# Reads the publisher's public keys for update answers, the one reading that the build, the
# release command and the update check share:
#   read-public-keys.sh PEM_FILE [PEM_OUT]
# prints the point of each P-256 public key (X then Y, 128 hex digits) on a line of its own and,
# with PEM_OUT, writes the keys there as read (uncompressed, one PEM block each). Exit code 1,
# with the reason, for a file that holds anything else: no key, a private key of any kind
# (encrypted ones included; named before anything of it is written or handed on), another label,
# a key that is not P-256, or one key twice.
set -euo pipefail
[[ $# -eq 1 || $# -eq 2 ]] || { echo "usage: $0 PEM_FILE [PEM_OUT]" >&2; exit 2; }
file=$1
refuse() {
  echo "$file $*" >&2
  exit 1
}
[[ -f $file && -r $file ]] || refuse "cannot be read"

# Every label first: a private key ends the reading before any block goes to openssl.
labels=$(sed -n 's/^-----BEGIN \(.*\)-----[[:space:]]*$/\1/p' "$file")
[[ -n $labels ]] || refuse "holds no PEM block, so no key"
while IFS= read -r label; do
  if [[ $label == *PRIVATE* ]]; then
    refuse "holds a private key ($label), which must never reach a build or the update check:" \
      "give the public keys alone (openssl pkey -pubout). Nothing of it was read or copied."
  fi
  [[ $label == "PUBLIC KEY" ]] || refuse "holds a $label, not a public key"
done <<<"$labels"

# A P-256 key's SubjectPublicKeyInfo with its point uncompressed: this prefix, then X and Y.
readonly p256_prefix=3059301306072a8648ce3d020106082a8648ce3d03010703420004
points=() blocks=()
block=
while IFS= read -r line; do
  [[ -z $block && $line != "-----BEGIN PUBLIC KEY-----"* ]] && continue
  block+=$line$'\n'
  [[ $line == "-----END PUBLIC KEY-----"* ]] || continue
  # A compressed point is the same key: openssl writes it out uncompressed, as CNG imports it.
  der=$(openssl ec -pubin -conv_form uncompressed -outform DER 2>/dev/null <<<"$block" |
    od -An -tx1 -v | tr -d ' \n') || der=
  if [[ $der != "$p256_prefix"* || ${#der} -ne $((${#p256_prefix} + 128)) ]]; then
    what=$(openssl pkey -pubin -noout -text 2>&1 <<<"$block" |
      grep -E -o '(Public-Key|ASN1 OID|NIST CURVE|Modulus|ED25519|ED448|Could not read).*' |
      tr '\n' ' ') || true
    refuse "holds a key that is not a P-256 (prime256v1) public key; openssl reads it as:" \
      "${what:-nothing it knows}"
  fi
  point=${der#"$p256_prefix"}
  for seen in "${points[@]}"; do
    [[ $seen != "$point" ]] || refuse "holds the same key twice: a spare must be a key of its own"
  done
  points+=("$point")
  blocks+=("$(openssl ec -pubin -conv_form uncompressed 2>/dev/null <<<"$block")")
  block=
done <"$file"
((${#points[@]})) || refuse "holds no complete public key"
printf '%s\n' "${points[@]}"
[[ $# -lt 2 ]] || printf '%s\n' "${blocks[@]}" >"$2"
