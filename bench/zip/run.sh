#!/usr/bin/env bash
# Zip add/extract benchmark against Info-ZIP in the same run.
#   bench/zip/run.sh [SIZE_MB]     (default 1024; BUILD_DIR picks the build, default build)
# Makes a file shaped like a save file (528-byte records: EBCDIC text,
# packed-decimal data, program code, binary), then times
#   add:     our libzipdll (level 9) vs zip -9
#   extract: our libunzdll vs unzip, both on our archive
# and prints time ratios, sizes and peak memory (/usr/bin/time -v).
set -euo pipefail
cd "$(dirname "$0")/../.."
SIZE_MB=${1:-1024}
BUILD_DIR=${BUILD_DIR:-build}
BIN=$PWD/$BUILD_DIR/zipdll-bench
[ -x "$BIN" ] || { echo "build first: cmake --build $BUILD_DIR --target zipdll-bench" >&2; exit 1; }
for t in zip unzip /usr/bin/time; do command -v "$t" >/dev/null || { echo "missing $t" >&2; exit 1; }; done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zipbench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
SRC=$WORK/SAVF0001.savf
"$BIN" gen "$SRC" "$SIZE_MB"

# run LABEL CMD...: sets SECS and RSS_KB
run() {
  local label=$1; shift
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -v -o "$WORK/$label.time" "$@" >/dev/null
  end=$(date +%s.%N)
  SECS=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
  RSS_KB=$(awk -F': ' '/Maximum resident/ {print $2}' "$WORK/$label.time")
}

sync
run zip9 zip -9 -q -j "$WORK/peer.zip" "$SRC";            T_ZIP=$SECS; M_ZIP=$RSS_KB
run ours "$BIN" add "$WORK/ours.zip" "$SRC" 9;             T_OURS=$SECS; M_OURS=$RSS_KB
S_ZIP=$(stat -c %s "$WORK/peer.zip"); S_OURS=$(stat -c %s "$WORK/ours.zip")
unzip -tq "$WORK/ours.zip" >/dev/null || { echo "FAIL: unzip -t rejects our archive" >&2; exit 1; }

mkdir "$WORK/x-unzip" "$WORK/x-ours"
sync
run unzip unzip -o -q "$WORK/ours.zip" -d "$WORK/x-unzip";  T_UNZIP=$SECS; M_UNZIP=$RSS_KB
run ourx "$BIN" extract "$WORK/ours.zip" "$WORK/x-ours";   T_OURX=$SECS; M_OURX=$RSS_KB
cmp "$SRC" "$WORK/x-ours/SAVF0001.savf" || { echo "FAIL: our extract differs" >&2; exit 1; }
cmp "$SRC" "$WORK/x-unzip/SAVF0001.savf" || { echo "FAIL: unzip extract differs" >&2; exit 1; }

printf 'input: %d MiB save-file-like data, %s cores, load %s\n' "$SIZE_MB" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'add     zip -9 %7.2f s  %11d bytes  %7d KiB peak\n' "$T_ZIP" "$S_ZIP" "$M_ZIP"
printf 'add     ours   %7.2f s  %11d bytes  %7d KiB peak\n' "$T_OURS" "$S_OURS" "$M_OURS"
printf 'extract unzip  %7.2f s  %7d KiB peak\n' "$T_UNZIP" "$M_UNZIP"
printf 'extract ours   %7.2f s  %7d KiB peak\n' "$T_OURX" "$M_OURX"
calc() { awk "BEGIN { print $1 }"; }
printf 'add speed-up vs zip -9:   %.2fx  (target >= 1.5)\n' "$(calc "$T_ZIP / $T_OURS")"
printf 'add size vs zip -9:       %+.2f%%  (target <= +1%%)\n' "$(calc "($S_OURS - $S_ZIP) * 100 / $S_ZIP")"
printf 'extract speed vs unzip:   %.2fx  (target >= 1.0)\n' "$(calc "$T_UNZIP / $T_OURX")"
