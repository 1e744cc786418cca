"""Quick calls: words sent and recorded, chains, casts, Tcl errors, the entry object."""

import gc
import importlib
import sys
import weakref
from tkinter import TclError

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from trelmo.tcl import Interpreter
from trelmo.tcl.quoml import quoml

vix_mod = importlib.import_module("trelmo.tcl.vix")
Vix = vix_mod.Vix
Vix_Code = vix_mod.Vix_Code

LIBRARY = """
proc echo args { return $args }
proc fail {msg} { error $msg }
proc outer {} { fail deep }
namespace eval ns_a::ns_b { proc procname args { return $args } }
namespace eval ns {
    proc a {} { return a }
    proc b {} { return b }
    namespace eval a { proc b {} { return a::b } }
}
"""


@pytest.fixture
def lib(tcl):
    tcl.tk.eval(LIBRARY)
    return tcl


@pytest.fixture(scope="module")
def shared():
    """One interpreter with the library, for property tests."""
    interp = Interpreter()
    interp.tk.eval(LIBRARY)
    return interp


# Text that can travel to Tcl (no NUL, no lone surrogates), Tcl's specials well represented.
TEXT = st.text(
    alphabet=st.one_of(
        st.sampled_from(list("{}[]$\\\" ;#\t\n")), st.characters(blacklist_characters="\x00", blacklist_categories=("Cs",))
    )
)


def calls(rec):
    return [args for op, args in rec.sent if op == "call"]


def last_api(tcl):
    return tcl.history.__history__[-1].api


# -- words -----------------------------------------------------------------------------------------


def test_set_sends_the_words_and_casts(tcl, rec):
    assert tcl.vix.set("myVar", "value") == "value"
    assert tcl.vix.set("n", 12) == 12
    assert tcl.vix.set("n", 12, cast_=False) == "12"
    assert calls(rec) == [("set", "myVar", "value"), ("set", "n", "12"), ("set", "n", "12")]
    assert tcl.tk.getvar("myVar") == "value"


def test_words_of_a_namespaced_call(lib, rec):
    class Record:
        def __init__(self):
            self.items = []

        def append(self, item):
            self.items.append(item)

    lib.__dict__["history"] = Record()
    lib.vix.ns_a.ns_b.procname(1, [2, 3], opt="a b", flag=None)
    words = ["ns_a::ns_b::procname", "1", "2 3", "-opt", "a b", "-flag", ""]
    assert calls(rec) == [tuple(words)]
    assert lib.history.items == [words]


def test_words_are_recorded_in_the_history(lib):
    lib.vix.ns_a.ns_b.procname(1, [2, 3], opt="a b", flag=None)
    assert last_api(lib) == "ns_a::ns_b::procname 1 {2 3} -opt {a b} -flag "


@pytest.mark.parametrize(
    "kwargs, tail",
    [
        ({"cast_": False}, ()),
        ({"my_opt": 1}, ("-my_opt", "1")),
        ({"b": 1, "a": 2}, ("-b", "1", "-a", "2")),
        ({"x": [1, [2, 3]], "cast_": True, "y": True}, ("-x", "1 {2 3}", "-y", "true")),
    ],
)
def test_keywords_become_options_in_order(lib, rec, kwargs, tail):
    lib.vix.echo(**kwargs)
    assert calls(rec) == [("echo",) + tail]


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(
    args=st.lists(st.one_of(st.none(), st.integers(), TEXT, st.lists(TEXT, max_size=3)), max_size=4),
    kwargs=st.dictionaries(st.sampled_from(["o", "opt", "with_under"]), TEXT, max_size=2),
)
def test_every_word_reaches_tcl_unparsed(shared, args, kwargs):
    # Tcl judges: the procedure receives exactly the quoml() of each value.
    result = shared.vix.echo(*args, cast_=False, **kwargs)
    words = [quoml(a) for a in args]
    for k, v in kwargs.items():
        words += ["-" + k, quoml(v)]
    assert shared.tk.splitlist(result) == tuple(words)


# -- replay ----------------------------------------------------------------------------------------

# Set up alike in the recording and in the replaying interpreter (not recorded):
# the trap commands, a procedure whose name starts with '#' (a comment, were it
# written bare at the start of a line), and a dump of the global variables,
# arrays as sorted key-value lists.
REPLAY_SETUP = r"""
set ::trapped 0; proc evil args {incr ::trapped}; proc trap args {incr ::trapped}
proc {#rec} args { lappend ::recorded $args; return }
proc dump {} {
    set out {}
    foreach n [lsort [info globals]] {
        if {$n in {trapped errorInfo errorCode}} continue
        if {[array exists ::$n]} {
            lappend out $n array [lsort -stride 2 [array get ::$n]]
        } elseif {[info exists ::$n]} {
            lappend out $n scalar [set ::$n]
        }
    }
    return $out
}
"""

# Variable names: anything but the characters that make a name refer to a
# namespace or an array element.
NAME = TEXT.map(lambda t: "".join(c for c in t if c not in ":()"))

SESSION_OP = st.one_of(
    st.tuples(st.just("set"), NAME.map("s".__add__), st.one_of(TEXT, st.lists(TEXT, max_size=3))),
    st.tuples(st.just("append"), NAME.map("s".__add__), TEXT, TEXT),
    st.tuples(st.just("lappend"), NAME.map("l".__add__), TEXT, st.lists(TEXT, max_size=3)),
    st.tuples(st.just("dict"), st.just("set"), NAME.map("d".__add__), TEXT, TEXT),
    st.tuples(st.just("array"), st.just("set"), NAME.map("A".__add__), st.lists(TEXT, min_size=2, max_size=2)),
    st.tuples(st.just("set"), st.tuples(NAME.map("A".__add__), TEXT).map(lambda p: "%s(%s)" % p), TEXT),
    st.tuples(st.just("#rec"), TEXT, st.lists(TEXT, max_size=2)),
)


def dump(tk):
    return tk.eval("dump")


@settings(max_examples=60, suppress_health_check=[HealthCheck.too_slow])
@given(session=st.lists(SESSION_OP, min_size=1, max_size=8))
def test_a_session_of_quick_calls_replays_exactly(session):
    import tkinter

    tcl = Interpreter()
    tcl.tk.eval(REPLAY_SETUP)
    for name, *args in session:
        getattr(tcl.vix, name)(*args, cast_=False)
    entries = list(tcl.history.__history__)
    assert [e.words for e in entries] == [(n,) + tuple(quoml(a) for a in args) for n, *args in session]
    fresh = tkinter.Tcl().tk
    fresh.eval(REPLAY_SETUP)
    fresh.eval(tcl.history.script())
    assert dump(fresh) == dump(tcl.tk)
    assert fresh.getvar("::trapped") in (0, "0") and tcl.tk.getvar("::trapped") in (0, "0")


def test_a_marker_script_replays_only_its_calls(lib):
    import tkinter

    lib.tk.eval(REPLAY_SETUP)
    lib.vix.set("before", "{")
    lib.history.start_marker("m")
    lib.vix.set("during", "$x [evil] \\")
    lib.vix.lappend("L", "a b", ["c {", "\t"])
    getattr(lib.vix, "#rec")("é\n", "\r\x1a")
    lib.history.end_marker("m")
    lib.vix.set("after", 2)
    try:
        lib.vix.nosuchproc("x")  # failed calls are recorded too
    except TclError:
        pass
    fresh = tkinter.Tcl().tk
    fresh.eval(REPLAY_SETUP)
    fresh.eval(lib.history.script("m"))
    assert fresh.splitlist(fresh.eval("info globals during")) == ("during",)
    for name in ("during", "L", "recorded"):
        assert fresh.eval("set ::" + name) == lib.tk.eval("set ::" + name)
    for name in ("before", "after"):
        assert fresh.eval("info exists ::" + name) == "0"
    assert fresh.getvar("::trapped") in (0, "0")
    assert lib.history.script().endswith("\nnosuchproc x\n")


# -- chains ----------------------------------------------------------------------------------------


def test_chains_kept_in_a_variable_grow(lib, rec):
    x = lib.vix.ns
    assert (x.a(), x.b()) == ("a", "a::b")
    assert (lib.vix.ns.a(), lib.vix.ns.b()) == ("a", "b")
    assert [c[0] for c in calls(rec)] == ["ns::a", "ns::a::b", "ns::a", "ns::b"]


def test_chain_text(tcl):
    chain = tcl.vix.a.b
    assert str(chain) == repr(chain) == "<tcl.Vix magic, referring Tcl code ::a::b>"
    assert isinstance(chain, Vix_Code)
    assert tcl.vix.a is not tcl.vix.a


def test_existing_attributes_are_not_components(tcl):
    v = tcl.vix
    assert isinstance(v.tcl, weakref.ProxyType)
    chain = v.ns
    assert chain.cmd == ["ns"]
    assert chain.tcl is v.tcl
    assert chain.__class__ is Vix_Code and v.__class__ is Vix
    assert isinstance(v.__dict__, dict)
    assert repr(v).startswith("<trelmo.tcl.vix.Vix object at 0x")


def test_vix_code_construction(tcl):
    chain = Vix_Code("a", "b", tcl=tcl)
    assert chain.tcl is tcl and chain.cmd == ["a", "b"]
    assert Vix_Code(tcl=None).cmd == []

    def reference(self, *cmd, tcl):
        pass

    with pytest.raises(TypeError) as ours:
        Vix_Code("x")
    with pytest.raises(TypeError) as theirs:
        reference(None, "x")
    assert str(ours.value).split("() ")[1] == str(theirs.value).split("() ")[1]


# -- results ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "script, cast, expected",
    [
        ("list a {b c} d", True, ["a", "b c", "d"]),
        ("list a {b c} d", False, "a {b c} d"),
        ("list a [list b {c d}]", False, "a {b {c d}}"),
        ("list", False, ""),
        ("expr {6 * 7}", 0, "42"),
        ("expr {6 * 7}", "yes", 42),
        ("expr {1.5 * 2}", None, "3.0"),
        ("string repeat x 3", False, "xxx"),
    ],
)
def test_results_and_cast(lib, script, cast, expected):
    lib.tk.eval("proc produce {} {return [%s]}" % script)
    assert lib.vix.produce(cast_=cast) == expected


@pytest.mark.parametrize("script", [r'list {} {a b} "\{" [list x {y z}] {$x} "\\" a\ b', "dict create k {v w} n {}", "split a,b,,c ,"])
def test_list_results_are_tcl_text(lib, script):
    # Tcl judges: the text is what Tcl itself gives for the same result.
    lib.tk.eval("proc produce {} {return [%s]}" % script)
    assert lib.vix.produce(cast_=False) == lib.tk.eval("produce")


# -- errors ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("call, first", [(lambda v: v.nosuchproc(), 'invalid command name "nosuchproc"'), (lambda v: v.outer(), "deep")])
def test_tcl_errors_carry_the_trace(lib, call, first):
    before = len(lib.history.__history__)
    with pytest.raises(TclError) as info:
        call(lib.vix)
    err = info.value
    assert err.args == (lib.tk.getvar("::errorInfo"),)
    assert str(err).splitlines()[0] == first and "while executing" in str(err)
    assert err.__cause__ is None and err.__suppress_context__
    assert isinstance(err.__context__, TclError)
    assert len(lib.history.__history__) == before + 1


def test_tcl_error_inside_a_handler_keeps_its_own_context(lib):
    try:
        raise ValueError("outer")
    except ValueError:
        with pytest.raises(TclError) as info:
            lib.vix.nosuchproc()
    context = info.value.__context__
    assert isinstance(context, TclError) and isinstance(context.__context__, ValueError)


class StandIn:
    """A minimal interpreter object: tk, history, vars and cast_any, each replaceable."""

    def __init__(self, tk=None, history=None, vars=None):
        import tkinter

        from trelmo.tcl.history import History

        self.tk = tk or tkinter.Tcl().tk
        self.history = history if history is not None else History()
        self.vars = vars if vars is not None else {"::errorInfo": "the trace"}

    def cast_any(self, value):
        return ("cast", value)


def test_error_text_comes_from_the_variables_view():
    interp = StandIn()
    with pytest.raises(TclError) as info:
        Vix(interp).nosuch()
    # the trace read there, led by Tcl's message since it does not start with it
    assert info.value.args == ('invalid command name "nosuch"\nthe trace',)


def test_errors_other_than_tcl_errors_pass_through():
    class Tk:
        def call(self, *words):
            raise ValueError(words)

    class Failing:
        def append(self, item):
            raise KeyError("history")

    raising, failing, no_vars, plain = StandIn(tk=Tk()), StandIn(tk=Tk(), history=Failing()), StandIn(vars={}), StandIn()
    with pytest.raises(ValueError) as info:
        Vix(raising).a.b(1)
    assert info.value.args == (("a::b", "1"),)
    with pytest.raises(KeyError):  # the history is written first: Tcl is not contacted
        Vix(failing).a()
    with pytest.raises(LookupError):  # a failing errorInfo read propagates
        Vix(no_vars).nosuch()
    assert Vix(plain).set("x", 1) == ("cast", "1")


def test_the_entry_object_names_no_command(tcl, rec):
    with pytest.raises(TclError) as info:
        tcl.vix(1, opt=2)
    assert info.value.args == ('invalid command name ""',)
    assert rec.sent == [] and len(tcl.history.__history__) == 0


# -- binding ---------------------------------------------------------------------------------------


def test_weak_binding(tcl):
    with pytest.raises(TypeError):
        Vix(weakref.proxy(tcl))
    interp = Interpreter()
    v = Vix(interp)
    chain = v.set
    del interp
    gc.collect()
    with pytest.raises(ReferenceError):
        chain("x", 1)
    with pytest.raises(ReferenceError):
        v.set("x", 1)


class _Reads(Interpreter):
    """Counts the lookups of the members a quick call uses."""

    def __getattribute__(self, name):
        if name in ("history", "tk", "cast_any"):
            object.__getattribute__(self, "seen").append(name)
        return object.__getattribute__(self, name)


class _Members:
    """An interpreter object of another class: members through __getattr__."""

    def __init__(self, tcl):
        self.tk, self.seen = tcl.tk, []

    def __getattr__(self, name):
        self.seen.append(name)
        if name == "history":
            return self.__dict__.setdefault("_history", _Log())
        if name == "cast_any":
            return lambda result: ("cast", result)
        raise AttributeError(name)


class _Log(list):
    pass


def _shadow_cast(tcl):
    tcl.cast_any = lambda result: ("shadowed", result)
    tcl.seen = []
    return tcl


def _history_property(tcl):
    class Prop(Interpreter):
        history = property(lambda self: self.__dict__["log"])

    new = Prop.__new__(Prop)
    new.__dict__.update(tk=tcl.tk, log=_Log(), seen=[])
    return new


def _append_shadowed(tcl):
    tcl.history.append = tcl.history.__history__.append  # the raw word list goes to the deque
    tcl.seen = []
    return tcl


def _reads(tcl):
    new = _Reads.__new__(_Reads)
    new.__dict__.update(tcl.__dict__, seen=[])
    return new


# Interpreter objects whose members a quick call must find the way Python does:
# (make, the result of vix.set('x', 1), what the history holds, members seen).
@pytest.mark.parametrize(
    "make, result, recorded, seen",
    [
        (_reads, 1, "set x 1", ["history", "tk", "cast_any"]),
        (_shadow_cast, ("shadowed", "1"), "set x 1", []),
        (_history_property, 1, ["set", "x", "1"], []),
        (_append_shadowed, 1, ["set", "x", "1"], []),
        (lambda tcl: _Members(tcl), ("cast", "1"), ["set", "x", "1"], ["history", "cast_any"]),
    ],
)
def test_interpreter_members_are_looked_up_as_python_does(tcl, make, result, recorded, seen):
    interp = make(tcl)
    v = Vix(interp)
    assert v.set("x", 1) == result
    assert interp.seen == seen
    history = interp.history
    last = history[-1] if isinstance(history, list) else history.__history__[-1]
    assert (last if isinstance(last, list) else last.api) == recorded


# -- classes behave as Python classes --------------------------------------------------------------


def test_subclasses_and_rebinding(tcl, rec, monkeypatch):
    class Upper(Vix):
        def __getattr__(self, name):
            return Vix_Code(name.lower(), tcl=self.tcl)

    class Counting(Vix_Code):
        def __call__(self, *args, **kwargs):
            return ("counted",) + tuple(super().__call__(*args, cast_=False, **kwargs).split())

    assert Upper(tcl).SET("x", 2) == 2
    assert Counting("list", tcl=tcl)(1, 2) == ("counted", "1", "2")
    with monkeypatch.context() as patch:  # module-level names are read at call time
        patch.setattr(vix_mod, "Vix_Code", Counting)
        assert tcl.vix.list(3) == ("counted", "3")
    monkeypatch.setattr(vix_mod, "quoml", lambda value: "<%s>" % (value,))
    assert tcl.vix.set("y", 1) == "<1>"
    assert calls(rec)[-1] == ("set", "<y>", "<1>")


def test_class_attributes_changed_at_run_time(tcl, monkeypatch):
    def missing(self):
        raise AttributeError("computed")

    monkeypatch.setattr(Vix, "computed", property(missing), raising=False)
    assert tcl.vix.computed.cmd == ["computed"]  # an AttributeError from lookup falls back to __getattr__
    monkeypatch.setattr(Vix_Code, "__call__", lambda self, *args: ("called", self.cmd, args))
    monkeypatch.setattr(Vix, "__getattr__", lambda self, name: Vix_Code(name.upper(), tcl=self.tcl))
    assert tcl.vix.a.b(1) == ("called", ["A", "b"], (1,))


def test_uninitialised_objects_do_not_crash():
    bare = Vix_Code.__new__(Vix_Code)
    with pytest.raises(RecursionError):
        bare.anything
    with pytest.raises(RecursionError):
        Vix.__new__(Vix).anything


def test_no_reference_leaks(lib):
    v = lib.vix
    lib.__dict__["history"] = type(lib.history)(max_history=3)

    def batch():
        for i in range(100):
            v.echo(i, [i, "a b"], opt=None, cast_=False)
            v.ns.a()
            try:
                v.nosuchproc(i)
            except TclError:
                pass

    batch()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(5):
        batch()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


# -- results through cast_any: text stays text unless it is a number spelled canonically -----------


@pytest.mark.parametrize("word, expected", [("007", "007"), ("08", "08"), ("0x1F", "0x1F"), ("42", 42), ("3.5", 3.5), ("1e3", "1e3")])
def test_quick_calls_keep_ids_and_zip_codes(lib, word, expected):
    assert lib.vix.set("::z", word) == expected
    assert lib.vix.set("::z", cast_=False) == word


@pytest.mark.parametrize(
    "shape",
    [
        "list {a b} c x",
        r'list [list a {} "\{"] [list [list x y] z] [list {#a} b] [list "\}" a]',
        "list 42 -3 3.5 0.1 1e-5 {a {b c}} {}",
        "dict create k {v w} n {} {my key} [list 1 2]",
    ],
)
@pytest.mark.parametrize(
    "forcing",
    ["", "llength $::v", "catch {dict size $::v}", "foreach e $::v {catch {llength $e}}",
     "foreach e $::v {catch {expr {$e + 0}}}"],
)  # fmt: skip
def test_uncast_results_are_tcl_text_whatever_tcl_did(lib, shape, forcing):
    tk = lib.tk
    tk.eval("set ::v [string range [%s] 0 end]; proc produce {} {set ::v}" % shape)
    expected = tk.eval("set ::v")
    tk.eval(forcing)
    assert lib.vix.produce(cast_=False) == expected
