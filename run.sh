#!/usr/bin/env bash
# Installs what is missing, builds, and starts the viewer on the path given (or samples/).
set -euo pipefail
cd "$(dirname "$0")"
./build.sh
target=${1:-samples}
exec ./build/src/app/oxlume "$target"
