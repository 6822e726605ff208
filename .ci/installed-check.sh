#!/usr/bin/env bash
# Runs inside a fresh root that has only the installed quellon package: a save,
# info and restore with the installed programs against the installed emulator.
set -euo pipefail
W=$(mktemp -d)
SIM_PID=
trap '[ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null; wait 2>/dev/null; rm -rf "$W"' EXIT
export HOME=$W/home QPW=secret
mkdir -p "$HOME"
quellon-hostsim --listen 127.0.0.1:0 --root "$W/host" --user JOE --password-env QPW \
  --seed-library MYLIB >"$W/sim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 100); do grep -q listening "$W/sim.out" && break; sleep 0.1; done
PORT=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$W/sim.out" | head -1)
[ -n "$PORT" ] || { cat "$W/sim.out"; echo "installed quellon-hostsim did not start" >&2; exit 1; }
CONN=(--host 127.0.0.1 --port "$PORT" --user JOE --password-env QPW)
quellon-cli save "$W/MYLIB.4ql" "${CONN[@]}" --library MYLIB
quellon-cli info "$W/MYLIB.4ql"
quellon-cli restore "$W/MYLIB.4ql" "${CONN[@]}" --to-library MYCOPY --create-library
for f in "$W/host/MYLIB"/*; do
  cmp "$f" "$W/host/MYCOPY/$(basename "$f")"
done
echo "installed package: save, info and restore work; $(ls "$W/host/MYCOPY" | wc -l) objects arrived byte for byte"
