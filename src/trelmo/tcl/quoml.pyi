"""Python values as Tcl text (quoml) and as values for the _tkinter bridge (tclobj)."""

import sys as sys
from collections.abc import Mapping as Mapping
from collections.abc import Sequence as Sequence
from collections.abc import Set as Set
from typing import Any, Callable, Iterable, MutableSet, Tuple, Type
from typing import Set as _SetOf

from _tkinter import Tcl_Obj as _tkTcl_Obj

unicode: Type[str]

def _Tcl_ScanElement(string: Any) -> Tuple[int, _SetOf[str]]:
    """(2 * len + 2, flags) of quoml(string) as one Tcl list element."""

def _Tcl_ConvertElement(src: Any, flags: MutableSet[str]) -> str:
    """quoml(src) written as one Tcl list element under the flags of its scan."""

def _tcl_UpdateStringOfList(listObj: Iterable[Any]) -> str:
    """The Tcl list string of an iterable."""

def _quoml_from_sequence(listObj: Iterable[Any]) -> str:
    """The same function as _tcl_UpdateStringOfList."""

def _quoml_from_mapping(obj: Mapping[Any, Any]) -> str:
    """The flat key/value Tcl list of a mapping."""

class _Converter:
    """The type of quoml and tclobj: a conversion function that carries attributes."""

    from_sequence: Callable[[Any], Any]
    from_mapping: Callable[[Any], Any]
    def __call__(self, obj: Any) -> Any: ...

# quoml(obj) -> str (or whatever __quoml__ returns); quoml.from_sequence is
# _quoml_from_sequence and quoml.from_mapping is _quoml_from_mapping.
quoml: _Converter

_sysmaxsize: int
_fast_paths: bool
_long_type: Type[int]

def _tclobj_from_sequence(obj: Iterable[Any]) -> Tuple[Any, ...]:
    """A tuple of tclobj() of each item."""

def _tclobj_from_mapping(obj: Mapping[Any, Any]) -> Tuple[Any, ...]:
    """A flat tuple of tclobj() of each key and value."""

# tclobj(obj) -> the object itself, a str, a tuple, or whatever __tclobj__
# returns; tclobj.from_sequence / tclobj.from_mapping as for quoml.
tclobj: _Converter

_C_API: Any

def _cast_any(value: Any, /) -> Any:
    """Best-effort conversion of a Tcl result: text becomes a number only when canonical."""
