#!/usr/bin/env bash
# quellon-cli against vsftpd, a server nobody here wrote, started on loopback
# by this script (in the foreground, from a config file written here; never
# as a system service).
#
# 1. The transfer matrix: active and passive, plain, explicit and implicit
#    TLS, binary get and put of a small file, each checked byte for byte.
# 2. Throughput against curl on the same server and file, both directions,
#    plain and TLS, printed as ratios of one run; passive mode (curl's
#    default), MODE=active for active mode.
#
#   bench/ftp/vsftpd.sh [SIZE_MIB] [BUILD_DIR]      (defaults: 256, build)
#
# MATRIX_ONLY=1 stops after the matrix (the test suite runs it so). Exit
# status 0 when the matrix passed, 1 when it failed, 2 (skipped) when vsftpd
# or curl is missing or this is not root (anonymous vsftpd must chroot).
set -euo pipefail
cd "$(dirname "$0")/../.."
SIZE_MIB=${1:-256}
BUILD_DIR=${2:-build}
case $BUILD_DIR in /*) ;; *) BUILD_DIR=$PWD/$BUILD_DIR ;; esac
CLI=$BUILD_DIR/quellon-cli
ROUNDS=${ROUNDS:-2}
VSFTPD=${VSFTPD:-/usr/sbin/vsftpd}
[ -x "$CLI" ] || { echo "build quellon-cli first ($CLI missing)" >&2; exit 2; }
[ -x "$VSFTPD" ] || { echo "vsftpd is needed (apt-get install vsftpd)" >&2; exit 2; }
command -v curl >/dev/null || { echo "curl is needed" >&2; exit 2; }
id ftp >/dev/null 2>&1 || { echo "vsftpd's user 'ftp' is missing" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "vsftpd's anonymous sessions need root to chroot" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-vsftpd-XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
# Anonymous sessions are chrooted to a root they may not write; uploads go to pub/.
mkdir -p "$WORK/root/pub" "$WORK/local"
chmod 755 "$WORK"
chmod 555 "$WORK/root"
chown ftp "$WORK/root/pub" 2>/dev/null || chmod 777 "$WORK/root/pub"

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=bench \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null
FP=$(openssl x509 -in "$WORK/cert.pem" -noout -fingerprint -sha256 | cut -d= -f2)
# vsftpd's empty folder for its unprivileged parts: the package's own one
# (/var/run/vsftpd/empty) is made only where the system service has run.
mkdir -p -m 0755 "$WORK/empty"

freePort() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# Starts vsftpd on a free port; $1 YES for implicit TLS. Prints the port.
startServer() {
  local port conf
  port=$(freePort)
  conf="$WORK/vsftpd-$port.conf"
  cat > "$conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
local_enable=NO
write_enable=YES
anon_upload_enable=YES
anon_other_write_enable=YES
anon_root=$WORK/root
secure_chroot_dir=$WORK/empty
anon_umask=022
no_anon_password=YES
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
xferlog_enable=NO
vsftpd_log_file=$WORK/vsftpd-$port.log
connect_from_port_20=NO
pasv_address=127.0.0.1
ssl_enable=YES
implicit_ssl=$1
allow_anon_ssl=YES
force_anon_logins_ssl=NO
force_anon_data_ssl=NO
rsa_cert_file=$WORK/cert.pem
rsa_private_key_file=$WORK/key.pem
EOF
  "$VSFTPD" "$conf" > "$WORK/vsftpd-$port.out" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then echo "$port"; return; fi
    sleep 0.05
  done
  echo "vsftpd did not start:" >&2; cat "$WORK/vsftpd-$port.out" >&2; exit 1
}
# Ports land in files: a command substitution would run startServer in a
# subshell, and its PIDS would be lost to the cleanup.
startServer NO > "$WORK/port.plain"; PORT=$(cat "$WORK/port.plain")
startServer YES > "$WORK/port.implicit"; IPORT=$(cat "$WORK/port.implicit")
echo "vsftpd $(dpkg-query -W -f='${Version}' vsftpd 2>/dev/null || true) on 127.0.0.1:$PORT (implicit TLS on :$IPORT)"

export BENCH_PW=anything
Q=("$CLI" ftp --host 127.0.0.1 --user anonymous --password-env BENCH_PW)

# ---- 1. the matrix
head -c $((3 * 1024 * 1024 + 4321)) /dev/urandom > "$WORK/local/small.bin"
failed=0
n=0
for mode in active passive; do
  for sec in plain explicit implicit; do
    args=(--port "$PORT")
    [ "$mode" = passive ] && args+=(--passive)
    case $sec in
      explicit) args+=(--tls explicit --tls-fingerprint "$FP") ;;
      implicit) args=(--port "$IPORT" "${args[@]:2}" --tls implicit --tls-fingerprint "$FP") ;;
    esac
    n=$((n + 1))
    name="m$n.bin"
    result=ok
    if ! "${Q[@]}" "${args[@]}" put "$WORK/local/small.bin" "pub/$name" 2> "$WORK/err"; then
      result="put failed: $(cat "$WORK/err")"
    elif ! cmp -s "$WORK/local/small.bin" "$WORK/root/pub/$name"; then
      result="put differs"
    elif ! "${Q[@]}" "${args[@]}" get "pub/$name" "$WORK/local/$name" 2> "$WORK/err"; then
      result="get failed: $(cat "$WORK/err")"
    elif ! cmp -s "$WORK/local/small.bin" "$WORK/local/$name"; then
      result="get differs"
    fi
    printf 'matrix %-8s %-9s %s\n' "$mode" "$sec" "$result"
    [ "$result" = ok ] || failed=1
    rm -f "$WORK/root/pub/$name" "$WORK/local/$name"
  done
done
[ $failed = 0 ] || { echo "MATRIX FAILED"; exit 1; }
[ "${MATRIX_ONLY:-0}" = 1 ] && exit 0

# ---- 2. throughput against curl
echo "making a ${SIZE_MIB} MiB file ..."
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom > "$WORK/local/src.bin"
cp "$WORK/local/src.bin" "$WORK/root/pub/src.bin"

now() { date +%s.%N; }
timed() { local t0 t1; t0=$(now); "$@" >/dev/null; t1=$(now); awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'; }
best() { printf '%s\n' "$@" | sort -g | head -1; }
mibs() { awk -v s="$SIZE_MIB" -v t="$1" 'BEGIN { printf "%.1f", s / t }'; }
ratio() { awk -v c="$1" -v q="$2" 'BEGIN { printf "%.2f", c / q }'; }
URL=ftp://127.0.0.1:$PORT/pub
MODE=${MODE:-passive}
QMODE=() CMODE=()
SECS=(plain tls)
# curl's TLS download in active mode hangs against vsftpd 3.0.3 here: plain only.
if [ "$MODE" = active ]; then CMODE=(--ftp-port -); SECS=(plain); else QMODE=(--passive); fi
PEAK=0
declare -A T
run() { # key, command...
  local key=$1; shift
  sync
  local t
  t=$(timed "$@")
  T[$key]="${T[$key]:-} $t"
}
quellon() { # sec
  local tls=()
  [ "$1" = tls ] && tls=(--tls explicit --tls-fingerprint "$FP")
  run "q-get-$1" /usr/bin/time -v -o "$WORK/time.txt" "${Q[@]}" --port "$PORT" "${QMODE[@]}" "${tls[@]}" \
    get pub/src.bin "$WORK/local/q.bin"
  cmp -s "$WORK/local/src.bin" "$WORK/local/q.bin" || { echo "download differs" >&2; exit 1; }
  rm -f "$WORK/local/q.bin"
  rss=$(awk -F: '/Maximum resident/ {print $2+0}' "$WORK/time.txt"); [ "$rss" -gt "$PEAK" ] && PEAK=$rss
  run "q-put-$1" "${Q[@]}" --port "$PORT" "${QMODE[@]}" "${tls[@]}" put "$WORK/local/src.bin" pub/q.bin
  cmp -s "$WORK/local/src.bin" "$WORK/root/pub/q.bin" || { echo "upload differs" >&2; exit 1; }
  rm -f "$WORK/root/pub/q.bin"
}
curlpair() { # sec
  local tls=()
  [ "$1" = tls ] && tls=(--ssl-reqd --cacert "$WORK/cert.pem")
  run "c-get-$1" curl -sS "${CMODE[@]}" "${tls[@]}" -u "anonymous:$BENCH_PW" -o "$WORK/local/c.bin" "$URL/src.bin"
  rm -f "$WORK/local/c.bin"
  run "c-put-$1" curl -sS "${CMODE[@]}" "${tls[@]}" -u "anonymous:$BENCH_PW" -T "$WORK/local/src.bin" "$URL/c.bin"
  rm -f "$WORK/root/pub/c.bin"
}
for round in $(seq "$ROUNDS"); do
  for sec in "${SECS[@]}"; do
    if [ $((round % 2)) = 1 ]; then quellon $sec; curlpair $sec; else curlpair $sec; quellon $sec; fi
  done
done

echo
echo "size ${SIZE_MIB} MiB, best of $ROUNDS, loopback, $MODE mode, vsftpd"
printf '%-18s %14s %14s %16s\n' transfer "quellon MiB/s" "curl MiB/s" "ratio to curl"
for sec in "${SECS[@]}"; do
  for dir in get put; do
    # shellcheck disable=SC2086
    q=$(best ${T[q-$dir-$sec]}); c=$(best ${T[c-$dir-$sec]})
    label=$([ $dir = get ] && echo download || echo upload)
    printf '%-18s %14s %14s %16s\n' "$label $sec" "$(mibs "$q")" "$(mibs "$c")" "$(ratio "$c" "$q")"
  done
done
echo "peak RSS of quellon-cli downloading: $((PEAK / 1024)) MiB"
