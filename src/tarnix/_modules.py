"""The package's modules, listed once.

``tarnix/__init__.py`` loads the public ones on first use and lists them in
its docstring, the documentation imports and documents them, and the test
suite goes over them. A new module is a line here (besides its build target,
stub and API page); ``tarnix._testing``, built for the test suite alone, is
not one.
"""

from typing import NamedTuple


class Module(NamedTuple):
    name: str
    summary: str  # one sentence, for the package docstring
    public: bool  # users import it: an attribute of the package, in its __all__ and the API reference
    extension: bool  # compiled, with what every extension module does (the import guard, function objects)


MODULES = (
    Module("spqr", "Sparse QR factorization (SuiteSparseQR): least-squares and minimum-norm solves, products "
           "with Q, reusable factor objects.", public=True, extension=True),
    Module("spqr_rank", "Numerical rank, null-space bases, and basic and pseudoinverse solutions of sparse "
           "matrices, with error bounds that say whether the rank is certified.", public=True, extension=False),
    Module("colamd", "Column and symmetric approximate minimum degree orderings (COLAMD, SYMAMD).",
           public=True, extension=True),
    Module("ccolamd", "Constrained column and symmetric orderings (CCOLAMD, CSYMAMD).", public=True, extension=True),
    Module("camd", "Constrained approximate minimum degree ordering (CAMD).", public=True, extension=True),
    Module("btf", "Maximum transversal, strongly connected components and block triangular form (BTF).",
           public=True, extension=True),
    Module("utils", "Input coercion shared by the modules.", public=True, extension=False),
    Module("cholmod", "The CHOLMOD exchange of spqr, and the Cholesky counts of the report.",
           public=False, extension=True),
)

PUBLIC = tuple(m.name for m in MODULES if m.public)


def document(doc: str) -> str:
    """The package docstring with a Submodules section after its first paragraph."""
    import textwrap

    head, _, tail = doc.partition("\n\n")
    entries = "".join(f"{m.name}\n{textwrap.fill(m.summary, 79, initial_indent='    ', subsequent_indent='    ')}\n"
                      for m in MODULES if m.public)
    return f"{head}\n\nSubmodules\n----------\n{entries}\n{tail}"
