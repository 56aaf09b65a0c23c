#!/usr/bin/env bash
# Checks an update document before it goes out:
#   check_update.sh URL        fetches URL as the program does (one GET, user agent "Ostrel
#                              Browser", redirects followed, whatever the status);
#   check_update.sh FILE|-     reads a file, or standard input;
#   check_update.sh --description FILE VERSION...
#                              runs the reference endpoint (server/update.php) on the description
#                              FILE for each version given: a new description, before it is live;
#   check_update.sh --feed DIR checks a folder of static answers (tools/static-feed.sh): each
#                              VERSION.json as that version reads it, its SHA256SUMS, and no
#                              file beside them that SHA256SUMS does not list;
#   check_update.sh [--feed DIR] 'URL/{version}.json' VERSION...
#                              fetches each version's address, one after the other; with --feed,
#                              names each version whose served bytes are not the folder's.
# Prints what the program reads, the prompt it shows and what it opens, and names every value that
# the program reads otherwise than JSON means it, and a download over plain http. An offer that
# names its installer (tools/sign-update.sh --installer) has the installer fetched from its url,
# once for all versions: one of another size or SHA-256, or none, is named. For a URL it
# names a status other than 200, a Content-Type or Cache-Control other than the endpoint's, and a
# cache in between that answered with another version's document, warns when the URL is plain
# http, and refuses a redirect from https to plain http. Each version is asked for as the program
# asks (1.1 and 1.1.0.0 as 1.1.0).
# OSTREL_ALLOW_PLAIN_HTTP=1 makes a plain-http download a warning. With OSTREL_UPDATE_PUBLIC_KEY
# (the PEM file of the public keys the programs are built with) it verifies each answer as the
# program of the version asking does: signed with one of the keys, made for that version, not
# expired, and not expiring within 14 days (run it daily, from cron, to hear of that in time).
# Run it in your clone, never on the update host: it builds the check first.
# Exit code: 0 read as meant, 1 not (or a cache answered for another version, or the signature or
# terms fail, or the installer is not the one named), 2 nothing could be read (no such file, no
# answer).
set -euo pipefail
usage() {
  echo "usage: $0 URL|FILE|-  or  $0 --description FILE VERSION...  or  $0 --feed DIR" \
    "[URL_WITH_{version} VERSION...]  or  $0 URL_WITH_{version} VERSION..."
  exit "$1"
}
[[ ${1:-} == --help ]] && usage 0
feed=
if [[ ${1:-} == --feed ]]; then
  [[ $# -ge 2 && ($# -eq 2 || $# -ge 4) ]] || usage 2 >&2
  feed=$2
  shift 2
  [[ -d $feed ]] || { echo "$0: no folder $feed" >&2; exit 2; }
  [[ $# -eq 0 || $1 == *"{version}"* ]] || usage 2 >&2
fi
if [[ -z $feed || $# -gt 0 ]]; then
  [[ $# -ge 1 && ($1 == --description && $# -ge 3 || $1 == *"{version}"* && $# -ge 2 ||
    $1 != --description && $1 != *"{version}"* && $# -eq 1) ]] || usage 2 >&2
fi
if [[ ${1:-} == --description && ! -f $2 ]]; then
  echo "$0: no description $2" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"
"$root/tools/setup.sh" check >&2

# The fallback page it names is the one a release built with these settings opens.
download_page=-UOSTREL_DOWNLOAD_PAGE_URL
[[ -z ${OSTREL_DOWNLOAD_PAGE_URL:-} ]] || download_page=-DOSTREL_DOWNLOAD_PAGE_URL=$OSTREL_DOWNLOAD_PAGE_URL
configure_native "$build/check" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$download_page" >/dev/null
cmake --build "$build/check" --target check_update >/dev/null
check=$build/check/check_update

document=$(mktemp) fetch=$(mktemp) view=$(mktemp) installer=$(mktemp)
trap 'rm -f "$document" "$fetch" "$view" "$installer"' EXIT
status=0
worse() { ((status = $1 > status ? $1 : status)) || true; }

# What the check of each installer found: its exit code, then what it said, by address and name.
declare -A installers=()

# The installer an offer names, fetched as the program fetches it, up to one byte past its size:
# programs that take the update run it only when it is that file, byte for byte, and otherwise
# tell their users that nothing was installed.
check_installer() {
  local named url size digest redirects=() fetched got got_digest
  named=$(sed -n 's/^  installer    \([0-9]*\) bytes, SHA-256 \([0-9a-f]*\)$/\1 \2/p' "$view")
  [[ -n $named ]] || return 0
  url=$(sed -n 's/^  url          "\(.*\)"$/\1/p' "$view")
  read -r size digest <<<"$named"
  if [[ -z ${installers["$url $named"]:-} ]]; then
    [[ ${url,,} != https://* ]] || redirects=(--proto-redir =https)
    set +o pipefail
    curl --silent --show-error --fail --location "${redirects[@]}" --max-time 600 \
      --user-agent "Ostrel Browser" "$url" 2>"$fetch" | head --bytes=$((size + 1)) >"$installer"
    fetched=${PIPESTATUS[0]}
    set -o pipefail
    got=$(stat -c %s "$installer")
    got_digest=$(sha256sum <"$installer" | cut -d' ' -f1)
    if [[ $fetched -ne 0 && $fetched -ne 23 ]]; then
      installers["$url $named"]="1 The installer at $url could not be fetched ($(head -n1 "$fetch")):
programs that take the update install nothing. Upload the installer you signed to that address."
    elif [[ $got != "$size" || $got_digest != "$digest" ]]; then
      installers["$url $named"]="1 The installer at $url is not the one signed: it has $got bytes,
SHA-256 $got_digest, where the answer names $size bytes, SHA-256 $digest. Programs that take the
update refuse it and install nothing. Serve the installer you signed there, or sign the
description again with --installer naming the file that downloadUrl serves."
    else
      installers["$url $named"]="0 The installer at $url is the one named ($size bytes)."
    fi
  fi
  echo "${installers["$url $named"]#* }"
  worse "${installers["$url $named"]%% *}"
}

# Checks a document (FILE [VERSION]), and the installer it names.
check_document() {
  local checked=0
  "$check" "$@" >"$view" || checked=$?
  cat "$view"
  worse $checked
  check_installer
}

# The version the address asks as, and what the reference endpoint names in Ostrel-Answer-For
# for it: the version when it is a plain one (update.php's PLAIN_VERSION), none otherwise.
version_asked() {
  local query=${1#*\?} pair
  [[ $query != "$1" ]] || return 0
  IFS='&' read -ra pairs <<<"${query%%#*}"
  for pair in "${pairs[@]}"; do
    [[ $pair == version=* ]] || continue
    [[ ${pair#version=} =~ ^[0-9]{1,9}(\.[0-9]{1,9}){0,3}$ ]] && echo "${pair#version=}" || echo none
    return 0
  done
}

# Checks what the address answers, as the version given when it names none in its query.
check_address() {
  local url=$1 scheme=${1%%://*} redirects=()
  scheme=${scheme,,}
  # An https address is never left for plain http, where anyone on the way writes the answer.
  [[ $scheme != https ]] || redirects=(--proto-redir =https)
  # An endless body stops far past the program's limit, which the check itself applies.
  set +o pipefail
  curl --silent --show-error --location "${redirects[@]}" --max-time 60 \
    --user-agent "Ostrel Browser" --write-out \
    '%{stderr}fetched-from %{url_effective}\nstatus %{http_code}\nanswer-for %header{ostrel-answer-for}\ncontent-type %header{content-type}\ncache-control %header{cache-control}\n' \
    "$url" 2>"$fetch" | head --bytes=16M >"$document"
  local fetched=${PIPESTATUS[0]}
  set -o pipefail
  local from answered answer_for asked
  from=$(sed -n 's/^fetched-from //p' "$fetch")
  answered=$(sed -n 's/^status //p' "$fetch")
  answer_for=$(sed -n 's/^answer-for //p' "$fetch" | tr -d '\r')
  local header expected served
  # 1: curl refused the redirect's protocol.
  if [[ $fetched -eq 1 && $scheme == https && ${from,,} == http://* ]]; then
    echo "Refused: $url redirects to plain http, $from, where anyone on the network path can"
    echo "write the answer. Serve the endpoint over https all the way."
    worse 1
    return
  fi
  # 23: head stopped reading.
  if [[ $fetched -ne 0 && $fetched -ne 23 ]]; then
    grep -v -e '^fetched-from ' -e '^status ' -e '^answer-for ' -e '^content-type ' \
      -e '^cache-control ' "$fetch" >&2 || true
    echo "no answer from $url" >&2
    worse 2
    return
  fi
  echo "Fetched from $from"
  if [[ $scheme == http ]]; then
    echo "Warning: $url is plain http: anyone on the network path can forge the answer of a"
    echo "program built with this address (end every copy, choose the download). Build with https."
  fi
  if [[ $answered != 200 ]]; then
    echo "The endpoint answered $answered, not 200; the program reads the body all the same."
    if [[ $answered == 503 ]]; then
      echo "The reference endpoint answers 503 when it refuses its description (update.json), and"
      echo "logs why: in the web server's error log (php-fpm passes update.php's messages there),"
      echo "or on the console of php -S."
    fi
    worse 1
  else
    # Served as the endpoint serves it: a CDN keeps an answer without Cache-Control as long as it
    # likes, and a type other than JSON may be rewritten on the way.
    for header in "content-type:application/json; charset=utf-8" \
      "cache-control:public, max-age=300"; do
      expected=${header#*:}
      served=$(sed -n "s/^${header%%:*} //p" "$fetch" | tr -d '\r')
      if [[ ${served,,} != "$expected" ]]; then
        echo "${header%%:*} is \"$served\", not \"$expected\" as the endpoint sends it: set it on"
        echo "the stored files (see \"Static answers\") or in the web server."
        worse 1
      fi
    done
  fi
  asked=${2:-$(version_asked "$url")}
  local version=()  # the signature's terms are checked for the version asking, when it is plain
  [[ -z $asked || $asked == none ]] || version=("$asked")
  check_document "$document" "${version[@]}"
  if [[ -n $asked && -n $answer_for && $answer_for != "$asked" ]]; then
    echo "This answer was made for $answer_for (Ostrel-Answer-For), not for $asked: a cache or CDN"
    echo "between here and the endpoint ignores the query string and hands one version's answer to"
    echo "every version. Set it to key on the whole address, query string included."
    worse 1
  fi
}

# Whether the file's bytes are those served for `version`: a CDN may still hand out an older copy.
same_as_feed() {
  local version=$1
  if [[ ! -f $feed/$version.json ]]; then
    echo "$feed has no $version.json: make the folder anew, naming $version to tools/static-feed.sh."
    worse 1
  elif ! cmp -s "$document" "$feed/$version.json"; then
    echo "Served for $version is not $feed/$version.json: a cache or CDN still holds an older copy"
    echo "(it goes after its max-age, or purge the folder's addresses), or the upload missed it."
    worse 1
  fi
}

if [[ -n $feed && $# -eq 0 ]]; then
  shopt -s nullglob
  files=("$feed"/*.json)
  ((${#files[@]})) || { echo "$feed holds no VERSION.json" >&2; exit 2; }
  for file in "${files[@]}"; do
    version=$(basename "$file" .json)
    echo "== $version.json, as version $version:"
    check_document "$file" "$version"
  done
  if [[ ! -f $feed/SHA256SUMS ]]; then
    echo "$feed has no SHA256SUMS: make the folder with tools/static-feed.sh"
    worse 1
  elif ! (cd "$feed" && sha256sum --check --quiet SHA256SUMS); then
    echo "$feed does not match its SHA256SUMS: a file was changed or is missing; make the folder anew"
    worse 1
  else
    # An upload of the folder takes every file in it: an old answer left there goes out too.
    for file in "$feed"/*; do
      name=$(basename "$file")
      [[ $name == SHA256SUMS ]] || grep -q "^[0-9a-f]*  $name\$" "$feed/SHA256SUMS" || {
        echo "$feed holds $name, which SHA256SUMS does not list: an upload would publish it;"
        echo "make the folder anew with tools/static-feed.sh"
        worse 1
      }
    done
  fi
  exit "$status"
fi

case $1 in
  *"{version}"*)
    template=$1
    shift
    for version in "$@"; do
      version=$(canonical_version "$version")
      echo "== As version $version:"
      check_address "${template//"{version}"/$version}" "$version"
      [[ -z $feed ]] || same_as_feed "$version"
    done
    ;;
  --description)
    description=$2
    shift 2
    for version in "$@"; do
      echo "== As version $version:"
      if ! php "$root/server/update.php" "$version" "$description" >"$document"; then
        echo "update.php refuses this description: every program would get 503 and no document."
        exit 1
      fi
      check_document "$document" "$version"
    done
    ;;
  [hH][tT][tT][pP]://* | [hH][tT][tT][pP][sS]://*) check_address "$1" ;;
  *) check_document "$1" ;;
esac
exit "$status"
