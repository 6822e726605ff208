#!/usr/bin/env bash
# Pictures of the running wizard, driven by the keyboard under Xvfb, for
# docs/screenshots: a save and a restore whose host step fails (the job log
# viewer, then the last page that says so with the host's reasons), Advanced
# opened with Alt+A, a host whose certificate changed, and a foreign file
# refused on the file page. Needs xvfb-run, xdotool, ImageMagick's import,
# zip and openssl.
#   tests/app/xvfb-shots.sh BUILD_DIR OUTPUT_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
if [ -z "${QUELLON_SHOTS_INNER:-}" ]; then
  exec env QUELLON_SHOTS_INNER=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build" "$out"
fi

scratch=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$scratch"' EXIT
# Nothing of the operator's: settings, home and temporary files are scratch.
export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/config TMPDIR=$scratch/tmp
mkdir -p "$HOME" "$XDG_CONFIG_HOME/Tamsholt" "$TMPDIR" "$scratch/host/MYLIB" "$scratch/files"
printf 'hello' > "$scratch/host/MYLIB/HELLO.PGM"

"$build/quellon-hostsim" --listen 127.0.0.1:0 --root "$scratch/host" --user JOE --password secret \
  --fail '^RSTLIB' > "$scratch/host.out" &
for _ in $(seq 100); do grep -q listening "$scratch/host.out" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$scratch/host.out")

cat > "$XDG_CONFIG_HOME/Tamsholt/Quellon.conf" <<EOF
[Hosts]
000000000\\ServerName=127.0.0.1
000000000\\Port=$port
000000000\\Proxy=
000000000\\ProxyPort=0
000000000\\UserProfile=JOE
LastHostUsed=000000000
EOF

# Waits (bounded) for a visible window whose title matches, focuses it.
focus() {
  local id=""
  for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -1) && [ -n "$id" ] && break
    sleep 0.1
  done
  [ -n "$id" ] || { echo "no window '$1'" >&2; exit 1; }
  xdotool windowfocus --sync "$id"
  win=$id
  sleep 0.3
}
key() { xdotool key --delay 120 "$@"; sleep 0.4; }
# The focused window alone, as the operator sees it.
shot() { sleep 0.8; import -window "$win" "$out/$1"; echo "$1"; }
# The screen around the main window, with the box that stands over it.
shot_over_wizard() {
  sleep 0.8
  local main
  main=$(xdotool search --onlyvisible --name "Quellon for iSeries" | head -1)
  eval "$(xdotool getwindowgeometry --shell "$main")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out/$1"
  echo "$1"
}

# ---- a save of a library the host does not have
"$build/quellon" /zip & wizard=$!
focus "Quellon for iSeries"
key Return                                   # start page
xdotool type --delay 60 NOSUCH; key Return  # library; the save dialog opens
sleep 1
xdotool key ctrl+a; xdotool type --delay 30 "$scratch/files/NOSUCH.4ql"; key Return
focus "Quellon for iSeries"
key Return                                   # destination
key Return                                   # restore behaviour
key alt+a                                    # Advanced, from the host name field
focus "Advanced server configuration"
shot save-advanced-alt-a.png
key Escape
focus "Quellon for iSeries"
key Tab Tab; xdotool type --delay 60 secret; key Return   # host page
key Return                                   # OK
focus "Display job log"
shot save-failure-1-joblog.png
key Escape                                   # closed: the job goes on, as Ignore
focus "Quellon for iSeries"
shot save-failure-2-done.png
key Return                                   # Close
wait "$wizard"

# ---- a restore whose RSTLIB fails
QPW=secret "$build/quellon-cli" save "$scratch/files/MYLIB.4ql" --host 127.0.0.1 --port "$port" --user JOE \
  --password-env QPW --library MYLIB --default-host 127.0.0.1 --default-user JOE > /dev/null
"$build/quellon" "$scratch/files/MYLIB.4ql" & wizard=$!
focus "Quellon for iSeries"
key Return Return Return                     # start, file, library
key Tab Tab; xdotool type --delay 60 secret; key Return
key Return                                   # OK
focus "Display job log"
key Escape                                   # closed: the job goes on, as Ignore
focus "MYLIB from"
shot restore-failure-done.png
key Return
wait "$wizard"

# ---- a host whose TLS certificate is not the one accepted for it
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=as400 -days 2 -keyout "$scratch/key.pem" \
  -out "$scratch/cert.pem" 2>/dev/null
"$build/quellon-hostsim" --listen 127.0.0.1:0 --root "$scratch/host" --user JOE --password secret \
  --tls-cert "$scratch/cert.pem" --tls-key "$scratch/key.pem" > "$scratch/tls.out" &
for _ in $(seq 100); do grep -q listening "$scratch/tls.out" && break; sleep 0.1; done
tls_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$scratch/tls.out")
accepted=3A:F1:07:9C:55:20:8B:E4:1D:6F:C2:90:AA:13:5E:77:08:B9:4C:D2:E6:31:7F:A0:52:9D:C8:16:EB:44:0F:63
cat > "$XDG_CONFIG_HOME/Tamsholt/Quellon.conf" <<EOF
[Hosts]
000000000\\ServerName=127.0.0.1
000000000\\Port=$tls_port
000000000\\Proxy=
000000000\\ProxyPort=0
000000000\\UserProfile=JOE
000000000\\Security=1
000000000\\TlsFingerprint=$accepted
LastHostUsed=000000000
EOF
"$build/quellon" /zip & wizard=$!
focus "Quellon for iSeries"
key Return
xdotool type --delay 60 MYLIB; key Return
sleep 1
xdotool key ctrl+a; xdotool type --delay 30 "$scratch/files/TLS.4ql"; key Return
focus "Quellon for iSeries"
key Return Return
key Tab Tab; xdotool type --delay 60 secret; key Return
key Return                                   # OK: refused before signing on
focus "^Quellon$"
shot_over_wizard save-certificate-changed.png
key Return
focus "Quellon for iSeries"
shot save-certificate-changed-list.png
key Escape
focus "Qln0004"
key Return
wait "$wizard"

# ---- a zip archive that Quellon did not make
printf 'not a save file\n' > "$scratch/files/readme.txt"
(cd "$scratch/files" && zip -q -j holiday.4ql readme.txt)
"$build/quellon" "$scratch/files/holiday.4ql" & wizard=$!
focus "Quellon for iSeries"
key Return Return                            # start, file
focus "Qln0010"
shot_over_wizard restore-refused-foreign-file.png
key Return                                   # OK: back on the file page
focus "Quellon for iSeries"
key Escape
focus "Qln0004"
key Return                                   # Yes, leave
wait "$wizard"
