"""Benchmarks of TclCommand: the call path against the raw tk.call with the
same words, and the word assembly against its pure-Python version
(bench/pycommand.py).

Each comparison times its statements in alternating rounds and keeps the best
round of each, so that a busy machine slows both sides alike; statements are
timed as written (no wrapper function), so the harness adds the same small
cost to both sides.
"""

import timeit

import pycommand

from trelmo.tcl import Interpreter
from trelmo.tcl.namespace import TclCommand


def interleaved(stmts, g, rounds=15):
    """Best per-call time in seconds of each statement, timed in alternating rounds."""
    timers = [timeit.Timer(s, globals=g) for s in stmts]
    number, _ = timers[0].autorange()
    number = max(number // 5, 1)
    best = [float("inf")] * len(timers)
    for _ in range(rounds):
        for i, t in enumerate(timers):
            best[i] = min(best[i], t.timeit(number) / number)
    return best


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
    report("TclCommand('set')('x', 1) (time vs raw tk.call)", ours / raw, 1.5, kind="at most")
    report("  pure-Python TclCommand, same call (time vs raw tk.call)", py / raw, kind="info")

    raw, ours, py = interleaved(
        ["tk.call('list', 'a', 'b', 'c', '-x', 1, '-y', 'z')", "opts('c')", "py_opts('c')"], g
    )
    report("handle with 2 pre-bound words, 2 options (time vs raw tk.call)", ours / raw, 1.5, kind="at most")
    report("  pure-Python TclCommand, same call (time vs raw tk.call)", py / raw, kind="info")

    stmt = "h.build_tclcmd('c', nested, [3, 4], y='w', z=nested)"
    g_ours, g_py = dict(g, h=g["opts"]), dict(g, h=g["py_opts"])
    assert eval(stmt, g_ours) == eval(stmt, g_py)
    t_ours = interleaved([stmt], g_ours)[0]
    t_py = interleaved([stmt], g_py)[0]
    report("build_tclcmd, nested arguments and options (vs pure Python)", t_py / t_ours, 10.0)
