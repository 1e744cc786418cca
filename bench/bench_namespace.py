"""Benchmarks of the namespace core: the static name algebra against its
pure-Python transcription (bench/pynames.py), and the namespace call path
against the raw tk calls it makes."""

import pynames
from timing import per_call

from trelmo.tcl import Interpreter
from trelmo.tcl.namespace import TclNamespace

# (operation, arguments) on typical names
ALGEBRA = [
    ("join", ("::lib", "sub", "cmd")),
    ("split", ("::lib::sub::cmd",)),
    ("normalize", ("::lib::sub::cmd",)),
    ("qualifiers", ("::lib::sub::cmd",)),
    ("tail", ("::lib::sub::cmd",)),
]


def _algebra_run(impl):
    calls = [(getattr(impl, name), args) for name, args in ALGEBRA]

    def run():
        for f, args in calls:
            f(*args)

    return run


def run(report):
    for name, args in ALGEBRA:
        ours, theirs = getattr(TclNamespace, name), getattr(pynames, name)
        assert ours(*args) == theirs(*args)
        t_ours = per_call(lambda: ours(*args))
        t_py = per_call(lambda: theirs(*args))
        report("name algebra: %s (vs pure Python)" % name, t_py / t_ours, kind="info")
    t_ours = per_call(_algebra_run(TclNamespace))
    t_py = per_call(_algebra_run(pynames))
    report("name algebra: join+split+normalize+qualifiers+tail (vs pure Python)", t_py / t_ours, 10.0)

    tcl = Interpreter()
    tk = tcl.tk
    ns = TclNamespace("::a", tcl)
    ns.create()
    words = ("namespace", "eval", "::a", ("set", "x", 1))
    t_ours = per_call(lambda: ns.call("set", "x", 1))
    t_raw = per_call(lambda: tk.call(words))
    report("TclNamespace('::a').call('set', 'x', 1) / raw tk.call", t_ours / t_raw, 1.2, kind="at most")

    cast_boolean = tcl.cast_boolean
    exists_words = ("namespace", "exists", "::a")
    t_ours = per_call(ns.exists)
    t_raw = per_call(lambda: cast_boolean(tk.call(exists_words)))
    report("TclNamespace('::a').exists() / raw tk.call + cast_boolean", t_ours / t_raw, 1.2, kind="at most")
