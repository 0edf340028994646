# The two commands a new user runs: `make demo` and `make test`. Each creates its
# own virtual environment, installs the package into it (an editable install whose
# CMake build directory is kept, so a second run only rebuilds what changed) and
# then runs the demo or the tests. When Python 3.8 is on the machine, `make test`
# also builds and runs the suite under it.

PYTHON ?= python3
VENV ?= .venv
PYTHON38 ?= $(firstword $(shell command -v python3.8 >/dev/null 2>&1 && python3.8 -c 'import sys; print(sys.executable)' 2>/dev/null) $(wildcard $(HOME)/.pyenv/versions/3.8*/bin/python3.8) $(wildcard /usr/bin/python3.8))
VENV38 ?= .venv38
PYTEST_ARGS ?=
BENCH_ARGS ?=
PIP_FLAGS ?= -q

BUILD_DEPS = "scikit-build-core>=0.10" "pybind11>=2.13" "cmake>=3.18" ninja
TEST_DEPS = "pytest>=7" "hypothesis>=6"

.PHONY: demo test test-default test-py38 install install38 install-asan bench fuzz leakcheck test-asan lint format werror docs clean

demo: install
	$(VENV)/bin/python examples/demo.py
	$(VENV)/bin/vantelo optimize examples/demo.toml -o build/demo-weights.csv --report build/demo-report.html
	$(VENV)/bin/vantelo check build/demo-weights.csv examples/demo.toml
	$(VENV)/bin/vantelo backtest examples/demo.toml -o build/demo-backtest.html

test: test-default test-py38

test-default: install
	$(VENV)/bin/python -m pytest $(PYTEST_ARGS)

# Speed and accuracy next to the peers (benchmarks/README.md). The peers are the
# optional dependency group `bench`, installed into the same environment; pass
# options to the runner with BENCH_ARGS, e.g. `make bench BENCH_ARGS=--quick`.
# Then rebalancing over schedules beside the plain loop (benchmarks/rebalance_bench.py;
# options in REBALANCE_BENCH_ARGS, e.g. "--daily 60 --cases 1,3").
REBALANCE_BENCH_ARGS ?=
# The risk model built from prices (benchmarks/riskmodel_bench.py; e.g. "--quick").
RISKMODEL_BENCH_ARGS ?=
# Then the direct conic back-end beside cvxpy's, and schedules on it beside the plain
# loop (benchmarks/direct_bench.py; options in DIRECT_BENCH_ARGS, e.g. "--cases 1,2").
DIRECT_BENCH_ARGS ?=

bench: install $(VENV)/.bench-deps
	$(VENV)/bin/python benchmarks/run.py $(BENCH_ARGS)
	$(VENV)/bin/python benchmarks/diagnose_bench.py
	$(VENV)/bin/python benchmarks/rebalance_bench.py $(REBALANCE_BENCH_ARGS)
	$(VENV)/bin/python benchmarks/riskmodel_bench.py $(RISKMODEL_BENCH_ARGS)
	$(VENV)/bin/python benchmarks/direct_bench.py $(DIRECT_BENCH_ARGS)

# The user guide: docs/ (pages) and the stubs' docstrings (API reference) built into
# site/ by MkDocs. --strict turns a broken link or reference into a failed build.
docs: install $(VENV)/.docs-deps
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/python -m mkdocs build --strict --site-dir site

test-py38:
ifneq ($(PYTHON38),)
	$(MAKE) --no-print-directory install38
	$(VENV38)/bin/python -m pytest $(PYTEST_ARGS)
else
	@echo "python3.8 not found: skipping the Python 3.8 run"
endif

# --- environments ---------------------------------------------------------

$(VENV)/.deps: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install $(PIP_FLAGS) --upgrade pip
	$(VENV)/bin/python -m pip install $(PIP_FLAGS) $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

$(VENV38)/.deps: pyproject.toml
	$(PYTHON38) -m venv $(VENV38)
	$(VENV38)/bin/python -m pip install $(PIP_FLAGS) --upgrade pip
	$(VENV38)/bin/python -m pip install $(PIP_FLAGS) $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

$(VENV)/.bench-deps: $(VENV)/.deps pyproject.toml
	$(VENV)/bin/python -m pip install $(PIP_FLAGS) --no-build-isolation -Cbuild-dir=build/{wheel_tag} -e ".[bench,dask,plot]"
	touch $@

$(VENV)/.docs-deps: $(VENV)/.deps pyproject.toml
	$(VENV)/bin/python -m pip install $(PIP_FLAGS) --no-build-isolation -Cbuild-dir=build/{wheel_tag} -e ".[docs]"
	touch $@

# The optional groups the tests and the demo exercise (a Dask cluster, figures) are
# installed too, so that those tests run rather than skip.
install: $(VENV)/.deps
	$(VENV)/bin/python -m pip install $(PIP_FLAGS) --no-build-isolation -Cbuild-dir=build/{wheel_tag} -e ".[dask,plot]"

install38: $(VENV38)/.deps
	$(VENV38)/bin/python -m pip install $(PIP_FLAGS) --no-build-isolation -Cbuild-dir=build/{wheel_tag} -e ".[dask,plot]"

# --- reliability -----------------------------------------------------------
# `make fuzz` throws arbitrary values at every public call (reliability/fuzz.py, run
# as a module from here so that the `reliability` package is importable);
# FUZZ_ARGS passes options through, e.g. FUZZ_ARGS="--only tidewell. --seed 3".

FUZZ_CASES ?= 100000
FUZZ_JOBS ?= 2
FUZZ_ARGS ?=

fuzz: install
	$(VENV)/bin/python -m reliability.fuzz --cases $(FUZZ_CASES) --jobs $(FUZZ_JOBS) $(FUZZ_ARGS)

# `make leakcheck` calls every public constructor and function of vantelo,
# portfolio_optimize with constraints (against stand-ins and the demo market) and
# every tidewell call (over a small store), thousands of times each, and fails when
# memory keeps growing after a warm-up. LEAKCHECK_ARGS="--only tidewell." narrows it.
LEAKCHECK_ARGS ?=

leakcheck: install
	$(VENV)/bin/python -m reliability.leakcheck $(LEAKCHECK_ARGS)

# `make test-asan` builds the extension modules with AddressSanitizer and
# UndefinedBehaviorSanitizer (their own venv and build directory) and runs the test
# suite, fuzz slice included, under them. The interpreter is not instrumented, so
# the runtime is preloaded, and libstdc++ right after it: the interpreter does not
# link it, and ASan must find the real __cxa_throw when it starts or the first C++
# exception aborts. Python allocates with malloc so that ASan sees it, and leak
# detection stays off (CPython's own allocations at exit are not ours).
VENV_ASAN ?= .venv-asan
ASAN_RUNTIME = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libstdc++.so)
ASAN_ENV = LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

$(VENV_ASAN)/.deps: pyproject.toml
	$(PYTHON) -m venv $(VENV_ASAN)
	$(VENV_ASAN)/bin/python -m pip install $(PIP_FLAGS) --upgrade pip
	$(VENV_ASAN)/bin/python -m pip install $(PIP_FLAGS) $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

install-asan: $(VENV_ASAN)/.deps
	$(VENV_ASAN)/bin/python -m pip install $(PIP_FLAGS) --no-build-isolation -Cbuild-dir=build/asan \
		-Ccmake.define.VANTELO_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo -e .

test-asan: install-asan
	$(ASAN_ENV) $(VENV_ASAN)/bin/python -m pytest $(PYTEST_ARGS)

# `make lint` runs the checks of CI and of .pre-commit-config.yaml: ruff over the
# Python, clang-format (the version pinned in the `lint` group of pyproject.toml)
# over the C++. `make format` rewrites the files instead.
PY_DIRS = src tests benchmarks examples reliability
CXX_FILES = $(sort $(shell find include src/cpp -name "*.hpp" -o -name "*.cpp"))
LINT_DEPS = $(VENV)/bin/python -c 'import sys; \
	toml = __import__("tomllib" if sys.version_info >= (3, 11) else "tomli"); \
	print(" ".join(toml.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["lint"]))'

$(VENV)/.lint-deps: $(VENV)/.deps pyproject.toml
	$(VENV)/bin/python -m pip install $(PIP_FLAGS) "tomli; python_version < '3.11'"
	$(VENV)/bin/python -m pip install $(PIP_FLAGS) $$($(LINT_DEPS))
	touch $@

lint: $(VENV)/.lint-deps
	$(VENV)/bin/ruff check $(PY_DIRS)
	$(VENV)/bin/ruff format --check $(PY_DIRS)
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_FILES)

format: $(VENV)/.lint-deps
	$(VENV)/bin/ruff format $(PY_DIRS)
	$(VENV)/bin/clang-format -i $(CXX_FILES)

# `make werror` compiles the extension modules with warnings as errors, in their
# own build directory and without installing them anywhere (CI runs it; a second
# run only rebuilds what changed).
WERROR_JOBS ?= 2

werror: $(VENV)/.deps
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B build/werror -G Ninja \
		-DCMAKE_BUILD_TYPE=Release -DVANTELO_WERROR=ON \
		-DPython_EXECUTABLE="$(abspath $(VENV))/bin/python" \
		-Dpybind11_DIR="$$($(VENV)/bin/python -m pybind11 --cmakedir)"
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build build/werror --parallel $(WERROR_JOBS)

clean:
	rm -rf build $(VENV) $(VENV38) $(VENV_ASAN)
