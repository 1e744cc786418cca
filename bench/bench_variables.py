"""Variables: each mapping operation of TclArrayVariable and of the namespace
views against the raw _tkinter operation it sends, and array_set of a large
dict against the raw tk.call of the same command.

Each ratio is (our time) / (raw time), so lower is better.
"""

from operator import setitem

from timing import per_call

from trelmo.tcl import Interpreter, tclobj
from trelmo.tcl.namespace import TclArrayVariable, TclNamespace


def run(report):
    tcl = Interpreter()
    tk = tcl.tk
    tk.eval("namespace eval ::bench {set x 5; array set a {k 1 j 2}}")

    a = TclArrayVariable("::bench::a", tcl)
    ns = TclNamespace("::bench", tcl)
    view = ns.vars

    cases = [
        ("TclArrayVariable a[k]", lambda: a["k"], lambda: tk.getvar("::bench::a", "k")),
        ("TclArrayVariable a[k] = v", lambda: setitem(a, "k", "v"), lambda: tk.setvar("::bench::a", "k", "v")),
        (
            "TclArrayVariable k in a",
            lambda: "k" in a,
            lambda: tk.call(("::info", "exists", "::bench::a(k)")),
        ),
        ("TclArrayVariable len(a)", lambda: len(a), lambda: tk.call(("::array", "size", "::bench::a"))),
        ("VariablesView ns.vars[name]", lambda: view["x"], lambda: tk.eval("set ::bench::x")),
        ("VariablesView ns.vars[name] = v", lambda: setitem(view, "x", 5), lambda: tk.setvar("::bench::x", 5)),
    ]
    for name, ours, raw in cases:
        report(name, per_call(ours) / per_call(raw), 1.5, "at most")

    big = {"key%d" % i: "value %d" % i for i in range(10000)}
    words = ("::array", "set", "::bench::big", tclobj(big))
    big_array = TclArrayVariable("::bench::big", tcl)
    ours = per_call(lambda: big_array.array_set(big), repeat=5)
    raw = per_call(lambda: tk.call(words), repeat=5)
    report("array_set of a 10,000-entry dict", ours / raw, 1.3, "at most")
