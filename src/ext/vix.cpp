// vix.cpp -- the trelmo.tcl.vix extension module: quick calls of Tcl commands
// as attribute chains.  With v a Vix bound to an interpreter object,
// v.ns_a.ns_b.proc(1, opt='x') runs `ns_a::ns_b::proc 1 -opt x`: attribute
// access collects the name components (Vix_Code), the call assembles the
// words, records them in the interpreter's history, runs them, turns a Tcl
// error into one carrying Tcl's own error trace, and converts the result.
//
// When loaded it imports the module weakref, TclError from tkinter and quoml
// from the sibling module trelmo.tcl.quoml (whose C entry point it calls while
// the module-level name `quoml` is still that function).  The module-level
// names are read at call time, as Python code reads its globals.
#include "guard.hpp"
#include "pyhelp.hpp"
#include "quoml_capi.hpp"
#include "tclerror.hpp"

using namespace pyhelp;

namespace {

// ---------------------------------------------------------------------------
// Module state.  All pointers are owned references kept for the life of the
// process (the module is initialised once and never unloaded).
// ---------------------------------------------------------------------------
struct State {
    PyObject* no_args = nullptr;  // ()
    PyObject* dict = nullptr;  // the module's __dict__: module-level names are read here at call time
    const QuomlCAPI* capi = nullptr;
    PyObject* Vix = nullptr;       // the classes as created
    PyObject* Vix_Code = nullptr;
    PyObject* Vix_getattr = nullptr;       // the objects stored as Vix.__getattr__,
    PyObject* Vix_Code_getattr = nullptr;  // Vix_Code.__getattr__
    PyObject* Vix_Code_init = nullptr;     // Vix_Code.__init__
    PyObject* Vix_Code_call = nullptr;     // and Vix_Code.__call__
    PyObject* object_getattribute = nullptr;  // object.__getattribute__
    PyObject* kw_tcl = nullptr;               // ('tcl',): keyword names of Vix_Code(name, tcl=...)
    getattrofunc getattr_hook = nullptr;  // the tp_getattro the runtime gives a class defining __getattr__
    guard::TypeMemo<2> plain_lookup_types;  // interpreter classes whose attributes are read directly
    guard::NameGuard quoml_name, code_name;  // `quoml` and `Vix_Code` still bound as at load
    // Classes (Vix, Vix_Code or derived) whose lookup is object.__getattribute__
    // followed by Vix.__getattr__ (plain_vix) or Vix_Code.__getattr__ (plain_code).
    guard::TypeMemo<2> plain_vix, plain_code;
    guard::TypeMemo<1> code_init, code_call;  // Vix_Code while its __init__ / __call__ are ours
} M;

#define VIX_NAMES(X) \
    X(quoml, "quoml") \
    X(TclError, "TclError") \
    X(Vix_Code, "Vix_Code") \
    X(weakref, "weakref") \
    X(proxy, "proxy") \
    X(tcl, "tcl") \
    X(cmd, "cmd") \
    X(history, "history") \
    X(append, "append") \
    X(tk, "tk") \
    X(call, "call") \
    X(vars, "vars") \
    X(errorInfo, "::errorInfo") \
    X(result, "result") \
    X(cast_any, "cast_any") \
    X(cast_, "cast_") \
    X(sep, "::") \
    X(dash, "-") \
    X(getattr_, "__getattr__") \
    X(getattribute_, "__getattribute__") \
    X(init_, "__init__") \
    X(call_, "__call__") \
    X(str_, "__str__") \
    X(empty_name, "invalid command name \"\"")
struct Names {
    VIX_NAMES(PYHELP_NAME_FIELD)
} S;
const InternEntry kNames[] = {VIX_NAMES(PYHELP_NAME_ENTRY)};

// A module-level name, read now.
Ref global(PyObject* name) { return Ref::newref(module_global_borrowed(M.dict, name)); }

// quoml(o) through the module-level name, calling the C entry point while the
// name is still the quoml module's own function.
Ref to_quoml(PyObject* o) {
    if (M.quoml_name.holds()) {
        if (Py_TYPE(o) == &PyUnicode_Type) return Ref::newref(o);  // what quoml returns for an exact str
        return own(M.capi->quoml(o));
    }
    Ref f = global(S.quoml);
    if (f.get() == M.capi->quoml_func) {
        if (Py_TYPE(o) == &PyUnicode_Type) return Ref::newref(o);  // what quoml returns for an exact str
        return own(M.capi->quoml(o));
    }
    return call1(f.get(), o);
}

// The text Tcl gives a value the bridge handed back typed (a tuple for a
// list, a float, a bool, bytes): Tcl's own rendering, through the same
// interpreter (format %s), rather than Python's spelling of the value.
Ref tcl_text(PyObject* tcl, PyObject* value) {
    Ref tk = getattr(tcl, S.tk);
    Ref call = getattr(tk.get(), S.call);
    Ref format = from_utf8("format"), as_text = from_utf8("%s");
    Ref text = calln(call.get(), format.get(), as_text.get(), value);
    return PyUnicode_CheckExact(text.get()) ? std::move(text) : str(text.get());
}

// The text of a failed quick call: Tcl's trace `info`, preceded by the error
// message on its own line when the trace does not already begin with it (a
// procedure that rethrows with `error $msg $::errorInfo` keeps the inner
// trace, whose first line is the inner message).
Ref lead_with_message(PyObject* caught, PyObject* info) {
    Ref message;
    if (!lookup_attr(caught, S.result, message)) message = str(caught);
    if (!PyUnicode_Check(message.get()) || !PyUnicode_Check(info) || PyUnicode_GET_LENGTH(message.get()) == 0)
        return Ref::newref(info);
    const Py_ssize_t starts = PyUnicode_Tailmatch(info, message.get(), 0, PY_SSIZE_T_MAX, -1);
    if (starts < 0) throw PyErrSet{};
    const Py_ssize_t n = PyUnicode_GET_LENGTH(message.get());
    if (starts && (PyUnicode_GET_LENGTH(info) == n || PyUnicode_READ_CHAR(info, n) == '\n')) return Ref::newref(info);
    Ref line = own(PyUnicode_FromFormat("%U\n%U", message.get(), info));
    return line;
}

// ---------------------------------------------------------------------------
// Attribute lookup of both classes.
// ---------------------------------------------------------------------------
Ref vix_getattr(PyObject* self, PyObject* name);
Ref code_getattr(PyObject* self, PyObject* name);

// type(self).<attr> bound to self, as the interpreter binds a special
// method it found on the type, then called with one argument.
PyObject* call_bound(PyObject* attr, PyObject* self, PyObject* arg) {
    Py_INCREF(attr);
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    PyObject* bound = get ? get(attr, self, (PyObject*)Py_TYPE(self)) : Py_NewRef(attr);
    Py_DECREF(attr);
    if (!bound) return nullptr;
    PyObject* res = PyObject_CallOneArg(bound, arg);
    Py_DECREF(bound);
    return res;
}

// ---------------------------------------------------------------------------
// The interpreter object's members, read once per call.
// ---------------------------------------------------------------------------

// Whether attribute lookup on instances of tp is object.__getattribute__,
// followed, for a class that defines __getattr__, by that method for a name
// the lookup does not find: true for ordinary classes.
bool plain_lookup(PyTypeObject* tp) {
    if (tp->tp_getattro != PyObject_GenericGetAttr && tp->tp_getattro != M.getattr_hook) return false;
    if (M.plain_lookup_types.hit(tp)) return true;
    if (!guard::type_resolves(tp, S.getattribute_, M.object_getattribute)) return false;
    M.plain_lookup_types.store(tp);
    return true;
}

/*
 *----------------------------------------------------------------------
 *
 * interp_attr --
 *
 *      tcl.<name>, where tcl is the chain's interpreter object, usually
 *      the weak proxy the Vix made.  Reading an attribute through a proxy
 *      reads it on the object behind it (ReferenceError once that is
 *      gone); for an object of an ordinary class the lookup is run here
 *      as the interpreter runs it -- object.__getattribute__, then the
 *      class's __getattr__ when the name is not found -- without the
 *      proxy's and the class's dispatch.  Other objects are asked with
 *      getattr().  The object is not kept past the lookup.
 *
 * Results:
 *      A new reference to the attribute.
 *
 * Side effects:
 *      Those of the lookup (descriptors, __getattr__).
 *
 *----------------------------------------------------------------------
 */
Ref interp_attr(PyObject* tcl, PyObject* name) {
    if (!compat::is_weak_proxy_type(Py_TYPE(tcl))) return getattr(tcl, name);
    Ref target = weak_target(tcl);
    PyObject* obj = target.get();
    PyTypeObject* tp = Py_TYPE(obj);
    if (!plain_lookup(tp)) return getattr(obj, name);
    if (tp->tp_getattro == PyObject_GenericGetAttr) return own(PyObject_GenericGetAttr(obj, name));
    if (PyObject* found = compat::generic_getattr_optional(obj, name)) return Ref::steal(found);
    if (PyErr_Occurred()) throw PyErrSet{};
    PyObject* hook = compat::type_lookup(tp, S.getattr_);  // borrowed; call_bound holds it
    if (!hook) return own(PyObject_GenericGetAttr(obj, name));
    return own(call_bound(hook, obj, name));
}

/*
 *----------------------------------------------------------------------
 *
 * chain_getattro --
 *
 *      tp_getattro of Vix and Vix_Code: what the interpreter does for any
 *      class that defines __getattr__ (ordinary lookup first; __getattr__
 *      only for a name that lookup does not find, or whose lookup raises
 *      AttributeError), but without building and discarding an
 *      AttributeError for every component of a chain, and calling the
 *      class's own C __getattr__ directly while it is still in place.
 *
 *      Assigning __getattr__ or __getattribute__ on a class, or deriving a
 *      class, gives that class the interpreter's own slot again, so this
 *      function only runs for the classes as they were made; it still
 *      looks both names up on every call and honours whatever it finds.
 *
 * Results:
 *      A new reference, or NULL with an exception set.
 *
 * Side effects:
 *      Whatever the lookup or __getattr__ runs.
 *
 *----------------------------------------------------------------------
 */
PyObject* chain_getattro(PyObject* self, PyObject* name) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    // For the classes as made, what both lookups find is remembered under
    // the class's version (asked before any code runs).
    bool vix = M.plain_vix.hit(tp), code = !vix && M.plain_code.hit(tp);
    if (!vix && !code) {
        PyObject* getattribute = compat::type_lookup(tp, S.getattribute_);  // borrowed
        if (!getattribute || getattribute == M.object_getattribute) {
            PyObject* getattr = compat::type_lookup(tp, S.getattr_);
            vix = getattr == M.Vix_getattr;
            code = getattr == M.Vix_Code_getattr;
            if (vix) M.plain_vix.store(tp);
            if (code) M.plain_code.store(tp);
        }
    }
    if (vix || code) {
        PyObject* res = compat::generic_getattr_optional(self, name);  // no AttributeError when absent
        if (res || PyErr_Occurred()) return res;
        if (vix) return guarded([&] { return vix_getattr(self, name); });
        return guarded([&] { return code_getattr(self, name); });
    }
    PyObject* getattribute = compat::type_lookup(tp, S.getattribute_);  // borrowed
    PyObject* res;
    if (!getattribute || getattribute == M.object_getattribute) {
        res = compat::generic_getattr_optional(self, name);
        if (res || PyErr_Occurred()) return res;
    } else {
        res = call_bound(getattribute, self, name);
        if (res || !PyErr_ExceptionMatches(PyExc_AttributeError)) return res;
        PyErr_Clear();
    }
    PyObject* getattr = compat::type_lookup(tp, S.getattr_);
    if (getattr == M.Vix_getattr) return guarded([&] { return vix_getattr(self, name); });
    if (getattr == M.Vix_Code_getattr) return guarded([&] { return code_getattr(self, name); });
    if (!getattr) return PyObject_GenericGetAttr(self, name);  // the AttributeError
    return call_bound(getattr, self, name);
}

void install_getattro(PyObject* cls) {
    compat::patch_slots((PyTypeObject*)cls, [](PyTypeObject* t) { t->tp_getattro = chain_getattro; });
}

// ---------------------------------------------------------------------------
// Vix_Code
// ---------------------------------------------------------------------------

// Vix_Code.__init__ for self: tcl unchanged, then cmd.
void code_setup(PyObject* self, PyObject* cmd, PyObject* tcl) {
    setattr(self, S.tcl, tcl);
    setattr(self, S.cmd, cmd);
}

// Vix_Code(name, tcl=tcl) through the module-level name `Vix_Code`.  While
// that name is still this module's class, unchanged in the parts a call goes
// through (metaclass, __new__, __init__), the instance is made as
// object.__new__ makes it and initialised directly.
Ref new_code(PyObject* name, PyObject* tcl) {
    Ref cls = M.code_name.holds() ? Ref::newref(M.Vix_Code) : global(S.Vix_Code);
    if (cls.get() == M.Vix_Code) {
        auto* tp = (PyTypeObject*)M.Vix_Code;
        if (Py_TYPE(tp) == &PyType_Type && tp->tp_new == PyBaseObject_Type.tp_new &&
            (M.code_init.hit(tp) || guard::type_resolves(tp, S.init_, M.Vix_Code_init))) {
            if (!M.code_init.hit(tp)) M.code_init.store(tp);
            Ref self = own(PyBaseObject_Type.tp_new(tp, M.no_args, nullptr));  // object.__new__(cls)
            Ref cmd = own(PyList_New(1));
            PyList_SET_ITEM(cmd.get(), 0, Py_NewRef(name));
            code_setup(self.get(), cmd.get(), tcl);
            return self;
        }
    }
    PyObject* argv[] = {nullptr, name, tcl};
    return own(PyObject_Vectorcall(cls.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, M.kw_tcl));
}

const Signature kCodeInit{"__init__", "Vix_Code.__init__", {"self", "tcl"}, 1, 1, 1, true};

Ref Vix_Code_init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs >= 1 && kwnames && PyTuple_GET_SIZE(kwnames) == 1 && PyTuple_GET_ITEM(kwnames, 0) == S.tcl) {
        Ref cmd = own(PyList_New(nargs - 1));
        for (Py_ssize_t i = 1; i < nargs; ++i) PyList_SET_ITEM(cmd.get(), i - 1, Py_NewRef(args[i]));
        code_setup(args[0], cmd.get(), args[nargs]);
        return none();
    }
    Parsed p = parse(kCodeInit, args, nargs, kwnames);
    Ref cmd = own(PySequence_List(p.star.get()));
    code_setup(p[0], cmd.get(), p[1]);
    return none();
}

// Vix_Code.__getattr__: one more name component; the chain grows in place.
Ref code_getattr(PyObject* self, PyObject* name) {
    RecursionGuard guard(" while looking up a Vix_Code attribute");
    Ref cmd = getattr(self, S.cmd);
    if (PyList_CheckExact(cmd.get()))
        check(PyList_Append(cmd.get(), name));
    else
        call_method1(cmd.get(), S.append, name);
    return Ref::newref(self);
}

const Signature kCodeGetattr{"__getattr__", "Vix_Code.__getattr__", {"self", "name"}, 2, 2};

/*
 *----------------------------------------------------------------------
 *
 * Vix_Code_call --
 *
 *      __call__(self, *args, **kwargs): run the command the chain names.
 *
 *      1. The keyword cast_ (default True) is taken out of the keywords.
 *      2. Words: '::'.join(self.cmd); quoml() of each positional argument;
 *         for each other keyword, in the order passed, '-' + name and
 *         quoml() of its value (names verbatim: no underscore rewriting).
 *      3. The word list goes to self.tcl.history.append() before the call,
 *         so failed calls are recorded too.
 *      4. self.tcl.tk.call(*words): every word a separate argument of the
 *         bridge, none re-parsed by Tcl.
 *      5. A TclError becomes TclError(self.tcl.vars['::errorInfo']), raised
 *         from None: one error whose message is Tcl's full error trace.
 *      6. The result: self.tcl.cast_any(result) when cast_ is true;
 *         otherwise its text: str and int results as str(result); a
 *         result the bridge typed (a tuple for a Tcl list, a float, a
 *         boolean, bytes) as the text Tcl itself gives that value, asked
 *         of the interpreter with `format %s`, since Python's spelling
 *         differs (1e-05, quoting of braces); anything else as str(result).
 *
 * Results:
 *      A new reference to the converted result.
 *
 * Side effects:
 *      Runs a Tcl command; records it in the history.  CAUTION: may run
 *      arbitrary Python code (quoml protocols, history, casts).
 *
 *----------------------------------------------------------------------
 */
const Signature kCodeCall{"__call__", "Vix_Code.__call__", {"self"}, 1, 1, 0, true, true};

Ref Vix_Code_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) parse(kCodeCall, args, nargs, kwnames);  // the missing-self error
    PyObject* self = args[0];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    // 1. cast_
    PyObject* cast = Py_True;
    Py_ssize_t cast_at = -1;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (key == S.cast_ || PyUnicode_Compare(key, S.cast_) == 0) {
            cast = args[nargs + k];
            cast_at = k;
            break;
        }
        if (PyErr_Occurred()) throw PyErrSet{};
    }
    // 2. the words
    const Py_ssize_t nwords = nargs + 2 * (nkw - (cast_at >= 0 ? 1 : 0));
    Ref words = own(PyList_New(nwords));
    Py_ssize_t w = 0;
    {
        Ref cmd = getattr(self, S.cmd);
        PyList_SET_ITEM(words.get(), w++, own(PyUnicode_Join(S.sep, cmd.get())).release());
    }
    for (Py_ssize_t i = 1; i < nargs; ++i) PyList_SET_ITEM(words.get(), w++, to_quoml(args[i]).release());
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (k == cast_at) continue;
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyList_SET_ITEM(words.get(), w++, own(PyUnicode_Concat(S.dash, key)).release());
        PyList_SET_ITEM(words.get(), w++, to_quoml(args[nargs + k]).release());
    }
    // 3. the history
    Ref tcl = getattr(self, S.tcl);
    {
        Ref history = interp_attr(tcl.get(), S.history);
        call_method1(history.get(), S.append, words.get());  // no bound method: see pyhelp::method_new
    }
    // 4. the call, with the words as they are now
    Ref result;
    {
        Ref tk = interp_attr(tcl.get(), S.tk);
        // tk.call(*words), with the words as they are after the lookup.
        // When the lookup cannot run any code (generic lookup, no instance
        // dictionary, a C method on the type) the method is called directly
        // with the object prepended, without a bound method object: the
        // bridge's own call (which takes its arguments as one tuple) with
        // the tuple of the words.
        PyTypeObject* tp = Py_TYPE(tk.get());
        PyObject* descr = tp->tp_getattro == PyObject_GenericGetAttr && compat::lacks_instance_dict(tp)
                              ? compat::type_lookup(tp, S.call)
                              : nullptr;  // borrowed
        if (PyCFunction call = compat::varargs_method(descr, tp)) {
            Ref keep = Ref::newref(descr);
            Ref argv = own(PyList_AsTuple(words.get()));
            RecursionGuard guard(" while calling a Python object");
            result = Ref::steal(call(tk.get(), argv.get()));
        } else if (descr && Py_TYPE(descr) == &PyMethodDescr_Type) {
            Ref keep = Ref::newref(descr);
            Ref argv = own(PyList_AsTuple(words.get()));
            const Py_ssize_t n = PyTuple_GET_SIZE(argv.get());
            PyObject* small[16];
            std::vector<PyObject*> large;
            PyObject** stack = small;
            if (n >= 16) {
                large.resize((std::size_t)n + 1);
                stack = large.data();
            }
            stack[0] = tk.get();
            for (Py_ssize_t i = 0; i < n; ++i) stack[1 + i] = PyTuple_GET_ITEM(argv.get(), i);
            result = Ref::steal(PyObject_Vectorcall(descr, stack, (size_t)(n + 1), nullptr));
        } else {
            Ref call = getattr(tk.get(), S.call);
            Ref argv = own(PyList_AsTuple(words.get()));  // the bridge's call takes its arguments as a tuple
            result = Ref::steal(PyObject_Call(call.get(), argv.get(), nullptr));
        }
        // Tcl's return options onto a TclError, or a Python-backed command's
        // own exception instead of it.
        result = Ref::steal(tclerror::checked_raw(result.release(), tk.get()));
    }
    // 5. a Tcl error, with Tcl's trace led by its message
    if (!result) {
        Ref tcl_error = global(S.TclError);
        if (!PyErr_ExceptionMatches(tcl_error.get())) throw PyErrSet{};
        Ref caught = fetch_exception();
        Handling handling(caught.get());
        Ref vars = getattr(tcl.get(), S.vars);
        Ref info = own(PyObject_GetItem(vars.get(), S.errorInfo));
        Ref message = lead_with_message(caught.get(), info.get());
        tcl_error = global(S.TclError);
        Ref exc = call1(tcl_error.get(), message.get());
        tclerror::copy_options(caught.get(), exc.get());
        PyException_SetCause(exc.get(), nullptr);  // from None: no cause, context suppressed
        raise_instance(exc.get());
    }
    // 6. the result
    if (truthy(cast)) {
        Ref cast_any = interp_attr(tcl.get(), S.cast_any);
        return call1(cast_any.get(), result.get());
    }
    PyObject* r = result.get();
    if (PyUnicode_CheckExact(r) || (PyLong_CheckExact(r) && !PyBool_Check(r))) return str(r);
    if (PyTuple_Check(r) || PyFloat_Check(r) || PyBool_Check(r) || PyBytes_Check(r)) return tcl_text(tcl.get(), r);
    return str(r);
}

/*
 *----------------------------------------------------------------------
 *
 * code_tp_call --
 *
 *      tp_call of Vix_Code: calling an instance runs type(self).__call__
 *      bound to it, as for any class.  While that is still the class's own
 *      C __call__, it is run directly on the arguments, without the bound
 *      method and the keyword dictionary-to-tuple round trip of the generic
 *      slot.  Assigning __call__ on the class, or deriving a class, gives
 *      that class the interpreter's own slot again.
 *
 * Results:
 *      A new reference, or NULL with an exception set.
 *
 * Side effects:
 *      Those of the call.
 *
 *----------------------------------------------------------------------
 */
PyObject* code_tp_call(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject* call = M.Vix_Code_call;  // borrowed
    if (!M.code_call.hit(tp)) {
        call = compat::type_lookup(tp, S.call_);
        if (call == M.Vix_Code_call) M.code_call.store(tp);
    }
    if (call != M.Vix_Code_call) {
        if (!call) return PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", tp->tp_name);
        Py_INCREF(call);
        descrgetfunc get = Py_TYPE(call)->tp_descr_get;
        PyObject* bound = get ? get(call, self, (PyObject*)tp) : Py_NewRef(call);
        Py_DECREF(call);
        if (!bound) return nullptr;
        PyObject* res = PyObject_Call(bound, args, kwds);
        Py_DECREF(bound);
        return res;
    }
    return guarded([&]() -> Ref {
        const Py_ssize_t npos = PyTuple_GET_SIZE(args);
        const Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
        // The keywords as a names tuple and a values tuple that hold their items.
        Ref kwnames, kwvalues;
        if (nkw) {
            kwnames = own(PyTuple_New(nkw));
            kwvalues = own(PyTuple_New(nkw));
            Py_ssize_t pos = 0, i = 0;
            PyObject *key, *value;
            while (i < nkw && PyDict_Next(kwds, &pos, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
                PyTuple_SET_ITEM(kwvalues.get(), i, Py_NewRef(value));
                ++i;
            }
        }
        PyObject* small[16];
        std::vector<PyObject*> large;
        const Py_ssize_t n = 1 + npos + nkw;
        PyObject** argv = small;
        if (n > 16) {
            large.resize((std::size_t)n);
            argv = large.data();
        }
        argv[0] = self;
        for (Py_ssize_t i = 0; i < npos; ++i) argv[1 + i] = PyTuple_GET_ITEM(args, i);
        for (Py_ssize_t i = 0; i < nkw; ++i) argv[1 + npos + i] = PyTuple_GET_ITEM(kwvalues.get(), i);
        return Vix_Code_call(argv, 1 + npos, nkw ? kwnames.get() : nullptr);
    });
}

const Signature kCodeStr{"__str__", "Vix_Code.__str__", {"self"}, 1, 1};

Ref Vix_Code_str(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kCodeStr, args, nargs, kwnames);
    Ref cmd = getattr(p[0], S.cmd);
    Ref name = own(PyUnicode_Join(S.sep, cmd.get()));
    return own(PyUnicode_FromFormat("<tcl.Vix magic, referring Tcl code ::%U>", name.get()));
}

const Signature kCodeRepr{"__repr__", "Vix_Code.__repr__", {"self"}, 1, 1};

Ref Vix_Code_repr(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kCodeRepr, args, nargs, kwnames);
    return call_method0(p[0], S.str_);
}

MethodSpec kCodeMethods[] = {
    {{"__init__", PYHELP_FAST(Vix_Code_init),
      "__init__(self, *cmd, tcl)\n--\n\n"
      "A chain naming the command '::'.join(cmd), bound to the interpreter\n"
      "object tcl (kept as given)."},
     Kind::Instance},
    {{"__getattr__", PYHELP_FAST((fixed_method<kCodeGetattr, code_getattr, 2>)),
      "__getattr__(self, name)\n--\n\n"
      "Append name to the command name and return this same chain."},
     Kind::Instance},
    {{"__call__", PYHELP_FAST(Vix_Code_call),
      "__call__(self, *args, **kwargs)\n--\n\n"
      "Run the named command with quoml() of each argument and '-name value'\n"
      "for each keyword, recorded in the interpreter's history first.  A Tcl\n"
      "error is raised as TclError(::errorInfo).  Returns tcl.cast_any() of the\n"
      "result, or with cast_=False its text."},
     Kind::Instance},
    {{"__str__", PYHELP_FAST(Vix_Code_str),
      "__str__(self)\n--\n\n\"<tcl.Vix magic, referring Tcl code ::<name>>\"."},
     Kind::Instance},
    {{"__repr__", PYHELP_FAST(Vix_Code_repr), "__repr__(self)\n--\n\nThe same text as str(self)."},
     Kind::Instance},
};

// ---------------------------------------------------------------------------
// Vix
// ---------------------------------------------------------------------------

const Signature kVixInit{"__init__", "Vix.__init__", {"self", "tcl"}, 2, 2};

Ref Vix_init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kVixInit, args, nargs, kwnames);
    Ref weakref = global(S.weakref);
    Ref proxy = getattr(weakref.get(), S.proxy);
    Ref tcl = call1(proxy.get(), p[1]);
    setattr(p[0], S.tcl, tcl.get());
    return none();
}

// Vix.__getattr__: every access on the entry object starts a new chain.
Ref vix_getattr(PyObject* self, PyObject* name) {
    RecursionGuard guard(" while looking up a Vix attribute");
    Ref tcl = getattr(self, S.tcl);
    return new_code(name, tcl.get());
}

const Signature kVixGetattr{"__getattr__", "Vix.__getattr__", {"self", "name"}, 2, 2};

const Signature kVixCall{"__call__", "Vix.__call__", {"self"}, 1, 1, 0, true, true};

Ref Vix_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    parse(kVixCall, args, nargs, kwnames);
    Ref tcl_error = global(S.TclError);
    Ref exc = call1(tcl_error.get(), S.empty_name);
    raise_instance(exc.get());
}

MethodSpec kVixMethods[] = {
    {{"__init__", PYHELP_FAST(Vix_init),
      "__init__(self, tcl)\n--\n\nQuick calls bound to the interpreter object tcl (through a weak proxy)."},
     Kind::Instance},
    {{"__getattr__", PYHELP_FAST((fixed_method<kVixGetattr, vix_getattr, 2>)),
      "__getattr__(self, name)\n--\n\nA new chain (Vix_Code) naming the command name."},
     Kind::Instance},
    {{"__call__", PYHELP_FAST(Vix_call),
      "__call__(self, *args, **kwargs)\n--\n\n"
      "Always raises TclError('invalid command name \"\"'): the entry object names\n"
      "no command.  Nothing is recorded and Tcl is not contacted."},
     Kind::Instance},
};

const char kVixDoc[] =
    "Vix(tcl)\n\n"
    "Quick calls of Tcl commands as attribute chains.\n\n"
    "Vix(tcl) is bound to the interpreter object tcl through a weak proxy.\n"
    "v.set('x', 1) runs `set x 1`; v.ns_a.ns_b.proc(1, [2, 3], opt='a b') runs\n"
    "`ns_a::ns_b::proc 1 {2 3} -opt {a b}`, each word a separate argument of\n"
    "the bridge.  Each access on a Vix starts a new chain (Vix_Code); calls are\n"
    "recorded in tcl.history first; a Tcl error is raised as a TclError\n"
    "carrying Tcl's error trace (::errorInfo); results go through\n"
    "tcl.cast_any() unless the call passes cast_=False.";

const char kCodeDoc[] =
    "Vix_Code(*cmd, tcl)\n\n"
    "One quick call being named: cmd, the list of name components, and tcl.\n\n"
    "Each further attribute access appends to cmd and returns the same\n"
    "object (a chain kept in a variable grows with every access made through\n"
    "it); calling it runs the command '::'.join(cmd), resolved by Tcl\n"
    "against the current namespace.";

PyModuleDef module_def =
    module_def_of("vix", "Quick calls of Tcl commands as attribute chains (Vix, Vix_Code).");

Ref init_module() {
    Ref m = new_module(&module_def, kNames, M);
    Ref modname = getattr(m.get(), "__name__");

    // Imports, in order: weakref, TclError, quoml.
    Ref weakref = add_object(m.get(), "weakref", import("weakref"));
    Ref tcl_error = add_object(m.get(), "TclError", import_from("tkinter", "TclError"));
    tclerror::init();
    Ref quoml = add_object(m.get(), "quoml", import_sibling("trelmo.tcl", "quoml", "quoml"));
    M.capi = quoml_capi_import();
    if (!M.capi) throw PyErrSet{};
    M.object_getattribute = Py_NewRef(check(compat::type_lookup(&PyBaseObject_Type, S.getattribute_)));
    M.kw_tcl = tuple_of({S.tcl}).release();

    Ref bases = tuple_of({(PyObject*)&PyBaseObject_Type});
    auto* meta = (PyObject*)&PyType_Type;

    Ref vix_ns = own(PyDict_New());
    Ref vix = make_class(meta, "Vix", "Vix", bases.get(), kVixMethods, vix_ns.get(), modname.get(), kVixDoc);
    M.Vix_getattr = Py_NewRef(check(PyDict_GetItemWithError(vix_ns.get(), S.getattr_)));
    M.getattr_hook = ((PyTypeObject*)vix.get())->tp_getattro;  // as the runtime made it, before ours replaces it
    install_getattro(vix.get());
    add_object(m.get(), "Vix", vix.get());
    M.Vix = vix.release();

    Ref code_ns = own(PyDict_New());
    Ref code = make_class(meta, "Vix_Code", "Vix_Code", bases.get(), kCodeMethods, code_ns.get(), modname.get(), kCodeDoc);
    M.Vix_Code_getattr = Py_NewRef(check(PyDict_GetItemWithError(code_ns.get(), S.getattr_)));
    M.Vix_Code_init = Py_NewRef(check(PyDict_GetItemWithError(code_ns.get(), S.init_)));
    M.Vix_Code_call = Py_NewRef(check(PyDict_GetItemWithError(code_ns.get(), S.call_)));
    install_getattro(code.get());
    compat::patch_slots((PyTypeObject*)code.get(), [](PyTypeObject* t) { t->tp_call = code_tp_call; });
    add_object(m.get(), "Vix_Code", code.get());
    M.Vix_Code = code.release();

    PyObject* dict = PyModule_GetDict(m.get());  // borrowed
    M.quoml_name.init(dict);
    M.quoml_name.expect(S.quoml, M.capi->quoml_func);
    M.code_name.init(dict);
    M.code_name.expect(S.Vix_Code, M.Vix_Code);
    return m;
}

}  // namespace

PYHELP_MODULE_INIT(vix, init_module)
