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


# ---------------------------------------------------------------------------
# Calls whose own arguments fight them: overlapping outputs, sizes at the top
# of the range, other threads rewriting the input. Each runs in a child
# interpreter with a timeout, because before these were refused they crashed
# or looped forever.


def run_child(code, timeout=60):
    """Run code in a fresh interpreter; a crash or a hang fails only the calling test."""
    import subprocess
    import sys
    import textwrap

    try:
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child did not finish within {timeout} s (endless loop?)")
    assert proc.returncode == 0, f"child exited with {proc.returncode}:\n{proc.stdout}\n{proc.stderr[-3000:]}"
    return proc.stdout


CHILD_SETUP = """
import numpy as np
from scipy import sparse
import tarnix.btf as tb, tarnix.camd as tca, tarnix.ccolamd as tcc, tarnix.colamd as tc
n = 30
A = sparse.csc_array(sparse.eye_array(n) + sparse.eye_array(n, k=1) + sparse.eye_array(n, k=-1)
                     + sparse.eye_array(n, k=-7))
Ap, Ai = A.indptr.copy(), A.indices.copy()
perm, stats = np.zeros(n + 1, np.int32), np.zeros(20, np.int32)
knobs = np.zeros(20)
knobs[:4] = [10.0, 10.0, 1.0, 0.0]
p, q, r = np.zeros(n, np.int32), np.zeros(n, np.int32), np.zeros(n + 1, np.int32)
ctrl, info = np.array([10.0, 1.0, 0, 0, 0]), np.zeros(20)
sets = np.zeros(n, np.int32)
"""

# (call, output argument, the argument it overlaps)
OVERLAPS = [
    ("tb._maxtrans(n, n, Ap, Ai, 0.0, Ai)", "jmatch", "Ai"),
    ("tca._camd_order(n, Ap, Ai, Ai, ctrl, info, None)", "p", "Ai"),
    ("tca._camd_order(n, Ap, Ai, Ap[:n], ctrl, info, None)", "p", "Ap"),
    ("tca._camd_order(n, Ap, Ai, sets, ctrl, info, sets)", "p", "constraints"),
    ("shared = np.zeros(20); tca._camd_order(n, Ap, Ai, shared.view(np.int32)[:n], ctrl, shared, None)",
     "p", "info"),
    ("tc._symamd(n, n, Ap, Ai, perm, knobs, Ai[:20])", "stats", "Ai"),
    ("tcc._csymamd(n, Ap, Ai, perm, knobs, Ai[:20])", "stats", "Ai"),
    ("tc._colamd(n, n, Ap, Ai, Ap, knobs, stats)", "perm", "Ap"),
    ("tcc._ccolamd(n, n, Ap, Ai, perm, knobs, knobs.view(np.int32)[:20], None)", "stats", "knobs"),
    ("tcc._ccolamd(n, n, Ap, Ai, perm, knobs, stats, perm[:n])", "perm", "constraints"),
    ("tb._btf(n, Ap, Ai, 0.0, p, Ap, r)", "q", "Ap"),
    ("tb._btf(n, Ap, Ai, 0.0, p, p, r)", "p", "q"),
    ("tb._btf(n, Ap, Ai, 0.0, Ai, q, r)", "p", "Ai"),
    ("tb._strongcomp(n, Ap, Ai, None, p, Ap)", "r", "Ap"),
    ("p[:] = np.arange(n); tb._strongcomp(n, Ap, Ai, p, p, r)", "q", "p"),
    ("tb._strongcomp(n, Ap, Ai, None, Ai, r)", "p", "Ai"),
]


@pytest.mark.parametrize("call, output, other", OVERLAPS, ids=[f"{o}~{i}" for _, o, i in OVERLAPS])
def test_outputs_overlapping_other_arguments_are_refused(call, output, other):
    out = run_child(CHILD_SETUP + f"""
before = [a.copy() for a in (Ap, Ai, sets)]
try:
    {call}
except ValueError as e:
    print(e)
else:
    print("accepted")
assert all(np.array_equal(a, b) for a, b in zip((Ap, Ai, sets), before)), "an input was written"
""")
    names = {output, other}
    first, second = (out.split("'")[1], out.split("'")[3]) if out.count("'") >= 4 else (None, None)
    assert out.startswith("Arguments '") and {first, second} == names, out
    assert "share memory: an output array must not overlap another array argument" in out


def test_inputs_may_overlap_each_other():
    # Only read: constraint sets that are a slice of the row indices (valid
    # set numbers, all below n) give the same ordering as their copy.
    out = run_child(CHILD_SETUP + """
tca._camd_order(n, Ap, Ai, p, ctrl, info, Ai[:n])
first = p.copy()
tca._camd_order(n, Ap, Ai, p, ctrl, info, Ai[:n].copy())
assert np.array_equal(first, p)
tcc._csymamd(n, Ap, Ai, perm, knobs, stats, Ai[:n])
print("ok")
""")
    assert out.strip() == "ok"


HUGE_N_CALLS = {
    "_colamd": "tc._colamd(N, N, Ap, Ai, perm, knobs, stats)",
    "_symamd": "tc._symamd(N, N, Ap, Ai, perm, knobs, stats)",
    "_ccolamd": "tcc._ccolamd(N, N, Ap, Ai, perm, knobs, stats)",
    "_csymamd": "tcc._csymamd(N, Ap, Ai, perm, knobs, stats)",
    "_camd_order": "tca._camd_order(N, Ap, Ai, p, ctrl, info)",
    "_maxtrans": "tb._maxtrans(N, N, Ap, Ai, 0.0, p)",
    "_strongcomp": "tb._strongcomp(N, Ap, Ai, None, p, r)",
    "_btf": "tb._btf(N, Ap, Ai, 0.0, p, q, r)",
}


@pytest.mark.parametrize("name", list(HUGE_N_CALLS))
def test_the_largest_size_is_refused_before_adding_one(name):
    # N + 1 would overflow (undefined behaviour: UBSan aborts); the message
    # must not show a wrapped count.
    out = run_child(CHILD_SETUP + f"""
N = 2**63 - 1
try:
    {HUGE_N_CALLS[name]}
except (ValueError, OverflowError) as e:
    print(type(e).__name__, e)
""")
    assert out.startswith("ValueError N = 9223372036854775807 is too large: no array has N + 1 entries"), out


@pytest.mark.parametrize("huge", [1e9, 1e30, 1e308, np.inf])
@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
def test_huge_camd_dense_thresholds_make_nothing_dense(huge, index_dtype):
    rng = np.random.default_rng(3)
    A = with_index_dtype(sparse.csc_array(sparse.random_array((60, 60), density=0.4, rng=rng)), index_dtype)
    p_ref, info_ref = camd_module.camd(A, dense_thresh=1e6, return_info=True)
    p, info = camd_module.camd(A, dense_thresh=huge, return_info=True)
    assert info.Ndense == info_ref.Ndense == 0
    assert np.array_equal(p, p_ref) and info == info_ref
    # A negative threshold keeps its meaning: only completely dense rows are dense.
    assert is_permutation(camd_module.camd(A, dense_thresh=-1.0), 60)
    with pytest.raises(ValueError, match="NaN"):
        camd_module.camd(A, dense_thresh=np.nan)
    N = A.shape[0]
    with pytest.raises(ValueError, match="NaN"):
        camd_module._camd_order(N, A.indptr, A.indices, np.zeros(N, index_dtype), np.array([np.nan, 1, 0, 0, 0]),
                                np.zeros(20))


THREAD_CALLS = {
    "btf": "tb.btf(A)",
    "strongcomp": "tb.strongcomp(A)",
    "maxtrans": "tb.maxtrans(A)",
    "colamd": "tc.colamd(A)",
    "symamd": "tc.symamd(A)",
    "ccolamd": "tcc.ccolamd(A)",
    "csymamd": "tcc.csymamd(A)",
    "camd": "tca.camd(A)",
}


@pytest.mark.parametrize("name", list(THREAD_CALLS))
def test_a_thread_rewriting_the_input_never_crashes_a_call(name):
    # Workspaces of large matrices were NumPy allocations, around which NumPy
    # releases the interpreter lock: a writer thread then corrupted the checked
    # pattern before the library read it (SEGV, or an endless loop in BTF).
    # Now the check and the use lie in one stretch: a call sees the clean or
    # the corrupted pattern, answering or raising ValueError.
    out = run_child(f"""
import threading, time
import numpy as np
from scipy import sparse
import tarnix.btf as tb, tarnix.camd as tca, tarnix.ccolamd as tcc, tarnix.colamd as tc
n = 20000
A = sparse.csc_array(sparse.eye_array(n) + sparse.eye_array(n, k=1) + sparse.eye_array(n, k=-3))
A.has_sorted_indices = True
ind, ptr = A.indices, A.indptr
clean_ind, clean_ptr = ind.copy(), ptr.copy()
stop = time.monotonic() + 3.0
errors = []

def writer():
    k = 0
    while time.monotonic() < stop:
        k = (k * 7919 + 13) % (len(ind) - 1)
        ind[k], ptr[1 + k % n] = 10**9, -(10**9)
        time.sleep(0)
        ind[:] = clean_ind
        ptr[:] = clean_ptr

def caller():
    while time.monotonic() < stop:
        try:
            {THREAD_CALLS[name]}
        except Exception as e:  # the coercion's or the checks' (SciPy's own may be RuntimeError)
            errors.append(type(e).__name__)

threads = [threading.Thread(target=writer)] + [threading.Thread(target=caller) for _ in range(3)]
for t in threads: t.start()
for t in threads: t.join()
expected = {THREAD_CALLS[name]}
A.indices, A.indptr = clean_ind.copy(), clean_ptr.copy()
again = {THREAD_CALLS[name]}
same = all(np.array_equal(x, y) for x, y in zip(expected, again)) if isinstance(again, tuple) else \
    np.array_equal(expected, again)
print("ok" if same else "differs", sorted(set(errors)))
""", timeout=90)
    assert out.startswith("ok"), out
