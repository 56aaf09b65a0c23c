#!/usr/bin/env bash
# Checks an update document before it goes out: fetches URL as the program does (one GET, user
# agent "Ostrel Browser", whatever the status), or reads FILE, or standard input for -. Prints
# what the program reads, the prompt it shows and what it opens, and names every value that the
# program reads otherwise than JSON means it.
# Exit code: 0 read as meant, 1 not, 2 nothing could be read (no such file, no answer).
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

case $1 in
  http://* | https://*)
    document=$(mktemp)
    trap 'rm -f "$document"' EXIT
    # An endless body stops far past the program's limit, which the check itself applies.
    set +o pipefail
    curl --silent --show-error --max-time 60 --user-agent "Ostrel Browser" "$1" |
      head --bytes=16M >"$document"
    fetched=${PIPESTATUS[0]}
    set -o pipefail
    # 23: head stopped reading.
    if [[ $fetched -ne 0 && $fetched -ne 23 ]]; then
      echo "no answer from $1" >&2
      exit 2
    fi
    "$check" "$document"
    ;;
  *) exec "$check" "$1" ;;
esac
