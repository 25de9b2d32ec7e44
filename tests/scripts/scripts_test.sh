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

# scripts/setup on a machine where nothing is installed yet: as root, as a user
# with sudo, and as a user of a machine without sudo (whose administrator works
# as root). The line installs the packages and makes the number tests' locale.
fake="$(mktemp -d)"
trap 'rm -rf "$fake"' EXIT
mkdir "$fake/bin" "$fake/sudo"
for tool in bash grep; do ln -s "$(command -v "$tool")" "$fake/bin/$tool"; done
printf '#!/bin/sh\nexit 1\n' > "$fake/bin/dpkg-query"
printf '#!/bin/sh\necho C; echo POSIX\n' > "$fake/bin/locale"
printf '#!/bin/sh\nexit 1\n' > "$fake/sudo/sudo"
for case in "0 sudo" "1000 sudo" "1000 -"; do
  read -r uid has_sudo <<< "$case"
  printf '#!/bin/sh\n[ "$1" = -u ] && echo %s || exec /usr/bin/id "$@"\n' "$uid" > "$fake/bin/id"
  chmod +x "$fake"/bin/* "$fake/sudo/sudo"
  path="$fake/bin"
  [ "$has_sudo" = sudo ] && path="$fake/sudo:$path"
  said="$(PATH="$path" scripts/setup --check 2>&1)"; status=$?
  [ "$status" = 1 ] || fail "setup --check with packages missing ended with $status"
  line="$(grep 'apt-get install' <<< "$said")"
  prefix=""
  [ "$uid:$has_sudo" = 1000:sudo ] && prefix="sudo "
  [[ "$line" == "    ${prefix}apt-get update && ${prefix}apt-get install --no-install-recommends cmake "* ]] ||
    fail "setup --check as uid $uid ($has_sudo) says: $line"
  [[ "$line" == *" && ${prefix}localedef -i de_DE -c -f UTF-8 de_DE.UTF-8" ]] ||
    fail "setup --check as uid $uid ($has_sudo) leaves out the locale: $line"
done

# Every package there but the locale, for a user without sudo: the line to make
# it, and nothing tried through a sudo that is not there.
printf '#!/bin/sh\necho "install ok installed"\n' > "$fake/bin/dpkg-query"
said="$(PATH="$fake/bin" scripts/setup 2>&1)"; status=$?
[ "$status" = 0 ] || fail "setup with only the locale missing ended with $status: $said"
grep -qx "    localedef -i de_DE -c -f UTF-8 de_DE.UTF-8" <<< "$said" || fail "setup without sudo says: $said"
grep -q "not found" <<< "$said" && fail "setup without sudo tried a command that is not there: $said"

echo "scripts: $failures failed"
[ "$failures" = 0 ]
