"""Reference-leak checks: every public operation of every module, error paths
included, called many times after a warm-up, leaves no growth of traced memory
(tracemalloc), of allocated blocks, of live GC objects, or of the reference
counts of the objects passed in.

One parametrized test drives the table ``OPS``; each entry is one operation
(or one error path of it) run against a fresh interpreter.  A leak of one
object per call shows as a growth proportional to the batch size in every
batch; the noise of caches and free lists does not survive four batches.
TRELMO_LEAK_CALLS sets the batch size (default 200).
"""

import collections.abc
import gc
import logging
import os
import sys
import tracemalloc
import types
import weakref
from tkinter import TclError

import pytest


CALLS = int(os.environ.get("TRELMO_LEAK_CALLS", "200"))
# Under PYTHONMALLOC=malloc (the sanitizer run) the interpreter's free lists
# fill up through plain malloc and look like growth to tracemalloc, and there
# are no allocated blocks to count: only objects and references are judged.
PYMALLOC = sys.getallocatedblocks() > 0
WARMUP = 30
BATCHES = 4


# -- hostile helpers used by the error paths ----------------------------------
class Boom(Exception):
    pass


class RaisingQuoml:
    def __quoml__(self):
        raise Boom("quoml")


class RaisingTclobj:
    def __tclobj__(self):
        raise Boom("tclobj")


class RaisingStr:
    def __str__(self):
        raise Boom("str")


class RaisingLookup:
    def __getattr__(self, name):
        raise Boom(name)


class RaisingSeq(collections.abc.Sequence):
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i < 3:
            raise Boom("getitem")
        raise IndexError(i)

    def __iter__(self):
        yield "a"
        raise Boom("iter")


class RaisingMap(collections.abc.Mapping):
    def __len__(self):
        return 1

    def __iter__(self):
        return iter(["k"])

    def __getitem__(self, key):
        raise Boom("getitem")


class StrSub(str):
    def __str__(self):
        return "sub " + str.__str__(self)


class Proto:
    def __tclobj__(self):
        return ("x", "y z")


def self_list():
    lst = ["a"]
    lst.append(lst)
    return lst


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError("%r did not raise %s" % (fn, exc))


# -- the table of operations ----------------------------------------------------
OPS = []


def op(module, attr, *names):
    """Register ``fn(ctx)`` under each name."""

    def register(fn):
        for name in names or (fn.__name__,):
            OPS.append(pytest.param(fn, id="%s:%s" % (module, name)))
        return fn

    return register


# quoml -------------------------------------------------------------------------
@op("quoml", "quoml")
def quoml_values(c):
    q = c.q
    q.quoml(c.probe_list)
    q.quoml({"my key": c.probe_str, "n": [1, 2.5, None, True]})
    q.quoml(c.probe_obj)
    q.quoml(b"ab")
    q.quoml(frozenset(["a b"]))
    q.quoml(c.big)
    q.quoml(StrSub("x y"))
    q.quoml(obj=c.probe_str)


@op("quoml", "tclobj")
def tclobj_values(c):
    q = c.q
    q.tclobj(c.probe_list)
    q.tclobj({"k": [1, 2], "o": c.probe_obj})
    q.tclobj(c.big)
    q.tclobj(-sys.maxsize - 1)
    q.tclobj(StrSub("x"))
    q.tclobj(obj=range(3))


@op("quoml", "_tcl_UpdateStringOfList")
def quoting_functions(c):
    q = c.q
    for s in ("", "a b", "{a", "a}", "a\\", "\\\na b", "x{y}", c.probe_str, "\u20ac [x]", "\U0001f600$"):
        size, flags = q._Tcl_ScanElement(s)
        q._Tcl_ConvertElement(s, flags)
        q._Tcl_ConvertElement(src=s, flags={"TCL_DONT_USE_BRACES"})
    q._tcl_UpdateStringOfList([c.probe_str, "a b", ["c d"]])
    q._quoml_from_mapping({"a": 1})
    q._tclobj_from_sequence([1, [2]])
    q._tclobj_from_mapping({"a": [1]})


@op("quoml", "quoml", "errors-protocol", )
def quoml_protocol_errors(c):
    q = c.q
    for bad in (RaisingQuoml(), RaisingTclobj(), RaisingStr(), RaisingLookup(), RaisingSeq(), RaisingMap()):
        expect(Boom, q.quoml, [c.probe_str, bad])
        expect(Boom, q.tclobj, [c.probe_str, {"k": bad}])
        expect(Boom, q._tcl_UpdateStringOfList, [bad])
        expect(Boom, q._Tcl_ScanElement, bad)


@op("quoml", "quoml", "errors-arguments")
def quoml_argument_errors(c):
    q = c.q
    expect(RecursionError, q.quoml, c.cycle)
    expect(RecursionError, q.tclobj, c.cycle)
    expect(TypeError, q.quoml)
    expect(TypeError, q.tclobj, 1, 2)
    expect(TypeError, q.quoml, nope=1)
    expect(Exception, q._Tcl_ConvertElement, "{a", 5)
    expect(Exception, q._Tcl_ConvertElement, "{a", frozenset(["TCL_DONT_USE_BRACES"]))
    expect(TypeError, q._tcl_UpdateStringOfList, 5)


@op("quoml", "_cast_any")
def cast_any_values(c):
    q = c.q
    for value in ("hello", "42", "-7", "3.5", "1e-05", "007", "1.50", "9" * 30, "9" * 5000, "", "\u20ac", c.probe_str,
                  StrSub("12"), True, 7, 2.5, ("1", ("x", "2.5")), c.probe_obj, c.big):
        q._cast_any(value)
    expect(Boom, q._cast_any, RaisingStr())
    expect(Boom, q._cast_any, ("1", RaisingStr()))
    expect(TypeError, q._cast_any)


@op("quoml", "_cast_any", "casts-package")
def package_casts(c):
    t, tk = c.tcl, c.tk
    tk.eval("set ::hl_l [list {a b} [list c {d e}] 1.5 7]; foreach e $::hl_l {catch {llength $e}}")
    for value in (tk.getvar("::hl_l"), tk.eval("set ::hl_l"), ("a\0b", (1, True)), "a\0b c", 1e-5, b"\xff", [1, "x"]):
        t.cast_list(value)
    t.cast_array(tk.getvar("::hl_l"))
    expect(TclError, t.cast_list, "{a")


# namespace: name algebra and TclNamespace ------------------------------------------
@op("namespace", "TclNamespace")
def name_algebra(c):
    N = c.ns.TclNamespace
    N.split("::a::b")
    N.join("a", "::b", c.probe_str, "")
    N.normalize("::a::::b::")
    N.qualifiers("a:::b")
    N.tail("::a::b")
    N.split(12)
    expect(ValueError, N.split, "a:b")
    expect(ValueError, N.join, "a", "b:::c")
    expect(TypeError, N.join)
    expect(TypeError, N.split, "a", "b")
    expect(Boom, N.join, "a", RaisingQuoml())


@op("namespace", "TclNamespace")
def namespace_object(c):
    ns = c.ns.TclNamespace("::hl", c.tcl)
    ns.create()
    ns.eval("set x 1")
    ns.call("set", "y", c.probe_list)
    ns.current()
    ns.exists()
    ns.children()
    ns.code("set x")
    ns.export()
    ns.export(False, "p*")
    ns.forget("::hl::nomatch*")
    ns.import_(False)
    ns.origin("set")
    ns.parent()
    ns.parent(True)
    ns.which("x", False, True)
    str(ns)
    ns.is_absolute()
    ns.is_relative()
    ns.absolute()
    rel = c.ns.TclNamespace("hl", c.tcl)
    rel.absolute()
    rel.make_absolute()
    c.ns.TclNamespace("::hl_del", c.tcl).create()
    c.ns.TclNamespace("::hl_del", c.tcl).delete()


@op("namespace", "TclNamespace")
def namespace_errors(c):
    N = c.ns.TclNamespace
    expect(ValueError, N("", c.tcl).create)
    expect(TclError, N("::nosuch_ns", c.tcl).delete)
    expect(TclError, N("::hl", c.tcl).eval, "error boom")
    expect(TclError, N("::hl", c.tcl).call, "nosuchcommand", c.probe_str)
    expect(TclError, N("::hl", c.tcl).which, "x", True, True)
    expect(TypeError, N)
    expect(Boom, N, RaisingQuoml(), c.tcl)


@op("namespace", "TempTclNamespace")
def temp_namespace(c):
    with c.ns.TempTclNamespace(tcl=c.tcl) as t:
        t.eval("set v 1")
    with c.ns.TempTclNamespace(tcl=c.tcl) as t:
        t.delete()
    expect(Boom, _raise_inside, c.ns.TempTclNamespace(tcl=c.tcl))
    expect(KeyError, c.ns.TempTclNamespace, "::{x}", tcl=c.tcl)
    expect(TypeError, c.ns.TempTclNamespace, "::a", c.tcl)


def _raise_inside(cm):
    with cm:
        raise Boom("inside")


# namespace: variables -------------------------------------------------------------
@op("namespace", "TclVariable")
def variable(c):
    V = c.ns.TclVariable
    v = V("::hl_v", tcl=c.tcl, cast=str)
    v.set(c.probe_list)
    v.get_obj()
    v.get_obj(cast=None)
    v.get()
    v.get_str()
    v.exists()
    v.is_array()
    repr(v), str(v), v.__tclobj__(), c.q.quoml(v)
    v.absolute()
    V("hl_rel", tcl=c.tcl).absolute()
    V("hl_rel", tcl=c.tcl).make_absolute()
    v.unset()
    v.unset(nocomplain=True)
    a = V("::hl_arr", tcl=c.tcl)
    a.array_set({"k": c.probe_str, "a b": [1, 2]})
    a.set("v", array_index="e")
    a.get_obj(array_index="e")
    a.get_str(array_index="a b")
    a.exists(array_index="k")
    a.array_get_obj()
    a.array_get_str("k*")
    a.array_names()
    a.array_names("a*")
    a.array_size()
    a.array_item_byref("k", cast=str).get()
    a.array_unset("e")
    a.unset(array_index="k")
    a.array_unset()
    V("::hl_arr", "a b", tcl=c.tcl).exists()


@op("namespace", "TclVariable")
def variable_errors(c):
    V = c.ns.TclVariable
    v = V("::hl_missing", tcl=c.tcl)
    expect(TclError, v.get_obj)
    expect(TclError, v.get_str)
    expect(TclError, v.unset)
    expect(TclError, v.array_set, ["odd"])
    expect(Boom, v.set, RaisingTclobj())
    w = V("::hl_v2", tcl=c.tcl, cast=_raising_cast)
    w.set(1)
    expect(Boom, w.get_obj)
    expect(TypeError, V)
    expect(TypeError, v.get_obj, 1, 2, 3)
    expect(ValueError, V("a:b", tcl=c.tcl).absolute)


def _raising_cast(value):
    raise Boom("cast")


@op("namespace", "TclArrayVariable")
def array_mapping(c):
    a = c.ns.TclArrayVariable("::hl_map", c.tcl)
    a["x"] = c.probe_str
    a[5] = [1, "a b"]
    a.update({"p": 1}, q=c.probe_list)
    "x" in a, "nope" in a
    len(a)
    list(a)
    a["x"]
    a.get("x")
    dict(a.items())
    a == {"x": "1"}
    del a["x"]
    a.pop("p")
    a.setdefault("q")
    a.popitem()
    a.clear()


@op("namespace", "TclArrayVariable")
def array_mapping_errors(c):
    a = c.ns.TclArrayVariable("::hl_map2", c.tcl)
    expect(TclError, a.__getitem__, "nope")
    expect(TclError, a.__delitem__, "nope")
    expect(KeyError, a.popitem)
    expect(TypeError, a.update, {}, {})
    expect(TypeError, hash, a)
    expect(Boom, a.__setitem__, "k", RaisingTclobj())


@op("namespace", "TempTclVariable")
def temp_variables(c):
    with c.ns.TempTclVariable(tcl=c.tcl) as v:
        v.set(c.probe_str)
        v.get_obj()
    with c.ns.TempTclVariable(tcl=c.tcl):
        pass
    with c.ns.TempTclArrayVariable(tcl=c.tcl, cast=str) as a:
        a["k"] = 1
        a.update(x=2)
        list(a)
    expect(Boom, _raise_inside, c.ns.TempTclVariable(tcl=c.tcl))
    expect(KeyError, c.ns.TempTclVariable, "::{x}", tcl=c.tcl)
    expect(TypeError, c.ns.TempTclVariable, "::a", "b")


# namespace: views -------------------------------------------------------------------
@op("namespace", "TclNamespace")
def variable_views(c):
    ns = c.ns.TclNamespace("::hlv", c.tcl)
    ns.create()
    vs, os_ = ns.vars, ns.objs
    vs["x"] = c.probe_list
    vs["x"]
    os_["x"]
    vs.get("x")
    os_.get("x")
    vs.set("a", "1", array_index="k")
    os_.get("a", "k")
    vs.array_set("b", {"k": c.probe_str})
    vs.array_get("b")
    os_.array_get("b", "k*")
    vs.array_names("b")
    vs.array_unset("b", "z*")
    vs.is_array("b")
    vs.exists("x"), "x" in vs, "nope" in vs
    vs.byref("x", cast=str).get()
    vs.array_byref("b")
    list(vs), len(vs)
    vs.unset("a", array_index="k")
    vs.unset("nope", nocomplain=True)
    del vs["x"]


@op("namespace", "TclNamespace", "exact-text-reads")
def exact_text_reads(c):
    ns = c.ns.TclNamespace("::hlt", c.tcl)
    ns.create()
    tk = c.tk
    tk.eval("namespace eval ::hlt {variable s {a  b}; variable n 007; variable u; array set A {k {v  w} j 1}}")
    tk.setvar("::hlt::z", "a\0b c")
    tk.eval("llength $::hlt::s; expr {$::hlt::n + 0}; llength $::hlt::A(k); llength $::hlt::z")
    vs, os_ = ns.vars, ns.objs
    for name in ("s", "n", "z", "A"):
        vs[name], os_[name]
    dict(vs), dict(os_), list(vs.items()), len(vs)
    for name in ("::hlt::s", "::hlt::n", "::hlt::z"):
        v = c.ns.TclVariable(name, tcl=c.tcl, cast=str)
        v.get(), v.get_str(), v.get(cast=None)
    a = c.ns.TclArrayVariable("::hlt::A", tcl=c.tcl, cast=str)
    a["k"], a.array_get_str(), a.array_get_obj()
    cmd = c.ns.TclCommand("set", tcl=c.tcl)
    cmd.eval("::hlt::z"), cmd.eval("::hlt::s"), cmd.eval("::hlt::n")
    expect(KeyError, vs.__getitem__, "u")
    expect(TclError, cmd.eval, "::hlt::u")


@op("namespace", "TclNamespace")
def variable_view_errors(c):
    vs = c.ns.TclNamespace("::hlv", c.tcl).vars
    expect(KeyError, vs.__getitem__, "nope")
    expect(KeyError, vs.__getitem__, "a:b")
    expect(KeyError, vs.__delitem__, "nope")
    expect(TclError, vs.unset, "nope")
    expect(TypeError, vs.byref, "x", tcl=c.tcl)
    expect(TypeError, vs.get, "x", "extra")
    expect(ValueError, vs.set, "a:b", 1)


@op("namespace", "TclNamespace")
def command_views(c):
    ns = c.ns.TclNamespace("::hlc", c.tcl)
    cs, ps = ns.cmds, ns.procs
    ns.eval("proc p {a {b 5}} {return $a}")
    cs["f"] = c.probe_func
    cs["f"](c.probe_str)
    "f" in cs, "f" in ps, "p" in ps, "nope" in cs
    cs.exists("p"), ps.exists("p")
    cs.proc_args("p")
    cs.proc_body("p")
    cs.proc_arg_default("p", "b")
    cs.proc_arg_default("p", "a")
    cs.origin("p")
    cs.byref("p", cast=str)("v")
    cs.get("nope", 5)
    list(ps), len(cs)
    cs.rename("p", "r")
    cs.delete("r")
    cs.createcommand("g", c.probe_func)
    del cs["g"]
    del cs["f"]


@op("namespace", "TclNamespace")
def command_view_errors(c):
    cs = c.ns.TclNamespace("::hlc", c.tcl).cmds
    expect(KeyError, cs.__delitem__, "nope")
    expect(ValueError, cs.__delitem__, "a:b")
    expect(TclError, cs.delete, "nope")
    expect(TclError, cs.proc_args, "nope")
    expect(TypeError, cs.byref, "x", tcl=c.tcl)
    expect((TypeError, TclError), cs.createcommand, "bad", 5)


@op("namespace", "TclCommand")
def command_calls(c):
    C = c.ns.TclCommand
    cmd = C("list", args=[c.probe_str], keywords={"a": c.probe_list}, tcl=c.tcl, cast=str, logger=c.logger)
    cmd(1, [2, "a b"], b=c.probe_obj)
    cmd.call(a=5)
    cmd.eval("x y", z=None)
    cmd.build_tclcmd(1, c=2)
    C.kwargs_to_dashed_args(my_opt=True, other=None)
    repr(cmd), str(cmd), cmd.__tclobj__(), c.q.quoml(cmd), c.q.tclobj(cmd)
    C(cmd, tcl=c.tcl).build_tclcmd()
    C(cmd, args="x", tcl=c.tcl).build_tclcmd()
    C("puts hello", tcl=c.tcl)
    C(("my proc", "a b"), tcl=c.tcl)
    expr = C("expr", tcl=c.tcl, cast=int)
    expr("1+2")
    holder = c.__dict__.get("holder")
    if holder is None:
        holder = c.holder = type("Holder", (), {"cmd": C("list", tcl=c.tcl), "__tclobj__": lambda self: "me"})
    holder().cmd(1)
    holder.cmd


@op("namespace", "TclCommand")
def command_management(c):
    C = c.ns.TclCommand
    c.tk.eval("proc ::hl_p {a {b 5} {c {}}} {return $a}")
    p = C(("::hl_p",), tcl=c.tcl)
    p.exists(), p.is_proc(), p.is_command()
    p.proc_args(), p.proc_body(), p.origin()
    p.proc_arg_default("a"), p.proc_arg_default("b"), p.proc_arg_default("c")
    p.rename("::hl_p2")
    p.rename("::hl_p")
    p.absolute()
    rel = C(("hl_p",), tcl=c.tcl)
    rel.absolute()
    rel.make_absolute()
    f = C(("::hl_f",), tcl=c.tcl)
    f.createcommand(c.probe_func)
    f(c.probe_str)
    f.is_command()
    f.delete()
    f.exists()


@op("namespace", "TclCommand")
def command_errors(c):
    C = c.ns.TclCommand
    expect(TclError, C(("::hl_nope",), tcl=c.tcl).call, 1)
    expect(TclError, C(("::hl_nope",), tcl=c.tcl).eval, "a b")
    expect(TclError, C(("::hl_nope",), tcl=c.tcl).delete)
    expect(TclError, C(("::hl_nope",), tcl=c.tcl).proc_arg_default, "a")
    expect(TclError, C(("::hl_nope",), tcl=c.tcl).rename, "::x")
    expect(IndexError, C, "", tcl=c.tcl)
    expect(Boom, C("list", tcl=c.tcl, cast=_raising_cast).call)
    expect(Boom, C("list", tcl=c.tcl, logger=_RaisingLogger()).call, 1)
    expect(Boom, C("list", tcl=c.tcl).call, RaisingTclobj())
    expect(TypeError, C.kwargs_to_dashed_args, 1)
    expect(TypeError, C)
    expect(ValueError, C(("a:b",), tcl=c.tcl).absolute)
    # Not here: a registered Python callback that raises.  _tkinter itself
    # keeps every such exception (with its traceback and frames) for good,
    # with or without this package, so it cannot be measured here.


class _RaisingLogger:
    def info(self, msg):
        raise Boom("log")


@op("namespace", "TempTclCommand")
def temp_commands(c):
    T = c.ns.TempTclCommand
    with T(c.probe_func, tcl=c.tcl, cast=str) as t:
        t(c.probe_str)
    t = T(c.probe_func, tcl=c.tcl)
    t(1)
    del t  # finaliser deletes the Tcl command
    with T(tcl=c.tcl):
        pass
    with T(c.probe_func, tcl=c.tcl) as t:
        t.delete()
    expect(Boom, _raise_inside, T(c.probe_func, tcl=c.tcl))
    expect(KeyError, T, c.probe_func, cmd_name="::{x}", tcl=c.tcl)
    expect((TypeError, TclError), T, 5, tcl=c.tcl)


# dorvel ------------------------------------------------------------------------------------
@op("dorvel", "Dorvel")
def dorvel(c):
    D = c.dv.Dorvel
    d = D({"a.b": c.probe_str, "c": [("x", "y")]}, e="", f=5)
    d["name.first"] = "ann"
    d["name.last"] = c.probe_list
    d["name.first"], d.get("a.x"), d.get("name.first")
    "a.b" in d, "a.c" in d, "x.y" in d, d.has_key("f")
    d.all_keys(), d.all_items()
    d.setdefault("g.h", 1)
    d.pop("g.h")
    d.update(D({"a": {"z": 1}}))
    d.update({"k": 1}, m=D(n=1))
    del d["name.first"]
    d.__tclobj__()
    c.q.quoml(d), c.q.tclobj(d)
    D.from_tcl("{a b} {name {{first ann} {last lee}}} {e {}} {x.y z}")
    D.from_tcl(string=c.q.quoml(d))
    D.from_tcl(c.tk.call("list", ("a", "b")))
    d.name.last


@op("dorvel", "Dorvel")
def dorvel_errors(c):
    D = c.dv.Dorvel
    d = D(a="x", b=D(c=1))
    expect(KeyError, d.__setitem__, "a.b", 1)
    expect(KeyError, d.__setitem__, "a", D())
    expect(KeyError, d.__getitem__, "nope.x")
    expect(KeyError, d.__delitem__, "b.nope")
    expect(KeyError, d.pop, "nope")
    expect(KeyError, d.update, a=D(z=1))
    expect(TypeError, d.update, 1, 2)
    expect(ValueError, D.from_tcl, "a b c")
    expect(TclError, D.from_tcl, "{a b")
    expect((TypeError, ValueError), D, 5)
    expect(Boom, c.q.tclobj, D(k=RaisingTclobj()))
    expect(AttributeError, getattr, d, "nope")


# history -----------------------------------------------------------------------------------
@op("history", "History")
def history(c):
    H, E = c.hs.History, c.hs.Entry
    h = H(max_history=5)
    h.start_marker("m")
    h.append([c.probe_str, "x"])
    h.append("set x 1")
    h.start_marker("m")
    h.append(["set", "x", "a b"])
    h.end_marker("m")
    h.filter()
    h.filter("m", count=2, regex="^set")
    h.filter(count=0)
    h.disable()
    h.append("ignored")
    h.enable()
    str(h), repr(h)
    h.clear()
    h.clear("m")
    h.clear(clear_all=True)
    e = E(["a b", "c"])
    str(e), repr(e), e.api, e.words
    H(max_history=None).append("x")
    h.append(["#x", "a\r\x1a {", c.probe_str])
    h.script(), h.script("m")
    h.save(os.devnull)
    h.save(os.devnull, marker="m")


@op("history", "History")
def history_errors(c):
    H, E = c.hs.History, c.hs.Entry
    h = H(max_history=5)
    expect(Exception, h.filter, "nosuch")
    expect(KeyError, h.clear, "nosuch")
    expect(ValueError, h.end_marker, "nosuch")
    expect(TypeError, h.filter, None, None)
    expect(Exception, h.filter, None, 5, "(")
    expect(TypeError, E, [1, 2])
    expect(ValueError, H, -1)
    expect(TypeError, H, 1, 2)
    expect(Exception, h.script, "nosuch")
    expect(Exception, h.save, os.devnull, "nosuch")
    h.append(["set", "x", "1"])
    expect(IsADirectoryError, h.save, os.sep)
    h.append(["set", "x", "\ud800"])
    expect(UnicodeEncodeError, h.save, os.devnull)
    h.__history__[-1].words = ["not", "a", "tuple"]
    expect(TypeError, h.script)


# vix ---------------------------------------------------------------------------------------
@op("vix", "Vix")
def vix(c):
    v = c.vix
    v.set("::hl_q", c.probe_str)
    v.set("::hl_q", "1", cast_=False)
    v.list(1.5, [2, 3], cast_=False)
    v.list(1, [2, 3], opt="a b", flag=None)
    chain = v.ns.a.b
    str(chain), repr(chain)
    v.tcl, v.ns.cmd


@op("vix", "Vix")
def vix_errors(c):
    v = c.vix
    expect(TclError, v.nosuchproc, c.probe_str)
    expect(TclError, v)
    expect(TclError, v.error, "boom")
    expect(TypeError, c.vx.Vix_Code, "x")
    expect(TypeError, c.vx.Vix, weakref.proxy(c.tcl))
    expect(Boom, v.list, RaisingQuoml())


# -- the driver ---------------------------------------------------------------------------------
@pytest.fixture
def ctx(tcl):
    import trelmo.tcl as pkg

    c = types.SimpleNamespace()
    c.tcl, c.tk = tcl, tcl.tk
    c.q = sys.modules.get("trelmo.tcl.quoml") or __import__("trelmo.tcl.quoml", fromlist=["x"])
    for short, name in (("ns", "namespace"), ("dv", "dorvel"), ("hs", "history"), ("vx", "vix")):
        try:
            setattr(c, short, __import__("trelmo.tcl." + name, fromlist=["x"]))
        except ImportError:
            setattr(c, short, None)
    if c.hs is not None and hasattr(c.hs, "History"):
        tcl.__dict__["history"] = c.hs.History(max_history=10)
    c.vix = tcl.vix if c.vx is not None and hasattr(c.vx, "Vix") else None
    c.logger = logging.getLogger("trelmo.tcl.hardening")
    c.logger.addHandler(logging.NullHandler())
    c.logger.propagate = False
    c.probe_str = "".join(["pro", "be ", "{x"])  # not interned
    c.probe_list = [c.probe_str, 1, ["a b"]]
    c.probe_obj = Proto()
    c.probe_func = lambda *args: " ".join(args)
    c.big = 10**40
    c.cycle = self_list()
    c.probes = (c.probe_str, c.probe_list, c.probe_obj, c.probe_func, c.big)
    c.pkg = pkg
    yield c
    c.cycle.clear()


def _census():
    gc.collect()
    return (
        tracemalloc.get_traced_memory()[0],
        sys.getallocatedblocks(),
        len(gc.get_objects()),
    )


@pytest.mark.parametrize("operation", OPS)
def test_no_leak(operation, ctx):
    for _ in range(WARMUP):
        operation(ctx)
    tracemalloc.start()
    try:
        deltas = []
        refs = None
        for batch in range(BATCHES):
            before = _census()
            for _ in range(CALLS):
                operation(ctx)
            after = _census()
            deltas.append([a - b for a, b in zip(after, before)])
            now = [sys.getrefcount(p) for p in ctx.probes]
            if batch == 0:
                refs = now
    finally:
        tracemalloc.stop()
    # a leak of one object per call grows every batch by at least CALLS
    # blocks (and objects, when it is a container); the traced-memory bound
    # catches larger leaks that allocate few blocks
    memory, blocks, objects = (min(d[i] for d in deltas) for i in range(3))
    if PYMALLOC:
        assert memory < 32 * CALLS, ("traced memory grows", deltas)
        assert blocks < CALLS // 2, ("allocated blocks grow", deltas)
    assert objects < CALLS // 2, ("live objects grow", deltas)
    assert now == refs, "references to the arguments leak"
