#!/usr/bin/env bash
# Builds the Debian package build/package/oxlume_<version>_<arch>.deb: the programs and the
# installed data are built in a tree of their own (build/deb) with Debian's compiler and
# linker flags (dpkg-buildflags: fortify, stack protector, relro, bind now), then CPack
# strips, computes Depends with dpkg-shlibdeps and packs. Install it with:
#   sudo apt install ./build/package/oxlume_*.deb
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh --package
build_dir=${BUILD_DIR:-build}
deb_dir=$build_dir/deb
export DEB_BUILD_MAINT_OPTIONS=${DEB_BUILD_MAINT_OPTIONS:-hardening=+all}
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cflags="$(dpkg-buildflags --get CFLAGS) $cppflags"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
ldflags=$(dpkg-buildflags --get LDFLAGS)
# Build type None: the flags above are all there is, as in Debian's own builds.
# shellcheck disable=SC2086
cmake -S . -B "$deb_dir" -G Ninja -DCMAKE_BUILD_TYPE=None \
    -DOXLUME_BUILD_TESTS=OFF -DOXLUME_BUILD_BENCH=OFF \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
    ${OXLUME_CMAKE_ARGS:-} >/dev/null
cmake --build "$deb_dir" --target oxlume oxlume-convert oxlume_data -j"$(nproc)"
rm -f "$deb_dir"/package/oxlume_*.deb "$build_dir"/package/oxlume_*.deb
(cd "$deb_dir" && cpack -G DEB)
mkdir -p "$build_dir/package"
cp "$deb_dir"/package/oxlume_*.deb "$build_dir/package/"
deb=$(ls "$build_dir"/package/oxlume_*.deb)
# Errors fail the build; warnings and notes are shown.
lintian --fail-on error "$deb"
echo "$deb"
