// guard.hpp -- the one answer to "is this module-level name, or this type's
// method, still the one we loaded?", for every C++ shortcut that stands in for
// a Python-level lookup.
//
// A shortcut may replace `name(...)` or `obj.method(...)` only while the
// lookup Python would do finds the very object the module was loaded with;
// otherwise the code looks the name up and calls what it finds.  Two tools:
//
//   NameGuard   a set of module-level names and the objects bound to them at
//               load time.  holds() is one comparison while the module
//               namespace is unchanged (see compat::dict_stamp) and a scan of
//               the names after any change.
//   TypeMemo    a type-level verdict remembered under the type's version
//               tag: hit(t) is one comparison; the runtime renews the tag
//               whenever the type or a base changes.
//   DictReads   the verdict that some attributes of a type's instances are
//               plain instance dictionary entries, so that they can be read
//               from the dictionary without the generic lookup.
//
// and the lookups they remember: type_resolves (the MRO lookup, from the
// runtime's method cache) and instance_resolves (the same, and no instance
// dictionary entry shadowing it).
//
// Nothing else is remembered: no instance attribute, no object's address, no
// "last object asked".  What an instance holds is read from it on every use.
//
// With the fast paths switched off (pyhelp::fast_paths()), every question
// answers "not the loaded object", so every caller takes its plain way.
//
// Rules: a new fast path uses these; it never keeps a cache of its own.  A
// guard is asked again whenever Python code may have run since the last
// answer was used (a call into user code can rebind anything).
#pragma once

#include "compat.hpp"
#include "pyhelp.hpp"

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace guard {

using pyhelp::PyErrSet;
using pyhelp::Ref;

class NameGuard {
  public:
    // Watch dict (a module namespace, kept alive by the guard) for the names
    // added with expect().
    void init(PyObject* dict) {
        Py_XSETREF(dict_, Py_NewRef(dict));
        pyhelp::check(compat::dict_stamp(dict, &stamp_));
        seen_ = 0;
    }
    // name must stay bound to value (both kept alive by the guard).
    void expect(PyObject* name, PyObject* value) {
        entries_.push_back({Py_NewRef(name), Py_NewRef(value)});
        seen_ = 0;
    }
    // Whether every name is still bound to its loaded value.  Throws PyErrSet
    // when reading the namespace fails.
    bool holds() {
        if (!pyhelp::fast_paths()) return false;
        if (stamp_ && *stamp_ == seen_) return ok_;
        ok_ = scan();
        seen_ = stamp_ ? *stamp_ : 0;
        return ok_;
    }
    // The dictionary watched (borrowed).
    PyObject* dict() const noexcept { return dict_; }

  private:
    bool scan() {
        for (const Entry& e : entries_) {
            PyObject* v = PyDict_GetItemWithError(dict_, e.name);
            if (v != e.value) {
                if (!v && PyErr_Occurred()) throw PyErrSet{};
                return false;
            }
        }
        return true;
    }
    struct Entry {
        PyObject* name;
        PyObject* value;
    };
    PyObject* dict_ = nullptr;
    const uint64_t* stamp_ = nullptr;
    uint64_t seen_ = 0;
    bool ok_ = false;
    std::vector<Entry> entries_;
};

// A type-level answer remembered for the last N types at their versions.
template <unsigned N = 1>
class TypeMemo {
  public:
    bool hit(PyTypeObject* t) const noexcept {
        if (!pyhelp::fast_paths()) return false;
        for (const Slot& s : slots_)
            if (s.type == t && s.tag && s.tag == compat::type_version(t)) return true;
        return false;
    }
    // Remember a positive answer for t (only when t has a valid tag).
    void store(PyTypeObject* t) noexcept {
        unsigned int tag = compat::type_version(t);
        if (!tag) return;
        Slot& s = slots_[next_++ % N];
        s.type = t;
        s.tag = tag;
    }

  private:
    struct Slot {
        PyTypeObject* type = nullptr;
        unsigned int tag = 0;
    };
    Slot slots_[N];
    unsigned next_ = 0;
};

// Whether the MRO of t resolves name to exactly `loaded`.
inline bool type_resolves(PyTypeObject* t, PyObject* name, PyObject* loaded) {
    if (!pyhelp::fast_paths()) return false;
    return compat::type_lookup(t, name) == loaded;
}

// Whether obj has no entry `name` in its instance dictionary.
inline bool instance_lacks(PyObject* obj, PyObject* name) {
    PyObject** dictptr = compat::dict_ptr(obj);
    if (!dictptr || !*dictptr) return true;
    if (PyDict_GetItemWithError(*dictptr, name)) return false;
    if (PyErr_Occurred()) throw PyErrSet{};
    return true;
}

// Whether obj.<name> (ordinary attribute lookup assumed) finds the class
// attribute `loaded`: the type resolves it and the instance does not shadow
// it.
inline bool instance_resolves(PyObject* obj, PyObject* name, PyObject* loaded) {
    return type_resolves(Py_TYPE(obj), name, loaded) && instance_lacks(obj, name);
}

// The same, with the type-level half remembered in memo.
template <unsigned N>
inline bool instance_resolves(PyObject* obj, PyObject* name, PyObject* loaded, TypeMemo<N>& memo) {
    PyTypeObject* t = Py_TYPE(obj);
    if (!memo.hit(t)) {
        if (!type_resolves(t, name, loaded)) return false;
        memo.store(t);
    }
    return instance_lacks(obj, name);
}

// DictReads: whether obj.<name>, for each of a fixed set of names, is the
// entry `name` of obj's instance dictionary whenever that dictionary has
// one.  That is so for a type whose attribute lookup is object's own (the
// type resolves __getattribute__ to object's; a __getattr__ hook of a class
// is asked only after that lookup fails) and whose MRO gives none of the
// names a data descriptor (which would win over the dictionary).  The
// verdict is per type, remembered under its version tag; what an instance
// holds is read from it on every use (read()).
template <unsigned N = 2>
class DictReads {
  public:
    // getattribute: the interned "__getattribute__"; names: interned.  All
    // kept alive by the caller for the process.
    void init(PyObject* getattribute, std::initializer_list<PyObject*> names) {
        getattribute_ = getattribute;
        object_getattribute_ = compat::type_lookup(&PyBaseObject_Type, getattribute);
        names_.assign(names.begin(), names.end());
    }
    bool holds(PyTypeObject* t) {
        if (memo_.hit(t)) return true;
        if (!pyhelp::fast_paths() || !object_getattribute_) return false;
        if (t->tp_getattro != PyObject_GenericGetAttr &&
            !(PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) &&
              compat::type_lookup(t, getattribute_) == object_getattribute_))
            return false;
        for (PyObject* name : names_) {
            PyObject* d = compat::type_lookup(t, name);
            if (d && Py_TYPE(d)->tp_descr_set) return false;
        }
        memo_.store(t);
        return true;
    }
    // obj.<name> (name one of the set): the instance dictionary's entry
    // while the verdict holds for type(obj) and the entry exists, else the
    // full attribute lookup.
    Ref read(PyObject* obj, PyObject* name) {
        if (holds(Py_TYPE(obj))) {
            PyObject** dictptr = compat::dict_ptr(obj);
            if (dictptr && *dictptr) {
                Ref dict = Ref::newref(*dictptr);
                if (PyObject* v = PyDict_GetItemWithError(dict.get(), name)) return Ref::newref(v);
                if (PyErr_Occurred()) throw PyErrSet{};
            }
        }
        return pyhelp::getattr(obj, name);
    }

    // The entries names[0:n] of obj's instance dictionary (new references in
    // out) when the verdict holds for type(obj), the dictionary has them all
    // and none of absent[0:m]; false otherwise, with nothing looked up beyond
    // the dictionary.  *exact tells that the dictionary holds nothing but
    // names[0:n], so that no attribute of the class at all is shadowed by an
    // instance entry.
    bool peek(PyObject* obj, PyObject* const* names, int n, Ref* out, bool* exact, PyObject* const* absent = nullptr,
              int m = 0) {
        if (!holds(Py_TYPE(obj))) return false;
        PyObject** dictptr = compat::dict_ptr(obj);
        if (!dictptr || !*dictptr) return false;
        Ref dict = Ref::newref(*dictptr);
        for (int i = 0; i < n; ++i) {
            PyObject* v = PyDict_GetItemWithError(dict.get(), names[i]);
            if (!v) {
                if (PyErr_Occurred()) throw PyErrSet{};
                return false;
            }
            out[i] = Ref::newref(v);
        }
        for (int i = 0; i < m; ++i) {
            if (PyDict_GetItemWithError(dict.get(), absent[i])) return false;
            if (PyErr_Occurred()) throw PyErrSet{};
        }
        *exact = PyDict_GET_SIZE(dict.get()) == n;
        return true;
    }

  private:
    PyObject* getattribute_ = nullptr;
    PyObject* object_getattribute_ = nullptr;  // borrowed from object's own dictionary
    std::vector<PyObject*> names_;
    TypeMemo<N> memo_;
};

// Whether the class's own namespace still holds `loaded` under name (the
// entry a static or class method is looked up from), remembered in memo.
template <unsigned N>
inline bool class_entry_is(PyTypeObject* cls, PyObject* name, PyObject* loaded, TypeMemo<N>& memo) {
    if (!pyhelp::fast_paths()) return false;
    if (memo.hit(cls)) return true;
    PyObject* entry = PyDict_GetItemWithError(compat::type_dict_borrowed(cls), name);
    if (entry != loaded) {
        if (!entry && PyErr_Occurred()) throw PyErrSet{};
        return false;
    }
    memo.store(cls);
    return true;
}

}  // namespace guard
