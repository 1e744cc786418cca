"""Errors across the modules: Tcl errors carry Tcl's return options, and the
exceptions of Python-backed commands come back to Python as themselves."""

import gc
import os
import subprocess
import sys
from tkinter import TclError

import pytest

import trelmo.tcl.namespace as nsmod
from trelmo.tcl import quoml
from trelmo.tcl.namespace import TclCommand, TclNamespace, TempTclCommand


# -- errors: Tcl's return options, and exceptions of Python-backed commands --------------------
BOOM = 'proc boom {args} {error "bad thing" "custom trace" {APP BAD 42}}'


def _tcl_catch(tk, script):
    """What Tcl itself reports for `script`: (message, errorcode, errorinfo) through catch."""
    r = tk.eval("list [catch {%s} m o] $m [dict get $o -errorcode] [dict get $o -errorinfo]" % script)
    code, msg, errorcode, errorinfo = tk.splitlist(r)
    assert code == "1"
    return msg, tuple(tk.splitlist(errorcode)), errorinfo


def _error_paths():
    from trelmo.tcl.dorvel import Dorvel
    from trelmo.tcl.namespace import TclArrayVariable, TclVariable

    # name -> (what Tcl runs, the same through the system)
    return {
        "TclCommand.call": ("boom 1", lambda tcl: TclCommand("boom", tcl=tcl)(1)),
        "TclCommand.eval": ("boom 1", lambda tcl: TclCommand("boom", tcl=tcl).eval(1)),
        "TclNamespace.call": ("boom 1", lambda tcl: TclNamespace("::", tcl).call("boom", 1)),
        "TclNamespace.eval": ("boom 1", lambda tcl: TclNamespace("::", tcl).eval("boom 1")),
        "cmds view": ("boom 1", lambda tcl: TclNamespace("::", tcl).cmds["boom"](1)),
        "proc_args": ("info args boom2", lambda tcl: TclCommand("boom2", tcl=tcl).proc_args()),
        "get_str": ("set ::traced", lambda tcl: TclVariable("::traced", tcl=tcl).get_str()),
        "array_set": ("array set ::tarr odd", lambda tcl: TclArrayVariable("::tarr", tcl).array_set("odd")),
        "cast_list": ('llength "\\{a"', lambda tcl: tcl.cast_list("{a")),
        "keyed-list read": ('llength "\\{a b\\} \\{c"', lambda tcl: Dorvel.from_tcl("{a b} {c")),
        "package_require": ("package require nosuchpkg", lambda tcl: tcl.package_require("nosuchpkg")),
    }


@pytest.mark.parametrize("path", sorted(_error_paths()))
def test_tcl_errors_carry_the_return_options(tcl, path):
    tk = tcl.tk
    tk.eval(BOOM + "; set ::traced 1; trace add variable ::traced read boom")
    tk.eval("array set ::tarr {k 1}; trace add variable ::tarr read boom")
    script, run = _error_paths()[path]
    with pytest.raises(nsmod.TclError) as info:
        run(tcl)
    err = info.value
    msg, errorcode, errorinfo = _tcl_catch(tk, script)
    assert type(err) is nsmod.TclError and err.result == str(err) == msg
    assert err.errorcode == errorcode and all(type(e) is str for e in err.errorcode)
    # the trace Tcl gives for the same command (later lines name the words as the system wrote them)
    assert err.errorinfo.splitlines()[0] == errorinfo.splitlines()[0]
    assert type(err.errorstack) is tuple and all(type(e) is str for e in err.errorstack)
    assert err.errorstack[0] == "INNER" and len(err.errorstack) % 2 == 0


def test_error_options_are_read_before_anything_else(tcl, rec):
    tcl.tk.eval(BOOM)
    rec.clear()
    with pytest.raises(nsmod.TclError) as info:
        TclCommand("boom", tcl=tcl)()
    assert info.value.errorcode == ("APP", "BAD", "42") and info.value.errorinfo.startswith("custom trace")
    assert info.value.errorstack[:2] == ("INNER", "boom")
    assert rec.sent == [("call", (("boom",),))] and len(rec.options_reads) == 1  # the command, then one read


class AppError(Exception):
    pass


def _raising(box, exc):
    def fn(*args):
        e = exc(*args) if args else exc()
        box.append(e)
        raise e

    return fn


def _registrations():
    """Ways to turn a Python callable into a Tcl command: name -> (register, cleanup)."""

    def temp(tcl, fn):
        t = TempTclCommand(fn, tcl=tcl)
        return t.cmd_name, t

    def view(tcl, fn):
        TclNamespace("::", tcl).cmds["pyview"] = fn
        return "::pyview", None

    def create(tcl, fn):
        TclCommand("::pycreate", tcl=tcl).createcommand(fn)
        return "::pycreate", None

    return {"TempTclCommand": temp, "cmds view": view, "createcommand": create}


CALLERS = {
    "call": lambda tcl, name, *a: TclCommand(name, tcl=tcl)(*a),
    "eval": lambda tcl, name, *a: TclCommand(name, tcl=tcl).eval(*a),
    "namespace call": lambda tcl, name, *a: TclNamespace("::", tcl).call(name, *a),
    "namespace eval": lambda tcl, name, *a: TclNamespace("::", tcl).eval(quoml((name,) + a)),
    "view": lambda tcl, name, *a: TclNamespace("::", tcl).cmds[name](*a),
    "through a proc": lambda tcl, name, *a: TclCommand("apply", tcl=tcl)(("args", "%s {*}$args" % name), *a),
    "quick call": lambda tcl, name, *a: getattr(tcl.vix, name.lstrip(":"))(*a),
}


@pytest.mark.parametrize("register", sorted(_registrations()))
@pytest.mark.parametrize("caller", sorted(CALLERS))
def test_python_exceptions_come_back_as_themselves(tcl, register, caller):
    box = []
    name, keep = _registrations()[register](tcl, _raising(box, AppError))
    with pytest.raises(AppError) as info:
        CALLERS[caller](tcl, name, "a b", "c")
    assert info.value is box[-1] and info.value.args == ("a b", "c")
    # the traceback still shows where it was raised
    assert info.traceback[-1].name == "fn"


@pytest.mark.parametrize("exc", [ZeroDivisionError, AppError, KeyError, ValueError])
def test_tcl_sees_the_python_error(tcl, exc):
    box = []
    with TempTclCommand(_raising(box, exc), tcl=tcl) as t:
        msg, errorcode, errorinfo = _tcl_catch(tcl.tk, "%s {x y}" % t.cmd_name)
    e = box[-1]
    assert msg == "%s: %s" % (exc.__name__, e)
    assert errorcode == ("PYTHON", exc.__name__, str(e))
    assert errorinfo.startswith("Traceback (most recent call last):") and "in fn" in errorinfo
    assert ("%s: %s" % (exc.__name__, e)) in errorinfo


def test_python_errors_caught_by_tcl_are_forgotten(tcl):
    import weakref

    box = []
    tcl.tk.eval(BOOM)
    with TempTclCommand(_raising(box, AppError), tcl=tcl) as t:
        loop = TclCommand("eval", tcl=tcl)
        assert loop("catch {%s 1} m; set m" % t.cmd_name) == "AppError: 1"
        ref = weakref.ref(box.pop())
        gc.collect()
        assert ref() is None  # nothing keeps the exception once Tcl caught it
        with pytest.raises(nsmod.TclError) as info:  # a later failure is its own
            TclCommand("boom", tcl=tcl)()
        assert info.value.errorcode == ("APP", "BAD", "42")
        # Tcl code rethrowing the caught error hands back the Python exception
        with pytest.raises(AppError):
            loop("catch {%s 2} m o; return -options $o $m" % t.cmd_name)
        box.clear()
        # tkinter's own event loop finds nothing left behind
        tcl.tk.mainloop()


def _rss_kb():
    with open("/proc/self/statm") as f:
        import os

        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_memory_is_flat_over_many_raising_calls(tcl):
    import tracemalloc

    def fail(*a):
        raise AppError("x" * 100)

    with TempTclCommand(fail, tcl=tcl) as t:
        loop = TclCommand("eval", tcl=tcl)
        script = "for {set i 0} {$i < 10000} {incr i} {catch {%s 1}}" % t.cmd_name
        loop(script)
        gc.collect()
        tracemalloc.start()
        try:
            before, rss, objects = tracemalloc.get_traced_memory()[0], _rss_kb(), len(gc.get_objects())
            loop(script)
            for _ in range(200):
                with pytest.raises(AppError):
                    t(1)
            gc.collect()
            grown, rss_grown = tracemalloc.get_traced_memory()[0] - before, _rss_kb() - rss
            objects_grown = len(gc.get_objects()) - objects
        finally:
            tracemalloc.stop()
    assert objects_grown < 50, objects_grown  # one kept exception (with its frames) per call would show here
    # Under the sanitizers freed memory waits in ASan's quarantine: only objects are judged there.
    if sys.getallocatedblocks() > 0 and "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert grown < 64 * 1024, grown  # keeping each exception would be several MB
        assert rss_grown < 2048, rss_grown


STOP_CHILD = """
import os, signal, sys, threading, time
from trelmo.tcl import Interpreter
from trelmo.tcl.namespace import TclCommand, TclNamespace, TempTclCommand
tcl = Interpreter()
count = [0]
def tick(*a):
    count[0] += 1
    if count[0] == 5:
        %s
    return count[0]
t = TempTclCommand(tick, tcl=tcl)
inner = TempTclCommand(lambda: TclCommand('eval', tcl=tcl)(loop), tcl=tcl)
loop = 'for {set i 0} {$i < 200000} {incr i} {catch %%s}' %% t.cmd_name
run = {
    'call': lambda: TclCommand('eval', tcl=tcl)(loop),
    'eval': lambda: TclCommand('eval', tcl=tcl).eval(loop),
    'namespace eval': lambda: TclNamespace('::', tcl).eval(loop),
    'quick call': lambda: tcl.vix.eval(loop),
    'nested': lambda: TclCommand('eval', tcl=tcl)(
        'proc p {} {for {set j 0} {$j < 1000} {incr j} {catch {%%s}}}; p' %% inner.cmd_name),
}[sys.argv[1]]
try:
    run()
    print('finished', count[0])
except %s:
    print('stopped', count[0])
# the interpreter is fully usable right after
assert TclCommand('set', tcl=tcl)('x', 5) == 5
assert tcl.tk.eval('set x') == '5' and tcl.tk.call('set', 'y', 1) == 1 and tcl.tk.eval('set y') == '1'
assert tcl.vix.set('z', 2) == 2 and TclNamespace('::', tcl).eval('set z') == '2'
tcl.tk.mainloop()
print('usable')
"""


@pytest.mark.parametrize("how", ["call", "eval", "namespace eval", "quick call", "nested"])
@pytest.mark.parametrize(
    "stop, exc",
    [
        ("os.kill(os.getpid(), signal.SIGINT)", "KeyboardInterrupt"),
        ("threading.Timer(0, os.kill, (os.getpid(), signal.SIGINT)).start(); time.sleep(0.5)", "KeyboardInterrupt"),
        ("sys.exit(3)", "SystemExit"),
    ],
)
def test_interrupts_stop_the_whole_tcl_evaluation(how, stop, exc):
    code = STOP_CHILD % (stop, exc)
    child = subprocess.run([sys.executable, "-c", code, how], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.split() == ["stopped", "5", "usable"], (child.stdout, child.stderr[-2000:])
    assert "Exception ignored" not in child.stderr, child.stderr[-2000:]


# -- errors carry Tcl's return options, and the message leads the trace ----------------------------
@pytest.mark.parametrize(
    "script, call, message",
    [
        ('proc boom {} {error "bad thing" "custom trace" {APP BAD 42}}', lambda v: v.boom(), "bad thing"),
        (
            'proc calc {x} {if {[catch {expr {1/$x}} m]} {error "calc failed: $m" $::errorInfo $::errorCode}}',
            lambda v: v.calc(0),
            "calc failed: divide by zero",
        ),
        ("", lambda v: v.nosuchproc(1), 'invalid command name "nosuchproc"'),
    ],
)
def test_quick_call_errors_lead_with_the_message(tcl, script, call, message):
    tcl.tk.eval(script)
    with pytest.raises(TclError) as info:
        call(tcl.vix)
    err = info.value
    info_text = tcl.tk.getvar("::errorInfo")
    assert err.result == message
    assert str(err) == (info_text if info_text.startswith(err.result) else err.result + "\n" + info_text)
    assert str(err).splitlines()[0] == err.result and err.errorinfo == info_text
    assert err.errorcode == tuple(tcl.tk.splitlist(tcl.tk.eval("set ::errorCode")))
    assert err.errorstack and all(type(e) is str for e in err.errorstack)


def test_quick_call_hands_back_python_exceptions(tcl):
    from trelmo.tcl.namespace import TempTclCommand

    class Odd(Exception):
        pass

    def fail(*a):
        raise Odd(*a)

    with TempTclCommand(fail, tcl=tcl) as t:
        tcl.tk.eval("proc relay {args} {%s {*}$args}" % t.cmd_name)
        with pytest.raises(Odd) as info:
            tcl.vix.relay("a", b="c")
    assert info.value.args == ("a", "-b", "c")
