// namespace.cpp -- the trelmo.tcl.namespace extension module: Tcl name algebra,
// TclNamespace and TempTclNamespace, and (through the parts included below)
// variables, arrays, commands, their views and temporary variants.
//
// When loaded it imports collections.abc.MutableMapping, quoml and tclobj from
// the sibling module trelmo.tcl.quoml, TclError and Tk from tkinter,
// types.MethodType and the modules weakref, sys and functools.  The package
// trelmo.tcl is imported only at call time (default interpreter).
//
// The module is one translation unit: namespace_vars.cpp (variables, arrays,
// temporary variables, the variables views) and namespace_cmds.cpp (commands,
// temporary commands, the commands views) are #included inside the anonymous
// namespace below and share its state and helpers.
#include "pyhelp.hpp"
#include "quoml_capi.hpp"

using namespace pyhelp;

namespace {

// ---------------------------------------------------------------------------
// Module state: imports bound at init, and the classes once they are made.
// All pointers are owned references kept for the life of the process.
// ---------------------------------------------------------------------------
struct State {
    PyObject* module = nullptr;  // the module itself (borrowed)
    PyObject* dict = nullptr;    // its __dict__ (borrowed): module-level names are read here at call time
    const QuomlCAPI* capi = nullptr;

    // imports, in the order the module binds them
    PyObject* MutableMapping = nullptr;
    PyObject* TclError = nullptr;
    PyObject* Tk = nullptr;
    PyObject* MethodType = nullptr;
    PyObject* weakref = nullptr;
    PyObject* sys = nullptr;
    PyObject* functools = nullptr;
    // derived from the imports
    PyObject* weakref_proxy = nullptr;  // weakref.proxy
    PyObject* ProxyTypes = nullptr;     // weakref.ProxyTypes (a tuple)
    PyObject* update_wrapper = nullptr; // functools.update_wrapper

    // classes, in creation order
    PyObject* TclVariable = nullptr;
    PyObject* TempTclVariable = nullptr;
    PyObject* TclArrayVariable = nullptr;
    PyObject* TempTclArrayVariable = nullptr;
    PyObject* TclCommand = nullptr;
    PyObject* TempTclCommand = nullptr;
    PyObject* TclNamespace = nullptr;
    PyObject* TempTclNamespace = nullptr;
} M;

// Interned names used by the core; each part keeps its own table too.
struct CoreNames {
    PyObject *quoml, *tclobj, *tk, *call, *eval, *tcl, *ns, *format, *cls, *id, *cast_list, *cast_boolean,
        *cast_array, *name_, *trelmo_tcl;
} S;
const InternEntry kCoreNames[] = {
    {&S.quoml, "quoml"},
    {&S.tclobj, "tclobj"},
    {&S.tk, "tk"},
    {&S.call, "call"},
    {&S.eval, "eval"},
    {&S.tcl, "tcl"},
    {&S.ns, "ns"},
    {&S.format, "format"},
    {&S.cls, "cls"},
    {&S.id, "id"},
    {&S.cast_list, "cast_list"},
    {&S.cast_boolean, "cast_boolean"},
    {&S.cast_array, "cast_array"},
    {&S.name_, "__name__"},
    {&S.trelmo_tcl, "trelmo.tcl"},
};

// ---------------------------------------------------------------------------
// Shared helpers for all parts of the module (the contract between them).
// ---------------------------------------------------------------------------

// quoml(o) / tclobj(o) through the module-level names, looked up at call time,
// so rebinding trelmo.tcl.namespace.quoml changes later conversions.  While
// the name is still the quoml module's own function, call its C entry point.
Ref to_quoml(PyObject* o);
Ref to_tclobj(PyObject* o);

// The interpreter object a handle stores: the package module trelmo.tcl
// (imported now) when tcl is false, then weakref.proxy(tcl) unless type(tcl)
// is already one of weakref.ProxyTypes.
Ref bind_interp(PyObject* tcl);

// TclNamespace.join(items[0], items[1:]...): the joined, normalised name.
Ref ns_join(PyObject* const* items, Py_ssize_t n);

// The temporary-name template filled for `self`:
// str(name).format(cls=type(self).__name__, id=id(self)).
Ref temp_name(PyObject* name, PyObject* self);

}  // namespace

// The parts: each defines, inside the anonymous namespace,
//   void make_variable_classes(PyObject* ns_modname);  // TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable
//   void make_variable_views(PyObject* tclns_dict, PyObject* modname);   // TclNamespace.VariablesView, .ObjectsView
//   void make_command_classes(PyObject* modname);      // TclCommand, TempTclCommand
//   void make_command_views(PyObject* tclns_dict, PyObject* modname);    // TclNamespace.CommandsView, .ProcsView
#include "namespace_vars.cpp"
#include "namespace_cmds.cpp"

namespace {

Ref to_quoml(PyObject* o) {
    PyObject* f = PyDict_GetItemWithError(M.dict, S.quoml);
    if (!f) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'quoml' is not defined");
        throw PyErrSet{};
    }
    if (f == M.capi->quoml_func) return own(M.capi->quoml(o));
    Ref keep = Ref::newref(f);
    return call1(keep.get(), o);
}

Ref to_tclobj(PyObject* o) {
    PyObject* f = PyDict_GetItemWithError(M.dict, S.tclobj);
    if (!f) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'tclobj' is not defined");
        throw PyErrSet{};
    }
    if (f == M.capi->tclobj_func) return own(M.capi->tclobj(o));
    Ref keep = Ref::newref(f);
    return call1(keep.get(), o);
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

Ref ns_join(PyObject* const*, Py_ssize_t) {
    raise(PyExc_NotImplementedError, "TclNamespace.join is not built yet");
}

Ref temp_name(PyObject* name, PyObject* self) {
    Ref s = str(name);
    Ref fmt = getattr(s.get(), S.format);
    Ref kw = own(PyDict_New());
    Ref cls_name = getattr((PyObject*)Py_TYPE(self), S.name_);
    Ref ident = own(PyLong_FromVoidPtr(self));
    check(PyDict_SetItem(kw.get(), S.cls, cls_name.get()));
    check(PyDict_SetItem(kw.get(), S.id, ident.get()));
    return call_tuple_dict(fmt.get(), nullptr, kw.get());
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "namespace", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

Ref init_module() {
    Ref m = own(PyModule_Create(&module_def));
    M.module = m.get();
    M.dict = PyModule_GetDict(m.get());
    intern_all(kCoreNames);
    return m;
}

}  // namespace

TRELMO_MODINIT PyInit_namespace() {
    return guarded([] { return init_module(); });
}
