#!/usr/bin/env bash
# Installs the Debian packages Oxlume needs. Installs only what is missing, so it is cheap
# and safe to run again.
#   scripts/install-deps.sh            building and running the viewer (./run.sh, ./build.sh)
#   scripts/install-deps.sh --test     also the test and fuzzing tools (./test.sh, .ci/run)
#   scripts/install-deps.sh --bench    also the programs the benchmarks compare against
#   scripts/install-deps.sh --package  also what checks the Debian package (./package.sh)
# Flags combine.
set -euo pipefail

# Building, and running on X11 and Wayland with every image plugin.
packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-wayland libgl-dev
  qt6-image-formats-plugins qt6-svg-dev libqt6svg6
  libjpeg62-turbo-dev zlib1g-dev liblcms2-dev libxcb1-dev
  libheif-dev libavif-dev libjxl-dev
)

# The tests: djpeg is the reference JPEG decoder, Xvfb, the X tools, xdotool and ImageMagick
# let scripts/screenshot.sh show the viewer and its dialogs without a screen, dbus-daemon
# serves the property-sheet test, clang with its runtime builds the fuzzers, clang-format
# checks the layout of the code, the validators check the installed files, and Debian's
# HEIF, AVIF, JPEG XL and WebP encoders write the test files of those formats (their
# decoders are what the benchmarks measure ours against).
test_packages=(
  libjpeg-turbo-progs
  xvfb xauth x11-utils imagemagick xdotool
  dbus-daemon
  clang libclang-rt-14-dev clang-format
  desktop-file-utils appstream man-db groff-base
  icc-profiles-free
  libheif-examples libavif-bin libjxl-tools webp
)

for arg in "$@"; do
  case $arg in
    --test) packages+=("${test_packages[@]}") ;;
    # The benchmarks run under Xvfb and time other programs on the same files.
    --bench) packages+=("${test_packages[@]}" feh libwmf-bin nsxiv openbox qimgv) ;;
    --package) packages+=(dpkg-dev fakeroot lintian) ;;
    *) echo "install-deps.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
