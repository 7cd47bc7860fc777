"""Fit the example models on the bundled data and print the results."""
import importlib
import inspect
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

EXAMPLES = [
    "implied_moments",
    "fit_ml",
    "fit_fiml",
    "fit_ordinal",
    "fit_pls",
]


def main(argv):
    if argv:
        # One example by name, with its own arguments.
        entry = importlib.import_module(argv[0]).main
        entry(argv[1:]) if inspect.signature(entry).parameters else entry()
        return
    for name in EXAMPLES:
        banner = f" {name} "
        print(f"{banner:=^78}")
        t0 = time.perf_counter()
        importlib.import_module(name).main()
        print(f"({name}: {time.perf_counter() - t0:.2f} s)\n")


if __name__ == "__main__":
    main(sys.argv[1:])
