// dorvel.cpp -- the trelmo.tcl.dorvel extension module: Dorvel, a TclX keyed
// list held in Python as a mapping whose keys may be dotted paths, and its Tcl
// form in both directions.
//
// Imports trelmo.datastructures (AttrDict), collections.abc (MutableMapping),
// _tkinter (Tcl_Obj, TclError), abc (the ABC cache token) and the sibling
// module quoml (tclobj and its C entry points) when loaded; the package
// trelmo.tcl (cast_list) whenever Dorvel.from_tcl runs.
//
// Dorvel is an ordinary Python class made by calling its metaclass, its
// methods C++ functions.  Everything it does is expressed in Python terms:
// base-mapping operations are those of super(Dorvel, self), `self[key]` goes
// through the type's own __getitem__, `value.all_keys()` through the value's
// attribute.  The C++ code takes shortcuts only where they cannot be seen:
//   * while a class still holds our own function under a name (a subclass or
//     an assignment to the class can replace it), a call of that name is made
//     in C++ directly instead of through Python;
//   * while the classes after Dorvel in type(self).__mro__ are AttrDict and
//     dict, and AttrDict defines no item methods of its own, the base-mapping
//     operations are dict's own C functions;
//   * isinstance(value, Dorvel) goes through ABCMeta, a Python-level call;
//     its answer for a type whose instances cannot lie about __class__ is
//     remembered until the ABC cache token changes (abc.register bumps it),
//     which is exactly how long ABCMeta's own caches keep an answer.
// Dotted paths are walked iteratively, so a key with thousands of dots needs
// no C stack; every descent into nested values (construction, flattening,
// reading Tcl text) is recursion-guarded.
#include "guard.hpp"
#include "pyhelp.hpp"
#include "quoml_capi.hpp"


namespace {

using namespace pyhelp;

const char kModuleName[] = "trelmo.tcl.dorvel";

// The type name that TclX registers for its keyed-list Tcl_Obj values.
const char kKeyedListType[] = "keyedList";

const char kConflict[] = "target key \"%s\" is a value, cannot update value against another keyed list";

// ---------------------------------------------------------------------------
// Interned names and module state.
// ---------------------------------------------------------------------------

// The interned names: first the class members implemented here, in
// class-body order (S.member[kInit], ...), then the other names (S.dot, ...).
#define DORVEL_NAMES(MEMBER, X) \
    MEMBER(kInit, "__init__") \
    MEMBER(kFromTcl, "from_tcl") \
    MEMBER(kGetItem, "__getitem__") \
    MEMBER(kSetItem, "__setitem__") \
    MEMBER(kContains, "__contains__") \
    MEMBER(kDelItem, "__delitem__") \
    MEMBER(kUpdate, "update") \
    MEMBER(kAllKeys, "all_keys") \
    MEMBER(kAllItems, "all_items") \
    MEMBER(kTclobjM, "__tclobj__") \
    X(dot, ".") \
    X(split, "split") \
    X(items, "items") \
    X(missing, "__missing__") \
    X(dunder_class, "__class__") \
    X(getattribute, "__getattribute__") \
    X(instancecheck, "__instancecheck__") \
    X(subclasscheck, "__subclasscheck__") \
    X(type_name, "typename") \
    X(keyed_list, kKeyedListType) \
    X(cast_list, "cast_list") \
    X(tclobj, "tclobj") \
    X(package, "trelmo.tcl") \
    X(conflict, kConflict) \
    X(dot_empty, "")  /* prefix of the top level */

enum Member { DORVEL_NAMES(PYHELP_NAME_ENUM, PYHELP_NAME_SKIP) kMembers };

struct Strings {
    PyObject* member[kMembers];
    DORVEL_NAMES(PYHELP_NAME_SKIP, PYHELP_NAME_FIELD)
};
Strings S;

#define DORVEL_MEMBER_ENTRY(id, text) {&S.member[id], text},
const InternEntry kNames[] = {DORVEL_NAMES(DORVEL_MEMBER_ENTRY, PYHELP_NAME_ENTRY)};

// Bound once at import; the module lives for the rest of the process.
struct State {
    PyObject* moddict;            // the module's namespace (tclobj is looked up there per call)
    PyTypeObject* cls;            // Dorvel
    PyObject* attrdict;           // trelmo.datastructures.AttrDict
    PyObject* mutable_mapping;    // collections.abc.MutableMapping
    PyObject* mm_update;          // MutableMapping.update as bound at import
    PyTypeObject* tcl_obj;        // _tkinter.Tcl_Obj
    PyObject* tcl_error;          // _tkinter.TclError
    PyObject* cache_token;        // abc.get_cache_token
    PyTypeObject* abc_meta;       // abc.ABCMeta
    PyObject* abc_instancecheck;  // ABCMeta.__instancecheck__ and
    PyObject* abc_subclasscheck;  // ABCMeta.__subclasscheck__ as loaded
    PyObject* dict_items;         // dict.items (the method descriptor)
    PyObject* object_class;       // object.__class__ (the getset descriptor)
    PyObject* base_getattribute;  // what Dorvel.__getattribute__ resolves to
    PyObject* empty_tuple;
    PyObject* zero;
    PyObject* one;
    const QuomlCAPI* capi;
    PyObject* own[kMembers];  // our members as stored in Dorvel.__dict__
};
State st;

inline PyObject* dorvel_class() { return (PyObject*)st.cls; }

// ---------------------------------------------------------------------------
// Which code a Python-level operation would run.
// ---------------------------------------------------------------------------

// obj[...] (dispatched through the type's slot) runs our function for member m.
inline bool slot_is_own(PyObject* obj, Member m) { return guard::type_resolves(Py_TYPE(obj), S.member[m], st.own[m]); }

// obj.<name> looked up as an attribute (a method call) finds `expected`:
// the class provides it, attribute lookup is the ordinary one and the
// instance's own __dict__ does not shadow it.
bool attr_is(PyObject* obj, PyObject* name, PyObject* expected) {
    PyTypeObject* t = Py_TYPE(obj);
    if (!guard::type_resolves(t, name, expected)) return false;
    if (t->tp_getattro != PyObject_GenericGetAttr && !guard::type_resolves(t, S.getattribute, st.base_getattribute))
        return false;
    return guard::instance_lacks(obj, name);
}
inline bool method_is_own(PyObject* obj, Member m) { return attr_is(obj, S.member[m], st.own[m]); }

// super(Dorvel, self).<name> is dict's own: the classes after Dorvel in
// type(self).__mro__ are AttrDict then dict, and AttrDict resolves name to
// dict's member (it does not define its own).
bool base_is_dict(PyObject* self, PyObject* name) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    if (!mro) return false;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != dorvel_class()) ++i;
    if (i + 2 >= n || PyTuple_GET_ITEM(mro, i + 1) != st.attrdict ||
        PyTuple_GET_ITEM(mro, i + 2) != (PyObject*)&PyDict_Type)
        return false;
    return guard::type_resolves((PyTypeObject*)st.attrdict, name, compat::type_lookup(&PyDict_Type, name));
}

// super(Dorvel, self).<name>(args...)
template <typename... A>
Ref super_call(PyObject* self, PyObject* name, A... a) {
    Ref sup = calln((PyObject*)&PySuper_Type, dorvel_class(), self);
    return call_method(sup.get(), name, a...);
}

// ---------------------------------------------------------------------------
// isinstance() without the Python-level call where the answer is known.
// ---------------------------------------------------------------------------

// Per-call context.  Remembers whether the ABC cache token has been read
// during this operation, and which of our functions the last class seen uses
// (the containers along a dotted path are nearly always of one class), under
// that class's version tag.  Anything that may run Python code calls forget().
struct Ctx {
    bool token_known = false;
    PyTypeObject* facts_type = nullptr;  // the class the facts below are about
    unsigned int facts_tag = 0;          // at this version
    signed char own_slot[kMembers];      // slot_is_own, -1 while unknown
    signed char base_dict[kMembers];     // base_is_dict, -1 while unknown

    void forget() {
        token_known = false;
        facts_type = nullptr;
    }
    void learn(PyTypeObject* t) {
        const unsigned int tag = compat::type_version(t);
        if (t == facts_type && tag && tag == facts_tag) return;
        facts_type = t;
        facts_tag = tag;
        memset(own_slot, -1, sizeof own_slot);
        memset(base_dict, -1, sizeof base_dict);
    }
    bool own(PyObject* obj, Member m) {
        learn(Py_TYPE(obj));
        if (own_slot[m] < 0) own_slot[m] = slot_is_own(obj, m);
        return own_slot[m];
    }
    bool base(PyObject* obj, Member m) {
        learn(Py_TYPE(obj));
        if (base_dict[m] < 0) base_dict[m] = base_is_dict(obj, S.member[m]);
        return base_dict[m];
    }
};

// Whether obj[...] (through its type's slot) runs this module's function for
// m, looked up now as the dispatch looks it up.  A dotted path is walked in
// one loop while each next container's class answers yes: the call Python
// would make lands in the same function, and making it would only spend
// stack (a path of thousands of components would exhaust it), so the plain
// way and the shortcuts give the same results at any depth.
inline bool walks_into(PyObject* obj, Member m) {
    return compat::type_lookup(Py_TYPE(obj), S.member[m]) == st.own[m];
}

// The same for obj.<member>(...) called as a method: ordinary attribute
// lookup, no instance dictionary entry shadowing the class's.
bool method_walks_into(PyObject* obj, Member m) {
    PyTypeObject* t = Py_TYPE(obj);
    if (compat::type_lookup(t, S.member[m]) != st.own[m]) return false;
    if (t->tp_getattro != PyObject_GenericGetAttr && compat::type_lookup(t, S.getattribute) != st.base_getattribute)
        return false;
    return guard::instance_lacks(obj, S.member[m]);
}

inline bool plain_class_attr(PyTypeObject* t) { return guard::type_resolves(t, S.dunder_class, st.object_class); }

/*
 * is_dorvel --
 *
 *   isinstance(v, Dorvel).  Dorvel's metaclass is ABCMeta, whose answer for
 *   an object that reports its own class as __class__ depends on that class,
 *   on Dorvel's registry and on ABCMeta's caches alone; a registration with
 *   any ABC changes abc.get_cache_token(), and no version tag.  So an answer
 *   is kept per class (guard::TypeMemo, under the class's version tag) for as
 *   long as the token is the one it was found under and the metaclass's
 *   checks are the ones loaded.  Everything else asks isinstance().
 */
struct AbcAnswers {
    guard::TypeMemo<4> yes, no;        // classes whose instances are / are not Dorvel instances
    guard::TypeMemo<1> plain_meta;     // Dorvel's metaclass while its checks are ABCMeta's as loaded
    unsigned long long token = 0;      // the ABC cache token the answers were found under
} g_abc;

unsigned long long read_token() {
    Ref token = call0(st.cache_token);
    unsigned long long value = PyLong_AsUnsignedLongLong(token.get());
    if (value == (unsigned long long)-1 && PyErr_Occurred()) throw PyErrSet{};
    return value;
}

void abc_sync(Ctx& ctx) {
    if (ctx.token_known) return;
    const unsigned long long token = read_token();
    if (token != g_abc.token) {
        g_abc.yes = {};
        g_abc.no = {};
        g_abc.token = token;
    }
    ctx.token_known = true;
}

bool plain_metaclass() {
    PyTypeObject* meta = Py_TYPE(st.cls);
    if (g_abc.plain_meta.hit(meta)) return true;
    if (meta != st.abc_meta || !guard::type_resolves(meta, S.instancecheck, st.abc_instancecheck) ||
        !guard::type_resolves(meta, S.subclasscheck, st.abc_subclasscheck))
        return false;
    g_abc.plain_meta.store(meta);
    return true;
}

bool is_dorvel(Ctx& ctx, PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == st.cls) return true;  // the first test isinstance() makes
    const bool known = pyhelp::fast_paths() && plain_metaclass();
    if (known) {
        abc_sync(ctx);
        if (g_abc.no.hit(t)) return false;
        if (g_abc.yes.hit(t)) return true;
    }
    // CAUTION: may run arbitrary Python code (ABCMeta, __subclasshook__, __class__)
    const bool answer = check(PyObject_IsInstance(v, dorvel_class())) != 0;
    ctx.forget();
    if (known && plain_class_attr(t) && plain_metaclass() && read_token() == g_abc.token)
        (answer ? g_abc.yes : g_abc.no).store(t);
    return answer;
}

// isinstance(v, Tcl_Obj): Tcl_Obj's metaclass is type, so this is a subtype
// test plus the __class__ attribute of objects that report another class.
bool is_tcl_obj(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == st.tcl_obj || PyType_IsSubtype(t, st.tcl_obj)) return true;
    if (plain_class_attr(t)) return false;
    return check(PyObject_IsInstance(v, (PyObject*)st.tcl_obj)) != 0;
}

// ---------------------------------------------------------------------------
// Base-mapping operations: super(Dorvel, self).__xxx__(...).
// ---------------------------------------------------------------------------

Ref base_getitem(Ctx& ctx, PyObject* self, PyObject* key) {
    if (ctx.base(self, kGetItem)) return own(PyDict_Type.tp_as_mapping->mp_subscript(self, key));
    ctx.forget();
    return super_call(self, S.member[kGetItem], key);
}

void base_setitem(Ctx& ctx, PyObject* self, PyObject* key, PyObject* value) {
    if (ctx.base(self, kSetItem)) {
        check(PyDict_SetItem(self, key, value));
        return;
    }
    ctx.forget();
    super_call(self, S.member[kSetItem], key, value);
}

void base_delitem(Ctx& ctx, PyObject* self, PyObject* key) {
    if (ctx.base(self, kDelItem)) {
        check(PyDict_DelItem(self, key));
        return;
    }
    ctx.forget();
    super_call(self, S.member[kDelItem], key);
}

// super().__contains__(key), as the object it returns.
Ref base_contains(Ctx& ctx, PyObject* self, PyObject* key) {
    if (ctx.base(self, kContains)) return boolean(check(PyDict_Contains(self, key)) != 0);
    ctx.forget();
    return super_call(self, S.member[kContains], key);
}

[[noreturn]] void raise_conflict(PyObject* component) {
    Ref msg = own(PyUnicode_Format(S.conflict, component));
    raise_obj(PyExc_KeyError, msg.get());
}

// Run `body` and turn a pending exception of class exc into `false`.
template <typename Fn>
bool except(PyObject* exc, Fn&& body) {
    try {
        body();
        return true;
    } catch (const PyErrSet&) {
        if (!caught(exc)) throw;
        return false;
    }
}

// ---------------------------------------------------------------------------
// Dotted keys.
// ---------------------------------------------------------------------------

// Dotted keys that are exact strings are split into all their components
// once and kept in a bounded table keyed by the text, so that a key used
// again costs one lookup (its hash is cached in the key) instead of a new
// string and a new hash per component.  The components are exactly what
// repeated key.split('.', 1) gives; nothing else about the table is visible.
PyObject* split_table;                       // dict: dotted key -> tuple of components
constexpr Py_ssize_t kSplitTableMax = 4096;  // entries kept before the table starts over
constexpr Py_ssize_t kSplitKeyMax = 256;     // longer keys are split each time

Ref split_all(PyObject* key, Py_ssize_t first_dot) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    std::vector<Py_ssize_t> dots{first_dot};
    for (Py_ssize_t p = first_dot;;) {
        p = PyUnicode_FindChar(key, '.', p + 1, n, 1);
        if (p == -2) throw PyErrSet{};
        if (p < 0) break;
        dots.push_back(p);
    }
    Ref parts = own(PyTuple_New((Py_ssize_t)dots.size() + 1));
    Py_ssize_t start = 0;
    for (std::size_t i = 0; i <= dots.size(); ++i) {
        Py_ssize_t stop = i < dots.size() ? dots[i] : n;
        PyTuple_SET_ITEM(parts.get(), (Py_ssize_t)i, check(PyUnicode_Substring(key, start, stop)));
        start = stop + 1;
    }
    return parts;
}

Ref components(PyObject* key, Py_ssize_t first_dot) {
    if (PyUnicode_GET_LENGTH(key) > kSplitKeyMax) return split_all(key, first_dot);
    if (PyObject* hit = PyDict_GetItemWithError(split_table, key)) return Ref::newref(hit);
    if (PyErr_Occurred()) throw PyErrSet{};
    Ref parts = split_all(key, first_dot);
    if (PyDict_GET_SIZE(split_table) >= kSplitTableMax) PyDict_Clear(split_table);
    check(PyDict_SetItem(split_table, key, parts.get()));
    return parts;
}

// The part of a key still to resolve.  For an exact str: text[off:], whose
// components (when it has a dot) are parts[index:].  Any other key object is
// taken as it is (off 0) and split with its own `in` and split().
struct Cursor {
    Ref key;
    Py_ssize_t off = 0;
    Ref parts;
    Py_ssize_t index = 0;

    explicit Cursor(PyObject* k) : key(Ref::newref(k)) {
        if (!PyUnicode_CheckExact(k)) return;
        unicode_ready(k);
        Py_ssize_t p = PyUnicode_FindChar(k, '.', 0, PyUnicode_GET_LENGTH(k), 1);
        if (p == -2) throw PyErrSet{};
        if (p >= 0) parts = components(k, p);
    }

    // The rest of the key as one object.
    Ref whole() const {
        if (parts && index == PyTuple_GET_SIZE(parts.get()) - 1) return Ref::newref(PyTuple_GET_ITEM(parts.get(), index));
        if (off == 0) return Ref::newref(key.get());
        return own(PyUnicode_Substring(key.get(), off, PyUnicode_GET_LENGTH(key.get())));
    }

    // `'.' in key` and, when true, `key.split('.', 1)`: head is the first
    // component and the cursor moves on to the rest.  False: no dot.
    bool split_first(Ref& head) {
        PyObject* k = key.get();
        if (parts) {
            if (index == PyTuple_GET_SIZE(parts.get()) - 1) return false;
            PyObject* h = PyTuple_GET_ITEM(parts.get(), index++);
            off += PyUnicode_GET_LENGTH(h) + 1;
            head = Ref::newref(h);
            return true;
        }
        if (PyUnicode_CheckExact(k)) return false;  // an exact str without dot
        if (!check(PySequence_Contains(k, S.dot))) return false;
        // CAUTION: may run arbitrary Python code (a str subclass's split)
        Ref subkeys = call_method(k, S.split, S.dot, st.one);
        head = own(PyObject_GetItem(subkeys.get(), st.zero));
        Ref rest = own(PyObject_GetItem(subkeys.get(), st.one));
        *this = Cursor(rest.get());
        return true;
    }

    // One step along the path: true with head set to the next component, or
    // false at the last one, with leaf set to it.
    bool step(Ref& head, Ref& leaf) {
        if (split_first(head)) return true;
        leaf = whole();
        return false;
    }
};

Ref getitem_impl(Ctx& ctx, PyObject* self, PyObject* key);

// `self[key]` for a caller that catches KeyError: an empty Ref when the key
// is missing.  Avoids building the KeyError for the common miss.
Ref find_item(Ctx& ctx, PyObject* self, PyObject* key) {
    if (ctx.own(self, kGetItem)) {
        if (PyUnicode_CheckExact(key) && ctx.base(self, kGetItem)) {
            unicode_ready(key);
            Py_ssize_t p = PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1);
            if (p == -2) throw PyErrSet{};
            if (p < 0) {
                if (PyObject* v = PyDict_GetItemWithError(self, key)) return Ref::newref(v);
                if (PyErr_Occurred()) throw PyErrSet{};
                if (!compat::type_lookup(Py_TYPE(self), S.missing)) return Ref();
            }
        }
        Ref out;
        except(PyExc_KeyError, [&] { out = getitem_impl(ctx, self, key); });
        return out;
    }
    ctx.forget();
    Ref out;
    except(PyExc_KeyError, [&] { out = own(PyObject_GetItem(self, key)); });
    return out;
}

// Dorvel.__getitem__: follow the path through the sub-lists.
Ref getitem_impl(Ctx& ctx, PyObject* self, PyObject* key) {
    Ref cur = Ref::newref(self);
    Cursor c(key);
    for (Ref head, leaf;;) {
        if (!c.step(head, leaf)) return base_getitem(ctx, cur.get(), leaf.get());
        Ref value = base_getitem(ctx, cur.get(), head.get());
        if (!walks_into(value.get(), kGetItem)) {
            Ref rest = c.whole();
            return own(PyObject_GetItem(value.get(), rest.get()));
        }
        cur = std::move(value);
    }
}

Ref new_dorvel(Ctx& ctx);
Ref from_tcl_top(Ctx& ctx, PyObject* value);

// Dorvel.__setitem__: create the sub-lists of a path as needed; refuse to go
// through (or replace by a sub-list) a plain value.
void setitem_impl(Ctx& ctx, PyObject* self, PyObject* key, PyObject* value) {
    Ref cur = Ref::newref(self);
    Ref val = Ref::newref(value);
    Cursor c(key);
    for (;;) {
        if (is_tcl_obj(val.get())) {
            Ref type_name = getattr(val.get(), S.type_name);
            if (check(PyObject_RichCompareBool(type_name.get(), S.keyed_list, Py_EQ))) val = from_tcl_top(ctx, val.get());
        }
        Ref head;
        if (c.split_first(head)) {
            Ref subkl = find_item(ctx, cur.get(), head.get());
            if (!subkl) {
                subkl = new_dorvel(ctx);
                base_setitem(ctx, cur.get(), head.get(), subkl.get());
            } else if (!is_dorvel(ctx, subkl.get())) {
                raise_conflict(head.get());
            }
            if (!walks_into(subkl.get(), kSetItem)) {
                Ref rest = c.whole();
                ctx.forget();
                check(PyObject_SetItem(subkl.get(), rest.get(), val.get()));
                return;
            }
            cur = std::move(subkl);
            continue;
        }
        Ref k = c.whole();
        if (is_dorvel(ctx, val.get())) {
            Ref existing = find_item(ctx, cur.get(), k.get());
            if (existing && !is_dorvel(ctx, existing.get())) raise_conflict(k.get());
        }
        base_setitem(ctx, cur.get(), k.get(), val.get());
        return;
    }
}

// obj[key] = value, through obj's own __setitem__.
void store(Ctx& ctx, PyObject* obj, PyObject* key, PyObject* value) {
    if (ctx.own(obj, kSetItem)) {
        setitem_impl(ctx, obj, key, value);
        return;
    }
    ctx.forget();
    check(PyObject_SetItem(obj, key, value));
}

// Dorvel.__contains__: the result of the last containment test, unchanged.
Ref contains_impl(Ctx& ctx, PyObject* self, PyObject* key) {
    Ref cur = Ref::newref(self);
    Cursor c(key);
    for (Ref head, leaf;;) {
        if (!c.step(head, leaf)) return base_contains(ctx, cur.get(), leaf.get());
        Ref value;
        if (ctx.base(cur.get(), kContains) && ctx.base(cur.get(), kGetItem)) {
            PyObject* v = PyDict_GetItemWithError(cur.get(), head.get());
            if (!v) {
                if (PyErr_Occurred()) throw PyErrSet{};
                return boolean(false);
            }
            value = Ref::newref(v);
        } else {
            Ref has = base_contains(ctx, cur.get(), head.get());
            if (!truthy(has.get())) return boolean(false);
            value = base_getitem(ctx, cur.get(), head.get());
        }
        if (!method_walks_into(value.get(), kContains)) {
            Ref rest = c.whole();
            return call_method(value.get(), S.member[kContains], rest.get());
        }
        cur = std::move(value);
    }
}

// Dorvel.__delitem__: delete the leaf, then every parent left empty, from the
// innermost level outwards.
void delitem_impl(Ctx& ctx, PyObject* self, PyObject* key) {
    struct Level {
        Ref owner, head, value;
    };
    std::vector<Level> levels;
    Ref cur = Ref::newref(self);
    Cursor c(key);
    for (Ref head, leaf;;) {
        if (!c.step(head, leaf)) {
            base_delitem(ctx, cur.get(), leaf.get());
            break;
        }
        Ref value = base_getitem(ctx, cur.get(), head.get());
        PyObject* v = value.get();
        levels.push_back(Level{std::move(cur), std::move(head), std::move(value)});
        if (!walks_into(v, kDelItem)) {
            Ref rest = c.whole();
            check(PyObject_DelItem(v, rest.get()));
            break;
        }
        cur = Ref::newref(v);
    }
    for (auto it = levels.rbegin(); it != levels.rend(); ++it) {
        if (Py_TYPE(it->value.get()) != st.cls) ctx.forget();  // its truth may be Python code
        if (!truthy(it->value.get())) base_delitem(ctx, it->owner.get(), it->head.get());
    }
}

// ---------------------------------------------------------------------------
// Iterating entries: `for key, value in obj.items()`.
// ---------------------------------------------------------------------------

// Two values out of one item, as `a, b = item` does.
void unpack2(PyObject* item, Ref& a, Ref& b) {
    if ((PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) || (PyList_CheckExact(item) && PyList_GET_SIZE(item) == 2)) {
        a = Ref::newref(PySequence_Fast_GET_ITEM(item, 0));
        b = Ref::newref(PySequence_Fast_GET_ITEM(item, 1));
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        throw PyErrSet{};
    }
    Ref* slots[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        PyObject* x = PyIter_Next(it.get());
        if (!x) {
            if (PyErr_Occurred()) throw PyErrSet{};
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
        *slots[i] = Ref::steal(x);
    }
    PyObject* extra = PyIter_Next(it.get());
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw PyErrSet{};
}

// Calls fn(key, value) for each entry of obj.items(), in order.  A dict whose
// items() is dict's own is read in place, as the items view would; a change
// of its size raises the view's RuntimeError.
template <typename Fn>
void for_each_item(Ctx& ctx, PyObject* obj, Fn&& fn) {
    if (PyDict_Check(obj) && attr_is(obj, S.items, st.dict_items)) {
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(obj);
        PyObject *k, *v;
        while (PyDict_Next(obj, &pos, &k, &v)) {
            Ref key = Ref::newref(k), value = Ref::newref(v);
            fn(key.get(), value.get());
            if (PyDict_GET_SIZE(obj) != size) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    ctx.forget();
    Ref items = call_method(obj, S.items);
    Ref it = own(PyObject_GetIter(items.get()));
    while (PyObject* x = PyIter_Next(it.get())) {
        Ref item = Ref::steal(x), key, value;
        unpack2(item.get(), key, value);
        fn(key.get(), value.get());
    }
    if (PyErr_Occurred()) throw PyErrSet{};
}

// Calls fn(x) for each x of an iterable; an exact list is indexed in place.
template <typename Fn>
void for_each(PyObject* iterable, Fn&& fn) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref x = Ref::newref(PyList_GET_ITEM(iterable, i));
            fn(x.get());
        }
        return;
    }
    Ref it = own(PyObject_GetIter(iterable));
    while (PyObject* x = PyIter_Next(it.get())) {
        Ref item = Ref::steal(x);
        fn(item.get());
    }
    if (PyErr_Occurred()) throw PyErrSet{};
}

// a + b for exact strings, in one allocation.
Ref concat(PyObject* a, PyObject* b) {
    unicode_ready(a);
    unicode_ready(b);
    const Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb = PyUnicode_GET_LENGTH(b);
    if (na > PY_SSIZE_T_MAX - nb) return own(PyErr_NoMemory());
    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(a);
    if (PyUnicode_MAX_CHAR_VALUE(b) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(b);
    Ref out = own(PyUnicode_New(na + nb, maxchar));
    const int kind = PyUnicode_KIND(out.get());
    char* data = (char*)PyUnicode_DATA(out.get());
    if (PyUnicode_KIND(a) == kind)
        memcpy(data, PyUnicode_DATA(a), (std::size_t)na * kind);
    else
        check_size(PyUnicode_CopyCharacters(out.get(), 0, a, 0, na));
    if (PyUnicode_KIND(b) == kind)
        memcpy(data + na * kind, PyUnicode_DATA(b), (std::size_t)nb * kind);
    else
        check_size(PyUnicode_CopyCharacters(out.get(), na, b, 0, nb));
    return out;
}

// ---------------------------------------------------------------------------
// Flattening: all_keys() and all_items().
// ---------------------------------------------------------------------------

/*
 * Walker --
 *
 *   Collects the leaves of a keyed list, depth first.  A leaf at depth L is
 *   named, in Python terms, k0 + '.' + (k1 + '.' + (... + kL)): each level
 *   joins its key to the names its sub-list returned.  While keys are exact
 *   strings that join is plain concatenation, so the walker keeps, per depth,
 *   the joined prefix "k0.k1." and makes each leaf's name with one
 *   concatenation.  A name that is not an exact str (a str subclass key, or
 *   what an overriding all_keys() returned) is joined level by level with
 *   `+`, exactly as the nested calls would.
 *
 * Results:
 *   Appends to out: the names (keys) or (name, value) tuples (items).
 *
 * Side effects:
 *   Calls all_keys()/all_items() of sub-lists that override them.
 */
struct Walker {
    Ctx& ctx;
    bool items;
    PyObject* out;
    std::vector<Ref> prefix;  // prefix[d]: "k0.k1...k(d-1)." (prefix[0] is "")
    std::vector<Ref> path;    // path[d]: the key at depth d on the way down

    // The name at depth 0 of `name`, given at depth `depth`.
    Ref lift(Ref name, std::size_t depth) {
        while (depth > 0) {
            if (PyUnicode_CheckExact(name.get())) return concat(prefix[depth].get(), name.get());
            Ref left = own(PyNumber_Add(path[depth - 1].get(), S.dot));
            ctx.forget();
            name = own(PyNumber_Add(left.get(), name.get()));
            --depth;
        }
        return name;
    }

    void emit(Ref name, PyObject* value) {
        if (!items) {
            check(PyList_Append(out, name.get()));
            return;
        }
        Ref pair = own(PyTuple_New(2));
        PyTuple_SET_ITEM(pair.get(), 0, name.release());
        PyTuple_SET_ITEM(pair.get(), 1, Py_NewRef(value));
        check(PyList_Append(out, pair.get()));
    }

    void walk(PyObject* d, std::size_t depth) {
        RecursionGuard guard(items ? " while flattening a keyed list's items" : " while flattening a keyed list's keys");
        const Member own_member = items ? kAllItems : kAllKeys;
        for_each_item(ctx, d, [&](PyObject* key, PyObject* value) {
            if (!is_dorvel(ctx, value)) {
                emit(lift(Ref::newref(key), depth), value);
                return;
            }
            if (PyUnicode_CheckExact(key) && method_is_own(value, own_member)) {
                Ref p = concat(prefix[depth].get(), key);
                p = concat(p.get(), S.dot);
                prefix.resize(depth + 1);
                path.resize(depth);
                prefix.push_back(std::move(p));
                path.push_back(Ref::newref(key));
                walk(value, depth + 1);
                return;
            }
            // A sub-list whose names are made by its own method, or a key
            // that joins with `+`: join level by level.
            Ref sub;
            if (method_is_own(value, own_member)) {
                Walker inner{ctx, items, nullptr, {}, {}};
                sub = inner.run(value);
            } else {
                ctx.forget();
                sub = call_method(value, S.member[own_member]);
            }
            for_each(sub.get(), [&](PyObject* entry) {
                Ref subkey, subvalue;
                if (items) {
                    unpack2(entry, subkey, subvalue);
                } else {
                    subkey = Ref::newref(entry);
                }
                ctx.forget();
                Ref key_dot = own(PyNumber_Add(key, S.dot));
                Ref name = own(PyNumber_Add(key_dot.get(), subkey.get()));
                emit(lift(std::move(name), depth), subvalue.get());
            });
        });
    }

    Ref run(PyObject* d) {
        Ref list = own(PyList_New(0));
        out = list.get();
        prefix.clear();
        path.clear();
        prefix.push_back(Ref::newref(S.dot_empty));
        walk(d, 0);
        return list;
    }
};

Ref all_impl(Ctx& ctx, PyObject* self, bool items) {
    Walker w{ctx, items, nullptr, {}, {}};
    return w.run(self);
}

// ---------------------------------------------------------------------------
// Construction and update.
// ---------------------------------------------------------------------------

void init_impl(Ctx& ctx, PyObject* self, PyObject* args, PyObject* kwargs);
void update_impl(Ctx& ctx, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs);

// target.update(value): our own update when target's class keeps it, else the
// class's override, called as Python would call it.
void update_with(Ctx& ctx, PyObject* target, PyObject* value) {
    if (method_is_own(target, kUpdate)) {
        update_impl(ctx, target, &value, 1, nullptr);
        return;
    }
    ctx.forget();
    call_method(target, S.member[kUpdate], value);
}

// Dorvel.__call__ is type's and __new__ is dict's: creating an instance is
// tp_new followed by our __init__.
bool plain_construction() {
    return Py_TYPE(st.cls)->tp_call == PyType_Type.tp_call && st.cls->tp_new == PyDict_Type.tp_new &&
           guard::type_resolves(st.cls, S.member[kInit], st.own[kInit]);
}

// Dorvel(*args): args is a tuple or nullptr.
Ref construct(Ctx& ctx, PyObject* args) {
    if (!plain_construction()) {
        ctx.forget();
        return call_tuple_dict(dorvel_class(), args, nullptr);
    }
    Ref obj = own(st.cls->tp_new(st.cls, args ? args : st.empty_tuple, nullptr));
    if (!PyObject_TypeCheck(obj.get(), st.cls)) return obj;
    init_impl(ctx, obj.get(), args, nullptr);
    return obj;
}

// Dorvel()
Ref new_dorvel(Ctx& ctx) { return construct(ctx, nullptr); }

// Dorvel(value), or an empty Ref when that raises ValueError or TypeError.
// Values of exact built-in types that dict() is known to refuse are settled
// without calling it.
Ref convert_value(Ctx& ctx, PyObject* value) {
    PyTypeObject* t = Py_TYPE(value);
    if (t == &PyUnicode_Type) {
        // dict('') is {}; every element of any other str has length 1.
        if (PyUnicode_GET_LENGTH(value) == 0) return new_dorvel(ctx);
        return Ref();
    }
    if (t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || t == &PyComplex_Type || value == Py_None ||
        t == st.tcl_obj)
        return Ref();  // neither iterable nor a mapping
    if (t == &PyBytes_Type && PyBytes_GET_SIZE(value) > 0) return Ref();  // elements are ints
    Ref args = tuple_of({value});
    Ref out;
    try {
        out = construct(ctx, args.get());
    } catch (const PyErrSet&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) throw;
        PyErr_Clear();
    }
    return out;
}

/*
 * init_impl --
 *
 *   Dorvel.__init__: the base mapping starts empty; dict(*args, **kwargs)
 *   gives the entries; each value that is not a Dorvel and from which a
 *   Dorvel can be made is replaced by one (recursively, through Dorvel());
 *   then self.update(entries), so dotted keys build nested lists.
 *
 * Results:
 *   None.
 *
 * Side effects:
 *   Fills self.
 */
void init_impl(Ctx& ctx, PyObject* self, PyObject* args, PyObject* kwargs) {
    RecursionGuard guard(" while building a keyed list");
    if (!ctx.base(self, kInit)) {
        ctx.forget();
        super_call(self, S.member[kInit]);
    }
    bool no_args = (!args || PyTuple_GET_SIZE(args) == 0) && (!kwargs || PyDict_GET_SIZE(kwargs) == 0);
    Ref dsc = no_args ? own(PyDict_New()) : call_tuple_dict((PyObject*)&PyDict_Type, args, kwargs);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dsc.get(), &pos, &k, &v)) {
        Ref key = Ref::newref(k), value = Ref::newref(v);
        if (is_dorvel(ctx, value.get())) continue;
        Ref converted = convert_value(ctx, value.get());
        // replacing the value of an existing key leaves the iteration intact
        if (converted) check(PyDict_SetItem(dsc.get(), key.get(), converted.get()));
    }
    update_with(ctx, self, dsc.get());
}

// MutableMapping.update(self, other): an exact dict is read in place, every
// other argument goes to the function itself.
void mapping_update(Ctx& ctx, PyObject* self, PyObject* other) {
    Ref fn = getattr(st.mutable_mapping, S.member[kUpdate]);
    if (fn.get() == st.mm_update && PyDict_CheckExact(other)) {
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(other);
        PyObject *k, *v;
        while (PyDict_Next(other, &pos, &k, &v)) {
            Ref key = Ref::newref(k), value = Ref::newref(v);
            store(ctx, self, key.get(), value.get());
            if (PyDict_GET_SIZE(other) != size) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    ctx.forget();
    calln(fn.get(), self, other);
}

/*
 * update_impl --
 *
 *   Dorvel.update(*args, **kwargs).  A Dorvel argument is merged leaf by leaf
 *   (self[key] = value for each of its all_items()); any other argument goes
 *   through MutableMapping.update, which replaces entries.  A keyword whose
 *   value is a Dorvel merges into the sub-list of that name (made when
 *   missing, a conflict when a plain value is there).
 *
 * Results:
 *   None.
 *
 * Side effects:
 *   Stores into self and its sub-lists.
 */
void update_impl(Ctx& ctx, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs) {
    RecursionGuard guard(" while updating a keyed list");
    if (nargs > 1) raise(PyExc_TypeError, "update() takes at most 1 positional arguments (%zd given)", nargs);
    if (nargs == 1) {
        PyObject* other = args[0];
        if (is_dorvel(ctx, other)) {
            Ref leaves;
            if (method_is_own(other, kAllItems)) {
                leaves = all_impl(ctx, other, true);
            } else {
                ctx.forget();
                leaves = call_method(other, S.member[kAllItems]);
            }
            for_each(leaves.get(), [&](PyObject* item) {
                Ref key, value;
                unpack2(item, key, value);
                store(ctx, self, key.get(), value.get());
            });
        } else {
            mapping_update(ctx, self, other);
        }
    }
    if (!kwargs) return;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
        Ref key = Ref::newref(k), value = Ref::newref(v);
        if (!is_dorvel(ctx, value.get())) {
            store(ctx, self, key.get(), value.get());
            continue;
        }
        Ref subkl = find_item(ctx, self, key.get());
        if (!subkl) {
            subkl = new_dorvel(ctx);
            store(ctx, self, key.get(), subkl.get());
        } else if (!is_dorvel(ctx, subkl.get())) {
            raise_conflict(key.get());
        }
        update_with(ctx, subkl.get(), value.get());
    }
}

// ---------------------------------------------------------------------------
// The Tcl form.
// ---------------------------------------------------------------------------

// Tcl's list syntax read in place.  The characters Tcl's list parser takes
// as white space between elements:
template <typename C>
inline bool tcl_space(C c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// One element of a list text: its characters are text[start, start + len).
struct Span {
    Py_ssize_t start = 0, len = 0;
};

enum class Scan {
    kEnd,        // only white space left
    kElement,    // one element, its text unchanged
    kSubst,      // Tcl would substitute a backslash sequence in the element
    kMalformed,  // Tcl refuses the text: not a list
};

/*
 * next_element --
 *
 *   The element of the list text s[p, limit) that starts at p, found as
 *   Tcl's list parser finds it (Tcl_SplitList): white space skipped, then
 *   a braced element (to the matching close brace, a backslash keeping the
 *   next character from counting), a quoted element or a bare word; a close
 *   brace or quote must be followed by white space or the end.  Only elements
 *   whose value is their text are read here: a backslash outside braces means
 *   a substitution, which is left to Tcl.
 *
 * Results:
 *   kElement with e set and p past the element and the white space after
 *   it; kEnd, kSubst or kMalformed.
 */
template <typename C>
Scan next_element(const C* s, Py_ssize_t& p, Py_ssize_t limit, Span& e) {
    while (p < limit && tcl_space(s[p])) ++p;
    if (p == limit) return Scan::kEnd;
    int open = 0;
    bool quoted = false;
    if (s[p] == '{') {
        open = 1;
        ++p;
    } else if (s[p] == '"') {
        quoted = true;
        ++p;
    }
    const Py_ssize_t start = p;
    Py_ssize_t end = -1;  // where a braced or quoted element's text ends
    for (; p < limit; ++p) {
        const C c = s[p];
        if (c == '{') {
            if (open) ++open;
        } else if (c == '}' && open) {
            if (--open) continue;
            end = p;
            if (++p < limit && !tcl_space(s[p])) return Scan::kMalformed;
            break;
        } else if (c == '\\') {
            if (!open) return Scan::kSubst;
            if (p + 1 < limit) ++p;
        } else if (c == '"' && quoted) {
            end = p;
            if (++p < limit && !tcl_space(s[p])) return Scan::kMalformed;
            break;
        } else if (!open && !quoted && tcl_space(c)) {
            break;
        }
    }
    if (end < 0) {
        if (open || quoted) return Scan::kMalformed;  // no close brace or quote
        end = p;
    }
    e.start = start;
    e.len = end - start;
    while (p < limit && tcl_space(s[p])) ++p;
    return Scan::kElement;
}

// Whether s[0, n) holds a lone surrogate, which the bridge cannot hand to Tcl.
template <typename C>
bool has_surrogate(const C* s, Py_ssize_t n) {
    if (sizeof(C) == 1) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (s[i] >= 0xD800 && s[i] <= 0xDFFF) return true;
    return false;
}

enum class Fields {
    kRead,       // every field read into the dict
    kNotKeyed,   // a field is not a pair, or the text is no list
    kAskTcl,     // the split needs Tcl (a substitution, a lone surrogate)
};

/*
 * read_fields --
 *
 *   The fields of the keyed-list text `text` (s[0, n) its characters) into
 *   dsc: each field split again into key and value, dsc[key] = value, as
 *   dict() of the splits that cast_list gives.
 *
 * Results:
 *   kRead; kNotKeyed when a field does not split into two elements or the
 *   text is not a list; kAskTcl when the text needs Tcl's own split.
 *   Nothing is read into dsc unless the result is kRead.
 */
template <typename C>
Fields read_fields(PyObject* text, const C* s, Py_ssize_t n, PyObject* dsc) {
    if (has_surrogate(s, n)) return Fields::kAskTcl;
    // Pass 1: every field and its two parts, as Tcl splits them.  A field
    // that is not a pair settles it: cast_list's TclError for a later field
    // and dict()'s ValueError both mean "not a keyed list".
    std::vector<Span> parts;
    Span field;
    for (Py_ssize_t p = 0;;) {
        Scan r = next_element(s, p, n, field);
        if (r == Scan::kEnd) break;
        if (r == Scan::kSubst) return Fields::kAskTcl;
        if (r == Scan::kMalformed) return Fields::kNotKeyed;
        Span part;
        int count = 0;
        for (Py_ssize_t q = field.start, limit = field.start + field.len;;) {
            Scan rr = next_element(s, q, limit, part);
            if (rr == Scan::kEnd) break;
            if (rr == Scan::kSubst) return Fields::kAskTcl;
            if (rr == Scan::kMalformed) return Fields::kNotKeyed;
            if (++count <= 2) parts.push_back(part);
        }
        if (count != 2) return Fields::kNotKeyed;
    }
    // Pass 2: the entries, in field order.
    for (std::size_t i = 0; i < parts.size(); i += 2) {
        Ref key = own(PyUnicode_Substring(text, parts[i].start, parts[i].start + parts[i].len));
        Ref value = own(PyUnicode_Substring(text, parts[i + 1].start, parts[i + 1].start + parts[i + 1].len));
        check(PyDict_SetItem(dsc, key.get(), value.get()));
    }
    return Fields::kRead;
}

Fields read_fields(PyObject* text, PyObject* dsc) {
    unicode_ready(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return read_fields(text, PyUnicode_1BYTE_DATA(text), n, dsc);
        case PyUnicode_2BYTE_KIND:
            return read_fields(text, PyUnicode_2BYTE_DATA(text), n, dsc);
        default:
            return read_fields(text, PyUnicode_4BYTE_DATA(text), n, dsc);
    }
}

// The package's list splitter as loaded: trelmo.tcl's cast_list, which splits
// a str with the bridge's splitlist (Tcl_SplitList), and its Interpreter's.
struct Splitter {
    PyObject* package = nullptr;      // the package module as found at load (strong), or NULL
    guard::NameGuard names;           // cast_list, Interpreter and _thread_interpreter as at load
    PyObject* interp_class = nullptr; // Interpreter
    PyObject* interp_cast_list = nullptr;  // Interpreter.cast_list
} g_split;

// Whether cast_list(text) of the package `package` is, for an exact str, the
// split read_fields makes: the package is the one loaded and its cast_list
// the project's own.
bool own_splitter(PyObject* package) {
    return package == g_split.package && g_split.names.holds() &&
           guard::type_resolves((PyTypeObject*)g_split.interp_class, S.cast_list, g_split.interp_cast_list);
}

// At load: the package module, when it is already initialised (importing
// this module imports the package first) and its cast_list is its own.
void find_splitter() {
    Ref package = Ref::steal(PyImport_GetModule(S.package));
    if (!package) {
        if (PyErr_Occurred()) throw PyErrSet{};
        return;
    }
    PyObject* dict = PyModule_Check(package.get()) ? PyModule_GetDict(package.get()) : nullptr;
    if (!dict) return;
    Ref names[3] = {from_utf8("cast_list"), from_utf8("Interpreter"), from_utf8("_thread_interpreter")};
    PyObject* found[3];
    for (int i = 0; i < 3; ++i) {
        found[i] = PyDict_GetItemWithError(dict, names[i].get());
        if (!found[i]) {
            if (PyErr_Occurred()) throw PyErrSet{};
            return;
        }
    }
    if (!PyFunction_Check(found[0]) || !PyType_Check(found[1])) return;
    Ref module = getattr(found[0], "__module__");
    if (!PyUnicode_Check(module.get()) || PyUnicode_Compare(module.get(), S.package) != 0) return;
    PyObject* method = compat::type_lookup((PyTypeObject*)found[1], S.cast_list);
    if (!method || !PyFunction_Check(method)) return;
    g_split.names.init(dict);
    for (int i = 0; i < 3; ++i) g_split.names.expect(names[i].get(), found[i]);
    g_split.interp_class = Py_NewRef(found[1]);
    g_split.interp_cast_list = Py_NewRef(method);
    g_split.package = package.release();
}

struct Reader {
    Ctx& ctx;
    Ref package;    // trelmo.tcl, imported once per from_tcl call
    Ref cast_list;  // its cast_list

    PyObject* import_package() {
        if (!package) package = own(PyImport_Import(S.package));
        return package.get();
    }

    PyObject* splitter() {
        if (!cast_list) cast_list = getattr(import_package(), S.cast_list);
        return cast_list.get();
    }

    /*
     * read --
     *
     *   Dorvel.from_tcl(string): split string into fields with cast_list,
     *   split each field again, dict() of the splits; every value that is not
     *   a Dorvel is tried as a keyed list itself (recursively) and stays as
     *   split when that fails (see read_value); finally a new
     *   Dorvel is updated with the entries.
     *
     *   While cast_list is the package's own, a str is split here, as Tcl
     *   splits it (read_fields), unless the text needs Tcl's substitutions
     *   or is one Tcl refuses at the top level (the error then comes from
     *   cast_list itself).
     *
     *   nested: string is a value inside a keyed list.  Then a split that is
     *   a list of the wrong length, which dict() would refuse with
     *   ValueError, returns an empty Ref at once instead of building that
     *   error only for the caller to discard it; so does text that is no
     *   list (cast_list's TclError, which read_value discards too).
     *
     * Results:
     *   A new Dorvel, or (nested only) an empty Ref: not a keyed list.
     *
     * Side effects:
     *   Calls cast_list once for the string and once for each field, unless
     *   they are split here.
     */
    Ref read(PyObject* string, bool nested) {
        RecursionGuard guard(" while reading a keyed list");
        Ref dsc = own(PyDict_New());
        Fields found = Fields::kAskTcl;
        if (PyUnicode_CheckExact(string) && own_splitter(import_package())) {
            found = read_fields(string, dsc.get());
            if (found == Fields::kNotKeyed) {
                if (nested) return Ref();
                found = Fields::kAskTcl;  // cast_list or dict() gives the error
            }
        }
        if (found == Fields::kAskTcl && !split_fields(string, nested, dsc)) return Ref();
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(dsc.get(), &pos, &k, &v)) {
            Ref key = Ref::newref(k), value = Ref::newref(v);
            if (is_dorvel(ctx, value.get())) continue;
            Ref sub = read_value(value.get());
            if (sub) check(PyDict_SetItem(dsc.get(), key.get(), sub.get()));
        }
        Ref klist = new_dorvel(ctx);
        update_with(ctx, klist.get(), dsc.get());
        return klist;
    }

    // The entries of string through cast_list into dsc (replaced when dict()
    // builds it); false (nested only) when a field is not a pair.
    bool split_fields(PyObject* string, bool nested, Ref& dsc) {
        PyObject* split = splitter();
        ctx.forget();
        Ref fields = call1(split, string);
        Ref splits = own(PyList_New(0));
        for_each(fields.get(), [&](PyObject* field) {
            Ref parts = call1(split, field);
            check(PyList_Append(splits.get(), parts.get()));
        });
        // dict(splits), built directly while every split is a list or tuple of two
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(splits.get()); ++i) {
            PyObject* s = PyList_GET_ITEM(splits.get(), i);
            bool sequence = PyList_CheckExact(s) || PyTuple_CheckExact(s);
            if (sequence && PySequence_Fast_GET_SIZE(s) == 2) {
                check(PyDict_SetItem(dsc.get(), PySequence_Fast_GET_ITEM(s, 0), PySequence_Fast_GET_ITEM(s, 1)));
                continue;
            }
            if (nested && sequence) return false;
            dsc = call1((PyObject*)&PyDict_Type, splits.get());
            break;
        }
        return true;
    }

    // Dorvel.from_tcl(value) for a value inside a keyed list: an empty Ref
    // when the value is not a keyed list.  That is what a ValueError (a field
    // that is not a pair), a TclError (text that is not a valid list) or a
    // KeyError (keys whose paths collide, such as `{a b} {a.c d}`) from
    // reading it means: TclX holds such a value as a plain string, so it must
    // not make the whole keyed list unreadable.  The class's own from_tcl is
    // read on in this reader (the call would land there anyway), so nesting
    // is limited alike with the shortcuts on and off.
    Ref read_value(PyObject* value) {
        Ref out;
        try {
            if (compat::type_lookup(st.cls, S.member[kFromTcl]) == st.own[kFromTcl]) {
                out = read(value, true);
            } else {
                ctx.forget();
                out = call_method(dorvel_class(), S.member[kFromTcl], value);
            }
        } catch (const PyErrSet&) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(st.tcl_error) &&
                !PyErr_ExceptionMatches(PyExc_KeyError))
                throw;
            PyErr_Clear();
            out.reset();
        }
        return out;
    }
};

// Dorvel.from_tcl(value) as called by __setitem__: errors propagate.
Ref from_tcl_top(Ctx& ctx, PyObject* value) {
    if (guard::type_resolves(st.cls, S.member[kFromTcl], st.own[kFromTcl])) {
        Reader r{ctx, Ref(), Ref()};
        return r.read(value, false);
    }
    ctx.forget();
    return call_method(dorvel_class(), S.member[kFromTcl], value);
}

// Dorvel.__tclobj__: tclobj([(key, value) for key, value in self.items()]).
Ref tclobj_impl(Ctx& ctx, PyObject* self) {
    Ref pairs = own(PyList_New(0));
    for_each_item(ctx, self, [&](PyObject* key, PyObject* value) {
        Ref pair = own(PyTuple_Pack(2, key, value));
        check(PyList_Append(pairs.get(), pair.get()));
    });
    PyObject* fn = PyDict_GetItemWithError(st.moddict, S.tclobj);
    if (!fn) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", S.tclobj);
        throw PyErrSet{};
    }
    if (fn == st.capi->tclobj_func) return own(st.capi->tclobj(pairs.get()));
    Ref hold = Ref::newref(fn);
    return call1(hold.get(), pairs.get());
}

// ---------------------------------------------------------------------------
// Method entry points.
// ---------------------------------------------------------------------------

const Signature kSigInit{"__init__", "Dorvel.__init__", {"self"}, 1, 1, 0, true, true};
const Signature kSigFromTcl{"from_tcl", "Dorvel.from_tcl", {"string"}, 1, 1};
const Signature kSigGetItem{"__getitem__", "Dorvel.__getitem__", {"self", "key"}, 2, 2};
const Signature kSigSetItem{"__setitem__", "Dorvel.__setitem__", {"self", "key", "value"}, 3, 3};
const Signature kSigContains{"__contains__", "Dorvel.__contains__", {"self", "key"}, 2, 2};
const Signature kSigDelItem{"__delitem__", "Dorvel.__delitem__", {"self", "key"}, 2, 2};
const Signature kSigUpdate{"update", "Dorvel.update", {"self"}, 1, 1, 0, true, true};
const Signature kSigAllKeys{"all_keys", "Dorvel.all_keys", {"self"}, 1, 1};
const Signature kSigAllItems{"all_items", "Dorvel.all_items", {"self"}, 1, 1};
const Signature kSigTclobj{"__tclobj__", "Dorvel.__tclobj__", {"self"}, 1, 1};

// The positional arguments of a fixed signature: directly when given exactly
// by position, else through parse() for its errors and keyword forms.
using Fixed = pyhelp::Fixed<3>;

// ---------------------------------------------------------------------------
// Item slots of the class itself.
//
// Dorvel's own mp_subscript, mp_ass_subscript and sq_contains call the C++
// implementations directly, instead of the generic dispatchers that look up
// __getitem__ & co. and call them through a bound method.  Nothing of this is
// visible: Python's slot machinery puts its generic dispatchers back as soon
// as one of those names is assigned on the class (or on a base), subclasses
// get the generic dispatchers when they are made, and each slot checks that
// the class still resolves the name to our function before taking the short
// way, else it calls what the name resolves to, as the generic one would.
// ---------------------------------------------------------------------------

// type(self).<name>.__get__(self) (the way the generic dispatchers bind).
Ref bound_special(PyObject* self, Member m) {
    PyObject* descr = compat::type_lookup(Py_TYPE(self), S.member[m]);
    if (!descr) raise_obj(PyExc_AttributeError, S.member[m]);
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    if (!get) return Ref::newref(descr);
    return own(get(descr, self, (PyObject*)Py_TYPE(self)));
}

template <typename Fn>
int guarded_int(Fn&& fn) noexcept {
    try {
        return fn();
    } catch (const PyErrSet&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

PyObject* slot_getitem(PyObject* self, PyObject* key) noexcept {
    return guarded([&] {
        if (!slot_is_own(self, kGetItem)) return call1(bound_special(self, kGetItem).get(), key);
        Ctx ctx;
        return getitem_impl(ctx, self, key);
    });
}

int slot_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return guarded_int([&] {
        const Member m = value ? kSetItem : kDelItem;
        if (!slot_is_own(self, m)) {
            Ref f = bound_special(self, m);
            Ref r = value ? calln(f.get(), key, value) : call1(f.get(), key);
            return 0;
        }
        Ctx ctx;
        if (value)
            setitem_impl(ctx, self, key, value);
        else
            delitem_impl(ctx, self, key);
        return 0;
    });
}

int slot_contains(PyObject* self, PyObject* key) noexcept {
    return guarded_int([&] {
        Ref r;
        if (!slot_is_own(self, kContains)) {
            r = call1(bound_special(self, kContains).get(), key);
        } else {
            Ctx ctx;
            r = contains_impl(ctx, self, key);
        }
        return (int)truthy(r.get());
    });
}

void install_slots(PyTypeObject* cls) {
    if (!(cls->tp_flags & Py_TPFLAGS_HEAPTYPE) || !cls->tp_as_mapping || !cls->tp_as_sequence) return;
    compat::patch_slots(cls, [](PyTypeObject* t) {
        t->tp_as_mapping->mp_subscript = slot_getitem;
        t->tp_as_mapping->mp_ass_subscript = slot_ass_subscript;
        t->tp_as_sequence->sq_contains = slot_contains;
    });
}

Ref Dorvel_init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kSigInit, args, nargs, kwnames);
    Ctx ctx;
    PyObject* kwargs = PyDict_GET_SIZE(p.starstar.get()) ? p.starstar.get() : nullptr;
    init_impl(ctx, p[0], p.star.get(), kwargs);
    return none();
}

Ref Dorvel_from_tcl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Fixed f(kSigFromTcl, args, nargs, kwnames);
    Ctx ctx;
    Reader r{ctx, Ref(), Ref()};
    return r.read(f.a[0], false);
}

// The item methods: their N arguments (see Fixed), a fresh conversion
// context, then impl(ctx, args...).
template <const Signature& Sig, auto Impl, std::size_t N>
Ref Dorvel_method(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_fixed<N>(Sig, args, nargs, kwnames, [](auto... a) {
        Ctx ctx;
        return Impl(ctx, a...);
    });
}

Ref Dorvel_update(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ctx ctx;
    if (!kwnames && nargs >= 1) {
        update_impl(ctx, args[0], args + 1, nargs - 1, nullptr);
        return none();
    }
    Parsed p = parse(kSigUpdate, args, nargs, kwnames);
    PyObject* star = p.star.get();
    update_impl(ctx, p[0], &PyTuple_GET_ITEM(star, 0), PyTuple_GET_SIZE(star), p.starstar.get());
    return none();
}

Ref Dorvel_all_keys(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Fixed f(kSigAllKeys, args, nargs, kwnames);
    Ctx ctx;
    return all_impl(ctx, f.a[0], false);
}

Ref Dorvel_all_items(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Fixed f(kSigAllItems, args, nargs, kwnames);
    Ctx ctx;
    return all_impl(ctx, f.a[0], true);
}

Ref Dorvel_tclobj(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Fixed f(kSigTclobj, args, nargs, kwnames);
    Ctx ctx;
    return tclobj_impl(ctx, f.a[0]);
}

const char kClassDoc[] =
    "Dorvel(*args, **kwargs)\n"
    "\n"
    "A TclX keyed list as a Python mapping: entries whose values are plain values\n"
    "or further keyed lists (sub-lists), reached with dotted keys, so that\n"
    "d['name.first'] is the entry 'first' of the sub-list under 'name'.  Takes\n"
    "what dict() takes; every value from which dict() can build a mapping becomes\n"
    "a nested Dorvel.  Entries are also readable as attributes (d.name.first).\n"
    "len, iteration, keys(), values(), items() and == see the top level only.";

// __contains__ is made apart from this table: has_key is the same object.
PyMethodDef kContainsDef = {
    "__contains__", PYHELP_FAST((Dorvel_method<kSigContains, contains_impl, 2>)),
    "__contains__(self, key)\n--\n\n"
    "Whether the path key exists.  Each component but the last must name a\n"
    "sub-list; the rest of the path is then tested with the value's own\n"
    "__contains__ (a substring test on a plain string value)."};

MethodSpec kMethods[] = {
    {{"__init__", PYHELP_FAST(Dorvel_init),
      "__init__(self, *args, **kwargs)\n--\n\n"
      "Build the keyed list from what dict(*args, **kwargs) gives.  Values that\n"
      "are mappings, iterables of pairs, empty strings or empty sequences become\n"
      "nested Dorvel objects; dotted keys build nested lists."},
     Kind::Instance},
    {{"from_tcl", PYHELP_FAST(Dorvel_from_tcl),
      "from_tcl(string)\n--\n\n"
      "Read a keyed list given as Tcl text, a Tcl_Obj or a sequence of fields\n"
      "into a new Dorvel, splitting with the package's cast_list.  A value that\n"
      "reads as a keyed list becomes a sub-list, others stay as split; dotted\n"
      "keys build nested lists.  A field that is not a key/value pair raises the\n"
      "ValueError of dict()."},
     Kind::Static},
    {{"__getitem__", PYHELP_FAST((Dorvel_method<kSigGetItem, getitem_impl, 2>)),
      "__getitem__(self, key)\n--\n\n"
      "The entry at the path key; KeyError when a component is missing."},
     Kind::Instance},
    {{"__setitem__", PYHELP_FAST((Dorvel_method<kSigSetItem, setitem_impl, 3>)),
      "__setitem__(self, key, value)\n--\n\n"
      "Store value at the path key, creating the sub-lists on the way.  A\n"
      "TclX keyed-list Tcl_Obj is read with from_tcl first.  KeyError when the\n"
      "path crosses a plain value or a sub-list would replace a plain value."},
     Kind::Instance},
    {{"__delitem__", PYHELP_FAST((Dorvel_method<kSigDelItem, delitem_impl, 2>)),
      "__delitem__(self, key)\n--\n\n"
      "Delete the entry at the path key, then every sub-list left empty on the\n"
      "way up."},
     Kind::Instance},
    {{"update", PYHELP_FAST(Dorvel_update),
      "update(self, *args, **kwargs)\n--\n\n"
      "Store entries from one mapping or iterable of pairs and from keywords.\n"
      "A Dorvel argument, and a Dorvel keyword value, is merged into the\n"
      "existing sub-lists leaf by leaf; other values replace entries."},
     Kind::Instance},
    {{"all_keys", PYHELP_FAST(Dorvel_all_keys),
      "all_keys(self)\n--\n\n"
      "The dotted keys of all leaves, depth first, as a list."},
     Kind::Instance},
    {{"all_items", PYHELP_FAST(Dorvel_all_items),
      "all_items(self)\n--\n\n"
      "The (dotted key, value) pairs of all leaves, depth first, as a list."},
     Kind::Instance},
    {{"__tclobj__", PYHELP_FAST(Dorvel_tclobj),
      "__tclobj__(self)\n--\n\n"
      "The keyed list for the Tcl bridge: a tuple of (key, value) pairs, each\n"
      "converted by tclobj, sub-lists nested the same way."},
     Kind::Instance},
};

// The metaclass Python's class statement would pick for these bases.
PyObject* metaclass_for(PyObject* bases) {
    PyTypeObject* meta = Py_TYPE(PyTuple_GET_ITEM(bases, 0));
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(t, meta)) meta = t;
    }
    return (PyObject*)meta;
}

Ref make_dorvel(PyObject* modname) {
    Ref bases = tuple_of({st.attrdict, st.mutable_mapping});
    Ref ns = own(PyDict_New());
    // Class-body order: fill every member's slot first; make_class then
    // replaces the placeholders of the C++ methods in place.
    Ref qualname = from_utf8("Dorvel");
    Ref doc = from_utf8(kClassDoc);
    Ref contains = make_member(&kContainsDef, Kind::Instance, modname);
    check(PyDict_SetItemString(ns.get(), "__module__", modname));
    check(PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()));
    check(PyDict_SetItemString(ns.get(), "__doc__", doc.get()));
    const char* order[] = {"__init__", "from_tcl", "__getitem__", "__setitem__", "__contains__", "__delitem__", "get",
                           "pop",      "setdefault", "update",    "all_keys",    "all_items",    "has_key", "__tclobj__"};
    for (const char* name : order) {
        Ref value;
        if (!strcmp(name, "__contains__") || !strcmp(name, "has_key"))
            value = Ref::newref(contains.get());
        else if (!strcmp(name, "get") || !strcmp(name, "pop") || !strcmp(name, "setdefault"))
            value = getattr(st.mutable_mapping, name);
        else
            value = none();
        check(PyDict_SetItemString(ns.get(), name, value.get()));
    }
    return make_class(metaclass_for(bases.get()), "Dorvel", "Dorvel", bases.get(), kMethods, ns.get(), modname,
                      kClassDoc);
}

PyModuleDef module_def =
    module_def_of(kModuleName, "TclX keyed lists as Python mappings with dotted keys (Dorvel), and their Tcl form.");

Ref init_module() {
    Ref m = new_module(&module_def, kNames);
    Ref modname = from_utf8(kModuleName);

    // Module-level names, in this order.
    Ref attrdict = add_object(m.get(), "AttrDict", import_from("trelmo.datastructures", "AttrDict"));
    Ref mapping = add_object(m.get(), "MutableMapping", import_from("collections.abc", "MutableMapping"));
    Ref tcl_obj = add_object(m.get(), "Tcl_Obj", import_from("_tkinter", "Tcl_Obj"));
    Ref tclobj = add_object(m.get(), "tclobj", import_sibling("trelmo.tcl", "quoml", "tclobj"));

    if (!PyType_Check(tcl_obj.get())) raise(PyExc_TypeError, "_tkinter.Tcl_Obj is not a class");
    st.capi = quoml_capi_import();
    if (!st.capi) throw PyErrSet{};
    st.attrdict = attrdict.release();
    st.mutable_mapping = mapping.release();
    st.mm_update = getattr(st.mutable_mapping, S.member[kUpdate]).release();
    st.tcl_obj = (PyTypeObject*)tcl_obj.release();
    st.tcl_error = import_from("_tkinter", "TclError").release();
    st.cache_token = import_from("abc", "get_cache_token").release();
    {
        Ref meta = import_from("abc", "ABCMeta");
        if (!PyType_Check(meta.get())) raise(PyExc_TypeError, "abc.ABCMeta is not a class");
        st.abc_meta = (PyTypeObject*)meta.release();
        st.abc_instancecheck = Py_XNewRef(compat::type_lookup(st.abc_meta, S.instancecheck));
        st.abc_subclasscheck = Py_XNewRef(compat::type_lookup(st.abc_meta, S.subclasscheck));
    }
    st.dict_items = Py_NewRef(compat::type_lookup(&PyDict_Type, S.items));
    st.object_class = Py_NewRef(compat::type_lookup(&PyBaseObject_Type, S.dunder_class));
    st.empty_tuple = own(PyTuple_New(0)).release();
    split_table = own(PyDict_New()).release();
    st.zero = own(PyLong_FromLong(0)).release();
    st.one = own(PyLong_FromLong(1)).release();

    Ref cls = make_dorvel(modname.get());
    if (!PyType_Check(cls.get())) raise(PyExc_TypeError, "the metaclass did not make a class");
    PyObject* cls_dict = compat::type_dict_borrowed((PyTypeObject*)cls.get());
    for (int i = 0; i < kMembers; ++i) {
        PyObject* member = PyDict_GetItemWithError(cls_dict, S.member[i]);
        if (!member) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_AttributeError, "Dorvel has no member %U", S.member[i]);
            throw PyErrSet{};
        }
        st.own[i] = Py_NewRef(member);
    }
    st.base_getattribute = compat::type_lookup((PyTypeObject*)cls.get(), S.getattribute);
    Py_XINCREF(st.base_getattribute);
    add_object(m.get(), "Dorvel", cls.get());
    st.cls = (PyTypeObject*)cls.release();
    install_slots(st.cls);
    st.moddict = Py_NewRef(PyModule_GetDict(m.get()));
    find_splitter();
    return m;
}

}  // namespace

PYHELP_MODULE_INIT(dorvel, init_module)
