"""Benchmarks of trelmo.tcl.quoml: quoml() and tclobj() against a pure-Python
implementation of the same algorithm (bench/pyquoml.py), tkinter's own _join,
and Tcl's C list builder timed inside the same interpreter."""

import random
import re
import tkinter

import pyquoml
from timing import per_call

from trelmo.tcl import quoml, tclobj

# Short strings of the kinds that reach Tcl: plain words, words with spaces,
# braces, brackets, $, backslashes, quotes, newlines, empty strings and
# numbers as text.
_KINDS = [
    lambda r: r.choice(["alpha", "beta", "gamma", "delta", "x", "value", "name_%d" % r.randrange(100)]),
    lambda r: "%s %s" % (r.choice(["hello", "a", "key"]), r.choice(["world", "b", "value two"])),
    lambda r: r.choice(["{a}", "{b c}", "x{y}", "{", "}", "a}b", "{}"]),
    lambda r: r.choice(["[evil]", "a]", "[", "arr(1)[2]"]),
    lambda r: r.choice(["$var", "$::env(HOME)", "cost$"]),
    lambda r: r.choice(["a\\b", "c:\\path\\to", "x\\", "\\{"]),
    lambda r: r.choice(['"quoted"', 'say "hi"', '"']),
    lambda r: r.choice(["line1\nline2", "tab\there", "\n"]),
    lambda r: "",
    lambda r: str(r.randrange(-10000, 100000)),
    lambda r: "%.3f" % r.uniform(-100, 100),
]


def mixed_strings(n, seed):
    r = random.Random(seed)
    return [r.choice(_KINDS)(r) for _ in range(n)]


# Tcl's list builder over the items.  Tcl keeps the string form of every
# list it has built, so for nested lists each inner list is built again on
# every run, as quoml() has to build it (a Python list may have changed).
FLAT_SCRIPT = "string length [list {*}$::bench_items]"
NESTED_SCRIPT = "string length [list {*}[lmap x $::bench_items {list {*}$x}]]"


def tcl_per_call(tk, items, script, repeat=7):
    """Per-call time of Tcl's own list builder over items, in seconds."""
    tk.call("set", "::bench_items", items)
    best = None
    count = max(1, 2000000 // max(1, len(items)) // 10)
    tk.eval(script)
    for _ in range(repeat):
        out = tk.eval("time {%s} %d" % (script, count))
        us = float(re.match(r"([0-9.]+)", out).group(1))
        best = us if best is None else min(best, us)
    return best * 1e-6


def run(report):
    tk = tkinter.Tcl().tk
    strings = mixed_strings(10000, 1)
    lists = [mixed_strings(20, 100 + i) for i in range(500)]
    mapping = {}
    for i, (k, v) in enumerate(zip(mixed_strings(5000, 2), mixed_strings(5000, 3))):
        mapping[k if k not in mapping else "%s_%d" % (k, i)] = v
    flat = [x for kv in mapping.items() for x in kv]

    workloads = [
        ("10,000 mixed strings", strings, strings, tuple(strings), FLAT_SCRIPT, len(strings)),
        ("500 lists of 20 strings", lists, lists, tuple(tuple(x) for x in lists), NESTED_SCRIPT,
         sum(map(len, lists))),
        ("dict of 5,000 entries", mapping, flat, tuple(flat), FLAT_SCRIPT, len(flat)),
    ]
    for title, value, join_value, tcl_value, script, nitems in workloads:
        assert quoml(value) == pyquoml.quoml(value)
        assert [tk.splitlist(x) if isinstance(y, list) else x for x, y in zip(tk.splitlist(quoml(value)), join_value)] == [
            tuple(y) if isinstance(y, list) else y for y in join_value
        ]
        ours = per_call(lambda: quoml(value))
        py = per_call(lambda: pyquoml.quoml(value))
        joined = per_call(lambda: tkinter._join(join_value))
        tcl = tcl_per_call(tk, tcl_value, script)
        report("quoml, %s: vs pure Python" % title, py / ours, 40)
        report("quoml, %s: vs tkinter._join" % title, joined / ours, 8)
        report("quoml, %s: per-item time / Tcl's list builder (%.0f / %.0f ns)"
               % (title, ours / nitems * 1e9, tcl / nitems * 1e9), ours / tcl, 1.5, "at most")
    for title, value in [("10,000 mixed strings", strings), ("500 lists of 20 strings", lists),
                         ("dict of 5,000 entries", mapping)]:
        assert tclobj(value) == pyquoml.tclobj(value)
        ours = per_call(lambda: tclobj(value))
        py = per_call(lambda: pyquoml.tclobj(value))
        report("tclobj, %s: vs pure Python" % title, py / ours, 10)
    # cast_any runs on every quick call: its time on short text against a
    # fixed budget of 60 ns per call, measured without a lambda around it.
    import timeit

    from trelmo.tcl import cast_any

    for text in ("hello", "42", "3.5", "007"):
        timer = timeit.Timer("cast_any(text)", globals={"cast_any": cast_any, "text": text})
        number, _ = timer.autorange()
        t = min(timer.repeat(repeat=7, number=number)) / number
        bar = 60e-9 if text in ("hello", "007") else 250e-9
        report("cast_any(%r): per call / %.0f ns (%.0f ns)" % (text, bar * 1e9, t * 1e9), t / bar, 1.0, "at most")
