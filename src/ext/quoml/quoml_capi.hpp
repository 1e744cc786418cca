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
#pragma once

#include <Python.h>

#define TRELMO_QUOML_CAPSULE "trelmo.tcl.quoml._C_API"

struct QuomlCAPI {
    int version;            // 1
    PyObject* quoml_func;   // the module's `quoml` function object (borrowed, immortal for the process)
    PyObject* tclobj_func;  // the module's `tclobj` function object
    PyObject* (*quoml)(PyObject* obj);
    PyObject* (*tclobj)(PyObject* obj);
};

// Import the capsule from the module object trelmo.tcl.quoml.  The package
// binds its attribute `quoml` to the function, which hides the submodule from
// a dotted attribute walk such as PyCapsule_Import's, so the module is taken
// from the import system instead.  NULL with an exception set on failure.
static inline const QuomlCAPI* quoml_capi_import(void) {
    PyObject* module = PyImport_ImportModule("trelmo.tcl.quoml");
    if (!module) return NULL;
    PyObject* capsule = PyObject_GetAttrString(module, "_C_API");
    Py_DECREF(module);
    if (!capsule) return NULL;
    // The capsule points at static data of the loaded quoml module, which is
    // never unloaded, so the pointer outlives the reference dropped here.
    void* p = PyCapsule_GetPointer(capsule, TRELMO_QUOML_CAPSULE);
    Py_DECREF(capsule);
    return (const QuomlCAPI*)p;
}
