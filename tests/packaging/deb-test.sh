#!/usr/bin/env bash
# Builds the .deb from a finished build, unpacks it into a throw-away root with
# dpkg -x and runs the programs from there, as a fresh machine would.
#   tests/packaging/deb-test.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "${1:?usage: deb-test.sh BUILD_DIR}" && pwd)
WORK=$(cd "$(mktemp -d "${TMPDIR:-/tmp}/quellon-deb.XXXXXX")" && pwd -P)
HOSTSIM_PID=
cleanup() {
  if [ -n "$HOSTSIM_PID" ]; then kill "$HOSTSIM_PID" 2>/dev/null || true; wait "$HOSTSIM_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "--- $*"; }

# Never the real user's settings.
export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/home/.config XDG_DATA_HOME=$WORK/home/.local/share
mkdir -p "$HOME"

step "cpack"
(cd "$BUILD" && cpack -G DEB -B "$WORK/pkg" >"$WORK/cpack.log" 2>&1) || { cat "$WORK/cpack.log"; fail "cpack"; }
DEB=$(ls "$WORK"/pkg/quellon_*.deb 2>/dev/null | head -1)
[ -f "$DEB" ] || { cat "$WORK/cpack.log"; fail "no quellon_*.deb made"; }
echo "$(basename "$DEB"): $(stat -c %s "$DEB") bytes"

step "control"
dpkg-deb -f "$DEB" Package Version Architecture Depends
DEPENDS=$(dpkg-deb -f "$DEB" Depends)
for lib in libqt6widgets6 libqt6core6 zlib1g libc6 libbz2-1.0 liblzma5 libzstd1; do
  grep -q "$lib" <<<"$DEPENDS" || fail "Depends lacks $lib: $DEPENDS"
done

dpkg-deb -f "$DEB" Recommends | grep -q "fonts-urw-base35" || fail "the fonts metafile posters need are not declared"

step "contents"
dpkg-deb -c "$DEB" >"$WORK/contents"
for f in ./usr/bin/quellon ./usr/bin/quellon-cli ./usr/bin/quellon-hostsim \
         ./usr/lib/quellon/libzipdll.so ./usr/lib/quellon/libunzdll.so \
         ./usr/share/quellon/tgtrls.txt ./usr/share/quellon/QuellonSplash.bmp \
         ./usr/lib/quellon/tgtrls.txt \
         ./usr/share/applications/quellon.desktop ./usr/share/mime/packages/quellon.xml \
         ./usr/share/icons/hicolor/48x48/apps/quellon.png \
         ./usr/share/man/man1/quellon.1.gz ./usr/share/man/man1/quellon-cli.1.gz \
         ./usr/share/man/man1/quellon-hostsim.1.gz; do
  grep -q " $f\( ->.*\)\?\$" "$WORK/contents" || fail "package lacks $f"
done
if [ -f "$BUILD/ZipSFX.bin" ]; then
  grep -q " ./usr/lib/quellon/ZipSFX.bin\$" "$WORK/contents" || fail "package lacks ZipSFX.bin"
fi
if grep -q "$BUILD" "$WORK/contents"; then fail "build paths in the package"; fi

step "dpkg -x"
ROOT=$WORK/root
dpkg -x "$DEB" "$ROOT"
BIN=$ROOT/usr/bin
# Nothing of the build tree may be found by accident.
cd "$WORK"
export LD_LIBRARY_PATH=

step "quellon-cli --help"
"$BIN/quellon-cli" --help >"$WORK/out" || fail "quellon-cli --help"
grep -q "Usage: quellon-cli" "$WORK/out" || fail "quellon-cli --help says: $(cat "$WORK/out")"

step "quellon-hostsim --help"
# Outputs go to a file before grep -q reads them: under pipefail a reader that
# stops at the first match can kill the writer with SIGPIPE and fail the step.
"$BIN/quellon-hostsim" --help >"$WORK/out" || fail "quellon-hostsim --help"
grep -q "Usage: quellon-hostsim" "$WORK/out" || fail "quellon-hostsim --help says: $(cat "$WORK/out")"

step "zip libraries from the package"
mkdir -p "$WORK/files" && printf 'hello from the package test\n' >"$WORK/files/hello.txt"
(cd "$WORK/files" && zip -q "$WORK/peer.zip" hello.txt)
"$BIN/quellon-cli" zip list "$WORK/peer.zip" >"$WORK/out" || fail "zip list of an archive made by zip"
grep -q "hello.txt" "$WORK/out" || fail "zip list of an archive made by zip says: $(cat "$WORK/out")"
LD_DEBUG=files LD_DEBUG_OUTPUT=$WORK/lddebug "$BIN/quellon-cli" zip extract "$WORK/peer.zip" -d "$WORK/out-dir" \
  >/dev/null || fail "zip extract"
cmp -s "$WORK/files/hello.txt" "$WORK/out-dir/hello.txt" || fail "extracted file differs"
grep -hq "file=$ROOT/usr/lib/quellon/libunzdll.so" "$WORK"/lddebug.* || fail "libunzdll.so not loaded from the package"
"$BIN/quellon-cli" zip add "$WORK/ours.4ql" "$WORK/files/hello.txt" >/dev/null || fail "zip add"
unzip -tq "$WORK/ours.4ql" >/dev/null || fail "unzip -t on an archive the package made"

step "installed emulator and FTP client"
PW=secret "$BIN/quellon-hostsim" --listen 127.0.0.1:0 --root "$WORK/host" --user JOE --password-env PW \
  --seed-library DEMOLIB >"$WORK/hostsim.out" 2>&1 &
HOSTSIM_PID=$!
for _ in $(seq 100); do grep -q listening "$WORK/hostsim.out" && break; sleep 0.1; done
PORT=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$WORK/hostsim.out")
[ -n "$PORT" ] || fail "quellon-hostsim did not start: $(cat "$WORK/hostsim.out")"
PW=secret "$BIN/quellon-cli" ftp --host 127.0.0.1 --port "$PORT" --user JOE --password-env PW \
  quote "RCMD CRTSAVF QTEMP/SAVF" >/dev/null 2>&1 || fail "ftp quote against the installed emulator"

step "quellon-cli save, info and restore"
if "$BIN/quellon-cli" info --help >/dev/null 2>&1; then
  export PW=secret
  CONN=(--host 127.0.0.1 --port "$PORT" --user JOE --password-env PW)
  "$BIN/quellon-cli" save DEMOLIB.4ql "${CONN[@]}" --library DEMOLIB >"$WORK/save.out" 2>&1 \
    || { cat "$WORK/save.out"; fail "save with the installed programs"; }
  "$BIN/quellon-cli" info DEMOLIB.4ql >"$WORK/info.out" 2>&1 || { cat "$WORK/info.out"; fail "info"; }
  grep -q "DEMOLIB" "$WORK/info.out" || fail "info does not name the library: $(cat "$WORK/info.out")"
  grep -q "zipInfo.4qi" "$WORK/info.out" || fail "info does not list the members: $(cat "$WORK/info.out")"
  unzip -tq DEMOLIB.4ql >/dev/null || fail "unzip -t on the saved archive"
  "$BIN/quellon-cli" restore DEMOLIB.4ql "${CONN[@]}" --to-library DEMOCOPY --create-library \
    >"$WORK/restore.out" 2>&1 || { cat "$WORK/restore.out"; fail "restore"; }
  cmp -s "$WORK/host/DEMOLIB/HELLO.PGM" "$WORK/host/DEMOCOPY/HELLO.PGM" || fail "restored object differs"
  unset PW
else
  echo "(this build has no save, restore and info yet)"
fi

if command -v update-mime-database >/dev/null; then
  step "file types"
  update-mime-database "$ROOT/usr/share/mime" 2>"$WORK/mime.err" || { cat "$WORK/mime.err"; fail "update-mime-database"; }
  grep -q "application/x-quellon-archive:\*.4ql" "$ROOT/usr/share/mime/globs2" || fail ".4ql not registered"
  grep -q "application/x-ibmi-savefile:\*.savf" "$ROOT/usr/share/mime/globs2" || fail ".savf not registered"
  grep -q "application/x-quellon-archive application/zip" "$ROOT/usr/share/mime/subclasses" \
    || fail ".4ql is not a kind of zip"
fi
grep -q "^Exec=quellon %f$" "$ROOT/usr/share/applications/quellon.desktop" || fail "desktop entry does not pass the file"
grep -q "^MimeType=.*application/x-quellon-archive;" "$ROOT/usr/share/applications/quellon.desktop" \
  || fail "desktop entry does not open .4ql"

step "wizard without a graphical session"
set +e
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$BIN/quellon" /zip >"$WORK/nodisplay.out" 2>&1
rc=$?
set -e
[ $rc -eq 1 ] || fail "quellon without a display ended with status $rc: $(cat "$WORK/nodisplay.out")"
[ "$(wc -l <"$WORK/nodisplay.out")" -eq 1 ] && grep -q "graphical session.*quellon-cli" "$WORK/nodisplay.out" \
  || fail "quellon without a display says: $(cat "$WORK/nodisplay.out")"

step "wizard, headless"
# It must start and keep running until the timeout ends it (status 124).
export QT_QPA_PLATFORM=offscreen
set +e
LD_DEBUG=files LD_DEBUG_OUTPUT=$WORK/wizard timeout 5 "$BIN/quellon" /zip >"$WORK/wizard.out" 2>&1
rc=$?
set -e
[ $rc -eq 124 ] || { cat "$WORK/wizard.out"; fail "quellon /zip ended with status $rc instead of running"; }
# The wizard loads both zip libraries at start, from the package and nowhere else.
for lib in libzipdll.so libunzdll.so; do
  grep -hq "file=$ROOT/usr/lib/quellon/$lib" "$WORK"/wizard.* || fail "wizard did not load $lib from the package"
done
if grep -ho "file=[^ ]*lib\(zip\|unz\)dll.so" "$WORK"/wizard.* | grep -v "file=$ROOT/usr/lib/quellon/"; then
  fail "wizard loaded a zip library from outside the package"
fi
# Where the tracer works, also see that the start page read its pictures from the package.
if command -v strace >/dev/null && strace -o /dev/null true 2>/dev/null; then
  set +e
  strace -f -e trace=openat -o "$WORK/strace" timeout 5 "$BIN/quellon" /zip >/dev/null 2>&1
  set -e
  grep -F "$ROOT/usr/lib/quellon/QuellonSplash.bmp" "$WORK/strace" >"$WORK/splash-opens" || true
  grep -qv ENOENT "$WORK/splash-opens" \
    || fail "wizard did not open QuellonSplash.bmp from the package"
fi
echo "PASS"
