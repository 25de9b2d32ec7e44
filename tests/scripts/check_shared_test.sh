#!/usr/bin/env bash
# scripts/check-shared as a reviewer relies on it: quiet on the tree, and failing
# on each way a library could reach for a single instance by itself, wherever it
# is planted in a small tree of its own.
set -uo pipefail
cd "$(dirname "$0")/../.."
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

said="$(scripts/check-shared 2>&1)" || fail "the tree does not pass: $said"

root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/src/engine" "$root/src/app"
echo "src/engine/engine.cpp  Sandbox::shared  the engine's own instance" > "$root/src/app/shared_calls_allowed.txt"
echo 'Engine& Engine::shared() { static Engine engine(platform::Sandbox::shared()); return engine; }' > "$root/src/engine/engine.cpp"
scripts/check-shared --root "$root" > /dev/null 2>&1 || fail "a call on the allow-list is refused"

# case | file | code (\n: a line break) | what the check must say
while IFS='|' read -r name file code expected; do
  printf '%b\n' "$code" > "$root/$file"
  said="$(scripts/check-shared --root "$root" 2>&1)"; status=$?
  [ "$status" = 1 ] || fail "$name: ended with $status: $said"
  grep -qF -- "$expected" <<< "$said" || fail "$name: does not say '$expected': $said"
  rm "$root/$file"
done <<'CASES'
fallback|src/engine/a.cpp|    : loop_(options.loop ? *options.loop : platform::MainLoop::shared()) {}|src/engine/a.cpp:1: falls back to a single instance
through a pointer|src/engine/a.h|Loop& l = o->loop ? *o->loop : MainLoop::shared();|falls back to a single instance
over lines, in parentheses|src/engine/a.cpp|// the clock\nreturn (clock_ != nullptr)\n    ? *clock_\n    : (platform::SystemClock::shared());|src/engine/a.cpp:3: falls back
through a member of it|src/engine/a.cpp|auto folder = given.empty() ? platform::Sandbox::shared().caches() : given;|falls back
branches swapped|src/engine/a.cpp|auto& c = !given ? SystemClock::shared() : *given;|falls back
value_or|src/engine/a.cpp|auto* n = network.value_or(&http::NetworkThread::shared());|falls back
set when missing|src/engine/a.cpp|if (!loop_) loop_ = &MainLoop::shared();|falls back
default argument|src/engine/a.h|Track(double rate, const Clock& clock = SystemClock::shared());|falls back
a member that starts as one|src/app/a.h|struct Parts {\n    platform::NotificationCenter* center = &platform::NotificationCenter::shared();\n};|src/app/a.h:2: falls back
in the program's own folder too|src/app/a.cpp|Center& c = setup.center ? *setup.center : NotificationCenter::shared();|src/app/a.cpp:1: falls back
a call not allowed|src/engine/a.cpp|defaults_.set(platform::UserDefaults::shared());|src/engine/a.cpp:1: UserDefaults::shared() called below src/app
an accessor of another name|src/engine/a.cpp|auto store = UsageGlobalVariableStorage::sharedInstance();|UsageGlobalVariableStorage::sharedInstance() called below src/app
CASES

# A call the list names that is no longer there: the list is out of date.
echo 'Engine::Engine() {}' > "$root/src/engine/engine.cpp"
said="$(scripts/check-shared --root "$root" 2>&1)" && fail "an allow-list entry without its call passes"
grep -qF "but it is called there 0 time(s)" <<< "$said" || fail "a stale entry is not named: $said"

echo "check-shared: $failures failed"
[ "$failures" = 0 ]
