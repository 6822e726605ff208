#!/usr/bin/env bash
# A library with one object past 4 GiB, end to end: quellon-cli save from one
# emulated host, the archive checked by unzip -t, 7z t, bsdtar -tf and
# Python's zipfile, then quellon-cli restore into a second emulated host and
# the object compared byte for byte. Prints times and peak memory of each
# step (/usr/bin/time -v); fails when a step fails or peaks at 64 MiB or more.
#   bench/zip/large.sh [SIZE]      (default 5G; K, M, G suffixes)
#   FILL=generated bench/zip/large.sh   incompressible bytes: the archive
#                                  itself passes 4 GiB (default FILL=sparse)
# BUILD_DIR picks the build (default build). Needs about 4 x SIZE of disk
# in TMPDIR for the save files on both hosts and on the client.
set -euo pipefail
cd "$(dirname "$0")/../.."
SIZE=${1:-5G}
FILL=${FILL:-sparse}
BUILD_DIR=${BUILD_DIR:-build}
case $BUILD_DIR in /*) ;; *) BUILD_DIR=$PWD/$BUILD_DIR ;; esac
CLI=$BUILD_DIR/quellon-cli
SIM=$BUILD_DIR/quellon-hostsim
for b in "$CLI" "$SIM"; do [ -x "$b" ] || { echo "build first: $b missing" >&2; exit 1; }; done
for t in unzip 7z bsdtar python3 /usr/bin/time cmp; do command -v "$t" >/dev/null || { echo "missing $t" >&2; exit 1; }; done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-large.XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
export QPW=secret HOME=$WORK/home XDG_CONFIG_HOME=$WORK/home/config XDG_DATA_HOME=$WORK/home/data
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"

# host ROOT [options...]: starts an emulated host, sets PORT
host() {
  local root=$1; shift
  : >"$root.out"
  "$SIM" --listen 127.0.0.1:0 --root "$root" --user JOE --password secret "$@" >"$root.out" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 1 600); do
    PORT=$(sed -n 's/^quellon-hostsim listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$root.out")
    [ -n "$PORT" ] && return 0
    kill -0 "${PIDS[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "FAIL: host did not start: $(cat "$root.out")" >&2
  exit 1
}

# step LABEL CMD...: runs and times it; SECS and RSS_KB
step() {
  local label=$1; shift
  local start end
  start=$(date +%s.%N)
  if ! /usr/bin/time -v -o "$WORK/$label.time" "$@" >"$WORK/$label.log" 2>&1; then
    echo "FAIL: $label"; cat "$WORK/$label.log"; exit 1
  fi
  end=$(date +%s.%N)
  SECS=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')
  RSS_KB=$(awk -F': ' '/Maximum resident/ {print $2}' "$WORK/$label.time")
  printf '%-18s %8s s  %8d KiB peak\n' "$label" "$SECS" "$RSS_KB"
  if [ "$RSS_KB" -ge 65536 ] && [ "${label#check}" = "$label" ]; then
    echo "FAIL: $label peaked at $RSS_KB KiB (limit 64 MiB)"; exit 1
  fi
}

mkdir -p "$WORK/as1" "$WORK/as2"
START=$(date +%s.%N)
host "$WORK/as1" --seed-object "BIGLIB/DATA.FILE=$SIZE,$FILL" --seed-library BIGLIB
OBJ=$WORK/as1/BIGLIB/DATA.FILE
printf 'object: %s bytes (%s), seeded in %.1f s; %s cores, load %s\n' "$(stat -c %s "$OBJ")" "$FILL" \
  "$(awk -v a="$START" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
ARCHIVE=$WORK/big.4ql
step save "$CLI" save "$ARCHIVE" --host 127.0.0.1 --port "$PORT" --user JOE --password-env QPW \
  --library BIGLIB --poster "$PWD/data/QuellonPoster.bmp"
printf 'archive: %s bytes\n' "$(stat -c %s "$ARCHIVE")"
grep -E "Total size to be zipped" "$WORK/save.log" || true
step check-unzip unzip -tqq "$ARCHIVE"
step check-7z 7z t "$ARCHIVE"
step check-bsdtar bsdtar -tf "$ARCHIVE"
step check-python python3 -c "import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); assert z.testzip() is None" "$ARCHIVE"
step info "$CLI" info --json "$ARCHIVE"
grep -o '"members": .*' "$WORK/info.log"

host "$WORK/as2"
step restore "$CLI" restore "$ARCHIVE" --host 127.0.0.1 --port "$PORT" --user JOE --password-env QPW
grep -E "Total size to be unzipped" "$WORK/restore.log" || true
step check-cmp cmp "$OBJ" "$WORK/as2/BIGLIB/DATA.FILE"
echo "OK: the object arrived byte for byte"
