"""Benchmarks of TclCommand: the call path against the raw tk.call with the
same words, and the word assembly against its pure-Python version
(bench/pycommand.py).

Each comparison times its statements back to back in many short rounds and
reports the median of the per-round ratios: on a busy machine both sides of a
round see the same load, where the best times of each side, taken from
different rounds, may not.  Statements are timed as written (no wrapper
function), so the harness adds the same small cost to both sides.
"""

import statistics
import timeit

import pycommand

from trelmo.tcl import Interpreter
from trelmo.tcl.namespace import TclCommand


def interleaved(stmts, g, rounds=41):
    """Per-call times in seconds of each statement, one list per statement,
    timed back to back in short rounds."""
    timers = [timeit.Timer(s, globals=g) for s in stmts]
    number, _ = timers[0].autorange()
    number = max(number // 10, 1)
    times = [[] for _ in timers]
    for _ in range(rounds):
        for i, t in enumerate(timers):
            times[i].append(t.timeit(number) / number)
    return times


def ratio(num, den):
    """Median over the rounds of num/den."""
    return statistics.median(a / b for a, b in zip(num, den))


def run(report):
    tcl = Interpreter()
    g = {
        "tk": tcl.tk,
        "set_": TclCommand("set", tcl=tcl),
        "py_set": pycommand.PyTclCommand("set", tcl=tcl),
        "opts": TclCommand("list", args=("a", "b"), keywords={"x": 1, "y": "z"}, tcl=tcl),
        "py_opts": pycommand.PyTclCommand("list", args=("a", "b"), keywords={"x": 1, "y": "z"}, tcl=tcl),
        "nested": [1, ["a b", [2.5, "{"]], {"k": "v"}],
    }
    assert eval("set_('x', 1)", g) == eval("tk.call('set', 'x', 1)", g)
    assert eval("opts('c')", g) == eval("tk.call('list', 'a', 'b', 'c', '-x', 1, '-y', 'z')", g)

    raw, ours, py = interleaved(["tk.call('set', 'x', 1)", "set_('x', 1)", "py_set('x', 1)"], g)
    report("TclCommand('set')('x', 1) (time vs raw tk.call)", ratio(ours, raw), 1.1, kind="at most")
    report("  pure-Python TclCommand, same call (time vs raw tk.call)", ratio(py, raw), kind="info")

    raw, ours, py = interleaved(
        ["tk.call('list', 'a', 'b', 'c', '-x', 1, '-y', 'z')", "opts('c')", "py_opts('c')"], g
    )
    report("handle with 2 pre-bound words, 2 options (time vs raw tk.call)", ratio(ours, raw), 1.5, kind="at most")
    report("  pure-Python TclCommand, same call (time vs raw tk.call)", ratio(py, raw), kind="info")

    stmt = "h.build_tclcmd('c', nested, [3, 4], y='w', z=nested)"
    g2 = dict(g, h=g["opts"], py_h=g["py_opts"])
    assert eval(stmt, g2) == eval(stmt.replace("h.", "py_h."), g2)
    ours, py = interleaved([stmt, stmt.replace("h.", "py_h.")], g2)
    report("build_tclcmd, nested arguments and options (vs pure Python)", ratio(py, ours), 10.0)
