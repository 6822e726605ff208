#!/usr/bin/env bash
# A nightly save of 16 hosts with Ansible's forks against the same 16 saves
# one after another. 16 emulated hosts on loopback, each with library BIGLIB
# holding one SIZE object that does not compress, each behind a link of RATE
# bytes a second (quellon-hostsim --transfer-rate; default 12500000, a
# 100 Mbit/s line to a remote partition; 0 for no limit): first a shell loop
# of 16 quellon-cli saves, then the collection's nightly_save playbook with
# --forks FORKS over the same hosts. Prints both wall times and their ratio;
# the playbook's start-up and its per-task Python count against it.
#
#   bench/ansible-forks.sh [SIZE] [RATE] [FORKS] [BUILD_DIR]    (defaults: 16M, 12500000, 16, build)
#
# With RATE 0 the emulators' work, the downloads and the zipping all land on
# this machine's cores, which the sequential saves already keep busy: the
# ratio then shows what forks cost, not what they give.
set -euo pipefail
cd "$(dirname "$0")/.."
SIZE=${1:-16M}
RATE=${2:-12500000}
FORKS=${3:-16}
BUILD=$PWD/${4:-build}
HOSTS=16
[ -x "$BUILD/quellon-cli" ] && [ -x "$BUILD/quellon-hostsim" ] || { echo "build quellon-cli and quellon-hostsim first" >&2; exit 2; }
command -v ansible-playbook >/dev/null || { echo "ansible-playbook is needed (ansible-core)" >&2; exit 2; }

WORK=$(cd "$(mktemp -d "${TMPDIR:-/tmp}/quellon-ansiblebench-XXXXXX")" && pwd -P)
PW=bench
. tests/ansible/emulated-hosts.sh
trap 'stop_hosts; rm -rf "$WORK"' EXIT
cd "$WORK"

echo "starting $HOSTS emulated hosts, each seeding BIGLIB with a $SIZE object ..."
LINK=()
[ "$RATE" != 0 ] && LINK=(--transfer-rate "$RATE")
for i in $(seq "$HOSTS"); do start_host "ibmi$i" --seed-object "BIGLIB/DATA.PGM=$SIZE,generated" "${LINK[@]}"; done
write_inventory

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

mkdir -p sequential
export BENCH_PW=$PW
port_of() { sed -n "s/^    $1: {ansible_host: 127.0.0.1, quellon_port: \([0-9]*\)}\$/\1/p" inventory.yml; }

sync
t0=$(now)
for i in $(seq "$HOSTS"); do
  quellon-cli save "sequential/ibmi$i.4ql" --host 127.0.0.1 --port "$(port_of "ibmi$i")" --user JOE \
    --password-env BENCH_PW --library BIGLIB >/dev/null 2>"sequential.err" || { cat sequential.err >&2; exit 1; }
done
t1=$(now)
rm -rf sequential

sync
t2=$(now)
ansible-playbook -i inventory.yml --forks "$FORKS" quellon.ibmi.nightly_save -e quellon_backup_dir="$WORK/backups" \
  -e '{"quellon_libraries": ["BIGLIB"]}' -e quellon_keep=1 >playbook.out 2>&1 || { tail -40 playbook.out >&2; exit 1; }
t3=$(now)
saved=$(find backups -name 'BIGLIB-*.4ql' | wc -l)
[ "$saved" -eq "$HOSTS" ] || { echo "the playbook wrote $saved archives, not $HOSTS" >&2; exit 1; }

seq_s=$(elapsed "$t0" "$t1")
play_s=$(elapsed "$t2" "$t3")
echo "$HOSTS saves of a $SIZE library (link: ${RATE/#0/unlimited} bytes/s), one after another: ${seq_s} s"
echo "the same with ansible-playbook nightly_save --forks $FORKS:                  ${play_s} s"
awk -v a="$seq_s" -v b="$play_s" -v n="$(nproc)" \
  'BEGIN { printf "forks speed-up: %.2fx on %d cores (goal 1.6x)\n", a / b, n }'
