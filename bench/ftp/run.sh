#!/usr/bin/env bash
# FTP throughput over loopback: quellon-cli ftp against curl, same server, same
# file, same run, both directions, active mode. Prints MiB/s, the ratio and
# the peak memory of quellon-cli.
#
#   bench/ftp/run.sh [SIZE_MIB] [BUILD_DIR]      (defaults: 1024, build)
#
# Targets: quellon-cli at least 0.8 of curl's throughput each way, peak RSS
# under 64 MiB (the file is streamed, never held).
set -euo pipefail
cd "$(dirname "$0")/../.."
SIZE_MIB=${1:-1024}
BUILD_DIR=${2:-build}
CLI=$PWD/$BUILD_DIR/quellon-cli
ROUNDS=${ROUNDS:-2}
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
[ -x "$CLI" ] || { echo "build quellon-cli first ($CLI missing)" >&2; exit 2; }
command -v curl >/dev/null || { echo "curl is needed" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-ftpbench-XXXXXX")
SERVER_PID=
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
mkdir "$WORK/root" "$WORK/local"

echo "making a ${SIZE_MIB} MiB file ..."
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom > "$WORK/root/src.bin"
cp "$WORK/root/src.bin" "$WORK/local/src.bin"

export BENCH_PW=bench
coproc SERVER { exec "$PY" tests/net/pyftpd_server.py "$WORK/root" bench "$BENCH_PW"; }
SERVER_PID=$SERVER_PID
read -r _ PORT <&"${SERVER[0]}"
echo "pyftpdlib on 127.0.0.1:$PORT"

now() { date +%s.%N; }
# Runs a command, prints its wall time in seconds.
timed() { local t0 t1; t0=$(now); "$@" >/dev/null; t1=$(now); awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'; }
best() { printf '%s\n' "$@" | sort -g | head -1; }
mibs() { awk -v s="$SIZE_MIB" -v t="$1" 'BEGIN { printf "%.1f", s / t }'; }
ratio() { awk -v c="$1" -v q="$2" 'BEGIN { printf "%.2f", c / q }'; }

Q=("$CLI" ftp --host 127.0.0.1 --port "$PORT" --user bench --password-env BENCH_PW)
URL=ftp://127.0.0.1:$PORT
PEAK=0
q_get=() q_put=() c_get=() c_put=()
# Each run starts with no dirty pages of an earlier one (write-back would slow
# whoever runs next), and the order flips every round, so neither tool always
# goes first.
quellon_pair() {
  local t rss
  sync
  t=$(timed /usr/bin/time -v -o "$WORK/time.txt" "${Q[@]}" get src.bin "$WORK/local/q.bin")
  cmp -s "$WORK/root/src.bin" "$WORK/local/q.bin" || { echo "download differs" >&2; exit 1; }
  q_get+=("$t"); rm -f "$WORK/local/q.bin"
  rss=$(awk -F: '/Maximum resident/ {print $2+0}' "$WORK/time.txt"); if [ "$rss" -gt "$PEAK" ]; then PEAK=$rss; fi
  sync
  t=$(timed /usr/bin/time -v -o "$WORK/time.txt" "${Q[@]}" put "$WORK/local/src.bin" q.bin)
  cmp -s "$WORK/local/src.bin" "$WORK/root/q.bin" || { echo "upload differs" >&2; exit 1; }
  q_put+=("$t"); rm -f "$WORK/root/q.bin"
  rss=$(awk -F: '/Maximum resident/ {print $2+0}' "$WORK/time.txt"); if [ "$rss" -gt "$PEAK" ]; then PEAK=$rss; fi
}
curl_pair() {
  local t
  sync
  t=$(timed curl -sS --ftp-port - -u "bench:$BENCH_PW" -o "$WORK/local/c.bin" "$URL/src.bin")
  c_get+=("$t"); rm -f "$WORK/local/c.bin"
  sync
  t=$(timed curl -sS --ftp-port - -u "bench:$BENCH_PW" -T "$WORK/local/src.bin" "$URL/c.bin")
  c_put+=("$t"); rm -f "$WORK/root/c.bin"
}
for round in $(seq "$ROUNDS"); do
  if [ $((round % 2)) = 1 ]; then quellon_pair; curl_pair; else curl_pair; quellon_pair; fi
done

QG=$(best "${q_get[@]}"); QP=$(best "${q_put[@]}"); CG=$(best "${c_get[@]}"); CP=$(best "${c_put[@]}")
RG=$(ratio "$CG" "$QG"); RP=$(ratio "$CP" "$QP")
echo
echo "size ${SIZE_MIB} MiB, best of $ROUNDS, loopback, active mode, pyftpdlib"
printf '%-10s %14s %14s %8s\n' direction "quellon MiB/s" "curl MiB/s" ratio
printf '%-10s %14s %14s %8s\n' download "$(mibs "$QG")" "$(mibs "$CG")" "$RG"
printf '%-10s %14s %14s %8s\n' upload "$(mibs "$QP")" "$(mibs "$CP")" "$RP"
echo "peak RSS of quellon-cli: $((PEAK / 1024)) MiB ($PEAK KiB)"
ok=1
for r in "$RG" "$RP"; do awk -v r="$r" 'BEGIN { exit !(r >= 0.8) }' || ok=0; done
[ "$PEAK" -lt $((64 * 1024)) ] || ok=0
if [ $ok = 1 ]; then echo "targets met (ratio >= 0.8 each way, RSS < 64 MiB)"; else echo "TARGETS MISSED"; exit 1; fi
