#!/usr/bin/env bash
# Checks an update document before it goes out: fetches URL as the program does (one GET, user
# agent "Ostrel Browser", redirects followed, whatever the status), or reads FILE, or standard
# input for -. Prints what the program reads, the prompt it shows and what it opens, and names
# every value that the program reads otherwise than JSON means it. For a URL that asks as a
# version, it also names a cache in between that answered with another version's document.
# Exit code: 0 read as meant, 1 not (or a cache answered for another version), 2 nothing could be
# read (no such file, no answer).
set -euo pipefail
if [[ $# -ne 1 ]]; then
  echo "usage: $0 URL|FILE|-" >&2
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

case $1 in
  http://* | https://*)
    document=$(mktemp) fetch=$(mktemp)
    trap 'rm -f "$document" "$fetch"' EXIT
    # An endless body stops far past the program's limit, which the check itself applies.
    set +o pipefail
    curl --silent --show-error --location --max-time 60 --user-agent "Ostrel Browser" \
      --write-out '%{stderr}fetched-from %{url_effective}\nanswer-for %header{ostrel-answer-for}\n' \
      "$1" 2>"$fetch" | head --bytes=16M >"$document"
    fetched=${PIPESTATUS[0]}
    set -o pipefail
    # 23: head stopped reading.
    if [[ $fetched -ne 0 && $fetched -ne 23 ]]; then
      grep -v -e '^fetched-from ' -e '^answer-for ' "$fetch" >&2 || true
      echo "no answer from $1" >&2
      exit 2
    fi
    echo "Fetched from $(sed -n 's/^fetched-from //p' "$fetch")"
    status=0
    "$check" "$document" || status=$?
    answer_for=$(sed -n 's/^answer-for //p' "$fetch" | tr -d '\r')
    asked=$(version_asked "$1")
    if [[ -n $asked && -n $answer_for && $answer_for != "$asked" ]]; then
      echo "This answer was made for $answer_for (Ostrel-Answer-For), not for $asked: a cache or CDN"
      echo "between here and the endpoint ignores the query string and hands one version's answer to"
      echo "every version. Set it to key on the whole address, query string included."
      exit 1
    fi
    exit "$status"
    ;;
  *) exec "$check" "$1" ;;
esac
