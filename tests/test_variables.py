"""Variables against real Tcl: TclVariable, TclArrayVariable, the variables and
objects views of a namespace, and the temporary variables."""

import collections.abc as abc
import gc
import inspect
import subprocess
import sys
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st
from tkinter import TclError

import trelmo.tcl
from trelmo.tcl import Interpreter, quoml, tclobj

from conftest import RecordingTk
from trelmo.tcl.namespace import (
    TclArrayVariable,
    TclNamespace,
    TclVariable,
    TempTclArrayVariable,
    TempTclVariable,
)

# Text mixing Tcl's special characters with ordinary, Latin-1, BMP and astral
# ones.  No NUL: _tkinter's eval refuses it in a script and loses it in a result.
SPECIALS = '{}[]$\\"; \t\n()#'
tcl_text = st.text(
    alphabet=st.one_of(
        st.sampled_from(SPECIALS),
        st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00", max_codepoint=0x1F600),
    ),
    max_size=12,
)


@pytest.fixture
def ns(tcl):
    """The namespace ::n, created, on the fixture interpreter."""
    space = TclNamespace("::n", tcl)
    space.create()
    return space


def raw(tcl):
    """The unrecorded _tkinter app behind tcl.tk."""
    return getattr(tcl.tk, "_tk", tcl.tk)


# --------------------------------------------------------------------------
# TclVariable: the words sent
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "op, sent",
    [
        (lambda v: v.get_obj(), ("getvar", ("x",))),
        (lambda v: v.get_obj(5), ("getvar", ("x", 5))),  # the index goes as given
        (lambda v: v.get_str(), ("call", (("set", "x"),))),  # call, not eval: NUL survives
        (lambda v: v.get_str("a b"), ("call", (("set", "x(a b)"),))),
        (lambda v: v.set([1, "a b"]), ("setvar", ("x", (1, "a b")))),
        (lambda v: v.set(7, array_index=5), ("setvar", ("x", "5", 7))),
        (lambda v: v.unset(nocomplain=True), ("unsetvar", ("x",))),
        (lambda v: v.unset(True, nocomplain=True), ("unsetvar", ("x", "true"))),
        (lambda v: v.exists(), ("call", (("::info", "exists", "x"),))),
        (lambda v: v.exists("k"), ("call", (("::info", "exists", "x(k)"),))),
        (lambda v: v.array_get_obj(), ("call", (("::array", "get", "x"),))),
        (lambda v: v.array_get_obj(["p*"]), ("call", (("::array", "get", "x", "p*"),))),
        (lambda v: v.array_get_str("a b*"), ("call", (("::array", "get", "x", "a b*"),))),
        (lambda v: v.array_set({"k": [1, 2]}), ("call", (("::array", "set", "x", ("k", (1, 2))),))),
        (lambda v: v.array_unset(), ("call", (("::array", "unset", "x"),))),
        (lambda v: v.array_unset("p*"), ("call", (("::array", "unset", "x", "p*"),))),
        (lambda v: v.array_size(), ("call", (("::array", "size", "x"),))),
        (lambda v: v.array_names("p*"), ("call", (("::array", "names", "x", "p*"),))),
        (lambda v: v.is_array(), ("call", (("::array", "exists", "x"),))),
        (lambda v: v.absolute(), ("call", ("namespace", "current"))),
    ],
)
def test_words_sent(tcl, rec, op, sent):
    raw(tcl).eval("array set x {k 1}")  # so that the array commands succeed
    v = TclVariable("x", tcl=tcl)
    try:
        op(v)
    except (TclError, TypeError):  # _tkinter's getvar takes only a str index
        pass
    assert rec.sent == [sent]


def test_construction_sends_nothing_and_names(tcl, rec):
    assert TclVariable("x", "a b", tcl=tcl).var_name == "x(a b)"
    assert TclVariable("x", 5, tcl=tcl).var_name == "x(5)"
    assert TclVariable("x", True, tcl=tcl).var_name == "x(true)"
    assert TclVariable(["a", "b c"], tcl=tcl).var_name == "a {b c}"
    assert TclVariable("::a::b", tcl=tcl).absolute() == "::a::b"
    assert rec.sent == []


# --------------------------------------------------------------------------
# TclVariable: behaviour
# --------------------------------------------------------------------------


def test_scalar_and_element_round_trip(tcl):
    v = TclVariable("x", tcl=tcl)
    assert not v.exists()
    v.set("a b")
    assert (v.get(), v.get_str(), v.exists(), v.is_array()) == ("a b", "a b", True, False)
    arr = TclVariable("arr", tcl=tcl)
    arr.set(1, array_index="k")
    assert arr.get_str("k") == "1" and arr.get_obj("k") == 1
    assert arr.exists("k") and not arr.exists("other") and arr.is_array()
    assert raw(tcl).getvar("arr(k)") == 1


@pytest.mark.parametrize(
    "handle_cast, kwargs, expected",
    [(int, {}, 42), (int, {"cast": None}, "42"), (int, {"cast": float}, 42.0), (None, {}, "42"), (None, {"cast": int}, 42)],
)
def test_get_obj_casts(tcl, handle_cast, kwargs, expected):
    raw(tcl).eval("set x 42; set x")  # a string-typed value
    v = TclVariable("x", tcl=tcl, cast=handle_cast)
    got = v.get_obj(**kwargs)
    assert str(got) == str(expected) and type(got) is type(expected)


def test_unset(tcl):
    v = TclVariable("x", tcl=tcl)
    with pytest.raises(TclError):
        v.unset()
    assert v.unset(nocomplain=True) is None
    v.set(1)
    assert v.unset() is None and not v.exists()
    v.set(1, "k")
    v.unset("k")
    assert v.is_array() and not v.exists("k")


def test_unset_nocomplain_passes_other_errors(tcl):
    class Boom:
        def __quoml__(self):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError):
        TclVariable("x", tcl=tcl).unset(Boom(), nocomplain=True)


def test_array_commands(tcl):
    v = TclVariable("a", tcl=tcl)
    v.array_set({"p1": "x y", "p2": 2, "q": "{"})
    assert v.array_size() == 3
    assert sorted(v.array_names()) == ["p1", "p2", "q"]
    assert sorted(v.array_names("p*")) == ["p1", "p2"]
    assert v.array_get_str() == {"p1": "x y", "p2": "2", "q": "{"}
    assert v.array_get("q") == {"q": "{"}
    v.array_unset("p*")
    assert v.array_names() == ["q"]
    v.array_set(["r", 1])  # a flat sequence works too
    assert sorted(v.array_names()) == ["q", "r"]
    v.array_unset()
    assert not v.is_array() and not v.exists()


def test_absolute_and_make_absolute(tcl):
    v = TclVariable("a::b", tcl=tcl)
    assert v.absolute() == "::a::b" and v.var_name == "a::b"
    v.make_absolute()
    assert v.var_name == "::a::b"


def test_array_item_byref(tcl):
    a = TclVariable("arr", tcl=tcl, cast=int)
    e = a.array_item_byref("k")
    assert type(e) is TclVariable and e.var_name == "arr(k)" and e.cast is None and e.tcl is a.tcl
    e.set(3)
    assert a.get_obj("k") == 3 and a.array_item_byref("k", cast=str).get() == "3"


def test_protocols_and_repr(tcl):
    v = TclVariable("x y", tcl=tcl)
    assert (str(v), quoml(v), tclobj(v), repr(v)) == ("x y", "x y", "x y", "TclVariable('x y')")
    assert repr(TempTclVariable("::t", tcl=tcl)) == "TempTclVariable('::t')"
    raw(tcl).eval("set {x y} 5")
    assert raw(tcl).call("set", v) == "5"  # a handle stands for the variable's name


def test_class_level_names():
    assert TclVariable.__dict__["get"] is TclVariable.__dict__["get_obj"]
    assert TclVariable.__dict__["array_get"] is TclVariable.__dict__["array_get_obj"]
    assert TclArrayVariable.__dict__["get"] is TclVariable.__dict__["get"]
    assert type(TclVariable._TclVariable__marker) is object
    assert str(inspect.signature(TclVariable.set)) == "(self, value, array_index=None)"
    assert str(inspect.signature(TclNamespace.VariablesView.byref)) == "(self, var_name, *args, **kwargs)"


def test_weak_interpreter(tcl):
    v = TclVariable("x", tcl=tcl)
    assert type(v.tcl) in weakref.ProxyTypes
    assert TclVariable("x", tcl=v.tcl).tcl is v.tcl  # never wrapped twice
    interp = Interpreter()
    w = TclVariable("x", tcl=interp)
    del interp
    gc.collect()
    with pytest.raises(ReferenceError):
        w.get()


@pytest.mark.parametrize(
    "call",
    [
        lambda: TclVariable(),
        lambda: TclVariable("x", None, None, None, None),
        lambda: TclVariable("x", bogus=1),
        lambda: TclVariable("x").get_obj(1, 2, 3),
        lambda: TclVariable("x").set(),
    ],
)
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call()


# --------------------------------------------------------------------------
# TclArrayVariable
# --------------------------------------------------------------------------


def test_mapping_basics(tcl, rec):
    a = TclArrayVariable("a", tcl)
    a["x"] = 1
    assert "x" in a and "y" not in a and len(a) == 1 and a.is_array()
    assert a["x"] == 1
    with pytest.raises(TclError):
        a["y"]
    with pytest.raises(TclError):
        del a["y"]
    rec.clear()
    a["k"] = "v"
    a["k"]
    del a["k"]
    assert rec.sent == [("setvar", ("a", "k", "v")), ("getvar", ("a", "k")), ("unsetvar", ("a", "k"))]


def test_keys_are_quoted_for_writes_but_not_reads(tcl, rec):
    a = TclArrayVariable("a", tcl)
    a[5] = "five"
    assert rec.sent[-1] == ("setvar", ("a", "5", "five"))
    assert a["5"] == "five" and 5 in a
    assert rec.sent[-1] == ("call", (("::info", "exists", "a(5)"),))


def test_iteration_is_a_snapshot_taken_at_the_first_step(tcl, rec):
    a = TclArrayVariable("a", tcl)
    a.update(p=1, q=2)
    rec.clear()
    it = iter(a)
    assert rec.sent == []
    a["r"] = 3
    names = []
    for name in it:
        names.append(name)
        del a[name]  # deleting while iterating is safe
    assert sorted(names) == ["p", "q", "r"] and len(a) == 0
    a.update(p=1, q=2)
    assert list(a) == list(raw(tcl).splitlist(raw(tcl).eval("array names a")))


def test_update_is_one_call_and_clear_removes_the_array(tcl, rec):
    a = TclArrayVariable("a", tcl)
    a.update({"p": 1, "b": 0}, b=2)
    assert rec.sent == [("call", (("::array", "set", "a", ("p", 1, "b", 2)),))]
    with pytest.raises(TypeError):
        a.update({}, {})
    a.clear()
    assert not a.is_array() and len(a) == 0
    with pytest.raises(KeyError):
        a.popitem()


def test_mapping_mixins_equality_and_hash(tcl):
    a = TclArrayVariable("a", tcl, cast=int)
    a.update(x="1", y="2")
    assert a == {"x": 1, "y": 2} and a != {"x": 1}
    assert a.get("x") == 1 and a.get_str("x") == "1"
    assert sorted(a.items()) == [("x", 1), ("y", 2)]
    with pytest.raises(TclError):
        a.pop("missing", None)  # item access raises TclError, not KeyError
    with pytest.raises(TypeError):
        hash(a)
    assert TclArrayVariable.__mro__ == (
        TclArrayVariable, abc.MutableMapping, abc.Mapping, abc.Collection, abc.Sized, abc.Iterable, abc.Container,
        TclVariable, object,
    )


def test_overrides_are_honoured(tcl):
    class Logged(TclArrayVariable):
        def get(self, array_index=None, cast=None):
            return ("got", array_index)

        def array_size(self):
            return 41

    a = Logged("a", tcl)
    assert a["k"] == ("got", "k") and len(a) == 41
    b = TclArrayVariable("b", tcl)
    b.get = lambda array_index=None: "instance"
    assert b["k"] == "instance"


def test_class_patch_resets_direct_slots(tcl, monkeypatch):
    a = TclArrayVariable("a", tcl)
    a["k"] = 1
    monkeypatch.setattr(TclArrayVariable, "__getitem__", lambda self, key: "patched")
    monkeypatch.setattr(TclArrayVariable, "__len__", lambda self: 99)
    assert a["k"] == "patched" and len(a) == 99
    monkeypatch.undo()
    assert a["k"] == 1 and len(a) == 1


# --------------------------------------------------------------------------
# Views
# --------------------------------------------------------------------------


def test_vars_and_objs(ns, rec):
    ns.vars["x"] = 5
    assert rec.sent == [("setvar", ("::n::x", 5))]
    rec.clear()
    assert ns.vars["x"] == "5" and ns.objs["x"] == 5
    # a number is read again as text: the bridge hands it over as int
    assert rec.sent == [("call", (("set", "::n::x"),)), ("eval", ("set ::n::x",)), ("getvar", ("::n::x",))]
    ns.vars.set("arr", "v", array_index="k")
    assert ns.objs.get("arr", "k") == "v" and ns.vars.exists("arr", "k") and "arr" in ns.vars
    assert ns.vars.array_get("arr") == {"k": "v"} and ns.objs.array_get("arr", "k*") == {"k": "v"}
    assert ns.vars.array_names("arr") == ["k"] and ns.vars.is_array("arr")
    ns.vars.array_set("arr", {"j": 1})
    ns.vars.array_unset("arr", "k")
    assert ns.vars.array_get("arr") == {"j": "1"}


def test_view_errors_become_key_errors(ns):
    for view in (ns.vars, ns.objs):
        with pytest.raises(KeyError) as info:
            view["missing"]
        err = info.value
        assert isinstance(err.args[0], TclError) and err.__cause__ is err.args[0]
    with pytest.raises(KeyError) as info:
        ns.vars["a:b"]  # the name algebra rejects it
    assert isinstance(info.value.__cause__, ValueError)
    with pytest.raises(KeyError) as info:
        del ns.vars["missing"]
    assert isinstance(info.value.__cause__, TclError)
    assert "missing" not in ns.vars
    assert ns.vars.unset("missing", nocomplain=True) is None
    with pytest.raises(TclError):
        ns.vars.unset("missing")  # the named operations translate nothing
    with pytest.raises(TypeError):
        ns.vars.get("x", None)  # no default argument


def test_byref_rules(ns, tcl):
    ns.vars["a"] = "12"
    assert ns.vars.byref("a", cast=int).get() == 12
    arr = ns.vars.array_byref("arr")
    assert type(arr) is TclArrayVariable and arr.var_name == "::n::arr" and arr.tcl is ns.tcl
    assert ns.vars.byref("arr", "k").var_name == "::n::arr(k)"
    assert type(ns.vars.byref("a", var_type=TempTclVariable)) is TempTclVariable
    for bad in (
        lambda: ns.vars.byref("a", tcl=tcl),
        lambda: ns.vars.array_byref("a", var_type=TclVariable),
        lambda: ns.vars.array_byref("a", "extra"),
    ):
        with pytest.raises(TypeError):
            bad()


def test_view_overrides_are_honoured(ns, monkeypatch):
    ns.vars["x"] = 1

    class Upper(TclNamespace.VariablesView):
        def get(self, var_name):
            return var_name.upper()

    assert Upper(ns)["x"] == "X"

    class Filtered(TclNamespace.VariablesView):
        def __iter__(self):
            return (name for name in ("x", "ghost"))

    assert len(Filtered(ns)) == 2  # len counts what iteration yields
    monkeypatch.setattr(TclVariable, "get_str", lambda self, array_index=None: "via handle " + self.var_name)
    assert ns.vars["x"] == "via handle ::n::x"


# A view read and written again and again: every change to what its item
# operations depend on takes effect at the next one.
CHANGES = [
    ("instance get", lambda view, ns, m: setattr(view, "get", lambda name: "own " + name), "own x", None),
    ("instance set", lambda view, ns, m: setattr(view, "set", lambda name, value: ns.tcl.tk.setvar(
        "::n::other", value)), None, "other"),
    ("class get", lambda view, ns, m: m.setattr(TclNamespace.VariablesView, "get", lambda self, name: "cls"),
     "cls", None),
    ("class byref", lambda view, ns, m: m.setattr(TclNamespace.VariablesView, "byref", lambda self, name: TclVariable(
        "::n::other", tcl=ns.tcl)), "o", "other"),
    ("handle get_str", lambda view, ns, m: m.setattr(TclVariable, "get_str", lambda self, array_index=None: "h"),
     "h", None),
    ("handle set", lambda view, ns, m: m.setattr(TclVariable, "set", lambda self, value, array_index=None: None),
     None, "unchanged"),
    ("view's namespace", lambda view, ns, m: setattr(view, "ns", TclNamespace("::n2", ns.tcl)), "in n2", "n2"),
    ("namespace text", lambda view, ns, m: setattr(ns, "ns", "::n2"), "in n2", "n2"),
    ("namespace __str__", lambda view, ns, m: m.setattr(TclNamespace, "__str__", lambda self: "::n2"), "in n2", "n2"),
    ("module quoml", lambda view, ns, m: m.setattr(sys.modules["trelmo.tcl.namespace"], "quoml",
                                                   lambda o: "::n::other" if o == "::n::x" else quoml(o)), "o", None),
    ("interpreter's tk", lambda view, ns, m: tk_elsewhere(ns.tcl, m, "instance"), "in n2", None),
    ("interpreter class tk", lambda view, ns, m: tk_elsewhere(ns.tcl, m, "class"), "in n2", None),
    ("interpreter __getattribute__", lambda view, ns, m: tk_elsewhere(ns.tcl, m, "getattribute"), "in n2", None),
]


def tk_elsewhere(tcl, m, how):
    """Make tcl.tk find the tk of another interpreter whose ::n::x is "in n2"
    and ::n::arr(k) "elsewhere": through the instance, a class property or
    the class's __getattribute__."""
    other = Interpreter()
    other.tk.eval("namespace eval ::n {set x {in n2}; array set arr {k elsewhere}}")
    tk = other.tk
    # kept alive by the module until the class is restored (undone last): a
    # finaliser must not run while the runtime deletes the patched attribute
    m.setattr(sys.modules[__name__], "_other_interpreter", other, raising=False)
    if how == "instance":
        m.setattr(tcl, "tk", tk)
    elif how == "class":
        m.setattr(Interpreter, "tk", property(lambda self: tk), raising=False)
    else:
        m.setattr(Interpreter, "__getattribute__",
                  lambda self, name: tk if name == "tk" else object.__getattribute__(self, name), raising=False)


@pytest.mark.parametrize("what, change, read, written", CHANGES, ids=[c[0] for c in CHANGES])
def test_repeated_view_operations_follow_changes(tcl, ns, monkeypatch, what, change, read, written):
    tk = tcl.tk
    tk.eval("namespace eval ::n2 {set x {in n2}}; set ::n::other o; set ::n::x x0")
    view = ns.vars
    for _ in range(3):  # the same operations, as a loop would repeat them
        assert view["x"] == "x0"
        view["x"] = "x0"
    change(view, ns, monkeypatch)
    if read is not None:
        assert view["x"] == read
    if written is not None:
        view["x"] = "new"
        where = {"other": "::n::other", "n2": "::n2::x", "unchanged": "::n::x"}[written]
        assert tk.eval("set " + where) == ("x0" if written == "unchanged" else "new")


ARRAY_CHANGES = [
    ("instance get", lambda a, m: setattr(a, "get", lambda array_index=None: "own " + array_index), "own k"),
    ("class get", lambda a, m: m.setattr(TclArrayVariable, "get", lambda self, array_index=None: "cls"), "cls"),
    ("cast", lambda a, m: setattr(a, "cast", str.upper), "V"),
    ("name", lambda a, m: setattr(a, "var_name", "::n::other"), "o"),
    ("class cast", lambda a, m: m.setattr(TclArrayVariable, "cast", property(lambda self: str.title), raising=False),
     "V"),
    ("interpreter", lambda a, m: setattr(a, "tcl", weakref.proxy(a.other)), "elsewhere"),
    ("interpreter's tk", lambda a, m: tk_elsewhere(a.tcl, m, "instance"), "elsewhere"),
    ("interpreter class tk", lambda a, m: tk_elsewhere(a.tcl, m, "class"), "elsewhere"),
    ("interpreter __getattribute__", lambda a, m: tk_elsewhere(a.tcl, m, "getattribute"), "elsewhere"),
]


@pytest.mark.parametrize("what, change, read", ARRAY_CHANGES, ids=[c[0] for c in ARRAY_CHANGES])
def test_repeated_element_reads_follow_changes(tcl, monkeypatch, what, change, read):
    tcl.tk.eval("namespace eval ::n {array set arr {k v}; array set other {k o}}")
    a = TclArrayVariable("::n::arr", tcl=tcl)
    a.other = Interpreter()
    a.other.tk.eval("namespace eval ::n {array set arr {k elsewhere}}")
    for _ in range(3):
        assert a["k"] == "v"
    change(a, monkeypatch)
    assert a["k"] == read


def test_repeated_view_reads_follow_an_interpreter_turned_false(tcl, monkeypatch):
    # a false interpreter object is replaced by the package's own, as a
    # handle's constructor would do
    space = TclNamespace("::false_probe", tcl)
    space.create()
    tcl.tk.eval("set ::false_probe::x here")
    view = space.vars
    for _ in range(3):
        assert view["x"] == "here"
    monkeypatch.setattr(Interpreter, "__bool__", lambda self: False, raising=False)
    default_tk = sys.modules["trelmo.tcl"].tk  # the package as imported now
    default_tk.eval("namespace eval ::false_probe {}; set ::false_probe::x {from the package}")
    try:
        assert view["x"] == "from the package"
    finally:
        default_tk.eval("namespace delete ::false_probe")


# Each read of a variable through a handle or a view reads the Tcl variable
# as often as the command it stands for: once for text, and for a value Tcl
# holds typed (a number, a list) no more often than `set` followed by the
# read of its text.
READS = [
    ("a[k]", lambda ns: TclArrayVariable("::n::arr", tcl=ns.tcl)["k"], "::n::arr(k)", 1),
    ("element get_obj", lambda ns: TclVariable("::n::arr", "k", tcl=ns.tcl).get_obj(), "::n::arr(k)", 1),
    ("element get_str", lambda ns: TclVariable("::n::arr", "k", tcl=ns.tcl).get_str(), "::n::arr(k)", 2),
    ("get_obj", lambda ns: TclVariable("::n::x", tcl=ns.tcl).get_obj(), "::n::x", 1),
    ("get_str", lambda ns: TclVariable("::n::x", tcl=ns.tcl).get_str(), "::n::x", 2),
    ("get_obj with a cast", lambda ns: TclVariable("::n::x", tcl=ns.tcl, cast=str).get_obj(), "::n::x", 2),
    ("vars[name]", lambda ns: ns.vars["x"], "::n::x", 2),
    ("vars.get", lambda ns: ns.vars.get("x"), "::n::x", 2),
    ("objs[name]", lambda ns: ns.objs["x"], "::n::x", 1),
]


@pytest.mark.parametrize("typed", [False, True], ids=["text", "typed"])
@pytest.mark.parametrize("what, read, traced, typed_reads", READS, ids=[r[0] for r in READS])
def test_reads_fire_read_traces_as_often_as_the_command(tcl, ns, what, read, traced, typed_reads, typed):
    value = "[expr {6 * 7}]" if typed else "{forty two}"
    tcl.tk.eval("namespace eval ::n {set x %s; set arr(k) %s}; set ::reads 0" % (value, value))
    tcl.tk.eval("trace add variable %s read {apply {args {incr ::reads}}}" % traced)
    for n in range(1, 4):  # repeated, as a loop would read
        assert str(read(ns)) == ("42" if typed else "forty two")
        assert int(tcl.tk.getvar("::reads")) == n * (typed_reads if typed else 1)


@pytest.mark.parametrize("fails", [False, True], ids=["reads", "raises"])
def test_reads_and_writes_from_inside_a_read_trace(tcl, ns, fails):
    # a read trace runs Python code that reads and writes variables through
    # handles and views again, while the outer read is still in the bridge
    tk = tcl.tk
    tk.eval("namespace eval ::n {array set arr {k v j w}; set x x0; set y y0}")
    inner = TclArrayVariable("::n::arr", tcl=tcl)
    seen = []

    def on_read(*args):
        seen.append((inner["j"], ns.vars["y"], ns.objs["y"]))
        ns.vars["y"] = "y%d" % len(seen)
        inner["j"] = "w%d" % len(seen)
        if fails:
            raise ValueError("from the trace")

    tk.createcommand("on_read", on_read)
    tk.eval("trace add variable ::n::arr(k) read {apply {args on_read}}")
    tk.eval("trace add variable ::n::x read {apply {args on_read}}")
    outer = TclArrayVariable("::n::arr", tcl=tcl)
    for n in range(1, 4):
        for read in (lambda: outer["k"], lambda: ns.vars["x"]):
            if fails:
                with pytest.raises((TclError, KeyError, ValueError)):
                    read()
            else:
                assert read() in ("v", "x0")
        last = len(seen)
        assert seen[-1] == ("w%d" % (last - 1), "y%d" % (last - 1), "y%d" % (last - 1))
    # the reads after all this see what was written last
    tk.eval("trace remove variable ::n::arr(k) read {apply {args on_read}}")
    assert outer["j"] == "w%d" % len(seen) and ns.vars["y"] == "y%d" % len(seen) and outer["k"] == "v"


def test_repeated_view_reads_after_the_interpreter_is_gone():
    tcl = Interpreter()
    space = TclNamespace("::n", tcl)
    space.create()
    view = space.vars
    view["x"] = "1"
    for _ in range(3):
        assert view["x"] == "1"
    del tcl
    gc.collect()
    with pytest.raises(ReferenceError):
        view["x"]
    with pytest.raises(ReferenceError):
        view["x"] = 2


# Values as Tcl holds them: the script that sets ::n::v and ::n::arr(k), and
# the command that then gives the value its type (text, a list, an integer, a
# double), whose spelling differs from the one Python would give it.
HELD = [
    ("text", "{forty two}", ""),
    ("list", "{a  b {c d}}", "llength $::n::v; llength $::n::arr(k)"),
    ("list built", "[list a b {c d} e]", ""),
    ("integer", "0x2A", "expr {$::n::v + $::n::arr(k)}"),
    ("integer computed", "[expr {6 * 7}]", ""),
    ("double", "1.50", "expr {$::n::v * $::n::arr(k)}"),
]


def _pairs(items):
    it = iter(items)
    return dict(zip(it, it))


# (path, read, expected from the value's text and the bridge): every read
# path, with and without the package's own casts and with another cast
REPEATED_READS = [
    ("vars[name]", lambda ns, h: ns.vars["v"], lambda text, tk: text),
    ("vars.get", lambda ns, h: ns.vars.get("v"), lambda text, tk: text),
    ("get_str", lambda ns, h: h.get_str(), lambda text, tk: text),
    ("get cast=str", lambda ns, h: h.get(cast=str), lambda text, tk: text),
    ("a[k] cast=str", lambda ns, h: TclArrayVariable("::n::arr", tcl=ns.tcl, cast=str)["k"], lambda text, tk: text),
    ("a[k] cast=cast_list", lambda ns, h: TclArrayVariable("::n::arr", tcl=ns.tcl, cast=ns.tcl.cast_list)["k"],
     lambda text, tk: list(tk.splitlist(text))),
    ("get cast=tcl.cast_list", lambda ns, h: h.get(cast=ns.tcl.cast_list), lambda text, tk: list(tk.splitlist(text))),
    ("get cast=package cast_list", lambda ns, h: h.get(cast=trelmo.tcl.cast_list),
     lambda text, tk: list(tk.splitlist(text))),
    ("get cast=tcl.cast_array", lambda ns, h: h.get(cast=ns.tcl.cast_array), lambda text, tk: _pairs(tk.splitlist(text))),
    ("get cast=package cast_array", lambda ns, h: h.get(cast=trelmo.tcl.cast_array),
     lambda text, tk: _pairs(tk.splitlist(text))),
    ("get cast=tcl.cast_dict", lambda ns, h: h.get(cast=ns.tcl.cast_dict), lambda text, tk: _pairs(tk.splitlist(text))),
    ("objs[name]", lambda ns, h: ns.objs["v"], None),
    ("a[k]", lambda ns, h: TclArrayVariable("::n::arr", tcl=ns.tcl)["k"], None),
    ("get_obj", lambda ns, h: h.get_obj(), None),
]


@pytest.mark.parametrize("recorded", [False, True], ids=["tkapp", "recording"])
@pytest.mark.parametrize("held, value, forcing", HELD, ids=[h[0] for h in HELD])
@pytest.mark.parametrize("path, read, expected", REPEATED_READS, ids=[r[0] for r in REPEATED_READS])
def test_every_read_gives_the_same_answer_every_time(tcl, ns, held, value, forcing, path, read, expected, recorded):
    tk = raw(tcl)
    tk.eval("namespace eval ::n {set v %s; set arr(k) $v}" % value)
    if forcing:
        tk.eval(forcing)
    text = tk.eval("set ::n::v")
    if recorded:
        tcl.tk = RecordingTk(tk)
    handle = TclVariable("::n::v", tcl=tcl)
    if expected is not None and "dict" in path and len(tk.splitlist(text)) % 2:
        with pytest.raises(ValueError):
            read(ns, handle)
        return
    answers = [read(ns, handle) for _ in range(4)]
    first = answers[0] if expected is None else expected(text, tk)
    assert answers == [first] * 4
    assert all(type(a) is type(first) for a in answers)


# Casts that are not the package's own, or no longer are, get the value's text.
OTHER_CASTS = [
    ("another function", lambda tcl, m: (lambda v: v), "a b {c d}"),
    ("a subclass's cast_list", lambda tcl, m: type("Mine", (Interpreter,), {"cast_list": lambda self, v: ["mine"]})(
    ).cast_list, ["mine"]),
    ("an instance's cast_list", lambda tcl, m: (m.setattr(tcl, "cast_list", lambda v: ["mine"], raising=False),
                                                tcl.cast_list)[1], ["mine"]),
    ("the class's cast_list replaced", lambda tcl, m: (m.setattr(Interpreter, "cast_list", lambda self, v: ["mine"]),
                                                       tcl.cast_list)[1], ["mine"]),
    ("the package function after the class's", lambda tcl, m: (
        m.setattr(Interpreter, "cast_list", lambda self, v: ["mine"]), trelmo.tcl.cast_list)[1], ["mine"]),
    ("a bound method kept, the class's replaced", lambda tcl, m: (
        tcl.cast_list, m.setattr(Interpreter, "cast_list", lambda self, v: ["mine"]))[0], ["a", "b", "c d"]),
]


@pytest.mark.parametrize("what, make_cast, expected", OTHER_CASTS, ids=[c[0] for c in OTHER_CASTS])
def test_casts_not_the_package_own_get_the_text(tcl, monkeypatch, what, make_cast, expected):
    tcl.tk.eval("set l [list a b {c d}]")
    handle = TclVariable("l", tcl=tcl)
    assert handle.get(cast=tcl.cast_list) == ["a", "b", "c d"]  # warm
    cast = make_cast(tcl, monkeypatch)
    for _ in range(3):
        assert handle.get(cast=cast) == expected


@pytest.mark.parametrize("code", [
    "trelmo.tcl.cast_list = lambda v: ['mine']; cast = trelmo.tcl.cast_list",
    "trelmo.tcl.Interpreter.cast_list = lambda self, v: ['mine']; cast = trelmo.tcl.Interpreter().cast_list",
], ids=["package function", "class method"])
def test_casts_replaced_before_the_first_use_are_not_the_package_own(code):
    # in a fresh process, so that the package's casts are first asked for here
    script = ("import trelmo.tcl\nfrom trelmo.tcl.namespace import TclVariable\n" + code.replace("; ", "\n") +
              "\ntcl = trelmo.tcl.Interpreter()\ntcl.tk.eval('set l [list a b]')\n"
              "print([TclVariable('l', tcl=tcl).get(cast=cast) for _ in range(2)])\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[['mine'], ['mine']]"


@pytest.mark.parametrize("fresh", [False, True], ids=["changed", "new each time"])
def test_view_whose_namespace_is_a_property(tcl, fresh):
    tcl.tk.eval("namespace eval ::n {set x one}; namespace eval ::n2 {set x two}")
    current = [TclNamespace("::n", tcl)]

    class Following(TclNamespace.VariablesView):
        @property
        def ns(self):
            return TclNamespace(current[0].ns, tcl) if fresh else current[0]

        @ns.setter
        def ns(self, value):
            current[0] = value

    view = Following(current[0])
    for _ in range(3):
        assert view["x"] == "one"
    current[0] = TclNamespace("::n2", tcl)
    for _ in range(3):
        assert view["x"] == "two"
        view["y"] = "set"
    assert tcl.tk.eval("set ::n2::y") == "set"
    gc.collect()
    assert view["x"] == "two"


def test_module_quoml_rebound_after_warm_reads_names_the_namespace(tcl, ns, monkeypatch):
    tcl.tk.eval("set ::n::x 1; namespace eval ::n2 {set x 2}")
    for _ in range(3):
        assert ns.vars["x"] == "1"
    module = sys.modules["trelmo.tcl.namespace"]
    monkeypatch.setattr(module, "quoml", lambda o: "::n2" if isinstance(o, TclNamespace) else quoml(o))
    assert ns.vars["x"] == "2"


def test_variable_methods_honour_a_getattribute_added_to_the_bridge_class(tcl, ns):
    class Wrapped(RecordingTk):
        pass

    tk = raw(tcl)
    tk.eval("set ::n::x x0; array set ::n::arr {k v}")
    other = Interpreter()
    other.tk.eval("namespace eval ::n {set x elsewhere; array set arr {k elsewhere}}")
    tcl.tk = Wrapped(tk)
    a = TclArrayVariable("::n::arr", tcl=tcl)
    handle = TclVariable("::n::x", tcl=tcl)
    for _ in range(3):
        assert a["k"] == "v" and handle.get() == "x0"
        handle.set("x0")
    redirected = ("getvar", "setvar")
    Wrapped.__getattribute__ = lambda self, name: (
        getattr(other.tk, name) if name in redirected else object.__getattribute__(self, name))
    assert a["k"] == "elsewhere" and handle.get() == "elsewhere"
    handle.set("written")
    assert other.tk.getvar("::n::x") == "written" and tk.getvar("::n::x") == "x0"


def test_view_iteration_lists_the_namespace_own_variables(tcl, ns, rec):
    raw(tcl).eval("set ::g 1; namespace eval ::n {variable a 1; variable b 2}")
    rec.clear()
    assert sorted(name for name in ns.vars) == ["a", "b"]
    # one round trip: the names `::info vars` lists that exist
    assert len(rec.sent) == 1 and rec.sent[0][1][0][:3] == ("namespace", "eval", "::n")
    assert rec.sent[0][1][0][3][0] == "::apply" and rec.sent[0][1][0][3][2] == "::n::*"
    assert dict(ns.vars) == {"a": "1", "b": "2"} and len(ns.vars) == 2
    assert ns.vars == {"a": "1", "b": "2"}
    assert len(TclNamespace("n", tcl).objs) == 2  # relative names resolve from the global level


@pytest.mark.parametrize("name", ["::", ""])
def test_global_view_iteration(tcl, name):
    raw(tcl).eval("set ::g 1")
    view = TclNamespace(name, tcl).vars
    names = [str(name) for name in view]  # cast_list may give Tcl_Obj elements
    assert "g" in names and len(view) == len(names)
    existing = "lmap n [info vars ::*] {if {[info exists $n]} {string range $n 2 end} else continue}"
    assert sorted(names) == sorted(raw(tcl).splitlist(raw(tcl).call("apply", "{} {%s}" % existing)))
    assert view["g"] == "1"


def test_interpreter_vars(tcl):
    with pytest.raises(TclError):
        raw(tcl).eval("error boom")
    assert tcl.vars["::errorInfo"].startswith("boom")
    assert tcl.vars is tcl.vars


def test_view_needs_a_namespace():
    if not __debug__:
        pytest.skip("assertions disabled")
    with pytest.raises(AssertionError):
        TclNamespace.VariablesView(object())
    assert TclNamespace.ObjectsView.__qualname__ == "TclNamespace.ObjectsView"


# --------------------------------------------------------------------------
# Temporary variables
# --------------------------------------------------------------------------


def test_temporary_variable(tcl, rec):
    with TempTclVariable(tcl=tcl) as v, TempTclVariable(tcl=tcl) as w:
        assert v.var_name.startswith("::__trelmo__TempTclVariable_") and v.var_name.endswith("_tmp")
        assert v.var_name == "::__trelmo__TempTclVariable_%d_tmp" % id(v) and v.var_name != w.var_name
        assert rec.sent == []
        v.set(1)
    assert rec.sent[-2:] == [("unsetvar", (w.var_name,)), ("unsetvar", (v.var_name,))]
    assert not v.exists()


def test_temporary_variable_unset_after_exception(tcl):
    with pytest.raises(ZeroDivisionError):
        with TempTclVariable(tcl=tcl, cast=int) as v:
            v.set("3")
            assert v.get_obj() == 3
            1 / 0
    assert not v.exists()
    v.set(2)  # still usable afterwards
    assert v.get_str() == "2"


def test_temporary_array(tcl):
    class Scratch(TempTclArrayVariable):
        pass

    with Scratch(tcl=tcl) as a:
        a["k"] = 1
        assert a.is_array() and a.var_name.startswith("::__trelmo__Scratch_") and dict(a) == {"k": 1}
    assert not a.is_array()
    mro = TempTclArrayVariable.__mro__
    assert mro[:3] == (TempTclArrayVariable, TempTclVariable, TclArrayVariable) and mro[-2:] == (TclVariable, object)


def test_temporary_names(tcl):
    v = TempTclVariable("::my_{id}", tcl=tcl)
    assert v.var_name == "::my_%d" % id(v)
    assert TempTclVariable("rel{{x}}", tcl=tcl, array_index="k").var_name == "rel{x}(k)"
    with pytest.raises(KeyError):
        TempTclVariable("::{x}", tcl=tcl)
    with pytest.raises(TypeError):
        TempTclVariable("a", tcl)
    with pytest.raises(TypeError):
        TempTclArrayVariable(array_index="k")


# --------------------------------------------------------------------------
# Values with Tcl's special characters travel unchanged
# --------------------------------------------------------------------------


@given(value=tcl_text, key=tcl_text)
def test_special_values_round_trip(value, key):
    tcl = Interpreter()
    tk = tcl.tk
    tk.eval("set ::trapped 0; proc evil args {incr ::trapped}")
    v = TclVariable("x", tcl=tcl)
    v.set(value)
    assert v.get_str() == value and tk.getvar("x") == value
    a = TclArrayVariable("a", tcl)
    a.array_set({key: value, "[evil]": "[evil]"})
    assert a.get_str(key) == value and a.exists(key) and key in a
    assert a.array_get_str() == {key: value, "[evil]": "[evil]"}
    assert int(tk.getvar("::trapped")) == 0


def test_view_names_are_text(tcl):
    # The bridge hands `info vars` back as Tcl objects; names come back as str.
    tcl.tk.eval("namespace eval ::tv {variable a 1; variable b 2}")
    assert all(type(name) is str for name in tcl.vars)
    assert sorted(TclNamespace("::tv", tcl).vars) == ["a", "b"]


# --------------------------------------------------------------------------
# The views are mappings: arrays read as dicts, unset names are absent
# --------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["::", "", "::n", "n", "::n::deep"])
def test_views_are_mappings_that_agree(tcl, name):
    tk = raw(tcl)
    tk.eval("namespace eval ::n::deep {}")
    prefix = "" if name in ("::", "") else "::" + name.strip(":") + "::"
    tk.eval(
        "namespace eval {%s} {variable s {a  b}; variable u; variable w 1; array set A {k {v  w} j 007}; "
        "array set E {}; variable n 7}; llength [set %sA(k)]; expr {[set %sn] + 0}"
        % (prefix or "::", prefix, prefix)
    )
    tk.eval("unset %sw" % prefix)  # declared, set, unset again
    tk.eval("catch {error warm-up}")  # ::errorInfo and ::errorCode exist; reads of arrays change them
    ns = TclNamespace(name, tcl)
    for view, array_get in ((ns.vars, TclArrayVariable(prefix + "A", tcl=tcl).array_get_str),
                            (ns.objs, TclArrayVariable(prefix + "A", tcl=tcl).array_get_obj)):
        names = list(view)
        assert "u" not in names and "w" not in names and "u" not in view and "w" not in view
        assert {"s", "A", "E", "n"} <= set(names) and len(view) == len(names) == len(set(names))
        d = dict(view)
        volatile = {"errorInfo", "errorCode"}

        def steady(pairs):
            return [(k, v) for k, v in pairs if k not in volatile]

        assert list(d) == names and steady(d.items()) == steady(view.items())
        assert steady(zip(names, d.values())) == steady(zip(names, view.values()))
        assert all(n in view for n in names)
        assert d["A"] == array_get() == {"k": "v  w", "j": "007"} and d["E"] == {}
        assert d["s"] == ("a  b" if view is ns.vars else tk.getvar(prefix + "s"))
        with pytest.raises(KeyError):
            view["u"]
    assert ns.vars["n"] == "7" and ns.objs["n"] == 7  # objs keeps the bridge's object


def test_global_view_reads_the_arrays_of_loaded_libraries(tcl):
    tk = raw(tcl)
    tk.eval("package require Tclx; auto_load_index")  # ::auto_index and TclX's arrays
    view = tcl.vars
    d = dict(view)
    assert len(d) == len(view) and set(d) == set(view)
    for name, value in d.items():
        if name in ("errorInfo", "errorCode"):  # reading an array as one value sets them
            continue
        if tk.call("array", "exists", "::" + name):
            assert type(value) is dict and value == tcl.cast_array(tk.eval("array get ::%s" % name))
        else:
            assert value == tk.eval("set ::%s" % name)
