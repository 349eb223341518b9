#!/usr/bin/env bash
# Builds the module, with warnings as errors, against one FFmpeg release built from its
# tarball (scripts/build-ffmpeg.sh), into a venv of its own, and runs the whole test suite on
# it, native programs included: scripts/test-against-ffmpeg.sh VERSION|newest [PYTEST ARGUMENTS]
#
# Everything for a version lives in build/ffmpeg/VERSION, so the normal build and the other
# versions are left as they are. The ffmpeg and ffprobe tools the tests use as their reference
# stay the system's.
set -euo pipefail
cd "$(dirname "$0")/.."

version=${1:?usage: $0 VERSION|newest [PYTEST ARGUMENTS]}
shift
if [[ "$version" == newest ]]; then
    version=$(scripts/fetch-ffmpeg-source.sh --newest)
fi
root=$PWD/build/ffmpeg/$version
venv=$root/venv
python=$venv/bin/python

# timed LABEL COMMAND...: runs the command and says how long it took.
timed() {
    local label=$1 started=$SECONDS
    shift
    "$@"
    echo "[FFmpeg $version] $label: $((SECONDS - started)) s"
}

scripts/install-system-packages.sh nasm
timed "FFmpeg build" scripts/build-ffmpeg.sh "$version"

# The stamp is written last, so that a set-up cut short is done again.
if [[ ! -f "$venv/.vexmira-tools" ]]; then
    "$(scripts/find-python.sh)" -m venv --clear "$venv"
    "$python" -m pip install --quiet --upgrade pip
    "$python" -m pip install --quiet "scikit-build-core>=0.10" "pybind11>=3" cmake ninja
    touch "$venv/.vexmira-tools"
fi

# The module and the native programs (built by the tests, in a build tree of this version's)
# find this FFmpeg through pkg-config and build with warnings as errors: CMake takes both
# from the environment when it first configures a build tree, and only this script makes those.
# The runtime path keeps the module on these libraries wherever it is copied to; each of
# the libraries finds its siblings through its own.
export PKG_CONFIG_PATH=$root/prefix/lib/pkgconfig
export CXXFLAGS=-Werror
timed "module build" "$python" -m pip install --quiet --no-build-isolation \
    -C build-dir="$root/module" -C cmake.define.CMAKE_INSTALL_RPATH="$root/prefix/lib" ".[test,demo]"
"$python" -P tools/check_loaded_ffmpeg.py --libraries "$root/prefix/lib" --version "$version"
VEXMIRA_NATIVE_BUILD_DIR=$root/native timed "tests" "$python" -m pytest -p no:cacheprovider -n auto "$@"
