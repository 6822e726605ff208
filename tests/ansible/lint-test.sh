#!/usr/bin/env bash
# The collection passes Debian's ansible-lint at its strictest profile,
# offline, and ansible-doc shows every module's documentation.
#   tests/ansible/lint-test.sh
set -euo pipefail
SRC=$(cd "$(dirname "$0")/../.." && pwd)
for tool in ansible-lint ansible-doc; do
  command -v "$tool" >/dev/null || { echo "FAIL: no $tool (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
WORK=$(cd "$(mktemp -d "${TMPDIR:-/tmp}/quellon-ansible-lint.XXXXXX")" && pwd -P)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

want=$(sed -n 's/^project(Quellon VERSION \([0-9.]*\).*/\1/p' "$SRC/CMakeLists.txt")
grep -qx "version: $want" "$SRC/ansible/galaxy.yml" || fail "ansible/galaxy.yml's version is not the package's $want"

# ansible-lint wants a real ansible_collections/NAMESPACE/NAME folder, not a link.
COLL=$WORK/ansible_collections/quellon/ibmi
mkdir -p "$(dirname "$COLL")" "$WORK/home"
cp -r "$SRC/ansible" "$COLL"
export HOME=$WORK/home ANSIBLE_COLLECTIONS_PATH=$WORK ANSIBLE_CONFIG=$WORK/no-ansible.cfg NO_COLOR=1

(cd "$COLL" && ansible-lint --offline --nocolor --profile production) >"$WORK/lint.out" 2>&1 \
  || { cat "$WORK/lint.out"; fail "ansible-lint"; }
grep -q "^Passed with production profile: 0 failure(s), 0 warning(s)" "$WORK/lint.out" \
  || { cat "$WORK/lint.out"; fail "ansible-lint did not pass cleanly"; }

ansible-doc -l quellon.ibmi >"$WORK/list" 2>&1 || { cat "$WORK/list"; fail "ansible-doc -l"; }
for m in save restore info; do
  grep -q "^quellon.ibmi.$m " "$WORK/list" || fail "ansible-doc -l does not list $m: $(cat "$WORK/list")"
  ansible-doc "quellon.ibmi.$m" >"$WORK/$m.doc" 2>&1 || { cat "$WORK/$m.doc"; fail "ansible-doc quellon.ibmi.$m"; }
  grep -q "^= archive" "$WORK/$m.doc" || fail "ansible-doc quellon.ibmi.$m shows no options: $(head "$WORK/$m.doc")"
  grep -q "^RETURN VALUES:" "$WORK/$m.doc" || fail "ansible-doc quellon.ibmi.$m shows no return values"
done
echo "PASS"
