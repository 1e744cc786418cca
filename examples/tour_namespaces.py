"""Tour section: Tcl namespaces as Python objects."""

from trelmo.tcl.namespace import TclNamespace, TempTclNamespace

TITLE = "Namespaces: qualified names, namespace handles, temporary namespaces"


def show(label, value):
    print("  %-44s %r" % (label, value))


def run(tcl):
    print("The name algebra is pure string work and never talks to Tcl:")
    show("TclNamespace.join('::lib', 'util', 'fmt')", TclNamespace.join("::lib", "util", "fmt"))
    show("TclNamespace.join('a', '::b', 'c')", TclNamespace.join("a", "::b", "c"))
    show("TclNamespace.split('::lib::::util::')", TclNamespace.split("::lib::::util::"))
    show("TclNamespace.normalize('::lib::::util::')", TclNamespace.normalize("::lib::::util::"))
    show("TclNamespace.qualifiers('::lib::util::fmt')", TclNamespace.qualifiers("::lib::util::fmt"))
    show("TclNamespace.tail('::lib::util::fmt')", TclNamespace.tail("::lib::util::fmt"))
    try:
        TclNamespace.split("a:b")
    except ValueError as e:
        show("TclNamespace.split('a:b')", e)

    print("\nA handle sends each operation to Tcl when it is called:")
    lib = TclNamespace("::lib", tcl)
    show("lib.exists()", lib.exists())
    lib.create()
    show("lib.create(); lib.exists()", lib.exists())
    show("lib.eval('set', 'greeting', 'hello [world]')", lib.eval("set", "greeting", "hello [world]"))
    show("lib.call('set', 'greeting')", lib.call("set", "greeting"))
    lib.eval("proc twice {x} {expr {2 * $x}}")
    lib.export(False, "twice")
    show("lib.export()", lib.export())
    TclNamespace("::lib::util", tcl).create()
    show("lib.children()", lib.children())
    show("TclNamespace('::lib::util').parent()", TclNamespace("::lib::util", tcl).parent())
    app = TclNamespace("::app", tcl)
    app.import_(False, "::lib::twice")
    show("app.import_(False, '::lib::twice'); app.call('twice', 21)", app.call("twice", 21))
    show("app.origin('twice')", app.origin("twice"))
    rel = TclNamespace("app", tcl)
    show("TclNamespace('app').absolute()", rel.absolute())
    lib.delete()
    show("lib.delete(); lib.exists()", lib.exists())

    print("\nA temporary namespace lives for one `with` block:")
    with TempTclNamespace(tcl=tcl) as tmp:
        show("inside: tmp.ns", tmp.ns)
        show("inside: tmp.exists()", tmp.exists())
    show("after: tmp.exists()", tmp.exists())
