#!/usr/bin/env bash
# Installs every Debian package Kerfline needs to build, test and run.
# Idempotent and non-interactive; run as root or with sudo available.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake pkg-config
  qt6-base-dev libqt6opengl6-dev qt6-qpa-plugins qt6-svg-dev
  libmpv-dev
  libavformat-dev libavcodec-dev libavfilter-dev libavutil-dev
  libswscale-dev libswresample-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # reference tools for tests and benchmarks, and for looking at the window
  ffmpeg mpv xvfb xauth imagemagick libgl1-mesa-dri python3
  libx11-dev
  # validators of the installed desktop files; a session bus for open requests
  desktop-file-utils appstream dbus
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
