"""TclCommand, TempTclCommand and the commands/procedures views, checked
against real Tcl (and the words sent recorded where they are fixed)."""

import copy
import gc
import inspect
import logging
import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st

import trelmo.tcl.namespace as nsmod
from trelmo.tcl import Interpreter, quoml, tclobj
from trelmo.tcl.namespace import TclCommand, TclNamespace, TempTclCommand

from conftest import RecordingTk

quomlmod = sys.modules["trelmo.tcl.quoml"]
TEMPLATE = re.compile(r"::__trelmo__(\w+?)_(\d+)_tmp\Z")


def calls(rec):
    return [args for op, args in rec.sent if op == "call"]


# -- the word-assembly rules written the plain way: the oracle ----------------
def oracle_words(name, pre, keywords, args, kwargs):
    opts = dict(keywords)
    for k, v in kwargs.items():
        opts[k] = tclobj(v)
    words = (name,) + tuple(pre) + tclobj(args)
    for k, v in opts.items():
        words += ("-" + k, v)
    return words


scalars = st.one_of(
    st.text(max_size=6), st.integers(), st.floats(allow_nan=False), st.booleans(), st.none(), st.binary(max_size=3)
)
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=2), max_leaves=6)
opt_names = st.sampled_from(["a", "b", "mode", "my_opt", "x y"])


@given(
    pre=st.lists(values, max_size=3),
    bound=st.dictionaries(opt_names, values, max_size=3),
    args=st.lists(values, max_size=4),
    kwargs=st.dictionaries(opt_names, values, max_size=3),
)
def test_build_tclcmd_matches_the_rules(pre, bound, args, kwargs):
    c = TclCommand(("cmd",) + tuple(tclobj(pre)), keywords=bound)
    before = dict(c.keywords)
    expected = oracle_words("cmd", tclobj(pre), {k: tclobj(v) for k, v in bound.items()}, tuple(args), kwargs)
    assert c.build_tclcmd(*args, **kwargs) == expected
    assert c.keywords == before  # a call never changes the handle


# -- construction and representations -----------------------------------------
@pytest.mark.parametrize(
    "make, name, args, keywords, text",
    [
        (lambda: TclCommand("puts hello"), "puts", ("hello",), {}, "TclCommand('puts', args=('hello',))"),
        (lambda: TclCommand(("my proc", "a b")), "my proc", ("a b",), {}, "TclCommand('my proc', args=('a b',))"),
        (lambda: TclCommand("foo", args="x y"), "foo", ("x", "y"), {}, "TclCommand('foo', args=('x', 'y'))"),
        (lambda: TclCommand("foo"), "foo", (), {}, "TclCommand('foo')"),
        (lambda: TclCommand("{a b} c"), "a b", ("c",), {}, "TclCommand('a b', args=('c',))"),
        (lambda: TclCommand(["x", ["y", "z"]], args=()), "x {y z}", (), {}, "TclCommand('x {y z}')"),
        (lambda: TclCommand(TclCommand("foo", keywords={"a": 1}), args="x"), "foo", ("x", "-a", 1), {}, None),
        (lambda: TclCommand(TclCommand("foo", keywords={"a": 1})), "foo", ("-a", 1), {}, None),
        (lambda: TclCommand("f", args=[[1, 2]], keywords={"k": [3]}, cast=int), "f", ((1, 2),), {"k": (3,)},
         "TclCommand('f', args=((1, 2),), keywords={'k': (3,)}, cast=<class 'int'>)"),
    ],
)
def test_construction(make, name, args, keywords, text):
    c = make()
    assert (c.cmd_name, c.args, c.keywords) == (name, args, keywords)
    if text:
        assert repr(c) == text


def test_repr_uses_the_class_name_and_str_tclobj_give_the_command():
    class Mine(TclCommand):
        pass

    c = Mine(("puts", "a b"), keywords={"nonewline": True})
    assert repr(c) == "Mine('puts', args=('a b',), keywords={'nonewline': True})"
    assert str(c) == "puts {a b} -nonewline true"
    assert tclobj(c) == ("puts", "a b", "-nonewline", True) == c.__tclobj__()
    assert quoml([c]) == "{puts {a b} -nonewline true}"


def test_construction_failures(tcl):
    with pytest.raises(IndexError):
        TclCommand("", tcl=tcl)
    with pytest.raises(IndexError):
        TclCommand((), tcl=tcl)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'cmd'"):
        TclCommand()
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        TclCommand("x", bogus=1)


def test_signatures_and_method_order():
    assert str(inspect.signature(TclCommand.__init__)) == (
        "(self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)"
    )
    assert str(inspect.signature(TclCommand.kwargs_to_dashed_args)) == "(**kwargs)"
    assert str(inspect.signature(TempTclCommand.__init__)) == (
        "(self, func=None, cmd_name='::__trelmo__{cls}_{id}_tmp', **kwargs)"
    )
    own = [k for k in vars(TclCommand) if not k.startswith("__") or k in ("__init__", "__call__", "__repr__",
           "__str__", "__tclobj__", "__get__")]
    assert own == ["__init__", "createcommand", "exists", "is_command", "is_proc", "rename", "delete", "origin",
                   "proc_body", "proc_args", "proc_arg_default", "build_tclcmd", "kwargs_to_dashed_args", "call",
                   "__call__", "eval", "absolute", "make_absolute", "__repr__", "__str__", "__tclobj__", "__get__"]


# -- dashed options -----------------------------------------------------------
def test_kwargs_to_dashed_args():
    assert TclCommand.kwargs_to_dashed_args(my_opt=True, other=None) == ("-my_opt", True, "-other", None)
    assert TclCommand("x").kwargs_to_dashed_args() == ()

    def ref(**kwargs):
        pass

    for bad in [(1,), (1, 2)]:
        with pytest.raises(TypeError) as ours:
            TclCommand.kwargs_to_dashed_args(*bad)
        with pytest.raises(TypeError) as theirs:
            ref(*bad)
        assert str(ours.value).split("()")[-1] == str(theirs.value).split("()")[-1]


def test_options_override_per_call():
    c = TclCommand("foo", keywords={"a": 1, "b": 2})
    assert c.build_tclcmd(2, b=3, c=4) == ("foo", 2, "-a", 1, "-b", 3, "-c", 4)
    assert c.build_tclcmd(a=5) == ("foo", "-a", 5, "-b", 2)
    assert c.keywords == {"a": 1, "b": 2}


def test_argument_errors_match_a_def():
    c = TclCommand("list")

    def ref(self, *args, **kwargs):
        pass

    for meth in (TclCommand.call, TclCommand.build_tclcmd, TclCommand.eval):
        with pytest.raises(TypeError, match="multiple values for argument 'self'"):
            meth(c, self=1)
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'self'"):
            meth()
    with pytest.raises(TypeError, match="multiple values for argument 'self'"):
        c(self=1)
    assert TclCommand.build_tclcmd(self=c) == ("list",)  # self by keyword, as a def accepts it


# -- calling --------------------------------------------------------------------
def test_call_sends_one_tuple_and_casts(tcl, rec):
    c = TclCommand("list", args=("a b",), keywords={"x": 1}, tcl=tcl)
    assert c("c", y=[2, 3]) == ("a b", "c", "-x", 1, "-y", (2, 3))
    assert calls(rec) == [(("list", "a b", "c", "-x", 1, "-y", (2, 3)),)]
    e = TclCommand("expr", tcl=tcl, cast=int)
    assert e.call("1+2") == 3 and type(e.eval("1+2")) is int
    assert TclCommand("expr", tcl=tcl)("1+2") == 3  # the bridge's own result


def test_call_logs_eval_does_not(tcl, rec, caplog):
    log = logging.getLogger("test.commands")
    c = TclCommand("list", tcl=tcl, logger=log)
    with caplog.at_level(logging.INFO, logger="test.commands"):
        r1 = c.call("x", "a b")
        r2 = c.eval("x", "a b")
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.INFO, "Calling: list x {a b}")]
    assert str(r1) == str(r2) == "x {a b}" or tuple(r1) == tcl.tk.splitlist(r2)
    # eval sends the command as one script; before Python 3.13, whose eval()
    # cuts results at a NUL, Tcl turns the result into text itself
    if sys.version_info >= (3, 13):
        assert ("eval", ("list x {a b}",)) in rec.sent
    else:
        assert ("call", (("::eval", "::string cat [list x {a b}\n] ."),)) in rec.sent


def test_log_happens_before_the_command_and_errors_pass(tcl):
    seen = []

    class Logger:
        def info(self, msg):
            seen.append((msg, tcl.tk.call("info", "exists", "::logged")))

    c = TclCommand("set", args="::logged", tcl=tcl, logger=Logger())
    c(1)
    assert seen == [("Calling: set ::logged 1", 0)]
    with pytest.raises(nsmod.TclError):
        TclCommand("no_such_command", tcl=tcl, cast=int)()


@given(words=st.lists(st.text(alphabet=st.sampled_from('ab {}[]$\\";\n#\t'), max_size=8), max_size=4))
def test_special_characters_reach_tcl_unchanged(shared, words):
    before = shared.tk.getvar("::trapped")
    c = TclCommand("list", args=["[trap]", "$x"], keywords={"o": "[evil]"}, tcl=shared)
    expected = ("[trap]", "$x") + tuple(words) + ("-o", "[evil]", "-p", "}[trap]{")
    assert tuple(shared.tk.splitlist(shared.tk.call("list", *c.call(*words, p="}[trap]{")))) == expected
    assert tuple(shared.tk.splitlist(c.eval(*words, p="}[trap]{"))) == expected
    assert shared.tk.getvar("::trapped") == before


def test_handles_as_words(tcl):
    inner = TclCommand("list", args=("a b",), tcl=tcl)
    outer = TclCommand("eval", tcl=tcl)
    assert outer(inner) == ("a b",) or tcl.tk.splitlist(outer(inner)) == ("a b",)
    assert TclCommand("list", tcl=tcl).build_tclcmd(inner) == ("list", ("list", "a b"))


def test_binding_through_a_class_attribute(tcl, rec):
    class Thing:
        cmd = TclCommand("list", tcl=tcl)

        def __tclobj__(self):
            return "thing"

    assert Thing.cmd is vars(Thing)["cmd"]
    assert Thing().cmd(1) == ("thing", 1)
    assert calls(rec)[-1] == (("list", "thing", 1),)


# -- overridden methods and rebound conversions are honoured ------------------
def test_overrides_are_called(tcl):
    class Upper(TclCommand):
        def build_tclcmd(self, *args, **kwargs):
            words = super().build_tclcmd(*args, **kwargs)
            return words[:1] + tuple(str(w).upper() for w in words[1:])

        @staticmethod
        def kwargs_to_dashed_args(**kwargs):
            return tuple(x for k, v in kwargs.items() for x in ("--" + k, v))

    u = Upper("list", tcl=tcl)
    assert u.build_tclcmd("a", b=1) == ("list", "A", "--B", "1")
    assert u("a") == "A" or tuple(u("a")) == ("A",)

    class Logged(TclCommand):
        def call(self, *args, **kwargs):
            return ("called", args, kwargs)

    assert Logged("x", tcl=tcl)(1, k=2) == ("called", (1,), {"k": 2})
    c = TclCommand("list", tcl=tcl)
    c.call = lambda *a: ("instance", a)
    assert c(1) == ("instance", (1,))
    c.kwargs_to_dashed_args = lambda **k: ("-only",)
    assert c.build_tclcmd(z=1) == ("list", "-only")


def test_attribute_changes_between_and_during_calls(tcl, caplog):
    c = TclCommand("expr", tcl=tcl)
    assert c("1+1") == 2
    c.cast = str
    assert c("1+1") == "2"
    c.cmd_name, c.args = "list", ("a",)
    c.keywords["k"] = "v"
    assert c("b") == "('a', 'b', '-k', 'v')"
    c.logger = logging.getLogger("test.commands.change")
    with caplog.at_level(logging.INFO, logger="test.commands.change"):
        c()
    assert [r.getMessage() for r in caplog.records] == ["Calling: list a -k v"]
    c.logger = None

    def recast():
        c.cast = lambda r: ("recast", r)
        return "x"

    tcl.tk.createcommand("recast", recast)
    c.cmd_name, c.args, c.keywords = "recast", (), {}
    assert c() == ("recast", "x")  # the cast set while Tcl ran the command
    other = TclCommand("list", tcl=tcl)
    other.extra = 1  # more than the six attributes
    assert other("q") == ("q",)

    class Other(TclCommand):
        def call(self, *args, **kwargs):
            return "other"

    other.__class__ = Other
    assert other("q") == "other"


def test_rebound_tclobj_is_used(tcl, monkeypatch):
    c = TclCommand("list", tcl=tcl)
    monkeypatch.setattr(nsmod, "tclobj", lambda o: ("wrapped",) + tuple(o) if isinstance(o, tuple) else o)
    assert c.build_tclcmd("a") == ("list", "wrapped", "a")
    monkeypatch.undo()
    monkeypatch.setattr(quomlmod, "tclobj", lambda o: "item")
    assert c.build_tclcmd("a", 1) == ("list", "item", "item")
    monkeypatch.undo()
    monkeypatch.setattr(quomlmod, "_tclobj_from_mapping", lambda o: "mapping")
    assert c.build_tclcmd([{"k": "v"}], o={"k": 1}) == ("list", ("mapping",), "-o", "mapping")
    monkeypatch.undo()
    monkeypatch.setattr(quomlmod, "_sysmaxsize", 10)
    assert c.build_tclcmd(5, 50) == ("list", 5, "50")
    monkeypatch.undo()
    assert c.build_tclcmd(5, 50) == ("list", 5, 50)


class _TkProperty(Interpreter):
    """An interpreter object whose ``tk`` may later become a class property."""


def _swap_instance_tk(tcl, recorder):
    tcl.tk = recorder


def _swap_class_property(tcl, recorder):
    type(tcl).tk = property(lambda self: recorder)


def _swap_getattribute(tcl, recorder):
    def getattribute(self, name):
        return recorder if name == "tk" else object.__getattribute__(self, name)

    type(tcl).__getattribute__ = getattribute


@pytest.mark.parametrize("swap", [_swap_instance_tk, _swap_class_property, _swap_getattribute])
def test_tk_is_looked_up_again_after_a_change(swap):
    """Each operation reaches the interpreter object's current ``tk``, however
    it came to be rebound since the handle last used it."""

    class Tcl(_TkProperty):
        pass

    tcl = Tcl()
    real = tcl.tk
    recorder = RecordingTk(real)
    cmd, ns = TclCommand("set", tcl=tcl), TclNamespace("::q", tcl)
    for _ in range(2):
        cmd("x", 1), ns.call("set", "y", 2), ns.exists()
    swap(tcl, recorder)
    assert str(cmd("x", 3)) == "3" and str(ns.call("set", "y", 4)) == "4" and ns.exists() is True
    assert [args for op, args in recorder.sent] == [
        (("set", "x", 3),),
        (("namespace", "eval", "::q", ("set", "y", 4)),),
        (("namespace", "exists", "::q"),),
    ]


def _made_by_new(c):
    """A handle made by __new__ alone, its attributes copied in."""
    other = TclCommand.__new__(TclCommand)
    other.__dict__.update(c.__dict__)
    return other


def _class_call_patched(c, monkeypatch):
    monkeypatch.setattr(TclCommand, "__call__", lambda self, *a, **k: ("patched", a, k))
    return c


def _subclass_call(c, monkeypatch):
    class Sub(TclCommand):
        def __call__(self, *a, **k):
            return ("sub", a, k)

    return Sub("set", tcl=c.tcl)


def _class_swapped(c, monkeypatch):
    class Sub(TclCommand):
        pass

    c.__class__ = Sub
    c.__class__ = TclCommand
    return c


@pytest.mark.parametrize(
    "make",
    [
        lambda c, mp: c,
        lambda c, mp: copy.copy(c),
        lambda c, mp: _made_by_new(c),
        _class_swapped,
        _class_call_patched,
        _subclass_call,
    ],
    ids=["plain", "copy", "new-only", "class-swapped", "class-call-patched", "subclass-call"],
)
def test_every_way_of_calling_a_handle(tcl, monkeypatch, make):
    """Positional, keyword and star calls of a handle, however it was made,
    give what its class's __call__ gives."""
    c = make(TclCommand("set", tcl=tcl), monkeypatch)
    call = type(c).__call__
    for args, kwargs in [(("x", 1), {}), (("x",), {}), ((), {"k": 1}), (("x", "2"), {"k": "v"})]:
        try:
            expected = call(c, *args, **kwargs)
        except Exception as e:  # the same error both ways
            with pytest.raises(type(e)):
                c(*args, **kwargs)
            continue
        assert c(*args, **kwargs) == expected
        assert c(*args, **dict(kwargs)) == expected
    if call is TclCommand.__call__:
        with pytest.raises(TypeError, match="multiple values for argument 'self'"):
            c(self=1)


@pytest.mark.parametrize("where", ["instance", "class", "getattribute"])
def test_cast_boolean_is_looked_up_again_after_a_change(where):
    class Tcl(_TkProperty):
        pass

    tcl = Tcl()
    ns = TclNamespace("::q", tcl)
    assert ns.exists() is False and ns.exists() is False
    seen = []

    def cast(*args):
        seen.append(args[-1])
        return "cast"

    if where == "instance":
        tcl.cast_boolean = cast
    elif where == "class":
        Tcl.cast_boolean = lambda self, value: cast(value)
    else:
        Tcl.__getattribute__ = lambda self, n: cast if n == "cast_boolean" else object.__getattribute__(self, n)
    assert ns.exists() == "cast" and len(seen) == 1


@pytest.mark.parametrize("cls, name", [(TclCommand, "call"), (TclNamespace, "exists"), (TclCommand, "__call__")])
def test_methods_bind_like_functions(tcl, cls, name):
    """Methods in the class namespace behave as instance methods do: the class
    gives the function, an instance a bound method, an instance attribute
    shadows them, and a subclass may call them through super()."""
    member = cls.__dict__[name]
    obj = cls("set", tcl=tcl) if cls is TclCommand else cls("::q", tcl)
    assert getattr(cls, name) is member.__func__
    assert member.__doc__ == member.__func__.__doc__ and member.__name__ == name
    bound = getattr(obj, name)
    assert bound.__self__ is obj and bound.__func__ is member.__func__
    assert list(inspect.signature(getattr(cls, name)).parameters)[0] == "self"
    assert member.__get__(None, cls) is member.__func__ and member == cls.__dict__[name]

    class Sub(cls):
        pass

    setattr(Sub, name, lambda self, *a, **k: ("sub", super(Sub, self).__getattribute__(name)))
    sub = Sub("set", tcl=tcl) if cls is TclCommand else Sub("::q", tcl)
    assert getattr(sub, name)()[0] == "sub"
    if name != "__call__":
        setattr(obj, name, lambda *a: ("shadow", a))
        assert getattr(obj, name)(1) == ("shadow", (1,))


class Mutator:
    """Changes the list it sits in while being converted."""

    def __init__(self, lst, grow):
        self.lst, self.grow = lst, grow

    def __tclobj__(self):
        if self.grow:
            self.lst.append("late")
        else:
            del self.lst[-1]
        return "m"


@pytest.mark.parametrize("grow", [True, False])
def test_lists_changed_during_conversion_follow_tclobj(grow):
    def make():
        lst = ["a", {"k": [1, "x y"], "j": None}, 2**70]
        lst.insert(2, Mutator(lst, grow))
        lst.append("end")
        return lst

    assert TclCommand("c").build_tclcmd(make(), k=make()) == ("c", tclobj(make()), "-k", tclobj(make()))
    assert TclCommand("c").build_tclcmd({1: "int key"}) == ("c", (1, "int key"))


# -- introspection and management ----------------------------------------------
def test_predicates(tcl, rec):
    tcl.tk.eval("proc p {} {}")
    s, p = TclCommand("set", tcl=tcl), TclCommand("p", tcl=tcl)
    assert (s.exists(), s.is_command(), s.is_proc()) == (True, True, False)
    assert (p.exists(), p.is_command(), p.is_proc()) == (True, False, True)
    assert TclCommand("*", tcl=tcl).exists() is True
    p.delete()
    rec.clear()
    assert p.exists() is False and p.is_command() is False
    assert calls(rec) == [(("::info", "commands", "p"),), (("::info", "commands", "p"),)]


def test_rename_and_delete(tcl, rec):
    tcl.tk.eval("proc p {} {return p}; proc q {} {}")
    h = TclCommand("p", tcl=tcl)
    rec.clear()
    h.rename("p2")
    assert calls(rec) == [(("::rename", "p", "p2"),)]
    assert h.cmd_name == "p2" and h() == "p2" if False else h.cmd_name == "p2"
    assert h() == "p" and not TclCommand("p", tcl=tcl).exists()
    with pytest.raises(nsmod.TclError):
        h.rename("q")  # target exists
    assert h.cmd_name == "p2"
    h.delete()
    assert h.cmd_name == "p2" and not h.exists()
    with pytest.raises(nsmod.TclError):
        h.delete()
    assert calls(rec)[-1] == (("::rename", "p2", ""),)


def test_origin_of_an_imported_command(tcl):
    tcl.tk.eval("namespace eval ::lib {proc f {} {}; namespace export f}; namespace eval ::app {namespace import ::lib::f}")
    assert TclCommand("::app::f", tcl=tcl).origin() == "::lib::f"
    assert TclCommand("::lib::f", tcl=tcl).origin() == "::lib::f"


def no_temp_vars(tcl):
    return not [v for v in tcl.tk.splitlist(tcl.tk.call("info", "globals")) if TEMPLATE.match("::" + str(v))]


def test_procedure_body_args_and_defaults(tcl):
    tcl.tk.eval("proc p {a {b 5} {c {}}} {return $a}")
    p = TclCommand("p", tcl=tcl)
    assert p.proc_body() == "return $a"
    assert p.proc_args() == ["a", "b", "c"]
    assert p.proc_arg_default("a") is None
    assert str(p.proc_arg_default("b")) == "5"
    assert p.proc_arg_default("c") is not None and str(p.proc_arg_default("c")) == ""
    assert no_temp_vars(tcl)
    with pytest.raises(nsmod.TclError):
        p.proc_arg_default("zz")
    with pytest.raises(nsmod.TclError):
        TclCommand("set", tcl=tcl).proc_args()
    assert no_temp_vars(tcl)


def test_proc_arg_default_sends_the_variable_handle(tcl, rec):
    tcl.tk.eval("proc p {{a 1}} {}")
    TclCommand("p", tcl=tcl).proc_arg_default("a")
    (words,) = [w for (w,) in calls(rec) if w[:2] == ("::info", "default")]
    assert words[:4] == ("::info", "default", "p", "a") and TEMPLATE.match(str(words[4]))


def test_absolute(tcl, rec):
    assert TclCommand("::a::b", tcl=tcl).absolute() == "::a::b"
    assert rec.sent == []
    h = TclCommand("b", tcl=tcl)
    assert h.absolute() == "::b" and h.cmd_name == "b"
    assert rec.sent[-1] == ("call", ("namespace", "current"))
    h.make_absolute()
    assert h.cmd_name == "::b"
    bad = TclCommand(("a:b",), tcl=tcl)
    with pytest.raises(ValueError, match="Invalid Tcl namespace"):
        bad.make_absolute()
    assert bad.cmd_name == "a:b"


def test_createcommand(tcl, rec):
    got = []
    h = TclCommand("pycmd", tcl=tcl)
    assert h.createcommand(lambda *a: got.append(a) or "done") is None
    assert ("createcommand", ("pycmd", rec.sent[-1][1][1])) == rec.sent[-1]
    assert h.exists() and not h.is_proc()
    assert h("x", "y z") == "done" and got == [("x", "y z")]
    with pytest.raises(Exception):
        h.createcommand(5)


def test_dead_interpreter():
    tcl = Interpreter()
    h = TclCommand("list", args="a", tcl=tcl)
    a = TclCommand("::abs", tcl=tcl)
    del tcl
    gc.collect()
    for op in (h.call, h.eval, h.exists, h.delete, h.proc_args, h.absolute):
        with pytest.raises(ReferenceError):
            op()
    assert h.build_tclcmd() == ("list", "a") and str(h) == "list a" and repr(h)
    assert a.absolute() == "::abs"


# -- the views --------------------------------------------------------------------
@pytest.fixture
def ns(tcl):
    n = TclNamespace("::n", tcl)
    n.create()
    return n


def test_views_are_nested_mappings(ns):
    from collections.abc import MutableMapping

    assert TclNamespace.CommandsView.__qualname__ == "TclNamespace.CommandsView"
    assert TclNamespace.ProcsView.__bases__ == (TclNamespace.CommandsView,)
    assert isinstance(ns.cmds, MutableMapping) and type(ns.procs) is TclNamespace.ProcsView
    assert ns.cmds.ns is ns
    if sys.flags.optimize == 0:
        with pytest.raises(AssertionError):
            TclNamespace.CommandsView(object())


def test_views_register_look_up_and_delete(ns, tcl):
    ns.cmds["f"] = lambda *a: "f:" + " ".join(a)
    assert tcl.tk.eval("::n::f a") == "f:a"
    assert "f" in ns.cmds and "f" not in ns.procs
    h = ns.cmds["missing"]
    assert isinstance(h, TclCommand) and h.cmd_name == "::n::missing" and "missing" not in ns.cmds
    with pytest.raises(KeyError) as e:
        del ns.cmds["missing"]
    assert isinstance(e.value.args[0], nsmod.TclError) and e.value.__cause__ is e.value.args[0]
    assert isinstance(ns.cmds.get("missing", 5), TclCommand)
    del ns.cmds["f"]
    assert "f" not in ns.cmds
    with pytest.raises(ValueError, match="Invalid Tcl namespace"):
        del ns.cmds["a:b"]


def test_views_procedures(ns, tcl):
    assert len(ns.procs) == 0 and list(ns.procs) == []
    tcl.tk.eval("proc ::n::p {x {y 2}} {return $x}")
    assert "p" in ns.procs and "p" in ns.cmds
    assert list(ns.procs) == ["p"] and len(ns.procs) == 1
    assert "p" in list(ns.cmds) and "set" in list(ns.cmds) and len(ns.cmds) == len(list(ns.cmds))
    assert ns.procs.proc_args("p") == ["x", "y"] and ns.cmds.proc_body("p") == "return $x"
    assert str(ns.cmds.proc_arg_default("p", "y")) == "2" and ns.cmds.proc_arg_default("p", "x") is None
    ns.cmds.rename("p", "r")
    assert "r" in ns.procs and "p" not in ns.procs
    assert ns.cmds.origin("r") == "::n::r"
    ns.cmds.delete("r")
    assert not ns.cmds.exists("r")


def test_view_byref(ns, tcl, rec):
    assert ns.cmds.byref("p", cast=int).cast is int
    assert ns.cmds.byref("p", "a b").args == ("a", "b")
    spaced = ns.cmds.byref("a b")
    assert spaced.cmd_name == "::n::a b" and spaced.args == ()
    assert ns.cmds.byref("a b", "x").cmd_name == "{::n::a b}"
    with pytest.raises(TypeError):
        ns.cmds.byref("p", tcl=tcl)
    with pytest.raises(TypeError):
        ns.cmds.byref("p", None, None, tcl)
    tcl.tk.eval("proc {::n::a b} {} {return spaced}")
    assert ns.cmds["a b"]() == "spaced"


def test_view_iteration_is_lazy(ns, rec):
    it = iter(ns.procs)
    assert rec.sent == []
    assert list(it) == [] and rec.sent


# -- temporary commands ---------------------------------------------------------
def test_temp_command_lifecycle(tcl):
    def f(*a):
        """doc of f"""
        return "f" + "".join(a)

    t = TempTclCommand(f, tcl=tcl)
    m = TEMPLATE.match(t.cmd_name)
    assert m and m.groups() == ("TempTclCommand", str(id(t)))
    assert t.exists() and t.__wrapped__ is f and t.__name__ == "f" and t.__doc__ == "doc of f"
    assert t("x") == "fx" and tcl.tk.eval(t.cmd_name + " y") == "fy"
    with t as same:
        assert same is t
    del same
    assert not t.exists() and TEMPLATE.match(t.cmd_name)
    t.createcommand(f)
    assert t.exists()
    name = t.cmd_name
    del t
    gc.collect()
    assert not TclCommand(name, tcl=tcl).exists()


def test_temp_command_exits(tcl):
    with TempTclCommand(lambda: 1, tcl=tcl) as t:
        t.delete()  # already gone: leaving raises nothing
    with pytest.raises(ZeroDivisionError):
        with TempTclCommand(lambda: 1, tcl=tcl) as t:
            1 / 0
    assert not t.exists()
    assert t.__exit__(None, None, None) is False
    with TempTclCommand(tcl=tcl) as empty:
        assert not empty.exists() and not hasattr(empty, "__wrapped__")


def test_temp_command_names(tcl):
    class Scratch(TempTclCommand):
        pass

    a, b = TempTclCommand(tcl=tcl), Scratch(tcl=tcl)
    assert a.cmd_name != b.cmd_name and b.cmd_name.startswith("::__trelmo__Scratch_")
    c = TempTclCommand(lambda: 1, cmd_name="::cb_{id}", tcl=tcl)
    assert c.cmd_name == "::cb_%d" % id(c) and c.exists()
    with pytest.raises(KeyError):
        TempTclCommand(lambda: 1, cmd_name="::{x}", tcl=tcl)
    assert not [n for n in tcl.tk.splitlist(tcl.tk.eval("info commands ::*")) if "{x}" in n]
    d = TempTclCommand(lambda *a: "7", tcl=tcl, cast=int)
    assert d() == 7
    with pytest.raises(TypeError):
        TempTclCommand(lambda: 1, "::n", "extra")


def test_temp_command_made_from_a_handle_keeps_its_own_name(tcl):
    alias = TclCommand("list", args="a", tcl=tcl)
    with TempTclCommand(alias, tcl=tcl) as t:
        assert TEMPLATE.match(t.cmd_name) and t.args == () and t.__wrapped__ is alias
        assert tcl.tk.eval("%s b" % t.cmd_name) == "a b"
    assert not t.exists() and TclCommand("list", tcl=tcl).exists()


def test_temp_command_handed_to_tcl_as_a_callback(tcl):
    seen = []
    with TempTclCommand(lambda *a: seen.append(a), tcl=tcl) as cb:
        tcl.tk.call("eval", (cb, "a b"))
        tcl.tk.eval("%s x" % cb)
    assert seen == [("a b",), ("x",)]


def test_finaliser_after_the_interpreter_is_gone_reports_and_does_not_crash():
    script = textwrap.dedent(
        """
        import gc, sys
        from trelmo.tcl import Interpreter
        from trelmo.tcl.namespace import TempTclCommand
        seen = []
        sys.unraisablehook = lambda u: seen.append(u.exc_type.__name__)
        tcl = Interpreter()
        t = TempTclCommand(lambda: 1, tcl=tcl)
        del tcl; gc.collect()
        del t; gc.collect()
        print(seen)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[]"  # nothing left to delete, nothing reported


def test_no_leak_on_the_call_path(tcl):
    c = TclCommand("list", args=("a",), keywords={"k": 1}, tcl=tcl)

    def batch():
        for _ in range(200):
            c("x", 2, [3], o="y")
            c.build_tclcmd(k=2)
            str(c)

    batch()
    gc.collect()
    start = sys.getallocatedblocks()
    for _ in range(5):
        batch()
    gc.collect()
    assert sys.getallocatedblocks() - start < 50


def test_python_command_stays_a_command(tcl, rec):
    with TempTclCommand(lambda: "r", tcl=tcl) as t:
        name = t.cmd_name
        tk = tcl.tk._tk
        assert name in tk.splitlist(tk.call("info", "commands", name))
        assert not tk.splitlist(tk.call("info", "procs", name))
        assert tk.call("namespace", "origin", name) == name
        tk.call("rename", name, "::moved")
        assert tk.call("::moved") == "r"
        tk.call("rename", "::moved", name)
        assert t() == "r" and t.is_command() and not t.is_proc()
