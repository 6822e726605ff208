#!/usr/bin/env bash
# WinZip AES-256 add and extract against 7-Zip in the same run.
#   bench/zip/aes.sh [SIZE_MB]     (default 512; BUILD_DIR picks the build, default build)
# Makes a file shaped like a save file, then times, each against 7-Zip:
#   add store:    our libzipdll level 0 + AES-256 vs 7z a -tzip -mx=0 -mem=AES256
#                 (the cipher and the authentication code alone)
#   add deflate:  our level 6 + AES-256 vs 7z a -tzip -mx=5 -mem=AES256 (both "normal")
#   extract:      our libunzdll vs 7z x, on our deflated archive
# Every archive is checked byte-exact by the other side; prints time ratios
# (> 1 = we are faster).
set -euo pipefail
cd "$(dirname "$0")/../.."
SIZE_MB=${1:-512}
BUILD_DIR=${BUILD_DIR:-build}
BIN=$PWD/$BUILD_DIR/zipdll-bench
[ -x "$BIN" ] || { echo "build first: cmake --build $BUILD_DIR --target zipdll-bench" >&2; exit 1; }
command -v 7z >/dev/null || { echo "missing 7z" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/aesbench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
SRC=$WORK/SAVF0001.savf
"$BIN" gen "$SRC" "$SIZE_MB"
# The password reaches both tools outside argv where they allow it: ours
# reads the variable; 7-Zip only takes -p, which is fine for a benchmark.
export ZIPDLL_BENCH_PASSWORD=bench-Pa55word
PW=$ZIPDLL_BENCH_PASSWORD

# run CMD...: sets SECS
run() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  SECS=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
}
same() { cmp -s "$SRC" "$1" || { echo "FAIL: $2 differs" >&2; exit 1; }; }

sync
run "$BIN" add "$WORK/ours0.zip" "$SRC" 0;                                   T_O0=$SECS
run 7z a -tzip -mx=0 -mem=AES256 "-p$PW" "$WORK/7z0.zip" "$SRC";             T_S0=$SECS
run "$BIN" add "$WORK/ours6.zip" "$SRC" 6;                                   T_O6=$SECS
run 7z a -tzip -mx=5 -mem=AES256 "-p$PW" "$WORK/7z5.zip" "$SRC";             T_S5=$SECS
7z l -slt "$WORK/ours6.zip" | grep -q 'Method = AES-256 Deflate' || { echo "FAIL: not AES-256" >&2; exit 1; }

mkdir "$WORK/x-ours" "$WORK/x-7z" "$WORK/x-ours7"
sync
run "$BIN" extract "$WORK/ours6.zip" "$WORK/x-ours";                         T_XO=$SECS
run 7z x -y "-p$PW" "-o$WORK/x-7z" "$WORK/ours6.zip";                        T_X7=$SECS
run "$BIN" extract "$WORK/7z5.zip" "$WORK/x-ours7";                          T_XO7=$SECS
same "$WORK/x-ours/SAVF0001.savf" "our extract of our archive"
same "$WORK/x-7z/SAVF0001.savf" "7z extract of our archive"
same "$WORK/x-ours7/SAVF0001.savf" "our extract of 7-Zip's archive"

S_O6=$(stat -c %s "$WORK/ours6.zip"); S_S5=$(stat -c %s "$WORK/7z5.zip")
calc() { awk "BEGIN { print $1 }"; }
printf 'input: %d MiB save-file-like data, %s cores, load %s, %s\n' "$SIZE_MB" "$(nproc)" \
  "$(cut -d' ' -f1-3 /proc/loadavg)" "$(grep -qw aes /proc/cpuinfo && echo AES-NI || echo 'no AES-NI')"
printf 'add store+AES-256    ours %7.2f s   7z %7.2f s   ratio %.2fx\n' "$T_O0" "$T_S0" "$(calc "$T_S0 / $T_O0")"
printf 'add deflate+AES-256  ours %7.2f s   7z %7.2f s   ratio %.2fx   size ours/7z %.3f\n' "$T_O6" "$T_S5" \
  "$(calc "$T_S5 / $T_O6")" "$(calc "$S_O6 / $S_S5")"
printf 'extract (our arch.)  ours %7.2f s   7z %7.2f s   ratio %.2fx\n' "$T_XO" "$T_X7" "$(calc "$T_X7 / $T_XO")"
printf 'extract 7-Zip arch.  ours %7.2f s\n' "$T_XO7"
