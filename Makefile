# Each entry point does the whole set-up first: Debian packages, .venv with CPython 3.12, and
# the build. Every step is skipped when it is already done, so a second run is quick.

VENV      := .venv
PYTHON    := $(VENV)/bin/python
INSTALLED := $(VENV)/.vexmira-installed
DEMO_INSTALLED := $(VENV)/.vexmira-demo-installed
SOURCES   := pyproject.toml CMakeLists.txt $(shell find src python -type f -not -path '*/__pycache__/*' 2>/dev/null)
SAMPLE    := build/demo/sample.mp4
VIDEO     ?= $(SAMPLE)

BENCH_PEERS := $(VENV)/.vexmira-bench-peers
BASELINE_DIR = build/bench/baseline-$(BASELINE)

# make sanitize: the module built with AddressSanitizer and UBSan into a venv and build
# directory of its own, so that the normal build is left as it is.
SANITIZE_VENV      := .venv-sanitize
SANITIZE_PYTHON    := $(SANITIZE_VENV)/bin/python
SANITIZE_INSTALLED := $(SANITIZE_VENV)/.vexmira-installed
SANITIZE_FLAGS     := -fsanitize=address,undefined -fno-omit-frame-pointer
# Compiled at -O1 with line tables only (build type None adds no flags of its own): the
# reports keep their file and line, and the build, which is most of CI's sanitizer stage,
# takes far less time than at -O2 with full debug information. The code under test is the
# module's; FFmpeg's libraries are Debian's, not instrumented, whatever these flags say.
SANITIZE_COMPILE   := -O1 -g1 $(SANITIZE_FLAGS)
SANITIZE_BUILD     := build/sanitize
# CPython is not built with ASan, so the runtime has to be loaded before anything else, and
# with it the C++ runtime: ASan wraps __cxa_throw when it starts, and finds nothing to wrap
# in a C program that loads libstdc++ only later, with the module, so every C++ exception
# would abort.
# Leak detection is off: CPython leaves interned strings, type caches and its allocator's
# arenas for the operating system to reclaim at exit, which LeakSanitizer reports as
# thousands of leaks, and the ffmpeg tool that the tests run inherits the runtime as well.
# The module's own leaks are measured by tools/soak.py instead.
# SANITIZE_LOG, empty but for make sanitize, sends the reports to files (see there).
SANITIZE_RUN = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1$(SANITIZE_LOG) \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1$(SANITIZE_LOG) \
	VEXMIRA_TIMEOUT_SCALE=5 VEXMIRA_NATIVE_BUILD_DIR=$(SANITIZE_BUILD) \
	CXXFLAGS="$(SANITIZE_COMPILE)" LDFLAGS="$(SANITIZE_FLAGS)"

FUZZ_SECONDS      ?= 300
FUZZ_REQUIREMENTS := "atheris>=2.3"
# The libFuzzer harness (tools/fuzz) is built with clang, which only make fuzz installs.
FUZZ_PACKAGES     := clang libclang-rt-14-dev
FUZZ_NATIVE_BUILD := build/fuzz-native
FUZZ_NATIVE       := $(FUZZ_NATIVE_BUILD)/tools/fuzz/session_fuzzer
FUZZ_LOCATOR      := $(FUZZ_NATIVE_BUILD)/tools/fuzz/locator_fuzzer
FUZZ_NATIVE_LINES := ^(\#[0-9]+[[:space:]]+(INITED|DONE)|stat::|Done [0-9]+ runs|==[0-9]+==|SUMMARY|rule broken|Test unit written)
# The packet locator's coverage, from libFuzzer's report at the end of its run.
FUZZ_LOCATOR_COVERAGE := (UN)?COVERED_FUNC: .*PacketLocator
NATIVE_BUILD      := build/native
# The module's build tree in the development venv. It builds the native test programs as well,
# with the module's flags, and the suite runs them from there (tests/conftest.py): every
# source is compiled once for the module and its native tests, in each of CI's two stages.
MODULE_BUILD      := build/module
WITH_NATIVE_TESTS := -C cmake.define.VEXMIRA_NATIVE_TOOLS=ON

# make wheel: dist/vexmira-*.whl, carrying a minimal FFmpeg of its own (by default the newest
# release in Debian's source packages), built from source once per version into build/ffmpeg.
# make wheel-test: the suite against that wheel, installed in a fresh venv.
# make test-ffmpeg FFMPEG_VERSION=...: the module and the suite against that FFmpeg release.
FFMPEG_VERSION ?= newest

# The suite runs in one process per core (pytest-xdist): each test decodes on one thread, so
# the cores would otherwise idle. PYTEST_PROCESSES= runs it in one process.
PYTEST_PROCESSES ?= -n auto

.PHONY: bench demo test sanitize fuzz fuzz-replay ci-sanitize soak system-packages wheel wheel-test test-ffmpeg

test: $(INSTALLED)
	VEXMIRA_NATIVE_BUILD_DIR=$(MODULE_BUILD) $(PYTHON) -m pytest $(PYTEST_PROCESSES)

demo: $(DEMO_INSTALLED) $(if $(filter $(SAMPLE),$(VIDEO)),$(SAMPLE))
	$(PYTHON) examples/demo.py "$(VIDEO)"
	@echo "To look through it in the browser: $(PYTHON) -m pip install '.[view]', then $(VENV)/bin/vexmira-view $(VIDEO)"

# Not part of CI: minutes of measurements, best run on an otherwise idle machine.
# make bench BASELINE=<git ref> times the patterns the frame cache is for on that version's
# build as well (built once into build/bench/baseline-<ref>); BENCH_ARGS go to bench.py.
bench: $(INSTALLED) $(BENCH_PEERS) $(if $(BASELINE),$(BASELINE_DIR)/.built)
	$(PYTHON) benchmarks/bench.py $(if $(BASELINE),--baseline $(BASELINE_DIR)/module) $(BENCH_ARGS)

$(BASELINE_DIR)/.built: | $(INSTALLED)
	rm -rf $(BASELINE_DIR) && mkdir -p $(BASELINE_DIR)/source
	git archive $(BASELINE) | tar -x -C $(BASELINE_DIR)/source
	cd $(BASELINE_DIR)/source && $(CURDIR)/$(PYTHON) -m pip install --quiet --no-build-isolation --no-deps \
		--target ../module .
	@touch $@

# pytest captures what the tests write to their file descriptors, and a report that ASan or
# UBSan writes just before it aborts the process went down with that capture: a finding
# showed only as "Fatal Python error: Aborted". Letting the descriptors through instead
# floods the log with FFmpeg's warnings about the damaged test files. So every process of
# the run, the children included, writes its report to a file of its own (report.PID) in
# SANITIZE_REPORTS, and scripts/sanitizer-reports.sh prints them; any report fails the run.
SANITIZE_REPORTS := $(CURDIR)/build/sanitize-reports
sanitize: SANITIZE_LOG = :log_path=$(SANITIZE_REPORTS)/report
sanitize: $(SANITIZE_INSTALLED)
	@rm -rf $(SANITIZE_REPORTS) && mkdir -p $(SANITIZE_REPORTS)
	$(SANITIZE_RUN) $(SANITIZE_PYTHON) -m pytest $(PYTEST_PROCESSES) -m "not python_side"; status=$$?; scripts/sanitizer-reports.sh $(SANITIZE_REPORTS) && exit $$status

# The fuzzers' seed clips, made anew, and whatever make fuzz kept in build/fuzz/corpus, each
# run once on the sanitizer build: the part of make fuzz that is quick and has an end.
fuzz-replay: $(SANITIZE_INSTALLED)
	$(SANITIZE_PYTHON) -m pip install --quiet $(FUZZ_REQUIREMENTS)
	$(SANITIZE_RUN) $(SANITIZE_PYTHON) tools/fuzz_session.py --replay --workdir build/fuzz

# CI's second stage (.ci/run): the suite on the sanitizer build, then the replay, in that order.
ci-sanitize: sanitize fuzz-replay

# Atheris for FUZZ_SECONDS on the normal build, over a seed corpus of small clips made on
# the spot, then every input it kept once more on the sanitizer build (tools/fuzz_session.py
# says why in two steps). Inputs that break a rule are written to build/fuzz/crashes.
# Then the libFuzzer harness, steered by the coverage of the session's own code, for
# FUZZ_SECONDS more over the same seeds, and the packet locator's harness for FUZZ_SECONDS over
# scripted demuxers, seeded with the native tests' scripts; what they keep and find stays in
# build/fuzz-native, their full logs in build/fuzz-native/{session,locator}.log.
fuzz: $(INSTALLED) $(SANITIZE_INSTALLED) $(FUZZ_NATIVE)
	$(PYTHON) -m pip install --quiet $(FUZZ_REQUIREMENTS)
	$(SANITIZE_PYTHON) -m pip install --quiet $(FUZZ_REQUIREMENTS)
	$(PYTHON) tools/fuzz_session.py --seconds $(FUZZ_SECONDS) --workdir build/fuzz
	$(SANITIZE_RUN) $(SANITIZE_PYTHON) tools/fuzz_session.py --replay --workdir build/fuzz
	$(call run-fuzzer,$(FUZZ_NATIVE),session,build/fuzz/seeds,$(FUZZ_NATIVE_LINES))
	@$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DVEXMIRA_NATIVE_TOOLS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	@$(VENV)/bin/cmake --build $(NATIVE_BUILD) --target packet_locator_test > /dev/null
	@mkdir -p $(FUZZ_NATIVE_BUILD)/locator-seeds
	@$(NATIVE_BUILD)/tests/native/packet_locator_test --write-seeds $(FUZZ_NATIVE_BUILD)/locator-seeds
	$(call run-fuzzer,$(FUZZ_LOCATOR),locator,$(FUZZ_NATIVE_BUILD)/locator-seeds,$(FUZZ_NATIVE_LINES)|$(FUZZ_LOCATOR_COVERAGE))

# $(call run-fuzzer,HARNESS,NAME,SEEDS,LINES): the libFuzzer harness for FUZZ_SECONDS over its
# corpus (kept in $(FUZZ_NATIVE_BUILD)/NAME-corpus) and the seeds; the lines of its log that
# matter are shown, the whole log is $(FUZZ_NATIVE_BUILD)/NAME.log. At the end libFuzzer lists
# the functions its inputs reached.
define run-fuzzer
	@mkdir -p $(FUZZ_NATIVE_BUILD)/$(2)-corpus $(FUZZ_NATIVE_BUILD)/crashes
	@$(1) $(FUZZ_NATIVE_BUILD)/$(2)-corpus $(3) -max_total_time=$(FUZZ_SECONDS) -timeout=60 \
		-rss_limit_mb=4096 -max_len=65536 -print_final_stats=1 -print_coverage=1 \
		-artifact_prefix=$(FUZZ_NATIVE_BUILD)/crashes/$(2)- > $(FUZZ_NATIVE_BUILD)/$(2).log 2>&1; status=$$?; \
		grep -E '$(4)' $(FUZZ_NATIVE_BUILD)/$(2).log; \
		echo "full log: $(FUZZ_NATIVE_BUILD)/$(2).log; crashes: $(FUZZ_NATIVE_BUILD)/crashes"; exit $$status
endef

soak: $(INSTALLED)
	$(PYTHON) tools/soak.py

wheel:
	scripts/build-wheel.sh $(FFMPEG_VERSION)

wheel-test:
	scripts/test-wheel.sh

test-ffmpeg:
	scripts/test-against-ffmpeg.sh $(FFMPEG_VERSION)

system-packages:
	@scripts/install-system-packages.sh

# Creates a venv with CPython 3.12: $(call make-venv,DIRECTORY)
define make-venv
	@interpreter=$$(scripts/find-python.sh) && echo "Creating $(1) with $$interpreter" && \
	"$$interpreter" -m venv --clear $(1)
endef

# Builds the module into a venv: $(call install-module,PYTHON,EXTRAS,PIP OPTIONS,ENVIRONMENT)
comma := ,
define install-module
	$(1) -m pip install --quiet --upgrade pip
	$(1) -m pip install --quiet "scikit-build-core>=0.10" "pybind11>=3" cmake ninja
	$(4) $(1) -m pip install --quiet --no-build-isolation $(3) ".[$(2)]"
endef

$(PYTHON): | system-packages
	$(call make-venv,$(VENV))

$(INSTALLED): $(SOURCES) | system-packages $(PYTHON)
	$(call install-module,$(PYTHON),test$(comma)demo,-C build-dir=$(MODULE_BUILD) $(WITH_NATIVE_TESTS))
	@touch $@

# The demo needs the module and matplotlib, not the test tools.
$(DEMO_INSTALLED): $(SOURCES) | system-packages $(PYTHON)
	$(call install-module,$(PYTHON),demo,-C build-dir=$(MODULE_BUILD) $(WITH_NATIVE_TESTS))
	@touch $@

$(SANITIZE_PYTHON): | system-packages
	$(call make-venv,$(SANITIZE_VENV))

# The demo's extras too: tests/test_demo.py runs the demo, which draws with matplotlib.
$(SANITIZE_INSTALLED): $(SOURCES) | system-packages $(SANITIZE_PYTHON)
	$(call install-module,$(SANITIZE_PYTHON),test$(comma)demo,-C build-dir=$(SANITIZE_BUILD) -C cmake.build-type=None $(WITH_NATIVE_TESTS),\
		CXXFLAGS="$(SANITIZE_COMPILE)" LDFLAGS="$(SANITIZE_FLAGS)")
	@touch $@

$(FUZZ_NATIVE): $(SOURCES) $(wildcard tools/fuzz/*) | $(INSTALLED)
	@scripts/install-system-packages.sh $(FUZZ_PACKAGES)
	$(VENV)/bin/cmake -S . -B $(FUZZ_NATIVE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXMIRA_FUZZER=ON
	$(VENV)/bin/cmake --build $(FUZZ_NATIVE_BUILD)

$(BENCH_PEERS): pyproject.toml | $(INSTALLED)
	$(PYTHON) -m pip install --quiet --no-build-isolation ".[bench]"
	@touch $@

# A few seconds of a moving test pattern, with B-frames, as the demo's default input and the
# clip of the README's examples (with a raw copy of its stream beside it).
$(SAMPLE): scripts/make-sample.sh | system-packages
	scripts/make-sample.sh $(dir $@)
