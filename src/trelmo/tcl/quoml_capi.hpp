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

// Import the capsule (imports trelmo.tcl.quoml).  NULL with an exception set on failure.
static inline const QuomlCAPI* quoml_capi_import(void) {
    return (const QuomlCAPI*)PyCapsule_Import(TRELMO_QUOML_CAPSULE, 0);
}
