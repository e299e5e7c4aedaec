// Docstrings of tarnix.btf.
#pragma once

namespace btf_docs {

inline constexpr const char* module = R"(Block triangular form (BTF)
===========================

Structural analyses of sparse matrices computed by the SuiteSparse BTF
library [1]_ [2]_.

Functions
---------
maxtrans(A)
    A maximum transversal: a matching of rows to columns through stored
    entries, so that the matrix can be permuted to a zero-free diagonal
    where possible. The number of matched rows is the structural rank.
strongcomp(A, q=None)
    The strongly connected components of the directed graph of a square
    matrix, as a symmetric permutation to block upper triangular form.
btf(A)
    Both: row and column permutations to block upper triangular form with
    a zero-free (or maximally nonzero) diagonal.
btf_q_permutation(q)
    The ordinary permutation behind a column permutation of `btf`, whose
    unmatched columns are marked as ``-j - 2``.

References
----------
.. [1] I. S. Duff, "On algorithms for obtaining a maximum transversal", ACM
   Transactions on Mathematical Software 7(3), 1981, pp. 315-330.
.. [2] I. S. Duff and J. K. Reid, "An implementation of Tarjan's algorithm
   for the block triangularization of a matrix", ACM Transactions on
   Mathematical Software 4(2), 1978, pp. 137-147.
)";

inline constexpr const char* maxtrans = R"(Maximum transversal of a sparse matrix.

Find a maximum matching of the rows of `A` to its columns through stored
entries [#maxtrans_c]_. If `A` is square and structurally nonsingular, ``A[:, jmatch]``
has a zero-free diagonal.

Parameters
----------
A : array_like or sparse matrix
    The M by N matrix; it need not be square. Anything
    `tarnix.utils.validate_csc_input` accepts.

Returns
-------
jmatch : numpy.ndarray
    M entries with the integer dtype of the validated matrix's indices:
    ``jmatch[i]`` is the column matched to row i (so ``A[i, jmatch[i]]`` is
    a stored entry), or -1 if row i is unmatched. The number of
    non-negative entries is the structural rank of `A`.

See Also
--------
btf, scipy.sparse.csgraph.maximum_bipartite_matching

References
----------
.. [#maxtrans_c] I. S. Duff, "Algorithm 575: Permutations for a zero-free
   diagonal", ACM Transactions on Mathematical Software 7(3), 1981,
   pp. 387-390.

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.btf import maxtrans
>>> A = csc_array(np.array([[0., 1., 0.],
...                         [1., 0., 0.],
...                         [1., 0., 0.]]))
>>> jmatch = maxtrans(A)
>>> jmatch
array([ 1,  0, -1], dtype=int32)
>>> int((jmatch >= 0).sum())  # the structural rank
2)";

inline constexpr const char* strongcomp = R"(Strongly connected components of the graph of a square matrix.

Find a symmetric permutation ``p`` such that ``A[p][:, p]`` is block upper
triangular, each diagonal block being a strongly connected component of
the directed graph of `A` (an edge ``j -> i`` for every stored entry
``A[i, j]``; the diagonal is ignored) [#strongcomp_c]_. With a column permutation `q`, the
components of ``A[:, q]`` are found and `q` is reordered so that
``A[p][:, q]`` is block upper triangular.

Parameters
----------
A : array_like or sparse matrix
    The N by N matrix; it must be square. Anything
    `tarnix.utils.validate_csc_input` accepts.
q : array_like of int, optional
    A column permutation of N entries, such as one from `maxtrans` or
    `btf`. Each entry is a column index ``j`` or its flipped form
    ``-j - 2``, no column twice; flipped entries stay flipped. A
    C-contiguous array of the index dtype is reordered in place and
    returned; anything else is converted to a new array first.

Returns
-------
p : numpy.ndarray
    The row permutation: row ``p[k]`` of `A` becomes row k.
q : numpy.ndarray
    The reordered column permutation; only when `q` is given.
r : numpy.ndarray
    The block starts: block b occupies rows and columns ``r[b]`` to
    ``r[b+1] - 1`` of the permuted matrix; ``r[0]`` is 0 and ``r[-1]`` is N.

Raises
------
ValueError
    If `A` is not square, or `q` has not N entries or is not a column
    permutation (in the flipped form or not).
TypeError
    If `q` cannot be converted to an integer array.

See Also
--------
btf, scipy.sparse.csgraph.connected_components

References
----------
.. [#strongcomp_c] I. S. Duff and J. K. Reid, "An implementation of
   Tarjan's algorithm for the block triangularization of a matrix", ACM
   Transactions on Mathematical Software 4(2), 1978, pp. 137-147.

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.btf import strongcomp
>>> A = csc_array(np.array([[1., 0., 0., 0.],
...                         [1., 1., 1., 0.],
...                         [0., 1., 1., 0.],
...                         [1., 0., 0., 1.]]))
>>> p, r = strongcomp(A)
>>> p, r
(array([1, 2, 3, 0], dtype=int32), array([0, 2, 3, 4], dtype=int32))
>>> A[p][:, p].toarray()  # blocks {1, 2}, {3}, {0}
array([[1., 1., 0., 1.],
       [1., 1., 0., 0.],
       [0., 0., 1., 1.],
       [0., 0., 0., 1.]]))";

inline constexpr const char* btf = R"(Block upper triangular form of a square matrix.

Find row and column permutations ``p`` and ``q`` such that
``A[p][:, q]`` is block upper triangular with a zero-free diagonal (when
`A` is structurally nonsingular; otherwise with as many nonzeros on the
diagonal as possible). A maximum transversal is computed first, then the
strongly connected components of the matched matrix [#btf_c]_.

Parameters
----------
A : array_like or sparse matrix
    The N by N matrix; it must be square. Anything
    `tarnix.utils.validate_csc_input` accepts.

Returns
-------
p : numpy.ndarray
    The row permutation: row ``p[k]`` of `A` becomes row k.
q : numpy.ndarray
    The column permutation. A column j that could not be matched is stored
    flipped, as ``-j - 2``, so every negative entry is at most -2 and the
    diagonal entry of that column is structurally zero; use
    `btf_q_permutation` for the plain permutation.
r : numpy.ndarray
    The block starts: block b occupies rows and columns ``r[b]`` to
    ``r[b+1] - 1`` of the permuted matrix; ``r[0]`` is 0 and ``r[-1]`` is N.

Raises
------
ValueError
    If `A` is not square.

See Also
--------
maxtrans, strongcomp, btf_q_permutation

References
----------
.. [#btf_c] I. S. Duff and J. K. Reid, "An implementation of Tarjan's
   algorithm for the block triangularization of a matrix", ACM Transactions
   on Mathematical Software 4(2), 1978, pp. 137-147.

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.btf import btf, btf_q_permutation
>>> A = csc_array(np.array([[0., 1., 1.],
...                         [1., 0., 0.],
...                         [0., 0., 1.]]))
>>> p, q, r = btf(A)
>>> B = A[p][:, btf_q_permutation(q)].toarray()
>>> bool(np.all(np.diag(B) != 0)), r.tolist()
(True, [0, 1, 2, 3])

A structurally singular matrix has flipped (negative) columns:

>>> p, q, r = btf(csc_array(np.array([[1., 1.], [0., 0.]])))
>>> bool((q < 0).any()), sorted(btf_q_permutation(q).tolist())
(True, [0, 1]))";

inline constexpr const char* q_permutation = R"(Unflip the column permutation returned by `btf`.

Replace every negative entry ``w`` of `q` by ``-w - 2``, the column it
marks as unmatched, giving an ordinary permutation.

Parameters
----------
q : array_like of int
    A one-dimensional array. An ndarray is modified in place and returned;
    anything else is converted to a new array first.

Returns
-------
numpy.ndarray
    `q` with every negative entry unflipped.

Raises
------
ValueError
    If `q` is not one-dimensional.

See Also
--------
btf

Examples
--------
>>> import numpy as np
>>> from tarnix.btf import btf_q_permutation
>>> btf_q_permutation([0, 1, 2, -5, 10, 6, 5, 7, 8, 4, 9])
array([ 0,  1,  2,  3, 10,  6,  5,  7,  8,  4,  9])
>>> q = np.array([-2, 1])
>>> btf_q_permutation(q) is q, q.tolist()
(True, [0, 1]))";

}  // namespace btf_docs
