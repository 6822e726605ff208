#!/usr/bin/env bash
# The collection as an operator runs it: Debian's ansible-playbook runs the
# collection's nightly_save playbook with forks 4 against four emulated hosts
# on loopback, the fourth refusing its SAVLIB. Three archives are written and
# restore on their hosts, the fourth host fails with the host's reason, old
# archives past quellon_keep go only where the save succeeded, check mode
# sends nothing and deletes nothing, an encrypted archive makes the round
# trip with its password, and no password shows anywhere.
#   tests/ansible/playbook-test.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "${1:?usage: playbook-test.sh BUILD_DIR}" && pwd)
command -v ansible-playbook >/dev/null || { echo "FAIL: no ansible-playbook (scripts/install-deps.sh installs ansible-core)" >&2; exit 1; }
WORK=$(cd "$(mktemp -d "${TMPDIR:-/tmp}/quellon-ansible.XXXXXX")" && pwd -P)
PW='Pw-9f3k-nightly'
. "$(dirname "$0")/emulated-hosts.sh"
trap 'stop_hosts; rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$WORK"

for i in 1 2 3; do start_host "ibmi$i" --seed-library DEMOLIB; done
start_host ibmi4 --seed-library DEMOLIB --fail '^SAVLIB' --fail-message 'CPF2182 Not authorized to library DEMOLIB.'
write_inventory

# Three archives of earlier nights on a host that saves and on the one that fails.
for h in ibmi1 ibmi4; do
  mkdir -p "backups/$h"
  for d in 01 02 03; do
    echo "night $d" >"backups/$h/DEMOLIB-2026-11-$d.4ql"
    touch -d "2026-11-$d 01:30" "backups/$h/DEMOLIB-2026-11-$d.4ql"
  done
done
snapshot() { find backups -type f | sort; }

play() { # OUT PLAYBOOK ARGS...
  local out=$1 book=$2
  shift 2
  set +e
  ansible-playbook -i inventory.yml --forks 4 "$book" -e backup_dir="$WORK/backups" \
    -e quellon_backup_dir="$WORK/backups" -e '{"quellon_libraries": ["demolib"]}' -e quellon_keep=2 \
    "$@" >"$out" 2>&1
  RC=$?
  set -e
}
recap() { grep -E "^$1 +:" "$2" || fail "no recap line for $1 in $2: $(tail -20 "$2")"; }

# Check mode: nothing sent to any host, nothing written or removed.
before=$(snapshot)
play check.out quellon.ibmi.nightly_save --check -v
[ "$RC" -eq 0 ] || fail "check mode ended with $RC: $(tail -30 check.out)"
grep -q '"msg": "would save DEMOLIB from 127.0.0.1 into' check.out || fail "check mode does not say what it would save"
for i in 1 2 3 4; do
  [ ! -s "ibmi$i/host.log" ] || fail "check mode sent to ibmi$i: $(head -3 "ibmi$i/host.log")"
done
[ "$(snapshot)" = "$before" ] || fail "check mode changed the backups: $(snapshot)"

# The night itself.
play run.out quellon.ibmi.nightly_save -vvv
[ "$RC" -eq 2 ] || fail "ansible-playbook ended with $RC, not 2 for a failed host: $(tail -30 run.out)"
for i in 1 2 3; do
  recap "ibmi$i" run.out | grep -q "failed=0" || fail "ibmi$i failed: $(recap "ibmi$i" run.out)"
done
recap ibmi4 run.out | grep -q "failed=1" || fail "ibmi4 not failed: $(recap ibmi4 run.out)"
sed -n '/^failed: \[ibmi4 -> localhost\] (item=demolib)/,/^}/p' run.out >ibmi4.failure
grep -q '"msg": "save of DEMOLIB from 127.0.0.1 failed.*CPF2182 Not authorized to library DEMOLIB' ibmi4.failure \
  || fail "the failed host's reason is not in the output: $(grep -A30 '^failed' run.out)"
grep -q '"job_log": \[' ibmi4.failure || fail "the failed host's job log is not in the output"
new=$(cd backups/ibmi2 && ls DEMOLIB-*.4ql)
for i in 1 2 3; do
  [ -f "backups/ibmi$i/$new" ] || fail "no archive from ibmi$i: $(ls "backups/ibmi$i")"
  unzip -tq "backups/ibmi$i/$new" >/dev/null || fail "backups/ibmi$i/$new is not a sound zip"
done
# Newest two kept where the save succeeded; all kept where it failed.
[ "$(ls backups/ibmi1)" = "$(printf 'DEMOLIB-2026-11-03.4ql\n%s' "$new")" ] || fail "ibmi1 keeps: $(ls backups/ibmi1)"
[ "$(ls backups/ibmi4 | wc -l)" -eq 3 ] || fail "the failed host lost archives: $(ls backups/ibmi4)"

# Restorable: check mode sends nothing, then each archive goes back to its host.
sizes=$(wc -c ibmi*/host.log)
play restore-check.out "$SRC/tests/ansible/restore-saved.yml" --limit 'ibmi:!ibmi4' -e archive_name="$new" --check
[ "$RC" -eq 0 ] || fail "restore in check mode ended with $RC: $(tail -30 restore-check.out)"
[ "$(wc -c ibmi*/host.log)" = "$sizes" ] || fail "restore in check mode sent to a host"
play restore.out "$SRC/tests/ansible/restore-saved.yml" --limit 'ibmi:!ibmi4' -e archive_name="$new"
[ "$RC" -eq 0 ] || fail "restore ended with $RC: $(tail -30 restore.out)"
for i in 1 2 3; do
  for obj in "ibmi$i"/root/DEMOLIB/*; do
    cmp -s "$obj" "ibmi$i/root/DEMOCOPY/$(basename "$obj")" || fail "ibmi$i: $(basename "$obj") not restored as saved"
  done
done

# Encrypted: saved, read and restored with the archive's password; the wrong
# one fails before sign-on.
APW='Apw-71q-vault'
log_before=$(wc -c <ibmi1/host.log)
play enc.out "$SRC/tests/ansible/encrypted.yml" --limit ibmi1 -e archive_password="$APW" -vvv
[ "$RC" -eq 0 ] || fail "the encrypted round trip ended with $RC: $(tail -30 enc.out)"
grep -q 'wrong password' enc.out || fail "the wrong archive password is not named: $(grep -A5 'wrong password' enc.out)"
unzip -Z1 backups/ibmi1/SECRET.4ql >/dev/null && ! unzip -tqP '' backups/ibmi1/SECRET.4ql >/dev/null 2>&1 \
  || fail "SECRET.4ql is not an encrypted zip"
for obj in ibmi1/root/DEMOLIB/*; do
  cmp -s "$obj" "ibmi1/root/ENCCOPY/$(basename "$obj")" || fail "encrypted: $(basename "$obj") not restored as saved"
done
[ "$(wc -c <ibmi1/host.log)" -gt "$log_before" ] || fail "the encrypted round trip sent nothing"

# The passwords: not in any output, Ansible's log or the hosts' logs.
[ -s ansible.log ] || fail "no Ansible log written"
if grep -lF -e "$PW" -e "$APW" check.out run.out restore-check.out restore.out enc.out ansible.log ibmi*/host.log; then
  fail "a password shows in the files above"
fi
echo "PASS"
