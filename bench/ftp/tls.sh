#!/usr/bin/env bash
# FTP over TLS against plain FTP on loopback: quellon-cli ftp against
# quellon-hostsim, passive mode, same file, both directions. Prints MiB/s and
# the TLS/plain ratio.
#
#   bench/ftp/tls.sh [SIZE_MIB] [BUILD_DIR]      (defaults: 512, build)
#
# Target: TLS at least 0.7 of plain throughput each way.
#
# ROUNDS=n (default 2) runs each transfer n times and keeps the best.
# COLD=1 asks the kernel to drop the file being sent from the page cache
# before each transfer (this file only, so other users keep theirs), so it is
# read from disk as in a real save or restore. The kernel may keep pages it
# cannot drop at that moment: compare plain rates with and without COLD.
set -euo pipefail
cd "$(dirname "$0")/../.."
SIZE_MIB=${1:-512}
BUILD_DIR=${2:-build}
CLI=$PWD/$BUILD_DIR/quellon-cli
SIM=$PWD/$BUILD_DIR/quellon-hostsim
ROUNDS=${ROUNDS:-2}
[ -x "$CLI" ] && [ -x "$SIM" ] || { echo "build quellon-cli and quellon-hostsim first" >&2; exit 2; }
command -v openssl >/dev/null || { echo "the openssl tool is needed" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-tlsbench-XXXXXX")
SERVER_PID=
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=bench \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null
FP=$(openssl x509 -in "$WORK/cert.pem" -noout -fingerprint -sha256 | cut -d= -f2)

echo "making a ${SIZE_MIB} MiB file ..."
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom > "$WORK/src.bin"

export BENCH_PW=bench
coproc SERVER { exec "$SIM" --listen 127.0.0.1:0 --root "$WORK/root" --user bench --password-env BENCH_PW \
  --tls-cert "$WORK/cert.pem" --tls-key "$WORK/key.pem"; }
SERVER_PID=$SERVER_PID
read -r LINE <&"${SERVER[0]}"
PORT=${LINE##*:}
echo "quellon-hostsim on 127.0.0.1:$PORT"

Q=("$CLI" ftp --host 127.0.0.1 --port "$PORT" --user bench --password-env BENCH_PW --passive)
T=(--tls explicit --tls-fingerprint "$FP")
"${Q[@]}" quote "RCMD CRTSAVF QGPL/SRC" >/dev/null
"${Q[@]}" quote "RCMD CRTSAVF QGPL/DST" >/dev/null
"${Q[@]}" put "$WORK/src.bin" QGPL/SRC

now() { date +%s.%N; }
timed() { local t0 t1; t0=$(now); "$@" >/dev/null; t1=$(now); awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'; }
best() { printf '%s\n' "$@" | sort -g | head -1; }
mibs() { awk -v s="$SIZE_MIB" -v t="$1" 'BEGIN { printf "%.1f", s / t }'; }
ratio() { awk -v p="$1" -v t="$2" 'BEGIN { printf "%.2f", p / t }'; }

# Only this file leaves the cache: other users of the machine keep theirs.
evict() {
  [ "${COLD:-0}" = 1 ] || return 0
  python3 -c 'import os, sys; os.posix_fadvise(os.open(sys.argv[1], os.O_RDONLY), 0, 0, os.POSIX_FADV_DONTNEED)' "$1"
}

p_get=() p_put=() t_get=() t_put=()
run() { # plain|tls
  local extra=() t
  [ "$1" = tls ] && extra=("${T[@]}")
  sync
  evict "$WORK/root/QGPL/SRC.FILE"
  t=$(timed "${Q[@]}" "${extra[@]}" get QGPL/SRC "$WORK/back.bin")
  cmp -s "$WORK/src.bin" "$WORK/back.bin" || { echo "$1 download differs" >&2; exit 1; }
  rm -f "$WORK/back.bin"
  if [ "$1" = tls ]; then t_get+=("$t"); else p_get+=("$t"); fi
  sync
  evict "$WORK/src.bin"
  t=$(timed "${Q[@]}" "${extra[@]}" put "$WORK/src.bin" QGPL/DST)
  cmp -s "$WORK/src.bin" "$WORK/root/QGPL/DST.FILE" || { echo "$1 upload differs" >&2; exit 1; }
  if [ "$1" = tls ]; then t_put+=("$t"); else p_put+=("$t"); fi
}
for round in $(seq "$ROUNDS"); do
  if [ $((round % 2)) = 1 ]; then run plain; run tls; else run tls; run plain; fi
done

PG=$(best "${p_get[@]}"); PP=$(best "${p_put[@]}"); TG=$(best "${t_get[@]}"); TP=$(best "${t_put[@]}")
RG=$(ratio "$PG" "$TG"); RP=$(ratio "$PP" "$TP")
echo
echo "size ${SIZE_MIB} MiB, best of $ROUNDS, loopback, passive mode, quellon-hostsim$([ "${COLD:-0}" = 1 ] && echo ", file sent read from disk")"
printf '%-10s %12s %12s %8s\n' direction "plain MiB/s" "TLS MiB/s" ratio
printf '%-10s %12s %12s %8s\n' download "$(mibs "$PG")" "$(mibs "$TG")" "$RG"
printf '%-10s %12s %12s %8s\n' upload "$(mibs "$PP")" "$(mibs "$TP")" "$RP"
ok=1
for r in "$RG" "$RP"; do awk -v r="$r" 'BEGIN { exit !(r >= 0.7) }' || ok=0; done
if [ $ok = 1 ]; then echo "target met (TLS >= 0.7 of plain each way)"; else echo "TARGET MISSED"; exit 1; fi
