"""Tour section: Tcl commands as Python callables."""

import logging
import sys

from trelmo.tcl.namespace import TclCommand, TclNamespace, TempTclCommand

TITLE = "Commands: handles with bound options, Python commands, temporary callbacks"

LIBRARY = r"""
namespace eval ::fmt {
    # fmt::pad text ?-width n? ?-fill c? ?-align left|right?
    proc pad {text args} {
        array set o {-width 10 -fill " " -align left}
        array set o $args
        set gap [string repeat $o(-fill) [expr {max(0, $o(-width) - [string length $text])}]]
        if {$o(-align) eq "left"} {return $text$gap}
        return $gap$text
    }
    # fmt::row -sep s cell ?cell ...?
    proc row {args} {
        set sep [lindex $args 1]
        join [lrange $args 2 end] $sep
    }
    proc total {numbers {scale 1}} {
        expr {[tcl::mathop::+ {*}$numbers] * $scale}
    }
}
"""


def show(label, value):
    print("  %-52s %r" % (label, value))


def run(tcl):
    tcl.tk.eval(LIBRARY)
    fmt = TclNamespace("::fmt", tcl)

    print("A handle names a command, optionally with pre-bound words and options:")
    pad = fmt.cmds["pad"]
    show("fmt.cmds['pad']", pad)
    show("pad('id', width=6, fill='.')", pad("id", width=6, fill="."))
    right = TclCommand(pad, keywords={"align": "right", "width": 8}, tcl=tcl)
    show("right = TclCommand(pad, keywords=...)", right)
    show("right('42')", right("42"))
    show("right('42', width=4)  # per-call override", right("42", width=4))
    show("right.build_tclcmd('42', fill='0')", right.build_tclcmd("42", fill="0"))
    show("str(right)  # the command as Tcl text", str(right))

    print("\nWords are passed as they are: nothing is re-parsed or substituted:")
    total = TclCommand("::fmt::total", tcl=tcl, cast=int)
    show("total([1, 2, 3], 10)  # a list becomes one Tcl list", total([1, 2, 3], 10))
    row = TclCommand(("::fmt::row", "-sep", " | "), tcl=tcl)
    show("row('[exit]', '$HOME', '{')", row("[exit]", "$HOME", "{"))
    show("row.eval(...)  # the same through a script", row.eval("[exit]", "$HOME", "{"))

    print("\nIntrospection goes to Tcl each time:")
    show("fmt.procs.proc_args('total')", fmt.procs.proc_args("total"))
    show("fmt.procs.proc_arg_default('total', 'scale')", fmt.procs.proc_arg_default("total", "scale"))
    show("sorted(fmt.procs)", sorted(fmt.procs))
    show("total.is_proc(), TclCommand('set').is_command()", (total.is_proc(), TclCommand("set", tcl=tcl).is_command()))

    print("\nA logger sees every call:")
    log = logging.getLogger("tour.commands")
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("  log: %(levelname)s %(message)s"))
    log.addHandler(handler)
    log.setLevel(logging.INFO)
    log.propagate = False
    logged = TclCommand("::fmt::pad", tcl=tcl, logger=log)
    show("logged('x y', width=5)", logged("x y", width=5))
    show("logged.eval('x y', width=5)  # eval never logs", logged.eval("x y", width=5))
    log.removeHandler(handler)

    print("\nA Python callable becomes a Tcl command:")
    fmt.cmds["shout"] = lambda text: text.upper() + "!"
    show("fmt.cmds['shout'] = ...; Tcl: ::fmt::shout hi", tcl.tk.eval("::fmt::shout hi"))
    show("'shout' in fmt.cmds, 'shout' in fmt.procs", ("shout" in fmt.cmds, "shout" in fmt.procs))
    del fmt.cmds["shout"]
    show("del fmt.cmds['shout']; 'shout' in fmt.cmds", "shout" in fmt.cmds)

    print("\nA temporary command is a callback with a name nobody else uses:")

    def by_length(a, b):
        return str(len(a) - len(b))

    with TempTclCommand(by_length, tcl=tcl) as cb:
        show("cb.cmd_name", cb.cmd_name)
        show("cb.__name__ (from the callable)", cb.__name__)
        lsort = TclCommand(("lsort", "-command", cb), tcl=tcl)
        show("lsort = TclCommand(('lsort', '-command', cb))", lsort)
        show("lsort(['banana', 'fig', 'pear'])", lsort(["banana", "fig", "pear"]))
    show("after the block: cb.exists()", cb.exists())
