# Each entry point does the whole set-up first: Debian packages, .venv with CPython 3.12, and
# the build. Every step is skipped when it is already done, so a second run is quick.

VENV      := .venv
PYTHON    := $(VENV)/bin/python
INSTALLED := $(VENV)/.vexmira-installed
SOURCES   := pyproject.toml CMakeLists.txt $(shell find src -type f 2>/dev/null)
SAMPLE    := build/demo/sample.mp4
VIDEO     ?= $(SAMPLE)

BENCH_PEERS := $(VENV)/.vexmira-bench-peers

.PHONY: bench demo test system-packages

test: $(INSTALLED)
	$(PYTHON) -m pytest

demo: $(INSTALLED) $(if $(filter $(SAMPLE),$(VIDEO)),$(SAMPLE))
	$(PYTHON) examples/demo.py "$(VIDEO)"

# Not part of CI: minutes of measurements, best run on an otherwise idle machine.
bench: $(INSTALLED) $(BENCH_PEERS)
	$(PYTHON) benchmarks/bench.py

system-packages:
	@scripts/install-system-packages.sh

$(PYTHON): | system-packages
	@interpreter=$$(scripts/find-python.sh) && echo "Creating $(VENV) with $$interpreter" && \
	"$$interpreter" -m venv --clear $(VENV)

$(INSTALLED): $(SOURCES) | system-packages $(PYTHON)
	$(PYTHON) -m pip install --quiet --upgrade pip
	$(PYTHON) -m pip install --quiet "scikit-build-core>=0.10" "pybind11>=3" cmake ninja
	$(PYTHON) -m pip install --quiet --no-build-isolation ".[test,demo]"
	@touch $@

$(BENCH_PEERS): pyproject.toml | $(INSTALLED)
	$(PYTHON) -m pip install --quiet --no-build-isolation ".[bench]"
	@touch $@

# A few seconds of a moving test pattern, with B-frames, as the demo's default input.
$(SAMPLE): | system-packages
	@mkdir -p $(dir $@)
	ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=640x360:rate=25 -t 4 \
		-c:v libx264 -preset fast -bf 3 -g 50 -pix_fmt yuv420p $@
