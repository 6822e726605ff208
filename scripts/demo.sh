#!/usr/bin/env bash
# The main job end to end on the embedded default: an emulated IBM i host with
# a sample library is saved into a zipped save file (.4ql), the archive is
# shown, and it is restored into a second emulated host.
# Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=$(cd "${1:-build}" && pwd)
CLI="$BUILD_DIR/quellon-cli"
SIM="$BUILD_DIR/quellon-hostsim"
for b in "$CLI" "$SIM"; do
  [ -x "$b" ] || { echo "demo: $b is missing; build first (scripts/build.sh)" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-demo.XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

export QUELLON_DEMO_PASSWORD=demo
# Starts an emulator; prints its port once it listens.
start_host() { # NAME ROOT [OPTIONS...]
  local name=$1 root=$2; shift 2
  mkdir -p "$root"
  "$SIM" --listen 127.0.0.1:0 --root "$root" --user DEMO --password-env QUELLON_DEMO_PASSWORD \
    --system "$name" --log "$WORK/$name.log" "$@" > "$WORK/$name.out" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do
    if grep -q "listening on" "$WORK/$name.out" 2>/dev/null; then
      sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/$name.out" | head -1
      return 0
    fi
    sleep 0.05
  done
  echo "demo: $name did not start:" >&2; cat "$WORK/$name.out" >&2; return 1
}

say() { printf '\n== %s\n' "$*"; }

PORT1=$(start_host AS1 "$WORK/as1" --seed-library MYLIB)
PORT2=$(start_host AS2 "$WORK/as2")
say "Host AS1 (127.0.0.1:$PORT1) holds library MYLIB:"
ls -l "$WORK/as1/MYLIB" 2>/dev/null || find "$WORK/as1" -type f

say "quellon-cli save: MYLIB from AS1 into MYLIB.4ql"
"$CLI" save "$WORK/MYLIB.4ql" --host 127.0.0.1 --port "$PORT1" --user DEMO \
  --password-env QUELLON_DEMO_PASSWORD --library mylib --release '*CURRENT'

say "quellon-cli info MYLIB.4ql"
"$CLI" info "$WORK/MYLIB.4ql"

say "quellon-cli restore: MYLIB.4ql into host AS2 (127.0.0.1:$PORT2)"
"$CLI" restore "$WORK/MYLIB.4ql" --host 127.0.0.1 --port "$PORT2" --user DEMO \
  --password-env QUELLON_DEMO_PASSWORD

say "Host AS2 now holds:"
(cd "$WORK/as2" && find . -type f ! -path './QTEMP*' | sort | while read -r f; do
   printf '  %-24s %8d bytes\n' "${f#./}" "$(stat -c %s "$f")"; done)
if (cd "$WORK/as1/MYLIB" && for f in *; do cmp -s "$f" "$WORK/as2/MYLIB/$f" || exit 1; done); then
  echo "  every object of MYLIB arrived byte for byte"
else
  echo "demo: the restored objects differ" >&2; exit 1
fi

cat <<TXT

== The same in the wizard
  1. Start a host:   $SIM --listen 127.0.0.1:2121 --root /tmp/as1 --seed-library MYLIB
  2. Save:           $BUILD_DIR/quellon /zip
     library MYLIB, a .4ql file, host localhost; Advanced: port 2121; any user and password.
  3. Restore:        $BUILD_DIR/quellon /unzip   (or: $BUILD_DIR/quellon MYLIB.4ql)
TXT
