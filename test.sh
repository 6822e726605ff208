#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole suite. The build is made
# from nothing when build/ does not exist (a fresh clone), and brought up to
# date otherwise.
#   ./test.sh              normal build in build/
#   ./test.sh --sanitize   ASan+UBSan build in build-asan/
#   ./test.sh -L unit      extra arguments go to ctest
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

CMAKE_ARGS=()
if [ "${1:-}" = "--sanitize" ]; then
  shift
  export BUILD_DIR=${BUILD_DIR:-build-asan}
  CMAKE_ARGS+=(-DQUELLON_SANITIZE=ON)
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
fi
BUILD_DIR=${BUILD_DIR:-build}
scripts/build.sh "${CMAKE_ARGS[@]}"
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)" "$@"
