"""Variables: each mapping operation of TclArrayVariable and of the namespace
views against the raw _tkinter operation it sends, and array_set of a large
dict against the raw tk.call of the same command.

Each case runs twice: with one handle, and with 100 handles used round-robin
(the raw side then walks 100 names the same way, so the loop costs the same
on both sides).  Each ratio is (our time) / (raw time), so lower is better.
"""

import sys
import timeit
from operator import setitem

from trelmo.tcl import Interpreter, tclobj
from trelmo.tcl.namespace import TclArrayVariable, TclNamespace, TclVariable

HANDLES = 100


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


def each(fn, items):
    """fn(item) for every item: one round over the handles (or names)."""

    def loop():
        for item in items:
            fn(item)

    return loop


def run(report):
    tcl = Interpreter()
    tk = tcl.tk
    ids = range(HANDLES)
    # ::bench<i> holds x (text), n (an integer Tcl computed), l (a list Tcl
    # built) and the array a
    for i in ids:
        tk.eval("namespace eval ::bench%d {set x 5; set n [expr {6 * 7}]; set l [list a b {c d} e];"
                " array set a {k 1 j 2}}" % i)
    arrays = ["::bench%d::a" % i for i in ids]
    xs = ["::bench%d::x" % i for i in ids]
    ns_ = ["::bench%d::n" % i for i in ids]
    ls = ["::bench%d::l" % i for i in ids]
    a_handles = [TclArrayVariable(n, tcl) for n in arrays]
    views = [TclNamespace("::bench%d" % i, tcl).vars for i in ids]
    l_handles = [TclVariable(n, tcl=tcl) for n in ls]
    cast_list = tcl.cast_list
    splitlist, getvar, setvar = tk.splitlist, tk.getvar, tk.setvar

    # (name, ours on one handle, ours on one handle of the round, raw on one
    # name, raw on one name of the round, bar)
    cases = [
        ("a[k] (vs getvar(name, k))", lambda h: h["k"], lambda n: getvar(n, "k"), a_handles, arrays, 1.3),
        ("a[k] = v (vs setvar(name, k, v))", lambda h: setitem(h, "k", "v"), lambda n: setvar(n, "k", "v"),
         a_handles, arrays, 1.5),
        ("k in a (vs call of info exists)", lambda h: "k" in h,
         lambda n: tk.call(("::info", "exists", n + "(k)")), a_handles, arrays, 1.5),
        ("len(a) (vs call of array size)", len, lambda n: tk.call(("::array", "size", n)), a_handles, arrays, 1.5),
        ("ns.vars[name] (vs getvar of the full name)", lambda v: v["x"], getvar, views, xs, 1.3),
        ("ns.vars[name] = v (vs setvar)", lambda v: setitem(v, "x", 5), lambda n: setvar(n, 5), views, xs, 1.3),
        ("ns.vars[name] of a number Tcl computed (vs getvar)", lambda v: v["n"], getvar, views, ns_, 3.0),
        ("get(cast=tcl.cast_list) of a list Tcl built (vs splitlist(getvar))",
         lambda h: h.get(cast=cast_list), lambda n: splitlist(getvar(n)), l_handles, ls, 1.3),
    ]
    py = "%d.%d" % sys.version_info[:2]
    for name, ours, raw, handles, names, bar in cases:
        one_h, one_n = handles[0], names[0]
        report("%s, 1 handle, %s" % (name, py), paired(lambda: ours(one_h), lambda: raw(one_n)), bar, "at most")
        report("%s, %d handles, %s" % (name, HANDLES, py),
               paired(each(ours, handles), each(raw, names), rounds=11), bar, "at most")

    big = {"key%d" % i: "value %d" % i for i in range(10000)}
    words = ("::array", "set", "::bench0::big", tclobj(big))
    big_array = TclArrayVariable("::bench0::big", tcl)
    ratio = paired(lambda: big_array.array_set(big), lambda: tk.call(words), rounds=9, number=5)
    report("array_set of a 10,000-entry dict", ratio, 1.3, "at most")
