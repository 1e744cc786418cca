// quoml_capi.hpp -- the C entry points that the quoml module exports to its
// sibling modules through the capsule "trelmo.tcl.quoml._C_API".
//
// A sibling looks up its own module-level name (`quoml` or `tclobj`) at call
// time, as Python code would; when that name is still bound to the quoml
// module's own function object (compare with quoml_func / tclobj_func) it calls
// the C entry point directly instead of going through a Python call.  The
// entry points behave exactly like calling the function objects: they honour
// rebinding of the quoml module's own names, and return a new reference or
// NULL with an exception set.
//
// From version 2 the capsule also answers for quoml's module-level names, so a
// sibling whose shortcut relies on them (tclobj() of a tuple of strings is the
// tuple itself, say) asks quoml instead of watching quoml's namespace itself:
//   names_hold()      1 while every name the conversions look up (Mapping,
//                     Sequence, Set, _tkTcl_Obj, unicode, _Tcl_ScanElement,
//                     _Tcl_ConvertElement, _quoml_from_sequence,
//                     _quoml_from_mapping, quoml, _sysmaxsize, _long_type,
//                     _tclobj_from_sequence, _tclobj_from_mapping, tclobj) is
//                     bound as at import, 0 once one is not, -1 with an
//                     exception set on error.  One comparison while quoml's
//                     namespace is unchanged.
//   pristine()        names_hold(), and the built-in containers still answer
//                     isinstance() against Sequence, Set and Mapping as at
//                     import (only ABC registration changes that): quoml's own
//                     condition for converting built-in values without
//                     Python-level calls.  May call abc.get_cache_token().
//   loaded(name)      the object `name` was bound to at import (borrowed,
//                     alive for the process), or NULL (no exception) when name
//                     is not one of those names.
//
// From version 3 it also carries the package's one method type,
// trelmo.tcl.instancemethod (static, immutable): every module's classes hold
// their C++ instance methods as objects of it (pyhelp::method_new).  A module
// refuses to load with an older quoml module.
#pragma once

#include <Python.h>

#define TRELMO_QUOML_CAPSULE "trelmo.tcl.quoml._C_API"
#define TRELMO_QUOML_CAPI_VERSION 3

struct QuomlCAPI {
    int version;            // 3 (1 had the members up to tclobj, 2 up to loaded)
    PyObject* quoml_func;   // the module's `quoml` function object (borrowed, immortal for the process)
    PyObject* tclobj_func;  // the module's `tclobj` function object
    PyObject* (*quoml)(PyObject* obj);
    PyObject* (*tclobj)(PyObject* obj);
    // version 2
    int (*names_hold)(void);
    int (*pristine)(void);
    PyObject* (*loaded)(PyObject* name);
    // version 3
    PyTypeObject* method_type;  // trelmo.tcl.instancemethod: method_type(func) makes one
};

// Import the capsule from the module object trelmo.tcl.quoml.  The package
// binds its attribute `quoml` to the function, which hides the submodule from
// a dotted attribute walk such as PyCapsule_Import's, so the module is taken
// from the import system instead.  NULL with an exception set on failure,
// ImportError when the capsule is older than the one this module was built
// against.
static inline const QuomlCAPI* quoml_capi_import(void) {
    PyObject* module = PyImport_ImportModule("trelmo.tcl.quoml");
    if (!module) return NULL;
    PyObject* capsule = PyObject_GetAttrString(module, "_C_API");
    Py_DECREF(module);
    if (!capsule) return NULL;
    // The capsule points at static data of the loaded quoml module, which is
    // never unloaded, so the pointer outlives the reference dropped here.
    const QuomlCAPI* p = (const QuomlCAPI*)PyCapsule_GetPointer(capsule, TRELMO_QUOML_CAPSULE);
    Py_DECREF(capsule);
    if (p && p->version < TRELMO_QUOML_CAPI_VERSION) {
        PyErr_Format(PyExc_ImportError, "trelmo.tcl.quoml is too old (C API version %d, %d needed)", p->version,
                     TRELMO_QUOML_CAPI_VERSION);
        return NULL;
    }
    return p;
}
