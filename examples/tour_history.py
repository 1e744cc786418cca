"""Tour section: quick calls into a Tcl procedure library, and the call history."""

import os
import tempfile
import tkinter
from tkinter import TclError

TITLE = "Quick calls and the call history: tcl.vix.<ns>.<proc>(...), markers, Tcl error traces, replay"

# A small procedure library, kept in Tcl.
LIBRARY = r"""
namespace eval inventory {
    variable stock [dict create]
    proc add {item count args} {
        variable stock
        set opts [dict merge {-unit pcs} $args]
        dict incr stock $item $count
        return "[dict get $stock $item] [dict get $opts -unit]"
    }
    proc count {item} {
        variable stock
        if {![dict exists $stock $item]} { error "no such item: $item" }
        return [dict get $stock $item]
    }
    proc items {} {
        variable stock
        return [lsort [dict keys $stock]]
    }
    proc take {item count} {
        set have [count $item]
        if {$count > $have} { error "only $have $item left" }
        add $item -$count
    }
}
"""


def show(label, value):
    print("  %-52s %r" % (label, value))


def run(tcl):
    tcl.tk.eval(LIBRARY)
    tcl.history.clear(clear_all=True)

    print("Attribute chains name the procedure; arguments become words and keywords options:")
    show("tcl.vix.inventory.add('bolt', 40)", tcl.vix.inventory.add("bolt", 40))
    show("tcl.vix.inventory.add('nut', 25, unit='boxes')", tcl.vix.inventory.add("nut", 25, unit="boxes"))
    show("tcl.vix.inventory.add('washer a2', 7)", tcl.vix.inventory.add("washer a2", 7))
    show("tcl.vix.inventory.count('bolt')  (cast to int)", tcl.vix.inventory.count("bolt"))
    show("tcl.vix.inventory.count('bolt', cast_=False)", tcl.vix.inventory.count("bolt", cast_=False))
    show("tcl.vix.inventory.items()", tcl.vix.inventory.items())
    show("tcl.vix.inventory.items(cast_=False)", tcl.vix.inventory.items(cast_=False))
    show("tcl.vix.llength(['a b', 'c', None])", tcl.vix.llength(["a b", "c", None]))

    print("\nA marker files the calls of one stretch of the script:")
    tcl.history.start_marker("restock")
    tcl.vix.inventory.add("bolt", 10)
    tcl.vix.inventory.take("nut", 5)
    tcl.vix.set("last_restock", "today")
    tcl.history.end_marker("restock")
    tcl.vix.inventory.count("nut")
    for entry in tcl.history.filter("restock"):
        print("  restock: %s" % entry)
    print("  every call that touched 'bolt' (count=0 takes the whole history):")
    for entry in tcl.history.filter(count=0, regex="bolt"):
        print("    %s" % entry.api)
    print("  among the last 4 calls, those about nuts (the count is cut first):")
    for entry in tcl.history.filter(count=4, regex=r"\bnut\b"):
        print("    %s" % entry.api)

    print("\nA failing call raises TclError carrying Tcl's own error trace:")
    try:
        tcl.vix.inventory.take("washer a2", 100)
    except TclError as e:
        for line in str(e).splitlines():
            print("  | " + line)
    show("and it was recorded", tcl.history.filter(count=1)[0].api)

    print("\nThe recorded calls replay as a Tcl script, every word read back exactly:")
    tcl.history.clear(clear_all=True)
    tcl.history.start_marker("odd items")
    tcl.vix.inventory.add("{loose", 3, unit="$x [evil]")
    tcl.vix.inventory.add("tab\there\nnewline", 1)
    tcl.history.end_marker("odd items")
    tcl.vix.inventory.add("bolt", 1)
    for line in tcl.history.script("odd items").splitlines():
        print("  | " + line)
    fresh = tkinter.Tcl()
    fresh.eval(LIBRARY)
    fresh.eval("proc evil args { error {evil ran} }")
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "session.tcl")
    tcl.history.save(path, marker="odd items")
    fresh.call("source", "-encoding", "utf-8", path)  # as tclsh would run the file
    os.remove(path)
    os.rmdir(folder)
    show("items in a fresh interpreter after `source`", fresh.call("inventory::items"))
    show("its count of '{loose'", fresh.call("inventory::count", "{loose"))
