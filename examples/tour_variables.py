"""Tour section: Tcl variables, arrays and the variables views of a namespace."""

from tkinter import TclError

from trelmo.tcl.namespace import TclArrayVariable, TclNamespace, TclVariable, TempTclVariable

TITLE = "Variables: scalar handles, arrays as dicts, a namespace's variables, Tcl dicts"


def show(label, value):
    print("  %-52s %r" % (label, value))


def run(tcl):
    print("A TclVariable holds no value; each call asks the interpreter:")
    greeting = TclVariable("greeting", tcl=tcl)
    greeting.set("hello {brave} [new] world")
    show("greeting.get_str()", greeting.get_str())
    show("tcl.tk.eval('string length $greeting')", tcl.tk.eval("string length $greeting"))
    count = TclVariable("count", tcl=tcl, cast=int)
    tcl.tk.eval("set count 41; incr count")
    show("TclVariable('count', cast=int).get()", count.get())
    show("count.get(cast=None)", count.get(cast=None))
    show("count.exists(), TclVariable('nope').exists()", (count.exists(), TclVariable("nope", tcl=tcl).exists()))

    print("\nA TclArrayVariable is a Tcl array used as a dict:")
    colours = TclArrayVariable("colours", tcl)
    colours.update(sky="blue", grass="green")
    colours["sun"] = "yellow"
    show("dict(colours)", dict(colours))
    show("'sky' in colours, len(colours)", ("sky" in colours, len(colours)))
    show("tcl.tk.eval('set colours(sun)')", tcl.tk.eval("set colours(sun)"))
    del colours["grass"]
    show("del colours['grass']; sorted(colours)", sorted(colours))
    show("colours.array_get_str('s*')", colours.array_get_str("s*"))
    colours.clear()
    show("colours.clear(); colours.is_array()", colours.is_array())

    print("\nA namespace's variables, listed and read through its views:")
    cfg = TclNamespace("::cfg", tcl)
    cfg.eval("variable host example.org; variable opts; array set opts {debug 1}")
    cfg.vars["port"] = 8080
    show("cfg.vars['port'] = 8080; sorted(cfg.vars)", sorted(cfg.vars))
    show("cfg.vars['port']  (strings)", cfg.vars["port"])
    show("cfg.objs['port']  (the interpreter's objects)", cfg.objs["port"])
    cfg.vars["host"] = "localhost"
    show("cfg.vars['host'] = 'localhost'; $::cfg::host", tcl.tk.eval("set ::cfg::host"))
    show("cfg.vars.array_get('opts')", cfg.vars.array_get("opts"))
    try:
        cfg.vars["missing"]
    except KeyError as e:
        show("cfg.vars['missing'] raises KeyError from", e.__cause__)

    print("\nA TempTclVariable is a scratch variable, unset when the block ends:")
    with TempTclVariable(tcl=tcl) as scratch:
        scratch.set([1, 2, 3])
        show("scratch.get_str() inside the block", scratch.get_str())
    show("scratch.exists() after the block", scratch.exists())

    print("\nTcl packages load by name; Tcl dicts (here from tcllib's json) read as dicts of text:")
    show("tcl.package_require('json')", tcl.package_require("json"))
    try:
        tcl.package_require("no_such_package", "2.0")
    except TclError as e:
        show("tcl.package_require('no_such_package', '2.0')", e)
    tcl.tk.setvar("reply", '{"id": "007", "tags": ["a b", "c"], "owner": {"name": "ann"}, "id": "008"}')
    tcl.tk.eval("set doc [json::json2dict $reply]")
    doc = TclVariable("doc", tcl=tcl, cast=tcl.cast_dict)
    show("TclVariable('doc', cast=tcl.cast_dict).get()", doc.get())
    show("tcl.cast_dict(doc.get()['owner'])", tcl.cast_dict(doc.get()["owner"]))
    show("tcl.cast_list(doc.get()['tags'])", tcl.cast_list(doc.get()["tags"]))
    tcl.tk.eval("dict set doc owner name bob; llength [dict get $doc tags]")
    show("after dict set and llength in Tcl", doc.get())
