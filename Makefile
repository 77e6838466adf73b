# Everything the project needs is set up from here: a Python 3.12 venv in .venv with the module built into it.
SHELL := /bin/bash
VENV  := .venv
PY    := $(VENV)/bin/python
PIP   := $(PY) -m pip

# Python 3.12: on PATH if it works there, else the one pyenv installed.
PY312 := $(shell if python3.12 -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then command -v python3.12; \
           else ls -d "$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)"/versions/3.12*/bin/python3.12 2>/dev/null | sort -V | tail -n 1; fi)

SOURCES := $(shell find src stubs python -type f -not -name "*.pyc") CMakeLists.txt pyproject.toml

# Every requirement is declared once, in pyproject.toml; `$(call requirements,<python>,<names>)` prints
# them one a line. The names: "build" ([build-system].requires: scikit-build-core, pybind11, cmake,
# ninja), "run" ([project].dependencies) and the groups of [project.optional-dependencies].
requirements = $(1) -c 'import sys, tomllib; p = tomllib.load(open("pyproject.toml", "rb")); \
  groups = {"build": p["build-system"]["requires"], "run": p["project"]["dependencies"], \
            **p["project"]["optional-dependencies"]}; \
  print(*(r for name in sys.argv[1:] for r in groups[name]), sep="\n")' $(2)

.PHONY: all test native-tests demo bench bench-build bench-batch bench-health bench-churn bench-exact bench-flat bench-filtered bench-file \
        bench-hyperbolic build clean clang \
        sanitize tsan fuzz stubs wordnet

all: build

# The build tools, the module's dependencies and what the tests and the demo use.
$(VENV)/.ready: pyproject.toml
	@test -n "$(PY312)" || { echo "no Python 3.12 found (python3.12 on PATH or pyenv versions/3.12*)"; exit 1; }
	$(PY312) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(call requirements,$(PY),build run test demo integrations) > $(VENV)/requirements.txt
	$(PIP) install -q -r $(VENV)/requirements.txt
	touch $@

# A venv made before the distribution was renamed holds vek_core as a distribution of its own.
$(VENV)/.built: $(VENV)/.ready $(SOURCES)
	@! $(PIP) show -q vek_core 2>/dev/null || $(PIP) uninstall -q -y vek_core
	$(PIP) install -q --no-build-isolation .
	touch $@

build: $(VENV)/.built

test: build native-tests
	$(PY) -m pytest -q

# The engine alone, without Python: tests/native, built with the venv's cmake and ninja.
NATIVE_OUT     := build/native
NATIVE_BIN     := $(NATIVE_OUT)/failed_calls_test
NATIVE_TESTS   := $(NATIVE_BIN) $(NATIVE_OUT)/poincare_arg_monotone
NATIVE_SOURCES := $(shell find src tests/native -type f -not -path 'src/bindings/*') CMakeLists.txt

$(NATIVE_BIN): $(NATIVE_SOURCES) | $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(NATIVE_OUT) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Release -DVEK_NATIVE_TESTS=ON
	$(VENV)/bin/cmake --build $(NATIVE_OUT)
	touch $@

native-tests: $(NATIVE_BIN)
	@for t in $(NATIVE_TESTS); do echo "== $$t"; $$t || exit 1; done

# The tour runs on WordNet when Debian's wordnet-base can be installed, on generated data otherwise;
# its hyperbolic section trains gensim's Poincare model of the WordNet mammals on first use (under a
# minute) and keeps it in ~/.cache/quellix.
demo: build wordnet
	$(PY) examples/demo.py
	$(PY) examples/hyperbolic.py

wordnet:
	@test -f /usr/share/wordnet/data.noun || { [ "$$(id -u)" -eq 0 ] && command -v apt-get >/dev/null \
	  && (apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q wordnet-base) >/dev/null 2>&1; } \
	  || echo "wordnet-base not installed: the demo uses generated data"

# Regenerates the committed type stubs from the built modules.
stubs: build
	$(PY) -m pybind11_stubgen vek_core quellix._native -o build/stubs
	cp build/stubs/vek_core.pyi stubs/vek_core-stubs/__init__.pyi
	cp build/stubs/quellix/_native.pyi python/quellix/_native.pyi

# Benchmarks (bench/README.md): the peers, their plots and the WordNet corpora come with the bench group.
# BENCH_ARGS go to the script, e.g. `make bench-flat BENCH_ARGS=--quick`.
BENCH_ARGS ?=

$(VENV)/.bench-ready: $(VENV)/.ready pyproject.toml
	$(call requirements,$(PY),bench) > $(VENV)/bench-requirements.txt
	$(PIP) install -q -r $(VENV)/bench-requirements.txt
	touch $@

# The peers, then the build table (bench/build.py), which keeps its own section of bench/RESULTS.md;
# BUILD_BENCH_ARGS (default: BENCH_ARGS) go to build.py.
BUILD_BENCH_ARGS ?= $(BENCH_ARGS)

bench: build wordnet $(VENV)/.bench-ready
	$(PY) bench/peers.py $(BENCH_ARGS)
	$(PY) bench/build.py $(BUILD_BENCH_ARGS)

bench-build: build wordnet $(VENV)/.bench-ready
	$(PY) bench/build.py $(BUILD_BENCH_ARGS)

bench-batch: build $(VENV)/.bench-ready
	$(PY) bench/batch.py $(BENCH_ARGS)

# The mammal part trains gensim's Poincare model (the test group) on WordNet once per set, kept in bench/out.
bench-health: build wordnet $(VENV)/.bench-ready
	$(PY) bench/health.py $(BENCH_ARGS)

bench-churn: build wordnet $(VENV)/.bench-ready
	$(PY) bench/churn.py $(BENCH_ARGS)

bench-flat: build $(VENV)/.bench-ready
	$(PY) bench/flat_scan.py $(BENCH_ARGS)

bench-exact: build $(VENV)/.bench-ready
	$(PY) bench/exact.py $(BENCH_ARGS)

bench-filtered: build $(VENV)/.bench-ready
	$(PY) bench/filtered.py $(BENCH_ARGS)

bench-file: build $(VENV)/.bench-ready
	$(PY) bench/index_file.py $(BENCH_ARGS)

# BENCH_ARGS=--million measures 1M x 128 clusters alone.
.PHONY: bench-memory
bench-memory: build $(VENV)/.bench-ready
	$(PY) bench/memory.py $(BENCH_ARGS)

# gensim comes with the test group.
bench-hyperbolic: build wordnet $(VENV)/.bench-ready
	$(PY) bench/hyperbolic.py $(BENCH_ARGS)

.PHONY: bench-distributed
bench-distributed: build $(VENV)/.bench-ready
	$(PY) bench/distributed.py $(BENCH_ARGS)

# umap-learn comes with the integrations group, scikit-learn with the test and bench groups.
.PHONY: bench-integrations
bench-integrations: build wordnet $(VENV)/.bench-ready
	$(PY) bench/integrations.py $(BENCH_ARGS)

# ---- Hardening: a sanitized copy of the module, and the index file fuzzer -------------------------
# Both use clang. On a fresh Debian machine clang and its sanitizer runtimes (libclang-rt-14-dev)
# come from apt; cmake and ninja come from PyPI into .venv-san. Nothing here touches .venv.
CLANG    ?= clang
CLANGXX  ?= clang++
SUDO     := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)
SAN_VENV := .venv-san
SAN_PY   := $(SAN_VENV)/bin/python
SAN_OUT  := build/sanitize
ASAN_RT   = $(shell $(CLANG) -print-file-name=libclang_rt.asan-x86_64.so)

# Leak detection is off in the Python run: CPython and NumPy keep interned objects, type objects and
# arenas alive until exit by design, and every allocation of the engine has interpreter frames on its
# stack, so no suppression could tell the engine's leaks from the interpreter's. The engine's leaks are
# checked where no interpreter runs: in the fuzzer (libFuzzer's leak check after each input).
# Reports go to files under $(SAN_OUT)/reports, so one in a child process or in a test that expects a
# failure still fails the target. PYTHONMALLOC=malloc puts Python's own objects under ASan too.
SAN_ENV = LD_PRELOAD=$(ASAN_RT) PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1 \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:allow_user_segv_handler=0:detect_stack_use_after_return=1:strict_init_order=1:log_path=$(abspath $(SAN_OUT))/reports/report \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(abspath $(SAN_OUT))/reports/report

SAN_PYTEST_ARGS ?=

FUZZ_SECONDS ?= 60
FUZZ_MAX_LEN ?= 16384
FUZZ_OUT     := build/fuzz
FUZZ_BIN     := $(FUZZ_OUT)/cmake/index_file_fuzzer
QFUZZ_BIN    := $(FUZZ_OUT)/cmake/quellix_file_fuzzer
FUZZ_SOURCES := $(shell find src -type f -not -path 'src/bindings/*') fuzz/index_file_fuzzer.cpp \
                fuzz/quellix_file_fuzzer.cpp CMakeLists.txt

clang:
	@if ! command -v $(CLANGXX) >/dev/null 2>&1 || ! test -f "$$($(CLANG) -print-file-name=libclang_rt.asan-x86_64.so)" \
	    || ! test -f "$$($(CLANG) -print-file-name=libclang_rt.fuzzer-x86_64.a)"; then \
	  echo "installing clang and its sanitizer runtimes"; \
	  $(SUDO) apt-get update -q && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q --no-install-recommends clang libclang-rt-14-dev; \
	fi

$(SAN_VENV)/.ready: pyproject.toml
	@test -n "$(PY312)" || { echo "no Python 3.12 found (python3.12 on PATH or pyenv versions/3.12*)"; exit 1; }
	$(PY312) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install -q --upgrade pip
	$(call requirements,$(SAN_PY),build run test) > $(SAN_VENV)/requirements.txt
	$(SAN_PY) -m pip install -q -r $(SAN_VENV)/requirements.txt
	touch $@

# A Debug build type leaves NDEBUG undefined, which also turns on pybind11's check that references
# are counted with the GIL held.
$(SAN_VENV)/.built: $(SAN_VENV)/.ready $(SOURCES) | clang
	PATH="$(abspath $(SAN_VENV))/bin:$$PATH" CC=$(CLANG) CXX=$(CLANGXX) $(SAN_PY) -m pip install -q --no-build-isolation \
	  -C build-dir=$(SAN_OUT)/{wheel_tag} -C cmake.build-type=Debug -C cmake.define.VEK_SANITIZE=ON .
	touch $@

sanitize: $(SAN_VENV)/.built
	rm -rf $(SAN_OUT)/reports && mkdir -p $(SAN_OUT)/reports
	@start=$$(date +%s); status=0; \
	$(SAN_ENV) $(SAN_PY) -m pytest -q -p no:cacheprovider $(SAN_PYTEST_ARGS) || status=$$?; \
	echo "sanitized test run: $$(( $$(date +%s) - start )) s, pytest exit status $$status"; \
	if compgen -G "$(SAN_OUT)/reports/*" >/dev/null; then \
	  echo "SANITIZER REPORTS:"; for f in $(SAN_OUT)/reports/*; do echo "== $$f"; cat "$$f"; done; exit 1; \
	fi; \
	echo "no sanitizer reports"; exit $$status

# ThreadSanitizer: the module built with TSan into $(TSAN_OUT)/site, imported ahead of the ASan one by
# an instrumented interpreter (tools/tsan_python.c) placed in the sanitizer venv. The tests that run
# calls on several threads at once: the concurrent build, the concurrent searches and mixed calls, and
# the neighbour descent's shared lists.
TSAN_OUT   := build/tsan
TSAN_PY    := $(SAN_VENV)/bin/python-tsan
TSAN_TESTS ?= tests/test_parallel_build.py tests/test_concurrency.py \
              tests/test_quellix_changes.py::test_mixed_changes_from_many_threads \
              tests/test_sklearn_umap.py::test_neighbour_graph_holds_the_nearest_rows_at_the_index_distances
TSAN_ENV    = PYTHONPATH=$(abspath $(TSAN_OUT))/site PYTHONDONTWRITEBYTECODE=1 \
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:log_path=$(abspath $(TSAN_OUT))/reports/report

$(TSAN_PY): tools/tsan_python.c $(SAN_VENV)/.ready | clang
	$(CLANG) -fsanitize=thread -g -O1 $< $$($(PY312)-config --includes) $$($(PY312)-config --ldflags --embed) -o $@

$(TSAN_OUT)/.built: $(SAN_VENV)/.ready $(SOURCES) | clang
	rm -rf $(TSAN_OUT)/site
	PATH="$(abspath $(SAN_VENV))/bin:$$PATH" CC=$(CLANG) CXX=$(CLANGXX) $(SAN_PY) -m pip install -q --no-build-isolation \
	  --no-deps --target $(TSAN_OUT)/site -C build-dir=$(TSAN_OUT)/{wheel_tag} -C cmake.build-type=Debug \
	  -C cmake.define.VEK_TSAN=ON .
	touch $@

tsan: $(TSAN_OUT)/.built $(TSAN_PY)
	rm -rf $(TSAN_OUT)/reports && mkdir -p $(TSAN_OUT)/reports
	@status=0; $(TSAN_ENV) $(TSAN_PY) -c 'import quellix._native as n, sys; assert "$(TSAN_OUT)/site" in n.__file__, n.__file__' \
	  && $(TSAN_ENV) $(TSAN_PY) -m pytest -q -p no:cacheprovider $(TSAN_TESTS) || status=$$?; \
	if compgen -G "$(TSAN_OUT)/reports/*" >/dev/null; then \
	  echo "THREADSANITIZER REPORTS:"; for f in $(TSAN_OUT)/reports/*; do echo "== $$f"; cat "$$f"; done; exit 1; \
	fi; \
	echo "no ThreadSanitizer reports"; exit $$status

$(FUZZ_BIN) $(QFUZZ_BIN) &: $(FUZZ_SOURCES) $(SAN_VENV)/.ready | clang
	$(SAN_VENV)/bin/cmake -S . -B $(FUZZ_OUT)/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(SAN_VENV))/bin/ninja \
	  -DCMAKE_CXX_COMPILER=$(CLANGXX) -DCMAKE_BUILD_TYPE=Debug -DVEK_FUZZ=ON
	$(SAN_VENV)/bin/cmake --build $(FUZZ_OUT)/cmake --target index_file_fuzzer quellix_file_fuzzer

# Fuzzes working corpora (seeded from the committed fuzz/corpus and fuzz/quellix_corpus, kept across
# runs) for FUZZ_SECONDS each: the vek_core file reader, then the quellix one. A crash, sanitizer
# report, leak, hang (-timeout) or memory blow-up (-rss_limit_mb) stops the run and leaves the input
# under $(FUZZ_OUT)/artifacts/.
FUZZ_ENV   = UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1
FUZZ_FLAGS = -max_total_time=$(FUZZ_SECONDS) -max_len=$(FUZZ_MAX_LEN) -timeout=10 -rss_limit_mb=2048 \
	-use_value_profile=1 -print_final_stats=1 -artifact_prefix=$(FUZZ_OUT)/artifacts/
fuzz: $(FUZZ_BIN) $(QFUZZ_BIN)
	mkdir -p $(FUZZ_OUT)/corpus $(FUZZ_OUT)/quellix_corpus $(FUZZ_OUT)/artifacts
	cp fuzz/corpus/* $(FUZZ_OUT)/corpus/
	cp fuzz/quellix_corpus/* $(FUZZ_OUT)/quellix_corpus/
	$(FUZZ_ENV) $(FUZZ_BIN) $(FUZZ_FLAGS) $(FUZZ_OUT)/corpus
	$(FUZZ_ENV) $(QFUZZ_BIN) $(FUZZ_FLAGS) $(FUZZ_OUT)/quellix_corpus

clean:
	rm -rf build $(VENV) $(SAN_VENV)
