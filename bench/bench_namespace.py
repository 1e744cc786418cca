"""Benchmarks of the namespace core: the static name algebra against its
pure-Python transcription (bench/pynames.py), and the namespace call path
against the raw tk calls it makes.

Each comparison times its statements in alternating rounds and keeps the best
round of each, counting the process's CPU time, so that a busy machine slows
both sides alike and time spent waiting for a CPU is not counted; statements
are timed as written (no wrapper function), so the harness adds the same small
cost to both sides.
"""

import time
import timeit

import pynames

from trelmo.tcl import Interpreter
from trelmo.tcl.namespace import TclNamespace

# (operation, call statement) on typical names
ALGEBRA = [
    ("join", "f('::lib', 'sub', 'cmd')"),
    ("split", "f('::lib::sub::cmd')"),
    ("normalize", "f('::lib::sub::cmd')"),
    ("qualifiers", "f('::lib::sub::cmd')"),
    ("tail", "f('::lib::sub::cmd')"),
]


def interleaved(stmts, namespaces, rounds=15):
    """Best per-call time in seconds of each statement, timed in alternating rounds."""
    timers = [timeit.Timer(s, timer=time.process_time, globals=g) for s, g in zip(stmts, namespaces)]
    number, _ = timers[0].autorange()
    number = max(number // 2, 1)
    best = [float("inf")] * len(timers)
    for _ in range(rounds):
        for i, t in enumerate(timers):
            best[i] = min(best[i], t.timeit(number) / number)
    return best


def run(report):
    total_ours = total_py = 0.0
    for name, stmt in ALGEBRA:
        ours, theirs = getattr(TclNamespace, name), getattr(pynames, name)
        assert eval(stmt, {"f": ours}) == eval(stmt, {"f": theirs})
        t_ours, t_py = interleaved([stmt, stmt], [{"f": ours}, {"f": theirs}])
        total_ours += t_ours
        total_py += t_py
        report("name algebra: %s (vs pure Python)" % name, t_py / t_ours, kind="info")
    report("name algebra: join+split+normalize+qualifiers+tail (vs pure Python)", total_py / total_ours, 10.0)

    tcl = Interpreter()
    ns = TclNamespace("::a", tcl)
    ns.create()
    g = {
        "ns": ns,
        "tk": tcl.tk,
        "cast_boolean": tcl.cast_boolean,
        "words": ("namespace", "eval", "::a", ("set", "x", 1)),
        "exists_words": ("namespace", "exists", "::a"),
    }
    t_ours, t_raw = interleaved(["ns.call('set', 'x', 1)", "tk.call(words)"], [g, g])
    report("TclNamespace('::a').call('set', 'x', 1) / raw tk.call", t_ours / t_raw, 1.1, kind="at most")
    # The baseline above sends a constant tuple (Python folds the literal);
    # a raw call whose words vary builds two tuples per call, as ns.call does.
    g["name"], g["var"] = "::a", "x"
    t_ours, t_built = interleaved(["ns.call('set', 'x', 1)", "tk.call(('namespace', 'eval', name, ('set', var, 1)))"], [g, g])
    report("  the same / raw tk.call with its words built per call", t_ours / t_built, kind="info")
    t_ours, t_raw = interleaved(["ns.exists()", "cast_boolean(tk.call(exists_words))"], [g, g])
    report("TclNamespace('::a').exists() / raw tk.call + cast_boolean", t_ours / t_raw, 1.2, kind="at most")
