// internal.hpp -- what the translation units of the namespace module share.
//
// The module trelmo.tcl.namespace is built from four units that include this
// header and nothing of one another:
//   module.cpp     module state, the interned names, the helpers every part
//                  uses (conversions through the module-level quoml/tclobj,
//                  interpreter binding, temporary names, super() calls, the
//                  lazy names iterator of the views), init and PyInit last;
//   names.cpp      the algebra of qualified Tcl names, TclNamespace and
//                  TempTclNamespace;
//   variables.cpp  TclVariable, TempTclVariable, TclArrayVariable,
//                  TempTclArrayVariable, TclNamespace.VariablesView and
//                  TclNamespace.ObjectsView;
//   commands.cpp   TclCommand, TempTclCommand, the conversion of call words,
//                  TclNamespace.CommandsView and TclNamespace.ProcsView.
// Everything declared here lives in namespace trelmo_ns; each unit keeps its
// own helpers in an anonymous namespace.
#pragma once

#include "guard.hpp"
#include "pyhelp.hpp"
#include "quoml_capi.hpp"
#include "tclerror.hpp"

#include <cstring>
#include <initializer_list>

// Every string the module interns, once: X(name) for a name whose text is
// itself, T(name, "text") for any other text.
#define TRELMO_NS_NAMES(X, T) \
    X(quoml) X(tclobj) X(tk) X(call) X(eval) X(tcl) X(ns) X(format) X(cls) X(id) X(cast_list) \
    X(cast_boolean) X(cast_array) T(dunder_name, "__name__") T(trelmo_tcl, "trelmo.tcl") \
    T(namespace_, "namespace") X(current) X(children) T(delete_, "delete") X(exists) T(export_, "export") \
    T(opt_clear, "-clear") X(forget) T(import_, "import") T(opt_force, "-force") X(parent) X(which) \
    T(opt_command, "-command") T(opt_variable, "-variable") X(code) X(origin) T(sep, "::") T(empty, "") \
    T(dunder_enter, "__enter__") T(dunder_exit, "__exit__") X(create) X(is_absolute) X(absolute) \
    X(startswith) X(join) X(normalize) T(temp_template, "::__trelmo__{cls}_{id}_tmp") X(VariablesView) \
    X(ObjectsView) X(ProcsView) X(CommandsView) X(vars) X(objs) X(procs) X(cmds) X(var_name) X(cast) \
    X(getvar) X(setvar) X(unsetvar) X(get) X(get_obj) X(get_str) X(set) X(unset) X(array_get) \
    X(array_get_obj) X(array_get_str) X(array_set) X(array_unset) X(array_size) X(array_names) X(is_array) \
    X(byref) T(dunder_init, "__init__") X(array_index) X(nocomplain) X(pattern) X(var_type) \
    T(marker, "_TclVariable__marker") T(dunder_class, "__class__") T(info_cmd, "::info") \
    T(array_cmd, "::array") X(size) X(names) T(sep_star, "::*") T(dunder_str, "__str__") \
    T(dunder_quoml, "__quoml__") T(dunder_tclobj, "__tclobj__") T(dunder_qualname, "__qualname__") \
    T(dunder_iter, "__iter__") T(dunder_getattribute, "__getattribute__") X(cmd_name) X(args) X(keywords) X(logger) X(info) X(build_tclcmd) \
    X(kwargs_to_dashed_args) X(createcommand) X(is_proc) X(rename) X(copy) X(items) T(dunder_del, "__del__") \
    T(dunder_call, "__call__") T(dunder_wrapped, "__wrapped__") X(proc_body) X(proc_args) \
    X(proc_arg_default) X(self) T(calling_fmt, "Calling: {}") T(dash, "-") X(commands) \
    T(rename_cmd, "::rename") T(namespace_cmd, "::namespace") X(body) T(default_, "default") X(proxy) \
    X(ProxyTypes) X(update_wrapper) X(flags) X(optimize) X(TclVariable) X(TempTclVariable) \
    X(TclArrayVariable) X(TempTclArrayVariable) X(TclCommand) X(TempTclCommand) X(TclNamespace) \
    X(TempTclNamespace) T(register_command, "_register_command") T(command_renamed, "_command_renamed") \
    T(eval_cmd, "::eval") T(string_cat_open, "::string cat [") T(string_cat_close, "\n] .") X(string) \
    T(apply_cmd, "::apply") X(cast_dict) X(Interpreter) T(thread_interpreter, "_thread_interpreter") \
    T(existing_vars, "{p} {lmap n [::info vars $p] {if {[::info exists $n]} {set n} else continue}}")

namespace trelmo_ns {

using namespace pyhelp;

// ---------------------------------------------------------------------------
// Module state: imports bound at init, and the classes once they are made.
// All pointers are owned references kept for the life of the process.
// ---------------------------------------------------------------------------
struct State {  // one global instance, zero-initialised
    PyObject* module;  // the module itself (borrowed)
    PyObject* dict;    // its __dict__ (borrowed): module-level names are read here at call time
    PyObject* modname;  // "trelmo.tcl.namespace", the __module__ of the classes
    const QuomlCAPI* capi;
    bool asserts;      // assert statements run (not python -O)

    // imports, in the order the module binds them
    PyObject *MutableMapping, *TclError, *Tk, *MethodType, *weakref, *sys, *functools;
    // the bridge's application type (_tkinter.TkappType), not bound in the module
    PyObject* TkappType;
    // derived from the imports: weakref.proxy, weakref.ProxyTypes (a tuple),
    // functools.update_wrapper
    PyObject *weakref_proxy, *ProxyTypes, *update_wrapper;

    // classes, in creation order
    PyObject *TclVariable, *TempTclVariable, *TclArrayVariable, *TempTclArrayVariable;
    PyObject *TclCommand, *TempTclCommand, *TclNamespace, *TempTclNamespace;
};
extern State M;

// The interned names, filled once at init.
struct Names {
#define TRELMO_NS_FIELD(name) PyObject* name = nullptr;
#define TRELMO_NS_FIELD_T(name, text) PyObject* name = nullptr;
    TRELMO_NS_NAMES(TRELMO_NS_FIELD, TRELMO_NS_FIELD_T)
#undef TRELMO_NS_FIELD
#undef TRELMO_NS_FIELD_T
};
extern Names S;

// ---------------------------------------------------------------------------
// Calls and tuples.
// ---------------------------------------------------------------------------

// obj.<name>(a0, a1, ...) for two or more arguments (pyhelp's call_method0
// and call_method1 for fewer), without a bound-method object where the
// runtime allows it.
template <typename... A>
inline Ref invoke(PyObject* obj, PyObject* name, PyObject* a0, PyObject* a1, A... more) {
    PyObject* argv[] = {obj, a0, a1, more...};
    return call_method_vc(name, argv, (3 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
// argv[0].<name>(*argv[1:], **kw) over n vectorcall slots (keyword values
// last, their names in kwnames).
inline Ref invoke_kw(PyObject* name, PyObject* const* argv, std::size_t n, PyObject* kwnames) {
    std::size_t nkw = kwnames ? (std::size_t)PyTuple_GET_SIZE(kwnames) : 0;
    return call_method_vc(name, argv, n - nkw, kwnames);
}

// parse() with a positional-only fast path: out[i] borrowed, nullptr where
// omitted.
template <std::size_t N>
inline void parse_into(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject* (&out)[N]) {
    if (!kwnames && nargs >= s.nrequired && nargs <= s.npos) {
        for (std::size_t i = 0; i < N; ++i) out[i] = (Py_ssize_t)i < nargs ? args[i] : nullptr;
        return;
    }
    Parsed p = parse(s, args, nargs, kwnames);
    for (std::size_t i = 0; i < N; ++i) out[i] = i < p.v.size() ? p.v[i] : nullptr;
}
// The one argument of a one-parameter signature (self, or a static method's).
inline PyObject* sole_arg(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 1 && !kwnames) return args[0];
    return parse(s, args, nargs, kwnames)[0];
}
inline PyObject* or_none(PyObject* o) { return o ? o : Py_None; }

// The tuple head + rest[0:nrest].
Ref tuple_join(std::initializer_list<PyObject*> head, PyObject* const* rest = nullptr, Py_ssize_t nrest = 0);
// The tuple head + tail, tail a tuple.
Ref tuple_join(std::initializer_list<PyObject*> head, PyObject* tail);

// ---------------------------------------------------------------------------
// Conversions through the module-level names quoml and tclobj, looked up at
// call time, so rebinding trelmo.tcl.namespace.quoml changes later
// conversions.  While the name is still the quoml module's own function, its
// C entry point is called.
// ---------------------------------------------------------------------------
Ref to_quoml(PyObject* o);
Ref to_tclobj(PyObject* o);
// Whether the module-level quoml (tclobj) is still the quoml module's own
// function, so that quoml of an exact str is known to be that str.
bool quoml_is_own();
bool tclobj_is_own();

// Conversion state of one call: whether quoml_names_hold() is known to be true
// (1), false (0), or must be asked again because Python code may have run (-1).
struct Conv {
    int names = -1;
    bool ran_python = false;  // anything beyond the scalar shortcut happened
};
// Whether this module's `tclobj` is quoml's and the quoml names that decide
// tclobj() of a tuple of scalars are still bound as they were at load time.
bool quoml_names_hold();
// tclobj() of one item (see commands.cpp).
Ref tclobj_item(PyObject* e, Conv& cv, bool in_sequence);
// to_tclobj(o) for one value, without the module dictionary lookups while
// quoml's names hold.
Ref tclobj_value(PyObject* o);

// ---------------------------------------------------------------------------
// Handles and their interpreter.
// ---------------------------------------------------------------------------

// The interpreter object a handle stores: the package module trelmo.tcl
// (imported now) when tcl is false, then weakref.proxy(tcl) unless type(tcl)
// is already one of weakref.ProxyTypes.
Ref bind_interp(PyObject* tcl);
// The interpreter object itself: the target of a weak proxy, else tcl.
Ref look_through(PyObject* tcl);
// tcl.tk of an interpreter object, a weak proxy looked through.
Ref tk_from(PyObject* tcl);
// tk.call(words).
Ref tk_call(PyObject* tk, PyObject* words);
// interp.<name>(arg) for an interpreter object (not a proxy): its conversion
// methods, called without the bound method where the runtime allows it.
Ref interp_method1(PyObject* interp, PyObject* name, PyObject* arg);
// tk.eval(script).
Ref tk_eval(PyObject* tk, PyObject* script);
// The new reference `run()` returns, or nullptr with the exception it raised
// left set: the form tclerror's checks take.
template <typename Run>
inline PyObject* raw_result(Run&& run) {
    try {
        return run().release();
    } catch (const PyErrSet&) {
        return nullptr;
    }
}
// The bridge's answer to `run()` (a call of tk's call or eval) as the caller
// gets it: a TclError with Tcl's return options attached, or the exception of
// a Python-backed command it ran (tclerror.hpp).
template <typename Run>
inline Ref tcl_ran(PyObject* tk, Run&& run) {
    return tclerror::checked(raw_result(run), tk);
}
// The same for tk's variable operations (getvar, setvar, unsetvar).
template <typename Run>
inline Ref tcl_var_ran(PyObject* tk, Run&& run) {
    return tclerror::checked_var(raw_result(run), tk);
}
// self.tcl.tk.call(words): one tuple holding the whole command.
Ref send(PyObject* self, PyObject* words);

// Exact text of Tcl values on every Python version (texts.cpp).
// Whether v is a _tkinter.Tcl_Obj.
bool is_tcl_obj(PyObject* v);
// The result of running script, as Tcl's own text (NUL-safe).
Ref script_text(PyObject* tk, PyObject* script);
// The text of value, a result of the bridge: itself when a str, its string
// when a Tcl_Obj, else script_text(tk, script) of a script reading it again.
Ref value_text(PyObject* tk, Ref value, PyObject* script);
// tk.eval(script), its whole result even where the bridge's eval() would cut
// it at a NUL (before Python 3.13: then through script_text).
Ref eval_text(PyObject* tk, PyObject* script);

// The entry `name` of the class's own dictionary (a new reference);
// AttributeError when it has none.
Ref class_attr(PyObject* cls, PyObject* name);

// A method as the module made it, for a shortcut that stands in for
// obj.<name>(...): the shortcut may run only while the lookup Python would do
// still finds `value` (see guard.hpp).  Types known to resolve name to value
// are remembered under their version tags.
struct Loaded {
    PyObject* name = nullptr;   // interned (borrowed)
    PyObject* value = nullptr;  // owned for the process
    guard::TypeMemo<2> memo;

    // Take what the class `cls` holds under `attr` now.
    void load(PyObject* cls, PyObject* attr) {
        name = attr;
        value = class_attr(cls, attr).release();
    }
    // Whether obj.<name> finds value (the instance does not shadow it).
    bool on(PyObject* obj) { return guard::instance_resolves(obj, name, value, memo); }
    // Whether the class's own dictionary still holds value under name (where
    // the lookup of a static or class method starts).  Not to be mixed with
    // on() or on_type() on the same object: the memo answers one question.
    bool in_class(PyTypeObject* cls) { return guard::class_entry_is(cls, name, value, memo); }
    // Whether the MRO of t resolves name to value.
    bool on_type(PyTypeObject* t) {
        if (memo.hit(t)) return true;
        if (!guard::type_resolves(t, name, value)) return false;
        memo.store(t);
        return true;
    }
};

// TclNamespace.join(items[0], items[1:]...) as the class holds it now: the
// joined, normalised name.
Ref ns_join(PyObject* const* items, Py_ssize_t n);

// ---------------------------------------------------------------------------
// Initialisers and temporary variants.
// ---------------------------------------------------------------------------

// super(cls, self).__init__() with no arguments: what a class's initialiser
// does first.  Skips the call when the next class in type(self).__mro__ is
// object, whose __init__ without arguments does nothing.
void super_init(PyObject* cls, PyObject* self);
// getattr(super(cls, self), name, None): an empty Ref when absent.
Ref super_attr(PyObject* cls, PyObject* self, PyObject* name);
// The initialiser of a temporary variant `cls`: super(cls, self).__init__(
// name, **kwargs) with name the template `name` (S.temp_template when null)
// formatted with cls=type(self).__name__ and id=id(self).
void temp_init(PyObject* cls, PyObject* self, PyObject* name, PyObject* kwargs);
// __enter__ of a temporary variant: super's __enter__() when it has a true
// one, else self.
Ref temp_enter(PyObject* cls, PyObject* self);
// The end of __exit__ of a temporary variant: super's __exit__(*exc_info)
// when it has a true one, else False.
Ref temp_exit(PyObject* cls, PyObject* self, PyObject* exc_info);

// The initialiser of a mapping view of the namespace handle ns:
// `assert isinstance(ns, TclNamespace)`, super().__init__(), self.ns = ns.
void view_init(PyObject* cls, PyObject* self, PyObject* ns);

// Raise KeyError(e) from e for the pending exception e.
[[noreturn]] void raise_key_error_from_pending();

// ---------------------------------------------------------------------------
// The lazy names iterator of the mapping views: like a generator, it sends
// nothing until its first step, then fetches the whole list of names once
// (fetch(owner)) and walks that snapshot.
// ---------------------------------------------------------------------------
using FetchNames = Ref (*)(PyObject* owner);
Ref names_iter(PyObject* owner, FetchNames fetch);

// ---------------------------------------------------------------------------
// The classes, made at init in this order; each fills M (and the views go
// into the class body dict of TclNamespace being built).
// ---------------------------------------------------------------------------

// A class of this module, made as a class statement would make it:
// meta(name, bases, body) with body (a new dict when null) holding
// __module__, __qualname__ (its last part is the name), __doc__ and the
// methods of defs.  A new reference.
template <std::size_t N>
Ref new_class(PyObject* meta, const char* qualname, std::initializer_list<PyObject*> bases, MethodSpec (&defs)[N],
              const char* doc, PyObject* body = nullptr) {
    Ref dict = body ? Ref::newref(body) : own(PyDict_New());
    Ref base_tuple = tuple_join(bases);
    const char* dot = std::strrchr(qualname, '.');
    return make_class(meta, dot ? dot + 1 : qualname, qualname, base_tuple.get(), defs, dict.get(), M.modname, doc);
}

void make_variable_classes();  // TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable
void make_command_classes();   // TclCommand, TempTclCommand
void make_variable_views(PyObject* tclns_dict);     // VariablesView, ObjectsView
void make_command_views(PyObject* tclns_dict);      // CommandsView, ProcsView
void make_namespace_classes(PyObject* tclns_dict);  // TclNamespace, TempTclNamespace

}  // namespace trelmo_ns
