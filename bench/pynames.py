"""Pure-Python transcription of the Tcl name algebra of TclNamespace.

The benchmark's baseline: the same rules as the static methods split, join,
normalize, qualifiers and tail, with the same quoml() conversion of every
argument, written the plain way.
"""

from trelmo.tcl.quoml import quoml


def split(string):
    string = quoml(string)
    absolute = string.startswith("::")
    parts = [p for p in string.split("::") if p]
    for p in parts:
        if ":" in p:
            raise ValueError("Invalid Tcl namespace '%s'" % string)
    if absolute:
        parts.insert(0, "")
    return parts


def normalize(string):
    return "::".join(split(string))


def join(string, *args):
    string = quoml(string)
    for arg in args:
        arg = quoml(arg)
        if not string or arg.startswith("::"):
            string = arg
        elif arg:
            string = string + "::" + arg
    return normalize(string)


def qualifiers(string):
    string = quoml(string)
    p = string.rfind("::")
    if p < 0:
        return ""
    while p > 0 and string[p - 1] == ":":
        p -= 1
    return string[:p]


def tail(string):
    string = quoml(string)
    p = string.rfind("::")
    if p < 0:
        return string
    return string[p + 2 :]
