#!/usr/bin/env bash
# Installs what is missing, builds the viewer alone (no tests, no tools), and starts it on the
# paths given, or on samples/ without any.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# Paths are relative to where run.sh was called from, not to the clone.
args=()
for arg in "$@"; do
  case $arg in
    -*|/*) args+=("$arg") ;;
    *) args+=("$PWD/$arg") ;;
  esac
done
[ ${#args[@]} -gt 0 ] || args=("$here/samples")
cd "$here"
./scripts/install-deps.sh
build_dir=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -G Ninja ${OXLUME_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" --target oxlume -j"$(nproc)"
exec "$build_dir/src/app/oxlume" "${args[@]}"
