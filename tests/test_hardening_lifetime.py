"""Lifetime: handles outliving their interpreter, finalisers after the
interpreter is gone, and interpreters created and dropped in a loop.

Every handle holds its interpreter object through a weak proxy: once the
interpreter object is gone, each operation that needs Tcl raises
ReferenceError, and the operations that never talk to Tcl keep working.
Crash and shutdown paths run in child processes.
"""

import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc
import weakref

import pytest

from trelmo.tcl import Interpreter

def _handles(tcl):
    """(name, handle, operations needing Tcl, operations that do not)."""
    from trelmo.tcl.namespace import (
        TclArrayVariable,
        TclCommand,
        TclNamespace,
        TclVariable,
        TempTclArrayVariable,
        TempTclCommand,
        TempTclNamespace,
        TempTclVariable,
    )

    ns = TclNamespace("::life", tcl)
    var = TclVariable("::life_v", tcl=tcl)
    arr = TclArrayVariable("::life_a", tcl)
    cmd = TclCommand("list", args=["a b"], tcl=tcl)
    tmp_cmd = TempTclCommand(lambda *a: "r", tcl=tcl)
    tcl = weakref.proxy(tcl)  # what the lambdas below see: they must not keep it alive
    return [
        ("TclNamespace", ns, [ns.create, ns.current, ns.exists, ns.children, lambda: ns.eval("set x 1"),
                              lambda: ns.call("set", "x", 1), ns.parent, lambda: TclNamespace("rel", tcl).absolute()],
         [lambda: str(ns), ns.is_absolute, ns.absolute, lambda: TclNamespace.join(ns, "x")]),
        ("vars view", ns.vars, [lambda: ns.vars["x"], lambda: ns.vars.set("x", 1), lambda: list(ns.vars),
                                lambda: len(ns.objs), lambda: "x" in ns.vars], []),
        ("cmds view", ns.cmds, [lambda: "set" in ns.cmds, lambda: list(ns.procs), lambda: ns.cmds.delete("nope"),
                                lambda: ns.cmds["f"]], []),
        ("TclVariable", var, [var.get, var.get_str, lambda: var.set(1), var.exists, var.is_array,
                              lambda: var.unset(nocomplain=True), lambda: TclVariable("rel", tcl=tcl).absolute()],
         [lambda: str(var), lambda: repr(var), var.__tclobj__, var.absolute]),
        ("TclArrayVariable", arr, [lambda: arr["k"], lambda: arr.__setitem__("k", 1), lambda: len(arr),
                                   lambda: list(arr), arr.clear, lambda: arr.update(k=1)], [lambda: repr(arr)]),
        ("TclCommand", cmd, [cmd, cmd.eval, cmd.exists, cmd.is_proc, cmd.proc_args, cmd.origin, cmd.delete,
                             lambda: cmd.createcommand(print), lambda: cmd.rename("x")],
         [cmd.build_tclcmd, lambda: str(cmd), lambda: repr(cmd), cmd.__tclobj__]),
        ("TempTclCommand", tmp_cmd, [tmp_cmd, tmp_cmd.exists, lambda: tmp_cmd.__exit__(None, None, None)],
         [lambda: str(tmp_cmd), tmp_cmd.absolute]),
        ("TempTclNamespace", TempTclNamespace(tcl=tcl), [], []),
        ("TempTclVariable", TempTclVariable(tcl=tcl), [], []),
        ("TempTclArrayVariable", TempTclArrayVariable(tcl=tcl), [], []),
    ]


def test_handles_raise_reference_error_once_the_interpreter_is_gone():
    tcl = Interpreter()
    cases = _handles(tcl)
    # context managers too: entering a temporary namespace needs Tcl
    for name, handle, _, _ in list(cases):
        if name == "TempTclNamespace":
            cases.append((name + " with", handle, [handle.__enter__], []))
        elif name.startswith("TempTcl"):  # entering sends nothing; leaving unsets or deletes
            cases.append((name + " with", handle, [lambda h=handle: h.__exit__(None, None, None)], [handle.__enter__]))
    del tcl
    gc.collect()
    for name, handle, tcl_ops, local_ops in cases:
        for i, fn in enumerate(tcl_ops):
            with pytest.raises(ReferenceError):
                fn()
                pytest.fail("%s operation %d needs Tcl but worked" % (name, i))
        for fn in local_ops:
            fn()


def test_quick_calls_raise_reference_error_once_the_interpreter_is_gone():
    tcl = Interpreter()
    chain = tcl.vix.ns.proc
    vix = tcl.vix
    del tcl
    gc.collect()
    with pytest.raises(ReferenceError):
        chain(1)
    with pytest.raises(ReferenceError):
        vix.set("x", 1)
    assert str(chain) == "<tcl.Vix magic, referring Tcl code ::ns::proc>"


CHILD_PRELUDE = """
import gc, sys
from trelmo.tcl import Interpreter
from trelmo.tcl.namespace import TempTclCommand, TclCommand, TclNamespace
"""

SHUTDOWN_CASES = {
    # finalised right after its interpreter: ReferenceError reported as ignored
    "finalised after interpreter": """
        tcl = Interpreter()
        t = TempTclCommand(lambda *a: 'x', tcl=tcl)
        del tcl
        gc.collect()
        del t
        gc.collect()
        print('done')
    """,
    # kept alive until interpreter shutdown, interpreter object dropped first
    "finalised at exit": """
        tcl = Interpreter()
        keep = [TempTclCommand(lambda *a: 'x', tcl=tcl) for _ in range(3)]
        del tcl
        print('done')
    """,
    # kept alive until exit together with its interpreter
    "both at exit": """
        tcl = Interpreter()
        t = TempTclCommand(lambda *a: 'x', tcl=tcl)
        ns = TclNamespace('::keep', tcl)
        ns.cmds['f'] = lambda: 'f'
        print('done')
    """,
    # on the package's default interpreter, which lives until exit
    "default interpreter": """
        t = TempTclCommand(lambda *a: 'x')
        t2 = TempTclCommand(print)
        cycle = [t2]
        cycle.append(cycle)
        print('done')
    """,
    # finalised after its interpreter was closed, and a view's command left
    "finalised after close": """
        with Interpreter() as tcl:
            t = TempTclCommand(lambda *a: 'x', tcl=tcl)
            TclNamespace('::keep', tcl).cmds['f'] = lambda: 'f'
        del t
        gc.collect()
        print('done')
    """,
    # a finaliser inside a reference cycle collected after the interpreter
    "cycle after interpreter": """
        tcl = Interpreter()
        t = TempTclCommand(lambda *a: 'x', tcl=tcl)
        t.self_ref = t
        del t
        del tcl
        gc.collect()
        print('done')
    """,
}


@pytest.mark.parametrize("case", sorted(SHUTDOWN_CASES))
def test_temporary_command_finalised_after_interpreter(case):
    code = CHILD_PRELUDE + textwrap.dedent(SHUTDOWN_CASES[case])
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.strip() == "done"
    assert "Fatal Python error" not in child.stderr
    # a finaliser that finds its interpreter gone does nothing and reports nothing
    assert child.stderr == "", child.stderr[-2000:]


def _rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def _one_interpreter_life(leave_commands=False):
    tcl = Interpreter()
    tcl.tk.eval("proc p {a {b 2}} {return $a}")
    from trelmo.tcl.namespace import TclCommand, TclNamespace, TclVariable, TempTclCommand

    ns = TclNamespace("::loop", tcl)
    ns.create()
    ns.vars["x"] = [1, "a b"]
    ns.cmds["f"] = lambda *a: "f"
    ns.cmds["f"](1)
    TclVariable("::v", tcl=tcl).set("x")
    TclCommand("p", tcl=tcl).proc_arg_default("b")
    with TempTclCommand(lambda: "t", tcl=tcl) as t:
        t()
    del t  # finalised while its interpreter lives
    list(ns.procs)
    if leave_commands:
        keep = TempTclCommand(lambda: "t", tcl=tcl)
        keep()
    else:
        del ns.cmds["f"]
    tcl.vix.set("y", 1)
    from trelmo.tcl.dorvel import Dorvel

    Dorvel.from_tcl(tcl.tk.eval("list {a b} {c {{d e}}}"))


def _growth_per_round(life):
    for _ in range(5):
        life()
    gc.collect()
    tracemalloc.start()
    try:
        rounds = []
        for _ in range(3):
            gc.collect()
            before = (tracemalloc.get_traced_memory()[0], len(gc.get_objects()), _rss_kb())
            for _ in range(20):
                life()
            gc.collect()
            after = (tracemalloc.get_traced_memory()[0], len(gc.get_objects()), _rss_kb())
            rounds.append([a - b for a, b in zip(after, before)])
    finally:
        tracemalloc.stop()
    return rounds


def _assert_no_growth(rounds):
    memory, objects, rss = (min(r[i] for r in rounds) for i in range(3))
    # a leaked Tcl interpreter costs about 300 KB and a few Python objects:
    # allow the allocators' slack, not one interpreter per round of 20
    assert objects < 20, rounds
    if PLAIN_ALLOCATOR:
        assert memory < 20 * 1024, rounds
        assert rss < 20 * 100, rounds


# Under the sanitizers freed memory waits in ASan's quarantine and the
# interpreter allocates with plain malloc: only objects are judged there.
PLAIN_ALLOCATOR = sys.getallocatedblocks() > 0 and "libasan" not in os.environ.get("LD_PRELOAD", "")


def test_interpreters_created_and_dropped_leave_no_growth():
    _assert_no_growth(_growth_per_round(_one_interpreter_life))


def test_interpreters_dropped_with_python_commands_left_are_freed(recwarn):
    # a view's cmds[name] = f and a TempTclCommand finalised after its
    # interpreter: the interpreter deletes what was registered through it
    rounds = _growth_per_round(lambda: _one_interpreter_life(leave_commands=True))
    _assert_no_growth(rounds)
    assert not recwarn.list


# -- closing an interpreter: close() and the with block -------------------------------------------
def test_closed_interpreter_refuses_every_handle():
    from tkinter import TclError

    with Interpreter() as tcl:
        cases = _handles(tcl)
        assert not tcl.closed
        assert tcl.tk.call("set", "::x", 1) == 1
    assert tcl.closed and "closed" in repr(tcl)
    tcl.close()  # closing twice does nothing
    for name, handle, tcl_ops, local_ops in cases:
        for i, fn in enumerate(tcl_ops):
            try:
                fn()
            except RuntimeError as e:
                assert "closed" in str(e), (name, i, e)
            except TclError:
                pass  # a temporary object's exit ignores a gone resource
            else:
                # cmds[name] only makes a handle: it needs the interpreter
                # object (gone above), not Tcl
                assert (name, i) == ("cmds view", 3), "%s operation %d needs Tcl but worked" % (name, i)
        for fn in local_ops:
            fn()
    with pytest.raises(RuntimeError, match="closed"):
        tcl.tk
    with pytest.raises(RuntimeError, match="closed"):
        tcl.vix.set("x", 1)
    assert tcl.cast_any("12") == 12  # casts that need no Tcl keep working


def test_close_from_another_thread_is_refused():
    import threading

    tcl = Interpreter()
    box = []
    t = threading.Thread(target=lambda: box.append(pytest.raises(RuntimeError, tcl.close)))
    t.start()
    t.join()
    assert box and not tcl.closed
    tcl.close()
    assert tcl.closed
