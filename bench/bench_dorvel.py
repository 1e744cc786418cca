"""Keyed lists: Dorvel against the pure-Python class of the same behaviour
(tests/oracles/pydorvel.py) on a keyed list of 1,000 fields, three levels deep, with
mixed values; from_tcl against the raw way, a Python loop over the bridge's
splitlist (one record again and again, and 100 records in turn); and, for
scale, TclX reading every leaf with keylget inside Tcl.

The pure-Python quoml of that class is the all-Python path: its __tclobj__
converts with the pure-Python tclobj (bench/pyquoml.py) and quoml formats.
"""

import random
import re
from operator import setitem

import pydorvel
import pyquoml
from timing import per_call

from trelmo.tcl import Interpreter, quoml
from trelmo.tcl.dorvel import Dorvel

_WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]


def mixed_value(r):
    kind = r.randrange(6)
    if kind == 0:
        return r.choice(_WORDS)
    if kind == 1:
        return "%s %s" % (r.choice(_WORDS), r.choice(_WORDS))
    if kind == 2:
        return r.randrange(-10000, 100000)
    if kind == 3:
        return round(r.uniform(-100, 100), 3)
    if kind == 4:
        return r.choice(["{x}", "a]b", "$v", "c:\\dir", 'say "hi"'])
    return "v%d" % r.randrange(1000)


def build(seed=1, tops=10):
    """{top: {mid: {leaf: value}}}: tops x 10 x 10 leaves (1,000 by default)."""
    r = random.Random(seed)
    return {
        "top%d" % i: {"mid%d" % j: {"leaf%d" % k: mixed_value(r) for k in range(10)} for j in range(10)}
        for i in range(tops)
    }


def splitlist_parse(text, splitlist):
    """The keyed list `text` as nested dicts, parsed with the bridge's
    splitlist: a value whose elements all split into pairs is a nested list."""
    out = {}
    for field in splitlist(text):
        key, value = splitlist(field)
        elements = splitlist(value)
        if all(len(splitlist(e)) == 2 for e in elements):
            out[key] = splitlist_parse(value, splitlist)
        else:
            out[key] = value
    return out


def ratio(slow, fast, rounds=4, repeat=3):
    """slow/fast from the best times of interleaved rounds, so that a change
    of machine load during the run touches both sides alike."""
    best_slow = best_fast = None
    for _ in range(rounds):
        s, f = per_call(slow, repeat=repeat), per_call(fast, repeat=repeat)
        best_slow = s if best_slow is None else min(best_slow, s)
        best_fast = f if best_fast is None else min(best_fast, f)
    return best_slow / best_fast


def run(report):
    tcl = Interpreter()
    tk = tcl.tk
    tk.eval("package require Tclx")

    nested = build()
    ours = Dorvel(nested)
    theirs = pydorvel.Dorvel(nested)
    keys = ours.all_keys()
    assert keys == theirs.all_keys() and len(keys) == 1000
    values = [ours[k] for k in keys]

    def py_quoml():
        saved = pydorvel.tclobj
        pydorvel.tclobj = pyquoml.tclobj
        try:
            return pyquoml.quoml(theirs)
        finally:
            pydorvel.tclobj = saved

    text = quoml(ours)
    assert text == py_quoml()
    report("quoml of a Dorvel: vs pure Python", ratio(py_quoml, lambda: quoml(ours), repeat=2), 20)

    def reads(d):
        return lambda: [d[k] for k in keys]

    def writes(d):
        pairs = list(zip(keys, values))
        return lambda: [setitem(d, k, v) for k, v in pairs]

    report("dotted reads d['a.b.c'] (1,000 keys): vs pure Python", ratio(reads(theirs), reads(ours)), 5)
    report("dotted writes d['a.b.c'] = v (1,000 keys): vs pure Python", ratio(writes(theirs), writes(ours)), 5)
    report("all_keys(): vs pure Python", ratio(theirs.all_keys, ours.all_keys), 5)
    report("all_items(): vs pure Python", ratio(theirs.all_items, ours.all_items), 5)

    assert Dorvel.from_tcl(text) == pydorvel.Dorvel.from_tcl(text)
    report("from_tcl of its text: vs pure Python",
           ratio(lambda: pydorvel.Dorvel.from_tcl(text), lambda: Dorvel.from_tcl(text)), 2)

    # The raw way: a Python loop that parses the record with the bridge's
    # splitlist, nested keyed lists detected as from_tcl detects them.  One
    # record read again and again, and 100 different records in turn.
    splitlist = tk.splitlist
    assert splitlist_parse(text, splitlist) == Dorvel.from_tcl(text)
    records = [quoml(Dorvel(build(seed, tops=1))) for seed in range(100)]
    assert all(splitlist_parse(t, splitlist) == Dorvel.from_tcl(t) for t in records)
    turn = [0]

    def each(parse):
        def one():
            turn[0] = (turn[0] + 1) % 100
            return parse(records[turn[0]])
        return one

    report("from_tcl, 1,000 leaves / splitlist loop, 1 record",
           1 / ratio(lambda: splitlist_parse(text, splitlist), lambda: Dorvel.from_tcl(text)), 1.0, "at most")
    report("from_tcl, 100 leaves / splitlist loop, 100 records",
           1 / ratio(each(lambda t: splitlist_parse(t, splitlist)), each(Dorvel.from_tcl)), 1.0, "at most")

    # TclX's own reading of every leaf, inside Tcl: the list of keys and the
    # keyed list are set up once, then keylget runs for each key.
    tk.call("set", "::bench_kl", text)
    tk.call("set", "::bench_keys", tuple(keys))
    tk.eval("proc ::bench_keylget {} {foreach k $::bench_keys {keylget ::bench_kl $k}}")
    tk.eval("::bench_keylget")
    best = min(float(re.match(r"([0-9.]+)", tk.eval("time ::bench_keylget 20")).group(1)) for _ in range(5))
    ours_reads = per_call(reads(ours))
    report("  (TclX keylget of every leaf: %.1f us; Dorvel dotted reads: %.1f us)" % (best, ours_reads * 1e6), 1.0,
           None, "info")
    report("TclX keylget of every leaf / Dorvel dotted reads (time ratio)", best * 1e-6 / ours_reads, None, "info")
