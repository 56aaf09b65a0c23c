#!/usr/bin/env bash
# Signs FILE in place with the release's OSTREL_SIGN_COMMAND, which gets its path as the last
# argument; fails when the command fails.
set -euo pipefail
: "${OSTREL_SIGN_COMMAND:?}"
eval "$OSTREL_SIGN_COMMAND" '"$1"'
