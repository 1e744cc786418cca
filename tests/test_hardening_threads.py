"""Threads: several Python threads, each with its own interpreter, converting
values and calling Tcl at once.  Every result is checked against Tcl; no
thread may see another's state, and nothing may crash."""

import importlib
import threading

import pytest

from hardening_support import module_ready, tcl_split
from trelmo.tcl import Interpreter

THREADS = 4
ROUNDS = 150

pytestmark = pytest.mark.skipif(not module_ready("namespace", "TempTclCommand"), reason="namespace not built yet")


def worker(index, errors, barrier):
    try:
        q = importlib.import_module("trelmo.tcl.quoml")
        from trelmo.tcl.namespace import TclCommand, TclNamespace, TclVariable, TempTclCommand

        tcl = Interpreter()  # a Tcl interpreter belongs to the thread that made it
        tk = tcl.tk
        ns = TclNamespace("::t%d" % index, tcl)
        ns.create()
        lst = TclCommand("list", tcl=tcl)
        var = TclVariable("::t%d::v" % index, tcl=tcl)
        has_vix = module_ready("vix", "Vix")
        has_dorvel = module_ready("dorvel", "Dorvel")
        if has_dorvel:
            from trelmo.tcl.dorvel import Dorvel
        barrier.wait()
        for i in range(ROUNDS):
            words = ["t%d" % index, str(i), "a b", "{", "[x]", "$y", "\u20ac\U0001f600", [str(i), "c d"]]
            text = q.quoml(words)
            assert tcl_split(tk, text)[:7] == tuple(words[:7])
            assert tcl_split(tk, tk.call("eval", "list " + text))[:7] == tuple(words[:7])
            assert tcl_split(tk, q.quoml(lst.call(*words)))[:7] == tuple(words[:7])
            assert tcl_split(tk, lst.eval(*words[:7])) == tuple(words[:7])
            var.set(words)
            assert tcl_split(tk, var.get_str())[:7] == tuple(words[:7])
            ns.vars["i"] = i
            assert ns.vars["i"] == str(i)
            with TempTclCommand(lambda *a, n=index: "%d:%d" % (n, len(a)), tcl=tcl) as t:
                assert t(1, 2) == "%d:2" % index
            if has_vix:
                assert tcl.vix.set("::t%d::w" % index, i, cast_=False) == str(i)
            if has_dorvel:
                d = Dorvel({"k.n": str(index), "i": str(i)})
                assert Dorvel.from_tcl(q.quoml(d)) == d
    except BaseException as e:  # noqa: BLE001 - reported by the main thread
        errors.append((index, repr(e)))


def test_threads_with_their_own_interpreters():
    errors = []
    barrier = threading.Barrier(THREADS)
    threads = [threading.Thread(target=worker, args=(i, errors, barrier)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert not any(t.is_alive() for t in threads)
    assert errors == []


def test_conversions_from_many_threads_at_once():
    """quoml and tclobj share only the module-level names: no interference."""
    q = importlib.import_module("trelmo.tcl.quoml")
    errors = []
    values = [[i, "a b", {"k": [i, "{"]}, b"xy", None, 1.5] for i in range(50)]
    expect = [q.quoml(v) for v in values], [q.tclobj(v) for v in values]

    def convert():
        try:
            for _ in range(40):
                assert [q.quoml(v) for v in values] == expect[0]
                assert [q.tclobj(v) for v in values] == expect[1]
        except BaseException as e:  # noqa: BLE001
            errors.append(repr(e))

    threads = [threading.Thread(target=convert) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert errors == []
