"""TclNamespace and TempTclNamespace: the Tcl name algebra, namespace handles
and temporary namespaces, checked against real Tcl."""

import gc
import inspect
import re
import sys
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

import trelmo.tcl
import trelmo.tcl.namespace as nsmod
from trelmo.tcl import Interpreter
from trelmo.tcl.namespace import TclNamespace, TempTclNamespace

TEMPLATE = re.compile(r"::__trelmo__(\w+?)_(\d+)_tmp\Z")



# -- an oracle for the name algebra: the rules written the plain way ----------
def o_split(s):
    s = trelmo.tcl.quoml(s)
    parts = [p for p in s.split("::") if p]
    if any(":" in p for p in parts):
        raise ValueError("Invalid Tcl namespace '%s'" % s)
    return [""] * s.startswith("::") + parts


def o_join(s, *args):
    s = trelmo.tcl.quoml(s)
    for a in map(trelmo.tcl.quoml, args):
        if not s or a.startswith("::"):
            s = a
        elif a:
            s = s + "::" + a
    return "::".join(o_split(s))


def outcome(f, *args):
    try:
        return ("ok", f(*args))
    except ValueError as e:
        return ("ValueError", str(e))


names = st.lists(st.sampled_from(["::", ":", "a", "bc", " ", "é", "\u20ac", "\U0001f600", "{", "$", "\\"]), max_size=10).map(
    "".join
)


# -- name algebra ---------------------------------------------------------------
@given(names, st.lists(names, max_size=3))
def test_algebra_matches_oracle(name, more):
    assert outcome(TclNamespace.split, name) == outcome(o_split, name)
    assert outcome(TclNamespace.normalize, name) == outcome(lambda s: "::".join(o_split(s)), name)
    assert outcome(TclNamespace.join, name, *more) == outcome(o_join, name, *more)


@given(names)
def test_qualifiers_and_tail_match_tcl(shared, name):
    tk = shared.tk
    assert TclNamespace.qualifiers(name) == tk.call("namespace", "qualifiers", name)
    assert TclNamespace.tail(name) == tk.call("namespace", "tail", name)


def has_components(name):
    try:
        return any(TclNamespace.split(name))
    except ValueError:
        return False


@given(names.filter(has_components))
def test_normal_form_is_the_name_tcl_creates(shared, name):
    # For a name the algebra accepts, Tcl creates the namespace under the
    # normalised absolute name, and reports its parent as parent(True) does.
    expected = TclNamespace.join("::", name)
    assert shared.tk.call("namespace", "eval", name, "namespace current") == expected
    handle = TclNamespace(expected, shared)
    assert handle.parent(True) == handle.parent()
    handle.delete()


@pytest.mark.parametrize(
    "call, expected",
    [
        (("split", ""), []),
        (("split", "::"), [""]),
        (("split", "::a::b"), ["", "a", "b"]),
        (("split", "a::::b"), ["a", "b"]),
        (("split", 12), ["12"]),
        (("split", None), []),
        (("normalize", "::"), ""),
        (("normalize", "::a::"), "::a"),
        (("join", "a", "b", "c"), "a::b::c"),
        (("join", "a", "::b", "c"), "::b::c"),
        (("join", "a", ""), "a"),
        (("join", "", "a"), "a"),
        (("join", "::", "a"), "::a"),
        (("join", "::"), ""),
        (("join", "a::", "b"), "a::b"),
        (("join", ["a b"], 3), "{a b}::3"),
        (("qualifiers", "ab::c"), "ab"),
        (("qualifiers", "a::::b"), "a"),
        (("qualifiers", "::"), ""),
        (("tail", "a:::b"), "b"),
        (("tail", "x"), "x"),
        (("tail", "a::"), ""),
    ],
)
def test_algebra_examples(call, expected):
    assert getattr(TclNamespace, call[0])(*call[1:]) == expected


@pytest.mark.parametrize("call", [("split", "a:::b"), ("split", "a:b"), ("split", ":::a"), ("normalize", "x:"), ("join", "a", "b:::c")])
def test_invalid_names(call):
    joined = "::".join(call[1:])
    with pytest.raises(ValueError, match="^Invalid Tcl namespace '%s'$" % re.escape(joined)):
        getattr(TclNamespace, call[0])(*call[1:])


def test_algebra_is_static_and_converts_through_module_quoml(monkeypatch, tcl):
    handle = TclNamespace("::x", tcl)
    assert isinstance(TclNamespace.__dict__["join"], staticmethod)
    assert handle.join("::a", "b") == "::a::b" and handle.split(string="a::b") == ["a", "b"]
    monkeypatch.setattr(nsmod, "quoml", lambda o: "q::%s" % (o,))
    assert TclNamespace.split("a") == ["q", "a"] and TclNamespace.tail(1) == "1"
    monkeypatch.setattr(nsmod, "quoml", lambda o: 5)
    with pytest.raises(TypeError):
        TclNamespace.split("a")


def test_join_uses_normalize_of_the_class(monkeypatch):
    monkeypatch.setattr(TclNamespace, "normalize", staticmethod(lambda s: "<%s>" % s))
    assert TclNamespace.join("a", "::b", "c") == "<::b::c>"


# -- argument errors are worded as for a def of the same signature ---------------
REFERENCE = """
class TclNamespace:
    def __init__(self, ns, tcl=None): pass
    def eval(self, tclcmd, *args): pass
    def exists(self): pass
    def children(self, pattern=None): pass
    def export(self, clear=False, *patterns): pass
    def which(self, name, command=False, variable=False): pass
    @staticmethod
    def split(string): pass
    @staticmethod
    def join(string, *args): pass
class TempTclNamespace(TclNamespace):
    def __init__(self, ns='::x', **kwargs): pass
    def __exit__(self, *exc_info): pass
"""


@pytest.mark.parametrize(
    "cls, method, args, kwargs",
    [
        ("TclNamespace", "__init__", (), {}),
        ("TclNamespace", "__init__", (1, 2, 3, 4), {}),
        ("TclNamespace", "__init__", (1, 2), {"ns": 1}),
        ("TclNamespace", "__init__", (1, 2), {"bogus": 1}),
        ("TclNamespace", "eval", (1,), {}),
        ("TclNamespace", "eval", (1, 2), {"x": 1}),
        ("TclNamespace", "exists", (1, 2), {}),
        ("TclNamespace", "exists", (), {}),
        ("TclNamespace", "children", (1, 2, 3), {}),
        ("TclNamespace", "export", (1,), {"clear": True, "patterns": 1}),
        ("TclNamespace", "which", (1,), {"command": 1}),
        ("TclNamespace", "split", (), {}),
        ("TclNamespace", "split", (1, 2), {}),
        ("TclNamespace", "split", (1,), {"string": 2}),
        ("TclNamespace", "join", (), {}),
        ("TclNamespace", "join", (1,), {"string": 1}),
        ("TempTclNamespace", "__init__", (1, 2, 3), {}),
        ("TempTclNamespace", "__init__", (1, 2), {"ns": 3}),
        ("TempTclNamespace", "__exit__", (), {"x": 1}),
    ],
)
def test_argument_errors(cls, method, args, kwargs):
    ref = {}
    exec(REFERENCE, ref)
    with pytest.raises(TypeError) as expected:
        getattr(ref[cls], method)(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(getattr(nsmod, cls), method)(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def test_signatures():
    sig = lambda f: str(inspect.signature(f))
    assert sig(TclNamespace.__init__) == "(self, ns, tcl=None)"
    assert sig(TclNamespace.export) == "(self, clear=False, *patterns)"
    assert sig(TclNamespace.join) == "(string, *args)"
    assert sig(TempTclNamespace.__init__) == "(self, ns='::__trelmo__{cls}_{id}_tmp', **kwargs)"


# -- module and classes ----------------------------------------------------------
def test_module_layout():
    assert nsmod.__all__ == (
        "TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
        "TclCommand", "TempTclCommand", "TclNamespace", "TempTclNamespace",
    )  # fmt: skip
    names = list(vars(nsmod))
    bound = ["MutableMapping", "quoml", "tclobj", "TclError", "Tk", "MethodType", "weakref", "sys", "functools", "__all__"]
    assert [n for n in names if n in bound] == bound
    quoml_module = sys.modules["trelmo.tcl.quoml"]
    assert (nsmod.quoml, nsmod.tclobj) == (quoml_module.quoml, quoml_module.tclobj)
    assert TempTclNamespace.__mro__ == (TempTclNamespace, TclNamespace, object)
    assert (TclNamespace.__module__, TclNamespace.__qualname__) == ("trelmo.tcl.namespace", "TclNamespace")


def test_subclass_super_and_mixins(tcl):
    class Mixin:
        def __init__(self):
            self.mixed = True

    class Mine(TclNamespace, Mixin):
        def __init__(self, ns, tcl):
            super().__init__(ns, tcl)
            self.extra = 1

    m = Mine("::m", tcl)
    assert isinstance(m, TclNamespace) and m.mixed and m.extra == 1
    assert list(vars(m))[:3] == ["mixed", "ns", "tcl"]  # the base initialiser runs first
    assert str(m) == "::m" and m.exists() is False


# -- construction and ownership --------------------------------------------------
def test_interpreter_binding(tcl):
    handle = TclNamespace(None, tcl)
    assert handle.ns == "" and isinstance(handle.tcl, weakref.ProxyTypes)
    proxy = weakref.proxy(tcl)
    assert TclNamespace("::a", proxy).tcl is proxy
    assert TclNamespace(("a b", 1), tcl).ns == "{a b} 1"

    class Falsy(Interpreter):
        def __bool__(self):
            return False

    for default in (TclNamespace("::d"), TclNamespace("::d", Falsy())):
        assert default.tcl.__name__ == "trelmo.tcl"
    TclNamespace("::d").create()
    assert trelmo.tcl.tk.call("namespace", "exists", "::d") == 1


def test_dead_interpreter_raises_reference_error_for_tcl_operations():
    interp = Interpreter()
    absolute, relative, empty = (TclNamespace(n, interp) for n in ("::a::b", "a", ""))
    del interp
    gc.collect()
    tcl_facing = [
        absolute.exists, absolute.create, absolute.delete, absolute.current, absolute.children, absolute.export,
        absolute.parent, relative.absolute, empty.absolute, relative.make_absolute,
        lambda: absolute.call("set", "x", 1), lambda: absolute.eval("set x 1"), lambda: absolute.which("x"),
        lambda: absolute.code("x"), lambda: absolute.origin("x"), lambda: absolute.import_(False, "x"),
        lambda: absolute.forget("x"), lambda: absolute.children("x"),
    ]  # fmt: skip
    for op in tcl_facing:
        with pytest.raises(ReferenceError):
            op()
    assert relative.ns == "a"
    assert (str(absolute), absolute.is_absolute(), relative.is_relative(), absolute.absolute()) == ("::a::b", True, True, "::a::b")
    assert absolute.parent(True) == "::a" and absolute.join("::a", "b") == "::a::b"
    with pytest.raises(ReferenceError):  # testing the truth of a dead interpreter
        TclNamespace("::c", absolute.tcl)
    with pytest.raises(ReferenceError), TempTclNamespace("::gone", tcl=absolute.tcl):
        pass
    with pytest.raises(ReferenceError):
        TempTclNamespace("::gone", tcl=absolute.tcl).__exit__(None, None, None)


# -- the eval and call paths -----------------------------------------------------
def test_paths_send_the_expected_words(tcl, rec):
    a = TclNamespace("::a", tcl)
    a.eval("set x 1")
    a.eval("set", "y", "a b")
    a.call("set", "z", 1)
    a.call("namespace current")
    TclNamespace(None, tcl).eval("set g 1")
    TclNamespace("", tcl).call("set", "h", 2)
    assert rec.sent == [
        ("eval", ("namespace eval ::a {set x 1}",)),
        ("eval", ("namespace eval ::a {set y {a b}}",)),
        ("call", (("namespace", "eval", "::a", ("set", "z", 1)),)),
        ("call", (("namespace", "eval", "::a", "namespace current"),)),
        ("eval", ("set g 1",)),
        ("call", (("set", "h", 2),)),
    ]
    assert tcl.tk.getvar("::a::y") == "a b" and tcl.tk.getvar("::g") == "1"


specials = st.lists(
    st.sampled_from(["a", " ", "{", "}", "[", "]", "$", "\\", '"', ";", "\n", "#", "é", "\U0001f600", "[trap]", "$::trapped", "{*}", "[evil]"]),
    max_size=8,
).map("".join)


@given(specials, specials.filter(lambda s: ":" not in s))
def test_special_characters_pass_unchanged(shared, value, ns_tail):
    trapped = shared.tk.getvar("::trapped")
    handle = TclNamespace("::p" + ns_tail, shared)
    assert handle.eval("set", "v", value) == value
    assert shared.tk.call("set", "::p" + ns_tail + "::v") == value
    assert handle.call("set", "w", value) == value
    assert handle.call("set", "w") == value and handle.eval("set w") == value
    assert handle.exists()
    handle.delete()
    assert shared.tk.getvar("::trapped") == trapped


# -- namespace operations --------------------------------------------------------
def test_create_exists_delete(tcl, rec):
    a = TclNamespace("::a", tcl)
    assert a.create() is None and a.exists() is True
    assert a.delete() is None and a.exists() is False
    assert rec.sent == [
        ("eval", ("namespace eval ::a {}",)),
        ("call", (("namespace", "exists", "::a"),)),
        ("call", (("namespace", "delete", "::a"),)),
        ("call", (("namespace", "exists", "::a"),)),
    ]
    rec.clear()
    assert TclNamespace("", tcl).exists() is True
    assert rec.sent == [("call", (("namespace", "current"),)), ("call", (("namespace", "exists", "::"),))]
    with pytest.raises(ValueError, match="^Cannot create current namespace$"):
        TclNamespace(None, tcl).create()
    with pytest.raises(nsmod.TclError):
        a.delete()


def test_children(tcl, rec):
    for child in ("::a::b", "::a::c", "::a::b::deep", "::x"):
        TclNamespace(child, tcl).create()
    rec.clear()
    a = TclNamespace("::a", tcl)
    assert sorted(a.children()) == ["::a::b", "::a::c"]
    assert a.children("b*") == ["::a::b"] and a.children("zz*") == []
    assert rec.sent[1] == ("call", (("namespace", "eval", "::a", ("namespace", "children", "::a", "b*")),))
    assert "::x" in TclNamespace("", tcl).children("x*")
    assert TclNamespace("a", tcl).children("c*") == ["::a::c"]


def test_export_import_forget_origin_which(tcl, rec):
    tcl.tk.eval("namespace eval ::lib {proc f {} {return lib}; proc g {} {}}")
    lib, app = TclNamespace("::lib", tcl), TclNamespace("::app", tcl)
    assert lib.export() == []
    assert lib.export(True) is None and lib.export(False, "f", "g") is None
    assert lib.export() == ["f", "g"]
    assert app.import_(False, "::lib::*") is None
    assert app.origin("f") == "::lib::f" and app.call("f") == "lib"
    assert app.forget("::lib::g") is None
    assert app.which("g", command=True) == "" and app.which("f", True) == "::app::f"
    rec.clear()
    app.import_(True, "::lib::f")
    with pytest.raises(nsmod.TclError):
        app.which("x", True, True)
    assert [words[0][3] for _, words in rec.sent] == [
        ("namespace", "import", "-force", "::lib::f"),
        ("namespace", "which", "-command", "-variable", "x"),
    ]
    assert "namespace inscope ::app {set x}" in trelmo.tcl.quoml(app.code("set x"))


@pytest.mark.parametrize(
    "name, force, answer, asks_tcl",
    [
        ("::a::b", False, "::a", True),
        ("::a::b", True, "::a", False),
        ("::a", True, "::", False),
        ("::", True, "", False),
        ("::a::::b::", True, "::a", False),
        ("a::b", True, "::a", True),
        ("", False, "", True),
    ],
)
def test_parent(tcl, rec, name, force, answer, asks_tcl):
    TclNamespace("::a::b", tcl).create()
    rec.clear()
    assert TclNamespace(name, tcl).parent(force) == answer
    assert bool(rec.sent) == asks_tcl
    if asks_tcl:
        assert rec.sent == [("call", (("namespace", "parent") + ((name,) if name else ()),))]


@pytest.mark.parametrize(
    "name, is_abs, is_rel, absolute",
    [("", "", "", ""), ("::", True, False, "::"), ("::a::::b", True, False, "::a::::b"), ("a", False, True, "::a")],
)
def test_name_operations(tcl, name, is_abs, is_rel, absolute):
    handle = TclNamespace(name, tcl)
    assert (handle.is_absolute(), handle.is_relative(), handle.absolute()) == (is_abs, is_rel, absolute)
    assert str(handle) == name
    handle.make_absolute()
    assert str(handle) == absolute


def test_make_absolute_keeps_name_on_error(tcl):
    handle = TclNamespace("a:b", tcl)
    with pytest.raises(ValueError, match="^Invalid Tcl namespace '::::a:b'$"):  # the joined text
        handle.make_absolute()
    assert handle.ns == "a:b"


# -- temporary namespaces --------------------------------------------------------
def test_temporary_namespace_lifecycle(tcl):
    with TempTclNamespace(tcl=tcl) as t:
        assert isinstance(t, TempTclNamespace) and t.exists()
        match = TEMPLATE.match(t.ns)
        assert match.groups() == ("TempTclNamespace", str(id(t)))
        other = TempTclNamespace(tcl=tcl)
        assert other.ns != t.ns
    assert not t.exists()
    with t:  # usable again: the same name is created again
        assert t.exists()
    assert not t.exists()


def test_temporary_namespace_names(tcl):
    class Scratch(TempTclNamespace):
        pass

    s = Scratch(tcl=tcl)
    assert TEMPLATE.match(s.ns).groups() == ("Scratch", str(id(s)))
    assert TempTclNamespace("::work", tcl=tcl).ns == "::work"
    w = TempTclNamespace("::w_{id}", tcl=tcl)
    assert w.ns == "::w_%d" % id(w)
    assert TempTclNamespace(ns=5, tcl=tcl).ns == "5"
    with pytest.raises(KeyError):
        TempTclNamespace("::{x}", tcl=tcl)
    with pytest.raises(ValueError):
        TempTclNamespace("::{", tcl=tcl)


def test_temporary_namespace_exits(tcl):
    with pytest.raises(ZeroDivisionError):
        with TempTclNamespace(tcl=tcl) as t:
            1 / 0
    assert not t.exists()
    with TempTclNamespace(tcl=tcl) as t:
        t.delete()  # already gone: leaving the block is still fine
    assert t.__exit__(None, None, None) is False
    ran = []
    with pytest.raises(ValueError, match="Cannot create current namespace"):
        with TempTclNamespace("", tcl=tcl):
            ran.append(1)
    assert ran == []


def test_views_are_made_in_order(tcl):
    handle = TclNamespace("::v", tcl)
    assert list(vars(handle)) == ["ns", "tcl", "vars", "objs", "procs", "cmds"]
    kinds = [TclNamespace.VariablesView, TclNamespace.ObjectsView, TclNamespace.ProcsView, TclNamespace.CommandsView]
    views = [handle.vars, handle.objs, handle.procs, handle.cmds]
    assert [type(v) for v in views] == kinds and all(v.ns is handle for v in views)


def test_no_reference_leaks(tcl):
    handle, relative = TclNamespace("::leak", tcl), TclNamespace("leak", tcl)

    def batch():
        for _ in range(200):
            TclNamespace.join("::a", "b", "c::d")
            TclNamespace.split("::a::b\u20ac")
            TclNamespace.normalize("::a::::b::")
            TclNamespace.qualifiers("::a::b")
            TclNamespace.tail("::a::b")
            for bad in (("a:b",), ("a", "b:::c")):
                with pytest.raises(ValueError):
                    TclNamespace.join(*bad)
            with pytest.raises(TypeError):
                TclNamespace.split()
            handle.call("set", "x", [1, "a b"])
            handle.eval("set", "y", "z")
            handle.exists()
            relative.absolute()
            handle.parent(True)
            with TempTclNamespace(tcl=tcl):
                pass

    batch()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(3):
        batch()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200
