"""Shared fixtures: real Tcl interpreters, a recording tk wrapper, TclX."""

import os
import signal
import sys

import pytest
from tkinter import TclError
from hypothesis import HealthCheck, settings

import trelmo.tcl
from trelmo.tcl import Interpreter

# Property tests are derandomized and bounded so that runs are repeatable and
# CI stays short; HYPOTHESIS_PROFILE=thorough widens them locally.
settings.register_profile(
    "ci", derandomize=True, max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("thorough", max_examples=5000, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

# Started in the background by a shell without job control (`make test &` in
# a script), the suite inherits SIGINT ignored, and so would every child
# process: Ctrl-C and _thread.interrupt_main() would then do nothing.  The
# tests of KeyboardInterrupt need Python's own handler, as in a terminal.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def pytest_report_header(config):
    on = sys.modules["trelmo.tcl.quoml"]._fast_paths
    return "trelmo.tcl fast paths: %s" % ("on" if on else "off (TRELMO_TCL_NO_FAST_PATHS)")


class RecordingTk:
    """Wraps a ``_tkinter`` app and records what is sent through it.

    ``sent`` is a list of ``(operation, args)`` tuples, ``operation`` being
    the tk method name (``call``, ``eval``, ``getvar``, ...).  The read of
    Tcl's return options that follows every failed command goes to
    ``options_reads`` instead, so ``sent`` shows the commands themselves.
    """

    _RECORDED = ("call", "eval", "getvar", "setvar", "unsetvar", "createcommand", "deletecommand")

    def __init__(self, tk):
        self._tk = tk
        self.sent = []
        self.options_reads = []

    def __getattr__(self, name):
        attr = getattr(self._tk, name)
        if name not in self._RECORDED:
            return attr

        def recorder(*args):
            if name == "call" and len(args) == 2 and args[0] == "::apply" and "info errorstack" in str(args[1]):
                self.options_reads.append(args)
            else:
                self.sent.append((name, args))
            return attr(*args)

        return recorder

    def clear(self):
        del self.sent[:]
        del self.options_reads[:]


# Tcl procedures that count their runs in ::trapped: data that ever runs them
# as code shows up as a non-zero count.
TRAP_PROCS = "set ::trapped 0; proc evil args {incr ::trapped}; proc trap args {incr ::trapped}"


@pytest.fixture(scope="module")
def shared():
    """One interpreter per test module for property tests, with the trap commands defined."""
    interp = Interpreter()
    interp.tk.eval(TRAP_PROCS)
    return interp


@pytest.fixture
def tcl():
    """A fresh interpreter object."""
    return Interpreter()


@pytest.fixture
def rec(tcl):
    """The interpreter object of ``tcl`` with its ``tk`` recording; returns the recorder."""
    recorder = RecordingTk(tcl.tk)
    tcl.tk = recorder
    return recorder


@pytest.fixture
def trap(tcl):
    """Defines Tcl commands ``evil`` and ``trap`` that count their runs in ``::trapped``.

    Use ``trap()`` (the fixture value) to read the count.
    """
    tk = tcl.tk._tk if isinstance(tcl.tk, RecordingTk) else tcl.tk
    tk.eval(TRAP_PROCS)
    return lambda: int(tk.getvar("::trapped"))


@pytest.fixture
def tclx(tcl):
    """The interpreter object of ``tcl`` with TclX loaded (it must be installed)."""
    tcl.tk.eval("package require Tclx")
    return tcl


@pytest.fixture
def tcllib(tcl):
    """The interpreter object of ``tcl`` with tcllib's json, csv and struct::set loaded."""
    try:
        tcl.tk.eval("package require json; package require csv; package require struct::set")
    except TclError:
        pytest.skip("tcllib is not installed (tools/ensure-deps.sh installs it)")
    return tcl
