#!/usr/bin/env bash
# quellon-cli ftp against deliberately broken servers: for each, the exit
# status, the time it took, its peak memory and its one line on stderr.
#
#   bench/ftp/broken.sh [BUILD_DIR]      (default build)
#
# endless   a reply of "211-" lines that never ends (STAT)
# silent    accepts and never greets
# mute      greets, then never answers USER
# Each must end within its bound (the reply limit is --timeout 2000 here)
# with exit status 1, in bounded memory.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${1:-build}
CLI=$PWD/$BUILD_DIR/quellon-cli
[ -x "$CLI" ] || { echo "build quellon-cli first ($CLI missing)" >&2; exit 2; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-broken-XXXXXX")
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$WORK"' EXIT

cat > "$WORK/server.py" <<'EOF'
import socket, sys
mode = sys.argv[1]
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(1)
print(s.getsockname()[1], flush=True)
c, _ = s.accept()
f = c.makefile("rb")
try:
    if mode == "silent":
        f.read()
    else:
        c.sendall(b"220 ready\r\n")
        f.readline()                       # USER
        if mode == "mute":
            f.read()
        c.sendall(b"331 password\r\n")
        f.readline()                       # PASS
        c.sendall(b"230 in\r\n")
        f.readline()                       # STAT
        block = b"211-" + b"x" * 60 + b"\r\n"
        block *= 1024
        while True:
            c.sendall(block)
except OSError:
    pass
EOF

export PW=x
printf '%-8s %5s %8s %10s  %s\n' case exit seconds "peak RSS" "stderr"
for mode in endless silent mute; do
  coproc SERVER { exec python3 "$WORK/server.py" "$mode"; }
  pid=$SERVER_PID
  read -r PORT <&"${SERVER[0]}"
  t0=$(date +%s.%N)
  set +e
  /usr/bin/time -f %M -o "$WORK/rss" "$CLI" ftp --host 127.0.0.1 --port "$PORT" --user u --password-env PW \
    --timeout 2000 quote STAT > /dev/null 2> "$WORK/err"
  rc=$?
  set -e
  t1=$(date +%s.%N)
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  printf '%-8s %5s %8s %7s MiB  %s\n' "$mode" "$rc" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')" \
    "$(( $(tail -1 "$WORK/rss") / 1024 ))" "$(head -1 "$WORK/err")"
done
