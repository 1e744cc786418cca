// quoml.cpp -- the trelmo.tcl.quoml extension module: Python values as Tcl
// text (quoml) and as values for the _tkinter bridge (tclobj), with Tcl's own
// list-element quoting.
//
// Imports collections.abc, _tkinter, sys and abc when loaded.
//
// Every call between the module's functions goes through the module-level
// names, looked up when the call happens, so that rebinding a name (quoml,
// _quoml_from_sequence, Sequence, ...) changes every later conversion.  The
// fast path converts exact built-in values (str, int, float, bool, None,
// bytes, list, tuple, set, frozenset, dict) in C++ without any Python-level
// call, but only while every one of those names is still bound to the
// module's own object; a conversion context (Ctx) remembers that check and
// forgets it whenever Python code may have run, so the next decision checks
// the names again.  Nothing the fast path skips is visible: exact built-in
// types cannot carry the protocol methods, their isinstance answers against
// the collections.abc classes are fixed unless someone registers them (which
// changes the ABC cache token, checked too), and converting them runs no
// Python code.
#include "casts.hpp"
#include "guard.hpp"
#include "pyhelp.hpp"
#include "quoml_capi.hpp"
#include "quoml_core.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <vector>

namespace {

using namespace pyhelp;
namespace qc = quoml_core;

// The per-element steps are kept inline in the loops that call them, and the
// rare paths (a pause, the chunked writer) out of them, so that the loops stay
// as tight as the compiler can make them.
#if defined(__GNUC__)
#define QUOML_HOT inline __attribute__((always_inline))
#define QUOML_COLD __attribute__((noinline, cold))
#else
#define QUOML_HOT inline
#define QUOML_COLD
#endif

const char kModuleName[] = "trelmo.tcl.quoml";

// ---------------------------------------------------------------------------
// Interned names and module state.
// ---------------------------------------------------------------------------

// The interned names: first the module-level names that conversions look up
// at call time (S.names[kMapping], ...), then the other names (S.add, ...).
#define QUOML_NAMES(GLOBAL, X) \
    GLOBAL(kMapping, "Mapping") \
    GLOBAL(kSequence, "Sequence") \
    GLOBAL(kSet, "Set") \
    GLOBAL(kTclObj, "_tkTcl_Obj") \
    GLOBAL(kUnicode, "unicode") \
    GLOBAL(kScanElement, "_Tcl_ScanElement") \
    GLOBAL(kConvertElement, "_Tcl_ConvertElement") \
    GLOBAL(kFromSequence, "_quoml_from_sequence") \
    GLOBAL(kFromMapping, "_quoml_from_mapping") \
    GLOBAL(kQuoml, "quoml") \
    GLOBAL(kSysMaxSize, "_sysmaxsize") \
    GLOBAL(kLongType, "_long_type") \
    GLOBAL(kTclobjFromSequence, "_tclobj_from_sequence") \
    GLOBAL(kTclobjFromMapping, "_tclobj_from_mapping") \
    GLOBAL(kTclobj, "tclobj") \
    X(dunder_quoml, "__quoml__") \
    X(dunder_tclobj, "__tclobj__") \
    X(add, "add") \
    X(use_braces, "USE_BRACES") \
    X(dont_use_braces, "TCL_DONT_USE_BRACES") \
    X(braces_unmatched, "BRACES_UNMATCHED") \
    X(true_, "true") \
    X(false_, "false") \
    X(empty, "") \
    X(empty_braces, "{}") \
    X(from_sequence, "from_sequence") \
    X(from_mapping, "from_mapping")

enum NameId { QUOML_NAMES(PYHELP_NAME_ENUM, PYHELP_NAME_SKIP) kNameCount };

struct Strings {
    PyObject* names[kNameCount];
    QUOML_NAMES(PYHELP_NAME_SKIP, PYHELP_NAME_FIELD)
} S;

#define QUOML_GLOBAL_ENTRY(id, text) {&S.names[id], text},
const InternEntry kInterned[] = {QUOML_NAMES(QUOML_GLOBAL_ENTRY, PYHELP_NAME_ENTRY)};

struct State {
    PyObject* module = nullptr;
    PyObject* dict = nullptr;                // the module's namespace (borrowed from module)
    PyObject* original[kNameCount] = {};     // what each name was bound to at import (strong)
    PyObject* get_cache_token = nullptr;     // abc.get_cache_token
    PyObject* abc_token = nullptr;           // token under which the built-in ABC answers were checked
    bool abc_ok = false;                     // built-in types answer isinstance as expected
    guard::NameGuard names;                  // the names above, still bound as at import?
    PyObject* getswitchinterval = nullptr;   // sys.getswitchinterval (see Ctx::pause)
} M;

// ---------------------------------------------------------------------------
// Conversion context: is the fast path still allowed?
// ---------------------------------------------------------------------------

// Checks that the built-in types the fast path knows still answer the
// Sequence/Set/Mapping tests as they did at import.  Only registering a class
// with an ABC changes these answers, and registering changes the cache token.
bool builtin_abc_answers_hold() {
    Ref token = call0(M.get_cache_token);
    if (M.abc_token && check(PyObject_RichCompareBool(token.get(), M.abc_token, Py_EQ))) return M.abc_ok;
    PyObject* seq = M.original[kSequence];
    PyObject* set = M.original[kSet];
    PyObject* map = M.original[kMapping];
    auto is_sub = [](PyTypeObject* t, PyObject* abc) {
        return check(PyObject_IsSubclass(reinterpret_cast<PyObject*>(t), abc)) != 0;
    };
    bool ok = true;
    for (PyTypeObject* t : {&PyList_Type, &PyTuple_Type, &PyBytes_Type, &PySet_Type, &PyFrozenSet_Type})
        ok = ok && (is_sub(t, seq) || is_sub(t, set));
    ok = ok && !is_sub(&PyDict_Type, seq) && !is_sub(&PyDict_Type, set) && is_sub(&PyDict_Type, map);
    for (PyTypeObject* t : {&PyLong_Type, &PyFloat_Type})
        ok = ok && !is_sub(t, seq) && !is_sub(t, set) && !is_sub(t, map);
    Py_XSETREF(M.abc_token, token.release());
    M.abc_ok = ok;
    return ok;
}

// Whether every module-level name is still bound as at import: one
// comparison while the module namespace is unchanged.
bool names_are_own() { return M.names.holds(); }

// How many elements a conversion handles between two pauses (see Ctx::tick).
constexpr int kTicksPerLook = 1024;

// One conversion's view of the module-level names.  gen counts the points
// where Python code may have run (a protocol method, str() of a user class,
// iteration of a user iterable, a rebound module-level function, ...); the
// check of the names is cached for one generation only.
//
// A long conversion also pauses every kTicksPerLook elements (tick) to do
// what the interpreter does between two instructions of Python code: run
// signal handlers (KeyboardInterrupt stops the conversion) and, once it has
// held the lock long enough, hand the lock to a thread that waits for it
// (see pause()).  Code run meanwhile may change the input and rebind the
// module-level names: every loop reads its container's size again and takes
// its item afresh after a tick, and the names are checked again; when they
// are still the module's own, nothing this conversion has done so far
// depends on the pause (no conversion step ran during it), so the generation
// stays and the work already done by the fast path stands.
struct Ctx {
    unsigned gen = 0;
    unsigned checked = ~0u;
    bool ok = false;
    int countdown = kTicksPerLook;
    std::int64_t held_since = 0;  // when this conversion last took the lock (ns), 0 before the first pause
    std::int64_t hold_limit = 0;  // how long it keeps the lock between two hand-overs (ns)

    bool pristine() {
        if (checked != gen) {
            ok = builtin_abc_answers_hold() && names_are_own();
            checked = gen;
        }
        return ok;
    }
    void taint() noexcept { ++gen; }

    // Counts n elements.  Returns true after a pause, after which whatever
    // other code may have changed must be looked at again (a list's length,
    // a dict's size, the module-level names).  Throws PyErrSet when a signal
    // handler raised (KeyboardInterrupt).
    bool tick(int n = 1) {
        countdown -= n;
        if (countdown > 0) return false;
        pause();
        return true;
    }

    // After other code may have run: the names are checked again.
    void resumed() {
        checked = ~0u;
        if (!pristine()) taint();
    }

    void pause();
};

std::int64_t monotonic_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/*
 *----------------------------------------------------------------------
 *
 * Ctx::pause --
 *
 *	Runs pending signal handlers, and lets a thread that waits for the
 *	interpreter lock have it, without any Python frame.
 *
 *	A thread that waits for the lock asks its holder to let go once it
 *	has waited one switch interval (sys.getswitchinterval()) without the
 *	lock changing hands; the holder then lets go at the next point where
 *	the interpreter looks, and does not take the lock back before the
 *	waiter has had it.  Letting the lock go and taking it back at once
 *	does the same when the request stands; before it stands, it only
 *	wakes the waiter, which nearly always finds the lock taken again and
 *	starts a new interval.  So the lock is handed back at the first pause
 *	(for a request that stood before the conversion began), then only
 *	after it has been held a little longer than one interval (kHoldFactor
 *	of it): by then a waiter has asked, and gets the lock.  A waiter thus
 *	waits at most that long plus the time of kTicksPerLook elements.
 *
 * Results:
 *	None.
 *
 * Side effects:
 *	Signal handlers, the collector (3.12 on) and other threads may run:
 *	anything may have changed.  Throws PyErrSet when a handler raised.
 *
 *----------------------------------------------------------------------
 */
constexpr double kHoldFactor = 1.5;

QUOML_COLD void Ctx::pause() {
    countdown = kTicksPerLook;
    if (PyErr_CheckSignals() < 0) throw PyErrSet{};
    if (held_since == 0) {
        // The first pause of this conversion: how long it may keep the lock.
        // A request that stood before the conversion began is met at once.
        Ref interval = call0(M.getswitchinterval);
        const double seconds = PyFloat_AsDouble(interval.get());
        if (seconds == -1.0 && PyErr_Occurred()) throw PyErrSet{};
        hold_limit = static_cast<std::int64_t>(seconds * kHoldFactor * 1e9);
    }
    if (held_since == 0 || monotonic_ns() - held_since >= hold_limit) {
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
        held_since = monotonic_ns();
    }
    resumed();
}

// The value bound to a module-level name, as a Python function's global
// lookup finds it: the module namespace, then the builtins.
Ref lookup(NameId id) {
    PyObject* v = PyDict_GetItemWithError(M.dict, S.names[id]);
    if (!v) {
        if (PyErr_Occurred()) throw PyErrSet{};
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins) v = PyDict_GetItemWithError(builtins, S.names[id]);
        if (!v) {
            if (PyErr_Occurred()) throw PyErrSet{};
            raise(PyExc_NameError, "name '%U' is not defined", S.names[id]);
        }
    }
    return Ref::newref(v);
}

// Exact built-in types that the fast path converts itself.  None of them can
// carry __quoml__ or __tclobj__, and converting them runs no Python code.
inline bool is_plain_builtin(PyTypeObject* t) noexcept {
    return t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || t == &PyList_Type || t == &PyTuple_Type ||
           t == &PyDict_Type || t == &PySet_Type || t == &PyFrozenSet_Type || t == &PyBytes_Type;
}

// Converting these runs no Python code.
inline bool is_pure_scalar(PyObject* o) noexcept {
    PyTypeObject* t = Py_TYPE(o);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || o == Py_None;
}

// Iterating these runs no Python code.
inline bool is_pure_iterable(PyTypeObject* t) noexcept {
    return t == &PyList_Type || t == &PyTuple_Type || t == &PySet_Type || t == &PyFrozenSet_Type ||
           t == &PyDict_Type || t == &PyBytes_Type;
}

// Hashing and comparing these runs no Python code: a dict lookup by such a
// key gives what the dict's own iteration gives.
inline bool is_pure_key(PyObject* k) noexcept {
    PyTypeObject* t = Py_TYPE(k);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == &PyBytes_Type || k == Py_None;
}

// f(item) for every item that iterating obj yields.  Iterating anything but
// an exact built-in container may run Python code, so the context forgets its
// check of the names before the iteration starts and after every step.
template <typename F>
void for_each_item(PyObject* obj, Ctx& ctx, F&& f) {
    const bool pure = is_pure_iterable(Py_TYPE(obj));
    if (!pure) ctx.taint();  // CAUTION: may run arbitrary Python code
    Ref it = own(PyObject_GetIter(obj));
    for (;;) {
        ctx.tick();
        Ref e = Ref::steal(PyIter_Next(it.get()));
        if (!pure) ctx.taint();
        if (!e) {
            if (PyErr_Occurred()) throw PyErrSet{};
            return;
        }
        f(e.get());
    }
}

// ---------------------------------------------------------------------------
// Strings by kind.
// ---------------------------------------------------------------------------

qc::Scan scan_str(PyObject* s) noexcept {
    const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return qc::scan(PyUnicode_1BYTE_DATA(s), n);
        case PyUnicode_2BYTE_KIND:
            return qc::scan(PyUnicode_2BYTE_DATA(s), n);
        default:
            return qc::scan(PyUnicode_4BYTE_DATA(s), n);
    }
}

template <typename D>
QUOML_HOT D* convert_str(PyObject* s, unsigned flags, D* dst) noexcept {
    const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return qc::convert(PyUnicode_1BYTE_DATA(s), n, flags, dst);
        case PyUnicode_2BYTE_KIND:
            if constexpr (sizeof(D) >= 2) return qc::convert(PyUnicode_2BYTE_DATA(s), n, flags, dst);
            break;
        default:
            if constexpr (sizeof(D) >= 4) return qc::convert(PyUnicode_4BYTE_DATA(s), n, flags, dst);
            break;
    }
    return dst;  // unreachable: the result is at least as wide as every element
}

template <typename C, typename D>
inline D* copy_units(const C* p, Py_ssize_t n, D* dst) noexcept {
    if (sizeof(C) == sizeof(D)) {
        std::memcpy(dst, p, static_cast<std::size_t>(n) * sizeof(D));
        return dst + n;
    }
    for (Py_ssize_t i = 0; i < n; ++i) *dst++ = p[i];
    return dst;
}

template <typename D>
D* copy_str(PyObject* s, D* dst) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return copy_units(PyUnicode_1BYTE_DATA(s), n, dst);
        case PyUnicode_2BYTE_KIND:
            if constexpr (sizeof(D) >= 2) return copy_units(PyUnicode_2BYTE_DATA(s), n, dst);
            break;
        default:
            if constexpr (sizeof(D) >= 4) return copy_units(PyUnicode_4BYTE_DATA(s), n, dst);
            break;
    }
    return dst;  // unreachable: the result is at least as wide as every element
}

// A converted element in a new string (the single-element case).
Ref convert_to_new(PyObject* s, const qc::Scan& sc, unsigned flags) {
    const std::size_t len = qc::converted_length(sc, flags);
    if (len > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    Ref out = own(PyUnicode_New(static_cast<Py_ssize_t>(len), PyUnicode_MAX_CHAR_VALUE(s)));
    switch (PyUnicode_KIND(out.get())) {
        case PyUnicode_1BYTE_KIND:
            convert_str(s, flags, PyUnicode_1BYTE_DATA(out.get()));
            break;
        case PyUnicode_2BYTE_KIND:
            convert_str(s, flags, PyUnicode_2BYTE_DATA(out.get()));
            break;
        default:
            convert_str(s, flags, PyUnicode_4BYTE_DATA(out.get()));
            break;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Flags at the Python edge.
// ---------------------------------------------------------------------------

Ref flag_set(unsigned flags) {
    Ref set = own(PySet_New(nullptr));
    if (flags & qc::kUseBraces) check(PySet_Add(set.get(), S.use_braces));
    if (flags & qc::kDontUseBraces) check(PySet_Add(set.get(), S.dont_use_braces));
    if (flags & qc::kBracesUnmatched) check(PySet_Add(set.get(), S.braces_unmatched));
    return set;
}

// `flag in flags`, for any object that supports membership tests.
bool has_flag(PyObject* flags, PyObject* flag, Ctx& ctx) {
    if (PyAnySet_CheckExact(flags)) return check(PySet_Contains(flags, flag)) != 0;
    ctx.taint();  // CAUTION: may run arbitrary Python code
    return check(PySequence_Contains(flags, flag)) != 0;
}

// ---------------------------------------------------------------------------
// Calls through module-level names.
// ---------------------------------------------------------------------------

struct Known;
Ref quoml_impl(PyObject* obj, Ctx& ctx, Known* known = nullptr);
Ref tclobj_impl(PyObject* obj, Ctx& ctx);
Ref from_sequence_impl(PyObject* obj, Ctx& ctx, Known* known = nullptr);
Ref from_mapping_impl(PyObject* obj, Ctx& ctx, Known* known = nullptr);
Ref tclobj_from_sequence_impl(PyObject* obj, Ctx& ctx);
Ref tclobj_from_mapping_impl(PyObject* obj, Ctx& ctx);
Ref scan_element_impl(PyObject* string, Ctx& ctx);
Ref convert_element_impl(PyObject* src, PyObject* flags, Ctx& ctx);

// name(arg), the name looked up now.  The module's own functions are called
// directly in C++ (the same thing a Python-level call of them does); anything
// else is called as Python code, after which the names must be checked again.
Ref call_named(NameId id, PyObject* arg, Ctx& ctx) {
    Ref f = lookup(id);
    if (f.get() == M.original[id]) {
        switch (id) {
            case kQuoml: return quoml_impl(arg, ctx);
            case kTclobj: return tclobj_impl(arg, ctx);
            case kFromSequence: return from_sequence_impl(arg, ctx);
            case kFromMapping: return from_mapping_impl(arg, ctx);
            case kTclobjFromSequence: return tclobj_from_sequence_impl(arg, ctx);
            case kTclobjFromMapping: return tclobj_from_mapping_impl(arg, ctx);
            case kScanElement: return scan_element_impl(arg, ctx);
            default: break;
        }
    }
    ctx.taint();  // CAUTION: may run arbitrary Python code
    return call1(f.get(), arg);
}

Ref call_convert_element(PyObject* src, PyObject* flags, Ctx& ctx) {
    Ref f = lookup(kConvertElement);
    if (f.get() == M.original[kConvertElement]) return convert_element_impl(src, flags, ctx);
    ctx.taint();  // CAUTION: may run arbitrary Python code
    return calln(f.get(), src, flags);
}

// quoml(e) for an element of a list: the step that any user code of the
// element runs in.
inline Ref quoml_item(PyObject* e, Ctx& ctx, Known* known = nullptr) {
    if (Py_TYPE(e) == &PyUnicode_Type && ctx.pristine()) return Ref::newref(e);
    if (ctx.pristine()) return quoml_impl(e, ctx, known);
    return call_named(kQuoml, e, ctx);
}

// The element's text after quoml(), which must be a str to be scanned.
Ref element_text(PyObject* src, Ctx& ctx) {
    Ref s = call_named(kQuoml, src, ctx);
    if (!PyUnicode_Check(s.get()))
        raise(PyExc_TypeError, "quoml() gave %.200s for a list element, expected str", Py_TYPE(s.get())->tp_name);
    unicode_ready(s.get());
    return s;
}

// ---------------------------------------------------------------------------
// The list builder.
// ---------------------------------------------------------------------------

// One element of a list being built.
struct Item {
    PyObject* text;    // quoml() of the element (owned)
    PyObject* aux;     // flags from a Python-level scan, or the converted element from a Python-level conversion (owned)
    std::size_t len;   // converted length (kScanned, kPiece)
    unsigned flags;    // the scan's flags (kScanned)
    unsigned state;
};
enum : unsigned {
    kText = 0,     // text only
    kScanned = 1,  // scanned here: flags and len hold
    kPyFlags = 2,  // aux holds the flags a Python-level scan gave
    kPiece = 3,    // aux holds the converted element, len its length
};

// Scans an exact str element here.
inline qc::Scan scan_item(Item& it) {
    unicode_ready(it.text);
    const qc::Scan sc = scan_str(it.text);
    it.flags = sc.flags;
    it.len = qc::converted_length(sc, sc.flags);
    it.state = kScanned;
    return sc;
}

// The scan of a list string that was just built here, when every element
// went through the fast path: an outer list takes it instead of reading the
// string again.
struct Known {
    qc::Scan scan;
    bool valid = false;
};

// A growable array of Items that holds the first few in place, so that the
// many short lists of a nested value are built without a heap allocation.
class ItemArray {
  public:
    static constexpr std::size_t kInPlace = 8;
    ItemArray() = default;
    ItemArray(const ItemArray&) = delete;
    ItemArray& operator=(const ItemArray&) = delete;
    ~ItemArray() {
        if (data_ != in_place_) std::free(data_);
    }
    void reserve(std::size_t n) {
        if (n > cap_) grow(n);
    }
    void push_back(const Item& it) { add() = it; }
    // A new last item, its fields unset.
    Item& add() {
        if (size_ == cap_) grow(2 * cap_);
        return data_[size_++];
    }
    Item& back() noexcept { return data_[size_ - 1]; }
    Item& operator[](std::size_t i) noexcept { return data_[i]; }
    const Item& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    Item* begin() noexcept { return data_; }
    Item* end() noexcept { return data_ + size_; }
    const Item* begin() const noexcept { return data_; }
    const Item* end() const noexcept { return data_ + size_; }

  private:
    void grow(std::size_t n) {
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(Item)) throw std::bad_alloc();
        Item* p = static_cast<Item*>(std::malloc(n * sizeof(Item)));
        if (!p) throw std::bad_alloc();
        std::memcpy(static_cast<void*>(p), data_, size_ * sizeof(Item));
        if (data_ != in_place_) std::free(data_);
        data_ = p;
        cap_ = n;
    }
    Item in_place_[kInPlace];
    Item* data_ = in_place_;
    std::size_t size_ = 0;
    std::size_t cap_ = kInPlace;
};

// The elements of a list being built, with the running size of the result
// while every element is an exact str scanned here.
struct Items {
    ItemArray v;
    std::size_t total = 0;  // sum of converted lengths of kScanned items
    Py_UCS4 maxchar = 0x7f;
    unsigned gen;           // Ctx generation when the first item came in
    bool fast;              // names were the module's own at that point
    bool want_scan;         // an outer list asked for the scan of the result
    qc::ListScan list_scan; // that scan, while untouched()

    explicit Items(Ctx& ctx, std::size_t hint, const Known* known)
        : gen(ctx.gen), fast(ctx.pristine()), want_scan(known != nullptr) {
        v.reserve(hint);
    }
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;
    ~Items() {
        for (Item& it : v) {
            Py_DECREF(it.text);
            Py_XDECREF(it.aux);
        }
    }
    // An exact str element while untouched(): the common case, inline.
    bool push_if_str(PyObject* e, const Ctx& ctx) {
        if (Py_TYPE(e) != &PyUnicode_Type || !untouched(ctx)) return false;
        Item& it = v.add();
        it.text = Py_NewRef(e);
        it.aux = nullptr;
        account(it, scan_item(it));
        return true;
    }
    // Takes text; known, when valid, is its scan.
    QUOML_HOT void push(Ref&& text, Ctx& ctx, const Known* known = nullptr) {
        v.push_back(Item{text.get(), nullptr, 0, 0, kText});
        text.release();
        Item& it = v.back();
        if (PyUnicode_CheckExact(it.text) && ctx.pristine()) {
            if (known && known->valid) {
                it.flags = known->scan.flags;
                it.len = qc::converted_length(known->scan, it.flags);
                it.state = kScanned;
                account(it, known->scan);
            } else {
                account(it, scan_item(it));
            }
        }
    }
    QUOML_HOT void account(const Item& it, const qc::Scan& sc) {
        if (it.len > static_cast<std::size_t>(PY_SSIZE_T_MAX) - total - 1) throw std::bad_alloc();
        total += it.len + 1;
        const Py_UCS4 mc = PyUnicode_MAX_CHAR_VALUE(it.text);
        if (mc > maxchar) maxchar = mc;
        if (!want_scan) return;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(it.text);
        const int kind = PyUnicode_KIND(it.text);
        const void* data = PyUnicode_DATA(it.text);
        list_scan.add(n ? PyUnicode_READ(kind, data, 0) : 0, n ? PyUnicode_READ(kind, data, n - 1) : 0, sc, it.flags);
    }
    // No Python code ran since the first element came in, with the names the
    // module's own: every element is scanned, and total is the result's size.
    bool untouched(const Ctx& ctx) const noexcept { return fast && ctx.gen == gen; }
};

template <typename D>
void write_items(const Items& items, D* dst) noexcept {
    bool first = true;
    for (const Item& it : items.v) {
        if (!first) *dst++ = ' ';
        first = false;
        if (it.state == kPiece)
            dst = copy_str(it.aux, dst);
        else if (it.len == static_cast<std::size_t>(PyUnicode_GET_LENGTH(it.text)))
            dst = copy_str(it.text, dst);  // written as it stands
        else
            dst = convert_str(it.text, it.flags, dst);
    }
}

// Results at least this long are written without the interpreter lock.
constexpr std::size_t kWriteUnlocked = 1u << 18;

Ref write_list(const Items& items, std::size_t total, Py_UCS4 maxchar) {
    // A one-element list whose element needs no quoting is that element.
    if (items.v.size() == 1) {
        const Item& it = items.v[0];
        if (it.state == kPiece && PyUnicode_CheckExact(it.aux)) return Ref::newref(it.aux);
        if (it.state == kScanned && it.len == static_cast<std::size_t>(PyUnicode_GET_LENGTH(it.text)) &&
            !qc::braced(it.flags))
            return Ref::newref(it.text);
    }
    if (total == 0) return Ref::newref(S.empty);
    Ref out = own(PyUnicode_New(static_cast<Py_ssize_t>(total), maxchar));
    // The table owns every string it writes and the result is not yet
    // shared: a long write lets other threads run meanwhile.
    PyThreadState* ts = total >= kWriteUnlocked ? PyEval_SaveThread() : nullptr;
    switch (PyUnicode_KIND(out.get())) {
        case PyUnicode_1BYTE_KIND:
            write_items(items, PyUnicode_1BYTE_DATA(out.get()));
            break;
        case PyUnicode_2BYTE_KIND:
            write_items(items, PyUnicode_2BYTE_DATA(out.get()));
            break;
        default:
            write_items(items, PyUnicode_4BYTE_DATA(out.get()));
            break;
    }
    if (ts) PyEval_RestoreThread(ts);
    return out;
}

/*
 *----------------------------------------------------------------------
 *
 * finish_list --
 *
 *	Joins the elements of a list, each already passed through quoml(),
 *	into one Tcl list string: every element is scanned by
 *	_Tcl_ScanElement, then converted by _Tcl_ConvertElement with the
 *	flags of its scan, and the results are joined by single spaces.
 *	While the module-level names are the module's own, both steps run
 *	here on the string data (the scans already ran as the elements came
 *	in); otherwise, and for elements that are not exact strings, the
 *	named functions are called, all scans before all conversions, as the
 *	list builder is defined.
 *
 * Results:
 *	A new str, sized exactly and allocated once.
 *
 * Side effects:
 *	Whatever rebound module-level functions do.
 *
 *----------------------------------------------------------------------
 */
Ref finish_list(Items& items, Ctx& ctx, Known* known = nullptr) {
    if (items.untouched(ctx)) {
        if (known) {
            known->scan = items.list_scan.finish();
            known->valid = true;
        }
        return write_list(items, items.total ? items.total - 1 : 0, items.maxchar);
    }
    // Scans: all of them before any conversion.
    for (Item& it : items.v) {
        ctx.tick();
        if (PyUnicode_CheckExact(it.text) && ctx.pristine()) {
            if (it.state != kScanned) scan_item(it);
            continue;
        }
        Ref res = call_named(kScanElement, it.text, ctx);
        Ref one = own(PyLong_FromLong(1));
        Py_XSETREF(it.aux, own(PyObject_GetItem(res.get(), one.get())).release());
        it.state = kPyFlags;
    }
    // Conversions, then the exact size of the joined result.
    std::size_t total = items.v.empty() ? 0 : items.v.size() - 1;  // separators
    Py_UCS4 maxchar = 0x7f;
    Py_ssize_t index = 0;
    for (Item& it : items.v) {
        ctx.tick();
        if (it.state == kScanned && ctx.pristine()) {
            const Py_UCS4 mc = PyUnicode_MAX_CHAR_VALUE(it.text);
            if (mc > maxchar) maxchar = mc;
        } else {
            Ref flags = it.state == kPyFlags ? Ref::newref(it.aux) : flag_set(it.flags);
            Ref piece = call_convert_element(it.text, flags.get(), ctx);
            if (!PyUnicode_Check(piece.get()))
                raise(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", index,
                      Py_TYPE(piece.get())->tp_name);
            unicode_ready(piece.get());
            it.len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(piece.get()));
            const Py_UCS4 mc = PyUnicode_MAX_CHAR_VALUE(piece.get());
            if (mc > maxchar) maxchar = mc;
            Py_XSETREF(it.aux, piece.release());
            it.state = kPiece;
        }
        if (it.len > static_cast<std::size_t>(PY_SSIZE_T_MAX) - total) throw std::bad_alloc();
        total += it.len;
        ++index;
    }
    return write_list(items, total, maxchar);
}

// Elements of a stable array (a tuple's items, a mapping's flattened pairs).
Ref list_from_array(PyObject* const* a, Py_ssize_t n, Ctx& ctx, Known* known = nullptr) {
    RecursionGuard guard(" while converting a list to Tcl text");
    Items items(ctx, static_cast<std::size_t>(n), known);
    // Exact strings go in by runs up to the next pause (see list_from_list);
    // the array itself never changes.
    for (Py_ssize_t i = 0; (ctx.tick(), i < n);) {
        PyObject* item = a[i++];
        if (items.push_if_str(item, ctx)) {
            const Py_ssize_t start = i;
            const Py_ssize_t end = std::min<Py_ssize_t>(n, start + ctx.countdown - 1);
            while (i < end && items.push_if_str(a[i], ctx)) ++i;
            ctx.countdown -= static_cast<int>(i - start);
            continue;
        }
        Known k;
        items.push(quoml_item(item, ctx, &k), ctx, &k);
    }
    return finish_list(items, ctx, known);
}

// ---------------------------------------------------------------------------
// Long lists of strings, written a chunk at a time.
// ---------------------------------------------------------------------------

// A list, tuple or dict with at least this many elements, all exact str, is
// written by write_streamed() instead of through an Items table.
constexpr std::size_t kStreamMin = 1u << 14;

// The elements of an exact list, tuple or dict (key, value, key, value, ...)
// read in order, borrowed.  A list is read by index and its length read
// again at every step, so it may change between steps; a dict is read with
// PyDict_Next, which stays within the dict's current table whatever happens
// to it, and a change of its size ends the reading.
class StrSource {
  public:
    explicit StrSource(PyObject* obj) : obj_(obj), dict_(PyDict_CheckExact(obj)), list_(PyList_CheckExact(obj)) {
        rewind();
    }
    void rewind() noexcept {
        pos_ = 0;
        pending_ = nullptr;
        size_ = dict_ ? PyDict_GET_SIZE(obj_) : 0;
    }
    // 1 with e the next element, 0 at the end, -1 when the element is not an
    // exact str.
    int next(PyObject*& e) noexcept {
        if (dict_) {
            if (pending_) {
                e = pending_;
                pending_ = nullptr;
            } else {
                PyObject* key;
                if (!PyDict_Next(obj_, &pos_, &key, &pending_)) return 0;
                e = key;
            }
        } else if (list_) {
            if (pos_ >= PyList_GET_SIZE(obj_)) return 0;
            e = PyList_GET_ITEM(obj_, pos_++);
        } else {
            if (pos_ >= PyTuple_GET_SIZE(obj_)) return 0;
            e = PyTuple_GET_ITEM(obj_, pos_++);
        }
        return Py_TYPE(e) == &PyUnicode_Type ? 1 : -1;
    }
    // Between a key and its value: the value is borrowed from the dict, so
    // the lock must not be let go here.
    bool mid_pair() const noexcept { return pending_ != nullptr; }
    // False once a dict has changed size: reading on would be meaningless.
    bool intact() const noexcept { return !dict_ || PyDict_GET_SIZE(obj_) == size_; }

  private:
    PyObject* obj_;
    bool dict_, list_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t size_ = 0;
    PyObject* pending_ = nullptr;  // a dict value still to come (borrowed)
};

// Strong references to the elements of one chunk, dropped together.
class Pins {
  public:
    explicit Pins(std::size_t n) { v_.reserve(n + 1); }
    ~Pins() { clear(); }
    Pins(const Pins&) = delete;
    Pins& operator=(const Pins&) = delete;
    void add(PyObject* e) {
        v_.push_back(e);  // never grows: reserved for a whole chunk
        Py_INCREF(e);
    }
    void clear() noexcept {
        for (PyObject* e : v_) Py_DECREF(e);
        v_.clear();
    }
    const std::vector<PyObject*>& items() const noexcept { return v_; }

  private:
    std::vector<PyObject*> v_;
};

// The widest character a string of this kind may hold, as PyUnicode_New
// chooses the kind from it.
inline Py_UCS4 kind_ceiling(Py_UCS4 maxchar) noexcept {
    return maxchar < 0x80 ? 0x7f : maxchar < 0x100 ? 0xff : maxchar < 0x10000 ? 0xffff : 0x10ffff;
}

// Scans and writes the pinned elements of one chunk at dst, each preceded by
// a space unless it is the first of the list.  Touches nothing but the
// strings' own (immutable) data and the result, so it runs without the lock.
template <typename D>
D* write_chunk(const std::vector<PyObject*>& pins, D* dst, bool& first, qc::ListScan* list_scan,
               Py_UCS4& widest) noexcept {
    for (PyObject* e : pins) {
        if (!first) *dst++ = ' ';
        first = false;
        const qc::Scan sc = scan_str(e);
        const std::size_t n = sc.length;
        if (list_scan) {
            const int kind = PyUnicode_KIND(e);
            const void* data = PyUnicode_DATA(e);
            list_scan->add(n ? PyUnicode_READ(kind, data, 0) : 0, n ? PyUnicode_READ(kind, data, n - 1) : 0, sc,
                           sc.flags);
        }
        dst = qc::converted_length(sc, sc.flags) == n ? copy_str(e, dst) : convert_str(e, sc.flags, dst);
        const Py_UCS4 mc = PyUnicode_MAX_CHAR_VALUE(e);
        if (mc > widest) widest = mc;
    }
    return dst;
}

/*
 *----------------------------------------------------------------------
 *
 * write_streamed --
 *
 *	The list string of a long exact list, tuple or dict whose elements
 *	are all exact str, written straight into the result without a table
 *	of its elements, and mostly without the interpreter lock.
 *
 *	A first look at every element (its type, length and widest
 *	character) gives the kind of the result and a size it cannot exceed
 *	(2 * length + 3 per element: braces or a backslash per character, and
 *	the space).  Then, a chunk at a time, the elements are pinned under
 *	the lock and scanned and written without it; the memory past the
 *	end of what is written is never touched, and the result is cut to
 *	its length at the end.  Converting exact strings runs no Python
 *	code, so giving up half way changes nothing: whenever the input no
 *	longer fits what the first look found (another thread put a
 *	non-string or a wider string into it, a dict changed size, the
 *	module-level names were rebound meanwhile), the result is dropped
 *	and the caller converts the input again the ordinary way, as it
 *	stands then.
 *
 *	Every element written is one object read from the input at some
 *	point of the call and written whole, so a list changed by another
 *	thread meanwhile comes out as a mix of its states, element by
 *	element, as iterating it in Python would give, never as a torn
 *	element.
 *
 * Results:
 *	A new str, or a null Ref when the caller must convert the input the
 *	ordinary way (no error set).
 *
 * Side effects:
 *	Lets other threads run.
 *
 *----------------------------------------------------------------------
 */
QUOML_COLD Ref write_streamed(PyObject* obj, Ctx& ctx, Known* known) {
    StrSource src(obj);
    // First look: types, the bound on the size, the widest character.
    std::size_t count = 0, bound = 0;
    Py_UCS4 maxchar = 0x7f;
    PyObject* e;
    int r;
    while ((r = src.next(e)) > 0) {
        unicode_ready(e);
        const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(e));
        if (n > (static_cast<std::size_t>(PY_SSIZE_T_MAX) - bound - 3) / 2) throw std::bad_alloc();
        bound += 2 * n + 3;
        const Py_UCS4 mc = PyUnicode_MAX_CHAR_VALUE(e);
        if (mc > maxchar) maxchar = mc;
        ++count;
        if (!src.mid_pair() && ctx.tick() && (!src.intact() || !ctx.pristine())) return Ref();
    }
    if (r < 0 || count < kStreamMin) return Ref();

    Ref out = own(PyUnicode_New(static_cast<Py_ssize_t>(bound), maxchar));
    const Py_UCS4 ceiling = PyUnicode_MAX_CHAR_VALUE(out.get());
    const int kind = PyUnicode_KIND(out.get());
    void* const base = PyUnicode_DATA(out.get());
    const std::size_t chunk = std::min<std::size_t>(std::max<std::size_t>(count / 16, 4096), 1u << 16);
    Pins pins(chunk);
    qc::ListScan list_scan;
    std::size_t written = 0, room = bound;
    Py_UCS4 widest = 0x7f;
    bool first = true;
    src.rewind();
    for (bool more = true; more;) {
        // Pin a chunk, under the lock.
        while (pins.items().size() < chunk || src.mid_pair()) {
            r = src.next(e);
            if (r == 0) {
                more = false;
                break;
            }
            if (r < 0) return Ref();
            unicode_ready(e);
            const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(e));
            if (PyUnicode_MAX_CHAR_VALUE(e) > ceiling || 2 * n + 3 > room) return Ref();
            room -= 2 * n + 3;
            pins.add(e);
        }
        if (pins.items().empty()) break;
        // Scan and write it, without the lock.
        PyThreadState* ts = PyEval_SaveThread();
        switch (kind) {
            case PyUnicode_1BYTE_KIND: {
                Py_UCS1* d = static_cast<Py_UCS1*>(base);
                written = static_cast<std::size_t>(
                    write_chunk(pins.items(), d + written, first, known ? &list_scan : nullptr, widest) - d);
                break;
            }
            case PyUnicode_2BYTE_KIND: {
                Py_UCS2* d = static_cast<Py_UCS2*>(base);
                written = static_cast<std::size_t>(
                    write_chunk(pins.items(), d + written, first, known ? &list_scan : nullptr, widest) - d);
                break;
            }
            default: {
                Py_UCS4* d = static_cast<Py_UCS4*>(base);
                written = static_cast<std::size_t>(
                    write_chunk(pins.items(), d + written, first, known ? &list_scan : nullptr, widest) - d);
                break;
            }
        }
        PyEval_RestoreThread(ts);
        pins.clear();
        ctx.resumed();
        if (!src.intact() || !ctx.pristine()) return Ref();
    }
    // A string must be of the narrowest kind its characters allow.
    if (written == 0 || kind_ceiling(widest) != ceiling) return Ref();
    PyObject* p = out.release();
    if (PyUnicode_Resize(&p, static_cast<Py_ssize_t>(written)) < 0) {
        Py_XDECREF(p);
        throw PyErrSet{};
    }
    out = Ref::steal(p);
    if (known) {
        known->scan = list_scan.finish();
        known->valid = true;
    }
    return out;
}

// quoml(b) for bytes, while the names are the module's own: the decimal
// values of the bytes, which never need quoting.
Ref bytes_list(PyObject* b) {
    const Py_ssize_t n = PyBytes_GET_SIZE(b);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b));
    if (n == 0) return Ref::newref(S.empty);
    Py_ssize_t total = n - 1;
    for (Py_ssize_t i = 0; i < n; ++i) total += p[i] >= 100 ? 3 : p[i] >= 10 ? 2 : 1;
    Ref out = own(PyUnicode_New(total, 0x7f));
    Py_UCS1* d = PyUnicode_1BYTE_DATA(out.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) *d++ = ' ';
        unsigned v = p[i];
        if (v >= 100) *d++ = static_cast<Py_UCS1>('0' + v / 100);
        if (v >= 10) *d++ = static_cast<Py_UCS1>('0' + v / 10 % 10);
        *d++ = static_cast<Py_UCS1>('0' + v % 10);
    }
    return out;
}

// The list string of an exact list (from_sequence_impl).
Ref list_from_list(PyObject* obj, Ctx& ctx, Known* known) {
    Items items(ctx, static_cast<std::size_t>(PyList_GET_SIZE(obj)), known);
    // The length is read after every pause and every item that may run
    // Python code, and an item is held before its turn.  Exact strings run
    // no Python code: one opens a run of them up to the next pause.
    for (Py_ssize_t i = 0; (ctx.tick(), i < PyList_GET_SIZE(obj));) {
        PyObject* item = PyList_GET_ITEM(obj, i++);
        if (items.push_if_str(item, ctx)) {
            const Py_ssize_t start = i;
            const Py_ssize_t end = std::min<Py_ssize_t>(PyList_GET_SIZE(obj), start + ctx.countdown - 1);
            while (i < end && items.push_if_str(PyList_GET_ITEM(obj, i), ctx)) ++i;
            ctx.countdown -= static_cast<int>(i - start);  // at least one left: the next tick pauses
            continue;
        }
        Ref e = Ref::newref(item);
        Known k;
        items.push(quoml_item(e.get(), ctx, &k), ctx, &k);
    }
    return finish_list(items, ctx, known);
}

/*
 *----------------------------------------------------------------------
 *
 * from_sequence_impl --
 *
 *	_tcl_UpdateStringOfList(listObj): iterates listObj once, passing each
 *	item through quoml(), and joins the results as a Tcl list.  A list
 *	is iterated by index, as its own iterator does, so that it may change
 *	while user code of its items runs.
 *
 * Results:
 *	A new str.
 *
 * Side effects:
 *	Whatever the items' conversions do.
 *
 *----------------------------------------------------------------------
 */
Ref from_sequence_impl(PyObject* obj, Ctx& ctx, Known* known) {
    RecursionGuard guard(" while converting a list to Tcl text");
    PyTypeObject* t = Py_TYPE(obj);
    if ((t == &PyTuple_Type || t == &PyList_Type) && static_cast<std::size_t>(Py_SIZE(obj)) >= kStreamMin &&
        ctx.pristine()) {
        if (Ref streamed = write_streamed(obj, ctx, known)) return streamed;
    }
    if (t == &PyTuple_Type) return list_from_array(PySequence_Fast_ITEMS(obj), PyTuple_GET_SIZE(obj), ctx, known);
    if (t == &PyList_Type) return list_from_list(obj, ctx, known);
    if (t == &PyBytes_Type && ctx.pristine()) return bytes_list(obj);
    Items items(ctx, 8, known);
    for_each_item(obj, ctx, [&](PyObject* e) {
        Known k;
        items.push(quoml_item(e, ctx, &k), ctx, &k);
    });
    return finish_list(items, ctx, known);
}

// Raises what iterating a dict in Python raises once it has changed size
// (here: while other threads ran).
void refuse_resized(PyObject* dict, Py_ssize_t size) {
    if (PyDict_GET_SIZE(dict) != size) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
}

// A mapping flattened to key, value, key, value, ... in its iteration order,
// each value read as obj[key].  An exact dict whose keys hash without Python
// code is read in one pass that runs no Python code at all.
std::vector<Ref> flatten_mapping(PyObject* obj, Ctx& ctx) {
    std::vector<Ref> flat;
    if (PyDict_CheckExact(obj)) {
        bool pure = true;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        const Py_ssize_t size = PyDict_GET_SIZE(obj);
        while (PyDict_Next(obj, &pos, &k, &v)) {
            if (!is_pure_key(k)) {
                pure = false;
                break;
            }
            if (ctx.tick()) refuse_resized(obj, size);
        }
        if (pure) {
            flat.reserve(2 * static_cast<std::size_t>(size));
            pos = 0;
            while (PyDict_Next(obj, &pos, &k, &v)) {
                flat.push_back(Ref::newref(k));
                flat.push_back(Ref::newref(v));
                if (ctx.tick()) refuse_resized(obj, size);
            }
            return flat;
        }
    }
    ctx.taint();  // CAUTION: may run arbitrary Python code
    Ref it = own(PyObject_GetIter(obj));
    for (;;) {
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) {
            if (PyErr_Occurred()) throw PyErrSet{};
            break;
        }
        Ref value = own(PyObject_GetItem(obj, key.get()));
        flat.push_back(std::move(key));
        flat.push_back(std::move(value));
    }
    return flat;
}

Ref list_of(std::vector<Ref>& flat) {
    Ref lst = own(PyList_New(static_cast<Py_ssize_t>(flat.size())));
    for (std::size_t i = 0; i < flat.size(); ++i) PyList_SET_ITEM(lst.get(), static_cast<Py_ssize_t>(i), flat[i].release());
    return lst;
}

// _quoml_from_mapping(obj): the flat key/value list through _quoml_from_sequence.
Ref from_mapping_impl(PyObject* obj, Ctx& ctx, Known* known) {
    RecursionGuard guard(" while converting a mapping to Tcl text");
    if (PyDict_CheckExact(obj) && ctx.pristine()) {
        if (2 * static_cast<std::size_t>(PyDict_GET_SIZE(obj)) >= kStreamMin) {
            if (Ref streamed = write_streamed(obj, ctx, known)) return streamed;
        }
        // Keys and values that convert without Python code go straight in:
        // only other threads can change the dict while it is read, and only
        // while the lock is handed back.
        const Py_ssize_t size = PyDict_GET_SIZE(obj);
        Items items(ctx, 2 * static_cast<std::size_t>(size), known);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool direct = true;
        while (PyDict_Next(obj, &pos, &k, &v)) {
            if (!is_pure_key(k) || !is_pure_scalar(v)) {
                direct = false;
                break;
            }
            if (!items.push_if_str(k, ctx)) items.push(quoml_item(k, ctx), ctx);
            if (!items.push_if_str(v, ctx)) items.push(quoml_item(v, ctx), ctx);
            if (ctx.tick()) {
                refuse_resized(obj, size);
                if (!ctx.pristine()) {  // names rebound meanwhile: start again the general way
                    direct = false;
                    break;
                }
            }
        }
        if (direct) return finish_list(items, ctx, known);
    }
    std::vector<Ref> flat = flatten_mapping(obj, ctx);
    Ref f = lookup(kFromSequence);
    if (f.get() == M.original[kFromSequence]) {
        // The list exists only here, so reading it as an array is the same
        // as iterating it.
        std::vector<PyObject*> a(flat.size());
        for (std::size_t i = 0; i < flat.size(); ++i) a[i] = flat[i].get();
        return list_from_array(a.data(), static_cast<Py_ssize_t>(a.size()), ctx, known);
    }
    Ref lst = list_of(flat);
    ctx.taint();  // CAUTION: may run arbitrary Python code
    return call1(f.get(), lst.get());
}

// ---------------------------------------------------------------------------
// quoml()
// ---------------------------------------------------------------------------

// getattr(obj, name, None), called when truthy.  Returns false when absent.
bool call_protocol(PyObject* obj, PyObject* name, Ref& result) {
    Ref f;
    if (!lookup_attr(obj, name, f)) return false;
    if (!truthy(f.get())) return false;
    result = call0(f.get());
    return true;
}

bool is_instance_named(PyObject* obj, NameId id) {
    Ref cls = lookup(id);
    return check(PyObject_IsInstance(obj, cls.get())) != 0;
}

/*
 *----------------------------------------------------------------------
 *
 * quoml_impl --
 *
 *	quoml(obj): the Tcl string form of any value.  The first rule that
 *	applies decides: __quoml__(); quoml(__tclobj__()); "" for None; str()
 *	of a str; "true"/"false" for a bool; _quoml_from_sequence for a
 *	Sequence or Set; _quoml_from_mapping for a Mapping; str() otherwise.
 *
 * Results:
 *	A new reference: a str, or whatever __quoml__ returned.
 *
 * Side effects:
 *	Whatever the protocol methods, str() and iteration of obj do.
 *
 *----------------------------------------------------------------------
 */
Ref quoml_impl(PyObject* obj, Ctx& ctx, Known* known) {
    PyTypeObject* t = Py_TYPE(obj);
    if (t == &PyUnicode_Type) return Ref::newref(obj);
    if (obj == Py_None) return Ref::newref(S.empty);
    const bool builtin = is_plain_builtin(t);
    if (builtin && ctx.pristine()) {
        if (t == &PyBool_Type) return Ref::newref(obj == Py_True ? S.true_ : S.false_);
        if (t == &PyLong_Type || t == &PyFloat_Type) return own(PyObject_Str(obj));
        // Each level of nesting takes two units of the recursion limit (here
        // and in the list builder), so that the C stack stays well within
        // bounds where the limit counts C calls (3.12 on).
        RecursionGuard guard(" while converting to Tcl text");
        if (t == &PyDict_Type) return from_mapping_impl(obj, ctx, known);
        return from_sequence_impl(obj, ctx, known);
    }
    RecursionGuard guard(" while converting to Tcl text");
    ctx.taint();  // CAUTION: may run arbitrary Python code from here on
    if (!builtin) {
        Ref r;
        if (call_protocol(obj, S.dunder_quoml, r)) return r;
        if (call_protocol(obj, S.dunder_tclobj, r)) return call_named(kQuoml, r.get(), ctx);
    }
    if (obj == Py_None) return Ref::newref(S.empty);
    if (PyUnicode_Check(obj) || is_instance_named(obj, kUnicode)) return str(obj);
    if (PyBool_Check(obj)) return Ref::newref(obj == Py_True ? S.true_ : S.false_);
    if (is_instance_named(obj, kSequence) || is_instance_named(obj, kSet)) return call_named(kFromSequence, obj, ctx);
    if (is_instance_named(obj, kMapping)) return call_named(kFromMapping, obj, ctx);
    return str(obj);
}

// ---------------------------------------------------------------------------
// tclobj()
// ---------------------------------------------------------------------------

bool in_machine_range(PyObject* obj) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
    return overflow == 0 && v >= PY_SSIZE_T_MIN && v <= PY_SSIZE_T_MAX;
}

// -_sysmaxsize - 1 <= obj <= _sysmaxsize, with the names looked up now.
bool in_named_range(PyObject* obj) {
    Ref maxsize = lookup(kSysMaxSize);
    Ref neg = own(PyNumber_Negative(maxsize.get()));
    Ref one = own(PyLong_FromLong(1));
    Ref low = own(PyNumber_Subtract(neg.get(), one.get()));
    if (!check(PyObject_RichCompareBool(low.get(), obj, Py_LE))) return false;
    return check(PyObject_RichCompareBool(obj, maxsize.get(), Py_LE)) != 0;
}

/*
 *----------------------------------------------------------------------
 *
 * tclobj_impl --
 *
 *	tclobj(obj): a value the _tkinter bridge takes as a call argument.
 *	The first rule that applies decides: __tclobj__(); "" for None; the
 *	object itself for bytes, bool, float, str and Tcl_Obj, and for an
 *	exact int within -_sysmaxsize - 1 .. _sysmaxsize; a tuple of
 *	converted items for a Sequence or Set, of converted keys and values
 *	for a Mapping; quoml(obj) otherwise.
 *
 * Results:
 *	A new reference.
 *
 * Side effects:
 *	Whatever the protocol methods, str() and iteration of obj do.
 *
 *----------------------------------------------------------------------
 */
Ref tclobj_impl(PyObject* obj, Ctx& ctx) {
    PyTypeObject* t = Py_TYPE(obj);
    if (t == &PyUnicode_Type || t == &PyBytes_Type || t == &PyFloat_Type || t == &PyBool_Type)
        return Ref::newref(obj);
    if (obj == Py_None) return Ref::newref(S.empty);
    const bool builtin = is_plain_builtin(t);
    if (ctx.pristine()) {
        if (t == &PyLong_Type) return in_machine_range(obj) ? Ref::newref(obj) : own(PyObject_Str(obj));
        if (reinterpret_cast<PyObject*>(t) == M.original[kTclObj]) return Ref::newref(obj);
        if (builtin) {
            RecursionGuard guard(" while converting for Tcl");  // two units per level, as in quoml
            if (t == &PyDict_Type) return tclobj_from_mapping_impl(obj, ctx);
            return tclobj_from_sequence_impl(obj, ctx);
        }
    }
    RecursionGuard guard(" while converting for Tcl");
    ctx.taint();  // CAUTION: may run arbitrary Python code from here on
    if (!builtin) {
        Ref r;
        if (call_protocol(obj, S.dunder_tclobj, r)) return r;
    }
    if (obj == Py_None) return Ref::newref(S.empty);
    if (PyBytes_Check(obj) || PyBool_Check(obj) || PyFloat_Check(obj) || PyUnicode_Check(obj) ||
        is_instance_named(obj, kTclObj))
        return Ref::newref(obj);
    bool int_type = t == &PyLong_Type;
    if (!int_type) {
        Ref long_type = lookup(kLongType);
        int_type = check(PyObject_RichCompareBool(reinterpret_cast<PyObject*>(t), long_type.get(), Py_EQ)) != 0;
    }
    if (int_type && in_named_range(obj)) return Ref::newref(obj);
    if (is_instance_named(obj, kSequence) || is_instance_named(obj, kSet))
        return call_named(kTclobjFromSequence, obj, ctx);
    if (is_instance_named(obj, kMapping)) return call_named(kTclobjFromMapping, obj, ctx);
    return call_named(kQuoml, obj, ctx);
}

// Whether tclobj_impl(o) is o (an exact str, float, bool or bytes: its first
// rule), and the bridge carries it inside a tuple (text of one byte per
// character cannot hold a surrogate).
inline bool carried_as_is(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type) {
        unicode_ready(o);
        return PyUnicode_KIND(o) == PyUnicode_1BYTE_KIND;
    }
    return t == &PyFloat_Type || t == &PyBool_Type || t == &PyBytes_Type;
}

// tclobj(e) for an item of a tuple being built.
inline Ref tclobj_item(PyObject* e, Ctx& ctx) {
    Ref r = ctx.pristine() ? tclobj_impl(e, ctx) : call_named(kTclobj, e, ctx);
    if (Py_TYPE(r.get()) == &PyLong_Type || Py_TYPE(r.get()) == &PyTuple_Type || carried_as_is(r.get())) return r;
    refuse_uncarryable(r.get());
    return r;
}

// The items of v, moved into a new tuple.  The tuple is kept from the
// garbage collector while it is filled, so that no other thread can reach it
// half-filled while the lock is handed back.
Ref tuple_of_refs(std::vector<Ref>& v, Ctx& ctx) {
    const std::size_t n = v.size();
    Ref t = own(PyTuple_New(static_cast<Py_ssize_t>(n)));
    const bool long_tuple = n >= static_cast<std::size_t>(kTicksPerLook);
    if (long_tuple) PyObject_GC_UnTrack(t.get());
    for (std::size_t i = 0; i < n;) {
        const std::size_t stop = std::min(n, i + kTicksPerLook);
        for (; i < stop; ++i) PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), v[i].release());
        if (long_tuple) ctx.tick(kTicksPerLook);
    }
    if (long_tuple) PyObject_GC_Track(t.get());
    return t;
}

// Drops the references of v, letting other threads run now and then.
void drop_refs(std::vector<Ref>& v, Ctx& ctx) {
    for (std::size_t i = 0; i < v.size();) {
        const std::size_t stop = std::min(v.size(), i + kTicksPerLook);
        for (; i < stop; ++i) v[i].reset();
        ctx.tick(kTicksPerLook);
    }
    v.clear();
}

// _tclobj_from_sequence(obj): tuple(tclobj(e) for e in obj), iterated once.
Ref tclobj_from_sequence_impl(PyObject* obj, Ctx& ctx) {
    RecursionGuard guard(" while converting a list for Tcl");
    PyTypeObject* t = Py_TYPE(obj);
    std::vector<Ref> out;
    if (t == &PyList_Type || t == &PyTuple_Type) {
        // A list's length is read after the tick, and its item held before
        // any Python code runs: both may change meanwhile.
        const bool is_list = t == &PyList_Type;
        out.reserve(static_cast<std::size_t>(Py_SIZE(obj)));
        for (Py_ssize_t i = 0; (ctx.tick(), i < Py_SIZE(obj)); ++i) {
            PyObject* item = is_list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
            if (carried_as_is(item) && ctx.pristine()) {
                out.push_back(Ref::newref(item));
                continue;
            }
            Ref e = Ref::newref(item);
            out.push_back(tclobj_item(e.get(), ctx));
        }
        return tuple_of_refs(out, ctx);
    }
    for_each_item(obj, ctx, [&](PyObject* e) { out.push_back(tclobj_item(e, ctx)); });
    return tuple_of_refs(out, ctx);
}

// _tclobj_from_mapping(obj): the flat key/value list through _tclobj_from_sequence.
Ref tclobj_from_mapping_impl(PyObject* obj, Ctx& ctx) {
    RecursionGuard guard(" while converting a mapping for Tcl");
    std::vector<Ref> flat = flatten_mapping(obj, ctx);
    Ref f = lookup(kTclobjFromSequence);
    if (f.get() == M.original[kTclobjFromSequence]) {
        std::vector<Ref> out;
        out.reserve(flat.size());
        for (Ref& e : flat) {
            ctx.tick();
            out.push_back(tclobj_item(e.get(), ctx));
        }
        Ref result = tuple_of_refs(out, ctx);
        drop_refs(flat, ctx);
        return result;
    }
    Ref lst = list_of(flat);
    ctx.taint();  // CAUTION: may run arbitrary Python code
    return call1(f.get(), lst.get());
}

// ---------------------------------------------------------------------------
// The low-level quoting functions.
// ---------------------------------------------------------------------------

// _Tcl_ScanElement(string): (2 * len + 2, flags) of quoml(string).
Ref scan_element_impl(PyObject* string, Ctx& ctx) {
    Ref s = element_text(string, ctx);
    const qc::Scan sc = scan_str(s.get());
    Ref size = own(PyLong_FromSsize_t(2 * PyUnicode_GET_LENGTH(s.get()) + 2));
    Ref flags = flag_set(sc.flags);
    return tuple_of({size.get(), flags.get()});
}

// _Tcl_ConvertElement(src, flags): quoml(src) as one element of a Tcl list.
Ref convert_element_impl(PyObject* src, PyObject* flags, Ctx& ctx) {
    Ref s = element_text(src, ctx);
    const qc::Scan sc = scan_str(s.get());
    if (sc.length == 0) return Ref::newref(S.empty_braces);
    if (has_flag(flags, S.use_braces, ctx) && !has_flag(flags, S.dont_use_braces, ctx))
        return convert_to_new(s.get(), sc, qc::kUseBraces);
    if (sc.leading_brace) {
        // The leading brace is backslashed, and from now on every brace is.
        if (Py_TYPE(flags) == &PySet_Type) {
            check(PySet_Add(flags, S.braces_unmatched));
        } else {
            ctx.taint();  // CAUTION: may run arbitrary Python code
            call_method(flags, S.add, S.braces_unmatched);
        }
    }
    unsigned bits = qc::kDontUseBraces;
    if (sc.braces && (sc.leading_brace || has_flag(flags, S.braces_unmatched, ctx))) bits |= qc::kBracesUnmatched;
    return convert_to_new(s.get(), sc, bits);
}

// ---------------------------------------------------------------------------
// Python entry points.
// ---------------------------------------------------------------------------

const Signature kScanSig{"_Tcl_ScanElement", "_Tcl_ScanElement", {"string"}, 1, 1};
const Signature kConvertSig{"_Tcl_ConvertElement", "_Tcl_ConvertElement", {"src", "flags"}, 2, 2};
const Signature kUpdateSig{"_tcl_UpdateStringOfList", "_tcl_UpdateStringOfList", {"listObj"}, 1, 1};
const Signature kFromMappingSig{"_quoml_from_mapping", "_quoml_from_mapping", {"obj"}, 1, 1};
const Signature kQuomlSig{"quoml", "quoml", {"obj"}, 1, 1};
const Signature kTclobjFromSequenceSig{"_tclobj_from_sequence", "_tclobj_from_sequence", {"obj"}, 1, 1};
const Signature kTclobjFromMappingSig{"_tclobj_from_mapping", "_tclobj_from_mapping", {"obj"}, 1, 1};
const Signature kTclobjSig{"tclobj", "tclobj", {"obj"}, 1, 1};

// One-argument entry: the common positional call skips the parser.
template <const Signature& Sig, Ref (*Impl)(PyObject*, Ctx&)>
Ref one_arg(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg;
    if (nargs == 1 && !kwnames) {
        arg = args[0];
    } else {
        Parsed p = parse(Sig, args, nargs, kwnames);
        arg = p[0];
    }
    Ctx ctx;
    return Impl(arg, ctx);
}

// The Python-level functions that build lists (no outer list to tell).
Ref quoml_top(PyObject* obj, Ctx& ctx) { return quoml_impl(obj, ctx); }
Ref from_sequence_top(PyObject* obj, Ctx& ctx) { return from_sequence_impl(obj, ctx); }
Ref from_mapping_top(PyObject* obj, Ctx& ctx) { return from_mapping_impl(obj, ctx); }

Ref ConvertElement(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kConvertSig, args, nargs, kwnames);
    Ctx ctx;
    return convert_element_impl(p[0], p[1], ctx);
}

PyMethodDef kScanDef = {"_Tcl_ScanElement", PYHELP_FAST((one_arg<kScanSig, scan_element_impl>)),
                        "_Tcl_ScanElement(string)\n--\n\n"
                        "Scan quoml(string) as one Tcl list element: return (size, flags), where size\n"
                        "is twice its length plus 2 and flags is a new set of the strings\n"
                        "'USE_BRACES', 'TCL_DONT_USE_BRACES' and 'BRACES_UNMATCHED'."};
PyMethodDef kConvertDef = {"_Tcl_ConvertElement", PYHELP_FAST(ConvertElement),
                           "_Tcl_ConvertElement(src, flags)\n--\n\n"
                           "Write quoml(src) as one Tcl list element according to the flags of its\n"
                           "scan: in braces, or with backslashes before the characters Tcl would\n"
                           "interpret.  A leading '{' adds 'BRACES_UNMATCHED' to flags."};
PyMethodDef kUpdateDef = {"_tcl_UpdateStringOfList", PYHELP_FAST((one_arg<kUpdateSig, from_sequence_top>)),
                          "_tcl_UpdateStringOfList(listObj)\n--\n\n"
                          "Return the Tcl list string of an iterable: each item passed through\n"
                          "quoml(), scanned, converted and joined by single spaces."};
PyMethodDef kFromMappingDef = {"_quoml_from_mapping", PYHELP_FAST((one_arg<kFromMappingSig, from_mapping_top>)),
                               "_quoml_from_mapping(obj)\n--\n\n"
                               "Return the flat key/value Tcl list of a mapping, in its iteration order."};
PyMethodDef kQuomlDef = {"quoml", PYHELP_FAST((one_arg<kQuomlSig, quoml_top>)),
                         "quoml(obj)\n--\n\n"
                         "Return the Tcl string form of obj: __quoml__() or quoml(__tclobj__()) when\n"
                         "defined, '' for None, a str as it is, 'true'/'false' for a bool, a Tcl list\n"
                         "for a sequence or set, a flat key/value Tcl list for a mapping, str(obj)\n"
                         "otherwise."};
PyMethodDef kTclobjFromSequenceDef = {"_tclobj_from_sequence",
                                      PYHELP_FAST((one_arg<kTclobjFromSequenceSig, tclobj_from_sequence_impl>)),
                                      "_tclobj_from_sequence(obj)\n--\n\n"
                                      "Return a tuple of tclobj() of each item of obj."};
PyMethodDef kTclobjFromMappingDef = {"_tclobj_from_mapping",
                                     PYHELP_FAST((one_arg<kTclobjFromMappingSig, tclobj_from_mapping_impl>)),
                                     "_tclobj_from_mapping(obj)\n--\n\n"
                                     "Return a flat tuple of tclobj() of each key and value of a mapping."};
PyMethodDef kTclobjDef = {"tclobj", PYHELP_FAST((one_arg<kTclobjSig, tclobj_impl>)),
                          "tclobj(obj)\n--\n\n"
                          "Return a value the _tkinter bridge passes to Tcl as it is: __tclobj__() when\n"
                          "defined, '' for None, the object itself for str, bytes, bool, float, Tcl_Obj\n"
                          "and machine-sized int, a tuple for a sequence, set or mapping, quoml(obj)\n"
                          "otherwise.  Text that Tcl cannot carry (a lone surrogate) inside a tuple\n"
                          "raises UnicodeEncodeError, as it does as an argument of its own."};

// ---------------------------------------------------------------------------
// Function objects that carry attributes: quoml and tclobj.
//
// quoml.from_sequence and friends are attributes of the public functions, and
// built-in functions take none, so these two are instances of a small type
// with a __dict__ that forwards calls, name, doc and signature to the
// built-in function made from the same method definition.
// ---------------------------------------------------------------------------

struct FuncObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* builtin;  // the built-in function with the same definition
    PyMethodDef* def;
};

PyObject* Func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FuncObject* f = reinterpret_cast<FuncObject*>(self);
    auto meth = reinterpret_cast<PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>(
        reinterpret_cast<void (*)(void)>(f->def->ml_meth));
    return meth(nullptr, args, PyVectorcall_NARGS(nargsf), kwnames);
}

int Func_traverse(PyObject* self, visitproc visit, void* arg) {
    FuncObject* f = reinterpret_cast<FuncObject*>(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->builtin);
    return 0;
}

int Func_clear(PyObject* self) {
    FuncObject* f = reinterpret_cast<FuncObject*>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->builtin);
    return 0;
}

void Func_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    FuncObject* f = reinterpret_cast<FuncObject*>(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    Func_clear(self);
    PyObject_GC_Del(self);
}

PyObject* Func_repr(PyObject* self) {
    return PyUnicode_FromFormat("<built-in function %s>", reinterpret_cast<FuncObject*>(self)->def->ml_name);
}

PyObject* Func_forward(PyObject* self, void* name) {
    return PyObject_GetAttrString(reinterpret_cast<FuncObject*>(self)->builtin, static_cast<const char*>(name));
}

PyObject* Func_get_module(PyObject*, void*) { return PyUnicode_FromString(kModuleName); }

// inspect.signature() reads __signature__ first: the built-in's signature.
PyObject* Func_get_signature(PyObject* self, void*) {
    return guarded([&] {
        Ref signature = import_from("inspect", "signature");
        return call1(signature.get(), reinterpret_cast<FuncObject*>(self)->builtin);
    });
}

// Pickled by reference, as functions are.
PyObject* Func_reduce(PyObject* self, PyObject*) {
    return PyUnicode_FromString(reinterpret_cast<FuncObject*>(self)->def->ml_name);
}

PyGetSetDef kFuncGetSet[] = {
    {"__name__", Func_forward, nullptr, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", Func_forward, nullptr, nullptr, const_cast<char*>("__qualname__")},
    {"__doc__", Func_forward, nullptr, nullptr, const_cast<char*>("__doc__")},
    {"__text_signature__", Func_forward, nullptr, nullptr, const_cast<char*>("__text_signature__")},
    {"__module__", Func_get_module, nullptr, nullptr, nullptr},
    {"__signature__", Func_get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kFuncMethods[] = {
    {"__reduce__", Func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject FuncType = [] {
    PyTypeObject t = compat::static_type();
    t.tp_name = "trelmo.tcl.quoml.converter";
    t.tp_basicsize = sizeof(FuncObject);
    t.tp_dealloc = Func_dealloc;
    t.tp_vectorcall_offset = offsetof(FuncObject, vectorcall);
    t.tp_repr = Func_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_traverse = Func_traverse;
    t.tp_clear = Func_clear;
    t.tp_weaklistoffset = offsetof(FuncObject, weakrefs);
    t.tp_methods = kFuncMethods;
    t.tp_getset = kFuncGetSet;
    t.tp_dictoffset = offsetof(FuncObject, dict);
    return t;
}();

Ref make_func(PyMethodDef* def, PyObject* modname) {
    Ref builtin = own(PyCFunction_NewEx(def, nullptr, modname));
    FuncObject* f = PyObject_GC_New(FuncObject, &FuncType);
    if (!f) throw PyErrSet{};
    f->vectorcall = Func_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->builtin = builtin.release();
    f->def = def;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

// ---------------------------------------------------------------------------
// trelmo.tcl.instancemethod: the class-namespace form of every instance
// method the extension modules define in C++ (pyhelp::method_new), one static
// type for the whole package, handed to the sibling modules through the
// capsule.  It binds as the built-in instancemethod does (read from the class
// it is the function itself, read from an instance a bound method) and
// delegates other attributes to the function, and it is a method descriptor:
// `obj.m(...)` and the runtime's slot calls (`obj[k]` through __getitem__)
// call it with the instance first, without making the bound method each time.
// Calling the type needs the function, so that no object of it is ever
// without one; the type itself cannot be changed or subclassed.
// ---------------------------------------------------------------------------

struct MethodObject {
    PyObject_HEAD
    PyObject* func;  // never NULL
    vectorcallfunc vectorcall;
};

PyObject* method_func_of(PyObject* self) noexcept { return reinterpret_cast<MethodObject*>(self)->func; }

PyObject* Method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(method_func_of(self), args, nargsf, kwnames);
}

PyObject* Method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj) return Py_NewRef(method_func_of(self));
    return PyMethod_New(method_func_of(self), obj);
}

PyObject* Method_getattro(PyObject* self, PyObject* name) {
    PyObject* r = PyObject_GenericGetAttr(self, name);
    if (r || !PyErr_ExceptionMatches(PyExc_AttributeError)) return r;
    PyErr_Clear();
    return PyObject_GetAttr(method_func_of(self), name);
}

PyObject* Method_get_func(PyObject* self, void*) { return Py_NewRef(method_func_of(self)); }

PyObject* Method_get_doc(PyObject* self, void*) { return PyObject_GetAttrString(method_func_of(self), "__doc__"); }

PyObject* Method_repr(PyObject* self) {
    return guarded([&] {
        Ref name = getattr(method_func_of(self), "__name__");
        return own(PyUnicode_FromFormat("<instancemethod %S at %p>", name.get(), self));
    });
}

PyObject* Method_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    const int eq = PyObject_RichCompareBool(method_func_of(a), method_func_of(b), Py_EQ);
    if (eq < 0) return nullptr;
    return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

int Method_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(method_func_of(self));
    return 0;
}

void Method_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<MethodObject*>(self)->func);
    PyObject_GC_Del(self);
}

extern PyTypeObject MethodType;  // defined below

Ref method_of(PyObject* func) {
    MethodObject* m = PyObject_GC_New(MethodObject, &MethodType);
    if (!m) throw PyErrSet{};
    m->func = Py_NewRef(func);
    m->vectorcall = Method_vectorcall;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(m));
    return Ref::steal(reinterpret_cast<PyObject*>(m));
}

// instancemethod(function): the one way to make one.
PyObject* Method_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        if (kwargs && PyDict_GET_SIZE(kwargs)) raise(PyExc_TypeError, "instancemethod() takes no keyword arguments");
        PyObject* func;
        if (!PyArg_UnpackTuple(args, "instancemethod", 1, 1, &func)) throw PyErrSet{};
        if (!PyCallable_Check(func)) raise(PyExc_TypeError, "instancemethod() argument must be callable");
        return method_of(func);
    });
}

PyGetSetDef kMethodGetSet[] = {
    {"__func__", Method_get_func, nullptr, nullptr, nullptr},
    {"__doc__", Method_get_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject MethodType = [] {
    PyTypeObject t = compat::static_type();
    t.tp_name = "trelmo.tcl.instancemethod";
    t.tp_doc = "instancemethod(function)\n--\n\n"
               "The class-namespace form of an instance method: the function itself when\n"
               "read from the class, a bound method when read from an instance.";
    t.tp_basicsize = sizeof(MethodObject);
    t.tp_dealloc = Method_dealloc;
    t.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    t.tp_repr = Method_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = Method_getattro;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_traverse = Method_traverse;
    t.tp_richcompare = Method_richcompare;
    t.tp_getset = kMethodGetSet;
    t.tp_descr_get = Method_descr_get;
    t.tp_new = Method_new;
    return t;
}();

// ---------------------------------------------------------------------------
// C entry points for the sibling modules.
// ---------------------------------------------------------------------------

PyObject* capi_quoml(PyObject* obj) {
    return guarded([&] {
        Ctx ctx;
        return quoml_impl(obj, ctx);
    });
}

PyObject* capi_tclobj(PyObject* obj) {
    return guarded([&] {
        Ctx ctx;
        return tclobj_impl(obj, ctx);
    });
}

int capi_names_hold() {
    try {
        return names_are_own() ? 1 : 0;
    } catch (const PyErrSet&) {
        return -1;
    }
}

int capi_pristine() {
    try {
        return builtin_abc_answers_hold() && names_are_own() ? 1 : 0;
    } catch (const PyErrSet&) {
        return -1;
    }
}

PyObject* capi_loaded(PyObject* name) {
    for (int i = 0; i < kNameCount; ++i)
        if (name == S.names[i]) return M.original[i];
    if (!PyUnicode_Check(name)) return nullptr;
    for (int i = 0; i < kNameCount; ++i) {
        int eq = PyUnicode_Compare(name, S.names[i]);
        if (eq == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
        if (eq == 0) return M.original[i];
    }
    return nullptr;
}

QuomlCAPI kCAPI = {TRELMO_QUOML_CAPI_VERSION, nullptr,       nullptr,     capi_quoml, capi_tclobj,
                   capi_names_hold,           capi_pristine, capi_loaded, &MethodType};

// ---------------------------------------------------------------------------
// Module.
// ---------------------------------------------------------------------------

const char kModuleDoc[] =
    "Python values as Tcl text and as values for the _tkinter bridge.\n"
    "\n"
    "quoml(obj) gives the Tcl string form of any value, with Tcl's list-element\n"
    "quoting for sequences, sets and mappings; tclobj(obj) gives a value that\n"
    "_tkinter passes to Tcl without re-parsing (tuples for lists).  Classes take\n"
    "part through __quoml__() and __tclobj__().  The conversions call each other\n"
    "through the module-level names, so rebinding one changes later conversions.";

PyModuleDef module_def = module_def_of(kModuleName, kModuleDoc);

// Binds name to value and remembers value as the module's own.
void add_named(PyObject* m, NameId id, PyObject* value) {
    check(PyDict_SetItem(M.dict, S.names[id], value));
    Py_XSETREF(M.original[id], Py_NewRef(value));
    (void)m;
}

Ref init_module() {
    if (M.module) return Ref::newref(M.module);
    check(PyType_Ready(&FuncType));
    check(PyType_Ready(&MethodType));
    Ref m = new_module(&module_def, kInterned);
    M.dict = PyModule_GetDict(m.get());
    PyObject* mod = m.get();
    Ref modname = from_utf8(kModuleName);

    Ref abc = import("collections.abc");
    Ref mapping = getattr(abc.get(), "Mapping");
    Ref sequence = getattr(abc.get(), "Sequence");
    Ref set = getattr(abc.get(), "Set");
    add_named(mod, kMapping, mapping.get());
    add_named(mod, kSequence, sequence.get());
    add_named(mod, kSet, set.get());
    Ref tcl_obj = import_from("_tkinter", "Tcl_Obj");
    add_named(mod, kTclObj, tcl_obj.get());
    Ref sys = import("sys");
    add_object(mod, "sys", sys.get());
    // Whether this process runs the fast paths (read at import; see pyhelp.hpp).
    add_object(mod, "_fast_paths", pyhelp::fast_paths() ? Py_True : Py_False);
    add_named(mod, kUnicode, reinterpret_cast<PyObject*>(&PyUnicode_Type));

    Ref scan = own(PyCFunction_NewEx(&kScanDef, nullptr, modname.get()));
    add_named(mod, kScanElement, scan.get());
    Ref convert = own(PyCFunction_NewEx(&kConvertDef, nullptr, modname.get()));
    add_named(mod, kConvertElement, convert.get());
    Ref update = own(PyCFunction_NewEx(&kUpdateDef, nullptr, modname.get()));
    add_object(mod, "_tcl_UpdateStringOfList", update.get());
    add_named(mod, kFromSequence, update.get());
    Ref from_mapping = own(PyCFunction_NewEx(&kFromMappingDef, nullptr, modname.get()));
    add_named(mod, kFromMapping, from_mapping.get());
    Ref quoml = make_func(&kQuomlDef, modname.get());
    add_named(mod, kQuoml, quoml.get());

    Ref maxsize = getattr(sys.get(), "maxsize");
    add_named(mod, kSysMaxSize, maxsize.get());
    Ref one = own(PyLong_FromLong(1));
    Ref above = own(PyNumber_Add(maxsize.get(), one.get()));
    add_named(mod, kLongType, reinterpret_cast<PyObject*>(Py_TYPE(above.get())));

    Ref t_from_sequence = own(PyCFunction_NewEx(&kTclobjFromSequenceDef, nullptr, modname.get()));
    add_named(mod, kTclobjFromSequence, t_from_sequence.get());
    Ref t_from_mapping = own(PyCFunction_NewEx(&kTclobjFromMappingDef, nullptr, modname.get()));
    add_named(mod, kTclobjFromMapping, t_from_mapping.get());
    Ref tclobj = make_func(&kTclobjDef, modname.get());
    add_named(mod, kTclobj, tclobj.get());

    setattr(quoml.get(), S.from_sequence, update.get());
    setattr(quoml.get(), S.from_mapping, from_mapping.get());
    setattr(tclobj.get(), S.from_sequence, t_from_sequence.get());
    setattr(tclobj.get(), S.from_mapping, t_from_mapping.get());

    quoml_casts::add_to_module(mod, tcl_obj.get());

    M.get_cache_token = import_from("abc", "get_cache_token").release();
    M.getswitchinterval = getattr(sys.get(), "getswitchinterval").release();
    kCAPI.quoml_func = quoml.get();
    kCAPI.tclobj_func = tclobj.get();
    Ref capsule = own(PyCapsule_New(&kCAPI, TRELMO_QUOML_CAPSULE, nullptr));
    add_object(mod, "_C_API", capsule.get());

    M.names.init(M.dict);
    for (int i = 0; i < kNameCount; ++i) M.names.expect(S.names[i], M.original[i]);
    M.module = Py_NewRef(mod);
    return m;
}

}  // namespace

PYHELP_MODULE_INIT(quoml, init_module)
