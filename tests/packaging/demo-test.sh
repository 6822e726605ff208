#!/usr/bin/env bash
# The demo that ./quickstart.sh runs: it must succeed and leave none of the
# emulated hosts it started running, also when it is stopped halfway.
#   tests/packaging/demo-test.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "${1:?usage: demo-test.sh BUILD_DIR}" && pwd)
DEMO=$(cd "$(dirname "$0")/../.." && pwd)/scripts/demo.sh
T=$(mktemp -d "${TMPDIR:-/tmp}/quellon-demotest.XXXXXX")
trap 'pkill -9 -f "$T/" 2>/dev/null || true; rm -rf "$T"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
left() { pgrep -af "$T/" | grep quellon-hostsim || true; }

TMPDIR=$T "$DEMO" "$BUILD" >"$T/demo.out" 2>&1 || { cat "$T/demo.out"; fail "demo failed"; }
grep -q "arrived byte for byte" "$T/demo.out" || fail "demo did not restore: $(tail -5 "$T/demo.out")"
sleep 0.2
[ -z "$(left)" ] || fail "demo left running: $(left)"

# Stopped while its hosts run.
TMPDIR=$T "$DEMO" "$BUILD" >"$T/demo2.out" 2>&1 &
pid=$!
for _ in $(seq 100); do [ -n "$(left)" ] && break; sleep 0.02; done
kill -TERM "$pid"
wait "$pid" 2>/dev/null || true
sleep 0.2
[ -z "$(left)" ] || fail "demo stopped with SIGTERM left running: $(left)"
echo "PASS"
