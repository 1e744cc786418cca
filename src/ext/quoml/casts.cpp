// casts.cpp -- _cast_any, the quick conversion of an interpreter result into
// a Python value that the package's cast_any is bound to.  It runs on every
// quick call, hence C++.
//
// Imports nothing when loaded; uses _tkinter.Tcl_Obj, handed in by quoml.cpp.
#include "casts.hpp"

#include <cmath>
#include <cstring>

namespace {

using namespace pyhelp;

struct State {
    PyObject* tcl_obj_type = nullptr;  // _tkinter.Tcl_Obj
    PyObject* typename_ = nullptr;     // interned "typename"
    PyObject* string = nullptr;        // interned "string"
    PyObject* int_types[3] = {};       // "int", "wideInt", "bignum"
    PyObject* double_ = nullptr;       // "double"
} st;

const InternEntry kInterned[] = {
    {&st.typename_, "typename"}, {&st.string, "string"},     {&st.int_types[0], "int"},
    {&st.int_types[1], "wideInt"}, {&st.int_types[2], "bignum"}, {&st.double_, "double"},
};

/*
 * number_from_text --
 *
 *   The number that text spells canonically, as Python itself would write
 *   it back: an int when str(int(text)) == text, a float when
 *   repr(float(text)) == text and the value is finite.  Anything else
 *   (leading zeros, a sign '+', '-0', exponents Python would not write,
 *   hexadecimal, blanks, '_', 'inf', 'nan', non-ASCII digits) is text that
 *   must come back unchanged: identifiers, zip codes and such keep their
 *   spelling.
 *
 * Results:
 *   A new reference to an int or float, or an empty Ref when text stays
 *   text.
 *
 * Side effects:
 *   None.
 */
Ref number_from_text(PyObject* text) {
    unicode_ready(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n == 0 || PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND) return Ref();
    const unsigned char* s = PyUnicode_1BYTE_DATA(text);
    // Every canonical number starts with a digit or '-': one test rejects
    // almost all words.
    if (!((s[0] >= '0' && s[0] <= '9') || s[0] == '-')) return Ref();
    Py_ssize_t i = s[0] == '-' ? 1 : 0;
    const Py_ssize_t first_digit = i;
    while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
    const Py_ssize_t ndigits = i - first_digit;
    if (ndigits == 0) return Ref();
    if (i == n) {
        // An integer: no leading zero, and no "-0".
        if (s[first_digit] == '0' && (ndigits > 1 || first_digit == 1)) return Ref();
        if (ndigits <= 18) {
            long long v = 0;
            for (Py_ssize_t k = first_digit; k < n; ++k) v = v * 10 + (s[k] - '0');
            return own(PyLong_FromLongLong(first_digit ? -v : v));
        }
        // Long digit strings go through Python's own parser; one it refuses
        // (beyond the int/str conversion limit) stays text.
        PyObject* v = PyLong_FromUnicodeObject(text, 10);
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyErrSet{};
            PyErr_Clear();
            return Ref();
        }
        return Ref::steal(v);
    }
    const char* begin = reinterpret_cast<const char*>(s);  // ASCII, so also UTF-8 and NUL-terminated
    char* end = nullptr;
    if (s[i] == '.') {
        // Plain decimals with at most 15 digits (such as 3.5 or -12.25) need
        // no printing back: up to 15 significant digits every decimal names
        // its own double, so repr() gives the same digits, in fixed notation
        // below 1e16 and from 1e-4 on.  Canonical then means no leading zero
        // before the point, no trailing zero after it (except in "N.0") and
        // at most three zeros right after "0.".
        Py_ssize_t j = i + 1;
        while (j < n && s[j] >= '0' && s[j] <= '9') ++j;
        const Py_ssize_t nfrac = j - i - 1;
        if (j == n && nfrac > 0 && ndigits + nfrac <= 15) {
            const bool int_zero = s[first_digit] == '0';
            if (int_zero && ndigits > 1) return Ref();
            if (s[n - 1] == '0' && nfrac > 1) return Ref();
            Py_ssize_t zeros = 0;
            while (zeros < nfrac && s[i + 1 + zeros] == '0') ++zeros;
            if (!int_zero || nfrac == 1 || zeros <= 3) {
                const double d = PyOS_string_to_double(begin, &end, nullptr);
                if (d == -1.0 && PyErr_Occurred()) throw PyErrSet{};
                return own(PyFloat_FromDouble(d));
            }
        }
    }
    // A float candidate: only the characters repr() writes for a finite float.
    for (Py_ssize_t k = i; k < n; ++k) {
        const unsigned char c = s[k];
        if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == '-' || c == '+')) return Ref();
    }
    const double d = PyOS_string_to_double(begin, &end, nullptr);
    if (d == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyErrSet{};
        PyErr_Clear();
        return Ref();
    }
    if (end != begin + n || !std::isfinite(d)) return Ref();
    char* back = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!back) throw PyErrSet{};
    const bool same = std::strlen(back) == static_cast<size_t>(n) && std::memcmp(back, begin, n) == 0;
    PyMem_Free(back);
    if (!same) return Ref();
    return own(PyFloat_FromDouble(d));
}

// The text rule applied to text: the number it spells canonically, or the
// text itself.
Ref text_value(Ref text) {
    Ref number = number_from_text(text.get());
    return number ? std::move(number) : std::move(text);
}

/*
 * cast_any --
 *
 *   Best-effort conversion of a result of the _tkinter bridge: bool, int and
 *   float stay as they are; a tuple (a Tcl list) becomes a list of its
 *   converted items; a Tcl_Obj of an integer or double type becomes int or
 *   float by its text; any other value is its text (str() unless it is a
 *   str or Tcl_Obj), which becomes an int or float only when it is the
 *   canonical spelling of a finite number (see number_from_text).
 *
 * Results:
 *   A new reference.
 *
 * Side effects:
 *   str() of an unknown object may run Python code.
 */
Ref cast_any(PyObject* value) {
    PyTypeObject* tp = Py_TYPE(value);
    if (tp == &PyUnicode_Type) {
        Ref number = number_from_text(value);
        return number ? std::move(number) : Ref::newref(value);
    }
    if (PyLong_Check(value) || PyFloat_Check(value)) return Ref::newref(value);  // bool is an int
    if (PyTuple_Check(value)) {
        RecursionGuard guard(" while converting a Tcl list");
        if (PyTuple_CheckExact(value)) {
            // str() of an item may run Python code: the half-filled list is
            // kept from the collector (gc.get_objects()) meanwhile.
            const Py_ssize_t n = PyTuple_GET_SIZE(value);
            Ref out = own(PyList_New(n));
            PyObject_GC_UnTrack(out.get());
            for (Py_ssize_t i = 0; i < n; ++i) {
                Ref item = cast_any(PyTuple_GET_ITEM(value, i));
                PyList_SET_ITEM(out.get(), i, item.release());
            }
            PyObject_GC_Track(out.get());
            return out;
        }
        // CAUTION: may run arbitrary Python code (a subclass's __iter__)
        Ref out = own(PyList_New(0));
        Ref it = own(PyObject_GetIter(value));
        while (PyObject* raw = PyIter_Next(it.get())) {
            Ref item = Ref::steal(raw);
            Ref conv = cast_any(item.get());
            check(PyList_Append(out.get(), conv.get()));
        }
        if (PyErr_Occurred()) throw PyErrSet{};
        return out;
    }
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(st.tcl_obj_type))) {
        Ref type_name = getattr(value, st.typename_);
        Ref text = getattr(value, st.string);
        for (PyObject* name : st.int_types) {
            if (check(PyObject_RichCompareBool(type_name.get(), name, Py_EQ)))
                return own(PyLong_FromUnicodeObject(text.get(), 0));  // int(text, 0)
        }
        if (check(PyObject_RichCompareBool(type_name.get(), st.double_, Py_EQ)))
            return own(PyFloat_FromString(text.get()));
        if (!PyUnicode_CheckExact(text.get())) text = str(text.get());
        return text_value(std::move(text));
    }
    // CAUTION: may run arbitrary Python code (str() of the value)
    return text_value(str(value));
}

Ref cast_any_entry(PyObject* value) { return cast_any(value); }

PyMethodDef kCastAnyDef = {
    "_cast_any", PYHELP_O(cast_any_entry),
    "_cast_any(value, /)\n--\n\n"
    "Best-effort conversion of a Tcl result into a Python value.\n\n"
    "bool, int and float stay as they are; a tuple (a Tcl list) becomes a\n"
    "list of converted items; a Tcl_Obj of an integer or double type becomes\n"
    "int or float.  Text (a str, the text of any other Tcl_Obj, str() of\n"
    "anything else) becomes an int or float only when it is exactly how\n"
    "Python writes that finite number (str(int(s)) == s or\n"
    "repr(float(s)) == s): '42', '-7' and '3.5' convert, while '007', '1e3',\n"
    "'0x1F', '+5', '-0', '1.50', 'inf' and '' stay text."};

}  // namespace

namespace quoml_casts {

void add_to_module(PyObject* module, PyObject* tcl_obj_type) {
    intern_all(kInterned);
    if (!st.tcl_obj_type) st.tcl_obj_type = Py_NewRef(tcl_obj_type);
    Ref modname = own(PyModule_GetNameObject(module));
    Ref fn = own(PyCFunction_NewEx(&kCastAnyDef, nullptr, modname.get()));
    check(PyModule_AddObjectRef(module, "_cast_any", fn.get()));
}

}  // namespace quoml_casts
