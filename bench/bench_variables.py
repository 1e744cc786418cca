"""Variables: each mapping operation of TclArrayVariable and of the namespace
views against the raw _tkinter operation it sends, and array_set of a large
dict against the raw tk.call of the same command.

Each ratio is (our time) / (raw time), so lower is better.
"""

import timeit
from operator import setitem

from trelmo.tcl import Interpreter, tclobj
from trelmo.tcl.namespace import TclArrayVariable, TclNamespace


def paired(ours, raw, rounds=21, number=None):
    """Best per-call time of ours over best per-call time of raw, timed in
    alternating short rounds so both see the same load on a shared machine."""
    t_ours, t_raw = timeit.Timer(ours), timeit.Timer(raw)
    if number is None:
        number = max(t_raw.autorange()[0] // 10, 1)
    best_ours = best_raw = float("inf")
    for _ in range(rounds):
        best_ours = min(best_ours, t_ours.timeit(number))
        best_raw = min(best_raw, t_raw.timeit(number))
    return best_ours / best_raw


def run(report):
    tcl = Interpreter()
    tk = tcl.tk
    tk.eval("namespace eval ::bench {set x 5; array set a {k 1 j 2}}")

    a = TclArrayVariable("::bench::a", tcl)
    ns = TclNamespace("::bench", tcl)
    view = ns.vars

    # (name, ours, raw, bar)
    cases = [
        ("TclArrayVariable a[k] (vs getvar(name, k))", lambda: a["k"], lambda: tk.getvar("::bench::a", "k"), 1.1),
        ("TclArrayVariable a[k] = v", lambda: setitem(a, "k", "v"), lambda: tk.setvar("::bench::a", "k", "v"), 1.5),
        (
            "TclArrayVariable k in a",
            lambda: "k" in a,
            lambda: tk.call(("::info", "exists", "::bench::a(k)")),
            1.5,
        ),
        ("TclArrayVariable len(a)", lambda: len(a), lambda: tk.call(("::array", "size", "::bench::a")), 1.5),
        ("VariablesView ns.vars[name] (vs getvar of the full name)", lambda: view["x"],
         lambda: tk.getvar("::bench::x"), 1.2),
        ("VariablesView ns.vars[name] = v (vs setvar)", lambda: setitem(view, "x", 5),
         lambda: tk.setvar("::bench::x", 5), 1.2),
    ]
    for name, ours, raw, bar in cases:
        report(name, paired(ours, raw), bar, "at most")
    report("  VariablesView ns.vars[name] (vs eval of set)", paired(lambda: view["x"], lambda: tk.eval("set ::bench::x")),
           kind="info")

    big = {"key%d" % i: "value %d" % i for i in range(10000)}
    words = ("::array", "set", "::bench::big", tclobj(big))
    big_array = TclArrayVariable("::bench::big", tcl)
    ratio = paired(lambda: big_array.array_set(big), lambda: tk.call(words), rounds=9, number=5)
    report("array_set of a 10,000-entry dict", ratio, 1.3, "at most")
