"""What this copy of tarnix is made of: ``tarnix.show_config()`` and ``tarnix.config()``."""

from __future__ import annotations

import importlib
import os
import platform
import sys
import sysconfig

# Each extension module with the libraries it calls, and the C function that
# tells each library's version (void f(int version[3])), as the headers declare it.
LIBRARIES = {
    "SuiteSparse": ("colamd", "SuiteSparse_version"),
    "COLAMD": ("colamd", "colamd_version"),
    "CCOLAMD": ("ccolamd", "ccolamd_version"),
    "CAMD": ("camd", "camd_version"),
    "BTF": ("btf", "btf_version"),
    "CHOLMOD": ("spqr", "cholmod_version"),
    "SPQR": ("spqr", "SuiteSparseQR_C_version"),
}


def _library_version(module, symbol):
    """The version the loaded library reports ("7.10.1"), or None when it cannot be read.

    The symbol is looked up through the extension module's own handle, so it is
    the library that module calls, whether a system one or the one built into the
    package.
    """
    import ctypes

    mod = importlib.import_module(f"tarnix.{module}")
    try:
        function = getattr(ctypes.CDLL(mod.__file__), symbol)
    except (OSError, AttributeError):
        return None
    version = (ctypes.c_int * 3)()
    function.restype = None
    function(version)
    return ".".join(str(v) for v in version)


def _blas_of_spqr():
    """The path of the library that SPQR's calls of dgemm resolve to, or None when it cannot be told."""
    import ctypes

    # dladdr's Dl_info, made here so that importing tarnix does not load ctypes.
    DlInfo = type("DlInfo", (ctypes.Structure,), {"_fields_": [
        ("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
        ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]})

    spqr = importlib.import_module("tarnix.spqr")
    try:
        address = ctypes.cast(ctypes.CDLL(spqr.__file__).dgemm_, ctypes.c_void_p).value
        dladdr = ctypes.CDLL(None).dladdr
    except (OSError, AttributeError):
        return None
    info = DlInfo()
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
    if not dladdr(address, ctypes.byref(info)) or not info.dli_fname:
        return None
    return os.path.realpath(os.fsdecode(info.dli_fname))


def _blas():
    """The BLAS/LAPACK libraries loaded in the process, with their threads where known."""
    found = _blas_loaded()
    used = _blas_of_spqr()
    for entry in found:
        entry["used_by_suitesparse"] = None if used is None else os.path.realpath(entry["path"]) == used
    return found


def _blas_loaded():
    try:
        # Optional, and imported by name: a type checker need not know it.
        threadpool_info = importlib.import_module("threadpoolctl").threadpool_info
    except ImportError:
        return _blas_from_maps()
    return [{"library": i.get("internal_api"), "path": i.get("filepath"), "version": i.get("version"),
             "threads": i.get("num_threads"), "threading_layer": i.get("threading_layer")}
            for i in threadpool_info() if i.get("user_api") == "blas"]


def _blas_from_maps():
    # Without threadpoolctl: the shared libraries mapped into the process whose
    # names say BLAS or LAPACK; OpenBLAS also tells its thread count.
    try:
        with open("/proc/self/maps") as maps:
            paths = sorted({line.split()[-1] for line in maps if "/" in line
                            and any(k in line.rsplit("/", 1)[-1].lower() for k in ("blas", "lapack"))})
    except OSError:
        return []
    import ctypes

    found = []
    for path in paths:
        entry = {"library": None, "path": path, "version": None, "threads": None, "threading_layer": None}
        try:
            lib = ctypes.CDLL(path)
        except OSError:
            found.append(entry)
            continue
        for name in ("openblas_get_num_threads", "scipy_openblas_get_num_threads",
                     "openblas_get_num_threads64_", "scipy_openblas_get_num_threads64_"):
            threads = getattr(lib, name, None)
            if threads is not None:
                entry.update(library="openblas", threads=int(threads()))
                break
        found.append(entry)
    return found


def _free_threading():
    build = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    enabled = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    return {"free_threaded_build": build, "gil_enabled": bool(enabled)}


def config():
    """The configuration of this copy of tarnix, as a dictionary.

    Returns
    -------
    dict
        ``tarnix`` (its version), ``python`` (version, implementation and
        free-threading status: ``free_threaded_build``, ``gil_enabled``),
        ``suitesparse`` (``version``, ``built_with`` -- the release whose
        headers the extensions were compiled against, ``bundled`` -- built
        into the package or a system installation, ``found_at``, and
        ``libraries``: each library's version as the loaded library reports
        it, None when it cannot be read), ``blas`` (each BLAS/LAPACK loaded: ``library``, ``path``,
        ``version``, ``threads``, ``threading_layer``, from threadpoolctl when
        it is installed), ``build`` (``compiler``, ``testing_hooks``,
        ``preload_blas``), ``numpy`` and ``scipy`` (their versions).

    See Also
    --------
    show_config

    Examples
    --------
    >>> import tarnix
    >>> c = tarnix.config()
    >>> c["tarnix"]["version"] == tarnix.__version__
    True
    >>> sorted(c["suitesparse"]["libraries"])
    ['BTF', 'CAMD', 'CCOLAMD', 'CHOLMOD', 'COLAMD', 'SPQR', 'SuiteSparse']
    """
    import numpy
    import scipy

    from . import __version__, _build_config

    libraries = {name: _library_version(*where) for name, where in LIBRARIES.items()}
    return {
        "tarnix": {"version": __version__},
        "python": {"version": platform.python_version(), "implementation": platform.python_implementation(),
                   **_free_threading()},
        "suitesparse": {
            "version": libraries["SuiteSparse"],
            "built_with": _build_config.SUITESPARSE_BUILT_WITH or None,
            "bundled": _build_config.SUITESPARSE_BUNDLED,
            "found_at": None if _build_config.SUITESPARSE_BUNDLED else (_build_config.SUITESPARSE_FOUND_AT or None),
            "libraries": libraries,
        },
        "blas": _blas(),
        "build": {"compiler": _build_config.COMPILER.strip() or None, "testing_hooks": _build_config.TESTING_HOOKS,
                  "preload_blas": _build_config.PRELOAD_BLAS or None},
        "numpy": {"version": numpy.__version__},
        "scipy": {"version": scipy.__version__},
    }


def show_config(mode="stdout"):
    """Print (or return) the configuration of this copy of tarnix.

    Parameters
    ----------
    mode : {"stdout", "dicts"}, optional
        ``"stdout"`` prints it as text; ``"dicts"`` returns the dictionary of
        `config` instead.

    Returns
    -------
    dict or None
        The dictionary for ``mode="dicts"``, otherwise None.

    Examples
    --------
    >>> import tarnix
    >>> tarnix.show_config()  # doctest: +ELLIPSIS
    tarnix ...
    SuiteSparse ...
    >>> tarnix.show_config(mode="dicts")["tarnix"]["version"] == tarnix.__version__
    True
    """
    if mode not in ("stdout", "dicts"):
        raise ValueError(f"mode must be 'stdout' or 'dicts', got {mode!r}")
    c = config()
    if mode == "dicts":
        return c
    print("\n".join(_lines(c)))
    return None


def _lines(c):
    s, py = c["suitesparse"], c["python"]
    origin = "built into tarnix" if s["bundled"] else f"system installation ({s['found_at'] or 'location unknown'})"
    gil = "free-threaded build, GIL " + ("enabled" if py["gil_enabled"] else "disabled") \
        if py["free_threaded_build"] else "GIL build"
    built = f", compiled against {s['built_with']}" if s["built_with"] and s["built_with"] != s["version"] else ""
    lines = [f"tarnix {c['tarnix']['version']}",
             f"SuiteSparse {s['version'] or 'unknown'}: {origin}{built}"]
    lines += [f"  {name:<12}{version or 'unknown'}" for name, version in s["libraries"].items() if name != "SuiteSparse"]
    lines.append("BLAS/LAPACK loaded in the process:" if c["blas"] else "BLAS/LAPACK: none found loaded")
    for b in c["blas"]:
        threads = "" if b["threads"] is None else f", {b['threads']} threads"
        used = " (called by SuiteSparse)" if b["used_by_suitesparse"] else ""
        lines.append(f"  {b['library'] or 'unknown'} {b['version'] or ''}".rstrip() + f"{threads}{used}: {b['path']}")
    lines += [f"compiler: {c['build']['compiler'] or 'unknown'}",
              f"Python {py['version']} ({py['implementation']}, {gil}); "
              f"NumPy {c['numpy']['version']}, SciPy {c['scipy']['version']}"]
    return lines

