#!/usr/bin/env bash
# A whole save job over SSH against the same over FTP: quellon-cli save of a
# library holding one SIZE object that does not compress, from the same
# emulated host (one library folder behind quellon-hostsim's FTP server and
# behind OpenSSH's sshd with quellon-hostsim --ssh-command as its forced
# command), one run each. Prints both times and the SSH/FTP throughput ratio.
#
#   bench/ssh-vs-ftp.sh [SIZE] [BUILD_DIR]      (defaults: 1G, build)
#
# Both jobs do the same SAVLIB and the same zipping; only how the commands
# run and how the save file moves differ (RETR over FTP, SFTP over SSH: the
# emulator serves the sftp subsystem as a host's sftp-server does). sshd runs in the foreground on a
# free loopback port with its own config and keys, never as a service. The
# peak memory of each job shows the save file is streamed, never held.
set -euo pipefail
cd "$(dirname "$0")/.."
SIZE=${1:-1G}
BUILD_DIR=${2:-build}
CLI=$PWD/$BUILD_DIR/quellon-cli
SIM=$PWD/$BUILD_DIR/quellon-hostsim
SSHD=/usr/sbin/sshd
[ -x "$CLI" ] && [ -x "$SIM" ] || { echo "build quellon-cli and quellon-hostsim first" >&2; exit 2; }
[ -x "$SSHD" ] && command -v ssh-keygen >/dev/null || { echo "OpenSSH's sshd is needed (openssh-server)" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-sshbench-XXXXXX")
FTP_PID= SSHD_PID=
cleanup() {
  [ -n "$FTP_PID" ] && kill "$FTP_PID" 2>/dev/null || true
  [ -n "$SSHD_PID" ] && kill "$SSHD_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$WORK/root" "$WORK/home/.ssh" "$WORK/out"
chmod 700 "$WORK/home/.ssh"

echo "seeding library BIGLIB with a $SIZE object ..."
export BENCH_PW=bench
coproc FTP { exec "$SIM" --listen 127.0.0.1:0 --root "$WORK/root" --user bench --password-env BENCH_PW \
  --seed-object "BIGLIB/DATA.PGM=$SIZE,generated"; }
FTP_PID=$FTP_PID
read -r LINE <&"${FTP[0]}"
FTP_PORT=${LINE##*:}

ssh-keygen -q -t ed25519 -N '' -f "$WORK/home/.ssh/id_ed25519"
ssh-keygen -q -t ed25519 -N '' -f "$WORK/host_ed25519"
cp "$WORK/home/.ssh/id_ed25519.pub" "$WORK/authorized_keys"
FP=$(ssh-keygen -l -E sha256 -f "$WORK/host_ed25519.pub" | awk '{print $2}')
SSH_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# As root, sshd wants its privilege separation folder.
if [ "$(id -u)" = 0 ] && [ ! -d /run/sshd ]; then mkdir -p -m 0755 /run/sshd; fi
cat > "$WORK/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $SSH_PORT
HostKey $WORK/host_ed25519
AuthorizedKeysFile $WORK/authorized_keys
PidFile none
UsePAM no
StrictModes no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
PermitTTY no
Subsystem sftp /usr/lib/openssh/sftp-server
ForceCommand $SIM --ssh-command --root $WORK/root
EOF
"$SSHD" -D -e -f "$WORK/sshd_config" 2>"$WORK/sshd.log" &
SSHD_PID=$!
for _ in $(seq 100); do grep -q "Server listening" "$WORK/sshd.log" && break; sleep 0.05; done
grep -q "Server listening" "$WORK/sshd.log" || { cat "$WORK/sshd.log" >&2; exit 1; }
echo "FTP on 127.0.0.1:$FTP_PORT, SSH on 127.0.0.1:$SSH_PORT"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

sync
t0=$(now)
/usr/bin/time -v -o "$WORK/ftp.time" "$CLI" save "$WORK/out/ftp.4ql" --host 127.0.0.1 --port "$FTP_PORT" --user bench --password-env BENCH_PW \
  --library BIGLIB >/dev/null
t1=$(now)
rm -f "$WORK/out/ftp.4ql"
sync
t2=$(now)
env -u SSH_AUTH_SOCK HOME="$WORK/home" /usr/bin/time -v -o "$WORK/ssh.time" "$CLI" save "$WORK/out/ssh.4ql" --ssh --host 127.0.0.1 --port "$SSH_PORT" \
  --user "$(id -un)" --host-key "$FP" --library BIGLIB >/dev/null
t3=$(now)
unzip -tq "$WORK/out/ssh.4ql" >/dev/null
leftover=$(find "$WORK/root/QGPL" -type f | wc -l)
[ "$leftover" = 0 ] || { echo "the SSH job left $leftover file(s) in QGPL" >&2; exit 1; }

FTP_S=$(elapsed "$t0" "$t1"); SSH_S=$(elapsed "$t2" "$t3")
echo
echo "save of a library with one $SIZE object that does not compress, one run each, loopback"
rss() { awk -F: '/Maximum resident/ {printf "%d", ($2 + 0) / 1024}' "$1"; }
printf '%-6s %10s %14s\n' way seconds "peak RSS MiB"
printf '%-6s %10s %14s\n' FTP "$FTP_S" "$(rss "$WORK/ftp.time")"
printf '%-6s %10s %14s\n' SSH "$SSH_S" "$(rss "$WORK/ssh.time")"
echo "SSH/FTP throughput ratio: $(awk -v f="$FTP_S" -v s="$SSH_S" 'BEGIN { printf "%.2f", f / s }')"
