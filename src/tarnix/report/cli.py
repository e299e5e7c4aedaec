"""The command line: ``python -m tarnix [options] [FILE]``."""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from pathlib import Path

from . import document, sections, text
from .reading import InputError, load, sample
from .sections import DEFAULT_MAX_ANALYSIS, DEFAULT_MAX_FLOPS, DEFAULT_QR_ORDERINGS, QR_ORDERINGS, SECTIONS

SAMPLE = "west0067.mtx"
PLOT_SUFFIXES = (".png", ".svg", ".pdf")


class OutputError(Exception):
    """The report could not be written (a full disk): one line, exit status 1."""


class Progress:
    """One status line on standard error, kept only while a step runs, and only on a terminal."""

    def __init__(self, enabled):
        self.enabled = enabled
        self.shown = False

    def step(self, message):
        if self.enabled:
            sys.stderr.write(f"\r\x1b[K{message} ...")
            sys.stderr.flush()
            self.shown = True

    def clear(self):
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


def _names(text, allowed, what):
    names = [s.strip() for s in text.split(",") if s.strip()]
    unknown = [s for s in names if s not in allowed]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown {what} {', '.join(map(repr, unknown)) or repr(text)}; choose from {', '.join(allowed)}")
    return names


def _section_list(text):
    return _names(text, SECTIONS, "section")


def _ordering_list(text):
    return _names(text, QR_ORDERINGS, "ordering")


def _plot_path(text):
    if Path(text).suffix.lower() not in PLOT_SUFFIXES:
        raise argparse.ArgumentTypeError(f"the picture must be a {', '.join(PLOT_SUFFIXES)} file, got {text!r}")
    return text


def _non_negative(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative number, got {text!r}")
    return value


class _Version(argparse.Action):
    """--version: read from the libraries only when asked for."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        v = document.versions()
        print(f"tarnix {v['tarnix']} (SuiteSparse {v['suitesparse'] or 'of unknown version'})")
        parser.exit()


def parser():
    p = argparse.ArgumentParser(
        prog="python -m tarnix",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Report what the SuiteSparse libraries of tarnix find in a sparse matrix:\n"
                    "fill of column and symmetric orderings, structural rank, block triangular form, QR.",
        epilog=f"sections: {', '.join(SECTIONS)}\n"
               "exit status: 0 done, 1 unreadable matrix or picture, or unwritable report,\n"
               "             2 bad command line, 130 interrupted, 141 output pipe closed\n"
               "the measures and every JSON key: python -m pydoc tarnix.report",
    )
    p.add_argument("file", nargs="?", help=f"Matrix Market file, may be gzipped (default: the bundled {SAMPLE})")
    p.add_argument("--only", type=_section_list, action="extend", metavar="SECTIONS",
                   help="run only these sections (comma-separated)")
    p.add_argument("--skip", type=_section_list, action="extend", metavar="SECTIONS",
                   help="leave out these sections (comma-separated)")
    p.add_argument("--json", action="store_true", help="print one JSON document with every figure instead of text")
    p.add_argument("--plot", type=_plot_path, metavar="FILE", help="draw the patterns into FILE (.png, .svg or .pdf)")
    p.add_argument("--quiet", action="store_true", help="no text report and no progress (errors still show)")
    p.add_argument("--max-flops", type=_non_negative, default=DEFAULT_MAX_FLOPS, metavar="N",
                   help="factorize numerically only when SPQR bounds the work by N flops (default %(default).0e)")
    p.add_argument("--qr-orderings", type=_ordering_list, action="extend", metavar="ORDERINGS",
                   help=f"SPQR analyses to make, of {', '.join(QR_ORDERINGS)} "
                        f"(default: {','.join(DEFAULT_QR_ORDERINGS)}; metis can be costly)")
    p.add_argument("--max-analysis", type=_non_negative, default=DEFAULT_MAX_ANALYSIS, metavar="N",
                   help="analyse the natural order only when the Cholesky factor of A'A has at most N entries "
                        "in that order (default %(default).0e)")
    p.add_argument("--version", action=_Version, help="print the versions of tarnix and SuiteSparse, and exit")
    return p


def selected(args):
    chosen = list(SECTIONS) if not args.only else [s for s in SECTIONS if s in args.only]
    return [s for s in chosen if s not in (args.skip or [])]


def parse(argv=None):
    p = parser()
    args = p.parse_args(argv)
    both = [s for s in SECTIONS if s in (args.only or []) and s in (args.skip or [])]
    if both:
        p.error(f"--only and --skip both name {', '.join(both)}")
    return args


def _read(args, progress):
    if args.file is None:
        A, header = sample(SAMPLE)
        return A, header, f"{SAMPLE} (bundled sample)"
    size = os.path.getsize(args.file) if os.path.isfile(args.file) else 0
    progress.step(f"reading {args.file}" + (f" ({size / 2**20:,.1f} MiB)" if size >= 2**20 else ""))
    A, header = load(args.file)
    return A, header, Path(args.file).name


def _check_plot(args):
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise InputError("--plot needs matplotlib; install it with: pip install 'tarnix[plot]'") from None


def _sections(args, ctx, doc, emit, timing):
    for section in selected(args):
        start = time.perf_counter()
        data = sections.SECTION_FUNCTIONS[section](ctx)
        timing["sections"][section] = time.perf_counter() - start
        ctx.results[section] = data
        doc[section] = data
        # The text of a few sections needs figures of the matrix as a whole.
        emit([""] + text.TEXT[section](dict(data, entries=doc["matrix"]["entries"], min_dim=min(ctx.m, ctx.n))))


def run(args, out):
    _check_plot(args)
    progress = Progress(not args.quiet and sys.stderr.isatty())
    start = time.perf_counter()
    A, header, name = _read(args, progress)
    load_seconds = time.perf_counter() - start
    ctx = sections.Context(A, progress, args.max_flops, qr_orderings=tuple(args.qr_orderings or DEFAULT_QR_ORDERINGS),
                           max_analysis=args.max_analysis, pattern=header.field == "pattern")
    show = not args.json and not args.quiet

    def emit(lines):
        progress.clear()
        if show:
            out("\n".join(lines))

    matrix = document.matrix_entry(name, A, header, bool(ctx.square and ctx.S.nnz == A.nnz), load_seconds)
    emit(text.text_matrix(matrix))
    doc = {"format": document.FORMAT, "versions": document.versions(), "matrix": matrix}
    timing = {"load_seconds": load_seconds, "sections": {}, "plot_seconds": None}
    _sections(args, ctx, doc, emit, timing)
    if args.plot:
        from .plot import draw

        progress.step(f"drawing {args.plot}")
        t = time.perf_counter()
        draw(ctx, name, args.plot)
        timing["plot_seconds"] = time.perf_counter() - t
        progress.clear()
    total = time.perf_counter() - start
    accounted = load_seconds + sum(timing["sections"].values()) + (timing["plot_seconds"] or 0.0)
    timing.update(library_seconds=ctx.library_seconds, other_seconds=max(total - accounted, 0.0), total_seconds=total)
    doc["timing"] = timing
    if args.json:
        out(document.dumps(doc))
    elif show:
        out("\n" + text.text_timing(timing)[0])
    return 0


def _quiet_stdout():
    # Nothing more can be written: keep the interpreter's final flush from failing too.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _out(s):
    try:
        print(s, flush=True)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise OutputError(f"cannot write the report: {exc.strerror or exc}") from None


def main(argv=None):
    args = parse(argv)
    try:
        return run(args, _out)
    except (InputError, OutputError) as exc:
        if isinstance(exc, OutputError):
            _quiet_stdout()
        print(f"python -m tarnix: error: {exc}", file=sys.stderr)
        return 1
    except MemoryError:
        print("python -m tarnix: error: out of memory; --only or --skip can leave out the costly sections",
              file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("python -m tarnix: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`| head`).
        _quiet_stdout()
        return 141

