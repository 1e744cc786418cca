"""A plain pure-Python implementation of trelmo.tcl.quoml's algorithm.

Kept for comparison only: the benchmarks measure the extension module against
it, and the tests use it as a differential oracle for the low-level quoting
functions.  It follows the module's rules step by step, including the check
that braces chosen by the scan balance the way Tcl's parser counts them
inside a braced word (a backslash escapes the next character).
"""

import sys
from collections.abc import Mapping, Sequence, Set

from _tkinter import Tcl_Obj as _tkTcl_Obj

unicode = str

_BRACE_FORCING = frozenset("[$; \f\n\r\t\v")


def _braces_balance(string):
    level = 0
    p = 0
    length = len(string)
    while p < length:
        c = string[p]
        if c == "\\":
            p += 1
        elif c == "{":
            level += 1
        elif c == "}":
            level -= 1
            if level < 0:
                return False
        p += 1
    return level == 0


def _Tcl_ScanElement(string):
    nestingLevel = 0
    flags = set()
    string = quoml(string)
    length = len(string)
    p = 0
    if length == 0 or string[0] == "{" or string[0] == '"':
        flags.add("USE_BRACES")
    while p < length:
        c = string[p]
        if c == "{":
            nestingLevel += 1
        elif c == "}":
            nestingLevel -= 1
            if nestingLevel < 0:
                flags.add("TCL_DONT_USE_BRACES")
                flags.add("BRACES_UNMATCHED")
        elif c in _BRACE_FORCING:
            flags.add("USE_BRACES")
        elif c == "\\":
            if p + 1 == length or string[p + 1] == "\n":
                flags = {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
            else:
                flags.add("USE_BRACES")
        p += 1
    if nestingLevel != 0:
        flags = {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
    if "USE_BRACES" in flags and "TCL_DONT_USE_BRACES" not in flags and not _braces_balance(string):
        flags = {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
    return 2 * p + 2, flags


_ESCAPES = {"\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\v": "\\v"}


def _Tcl_ConvertElement(src, flags):
    src = quoml(src)
    length = len(src)
    if length == 0:
        return "{}"
    if "USE_BRACES" in flags and "TCL_DONT_USE_BRACES" not in flags:
        return "{%s}" % src
    dst = ""
    srcidx = 0
    if src[0] == "{":
        dst = "\\{"
        srcidx = 1
        flags.add("BRACES_UNMATCHED")
    for c in src[srcidx:]:
        if c in '][$; \\"':
            dst += "\\" + c
        elif c in "{}":
            if "BRACES_UNMATCHED" in flags:
                dst += "\\"
            dst += c
        elif c in _ESCAPES:
            dst += _ESCAPES[c]
        else:
            dst += c
    return dst


def _tcl_UpdateStringOfList(listObj):
    listObj = [quoml(e) for e in listObj]
    listFlags = [_Tcl_ScanElement(s)[1] for s in listObj]
    return " ".join(_Tcl_ConvertElement(listObj[i], listFlags[i]) for i in range(len(listObj)))


_quoml_from_sequence = _tcl_UpdateStringOfList


def _quoml_from_mapping(obj):
    lst = []
    for key in obj:
        lst.extend((key, obj[key]))
    return _quoml_from_sequence(lst)


def quoml(obj):
    f = getattr(obj, "__quoml__", None)
    if f:
        return f()
    f = getattr(obj, "__tclobj__", None)
    if f:
        return quoml(f())
    if obj is None:
        return ""
    if isinstance(obj, (str, unicode)):
        return str(obj)
    if isinstance(obj, bool):
        return "true" if obj else "false"
    if isinstance(obj, (Sequence, Set)):
        return _quoml_from_sequence(obj)
    if isinstance(obj, Mapping):
        return _quoml_from_mapping(obj)
    return str(obj)


_sysmaxsize = sys.maxsize
_long_type = type(_sysmaxsize + 1)


def _tclobj_from_sequence(obj):
    return tuple([tclobj(e) for e in obj])


def _tclobj_from_mapping(obj):
    lst = []
    for key in obj:
        lst.extend((key, obj[key]))
    return _tclobj_from_sequence(lst)


def tclobj(obj):
    f = getattr(obj, "__tclobj__", None)
    if f:
        return f()
    if obj is None:
        return ""
    if isinstance(obj, (bytes, bool, float, str, _tkTcl_Obj)):
        return obj
    if (type(obj) == int or type(obj) == _long_type) and -_sysmaxsize - 1 <= obj <= _sysmaxsize:
        return obj
    if isinstance(obj, (Sequence, Set)):
        return _tclobj_from_sequence(obj)
    if isinstance(obj, Mapping):
        return _tclobj_from_mapping(obj)
    return quoml(obj)


quoml.from_sequence = _quoml_from_sequence
quoml.from_mapping = _quoml_from_mapping
tclobj.from_sequence = _tclobj_from_sequence
tclobj.from_mapping = _tclobj_from_mapping
