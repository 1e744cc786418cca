"""Drive a Tcl interpreter from Python.

The package wraps the Tcl interpreter of the standard library's ``tkinter``
in an :class:`Interpreter` object, and its extension modules turn Tcl
namespaces, variables and commands into Python objects bound to such an
interpreter:

* :mod:`trelmo.tcl.quoml` -- Python values to Tcl text (``quoml``) and to
  values for the ``_tkinter`` bridge (``tclobj``), with Tcl's own list quoting;
* :mod:`trelmo.tcl.namespace` -- ``TclNamespace``, ``TclVariable``,
  ``TclArrayVariable``, ``TclCommand`` and their temporary variants;
* :mod:`trelmo.tcl.dorvel` -- ``Dorvel``, TclX keyed lists as Python mappings;
* :mod:`trelmo.tcl.history` -- ``History``, a bounded record of calls;
* :mod:`trelmo.tcl.vix` -- ``Vix``, quick calls: ``tcl.vix.ns.proc(a, opt=b)``.

The package module itself is the *default interpreter object*: handles made
without an explicit interpreter use its module-level ``tk``, cast functions,
``history``, ``vars`` and ``vix``, all backed by one :class:`Interpreter`
created on first use.  Importing the package does not start Tcl.
"""

import re
import sys
import threading
import types
from functools import cached_property
from typing import Any, Dict, List, Optional

import _tkinter
import tkinter

from .quoml import quoml, tclobj

__all__ = [
    "Interpreter",
    "quoml",
    "tclobj",
    "cast_list",
    "cast_boolean",
    "cast_array",
    "cast_any",
    "Dorvel",
    "TclNamespace",
    "TempTclNamespace",
    "TclVariable",
    "TempTclVariable",
    "TclArrayVariable",
    "TempTclArrayVariable",
    "TclCommand",
    "TempTclCommand",
    "History",
    "Vix",
]

_Tcl_Obj = _tkinter.Tcl_Obj

# Tcl's integer syntax (decimal, 0x, 0o, 0b; an optional sign) and its
# decimal floating-point syntax; anything else stays text in cast_any.
_TCL_INT = re.compile(r"[+-]?(?:0[xX][0-9a-fA-F]+|0[oO][0-7]+|0[bB][01]+|[1-9][0-9]*|0)\Z")
_TCL_DOUBLE = re.compile(r"[+-]?(?:[0-9]+\.[0-9]*|\.[0-9]+|[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")
_INT_TYPES = frozenset(("int", "wideInt", "bignum"))
_NUMBER_START = frozenset("+-.0123456789")


class Interpreter:
    """One Tcl interpreter (``tkinter.Tcl()``) with the members handles use.

    ``tk`` is the ``_tkinter`` application handle; ``cast_list``,
    ``cast_boolean``, ``cast_array`` and ``cast_any`` convert interpreter
    results; ``history`` (a :class:`~trelmo.tcl.history.History`), ``vars``
    (the variables view of the global namespace) and ``vix`` (quick calls bound
    to this interpreter) are created on first use.

    Handles hold the interpreter through a weak proxy: keep the
    ``Interpreter`` alive for as long as its handles are used.
    """

    def __init__(self) -> None:
        self._root = tkinter.Tcl()
        self.tk = self._root.tk
        self._thread = threading.get_ident()  # Tcl allows only this thread
        # Tcl command names registered through the handles with Python
        # callables: the bridge's commands keep the Tcl interpreter alive, so
        # close() deletes them.
        self._commands: Dict[str, None] = {}

    # -- casts -----------------------------------------------------------------
    def cast_list(self, value: Any) -> List[Any]:
        """Split a Tcl list (text, ``Tcl_Obj``, tuple or list) as Tcl does."""
        if type(value) is str:
            return list(self.tk.splitlist(value))  # text splits into text
        if isinstance(value, (tuple, list)):
            items = value
        else:
            if not isinstance(value, (str, bytes, _Tcl_Obj)):
                value = str(value)
            items = self.tk.splitlist(value)
        # The bridge can hand back elements as Tcl objects (variable names
        # from `info vars`, say); give their text, as for a list read as text.
        return [e.string if type(e) is _Tcl_Obj else e for e in items]

    def cast_boolean(self, value: Any) -> bool:
        """Read a Tcl boolean (``1``, ``0``, ``true``, ``no``, ...)."""
        return bool(self.tk.getboolean(value))

    def cast_array(self, value: Any) -> Dict[Any, Any]:
        """Turn the result of ``array get`` into a dict."""
        items = iter(self.cast_list(value))
        return dict(zip(items, items))

    def cast_any(self, value: Any) -> Any:
        """Best-effort conversion of a Tcl result into a Python value.

        Tcl integers and doubles become ``int`` and ``float`` (by the
        ``Tcl_Obj`` type or, for text, by Tcl's integer and decimal syntax),
        booleans the bridge already converted stay ``bool``, tuples (Tcl
        lists) become lists of converted items, and everything else its
        ``str``.
        """
        if type(value) is str:
            text = value
        elif isinstance(value, (bool, int, float)):
            return value
        elif isinstance(value, tuple):
            return [self.cast_any(v) for v in value]
        elif isinstance(value, _Tcl_Obj):
            typename = value.typename
            if typename in _INT_TYPES:
                return int(value.string, 0)
            if typename == "double":
                return float(value.string)
            text = value.string
        else:
            text = str(value)
        # Only text that starts like a number can be one: skip the patterns
        # for everything else.
        if not text or text[0] not in _NUMBER_START:
            return text
        if _TCL_INT.match(text):
            return int(text, 0)
        if _TCL_DOUBLE.match(text):
            return float(text)
        return text

    # -- members built on first use ----------------------------------------
    # cached_property stores each member in the instance dictionary on first
    # use, so later reads are plain attribute lookups.
    @cached_property
    def history(self) -> Any:
        """The call history of this interpreter (a ``History``)."""
        from .history import History

        return History()

    @cached_property
    def vars(self) -> Any:
        """The variables view of the global namespace: ``tcl.vars['::x']``."""
        from .namespace import TclNamespace

        return TclNamespace("::", self).vars

    @cached_property
    def vix(self) -> Any:
        """Quick calls bound to this interpreter: ``tcl.vix.set('x', 1)``."""
        from .vix import Vix

        return Vix(self)

    # -- lifetime --------------------------------------------------------------
    def _register_command(self, name: str) -> None:
        """Note a Tcl command backed by a Python callable, for close()."""
        self._commands[name] = None

    def _forget_command(self, name: str) -> None:
        """Forget a command noted by _register_command (deleted)."""
        self._commands.pop(name, None)

    def _command_renamed(self, old: str, new: str) -> None:
        """Follow a noted command renamed through a handle ("" deletes it)."""
        if self._commands.pop(old, 0) is None and new:
            self._commands[new] = None

    @property
    def closed(self) -> bool:
        """Whether close() has run: the Tcl interpreter is gone."""
        return "_root" not in self.__dict__

    def close(self) -> None:
        """Delete the Tcl interpreter now.

        The Python-backed commands registered through the handles are deleted
        first (the bridge's commands would otherwise keep the Tcl interpreter
        alive), then the interpreter is released.  Afterwards every handle
        bound to this object raises ``RuntimeError``.  Closing twice does
        nothing; closing from a thread other than the one that created the
        interpreter raises ``RuntimeError`` (Tcl allows only that thread).
        """
        if self.closed:
            return
        if threading.get_ident() != self._thread:
            raise RuntimeError("close() of an Interpreter from a thread other than the one that created it")
        tk = self.__dict__.get("tk")
        commands, self._commands = self._commands, {}
        delete = getattr(tk, "deletecommand", None)
        if delete is not None:
            for name in commands:
                try:
                    delete(name)
                except tkinter.TclError:
                    pass  # already deleted, or renamed by Tcl code
        self.__dict__.pop("tk", None)
        del self._root

    def __enter__(self) -> "Interpreter":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __del__(self) -> None:
        # Only the creating thread may delete Tcl commands; elsewhere (or
        # half-built) there is nothing safe to do.
        try:
            if not self.closed and threading.get_ident() == self.__dict__.get("_thread"):
                self.close()
        except Exception:  # noqa: BLE001 - a finaliser reports nothing
            pass

    def __getattr__(self, name: str) -> Any:
        # Reached only for missing attributes: `tk` after close().
        if name == "tk" and "_thread" in self.__dict__ and self.closed:
            raise RuntimeError("the Tcl interpreter of %r is closed" % (self,))
        raise AttributeError("%r object has no attribute %r" % (type(self).__name__, name))

    def __repr__(self) -> str:
        return "<%s at %#x%s>" % (type(self).__name__, id(self), " (closed)" if self.closed else "")


# -- the package module as the default interpreter object --------------------
_default_lock = threading.Lock()
_default_interp: Optional[Interpreter] = None

# Members of the default interpreter offered at module level, made on first
# use.  Only `history` is stored in the module once made: the others reach Tcl,
# so each access checks that it comes from the default interpreter's thread.
_DEFAULT_MEMBERS = ("history", "vars", "vix")

# Public classes of the extension modules, imported on first use so that a
# plain `import trelmo.tcl` stays cheap and starts nothing.
_LAZY_EXPORTS = {
    "Dorvel": "dorvel",
    "TclNamespace": "namespace",
    "TempTclNamespace": "namespace",
    "TclVariable": "namespace",
    "TempTclVariable": "namespace",
    "TclArrayVariable": "namespace",
    "TempTclArrayVariable": "namespace",
    "TclCommand": "namespace",
    "TempTclCommand": "namespace",
    "History": "history",
    "Vix": "vix",
}


def default_interpreter() -> Interpreter:
    """Return the package's default :class:`Interpreter`, creating it once.

    The default interpreter belongs to the main thread: Tcl lets only the
    thread that created an interpreter use it, and the process deletes it at
    exit from the main thread.  From any other thread this raises
    ``RuntimeError``; make an ``Interpreter()`` in that thread instead.
    """
    global _default_interp
    interp = _default_interp
    if interp is None or threading.get_ident() != interp._thread:
        if threading.current_thread() is not threading.main_thread():
            raise RuntimeError(
                "the default Tcl interpreter belongs to the main thread; create an Interpreter() "
                "in this thread and pass it as tcl="
            )
        with _default_lock:
            interp = _default_interp
            if interp is None:
                interp = _default_interp = Interpreter()
    return interp


# Module-level casts need a Tcl interpreter of the calling thread only to
# split lists and read booleans.  They use the default interpreter where it
# already runs (the main thread), and elsewhere one private interpreter per
# thread, made on first use and deleted with its thread: splitting text never
# starts the default interpreter nor touches another thread's.
_thread_data = threading.local()


def _thread_interpreter() -> Interpreter:
    """A Tcl interpreter of the calling thread for the module-level casts."""
    interp = _default_interp
    if interp is not None and threading.get_ident() == interp._thread:
        return interp
    try:
        return _thread_data.interp
    except AttributeError:
        interp = _thread_data.interp = Interpreter()
        return interp


# The default interpreter's command tracking, reached by the extension modules
# through the package module as the interpreter object.
def _register_command(name: str) -> None:
    default_interpreter()._register_command(name)


def _forget_command(name: str) -> None:
    default_interpreter()._forget_command(name)


def _command_renamed(old: str, new: str) -> None:
    default_interpreter()._command_renamed(old, new)


def _reclaim_callback_error(sentinel: BaseException) -> None:
    """Empty the bridge's slot for exceptions of Tcl command callbacks.

    The bridge keeps the exception of a failing Python-backed command in one
    process-wide slot until its event loop runs.  The extension modules'
    callbacks store a sentinel there (their own exception travels apart); a
    call site takes it back with this: the event loop of an interpreter of
    this thread, with a threshold no window count reaches, returns at once and
    raises what the slot held.  Anything else found there (from a callable
    registered directly with the bridge) is put back the way it came.
    """
    tk = _thread_interpreter().tk
    try:
        tk.mainloop(1 << 30)
    except BaseException as e:  # noqa: BLE001 - whatever the slot held
        if e is sentinel:
            return
        found = e

        def put_back() -> None:
            raise found

        name = "::__trelmo__put_back_%x" % id(found)
        tk.createcommand(name, put_back)
        try:
            tk.call(name)
        except tkinter.TclError:
            pass
        finally:
            tk.deletecommand(name)


def cast_list(value: Any) -> List[Any]:
    """Split a Tcl list as Tcl does (with an interpreter of the calling thread)."""
    return _thread_interpreter().cast_list(value)


def cast_boolean(value: Any) -> bool:
    """Read a Tcl boolean (with an interpreter of the calling thread)."""
    return _thread_interpreter().cast_boolean(value)


def cast_array(value: Any) -> Dict[Any, Any]:
    """Turn an ``array get`` result into a dict (with an interpreter of the calling thread)."""
    return _thread_interpreter().cast_array(value)


def cast_any(value: Any) -> Any:
    """Best-effort conversion of a Tcl result (with an interpreter of the calling thread)."""
    return _thread_interpreter().cast_any(value)


class _PackageModule(types.ModuleType):
    """The package module, serving as the default interpreter object.

    ``history`` and ``vix`` name both submodules and members of the default
    interpreter.  As members they win: importing the submodules does not
    replace them (reach the modules with ``from trelmo.tcl.history import
    History`` or through ``sys.modules``).
    """

    @property
    def tk(self) -> Any:
        """The ``tk`` of the default interpreter (main thread only)."""
        interp = _default_interp
        if interp is not None and threading.get_ident() == interp._thread:
            return interp.tk
        return default_interpreter().tk

    def __getattr__(self, name: str) -> Any:
        if name in _DEFAULT_MEMBERS:
            value = getattr(default_interpreter(), name)
            if name == "history":  # no Tcl behind it: keep it
                self.__dict__[name] = value
            return value
        module = _LAZY_EXPORTS.get(name)
        if module is not None:
            import importlib

            value = getattr(importlib.import_module("." + module, __name__), name)
            self.__dict__[name] = value
            return value
        raise AttributeError("module %r has no attribute %r" % (__name__, name))

    def __setattr__(self, name: str, value: Any) -> None:
        if name in ("history", "vix") and isinstance(value, types.ModuleType):
            return  # the import system binding the submodule: keep the member
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _PackageModule
