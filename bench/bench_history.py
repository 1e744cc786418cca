"""Call history and quick calls against pure-Python versions of the same classes.

The baselines (bench/pyhistory.py, bench/pyvix.py) are the classes written
the plain way.  Both sides run with the 'trelmo.tcl' logger disabled for
debug, on one Tcl interpreter: the quick-call baseline is an interpreter
object of the same class sharing that interpreter's tk handle and casts,
whose history and vix members are the pure-Python classes.
"""

import functools
import itertools
import logging
import time
import timeit

import pyhistory
import pyvix

from trelmo.tcl import Interpreter
from trelmo.tcl.history import History


class PyInterpreter(Interpreter):
    """An interpreter object over an existing tk handle, with the pure-Python members."""

    def __init__(self, tk):
        self.tk = tk

    @property
    def history(self):
        h = self.__dict__.get("history")
        if h is None:
            h = self.__dict__["history"] = pyhistory.History()
        return h

    @property
    def vix(self):
        v = self.__dict__.get("vix")
        if v is None:
            v = self.__dict__["vix"] = pyvix.Vix(self)
        return v


def race(*fns, rounds=9):
    """Best per-call time of each fn, timed in turns so that all see the same load.

    The clock is the process's CPU time: time spent waiting for a busy
    machine's processors is not counted against either side.
    """
    timers = [timeit.Timer(fn, timer=time.process_time) for fn in fns]
    numbers = [t.autorange()[0] for t in timers]
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, (t, n) in enumerate(zip(timers, numbers)):
            best[i] = min(best[i], t.timeit(n) / n)
    return best


def run(report):
    log = logging.getLogger("trelmo.tcl")
    saved = log.level
    log.setLevel(logging.INFO)
    try:
        _run(report)
    finally:
        log.setLevel(saved)


def _run(report):
    words = ["set", "x", "a b"]
    ours, base = race(functools.partial(History().append, words), functools.partial(pyhistory.History().append, words))
    report("History.append(['set', 'x', 'a b'])", base / ours, 2.0)

    tcl = Interpreter()
    pytcl = PyInterpreter(tcl.tk)
    ours, base, raw = race(
        lambda: tcl.vix.set("x", 1), lambda: pytcl.vix.set("x", 1), lambda: tcl.tk.call("set", "x", 1)
    )
    report("tcl.vix.set('x', 1)", base / ours, 3.0)
    report("tcl.vix.set('x', 1), history on / raw tk.call('set', 'x', 1), 1 handle", ours / raw, 3.5, "at most")
    report("  pure Python quick call / raw tk.call('set', 'x', 1)", base / raw, kind="info")

    # 100 interpreter objects used in turn, against the raw call in turn on
    # their tk handles (the same iteration on both sides).
    interps = [Interpreter() for _ in range(100)]
    tks = [i.tk for i in interps]
    turn = itertools.cycle(range(100))
    ours, raw = race(lambda: interps[next(turn)].vix.set("x", 1), lambda: tks[next(turn)].call("set", "x", 1))
    report("tcl.vix.set('x', 1), history on / raw tk.call('set', 'x', 1), 100 handles", ours / raw, 3.5, "at most")
