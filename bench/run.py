"""Run every benchmark in bench/ and print its ratios.

Each bench_<area>.py defines ``run(report)``; ``report(name, ratio, bar, kind)``
prints one line: a ratio (how many times faster, ``kind='faster'``, or the
time relative to a baseline, ``kind='at most'``) against the bar it must reach.
Usage: python bench/run.py [area ...]
"""

import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# the plain-Python transcriptions the tests check against are the slow baselines here
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "tests", "oracles"))

AREAS = ["quoml", "namespace", "variables", "commands", "dorvel", "history"]

failures = []


def report(name, ratio, bar=None, kind="faster", unit="x"):
    """kind='faster': ratio = baseline/ours, must be >= bar.
    kind='at most': ratio = ours/baseline, must be <= bar.
    kind='info': printed only.
    unit: what follows the numbers ('x' for ratios, 'ms' for times)."""
    if bar is None or kind == "info":
        print("  %-62s %8.2f%s" % (name, ratio, unit))
        return
    ok = ratio >= bar if kind == "faster" else ratio <= bar
    mark = "ok" if ok else "MISSED"
    rel = ">=" if kind == "faster" else "<="
    print("  %-62s %8.2f%s  (bar %s %.2f%s) %s" % (name, ratio, unit, rel, bar, unit, mark))
    if not ok:
        failures.append(name)


def main(argv):
    areas = argv or AREAS
    for area in areas:
        path = os.path.join(HERE, "bench_%s.py" % area)
        if not os.path.exists(path):
            continue
        print("[%s]" % area)
        importlib.import_module("bench_%s" % area).run(report)
    if failures:
        print("bars missed: %s" % ", ".join(failures))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
