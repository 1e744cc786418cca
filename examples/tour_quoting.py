"""Tour section: Python values as Tcl text and as Tcl values."""

import sys

import trelmo.tcl.quoml  # noqa: F401  (the package attribute `quoml` is the function)

q = sys.modules["trelmo.tcl.quoml"]
quoml, tclobj = q.quoml, q.tclobj

TITLE = "Quoting: Python values as Tcl lists, read back by Tcl itself"


def show(label, value):
    print("  %-46s %s" % (label, value))


class Point:
    """A class that chooses its own Tcl value."""

    def __init__(self, x, y):
        self.x, self.y = x, y

    def __tclobj__(self):
        return tclobj({"x": self.x, "y": self.y})


def run(tcl):
    tk = tcl.tk
    print("quoml() writes each element so that Tcl's list parser reads it back exactly:")
    words = ["plain", "two words", "{braced}", "[evil]", "$var", "back\\slash", "", 'say "hi"', "}{"]
    text = quoml(words)
    show("quoml(%r)" % words[:4] + " ...", text)
    show("Tcl: llength of it", tk.call("llength", text))
    show("Tcl splits it back into the same words", list(tk.splitlist(text)) == words)

    print("\nScalars, nesting and mappings:")
    for value in [None, True, 42, 1.5, [1, 2, [3, 4]], {"my key": "my value", "n": 1}, b"AB"]:
        show("quoml(%r)" % (value,), repr(quoml(value)))

    print("\nA quoted command runs as exactly one command, whatever the data holds:")
    tk.eval("set ::ran 0; proc evil args {incr ::ran}")
    for data in ["[evil]", "$ran", "\\{} [evil] ", "a}\n[evil]"]:
        tk.eval(quoml(["set", "::got", data]))
        show("set ::got %r" % data, "Tcl stored %r" % tk.getvar("::got"))
    show("times `evil` ran", tk.getvar("::ran"))
    size, flags = q._Tcl_ScanElement("\\{}")
    show("an escaped brace: _Tcl_ScanElement('\\\\{}')", sorted(flags))
    show("so it is written with backslashes", quoml(["\\{}"]))

    print("\ntclobj() hands values to _tkinter as Tcl values, lists as tuples:")
    value = ["a b", Point(1, 2), [3, None]]
    show("tclobj([...])", tclobj(value))
    tk.call("set", "::v", tclobj(value))
    show("Tcl: lindex $::v 1", tk.eval("lindex $::v 1"))
    show("quoml of the same value", quoml(value))
