"""Spoiled CSC matrices through validate_csc_input and through every public
function that coerces with it: a spoiled layout or encoding must give the
clean matrix's result, a malformed structure a ValueError, and the caller's
arrays must be left byte for byte as they were."""

import warnings

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from scipy import sparse

import tarnix.btf as btf_module
import tarnix.camd as camd_module
import tarnix.ccolamd as ccolamd_module
import tarnix.colamd as colamd_module
import tarnix.spqr as spqr_module
from strategies import BENIGN, INVALID, corrupted, csc_fingerprint, csc_matrices, dense_patterns, fingerprint
from support import run_python
from tarnix.utils import validate_csc_input


def _solve(A):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", spqr_module.SPQRRankDeficiencyWarning)
        return spqr_module.spqr_solve(A, np.arange(1.0, A.shape[0] + 1))


def _factor(A):
    f = spqr_module.SPQRFactor(A)
    f.factorize(A)
    return f.qmult(np.eye(A.shape[0], dtype=f.dtype)), f.perm


# Every entry point, its result reduced to arrays.
FUNCTIONS = {
    "validate_csc_input": lambda A: validate_csc_input(A)[0].toarray(),
    "colamd": colamd_module.colamd,
    "symamd": colamd_module.symamd,
    "ccolamd": lambda A: ccolamd_module.ccolamd(A, np.arange(A.shape[1]) % 2),
    "csymamd": lambda A: ccolamd_module.csymamd(A, np.arange(A.shape[1]) % 2),
    "camd": lambda A: camd_module.camd(A, np.arange(A.shape[1]) % 2),
    "maxtrans": btf_module.maxtrans,
    "strongcomp": btf_module.strongcomp,
    "btf": btf_module.btf,
    "spqr": lambda A: tuple(x.toarray() if sparse.issparse(x) else x for x in spqr_module.spqr(A)),
    "SPQRFactor": _factor,
    "spqr_solve": _solve,
}
VALUE_BLIND = {"colamd", "symamd", "ccolamd", "csymamd", "camd", "maxtrans", "strongcomp", "btf"}


def as_arrays(result):
    return [np.asarray(r) for r in (result if isinstance(result, tuple) else (result,))]


def assert_same_result(got, expected, exact):
    for g, e in zip(as_arrays(got), as_arrays(expected)):
        assert g.shape == e.shape
        if exact:
            assert np.array_equal(g, e)
        else:
            assert np.allclose(g, e, atol=1e-10, equal_nan=True)


def call(name, A):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", sparse.SparseEfficiencyWarning)
        return FUNCTIONS[name](A)


square = csc_matrices(min_rows=1, max_rows=7, square=True, complex_values=False)


@given(case=corrupted(BENIGN, square))
@pytest.mark.parametrize("name", FUNCTIONS)
def test_spoiled_encodings_give_the_clean_result(name, case):
    clean, spoiled, kind = case
    before = csc_fingerprint(spoiled)
    got = call(name, spoiled)
    assert csc_fingerprint(spoiled) == before
    assert_same_result(got, call(name, clean), exact=name in VALUE_BLIND)


@given(case=corrupted(INVALID, square.filter(lambda A: A.nnz > 0)))
@pytest.mark.parametrize("name", FUNCTIONS)
def test_malformed_structures_are_refused(name, case):
    _, spoiled, kind = case
    before = csc_fingerprint(spoiled)
    with pytest.raises(ValueError):
        call(name, spoiled)
    assert csc_fingerprint(spoiled) == before


@given(case=corrupted(BENIGN + INVALID, square.filter(lambda A: A.nnz > 0), fmt="csr"))
def test_spoiled_csr_input_is_checked_before_conversion(case):
    # SciPy's CSR to CSC conversion trusts the indices: a bad one crashed.
    clean, spoiled, kind = case
    before = csc_fingerprint(spoiled)
    if kind in BENIGN:
        assert_same_result(call("validate_csc_input", spoiled), clean.toarray(), exact=False)
    else:
        with pytest.raises(ValueError):
            call("validate_csc_input", spoiled)
    assert csc_fingerprint(spoiled) == before


@given(A=square.filter(lambda A: A.nnz > 0), axis=st.integers(0, 1), lie=st.sampled_from(
    ["too_large", "negative", "short", "data_short"]))
def test_spoiled_coo_input_is_checked_before_conversion(A, axis, lie):
    C = sparse.coo_array(A)
    coords = [c.copy() for c in C.coords]
    if lie == "too_large":
        coords[axis][-1] = A.shape[axis] + 2
    elif lie == "negative":
        coords[axis][0] = -3
    elif lie == "short":
        coords[axis] = coords[axis][:-1]
    else:
        C.data = C.data[:-1].copy()
    C.coords = tuple(coords)
    before = fingerprint(C.data, *C.coords)
    with pytest.raises(ValueError):
        call("validate_csc_input", C)
    assert fingerprint(C.data, *C.coords) == before


def spoil_layout(D, how):
    if how == "fortran":
        return np.asfortranarray(D)
    if how == "negative_stride":
        return np.ascontiguousarray(D[::-1, ::-1])[::-1, ::-1]
    if how == "read_only":
        D = D.copy()
        D.setflags(write=False)
        return D
    if how == "byte_swapped":
        return D.astype(D.dtype.newbyteorder())
    if how == "int":
        return np.sign(D).astype(np.int8)
    if how == "nan":
        return np.where(D != 0, np.nan, 0.0)
    if how == "inf":
        return np.where(D != 0, np.inf, 0.0)
    raise AssertionError(how)


@given(D=dense_patterns(max_rows=7, square=True),
       how=st.sampled_from(["fortran", "negative_stride", "read_only", "byte_swapped", "int", "nan", "inf"]))
@pytest.mark.parametrize("name", FUNCTIONS)
def test_dense_input_in_any_layout(name, D, how):
    hostile = spoil_layout(D, how)
    before = fingerprint(hostile)
    clean = sparse.csc_array(np.ascontiguousarray(hostile, dtype=np.float64))
    try:
        got = call(name, hostile)
    except spqr_module.SPQRError:
        # Non-finite values can only upset the numeric factorization.
        assert how in ("nan", "inf") and name not in VALUE_BLIND
    else:
        assert_same_result(got, call(name, clean), exact=name in VALUE_BLIND)
    assert fingerprint(hostile) == before


@given(A=csc_matrices(max_rows=9, max_cols=9))
def test_canonical_result(A):
    # An already canonical matrix comes back as itself; a transposed copy in
    # CSR clothing comes back converted, equal and canonical.
    B, copied, itype = validate_csc_input(A)
    assert B is A and not copied and itype == A.indices.dtype
    with pytest.warns(sparse.SparseEfficiencyWarning):
        C, copied, itype = validate_csc_input(sparse.csr_array(A))
    assert np.array_equal(C.toarray(), A.toarray()) and C.has_canonical_format
    assert C.indptr.dtype == C.indices.dtype == itype and C.indptr.flags.c_contiguous


@pytest.mark.parametrize("dtype", [np.int8, np.int16])
def test_negative_narrow_row_index_beyond_the_narrow_range(dtype):
    # int8 -1 is 255 unsigned: a valid row of a 300-row matrix, but not a row.
    n = 2 ** (8 * np.dtype(dtype).itemsize) + 44
    A = sparse.csc_array(sparse.eye_array(n, format="csc"))
    A.indices = (A.indices % 100).astype(dtype)
    A.indptr = np.arange(n + 1, dtype=np.int32)
    A.indices[3] = -1
    before = csc_fingerprint(A)
    with pytest.raises(ValueError, match="row index -1"):
        validate_csc_input(A)
    with pytest.raises(ValueError):
        btf_module.maxtrans(A)
    assert csc_fingerprint(A) == before


@pytest.mark.parametrize("name", ["indptr", "indices", "data"])
@pytest.mark.parametrize("value", [None, [0, 1], 1.0], ids=["None", "list", "float"])
def test_csc_attributes_that_are_not_arrays(name, value):
    A = sparse.csc_array(np.eye(2))
    setattr(A, name, value)
    for fn in (validate_csc_input, colamd_module.colamd, spqr_module.spqr):
        with pytest.raises(ValueError, match=f"A.{name} must be a NumPy array"):
            fn(A)


@pytest.mark.parametrize("layout", ["canonical", "unsorted", "int64_pointers"])
def test_a_thread_writing_bad_values_while_others_validate(layout):
    # Eight threads coerce (and factorize, order) one matrix while another writes
    # out-of-range values into its arrays in place and puts them back. Any
    # call may fail or see either version; none may crash or hang.
    proc = run_python(f"""
        import sys, threading, time
        import numpy as np
        from scipy import sparse
        import tarnix.btf as tb
        import tarnix.colamd as tc
        import tarnix.spqr as ts
        from tarnix.utils import validate_csc_input
        sys.setswitchinterval(1e-5)
        rng = np.random.default_rng(5)
        A = sparse.csc_array(sparse.random_array((400, 300), density=0.05, rng=rng) + sparse.eye_array(400, 300))
        A.sum_duplicates()
        if "{layout}" == "unsorted":
            for j in range(A.shape[1]):
                s, e = A.indptr[j], A.indptr[j + 1]
                A.indices[s:e] = A.indices[s:e][::-1].copy()
                A.data[s:e] = A.data[s:e][::-1].copy()
            A.has_sorted_indices = False
        elif "{layout}" == "int64_pointers":
            A.indptr = A.indptr.astype(np.int64)
        good_indices, good_indptr = A.indices.copy(), A.indptr.copy()
        stop = time.monotonic() + 2.0
        def write():
            k = 0
            while time.monotonic() < stop:
                k += 1
                A.indices[k % len(good_indices)] = 2**30
                A.indptr[1 + k % (len(good_indptr) - 1)] = 2**30
                A.indices[:] = good_indices
                A.indptr[:] = good_indptr
        def call():
            while time.monotonic() < stop:
                # The modules check a canonical matrix natively, the
                # function in Python: both must survive the writer.
                for fn in (validate_csc_input, ts.spqr_factor, tb.maxtrans, tc.colamd):
                    try:
                        fn(A)
                    except (ValueError, ts.SPQRError):
                        pass
        threads = [threading.Thread(target=write)] + [threading.Thread(target=call) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print("done")
    """)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split() == ["done"]
