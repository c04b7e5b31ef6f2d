#!/usr/bin/env bash
# Installs what is missing (the test tools included), builds, and runs every test. Extra
# arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")"
./build.sh --test
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j"$(nproc)" "$@"
