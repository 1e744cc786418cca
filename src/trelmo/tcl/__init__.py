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

import sys
import threading
import types
from functools import cached_property
from typing import Any, Dict, List, Optional

import _tkinter
import tkinter

from .quoml import _cast_any, quoml, tclobj

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
]  # then the classes of _LAZY_EXPORTS, below

_Tcl_Obj = _tkinter.Tcl_Obj

# Read right after a failed Tcl command, before anything else runs: the text
# of ::errorInfo and the elements of ::errorCode and [info errorstack], each
# made plain text so that the bridge hands back str.  The extension modules
# read the same through their own call sites (src/ext/common/tclerror.hpp).
_READ_OPTIONS = (
    "{} {::list [::string range $::errorInfo 0 end]"
    " [::lmap e $::errorCode {::string range $e 0 end}]"
    " [::lmap e [::info errorstack] {::string range $e 0 end}]}"
)


def _with_options(tk: Any, err: tkinter.TclError) -> tkinter.TclError:
    """Give ``err``, just raised by a Tcl command run through ``tk``, Tcl's
    return options as the attributes ``result``, ``errorcode``,
    ``errorinfo`` and ``errorstack``; returns ``err``."""
    message = str(err)
    info, code, stack = message, (), ()
    try:
        read = tk.call("::apply", _READ_OPTIONS)
        if type(read) is str:
            read = tk.splitlist(read)
        info, code, stack = read
        code, stack = (tuple(tk.splitlist(v)) if type(v) is str else tuple(v) for v in (code, stack))
    except (tkinter.TclError, TypeError, ValueError):
        pass
    err.result, err.errorcode, err.errorinfo, err.errorstack = message, code, info, stack  # type: ignore[attr-defined]
    return err


def _keep_forever(obj: Any) -> None:
    """Hold one reference to ``obj`` that is never released."""
    if obj is not None:
        import ctypes

        ctypes.pythonapi.Py_IncRef(ctypes.py_object(obj))


class Interpreter:
    """One Tcl interpreter (``tkinter.Tcl()``) with the members handles use.

    ``tk`` is the ``_tkinter`` application handle; ``cast_list``,
    ``cast_boolean``, ``cast_array``, ``cast_dict`` and ``cast_any`` convert
    interpreter results; ``package_require`` loads Tcl packages; ``history``
    (a :class:`~trelmo.tcl.history.History`), ``vars`` (the variables view of
    the global namespace) and ``vix`` (quick calls bound to this interpreter)
    are created on first use.

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
    def cast_list(self, value: Any) -> List[str]:
        """Split a Tcl list (text, ``Tcl_Obj``, tuple or list) as Tcl does.

        For a value from the bridge (text, ``Tcl_Obj``, tuple, number) every
        element comes back as ``str``, its Tcl text: the same list as
        splitting the value's text, whatever Tcl did to the value before.  A
        tuple element the bridge already converted (an int, a float, a
        nested tuple) has the text Tcl gives that value.  A Python ``list``
        is a sequence built in Python: its items are kept as they are.
        """
        if type(value) is str:
            text = value
        else:
            text = self._list_text(value)
            if type(text) is list:
                return text
        try:
            return list(self.tk.splitlist(text))
        except tkinter.TclError:
            # Text that is no list: the same split as a Tcl command gives
            # the error with Tcl's return options.
            try:
                self.tk.call("::llength", text)
            except tkinter.TclError as e:
                raise _with_options(self.tk, e) from None
            raise
        except TypeError:
            if "\0" not in text:
                raise
        # splitlist() refuses text holding NUL; Tcl's own lrange splits it.
        items = self.tk.call("lrange", text, 0, "end")
        return list(items) if type(items) is tuple else [items] if items else []

    def _list_text(self, value: Any) -> Any:
        """cast_list of a value that is not text: the list when the elements
        are at hand as they are, else the text to split."""
        tp = type(value)
        if tp is _Tcl_Obj:
            return value.string  # its own text: splitting the object could change its type
        if tp is list:
            # A sequence built in Python: its items are kept as given (a Tcl
            # object as its text), for callers that split a word list.
            return [e.string if type(e) is _Tcl_Obj else e for e in value]
        if tp is tuple:
            try:
                "".join(value)  # raises TypeError unless every element is text
                return list(value)
            except TypeError:
                pass
            texts = []
            for e in value:
                te = type(e)
                if te is str:
                    texts.append(e)
                elif te is _Tcl_Obj:
                    texts.append(e.string)
                else:
                    break
            else:
                return texts
        # Numbers, booleans, bytes and nested lists: Tcl writes the value
        # once, and its text is split.
        return self._tcl_text(value)

    def _tcl_text(self, value: Any) -> str:
        """The text Tcl gives a value handed to it through the bridge."""
        return str(self.tk.call("format", "%s", tclobj(value)))

    def cast_boolean(self, value: Any) -> bool:
        """Read a Tcl boolean (``1``, ``0``, ``true``, ``no``, ...)."""
        return bool(self.tk.getboolean(value))

    def cast_array(self, value: Any) -> Dict[str, str]:
        """Turn the result of ``array get`` into a dict of str keys and values."""
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
        # The one call into Tcl: its TclError gets Tcl's return options.
        try:
            result = self.tk.call(*words)
        except tkinter.TclError as e:
            raise _with_options(self.tk, e)
        return result if type(result) is str else str(result)

    # Best-effort conversion of a Tcl result into a Python value: text
    # becomes a number only when it is that number's canonical spelling.
    cast_any = staticmethod(_cast_any)

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
        try:
            if self.closed:
                return
            if threading.get_ident() == self.__dict__.get("_thread"):
                self.close()
                return
            # Finalised in another thread (a reference cycle the collector
            # happened to break there): Tcl aborts the process when an
            # interpreter is deleted outside its own thread, so this one is
            # kept for the life of the process instead.
            _keep_forever(self.__dict__.get("_root"))
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
__all__ += _LAZY_EXPORTS


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
            e.__traceback__ = None  # keeps no frame (nor this thread's tk) alive
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


def cast_list(value: Any) -> List[str]:
    """Split a Tcl list as Tcl does (with an interpreter of the calling thread)."""
    return _thread_interpreter().cast_list(value)


def cast_boolean(value: Any) -> bool:
    """Read a Tcl boolean (with an interpreter of the calling thread)."""
    return _thread_interpreter().cast_boolean(value)


def cast_array(value: Any) -> Dict[str, str]:
    """Turn an ``array get`` result into a dict (with an interpreter of the calling thread)."""
    return _thread_interpreter().cast_array(value)


# The same conversion for every interpreter: no Tcl involved.
cast_any = _cast_any


def cast_dict(value: Any) -> Dict[str, str]:
    """Read a Tcl dict as a dict of str to str (with an interpreter of the calling thread)."""
    return _thread_interpreter().cast_dict(value)


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
