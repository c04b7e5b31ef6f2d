#!/usr/bin/env bash
# Configures and builds everything (viewer, tools, tests, benchmarks) into build/ (or
# $BUILD_DIR). $OXLUME_CMAKE_ARGS, if set, goes to CMake's configure step (CI uses it for the
# sanitizer builds). Extra arguments go to scripts/install-deps.sh (for example --test).
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh "$@"
build_dir=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -G Ninja ${OXLUME_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
