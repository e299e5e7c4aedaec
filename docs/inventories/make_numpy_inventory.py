"""Write numpy-objects.inv, the cross-reference inventory of NumPy's public names.

The documentation links NumPy's and SciPy's names through intersphinx without
network access at build time, from inventories kept here. SciPy's is the
objects.inv of Debian's python-scipy-doc package; Debian 12 has no NumPy
documentation package, so NumPy's is written by this script from the installed
NumPy, with the page addresses of NumPy's documentation:

    python docs/inventories/make_numpy_inventory.py
"""

import inspect
import zlib
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
SCALARS = ("int8", "int16", "int32", "int64", "intp", "uint8", "uint32", "uint64", "float32", "float64",
           "complex64", "complex128", "bool", "generic", "number", "integer", "floating", "complexfloating")


def entries():
    """(name, role, page) for NumPy's public functions, classes and scalar types."""
    yield "numpy", "py:module", "reference/index.html"
    for module, prefix in ((np, "numpy"), (np.linalg, "numpy.linalg"), (np.random, "numpy.random")):
        for name in sorted(getattr(module, "__all__", dir(module))):
            obj = getattr(module, name, None)
            if name.startswith("_") or obj is None or inspect.ismodule(obj):
                continue
            full = f"{prefix}.{name}"
            if prefix == "numpy.random":
                if name in ("default_rng", "Generator"):
                    yield full, "py:class" if inspect.isclass(obj) else "py:function", "reference/random/generator.html"
                continue
            if name in SCALARS:
                yield full, "py:class", "reference/arrays.scalars.html"
            elif inspect.isclass(obj):
                yield full, "py:class", f"reference/generated/{full}.html"
            elif callable(obj):
                yield full, "py:function", f"reference/generated/{full}.html"


def main():
    lines = [f"{name} {role} 1 {page}#$ -" for name, role, page in entries()]
    header = (f"# Sphinx inventory version 2\n# Project: NumPy\n# Version: {np.__version__}\n"
              "# The remainder of this file is compressed using zlib.\n")
    body = zlib.compress(("\n".join(lines) + "\n").encode())
    (HERE / "numpy-objects.inv").write_bytes(header.encode() + body)
    print(f"numpy-objects.inv: {len(lines)} names of NumPy {np.__version__}")


if __name__ == "__main__":
    main()
