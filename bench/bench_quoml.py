"""Benchmarks of trelmo.tcl.quoml: quoml() and tclobj() against a pure-Python
implementation of the same algorithm (bench/pyquoml.py), tkinter's own _join,
and Tcl's C list builder timed inside the same interpreter; the peak memory of
one conversion of 10^6 items against the size of its output (in a child
process, so that nothing else of the run counts); and the longest time another
Python thread waits for the interpreter lock while such conversions run."""

import ctypes
import os
import random
import re
import subprocess
import sys
import threading
import time
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
               % (title, ours / nitems * 1e9, tcl / nitems * 1e9), ours / tcl, 1.0, "at most")
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

    big = big_workloads()
    for title, value in big:
        if isinstance(value, dict):
            tcl_value, script = tuple(x for kv in value.items() for x in kv), FLAT_SCRIPT
        elif isinstance(value[0], list):
            tcl_value, script = tuple(tuple(x) for x in value), NESTED_SCRIPT
        else:
            tcl_value, script = tuple(value), FLAT_SCRIPT
        nitems = sum(len(x) for x in tcl_value) if script == NESTED_SCRIPT else len(tcl_value)
        ours = per_call(lambda: quoml(value), number=1, repeat=5)
        tcl = tcl_per_call(tk, tcl_value, script, repeat=5)
        report("quoml, %s: per-item time / Tcl's list builder (%.0f / %.0f ns)"
               % (title, ours / nitems * 1e9, tcl / nitems * 1e9), ours / tcl, 1.0, "at most")
    tk.call("unset", "::bench_items")
    for title, _ in big:
        growth, size = peak_growth(title)
        bar = 2.5 if title.startswith("nested") else 1.5
        report("quoml, %s: peak RSS growth / output size (%.1f / %.1f MB)"
               % (title, growth / 1e6, size / 1e6), growth / size, bar, "at most")
    for fn in (quoml, tclobj):
        for title, value in big:
            stall = longest_stall(fn, value)
            report("%s, %s: longest stall of another thread" % (fn.__name__, title), stall * 1e3, 10.0,
                   "at most", unit="ms")
    floor = longest_stall(time.sleep, 0.05)
    report("  the same, the converting thread asleep instead (noise floor)", floor * 1e3, kind="info", unit="ms")


# 10^6 items in each: a flat list of strings, a dict of 500,000 entries, and
# 50,000 lists of 20 strings.
def big_workloads():
    flat = mixed_strings(1000000, 11)
    keys, values = mixed_strings(500000, 12), mixed_strings(500000, 13)
    mapping = {}
    for i, (k, v) in enumerate(zip(keys, values)):
        mapping["%s_%d" % (k, i)] = v
    nested = [mixed_strings(20, 1000 + i) for i in range(50000)]
    return [("flat list of 10^6 strings", flat), ("dict of 500,000 entries", mapping),
            ("nested list, 50,000 x 20 strings", nested)]


_CHILD = """
import gc, sys
sys.path.insert(0, %r)
from bench_quoml import big_workloads
from trelmo.tcl import quoml
value = dict(big_workloads())[sys.argv[1]]
quoml({"warm": ["up"]})
gc.collect()

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024

base = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak (VmHWM) starts again from the current size
out = quoml(value)
print(status("VmHWM") - base, sys.getsizeof(out))
"""


def peak_growth(title):
    """(peak RSS growth during one quoml() call, size of its output) in bytes,
    measured in a fresh child process."""
    env = dict(os.environ, PYTHONDEVMODE="", PYTHONMALLOC="")
    out = subprocess.run([sys.executable, "-c", _CHILD % os.path.dirname(os.path.abspath(__file__)), title],
                         env=env, check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
    growth, size = map(int, out.split())
    return growth, size


def longest_stall(fn, value, calls=5):
    """The longest time, in seconds, that a Python loop in another thread
    waits between two turns while fn(value) runs ``calls`` times (median over
    three runs).  Where the kernel tells (schedstat), time that either thread
    spent runnable but waiting for a processor is not counted: on a busy
    machine that is the scheduler's doing, not the interpreter lock's."""
    main_tid = threading.get_native_id() if hasattr(threading, "get_native_id") else None
    results = []
    for _ in range(3):
        stop = False
        gaps = [0.0]

        def ticker():
            try:
                fds = [os.open("/proc/thread-self/schedstat", os.O_RDONLY),
                       os.open("/proc/self/task/%d/schedstat" % main_tid, os.O_RDONLY)]
            except (OSError, TypeError):
                fds = []
            libc = ctypes.PyDLL(None)  # its calls keep the interpreter lock
            buf = ctypes.create_string_buffer(128)

            def queued():
                total = 0
                for fd in fds:
                    n = libc.pread(fd, buf, 127, ctypes.c_long(0))
                    total += int(buf.raw[:n].split()[1])
                return total * 1e-9

            last, last_q = time.perf_counter(), queued()
            while not stop:
                now, q = time.perf_counter(), queued()
                gap = (now - last) - (q - last_q)
                if gap > gaps[0]:
                    gaps[0] = gap
                last, last_q = now, q
            for fd in fds:
                os.close(fd)

        t = threading.Thread(target=ticker)
        t.start()
        kept = []  # freeing the results is not part of the calls
        try:
            time.sleep(0.02)
            gaps[0] = 0.0
            for _ in range(calls):
                kept.append(fn(value))
        finally:
            stop = True
            t.join()
        del kept
        results.append(gaps[0])
    return sorted(results)[1]
