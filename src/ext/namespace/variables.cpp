// variables.cpp -- TclVariable, TempTclVariable, TclArrayVariable,
// TempTclArrayVariable and the views TclNamespace.VariablesView and
// TclNamespace.ObjectsView.  Part of the namespace module; see internal.hpp.
//
// A variable handle holds no value: every operation is one or more calls on
// the interpreter's `tk` (getvar/setvar/unsetvar, eval of `set N`, call of
// `::array ...` and `::info exists`).  The methods call each other through
// `self`, as Python code would, so a subclass that overrides one of them is
// honoured everywhere.  While the attribute still resolves to this module's
// own method (a type lookup remembered per type version, plus a look into the
// instance dict) the C implementation is called directly, and a view skips
// building the short-lived handle; that is what keeps a[k] or ns.vars[name]
// near the cost of the raw _tkinter call it sends.
#include "internal.hpp"

#include <cstring>
#include <utility>

namespace trelmo_ns {
namespace {

// State of this part: owned references kept for the life of the process.
struct VarState {
    PyObject* marker = nullptr;       // TclVariable.__marker: "cast omitted" in get_obj
    PyObject* VariablesView = nullptr;
    PyObject* ObjectsView = nullptr;
    newfunc tclvar_new = nullptr;     // TclVariable's tp_new when it was made
    PyObject* tclns_body = nullptr;   // the class body dict TclNamespace was made from
    // keyword-name tuples for calls through `self`
    PyObject *kw_array_index, *kw_nocomplain, *kw_pattern, *kw_index_nocomplain, *kw_tcl, *kw_var_type;
    // the class attributes as made here; a lookup that still finds one of
    // these may call the C implementation directly
    Loaded own_init, own_get, own_get_obj, own_get_str, own_set, own_unset, own_exists, own_array_set,
        own_array_unset, own_array_size, own_array_names;
    Loaded own_view_iter, own_view_byref, own_view_get, own_view_set, own_view_unset, own_view_exists, own_objs_get;
    guard::TypeMemo<2> plain_ns_types;  // namespace classes whose handles ns_text may read directly
    // classes whose instances' attributes are read from their dictionaries:
    // handles (tcl, var_name, cast), views (ns), namespaces (ns, tcl)
    guard::DictReads<4> handle_reads;
    guard::DictReads<2> view_reads, ns_reads;
} VS;

// ---------------------------------------------------------------------------
// Small helpers.
// ---------------------------------------------------------------------------

// a + mid + b + tail for exact strs, allocated once; mid and tail are ASCII.
Ref concat3(PyObject* a, const char* mid, PyObject* b, const char* tail) {
    Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb = PyUnicode_GET_LENGTH(b);
    Py_ssize_t nm = (Py_ssize_t)std::strlen(mid), nt = (Py_ssize_t)std::strlen(tail);
    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(a);
    if (PyUnicode_MAX_CHAR_VALUE(b) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(b);
    Ref out = own(PyUnicode_New(na + nm + nb + nt, maxchar));
    PyObject* o = out.get();
    int kind = PyUnicode_KIND(o);
    void* data = PyUnicode_DATA(o);
    if (PyUnicode_KIND(a) == kind) {
        std::memcpy(data, PyUnicode_DATA(a), (std::size_t)na * kind);
    } else {
        check_size(PyUnicode_CopyCharacters(o, 0, a, 0, na));
    }
    for (Py_ssize_t i = 0; i < nm; ++i) PyUnicode_WRITE(kind, data, na + i, (Py_UCS4)mid[i]);
    if (PyUnicode_KIND(b) == kind) {
        std::memcpy((char*)data + (std::size_t)(na + nm) * kind, PyUnicode_DATA(b), (std::size_t)nb * kind);
    } else {
        check_size(PyUnicode_CopyCharacters(o, na + nm, b, 0, nb));
    }
    for (Py_ssize_t i = 0; i < nt; ++i) PyUnicode_WRITE(kind, data, na + nm + nb + i, (Py_UCS4)tail[i]);
    return out;
}

// '%s(%s)' % (name, index_text)
Ref paren_name(PyObject* name, PyObject* index_text) {
    if (!PyUnicode_CheckExact(name) || !PyUnicode_CheckExact(index_text))
        return own(PyUnicode_FromFormat("%S(%S)", name, index_text));
    return concat3(name, "(", index_text, ")");
}
// N of the traffic tables: name, or '%s(%s)' % (name, quoml(index)).
Ref element_name(PyObject* name, PyObject* index) {
    if (index == Py_None) return Ref::newref(name);
    Ref q = to_quoml(index);
    return paren_name(name, q.get());
}

// Whether the TclVariable class is as this module made it (its __new__,
// __init__ and the method `meth`), so that the handle a view would build and
// call can be replaced by its interpreter and name.
bool handle_is_plain(Loaded& meth) {
    PyTypeObject* tv = (PyTypeObject*)M.TclVariable;
    return tv->tp_new == VS.tclvar_new && VS.own_init.on_type(tv) && meth.on_type(tv);
}

// ---------------------------------------------------------------------------
// Tcl traffic of a variable handle, on its interpreter `tcl` and name `name`.
// ---------------------------------------------------------------------------

// Whether tk is the bridge's own application object (its type, bound when
// the module loaded): its variable methods are the bridge's C functions.
bool is_tkapp(PyObject* tk) { return Py_TYPE(tk) == reinterpret_cast<PyTypeObject*>(M.TkappType); }

// tk.<name>(*args).  The bridge's application object has no instance
// dictionary and cannot be subclassed, so the attribute lookup is the type's:
// the method descriptor the type holds now (from the runtime's method cache)
// is called through its C function, with the one argument tuple the
// descriptor itself would build, and no bound method.  Anything else (a
// wrapper of the application, the fast paths switched off) is asked for the
// method as Python would.
Ref tk_method(PyObject* tk, PyObject* name, PyObject* a0, PyObject* a1 = nullptr, PyObject* a2 = nullptr) {
    const Py_ssize_t n = a2 ? 3 : a1 ? 2 : 1;
    if (pyhelp::fast_paths() && is_tkapp(tk)) {
        PyTypeObject* t = Py_TYPE(tk);
        PyObject* descr = compat::type_lookup(t, name);
        if (PyCFunction f = compat::varargs_method(descr, t)) {
            Ref keep = Ref::newref(descr);
            Ref args = own(n == 1 ? PyTuple_Pack(1, a0) : n == 2 ? PyTuple_Pack(2, a0, a1) : PyTuple_Pack(3, a0, a1, a2));
            if (Py_EnterRecursiveCall(" while calling a Python object")) throw PyErrSet{};
            PyObject* r = f(tk, args.get());
            Py_LeaveRecursiveCall();
            if (!r && !PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "the Tcl bridge's variable method returned NULL without an error");
            return own(r);
        }
    }
    PyObject* argv[] = {nullptr, tk, a0, a1, a2};
    return call_method_vc(name, argv + 1, (std::size_t)(n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

/*
 * var_getvar --
 *     tk.getvar(name) or tk.getvar(name, index); the index goes as given.
 * Results:
 *     New reference to the raw value.
 * Side effects:
 *     None in Tcl beyond read traces.
 */
Ref var_getvar(PyObject* tcl, PyObject* name, PyObject* index) {
    Ref tk = tk_from(tcl);
    return tcl_var_ran(tk.get(), [&] {
        if (index == Py_None) return tk_method(tk.get(), S.getvar, name);
        return tk_method(tk.get(), S.getvar, name, index);
    });
}

// The value as Tcl's string: tk.call(("set", N)), which hands text over
// exactly (NUL included, unlike eval before Python 3.13); a value the bridge
// typed (a list, a number) is read again as text (value_text), so it keeps
// its own spelling ("007", "a  b").
//
// A shorter way gives the same answer in the common case: the bridge's
// getvar(N) hands back a str exactly when Tcl holds the value as plain text,
// and that str is then the text `set N` returns (both read the variable the
// same way, from the current call frame, and decode Tcl's text the same
// way).  Any other value (an int, a tuple, a Tcl_Obj) is the very object
// `set N` would have handed back, so it goes to value_text as that result
// would: the variable is read no more often than through `set` (a read
// trace fires once for text, twice for a typed value either way).  An error
// is not used: the value is read again through `set`, whose errors are then
// exactly the ones callers have always seen.
Ref var_get_str(PyObject* tcl, PyObject* name, PyObject* index, Ref&& known_tk = Ref()) {
    Ref tk = known_tk ? std::move(known_tk) : tk_from(tcl);
    Ref r;
    if (index == Py_None && PyUnicode_CheckExact(name) && is_tkapp(tk.get())) {
        r = Ref::steal(raw_result([&] { return tk_method(tk.get(), S.getvar, name); }));
        if (!r) {
            if (!PyErr_ExceptionMatches(M.TclError)) throw PyErrSet{};
            PyErr_Clear();
        }
    }
    if (r && PyUnicode_CheckExact(r.get())) return r;
    Ref n = element_name(name, index);
    Ref words = tuple_of({S.set, n.get()});
    if (!r) r = tk_call(tk.get(), words.get());
    if (PyUnicode_CheckExact(r.get())) return r;
    Ref script = to_quoml(words.get());
    return value_text(tk.get(), std::move(r), script.get());
}

// tk.setvar(name, tclobj(value)) or tk.setvar(name, quoml(index), tclobj(value)).
// The bridge checks the value it converts for a whole variable but not for
// an element, where a value it cannot carry crashes it: refused here first.
Ref var_setvar(PyObject* tcl, PyObject* name, PyObject* index, PyObject* value, Ref&& known_tk = Ref()) {
    Ref tk = known_tk ? std::move(known_tk) : tk_from(tcl);
    if (index == Py_None) {
        Ref v = tclobj_value(value);
        return tcl_var_ran(tk.get(), [&] { return tk_method(tk.get(), S.setvar, name, v.get()); });
    }
    Ref q = to_quoml(index);
    Ref v = tclobj_value(value);
    refuse_uncarryable(v.get());
    return tcl_var_ran(tk.get(), [&] { return tk_method(tk.get(), S.setvar, name, q.get(), v.get()); });
}

// tk.unsetvar(name) or tk.unsetvar(name, quoml(index)); a TclError is
// swallowed when nocomplain is true.
void var_unset(PyObject* tcl, PyObject* name, PyObject* index, PyObject* nocomplain) {
    try {
        Ref tk = tk_from(tcl);
        Ref q = index == Py_None ? Ref() : to_quoml(index);
        tcl_var_ran(tk.get(), [&] {
            if (!q) return call_method1(tk.get(), S.unsetvar, name);
            return invoke(tk.get(), S.unsetvar, name, q.get());
        });
    } catch (const PyErrSet&) {
        if (!PyErr_ExceptionMatches(M.TclError)) throw;
        Ref exc = fetch_exception();
        int quiet = PyObject_IsTrue(nocomplain);
        if (quiet < 0) throw PyErrSet{};
        if (quiet) return;
        PyErr_SetObject((PyObject*)Py_TYPE(exc.get()), exc.get());
        throw;
    }
}

// tk.call(("::info", "exists", N)) through tcl.cast_boolean.
Ref var_exists(PyObject* tcl, PyObject* name, PyObject* index) {
    Ref tk = tk_from(tcl);
    Ref n = element_name(name, index);
    Ref words = tuple_join({S.info_cmd, S.exists, n.get()});
    Ref r = tk_call(tk.get(), words.get());
    return call_method1(tcl, S.cast_boolean, r.get());
}

// tk.call(("::array", sub, name[, quoml(extra)])): the raw result.
Ref var_array_call(PyObject* tcl, PyObject* sub, PyObject* name, PyObject* pattern) {
    Ref tk = tk_from(tcl);
    Ref words;
    if (pattern == Py_None) {
        words = tuple_join({S.array_cmd, sub, name});
    } else {
        Ref q = to_quoml(pattern);
        words = tuple_join({S.array_cmd, sub, name, q.get()});
    }
    return tk_call(tk.get(), words.get());
}

Ref var_array_get_obj(PyObject* tcl, PyObject* name, PyObject* pattern) {
    Ref r = var_array_call(tcl, S.get, name, pattern);
    return call_method1(tcl, S.cast_array, r.get());
}

// Whether a result of `array get` holds nothing but text: a str, a Tcl_Obj,
// or a tuple of those.
bool texts_only(PyObject* r) {
    if (PyUnicode_CheckExact(r) || is_tcl_obj(r)) return true;
    if (!PyTuple_CheckExact(r)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(r); ++i) {
        PyObject* e = PyTuple_GET_ITEM(r, i);
        if (!PyUnicode_CheckExact(e) && !is_tcl_obj(e)) return false;
    }
    return true;
}

// The array's names and values as Tcl's strings: tk.call(("::array", "get",
// name[, quoml(pattern)])) while the bridge hands every element over as text;
// when it typed one (a list, a number), the same command again as a script
// whose result Tcl turns into text (script_text).  Through cast_array.
Ref var_array_get_str(PyObject* tcl, PyObject* name, PyObject* pattern) {
    Ref tk = tk_from(tcl);
    Ref words;
    if (pattern == Py_None) {
        words = tuple_join({S.array_cmd, S.get, name});
    } else {
        Ref q = to_quoml(pattern);
        words = tuple_join({S.array_cmd, S.get, name, q.get()});
    }
    Ref r = tk_call(tk.get(), words.get());
    if (!texts_only(r.get())) {
        Ref script = to_quoml(words.get());
        r = script_text(tk.get(), script.get());
    }
    return call_method1(tcl, S.cast_array, r.get());
}

void var_array_set(PyObject* tcl, PyObject* name, PyObject* value) {
    Ref tk = tk_from(tcl);
    Ref v = to_tclobj(value);
    Ref words = tuple_join({S.array_cmd, S.set, name, v.get()});
    tk_call(tk.get(), words.get());
}

Ref var_array_names(PyObject* tcl, PyObject* name, PyObject* pattern) {
    Ref r = var_array_call(tcl, S.names, name, pattern);
    return call_method1(tcl, S.cast_list, r.get());
}

Ref var_is_array(PyObject* tcl, PyObject* name) {
    Ref r = var_array_call(tcl, S.exists, name, Py_None);
    return call_method1(tcl, S.cast_boolean, r.get());
}

// ---------------------------------------------------------------------------
// TclVariable
// ---------------------------------------------------------------------------

// The interpreter and name of a handle.
struct Bound {
    Ref tcl, name;
    explicit Bound(PyObject* self) {
        Ref parts[2];
        bool exact;
        PyObject* const names[] = {S.tcl, S.var_name};
        if (VS.handle_reads.peek(self, names, 2, parts, &exact)) {
            tcl = std::move(parts[0]);
            name = std::move(parts[1]);
            return;
        }
        tcl = VS.handle_reads.read(self, S.tcl);
        name = VS.handle_reads.read(self, S.var_name);
    }
};

const Signature kSigInit{"__init__", "TclVariable.__init__", {"self", "var_name", "array_index", "tcl", "cast"}, 5, 2};
Ref TclVariable___init__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    parse_into(kSigInit, args, nargs, kwnames, a);
    PyObject* self = a[0];
    Ref tcl = bind_interp(a[3]);
    setattr(self, S.tcl, tcl.get());
    setattr(self, S.cast, or_none(a[4]));
    Ref name = to_quoml(a[1]);
    PyObject* index = or_none(a[2]);
    if (index != Py_None) {
        Ref q = to_quoml(index);
        name = paren_name(name.get(), q.get());
    }
    setattr(self, S.var_name, name.get());
    return none();
}

/*
 * The package's own casts --
 *     trelmo.tcl.cast_list, cast_array and cast_dict, and the methods of the
 *     same names of its Interpreter class.  On a tuple of texts (how the
 *     bridge hands over a value Tcl holds as a list whose elements are all
 *     text) each gives what it gives on the value's text: the elements as
 *     they are (cast_list), paired into a dict (cast_array; an odd last
 *     name is dropped), or paired with an even count (cast_dict).  So for
 *     these casts the value the bridge handed over is used as it is, with
 *     no second read of its text and no second split.
 *
 *     They are bound once the package is loaded (it imports this module, so
 *     not at this module's import), and recognised by identity: the package
 *     function while the package's names are still the ones bound then, or a
 *     bound method of the class's function whose object's class still
 *     resolves the names the cast uses on text to those functions and whose
 *     instance dictionary shadows none of them.
 */
enum class CastKind { list, array, dict, other };

struct OwnCasts {
    bool bound = false;
    bool refused = false;      // the package held replacements at the first use
    guard::NameGuard package;  // the package functions and the names they use
    PyObject* fn[3] = {};      // trelmo.tcl.cast_list, cast_array, cast_dict (owned)
    PyObject* meth[3] = {};    // Interpreter's functions of the same names (owned)
    PyObject* interp_type = nullptr;  // trelmo.tcl.Interpreter (owned)
    PyObject* name[3] = {};    // the interned names (borrowed)
    guard::TypeMemo<2> types[3];  // interpreter classes that resolve what kind k uses
};
OwnCasts g_casts;

// Bind the package's casts when the package is loaded; false until then.
bool bind_own_casts() {
    OwnCasts& c = g_casts;
    if (c.bound) return true;
    if (c.refused) return false;
    Ref pkg = Ref::steal(PyImport_GetModule(S.trelmo_tcl));
    if (!pkg) {
        if (PyErr_Occurred()) throw PyErrSet{};
        return false;
    }
    PyObject* d = PyModule_GetDict(pkg.get());  // borrowed
    if (!d) throw PyErrSet{};
    PyObject* names[] = {S.cast_list, S.cast_array, S.cast_dict};
    PyObject *fn[3], *meth[3];
    PyObject* interp = PyDict_GetItemWithError(d, S.Interpreter);
    PyObject* thread_interp = PyDict_GetItemWithError(d, S.thread_interpreter);
    if (!interp || !thread_interp || !PyType_Check(interp)) {
        if (PyErr_Occurred()) throw PyErrSet{};
        return false;  // not loaded yet
    }
    PyObject* interp_dict = compat::type_dict_borrowed((PyTypeObject*)interp);
    for (int k = 0; k < 3; ++k) {
        fn[k] = PyDict_GetItemWithError(d, names[k]);
        meth[k] = PyDict_GetItemWithError(interp_dict, names[k]);
        if (!fn[k] || !meth[k] || !PyFunction_Check(fn[k]) || !PyFunction_Check(meth[k])) {
            if (PyErr_Occurred()) throw PyErrSet{};
            return false;
        }
        // Only the package's own definitions: functions made in its
        // namespace under their own names, not replacements bound before
        // the first use (which then never count as the package's).
        Ref fq = getattr(fn[k], S.dunder_qualname), mq = getattr(meth[k], S.dunder_qualname);
        Ref want = own(PyUnicode_FromFormat("Interpreter.%U", names[k]));
        if (PyFunction_GET_GLOBALS(fn[k]) != d || PyFunction_GET_GLOBALS(meth[k]) != d ||
            !PyUnicode_Check(fq.get()) || !PyUnicode_Check(mq.get()) || PyUnicode_Compare(fq.get(), names[k]) != 0 ||
            PyUnicode_Compare(mq.get(), want.get()) != 0) {
            if (PyErr_Occurred()) throw PyErrSet{};
            c.refused = true;
            return false;
        }
    }
    c.package.init(d);
    c.package.expect(S.Interpreter, interp);
    c.package.expect(S.thread_interpreter, thread_interp);
    for (int k = 0; k < 3; ++k) {
        c.package.expect(names[k], fn[k]);
        c.fn[k] = Py_NewRef(fn[k]);
        c.meth[k] = Py_NewRef(meth[k]);
        c.name[k] = names[k];
    }
    c.interp_type = Py_NewRef(interp);
    c.bound = true;
    return true;
}

// Whether interpreter objects of class t resolve what the cast of kind k
// runs on text: the method itself, and cast_list for cast_array.
bool interp_class_ok(PyTypeObject* t, int k) {
    OwnCasts& c = g_casts;
    if (c.types[k].hit(t)) return true;
    if (!guard::type_resolves(t, c.name[k], c.meth[k]) || (k == 1 && !guard::type_resolves(t, S.cast_list, c.meth[0])))
        return false;
    c.types[k].store(t);
    return true;
}

// Which of the package's casts `cast` is, if any.
CastKind own_cast_kind(PyObject* cast) {
    if (!pyhelp::fast_paths()) return CastKind::other;
    PyObject* f = cast;
    PyObject* self = nullptr;
    if (PyMethod_Check(cast)) {
        f = PyMethod_GET_FUNCTION(cast);
        self = PyMethod_GET_SELF(cast);
    }
    if (!PyFunction_Check(f) || !bind_own_casts()) return CastKind::other;
    OwnCasts& c = g_casts;
    for (int k = 0; k < 3; ++k) {
        if (!self && f == c.fn[k]) {
            if (c.package.holds() && interp_class_ok((PyTypeObject*)c.interp_type, k)) return (CastKind)k;
            return CastKind::other;
        }
        if (self && f == c.meth[k]) {
            if (interp_class_ok(Py_TYPE(self), k) && (k != 1 || guard::instance_lacks(self, S.cast_list)))
                return (CastKind)k;
            return CastKind::other;
        }
    }
    return CastKind::other;
}

// What the package's cast of kind k gives on raw, a value the bridge handed
// over, when raw is a tuple of texts; an empty Ref otherwise (the cast then
// gets the value's text).
Ref own_cast_of_texts(CastKind kind, PyObject* raw) {
    if (kind == CastKind::other || !PyTuple_CheckExact(raw)) return Ref();
    const Py_ssize_t n = PyTuple_GET_SIZE(raw);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(raw, i))) return Ref();
    if (kind == CastKind::list) return own(PySequence_List(raw));
    if (kind == CastKind::dict && n % 2) return Ref();  // the cast raises its own error
    Ref out = own(PyDict_New());
    for (Py_ssize_t i = 0; i + 1 < n; i += 2)
        check(PyDict_SetItem(out.get(), PyTuple_GET_ITEM(raw, i), PyTuple_GET_ITEM(raw, i + 1)));
    return out;
}

// get_obj() with the cast rule: an omitted cast means self.cast, a false one none.
// get_obj() of the handle self, whose interpreter and name are tcl and name.
Ref get_obj_of(PyObject* self, PyObject* tcl, PyObject* name, PyObject* index, PyObject* cast) {
    Ref raw = var_getvar(tcl, name, index);
    Ref own_cast;
    if (cast == VS.marker) {
        // read after the command, which may have run Python code
        own_cast = VS.handle_reads.read(self, S.cast);
        cast = own_cast.get();
    }
    if (cast == Py_None || !truthy(cast)) return raw;
    // A cast gets the same input whatever Tcl did to the value: its text,
    // not the list, number, bytes or object the bridge made of it; the
    // package's own casts give that very result from the list itself.
    if (!PyUnicode_CheckExact(raw.get())) {
        if (Ref r = own_cast_of_texts(own_cast_kind(cast), raw.get())) return r;
        Ref tk = tk_from(tcl);
        Ref n = element_name(name, index);
        Ref words = tuple_of({S.set, n.get()});
        Ref script = to_quoml(words.get());
        raw = value_text(tk.get(), std::move(raw), script.get());
    }
    return call1(cast, raw.get());
}

// get_obj() with the cast rule: an omitted cast means self.cast, a false one none.
Ref get_obj_impl(PyObject* self, PyObject* index, PyObject* cast) {
    Bound b(self);
    return get_obj_of(self, b.tcl.get(), b.name.get(), index, cast);
}

const Signature kSigGetObj{"get_obj", "TclVariable.get_obj", {"self", "array_index", "cast"}, 3, 1};
Ref TclVariable_get_obj(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (nargs == 1 && kwnames && PyTuple_GET_SIZE(kwnames) == 1 && PyTuple_GET_ITEM(kwnames, 0) == S.cast) {
        // get(cast=...), the common keyword call (the compiler interns the name)
        a[0] = args[0];
        a[1] = nullptr;
        a[2] = args[1];
    } else {
        parse_into(kSigGetObj, args, nargs, kwnames, a);
    }
    return get_obj_impl(a[0], or_none(a[1]), a[2] ? a[2] : VS.marker);
}

// The methods that send one request about the handle's own variable: each
// reads the handle's interpreter and name, then the traffic helper above does
// the rest.  Omitted optional arguments arrive as null.
enum class HandleOp { get_str, set, unset, exists, array_get_obj, array_get_str, array_set, array_unset, array_size,
                      array_names, is_array };

template <HandleOp Op, const Signature& Sig>
Ref handle_method(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    parse_into(Sig, args, nargs, kwnames, a);
    Bound b(a[0]);
    PyObject *tcl = b.tcl.get(), *name = b.name.get();
    switch (Op) {
        case HandleOp::get_str: return var_get_str(tcl, name, or_none(a[1]));
        case HandleOp::set: return var_setvar(tcl, name, or_none(a[2]), a[1]);
        case HandleOp::unset: var_unset(tcl, name, or_none(a[1]), a[2] ? a[2] : Py_False); break;
        case HandleOp::exists: return var_exists(tcl, name, or_none(a[1]));
        case HandleOp::array_get_obj: return var_array_get_obj(tcl, name, or_none(a[1]));
        case HandleOp::array_get_str: return var_array_get_str(tcl, name, or_none(a[1]));
        case HandleOp::array_set: var_array_set(tcl, name, a[1]); break;
        case HandleOp::array_unset: var_array_call(tcl, S.unset, name, or_none(a[1])); break;
        case HandleOp::array_size: return var_array_call(tcl, S.size, name, Py_None);
        case HandleOp::array_names: return var_array_names(tcl, name, or_none(a[1]));
        case HandleOp::is_array: return var_is_array(tcl, name);
    }
    return none();
}

const Signature kSigGetStr{"get_str", "TclVariable.get_str", {"self", "array_index"}, 2, 1};
const Signature kSigSet{"set", "TclVariable.set", {"self", "value", "array_index"}, 3, 2};
const Signature kSigUnset{"unset", "TclVariable.unset", {"self", "array_index", "nocomplain"}, 3, 1};
const Signature kSigExists{"exists", "TclVariable.exists", {"self", "array_index"}, 2, 1};
const Signature kSigArrayGetObj{"array_get_obj", "TclVariable.array_get_obj", {"self", "pattern"}, 2, 1};
const Signature kSigArrayGetStr{"array_get_str", "TclVariable.array_get_str", {"self", "pattern"}, 2, 1};
const Signature kSigArraySet{"array_set", "TclVariable.array_set", {"self", "value"}, 2, 2};
const Signature kSigArrayUnset{"array_unset", "TclVariable.array_unset", {"self", "pattern"}, 2, 1};
const Signature kSigArraySize{"array_size", "TclVariable.array_size", {"self"}, 1, 1};
const Signature kSigArrayNames{"array_names", "TclVariable.array_names", {"self", "pattern"}, 2, 1};
const Signature kSigIsArray{"is_array", "TclVariable.is_array", {"self"}, 1, 1};

const Signature kSigItemByref{"array_item_byref", "TclVariable.array_item_byref", {"self", "array_index", "cast"}, 3, 2};
Ref TclVariable_array_item_byref(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    parse_into(kSigItemByref, args, nargs, kwnames, a);
    PyObject* self = a[0];
    Ref tcl = getattr(self, S.tcl);
    // TclVariable(self, array_index=array_index, tcl=self.tcl, cast=cast)
    PyObject* argv[] = {nullptr, self, a[1], tcl.get(), or_none(a[2])};
    Ref kw = tuple_of({S.array_index, S.tcl, S.cast});
    return own(PyObject_Vectorcall(M.TclVariable, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get()));
}

// True when name starts with "::" (str.startswith for anything else).
bool starts_absolute(PyObject* name) {
    if (PyUnicode_CheckExact(name)) return check_size(PyUnicode_Tailmatch(name, S.sep, 0, PY_SSIZE_T_MAX, -1)) == 1;
    Ref r = call_method1(name, S.startswith, S.sep);
    return truthy(r.get());
}

const Signature kSigAbsolute{"absolute", "TclVariable.absolute", {"self"}, 1, 1};
Ref TclVariable_absolute(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    parse_into(kSigAbsolute, args, nargs, kwnames, a);
    Ref name = getattr(a[0], S.var_name);
    if (starts_absolute(name.get())) return name;
    Ref tcl = getattr(a[0], S.tcl);
    Ref tk = tk_from(tcl.get());
    Ref current = tcl_ran(tk.get(), [&] { return invoke(tk.get(), S.call, S.namespace_, S.current); });
    PyObject* items[] = {current.get(), name.get()};
    return ns_join(items, 2);
}

const Signature kSigMakeAbsolute{"make_absolute", "TclVariable.make_absolute", {"self"}, 1, 1};
Ref TclVariable_make_absolute(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    parse_into(kSigMakeAbsolute, args, nargs, kwnames, a);
    Ref name = call_method0(a[0], S.absolute);
    setattr(a[0], S.var_name, name.get());
    return none();
}

Ref TclVariable___str__(PyObject* self) { return getattr(self, S.var_name); }

Ref TclVariable___tclobj__(PyObject* self) {
    Ref name = getattr(self, S.var_name);
    return to_quoml(name.get());
}

Ref TclVariable___repr__(PyObject* self) {
    Ref cls = getattr(self, S.dunder_class);
    Ref cls_name = getattr(cls.get(), S.dunder_name);
    Ref name = getattr(self, S.var_name);
    return own(PyUnicode_FromFormat("%S(%R)", cls_name.get(), name.get()));
}

MethodSpec kTclVariableMethods[] = {
    {{"__init__", PYHELP_FAST(TclVariable___init__),
      "__init__(self, var_name, array_index=None, tcl=None, cast=None)\n--\n\n"
      "Bind a handle to the Tcl variable var_name (the element array_index of it\n"
      "when given) of the interpreter tcl (default: the package's interpreter);\n"
      "cast converts the values get_obj reads.  Sends nothing to Tcl."},
     Kind::Instance},
    {{"get_obj", PYHELP_FAST(TclVariable_get_obj),
      // No text signature: the default of cast is a private sentinel, which a
      // text signature cannot express.
      "get_obj(self, array_index=None, cast=<the handle's cast>)\n\n"
      "Read the variable (or its element array_index) with tk.getvar, as the\n"
      "interpreter's object, whose type follows how Tcl last used the value\n"
      "(str, int, float, bool, bytes, tuple or Tcl_Obj).  A cast (the one given,\n"
      "else the handle's) receives the value's exact Tcl text instead, whatever\n"
      "Tcl did to it; cast=None returns the raw object.  For stable types use\n"
      "get_str or a cast."},
     Kind::Instance},
    {{"get_str", PYHELP_FAST((handle_method<HandleOp::get_str, kSigGetStr>)),
      "get_str(self, array_index=None)\n--\n\n"
      "Read the variable (or its element array_index) as Tcl's string, with the\n"
      "Tcl command set; exact, NUL characters included."},
     Kind::Instance},
    {{"set", PYHELP_FAST((handle_method<HandleOp::set, kSigSet>)),
      "set(self, value, array_index=None)\n--\n\n"
      "Write tclobj(value) to the variable (or its element array_index) with\n"
      "tk.setvar; returns what setvar returns."},
     Kind::Instance},
    {{"unset", PYHELP_FAST((handle_method<HandleOp::unset, kSigUnset>)),
      "unset(self, array_index=None, nocomplain=False)\n--\n\n"
      "Unset the variable (or its element array_index).  A TclError (no such\n"
      "variable) is raised unless nocomplain is true."},
     Kind::Instance},
    {{"exists", PYHELP_FAST((handle_method<HandleOp::exists, kSigExists>)),
      "exists(self, array_index=None)\n--\n\n"
      "Whether the variable (or its element array_index) exists: ::info exists."},
     Kind::Instance},
    {{"array_item_byref", PYHELP_FAST(TclVariable_array_item_byref),
      "array_item_byref(self, array_index, cast=None)\n--\n\n"
      "A new TclVariable on the element array_index of this array, bound to the\n"
      "same interpreter, with the given cast."},
     Kind::Instance},
    {{"array_get_obj", PYHELP_FAST((handle_method<HandleOp::array_get_obj, kSigArrayGetObj>)),
      "array_get_obj(self, pattern=None)\n--\n\n"
      "::array get of the array (elements matching the glob pattern when given)\n"
      "as objects, through the interpreter's cast_array."},
     Kind::Instance},
    {{"array_get_str", PYHELP_FAST((handle_method<HandleOp::array_get_str, kSigArrayGetStr>)),
      "array_get_str(self, pattern=None)\n--\n\n"
      "::array get of the array (elements matching the glob pattern when given),\n"
      "every name and value as Tcl's exact string; through cast_array."},
     Kind::Instance},
    {{"array_set", PYHELP_FAST((handle_method<HandleOp::array_set, kSigArraySet>)),
      "array_set(self, value)\n--\n\n"
      "::array set of the array from value: a mapping, or a flat sequence of\n"
      "names and values."},
     Kind::Instance},
    {{"array_unset", PYHELP_FAST((handle_method<HandleOp::array_unset, kSigArrayUnset>)),
      "array_unset(self, pattern=None)\n--\n\n"
      "::array unset: the whole array, or the elements matching the glob pattern."},
     Kind::Instance},
    {{"array_size", PYHELP_FAST((handle_method<HandleOp::array_size, kSigArraySize>)),
      "array_size(self)\n--\n\n"
      "::array size of the array, as the interpreter returns it."},
     Kind::Instance},
    {{"array_names", PYHELP_FAST((handle_method<HandleOp::array_names, kSigArrayNames>)),
      "array_names(self, pattern=None)\n--\n\n"
      "::array names of the array (matching the glob pattern when given), through\n"
      "the interpreter's cast_list."},
     Kind::Instance},
    {{"is_array", PYHELP_FAST((handle_method<HandleOp::is_array, kSigIsArray>)),
      "is_array(self)\n--\n\n"
      "Whether the variable is an array: ::array exists."},
     Kind::Instance},
    {{"absolute", PYHELP_FAST(TclVariable_absolute),
      "absolute(self)\n--\n\n"
      "The variable's absolute name: var_name when it starts with '::', otherwise\n"
      "joined with the interpreter's current namespace."},
     Kind::Instance},
    {{"make_absolute", PYHELP_FAST(TclVariable_make_absolute),
      "make_absolute(self)\n--\n\n"
      "Replace var_name by absolute()."},
     Kind::Instance},
    {{"__str__", PYHELP_O(TclVariable___str__), "__str__(self, /)\n--\n\nThe variable's name."}, Kind::Instance},
    {{"__tclobj__", PYHELP_O(TclVariable___tclobj__),
      "__tclobj__(self, /)\n--\n\nThe variable's name, so a handle can stand for it in a Tcl command."},
     Kind::Instance},
    {{"__repr__", PYHELP_O(TclVariable___repr__), "__repr__(self, /)\n--\n\nClassName('var_name')."},
     Kind::Instance},
};

// ---------------------------------------------------------------------------
// TempTclVariable
// ---------------------------------------------------------------------------

const Signature kSigTempInit{"__init__", "TempTclVariable.__init__", {"self", "var_name"}, 2, 1, 0, false, true};
Ref TempTclVariable___init__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kSigTempInit, args, nargs, kwnames);
    temp_init(M.TempTclVariable, p[0], p[1], p.starstar.get());
    return none();
}

Ref TempTclVariable___enter__(PyObject* self) { return temp_enter(M.TempTclVariable, self); }

const Signature kSigTempExit{"__exit__", "TempTclVariable.__exit__", {"self"}, 1, 1, 0, true, false};
Ref TempTclVariable___exit__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kSigTempExit, args, nargs, kwnames);
    PyObject* argv[] = {p[0], Py_True};
    invoke_kw(S.unset, argv, 2, VS.kw_nocomplain);
    return temp_exit(M.TempTclVariable, p[0], p.star.get());
}

MethodSpec kTempTclVariableMethods[] = {
    {{"__init__", PYHELP_FAST(TempTclVariable___init__),
      "__init__(self, var_name='::__trelmo__{cls}_{id}_tmp', **kwargs)\n--\n\n"
      "A handle on a scratch variable: var_name is formatted with cls (the class\n"
      "name) and id (id(self)); the keywords go to the base initialiser."},
     Kind::Instance},
    {{"__enter__", PYHELP_O(TempTclVariable___enter__), "__enter__(self, /)\n--\n\nReturn the handle; sends nothing."},
     Kind::Instance},
    {{"__exit__", PYHELP_FAST(TempTclVariable___exit__),
      "__exit__(self, *args)\n--\n\n"
      "Unset the variable (ignoring a TclError) and let any exception go on."},
     Kind::Instance},
};

// ---------------------------------------------------------------------------
// TclArrayVariable: the mapping protocol over one Tcl array.
// ---------------------------------------------------------------------------

const Signature kSigArrayInit{"__init__", "TclArrayVariable.__init__", {"self", "var_name", "tcl", "cast"}, 4, 2};
Ref TclArrayVariable___init__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    parse_into(kSigArrayInit, args, nargs, kwnames, a);
    // super().__init__(var_name, tcl=tcl, cast=cast)
    Ref sup = calln((PyObject*)&PySuper_Type, M.TclArrayVariable, a[0]);
    Ref init = getattr(sup.get(), S.dunder_init);
    PyObject* argv[] = {nullptr, a[1], or_none(a[2]), or_none(a[3])};
    Ref kw = tuple_of({S.tcl, S.cast});
    own(PyObject_Vectorcall(init.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get()));
    return none();
}

// The mapping methods call self.get / self.set / ... as the Python protocol
// would; while those are the class's own, the C implementation runs directly.
//
// The keyed methods: self.get(array_index=key), self.set(value,
// array_index=key), self.unset(array_index=key), self.exists(array_index=key).
enum class ItemOp { getitem, setitem, delitem, contains };

template <ItemOp Op, const Signature& Sig>
Ref array_item(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    parse_into(Sig, args, nargs, kwnames, a);
    PyObject *self = a[0], *key = a[1], *value = a[2];
    if (Op == ItemOp::getitem && VS.own_get.on_type(Py_TYPE(self))) {
        // The handle's dictionary holding exactly its three attributes
        // shadows no method: read them in one pass.
        Ref parts[3];
        bool exact = false;
        PyObject* const names[] = {S.tcl, S.var_name, S.cast};
        if (VS.handle_reads.peek(self, names, 3, parts, &exact) && exact)
            return get_obj_of(self, parts[0].get(), parts[1].get(), key, VS.marker);
    }
    Loaded& meth = Op == ItemOp::getitem   ? VS.own_get
                   : Op == ItemOp::setitem ? VS.own_set
                   : Op == ItemOp::delitem ? VS.own_unset
                                           : VS.own_exists;
    if (meth.on(self)) {
        if (Op == ItemOp::getitem) return get_obj_impl(self, key, VS.marker);
        Bound b(self);
        if (Op == ItemOp::setitem) var_setvar(b.tcl.get(), b.name.get(), key, value);
        if (Op == ItemOp::delitem) var_unset(b.tcl.get(), b.name.get(), key, Py_False);
        if (Op == ItemOp::contains) return var_exists(b.tcl.get(), b.name.get(), key);
        return none();
    }
    const bool with_value = Op == ItemOp::setitem;
    PyObject* argv[] = {self, with_value ? value : key, key};
    Ref r = invoke_kw(meth.name, argv, with_value ? 3 : 2, VS.kw_array_index);
    if (Op == ItemOp::setitem || Op == ItemOp::delitem) return none();
    return r;
}

const Signature kSigGetItem{"__getitem__", "TclArrayVariable.__getitem__", {"self", "key"}, 2, 2};
const Signature kSigSetItem{"__setitem__", "TclArrayVariable.__setitem__", {"self", "key", "value"}, 3, 3};
const Signature kSigDelItem{"__delitem__", "TclArrayVariable.__delitem__", {"self", "key"}, 2, 2};
const Signature kSigContains{"__contains__", "TclArrayVariable.__contains__", {"self", "key"}, 2, 2};
constexpr FastImpl TclArrayVariable___getitem__ = array_item<ItemOp::getitem, kSigGetItem>;
constexpr FastImpl TclArrayVariable___setitem__ = array_item<ItemOp::setitem, kSigSetItem>;
constexpr FastImpl TclArrayVariable___delitem__ = array_item<ItemOp::delitem, kSigDelItem>;
constexpr FastImpl TclArrayVariable___contains__ = array_item<ItemOp::contains, kSigContains>;

// The whole-array methods: self.array_size(), self.array_names(),
// self.array_unset() and self.array_set(value).
enum class WholeOp { size, names, unset, set };

template <WholeOp Op>
Ref array_whole(PyObject* self, PyObject* value = nullptr) {
    Loaded& meth = Op == WholeOp::size    ? VS.own_array_size
                   : Op == WholeOp::names ? VS.own_array_names
                   : Op == WholeOp::unset ? VS.own_array_unset
                                          : VS.own_array_set;
    if (!meth.on(self)) return value ? call_method1(self, meth.name, value) : call_method0(self, meth.name);
    Bound b(self);
    switch (Op) {
        case WholeOp::size: return var_array_call(b.tcl.get(), S.size, b.name.get(), Py_None);
        case WholeOp::names: return var_array_names(b.tcl.get(), b.name.get(), Py_None);
        case WholeOp::unset: var_array_call(b.tcl.get(), S.unset, b.name.get(), Py_None); break;
        case WholeOp::set: var_array_set(b.tcl.get(), b.name.get(), value); break;
    }
    return none();
}

Ref TclArrayVariable___len__(PyObject* self) { return array_whole<WholeOp::size>(self); }

// self.array_names(), at the first step of the iteration.
Ref array_fetch_names(PyObject* self) { return array_whole<WholeOp::names>(self); }

Ref TclArrayVariable___iter__(PyObject* self) { return names_iter(self, array_fetch_names); }

Ref TclArrayVariable_clear(PyObject* self) {
    array_whole<WholeOp::unset>(self);
    return none();
}

const Signature kSigUpdate{"update", "TclArrayVariable.update", {"self"}, 1, 1, 0, true, true};
Ref TclArrayVariable_update(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kSigUpdate, args, nargs, kwnames);
    Ref d = call_tuple_dict((PyObject*)&PyDict_Type, p.star.get(), p.starstar.get());
    array_whole<WholeOp::set>(p[0], d.get());
    return none();
}

MethodSpec kTclArrayVariableMethods[] = {
    {{"__init__", PYHELP_FAST(TclArrayVariable___init__),
      "__init__(self, var_name, tcl=None, cast=None)\n--\n\n"
      "Bind a mapping to the Tcl array var_name of the interpreter tcl; cast\n"
      "converts the element values read by indexing.  Sends nothing to Tcl."},
     Kind::Instance},
    {{"__getitem__", PYHELP_FAST(TclArrayVariable___getitem__),
      "__getitem__(self, key)\n--\n\nThe element's value (through the handle's cast); TclError when missing."},
     Kind::Instance},
    {{"__setitem__", PYHELP_FAST(TclArrayVariable___setitem__),
      "__setitem__(self, key, value)\n--\n\nWrite the element."},
     Kind::Instance},
    {{"__delitem__", PYHELP_FAST(TclArrayVariable___delitem__),
      "__delitem__(self, key)\n--\n\nUnset the element; TclError when missing."},
     Kind::Instance},
    {{"__contains__", PYHELP_FAST(TclArrayVariable___contains__),
      "__contains__(self, key)\n--\n\nWhether the element exists."},
     Kind::Instance},
    {{"__len__", PYHELP_O(TclArrayVariable___len__), "__len__(self, /)\n--\n\nThe number of elements."},
     Kind::Instance},
    {{"__iter__", PYHELP_O(TclArrayVariable___iter__),
      "__iter__(self, /)\n--\n\n"
      "Iterate over the element names, fetched once at the first step."},
     Kind::Instance},
    {{"clear", PYHELP_O(TclArrayVariable_clear),
      "clear(self, /)\n--\n\nUnset the whole array (it no longer exists afterwards)."},
     Kind::Instance},
    {{"update", PYHELP_FAST(TclArrayVariable_update),
      "update(self, *args, **kwargs)\n--\n\n"
      "Write dict(*args, **kwargs) into the array with one ::array set."},
     Kind::Instance},
};

// ---------------------------------------------------------------------------
// TclNamespace.VariablesView and TclNamespace.ObjectsView
// ---------------------------------------------------------------------------

// What view.byref(var_name) builds when nothing is overridden: the handle's
// interpreter and name, without making the short-lived handle itself.
struct ViewHandle {
    Ref tcl, name;
};


/*
 * ns_text --
 *     quoml(ns) for the namespace object of a view.  A TclNamespace (or
 *     TempTclNamespace) has no conversion protocol and is no sequence or
 *     mapping, so quoml turns it into str(ns), which its own __str__ makes
 *     its `ns` attribute.  While the class's __str__ is still the one it was
 *     built with (kept in the class body dict handed to this part) and `ns`
 *     is an exact str, that attribute is the answer; anything else goes
 *     through quoml.
 * Results:
 *     New reference to the namespace's text.
 */
// Whether quoml(ns) of a namespace object of class t is its `ns` attribute
// when that is an exact str (see ns_text): remembered per class.
bool plain_ns_type(PyTypeObject* t) {
    if ((t != (PyTypeObject*)M.TclNamespace && t != (PyTypeObject*)M.TempTclNamespace) || !VS.tclns_body) return false;
    if (VS.plain_ns_types.hit(t)) return true;
    PyObject* own_str = PyDict_GetItemWithError(VS.tclns_body, S.dunder_str);
    if (!own_str && PyErr_Occurred()) throw PyErrSet{};
    if (!own_str || !guard::type_resolves(t, S.dunder_str, own_str) || compat::type_lookup(t, S.dunder_quoml) ||
        compat::type_lookup(t, S.dunder_tclobj))
        return false;
    VS.plain_ns_types.store(t);
    return true;
}

Ref ns_text(PyObject* ns) {
    if (plain_ns_type(Py_TYPE(ns)) && quoml_is_own() && guard::instance_lacks(ns, S.dunder_quoml) &&
        guard::instance_lacks(ns, S.dunder_tclobj)) {
        Ref text = VS.ns_reads.read(ns, S.ns);
        if (PyUnicode_CheckExact(text.get())) return text;
    }
    return to_quoml(ns);
}

// A name TclNamespace.join leaves alone: not empty, not '::', every run of
// colons exactly one separator, none at the end.
template <typename C>
bool plain_chars(const C* s, Py_ssize_t n) {
    Py_ssize_t i = 0;
    while (i < n) {
        if (s[i] != ':') {
            ++i;
            continue;
        }
        Py_ssize_t j = i;
        while (j < n && s[j] == ':') ++j;
        if (j - i != 2 || j == n) return false;
        i = j;
    }
    return true;
}
bool plain_name(PyObject* s) {
    if (!PyUnicode_CheckExact(s)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) return false;
    const void* d = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return plain_chars((const Py_UCS1*)d, n);
        case PyUnicode_2BYTE_KIND: return plain_chars((const Py_UCS2*)d, n);
        default: return plain_chars((const Py_UCS4*)d, n);
    }
}
// A member name without any colon, which joins as one more component.
bool simple_member(PyObject* s) {
    if (!PyUnicode_CheckExact(s) || PyUnicode_GET_LENGTH(s) == 0) return false;
    return PyUnicode_FindChar(s, ':', 0, PyUnicode_GET_LENGTH(s), 1) == -1;
}

// TclNamespace.join(ns_text, var_name).  For a plain namespace name and a
// member name without colons, normalising changes nothing and the join is
// the concatenation.
// ASCII names, the common case, are checked and joined byte by byte.
Ref join_ascii(PyObject* ns_text, PyObject* var_name) {
    const Py_ssize_t na = PyUnicode_GET_LENGTH(ns_text), nb = PyUnicode_GET_LENGTH(var_name);
    const char* a = (const char*)PyUnicode_DATA(ns_text);
    const char* b = (const char*)PyUnicode_DATA(var_name);
    if (nb == 0 || std::memchr(b, ':', (std::size_t)nb) || na == 0 || !plain_chars((const Py_UCS1*)a, na))
        return Ref();
    Ref out = own(PyUnicode_New(na + 2 + nb, 127));
    char* d = (char*)PyUnicode_DATA(out.get());
    std::memcpy(d, a, (std::size_t)na);
    d[na] = d[na + 1] = ':';
    std::memcpy(d + na + 2, b, (std::size_t)nb);
    return out;
}

Ref join_member(PyObject* ns_text, PyObject* var_name) {
    if (pyhelp::fast_paths() && PyUnicode_CheckExact(ns_text) && PyUnicode_CheckExact(var_name) &&
        PyUnicode_IS_COMPACT_ASCII(ns_text) && PyUnicode_IS_COMPACT_ASCII(var_name)) {
        if (Ref r = join_ascii(ns_text, var_name)) return r;
    } else if (pyhelp::fast_paths() && simple_member(var_name) && plain_name(ns_text)) {
        return concat3(ns_text, "::", var_name, "");
    }
    PyObject* items[] = {ns_text, var_name};
    return ns_join(items, 2);
}

// The interpreter part of view_handle(): a true weak proxy as it is (what
// bind_interp keeps), anything else bound afresh.
Ref view_interp(Ref&& tcl) {
    if (compat::is_weak_proxy_type(Py_TYPE(tcl.get())) && truthy(tcl.get())) return std::move(tcl);
    return bind_interp(tcl.get());
}

// quoml of an exact str is the str itself (it can carry no protocol method).
Ref view_name(Ref&& joined) {
    if (PyUnicode_CheckExact(joined.get()) && quoml_is_own()) return std::move(joined);
    return to_quoml(joined.get());
}

// The handle view.byref(var_name) would build, its parts read from the view
// and its namespace now.
void view_handle(PyObject* self, PyObject* var_name, ViewHandle& h) {
    Ref ns = VS.view_reads.read(self, S.ns);
    Ref text = ns_text(ns.get());
    Ref joined = join_member(text.get(), var_name);
    Ref tcl = VS.ns_reads.read(ns.get(), S.tcl);
    h.tcl = view_interp(std::move(tcl));
    h.name = view_name(std::move(joined));
}

/*
 * fast_view_handle --
 *     What view_handle() finds, read in one pass while everything is as this
 *     module made it: the view's class resolves `view_meth` (when given) and
 *     byref to this module's own, the handle class is plain for
 *     `handle_meth`, the view's instance dictionary holds its `ns` and
 *     nothing else (so it shadows none of the class's methods), and that
 *     namespace object, of a plain namespace class, holds `ns` (an exact
 *     str) and `tcl` (a weak proxy) and no conversion method.  Every one of these is read from
 *     the objects now.
 * Results:
 *     False, having run no Python code, when any of that does not hold: the
 *     caller then takes the general way.
 */
bool fast_view_handle(PyObject* self, Loaded* view_meth, Loaded& handle_meth, PyObject* var_name, ViewHandle& h) {
    PyTypeObject* vt = Py_TYPE(self);
    if ((view_meth && !view_meth->on_type(vt)) || !VS.own_view_byref.on_type(vt) || !handle_is_plain(handle_meth))
        return false;
    Ref ns;
    bool exact = false;
    PyObject* const view_names[] = {S.ns};
    if (!VS.view_reads.peek(self, view_names, 1, &ns, &exact) || !exact) return false;
    if (!plain_ns_type(Py_TYPE(ns.get())) || !quoml_is_own()) return false;
    Ref parts[2];
    PyObject* const ns_names[] = {S.ns, S.tcl};
    PyObject* const protocol[] = {S.dunder_quoml, S.dunder_tclobj};
    if (!VS.ns_reads.peek(ns.get(), ns_names, 2, parts, &exact, protocol, 2) || !PyUnicode_CheckExact(parts[0].get()) ||
        !compat::is_weak_proxy_type(Py_TYPE(parts[1].get())))
        return false;
    Ref joined = join_member(parts[0].get(), var_name);
    h.tcl = view_interp(std::move(parts[1]));
    h.name = view_name(std::move(joined));
    return true;
}

// Whether a view may skip the handle: byref and the handle class untouched.
bool view_plain(PyObject* self, Loaded& meth) { return VS.own_view_byref.on(self) && handle_is_plain(meth); }

// self.byref(var_name)
Ref view_byref(PyObject* self, PyObject* var_name) { return call_method1(self, S.byref, var_name); }

const Signature kSigViewInit{"__init__", "TclNamespace.VariablesView.__init__", {"self", "ns"}, 2, 2};
Ref VariablesView___init__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    parse_into(kSigViewInit, args, nargs, kwnames, a);
    view_init(VS.VariablesView, a[0], a[1]);
    return none();
}

const Signature kSigByref{"byref", "TclNamespace.VariablesView.byref", {"self", "var_name"}, 2, 2, 0, true, true};
Ref VariablesView_byref(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kSigByref, args, nargs, kwnames);
    PyObject *self = p[0], *var_name = p[1];
    PyObject* kwargs = p.starstar.get();
    Ref var_type = Ref::newref(PyDict_GetItemWithError(kwargs, S.var_type));
    if (var_type) {
        check(PyDict_DelItem(kwargs, S.var_type));
    } else {
        if (PyErr_Occurred()) throw PyErrSet{};
        var_type = Ref::newref(M.TclVariable);
    }
    Ref ns = getattr(self, S.ns);
    PyObject* items[] = {ns.get(), var_name};
    Ref joined = ns_join(items, 2);
    Ref tcl = getattr(ns.get(), S.tcl);
    if (PyDict_GetItemWithError(kwargs, S.tcl)) {
        Ref qn = getattr(var_type.get(), S.dunder_qualname);
        raise(PyExc_TypeError, "%S() got multiple values for keyword argument 'tcl'", qn.get());
    }
    if (PyErr_Occurred()) throw PyErrSet{};
    check(PyDict_SetItem(kwargs, S.tcl, tcl.get()));
    // var_type(joined, *args, tcl=self.ns.tcl, **kwargs)
    Py_ssize_t nrest = PyTuple_GET_SIZE(p.star.get());
    Ref pos = own(PyTuple_New(1 + nrest));
    PyTuple_SET_ITEM(pos.get(), 0, joined.release());
    for (Py_ssize_t i = 0; i < nrest; ++i) PyTuple_SET_ITEM(pos.get(), 1 + i, Py_NewRef(PyTuple_GET_ITEM(p.star.get(), i)));
    return call_tuple_dict(var_type.get(), pos.get(), kwargs);
}

const Signature kSigArrayByref{"array_byref", "TclNamespace.VariablesView.array_byref", {"self", "var_name"}, 2, 2, 0, true, true};
Ref VariablesView_array_byref(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kSigArrayByref, args, nargs, kwnames);
    PyObject *self = p[0], *var_name = p[1];
    PyObject* kwargs = p.starstar.get();
    if (PyDict_GetItemWithError(kwargs, S.var_type))
        raise(PyExc_TypeError, "%s() got multiple values for keyword argument 'var_type'", sig_name(kSigByref));
    if (PyErr_Occurred()) throw PyErrSet{};
    check(PyDict_SetItem(kwargs, S.var_type, M.TclArrayVariable));
    // self.byref(var_name, *args, var_type=TclArrayVariable, **kwargs)
    Ref byref = getattr(self, S.byref);
    Py_ssize_t nrest = PyTuple_GET_SIZE(p.star.get());
    Ref pos = own(PyTuple_New(1 + nrest));
    PyTuple_SET_ITEM(pos.get(), 0, Py_NewRef(var_name));
    for (Py_ssize_t i = 0; i < nrest; ++i) PyTuple_SET_ITEM(pos.get(), 1 + i, Py_NewRef(PyTuple_GET_ITEM(p.star.get(), i)));
    return call_tuple_dict(byref.get(), pos.get(), kwargs);
}

// VariablesView.get(var_name): byref(var_name).get_str().
Ref view_get_str(PyObject* self, PyObject* var_name, Loaded* view_meth = nullptr) {
    ViewHandle h;
    if (fast_view_handle(self, view_meth, VS.own_get_str, var_name, h))
        return var_get_str(h.tcl.get(), h.name.get(), Py_None);
    if (view_meth && !view_meth->on(self)) return call_method1(self, view_meth->name, var_name);
    if (view_plain(self, VS.own_get_str)) {
        view_handle(self, var_name, h);
        return var_get_str(h.tcl.get(), h.name.get(), Py_None);
    }
    Ref v = view_byref(self, var_name);
    return call_method0(v.get(), S.get_str);
}

const Signature kSigViewGet{"get", "TclNamespace.VariablesView.get", {"self", "var_name"}, 2, 2};
Ref VariablesView_get(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    parse_into(kSigViewGet, args, nargs, kwnames, a);
    return view_get_str(a[0], a[1]);
}

// ObjectsView.get(var_name, array_index=None): byref(var_name).get_obj(array_index=array_index)
Ref view_get_obj(PyObject* self, PyObject* var_name, PyObject* index) {
    if (view_plain(self, VS.own_get_obj)) {
        ViewHandle h;
        view_handle(self, var_name, h);
        return var_getvar(h.tcl.get(), h.name.get(), index);  // the handle has no cast
    }
    Ref v = view_byref(self, var_name);
    PyObject* argv[] = {v.get(), index};
    return invoke_kw(S.get_obj, argv, 2, VS.kw_array_index);
}

const Signature kSigObjsGet{"get", "TclNamespace.ObjectsView.get", {"self", "var_name", "array_index"}, 3, 2};
Ref ObjectsView_get(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    parse_into(kSigObjsGet, args, nargs, kwnames, a);
    return view_get_obj(a[0], a[1], or_none(a[2]));
}

Ref view_set(PyObject* self, PyObject* var_name, PyObject* value, PyObject* index, Loaded* view_meth = nullptr) {
    ViewHandle h;
    if (fast_view_handle(self, view_meth, VS.own_set, var_name, h))
        return var_setvar(h.tcl.get(), h.name.get(), index, value);
    if (view_meth && !view_meth->on(self)) return invoke(self, view_meth->name, var_name, value);
    if (view_plain(self, VS.own_set)) {
        view_handle(self, var_name, h);
        return var_setvar(h.tcl.get(), h.name.get(), index, value);
    }
    Ref v = view_byref(self, var_name);
    PyObject* argv[] = {v.get(), value, index};
    return invoke_kw(S.set, argv, 3, VS.kw_array_index);
}

const Signature kSigViewSet{"set", "TclNamespace.VariablesView.set", {"self", "var_name", "value", "array_index"}, 4, 3};
Ref VariablesView_set(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    parse_into(kSigViewSet, args, nargs, kwnames, a);
    return view_set(a[0], a[1], a[2], or_none(a[3]));
}

void view_unset(PyObject* self, PyObject* var_name, PyObject* index, PyObject* nocomplain) {
    if (view_plain(self, VS.own_unset)) {
        ViewHandle h;
        view_handle(self, var_name, h);
        var_unset(h.tcl.get(), h.name.get(), index, nocomplain);
        return;
    }
    Ref v = view_byref(self, var_name);
    PyObject* argv[] = {v.get(), index, nocomplain};
    invoke_kw(S.unset, argv, 3, VS.kw_index_nocomplain);
}

const Signature kSigViewUnset{"unset", "TclNamespace.VariablesView.unset", {"self", "var_name", "array_index", "nocomplain"}, 4, 2};
Ref VariablesView_unset(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    parse_into(kSigViewUnset, args, nargs, kwnames, a);
    view_unset(a[0], a[1], or_none(a[2]), a[3] ? a[3] : Py_False);
    return none();
}

Ref view_exists(PyObject* self, PyObject* var_name, PyObject* index) {
    if (view_plain(self, VS.own_exists)) {
        ViewHandle h;
        view_handle(self, var_name, h);
        return var_exists(h.tcl.get(), h.name.get(), index);
    }
    Ref v = view_byref(self, var_name);
    PyObject* argv[] = {v.get(), index};
    return invoke_kw(S.exists, argv, 2, VS.kw_array_index);
}

const Signature kSigViewExists{"exists", "TclNamespace.VariablesView.exists", {"self", "var_name", "array_index"}, 3, 2};
Ref VariablesView_exists(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    parse_into(kSigViewExists, args, nargs, kwnames, a);
    return view_exists(a[0], a[1], or_none(a[2]));
}

// The named array operations: byref(var_name).<meth>(pattern=pattern) or
// .<meth>(value); rarely hot, so always through a real handle.
Ref view_delegate_pattern(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const Signature& sig,
                          PyObject* meth) {
    PyObject* a[3];
    parse_into(sig, args, nargs, kwnames, a);
    Ref v = view_byref(a[0], a[1]);
    PyObject* argv[] = {v.get(), or_none(a[2])};
    return invoke_kw(meth, argv, 2, VS.kw_pattern);
}

const Signature kSigViewArrayGet{"array_get", "TclNamespace.VariablesView.array_get", {"self", "var_name", "pattern"}, 3, 2};
Ref VariablesView_array_get(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return view_delegate_pattern(args, nargs, kwnames, kSigViewArrayGet, S.array_get_str);
}
const Signature kSigObjsArrayGet{"array_get", "TclNamespace.ObjectsView.array_get", {"self", "var_name", "pattern"}, 3, 2};
Ref ObjectsView_array_get(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return view_delegate_pattern(args, nargs, kwnames, kSigObjsArrayGet, S.array_get_obj);
}
const Signature kSigViewArrayUnset{"array_unset", "TclNamespace.VariablesView.array_unset", {"self", "var_name", "pattern"}, 3, 2};
Ref VariablesView_array_unset(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    view_delegate_pattern(args, nargs, kwnames, kSigViewArrayUnset, S.array_unset);
    return none();
}
const Signature kSigViewArrayNames{"array_names", "TclNamespace.VariablesView.array_names", {"self", "var_name", "pattern"}, 3, 2};
Ref VariablesView_array_names(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return view_delegate_pattern(args, nargs, kwnames, kSigViewArrayNames, S.array_names);
}

const Signature kSigViewArraySet{"array_set", "TclNamespace.VariablesView.array_set", {"self", "var_name", "value"}, 3, 3};
Ref VariablesView_array_set(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    parse_into(kSigViewArraySet, args, nargs, kwnames, a);
    Ref v = view_byref(a[0], a[1]);
    call_method1(v.get(), S.array_set, a[2]);
    return none();
}

const Signature kSigViewIsArray{"is_array", "TclNamespace.VariablesView.is_array", {"self", "var_name"}, 2, 2};
Ref VariablesView_is_array(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    parse_into(kSigViewIsArray, args, nargs, kwnames, a);
    Ref v = view_byref(a[0], a[1]);
    return call_method0(v.get(), S.is_array);
}

// view[var_name] of an array: self.array_get(var_name) (str values for the
// vars view, the interpreter's objects for the objs view) when
// self.is_array(var_name); an empty Ref when it is no array, or a TclError
// says it cannot be read.
Ref view_array_contents(PyObject* self, PyObject* var_name) {
    try {
        Ref is_arr = call_method1(self, S.is_array, var_name);
        if (!truthy(is_arr.get())) return Ref();
        return call_method1(self, S.array_get, var_name);
    } catch (const PyErrSet&) {
        if (!PyErr_ExceptionMatches(M.TclError)) throw;
        PyErr_Clear();
        return Ref();
    }
}

const Signature kSigViewGetItem{"__getitem__", "TclNamespace.VariablesView.__getitem__", {"self", "var_name"}, 2, 2};
Ref VariablesView___getitem__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    parse_into(kSigViewGetItem, args, nargs, kwnames, a);
    PyObject *self = a[0], *var_name = a[1];
    try {
        if (VS.own_view_get.on_type(Py_TYPE(self))) return view_get_str(self, var_name, &VS.own_view_get);
        if (VS.own_objs_get.on(self)) return view_get_obj(self, var_name, Py_None);
        return call_method1(self, S.get, var_name);
    } catch (const PyErrSet&) {
        if (!PyErr_ExceptionMatches(M.TclError) && !PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        if (PyErr_ExceptionMatches(M.TclError)) {
            // An array cannot be read as one value: it reads as its contents.
            Ref pending = fetch_exception();
            Ref contents = view_array_contents(self, var_name);
            if (contents) return contents;
            PyErr_SetObject((PyObject*)Py_TYPE(pending.get()), pending.get());
        }
        raise_key_error_from_pending();
    }
}

const Signature kSigViewContains{"__contains__", "TclNamespace.VariablesView.__contains__", {"self", "var_name"}, 2, 2};
Ref VariablesView___contains__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    parse_into(kSigViewContains, args, nargs, kwnames, a);
    if (VS.own_view_exists.on(a[0])) return view_exists(a[0], a[1], Py_None);
    return call_method1(a[0], S.exists, a[1]);
}

const Signature kSigViewSetItem{"__setitem__", "TclNamespace.VariablesView.__setitem__", {"self", "var_name", "value"}, 3, 3};
Ref VariablesView___setitem__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    parse_into(kSigViewSetItem, args, nargs, kwnames, a);
    if (VS.own_view_set.on_type(Py_TYPE(a[0])))
        view_set(a[0], a[1], a[2], Py_None, &VS.own_view_set);
    else
        invoke(a[0], S.set, a[1], a[2]);
    return none();
}

const Signature kSigViewDelItem{"__delitem__", "TclNamespace.VariablesView.__delitem__", {"self", "var_name"}, 2, 2};
Ref VariablesView___delitem__(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    parse_into(kSigViewDelItem, args, nargs, kwnames, a);
    try {
        if (VS.own_view_unset.on(a[0]))
            view_unset(a[0], a[1], Py_None, Py_False);
        else
            call_method1(a[0], S.unset, a[1]);
    } catch (const PyErrSet&) {
        if (!PyErr_ExceptionMatches(M.TclError)) throw;
        raise_key_error_from_pending();
    }
    return none();
}

/*
 * view_fetch_names --
 *     The names of the variables of the view's namespace that exist (set,
 *     scalar or array).  `::info vars` without a pattern would also list the
 *     global variables visible from the namespace, whose names then cannot
 *     be read back through the view; so the command asks for
 *     `<absolute name>::*` (Tcl resolves the qualifiers literally and globs
 *     only the tail; "::*" for the global namespace) and the namespace
 *     prefix is cut from each answer.
 * Results:
 *     New reference to a list of names relative to the namespace.
 * Side effects:
 *     One namespace call (which creates the namespace if it does not exist).
 */
Ref view_fetch_names(PyObject* self) {
    // `::info vars` also lists names declared with `variable x` but never
    // set, which cannot be read; the lambda keeps the names that exist, in
    // the same round trip, and runs in a frame of its own so that its loop
    // variable lands nowhere.
    Ref ns = getattr(self, S.ns);
    Ref text = ns_text(ns.get());
    PyObject* items[] = {S.sep, text.get()};
    Ref abs = ns_join(items, 2);
    if (!PyUnicode_Check(abs.get())) raise(PyExc_TypeError, "namespace name must be str");
    // Qualified names "<abs>::name" (for the global namespace "::name"),
    // from the pattern "<abs>::*"; the prefix is cut from each answer.
    Ref prefix = own(PyUnicode_Concat(abs.get(), S.sep));
    Ref pattern = own(PyUnicode_Concat(abs.get(), S.sep_star));
    Ref words = tuple_of({S.apply_cmd, S.existing_vars, pattern.get()});
    Ref result = call_method1(ns.get(), S.call, words.get());
    Ref tcl = getattr(ns.get(), S.tcl);
    Ref names = call_method1(tcl.get(), S.cast_list, result.get());
    Ref out = own(PyList_New(0));
    Ref it = own(PyObject_GetIter(names.get()));
    Py_ssize_t plen = PyUnicode_GET_LENGTH(prefix.get());
    while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
        // cast_list may hand back Tcl_Obj elements: compare their text
        Ref text = PyUnicode_Check(name.get()) ? Ref::newref(name.get()) : str(name.get());
        Ref rel;
        if (check_size(PyUnicode_Tailmatch(text.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1)) == 1)
            rel = own(PyUnicode_Substring(text.get(), plen, PyUnicode_GET_LENGTH(text.get())));
        else
            rel = std::move(name);  // not under the prefix: the full name still reads back
        check(PyList_Append(out.get(), rel.get()));
    }
    if (PyErr_Occurred()) throw PyErrSet{};
    return out;
}

Ref VariablesView___iter__(PyObject* self) { return names_iter(self, view_fetch_names); }

// The number of names iteration yields: counted over the fetched list while
// __iter__ is the class's own, otherwise over whatever iter(self) gives.
Ref VariablesView___len__(PyObject* self) {
    Py_ssize_t n = 0;
    if (VS.own_view_iter.on_type(Py_TYPE(self))) {
        Ref names = view_fetch_names(self);
        n = check_size(PyObject_Size(names.get()));
    } else {
        Ref it = own(PyObject_GetIter(self));
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) ++n;
        if (PyErr_Occurred()) throw PyErrSet{};
    }
    return own(PyLong_FromSsize_t(n));
}

MethodSpec kVariablesViewMethods[] = {
    {{"__init__", PYHELP_FAST(VariablesView___init__),
      "__init__(self, ns)\n--\n\nThe variables of the TclNamespace ns, read as strings."},
     Kind::Instance},
    {{"byref", PYHELP_FAST(VariablesView_byref),
      "byref(self, var_name, *args, **kwargs)\n--\n\n"
      "A handle on the variable var_name of the namespace: var_type (keyword,\n"
      "default TclVariable) called with the joined name, args, the namespace's\n"
      "interpreter as tcl, and the other keywords."},
     Kind::Instance},
    {{"array_byref", PYHELP_FAST(VariablesView_array_byref),
      "array_byref(self, var_name, *args, **kwargs)\n--\n\n"
      "A TclArrayVariable on the array var_name of the namespace."},
     Kind::Instance},
    {{"get", PYHELP_FAST(VariablesView_get),
      "get(self, var_name)\n--\n\nThe variable's value as a string."},
     Kind::Instance},
    {{"set", PYHELP_FAST(VariablesView_set),
      "set(self, var_name, value, array_index=None)\n--\n\nWrite the variable (or its element array_index)."},
     Kind::Instance},
    {{"unset", PYHELP_FAST(VariablesView_unset),
      "unset(self, var_name, array_index=None, nocomplain=False)\n--\n\n"
      "Unset the variable (or its element); TclError when missing unless nocomplain."},
     Kind::Instance},
    {{"array_get", PYHELP_FAST(VariablesView_array_get),
      "array_get(self, var_name, pattern=None)\n--\n\nThe array's elements as strings, through cast_array."},
     Kind::Instance},
    {{"array_set", PYHELP_FAST(VariablesView_array_set),
      "array_set(self, var_name, value)\n--\n\n::array set of the array from a mapping or flat sequence."},
     Kind::Instance},
    {{"array_unset", PYHELP_FAST(VariablesView_array_unset),
      "array_unset(self, var_name, pattern=None)\n--\n\n::array unset of the array."},
     Kind::Instance},
    {{"array_names", PYHELP_FAST(VariablesView_array_names),
      "array_names(self, var_name, pattern=None)\n--\n\n::array names of the array, through cast_list."},
     Kind::Instance},
    {{"is_array", PYHELP_FAST(VariablesView_is_array),
      "is_array(self, var_name)\n--\n\nWhether the variable is an array."},
     Kind::Instance},
    {{"exists", PYHELP_FAST(VariablesView_exists),
      "exists(self, var_name, array_index=None)\n--\n\nWhether the variable (or its element) exists."},
     Kind::Instance},
    {{"__getitem__", PYHELP_FAST(VariablesView___getitem__),
      "__getitem__(self, var_name)\n--\n\n"
      "self.get(var_name); an array gives its contents as a dict (self.array_get);\n"
      "a TclError or ValueError becomes KeyError."},
     Kind::Instance},
    {{"__contains__", PYHELP_FAST(VariablesView___contains__),
      "__contains__(self, var_name)\n--\n\nWhether the variable exists."},
     Kind::Instance},
    {{"__setitem__", PYHELP_FAST(VariablesView___setitem__),
      "__setitem__(self, var_name, value)\n--\n\nWrite the variable."},
     Kind::Instance},
    {{"__delitem__", PYHELP_FAST(VariablesView___delitem__),
      "__delitem__(self, var_name)\n--\n\nUnset the variable; a TclError becomes KeyError."},
     Kind::Instance},
    {{"__iter__", PYHELP_O(VariablesView___iter__),
      "__iter__(self, /)\n--\n\n"
      "Iterate over the names of the namespace's own variables (for the global\n"
      "namespace, every variable info vars lists there)."},
     Kind::Instance},
    {{"__len__", PYHELP_O(VariablesView___len__),
      "__len__(self, /)\n--\n\nThe number of names iteration yields."},
     Kind::Instance},
};

MethodSpec kObjectsViewMethods[] = {
    {{"get", PYHELP_FAST(ObjectsView_get),
      "get(self, var_name, array_index=None)\n--\n\nThe variable's (or element's) value as the interpreter's object."},
     Kind::Instance},
    {{"array_get", PYHELP_FAST(ObjectsView_array_get),
      "array_get(self, var_name, pattern=None)\n--\n\nThe array's elements as objects, through cast_array."},
     Kind::Instance},
};

// ---------------------------------------------------------------------------
// Direct mapping slots.
//
// A class made by calling its metaclass gets the generic slots of Python
// classes: a[k] looks __getitem__ up on the type, binds it to a new method
// object and calls that, which costs about as much again as the getvar it
// leads to.  The classes made here have their mapping slots pointed straight
// at the C implementations of the very methods those lookups would find.
// Nothing visible changes: assigning any of these special methods on the
// class (or on a subclass) makes CPython recompute the slot from the
// attributes, which brings back the generic dispatch, and subclasses get
// the generic slots from the start.
// ---------------------------------------------------------------------------
template <FastImpl F>
PyObject* slot_subscript(PyObject* self, PyObject* key) noexcept {
    PyObject* argv[] = {self, key};
    return guarded([&] { return F(argv, 2, nullptr); });
}
template <FastImpl Set, FastImpl Del>
int slot_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
    PyObject* r;
    if (value) {
        PyObject* argv[] = {self, key, value};
        r = guarded([&] { return Set(argv, 3, nullptr); });
    } else {
        PyObject* argv[] = {self, key};
        r = guarded([&] { return Del(argv, 2, nullptr); });
    }
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}
template <FastImpl F>
int slot_contains(PyObject* self, PyObject* key) noexcept {
    PyObject* argv[] = {self, key};
    PyObject* r = guarded([&] { return F(argv, 2, nullptr); });
    if (!r) return -1;
    int b = PyObject_IsTrue(r);
    Py_DECREF(r);
    return b;
}
// len(): the result of __len__ as an index, >= 0 (the checks of CPython's own slot).
template <OneImpl F>
Py_ssize_t slot_length(PyObject* self) noexcept {
    PyObject* r = guarded([&] { return F(self); });
    if (!r) return -1;
    PyObject* i = PyNumber_Index(r);
    Py_DECREF(r);
    if (!i) return -1;
    if (Py_SIZE(i) < 0) {
        Py_DECREF(i);
        PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    Py_ssize_t n = PyNumber_AsSsize_t(i, PyExc_OverflowError);
    Py_DECREF(i);
    return n;
}

template <FastImpl Get, FastImpl Set, FastImpl Del, FastImpl Contains, OneImpl Len>
void set_mapping_slots(PyObject* cls) {
    compat::patch_slots((PyTypeObject*)cls, [](PyTypeObject* t) {
        t->tp_as_mapping->mp_subscript = slot_subscript<Get>;
        t->tp_as_mapping->mp_ass_subscript = slot_ass_subscript<Set, Del>;
        t->tp_as_mapping->mp_length = slot_length<Len>;
        t->tp_as_sequence->sq_length = slot_length<Len>;
        t->tp_as_sequence->sq_contains = slot_contains<Contains>;
    });
}
void set_array_slots(PyObject* cls) {
    set_mapping_slots<TclArrayVariable___getitem__, TclArrayVariable___setitem__, TclArrayVariable___delitem__,
                      TclArrayVariable___contains__, TclArrayVariable___len__>(cls);
}
void set_view_slots(PyObject* cls) {
    set_mapping_slots<VariablesView___getitem__, VariablesView___setitem__, VariablesView___delitem__,
                      VariablesView___contains__, VariablesView___len__>(cls);
}

// ---------------------------------------------------------------------------
// Building the classes.
// ---------------------------------------------------------------------------

PyObject* keep(Ref&& r) { return r.release(); }

}  // namespace

void make_variable_classes() {
    VS.handle_reads.init(S.dunder_getattribute, {S.tcl, S.var_name, S.cast});
    VS.view_reads.init(S.dunder_getattribute, {S.ns});
    VS.ns_reads.init(S.dunder_getattribute, {S.ns, S.tcl});
    VS.kw_array_index = keep(tuple_of({S.array_index}));
    VS.kw_nocomplain = keep(tuple_of({S.nocomplain}));
    VS.kw_pattern = keep(tuple_of({S.pattern}));
    VS.kw_index_nocomplain = keep(tuple_of({S.array_index, S.nocomplain}));

    PyObject* type = (PyObject*)&PyType_Type;
    PyObject* mapping_meta = (PyObject*)Py_TYPE(M.MutableMapping);
    // TclVariable
    {
        Ref body = own(PyDict_New());
        VS.marker = keep(call0((PyObject*)&PyBaseObject_Type));
        check(PyDict_SetItem(body.get(), S.marker, VS.marker));
        Ref cls = new_class(type, "TclVariable", {(PyObject*)&PyBaseObject_Type}, kTclVariableMethods,
                            "TclVariable(var_name, array_index=None, tcl=None, cast=None)\n\n"
                            "A handle on one Tcl variable (a scalar, an array, or an element of an\n"
                            "array).  It holds no value: every operation asks the interpreter.",
                            body.get());
        PyObject* c = cls.get();
        // class-level aliases: the same function objects
        Ref get_obj = class_attr(c, S.get_obj);
        setattr(c, S.get, get_obj.get());
        Ref array_get_obj = class_attr(c, S.array_get_obj);
        setattr(c, S.array_get, array_get_obj.get());
        const std::pair<Loaded*, PyObject*> methods[] = {
            {&VS.own_init, S.dunder_init},   {&VS.own_get, S.get},         {&VS.own_get_obj, S.get_obj},
            {&VS.own_get_str, S.get_str},    {&VS.own_set, S.set},         {&VS.own_unset, S.unset},
            {&VS.own_exists, S.exists},      {&VS.own_array_set, S.array_set}, {&VS.own_array_unset, S.array_unset},
            {&VS.own_array_size, S.array_size}, {&VS.own_array_names, S.array_names}};
        for (const auto& m : methods) m.first->load(c, m.second);
        VS.tclvar_new = ((PyTypeObject*)c)->tp_new;
        M.TclVariable = cls.release();
    }
    M.TempTclVariable = new_class(type, "TempTclVariable", {M.TclVariable}, kTempTclVariableMethods,
                                  "TempTclVariable(var_name='::__trelmo__{cls}_{id}_tmp', **kwargs)\n\n"
                                  "A variable handle with a generated global name, for the with\n"
                                  "statement: the variable is unset when the block is left.")
                            .release();
    // TclArrayVariable: its `get` is TclVariable's get_obj again
    {
        Ref body = own(PyDict_New());
        check(PyDict_SetItem(body.get(), S.get, VS.own_get.value));
        M.TclArrayVariable = new_class(mapping_meta, "TclArrayVariable", {M.MutableMapping, M.TclVariable},
                                       kTclArrayVariableMethods,
                                       "TclArrayVariable(var_name, tcl=None, cast=None)\n\n"
                                       "One Tcl array as a mutable mapping from element names to values;\n"
                                       "a missing element raises TclError.  Nothing is cached.",
                                       body.get())
                                 .release();
        set_array_slots(M.TclArrayVariable);
    }
    // TempTclArrayVariable: no methods of its own
    {
        Ref body = own(PyDict_New());
        Ref bases = tuple_of({M.TempTclVariable, M.TclArrayVariable});
        Ref qn = from_utf8("TempTclArrayVariable");
        check(PyDict_SetItemString(body.get(), "__module__", M.modname));
        check(PyDict_SetItemString(body.get(), "__qualname__", qn.get()));
        Ref doc = from_utf8("TempTclArrayVariable(var_name='::__trelmo__{cls}_{id}_tmp', **kwargs)\n\n"
                            "A TclArrayVariable with a generated global name, for the with\n"
                            "statement: the array is unset when the block is left.");
        check(PyDict_SetItemString(body.get(), "__doc__", doc.get()));
        M.TempTclArrayVariable = keep(calln((PyObject*)Py_TYPE(M.TclArrayVariable), qn.get(), bases.get(), body.get()));
        set_array_slots(M.TempTclArrayVariable);
    }
}

void make_variable_views(PyObject* tclns_dict) {
    VS.tclns_body = Py_NewRef(tclns_dict);
    PyObject* meta = (PyObject*)Py_TYPE(M.MutableMapping);
    VS.VariablesView = new_class(meta, "TclNamespace.VariablesView", {M.MutableMapping}, kVariablesViewMethods,
                                 "VariablesView(ns)\n\n"
                                 "The variables of a namespace as a mutable mapping from names\n"
                                 "(relative to the namespace) to values read as strings.")
                           .release();
    const std::pair<Loaded*, PyObject*> methods[] = {
        {&VS.own_view_iter, S.dunder_iter}, {&VS.own_view_byref, S.byref}, {&VS.own_view_get, S.get},
        {&VS.own_view_set, S.set}, {&VS.own_view_unset, S.unset}, {&VS.own_view_exists, S.exists}};
    for (const auto& m : methods) m.first->load(VS.VariablesView, m.second);
    set_view_slots(VS.VariablesView);
    check(PyDict_SetItemString(tclns_dict, "VariablesView", VS.VariablesView));

    VS.ObjectsView = new_class(meta, "TclNamespace.ObjectsView", {VS.VariablesView}, kObjectsViewMethods,
                               "ObjectsView(ns)\n\n"
                               "The variables of a namespace, values read as the interpreter's\n"
                               "objects: their type follows how Tcl last used each value (see\n"
                               "TclVariable.get_obj); the vars view gives stable str values.")
                         .release();
    VS.own_objs_get.load(VS.ObjectsView, S.get);
    set_view_slots(VS.ObjectsView);
    check(PyDict_SetItemString(tclns_dict, "ObjectsView", VS.ObjectsView));
}

}  // namespace trelmo_ns
