#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")"
./build.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j"$(nproc)" "$@"
