// compat.hpp -- every CPython version difference and every use of the
// runtime's private API, behind named wrappers.  This is the only file of the
// extension modules that reads PY_VERSION_HEX or names a private (_Py...) or
// version-bound function or structure field; pyhelp.hpp includes it, and a
// module that needs one of these things calls the wrapper.
//
// What each group stands in for:
//   * functions added to the C API after 3.8 (Py_NewRef, PyObject_CallOneArg,
//     PyObject_VectorcallMethod, ...), defined here for older versions;
//   * optional attribute lookup, which became public in 3.13;
//   * type lookup along the MRO (_PyType_Lookup), the instance dictionary
//     pointer (_PyObject_GetDictPtr), generic attribute lookup without the
//     AttributeError, a type's own dictionary and its version tag;
//   * dictionary change stamps: a dict watcher from 3.12, the dictionary's
//     version tag before;
//   * slot patching on a class after it was made (always followed by
//     PyType_Modified, so the runtime's method cache forgets the class);
//   * the header of statically allocated objects (no direct reference-count
//     writes: free-threaded builds split that field);
//   * exceptions as one object (3.12) or a triple (before), weak references,
//     tuple resizing, the legacy-string PyUnicode_READY.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// The module init function, exported by hand: the modules are built with
// hidden visibility.
#define TRELMO_MODINIT extern "C" __attribute__((visibility("default"))) PyObject*

// ---------------------------------------------------------------------------
// C API of newer versions, for older ones.
// ---------------------------------------------------------------------------
#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* o) {
    Py_INCREF(o);
    return o;
}
static inline PyObject* Py_XNewRef(PyObject* o) {
    Py_XINCREF(o);
    return o;
}
static inline int PyModule_AddObjectRef(PyObject* m, const char* name, PyObject* v) {
    Py_XINCREF(v);
    int r = PyModule_AddObject(m, name, v);
    if (r < 0) Py_XDECREF(v);
    return r;
}
#endif

#if PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
static inline PyObject* PyObject_CallOneArg(PyObject* f, PyObject* a) {
    return _PyObject_Vectorcall(f, &a, 1, nullptr);
}
static inline PyObject* PyObject_CallNoArgs(PyObject* f) {
    return _PyObject_Vectorcall(f, nullptr, 0, nullptr);
}
#if !defined(Py_TPFLAGS_HAVE_VECTORCALL)
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif
#endif

namespace compat {

// ---------------------------------------------------------------------------
// Calls.
// ---------------------------------------------------------------------------

// argv[0].<name>(*argv[1:nargs], **kw), keyword values after the positionals
// and their names in kwnames, as in vectorcall; nargs may carry
// PY_VECTORCALL_ARGUMENTS_OFFSET.  Skips the bound method where the C API
// allows it (3.9+).  New reference or NULL with an exception set.
inline PyObject* vectorcall_method(PyObject* name, PyObject* const* argv, size_t nargs, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, argv, nargs, kwnames);
#else
    PyObject* f = PyObject_GetAttr(argv[0], name);
    if (!f) return nullptr;
    PyObject* r = _PyObject_Vectorcall(f, argv + 1, PyVectorcall_NARGS(nargs) - 1, kwnames);
    Py_DECREF(f);
    return r;
#endif
}

// Argument errors name the function by its qualified name from 3.10, by its
// bare name before.
constexpr bool kQualifiedArgErrors = PY_VERSION_HEX >= 0x030A0000;
// From 3.13 the bridge's eval() returns its whole result; before, it cuts the
// result at the first NUL.
constexpr bool kBridgeEvalKeepsNul = PY_VERSION_HEX >= 0x030D0000;

// ---------------------------------------------------------------------------
// Attributes and types.
// ---------------------------------------------------------------------------

// getattr(obj, name) where absence is expected: 1 and *res set when found,
// 0 and *res NULL when absent (no AttributeError built), -1 on other errors.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** res) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, res);
#else
    return _PyObject_LookupAttr(obj, name, res);
#endif
}

// The attribute `name` as the type's MRO resolves it, without calling
// descriptors: borrowed, NULL when absent (never an exception).  Served from
// the runtime's method cache, so it is cheap.
inline PyObject* type_lookup(PyTypeObject* t, PyObject* name) { return _PyType_Lookup(t, name); }

// The type's own namespace dictionary (borrowed).  Heap types only: static
// built-in types may keep it elsewhere from 3.12.
inline PyObject* type_dict_borrowed(PyTypeObject* t) { return t->tp_dict; }

// The type's version tag, or 0 when it has no valid one.  The runtime gives
// a type a new tag whenever the type or one of its bases changes and never
// reuses a tag, so an unchanged non-zero tag means every lookup on the type
// still finds what it found before.
// From 3.13 the runtime no longer sets Py_TPFLAGS_VALID_VERSION_TAG: a tag
// is valid exactly when it is not 0.
inline unsigned int type_version(PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x030D0000
    return t->tp_version_tag;
#else
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) ? t->tp_version_tag : 0;
#endif
}

// Where obj keeps its instance dictionary: NULL when it has none, else a
// pointer to the (possibly NULL, not yet made) dictionary.
inline PyObject** dict_ptr(PyObject* obj) { return _PyObject_GetDictPtr(obj); }

// Whether instances of t have no instance dictionary of any kind.
inline bool lacks_instance_dict(PyTypeObject* t) {
#ifdef Py_TPFLAGS_MANAGED_DICT
    if (t->tp_flags & Py_TPFLAGS_MANAGED_DICT) return false;
#endif
    return t->tp_dictoffset == 0;
}

// object.__getattribute__(obj, name) without building an AttributeError when
// the attribute is absent: new reference, or NULL with no exception set when
// absent, or NULL with an exception set on error.
inline PyObject* generic_getattr_optional(PyObject* obj, PyObject* name) {
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

// The C function behind descr when descr is a method descriptor, with exactly
// the calling convention `flags`, of a method that applies to instances of t;
// NULL otherwise.  For METH_VARARGS (varargs_method: the arguments as one
// tuple) calling it as f(self, args) is what calling the descriptor does,
// without the argument tuple being built a second time from a vector; for
// METH_O, f(self, arg).
inline PyCFunction c_method(PyObject* descr, PyTypeObject* t, int flags) {
    if (!descr || Py_TYPE(descr) != &PyMethodDescr_Type) return nullptr;
    const PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
    if (def->ml_flags != flags) return nullptr;
    if (!PyType_IsSubtype(t, PyDescr_TYPE(descr))) return nullptr;
    return def->ml_meth;
}
inline PyCFunction varargs_method(PyObject* descr, PyTypeObject* t) { return c_method(descr, t, METH_VARARGS); }

// Change one or more slots of a class after it was made.  `patch` assigns
// the slots; the runtime is then told the class changed, which drops its
// cached lookups and gives the class a new version tag.
template <typename Patch>
inline void patch_slots(PyTypeObject* t, Patch&& patch) {
    patch(t);
    PyType_Modified(t);
}

// A zeroed type object for static storage with the object header the
// runtime expects of a statically allocated object (immortal from 3.12).
// The header is copied from the runtime's own initialiser, so the reference
// count field is never written by hand.
inline PyTypeObject static_type() {
    static const PyObject kHeads[] = {PyObject_HEAD_INIT(nullptr)};
    PyTypeObject t{};
    t.ob_base.ob_base = kHeads[0];
    return t;
}

// Whether t is one of the weak proxy types (weakref.proxy of a plain or of a
// callable object).
inline bool is_weak_proxy_type(PyTypeObject* t) {
    return t == &_PyWeakref_ProxyType || t == &_PyWeakref_CallableProxyType;
}

// The object a weak reference or proxy points to: a new reference, NULL with
// no exception once it is gone, NULL with an exception on error.
inline PyObject* weak_get(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0) return nullptr;
    return obj;
#else
    PyObject* obj = PyWeakref_GetObject(ref);
    if (!obj || obj == Py_None) return nullptr;
    return Py_NewRef(obj);
#endif
}

// ---------------------------------------------------------------------------
// Strings and tuples.
// ---------------------------------------------------------------------------

// Make sure a str has its canonical representation before PyUnicode_KIND /
// PyUnicode_DATA are used on it (only legacy strings of old versions need
// it).  -1 with an exception set on failure.
inline int unicode_ready(PyObject* u) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(u);
#else
    (void)u;
    return 0;
#endif
}

// Shrink or grow a tuple nobody else holds yet; on failure *t is freed and
// set to NULL, and -1 returned with an exception set.
inline int tuple_resize(PyObject** t, Py_ssize_t n) { return _PyTuple_Resize(t, n); }

// ---------------------------------------------------------------------------
// Exceptions.
// ---------------------------------------------------------------------------

// Take the pending exception as one normalised object (new reference, NULL
// when none is set), clearing the indicator.
inline PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    return v;
#endif
}

// Set an exception object taken with take_exception() as pending again
// (steals the reference).
inline void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = Py_NewRef((PyObject*)Py_TYPE(exc));
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// ---------------------------------------------------------------------------
// Dictionary change stamps.
//
// dict_stamp(d) gives a pointer to a counter that changes whenever d changes
// (nullptr when none can be had: the caller then checks every time).  Up to
// 3.11 that is the dictionary's own version tag, which the runtime renews on
// every change; from 3.12 on the tag is gone from the public structure and a
// dict watcher of this module keeps one counter per watched dictionary.  The
// watcher is added on first use, once per extension module; the runtime has
// a few watcher slots per interpreter, so only module namespaces are watched.
// The counters start at 1, so a stamp of 0 never matches.
// ---------------------------------------------------------------------------
#if PY_VERSION_HEX >= 0x030C0000
constexpr int kWatchedDicts = 8;
struct WatchedDicts {
    int watcher = -2;  // -2: not yet asked for; -1: none to be had
    PyObject* dict[kWatchedDicts] = {};
    uint64_t stamp[kWatchedDicts] = {};
};
inline WatchedDicts watched;

inline int on_dict_event(PyDict_WatchEvent event, PyObject* d, PyObject*, PyObject*) {
    for (int i = 0; i < kWatchedDicts; ++i) {
        if (watched.dict[i] != d) continue;
        ++watched.stamp[i];
        if (event == PyDict_EVENT_DEALLOCATED) watched.dict[i] = nullptr;
    }
    return 0;
}

// -1 with an exception set on error.
inline int dict_stamp(PyObject* d, const uint64_t** out) {
    *out = nullptr;
    for (int i = 0; i < kWatchedDicts; ++i)
        if (watched.dict[i] == d) {
            *out = &watched.stamp[i];
            return 0;
        }
    if (watched.watcher == -2) {
        watched.watcher = PyDict_AddWatcher(on_dict_event);
        if (watched.watcher < 0) PyErr_Clear();  // none left: check every time instead
    }
    if (watched.watcher < 0) return 0;
    for (int i = 0; i < kWatchedDicts; ++i)
        if (!watched.dict[i]) {
            if (PyDict_Watch(watched.watcher, d) < 0) return -1;
            watched.dict[i] = d;
            watched.stamp[i] = 1;
            *out = &watched.stamp[i];
            return 0;
        }
    return 0;
}
#else
inline int dict_stamp(PyObject* d, const uint64_t** out) {
    *out = &reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
    return 0;
}
#endif

// Whether an instance dictionary's version tag tells its state apart.  Up to
// 3.11 it is an ordinary dictionary with a process-unique version per state;
// from 3.12 attribute stores may go to values shared with the dictionary
// without a new version, so no such shortcut exists.
constexpr bool kInstanceDictVersions = PY_VERSION_HEX < 0x030C0000;
inline uint64_t instance_dict_version(PyObject* d) {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#else
    (void)d;
    return 0;
#endif
}

// The instance dictionary obj already has (borrowed), or NULL when it has
// none yet or its type keeps it where only dict_ptr() finds it.  Unlike
// dict_ptr() it never makes one: a read of the slot where a plain class keeps
// it (a fixed offset, or from 3.11 the managed slot before the object), for
// a check that compares the dictionary with one seen before.  Up to 3.11
// only, where instance dictionaries have versions.
inline PyObject* existing_instance_dict(PyObject* obj) {
#if PY_VERSION_HEX < 0x030C0000
    PyTypeObject* t = Py_TYPE(obj);
#ifdef Py_TPFLAGS_MANAGED_DICT
    if (t->tp_flags & Py_TPFLAGS_MANAGED_DICT) return reinterpret_cast<PyObject**>(obj)[-3];
#endif
    if (t->tp_dictoffset > 0) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + t->tp_dictoffset);
#else
    (void)obj;
#endif
    return nullptr;
}

// The target of a weak proxy or reference (borrowed), NULL once it is gone.
// Up to 3.11 only (later versions take a strong reference: weak_get), for a
// comparison with an object seen before.
inline PyObject* weak_target_borrowed(PyObject* ref) {
#if PY_VERSION_HEX < 0x030C0000
    PyObject* obj = PyWeakref_GET_OBJECT(ref);
    return obj == Py_None ? nullptr : obj;
#else
    (void)ref;
    return nullptr;
#endif
}

}  // namespace compat
