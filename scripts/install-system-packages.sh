#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those that are missing,
# so that a second run costs one dpkg query. Arguments name further packages that one target
# needs (make fuzz: clang; make wheel: nasm for FFmpeg's own build).
set -euo pipefail

# ffmpeg-doc: FFmpeg's example programs, whose extract_mvs.c is the tests' motion-vector oracle.
# chromium, chromium-driver: the browser the viewer's tests drive headless.
packages=(ffmpeg ffmpeg-doc libavformat-dev libavcodec-dev libavutil-dev pkg-config g++ make
          chromium chromium-driver "$@")

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing Debian packages: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
