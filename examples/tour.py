"""A guided tour of trelmo.tcl: each section drives a real Tcl interpreter
through the package and prints what happens.  Run it with `make demo`."""

import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from trelmo.tcl import Interpreter

# One module per section, run in this order; each has run(tcl) and a TITLE.
SECTIONS = ["tour_quoting", "tour_namespaces", "tour_variables", "tour_commands", "tour_keyed_lists", "tour_history"]


def main():
    tcl = Interpreter()
    for name in SECTIONS:
        if not os.path.exists(os.path.join(os.path.dirname(os.path.abspath(__file__)), name + ".py")):
            continue
        section = importlib.import_module(name)
        print("=" * 72)
        print(section.TITLE)
        print("=" * 72)
        section.run(tcl)
        print()
    importlib.import_module("report_example").main()  # then the realistic example


if __name__ == "__main__":
    main()
