#!/usr/bin/env bash
# The scripts as a newcomer meets them: each answers --help with its usage and
# refuses an unknown option with status 2 before it does anything; scripts/setup
# names the whole install line (the package lists brought up to date first), with
# sudo only for a user who is not root.
set -uo pipefail
cd "$(dirname "$0")/../.."
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

for script in scripts/*; do
  name="${script#scripts/}"
  help="$("$script" --help 2>&1)"; status=$?
  [ "$status" = 0 ] || fail "$name --help ended with $status"
  grep -q "$name" <<< "$help" || fail "$name --help does not show its usage: $help"
  # scripts/run hands its options to the program, which refuses them itself.
  [ "$name" = run ] && continue
  refusal="$("$script" --no-such-option 2>&1)"; status=$?
  [ "$status" = 2 ] || fail "$name --no-such-option ended with $status: $refusal"
done

# scripts/setup on a machine where nothing is installed yet, as root and as a user.
fake="$(mktemp -d)"
trap 'rm -rf "$fake"' EXIT
printf '#!/bin/sh\nexit 1\n' > "$fake/dpkg-query"
for uid in 0 1000; do
  printf '#!/bin/sh\n[ "$1" = -u ] && echo %s || exec /usr/bin/id "$@"\n' "$uid" > "$fake/id"
  chmod +x "$fake/dpkg-query" "$fake/id"
  said="$(PATH="$fake:$PATH" scripts/setup --check 2>&1)"; status=$?
  [ "$status" = 1 ] || fail "setup --check with packages missing ended with $status"
  line="$(grep 'apt-get install' <<< "$said")"
  if [ "$uid" = 0 ]; then expected="    apt-get update && apt-get install --no-install-recommends cmake "
  else expected="    sudo apt-get update && sudo apt-get install --no-install-recommends cmake "; fi
  [[ "$line" == "$expected"* ]] || fail "setup --check as uid $uid says: $line"
done

echo "scripts: $failures failed"
[ "$failures" = 0 ]
