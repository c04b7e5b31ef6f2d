#!/usr/bin/env bash
# Installs the Debian packages Oxlume needs to build, test and run. Installs only what is
# missing, so it is cheap and safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  qt6-image-formats-plugins qt6-svg-dev libqt6svg6
  libjpeg62-turbo-dev libjpeg-turbo-progs liblcms2-dev
  clang libclang-rt-14-dev
  xvfb xauth x11-utils imagemagick
  icc-profiles-free
  dbus-daemon
)

# The benchmarks also time other programs on the same files; only they need these.
if [ "${1:-}" = "--bench" ]; then
  packages+=(libwmf-bin nsxiv)
fi

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
