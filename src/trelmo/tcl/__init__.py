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

# The release version, written only here: the build reads the distribution's
# version from this line (pyproject.toml, [tool.scikit-build.metadata]).
__version__ = "0.1.0"

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
    "cast_dict",
    "package_require",
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
    ``cast_boolean``, ``cast_array``, ``cast_dict`` and ``cast_any`` convert
    interpreter results; ``package_require`` loads Tcl packages; ``history`` (a :class:`~trelmo.tcl.history.History`), ``vars``
    (the variables view of the global namespace) and ``vix`` (quick calls bound
    to this interpreter) are created on first use.

    Handles hold the interpreter through a weak proxy: keep the
    ``Interpreter`` alive for as long as its handles are used.
    """

    def __init__(self) -> None:
        self._root = tkinter.Tcl()
        self.tk = self._root.tk

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

    def cast_dict(self, value: Any) -> Dict[str, str]:
        """Read a Tcl dict (text, ``Tcl_Obj``, tuple or list) as a dict of str to str.

        Keys keep Tcl's order and a later duplicate key wins, as in Tcl; an
        odd number of elements raises ``ValueError`` ("missing value to go
        with key"), text that is no list raises ``TclError``.  Keys and values
        are the Tcl text of the elements: a nested dict or list stays text,
        to be read with ``cast_dict`` or ``cast_list`` again.
        """
        if type(value) is str:
            text = value
        elif type(value) is _Tcl_Obj:
            text = value.string  # the exact text, whatever Tcl's internal representation
        else:
            # A tuple (the bridge's form of a value Tcl last used as a list),
            # a list or anything else: Tcl writes its text in one call, nested
            # tuples as Tcl's own list text; no per-element round trips.
            text = self.tk.call("::format", "%s", value)
            if type(text) is not str:
                text = str(text)
        items = self.tk.splitlist(text)  # text splits into text
        if len(items) % 2:
            raise ValueError("missing value to go with key")
        pairs = iter(items)
        return dict(zip(pairs, pairs))

    def package_require(self, name: str, version: Optional[str] = None, exact: bool = False) -> str:
        """Load the Tcl package ``name`` (``package require``) and return its version.

        ``version`` is the version (or Tcl version requirement, such as
        ``'1.2-'``) that must be met; with ``exact`` the version must be
        exactly ``version``.  A package Tcl cannot find or load raises
        Tcl's ``TclError`` (its message names the package).
        """
        if exact and version is None:
            raise ValueError("package_require() with exact=True needs a version")
        words = ["::package", "require"]
        if exact:
            words.append("-exact")
        words.append(name)
        if version is not None:
            words.append(version)
        # The one call into Tcl: its TclError passes through as it is.
        result = self.tk.call(*words)
        return result if type(result) is str else str(result)

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

    def __repr__(self) -> str:
        return "<%s at %#x>" % (type(self).__name__, id(self))


# -- the package module as the default interpreter object --------------------
_default_lock = threading.Lock()
_default_interp: Optional[Interpreter] = None

# Members of the default interpreter offered at module level, made on first use.
_DEFAULT_MEMBERS = ("tk", "history", "vars", "vix")

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
    """Return the package's default :class:`Interpreter`, creating it once."""
    global _default_interp
    interp = _default_interp
    if interp is None:
        with _default_lock:
            interp = _default_interp
            if interp is None:
                interp = _default_interp = Interpreter()
    return interp


def cast_list(value: Any) -> List[Any]:
    """Split a Tcl list as Tcl does (default interpreter)."""
    return default_interpreter().cast_list(value)


def cast_boolean(value: Any) -> bool:
    """Read a Tcl boolean (default interpreter)."""
    return default_interpreter().cast_boolean(value)


def cast_array(value: Any) -> Dict[Any, Any]:
    """Turn an ``array get`` result into a dict (default interpreter)."""
    return default_interpreter().cast_array(value)


def cast_any(value: Any) -> Any:
    """Best-effort conversion of a Tcl result (default interpreter)."""
    return default_interpreter().cast_any(value)


def cast_dict(value: Any) -> Dict[str, str]:
    """Read a Tcl dict as a dict of str to str (default interpreter)."""
    return default_interpreter().cast_dict(value)


def package_require(name: str, version: Optional[str] = None, exact: bool = False) -> str:
    """Load a Tcl package and return its version (default interpreter)."""
    return default_interpreter().package_require(name, version, exact)


class _PackageModule(types.ModuleType):
    """The package module, serving as the default interpreter object.

    ``history`` and ``vix`` name both submodules and members of the default
    interpreter.  As members they win: importing the submodules does not
    replace them (reach the modules with ``from trelmo.tcl.history import
    History`` or through ``sys.modules``).
    """

    def __getattr__(self, name: str) -> Any:
        if name in _DEFAULT_MEMBERS:
            value = getattr(default_interpreter(), name)
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
