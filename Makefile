# The repository's own commands. The interpreter is the newest CPython >= 3.13
# on this machine (tools/find-python); override with PYTHON=/path/to/python.
SHELL := /bin/bash
PYTHON_BIN := $(shell tools/find-python)
VENV := .venv
VPY := $(VENV)/bin/python
STRICT := -C cmake.define.VORNIC_WERROR=ON
NATIVE_BUILD := build/native
TSAN_BUILD := build/native-tsan

.PHONY: demo test test-python native-test native-tsan asan-test bench venv clean check-python ensure-gtest

check-python:
	@test -n "$(PYTHON_BIN)" || { echo "no suitable interpreter (see tools/find-python)"; exit 1; }

$(VPY): | check-python
	"$(PYTHON_BIN)" -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

venv: $(VPY)

demo: $(VPY)
	$(VPY) -m pip install -q .
	$(VPY) examples/demo.py

# Everything: the Python suite against a strict (-Werror) build, then the
# native core tests.
test: test-python native-test

test-python: $(VPY)
	$(VPY) -m pip install -q $(STRICT) ".[test]"
	$(VPY) -m pytest -q

ensure-gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null; \
	  else echo "GoogleTest is missing: install Debian's libgtest-dev"; exit 1; fi; \
	fi

native-test: ensure-gtest
	cmake -S . -B $(NATIVE_BUILD) -DVORNIC_MODULE=OFF -DVORNIC_NATIVE_TESTS=ON -DVORNIC_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(NATIVE_BUILD) -j2
	$(NATIVE_BUILD)/native_tests

native-tsan: ensure-gtest
	cmake -S . -B $(TSAN_BUILD) -DVORNIC_MODULE=OFF -DVORNIC_NATIVE_TESTS=ON -DVORNIC_WERROR=ON -DVORNIC_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(TSAN_BUILD) -j2
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN_BUILD)/native_tests

# The Python suite against an ASan+UBSan build of the module.
asan-test: $(VPY)
	$(VPY) -m pip install -q -C cmake.define.VORNIC_SANITIZE=address -C cmake.build-type=Debug -C build-dir=build/asan ".[test]"
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS="detect_leaks=0" $(VPY) -m pytest -q -p no:cacheprovider
	$(VPY) -m pip install -q $(STRICT) ".[test]"

bench: $(VPY)
	$(VPY) -m pip install -q ".[bench]"
	$(VPY) bench/run.py

clean:
	rm -rf build $(VENV)

# ---- CPython 3.14 and its debug build --------------------------------------
# The Python suite on CPython 3.14 and on python3.14-dbg, plus the debug
# build's reference-leak check (tools/refleak_check.py). Needs root: the
# interpreters come from Debian unstable, installed into a debootstrap root
# under build/ that later runs reuse (tools/py314.sh).
.PHONY: test-py314
test-py314:
	tools/py314.sh

# ---- free-threaded CPython 3.14 ----------------------------------------------
# The whole Python suite on a free-threaded 3.14 (GIL off for the whole run),
# and the concurrent tests on a free-threaded 3.14 built with ThreadSanitizer,
# the module built with -fsanitize=thread. Needs root the first time: the
# interpreters are built from source (tools/ft-python.sh) and cached outside
# the clone, under /var/cache/vornic (VORNIC_FT_CACHE overrides).
# test-ft also runs the suite under pytest-run-parallel (each test body in
# four threads at once); soak-ft repeats the concurrency test files for
# SOAK_MINUTES (default 20) and reports runs, passes, failures and hangs (a
# tool, not part of CI).
.PHONY: test-ft test-ft-tsan soak-ft
test-ft:
	tools/ft-test.sh plain

soak-ft:
	tools/soak-ft.sh $(SOAK_MINUTES)

test-ft-tsan:
	tools/ft-test.sh tsan

# ---- documentation, benchmark report, wheels ---------------------------------
# make docs: the site under build/docs (Sphinx, furo theme), warnings as
# errors, then every example on its pages run by Sphinx's doctest builder. The
# API reference is generated from the built module and src/_vornic.pyi; the
# benchmark pages use the results committed under docs/bench.
# make bench-report: runs the benchmarks (the ratio tables on this venv's
# interpreter, throughput against thread count on the free-threaded 3.14 of
# tools/ft-python.sh) and redraws the plots under docs/bench. A few minutes;
# BENCH_THREADS=1,2,4 adds thread counts.
# make wheel: sdist, manylinux wheels for cp313 and cp314t, each installed into
# a fresh venv and tested from outside the source tree (tools/wheel.sh);
# make wheel-cp313 / wheel-cp314t for one of them.
.PHONY: docs bench-report wheel wheel-cp313 wheel-cp314t
DOCS_OUT := build/docs
BENCH_THREADS ?= 1,2
FT_BENCH_VENV := build/ft-bench-venv

docs: $(VPY)
	$(VPY) -m pip install -q $(STRICT) ".[docs]"
	rm -rf $(DOCS_OUT) build/docs-doctest
	$(VPY) -m sphinx -q -W --keep-going -b html -d build/docs-doctrees docs $(DOCS_OUT)
	$(VPY) -m sphinx -q -W --keep-going -b doctest -d build/docs-doctrees docs build/docs-doctest
	@echo "site: $(DOCS_OUT)/index.html"

bench-report: $(VPY)
	$(VPY) -m pip install -q $(STRICT) ".[bench,plots]"
	$(VPY) bench/report.py --out docs/bench/results-gil.json
	py=$$(tools/ft-python.sh plain) && \
	  { [ -x $(FT_BENCH_VENV)/bin/python ] || "$$py" -m venv $(FT_BENCH_VENV); } && \
	  $(FT_BENCH_VENV)/bin/python -m pip install -q --upgrade pip && \
	  $(FT_BENCH_VENV)/bin/python -m pip install -q -C build-dir=build/ft-bench . && \
	  for peer in ft_utils cereggii; do \
	    $(FT_BENCH_VENV)/bin/python -m pip install -q $$peer || echo "($$peer does not install here: left out)"; \
	  done && \
	  $(FT_BENCH_VENV)/bin/python bench/report.py --only scaling --threads $(BENCH_THREADS) --out docs/bench/results-ft.json
	$(VPY) bench/plot.py docs/bench docs/bench/results-gil.json docs/bench/results-ft.json

wheel:
	tools/wheel.sh cp313 cp314t

wheel-cp313:
	tools/wheel.sh cp313

wheel-cp314t:
	tools/wheel.sh cp314t
