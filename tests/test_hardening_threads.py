"""Threads: several Python threads, each with its own interpreter, converting
values and calling Tcl at once.  Every result is checked against Tcl; no
thread may see another's state, and nothing may crash."""

import _thread
import importlib
import itertools
import threading

import pytest

from hardening_support import tcl_split
from trelmo.tcl import Interpreter

THREADS = 4
ROUNDS = 150


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
            assert tcl.vix.set("::t%d::w" % index, i, cast_=False) == str(i)
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


@pytest.mark.parametrize("shape", ["list", "dict"])
@pytest.mark.parametrize("func", ["quoml", "tclobj"])
def test_long_conversion_stops_at_keyboard_interrupt(func, shape):
    """A conversion of millions of items lets the interpreter run signal
    handlers as it goes, as a loop in Python would: Ctrl-C stops it."""
    q = importlib.import_module("trelmo.tcl.quoml")
    reached = itertools.count()

    class Last:
        """The last item: converted only if the conversion runs to its end,
        by a built-in callable, which gives no signal handler a turn."""

        __quoml__ = __tclobj__ = reached.__next__

    n = 4000000
    if shape == "dict":
        value = {"k%d" % i: "a b" for i in range(n // 2)}
        value["last"] = Last()
    else:
        value = ["a b"] * n + [Last()]
    timer = threading.Timer(0.01, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            getattr(q, func)(value)
    finally:
        timer.join()
    assert next(reached) == 0


# -- handles made in worker threads, and the default interpreter's thread ----------------------
THREAD_CHILD = """
import sys, threading
import trelmo.tcl
from trelmo.tcl import Interpreter, TclCommand
from trelmo.tcl.dorvel import Dorvel
results = []
def work():
    %s
%s
threads = [threading.Thread(target=work) for _ in range(3)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(sorted(set(map(repr, results))))
"""

# (what the worker runs, what the main thread does first): making handles from
# text and the module-level casts split lists with an interpreter of the
# calling thread, never the default interpreter of the main thread.
THREAD_CASES = {
    "handle from text, own interpreter": ("results.append(TclCommand('list a', tcl=tcl).args)", "tcl = Interpreter()"),
    "handle from text, default started": (
        "results.append(TclCommand('list a', tcl=tcl).args)",
        "tcl = Interpreter(); trelmo.tcl.tk.eval('set x 1')",
    ),
    "package casts": (
        "results.append((trelmo.tcl.cast_list('a {b c}'), trelmo.tcl.cast_boolean('yes'), "
        "trelmo.tcl.cast_array('k v')))",
        "",
    ),
    "package casts, default started": ("results.append(trelmo.tcl.cast_list('a {b c}'))", "trelmo.tcl.vix.set('x', 1)"),
    "keyed list": ("results.append(Dorvel.from_tcl('{a 1} {b {{c 2}}}'))", "trelmo.tcl.tk.eval('set x 1')"),
    "handle used in its thread": (
        "t = Interpreter(); results.append(TclCommand('list', tcl=t)('a b', 1))",
        "trelmo.tcl.tk.eval('set x 1')",
    ),
}


@pytest.mark.parametrize("case", sorted(THREAD_CASES))
def test_handles_made_in_worker_threads_exit_cleanly(case):
    import subprocess
    import sys

    work, main = THREAD_CASES[case]
    child = subprocess.run(
        [sys.executable, "-c", THREAD_CHILD % (work, main)], capture_output=True, text=True, timeout=120
    )
    assert child.returncode == 0, child.stderr[-2000:]
    assert "Tcl_AsyncDelete" not in child.stderr and "Exception" not in child.stderr, child.stderr[-2000:]
    assert len(eval(child.stdout)) == 1, child.stdout  # the same answer in every thread


def _in_thread(fn):
    box = []

    def run():
        try:
            box.append(("ok", fn()))
        except BaseException as e:  # noqa: BLE001 - handed to the test
            box.append(("raised", e))

    t = threading.Thread(target=run)
    t.start()
    t.join(timeout=120)
    return box[0]


@pytest.mark.parametrize(
    "use",
    [
        "trelmo.tcl.tk",
        "trelmo.tcl.vars",
        "trelmo.tcl.vix",
        "trelmo.tcl.default_interpreter()",
        "TclCommand('set')('x')",
        "TclVariable('::x').get()",
        "TclNamespace('::').exists()",
    ],
)
def test_default_interpreter_refuses_other_threads(use):
    import trelmo.tcl
    from trelmo.tcl.namespace import TclCommand, TclNamespace, TclVariable

    scope = {"trelmo": trelmo, "TclCommand": TclCommand, "TclVariable": TclVariable, "TclNamespace": TclNamespace}
    kind, result = _in_thread(lambda: eval(use, scope))
    assert kind == "raised" and type(result) is RuntimeError, result
    assert "main thread" in str(result)
    # the main thread keeps its default interpreter
    trelmo.tcl.tk.call("set", "::x", 1)
    assert TclVariable("::x").get() == 1


def test_module_casts_in_many_threads_at_once():
    """Each thread splits with its own interpreter: no thread sees another's text."""
    import trelmo.tcl

    errors = []
    barrier = threading.Barrier(THREADS)

    def split(n):
        try:
            barrier.wait()
            for i in range(ROUNDS):
                words = ["t%d" % n, str(i), "a b", "{", "\u20ac"]
                text = trelmo.tcl.quoml(words)
                assert trelmo.tcl.cast_list(text) == words
                assert trelmo.tcl.cast_array(trelmo.tcl.quoml(["k%d" % n, i])) == {"k%d" % n: str(i)}
        except BaseException as e:  # noqa: BLE001
            errors.append(repr(e))

    threads = [threading.Thread(target=split, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert errors == []


CYCLE_CHILD = """
import gc, threading
from trelmo.tcl import Interpreter
from trelmo.tcl.namespace import TclNamespace
gc.disable()
for n in range(4):
    tcl = Interpreter()
    if n % 2:
        TclNamespace('::c', tcl).cmds['f'] = lambda: 'f'
    tcl.self_ref = tcl  # a cycle: only the collector frees it
    del tcl
t = threading.Thread(target=gc.collect)  # ... and it runs in another thread
t.start()
t.join()
print('done')
"""


def test_interpreter_collected_in_another_thread_does_not_abort():
    import subprocess
    import sys

    child = subprocess.run([sys.executable, "-c", CYCLE_CHILD], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0 and child.stdout.strip() == "done", child.stderr[-2000:]
    assert child.stderr == "", child.stderr[-2000:]
