#!/usr/bin/env bash
# Sets up, builds and runs Quellon's main job against the bundled host emulator.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
exec scripts/demo.sh "$BUILD_DIR"
