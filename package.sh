#!/usr/bin/env bash
# Builds the Debian package build/package/oxlume_<version>_<arch>.deb from the build tree:
# only the programs and the installed data are built, then CPack strips, computes Depends
# with dpkg-shlibdeps and packs. Install it with: sudo apt install ./build/package/oxlume_*.deb
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh --package
build_dir=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -G Ninja ${OXLUME_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" --target oxlume oxlume-convert oxlume_data -j"$(nproc)"
rm -f "$build_dir"/package/oxlume_*.deb
(cd "$build_dir" && cpack -G DEB)
deb=$(ls "$build_dir"/package/oxlume_*.deb)
# Errors fail the build; warnings and notes are shown.
lintian --fail-on error "$deb"
echo "$deb"
