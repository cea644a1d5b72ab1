#!/usr/bin/env bash
# Installs what building and testing pcmpack needs on a fresh Debian machine.
# Does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsndfile1-dev libcli11-dev libsoxr-dev python3-numpy ffmpeg mkvtoolnix
  libavcodec-dev libavutil-dev libswresample-dev
  libavformat-dev ffmpeg mkvtoolnix dvdauthor python3 mediainfo
  valgrind strace sox srt-tools gstreamer1.0-tools gstreamer1.0-plugins-good linuxptp iproute2
  libclang-rt-dev jq
  man-db groff-base abigail-tools dpkg-dev lintian
  crossbuild-essential-arm64 crossbuild-essential-s390x qemu-user googletest
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
