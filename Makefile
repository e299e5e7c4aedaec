# tarnix: set-up, build, demo, tests and benchmarks.
#
#   make demo    install what is missing, build, run python -m tarnix on the bundled sample
#   make test    the same set-up, then the whole test suite
#   make bench   the same set-up, then the benchmarks
#   make wheel   a self-contained manylinux_2_28-or-older wheel in dist/ for $(PYTHON)
#                (needs only python3 and network: the compiler comes from PyPI, and it
#                builds the pinned SuiteSparse itself)
#   make wheels  the same for every interpreter of WHEEL_PYTHONS this machine reaches
#   make docs    the same set-up, then the documentation into build/docs/html (warnings are errors)
#
# Checked builds, run by hand (each in its own build tree under build/checked):
#   make asan      the test suite against extensions built with AddressSanitizer and UBSan
#   make valgrind  the spqr and cholmod tests under valgrind's memcheck
#   make coverage  line and branch coverage of the C++ (gcovr) and of the Python (coverage.py)
#   make tsan      the thread tests against extensions built with ThreadSanitizer, on a
#                  free-threaded interpreter configured --with-thread-sanitizer, GIL off
#
# Free-threaded CPython, by hand (scripts/freethreaded-python builds the interpreter from
# Debian's source package once, cached in ~/.cache/tarnix and shared by every checkout):
#   make test-freethreaded  the whole suite with PYTHON_GIL=0 in build/freethreaded/venv,
#                           then a check that importing tarnix leaves the GIL disabled
#
# Bare-machine runs, by hand and as root, each in a minimal Debian root made
# with debootstrap and removed afterwards (scripts/fresh-root; DIST=bookworm
# or trixie; REPO and REF choose the committed source to clone):
#   make fresh-root   `make test` on a clean clone, the root holding only python3, python3-venv, make, git
#   make wheel-root   the wheel of `make wheel` (or WHEEL=file) installed with pip, no compiler in the root;
#                     WHEEL_PYTHON=path builds it with that interpreter, of the root's Python release
#   make wheels-root  each wheel in dist/ (or WHEELS=files) in a root of the Debian release that
#                     packages its CPython (cp311 bookworm, cp313 trixie, cp314 sid), one after another
#   make source-root  `pip install` of the source in a root with a compiler but no SuiteSparse or BLAS
#
# The suite against the oldest NumPy/SciPy that pyproject.toml declares and against the newest
# on PyPI, each in a throwaway venv (scripts/test-versions; PYTHON chooses the interpreter):
#   make test-oldest  make test-newest

PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
SOURCES := $(shell find src cmake -type f) CMakeLists.txt pyproject.toml

.PHONY: all deps venv build demo test bench clean asan tsan valgrind docs coverage wheel wheels test-freethreaded

# The test builds carry the test hooks (tarnix._testing); a wheel for users does not.
TESTING := -Ccmake.define.TARNIX_TESTING=ON

all: build

deps:
	bash scripts/install-deps

$(VENV)/.tools: pyproject.toml
	@$(MAKE) --no-print-directory deps
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet "scikit-build-core>=0.11" "numpy>=2.0" "scipy>=1.15" scipy-openblas32 "pytest>=7" "hypothesis>=6" "matplotlib>=3.7" \
	    "mypy>=1.18" scipy-stubs
	touch $@

venv: $(VENV)/.tools

$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	@$(MAKE) --no-print-directory deps
	$(PIP) install --quiet --no-build-isolation --no-deps $(TESTING) .
	touch $@

build: $(VENV)/.installed

demo: build
	cd /tmp && $(abspath $(PY)) -m tarnix

test: build
	$(PY) -m pytest

bench: build
	$(PY) benchmarks/run.py

$(VENV)/.docs-tools: $(VENV)/.tools docs/requirements.txt
	$(PIP) install --quiet -r docs/requirements.txt
	touch $@

# The API pages are regenerated from the installed package on every build;
# -W --keep-going reports every warning, then fails.
docs: build $(VENV)/.docs-tools
	rm -rf docs/api/generated build/docs
	MPLBACKEND=Agg $(PY) -m sphinx -W --keep-going -b html -d build/docs/doctrees docs build/docs/html
	@echo "documentation: $(abspath build/docs/html/index.html)"

CHECKED := build/checked
CHECKED_INSTALL = $(PIP) install --quiet --no-build-isolation --no-deps --upgrade \
	--target $(CHECKED)/$(1)/site -Cbuild-dir=$(CHECKED)/$(1)/cmake -Ccmake.build-type=Debug $(TESTING) $(2) .

$(CHECKED)/asan/.installed: $(VENV)/.tools $(SOURCES)
	$(call CHECKED_INSTALL,asan,-Ccmake.define.TARNIX_SANITIZE=ON)
	touch $@

# The interpreter is not instrumented, so the sanitizer runtime is preloaded
# (with the C++ runtime, whose exception entry points it intercepts);
# PYTHONMALLOC=malloc lets it see every object allocation, and --capture=sys
# leaves its reports on the terminal. Leak detection is
# off here (CPython keeps memory alive at exit by design); leaks are the
# business of tests/test_leaks.py and `make valgrind`. A request larger than
# the sanitizer's allocator serves returns null, as it does from the system's
# allocator: the tests that ask for terabytes check the MemoryError that follows.
asan: $(CHECKED)/asan/.installed
	PYTHONPATH=$(abspath $(CHECKED))/asan/site PYTHONMALLOC=malloc \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=0:allocator_may_return_null=1:strict_string_checks=1:check_initialization_order=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=$(abspath scripts/ubsan.supp) \
	$(PY) -m pytest -p no:cacheprovider -q --capture=sys

# The venvs and build trees are the script's own (build/freethreaded, build/checked/tsan).
test-freethreaded:
	bash scripts/test-freethreaded
tsan:
	bash scripts/test-freethreaded --tsan

# The tests that spend their time in dense reference computations are left
# out: under valgrind they take hours and reach no tarnix code the others miss.
# So is the one that times another thread during a call: valgrind runs one
# thread at a time, in slices of its own choosing.
valgrind: build
	$(PY) scripts/memcheck tests/test_spqr_factor.py tests/test_spqr_solve.py tests/test_spqr_functions.py \
	    tests/test_cholmod.py tests/test_allocation_failures.py tests/test_spqr_triangular.py \
	    -k "not rank_matches_numpy and not conjugate_transpose and not against_lstsq and not other_threads_run"

$(CHECKED)/coverage/.installed: $(VENV)/.tools $(SOURCES)
	$(PIP) install --quiet "coverage>=7" "gcovr>=7"
	$(call CHECKED_INSTALL,coverage,-Ccmake.define.TARNIX_COVERAGE=ON)
	touch $@

coverage: $(CHECKED)/coverage/.installed
	find $(CHECKED)/coverage/cmake -name '*.gcda' -delete
	PYTHONPATH=$(abspath $(CHECKED))/coverage/site $(PY) -m coverage run --branch --source=tarnix \
	    --data-file=$(CHECKED)/coverage/.coverage -m pytest -p no:cacheprovider -q
	$(PY) -m coverage report --data-file=$(CHECKED)/coverage/.coverage
	mkdir -p $(CHECKED)/coverage/html
	$(PY) -m gcovr --root . --filter src/tarnix/ --exclude-throw-branches --exclude-unreachable-branches \
	    --txt-metric branch --print-summary --txt $(CHECKED)/coverage/cpp.txt \
	    --html-details $(CHECKED)/coverage/html/index.html $(CHECKED)/coverage/cmake
	@echo "C++ coverage by file: $(CHECKED)/coverage/cpp.txt; line by line: $(CHECKED)/coverage/html/index.html"

# The wheels: SuiteSparse built from the pinned release whatever the machine has installed,
# calling the BLAS/LAPACK of scipy-openblas32 (a dependency of the wheel, loaded before the
# extensions, so the wheel holds no copy of it), compiled by Zig's clang for glibc 2.28 with
# libc++ linked into each module (scripts/build-wheels), then checked and tagged by auditwheel.
#
# One wheel per CPython release, not one cp312-abi3 wheel for all. Under Py_LIMITED_API
# (3.12) every Py_INCREF/Py_DECREF becomes a call into the interpreter and tuples are read
# through PyTuple_GetItem instead of PyTuple_GET_ITEM, costs on the per-call overhead that
# benchmarks/bench_overhead.py measures (0.5 to 20 microseconds a call); the function type
# (common/function.cpp) and SPQRFactor read tp_name, tp_alloc and tp_free of the opaque
# PyTypeObject, and use PyMethod_New and Py_XSETREF, none of which the limited API has, nor
# PyType_GetModuleByDef before 3.13; NumPy does not promise its C API under the limited API;
# and a free-threaded CPython (3.13t, 3.14t) has no stable ABI, so needs its own wheel anyway.
# What abi3 would add, a wheel for a release built nowhere here, is covered by building
# each release's wheel (3.12 with pyenv's interpreter).
#
# WHEEL_PYTHONS: interpreters of this machine (a bare pythonX.Y is also looked for in pyenv's
# versions) or debian:SUITE:pythonX.Y, built in a root of that Debian release (as root). The
# free-threaded interpreters that scripts/freethreaded-python has built into the cache join
# the list (that script builds one when run: FT_SERIES=3.13 scripts/freethreaded-python).
TARNIX_CACHE := $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/tarnix
FREETHREADED_PYTHON := $(foreach d,$(patsubst %/.complete,%,$(wildcard $(TARNIX_CACHE)/python3.1*t/.complete)),$(d)/bin/$(notdir $(d)))
WHEEL_PYTHONS ?= python3.11 python3.12 python3.13 debian:sid:python3.14 $(FREETHREADED_PYTHON)

wheel:
	bash scripts/build-wheels $(PYTHON)

wheels:
	bash scripts/build-wheels $(WHEEL_PYTHONS)

DIST ?= bookworm
REPO ?= .
REF  ?= HEAD
FRESH_ROOT = bash scripts/fresh-root --dist $(DIST) --repo $(REPO) --ref $(REF)

.PHONY: fresh-root wheel-root wheels-root source-root test-oldest test-newest
test-oldest:
	bash scripts/test-versions oldest $(if $(filter command line,$(origin PYTHON)),$(PYTHON))
test-newest:
	bash scripts/test-versions newest $(if $(filter command line,$(origin PYTHON)),$(PYTHON))
fresh-root:
	$(FRESH_ROOT) make-test
wheel-root:
	$(FRESH_ROOT) $(if $(WHEEL),--wheel $(WHEEL)) $(if $(WHEEL_PYTHON),--python $(WHEEL_PYTHON)) wheel
source-root:
	$(FRESH_ROOT) source
WHEELS ?= $(wildcard dist/tarnix-*.whl)
wheels-root:
	bash scripts/wheels-root --repo $(REPO) --ref $(REF) $(WHEELS)

clean:
	rm -rf build $(VENV)
