#!/usr/bin/env bash
# The program never starts the analytics client: a run from launch to a clean
# shutdown makes no analytics folder and opens no network connection (every
# connect call of the process is traced; only local sockets may appear).
set -uo pipefail
program="$1"
if ! command -v strace >/dev/null; then echo "strace is missing: the launch test is skipped"; exit 77; fi
# The sanitizer runs build only the tests: no program, nothing to launch.
if [ ! -x "$program" ]; then echo "the program is not built in this folder: the launch test is skipped"; exit 77; fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
export QT_QPA_PLATFORM=offscreen STROMBEL_AUDIO=null HOME="$root" XDG_RUNTIME_DIR="$root/run"
mkdir -p "$root/run" && chmod 700 "$root/run"
strace -f -qq -e trace=connect,sendto -o "$root/trace" "$program" --root "$root/data" >"$root/output" 2>&1 &
tracer=$!
for _ in $(seq 600); do
  [ -e "$root/data/Library/Preferences/defaults.sqlite" ] && break
  kill -0 "$tracer" 2>/dev/null || break  # the program ended before it started up
  sleep 0.1
done
sleep 2
pkill -TERM -P "$tracer" 2>/dev/null || kill -TERM "$tracer"
wait "$tracer"
if [ -n "$(find "$root/data" -name UsageFiles)" ]; then echo "an analytics folder was made"; exit 1; fi
if grep -E 'sa_family=AF_INET6?[,}]' "$root/trace"; then echo "the program opened a network connection"; exit 1; fi
[ -e "$root/data/Library/Preferences/defaults.sqlite" ] || { echo "the program did not start"; cat "$root/output"; exit 1; }
echo "no analytics folder, no connection"
