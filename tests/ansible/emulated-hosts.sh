# Emulated IBM i hosts on loopback for ansible-playbook, and the Ansible
# environment that finds the collection in the source tree. Sourced by the
# tests in this folder and by bench/ansible-forks.sh; the caller sets BUILD
# (the build folder), WORK (a scratch folder), PW (the hosts' password) and
# traps EXIT to stop_hosts.
#
#   start_host NAME [quellon-hostsim options...]   one host, added to $WORK/inventory.yml
#   write_inventory                                 the group ibmi with user and password
#   stop_hosts                                      ends the hosts this shell started

SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
HOST_PIDS=()
HOST_LINES=()

start_host() {
  local name=$1
  shift
  mkdir -p "$WORK/$name"
  : >"$WORK/$name/host.out"
  QUELLON_TEST_PW=$PW "$BUILD/quellon-hostsim" --listen 127.0.0.1:0 --root "$WORK/$name/root" \
    --user JOE --password-env QUELLON_TEST_PW --log "$WORK/$name/host.log" "$@" \
    >>"$WORK/$name/host.out" 2>&1 &
  HOST_PIDS+=($!)
  local port=
  for _ in $(seq 200); do
    port=$(sed -n 's/^quellon-hostsim listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$WORK/$name/host.out")
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { cat "$WORK/$name/host.out" >&2; echo "quellon-hostsim $name did not start" >&2; return 1; }
  HOST_LINES+=("    $name: {ansible_host: 127.0.0.1, quellon_port: $port}")
}

write_inventory() {
  {
    echo "ibmi:"
    echo "  hosts:"
    printf '%s\n' "${HOST_LINES[@]}"
    echo "  vars:"
    echo "    quellon_user: JOE"
    echo "    quellon_password: '$PW'"
  } >"$WORK/inventory.yml"
}

stop_hosts() {
  local p
  for p in "${HOST_PIDS[@]}"; do
    kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  HOST_PIDS=()
}

# The collection from the source tree, quellon-cli from the build, and
# nothing of the operator's own Ansible settings or home.
mkdir -p "$WORK/collections/ansible_collections/quellon" "$WORK/home"
ln -sfn "$SRC/ansible" "$WORK/collections/ansible_collections/quellon/ibmi"
export ANSIBLE_COLLECTIONS_PATH=$WORK/collections
export ANSIBLE_CONFIG=$WORK/no-ansible.cfg
export HOME=$WORK/home ANSIBLE_LOCAL_TEMP=$WORK/home/.ansible/tmp
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOG_PATH=$WORK/ansible.log
export PATH=$BUILD:$PATH
