"""Reading the matrix: the Matrix Market header first, checked, then the entries."""

from __future__ import annotations

import bz2
import gzip
import inspect
import os
from dataclasses import dataclass

import numpy as np
from scipy import io, sparse

# The format limits lines to 1024 characters; a longer header line is not a
# Matrix Market header, and reading it whole would cost time and memory
# without bound (a compressed file can hold gigabytes of one line).
MAX_HEADER_LINE = 1 << 16
# Bytes the report holds per row or column (index and permutation arrays, a few
# of each at once) and per stored entry (indices and values, the pattern of
# A + A', their copies while converting).
BYTES_PER_DIM = 64
BYTES_PER_ENTRY = 64


class InputError(Exception):
    """A problem with the input or output files: reported in one line, exit status 1."""


@dataclass
class Header:
    """What a Matrix Market header declares."""

    rows: int
    cols: int
    entries: int
    format: str    # coordinate or array
    field: str     # real, complex, integer or pattern
    symmetry: str  # general, symmetric, skew-symmetric or hermitian


def _open(path):
    with open(path, "rb") as f:
        magic = f.read(3)
    if magic[:2] == b"\x1f\x8b":
        return gzip.open(path, "rb")
    if magic == b"BZh":
        return bz2.open(path, "rb")
    return open(path, "rb")


def _lines(stream, path):
    """The header's lines, each read with a bounded length."""
    number = 0
    while True:
        line = stream.readline(MAX_HEADER_LINE + 1)
        number += 1
        if len(line) > MAX_HEADER_LINE:
            raise InputError(f"{path} is not a valid Matrix Market file: line {number:,} is longer than "
                             f"{MAX_HEADER_LINE:,} bytes")
        if not line:
            raise InputError(f"{path} is not a valid Matrix Market file: it ends within its header")
        yield line.decode("latin-1")


def read_header(path):
    """The header of a Matrix Market file, read without reading the entries."""
    try:
        with _open(path) as stream:
            lines = _lines(stream, path)
            banner = next(lines).split()
            if len(banner) != 5 or banner[0].lower() != "%%matrixmarket" or banner[1].lower() != "matrix":
                raise InputError(f"{path} is not a valid Matrix Market file: no %%MatrixMarket matrix banner")
            fmt, field, symmetry = (w.lower() for w in banner[2:])
            line = next(lines)
            while line.startswith("%") or not line.strip():
                line = next(lines)
            sizes = line.split()
    except (OSError, EOFError, ValueError) as exc:  # gzip and bz2 raise these for damaged streams
        if isinstance(exc, OSError) and exc.errno is not None:
            raise InputError(f"cannot read {path}: {exc.strerror or exc}") from None
        raise InputError(f"{path} is not a valid Matrix Market file: {exc}") from None
    expected = 3 if fmt == "coordinate" else 2
    if len(sizes) != expected or not all(s.isdigit() for s in sizes):
        raise InputError(f"{path} is not a valid Matrix Market file: bad size line {' '.join(sizes)[:80]!r}")
    rows, cols = int(sizes[0]), int(sizes[1])
    entries = int(sizes[2]) if fmt == "coordinate" else rows * cols
    return Header(rows, cols, entries, fmt, field, symmetry)


def _memory_bytes():
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return None


def _size(nbytes):
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if nbytes < 1024 or unit == "PiB":
            return f"{nbytes:,.0f} {unit}" if unit == "bytes" else f"{nbytes:,.1f} {unit}"
        nbytes /= 1024


def check_size(path, header, memory=None):
    """Refuse, before reading the entries, a matrix whose declared size cannot fit in memory."""
    memory = _memory_bytes() if memory is None else memory
    stored = header.entries * (2 if header.symmetry != "general" else 1)
    need = BYTES_PER_DIM * (header.rows + header.cols) + BYTES_PER_ENTRY * stored
    if memory is not None and need > memory:
        entries = f"{header.entries:,} {'entry' if header.entries == 1 else 'entries'}"
        raise InputError(f"{path}: its header declares a {header.rows:,} x {header.cols:,} matrix with "
                         f"{entries}; reporting on it needs about {_size(need)}, more than "
                         f"this machine's {_size(memory)} of memory")


def mmread(path):
    """scipy.io.mmread, asking for sparse arrays where SciPy knows the choice."""
    if "spmatrix" in inspect.signature(io.mmread).parameters:
        return io.mmread(path, spmatrix=False)
    return io.mmread(path)


def load(path):
    """(A, header): the matrix as a canonical CSC array of float64 or complex128 values."""
    try:
        # Opened here first so that a missing file, a directory or a lack of
        # permission reads as the system says it, not as mmread rewords it.
        with open(path, "rb"):
            pass
    except OSError as exc:
        raise InputError(f"cannot read {path}: {exc.strerror or exc}") from None
    header = read_header(path)
    check_size(path, header)
    try:
        A = mmread(path)
    except OSError as exc:
        raise InputError(f"cannot read {path}: {exc.strerror or exc}") from None
    except MemoryError:
        raise InputError(f"{path}: out of memory while reading its {header.entries:,} entries") from None
    except Exception as exc:  # mmread raises several types for malformed files
        raise InputError(f"{path} is not a valid Matrix Market file: {exc}") from None
    return canonical(A), header


def canonical(A):
    if not sparse.issparse(A):
        A = sparse.coo_array(np.atleast_2d(A))
    A = sparse.csc_array(A)
    if A.dtype.kind not in "fc":
        A = A.astype(np.float64)
    elif A.dtype not in (np.float64, np.complex128):
        A = A.astype(np.complex128 if A.dtype.kind == "c" else np.float64)
    A.sum_duplicates()
    A.sort_indices()
    return A


def sample(name):
    """The bundled sample matrix and its header."""
    from importlib import resources

    with resources.as_file(resources.files("tarnix") / "data" / name) as path:
        return load(path)

