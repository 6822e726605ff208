#!/usr/bin/env bash
# Sets up, builds and runs Quellon's main job against the bundled host emulator.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
if [ -x scripts/demo.sh ]; then
  exec scripts/demo.sh "$BUILD_DIR"
fi
# Until the jobs run end to end, show the wizard.
if [ -n "${DISPLAY:-}" ]; then
  exec "$BUILD_DIR/quellon" /zip
fi
exec xvfb-run -a "$BUILD_DIR/quellon" /zip
