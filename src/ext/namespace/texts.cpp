// texts.cpp -- the exact text of a Tcl value, read without the bridge's
// lossy paths.  Part of the namespace module; see internal.hpp.
//
// The bridge hands a Tcl value back typed by its internal representation
// (str, int, float, bool, tuple, Tcl_Obj): a variable holding "007" after
// `expr` used it comes back as 7, one holding "a  b" after `llength` as
// ('a', 'b').  Its eval() returns the text, but before Python 3.13 cuts it at
// the first NUL.  The readers here get the text exactly on every version:
// first the cheap object read (a str or a Tcl_Obj carries the text itself),
// and only for a typed value a second request in which Tcl turns the value
// into a fresh string (`::string cat [...] .`, the dot stripped again), which
// the bridge hands over as str with every NUL intact.
#include "internal.hpp"

#include <cstring>

namespace trelmo_ns {
namespace {

// Whether a tuple from the bridge holds a NUL in any text (or binary)
// element, at any depth; a Tcl_Obj element counts as holding one, unread.
bool holds_nul(PyObject* t) {
    RecursionGuard guard(" while reading a Tcl list");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t); ++i) {
        PyObject* e = PyTuple_GET_ITEM(t, i);
        if (PyUnicode_Check(e)) {
            if (PyUnicode_FindChar(e, 0, 0, PyUnicode_GET_LENGTH(e), 1) != -1) return true;
        } else if (PyBytes_Check(e)) {
            if (std::memchr(PyBytes_AS_STRING(e), 0, (size_t)PyBytes_GET_SIZE(e))) return true;
        } else if (PyTuple_Check(e)) {
            if (holds_nul(e)) return true;
        } else if (!PyLong_Check(e) && !PyFloat_Check(e)) {
            return true;
        }
    }
    return false;
}

}  // namespace

// The type comes from the error-reporting layer, bound when the module loads.
bool is_tcl_obj(PyObject* v) {
    return Py_TYPE(v) == reinterpret_cast<PyTypeObject*>(tclerror::g_shared->tcl_obj_type);
}

/*
 * script_text --
 *     The result of a Tcl script as Tcl's own text: tk.call("::eval",
 *     "::string cat [<script>\n] .") with the final dot removed.
 * Results:
 *     New reference to a str.
 * Side effects:
 *     Runs the script (once) in the current Tcl frame.
 */
Ref script_text(PyObject* tk, PyObject* script) {
    Ref head = own(PyUnicode_Concat(S.string_cat_open, script));
    Ref wrapped = own(PyUnicode_Concat(head.get(), S.string_cat_close));
    Ref words = tuple_of({S.eval_cmd, wrapped.get()});
    Ref r = tk_call(tk, words.get());
    if (!PyUnicode_Check(r.get())) r = str(r.get());
    const Py_ssize_t n = PyUnicode_GET_LENGTH(r.get());
    if (n < 1) return r;  // not reached: the text ends with the dot
    return own(PyUnicode_Substring(r.get(), 0, n - 1));
}

/*
 * value_text --
 *     The text of a value the bridge handed back: a str as it is, a Tcl_Obj
 *     as its string; for anything typed (a tuple, int, float, bool, bytes)
 *     the result of the script reading the same value again: through the
 *     bridge's eval() when the text cannot hold a NUL, else script_text.
 * Results:
 *     New reference to a str.
 * Side effects:
 *     For a typed value, one more Tcl request.
 */
Ref value_text(PyObject* tk, Ref value, PyObject* script) {
    PyObject* v = value.get();
    if (PyUnicode_CheckExact(v)) return value;
    if (is_tcl_obj(v)) return getattr(v, S.string);
    // The text of a number, or of a list without NUL in any element, holds
    // no NUL either, so the bridge's eval() reads it back whole: cheaper than
    // the script that makes Tcl build a fresh string.
    bool plain = PyLong_Check(v) || PyFloat_Check(v) || (PyTuple_Check(v) && !holds_nul(v)) ||
                 (PyBytes_Check(v) && !std::memchr(PyBytes_AS_STRING(v), 0, (size_t)PyBytes_GET_SIZE(v)));
    if (plain) return tk_eval(tk, script);
    return script_text(tk, script);
}

/*
 * eval_text --
 *     tk.eval(script) where the bridge returns the whole result (Python 3.13
 *     on); before, its eval() cuts the result at the first NUL, and it
 *     refuses a script holding NUL, so then the script runs as
 *     script_text(tk, script) instead.
 * Results:
 *     New reference to the result (a str).
 * Side effects:
 *     Runs the script once.
 */
Ref eval_text(PyObject* tk, PyObject* script) {
    // eval() also refuses a script holding NUL, which script_text sends
    // through call().
    if (compat::kBridgeEvalKeepsNul &&
        (!PyUnicode_Check(script) || PyUnicode_FindChar(script, 0, 0, PyUnicode_GET_LENGTH(script), 1) == -1))
        return tk_eval(tk, script);
    return script_text(tk, script);
}

}  // namespace trelmo_ns
