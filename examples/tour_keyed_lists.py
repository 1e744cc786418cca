"""Tour section: a TclX keyed list built in Tcl, read into a Dorvel, changed
with dotted keys in Python, written back and read again with keylget."""

from trelmo.tcl import Dorvel, quoml, tclobj

TITLE = "Keyed lists: TclX keylset in Tcl, Dorvel in Python, keylget again"


def show(label, value):
    print("  %-52s %r" % (label, value))


def run(tcl):
    tk = tcl.tk
    tk.eval("package require Tclx")

    # Built in Tcl with TclX: dotted keys make nested keyed lists.
    tk.eval(
        "keylset server host db1 port 5432 "
        "owner.name {Ann Lee} owner.mail ann@example.org "
        "limits.conn.max 100 limits.conn.idle 10"
    )
    show("Tcl: set server", str(tk.eval("set server")))

    # Read into Python: the variable's value is a keyedList Tcl_Obj.
    value = tk.call("set", "server")
    show("its Tcl_Obj type", value.typename)
    server = Dorvel.from_tcl(value)
    show("Dorvel.from_tcl(...)['owner.name']", server["owner.name"])
    show("attribute access server.limits.conn.max", server.limits.conn.max)
    show("server.all_keys()", server.all_keys())

    # Changed with dotted keys: new paths create sub-lists, deletion prunes.
    server["port"] = 6432
    server["limits.conn.max"] = 250
    server["owner.phone"] = "+1 555 0100"
    del server["limits.conn.idle"]
    server.update(Dorvel({"limits": {"rate": "10/s"}}))  # a Dorvel merges leaf by leaf
    show("after the changes: all_items()", server.all_items())
    show("quoml(server)", quoml(server))

    # Written back through the bridge, and read in Tcl with keylget.
    tk.call("set", "server", tclobj(server))
    for key in ("port", "owner.name", "owner.phone", "limits.conn.max", "limits.rate"):
        show("Tcl: keylget server %s" % key, str(tk.call("keylget", "server", key)))
    show("Tcl: keylkeys server limits", tk.splitlist(tk.call("keylkeys", "server", "limits")))

    # A keyed-list Tcl_Obj stored into a Dorvel becomes a sub-list.
    tk.eval("keylset extra zone eu-west rack 12")
    server["location"] = tk.call("set", "extra")
    show("server['location.zone'] (from a keyedList Tcl_Obj)", server["location.zone"])

    # A store through a plain value is refused, naming the component.
    try:
        server["port.number"] = 1
    except KeyError as e:
        show("server['port.number'] = 1", e.args[0])
