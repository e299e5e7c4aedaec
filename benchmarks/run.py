"""Run the benchmarks: python benchmarks/run.py [name ...] (names like colamd, spqr)."""

from __future__ import annotations

import importlib
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def main(argv):
    names = argv or sorted(p.stem.removeprefix("bench_") for p in HERE.glob("bench_*.py"))
    for name in names:
        importlib.import_module(f"bench_{name}").main()


if __name__ == "__main__":
    main(sys.argv[1:])
