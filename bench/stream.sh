#!/usr/bin/env bash
# Save and restore jobs against the bare transfer of the same save file, on a
# shaped link: quellon-hostsim and every client run inside a network
# namespace of their own whose loopback is shaped with tbf, at 400 Mbit/s, at
# 100 Mbit/s and unshaped. The library holds one SIZE_MIB object (generated
# bytes that do not compress, unless FILL=sparse). Prints, per link:
#   - quellon-cli save against curl's download of the same save file (RETR),
#   - quellon-cli restore against curl's upload of it (STOR, -T),
#   - the peak disk use beyond the archive during each job: every ~50 ms, the
#     bytes in the job's own TMPDIR plus those in the archive's folder (its
#     temporary file included), less the archive's final size,
# and unshaped also the jobs against the tools by hand: curl + zip -9 for the
# save, unzip + curl for the restore. FTP in active mode for both clients.
#
#   bench/stream.sh [SIZE_MIB] [BUILD_DIR]      (defaults: 512, build; as root)
#
# Environment: ROUNDS (default 1; best time of each, largest peaks), RATES
# (default "400 100", Mbit/s; the unshaped link always runs, alone when empty),
# FILL (generated or sparse zeros).
#
# Targets: each job at most 1.15x the bare transfer on the shaped links, at
# most 64 MiB of disk beyond the archive. Exits 1 when one is missed, 2 when
# it cannot run.
set -euo pipefail
cd "$(dirname "$0")/.."
SIZE_MIB=${1:-512}
BUILD_DIR=${2:-build}
ROUNDS=${ROUNDS:-1}
RATES=${RATES-400 100}
FILL=${FILL:-generated}
case $BUILD_DIR in /*) ;; *) BUILD_DIR=$PWD/$BUILD_DIR ;; esac
CLI=$BUILD_DIR/quellon-cli
SIM=$BUILD_DIR/quellon-hostsim
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3

[ "$(id -u)" = 0 ] || { echo "bench/stream.sh needs root (it makes a network namespace and shapes it with tc)" >&2; exit 2; }
[ -x "$CLI" ] && [ -x "$SIM" ] || { echo "build quellon-cli, quellon-hostsim, zipdll and unzdll first ($BUILD_DIR)" >&2; exit 2; }
for t in ip tc curl zip unzip /usr/bin/time; do
  command -v "$t" >/dev/null || { echo "bench/stream.sh needs $t" >&2; exit 2; }
done
case $FILL in generated|sparse) ;; *) echo "FILL is generated or sparse" >&2; exit 2 ;; esac

NS=quellon-stream-$$
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-streambench-XXXXXX")
SIM_PID='' SAMPLER_PID='' JOB_PID='' NS_MADE=''
# Stops what runs (a timed command is a process group of its own, so its
# children go with it), then removes the namespace and every file.
stop() { # PID [GROUP]
  kill -TERM "${2:+-}$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  [ -z "$JOB_PID" ] || stop "$JOB_PID" group
  [ -z "$SAMPLER_PID" ] || stop "$SAMPLER_PID"
  [ -z "$SIM_PID" ] || stop "$SIM_PID"
  if [ -n "$NS_MADE" ]; then
    for p in $(ip netns pids "$NS" 2>/dev/null); do kill -KILL "$p" 2>/dev/null || true; done
    ip netns del "$NS" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap "exit 130" INT
trap "exit 143" TERM

ip netns add "$NS" || { echo "cannot make a network namespace" >&2; exit 2; }
NS_MADE=1
IN_NS=(ip netns exec "$NS")
"${IN_NS[@]}" ip link set lo up
# The jobs' TMPDIR, the save job's archive folder, the restore job's archive
# folder and curl's files are apart, so each peak counts only its own job.
mkdir "$WORK/root" "$WORK/tmp" "$WORK/out" "$WORK/in" "$WORK/curl" "$WORK/hand"

export BENCH_PW=bench
echo "seeding library BIGLIB with a ${SIZE_MIB} MiB object ($FILL) ..."
"${IN_NS[@]}" "$SIM" --listen 127.0.0.1:0 --root "$WORK/root" --user bench --password-env BENCH_PW \
  --seed-object "BIGLIB/DATA.PGM=${SIZE_MIB}M,$FILL" > "$WORK/sim.out" 2>&1 &
SIM_PID=$!
PORT=
for _ in $(seq 600); do
  PORT=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/sim.out" | head -1)
  [ -n "$PORT" ] && break
  kill -0 "$SIM_PID" 2>/dev/null || break
  sleep 0.05
done
[ -n "$PORT" ] || { echo "quellon-hostsim did not start:" >&2; cat "$WORK/sim.out" >&2; exit 1; }

HOST=(--host 127.0.0.1 --port "$PORT" --user bench --password-env BENCH_PW)
URL=ftp://127.0.0.1:$PORT
CURL=(curl -sS --ftp-port - -u "bench:$BENCH_PW" -Q 'SITE NAMEFMT 1')
SAVF_MEMBER='4QL*'

now() { date +%s.%N; }
# Runs a command inside the namespace after a sync (no dirty pages of the run
# before), sets T to its wall time in seconds; on failure shows its output.
# In the background and waited for, so that a signal stops it at once.
T=
timed() { # LOG COMMAND...
  local log=$1 t0 t1 rc=0; shift
  sync
  t0=$(now)
  setsid "${IN_NS[@]}" "$@" > "$log" 2>&1 &
  JOB_PID=$!
  wait "$JOB_PID" || rc=$?
  JOB_PID=
  t1=$(now)
  if [ "$rc" != 0 ]; then
    echo "failed: $*" >&2; tail -n 20 "$log" >&2; exit 1
  fi
  T=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
}

# Samples the disk use of a job every 50 ms: the bytes of every file below
# TMP plus those in DIR (the archive's folder, its temporary file included).
# Writes the peak in bytes when told to stop; stop_sampler takes the
# archive's own size off it, so a temporary archive that grows past the
# final one counts.
start_sampler() { # TMP DIR
  rm -f "$WORK/peak" "$WORK/ready"
  "$PY" - "$1" "$2" "$WORK/peak" "$WORK/ready" <<'PY' &
import os, signal, sys, time
tmp, archive_dir, peak_file, ready_file = sys.argv[1:5]
stop = False
def on_term(*_):
    global stop
    stop = True
signal.signal(signal.SIGTERM, on_term)
def sizes(top, recurse):
    out = []
    for dirpath, dirs, files in os.walk(top):
        for f in files:
            try:
                out.append(os.lstat(os.path.join(dirpath, f)).st_size)
            except OSError:  # gone between the listing and the stat
                pass
        if not recurse:
            dirs[:] = []
    return out
peak = 0
open(ready_file, "w").close()
while not stop:
    peak = max(peak, sum(sizes(tmp, True)) + sum(sizes(archive_dir, False)))
    time.sleep(0.05)
with open(peak_file, "w") as f:
    f.write(str(peak))
PY
  SAMPLER_PID=$!
  for _ in $(seq 200); do [ -e "$WORK/ready" ] && return 0; sleep 0.01; done
  echo "the disk sampler did not start" >&2; exit 1
}
PEAK=
stop_sampler() { # ARCHIVE
  kill -TERM "$SAMPLER_PID"; wait "$SAMPLER_PID" || true; SAMPLER_PID=
  PEAK=$(( $(cat "$WORK/peak") - $(stat -c %s "$1") ))
  [ "$PEAK" -ge 0 ] || PEAK=0
}
RSS=
rss_of() { RSS=$(awk -F: '/Maximum resident/ { printf "%d", ($2 + 0) / 1024 }' "$1"); }
min() { printf '%s\n' "$@" | sort -g | head -1; }
max() { printf '%s\n' "$@" | sort -g | tail -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

# Makes the save file curl moves: the save file member of a first save job's
# archive, as BENCH/SAVF.FILE on the host (the emulator keeps a save file as
# its raw bytes). The archive is also what every restore uploads.
echo "first save (untimed): the archive to restore and the save file for curl ..."
timed "$WORK/first.log" "$CLI" save "$WORK/in/BIGLIB.4ql" "${HOST[@]}" --library BIGLIB
mkdir "$WORK/root/BENCH"
SAVF_NAME=$(unzip -Z1 "$WORK/in/BIGLIB.4ql" "$SAVF_MEMBER")
unzip -p "$WORK/in/BIGLIB.4ql" "$SAVF_NAME" > "$WORK/root/BENCH/SAVF.FILE"
SAVF_BYTES=$(stat -c %s "$WORK/root/BENCH/SAVF.FILE")
[ "$SAVF_BYTES" -gt $((SIZE_MIB * 1048576)) ] || { echo "the save file member is short ($SAVF_BYTES bytes)" >&2; exit 1; }
cp "$WORK/root/BENCH/SAVF.FILE" "$WORK/curl/up.savf"

# Neither on this side nor on the host may a job leave a file behind.
left_nothing() { # JOB
  local left
  left=$(find "$WORK/tmp" "$WORK/out" "$WORK/in" -mindepth 1 ! -name BIGLIB.4ql
         find "$WORK/root" -type f ! -path "$WORK/root/BIGLIB/DATA.PGM" ! -path "$WORK/root/BENCH/SAVF.FILE")
  [ -z "$left" ] || { echo "the $1 job left files behind:" >&2; echo "$left" >&2; exit 1; }
}
# One of each: the save job, curl's download, the restore job, curl's upload;
# checked after each, outside the time. Appends to the arrays of the link.
save_job() {
  rm -f "$WORK/out/BIGLIB.4ql"
  start_sampler "$WORK/tmp" "$WORK/out"
  timed "$WORK/save.log" env TMPDIR="$WORK/tmp" /usr/bin/time -v -o "$WORK/save.time" \
    "$CLI" save "$WORK/out/BIGLIB.4ql" "${HOST[@]}" --library BIGLIB
  stop_sampler "$WORK/out/BIGLIB.4ql"
  left_nothing save
  unzip -tq "$WORK/out/BIGLIB.4ql" > /dev/null || { echo "the saved archive is damaged" >&2; exit 1; }
  [ "$(unzip -Zl "$WORK/out/BIGLIB.4ql" "$SAVF_MEMBER" | awk '{ print $4; exit }')" = "$SAVF_BYTES" ] ||
    { echo "the saved archive's save file member is not $SAVF_BYTES bytes" >&2; exit 1; }
  rss_of "$WORK/save.time"
  save_t+=("$T") save_disk+=("$PEAK") save_rss+=("$RSS")
}
restore_job() {
  rm -rf "$WORK/root/RESTLIB"
  start_sampler "$WORK/tmp" "$WORK/in"
  timed "$WORK/restore.log" env TMPDIR="$WORK/tmp" /usr/bin/time -v -o "$WORK/restore.time" \
    "$CLI" restore "$WORK/in/BIGLIB.4ql" "${HOST[@]}" --to-library RESTLIB --create-library
  stop_sampler "$WORK/in/BIGLIB.4ql"
  cmp -s "$WORK/root/BIGLIB/DATA.PGM" "$WORK/root/RESTLIB/DATA.PGM" || { echo "the restored object differs" >&2; exit 1; }
  rm -rf "$WORK/root/RESTLIB"
  left_nothing restore
  rss_of "$WORK/restore.time"
  restore_t+=("$T") restore_disk+=("$PEAK") restore_rss+=("$RSS")
}
curl_get() {
  rm -f "$WORK/curl/get.savf"
  timed "$WORK/curl.log" "${CURL[@]}" -o "$WORK/curl/get.savf" "$URL//qsys.lib/bench.lib/savf.file"
  [ "$(stat -c %s "$WORK/curl/get.savf")" = "$SAVF_BYTES" ] || { echo "curl's download is short" >&2; exit 1; }
  get_t+=("$T")
}
curl_put() {
  rm -f "$WORK/root/BENCH/UP.FILE"
  timed "$WORK/curl.log" "${CURL[@]}" -Q 'RCMD CRTSAVF BENCH/UP' -T "$WORK/curl/up.savf" "$URL//qsys.lib/bench.lib/up.file"
  [ "$(stat -c %s "$WORK/root/BENCH/UP.FILE")" = "$SAVF_BYTES" ] || { echo "curl's upload is short" >&2; exit 1; }
  rm -f "$WORK/root/BENCH/UP.FILE"
  put_t+=("$T")
}
# The tools by hand: curl's download then zip -9 of it; unzip of the archive
# then curl's upload of the save file.
by_hand() {
  rm -f "$WORK/hand/"*
  timed "$WORK/hand.log" "${CURL[@]}" -o "$WORK/hand/get.savf" "$URL//qsys.lib/bench.lib/savf.file"
  hget_t+=("$T")
  timed "$WORK/hand.log" zip -9 -q "$WORK/hand/get.zip" "$WORK/hand/get.savf"
  zip_t+=("$T")
  rm -f "$WORK/hand/"*
  timed "$WORK/hand.log" unzip -q -o "$WORK/in/BIGLIB.4ql" "$SAVF_MEMBER" -d "$WORK/hand"
  unzip_t+=("$T")
  rm -f "$WORK/root/BENCH/UP.FILE"
  timed "$WORK/hand.log" "${CURL[@]}" -Q 'RCMD CRTSAVF BENCH/UP' -T "$WORK/hand/$SAVF_NAME" "$URL//qsys.lib/bench.lib/up.file"
  hput_t+=("$T")
  rm -f "$WORK/root/BENCH/UP.FILE" "$WORK/hand/"*
}

ROWS=()
HAND=
ok=1
for rate in $RATES 0; do
  if [ "$rate" = 0 ]; then
    "${IN_NS[@]}" tc qdisc del dev lo root 2>/dev/null || true
    link=unshaped
  else
    # The burst holds a whole 64 KiB loopback packet with room to spare.
    "${IN_NS[@]}" tc qdisc replace dev lo root tbf rate "${rate}mbit" burst 256kb latency 50ms
    link=${rate}mbit
  fi
  echo "link $link ..."
  save_t=() save_disk=() save_rss=() restore_t=() restore_disk=() restore_rss=() get_t=() put_t=()
  hget_t=() zip_t=() unzip_t=() hput_t=()
  for round in $(seq "$ROUNDS"); do
    # The order flips every round, so neither side always goes first.
    if [ $((round % 2)) = 1 ]; then save_job; curl_get; restore_job; curl_put
    else curl_get; save_job; curl_put; restore_job; fi
    if [ "$rate" = 0 ]; then by_hand; fi
  done
  S=$(min "${save_t[@]}") G=$(min "${get_t[@]}") R=$(min "${restore_t[@]}") P=$(min "${put_t[@]}")
  SD=$(max "${save_disk[@]}") RD=$(max "${restore_disk[@]}")
  SR=$(max "${save_rss[@]}") RR=$(max "${restore_rss[@]}")
  RS=$(ratio "$S" "$G") RRT=$(ratio "$R" "$P")
  ROWS+=("$(printf '%-9s %8.2f %8.2f %6s %8.2f %8.2f %6s %9s %9s %5s %5s' "$link" "$S" "$G" "$RS" "$R" "$P" "$RRT" \
    "$(mib "$SD")" "$(mib "$RD")" "$SR" "$RR")")
  if [ "$rate" != 0 ]; then
    for r in "$RS" "$RRT"; do awk -v r="$r" 'BEGIN { exit !(r <= 1.15) }' || ok=0; done
  fi
  for d in "$SD" "$RD"; do [ "$d" -le $((64 * 1048576)) ] || ok=0; done
  if [ "$rate" = 0 ]; then
    HG=$(min "${hget_t[@]}") HZ=$(min "${zip_t[@]}") HU=$(min "${unzip_t[@]}") HP=$(min "${hput_t[@]}")
    HS=$(awk -v a="$HG" -v b="$HZ" 'BEGIN { printf "%.3f", a + b }')
    HR=$(awk -v a="$HU" -v b="$HP" 'BEGIN { printf "%.3f", a + b }')
    HAND=$(printf '  save     %7.2f s   curl get + zip -9 %7.2f s (%.2f + %.2f)   job/hand %s   hand/job %s\n' \
      "$S" "$HS" "$HG" "$HZ" "$(ratio "$S" "$HS")" "$(ratio "$HS" "$S")"
      printf '  restore  %7.2f s   unzip + curl put  %7.2f s (%.2f + %.2f)   job/hand %s   hand/job %s' \
      "$R" "$HR" "$HU" "$HP" "$(ratio "$R" "$HR")" "$(ratio "$HR" "$R")")
  fi
done

echo
echo "save and restore of a ${SIZE_MIB} MiB library ($FILL; save file $(mib "$SAVF_BYTES") MiB), best of $ROUNDS,"
echo "loopback in a network namespace shaped with tbf, FTP active mode; disk and RSS: the largest of the rounds"
printf '%-9s %8s %8s %6s %8s %8s %6s %9s %9s %5s %5s\n' "" save "curl get" "" restore "curl put" "" "save" "restore" save restore
printf '%-9s %8s %8s %6s %8s %8s %6s %9s %9s %5s %5s\n' link s s ratio s s ratio "disk MiB" "disk MiB" "RSS" "RSS"
printf '%s\n' "${ROWS[@]}"
echo
echo "unshaped, against the tools by hand:"
echo "$HAND"
echo
echo "goals: job/curl at most 1.15 on the shaped links, disk beyond the archive at most 64 MiB (RSS in MiB)"
[ -n "$RATES" ] || echo "(no shaped link ran: only the disk goal was checked)"
if [ $ok = 1 ]; then echo "targets met"; else echo "TARGETS MISSED"; exit 1; fi
