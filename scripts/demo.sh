#!/usr/bin/env bash
# The main job end to end on the embedded default: an emulated IBM i host with
# a sample library is saved into a zipped save file (.4ql), the archive is
# shown, and it is restored into a second emulated host; then a save from a
# third host through passive mode and FTP over TLS, and a save and restore
# over SSH (skipped when OpenSSH's sshd is not installed).
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
trap "exit 130" INT
trap "exit 143" TERM

export QUELLON_DEMO_PASSWORD=demo
# Starts an emulator and sets PORT once it listens. Not called in a subshell,
# so that cleanup learns its PID.
start_host() { # NAME ROOT [OPTIONS...]
  local name=$1 root=$2; shift 2
  mkdir -p "$root"
  "$SIM" --listen 127.0.0.1:0 --root "$root" --user DEMO --password-env QUELLON_DEMO_PASSWORD \
    --system "$name" --log "$WORK/$name.log" "$@" > "$WORK/$name.out" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do
    if grep -q "listening on" "$WORK/$name.out" 2>/dev/null; then
      PORT=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/$name.out" | head -1)
      return 0
    fi
    sleep 0.05
  done
  echo "demo: $name did not start:" >&2; cat "$WORK/$name.out" >&2; return 1
}

say() { printf '\n== %s\n' "$*"; }

start_host AS1 "$WORK/as1" --seed-library MYLIB; PORT1=$PORT
start_host AS2 "$WORK/as2"; PORT2=$PORT
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

say "The same through passive mode and FTP over TLS: host AS3, with a certificate made for it"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=AS3 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$WORK/as3.pem" -out "$WORK/as3.pem" 2>/dev/null
FP=$(openssl x509 -in "$WORK/as3.pem" -noout -fingerprint -sha256 | cut -d= -f2)
start_host AS3 "$WORK/as3" --seed-library MYLIB --tls-cert "$WORK/as3.pem" --tls explicit \
  --wire-log "$WORK/as3.wire"
PORT3=$PORT
echo "  AS3's certificate: SHA-256 $FP"
"$CLI" save "$WORK/MYLIB-tls.4ql" --host 127.0.0.1 --port "$PORT3" --user DEMO \
  --password-env QUELLON_DEMO_PASSWORD --library MYLIB --passive --tls explicit --tls-fingerprint "$FP"
unzip -p "$WORK/MYLIB-tls.4ql" '4QL*' > "$WORK/as3.savf"
# The wire log holds every byte that crossed; neither the password nor a
# piece of the save file may be among them.
if ! python3 - "$WORK/as3.wire" "$WORK/as3.savf" "$QUELLON_DEMO_PASSWORD" <<'PY'
import sys
wire, savf = (open(f, "rb").read() for f in sys.argv[1:3])
piece = savf[len(savf) // 2:len(savf) // 2 + 64]
sys.exit(1 if sys.argv[3].encode() in wire or piece in wire else 0)
PY
then
  echo "demo: the password or the save file crossed the wire in the clear" >&2; exit 1
fi
echo "  AS3's wire log: $(stat -c %s "$WORK/as3.wire") bytes, neither the password nor the save file among them"

say "The same over SSH, for hosts whose FTP server is off: host AS4 behind OpenSSH's sshd"
if [ ! -x /usr/sbin/sshd ] || ! command -v ssh-keygen >/dev/null; then
  echo "  skipped: OpenSSH's sshd is not installed (Debian package openssh-server)"
else
  # sshd in the foreground on a free loopback port, with its own keys and
  # config; the emulator is its forced command. Never the system service.
  mkdir -p "$WORK/as4/QGPL" "$WORK/home/.ssh"
  chmod 700 "$WORK/home/.ssh"
  ssh-keygen -q -t ed25519 -N '' -f "$WORK/home/.ssh/id_ed25519"
  ssh-keygen -q -t ed25519 -N '' -f "$WORK/as4_host_key"
  cp "$WORK/home/.ssh/id_ed25519.pub" "$WORK/as4_authorized_keys"
  SSH_FP=$(ssh-keygen -l -E sha256 -f "$WORK/as4_host_key.pub" | awk '{print $2}')
  PORT4=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  # As root, sshd wants its privilege separation folder.
  if [ "$(id -u)" = 0 ] && [ ! -d /run/sshd ]; then mkdir -p -m 0755 /run/sshd; fi
  cat > "$WORK/as4_sshd_config" <<CFG
ListenAddress 127.0.0.1
Port $PORT4
HostKey $WORK/as4_host_key
AuthorizedKeysFile $WORK/as4_authorized_keys
PidFile none
UsePAM no
StrictModes no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
PermitTTY no
Subsystem sftp /usr/lib/openssh/sftp-server
ForceCommand $SIM --ssh-command --root $WORK/as4 --system AS4 --seed-library MYLIB --log $WORK/as4.log
CFG
  /usr/sbin/sshd -D -e -f "$WORK/as4_sshd_config" 2> "$WORK/as4_sshd.out" &
  PIDS+=($!)
  for _ in $(seq 100); do grep -q "Server listening" "$WORK/as4_sshd.out" && break; sleep 0.05; done
  echo "  AS4's host key: $SSH_FP"
  env -u SSH_AUTH_SOCK HOME="$WORK/home" "$CLI" save "$WORK/MYLIB-ssh.4ql" --ssh --host 127.0.0.1 \
    --port "$PORT4" --user "$(id -un)" --host-key "$SSH_FP" --library MYLIB
  env -u SSH_AUTH_SOCK HOME="$WORK/home" "$CLI" restore "$WORK/MYLIB-ssh.4ql" --ssh --host 127.0.0.1 \
    --port "$PORT4" --user "$(id -un)" --to-library SSHCOPY --create-library
  if (cd "$WORK/as4/MYLIB" && for f in *; do cmp -s "$f" "$WORK/as4/SSHCOPY/$f" || exit 1; done); then
    echo "  every object of MYLIB arrived in SSHCOPY byte for byte"
  else
    echo "demo: the objects restored over SSH differ" >&2; exit 1
  fi
  if [ -n "$(ls -A "$WORK/as4/QGPL")" ]; then
    echo "demo: the SSH jobs left a save file in QGPL" >&2; exit 1
  fi
  echo "  the temporary save files in QGPL are gone; the commands AS4 ran:"
  sed 's/^/    /' "$WORK/as4.log"
fi

cat <<TXT

== The same in the wizard
  1. Start a host:   $SIM --listen 127.0.0.1:2121 --root /tmp/as1 --seed-library MYLIB
  2. Save:           $BUILD_DIR/quellon /zip
     library MYLIB, a .4ql file, host localhost; Advanced: port 2121; any user and password.
  3. Restore:        $BUILD_DIR/quellon /unzip   (or: $BUILD_DIR/quellon MYLIB.4ql)
TXT
