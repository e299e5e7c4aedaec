"""The native shortcuts of a call: the check that the modules make in place
of calling tarnix.utils.validate_csc_input for a matrix already in canonical
CSC form, index arguments cast without NumPy's Python functions, and
btf_q_permutation in one pass.

Every public function must give, for any argument, exactly the outcome (result
or exception type and message) it gives when the Python function does the
coercion, and the native check must be taken only where it applies: the
Python function is seen to run for everything else. The other shortcuts are
held against the NumPy expressions they stand for."""

import functools
import importlib
import operator
import sys
from contextlib import contextmanager

import numpy as np
import pytest
from scipy import sparse
from scipy.sparse.csgraph import maximum_bipartite_matching

import tarnix.btf as btf_module
import tarnix.camd as camd_module
import tarnix.ccolamd as ccolamd_module
import tarnix.colamd as colamd_module
import tarnix.spqr as spqr_module
from strategies import csc_fingerprint
from tarnix import utils
from tarnix._modules import MODULES as REGISTRY
from tarnix.utils import validate_csc_input

# The public extension modules, each of which binds validate_csc_input.
MODULES = [importlib.import_module(f"tarnix.{m.name}") for m in REGISTRY if m.public and m.extension]


pytestmark = pytest.mark.filterwarnings("ignore::scipy.sparse.SparseEfficiencyWarning",
                                        "ignore::tarnix.spqr.SPQRRankDeficiencyWarning")


def _rhs(A):
    # Of the right length for the matrices here, and small for the huge shapes.
    return np.arange(1.0, min(operator.index(A.shape[0]), 8) + 1)


def _constraints(A):
    return np.arange(min(operator.index(A.shape[1]), 8)) % 2


FUNCTIONS = {
    "colamd": colamd_module.colamd,
    "symamd": colamd_module.symamd,
    "ccolamd": lambda A: ccolamd_module.ccolamd(A, _constraints(A)),
    "csymamd": lambda A: ccolamd_module.csymamd(A, _constraints(A)),
    "camd": lambda A: camd_module.camd(A, _constraints(A)),
    "maxtrans": btf_module.maxtrans,
    "strongcomp": btf_module.strongcomp,
    "btf": btf_module.btf,
    "spqr": lambda A: spqr_module.spqr(A, mode="economic"),
    "spqr_factor": lambda A: spqr_module.spqr_factor(A).solve(_rhs(A)),
    "spqr_solve": lambda A: spqr_module.spqr_solve(A, _rhs(A)),
}


SQUARE_ONLY = {"symamd", "csymamd", "camd", "strongcomp", "btf"}


@contextmanager
def python_coercion():
    """Every module coerces through a stand-in that calls the Python function."""
    with pytest.MonkeyPatch.context() as mp:
        for module in MODULES:
            mp.setattr(module, "validate_csc_input", lambda *a, **k: validate_csc_input(*a, **k))
        yield


def python_ran(fn):
    """fn()'s outcome, and whether the Python validate_csc_input ran during it."""
    code = utils.validate_csc_input.__code__
    seen = []
    sys.setprofile(lambda frame, event, arg: seen.append(frame.f_code) if event == "call" else None)
    try:
        result = outcome(fn)
    finally:
        sys.setprofile(None)
    return result, code in seen


def outcome(fn):
    try:
        result = fn()
    except Exception as exc:  # noqa: BLE001 - the outcome is compared, whatever it is
        return type(exc), str(exc)
    parts = result if isinstance(result, tuple) else (result,)
    return [(np.asarray(x.toarray() if sparse.issparse(x) else x), getattr(x, "dtype", None))
            for x in parts if not isinstance(x, spqr_module.SPQRInfo)]


def same(a, b):
    if isinstance(a, tuple) or isinstance(b, tuple):
        return a == b
    return len(a) == len(b) and all(
        x.shape == y.shape and dx == dy and np.allclose(x, y, atol=1e-12, equal_nan=True)
        for (x, dx), (y, dy) in zip(a, b))


def base(n=6, m=None, index_dtype=np.int32, values=np.float64, cls=sparse.csc_array):
    m = n if m is None else m
    rng = np.random.default_rng(n * 7 + m)
    D = (rng.random((m, n)) < 0.4) * rng.uniform(1, 2, (m, n)) + 3 * np.eye(m, n)
    A = cls(D.astype(values))
    A.indptr, A.indices = A.indptr.astype(index_dtype), A.indices.astype(index_dtype)
    return A


class Sub(sparse.csc_array):
    pass


def _set(A, **arrays):
    for name, value in arrays.items():
        setattr(A, name, value)
    return A


def _unsorted(A):
    A.indices[:2] = A.indices[:2][::-1].copy()
    return A


def _duplicate(A):
    A.indices[1] = A.indices[0]
    return A


def _bad_row(A, row):
    A.indices[-1] = row
    return A


def _bad_pointer(A, j, value):
    A.indptr[j] = value
    return A


def _swapped(a):
    return a.astype(a.dtype.newbyteorder())


# Arguments the native check takes (the Python function must not run) ...
NATIVE = {
    "int32": lambda: base(),
    "int64": lambda: base(index_dtype=np.int64),
    "complex": lambda: base(values=np.complex128),
    "csc_matrix": lambda: base(cls=sparse.csc_matrix),
    "tall": lambda: base(4, 7),
    "wide": lambda: base(7, 4),
    "explicit_zeros": lambda: _set(base(), data=np.zeros(base().nnz)),
    "empty_columns": lambda: sparse.csc_array(np.diag([1.0, 0, 0, 2, 0])),
    "no_entries": lambda: sparse.csc_array((5, 5)),
    "no_columns": lambda: sparse.csc_array((3, 0)),
    "no_rows": lambda: sparse.csc_array((0, 3)),
    "last_row": lambda: sparse.csc_array(np.eye(5)[::-1].copy()),
}
# ... and those it leaves to the Python function: other classes and layouts,
# widths it would convert, malformed structures it would refuse.
PYTHON = {
    "subclass": lambda: Sub(base()),
    "array_subclass": lambda: _set(base(), indices=base().indices.view(np.memmap)),
    "read_only": lambda: _set(base(), data=np.frombuffer(base().data.tobytes())),
    "negative_stride": lambda: _set(base(), indices=np.ascontiguousarray(base().indices[::-1])[::-1]),
    "strided": lambda: _set(base(), indptr=np.repeat(base().indptr, 2)[::2]),
    "byte_swapped": lambda: _set(base(), indices=_swapped(base().indices)),
    "byte_swapped_data": lambda: _set(base(), data=_swapped(base().data)),
    "int16": lambda: base(index_dtype=np.int16),
    "uint32": lambda: base(index_dtype=np.uint32),
    "longlong": lambda: base(index_dtype=np.longlong),
    "mixed_widths": lambda: _set(base(), indptr=base().indptr.astype(np.int64)),
    "float32_data": lambda: _set(base(), data=base().data.astype(np.float32)),
    "unsorted": lambda: _unsorted(base()),
    "duplicate": lambda: _duplicate(base()),
    "trailing_entries": lambda: _set(base(), indices=np.append(base().indices, 0), data=np.append(base().data, 1.0)),
    "data_short": lambda: _set(base(), data=base().data[:-1].copy()),
    "data_2d": lambda: _set(base(), data=base().data.reshape(1, -1).copy()),
    "row_too_large": lambda: _bad_row(base(), 6),
    "row_negative": lambda: _bad_row(base(), -1),
    "one_based_pointers": lambda: _set(base(), indptr=base().indptr + 1),
    "pointer_start": lambda: _bad_pointer(base(), 0, -1),
    "pointer_decreasing": lambda: _bad_pointer(base(), 3, 0),
    "pointer_overrun": lambda: _bad_pointer(base(), 6, 1000),
    "pointer_short": lambda: _set(base(), indptr=base().indptr[:-1].copy()),
    "format_lie": lambda: _set(base(), _format="csr"),
    "numpy_int_shape": lambda: _set(base(), _shape=(np.int64(6), np.int64(6))),
    "bool_shape": lambda: _set(sparse.csc_array((1, 1)), _shape=(True, True)),
    "list_shape": lambda: _set(base(), _shape=[6, 6]),
    "shape_beyond_int64": lambda: _set(sparse.csc_array((2, 0)), _shape=(2**70, 0)),
    "int32_rows_beyond_int32": lambda: _set(sparse.csc_array((2, 0)), _shape=(2**31, 0)),
    "huge_columns": lambda: _set(base(index_dtype=np.int64), _shape=(2**40, 2**40)),
    "indptr_missing": lambda: _set(base(), indptr=None),
}


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("case", list(NATIVE) + list(PYTHON))
def test_same_outcome_as_the_python_function(name, case):
    fn = FUNCTIONS[name]
    if case == "int32_rows_beyond_int32" and name.startswith("spqr"):
        pytest.skip("SPQR would work on the 2**31 rows")
    build = NATIVE.get(case) or PYTHON[case]
    A = build()
    before = csc_fingerprint(A)
    got, python = python_ran(lambda: fn(A))
    assert csc_fingerprint(A) == before
    with python_coercion():
        expected = outcome(lambda: fn(build()))
    assert same(got, expected), (got, expected)
    # A function of square matrices leaves a rectangular one to the Python function's message.
    rectangular = name in SQUARE_ONLY and A.shape[0] != A.shape[1]
    assert python == (case in PYTHON or rectangular)
    assert isinstance(got, list) or python, got


def test_row_indices_as_the_python_function_reports_them():
    # The native check only decides; the message is the Python function's.
    for row, text in ((6, "row index 6 out of range for 6 rows"), (-1, "row index -1 out of range")):
        with pytest.raises(ValueError, match=text):
            btf_module.maxtrans(_bad_row(base(), row))
    with pytest.raises(ValueError, match=r"A.indptr\[0\] must be 0, got 1"):
        colamd_module.colamd(_set(base(), indptr=base().indptr + 1))


def test_explicit_zeros_are_structural_entries():
    A = base(8)
    A.data[:] = 0.0
    matched = btf_module.maxtrans(A)
    pattern = sparse.csr_array((np.ones(A.nnz), A.indices, A.indptr), shape=A.shape[::-1])
    expected = maximum_bipartite_matching(pattern, perm_type="column")
    assert (matched >= 0).sum() == (expected >= 0).sum() == 8


def test_a_replaced_binding_is_called_for_canonical_input(monkeypatch):
    A = base()
    calls = []

    def spy(*args, **kwargs):
        calls.append(args[0])
        return validate_csc_input(*args, **kwargs)

    for module in MODULES:
        monkeypatch.setattr(module, "validate_csc_input", spy)
    colamd_module.colamd(A)
    btf_module.btf(A)
    spqr_module.spqr(A)
    assert calls == [A, A, A]
    monkeypatch.undo()
    assert not python_ran(lambda: btf_module.btf(A))[1]
    monkeypatch.delattr(btf_module, "validate_csc_input")
    with pytest.raises(NameError, match="validate_csc_input"):
        btf_module.maxtrans(A)


class Swapping(sparse.csc_array):
    """Each read of `indices` swaps in a spoiled copy for the next read."""

    @property
    def indices(self):
        self.__dict__["reads"] = self.__dict__.get("reads", 0) + 1
        good = self.__dict__["good"]
        return good if self.__dict__["reads"] % 2 else np.full_like(good, 10**6)

    @indices.setter
    def indices(self, value):
        self.__dict__["good"] = value


class Lying(str):
    def __ne__(self, other):
        Lying.called = True
        return False


class Index:
    """A shape entry whose conversion spoils the matrix it belongs to."""

    def __init__(self, A, n):
        self.A, self.n = A, n

    def __index__(self):
        self.A.indices = np.full_like(self.A.indices, 10**6)
        return self.n


def _mutating_shape():
    A = base()
    A._shape = (Index(A, 6), 6)
    return A


@pytest.mark.parametrize("make", [lambda: Swapping(base()), lambda: _set(base(), _format=Lying("csc")),
                                  _mutating_shape], ids=["property", "format", "shape_index"])
@pytest.mark.parametrize("name", FUNCTIONS)
def test_callbacks_go_the_python_way(name, make):
    A = make()
    got, python = python_ran(lambda: FUNCTIONS[name](A))
    assert python
    assert isinstance(got, list) or issubclass(got[0], (ValueError, TypeError)), got


def _reference_constraints(c, index_dtype):
    """What the Python conversion gives: np.asarray, refusing wrapped values."""
    converted = np.asarray(c, dtype=index_dtype, order="C")
    if isinstance(c, np.ndarray) and c.dtype.kind in "iu" and not np.can_cast(c.dtype, converted.dtype):
        if not np.array_equal(converted, c):
            raise ValueError(f"Values in constraints exceed the range of the index dtype {converted.dtype}.")
    return converted


def _constraint_arrays(n, index_dtype):
    top = np.iinfo(index_dtype).max
    plain = np.arange(n) % 3
    big = plain.copy()
    big[-1] = top + 1 if index_dtype == np.int32 else top
    out = {f"{dt.__name__}": plain.astype(dt) for dt in (np.int8, np.int32, np.int64, np.uint32, np.uint64, np.longlong)}
    out.update({
        "int64_beyond": big.astype(np.int64) if index_dtype == np.int32 else big,
        "uint64_beyond": np.full(n, 2**64 - 1, dtype=np.uint64),
        "int64_low": np.full(n, np.iinfo(np.int32).min - 1, dtype=np.int64),
        "negative": -plain - 1,
        "strided": np.repeat(plain, 2)[::2],
        "byte_swapped": plain.astype(np.dtype(np.int64).newbyteorder()),
        "read_only": np.frombuffer(plain.astype(index_dtype).tobytes(), dtype=index_dtype),
        "two_d": plain.reshape(1, -1),
        "bool": plain.astype(bool),
        "float": plain.astype(float),
        "list": plain.tolist(),
        "subclass": plain.view(np.memmap),
    })
    return out


@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
@pytest.mark.parametrize("fn", [ccolamd_module.ccolamd, ccolamd_module.csymamd, camd_module.camd],
                         ids=["ccolamd", "csymamd", "camd"])
def test_constraints_convert_as_numpy_does(fn, index_dtype):
    A = base(8, index_dtype=index_dtype)
    for kind, c in _constraint_arrays(8, index_dtype).items():
        before = c.copy() if isinstance(c, np.ndarray) else list(c)
        got = outcome(lambda: fn(A, c))
        try:
            reference = _reference_constraints(c, index_dtype)
        except ValueError as exc:
            expected = (ValueError, str(exc))
        else:
            expected = outcome(lambda: fn(A, reference))
        assert same(got, expected), (kind, got, expected)
        assert np.array_equal(np.asarray(c), np.asarray(before)), kind


@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
def test_strongcomp_reorders_a_fitting_q_in_place(index_dtype):
    A = base(8, index_dtype=index_dtype)
    q = np.arange(8, dtype=index_dtype)[::-1].copy()
    _, q_out, _ = btf_module.strongcomp(A, q)
    assert q_out is q
    other = np.arange(8, dtype=np.int64 if index_dtype == np.int32 else np.int32)
    _, q_new, _ = btf_module.strongcomp(A, other)
    assert q_new is not other and np.array_equal(other, np.arange(8))
    with pytest.raises(ValueError, match="Values in qin exceed the range"):
        btf_module.strongcomp(base(8), np.full(8, 2**40))


def _numpy_unflip(q):
    """btf_q_permutation's NumPy expression, the reference."""
    q = np.asarray(q)
    q[q < 0] = -q[q < 0] - 2
    return q


def _q_values(dtype):
    if np.dtype(dtype).kind == "u":
        return np.array([0, 3, 5, np.iinfo(dtype).max], dtype=dtype)
    if np.dtype(dtype).kind == "f":
        return np.array([0.0, -2.0, 3.5, -7.0], dtype=dtype)
    low = np.iinfo(dtype).min
    return np.array([0, -2, 3, -7, low, low + 1, -1, 5], dtype=dtype)


def _q_layout(values, layout):
    if layout == "strided":
        return np.repeat(values, 2)[::2]
    if layout == "byte_swapped":
        return values.astype(values.dtype.newbyteorder())
    if layout == "read_only":
        q = values.copy()
        q.setflags(write=False)
        return q
    if layout == "subclass":
        return values.copy().view(np.memmap)
    if layout == "list":
        return values.tolist()
    return values.copy()


@pytest.mark.parametrize("dtype", [np.int32, np.int64, np.int16, np.uint32, np.float64, np.longlong])
@pytest.mark.parametrize("layout", ["plain", "strided", "byte_swapped", "read_only", "subclass", "list"])
def test_btf_q_permutation_matches_numpy(dtype, layout):
    # Wrapping at the bottom of the range, in place where NumPy is in place.
    q, reference = (_q_layout(_q_values(dtype), layout) for _ in range(2))
    got = outcome(lambda: btf_module.btf_q_permutation(q))
    expected = outcome(lambda: _numpy_unflip(reference))
    assert same(got, expected), (got, expected)
    assert np.array_equal(np.asarray(q), np.asarray(reference))
    if isinstance(got, list):
        assert np.array_equal(got[0][0], expected[0][0])


def test_btf_q_permutation_returns_the_array_it_was_given():
    q = np.array([0, -3, 1], dtype=np.int32)
    assert btf_module.btf_q_permutation(q) is q and q.tolist() == [0, 1, 1]


# The canonical check scans the rows as one sequence, in blocks (a copy is
# made and checked 16 KiB at a time, counts are kept per 65536 entries),
# and settles each column's first entry in a pass over the pointers. Faults
# placed at and beside those block edges, on the first and last entries of
# columns, and around empty columns, must be found exactly where SciPy's own
# test of the canonical form finds them.

@functools.cache
def _base_pattern(index_dtype, ncols=9000, seed=3):
    rng = np.random.default_rng(seed)
    nrows = ncols
    lengths = rng.integers(0, 16, ncols)
    lengths[:3] = 0
    lengths[-4:] = 0
    lengths[rng.choice(ncols, 200, replace=False)] = 0
    rows = [np.sort(rng.choice(nrows, n, replace=False)) for n in lengths]
    indptr = np.concatenate([[0], np.cumsum(lengths)]).astype(index_dtype)
    indices = np.concatenate(rows).astype(index_dtype)
    return sparse.csc_array((np.ones(len(indices)), indices, indptr), shape=(nrows, ncols))


def _pattern(index_dtype):
    """A canonical pattern of about 70,000 entries, with empty columns at the start, end and inside."""
    A = _base_pattern(index_dtype)
    return sparse.csc_array((A.data.copy(), A.indices.copy(), A.indptr.copy()), shape=A.shape)


def _scipy_canonical(A):
    indices = A.indices
    fresh = sparse.csc_array((np.ones(len(indices)), indices.copy(), A.indptr.copy()), shape=A.shape)
    in_range = len(indices) == 0 or (indices.min() >= 0 and indices.max() < A.shape[0])
    return bool(in_range and fresh.has_canonical_format)


def _column_of(A, k):
    return int(np.searchsorted(A.indptr, k, side="right")) - 1


def _swap_inside(A, k):
    """Entries k and k+1 exchanged, both in one column."""
    j = _column_of(A, k)
    k = min(max(k, int(A.indptr[j])), int(A.indptr[j + 1]) - 2)
    A.indices[k], A.indices[k + 1] = A.indices[k + 1], A.indices[k]
    return A


def _first_entries(A):
    starts = A.indptr[:-1][np.diff(A.indptr) > 0]
    return starts


def _edges(A):
    """Positions at and beside the block edges of the scans, inside the pattern."""
    edges = []
    for block in (2048, 4096, 65536):
        for k in range(block, A.nnz, block):
            edges += [k - 1, k, k + 1]
    return sorted(set(e for e in edges if 1 <= e < A.nnz - 1))


def _faults(A):
    """(name, mutation) pairs; each mutation returns A changed in one place."""
    firsts = _first_entries(A)
    yield "none", lambda A: A
    for k in _edges(A)[::3]:
        yield f"swap at {k}", lambda A, k=k: _swap_inside(A, k)
        yield f"repeat at {k}", lambda A, k=k: _set_entry(A, k, A.indices[k - 1])
    # Across a column boundary a fall, or an equal row, is allowed.
    j = len(firsts) // 2
    s = int(firsts[j])
    yield "first equals previous last", lambda A, s=s: _set_entry(A, s, A.indices[s - 1]) \
        if A.indices[s] < A.indices[s - 1] and (s + 1 >= A.nnz or A.indices[s - 1] < A.indices[s + 1]) else A
    yield "first entry negative", lambda A: _set_entry(A, int(firsts[5]), -1)
    yield "first entry of all negative", lambda A: _set_entry(A, 0, -1)
    yield "last entry at nrows", lambda A: _set_entry(A, A.nnz - 1, A.shape[0])
    yield "last of a column at nrows", lambda A: _set_entry(A, int(firsts[6]) - 1, A.shape[0] + 5)
    yield "last entry repeats", lambda A: _set_entry(A, A.nnz - 1, A.indices[A.nnz - 2])
    yield "second entry falls", lambda A: _set_entry(A, 1, A.indices[0] - 1) if A.indptr[4] > 1 else A


def _set_entry(A, k, value):
    A.indices[k] = value
    return A


@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
@pytest.mark.parametrize("fn", [btf_module.strongcomp, colamd_module.colamd], ids=["copied", "in_place"])
def test_native_check_decides_as_scipy(fn, index_dtype):
    checked = 0
    for name, mutate in _faults(_pattern(index_dtype)):
        A = mutate(_pattern(index_dtype))
        expected_canonical = _scipy_canonical(A)
        _, python = python_ran(lambda: fn(A))
        assert python == (not expected_canonical), name
        checked += 1
    assert checked > 40


def test_native_check_of_tiny_patterns():
    # One entry, one column, every column empty but one, entries only in the last column.
    for dense in (np.array([[2.0]]), np.ones((5, 1)), np.diag([0, 0, 3.0, 0]), np.eye(4)[:, ::-1] * [0, 0, 0, 1]):
        A = sparse.csc_array(dense)
        _, python = python_ran(lambda: btf_module.maxtrans(A))
        assert not python
        B = _set(sparse.csc_array(dense), indices=sparse.csc_array(dense).indices + dense.shape[0])
        _, python = python_ran(lambda: btf_module.maxtrans(B))
        assert python


def test_strongcomp_reads_the_pattern_as_it_was_coerced():
    # Converting q runs Python code after the matrix was coerced; what it
    # does to the matrix's arrays then no longer reaches the library.
    A = base(8)
    expected = btf_module.strongcomp(base(8), np.arange(8))

    class Spoiler:
        def __array__(self, dtype=None, copy=None):
            A.indices[:] = 10**6
            A.indptr[1:] = 0
            return np.arange(8, dtype=dtype)

    got = btf_module.strongcomp(A, Spoiler())
    assert all(np.array_equal(g, e) for g, e in zip(got, expected))
