#!/usr/bin/env bash
# Installs the newest dist/vexmira-*-manylinux_*.whl into a fresh venv and runs the test suite
# on it from a copy outside the source tree, so that nothing can be imported from the tree:
# scripts/test-wheel.sh [PYTEST ARGUMENTS]
#
# First it checks in /proc/self/maps that the module loads the FFmpeg libraries the wheel
# carries, and that they are the release its licence notes name. The native test programs
# (tests/test_native.py) are left out: they are built from the source tree against
# pkg-config's FFmpeg, not taken from the wheel, and make test and make test-ffmpeg run them.
set -euo pipefail
cd "$(dirname "$0")/.."

wheel=$(ls -t dist/vexmira-*-manylinux_*.whl 2>/dev/null | head -n 1 || true)
if [[ -z "$wheel" ]]; then
    echo "No wheel in dist/: run make wheel first" >&2
    exit 1
fi
venv=$PWD/build/wheel-test/venv
python=$venv/bin/python
suite=$(mktemp -d)
trap 'rm -rf "$suite"' EXIT

# The ffmpeg and ffprobe tools are the tests' reference, whatever FFmpeg the wheel carries.
scripts/install-system-packages.sh
"$(scripts/find-python.sh)" -m venv --clear "$venv"
"$python" -m pip install --quiet --upgrade pip
"$python" -m pip install --quiet "$wheel[test,demo]"

notes=$("$python" -P -c 'import importlib.metadata as m
print(m.distribution("vexmira").read_text("licenses/ffmpeg/FFMPEG-SOURCE.txt"))')
ffmpeg_version=$(sed -n '1s/^FFmpeg //p' <<<"$notes")
echo "Testing ${wheel##*/} (FFmpeg $ffmpeg_version) in $venv"

cp -r tests "$suite/"
# pyproject.toml only for pytest's settings, read from the rootdir; README.md for the typing
# test, which runs mypy on its API tour.
cp pyproject.toml README.md "$suite/"
tools=$PWD/tools
cd "$suite"
"$python" -P "$tools/check_loaded_ffmpeg.py" --bundled --version "$ffmpeg_version"
"$python" -m pytest -p no:cacheprovider -n auto --ignore=tests/test_native.py "$@"
