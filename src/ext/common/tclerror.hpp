// tclerror.hpp -- Tcl errors that keep their cause, and Python callables
// registered as Tcl commands that keep their exceptions.
//
// Two halves meet here.
//
// Call sites.  Every place that runs Tcl through the bridge (tk.call,
// tk.eval) hands the bridge's answer to `checked()`.  A successful answer
// passes through after one load and one branch.  A TclError gets Tcl's return
// options as attributes, read right after the failure by one more Tcl
// command: `result` (the message), `errorcode` and `errorstack` (tuples of
// str) and `errorinfo` (the trace).  When the error was raised by a Python
// callable behind a Tcl command (below), the caller gets that callable's
// exception object itself instead.
//
// Callbacks.  The bridge turns an exception raised by a Python-backed Tcl
// command into TCL_ERROR by storing the exception in one process-wide slot,
// where it stays (and, before Python 3.12, leaks when the next one replaces
// it).  So the callable that the system registers is a `Callback` wrapping
// the user's one: on an exception it makes Tcl's error state say
// "<Class>: <message>" with -errorcode {PYTHON <Class> <message>} and the
// Python traceback as -errorinfo, keeps the exception for the calling thread,
// and hands the bridge one preallocated sentinel instead, which the next call
// site takes back out of the bridge's slot.  KeyboardInterrupt, SystemExit and
// other exceptions outside Exception also ask Tcl to unwind the whole
// evaluation (interp cancel -unwind), so a Tcl catch cannot hold them up.
//
// The state is shared by every module that includes this header: the first
// one to call `init()` stores it in a capsule on the package trelmo.tcl
// (always imported before its submodules), the others find it there.
//
// When loaded (init) it imports _tkinter (TclError) and the package
// trelmo.tcl; on the error path traceback.
#pragma once

#include "pyhelp.hpp"

#include <structmember.h>

namespace tclerror {

using pyhelp::own;
using pyhelp::PyErrSet;
using pyhelp::Ref;

#define TRELMO_TCLERROR_CAPSULE "trelmo.tcl._tclerror"

struct Shared {
    int version;               // 1
    int dirty;                 // nonzero while `pending` may be non-empty or the sentinel may sit in the bridge
    int sentinel_out;          // a callback handed the sentinel to the bridge since it was last taken back
    PyObject* pending;         // dict: thread ident -> (exception, errorcode tuple) of the last failed callback
    PyObject* sentinel_type;   // BaseException subclass of the sentinel
    PyObject* sentinel;        // the one instance handed to the bridge
    PyObject* tcl_error;       // _tkinter.TclError
    PyObject* tcl_obj_type;    // _tkinter.Tcl_Obj
    PyObject* callback_type;   // the Callback type
    PyObject* read_options;    // the ::apply lambda that reads the return options
    PyObject* w_tk;            // interned "tk", "call"
    PyObject* w_call;
};

// This module's pointer to the shared state (each module has its own copy of
// this variable; they all point at the same Shared).
inline Shared* g_shared = nullptr;

// The lambda run right after a failure, before anything else: the text of
// ::errorInfo, and the elements of ::errorCode and of [info errorstack], each
// made a plain string so that the bridge hands back str (a nested list in the
// error stack would otherwise come back as a tuple, an integer as int).  It
// runs in a frame of its own, so it touches no variable of the caller's frame.
constexpr const char kReadOptions[] =
    "{} {::list [::string range $::errorInfo 0 end]"
    " [::lmap e $::errorCode {::string range $e 0 end}]"
    " [::lmap e [::info errorstack] {::string range $e 0 end}]}";

// ---------------------------------------------------------------------------
// Callback: the callable registered with the bridge in place of the user's.
// ---------------------------------------------------------------------------

struct Callback {
    PyObject_HEAD
    PyObject* func;  // the user's callable
    PyObject* tcl;   // the interpreter object (as the handle holds it: a weak proxy)
};

inline Ref thread_key() { return own(PyLong_FromUnsignedLong(PyThread_get_thread_ident())); }

// str(obj), or `fallback` when that fails (the failure is dropped: a message
// must come out of an error path that is already reporting something).
inline Ref str_or(PyObject* obj, const char* fallback) {
    PyObject* s = PyObject_Str(obj);
    if (!s) {
        PyErr_Clear();
        s = PyUnicode_FromString(fallback);
    }
    return own(s);
}

// Text the bridge can always carry: lone surrogates written as \udxxx.
inline Ref carryable(PyObject* text) {
    Ref bytes = own(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    return own(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "strict"));
}

// tk.call(*words), any failure dropped: used to set Tcl's error state from
// inside a failing callback, where the call is expected to "fail".
inline void call_quietly(PyObject* tk, std::initializer_list<PyObject*> words) {
    Ref args = pyhelp::tuple_of(words);
    Ref call = Ref::steal(PyObject_GetAttr(tk, g_shared->w_call));
    PyObject* r = call ? PyObject_Call(call.get(), args.get(), nullptr) : nullptr;
    Py_XDECREF(r);
    PyErr_Clear();
}

/*
 *----------------------------------------------------------------------
 *
 * callback_failed --
 *
 *      The user's callable raised `exc`: set Tcl's error state to
 *      "<Class>: <message>" (just "<Class>" for an empty message),
 *      -errorcode {PYTHON <Class> <message>}, -errorinfo the Python
 *      traceback, by a nested `error` command; for an exception outside
 *      Exception also request `interp cancel -unwind`.  Then keep the
 *      exception for this thread and hand the bridge the sentinel.
 *
 * Results:
 *      NULL with the sentinel set as the current exception.
 *
 * Side effects:
 *      Runs Tcl commands; stores into the shared pending dict.  CAUTION:
 *      may run arbitrary Python code (str() of the exception, traceback
 *      formatting).
 *
 *----------------------------------------------------------------------
 */
inline void callback_failed_body(Callback* cb, PyObject* exc) {
    Shared* st = g_shared;
    PyObject* cls = (PyObject*)Py_TYPE(exc);
    Ref name = Ref::steal(PyObject_GetAttrString(cls, "__name__"));
    if (!name) {
        PyErr_Clear();
        name = pyhelp::from_utf8(Py_TYPE(exc)->tp_name);
    }
    Ref msg = str_or(exc, "<exception str() failed>");
    if (!PyUnicode_Check(msg.get())) msg = pyhelp::from_utf8("");
    Ref text = PyUnicode_GET_LENGTH(msg.get()) ? own(PyUnicode_FromFormat("%U: %U", name.get(), msg.get()))
                                               : Ref::newref(name.get());
    Ref info;
    {
        Ref tb = Ref::steal(PyException_GetTraceback(exc));
        Ref mod = Ref::steal(PyImport_ImportModule("traceback"));
        Ref lines = mod ? Ref::steal(PyObject_CallMethod(mod.get(), "format_exception", "OOO", cls, exc,
                                                         tb ? tb.get() : Py_None))
                        : Ref();
        Ref empty = pyhelp::from_utf8("");
        Ref joined = lines ? Ref::steal(PyUnicode_Join(empty.get(), lines.get())) : Ref();
        Ref stripped = joined ? Ref::steal(PyObject_CallMethod(joined.get(), "rstrip", "s", "\n")) : Ref();
        if (stripped) {
            info = std::move(stripped);
        } else {
            PyErr_Clear();
            info = Ref::newref(text.get());
        }
    }
    Ref code = pyhelp::tuple_of({pyhelp::from_utf8("PYTHON").get(), name.get(), msg.get()});
    const bool stopping = !PyErr_GivenExceptionMatches(exc, PyExc_Exception);
    {
        Ref tk = Ref::steal(PyObject_GetAttr(cb->tcl, st->w_tk));
        if (!tk) {
            PyErr_Clear();  // the interpreter object is gone or closed: Tcl sees the bare error
        } else {
            Ref w_error = pyhelp::from_utf8("::error");
            Ref safe_text = carryable(text.get()), safe_info = carryable(info.get());
            Ref safe_code = pyhelp::tuple_of(
                {PyTuple_GET_ITEM(code.get(), 0), name.get(), carryable(msg.get()).get()});
            call_quietly(tk.get(), {w_error.get(), safe_text.get(), safe_info.get(), safe_code.get()});
            if (stopping) {
                Ref w_interp = pyhelp::from_utf8("::interp"), w_cancel = pyhelp::from_utf8("cancel"),
                    w_unwind = pyhelp::from_utf8("-unwind"), w_dashes = pyhelp::from_utf8("--"),
                    w_self = pyhelp::from_utf8("");
                call_quietly(tk.get(),
                             {w_interp.get(), w_cancel.get(), w_unwind.get(), w_dashes.get(), w_self.get(),
                              safe_text.get()});
            }
        }
    }
    Ref key = thread_key();
    Ref entry = pyhelp::tuple_of({exc, code.get()});
    pyhelp::check(PyDict_SetItem(st->pending, key.get(), entry.get()));
    st->dirty = 1;
}

// Whether the bridge can turn `v` into a Tcl value without failing: it
// converts str (with "surrogateescape"), bytes, bool, exact int, float,
// tuple, list and Tcl_Obj itself, and anything else through str().  A
// failure there would be reported by the bridge's own error slot, so it is
// found here first.  Raises (returns -1) when the bridge would fail.
inline int bridge_can_convert(PyObject* v) {
    if (PyUnicode_Check(v)) {
        if (PyUnicode_IS_ASCII(v)) return 0;
        Ref probe = Ref::steal(PyUnicode_AsEncodedString(v, "utf-8", "surrogateescape"));
        return probe ? 0 : -1;
    }
    if (PyBytes_Check(v) || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_Check(v) ||
        PyObject_TypeCheck(v, (PyTypeObject*)g_shared->tcl_obj_type))
        return 0;
    if (PyTuple_Check(v) || PyList_Check(v)) {
        Ref items = Ref::steal(PySequence_Tuple(v));  // a snapshot: str() below may change a list
        if (!items || Py_EnterRecursiveCall(" checking a Tcl command result")) return -1;
        int r = 0;
        for (Py_ssize_t i = 0; r == 0 && i < PyTuple_GET_SIZE(items.get()); ++i)
            r = bridge_can_convert(PyTuple_GET_ITEM(items.get(), i));
        Py_LeaveRecursiveCall();
        return r;
    }
    Ref text = Ref::steal(PyObject_Str(v));  // CAUTION: may run arbitrary Python code
    return text ? bridge_can_convert(text.get()) : -1;
}

inline PyObject* Callback_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Callback* cb = (Callback*)self;
    PyObject* result = PyObject_Call(cb->func, args, kwargs);
    if (result) {
        if (bridge_can_convert(result) == 0) return result;
        Py_DECREF(result);  // a result the bridge cannot carry fails like an exception of the callable
    }
    Ref exc = pyhelp::fetch_exception();
    try {
        callback_failed_body(cb, exc.get());
    } catch (const PyErrSet&) {
        PyErr_Clear();  // out of memory on the way: the bare sentinel still stops Tcl
    } catch (const std::bad_alloc&) {
        PyErr_Clear();
    }
    Shared* st = g_shared;
    st->sentinel_out = 1;
    st->dirty = 1;
    // No traceback, context or cause: the sentinel holds no frame alive.
    PyException_SetTraceback(st->sentinel, Py_None);
    PyException_SetContext(st->sentinel, nullptr);
    PyErr_Restore(Py_NewRef(st->sentinel_type), Py_NewRef(st->sentinel), nullptr);
    return nullptr;
}

inline int Callback_traverse(PyObject* self, visitproc visit, void* arg) {
    Callback* cb = (Callback*)self;
    Py_VISIT(cb->func);
    Py_VISIT(cb->tcl);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int Callback_clear(PyObject* self) {
    Callback* cb = (Callback*)self;
    Py_CLEAR(cb->func);
    Py_CLEAR(cb->tcl);
    return 0;
}

inline void Callback_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Callback_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject* Callback_repr(PyObject* self) {
    return PyUnicode_FromFormat("<Tcl command callback %R>", ((Callback*)self)->func);
}

inline PyMemberDef* callback_members() {
    static PyMemberDef members[] = {
        {(char*)"__wrapped__", T_OBJECT, offsetof(Callback, func), READONLY, (char*)"The wrapped callable."},
        {nullptr, 0, 0, 0, nullptr},
    };
    return members;
}

// ---------------------------------------------------------------------------
// Module initialisation: find or create the shared state.
// ---------------------------------------------------------------------------

inline Ref make_shared_capsule() {
    static Shared storage{};
    Shared* st = &storage;
    st->version = 1;
    st->pending = own(PyDict_New()).release();
    st->tcl_error = pyhelp::import_from("_tkinter", "TclError").release();
    st->tcl_obj_type = pyhelp::import_from("_tkinter", "Tcl_Obj").release();
    st->sentinel_type = own(PyErr_NewExceptionWithDoc(
                                "trelmo.tcl.TclCommandFailed",
                                "Handed to the Tcl bridge by a Python-backed Tcl command that raised; "
                                "never reaches Python code.",
                                PyExc_BaseException, nullptr))
                            .release();
    st->sentinel = own(PyObject_CallNoArgs(st->sentinel_type)).release();
    st->read_options = pyhelp::from_utf8(kReadOptions).release();
    st->w_tk = own(PyUnicode_InternFromString("tk")).release();
    st->w_call = own(PyUnicode_InternFromString("call")).release();
    static PyType_Slot slots[] = {
        {Py_tp_call, (void*)Callback_call},
        {Py_tp_traverse, (void*)Callback_traverse},
        {Py_tp_clear, (void*)Callback_clear},
        {Py_tp_dealloc, (void*)Callback_dealloc},
        {Py_tp_repr, (void*)Callback_repr},
        {Py_tp_members, (void*)callback_members()},
        {Py_tp_doc, (void*)"A Python callable as registered with the Tcl bridge: its exceptions become Tcl "
                           "errors and come back to the Python caller as themselves."},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"trelmo.tcl.TclCommandCallback", sizeof(Callback), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    st->callback_type = own(PyType_FromSpec(&type_spec)).release();
    return own(PyCapsule_New(st, TRELMO_TCLERROR_CAPSULE, nullptr));
}

// At module init: point g_shared at the shared state, creating it the first
// time.  Throws PyErrSet.
inline void init() {
    if (g_shared) return;
    Ref package = pyhelp::import("trelmo.tcl");
    Ref capsule;
    if (!pyhelp::lookup_attr(package.get(), pyhelp::from_utf8("_tclerror").get(), capsule)) {
        capsule = make_shared_capsule();
        pyhelp::check(PyObject_SetAttrString(package.get(), "_tclerror", capsule.get()));
    }
    g_shared = (Shared*)PyCapsule_GetPointer(capsule.get(), TRELMO_TCLERROR_CAPSULE);
    if (!g_shared) throw PyErrSet{};
}

// The callable to register with tk.createcommand in place of `func`; `tcl` is
// the interpreter object the Tcl command belongs to.
inline Ref wrap_callback(PyObject* func, PyObject* tcl) {
    PyTypeObject* tp = (PyTypeObject*)g_shared->callback_type;
    Callback* cb = PyObject_GC_New(Callback, tp);
    if (!cb) throw PyErrSet{};
    cb->func = Py_NewRef(func);
    cb->tcl = Py_NewRef(tcl);
    PyObject_GC_Track((PyObject*)cb);
    return Ref::steal((PyObject*)cb);
}

// ---------------------------------------------------------------------------
// Call sites
// ---------------------------------------------------------------------------

// Take back the sentinel that failed callbacks left in the bridge's slot, by
// running the bridge's event loop for no event on an interpreter of this
// thread (the package's trelmo.tcl._reclaim_callback_error).  Keeps the
// current exception, if any.
inline void reclaim_sentinel() {
    Shared* st = g_shared;
    st->sentinel_out = 0;
    PyObject* current = compat::take_exception();  // NULL when none is set
    PyObject* pkg = PyImport_ImportModule("trelmo.tcl");
    PyObject* r = pkg ? PyObject_CallMethod(pkg, "_reclaim_callback_error", "O", st->sentinel) : nullptr;
    Py_XDECREF(pkg);
    Py_XDECREF(r);
    PyErr_Clear();  // nothing to report: at worst the sentinel stays in the slot
    if (current) compat::restore_exception(current);
}

inline void update_dirty() {
    Shared* st = g_shared;
    st->dirty = st->sentinel_out || PyDict_GET_SIZE(st->pending) != 0;
}

// Remove and return this thread's pending (exception, errorcode), or null.
inline Ref take_pending() {
    Shared* st = g_shared;
    if (PyDict_GET_SIZE(st->pending) == 0) return Ref();
    Ref key = thread_key();
    PyObject* entry = PyDict_GetItemWithError(st->pending, key.get());  // borrowed
    if (!entry) {
        if (PyErr_Occurred()) throw PyErrSet{};
        return Ref();
    }
    Ref keep = Ref::newref(entry);
    pyhelp::check(PyDict_DelItem(st->pending, key.get()));
    return keep;
}

// Read the return options of the error that just happened and set them on
// `err` (a TclError instance).  Returns the errorcode tuple (borrowed from the
// attribute just set).  Failures to read leave plain defaults.
inline Ref attach_options(PyObject* err, PyObject* tk) {
    Shared* st = g_shared;
    Ref info, code, stack;
    {
        Ref w_apply = pyhelp::from_utf8("::apply");
        Ref call = Ref::steal(PyObject_GetAttr(tk, st->w_call));
        Ref r = call ? Ref::steal(PyObject_CallFunctionObjArgs(call.get(), w_apply.get(), st->read_options, nullptr))
                     : Ref();
        if (r && PyUnicode_Check(r.get())) {  // a bridge that hands back text (wantobjects off)
            Ref split = Ref::steal(PyObject_CallMethod(tk, "splitlist", "O", r.get()));
            r = std::move(split);
        }
        if (r && PyTuple_Check(r.get()) && PyTuple_GET_SIZE(r.get()) == 3) {
            info = Ref::newref(PyTuple_GET_ITEM(r.get(), 0));
            code = Ref::newref(PyTuple_GET_ITEM(r.get(), 1));
            stack = Ref::newref(PyTuple_GET_ITEM(r.get(), 2));
        } else {
            PyErr_Clear();
        }
    }
    // An empty list comes back as '' and a one-element list may come back as
    // its text: normalise both to tuples of str.
    auto as_tuple = [&](Ref& v) {
        if (v && PyTuple_Check(v.get())) return;
        if (v && PyUnicode_Check(v.get())) {
            Ref split = Ref::steal(PyObject_CallMethod(tk, "splitlist", "O", v.get()));
            if (split && PyTuple_Check(split.get())) {
                v = std::move(split);
                return;
            }
            PyErr_Clear();
        }
        v = own(PyTuple_New(0));
    };
    as_tuple(code);
    as_tuple(stack);
    if (!info || !PyUnicode_Check(info.get())) info = pyhelp::from_utf8("");
    Ref result = str_or(err, "");
    PyObject_SetAttrString(err, "result", result.get());
    PyObject_SetAttrString(err, "errorcode", code.get());
    PyObject_SetAttrString(err, "errorinfo", info.get());
    PyObject_SetAttrString(err, "errorstack", stack.get());
    PyErr_Clear();
    return code;
}

// Raise `exc` itself (its own traceback kept; Python adds the frames it
// passes on the way out).
inline void restore_exception(PyObject* exc) { compat::restore_exception(Py_NewRef(exc)); }

/*
 *----------------------------------------------------------------------
 *
 * checked_slow --
 *
 *      The rare half of `checked`: something is pending, or the call
 *      failed.  On success, forget this thread's pending callback
 *      exception (Tcl code caught it) and take the sentinel back.  On a
 *      TclError: a pending exception outside Exception is raised as it is
 *      (after resetting Tcl's cancellation, which the first evaluation
 *      after an unwind consumes); otherwise the return options are read
 *      and attached, and a pending exception whose errorcode Tcl reports
 *      is raised instead of the TclError.  Other errors pass unchanged.
 *
 * Results:
 *      `result` (stolen) or NULL with an exception set.
 *
 * Side effects:
 *      May run Tcl commands.  CAUTION: may run arbitrary Python code.
 *
 *----------------------------------------------------------------------
 */
// Tcl was asked to unwind (an interrupt in a Python-backed command): its
// first evaluation at the top level after that fails once and clears the
// request, so run a harmless one now.
inline void clear_unwind(PyObject* tk) {
    Ref w_info = pyhelp::from_utf8("::info"), w_level = pyhelp::from_utf8("level");
    call_quietly(tk, {w_info.get(), w_level.get()});
}

inline PyObject* checked_slow(PyObject* result, PyObject* tk) noexcept {
    Shared* st = g_shared;
    return pyhelp::guarded([&]() -> Ref {
        if (result) {
            Ref keep = Ref::steal(result);
            take_pending();
            if (st->sentinel_out) reclaim_sentinel();
            update_dirty();
            return keep;
        }
        if (!PyErr_ExceptionMatches(st->tcl_error)) {
            if (st->sentinel_out) reclaim_sentinel();
            update_dirty();
            return Ref();
        }
        Ref err = pyhelp::fetch_exception();
        Ref pending = take_pending();
        if (st->sentinel_out) reclaim_sentinel();
        update_dirty();
        if (pending) {
            PyObject* exc = PyTuple_GET_ITEM(pending.get(), 0);
            if (!PyErr_GivenExceptionMatches(exc, PyExc_Exception)) {
                clear_unwind(tk);
                restore_exception(exc);
                return Ref();
            }
        }
        Ref code = attach_options(err.get(), tk);
        if (pending) {
            int same = PyObject_RichCompareBool(code.get(), PyTuple_GET_ITEM(pending.get(), 1), Py_EQ);
            if (same < 0) PyErr_Clear();
            if (same > 0) {
                restore_exception(PyTuple_GET_ITEM(pending.get(), 0));
                return Ref();
            }
        }
        restore_exception(err.get());
        return Ref();
    });
}

// The answer of tk.call / tk.eval as it should reach the caller: `result` is
// the bridge's return value (a new reference, or NULL with the exception
// set), `tk` the application handle it came from.
inline PyObject* checked_raw(PyObject* result, PyObject* tk) noexcept {
    if (result && !g_shared->dirty) return result;
    return checked_slow(result, tk);
}

// The same, throwing PyErrSet instead of returning NULL.
inline Ref checked(PyObject* result, PyObject* tk) { return own(checked_raw(result, tk)); }

// The same for the bridge's variable operations (getvar, setvar, unsetvar),
// which run no Tcl command: Tcl leaves no trace or error stack for them and
// may leave ::errorCode from an earlier error, so a TclError gets its message
// as `result` and `errorinfo`, and empty `errorcode` and `errorstack`.
inline PyObject* checked_var_raw(PyObject* result, PyObject* tk) noexcept {
    Shared* st = g_shared;
    if (result && !st->dirty) return result;
    if (result || !PyErr_ExceptionMatches(st->tcl_error)) return checked_slow(result, tk);
    return pyhelp::guarded([&]() -> Ref {
        Ref err = pyhelp::fetch_exception();
        Ref pending = take_pending();
        if (st->sentinel_out) reclaim_sentinel();
        update_dirty();
        if (pending && !PyErr_GivenExceptionMatches(PyTuple_GET_ITEM(pending.get(), 0), PyExc_Exception)) {
            clear_unwind(tk);
            restore_exception(PyTuple_GET_ITEM(pending.get(), 0));
            return Ref();
        }
        Ref text = str_or(err.get(), "");
        Ref empty = own(PyTuple_New(0));
        PyObject_SetAttrString(err.get(), "result", text.get());
        PyObject_SetAttrString(err.get(), "errorcode", empty.get());
        PyObject_SetAttrString(err.get(), "errorinfo", text.get());
        PyObject_SetAttrString(err.get(), "errorstack", empty.get());
        PyErr_Clear();
        restore_exception(err.get());
        return Ref();
    });
}

inline Ref checked_var(PyObject* result, PyObject* tk) { return own(checked_var_raw(result, tk)); }

// Copy the four attributes from one TclError to another (the quick call
// raises a new TclError with Tcl's trace as its message).
inline void copy_options(PyObject* from, PyObject* to) {
    static const char* const names[] = {"result", "errorcode", "errorinfo", "errorstack"};
    for (const char* name : names) {
        Ref v = Ref::steal(PyObject_GetAttrString(from, name));
        if (!v || PyObject_SetAttrString(to, name, v.get()) < 0) PyErr_Clear();
    }
}

}  // namespace tclerror
