// names.cpp -- the algebra of qualified Tcl names, and the classes
// TclNamespace (a handle on one Tcl namespace, whose static methods split,
// join, normalize, qualifiers and tail are that algebra) and TempTclNamespace.
// Part of the namespace module; see internal.hpp.
#include "internal.hpp"

#include <cstring>
#include <type_traits>
#include <vector>

namespace trelmo_ns {
namespace {

// Constant command words, built once at init and never modified.
struct NsWords {
    PyObject *current, *children;
} NW;

// The static methods as the class dict holds them when the module is made.
// While TclNamespace.join and TclNamespace.normalize are still these objects,
// the C++ code runs the algebra directly instead of through a Python call;
// anything else bound there is called as the attribute lookup finds it.  The
// class dict entry is what the attribute lookup of a static method starts
// from (type defines no attribute of these names), so comparing it is enough.
Loaded g_join, g_normalize;

// TclNamespace.<name> when it is no longer the loaded static method; an
// empty Ref while it is.
Ref rebound(Loaded& member) {
    if (member.in_class(reinterpret_cast<PyTypeObject*>(M.TclNamespace))) return Ref();
    return getattr(M.TclNamespace, member.name);
}

// ---------------------------------------------------------------------------
// Tcl name algebra.
//
// A qualified name is cut at every "::" from left to right (no overlap); the
// non-empty pieces are its components, and a name that starts with "::" is
// absolute.  A component may not hold a ':' (a lone colon, or the odd colon
// of a run such as ":::"), which makes the name invalid.  All the work runs
// on the str's own storage, one pass per question; only the results are
// allocated.
// ---------------------------------------------------------------------------

// Call f with the str's data as a pointer of its storage kind.
template <typename F>
auto by_kind(PyObject* u, F&& f) {
    const void* d = PyUnicode_DATA(u);
    switch (PyUnicode_KIND(u)) {
        case PyUnicode_1BYTE_KIND:
            return f(static_cast<const Py_UCS1*>(d));
        case PyUnicode_2BYTE_KIND:
            return f(static_cast<const Py_UCS2*>(d));
        default:
            return f(static_cast<const Py_UCS4*>(d));
    }
}

/*
 * each_component --
 *   Cut s[0:n] at every "::" from left to right and call piece(start, end)
 *   for each non-empty piece, in order.
 * Results:
 *   false when some piece holds a ':' (the name is invalid), else true.
 * Side effects:
 *   Whatever piece() does.
 */
template <typename C, typename Piece>
bool each_component(const C* s, Py_ssize_t n, Piece&& piece) noexcept {
    bool valid = true;
    Py_ssize_t start = 0, i = 0;  // start of the current piece; scan position
    while (i + 1 < n) {
        if (s[i] == ':') {
            if (s[i + 1] == ':') {
                if (i > start) piece(start, i);
                i += 2;
                start = i;
                continue;
            }
            valid = false;  // a colon that is not part of a separator
        }
        ++i;
    }
    if (i < n && s[i] == ':') valid = false;  // a lone colon at the very end
    if (n > start) piece(start, n);
    return valid;
}

// Start of the last "::" in s, or -1.
template <typename C>
Py_ssize_t rfind_sep(const C* s, Py_ssize_t n) noexcept {
    for (Py_ssize_t i = n - 2; i >= 0; --i)
        if (s[i] == ':' && s[i + 1] == ':') return i;
    return -1;
}

bool starts_with_sep(PyObject* u) {
    return PyUnicode_GET_LENGTH(u) >= 2 && PyUnicode_READ_CHAR(u, 0) == ':' && PyUnicode_READ_CHAR(u, 1) == ':';
}

// s[a:b] as a new str.  An ASCII str needs no search for the widest
// character of the slice.
Ref substring(PyObject* s, Py_ssize_t a, Py_ssize_t b) {
    if (!PyUnicode_IS_ASCII(s)) return own(PyUnicode_Substring(s, a, b));
    if (a == 0 && b == PyUnicode_GET_LENGTH(s) && PyUnicode_CheckExact(s)) return Ref::newref(s);
    Ref out = own(PyUnicode_New(b - a, 127));
    std::memcpy(PyUnicode_DATA(out.get()), static_cast<const char*>(PyUnicode_DATA(s)) + a, (size_t)(b - a));
    return out;
}

[[noreturn]] void raise_invalid(PyObject* name) {
    PyErr_Format(PyExc_ValueError, "Invalid Tcl namespace '%U'", name);
    throw PyErrSet{};
}

// quoml(o), which must be a str for the name algebra to work on it.  While
// the module-level quoml is still the quoml module's own function, an exact
// str is its own conversion and the call is skipped.
Ref quoml_name(PyObject* o) {
    if (PyUnicode_CheckExact(o) && quoml_is_own()) {
        unicode_ready(o);
        return Ref::newref(o);
    }
    Ref r = to_quoml(o);
    if (!PyUnicode_Check(r.get()))
        raise(PyExc_TypeError, "a Tcl name must convert to str, not '%.200s'", Py_TYPE(r.get())->tp_name);
    unicode_ready(r.get());
    return r;
}

/*
 * name_split --
 *   The component list of a converted name: "" first when it is absolute,
 *   then the non-empty components.
 * Results:
 *   A new list; ValueError "Invalid Tcl namespace '<s>'" for an invalid name.
 */
Ref name_split(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const Py_ssize_t lead = starts_with_sep(s) ? 1 : 0;
    struct Span {
        Py_ssize_t a, b;
    };
    constexpr Py_ssize_t kLocal = 16;
    Span local[kLocal];  // component bounds (left uninitialised); a heap vector only for long names
    std::vector<Span> heap;
    Py_ssize_t count = 0;
    bool valid = by_kind(s, [&](auto p) {
        return each_component(p, n, [&](Py_ssize_t a, Py_ssize_t b) {
            if (count < kLocal) local[count] = {a, b};
            ++count;
        });
    });
    if (!valid) raise_invalid(s);
    auto* bounds = local;
    if (count > kLocal) {  // a second pass for the rare long name
        heap.resize((size_t)count);
        Py_ssize_t k = 0;
        by_kind(s, [&](auto p) { return each_component(p, n, [&](Py_ssize_t a, Py_ssize_t b) { heap[k++] = {a, b}; }); });
        bounds = heap.data();
    }
    Ref out = own(PyList_New(count + lead));
    if (lead) PyList_SET_ITEM(out.get(), 0, Py_NewRef(S.empty));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref piece = substring(s, bounds[i].a, bounds[i].b);
        PyList_SET_ITEM(out.get(), lead + i, piece.release());
    }
    return out;
}

/*
 * name_normalize --
 *   The normal form of a converted name: its components joined by "::",
 *   led by "::" when the name is absolute and has a component.  Both "::"
 *   and "" give "".
 * Results:
 *   A new reference: s itself when it is an exact str already in normal
 *   form, else a new str of the same storage kind (only colons are dropped,
 *   so the widest character survives).  ValueError for an invalid name.
 */
Ref name_normalize(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Py_ssize_t count = 0, chars = 0;  // components, and their total length
    bool valid = by_kind(s, [&](auto p) {
        return each_component(p, n, [&](Py_ssize_t a, Py_ssize_t b) {
            ++count;
            chars += b - a;
        });
    });
    if (!valid) raise_invalid(s);
    if (count == 0) return Ref::newref(S.empty);
    const bool absolute = starts_with_sep(s);
    const Py_ssize_t outlen = chars + 2 * (count - 1) + (absolute ? 2 : 0);
    if (outlen == n && PyUnicode_CheckExact(s)) return Ref::newref(s);  // nothing dropped: already normal
    Ref out = own(PyUnicode_New(outlen, PyUnicode_MAX_CHAR_VALUE(s)));
    void* dst = PyUnicode_DATA(out.get());
    by_kind(s, [&](auto p) {
        using C = std::remove_const_t<std::remove_pointer_t<decltype(p)>>;
        C* d = static_cast<C*>(dst);
        Py_ssize_t w = 0;
        bool first = !absolute;
        return each_component(p, n, [&](Py_ssize_t a, Py_ssize_t b) {
            if (!first) {
                d[w++] = ':';
                d[w++] = ':';
            }
            first = false;
            std::memcpy(d + w, p + a, (size_t)(b - a) * sizeof(C));
            w += b - a;
        });
    });
    return out;
}

// Everything before the last separator run ("" when there is none).
Ref name_qualifiers(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Py_ssize_t p = by_kind(s, [&](auto d) {
        Py_ssize_t i = rfind_sep(d, n);
        while (i > 0 && d[i - 1] == ':') --i;  // back over the rest of a longer run
        return i;
    });
    if (p < 0) return Ref::newref(S.empty);
    return substring(s, 0, p);
}

// Everything after the last "::" (s itself when there is none).
Ref name_tail(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Py_ssize_t p = by_kind(s, [&](auto d) { return rfind_sep(d, n); });
    if (p < 0) return Ref::newref(s);
    return substring(s, p + 2, n);
}

/*
 * join_text --
 *   The converted names items[0..n) joined as Tcl joins them: an absolute
 *   name (or any name after an empty one) restarts the result, an empty name
 *   adds nothing, any other name is appended after "::".  Not normalised.
 * Results:
 *   A new reference to a str.
 * Side effects:
 *   Runs quoml() on every item, in order.
 */
Ref join_text(PyObject* const* items, Py_ssize_t n) {
    PyObject* local[8];
    std::vector<PyObject*> heap;
    PyObject** parts = local;  // the converted names (borrowed from items or from owned)
    if (n > 8) {
        heap.resize((size_t)n);
        parts = heap.data();
    }
    std::vector<Ref> owned;  // conversions that made new objects
    // While the module-level quoml is the quoml module's own function, an exact
    // str converts to itself; converting anything else may run Python code
    // that rebinds the name, so it is asked again after each such item.
    bool quoml_own = quoml_is_own();
    Py_ssize_t start = 0;  // the part that last restarted the name
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (PyUnicode_CheckExact(item) && quoml_own) {
            unicode_ready(item);
            parts[i] = item;
        } else {
            owned.push_back(quoml_name(item));
            parts[i] = owned.back().get();
            quoml_own = quoml_is_own();
        }
        if (i > 0 && (PyUnicode_GET_LENGTH(parts[start]) == 0 || starts_with_sep(parts[i]))) start = i;
    }
    Py_ssize_t total = PyUnicode_GET_LENGTH(parts[start]);
    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(parts[start]);
    Py_ssize_t appended = 0;
    for (Py_ssize_t i = start + 1; i < n; ++i) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i]);
        if (len == 0) continue;
        if (len > PY_SSIZE_T_MAX - 2 - total) {
            PyErr_NoMemory();
            throw PyErrSet{};
        }
        total += len + 2;
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(parts[i]);
        if (m > maxchar) maxchar = m;
        ++appended;
    }
    if (appended == 0) return Ref::newref(parts[start]);
    Ref out = own(PyUnicode_New(total, maxchar));
    const int kind = PyUnicode_KIND(out.get());
    char* data = static_cast<char*>(PyUnicode_DATA(out.get()));
    Py_ssize_t w = 0;  // characters written
    auto append = [&](PyObject* part, Py_ssize_t len) {
        if (PyUnicode_KIND(part) == kind)
            std::memcpy(data + w * kind, PyUnicode_DATA(part), (size_t)(len * kind));
        else if (PyUnicode_CopyCharacters(out.get(), w, part, 0, len) < 0)
            throw PyErrSet{};
        w += len;
    };
    append(parts[start], PyUnicode_GET_LENGTH(parts[start]));
    for (Py_ssize_t i = start + 1; i < n; ++i) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i]);
        if (len == 0) continue;
        PyUnicode_WRITE(kind, data, w, ':');
        PyUnicode_WRITE(kind, data, w + 1, ':');
        w += 2;
        append(parts[i], len);
    }
    return out;
}

// TclNamespace.join itself: the joined text normalised by TclNamespace.normalize
// as the class holds it now.
Ref join_impl(PyObject* const* items, Py_ssize_t n) {
    Ref text = join_text(items, n);
    Ref normalize = rebound(g_normalize);
    if (!normalize) return name_normalize(text.get());
    return call1(normalize.get(), text.get());
}

// The static methods: one parameter `string` (positional or keyword).
const Signature kSplitSig{"split", "TclNamespace.split", {"string"}, 1, 1};
const Signature kNormalizeSig{"normalize", "TclNamespace.normalize", {"string"}, 1, 1};
const Signature kQualifiersSig{"qualifiers", "TclNamespace.qualifiers", {"string"}, 1, 1};
const Signature kTailSig{"tail", "TclNamespace.tail", {"string"}, 1, 1};
const Signature kJoinSig{"join", "TclNamespace.join", {"string"}, 1, 1, 0, true};

Ref TclNamespace_split(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref s = quoml_name(sole_arg(kSplitSig, args, nargs, kwnames));
    return name_split(s.get());
}

Ref TclNamespace_normalize(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref s = quoml_name(sole_arg(kNormalizeSig, args, nargs, kwnames));
    return name_normalize(s.get());
}

Ref TclNamespace_qualifiers(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref s = quoml_name(sole_arg(kQualifiersSig, args, nargs, kwnames));
    return name_qualifiers(s.get());
}

Ref TclNamespace_tail(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref s = quoml_name(sole_arg(kTailSig, args, nargs, kwnames));
    return name_tail(s.get());
}

Ref TclNamespace_join(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs >= 1 && !kwnames) return join_impl(args, nargs);
    Parsed p = parse(kJoinSig, args, nargs, kwnames);
    const Py_ssize_t extra = PyTuple_GET_SIZE(p.star.get());
    std::vector<PyObject*> items((size_t)extra + 1);
    items[0] = p[0];
    for (Py_ssize_t i = 0; i < extra; ++i) items[(size_t)i + 1] = PyTuple_GET_ITEM(p.star.get(), i);
    return join_impl(items.data(), extra + 1);
}

// ---------------------------------------------------------------------------
// TclNamespace: a handle on one Tcl namespace of one interpreter.
//
// The handle holds its name (`ns`) and a weak proxy of the interpreter object
// (`tcl`); both are read from the instance on every operation, so a subclass
// or a later assignment sees its own values.  Methods that the operations use
// on one another (self.call, self.current, ...) are looked up on the instance
// too, as Python code would.
// ---------------------------------------------------------------------------

// True when a name is not empty (exact str checked directly).
bool nonempty(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
    return truthy(o);
}

// The interpreter object behind self.tcl, a weak proxy looked through.
Ref interp_of(PyObject* self) {
    Ref tcl = getattr(self, S.tcl);
    return look_through(tcl.get());
}

// The name a command about the namespace itself is given: ns, or the
// interpreter's current namespace for the empty name.
Ref subject_name(PyObject* self) {
    Ref ns = getattr(self, S.ns);
    if (nonempty(ns.get())) return ns;
    return call_method0(self, S.current);
}

/*
 * wrap_command --
 *   The command that eval and call send: (tclcmd,) + rest, or tclcmd alone
 *   when there is no rest; wrapped as ('namespace', 'eval', ns, command)
 *   when the handle's name `ns` is not empty (`wrap`).
 * Results:
 *   A new reference.
 */
Ref wrap_command(PyObject* ns, bool wrap, PyObject* tclcmd, PyObject* const* rest, Py_ssize_t nrest) {
    Ref cmd = nrest > 0 ? tuple_join({tclcmd}, rest, nrest) : Ref::newref(tclcmd);
    if (!wrap) return cmd;
    return tuple_join({S.namespace_, S.eval, ns, cmd.get()});
}

/*
 * converted_command --
 *   tclobj(wrap_command(ns, wrap, tclcmd, rest, nrest)) built in one pass,
 *   for a command that is a tuple (wrapped, or with a rest).  Only while
 *   quoml's names hold: tclobj() of an exact tuple is then the tuple of its
 *   items converted in order, and the constant words are exact str that
 *   convert to themselves, so only the caller's words are converted, with
 *   the item conversion the commands use.
 * Results:
 *   A new reference.
 */
Ref converted_command(PyObject* ns, bool wrap, PyObject* tclcmd, PyObject* const* rest, Py_ssize_t nrest) {
    Conv cv;
    cv.names = 1;
    Ref ns_word = wrap ? tclobj_item(ns, cv, true) : Ref();
    Ref cmd;
    if (nrest > 0) {
        cmd = own(PyTuple_New(nrest + 1));
        PyTuple_SET_ITEM(cmd.get(), 0, tclobj_item(tclcmd, cv, true).release());
        for (Py_ssize_t i = 0; i < nrest; ++i)
            PyTuple_SET_ITEM(cmd.get(), i + 1, tclobj_item(rest[i], cv, true).release());
    } else {
        cmd = tclobj_item(tclcmd, cv, true);
    }
    if (!wrap) return cmd;
    return tuple_join({S.namespace_, S.eval, ns_word.get(), cmd.get()});
}

// Parameters of a method: self and the positional/keyword ones after it.
const Signature kInitSig{"__init__", "TclNamespace.__init__", {"self", "ns", "tcl"}, 3, 2};
const Signature kEvalSig{"eval", "TclNamespace.eval", {"self", "tclcmd"}, 2, 2, 0, true};
const Signature kCallSig{"call", "TclNamespace.call", {"self", "tclcmd"}, 2, 2, 0, true};
const Signature kCurrentSig{"current", "TclNamespace.current", {"self"}, 1, 1};
const Signature kCreateSig{"create", "TclNamespace.create", {"self"}, 1, 1};
const Signature kDeleteSig{"delete", "TclNamespace.delete", {"self"}, 1, 1};
const Signature kExistsSig{"exists", "TclNamespace.exists", {"self"}, 1, 1};
const Signature kChildrenSig{"children", "TclNamespace.children", {"self", "pattern"}, 2, 1};
const Signature kCodeSig{"code", "TclNamespace.code", {"self", "script"}, 2, 2};
const Signature kExportSig{"export", "TclNamespace.export", {"self", "clear"}, 2, 1, 0, true};
const Signature kForgetSig{"forget", "TclNamespace.forget", {"self"}, 1, 1, 0, true};
const Signature kImportSig{"import_", "TclNamespace.import_", {"self", "force"}, 2, 1, 0, true};
const Signature kOriginSig{"origin", "TclNamespace.origin", {"self", "command"}, 2, 2};
const Signature kParentSig{"parent", "TclNamespace.parent", {"self", "force_eval"}, 2, 1};
const Signature kWhichSig{"which", "TclNamespace.which", {"self", "name", "command", "variable"}, 4, 2};
const Signature kIsAbsoluteSig{"is_absolute", "TclNamespace.is_absolute", {"self"}, 1, 1};
const Signature kIsRelativeSig{"is_relative", "TclNamespace.is_relative", {"self"}, 1, 1};
const Signature kAbsoluteSig{"absolute", "TclNamespace.absolute", {"self"}, 1, 1};
const Signature kMakeAbsoluteSig{"make_absolute", "TclNamespace.make_absolute", {"self"}, 1, 1};
const Signature kStrSig{"__str__", "TclNamespace.__str__", {"self"}, 1, 1};

// self.<attr> = TclNamespace.<cls_name>(self), the class looked up now.
void set_view(PyObject* self, PyObject* cls_name, PyObject* attr) {
    Ref cls = getattr(M.TclNamespace, cls_name);
    Ref view = call1(cls.get(), self);
    setattr(self, attr, view.get());
}

Ref TclNamespace_init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject *self, *ns, *tcl = Py_None;
    Parsed p;
    if (!kwnames && (nargs == 2 || nargs == 3)) {
        self = args[0];
        ns = args[1];
        if (nargs == 3) tcl = args[2];
    } else {
        p = parse(kInitSig, args, nargs, kwnames);
        self = p[0];
        ns = p[1];
        tcl = p.get(2, Py_None);
    }
    super_init(M.TclNamespace, self);
    Ref name = to_quoml(ns);
    setattr(self, S.ns, name.get());
    Ref interp = bind_interp(tcl);
    setattr(self, S.tcl, interp.get());
    set_view(self, S.VariablesView, S.vars);
    set_view(self, S.ObjectsView, S.objs);
    set_view(self, S.ProcsView, S.procs);
    set_view(self, S.CommandsView, S.cmds);
    return none();
}

// eval(tclcmd, *args) and call(tclcmd, *args) share their argument handling.
template <bool kCall>
Ref run_in_namespace(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject *self, *tclcmd;
    PyObject* const* rest;
    Py_ssize_t nrest;
    Parsed p;
    if (!kwnames && nargs >= 2) {
        self = args[0];
        tclcmd = args[1];
        rest = args + 2;
        nrest = nargs - 2;
    } else {
        p = parse(kCall ? kCallSig : kEvalSig, args, nargs, kwnames);
        self = p[0];
        tclcmd = p[1];
        rest = &PyTuple_GET_ITEM(p.star.get(), 0);
        nrest = PyTuple_GET_SIZE(p.star.get());
    }
    Ref ns = getattr(self, S.ns);
    const bool wrap = nonempty(ns.get());
    Ref interp = interp_of(self);
    Ref tk = tk_from(interp.get());
    if (kCall) {
        Ref value = (wrap || nrest > 0) && quoml_names_hold()
                        ? converted_command(ns.get(), wrap, tclcmd, rest, nrest)
                        : to_tclobj(wrap_command(ns.get(), wrap, tclcmd, rest, nrest).get());
        return tk_call(tk.get(), value.get());
    }
    Ref script = to_quoml(wrap_command(ns.get(), wrap, tclcmd, rest, nrest).get());
    return tk_eval(tk.get(), script.get());
}

Ref TclNamespace_eval(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_in_namespace<false>(args, nargs, kwnames);
}

Ref TclNamespace_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_in_namespace<true>(args, nargs, kwnames);
}

Ref TclNamespace_current(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = sole_arg(kCurrentSig, args, nargs, kwnames);
    return send(self, NW.current);
}

Ref TclNamespace_create(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = sole_arg(kCreateSig, args, nargs, kwnames);
    Ref ns = getattr(self, S.ns);
    if (!nonempty(ns.get())) raise(PyExc_ValueError, "Cannot create current namespace");
    call_method1(self, S.eval, S.empty);
    return none();
}

Ref TclNamespace_delete(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = sole_arg(kDeleteSig, args, nargs, kwnames);
    Ref name = subject_name(self);
    Ref words = tuple_join({S.namespace_, S.delete_, name.get()});
    send(self, words.get());
    return none();
}

Ref TclNamespace_exists(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = sole_arg(kExistsSig, args, nargs, kwnames);
    Ref name = subject_name(self);
    Ref words = tuple_join({S.namespace_, S.exists, name.get()});
    Ref interp = interp_of(self);
    Ref tk = tk_from(interp.get());
    Ref result = tk_call(tk.get(), words.get());
    return interp_method1(interp.get(), S.cast_boolean, result.get());
}

// children(pattern=None): the children of this namespace, those matching the
// glob pattern when one is given.  Tcl reads a lone operand of `namespace
// children` as a namespace name, so with a pattern the namespace itself is
// named first, by its absolute name (the command runs inside the namespace,
// where a relative name would resolve differently).
Ref TclNamespace_children(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kChildrenSig, args, nargs, kwnames);
    PyObject* self = p[0];
    PyObject* pattern = p.get(1, Py_None);
    Ref words;
    if (pattern == Py_None) {
        words = Ref::newref(NW.children);
    } else {
        Ref ns = getattr(self, S.ns);
        Ref target = nonempty(ns.get()) ? call_method0(self, S.absolute) : Ref::newref(S.sep);
        if (!nonempty(target.get())) target = Ref::newref(S.sep);  // absolute() of "" is ""
        Ref pat = to_quoml(pattern);
        words = tuple_join({S.namespace_, S.children, target.get(), pat.get()});
    }
    Ref result = call_method1(self, S.call, words.get());
    Ref interp = interp_of(self);
    return call_method1(interp.get(), S.cast_list, result.get());
}

Ref TclNamespace_code(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kCodeSig, args, nargs, kwnames);
    Ref words = tuple_join({S.namespace_, S.code, p[1]});
    return call_method1(p[0], S.call, words.get());
}

Ref TclNamespace_export(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kExportSig, args, nargs, kwnames);
    PyObject* self = p[0];
    const bool clear = p[1] && truthy(p[1]);
    Ref words = clear ? tuple_join({S.namespace_, S.export_, S.opt_clear}, p.star.get())
                      : tuple_join({S.namespace_, S.export_}, p.star.get());
    Ref result = call_method1(self, S.call, words.get());
    if (clear || PyTuple_GET_SIZE(p.star.get()) > 0) return none();
    Ref interp = interp_of(self);
    return call_method1(interp.get(), S.cast_list, result.get());
}

Ref TclNamespace_forget(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kForgetSig, args, nargs, kwnames);
    Ref words = tuple_join({S.namespace_, S.forget}, p.star.get());
    call_method1(p[0], S.call, words.get());
    return none();
}

Ref TclNamespace_import(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kImportSig, args, nargs, kwnames);
    const bool force = p[1] && truthy(p[1]);
    Ref words = force ? tuple_join({S.namespace_, S.import_, S.opt_force}, p.star.get())
                      : tuple_join({S.namespace_, S.import_}, p.star.get());
    call_method1(p[0], S.call, words.get());
    return none();
}

Ref TclNamespace_origin(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kOriginSig, args, nargs, kwnames);
    Ref words = tuple_join({S.namespace_, S.origin, p[1]});
    return call_method1(p[0], S.call, words.get());
}

// The parent of an absolute name, from the name alone, as Tcl reports it:
// '::a::b' gives '::a', '::a' gives '::' and '::' gives ''.
Ref parent_of_absolute(PyObject* ns) {
    Ref name = quoml_name(ns);
    Ref normal = name_normalize(name.get());
    if (PyUnicode_GET_LENGTH(normal.get()) == 0) return normal;
    Ref q = name_qualifiers(normal.get());
    if (PyUnicode_GET_LENGTH(q.get()) == 0) return Ref::newref(S.sep);
    return q;
}

Ref TclNamespace_parent(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kParentSig, args, nargs, kwnames);
    PyObject* self = p[0];
    if (p[1] && truthy(p[1])) {
        Ref absolute = call_method0(self, S.is_absolute);
        if (truthy(absolute.get())) {
            Ref ns = getattr(self, S.ns);
            return parent_of_absolute(ns.get());
        }
    }
    Ref ns = getattr(self, S.ns);
    Ref words = nonempty(ns.get()) ? tuple_join({S.namespace_, S.parent, ns.get()})
                                   : tuple_join({S.namespace_, S.parent});
    Ref value = to_tclobj(words.get());
    return send(self, value.get());
}

Ref TclNamespace_which(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kWhichSig, args, nargs, kwnames);
    PyObject* words_v[5] = {S.namespace_, S.which};
    Py_ssize_t n = 2;
    if (p[2] && truthy(p[2])) words_v[n++] = S.opt_command;
    if (p[3] && truthy(p[3])) words_v[n++] = S.opt_variable;
    words_v[n++] = p[1];
    Ref words = tuple_join({}, words_v, n);
    return call_method1(p[0], S.call, words.get());
}

// is_absolute / is_relative: the empty name answers with itself.
template <bool kAbsolute>
Ref name_kind(PyObject* self) {
    Ref ns = getattr(self, S.ns);
    if (!nonempty(ns.get())) return ns;
    bool starts;
    if (PyUnicode_Check(ns.get())) {
        unicode_ready(ns.get());
        starts = starts_with_sep(ns.get());
    } else {
        Ref r = call_method1(ns.get(), S.startswith, S.sep);
        starts = truthy(r.get());
    }
    return boolean(kAbsolute ? starts : !starts);
}

Ref TclNamespace_is_absolute(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return name_kind<true>(sole_arg(kIsAbsoluteSig, args, nargs, kwnames));
}

Ref TclNamespace_is_relative(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return name_kind<false>(sole_arg(kIsRelativeSig, args, nargs, kwnames));
}

Ref TclNamespace_absolute(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = sole_arg(kAbsoluteSig, args, nargs, kwnames);
    Ref is_abs = call_method0(self, S.is_absolute);
    if (truthy(is_abs.get())) return getattr(self, S.ns);
    Ref current = call_method0(self, S.current);
    Ref ns = getattr(self, S.ns);
    PyObject* items[] = {current.get(), ns.get()};
    return ns_join(items, 2);
}

Ref TclNamespace_make_absolute(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = sole_arg(kMakeAbsoluteSig, args, nargs, kwnames);
    Ref name = call_method0(self, S.absolute);
    setattr(self, S.ns, name.get());
    return none();
}

Ref TclNamespace_str(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return getattr(sole_arg(kStrSig, args, nargs, kwnames), S.ns);
}

MethodSpec kTclNamespaceMethods[] = {
    {{"__init__", PYHELP_FAST(TclNamespace_init),
      "__init__(self, ns, tcl=None)\n--\n\n"
      "Handle on the Tcl namespace `ns` (converted with quoml; '' is the current namespace) of the "
      "interpreter object `tcl`, held through a weak proxy; without `tcl`, the package trelmo.tcl "
      "itself is the interpreter object. Nothing is sent to Tcl."},
     Kind::Instance},
    {{"eval", PYHELP_FAST(TclNamespace_eval),
      "eval(self, tclcmd, *args)\n--\n\n"
      "Evaluate a command in the namespace as one script: (tclcmd,) + args, or tclcmd alone as a "
      "whole script, wrapped in `namespace eval` for a non-empty name and written as Tcl text with "
      "quoml. Returns the interpreter's result."},
     Kind::Instance},
    {{"call", PYHELP_FAST(TclNamespace_call),
      "call(self, tclcmd, *args)\n--\n\n"
      "Run a command in the namespace as words: (tclcmd,) + args, or tclcmd alone as one word, "
      "wrapped in `namespace eval` for a non-empty name (the command becomes one list-valued word) "
      "and converted with tclobj. Returns the interpreter's result."},
     Kind::Instance},
    {{"current", PYHELP_FAST(TclNamespace_current),
      "current(self)\n--\n\nThe interpreter's current namespace at the global level ('::' in practice)."},
     Kind::Instance},
    {{"create", PYHELP_FAST(TclNamespace_create),
      "create(self)\n--\n\n"
      "Create the namespace by evaluating an empty script in it. ValueError for the empty name."},
     Kind::Instance},
    {{"delete", PYHELP_FAST(TclNamespace_delete),
      "delete(self)\n--\n\n"
      "Delete the namespace (for the empty name, the namespace Tcl reports as current)."},
     Kind::Instance},
    {{"exists", PYHELP_FAST(TclNamespace_exists),
      "exists(self)\n--\n\n"
      "Whether the namespace exists (for the empty name, the current namespace), through cast_boolean."},
     Kind::Instance},
    {{"children", PYHELP_FAST(TclNamespace_children),
      "children(self, pattern=None)\n--\n\n"
      "The child namespaces of this namespace as a list, only those matching the glob `pattern` when "
      "it is given."},
     Kind::Instance},
    {{"code", PYHELP_FAST(TclNamespace_code),
      "code(self, script)\n--\n\nCapture `script` for later use in this namespace (`namespace code`)."},
     Kind::Instance},
    {{"export", PYHELP_FAST(TclNamespace_export),
      "export(self, clear=False, *patterns)\n--\n\n"
      "Export commands matching `patterns` (after clearing the export list when `clear` is true); "
      "without either, return the export patterns as a list."},
     Kind::Instance},
    {{"forget", PYHELP_FAST(TclNamespace_forget),
      "forget(self, *patterns)\n--\n\nRemove commands imported into the namespace that match `patterns`."},
     Kind::Instance},
    {{"import_", PYHELP_FAST(TclNamespace_import),
      "import_(self, force=False, *patterns)\n--\n\n"
      "Import the commands matching `patterns` into the namespace (`namespace import`), replacing "
      "existing ones when `force` is true."},
     Kind::Instance},
    {{"origin", PYHELP_FAST(TclNamespace_origin),
      "origin(self, command)\n--\n\nThe fully qualified name of the command `command` was imported from."},
     Kind::Instance},
    {{"parent", PYHELP_FAST(TclNamespace_parent),
      "parent(self, force_eval=False)\n--\n\n"
      "The parent namespace as Tcl reports it; with `force_eval` true and an absolute name, computed "
      "from the name alone without asking Tcl."},
     Kind::Instance},
    {{"which", PYHELP_FAST(TclNamespace_which),
      "which(self, name, command=False, variable=False)\n--\n\n"
      "The fully qualified name that `name` resolves to in the namespace (`namespace which`)."},
     Kind::Instance},
    {{"is_absolute", PYHELP_FAST(TclNamespace_is_absolute),
      "is_absolute(self)\n--\n\nWhether the name starts with '::' (the empty name gives itself)."},
     Kind::Instance},
    {{"is_relative", PYHELP_FAST(TclNamespace_is_relative),
      "is_relative(self)\n--\n\nWhether the name does not start with '::' (the empty name gives itself)."},
     Kind::Instance},
    {{"absolute", PYHELP_FAST(TclNamespace_absolute),
      "absolute(self)\n--\n\n"
      "The absolute name: the name itself when absolute, else joined with the current namespace."},
     Kind::Instance},
    {{"make_absolute", PYHELP_FAST(TclNamespace_make_absolute),
      "make_absolute(self)\n--\n\nReplace the handle's name by its absolute name."},
     Kind::Instance},
    {{"__str__", PYHELP_FAST(TclNamespace_str), "__str__(self)\n--\n\nThe namespace name."}, Kind::Instance},
    {{"qualifiers", PYHELP_FAST(TclNamespace_qualifiers),
      "qualifiers(string)\n--\n\n"
      "Everything before the last '::' separator of a qualified name ('' when there is none)."},
     Kind::Static},
    {{"tail", PYHELP_FAST(TclNamespace_tail),
      "tail(string)\n--\n\nEverything after the last '::' of a qualified name (the whole name when there is none)."},
     Kind::Static},
    {{"join", PYHELP_FAST(TclNamespace_join),
      "join(string, *args)\n--\n\n"
      "Join qualified names as Tcl does (an absolute name restarts the result) and normalise the result."},
     Kind::Static},
    {{"split", PYHELP_FAST(TclNamespace_split),
      "split(string)\n--\n\n"
      "The components of a qualified name as a list, led by '' when the name is absolute. ValueError "
      "for a component holding a ':'."},
     Kind::Static},
    {{"normalize", PYHELP_FAST(TclNamespace_normalize),
      "normalize(string)\n--\n\n"
      "A qualified name with its separators reduced to single '::' between components; '::' and '' "
      "both give ''."},
     Kind::Static},
};

const char kTclNamespaceDoc[] =
    "TclNamespace(ns, tcl=None)\n\n"
    "Handle on one Tcl namespace of one interpreter object.\n\n"
    "Every operation is a Tcl `namespace` command sent to the interpreter when it is called; nothing is "
    "cached. The static methods split, join, normalize, qualifiers and tail are the algebra of qualified "
    "Tcl names and never talk to Tcl.";

// ---------------------------------------------------------------------------
// TempTclNamespace: a TclNamespace used as a context manager, created on
// entering the block and deleted on leaving it, by default under a name made
// unique among live objects from the temporary-name template.
// ---------------------------------------------------------------------------
const Signature kTempInitSig{"__init__", "TempTclNamespace.__init__", {"self", "ns"}, 2, 1, 0, false, true};
const Signature kTempEnterSig{"__enter__", "TempTclNamespace.__enter__", {"self"}, 1, 1};
const Signature kTempExitSig{"__exit__", "TempTclNamespace.__exit__", {"self"}, 1, 1, 0, true};

Ref TempTclNamespace_init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kTempInitSig, args, nargs, kwnames);
    temp_init(M.TempTclNamespace, p[0], p[1], p.starstar.get());
    return none();
}

Ref TempTclNamespace_enter(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = sole_arg(kTempEnterSig, args, nargs, kwnames);
    Ref result = temp_enter(M.TempTclNamespace, self);
    call_method0(self, S.create);
    return result;
}

Ref TempTclNamespace_exit(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kTempExitSig, args, nargs, kwnames);
    try {
        call_method0(p[0], S.delete_);
    } catch (const PyErrSet&) {
        if (!caught(M.TclError)) throw;  // a namespace that is already gone is fine
    }
    return temp_exit(M.TempTclNamespace, p[0], p.star.get());
}

MethodSpec kTempTclNamespaceMethods[] = {
    {{"__init__", PYHELP_FAST(TempTclNamespace_init),
      "__init__(self, ns='::__trelmo__{cls}_{id}_tmp', **kwargs)\n--\n\n"
      "A namespace handle named by `ns` formatted with cls (the class name) and id (id(self)); the "
      "keywords (tcl=) go to TclNamespace."},
     Kind::Instance},
    {{"__enter__", PYHELP_FAST(TempTclNamespace_enter),
      "__enter__(self)\n--\n\nCreate the namespace and return the handle."},
     Kind::Instance},
    {{"__exit__", PYHELP_FAST(TempTclNamespace_exit),
      "__exit__(self, *exc_info)\n--\n\n"
      "Delete the namespace (one already gone is fine) and return False, so an exception goes on."},
     Kind::Instance},
};

const char kTempTclNamespaceDoc[] =
    "TempTclNamespace(ns='::__trelmo__{cls}_{id}_tmp', **kwargs)\n\n"
    "A TclNamespace used as a context manager: the namespace is created on entering the `with` block "
    "and deleted on leaving it.";

}  // namespace

Ref ns_join(PyObject* const* items, Py_ssize_t n) {
    if (n < 1) raise(PyExc_TypeError, "ns_join() needs at least one name");
    Ref join = rebound(g_join);
    if (!join) return join_impl(items, n);
    return own(PyObject_Vectorcall(join.get(), items, (size_t)n, nullptr));
}

void make_namespace_classes(PyObject* tclns_dict) {
    NW.current = tuple_join({S.namespace_, S.current}).release();
    NW.children = tuple_join({S.namespace_, S.children}).release();
    PyObject* meta = (PyObject*)&PyType_Type;
    M.TclNamespace = new_class(meta, "TclNamespace", {(PyObject*)&PyBaseObject_Type}, kTclNamespaceMethods,
                               kTclNamespaceDoc, tclns_dict)
                         .release();
    g_join.load(M.TclNamespace, S.join);
    g_normalize.load(M.TclNamespace, S.normalize);
    M.TempTclNamespace =
        new_class(meta, "TempTclNamespace", {M.TclNamespace}, kTempTclNamespaceMethods, kTempTclNamespaceDoc).release();
}

}  // namespace trelmo_ns
