"""Pure-Python Vix and Vix_Code: the benchmark baseline for trelmo.tcl.vix."""

import weakref
from tkinter import TclError

from trelmo.tcl.quoml import quoml


class Vix(object):
    """Quick calls bound to an interpreter object: tcl.vix.ns.proc(a, opt=b)."""

    def __init__(self, tcl):
        self.tcl = weakref.proxy(tcl)

    def __getattr__(self, name):
        return Vix_Code(name, tcl=self.tcl)

    def __call__(self, *args, **kwargs):
        raise TclError('invalid command name ""')


class Vix_Code(object):
    """One quick call being named: cmd components and the interpreter."""

    def __init__(self, *cmd, tcl):
        self.tcl = tcl
        self.cmd = list(cmd)

    def __getattr__(self, name):
        self.cmd.append(name)
        return self

    def __call__(self, *args, **kwargs):
        cast = kwargs.pop("cast_", True)
        words = ["::".join(self.cmd)] + [quoml(a) for a in args]
        for k, v in kwargs.items():
            words.append("-" + k)
            words.append(quoml(v))
        self.tcl.history.append(words)
        try:
            result = self.tcl.tk.call(*words)
        except TclError:
            raise TclError(self.tcl.vars["::errorInfo"]) from None
        if cast:
            return self.tcl.cast_any(result)
        return quoml(result) if isinstance(result, tuple) else str(result)

    def __str__(self):
        return "<tcl.Vix magic, referring Tcl code ::%s>" % "::".join(self.cmd)

    def __repr__(self):
        return self.__str__()
