"""Run the examples on the bundled data: all of them but the bootstrap when
no name is given, or one by name with its own options."""
from __future__ import annotations

import argparse
import importlib
import re
import sys
import textwrap
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

# Run in this order when no name is given; the bootstrap starts worker
# processes and runs only on request.
DEFAULT = ["implied_moments", "fit_ml", "fit_fiml", "fit_ordinal", "fit_pls"]
EXAMPLES = [*DEFAULT, "bootstrap"]
PROG = "main.sh"


def wrap_usage(usage: str, width: int) -> list[str]:
    """Lines of at most `width` that break only between option groups."""
    lines = [""]
    for group in re.findall(r"\[[^\]]*\]|\S+", usage):
        if lines[-1] and len(lines[-1]) + 1 + len(group) > width:
            lines.append("    ")
        lines[-1] += (" " if lines[-1].strip() else "") + group
    return lines


def listing() -> str:
    lines = ["examples (each takes --help):"]
    indent = " " * 19
    for name in EXAMPLES:
        ex = importlib.import_module(name).parser()
        summary = textwrap.wrap(" ".join(ex.description.split()), 59)
        usage = wrap_usage(f"{PROG} " + " ".join(ex.format_usage().split()[1:]), 59)
        lines.append(f"  {name:<17}{summary[0]}")
        lines += [indent + ln for ln in summary[1:] + usage]
    return "\n".join(lines)


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog=PROG, description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=listing())
    ap.add_argument("example", nargs="?", choices=EXAMPLES, metavar="EXAMPLE",
                    help="one example to run; without it, all but bootstrap")
    ap.add_argument("options", nargs="*", metavar="OPTION",
                    help="options of that example (see EXAMPLE --help)")
    return ap


def run_all() -> None:
    for name in DEFAULT:
        print(f"{' ' + name + ' ':=^78}")
        t0 = time.perf_counter()
        importlib.import_module(name).main([])
        print(f"({name}: {time.perf_counter() - t0:.3f} s)\n")


def main(argv: list[str]) -> int:
    if argv and not argv[0].startswith("-"):
        # The example's own parser handles everything after its name.
        name, rest = argv[0], argv[1:]
        if name not in EXAMPLES:
            print(f"{PROG}: unknown example {name!r}; the examples are {', '.join(EXAMPLES)}",
                  file=sys.stderr)
            return 2
        importlib.import_module(name).main(rest)
        return 0
    parser().parse_args(argv)
    run_all()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
