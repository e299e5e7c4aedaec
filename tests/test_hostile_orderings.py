"""Random and hostile input for the orderings (colamd, ccolamd, camd) and the
structural decompositions (btf): results checked against their defining
properties and SciPy's graph algorithms, corrupted arguments against their
documented errors, with the caller's arrays left as they were."""

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st
from scipy import sparse
from scipy.sparse import csgraph

import tarnix.btf as btf_module
import tarnix.camd as camd_module
import tarnix.ccolamd as ccolamd_module
import tarnix.colamd as colamd_module
from strategies import csc_matrices, fingerprint, padded
from support import is_permutation, with_index_dtype

ORDERING_ERRORS = (ValueError, TypeError, OverflowError, colamd_module.COLAMDError, ccolamd_module.CCOLAMDError,
                   camd_module.CAMDError)

square = csc_matrices(max_rows=10, square=True)
rectangular = csc_matrices(max_rows=10, max_cols=10)


def constraint_sets(n):
    return st.lists(st.integers(0, max(n - 1, 0)), min_size=n, max_size=n).map(np.array)


# ---------------------------------------------------------------------------
# Valid input, valid results


@given(A=rectangular, data=st.data())
def test_column_orderings(A, data):
    n = A.shape[1] if A.shape[0] else 0  # (no rows: an empty ordering)
    q = colamd_module.colamd(A)
    assert is_permutation(q, n) and q.dtype == A.indices.dtype
    # Both widths run the same algorithm.
    other = np.int64 if A.indices.dtype == np.int32 else np.int32
    assert np.array_equal(colamd_module.colamd(with_index_dtype(A, other)), q)
    sets = data.draw(constraint_sets(A.shape[1]))
    q = ccolamd_module.ccolamd(A, constraints=sets, opt_lu=data.draw(st.sampled_from([None, "lu", "cholesky"])))
    assert is_permutation(q, n)
    if n > 1 and A.nnz and A.shape[0] > 1:
        assert (np.diff(sets[q]) >= 0).all()


@given(A=square, data=st.data())
@pytest.mark.parametrize("order", ["symamd", "csymamd", "camd"])
def test_symmetric_orderings(order, A, data):
    n = A.shape[0]
    sets = data.draw(constraint_sets(n))
    if order == "symamd":
        p, sets = colamd_module.symamd(A), None
    elif order == "csymamd":
        p = ccolamd_module.csymamd(A, constraints=sets)
    else:
        p = camd_module.camd(A, constraints=sets)
    assert is_permutation(p, n) and p.dtype == A.indices.dtype
    if sets is not None and n > 1 and A.nnz:
        assert (np.diff(sets[p]) >= 0).all()


@given(A=csc_matrices(min_rows=2, max_rows=10, min_cols=2, max_cols=10), huge=st.sampled_from([1e10, 1e30, 1e39, np.inf]))
@pytest.mark.parametrize("order", ["colamd", "symamd", "ccolamd", "csymamd"])
def test_huge_dense_thresholds_make_nothing_dense(order, A, huge):
    # A threshold past any row or column length must act as one just past it,
    # not wrap around in the library into "everything is dense".
    fn = {"colamd": colamd_module.colamd, "symamd": colamd_module.symamd, "ccolamd": ccolamd_module.ccolamd,
          "csymamd": ccolamd_module.csymamd}[order]
    if order in ("symamd", "csymamd"):
        A = A[:, :A.shape[0]] if A.shape[1] >= A.shape[0] else A[:A.shape[1]]
        A = sparse.csc_array(A)
    assume(A.nnz > 0)
    expected = fn(A, dense_row_thresh=1e6, dense_col_thresh=1e6, return_info=True)
    got = fn(A, dense_row_thresh=huge, dense_col_thresh=huge, return_info=True)
    assert np.array_equal(got[0], expected[0]) and got[1] == expected[1]
    with pytest.raises(ValueError, match="NaN"):
        fn(A, dense_row_thresh=np.nan)


def block_of(r, n):
    """For each position of the permuted matrix, the index of its block."""
    return np.repeat(np.arange(len(r) - 1), np.diff(r)) if n else np.zeros(0, int)


def assert_block_upper_triangular(B, r):
    blk = block_of(r, B.shape[0])
    rows, cols = B.nonzero()
    assert (blk[rows] <= blk[cols]).all()


def strong_components(B):
    return csgraph.connected_components(sparse.csr_array(B), directed=True, connection="strong")[0]


@given(A=rectangular)
def test_maxtrans_is_a_maximum_matching(A):
    jmatch = btf_module.maxtrans(A)
    assert jmatch.shape == (A.shape[0] if A.shape[1] else 0,)
    matched = jmatch[jmatch >= 0]
    assert len(set(matched.tolist())) == len(matched) and (jmatch >= -1).all()
    D = A.toarray()
    assert all(D[i, j] != 0 for i, j in enumerate(jmatch) if j >= 0)
    assert len(matched) == (csgraph.structural_rank(A) if A.nnz else 0)


@given(A=square, data=st.data())
def test_strongcomp_finds_the_strong_components(A, data):
    n = A.shape[0]
    p, r = btf_module.strongcomp(A)
    assert is_permutation(p, n) and r[0] == 0 and r[-1] == n and (np.diff(r) > 0).all()
    B = A[p][:, p] if n else A
    assert_block_upper_triangular(B, r)
    if n:
        assert len(r) - 1 == strong_components(A)
    qin = np.asarray(data.draw(st.permutations(range(n))), dtype=A.indices.dtype)
    p, q, r = btf_module.strongcomp(A, qin.copy())
    assert is_permutation(p, n) and is_permutation(q, n)
    if n and A.nnz:
        assert_block_upper_triangular(A[p][:, q], r)
        assert len(r) - 1 == strong_components(A[:, qin])


@given(A=square)
def test_btf_is_block_triangular_with_a_maximum_diagonal(A):
    n = A.shape[0]
    p, q, r = btf_module.btf(A)
    matched = q >= 0
    assert (q[~matched] <= -2).all()
    q = btf_module.btf_q_permutation(q.copy())
    assert is_permutation(p, n) and is_permutation(q, n) and r[0] == 0 and r[-1] == n
    B = A[p][:, q].toarray() if n else np.zeros((0, 0))
    assert_block_upper_triangular(sparse.csc_array(B), r)
    assert (np.diag(B)[matched] != 0).all()
    assert matched.sum() == (csgraph.structural_rank(A) if A.nnz else 0)


# ---------------------------------------------------------------------------
# Constraint and q vectors


def bad_vectors(n, index_dtype):
    """Vectors that are not N set numbers (or not a column permutation)."""
    return st.one_of(
        st.just(np.zeros(n + 1, dtype=index_dtype)),
        st.just(np.zeros(max(n - 1, 0), dtype=index_dtype)),
        st.integers(0, n - 1).map(lambda k: np.where(np.arange(n) == k, n, 0).astype(index_dtype)),
        st.integers(0, n - 1).map(lambda k: np.where(np.arange(n) == k, -1, 0).astype(index_dtype)),
        st.just(np.zeros((1, n), dtype=index_dtype)),
        st.just([None] * n),
        st.just(["x"] * n),
        st.just([2**40] * n),
        st.just(np.full(n, n, dtype=np.int64)),
        # Values that wrap to valid ones when cast to 32-bit indices. Built
        # with their dtype from the start: how np.where types a Python int
        # too large for the default integer differs between NumPy releases.
        st.just(np.array([2**32, *range(1, n)], dtype=np.int64)),
        st.just(np.array([2**64 - 1] + [0] * (n - 1), dtype=np.uint64)),
    )


@given(A=csc_matrices(min_rows=2, max_rows=8, square=True).filter(lambda A: A.nnz > 0), data=st.data())
@pytest.mark.parametrize("fn", ["ccolamd", "csymamd", "camd", "strongcomp"])
def test_bad_constraint_vectors(fn, A, data):
    n = A.shape[0]
    c = data.draw(bad_vectors(n, A.indices.dtype))
    before = fingerprint(c)
    call = {"ccolamd": lambda: ccolamd_module.ccolamd(A, c),
            "csymamd": lambda: ccolamd_module.csymamd(A, c),
            "camd": lambda: camd_module.camd(A, c),
            "strongcomp": lambda: btf_module.strongcomp(A, c)}[fn]
    with pytest.raises((ValueError, TypeError, OverflowError)):
        call()
    assert fingerprint(c) == before


@pytest.mark.parametrize("fn", ["ccolamd", "csymamd", "camd", "strongcomp"])
def test_vectors_that_would_wrap_are_refused(fn):
    A = sparse.csc_array(sparse.eye_array(4) + sparse.eye_array(4, k=1))  # int32 indices
    c = np.array([2**32, 1, 2, 3])  # 2**32 wraps to 0 in int32
    call = {"ccolamd": ccolamd_module.ccolamd, "csymamd": ccolamd_module.csymamd,
            "camd": camd_module.camd, "strongcomp": btf_module.strongcomp}[fn]
    name = "qin" if fn == "strongcomp" else "constraints"
    with pytest.raises(ValueError, match=f"^Values in {name} exceed the range of the index dtype int32.$"):
        call(A, c)
    call(A, np.array([0, 1, 2, 3], np.uint64))  # in range: converted as usual


# ---------------------------------------------------------------------------
# The private two-width functions called with arguments that lie


def private_call(name, A):
    """Valid arguments of a private function for the square matrix A, with
    its output arrays padded by sentinels: (function, args, outputs)."""
    N = A.shape[0]
    itype = A.indices.dtype
    Ap, Ai = A.indptr.copy(), A.indices.copy()
    out = {}

    def output(key, n, dtype=itype):
        out[key] = padded(n, dtype)
        return out[key][0]

    sets = np.zeros(N, dtype=itype)
    if name in ("_colamd", "_symamd"):
        fn = getattr(colamd_module, name)
        args = [N, N, Ap, Ai, output("perm", N + 1), output("knobs", 20, np.float64), output("stats", 20)]
        args[5][:3] = [10.0, 10.0, 1.0]
    elif name in ("_ccolamd", "_csymamd"):
        fn = getattr(ccolamd_module, name)
        args = [N, N, Ap, Ai, output("perm", N + 1), output("knobs", 20, np.float64), output("stats", 20), sets]
        args[5][:4] = [10.0, 10.0, 1.0, 0.0]
        if name == "_csymamd":
            del args[0]
    elif name == "_camd_order":
        fn = camd_module._camd_order
        args = [N, Ap, Ai, output("p", N), output("ctrl", 5, np.float64), output("info", 20, np.float64), sets]
        args[4][:2] = [10.0, 1.0]
    elif name == "_maxtrans":
        fn = btf_module._maxtrans
        args = [N, N, Ap, Ai, 0.0, output("jmatch", N)]
    elif name == "_strongcomp":
        fn = btf_module._strongcomp
        args = [N, Ap, Ai, np.arange(N, dtype=itype), output("p", N), output("r", N + 1)]
    else:
        fn = btf_module._btf
        args = [N, Ap, Ai, 0.0, output("p", N), output("q", N), output("r", N + 1)]
    return fn, args, out


PRIVATE = ["_colamd", "_symamd", "_ccolamd", "_csymamd", "_camd_order", "_maxtrans", "_strongcomp", "_btf"]


def lie_about_array(a, how, n_rows):
    if how == "shorter":
        return a[:-1].copy()
    if how == "longer":
        return np.append(a, a[-1:])
    if how == "other_width":
        return a.astype(np.int64 if a.dtype == np.int32 else np.int32)
    if how in ("float", "uint"):
        return a.astype(np.float64 if how == "float" else np.dtype(a.dtype.str.replace("i", "u")))
    if how == "none":
        return None
    if how == "two_d":
        return a.reshape(1, -1)
    if how == "strided":
        return np.repeat(a, 2)[::2]
    if how == "read_only":
        a = a.copy()
        a.setflags(write=False)
        return a
    if how == "byte_swapped":
        return a.astype(a.dtype.newbyteorder())
    if how == "list":
        return a.tolist()
    if how == "out_of_range":
        a = a.copy()
        a[-1] = n_rows + 3 if a.dtype.kind == "i" else np.nan
        return a
    if how == "negative":
        a = a.copy()
        a[0] = -5
        return a
    raise AssertionError(how)


ARRAY_LIES = ["shorter", "longer", "other_width", "float", "uint", "none", "two_d", "strided", "read_only",
              "byte_swapped", "list", "out_of_range", "negative"]
# Sizes past 2**31 are lies only to the 32-bit routines; to the 64-bit ones
# they are honest, and huge, problems.
SCALAR_LIES = [-(2**40), -2, -1, 1, 2, 2**63 - 1]
SCALAR_LIES_32 = SCALAR_LIES + [2**31, 2**40]


@given(A=csc_matrices(min_rows=1, max_rows=7, square=True), data=st.data())
@pytest.mark.parametrize("name", PRIVATE)
def test_private_functions_refuse_lies(name, A, data):
    fn, args, outputs = private_call(name, A)
    fn(*args)  # the honest call works
    fn, args, outputs = private_call(name, A)
    k = data.draw(st.integers(0, len(args) - 1), label="argument")
    if isinstance(args[k], int):
        lies = SCALAR_LIES_32 if A.indices.dtype == np.int32 else SCALAR_LIES
        args[k] = args[k] + data.draw(st.sampled_from(lies), label="lie")
    elif isinstance(args[k], float):
        args[k] = data.draw(st.sampled_from([np.nan, -np.inf, -1.0, "x", None]), label="lie")
    else:
        how = data.draw(st.sampled_from(ARRAY_LIES), label="lie")
        assume(len(args[k]) > 0 or how not in ("shorter", "out_of_range", "negative"))
        args[k] = lie_about_array(args[k], how, A.shape[0])
    # Ap, Ai and the constraint sets are read-only to every function.
    first = 2 if name in ("_colamd", "_symamd", "_ccolamd", "_maxtrans") else 1
    inputs = [args[first], args[first + 1]] + ([args[-1]] if name in ("_ccolamd", "_csymamd", "_camd_order") else [])
    inputs = [a for a in inputs if isinstance(a, np.ndarray)]
    before = fingerprint(*inputs)
    try:
        fn(*args)
    except ORDERING_ERRORS:
        pass
    assert fingerprint(*inputs) == before
    assert all(check() for _, check in outputs.values()), "a library wrote outside an output array"


@given(A=csc_matrices(min_rows=2, max_rows=7, square=True).filter(lambda A: A.nnz > 0))
@pytest.mark.parametrize("name", PRIVATE)
def test_private_functions_refuse_short_index_arrays(name, A):
    # The column pointers promise more row indices than there are.
    fn, args, _ = private_call(name, A)
    pos = 3 if name in ("_colamd", "_symamd", "_ccolamd", "_maxtrans") else 2
    args[pos] = args[pos][:-1].copy()
    with pytest.raises(ValueError):
        fn(*args)
