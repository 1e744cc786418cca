// pyhelp.hpp -- header-only helpers over the CPython C API, shared by the five
// extension modules of trelmo.tcl.  Nothing here links against anything but
// libpython; every module includes it once.
//
// Rules of use (reference ownership):
//   * A raw PyObject* is always borrowed.
//   * Ref owns exactly one reference.  Ref::steal(p) takes over a new
//     reference, Ref::newref(p) increfs a borrowed one.  get() borrows,
//     release() hands the reference on.
//   * A function returning Ref returns a new reference; a function returning a
//     borrowed pointer ends in _borrowed; a function that consumes takes Ref&&.
//
// Errors cross one boundary.  Inside the modules a Python error is signalled
// by throwing PyErrSet after the error indicator has been set; entry<F>() at
// every method-table entry turns it into a NULL return (and std::bad_alloc
// into MemoryError), so nothing ever unwinds through a CPython frame.
#pragma once

#include "compat.hpp"
#include "quoml_capi.hpp"

#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace pyhelp {

// The Python error indicator is set; unwind to the nearest entry<F>().
struct PyErrSet {};

// ---------------------------------------------------------------------------
// Ref: owned, move-only reference.
// ---------------------------------------------------------------------------
class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref newref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// check(): turn a C-API failure return into PyErrSet.
inline PyObject* check(PyObject* p) {
    if (!p) throw PyErrSet{};
    return p;
}
inline int check(int r) {
    if (r < 0) throw PyErrSet{};
    return r;
}
inline Py_ssize_t check_size(Py_ssize_t r) {
    if (r < 0 && PyErr_Occurred()) throw PyErrSet{};
    return r;
}
// A new reference from a C-API call, checked.
inline Ref own(PyObject* p) { return Ref::steal(check(p)); }

// raise(): set an exception with a printf-style message and throw.
[[noreturn]] inline void raise(PyObject* exc, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyErr_FormatV(exc, fmt, va);
    va_end(va);
    throw PyErrSet{};
}
// raise_obj(): raise exc with one object argument (exc(arg)).
[[noreturn]] inline void raise_obj(PyObject* exc, PyObject* arg) {
    PyErr_SetObject(exc, arg);
    throw PyErrSet{};
}

// The one place where exceptions stop.
template <typename Fn>
inline PyObject* guarded(Fn&& fn) noexcept {
    try {
        return fn().release();
    } catch (const PyErrSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// Method-table entry points.  Implementations are
//   Ref impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
// (vectorcall convention, METH_FASTCALL | METH_KEYWORDS) or
//   Ref impl(PyObject* arg)                               (METH_O)
using FastImpl = Ref (*)(PyObject* const*, Py_ssize_t, PyObject*);
using OneImpl = Ref (*)(PyObject*);

template <FastImpl F>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] { return F(args, PyVectorcall_NARGS(nargs), kwnames); });
}
template <OneImpl F>
PyObject* entry_o(PyObject*, PyObject* arg) noexcept {
    return guarded([&] { return F(arg); });
}

// Method-table helpers: FASTCALL entry for a Ref(args, nargs, kwnames).
#define PYHELP_FAST(F) (PyCFunction)(void (*)(void))(&pyhelp::entry<F>), METH_FASTCALL | METH_KEYWORDS
#define PYHELP_O(F) (PyCFunction)(void (*)(void))(&pyhelp::entry_o<F>), METH_O

// ---------------------------------------------------------------------------
// Recursion guard around every C-to-C descent into a container.
// ---------------------------------------------------------------------------
class RecursionGuard {
  public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw PyErrSet{};
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// ---------------------------------------------------------------------------
// Interned names: one X-macro list per module, filled in one loop.
//
//   #define HISTORY_NAMES(X) X(log, "log") X(init_, "__init__") ...
//   struct Names { HISTORY_NAMES(PYHELP_NAME_FIELD) } S;
//   const InternEntry kNames[] = {HISTORY_NAMES(PYHELP_NAME_ENTRY)};
//   ... intern_all(kNames) at init.
//
// The list is the only place a string is written, so no text is interned
// under two names and no check is forgotten.
// ---------------------------------------------------------------------------
struct InternEntry {
    PyObject** slot;
    const char* text;
};
#define PYHELP_NAME_FIELD(id, text) PyObject* id = nullptr;
#define PYHELP_NAME_ENTRY(id, text) {&S.id, text},
#define PYHELP_NAME_ENUM(id, text) id,
#define PYHELP_NAME_SKIP(id, text)

template <std::size_t N>
inline void intern_all(const InternEntry (&table)[N]) {
    for (const auto& e : table) {
        if (*e.slot) continue;
        *e.slot = check(PyUnicode_InternFromString(e.text));
    }
}

// ---------------------------------------------------------------------------
// Optional attribute lookup: expected absence never builds an AttributeError.
// Returns 1 and fills out when found, 0 when absent; throws on other errors.
// ---------------------------------------------------------------------------
inline bool lookup_attr(PyObject* obj, PyObject* name, Ref& out) {
    PyObject* res = nullptr;
    int r = compat::get_optional_attr(obj, name, &res);
    if (r < 0) throw PyErrSet{};
    out = Ref::steal(res);
    return r > 0;
}

// ---------------------------------------------------------------------------
// Small call helpers (all return new references, throwing on error).
// ---------------------------------------------------------------------------
inline Ref call0(PyObject* f) { return own(PyObject_CallNoArgs(f)); }
inline Ref call1(PyObject* f, PyObject* a) { return own(PyObject_CallOneArg(f, a)); }
template <typename... A>
inline Ref calln(PyObject* f, A... a) {
    PyObject* argv[] = {nullptr, a...};
    return own(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// f(*args, **kwargs) with args a tuple (or nullptr) and kwargs a dict (or nullptr).
inline Ref call_tuple_dict(PyObject* f, PyObject* args, PyObject* kwargs) {
    if (!args) {
        Ref empty = own(PyTuple_New(0));
        return own(PyObject_Call(f, empty.get(), kwargs));
    }
    return own(PyObject_Call(f, args, kwargs));
}
template <typename... A>
inline Ref call_method(PyObject* obj, PyObject* name, A... a) {
    Ref f = own(PyObject_GetAttr(obj, name));
    return calln(f.get(), a...);
}
inline Ref getattr(PyObject* obj, PyObject* name) { return own(PyObject_GetAttr(obj, name)); }
inline Ref getattr(PyObject* obj, const char* name) { return own(PyObject_GetAttrString(obj, name)); }
inline void setattr(PyObject* obj, PyObject* name, PyObject* v) { check(PyObject_SetAttr(obj, name, v)); }
inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }
inline Ref import(const char* name) { return own(PyImport_ImportModule(name)); }
inline Ref import_from(const char* module, const char* name) {
    Ref m = import(module);
    return getattr(m.get(), name);
}
// Relative import "from .<module> import <name>" for a module inside package.
inline Ref import_sibling(const char* package, const char* module, const char* name) {
    Ref globals = own(Py_BuildValue("{s:s}", "__package__", package));
    Ref fromlist = own(Py_BuildValue("(s)", name));
    Ref m = own(PyImport_ImportModuleLevel(module, globals.get(), nullptr, fromlist.get(), 1));
    return getattr(m.get(), name);
}
inline Ref str(PyObject* o) { return own(PyObject_Str(o)); }
inline Ref from_utf8(const char* s) { return own(PyUnicode_FromString(s)); }
inline Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref t = own(PyTuple_New((Py_ssize_t)items.size()));
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    return t;
}
inline Ref none() { return Ref::newref(Py_None); }
inline Ref boolean(bool b) { return Ref::newref(b ? Py_True : Py_False); }

// The value of a module-level name read from the module namespace `dict`, as
// a function of that module finds it (borrowed; NameError when unbound).
inline PyObject* module_global_borrowed(PyObject* dict, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw PyErrSet{};
    }
    return v;
}

// ---------------------------------------------------------------------------
// Module initialisation (single phase), shared by every module:
//
//   PyModuleDef module_def = module_def_of(kModuleName, kModuleDoc);
//   Ref init_module() {
//       Ref m = new_module(&module_def, kNames);
//       add_object(m.get(), "deque", import_from("collections", "deque").get());
//       ...
//   }
//   PYHELP_MODULE_INIT(history, init_module)
// ---------------------------------------------------------------------------
inline PyModuleDef module_def_of(const char* name, const char* doc) {
    return PyModuleDef{PyModuleDef_HEAD_INIT, name, doc, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
}
// The interned names, then the module object.
template <std::size_t N>
inline Ref new_module(PyModuleDef* def, const InternEntry (&names)[N]) {
    intern_all(names);
    return own(PyModule_Create(def));
}
// The same for a module whose state keeps its __dict__ (module-level names are
// read there at call time) and an empty argument tuple.
template <typename State, std::size_t N>
inline Ref new_module(PyModuleDef* def, const InternEntry (&names)[N], State& state) {
    Ref m = new_module(def, names);
    state.dict = Py_NewRef(PyModule_GetDict(m.get()));
    state.no_args = own(PyTuple_New(0)).release();
    return m;
}
// m.<name> = value (the module keeps its own reference).
inline void add_object(PyObject* m, const char* name, PyObject* value) { check(PyModule_AddObjectRef(m, name, value)); }
// The same for a value just made, which is handed back for further use.
inline Ref add_object(PyObject* m, const char* name, Ref&& value) {
    add_object(m, name, value.get());
    return std::move(value);
}

// The one switch for every fast path: TRELMO_TCL_NO_FAST_PATHS set to a
// non-empty value other than "0" when a module is imported makes that module
// take the plain way everywhere (every guard answers "not the loaded object").
// The suite runs both ways; each module reads the switch once, at its import.
inline bool g_fast_paths = true;
inline void read_fast_path_switch() noexcept {
    const char* v = std::getenv("TRELMO_TCL_NO_FAST_PATHS");
    g_fast_paths = !(v && *v && std::strcmp(v, "0") != 0);
}
inline bool fast_paths() noexcept { return g_fast_paths; }

#define PYHELP_MODULE_INIT(name, init)                               \
    TRELMO_MODINIT PyInit_##name() {                                 \
        pyhelp::read_fast_path_switch();                             \
        return pyhelp::guarded([] { return init(); });               \
    }

// Catch a Python exception by class, the way `except E:` does.  Returns true
// (and clears the indicator) when the pending error matches; otherwise
// rethrows PyErrSet untouched.  Use inside `catch (const PyErrSet&)`.
inline bool caught(PyObject* exc_class) {
    if (!PyErr_ExceptionMatches(exc_class)) return false;
    PyErr_Clear();
    return true;
}

// Fetch the pending exception as an owned value (3.12's single-object form;
// older versions normalise the triple).
inline Ref fetch_exception() { return Ref::steal(compat::take_exception()); }
// Re-raise an exception object taken with fetch_exception(), unchanged.
[[noreturn]] inline void reraise(Ref&& exc) {
    compat::restore_exception(exc.release());
    throw PyErrSet{};
}
// Raise exc_class(arg) while handling `caught` (an exception object taken with
// fetch_exception()), as Python's `raise exc_class(arg) from caught` does, or,
// with from_none, as `raise exc_class(arg) from None`: the context is recorded
// either way, the cause only in the first form.
[[noreturn]] inline void raise_from(PyObject* exc_class, PyObject* arg, PyObject* caught, bool from_none) {
    Ref exc = call1(exc_class, arg);
    if (caught) PyException_SetContext(exc.get(), Py_NewRef(caught));
    // SetCause steals its argument and sets __suppress_context__.
    PyException_SetCause(exc.get(), from_none || !caught ? nullptr : Py_NewRef(caught));
    PyErr_SetObject((PyObject*)Py_TYPE(exc.get()), exc.get());
    throw PyErrSet{};
}

// ---------------------------------------------------------------------------
// Argument parsing with the wording of Python functions.
//
// Signature describes `def name(p0, p1=..., *args, k0, k1=..., **kwargs)`:
// params lists the positional-or-keyword names (self included for methods)
// followed by the keyword-only names.  parse() fills out[i] with borrowed
// references (nullptr where omitted: the caller applies the default),
// collects surplus positionals into *star and surplus keywords into *starstar
// when the signature has them.
// ---------------------------------------------------------------------------
struct Signature {
    const char* name;      // bare name, as CPython 3.8/3.9 print it
    const char* qualname;  // qualified name, as CPython 3.10+ print it
    std::vector<const char*> params;
    int npos;        // positional-or-keyword parameters
    int nrequired;   // of which the leading ones are required
    int nkwonly_required = 0;  // leading keyword-only parameters that are required
    bool varargs = false;
    bool varkw = false;
};

inline const char* sig_name(const Signature& s) { return compat::kQualifiedArgErrors ? s.qualname : s.name; }

inline std::string quote_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

struct Parsed {
    std::vector<PyObject*> v;  // borrowed, nullptr when omitted
    Ref star;                  // tuple when the signature has *args
    Ref starstar;              // dict when the signature has **kwargs
    PyObject* operator[](std::size_t i) const { return v[i]; }
    PyObject* get(std::size_t i, PyObject* dflt) const { return v[i] ? v[i] : dflt; }
};

inline Parsed parse(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p;
    const int ntotal = (int)s.params.size();
    p.v.assign(ntotal, nullptr);
    const char* fname = sig_name(s);
    Py_ssize_t npos_given = nargs < s.npos ? nargs : s.npos;
    if (nargs > s.npos && !s.varargs) {
        int ndefault = s.npos - s.nrequired;
        if (ndefault > 0)
            raise(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given", fname,
                  s.nrequired, s.npos, nargs, nargs == 1 ? "was" : "were");
        raise(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", fname, s.npos,
              s.npos == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    }
    for (Py_ssize_t i = 0; i < npos_given; ++i) p.v[i] = args[i];
    if (s.varargs) {
        Py_ssize_t extra = nargs > s.npos ? nargs - s.npos : 0;
        p.star = own(PyTuple_New(extra));
        for (Py_ssize_t i = 0; i < extra; ++i) PyTuple_SET_ITEM(p.star.get(), i, Py_NewRef(args[s.npos + i]));
    }
    if (s.varkw) p.starstar = own(PyDict_New());
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* val = args[nargs + k];
            int found = -1;
            for (int i = 0; i < ntotal; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, s.params[i]) == 0) {
                    found = i;
                    break;
                }
            }
            if (found >= 0) {
                if (p.v[found]) raise(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, s.params[found]);
                p.v[found] = val;
            } else if (s.varkw) {
                check(PyDict_SetItem(p.starstar.get(), key, val));
            } else {
                raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
            }
        }
    }
    std::vector<const char*> missing;
    for (int i = 0; i < s.nrequired; ++i)
        if (!p.v[i]) missing.push_back(s.params[i]);
    if (!missing.empty())
        raise(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", fname, (int)missing.size(),
              missing.size() == 1 ? "" : "s", quote_list(missing).c_str());
    for (int i = s.npos; i < s.npos + s.nkwonly_required; ++i)
        if (!p.v[i]) missing.push_back(s.params[i]);
    if (!missing.empty())
        raise(PyExc_TypeError, "%s() missing %d required keyword-only argument%s: %s", fname, (int)missing.size(),
              missing.size() == 1 ? "" : "s", quote_list(missing).c_str());
    return p;
}

// The arguments of a call with N parameters and no *args/**kwargs, borrowed,
// nullptr where omitted.  A call passing exactly the positional parameters
// (the common case) is taken as it is; anything else goes through parse(),
// with its checks and error wording.
template <std::size_t N>
struct Fixed {
    PyObject* a[N] = {};
    Fixed(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        if (!kwnames && nargs >= sig.nrequired && nargs <= sig.npos) {
            for (Py_ssize_t i = 0; i < nargs && i < (Py_ssize_t)N; ++i) a[i] = args[i];
            return;
        }
        Parsed p = parse(sig, args, nargs, kwnames);
        for (std::size_t i = 0; i < N && i < p.v.size(); ++i) a[i] = p.v[i];
    }
    PyObject* operator[](std::size_t i) const { return a[i]; }
};

template <std::size_t N, typename F, std::size_t... I>
inline Ref apply_fixed(const Fixed<N>& f, F&& fn, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<decltype(fn(f[I]...))>) {
        fn(f[I]...);
        return Ref::newref(Py_None);
    } else {
        return fn(f[I]...);
    }
}
// fn(a0, ..., aN-1) with the N arguments of a call to a function of
// signature sig (see Fixed); None when fn returns nothing.
template <std::size_t N, typename F>
inline Ref call_fixed(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, F&& fn) {
    Fixed<N> f(sig, args, nargs, kwnames);
    return apply_fixed(f, std::forward<F>(fn), std::make_index_sequence<N>{});
}
// A method-table implementation for Impl(a0, ..., aN-1) with signature Sig:
// PYHELP_FAST((fixed_method<kSig, impl, 2>)).
template <const Signature& Sig, auto Impl, std::size_t N>
Ref fixed_method(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_fixed<N>(Sig, args, nargs, kwnames, Impl);
}

// ---------------------------------------------------------------------------
// Class builder: ordinary Python classes whose methods are C++ functions.
// ---------------------------------------------------------------------------
enum class Kind { Instance, Static, Class, Plain };

struct MethodSpec {
    PyMethodDef def;  // must have static storage duration
    Kind kind;
};

// The class-namespace form of an instance method is the package's one
// method type, trelmo.tcl.instancemethod, made by the quoml module and shared
// through its capsule (see quoml.cpp): method_new(func) makes one.
inline Ref method_new(PyObject* func) {
    const QuomlCAPI* capi = quoml_capi_import();
    if (!capi) throw PyErrSet{};
    return call1(reinterpret_cast<PyObject*>(capi->method_type), func);
}

// Turn one spec into the object stored in the class namespace.
inline Ref make_member(PyMethodDef* def, Kind kind, PyObject* modname) {
    Ref fn = own(PyCFunction_NewEx(def, nullptr, modname));
    switch (kind) {
        case Kind::Instance:
            return method_new(fn.get());
        case Kind::Static:
            return own(PyStaticMethod_New(fn.get()));
        case Kind::Class:
            return own(PyClassMethod_New(fn.get()));
        case Kind::Plain:
        default:
            return fn;
    }
}

// make_class(meta, name, qualname, bases, defs, ns): fills ns (a dict, may
// already hold nested classes and attributes) with __module__, __qualname__,
// __doc__ and the methods, then calls meta(name, bases, ns).
template <std::size_t N>
inline Ref make_class(PyObject* meta, const char* name, const char* qualname, PyObject* bases, MethodSpec (&defs)[N],
                      PyObject* ns, PyObject* modname, const char* doc = nullptr) {
    Ref qn = from_utf8(qualname);
    check(PyDict_SetItemString(ns, "__module__", modname));
    check(PyDict_SetItemString(ns, "__qualname__", qn.get()));
    if (doc) {
        Ref d = from_utf8(doc);
        check(PyDict_SetItemString(ns, "__doc__", d.get()));
    }
    for (auto& spec : defs) {
        Ref member = make_member(&spec.def, spec.kind, modname);
        check(PyDict_SetItemString(ns, spec.def.ml_name, member.get()));
    }
    Ref n = from_utf8(name);
    return calln(meta, n.get(), bases, ns);
}

}  // namespace pyhelp

// ---------------------------------------------------------------------------
// Strings, method calls, weak references.
// ---------------------------------------------------------------------------
namespace pyhelp {

// Make sure a str has its canonical representation before PyUnicode_KIND /
// PyUnicode_DATA are used on it.
inline void unicode_ready(PyObject* u) { check(compat::unicode_ready(u)); }

// argv[0].<name>(*argv[1:nargs], **kw) with the keyword values after the
// positionals and their names in kwnames, as in vectorcall.  Skips the bound
// method object where the C API allows it.
inline Ref call_method_vc(PyObject* name, PyObject* const* argv, std::size_t nargs, PyObject* kwnames) {
    return own(compat::vectorcall_method(name, argv, nargs, kwnames));
}
// obj.name() and obj.name(arg), without building a bound method where the
// version allows it.
inline Ref call_method0(PyObject* obj, PyObject* name) {
    PyObject* argv[] = {obj};
    return call_method_vc(name, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
inline Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
    PyObject* argv[] = {obj, arg};
    return call_method_vc(name, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// A tuple of new references to items[0:n].
inline Ref tuple_from(PyObject* const* items, Py_ssize_t n) {
    Ref t = own(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(items[i]));
    return t;
}

// getattr(super(cls, self), name, None): an empty Ref when absent.
inline Ref super_attr(PyObject* cls, PyObject* self, PyObject* name) {
    Ref sup = calln((PyObject*)&PySuper_Type, cls, self);
    Ref out;
    lookup_attr(sup.get(), name, out);
    return out;
}

// Text the bridge cannot encode (a lone surrogate outside U+DC80..U+DCFF,
// the range its "surrogateescape" encoding carries) is refused with the error
// the bridge raises for such an argument.  The bridge converts the items of a
// tuple, and the value of an array element, without checking the
// conversion, so such text there would crash the process instead.  The same
// holds for an object the bridge can only turn into text through str(): its
// str() is tried here, and an error it raises propagates (the object itself
// still goes to the bridge).  What the bridge converts by itself passes.
inline void refuse_uncarryable(PyObject* item) {
    if (!PyUnicode_Check(item)) {
        if (PyBytes_Check(item) || PyBool_Check(item) || PyLong_CheckExact(item) || PyFloat_Check(item) ||
            PyTuple_Check(item) || PyList_Check(item) || std::strcmp(Py_TYPE(item)->tp_name, "_tkinter.Tcl_Obj") == 0)
            return;
        Ref text = own(PyObject_Str(item));  // CAUTION: may run arbitrary Python code
        if (PyUnicode_Check(text.get())) refuse_uncarryable(text.get());
        return;
    }
    unicode_ready(item);
    const int kind = PyUnicode_KIND(item);
    if (kind == PyUnicode_1BYTE_KIND) return;
    const void* data = PyUnicode_DATA(item);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(item);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch >= 0xD800 && ch <= 0xDFFF && !(ch >= 0xDC80 && ch <= 0xDCFF)) {
            own(PyUnicode_AsEncodedString(item, "utf-8", "surrogateescape"));  // raises UnicodeEncodeError
            raise(PyExc_UnicodeError, "text with a lone surrogate cannot go to Tcl");
        }
    }
}

// The object a weak reference or weak proxy points to (a new reference);
// ReferenceError, worded as a dead proxy words it, once the object is gone.
// Getting an attribute through a proxy is exactly getting it on this object.
inline Ref weak_target(PyObject* ref) {
    PyObject* obj = compat::weak_get(ref);
    if (obj) return Ref::steal(obj);
    if (PyErr_Occurred()) throw PyErrSet{};
    PyErr_SetString(PyExc_ReferenceError, "weakly-referenced object no longer exists");
    throw PyErrSet{};
}

}  // namespace pyhelp

// ---------------------------------------------------------------------------
// Added for the history and vix modules: raising inside a handler.
// ---------------------------------------------------------------------------
namespace pyhelp {

// While one of these lives, `caught` is the exception being handled, as inside
// an `except` block: an exception raised meanwhile (by C code, or by Python
// code called from here) gets `caught` as its __context__, exactly as Python
// chains implicitly, whatever exception an enclosing handler of the caller is
// handling.  That one comes back when the scope ends.
class Handling {
  public:
    explicit Handling(PyObject* caught) {
        PyErr_GetExcInfo(&type_, &value_, &tb_);
        PyErr_SetExcInfo(Py_NewRef((PyObject*)Py_TYPE(caught)), Py_NewRef(caught), PyException_GetTraceback(caught));
    }
    ~Handling() { PyErr_SetExcInfo(type_, value_, tb_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

  private:
    PyObject *type_, *value_, *tb_;
};

// `raise exc` for an exception instance (its cause and context flags kept).
[[noreturn]] inline void raise_instance(PyObject* exc) {
    PyErr_SetObject((PyObject*)Py_TYPE(exc), exc);
    throw PyErrSet{};
}

}  // namespace pyhelp
