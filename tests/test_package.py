"""The package layer: the trelmo.tcl module object and its default
interpreter, and loading Tcl packages through package_require."""

import re
import subprocess
import sys
import textwrap

import pytest

import trelmo.tcl
import trelmo.tcl.namespace as nsmod
from trelmo.tcl.namespace import TclCommand, TclVariable


def test_default_and_proxied_interpreters(tcl):
    import weakref

    import trelmo.tcl as pkg

    assert TclCommand("set").tcl.__repr__.__self__ is pkg  # the package module, through a proxy
    proxy = weakref.proxy(tcl)
    assert TclCommand("set", tcl=proxy).tcl is proxy

def test_default_interpreter():
    v = TclVariable("::trelmo_default_probe")
    assert v.tcl.__name__ == "trelmo.tcl"  # a proxy of the package module
    v.set("hi")
    assert trelmo.tcl.vars["::trelmo_default_probe"] == "hi"
    v.unset()

def test_default_interpreter_quick_calls():
    code = """
        import trelmo.tcl
        assert trelmo.tcl.vix.set('x', 1) == 1
        assert trelmo.tcl.tk.getvar('x') == '1'
        assert trelmo.tcl.history.filter()[-1].api == 'set x 1'
        import trelmo.tcl.vix, trelmo.tcl.history
        assert type(trelmo.tcl.vix).__name__ == 'Vix'
        print('ok')
    """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    assert out.stdout.strip() == "ok", out.stderr


# -- loading Tcl packages ------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [(("json",), {}), (("json", "1.0"), {}), (("json", "1-"), {}), (("Tclx",), {}), (("struct::set", "2"), {"exact": False})],
)
def test_package_require_returns_the_version_tcl_loaded(tcl, args, kwargs):
    version = tcl.package_require(*args, **kwargs)
    assert type(version) is str and version == tcl.tk.eval("package present %s" % args[0])
    assert tcl.package_require(args[0], version, exact=True) == version  # loaded once, same answer
    with pytest.raises(nsmod.TclError) as info:
        tcl.package_require(args[0], "99")
    assert str(info.value) == 'version conflict for package "%s": have %s, need 99' % (args[0], version)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("nosuch_pkg",), {}, "can't find package nosuch_pkg"),
        (("nosuch_pkg", "1.2"), {}, "can't find package nosuch_pkg 1.2"),
        (("json", "99"), {}, "can't find package json 99"),
        (("json", "1.0"), {"exact": True}, "can't find package json exactly 1.0"),
        (("a b {",), {}, "can't find package a b {"),
    ],
)
def test_package_require_errors_come_from_tcl(tcl, rec, args, kwargs, message):
    with pytest.raises(nsmod.TclError) as info:
        tcl.package_require(*args, **kwargs)
    assert re.fullmatch(re.escape(message).replace(r"\*", ".*"), str(info.value))
    # One command with the name as one word: nothing is re-parsed by Tcl.
    assert rec.sent[-1][0] == "call" and args[0] in rec.sent[-1][1]


def test_package_require_exact_needs_a_version(tcl, rec):
    with pytest.raises(ValueError):
        tcl.package_require("json", exact=True)
    assert rec.sent == []


def test_package_require_on_the_default_interpreter():
    import trelmo.tcl

    assert trelmo.tcl.package_require("csv") == trelmo.tcl.tk.eval("package present csv")
