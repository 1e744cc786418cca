// commands.cpp -- TclCommand, TempTclCommand and the views
// TclNamespace.CommandsView and TclNamespace.ProcsView.  Part of the
// namespace module; see internal.hpp.
//
// A TclCommand is an ordinary Python class whose methods are the C++ functions
// below; its state lives in plain instance attributes (tcl, cmd_name, args,
// keywords, cast, logger), so subclasses and users see exactly what a Python
// implementation would show.  The call path (__call__ -> call -> build_tclcmd
// -> kwargs_to_dashed_args -> tk.call) is the hot one: while those methods are
// still the class's own, one C++ function assembles the word tuple in a single
// allocation and hands it to the interpreter; as soon as a subclass or an
// instance attribute replaces one of them, the replacement is called instead.
//
// Whether the names behind tclobj() are still quoml's own is asked of quoml
// through its capsule; quoml's namespace is kept only to look its `tclobj`
// up at call time once they are not.
#include "internal.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace trelmo_ns {
namespace {

// ---------------------------------------------------------------------------
// State of the commands part: the method objects the fast path compares
// against, and the classes it makes.  Owned for the process.
// ---------------------------------------------------------------------------
struct CmdState {  // one global instance, zero-initialised
    // The class's own method objects (as stored in its __dict__); the fast
    // path runs while attribute lookup on an instance still finds these.
    Loaded own_build, own_dashed, own_call, own_dunder_call;
    PyObject *CommandsView, *ProcsView;
    // The quoml module's namespace, where its `tclobj` is looked up at call
    // time once its names no longer hold.
    PyObject* quoml_dict;
} K;

// "-name" for the option names last seen, by identity of the (exact str)
// name: the names of a handle's options are the same objects call after call.
// Both references are owned, so a cached name cannot be reused by another.
struct DashSlot {
    PyObject* key = nullptr;
    PyObject* dashed = nullptr;
};
constexpr std::size_t kDashSlots = 64;
DashSlot g_dashes[kDashSlots];

// ---------------------------------------------------------------------------
// Small helpers.
// ---------------------------------------------------------------------------

// self.tcl.tk
Ref tk_of(PyObject* self) {
    Ref tcl = getattr(self, S.tcl);
    return tk_from(tcl.get());
}

// self.tcl.<cast>(value)
Ref interp_cast(PyObject* self, PyObject* cast, PyObject* value) {
    Ref tcl = getattr(self, S.tcl);
    return call_method1(tcl.get(), cast, value);
}

// The package module trelmo.tcl, imported at call time (a sys.modules hit
// once it is loaded).
Ref package() {
    PyObject* m = PyImport_GetModule(S.trelmo_tcl);
    if (m) return Ref::steal(m);
    if (PyErr_Occurred()) throw PyErrSet{};
    return own(PyImport_Import(S.trelmo_tcl));
}

// Methods take self as args[0] (instance methods of a Python class).  The rare
// calls that do not fit the fast checks (no positional argument at all, or a
// keyword named `self`) go through parse() for the wording of a def with the
// same signature.
struct SelfCall {
    PyObject* self;
    PyObject* const* argv;  // positional arguments after self, then keyword values
    Py_ssize_t n;           // number of positional arguments after self
    PyObject* kwnames;      // nullptr or tuple
    // storage when the call had to be rebuilt
    std::vector<PyObject*> store;
    Ref names;
    Parsed parsed;
};

void bind_self(SelfCall& sc, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bool self_kw = false;
    if (kwnames) {
        for (Py_ssize_t k = 0, nk = PyTuple_GET_SIZE(kwnames); k < nk; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (key == S.self || (PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) == 4 &&
                                   PyUnicode_CompareWithASCIIString(key, "self") == 0)) {
                self_kw = true;
                break;
            }
        }
    }
    if (nargs >= 1 && !self_kw) {
        sc.self = args[0];
        sc.argv = args + 1;
        sc.n = nargs - 1;
        sc.kwnames = kwnames;
        return;
    }
    // `self` given by keyword only (or missing, or twice: parse() raises).
    sc.parsed = parse(sig, args, nargs, kwnames);
    sc.self = sc.parsed[0];
    Py_ssize_t n = PyTuple_GET_SIZE(sc.parsed.star.get());
    Py_ssize_t nk = PyDict_GET_SIZE(sc.parsed.starstar.get());
    sc.names = own(PyTuple_New(nk));
    for (Py_ssize_t i = 0; i < n; ++i) sc.store.push_back(PyTuple_GET_ITEM(sc.parsed.star.get(), i));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(sc.parsed.starstar.get(), &pos, &key, &value)) {
        PyTuple_SET_ITEM(sc.names.get(), k++, Py_NewRef(key));
        sc.store.push_back(value);
    }
    sc.argv = sc.store.data();
    sc.n = n;
    sc.kwnames = nk ? sc.names.get() : nullptr;
}

// Signatures of the *args/**kwargs methods, for the rare slow binding above.
Signature star_sig(const char* name, const char* qualname) { return {name, qualname, {"self"}, 1, 1, 0, true, true}; }

// ---------------------------------------------------------------------------
// Word assembly.
// ---------------------------------------------------------------------------

// "-" + key; exact str keys are cached, other keys use their own addition.
Ref dashed(PyObject* key) {
    if (!PyUnicode_CheckExact(key)) return own(PyNumber_Add(S.dash, key));
    DashSlot& slot = g_dashes[(reinterpret_cast<std::uintptr_t>(key) >> 4) % kDashSlots];
    if (slot.key == key) return Ref::newref(slot.dashed);
    Ref d = own(PyUnicode_Concat(S.dash, key));
    Py_XSETREF(slot.key, Py_NewRef(key));
    Py_XSETREF(slot.dashed, Py_NewRef(d.get()));
    return d;
}

// TclCommand.kwargs_to_dashed_args(**kwargs) over a vectorcall keyword part.
Ref dashed_args(PyObject* const* values, PyObject* kwnames) {
    Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Ref out = own(PyTuple_New(2 * nk));
    for (Py_ssize_t k = 0; k < nk; ++k) {
        PyTuple_SET_ITEM(out.get(), 2 * k, dashed(PyTuple_GET_ITEM(kwnames, k)).release());
        PyTuple_SET_ITEM(out.get(), 2 * k + 1, Py_NewRef(values[k]));
    }
    return out;
}

// Whether key (an exact str) equals the keyword name `name`.
inline bool same_key(PyObject* key, PyObject* name) {
    if (key == name) return true;
    if (!PyUnicode_CheckExact(name)) return false;
    if (PyUnicode_CHECK_INTERNED(key) && PyUnicode_CHECK_INTERNED(name)) return false;
    return PyUnicode_Compare(key, name) == 0;
}

// ---------------------------------------------------------------------------
// Conversion of call arguments.
//
// tclobj() is honoured through the module-level names, but a call with a few
// strings and small integers should not pay for a full conversion.  With
// quoml's names as they were loaded, tclobj() of an exact tuple is the tuple
// of tclobj() of its items, and an exact str, bytes, float or bool, or an
// exact int in the machine range, converts to itself.  This module's own
// `tclobj` is watched by a name guard; quoml answers for its names through
// the capsule.
// ---------------------------------------------------------------------------

// A 0/1 answer of the capsule, -1 (an error) thrown.
bool capi_answer(int r) { return check(r) != 0; }

}  // namespace

bool quoml_names_hold() { return tclobj_is_own() && capi_answer(M.capi->names_hold()); }

namespace {

// The bridge encodes a str word with "surrogateescape" and reports a failure
// cleanly for a word of the command itself, but not for an item of a nested
// tuple: it goes on with a null Tcl object and the process crashes.  Text
// with a lone surrogate outside U+DC80..U+DCFF inside the words is therefore
// refused here, with the error the bridge raises for such a word.
void refuse_uncarryable(PyObject* s) {
    unicode_ready(s);
    const int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_1BYTE_KIND) return;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF && !(c >= 0xDC80 && c <= 0xDCFF)) {
            own(PyUnicode_AsEncodedString(s, "utf-8", "surrogateescape"));  // raises UnicodeEncodeError
            raise(PyExc_UnicodeError, "text with a lone surrogate cannot go to Tcl");
        }
    }
}

Ref tclobj_item_unchecked(PyObject* e, Conv& cv, bool in_sequence) {
    if (cv.names < 0) cv.names = quoml_names_hold();
    if (cv.names) {
        PyTypeObject* t = Py_TYPE(e);
        if (t == &PyUnicode_Type || t == &PyBytes_Type || t == &PyFloat_Type || t == &PyBool_Type)
            return Ref::newref(e);
        if (t == &PyLong_Type) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(e, &overflow);
            if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
            if (!overflow && v >= PY_SSIZE_T_MIN && v <= PY_SSIZE_T_MAX) return Ref::newref(e);
        } else if (t == &PyList_Type || t == &PyTuple_Type) {
            // An exact list or tuple: the tuple of its items converted, as
            // quoml's _tclobj_from_sequence makes it (its items through
            // quoml's `tclobj` should the names change on the way).  A list
            // may change size while Python code runs for an item; the loop
            // follows it as a list iterator would.
            RecursionGuard guard(" while converting a list for Tcl");
            const bool is_list = t == &PyList_Type;
            Py_ssize_t size = Py_SIZE(e);
            PyObject* out = check(PyTuple_New(size));
            Ref keep = Ref::steal(out);
            Py_ssize_t i = 0;
            for (; i < Py_SIZE(e); ++i) {
                Ref item = Ref::newref(is_list ? PyList_GET_ITEM(e, i) : PyTuple_GET_ITEM(e, i));
                Ref conv = tclobj_item(item.get(), cv, true);
                if (i >= size) {
                    size = Py_SIZE(e) > i ? Py_SIZE(e) : i + 1;
                    keep.release();
                    if (compat::tuple_resize(&out, size) < 0) throw PyErrSet{};  // frees out on failure
                    keep = Ref::steal(out);
                }
                PyTuple_SET_ITEM(out, i, conv.release());
            }
            if (i < size) {
                keep.release();
                if (compat::tuple_resize(&out, i) < 0) throw PyErrSet{};
                keep = Ref::steal(out);
            }
            return keep;
        } else if (t == &PyDict_Type && capi_answer(M.capi->pristine())) {
            // An exact dict with exact str keys: quoml's _tclobj_from_mapping
            // takes the flat list of keys and values first, then converts it
            // item by item (here in place, in the tuple that holds the list).
            RecursionGuard guard(" while converting a mapping for Tcl");
            Ref flat = own(PyTuple_New(2 * PyDict_GET_SIZE(e)));
            Py_ssize_t pos = 0, i = 0;
            PyObject *key, *value;
            bool plain_keys = true;
            while (plain_keys && PyDict_Next(e, &pos, &key, &value)) {
                plain_keys = PyUnicode_CheckExact(key);
                PyTuple_SET_ITEM(flat.get(), i++, Py_NewRef(key));
                PyTuple_SET_ITEM(flat.get(), i++, Py_NewRef(value));
            }
            if (plain_keys) {
                for (Py_ssize_t j = 0; j < i; ++j) {
                    Ref conv = tclobj_item(PyTuple_GET_ITEM(flat.get(), j), cv, true);
                    PyObject* old = PyTuple_GET_ITEM(flat.get(), j);
                    PyTuple_SET_ITEM(flat.get(), j, conv.release());
                    Py_DECREF(old);
                }
                return flat;
            }
        }
        cv.names = -1;
        cv.ran_python = true;
        return own(M.capi->tclobj(e));
    }
    cv.ran_python = true;
    if (!in_sequence) return to_tclobj(e);
    PyObject* f = PyDict_GetItemWithError(K.quoml_dict, S.tclobj);
    if (!f) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'tclobj' is not defined");
        throw PyErrSet{};
    }
    Ref keep = Ref::newref(f);
    return call1(keep.get(), e);
}

}  // namespace

/*
 *---------------------------------------------------------------------------
 * tclobj_item --
 *
 *	tclobj() of one item: the shortcut for exact scalars while the names
 *	hold, quoml's C entry point for anything else.  in_sequence tells whose
 *	`tclobj` converts the item once the names no longer hold: quoml's own
 *	(the item belongs to a tuple that _tclobj_from_sequence is converting)
 *	or this module's (a keyword value).
 *
 * Results:
 *	A new reference to the converted item.
 *
 * Side effects:
 *	CAUTION: may run arbitrary Python code (protocol methods).
 *---------------------------------------------------------------------------
 */
Ref tclobj_item(PyObject* e, Conv& cv, bool in_sequence) {
    Ref r = tclobj_item_unchecked(e, cv, in_sequence);
    if (in_sequence && PyUnicode_Check(r.get())) refuse_uncarryable(r.get());
    return r;
}

namespace {

// ---------------------------------------------------------------------------
// Plain handles: the attributes straight from the instance dictionary.
//
// While a handle's class still has the class's own call, build_tclcmd and
// kwargs_to_dashed_args, no class-level attribute under the six instance
// attribute names and no __getattribute__/__getattr__ of its own, and the
// instance dictionary does not shadow those methods, `self.x` is the
// dictionary entry: read it there.  The verdict on a class is cached under
// its version tag, which the runtime renews whenever the class or a base
// changes.
// ---------------------------------------------------------------------------
guard::TypeMemo<4> g_plain_types;

bool plain_type(PyTypeObject* t) {
    if (g_plain_types.hit(t)) return true;
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;
    if (!K.own_call.on_type(t) || !K.own_build.on_type(t) || !K.own_dashed.on_type(t)) return false;
    for (PyObject* name : {S.tcl, S.cmd_name, S.args, S.keywords, S.cast, S.logger})
        if (compat::type_lookup(t, name)) return false;
    g_plain_types.store(t);
    return true;
}

// The six instance attributes, owned, and where `cast` sat in the instance
// dictionary (a hint for reading it again after the command ran).
struct Fields {
    Ref tcl, cmd_name, args, keywords, cast, logger;
    Py_ssize_t cast_pos = -1;
    PyObject* dict = nullptr;  // the dictionary they came from (borrowed) ...
    uint64_t version = 0;      // ... and its version then (0: unknown)
};

// What read_fields() last found, by dictionary and version: a handle called
// again and again is read without walking its dictionary.  The pointers are
// borrowed: they are used only while that dictionary is unchanged, so still
// holds them.
struct FieldsMemo {
    PyObject* dict = nullptr;
    uint64_t version = 0;
    PyObject* values[6] = {};
    Py_ssize_t cast_pos = -1;
} g_memo;

// Whether the str `key` (not one of the interned names themselves) equals one
// of them.  An interned string that is not one of them cannot.
bool names_one_of(PyObject* key, PyObject* const* names, int n) {
    if (PyUnicode_CHECK_INTERNED(key)) return false;
    for (int i = 0; i < n; ++i)
        if (PyUnicode_Compare(key, names[i]) == 0) return true;
    return false;
}

// The instance dictionary of a plain handle, or null.
PyObject* plain_dict_borrowed(PyObject* self) {
    if (!plain_type(Py_TYPE(self))) return nullptr;
    PyObject** dictptr = compat::dict_ptr(self);
    if (!dictptr || !*dictptr || !PyDict_CheckExact(*dictptr)) return nullptr;
    return *dictptr;
}

bool read_dict(PyObject* d, Fields& f, Ref* const* slots);

/*
 *---------------------------------------------------------------------------
 * read_fields --
 *
 *	The six attributes of a plain handle, read in one pass over its
 *	instance dictionary (cheaper than six lookups: the keys are the
 *	interned names the initialiser stored, in its order, compared by
 *	identity).
 *
 * Results:
 *	true with f filled; false when the handle is not plain, an attribute
 *	is missing, or the dictionary shadows one of the three methods or holds
 *	keys this pass cannot judge: the caller then takes the generic path.
 *
 * Side effects:
 *	None; runs no Python code.
 *---------------------------------------------------------------------------
 */
bool read_fields(PyObject* self, Fields& f) {
    PyObject* d = plain_dict_borrowed(self);
    if (!d) return false;
    Ref* slots[] = {&f.tcl, &f.cmd_name, &f.args, &f.keywords, &f.cast, &f.logger};
    const uint64_t version = compat::instance_dict_version(d);
    if (version && d == g_memo.dict && version == g_memo.version) {
        for (int i = 0; i < 6; ++i) *slots[i] = Ref::newref(g_memo.values[i]);
        f.cast_pos = g_memo.cast_pos;
        f.dict = d;
        f.version = version;
        return true;
    }
    if (!read_dict(d, f, slots)) return false;
    f.dict = d;
    f.version = version;
    if (version) {
        g_memo.dict = d;
        g_memo.version = version;
        for (int i = 0; i < 6; ++i) g_memo.values[i] = slots[i]->get();
        g_memo.cast_pos = f.cast_pos;
    }
    return true;
}

// The pass over the dictionary itself.
bool read_dict(PyObject* d, Fields& f, Ref* const* slots) {
    PyObject* const names[] = {S.tcl,  S.cmd_name, S.args, S.keywords, S.cast, S.logger,
                               S.call, S.build_tclcmd, S.kwargs_to_dashed_args};
    const bool only_ours = PyDict_GET_SIZE(d) == 6;
    unsigned found = 0;
    int next = 0;  // the slot the initialiser's order puts next
    Py_ssize_t pos = 0, before = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value)) {
        int hit = -1;
        if (next < 6 && key == names[next]) {
            hit = next++;
        } else {
            for (int i = 0; i < 6; ++i)
                if (key == names[i]) {
                    hit = i;
                    break;
                }
        }
        if (hit >= 0) {
            *slots[hit] = Ref::newref(value);
            found |= 1u << hit;
            if (hit == 4) f.cast_pos = before;
            if (found == 0x3f && only_ours) return true;
            before = pos;
            continue;
        }
        if (!PyUnicode_CheckExact(key)) return false;
        if (key == names[6] || key == names[7] || key == names[8] || names_one_of(key, names, 9)) return false;
        before = pos;
    }
    return found == 0x3f;
}

// self.cast, read again after the command ran (Tcl may have called back into
// Python code that changed it): from the dictionary while the handle is plain,
// first at the position where it was found before.
Ref cast_now(PyObject* self, const Fields* f) {
    if (PyObject* d = plain_dict_borrowed(self)) {
        if (f && f->version && d == f->dict && compat::instance_dict_version(d) == f->version) return Ref::newref(f->cast.get());
        Py_ssize_t hint = f ? f->cast_pos : -1;
        PyObject *key, *value;
        if (hint >= 0 && PyDict_Next(d, &hint, &key, &value) && key == S.cast) return Ref::newref(value);
        PyObject* v = PyDict_GetItemWithError(d, S.cast);
        if (v) return Ref::newref(v);
        if (PyErr_Occurred()) throw PyErrSet{};
    }
    return getattr(self, S.cast);
}

// An exact str, bytes, float or bool, or an exact int in the machine range:
// what tclobj() returns unchanged while quoml's names hold.
inline bool plain_scalar(PyObject* e) {
    PyTypeObject* t = Py_TYPE(e);
    if (t == &PyUnicode_Type || t == &PyBytes_Type || t == &PyFloat_Type || t == &PyBool_Type) return true;
    if (t != &PyLong_Type) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(e, &overflow);
    return !overflow && v >= PY_SSIZE_T_MIN && v <= PY_SSIZE_T_MAX;  // -1 never comes with an error here
}

// The common call of a plain handle: positional words that are all plain
// scalars, no keyword options of the call, exact pre-bound tuple and options
// dictionary.  Null when the call is not of this kind; nothing has run then.
Ref build_plain(Fields* f, PyObject* const* argv, Py_ssize_t n) {
    PyObject* pre = f->args.get();
    PyObject* kwd = f->keywords.get();
    if (!PyTuple_CheckExact(pre) || !PyDict_CheckExact(kwd)) return Ref();
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!plain_scalar(argv[i])) return Ref();
    const Py_ssize_t nopts = PyDict_GET_SIZE(kwd);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (nopts && PyDict_Next(kwd, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return Ref();
    if (!quoml_names_hold()) return Ref();
    const Py_ssize_t npre = PyTuple_GET_SIZE(pre);
    Ref out = own(PyTuple_New(1 + npre + n + 2 * nopts));
    PyObject* t = out.get();
    Py_ssize_t i = 0;
    PyTuple_SET_ITEM(t, i++, Py_NewRef(f->cmd_name.get()));
    for (Py_ssize_t j = 0; j < npre; ++j) PyTuple_SET_ITEM(t, i++, Py_NewRef(PyTuple_GET_ITEM(pre, j)));
    for (Py_ssize_t j = 0; j < n; ++j) PyTuple_SET_ITEM(t, i++, Py_NewRef(argv[j]));
    pos = 0;
    // An error below leaves the tuple to be freed with NULL slots, which
    // tuple deallocation accepts.
    while (nopts && PyDict_Next(kwd, &pos, &key, &value)) {
        PyTuple_SET_ITEM(t, i++, dashed(key).release());
        PyTuple_SET_ITEM(t, i++, Py_NewRef(value));
    }
    return out;
}

/*
 *---------------------------------------------------------------------------
 * build_words --
 *
 *	The word tuple of one call of `self`: the command name, the pre-bound
 *	words, tclobj() of this call's positional words, then the pre-bound
 *	options overridden and extended by this call's keyword options, each as
 *	"-name" followed by its value.  Pre-bound options keep their place; new
 *	ones follow in call order.  f holds the attributes of a plain handle
 *	(read_fields), or is null and the attributes are looked up.
 *
 *	While the pieces are the exact built-in types and
 *	kwargs_to_dashed_args is the class's own, the tuple is written in one
 *	allocation, without the intermediate tuples and the dictionary copy of
 *	the step-by-step definition; otherwise those steps are taken literally,
 *	so overridden methods and odd attribute values behave as they would in
 *	Python.
 *
 * Results:
 *	A new reference to the tuple; cv tells whether Python code may have run.
 *
 * Side effects:
 *	CAUTION: may run arbitrary Python code (tclobj protocol methods,
 *	attribute lookups); the handle itself is never modified.
 *---------------------------------------------------------------------------
 */
Ref build_words(PyObject* self, Fields* f, PyObject* const* argv, Py_ssize_t n, PyObject* kwnames, Conv& cv) {
    if (f && !kwnames) {
        if (Ref words = build_plain(f, argv, n)) return words;
    }
    Ref name = f ? std::move(f->cmd_name) : getattr(self, S.cmd_name);
    Ref pre = f ? std::move(f->args) : getattr(self, S.args);
    if (!f) cv.ran_python = true;

    // tclobj(args): item by item while quoml's names hold, else as a whole.
    constexpr Py_ssize_t kSmall = 4;
    Ref small_items[kSmall];
    std::vector<Ref> big_items;
    Ref* items = small_items;
    Ref conv;  // the whole-tuple conversion, when taken
    cv.names = quoml_names_hold();
    if (cv.names) {
        if (n > kSmall) {
            big_items.resize((std::size_t)n);
            items = big_items.data();
        }
        for (Py_ssize_t i = 0; i < n; ++i) items[i] = tclobj_item(argv[i], cv, true);
    } else {
        Ref call_args = tuple_join({}, argv, n);
        conv = to_tclobj(call_args.get());
        cv.ran_python = true;
        cv.names = -1;
    }
    Ref keywords = f ? std::move(f->keywords) : getattr(self, S.keywords);

    // tclobj() of each keyword value, in call order.
    const Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<Ref> kwconv;
    if (nk) {
        kwconv.reserve((std::size_t)nk);
        for (Py_ssize_t k = 0; k < nk; ++k) kwconv.push_back(tclobj_item(argv[n + k], cv, false));
    }

    bool fast = PyTuple_CheckExact(pre.get()) && (!conv || PyTuple_CheckExact(conv.get())) &&
                PyDict_CheckExact(keywords.get()) &&
                ((f && !cv.ran_python) || K.own_dashed.on(self));
    for (Py_ssize_t k = 0; fast && k < nk; ++k) fast = PyUnicode_CheckExact(PyTuple_GET_ITEM(kwnames, k));
    if (fast && PyDict_GET_SIZE(keywords.get())) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (fast && PyDict_Next(keywords.get(), &pos, &key, &value)) fast = PyUnicode_CheckExact(key);
    }

    if (fast) {
        PyObject* kwd = keywords.get();
        const Py_ssize_t npre = PyTuple_GET_SIZE(pre.get());
        const Py_ssize_t nconv = conv ? PyTuple_GET_SIZE(conv.get()) : n;
        // Which call keywords replace a pre-bound option.
        std::vector<char> replaced((std::size_t)nk, 0);
        Py_ssize_t nopts = PyDict_GET_SIZE(kwd);
        if (nk && nopts) {
            for (Py_ssize_t k = 0; k < nk; ++k) {
                PyObject* hit = PyDict_GetItemWithError(kwd, PyTuple_GET_ITEM(kwnames, k));
                if (hit) replaced[(std::size_t)k] = 1;
                else if (PyErr_Occurred()) throw PyErrSet{};
            }
        }
        for (Py_ssize_t k = 0; k < nk; ++k) nopts += !replaced[(std::size_t)k];
        Ref out = own(PyTuple_New(1 + npre + nconv + 2 * nopts));
        PyObject* t = out.get();
        Py_ssize_t i = 0;
        PyTuple_SET_ITEM(t, i++, name.release());
        for (Py_ssize_t j = 0; j < npre; ++j) PyTuple_SET_ITEM(t, i++, Py_NewRef(PyTuple_GET_ITEM(pre.get(), j)));
        if (conv) {
            for (Py_ssize_t j = 0; j < nconv; ++j) PyTuple_SET_ITEM(t, i++, Py_NewRef(PyTuple_GET_ITEM(conv.get(), j)));
        } else {
            for (Py_ssize_t j = 0; j < n; ++j) PyTuple_SET_ITEM(t, i++, items[j].release());
        }
        // An error below leaves the tuple to be freed with NULL slots, which
        // tuple deallocation accepts.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_GET_SIZE(kwd) && PyDict_Next(kwd, &pos, &key, &value)) {
            PyObject* v = value;
            for (Py_ssize_t k = 0; k < nk; ++k) {
                if (replaced[(std::size_t)k] && same_key(key, PyTuple_GET_ITEM(kwnames, k))) {
                    v = kwconv[(std::size_t)k].get();
                    break;
                }
            }
            PyTuple_SET_ITEM(t, i++, dashed(key).release());
            PyTuple_SET_ITEM(t, i++, Py_NewRef(v));
        }
        for (Py_ssize_t k = 0; k < nk; ++k) {
            if (replaced[(std::size_t)k]) continue;
            PyTuple_SET_ITEM(t, i++, dashed(PyTuple_GET_ITEM(kwnames, k)).release());
            PyTuple_SET_ITEM(t, i++, kwconv[(std::size_t)k].release());
        }
        return out;
    }

    // The literal steps.
    cv.ran_python = true;
    if (!conv) {
        conv = own(PyTuple_New(n));
        for (Py_ssize_t j = 0; j < n; ++j) PyTuple_SET_ITEM(conv.get(), j, items[j].release());
    }
    Ref head = tuple_of({name.get()});
    Ref words = own(PyNumber_Add(head.get(), pre.get()));
    words = own(PyNumber_Add(words.get(), conv.get()));
    if (nk) {
        keywords = call_method0(keywords.get(), S.copy);
        for (Py_ssize_t k = 0; k < nk; ++k)
            check(PyObject_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, k), kwconv[(std::size_t)k].get()));
    }
    Ref method = getattr(self, S.kwargs_to_dashed_args);
    Ref kw = own(PyDict_New());
    check(PyDict_Merge(kw.get(), keywords.get(), 1));
    Ref opts = call_tuple_dict(method.get(), nullptr, kw.get());
    return own(PyNumber_InPlaceAdd(words.get(), opts.get()));
}

// self.build_tclcmd(*args, **kwargs), in C++ while it is the class's own.
Ref words_of(PyObject* self, Fields* f, PyObject* const* argv, Py_ssize_t n, PyObject* kwnames, Conv& cv) {
    if (f || K.own_build.on(self)) return build_words(self, f, argv, n, kwnames, cv);
    cv.ran_python = true;
    Ref method = getattr(self, S.build_tclcmd);
    return own(PyObject_Vectorcall(method.get(), argv, (size_t)n, kwnames));
}

// result, or cast(result) when self.cast is true.  Read after the command
// ran: Tcl may have called back into Python code that changed it.
Ref apply_cast(PyObject* self, Ref&& result, const Fields* f = nullptr) {
    Ref cast = cast_now(self, f);
    if (cast.get() == Py_None || !truthy(cast.get())) return std::move(result);
    return call1(cast.get(), result.get());
}

// ---------------------------------------------------------------------------
// TclCommand: construction, calling, conversions.
// ---------------------------------------------------------------------------

const Signature kInitSig{"__init__", "TclCommand.__init__", {"self", "cmd", "args", "keywords", "tcl", "cast", "logger"},
                         7, 2};

Ref TclCommand_init(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kInitSig, argv, nargs, kwnames);
    PyObject* self = p[0];
    Ref cmd = Ref::newref(p[1]);
    PyObject* args_in = p.get(2, Py_None);
    PyObject* keywords = p.get(3, Py_None);
    PyObject* cast = p.get(5, Py_None);
    PyObject* logger = p.get(6, Py_None);

    super_init(M.TclCommand, self);
    Ref pkg = package();
    Ref tcl = bind_interp(p[4]);
    setattr(self, S.tcl, tcl.get());

    Ref args;
    if (args_in == Py_None) {
        int is_cmd = check(PyObject_IsInstance(cmd.get(), M.TclCommand));
        if (is_cmd) {
            cmd = call_method0(cmd.get(), S.build_tclcmd);
        } else if (!PyTuple_CheckExact(cmd.get())) {
            cmd = call_method1(pkg.get(), S.cast_list, cmd.get());
        }
        args = own(PySequence_GetSlice(cmd.get(), 1, PY_SSIZE_T_MAX));
        cmd = own(PySequence_GetItem(cmd.get(), 0));
    } else {
        args = call_method1(pkg.get(), S.cast_list, args_in);
        int is_cmd = check(PyObject_IsInstance(cmd.get(), M.TclCommand));
        if (is_cmd) {
            Ref method = getattr(cmd.get(), S.build_tclcmd);
            Ref star = own(PySequence_Tuple(args.get()));
            Ref words = own(PyObject_Call(method.get(), star.get(), nullptr));
            args = own(PySequence_GetSlice(words.get(), 1, PY_SSIZE_T_MAX));
            cmd = own(PySequence_GetItem(words.get(), 0));
        }
    }
    Ref name = to_quoml(cmd.get());
    setattr(self, S.cmd_name, name.get());
    Ref words = to_tclobj(args.get());
    setattr(self, S.args, words.get());

    Ref kwd = own(PyDict_New());
    setattr(self, S.keywords, kwd.get());
    if (keywords != Py_None && truthy(keywords)) {
        Ref items = call_method0(keywords, S.items);
        Ref it = own(PyObject_GetIter(items.get()));
        while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
            Ref seq = own(PySequence_Fast(pair.get(), "cannot unpack non-iterable object"));
            if (PySequence_Fast_GET_SIZE(seq.get()) != 2)
                raise(PyExc_ValueError, "too many values to unpack (expected 2)");
            PyObject* key = PySequence_Fast_GET_ITEM(seq.get(), 0);
            Ref value = to_tclobj(PySequence_Fast_GET_ITEM(seq.get(), 1));
            check(PyObject_SetItem(kwd.get(), key, value.get()));
        }
        if (PyErr_Occurred()) throw PyErrSet{};
    }
    setattr(self, S.cast, cast);
    setattr(self, S.logger, logger);
    return none();
}

Ref TclCommand_build_tclcmd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig = star_sig("build_tclcmd", "TclCommand.build_tclcmd");
    SelfCall sc;
    bind_self(sc, sig, args, nargs, kwnames);
    Fields f;
    Conv cv;
    bool plain = read_fields(sc.self, f);
    return build_words(sc.self, plain ? &f : nullptr, sc.argv, sc.n, sc.kwnames, cv);
}

Ref TclCommand_kwargs_to_dashed_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs) {
        static const Signature sig{"kwargs_to_dashed_args", "TclCommand.kwargs_to_dashed_args", {}, 0, 0, 0, false,
                                   true};
        parse(sig, args, nargs, kwnames);  // raises: takes 0 positional arguments
    }
    return dashed_args(args, kwnames);
}

// The body of call() once self and the arguments are known; f holds the
// attributes of a plain handle, or is null.
Ref run_call(PyObject* self, Fields* f, PyObject* const* argv, Py_ssize_t n, PyObject* kwnames) {
    Conv cv;
    Ref words = words_of(self, f, argv, n, kwnames, cv);
    const bool fresh = f && !cv.ran_python;  // f still shows the handle as it is
    {
        Ref logger = fresh ? std::move(f->logger) : getattr(self, S.logger);
        if (logger.get() != Py_None && truthy(logger.get())) {
            Ref text = to_quoml(words.get());
            Ref msg = call_method1(S.calling_fmt, S.format, text.get());
            call_method1(logger.get(), S.info, msg.get());
        }
    }
    Ref result;
    {
        Ref tcl = fresh ? std::move(f->tcl) : getattr(self, S.tcl);
        Ref tk = tk_from(tcl.get());
        result = tk_call(tk.get(), words.get());
    }
    return apply_cast(self, std::move(result), f);
}

Ref TclCommand_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig = star_sig("call", "TclCommand.call");
    SelfCall sc;
    bind_self(sc, sig, args, nargs, kwnames);
    Fields f;
    bool plain = read_fields(sc.self, f);
    return run_call(sc.self, plain ? &f : nullptr, sc.argv, sc.n, sc.kwnames);
}

const Signature kDunderCallSig = star_sig("__call__", "TclCommand.__call__");

Ref TclCommand___call__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    SelfCall sc;
    bind_self(sc, kDunderCallSig, args, nargs, kwnames);
    Fields f;
    if (read_fields(sc.self, f)) return run_call(sc.self, &f, sc.argv, sc.n, sc.kwnames);
    if (K.own_call.on(sc.self)) return run_call(sc.self, nullptr, sc.argv, sc.n, sc.kwnames);
    Ref method = getattr(sc.self, S.call);
    return own(PyObject_Vectorcall(method.get(), sc.argv, (size_t)sc.n, sc.kwnames));
}

/*
 *---------------------------------------------------------------------------
 * TclCommand_tp_call --
 *
 *	The call slot of the two classes.  A class that defines __call__ gets
 *	the runtime's generic slot, which binds the method and calls it; this
 *	one goes to the same code without building the bound method, as long
 *	as type(self).__call__ is still the class's own.  Assigning __call__ on
 *	the class (or defining it in a subclass) makes the runtime install its
 *	generic slot again, and this function also checks the method itself.
 *
 * Results:
 *	The result of self.__call__(*args, **kwargs), or NULL with an error.
 *
 * Side effects:
 *	Those of the call.
 *---------------------------------------------------------------------------
 */
PyObject* TclCommand_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> Ref {
        PyTypeObject* t = Py_TYPE(self);
        PyObject* method = compat::type_lookup(t, S.dunder_call);
        if (method != K.own_dunder_call.value) {
            if (!method) raise(PyExc_TypeError, "'%.200s' object is not callable", t->tp_name);
            Ref keep = Ref::newref(method);
            descrgetfunc get = Py_TYPE(method)->tp_descr_get;
            Ref bound = get ? own(get(method, self, (PyObject*)t)) : std::move(keep);
            return own(PyObject_Call(bound.get(), args, kwargs));
        }
        PyObject* const* argv = &PyTuple_GET_ITEM(args, 0);
        Py_ssize_t n = PyTuple_GET_SIZE(args);
        Ref kwnames;
        std::vector<PyObject*> stack;
        if (kwargs && PyDict_GET_SIZE(kwargs)) {
            Py_ssize_t nk = PyDict_GET_SIZE(kwargs);
            kwnames = own(PyTuple_New(nk));
            stack.reserve((std::size_t)(n + nk));
            for (Py_ssize_t i = 0; i < n; ++i) stack.push_back(argv[i]);
            Py_ssize_t pos = 0, k = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (key == S.self || (PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) == 4 &&
                                       PyUnicode_CompareWithASCIIString(key, "self") == 0))
                    raise(PyExc_TypeError, "%s() got multiple values for argument 'self'", sig_name(kDunderCallSig));
                PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
                stack.push_back(value);  // borrowed: kwargs lives for the call
            }
            argv = stack.data();
        }
        Fields f;
        if (read_fields(self, f)) return run_call(self, &f, argv, n, kwnames.get());
        if (K.own_call.on(self)) return run_call(self, nullptr, argv, n, kwnames.get());
        Ref call = getattr(self, S.call);
        return own(PyObject_Call(call.get(), args, kwargs));
    });
}

Ref TclCommand_eval(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig = star_sig("eval", "TclCommand.eval");
    SelfCall sc;
    bind_self(sc, sig, args, nargs, kwnames);
    Conv cv;
    Ref words = words_of(sc.self, nullptr, sc.argv, sc.n, sc.kwnames, cv);
    Ref script = to_quoml(words.get());
    Ref tk = tk_of(sc.self);
    Ref result = call_method1(tk.get(), S.eval, script.get());
    return apply_cast(sc.self, std::move(result));
}

Ref TclCommand___repr__(PyObject* self) {
    Ref cls = getattr(self, S.dunder_class);
    Ref cls_name = getattr(cls.get(), S.dunder_name);
    Ref name = getattr(self, S.cmd_name);
    Ref text = own(PyUnicode_FromFormat("%S(%R", cls_name.get(), name.get()));
    struct Piece {
        PyObject* attr;
        const char* fmt;
    };
    const Piece pieces[] = {{S.args, ", args=%R"}, {S.keywords, ", keywords=%R"}, {S.cast, ", cast=%R"}};
    for (const Piece& part : pieces) {
        Ref value = getattr(self, part.attr);
        if (!truthy(value.get())) continue;
        Ref piece = own(PyUnicode_FromFormat(part.fmt, value.get()));
        text = own(PyUnicode_Concat(text.get(), piece.get()));
    }
    Ref close = from_utf8(")");
    return own(PyUnicode_Concat(text.get(), close.get()));
}

Ref TclCommand___str__(PyObject* self) {
    Conv cv;
    Ref words = words_of(self, nullptr, nullptr, 0, nullptr, cv);
    return to_quoml(words.get());
}

Ref TclCommand___tclobj__(PyObject* self) {
    Conv cv;
    return words_of(self, nullptr, nullptr, 0, nullptr, cv);
}

Ref TclCommand___get__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"__get__", "TclCommand.__get__", {"self", "instance", "owner"}, 3, 2};
    Parsed p = parse(sig, args, nargs, kwnames);
    if (p[1] == Py_None) return Ref::newref(p[0]);
    return calln(M.MethodType, p[0], p[1]);
}

// ---------------------------------------------------------------------------
// TclCommand: introspection and management.  Each sends one fixed command
// built from literal words and the handle's cmd_name.
// ---------------------------------------------------------------------------

Ref TclCommand_createcommand(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"createcommand", "TclCommand.createcommand", {"self", "func"}, 2, 2};
    Parsed p = parse(sig, args, nargs, kwnames);
    Ref tk = tk_of(p[0]);
    Ref name = getattr(p[0], S.cmd_name);
    Ref method = getattr(tk.get(), S.createcommand);
    calln(method.get(), name.get(), p[1]);
    return none();
}

// The truth of self.tcl.tk.call((w0, w1, cmd_name)) as a bool.
Ref ask_bool(PyObject* self, PyObject* w0, PyObject* w1) {
    Ref name = getattr(self, S.cmd_name);
    Ref words = tuple_of({w0, w1, name.get()});
    Ref result = send(self, words.get());
    return boolean(truthy(result.get()));
}

Ref TclCommand_exists(PyObject* self) { return ask_bool(self, S.info_cmd, S.commands); }
Ref TclCommand_is_proc(PyObject* self) { return ask_bool(self, S.info_cmd, S.procs); }

Ref TclCommand_is_command(PyObject* self) {
    Ref exists = call_method0(self, S.exists);
    if (!truthy(exists.get())) return exists;
    Ref is_proc = call_method0(self, S.is_proc);
    return boolean(!truthy(is_proc.get()));
}

Ref TclCommand_rename(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"rename", "TclCommand.rename", {"self", "new_name"}, 2, 2};
    Parsed p = parse(sig, args, nargs, kwnames);
    Ref target = to_quoml(p[1]);
    Ref name = getattr(p[0], S.cmd_name);
    Ref words = tuple_of({S.rename_cmd, name.get(), target.get()});
    send(p[0], words.get());
    setattr(p[0], S.cmd_name, target.get());
    return none();
}

Ref TclCommand_delete(PyObject* self) {
    Ref name = getattr(self, S.cmd_name);
    Ref words = tuple_of({S.rename_cmd, name.get(), S.empty});
    send(self, words.get());
    return none();
}

// self.tcl.tk.call((w0, w1, cmd_name)), the raw result.
Ref ask(PyObject* self, PyObject* w0, PyObject* w1) {
    Ref name = getattr(self, S.cmd_name);
    Ref words = tuple_of({w0, w1, name.get()});
    return send(self, words.get());
}

Ref TclCommand_origin(PyObject* self) { return ask(self, S.namespace_cmd, S.origin); }
Ref TclCommand_proc_body(PyObject* self) { return ask(self, S.info_cmd, S.body); }
Ref TclCommand_proc_args(PyObject* self) {
    Ref result = ask(self, S.info_cmd, S.args);
    return interp_cast(self, S.cast_list, result.get());
}

/*
 *---------------------------------------------------------------------------
 * TclCommand_proc_arg_default --
 *
 *	The default value of one argument of the procedure: Tcl's
 *	`info default` writes it into a variable, here a TempTclVariable bound
 *	to the handle's interpreter and used as `with TempTclVariable(...) as V`
 *	would use it.
 *
 * Results:
 *	The variable's value (the interpreter's object), or None when the
 *	argument has no default.
 *
 * Side effects:
 *	The temporary variable is unset again on every way out, errors included.
 *---------------------------------------------------------------------------
 */
Ref TclCommand_proc_arg_default(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"proc_arg_default", "TclCommand.proc_arg_default", {"self", "arg_name"}, 2, 2};
    Parsed p = parse(sig, args, nargs, kwnames);
    PyObject* self = p[0];
    if (!M.TempTclVariable) raise(PyExc_RuntimeError, "TempTclVariable is not available");
    Ref tcl = getattr(self, S.tcl);
    Ref manager;
    {
        Ref empty = own(PyTuple_New(0));
        Ref kw = own(PyDict_New());
        check(PyDict_SetItem(kw.get(), S.tcl, tcl.get()));
        manager = own(PyObject_Call(M.TempTclVariable, empty.get(), kw.get()));
    }
    Ref exit = getattr(manager.get(), S.dunder_exit);
    Ref var = call_method0(manager.get(), S.dunder_enter);
    Ref result;
    try {
        Ref name = getattr(self, S.cmd_name);
        Ref arg = to_quoml(p[1]);
        Ref words = tuple_join({S.info_cmd, S.default_, name.get(), arg.get(), var.get()});
        Ref found = send(self, words.get());
        Ref tcl_now = getattr(self, S.tcl);
        Ref flag = call_method1(tcl_now.get(), S.cast_boolean, found.get());
        result = truthy(flag.get()) ? call_method0(var.get(), S.get) : none();
    } catch (const PyErrSet&) {
        Ref exc = fetch_exception();
        Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
        Ref suppress;
        try {
            suppress = calln(exit.get(), (PyObject*)Py_TYPE(exc.get()), exc.get(), tb ? tb.get() : Py_None);
        } catch (const PyErrSet&) {
            // An error of __exit__ replaces the one of the block, with it as context.
            Ref exit_exc = fetch_exception();
            PyException_SetContext(exit_exc.get(), exc.release());
            reraise(std::move(exit_exc));
        }
        if (truthy(suppress.get())) return none();
        reraise(std::move(exc));
    }
    calln(exit.get(), Py_None, Py_None, Py_None);
    return result;
}

Ref TclCommand_absolute(PyObject* self) {
    Ref name = getattr(self, S.cmd_name);
    bool absolute;
    if (PyUnicode_Check(name.get())) {
        absolute = PyUnicode_Tailmatch(name.get(), S.sep, 0, PY_SSIZE_T_MAX, -1) == 1;
        if (PyErr_Occurred()) throw PyErrSet{};
    } else {
        Ref r = call_method1(name.get(), S.startswith, S.sep);
        absolute = truthy(r.get());
    }
    if (absolute) return name;
    Ref tk = tk_of(self);
    Ref method = getattr(tk.get(), S.call);
    Ref current = calln(method.get(), S.namespace_, S.current);
    PyObject* items[] = {current.get(), name.get()};
    return ns_join(items, 2);
}

Ref TclCommand_make_absolute(PyObject* self) {
    Ref name = call_method0(self, S.absolute);
    setattr(self, S.cmd_name, name.get());
    return none();
}

// ---------------------------------------------------------------------------
// TempTclCommand
// ---------------------------------------------------------------------------

Ref TempTclCommand_init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"__init__", "TempTclCommand.__init__", {"self", "func", "cmd_name"}, 3, 1, 0, false,
                               true};
    Parsed p = parse(sig, args, nargs, kwnames);
    PyObject* self = p[0];
    PyObject* func = p.get(1, Py_None);
    temp_init(M.TempTclCommand, self, p[2], p.starstar.get());
    if (func != Py_None && truthy(func)) {
        call_method1(self, S.createcommand, func);
        // update_wrapper copies the callable's __dict__ too.  When the
        // callable is itself a handle (an alias of another command), that
        // would overwrite this handle's own name and state, and leaving the
        // block would delete the other command: the six attributes stay.
        PyObject* const names[] = {S.tcl, S.cmd_name, S.args, S.keywords, S.cast, S.logger};
        Ref saved[6];
        for (int i = 0; i < 6; ++i) lookup_attr(self, names[i], saved[i]);
        calln(M.update_wrapper, self, func);
        for (int i = 0; i < 6; ++i)
            if (saved[i]) setattr(self, names[i], saved[i].get());
    }
    return none();
}

Ref TempTclCommand___enter__(PyObject* self) { return temp_enter(M.TempTclCommand, self); }

// self.delete(), a TclError swallowed.
void delete_quietly(PyObject* self) {
    try {
        call_method0(self, S.delete_);
    } catch (const PyErrSet&) {
        if (!caught(M.TclError)) throw;
    }
}

Ref TempTclCommand___exit__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"__exit__", "TempTclCommand.__exit__", {"self"}, 1, 1, 0, true, false};
    Parsed p = parse(sig, args, nargs, kwnames);
    delete_quietly(p[0]);
    return temp_exit(M.TempTclCommand, p[0], p.star.get());
}

Ref TempTclCommand___del__(PyObject* self) {
    Ref wrapped;
    if (lookup_attr(self, S.dunder_wrapped, wrapped)) delete_quietly(self);
    Ref del = super_attr(M.TempTclCommand, self, S.dunder_del);
    if (del && truthy(del.get())) call0(del.get());
    return none();
}

// ---------------------------------------------------------------------------
// Class creation.
// ---------------------------------------------------------------------------

#define CMD_DOC(sig, text) sig "\n--\n\n" text

MethodSpec kTclCommandMethods[] = {
    {{"__init__", PYHELP_FAST(TclCommand_init),
      CMD_DOC("__init__(self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)",
              "A handle on the Tcl command `cmd` (Tcl list text, an exact tuple of words taken as they are, or "
              "another handle), with `args` as pre-bound words (Tcl list text) and `keywords` as pre-bound "
              "options, bound to the interpreter object `tcl` (the package's default when omitted).")},
     Kind::Instance},
    {{"createcommand", PYHELP_FAST(TclCommand_createcommand),
      CMD_DOC("createcommand(self, func)", "Register the Python callable `func` as the Tcl command cmd_name.")},
     Kind::Instance},
    {{"exists", PYHELP_O(TclCommand_exists),
      CMD_DOC("exists(self)", "Whether `info commands` knows cmd_name (a glob pattern to Tcl).")},
     Kind::Instance},
    {{"is_command", PYHELP_O(TclCommand_is_command),
      CMD_DOC("is_command(self)", "Whether the command exists and is not a Tcl procedure.")},
     Kind::Instance},
    {{"is_proc", PYHELP_O(TclCommand_is_proc),
      CMD_DOC("is_proc(self)", "Whether `info procs` knows cmd_name as a Tcl procedure.")},
     Kind::Instance},
    {{"rename", PYHELP_FAST(TclCommand_rename),
      CMD_DOC("rename(self, new_name)",
              "Rename the Tcl command to quoml(new_name); the handle follows once Tcl has accepted it.")},
     Kind::Instance},
    {{"delete", PYHELP_O(TclCommand_delete),
      CMD_DOC("delete(self)", "Delete the Tcl command (rename it to the empty name); the handle keeps its name.")},
     Kind::Instance},
    {{"origin", PYHELP_O(TclCommand_origin),
      CMD_DOC("origin(self)", "The fully qualified name of the command an imported command refers to.")},
     Kind::Instance},
    {{"proc_body", PYHELP_O(TclCommand_proc_body), CMD_DOC("proc_body(self)", "The body of the Tcl procedure.")},
     Kind::Instance},
    {{"proc_args", PYHELP_O(TclCommand_proc_args),
      CMD_DOC("proc_args(self)", "The argument names of the Tcl procedure, as a list.")},
     Kind::Instance},
    {{"proc_arg_default", PYHELP_FAST(TclCommand_proc_arg_default),
      CMD_DOC("proc_arg_default(self, arg_name)",
              "The default value of the procedure's argument `arg_name`, or None when it has none.")},
     Kind::Instance},
    {{"build_tclcmd", PYHELP_FAST(TclCommand_build_tclcmd),
      CMD_DOC("build_tclcmd(self, *args, **kwargs)",
              "The word tuple: cmd_name, the pre-bound words, tclobj() of args, then the pre-bound options "
              "updated with kwargs, each as -name value.")},
     Kind::Instance},
    {{"kwargs_to_dashed_args", PYHELP_FAST(TclCommand_kwargs_to_dashed_args),
      CMD_DOC("kwargs_to_dashed_args(**kwargs)",
              "The flat tuple of '-' + key and value for each keyword, in order; nothing is converted.")},
     Kind::Static},
    {{"call", PYHELP_FAST(TclCommand_call),
      CMD_DOC("call(self, *args, **kwargs)",
              "Run the command with tk.call, each word passed as it is; logs it first when a logger is set and "
              "returns the result through cast when one is set.")},
     Kind::Instance},
    {{"__call__", PYHELP_FAST(TclCommand___call__), CMD_DOC("__call__(self, *args, **kwargs)", "self.call(*args, **kwargs).")},
     Kind::Instance},
    {{"eval", PYHELP_FAST(TclCommand_eval),
      CMD_DOC("eval(self, *args, **kwargs)",
              "Run the command as a script, its words written as Tcl list text; never logs.")},
     Kind::Instance},
    {{"absolute", PYHELP_O(TclCommand_absolute),
      CMD_DOC("absolute(self)", "cmd_name resolved against the interpreter's current namespace.")},
     Kind::Instance},
    {{"make_absolute", PYHELP_O(TclCommand_make_absolute),
      CMD_DOC("make_absolute(self)", "Store the absolute name in cmd_name.")},
     Kind::Instance},
    {{"__repr__", PYHELP_O(TclCommand___repr__), CMD_DOC("__repr__(self)", "Return repr(self).")}, Kind::Instance},
    {{"__str__", PYHELP_O(TclCommand___str__),
      CMD_DOC("__str__(self)", "The whole command as Tcl list text.")},
     Kind::Instance},
    {{"__tclobj__", PYHELP_O(TclCommand___tclobj__),
      CMD_DOC("__tclobj__(self)", "The word tuple of the command.")},
     Kind::Instance},
    {{"__get__", PYHELP_FAST(TclCommand___get__),
      CMD_DOC("__get__(self, instance, owner=None)",
              "Bind the handle like a method: through an instance it runs with the instance as first word.")},
     Kind::Instance},
};

MethodSpec kTempTclCommandMethods[] = {
    {{"__init__", PYHELP_FAST(TempTclCommand_init),
      CMD_DOC("__init__(self, func=None, cmd_name='::__trelmo__{cls}_{id}_tmp', **kwargs)",
              "A command under a generated name (cmd_name formatted with cls and id), with `func` registered "
              "under it when given; keywords go to TclCommand.")},
     Kind::Instance},
    {{"__enter__", PYHELP_O(TempTclCommand___enter__), CMD_DOC("__enter__(self)", "Return self.")}, Kind::Instance},
    {{"__exit__", PYHELP_FAST(TempTclCommand___exit__),
      CMD_DOC("__exit__(self, *exc_info)", "Delete the Tcl command (ignoring TclError); returns False.")},
     Kind::Instance},
    {{"__del__", PYHELP_O(TempTclCommand___del__),
      CMD_DOC("__del__(self)", "Delete the Tcl command of one made from a callable (ignoring TclError).")},
     Kind::Instance},
};

}  // namespace

void make_command_classes() {
    {
        Ref quoml_mod = import("trelmo.tcl.quoml");
        K.quoml_dict = Py_NewRef(PyModule_GetDict(quoml_mod.get()));
    }
    PyObject* type = (PyObject*)&PyType_Type;
    M.TclCommand = new_class(type, "TclCommand", {(PyObject*)&PyBaseObject_Type}, kTclCommandMethods,
                             "TclCommand(cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)\n\n"
                             "A callable handle on one Tcl command with pre-bound words and options.")
                       .release();
    K.own_build.load(M.TclCommand, S.build_tclcmd);
    K.own_dashed.load(M.TclCommand, S.kwargs_to_dashed_args);
    K.own_call.load(M.TclCommand, S.call);
    K.own_dunder_call.load(M.TclCommand, S.dunder_call);
    compat::patch_slots((PyTypeObject*)M.TclCommand, [](PyTypeObject* t) { t->tp_call = TclCommand_tp_call; });
    M.TempTclCommand = new_class(type, "TempTclCommand", {M.TclCommand}, kTempTclCommandMethods,
                                 "TempTclCommand(func=None, cmd_name='::__trelmo__{cls}_{id}_tmp', **kwargs)\n\n"
                                 "A Tcl command under a generated name, deleted on leaving a with block.")
                           .release();
    compat::patch_slots((PyTypeObject*)M.TempTclCommand, [](PyTypeObject* t) { t->tp_call = TclCommand_tp_call; });
}

namespace {

// view.ns.tcl.cast_list(view.ns.call(("::info", what)))
Ref names_of(PyObject* view, PyObject* what) {
    Ref ns = getattr(view, S.ns);
    Ref words = tuple_of({S.info_cmd, what});
    Ref result = call_method1(ns.get(), S.call, words.get());
    Ref tcl = getattr(ns.get(), S.tcl);
    return call_method1(tcl.get(), S.cast_list, result.get());
}

// The names of the lazy iterators of the two views.
Ref command_names(PyObject* view) { return names_of(view, S.commands); }
Ref proc_names(PyObject* view) { return names_of(view, S.procs); }

// ---------------------------------------------------------------------------
// TclNamespace.CommandsView and TclNamespace.ProcsView
// ---------------------------------------------------------------------------

Ref CommandsView_init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"__init__", "TclNamespace.CommandsView.__init__", {"self", "ns"}, 2, 2};
    Parsed p = parse(sig, args, nargs, kwnames);
    view_init(K.CommandsView, p[0], p[1]);
    return none();
}

Ref CommandsView_byref(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"byref", "TclNamespace.CommandsView.byref", {"self", "cmd_name"}, 2, 2, 0, true, true};
    Parsed p = parse(sig, args, nargs, kwnames);
    Ref ns = getattr(p[0], S.ns);
    PyObject* parts[] = {ns.get(), p[1]};
    Ref name = ns_join(parts, 2);
    Ref word = tuple_of({name.get()});
    PyObject* star = p.star.get();
    Py_ssize_t n = PyTuple_GET_SIZE(star);
    Ref call_args = own(PyTuple_New(n + 1));
    PyTuple_SET_ITEM(call_args.get(), 0, word.release());
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(call_args.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(star, i)));
    Ref kw = own(PyDict_New());
    Ref tcl = getattr(ns.get(), S.tcl);
    check(PyDict_SetItem(kw.get(), S.tcl, tcl.get()));
    PyObject* extra = p.starstar.get();
    if (PyDict_GET_SIZE(extra)) {
        if (check(PyDict_Contains(extra, S.tcl)))
            raise(PyExc_TypeError, "TclCommand() got multiple values for keyword argument 'tcl'");
        check(PyDict_Update(kw.get(), extra));
    }
    return own(PyObject_Call(M.TclCommand, call_args.get(), kw.get()));
}

// self.byref(cmd_name).<method>(*rest)
Ref delegate(PyObject* view, PyObject* cmd_name, PyObject* method, PyObject* arg = nullptr) {
    Ref handle = call_method1(view, S.byref, cmd_name);
    if (arg) return call_method1(handle.get(), method, arg);
    return call_method0(handle.get(), method);
}

// View methods (self, cmd_name) and (self, cmd_name, <second>) that hand the
// work to the handle's method of the same name.
#define VIEW_OP1(NAME, METHOD)                                                                      \
    Ref CommandsView_##NAME(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {        \
        static const Signature sig{#NAME, "TclNamespace.CommandsView." #NAME, {"self", "cmd_name"}, 2, 2}; \
        Parsed p = parse(sig, args, nargs, kwnames);                                             \
        return delegate(p[0], p[1], METHOD);                                                     \
    }
#define VIEW_OP2(NAME, SECOND, METHOD)                                                              \
    Ref CommandsView_##NAME(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {        \
        static const Signature sig{#NAME, "TclNamespace.CommandsView." #NAME, {"self", "cmd_name", SECOND}, 3, 3}; \
        Parsed p = parse(sig, args, nargs, kwnames);                                             \
        return delegate(p[0], p[1], METHOD, p[2]);                                               \
    }
VIEW_OP1(exists, S.exists)
VIEW_OP1(delete, S.delete_)
VIEW_OP1(origin, S.origin)
VIEW_OP1(proc_body, S.proc_body)
VIEW_OP1(proc_args, S.proc_args)
VIEW_OP2(createcommand, "func", S.createcommand)
VIEW_OP2(proc_arg_default, "arg_name", S.proc_arg_default)
#undef VIEW_OP1
#undef VIEW_OP2

Ref CommandsView_rename(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"rename", "TclNamespace.CommandsView.rename", {"self", "cmd_name", "new_name"}, 3, 3};
    Parsed p = parse(sig, args, nargs, kwnames);
    Ref handle = call_method1(p[0], S.byref, p[1]);
    Ref ns = getattr(p[0], S.ns);
    PyObject* parts[] = {ns.get(), p[2]};
    Ref target = ns_join(parts, 2);
    return call_method1(handle.get(), S.rename, target.get());
}

Ref ProcsView_exists(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"exists", "TclNamespace.ProcsView.exists", {"self", "cmd_name"}, 2, 2};
    Parsed p = parse(sig, args, nargs, kwnames);
    return delegate(p[0], p[1], S.is_proc);
}

Ref CommandsView___getitem__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"__getitem__", "TclNamespace.CommandsView.__getitem__", {"self", "cmd_name"}, 2, 2};
    Parsed p = parse(sig, args, nargs, kwnames);
    return call_method1(p[0], S.byref, p[1]);
}

Ref CommandsView___contains__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"__contains__", "TclNamespace.CommandsView.__contains__", {"self", "cmd_name"}, 2, 2};
    Parsed p = parse(sig, args, nargs, kwnames);
    return call_method1(p[0], S.exists, p[1]);
}

Ref CommandsView___setitem__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"__setitem__", "TclNamespace.CommandsView.__setitem__", {"self", "cmd_name", "func"}, 3, 3};
    Parsed p = parse(sig, args, nargs, kwnames);
    Ref method = getattr(p[0], S.createcommand);
    calln(method.get(), p[1], p[2]);
    return none();
}

Ref CommandsView___delitem__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"__delitem__", "TclNamespace.CommandsView.__delitem__", {"self", "cmd_name"}, 2, 2};
    Parsed p = parse(sig, args, nargs, kwnames);
    try {
        call_method1(p[0], S.delete_, p[1]);
    } catch (const PyErrSet&) {
        if (!PyErr_ExceptionMatches(M.TclError)) throw;
        raise_key_error_from_pending();
    }
    return none();
}

Ref CommandsView___iter__(PyObject* self) { return names_iter(self, command_names); }
Ref ProcsView___iter__(PyObject* self) { return names_iter(self, proc_names); }

Ref CommandsView___len__(PyObject* self) {
    Ref it = own(PyObject_GetIter(self));
    Py_ssize_t count = 0;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) ++count;
    if (PyErr_Occurred()) throw PyErrSet{};
    return own(PyLong_FromSsize_t(count));
}

MethodSpec kCommandsViewMethods[] = {
    {{"__init__", PYHELP_FAST(CommandsView_init),
      CMD_DOC("__init__(self, ns)", "The commands of the TclNamespace `ns`, by name relative to it.")},
     Kind::Instance},
    {{"byref", PYHELP_FAST(CommandsView_byref),
      CMD_DOC("byref(self, cmd_name, *args, **kwargs)",
              "A TclCommand for cmd_name joined with the namespace, taken as one word and bound to the "
              "namespace's interpreter; further arguments go to TclCommand.")},
     Kind::Instance},
    {{"exists", PYHELP_FAST(CommandsView_exists),
      CMD_DOC("exists(self, cmd_name)", "Whether the command exists.")},
     Kind::Instance},
    {{"createcommand", PYHELP_FAST(CommandsView_createcommand),
      CMD_DOC("createcommand(self, cmd_name, func)", "Register the Python callable `func` as the command.")},
     Kind::Instance},
    {{"delete", PYHELP_FAST(CommandsView_delete), CMD_DOC("delete(self, cmd_name)", "Delete the command.")},
     Kind::Instance},
    {{"rename", PYHELP_FAST(CommandsView_rename),
      CMD_DOC("rename(self, cmd_name, new_name)", "Rename the command; new_name is joined with the namespace too.")},
     Kind::Instance},
    {{"origin", PYHELP_FAST(CommandsView_origin),
      CMD_DOC("origin(self, cmd_name)", "The fully qualified name of the command an imported one refers to.")},
     Kind::Instance},
    {{"proc_body", PYHELP_FAST(CommandsView_proc_body),
      CMD_DOC("proc_body(self, cmd_name)", "The body of the procedure.")},
     Kind::Instance},
    {{"proc_args", PYHELP_FAST(CommandsView_proc_args),
      CMD_DOC("proc_args(self, cmd_name)", "The argument names of the procedure, as a list.")},
     Kind::Instance},
    {{"proc_arg_default", PYHELP_FAST(CommandsView_proc_arg_default),
      CMD_DOC("proc_arg_default(self, cmd_name, arg_name)",
              "The default value of one argument of the procedure, or None.")},
     Kind::Instance},
    {{"__getitem__", PYHELP_FAST(CommandsView___getitem__),
      CMD_DOC("__getitem__(self, cmd_name)", "A handle for the command, whether or not it exists.")},
     Kind::Instance},
    {{"__contains__", PYHELP_FAST(CommandsView___contains__),
      CMD_DOC("__contains__(self, cmd_name)", "self.exists(cmd_name).")},
     Kind::Instance},
    {{"__setitem__", PYHELP_FAST(CommandsView___setitem__),
      CMD_DOC("__setitem__(self, cmd_name, func)", "Register the Python callable `func` as the command.")},
     Kind::Instance},
    {{"__delitem__", PYHELP_FAST(CommandsView___delitem__),
      CMD_DOC("__delitem__(self, cmd_name)", "Delete the command; a TclError becomes KeyError.")},
     Kind::Instance},
    {{"__iter__", PYHELP_O(CommandsView___iter__),
      CMD_DOC("__iter__(self)", "The names `info commands` reports inside the namespace.")},
     Kind::Instance},
    {{"__len__", PYHELP_O(CommandsView___len__), CMD_DOC("__len__(self)", "The number of names iteration yields.")},
     Kind::Instance},
};

MethodSpec kProcsViewMethods[] = {
    {{"exists", PYHELP_FAST(ProcsView_exists),
      CMD_DOC("exists(self, cmd_name)", "Whether the command is a Tcl procedure.")},
     Kind::Instance},
    {{"__iter__", PYHELP_O(ProcsView___iter__),
      CMD_DOC("__iter__(self)", "The names `info procs` reports inside the namespace.")},
     Kind::Instance},
};

#undef CMD_DOC

}  // namespace

void make_command_views(PyObject* tclns_dict) {
    PyObject* meta = (PyObject*)Py_TYPE(M.MutableMapping);
    K.CommandsView = new_class(meta, "TclNamespace.CommandsView", {M.MutableMapping}, kCommandsViewMethods,
                               "CommandsView(ns)\n\nThe commands of a namespace as a mutable mapping of handles.")
                         .release();
    K.ProcsView = new_class(meta, "TclNamespace.ProcsView", {K.CommandsView}, kProcsViewMethods,
                            "ProcsView(ns)\n\nThe commands view restricted, for membership and iteration, to "
                            "procedures.")
                      .release();
    check(PyDict_SetItemString(tclns_dict, "CommandsView", K.CommandsView));
    check(PyDict_SetItemString(tclns_dict, "ProcsView", K.ProcsView));
}

}  // namespace trelmo_ns
