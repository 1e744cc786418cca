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
#include <vector>

namespace guard {

using pyhelp::PyErrSet;

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
