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


# Long conversions let other threads run now and then; a thread that changes
# the input meanwhile must never crash the conversion or tear an element: each
# element comes out as one of the values its place held during the call, or
# (a dict that changed size) the conversion raises what iterating the dict in
# Python raises.
LONG = 40000


def _variants(i):
    return ("w%d" % i, "a b %d" % i, "{%d" % i, "\u00e9%d" % i, "\u20ac %d" % i, "\U0001f600%d}" % i, i)


_ALLOWED = {}


def _allowed(i):
    """Every form an element of place i may come out in: the values, their text."""
    if i not in _ALLOWED:
        _ALLOWED[i] = set(_variants(i)) | {str(v) for v in _variants(i)}
    return _ALLOWED[i]


def _changer(value, shape, resize, stop):
    import random

    r = random.Random(7)
    # Strings only keep a long list on the path that writes it a chunk at a
    # time (an int sends it the general way).
    variants = _variants if resize else (lambda i: _variants(i)[:-1])
    while not stop.is_set():
        for _ in range(200):
            if shape == "dict":
                i = r.randrange(LONG)
                value["k%d" % i] = r.choice(variants(i))
            elif shape == "nested":
                i = r.randrange(LONG // 4)
                value[i] = [str(r.choice(variants(i)))] * 4
            else:
                i = r.randrange(LONG)
                value[i] = r.choice(variants(i))
        if resize:
            if shape == "dict":
                value.pop("extra", None) if "extra" in value else value.setdefault("extra", "x")
            else:
                tail = len(value) == (LONG // 4 if shape == "nested" else LONG)
                value.append(["w%d" % len(value)] * 4 if shape == "nested" else "w%d" % len(value)) if tail else value.pop()


@pytest.mark.parametrize("resize", [False, True], ids=["same size", "resized"])
@pytest.mark.parametrize("shape", ["list", "dict", "nested"])
@pytest.mark.parametrize("func", ["quoml", "tclobj"])
def test_long_conversion_while_another_thread_changes_the_input(func, shape, resize):
    q = importlib.import_module("trelmo.tcl.quoml")
    tk = Interpreter().tk
    if shape == "dict":
        value = {"k%d" % i: "w%d" % i for i in range(LONG)}
    elif shape == "nested":
        value = [["w%d" % i] * 4 for i in range(LONG // 4)]
    else:
        value = ["w%d" % i for i in range(LONG)]
    stop = threading.Event()
    changer = threading.Thread(target=_changer, args=(value, shape, resize, stop))
    changer.start()
    try:
        for _ in range(3):
            try:
                out = getattr(q, func)(value)
            except RuntimeError as e:
                assert shape == "dict" and resize and "changed size during iteration" in str(e)
                continue
            words = tk.splitlist(out) if func == "quoml" else out
            if shape == "dict":
                assert len(words) % 2 == 0
                for k, v in zip(words[::2], words[1::2]):
                    assert v == "x" if k == "extra" else v in _allowed(int(k[1:]))
            elif shape == "nested":
                assert LONG // 4 <= len(words) <= LONG // 4 + 1
                for i, w in enumerate(words):
                    inner = tk.splitlist(w) if func == "quoml" else w
                    assert len(inner) == 4 and len(set(inner)) == 1 and inner[0] in _allowed(i)
            else:
                assert LONG <= len(words) <= LONG + 1
                for i, w in enumerate(words):
                    assert w in _allowed(i)
    finally:
        stop.set()
        changer.join()
