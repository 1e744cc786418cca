"""Casts, of the package and of Interpreter: cast_list, cast_array, cast_dict
and cast_any read values the way Tcl does, whatever Tcl did to them before."""

import re
from tkinter import TclError

import pytest
from hypothesis import given
from hypothesis import strategies as st

import trelmo.tcl
from trelmo.tcl import tclobj
from trelmo.tcl.namespace import TclArrayVariable, TclNamespace, TclVariable

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


# --------------------------------------------------------------------------
# Tcl dicts: cast_dict, as a function and as a cast
# --------------------------------------------------------------------------

# Read a dict the way Tcl does (dict for), as key-value text pairs.
DICT_PAIRS = "proc pairs {d} { set out {}; dict for {k v} $d { lappend out $k $v }; return $out }"


def tcl_pairs(tk, value):
    """The (key, value) pairs Tcl's dict code reads from value, in Tcl's order."""
    flat = tk.splitlist(tk.call("format", "%s", tk.call("pairs", value)))
    return list(zip(flat[0::2], flat[1::2]))


@given(
    pairs=st.lists(
        st.tuples(st.one_of(tcl_text, st.sampled_from(["a", "k"])), st.one_of(tcl_text, st.lists(tcl_text, max_size=3))),
        max_size=6,
    )
)
def test_cast_dict_reads_as_tcl_does(shared, pairs):
    # Duplicate keys (a later one wins) and nested lists included; every form
    # of the same value gives the same dict, keys in Tcl's order.
    tk = shared.tk
    tk.eval(DICT_PAIRS)
    flat = [x for kv in pairs for x in kv]
    as_tuple = tk.call("list", *flat)  # the bridge's form of a list: a tuple
    shared.vars["::dsrc"] = as_tuple
    text = tk.eval("set ::dsrc")
    as_dict = tk.call("dict", "merge", text)  # a Tcl_Obj of Tcl's dict type
    expected = tcl_pairs(tk, text)
    for form in (text, as_tuple, as_dict, list(as_tuple) if isinstance(as_tuple, tuple) else as_tuple):
        got = shared.cast_dict(form)
        assert list(got.items()) == expected
        assert all(type(k) is str and type(v) is str for k, v in got.items())
    assert int(tk.getvar("::trapped")) == 0


@pytest.mark.parametrize(
    "script, expected",
    [
        ("dict create a 1 b 2 a 3", {"a": "3", "b": "2"}),
        ("set d {}; dict set d x {y  z}; dict set d {} {}; set d", {"x": "y  z", "": ""}),
        # Tcl used the values as lists and numbers: their text is kept.
        ("set d {k {p  q} n 0x10 f 1.50}; llength [dict get $d k]; expr {[dict get $d n] + [dict get $d f]}; set d",
         {"k": "p  q", "n": "0x10", "f": "1.50"}),
        ("set d [dict create v [list a {b c}]]; llength [dict get $d v]; llength $d; set d", {"v": "a {b c}"}),
        ("package require json; json::json2dict {{\"k\": {\"i\": [1, \"a b\"]}, \"z\": \"\", \"s\": \"[x] $y\"}}",
         {"k": "i {1 {a b}}", "z": "", "s": "[x] $y"}),
    ],
)
def test_cast_dict_results_and_casts(tcl, script, expected):
    # The dict as Tcl returns it (str or Tcl_Obj), as a variable's value, as a
    # cast of a variable handle, and through the package: all alike.
    tk = tcl.tk
    result = tk.call("eval", script)
    assert tcl.cast_dict(result) == expected and list(tcl.cast_dict(result)) == list(expected)
    tk.call("set", "::d", result)
    assert TclVariable("d", tcl=tcl, cast=tcl.cast_dict).get() == expected
    assert trelmo.tcl.cast_dict(tk.eval("set ::d")) == expected
    if script.startswith("package"):  # a nested dict is text, read again with cast_dict
        assert tcl.cast_dict(tcl.cast_dict(result)["k"]) == {"i": "1 {a b}"}


@pytest.mark.parametrize("value", ["a 1 b", "a", ("a",), ["a", "b", "c"], 5])
def test_cast_dict_odd_counts(tcl, value):
    with pytest.raises(ValueError) as ours:
        tcl.cast_dict(value)
    with pytest.raises(TclError) as theirs:
        tcl.tk.call("dict", "size", tcl.tk.call("format", "%s", value))
    assert str(ours.value) == str(theirs.value) == "missing value to go with key"


def test_cast_dict_rejects_text_that_is_no_list(tcl):
    with pytest.raises(TclError) as info:
        tcl.cast_dict("a {b")
    assert "unmatched open brace" in str(info.value)
    assert tcl.cast_dict("") == {} and tcl.cast_dict(()) == {}


# --------------------------------------------------------------------------
# Values read back the same whatever Tcl did to them before
# --------------------------------------------------------------------------

# Scripts whose result is left in ::v, as text.  In the first group every
# number and every nested list is spelled the way Tcl writes it back, so that
# even an element the bridge hands over typed (an int, a float, a nested
# tuple) has the original text.
CANONICAL_SHAPES = [
    "list {a b} c x",
    "list [list id 7] [list name ann]",
    r'list [list a {} "\{"] [list [list x y] z] [list [list [list "a b"]]] [list "a b" c]',
    "list 42 -3 3.5 0.1 1e-5 {a {b c}} {} [list {a #x} b]",
    "split a,b,,c ,",
    "dict create k {v w} n {} {my key} [list 1 2]",
]
# Texts that are not how Tcl would write them back ("007", "x  y", a leading
# "#", lone braces and backslashes): exact as long as the elements keep their
# text (the bridge hands them over as str or Tcl_Obj).
TEXT_SHAPES = [
    r'list {} "\{" "\}" "a\\b" #x "x  y" "tab\there" 007 0x1F 1.50 { 42} {a\ b}',
]
# What Tcl code may have done to ::v before Python reads it: nothing (plain
# text), or uses that give it and its elements list, dict, integer and
# double representations.
TOP_FORCINGS = ["", "llength $::v", "catch {dict size $::v}"]
FORCINGS = TOP_FORCINGS + [
    "foreach e $::v {catch {llength $e}}",
    "foreach e $::v {catch {foreach f $e {llength $f}}}",
    "foreach e $::v {catch {expr {$e + 0}}}",
]
SHAPES_AND_FORCINGS = [(s, f) for s in CANONICAL_SHAPES for f in FORCINGS] + [
    (s, f) for s in TEXT_SHAPES for f in TOP_FORCINGS
]


def _elements_by_tcl(tk):
    """The elements of ::v as Tcl's own lindex gives their text."""
    return [tk.eval("lindex $::v %d" % i) for i in range(int(tk.eval("llength $::v")))]


@pytest.mark.parametrize("shape, forcing", SHAPES_AND_FORCINGS)
def test_cast_list_gives_the_tcl_text_of_every_element(tcl, shape, forcing):
    tk = tcl.tk
    tk.eval("set ::v [string range [%s] 0 end]" % shape)  # plain text
    expected = list(tk.splitlist(tk.eval("set ::v")))
    tk.eval(forcing)
    assert _elements_by_tcl(tk) == expected
    for value in (tk.getvar("::v"), tk.call("set", "::v"), tk.eval("set ::v")):
        for cast_list in (tcl.cast_list, trelmo.tcl.cast_list):
            got = cast_list(value)
            assert got == expected and all(type(e) is str for e in got)
            assert cast_list(got) == got  # a Python list of texts stays as it is
    pairs = expected if len(expected) % 2 == 0 else expected + [""]
    tk.call("array", "set", "::A", tuple(pairs))
    tk.eval("foreach k [array names ::A] {catch {llength $::A($k)}; catch {expr {$::A($k) + 0}}}")
    got = tcl.cast_array(tk.call("array", "get", "::A"))
    assert got == trelmo.tcl.cast_array(tk.eval("array get ::A")) == dict(zip(pairs[::2], pairs[1::2]))
    assert all(type(k) is str and type(v) is str for k, v in got.items())


# The string readers (the vars view, get_str) give exactly the text `set N`
# gives, however Tcl or Python stored the value, and missing variables fail
# the same way.
@pytest.mark.parametrize("shape, forcing", SHAPES_AND_FORCINGS[:: 3] + [("", "")])
@pytest.mark.parametrize("stored", [None, 5, 2.5, -0.0, True, ("a", "b c", ("d",)), "x {y", b"\xff\x00a", "\u20ac \U0001f600"])
def test_string_readers_give_the_text_set_gives(tcl, shape, forcing, stored):
    tk = tcl.tk
    tk.eval("namespace eval ::n {}")
    if stored is None and shape:
        tk.eval("set ::n::v [string range [%s] 0 end]" % shape)
        tk.eval(forcing.replace("$::v", "$::n::v"))
    elif stored is None:
        tk.eval("catch {unset ::n::v}")
    else:
        tk.setvar("::n::v", stored)
    view = TclNamespace("::n", tcl).vars
    handle = TclVariable("::n::v", tcl=tcl)
    try:
        expected = tk.eval("set ::n::v")
    except TclError as e:
        with pytest.raises(KeyError) as info:
            view["v"]
        assert str(info.value.__cause__) == str(e)
        with pytest.raises(TclError, match=re.escape(str(e))):
            handle.get_str()
        return
    assert view["v"] == expected and view.get("v") == expected and handle.get_str() == expected
    assert type(view["v"]) is str


@pytest.mark.parametrize(
    "value, expected",
    [
        ((1, 2.5e-5, True, b"\xff", (), ("#x", "{")), ["1", "2.5e-5", "1", "\xff", "", "{#x} \\{"]),
        (1e-5, ["1e-5"]),
        (float("inf"), ["Inf"]),
        (42, ["42"]),
        (("a\0b", ("c\0", "d")), ["a\0b", "c\0 d"]),
        ("a\0b {c d}", ["a\0b", "c d"]),
        ("", []),
        ((), []),
    ],
)
def test_cast_list_of_bridge_values_is_the_text_tcl_gives_them(tcl, value, expected):
    # Tcl judges: the element texts of the list Tcl builds from the value.
    assert tcl.cast_list(value) == expected
    if not any("\0" in e for e in expected):
        assert list(tcl.tk.splitlist(tcl.tk.call("format", "%s", tclobj(value)))) == expected


def test_values_made_by_tcllib_read_back_as_text(tcllib):
    tk = tcllib.tk
    tk.eval('set ::d [json::json2dict {{"id": "007", "tags": ["a b", "c"], "n": 42, "o": {"k": "v"}}}]')
    expected = {"id": "007", "tags": "{a b} c", "n": "42", "o": "k v"}
    assert tcllib.cast_array(tk.getvar("::d")) == expected
    tk.eval("dict for {k v} $::d {llength $v}; llength [dict get $::d o]")
    assert tcllib.cast_array(tk.getvar("::d")) == expected
    assert tcllib.cast_list(tcllib.cast_array(tk.getvar("::d"))["tags"]) == ["a b", "c"]
    tk.eval('set ::r [csv::split {a,"b c",,"d ""e"""}]; llength $::r')
    assert tcllib.cast_list(tk.getvar("::r")) == ["a", "b c", "", 'd "e"']
    tk.eval("set ::s [struct::set union {{a b} c} {c d}]; foreach e $::s {llength $e}")
    assert sorted(tcllib.cast_list(tk.getvar("::s"))) == ["a b", "c", "d"]


SCALAR_TEXTS = ["007", "08", "0x1F", "1.50", " 42", "1e3", "yes", "a\0b", "x  y", "{a  b} c"]


@pytest.mark.parametrize("forcing", FORCINGS + ["catch {if {$::v} {}}", "catch {binary scan $::v a* _}"])
@pytest.mark.parametrize("text", SCALAR_TEXTS + ["[%s]" % s for s in CANONICAL_SHAPES + TEXT_SHAPES])
def test_handle_casts_and_string_readers_see_the_text_whatever_tcl_did(tcl, text, forcing):
    tk = tcl.tk
    value = text if not text.startswith("[") else tk.eval("string range %s 0 end" % text)
    tk.setvar("::v", value)
    tk.call("array", "set", "::A", ("k", value))
    tk.eval(forcing)
    tk.eval(forcing.replace("$::v", "$::A(k)"))
    seen = []
    handle = TclVariable("::v", tcl=tcl, cast=seen.append)
    handle.get()
    TclArrayVariable("::A", tcl=tcl, cast=seen.append)["k"]
    TclVariable("::A", "k", tcl=tcl).get(cast=seen.append)
    assert seen == [value] * 3 and all(type(s) is str for s in seen)
    assert TclVariable("::v", tcl=tcl, cast=tcl.cast_list).get() == tcl.cast_list(value) if "\0" not in value else True
    readers = [handle.get_str(), tcl.vars["::v"], tcl.vars.get("::v"), TclVariable("::A", "k", tcl=tcl).get_str(),
               TclArrayVariable("::A", tcl=tcl).array_get_str()["k"], tcl.vars.array_get("::A")["k"],
               tcl.vars["::A(k)"]]
    assert readers == [value] * len(readers)
    # without a cast, get_obj and the objs view keep the bridge's object
    assert handle.get(cast=None) == tk.getvar("::v") and tcl.vars.ns.objs["::v"] == tk.getvar("::v")


# -- cast_any: text stays text unless it is a number spelled canonically --------------------------


def _canonical_number(s):
    """What cast_any must make of the text s: the number when str()/repr() gives s back."""
    for convert, show in ((int, str), (float, repr)):
        try:
            value = convert(s)
        except ValueError:
            continue
        if show(value) == s and value == value and abs(value) != float("inf"):
            return value
    return s


@pytest.mark.parametrize(
    "text, expected",
    [("0", 0), ("42", 42), ("-7", -7), ("3.5", 3.5), ("-0.0", -0.0), ("0.0001", 0.0001), ("1e-05", 1e-05),
     ("1e+16", 1e16), ("123456789012345678901234567890", 123456789012345678901234567890)]
    + [(t, t) for t in ["007", "00", "08", "1e3", "0x1F", " 1", "1 ", "1_000", "+5", "-0", "1.50", "inf", "-inf", "nan",
                        "", "0.00001", "1.", ".5", "1e5", "\u0663", "-", "1.5.0", "10000000000000000.0", "abc", "a b"]],
)  # fmt: skip
def test_cast_any_converts_only_canonical_numbers(tcl, text, expected):
    import trelmo.tcl

    for cast_any in (tcl.cast_any, trelmo.tcl.cast_any):
        got = cast_any(text)
        assert type(got) is type(expected) and repr(got) == repr(expected)
    assert _canonical_number(text) == expected or text == "nan"


@given(st.one_of(st.text(alphabet="0123456789-+.e_x \u0663", max_size=12), st.floats(allow_nan=False).map(repr),
                 st.integers().map(str)))  # fmt: skip
def test_cast_any_follows_the_canonical_spelling_rule(text):
    import trelmo.tcl

    got, expected = trelmo.tcl.cast_any(text), _canonical_number(text)
    assert type(got) is type(expected) and repr(got) == repr(expected)


@pytest.mark.parametrize(
    "value, expected",
    [(True, True), (7, 7), (2.5, 2.5), (("1", "x", ("007", 3.5)), [1, "x", ["007", 3.5]]), ((), []),
     (b"12", "b'12'")],
)  # fmt: skip
def test_cast_any_of_values_the_bridge_typed(tcl, value, expected):
    got = tcl.cast_any(value)
    assert got == expected and type(got) is type(expected)


def test_cast_any_of_tcl_objects(tcl):
    tk = tcl.tk
    tk.eval("set ::d [dict create a 007]; dict size $::d")
    obj = tk.getvar("::d")
    assert type(obj).__name__ == "Tcl_Obj"
    assert tcl.cast_any(obj) == "a 007"
    tk.eval("set ::d [dict create k 42]; dict size $::d")
    assert tcl.cast_any(tk.getvar("::d")) == "k 42"
