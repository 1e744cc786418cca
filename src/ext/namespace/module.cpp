// module.cpp -- the trelmo.tcl.namespace extension module: its state, its
// interned names, the helpers all its parts share, and its initialisation.
// The classes themselves are made by names.cpp (TclNamespace,
// TempTclNamespace), variables.cpp and commands.cpp; internal.hpp lists what
// the units share.
//
// When loaded it imports collections.abc.MutableMapping, quoml and tclobj from
// the sibling module trelmo.tcl.quoml, TclError and Tk from tkinter,
// types.MethodType and the modules weakref, sys and functools.  The package
// trelmo.tcl is imported only at call time (default interpreter).
#include "internal.hpp"

#include <string>
#include <utility>

namespace trelmo_ns {

State M;
Names S;

namespace {

const InternEntry kNames[] = {
#define TRELMO_NS_ENTRY(name) {&S.name, #name},
#define TRELMO_NS_ENTRY_T(name, text) {&S.name, text},
    TRELMO_NS_NAMES(TRELMO_NS_ENTRY, TRELMO_NS_ENTRY_T)
#undef TRELMO_NS_ENTRY
#undef TRELMO_NS_ENTRY_T
};

// The module-level names quoml and tclobj while they are the quoml module's
// own functions.
guard::NameGuard g_quoml_name, g_tclobj_name;

// f(o) for the module-level name `name`: while `still_own` holds, the quoml
// module's C entry point `own_c` runs instead of a Python call; otherwise the
// name is looked up now and what it is bound to is called.
Ref call_module_name(PyObject* name, guard::NameGuard& still_own, PyObject* (*own_c)(PyObject*), PyObject* o) {
    if (still_own.holds()) return own(own_c(o));
    PyObject* f = PyDict_GetItemWithError(M.dict, name);
    if (!f) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw PyErrSet{};
    }
    Ref keep = Ref::newref(f);
    return call1(keep.get(), o);
}

// The temporary-name template filled for `self`:
// str(name).format(cls=type(self).__name__, id=id(self)).
Ref temp_name(PyObject* name, PyObject* self) {
    Ref s = str(name);
    Ref fmt = getattr(s.get(), S.format);
    Ref kw = own(PyDict_New());
    Ref cls_name = getattr((PyObject*)Py_TYPE(self), S.dunder_name);
    Ref ident = own(PyLong_FromVoidPtr(self));
    check(PyDict_SetItem(kw.get(), S.cls, cls_name.get()));
    check(PyDict_SetItem(kw.get(), S.id, ident.get()));
    return call_tuple_dict(fmt.get(), nullptr, kw.get());
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared helpers (declared in internal.hpp).
// ---------------------------------------------------------------------------

Ref tuple_join(std::initializer_list<PyObject*> head, PyObject* const* rest, Py_ssize_t nrest) {
    Ref t = own(PyTuple_New((Py_ssize_t)head.size() + nrest));
    Py_ssize_t i = 0;
    for (PyObject* o : head) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    for (Py_ssize_t k = 0; k < nrest; ++k) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(rest[k]));
    return t;
}

Ref tuple_join(std::initializer_list<PyObject*> head, PyObject* tail) {
    return tuple_join(head, &PyTuple_GET_ITEM(tail, 0), PyTuple_GET_SIZE(tail));
}

Ref to_quoml(PyObject* o) { return call_module_name(S.quoml, g_quoml_name, M.capi->quoml, o); }

Ref to_tclobj(PyObject* o) { return call_module_name(S.tclobj, g_tclobj_name, M.capi->tclobj, o); }

bool quoml_is_own() { return g_quoml_name.holds(); }

bool tclobj_is_own() { return g_tclobj_name.holds(); }

Ref tclobj_value(PyObject* o) {
    Conv cv;
    return tclobj_item(o, cv, false);
}

Ref bind_interp(PyObject* tcl) {
    Ref interp;
    if (!tcl || !truthy(tcl)) {
        interp = own(PyImport_Import(S.trelmo_tcl));
    } else {
        interp = Ref::newref(tcl);
    }
    if (check(PySequence_Contains(M.ProxyTypes, (PyObject*)Py_TYPE(interp.get())))) return interp;
    return call1(M.weakref_proxy, interp.get());
}

// An attribute of a weak proxy is the same attribute of its target (and a
// dead proxy raises the same ReferenceError), but a method read through the
// proxy is a new bound method on every call, while the target's can be
// called directly.
Ref look_through(PyObject* tcl) {
    if (PyWeakref_CheckProxy(tcl)) return weak_target(tcl);
    return Ref::newref(tcl);
}

// Interpreter classes whose `tk` is read from the instance dictionary.
guard::DictReads<2> g_interp_reads;

// The interpreter object's `tk`, read from it on every use (a handle may be
// the only one of its interpreter, or one of many used in turn).
Ref tk_from(PyObject* tcl) {
    if (PyWeakref_CheckProxy(tcl)) {
        Ref target = weak_target(tcl);
        return g_interp_reads.read(target.get(), S.tk);
    }
    return g_interp_reads.read(tcl, S.tk);
}

// The _tkinter application's `call` is a method descriptor of its type (the
// object has no instance dictionary): called directly, as the attribute
// lookup would find it.
Ref tk_call(PyObject* tk, PyObject* words) {
    PyTypeObject* t = Py_TYPE(tk);
    if (t->tp_getattro == PyObject_GenericGetAttr && t->tp_dictoffset == 0) {
        PyObject* descr = compat::type_lookup(t, S.call);
        // The bridge's call takes its arguments as one tuple and reads a lone
        // tuple argument as the words: words itself is that tuple, unless it
        // is a lone tuple (which would be read as the words).
        PyCFunction call = compat::varargs_method(descr, t);
        if (call && PyTuple_CheckExact(words) &&
            !(PyTuple_GET_SIZE(words) == 1 && PyTuple_Check(PyTuple_GET_ITEM(words, 0)))) {
            Ref keep = Ref::newref(descr);
            PyObject* r = call(tk, words);
            if (!r && !PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "the Tcl bridge's call returned NULL without an error");
            return tclerror::checked(r, tk);
        }
        if (descr && Py_TYPE(descr) == &PyMethodDescr_Type) {
            PyObject* argv[3] = {nullptr, tk, words};
            return tclerror::checked(PyObject_Vectorcall(descr, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
                                     tk);
        }
    }
    return tcl_ran(tk, [&] { return call_method1(tk, S.call, words); });
}

Ref interp_method1(PyObject* interp, PyObject* name, PyObject* arg) { return call_method1(interp, name, arg); }

Ref tk_eval(PyObject* tk, PyObject* script) {
    return tcl_ran(tk, [&] { return call_method1(tk, S.eval, script); });
}

Ref send(PyObject* self, PyObject* words) {
    Ref tcl = getattr(self, S.tcl);
    Ref tk = tk_from(tcl.get());
    return tk_call(tk.get(), words);
}

Ref class_attr(PyObject* cls, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(compat::type_dict_borrowed((PyTypeObject*)cls), name);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
        throw PyErrSet{};
    }
    return Ref::newref(v);
}

void super_init(PyObject* cls, PyObject* self) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    if (mro && PyTuple_Check(mro)) {
        Py_ssize_t n = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i + 1 < n; ++i) {
            if (PyTuple_GET_ITEM(mro, i) != cls) continue;
            if (PyTuple_GET_ITEM(mro, i + 1) == (PyObject*)&PyBaseObject_Type) return;
            break;
        }
    }
    Ref sup = calln((PyObject*)&PySuper_Type, cls, self);
    call_method0(sup.get(), S.dunder_init);
}

Ref super_attr(PyObject* cls, PyObject* self, PyObject* name) {
    Ref sup = calln((PyObject*)&PySuper_Type, cls, self);
    Ref out;
    lookup_attr(sup.get(), name, out);
    return out;
}

void temp_init(PyObject* cls, PyObject* self, PyObject* name, PyObject* kwargs) {
    Ref filled = temp_name(name ? name : S.temp_template, self);
    Ref sup = calln((PyObject*)&PySuper_Type, cls, self);
    Ref init = getattr(sup.get(), S.dunder_init);
    Ref pos = tuple_join({filled.get()});
    call_tuple_dict(init.get(), pos.get(), kwargs);
}

Ref temp_enter(PyObject* cls, PyObject* self) {
    Ref f = super_attr(cls, self, S.dunder_enter);
    if (f && truthy(f.get())) return call0(f.get());
    return Ref::newref(self);
}

Ref temp_exit(PyObject* cls, PyObject* self, PyObject* exc_info) {
    Ref f = super_attr(cls, self, S.dunder_exit);
    if (f && truthy(f.get())) return own(PyObject_Call(f.get(), exc_info, nullptr));
    return boolean(false);
}

void view_init(PyObject* cls, PyObject* self, PyObject* ns) {
    if (M.asserts && !check(PyObject_IsInstance(ns, M.TclNamespace))) {
        PyErr_SetNone(PyExc_AssertionError);
        throw PyErrSet{};
    }
    super_init(cls, self);
    setattr(self, S.ns, ns);
}

void raise_key_error_from_pending() {
    Ref exc = fetch_exception();
    raise_from(PyExc_KeyError, exc.get(), exc.get(), false);
}

// ---------------------------------------------------------------------------
// The lazy names iterator.
// ---------------------------------------------------------------------------
namespace {

struct NamesIter {
    PyObject_HEAD
    PyObject* owner;  // the array or view; released after the fetch
    PyObject* it;     // iterator over the fetched names
    FetchNames fetch;
    int done;
};

PyObject* g_names_iter_type = nullptr;  // made at init (owned)

int NamesIter_traverse(PyObject* o, visitproc visit, void* arg) {
    NamesIter* s = (NamesIter*)o;
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(s->owner);
    Py_VISIT(s->it);
    return 0;
}

int NamesIter_clear(PyObject* o) {
    NamesIter* s = (NamesIter*)o;
    Py_CLEAR(s->owner);
    Py_CLEAR(s->it);
    return 0;
}

void NamesIter_dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    NamesIter_clear(o);
    tp->tp_free(o);
    Py_DECREF(tp);
}

PyObject* NamesIter_next(PyObject* o) noexcept {
    NamesIter* s = (NamesIter*)o;
    if (s->done) return nullptr;
    if (!s->it) {
        Ref owner = Ref::steal(s->owner);
        s->owner = nullptr;
        s->done = 1;  // a failed fetch ends the iteration, as in a generator
        PyObject* names = guarded([&] { return s->fetch(owner.get()); });
        if (!names) return nullptr;
        s->it = PyObject_GetIter(names);
        Py_DECREF(names);
        if (!s->it) return nullptr;
        s->done = 0;
    }
    PyObject* item = PyIter_Next(s->it);
    if (!item) {
        s->done = 1;
        Py_CLEAR(s->it);
    }
    return item;
}

PyType_Slot kNamesIterSlots[] = {
    {Py_tp_dealloc, (void*)NamesIter_dealloc},
    {Py_tp_traverse, (void*)NamesIter_traverse},
    {Py_tp_clear, (void*)NamesIter_clear},
    {Py_tp_iter, (void*)PyObject_SelfIter},
    {Py_tp_iternext, (void*)NamesIter_next},
    {0, nullptr},
};
PyType_Spec kNamesIterSpec = {"trelmo.tcl.namespace.names_iterator", sizeof(NamesIter), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kNamesIterSlots};

}  // namespace

Ref names_iter(PyObject* owner, FetchNames fetch) {
    PyTypeObject* tp = (PyTypeObject*)g_names_iter_type;
    Ref o = own(tp->tp_alloc(tp, 0));
    NamesIter* s = (NamesIter*)o.get();
    s->owner = Py_NewRef(owner);
    s->fetch = fetch;
    return o;
}

// ---------------------------------------------------------------------------
// Module initialisation.
// ---------------------------------------------------------------------------
namespace {

const char kModuleDoc[] =
    "Tcl namespaces, variables and commands as Python objects: TclNamespace with the algebra of "
    "qualified Tcl names, TclVariable, TclArrayVariable, TclCommand and their temporary variants.";

// Bind `name` in the module to v and keep an owned reference in *slot (when given).
void bind(PyObject* m, const char* name, Ref v, PyObject** slot = nullptr) {
    check(PyModule_AddObjectRef(m, name, v.get()));
    if (slot) *slot = v.release();
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "namespace", kModuleDoc, -1, nullptr, nullptr, nullptr, nullptr,
                          nullptr};

Ref init_module() {
    Ref m = own(PyModule_Create(&module_def));
    M.module = m.get();
    M.dict = PyModule_GetDict(m.get());
    intern_all(kNames);
    M.modname = check(PyModule_GetNameObject(m.get()));
    const char* full = PyUnicode_AsUTF8(M.modname);  // "trelmo.tcl.namespace"
    if (!full) throw PyErrSet{};
    std::string package(full);
    package = package.rfind('.') == std::string::npos ? "trelmo.tcl" : package.substr(0, package.rfind('.'));

    // Module-level names, in this order.
    bind(m.get(), "MutableMapping", import_from("collections.abc", "MutableMapping"), &M.MutableMapping);
    bind(m.get(), "quoml", import_sibling(package.c_str(), "quoml", "quoml"));
    bind(m.get(), "tclobj", import_sibling(package.c_str(), "quoml", "tclobj"));
    bind(m.get(), "TclError", import_from("tkinter", "TclError"), &M.TclError);
    bind(m.get(), "Tk", import_from("tkinter", "Tk"), &M.Tk);
    tclerror::init();
    M.TkappType = import_from("_tkinter", "TkappType").release();
    bind(m.get(), "MethodType", import_from("types", "MethodType"), &M.MethodType);
    bind(m.get(), "weakref", import("weakref"), &M.weakref);
    bind(m.get(), "sys", import("sys"), &M.sys);
    bind(m.get(), "functools", import("functools"), &M.functools);
    M.weakref_proxy = getattr(M.weakref, S.proxy).release();
    M.ProxyTypes = getattr(M.weakref, S.ProxyTypes).release();
    M.update_wrapper = getattr(M.functools, S.update_wrapper).release();
    {
        Ref flags = getattr(M.sys, S.flags);
        Ref optimize = getattr(flags.get(), S.optimize);
        M.asserts = !truthy(optimize.get());
    }
    bind(m.get(), "__all__",
         tuple_join({S.TclVariable, S.TempTclVariable, S.TclArrayVariable, S.TempTclArrayVariable, S.TclCommand,
                     S.TempTclCommand, S.TclNamespace, S.TempTclNamespace}));
    M.capi = quoml_capi_import();
    if (!M.capi) throw PyErrSet{};
    if (M.capi->version < 2) raise(PyExc_ImportError, "trelmo.tcl.quoml is older than trelmo.tcl.namespace");
    g_quoml_name.init(M.dict);
    g_quoml_name.expect(S.quoml, M.capi->quoml_func);
    g_tclobj_name.init(M.dict);
    g_tclobj_name.expect(S.tclobj, M.capi->tclobj_func);
    g_names_iter_type = check(PyType_FromSpec(&kNamesIterSpec));
    g_interp_reads.init(S.dunder_getattribute, {S.tk});

    // The classes, in this order: variables, commands, then the namespace
    // (its nested views first), then the temporary namespace.
    make_variable_classes();
    make_command_classes();
    Ref ns_dict = own(PyDict_New());
    make_variable_views(ns_dict.get());
    make_command_views(ns_dict.get());
    make_namespace_classes(ns_dict.get());

    PyObject* const classes[] = {M.TclVariable, M.TempTclVariable, M.TclArrayVariable, M.TempTclArrayVariable,
                                 M.TclCommand,  M.TempTclCommand,  M.TclNamespace,     M.TempTclNamespace};
    PyObject* const names[] = {S.TclVariable, S.TempTclVariable, S.TclArrayVariable, S.TempTclArrayVariable,
                               S.TclCommand,  S.TempTclCommand,  S.TclNamespace,     S.TempTclNamespace};
    for (std::size_t i = 0; i < 8; ++i) check(PyModule_AddObjectRef(m.get(), PyUnicode_AsUTF8(names[i]), classes[i]));
    return m;
}

}  // namespace
}  // namespace trelmo_ns

TRELMO_MODINIT PyInit_namespace() {
    pyhelp::read_fast_path_switch();
    return pyhelp::guarded([] { return trelmo_ns::init_module(); });
}
