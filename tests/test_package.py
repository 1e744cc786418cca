"""The package layer: the trelmo.tcl module object and its default
interpreter, loading Tcl packages through package_require, and the check that
keeps new global state out of the extension modules."""

import importlib.util
import os
import re
import subprocess
import sys
import textwrap

import pytest

import trelmo.tcl
import trelmo.tcl.namespace as nsmod
from trelmo.tcl.namespace import TclCommand, TclVariable


def test_default_and_proxied_interpreters(tcl):
    import weakref

    import trelmo.tcl as pkg

    assert TclCommand("set").tcl.__repr__.__self__ is pkg  # the package module, through a proxy
    proxy = weakref.proxy(tcl)
    assert TclCommand("set", tcl=proxy).tcl is proxy

def test_default_interpreter():
    v = TclVariable("::trelmo_default_probe")
    assert v.tcl.__name__ == "trelmo.tcl"  # a proxy of the package module
    v.set("hi")
    assert trelmo.tcl.vars["::trelmo_default_probe"] == "hi"
    v.unset()

def test_default_interpreter_quick_calls():
    code = """
        import trelmo.tcl
        assert trelmo.tcl.vix.set('x', 1) == 1
        assert trelmo.tcl.tk.getvar('x') == '1'
        assert trelmo.tcl.history.filter()[-1].api == 'set x 1'
        import trelmo.tcl.vix, trelmo.tcl.history
        assert type(trelmo.tcl.vix).__name__ == 'Vix'
        print('ok')
    """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    assert out.stdout.strip() == "ok", out.stderr


# -- loading Tcl packages ------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [(("json",), {}), (("json", "1.0"), {}), (("json", "1-"), {}), (("Tclx",), {}), (("struct::set", "2"), {"exact": False})],
)
def test_package_require_returns_the_version_tcl_loaded(tcl, args, kwargs):
    version = tcl.package_require(*args, **kwargs)
    assert type(version) is str and version == tcl.tk.eval("package present %s" % args[0])
    assert tcl.package_require(args[0], version, exact=True) == version  # loaded once, same answer
    with pytest.raises(nsmod.TclError) as info:
        tcl.package_require(args[0], "99")
    assert str(info.value) == 'version conflict for package "%s": have %s, need 99' % (args[0], version)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("nosuch_pkg",), {}, "can't find package nosuch_pkg"),
        (("nosuch_pkg", "1.2"), {}, "can't find package nosuch_pkg 1.2"),
        (("json", "99"), {}, "can't find package json 99"),
        (("json", "1.0"), {"exact": True}, "can't find package json exactly 1.0"),
        (("a b {",), {}, "can't find package a b {"),
    ],
)
def test_package_require_errors_come_from_tcl(tcl, rec, args, kwargs, message):
    with pytest.raises(nsmod.TclError) as info:
        tcl.package_require(*args, **kwargs)
    assert re.fullmatch(re.escape(message).replace(r"\*", ".*"), str(info.value))
    # One command with the name as one word: nothing is re-parsed by Tcl.
    assert rec.sent[-1][0] == "call" and args[0] in rec.sent[-1][1]


def test_package_require_exact_needs_a_version(tcl, rec):
    with pytest.raises(ValueError):
        tcl.package_require("json", exact=True)
    assert rec.sent == []


def test_package_require_on_the_default_interpreter():
    import trelmo.tcl

    assert trelmo.tcl.package_require("csv") == trelmo.tcl.tk.eval("package present csv")


# -- no new global state in the extension modules -------------------------------------------

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHECK_GLOBALS = os.path.join(ROOT, "tools", "check-globals.py")
need_sources = pytest.mark.skipif(
    not os.path.isdir(os.path.join(ROOT, "src", "ext")) or not os.path.exists(CHECK_GLOBALS),
    reason="the C++ sources are not next to the tests (an installed package is being tested)",
)


def _check_globals():
    found = importlib.util.spec_from_file_location("check_globals", CHECK_GLOBALS)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@need_sources
def test_every_mutable_global_is_in_the_allowlist():
    child = subprocess.run([sys.executable, CHECK_GLOBALS], capture_output=True, text=True)
    assert child.returncode == 0, child.stdout + child.stderr


# C++ the reader must get right: (source, the mutable statics it lists).
GLOBALS_CASES = [
    ("int a = 1; const int b = 2; constexpr int c = 3; static int d;", {"a", "d"}),
    ("const char* p = \"x\"; const char* const q = \"y\"; char* const r = nullptr; int *s, t, u[3];", {"p", "s", "t", "u"}),
    ("inline bool g_on = true; inline constexpr int k = 1; extern int elsewhere; extern int defined = 1;",
     {"g_on", "defined"}),
    ("static PyMethodDef methods[] = {{\"f\", f, METH_O, \"x; y {\"}, {nullptr}}; PyModuleDef def = {1, 2};",
     {"methods", "def"}),
    ("// int commented = 1;\n/* int block = 2; */ const char* s = R\"(int raw = 3; })\"; char c = '{';",
     {"s", "c"}),
    ("namespace a { namespace { int x; } namespace b::c { std::map<int, std::pair<int, int>> m, n; } }",
     {"a::x", "a::b::c::m", "a::b::c::n"}),
    ("struct S { int field; static int count; static constexpr int k = 1; static int f(); struct In { static int y; }; };"
     " int S::count = 0; struct { int a; } anon; struct S named; struct Fwd; enum class E { a, b } e;",
     {"S::count", "S::In::y", "anon", "named", "e"}),
    ("template <typename T> struct Memo { static T* last; }; template <typename T> T* Memo<T>::last = nullptr;"
     " template <class T> inline T g_tmpl{}; template <class T> T twice(T v) { static T seen; return v + v; }",
     {"Memo::last", "g_tmpl", "twice::seen"}),
    ("PyObject* f(PyObject* self, int n = 0); Ref g(std::initializer_list<PyObject*> head, PyObject* rest = nullptr);"
     " Foo made(\"text\", 2); Foo vexing(); int (*hook)(int) = nullptr; using Fn = int (*)(int); typedef int T;",
     {"made", "hook"}),
    ("#define NAMES(X) X(a) X(b)\n#define FIELD(n) PyObject* n = nullptr;\nstruct Names { NAMES(FIELD) } S;\n"
     "NAMES(DECLARE)\nint after_macro = 0;", {"S", "after_macro"}),
    ("PyObject* get(PyObject* o) noexcept {\n  static PyObject* name = intern(\"x\");\n"
     "  static const int limit = 3;\n  static thread_local int depth;\n  auto l = [] { static int inner; };\n"
     "  if (o) { static Memo m{}; }\n  return static_cast<PyObject*>(nullptr);\n}", {"get::name", "get::depth",
                                                                                        "get::inner", "get::m"}),
    ("struct C { C() : a{1}, b(2) { static int in_ctor; } int a, b; bool operator<(const C&) const { return true; } };"
     " PyTypeObject T = [] { static PyType_Slot slots[] = {{0, nullptr}}; PyTypeObject t{}; return t; }();",
     {"C::C::in_ctor", "T", "T::slots"}),
    ("extern \"C\" { int c_global; PyObject* PyInit_x(void); }\nTRELMO_MODINIT PyInit_y(void) { return nullptr; }",
     {"c_global"}),
]


@need_sources
@pytest.mark.parametrize("source, expected", GLOBALS_CASES)
def test_global_reader_finds_mutable_statics(source, expected):
    assert {f.name for f in _check_globals().scan_text(source)} == expected


@need_sources
def test_global_reader_update_keeps_reasons_and_drops_the_gone(tmp_path):
    cg = _check_globals()
    (tmp_path / "src" / "ext").mkdir(parents=True)
    (tmp_path / "src" / "ext" / "m.cpp").write_text("int kept = 0;\nint added = 0;\n")
    allow = tmp_path / "allow.txt"
    allow.write_text("src/ext/m.cpp:kept  # why it stays\nsrc/ext/m.cpp:gone  # removed since\n")
    assert cg.main(["--root", str(tmp_path), "--allowlist", str(allow)]) == 1  # `added` is new
    assert cg.main(["--root", str(tmp_path), "--allowlist", str(allow), "--update"]) == 0
    entries = cg.read_allowlist(str(allow))
    assert entries["src/ext/m.cpp:kept"] == "# why it stays" and "src/ext/m.cpp:gone" not in entries
    assert entries["src/ext/m.cpp:added"] == cg.PLACEHOLDER
    assert cg.main(["--root", str(tmp_path), "--allowlist", str(allow)]) == 0
