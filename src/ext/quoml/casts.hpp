// casts.hpp -- conversions of interpreter results that the package offers as
// its cast functions, built into the quoml module (casts.cpp).
#pragma once

#include "pyhelp.hpp"

namespace quoml_casts {

// Adds the cast functions (_cast_any) to the quoml module.  tcl_obj_type is
// _tkinter.Tcl_Obj.  Throws pyhelp::PyErrSet on failure.
void add_to_module(PyObject* module, PyObject* tcl_obj_type);

}  // namespace quoml_casts
