#!/usr/bin/env bash
# Extract speed of bzip2 and LZMA members against 7-Zip and Python, one run.
#   bench/zip/methods.sh [SIZE_MB]   (default 128; BUILD_DIR picks the build, default build)
# Makes a file shaped like a save file, has 7z write it as a bzip2 and as an
# LZMA member, then times extracting each with our libunzdll, `7z x` and
# Python's zipfile, checks every copy byte for byte and prints the times
# and the ratios (peer time / our time: above 1 means we are faster).
set -euo pipefail
cd "$(dirname "$0")/../.."
SIZE_MB=${1:-128}
BUILD_DIR=${BUILD_DIR:-build}
BIN=$PWD/$BUILD_DIR/zipdll-bench
[ -x "$BIN" ] || { echo "build first: cmake --build $BUILD_DIR --target zipdll-bench" >&2; exit 1; }
for t in 7z python3; do command -v "$t" >/dev/null || { echo "missing $t" >&2; exit 1; }; done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zipmethods.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
SRC=$WORK/SAVF0001.savf
"$BIN" gen "$SRC" "$SIZE_MB"

# secs CMD...: prints the wall time of CMD
secs() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

printf 'input: %d MiB save-file-like data, %s cores, load %s\n' "$SIZE_MB" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s %12s %9s %9s %9s %11s %11s\n' method archive ours "7z x" python "7z/ours" "python/ours"
for m in BZip2 LZMA; do
  zip=$WORK/$m.zip
  (cd "$WORK" && 7z a -tzip -mm=$m "$zip" SAVF0001.savf >/dev/null)
  for who in ours 7z py; do rm -rf "$WORK/x-$who"; mkdir "$WORK/x-$who"; done
  sync
  T_OURS=$(secs "$BIN" extract "$zip" "$WORK/x-ours")
  T_7Z=$(secs 7z x -y -o"$WORK/x-7z" "$zip")
  T_PY=$(secs python3 -c "import zipfile,sys; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])" "$zip" "$WORK/x-py")
  for who in ours 7z py; do
    cmp "$SRC" "$WORK/x-$who/SAVF0001.savf" || { echo "FAIL: $who's $m extract differs" >&2; exit 1; }
  done
  printf '%-6s %12d %8ss %8ss %8ss %10.2fx %10.2fx\n' "$m" "$(stat -c %s "$zip")" "$T_OURS" "$T_7Z" "$T_PY" \
    "$(awk "BEGIN { print $T_7Z / $T_OURS }")" "$(awk "BEGIN { print $T_PY / $T_OURS }")"
done
