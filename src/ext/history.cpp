// history.cpp -- the trelmo.tcl.history extension module: a bounded record of
// the calls made to a Tcl interpreter (History), each call an Entry with a
// timestamp, and named markers that file the calls of one stretch of a script.
//
// When loaded it imports the modules re and logging, collections.deque,
// get_time from trelmo.utils.utils and quoml from the sibling module
// trelmo.tcl.quoml (whose C entry point it calls while the module-level name
// `quoml` is still that function), and binds the logger 'trelmo.tcl' as the
// module-level name `log`.  Like Python code, the methods read these
// module-level names at call time, so rebinding one (a test patching `log` or
// `get_time`) takes effect at once.
#include <cstring>

#include "guard.hpp"
#include "pyhelp.hpp"
#include "quoml_capi.hpp"

using namespace pyhelp;

namespace {

// ---------------------------------------------------------------------------
// Module state.  All pointers are owned references kept for the life of the
// process (the module is initialised once and never unloaded).
// ---------------------------------------------------------------------------
struct State {
    PyObject* no_args = nullptr;  // ()
    PyObject* dict = nullptr;  // the module's __dict__: module-level names are read here at call time
    PyObject* Entry = nullptr;         // the class as created (the fast path compares the name with it)
    PyObject* Entry_init = nullptr;    // the object stored as Entry.__init__
    PyObject* debug_level = nullptr;   // logging.DEBUG
    PyObject* count_default = nullptr; // 20
    const QuomlCAPI* capi = nullptr;   // quoml's C entry points
    PyObject* logger_debug = nullptr;  // logging.Logger.debug as loaded
    // The names read on every append, with the objects bound to them at load.
    guard::NameGuard log_name, entry_name;
    PyObject* log = nullptr;
    guard::TypeMemo<1> entry_init;  // Entry while its __init__ is ours
    PyTypeObject* deque_type = nullptr;  // collections.deque (a built-in type: its methods cannot change)
    PyCFunction deque_append = nullptr;  // the C function of deque.append, when it takes one argument
} M;

#define HISTORY_NAMES(X) \
    X(log, "log") \
    X(get_time, "get_time") \
    X(deque, "deque") \
    X(re, "re") \
    X(Entry, "Entry") \
    X(isEnabledFor, "isEnabledFor") \
    X(debug, "debug") \
    X(maxlen, "maxlen") \
    X(enabled, "enabled") \
    X(history_, "__history__") \
    X(markers_, "__markers__") \
    X(active_, "__activeMarkers__") \
    X(timestamp, "timestamp") \
    X(api, "api") \
    X(strftime, "strftime") \
    X(append, "append") \
    X(clear, "clear") \
    X(remove, "remove") \
    X(values, "values") \
    X(compile, "compile") \
    X(search, "search") \
    X(enable, "enable") \
    X(str_, "__str__") \
    X(init_, "__init__") \
    X(stamp_format, "%Y-%m-%dT%H:%M:%S.%f") \
    X(msg_enabled, "TclHistory is enabled.") \
    X(msg_disabled, "TclHistory is disabled.") \
    X(words, "words") \
    X(quoml, "quoml") \
    X(newline, "\n") \
    X(write, "write") \
    X(close, "close")
struct Names {
    HISTORY_NAMES(PYHELP_NAME_FIELD)
} S;
const InternEntry kNames[] = {HISTORY_NAMES(PYHELP_NAME_ENTRY)};

constexpr long kMaxHistory = 9999;  // History.__MAX_HISTORY__, the default of max_history

// A module-level name, read now (borrowed from the module dict, so the caller
// holds it with Ref::newref before running code that may rebind it).
PyObject* global_borrowed(PyObject* name) { return module_global_borrowed(M.dict, name); }
Ref global(PyObject* name) { return Ref::newref(global_borrowed(name)); }

// The module-level name `name`, read now: `loaded` while `still` holds (the
// namespace unchanged, or the name bound to it still), else what the
// namespace holds.
Ref global_as_loaded(PyObject* name, guard::NameGuard& still, PyObject* loaded) {
    if (loaded && still.holds()) return Ref::newref(loaded);
    return global(name);
}

// deque(maxlen=maxlen) through the module-level name `deque`.
Ref new_deque(PyObject* maxlen) {
    Ref deque = global(S.deque);
    Ref kwnames = tuple_of({S.maxlen});
    PyObject* argv[] = {nullptr, maxlen};
    return own(PyObject_Vectorcall(deque.get(), argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

// log.debug(text) for a message that costs nothing to build.
void log_debug(PyObject* text) {
    Ref log = global(S.log);
    call_method1(log.get(), S.debug, text);
}

// Whether log.debug is logging.Logger.debug (found on the class, ordinary
// attribute lookup, not shadowed by the instance), which passes a message on
// only when self.isEnabledFor(DEBUG) says so.  Looked up each time, as the
// call would look it up: this decides what the history does (whether the
// line is built), so it is the same with the shortcuts switched off.
bool debug_is_loggers(PyObject* log) {
    PyTypeObject* tp = Py_TYPE(log);
    if (tp->tp_getattro != PyObject_GenericGetAttr || !M.logger_debug) return false;
    if (compat::type_lookup(tp, S.debug) != M.logger_debug) return false;
    return guard::instance_lacks(log, S.debug);
}

/*
 *----------------------------------------------------------------------
 *
 * log_item --
 *
 *      log.debug("% " + str(item)), log being the module-level name read
 *      now.  While `debug` is the logging module's own method
 *      (debug_is_loggers), the line is built and passed only when
 *      log.isEnabledFor(logging.DEBUG) answers true -- the test that method
 *      makes before anything else, asked the way Python code asks it, so a
 *      replaced isEnabledFor, a disabled logger and every reconfiguration
 *      count.  A replaced `debug` (on the instance, on the class, in a
 *      subclass) is always called with the line.
 *
 * Results:
 *      None.
 *
 * Side effects:
 *      Logging.  CAUTION: may run arbitrary Python code.
 *
 *----------------------------------------------------------------------
 */
void log_item(PyObject* item) {
    Ref log = global_as_loaded(S.log, M.log_name, M.log);
    if (debug_is_loggers(log.get()) &&
        !truthy(call_method1(log.get(), S.isEnabledFor, M.debug_level).get()))
        return;
    Ref text = str(item);
    Ref msg = own(PyUnicode_FromFormat("%% %U", text.get()));
    call_method1(log.get(), S.debug, msg.get());
}

// get_time() through the module-level name, read now: the entry's timestamp.
Ref take_timestamp() {
    Ref get_time = global(S.get_time);
    return call0(get_time.get());
}

// ---------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------

// Whether the ready str w of length len holds a space character.
bool has_space(PyObject* w, Py_ssize_t len) {
    if (PyUnicode_KIND(w) == PyUnicode_1BYTE_KIND)
        return len && std::memchr(PyUnicode_1BYTE_DATA(w), ' ', (std::size_t)len) != nullptr;
    return PyUnicode_FindChar(w, ' ', 0, len, 1) >= 0;  // cannot fail: the indices are in range
}

/*
 *----------------------------------------------------------------------
 *
 * join_words --
 *
 *      The text of a call given as a sequence of words: the words joined
 *      by single spaces, each word that holds a space character wrapped in
 *      braces ('set x {a b}').  This is a readable log form, not a Tcl list:
 *      other special characters are left as they are.
 *
 * Results:
 *      A new str.  TypeError when an item is not a str (the wording of
 *      str.join); the error of iterating api when it is not iterable.
 *
 * Side effects:
 *      Iterates api once when it is neither a list nor a tuple (CAUTION: may
 *      run arbitrary Python code).  No code runs between the two passes.
 *
 *----------------------------------------------------------------------
 */
Ref join_words(PyObject* api) {
    Ref seq = (PyList_CheckExact(api) || PyTuple_CheckExact(api)) ? Ref::newref(api) : own(PySequence_List(api));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    // Pass 1: check the items, size the text exactly.
    Py_ssize_t total = n > 0 ? n - 1 : 0;  // the separating spaces
    Py_UCS4 maxchar = 127;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* w = items[i];
        if (!PyUnicode_Check(w))
            raise(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i, Py_TYPE(w)->tp_name);
        unicode_ready(w);
        const Py_ssize_t len = PyUnicode_GET_LENGTH(w);
        const bool braced = has_space(w, len);
        const Py_ssize_t add = len + (braced ? 2 : 0);
        if (add > PY_SSIZE_T_MAX - total) {
            PyErr_NoMemory();
            throw PyErrSet{};
        }
        total += add;
        const Py_UCS4 mc = PyUnicode_MAX_CHAR_VALUE(w);
        if (mc > maxchar) maxchar = mc;
    }
    // Pass 2: write the text into one new string.
    Ref out = own(PyUnicode_New(total, maxchar));
    const int kind = PyUnicode_KIND(out.get());
    void* data = PyUnicode_DATA(out.get());
    Py_ssize_t pos = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* w = items[i];
        const Py_ssize_t len = PyUnicode_GET_LENGTH(w);
        const bool braced = has_space(w, len);
        if (i) PyUnicode_WRITE(kind, data, pos++, ' ');
        if (braced) PyUnicode_WRITE(kind, data, pos++, '{');
        if (kind == PyUnicode_1BYTE_KIND) {
            // every word is one-byte text too (its characters are at most the text's)
            if (len) std::memcpy(static_cast<Py_UCS1*>(data) + pos, PyUnicode_1BYTE_DATA(w), (std::size_t)len);
        } else if (len) {
            check_size(PyUnicode_CopyCharacters(out.get(), pos, w, 0, len));
        }
        pos += len;
        if (braced) PyUnicode_WRITE(kind, data, pos++, '}');
    }
    return out;
}

// Entry.__init__ for self: the call text first, then the timestamp, then the
// attributes timestamp, api and words in that order.  A call given as words
// keeps them as a tuple (a snapshot: the caller's list may change later), so
// that the call can be written back as a script; a call given as text has no
// words (None).
void entry_setup(PyObject* self, PyObject* api) {
    const bool is_text = PyUnicode_Check(api);
    Ref words = is_text ? none() : own(PySequence_Tuple(api));  // iterates api once
    Ref text = is_text ? Ref::newref(api) : join_words(words.get());
    Ref stamp = take_timestamp();
    setattr(self, S.timestamp, stamp.get());
    setattr(self, S.api, text.get());
    setattr(self, S.words, words.get());
}

const Signature kEntryInit{"__init__", "Entry.__init__", {"self", "api"}, 2, 2};

Ref Entry_init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Fixed<2> f(kEntryInit, args, nargs, kwnames);
    entry_setup(f[0], f[1]);
    return none();
}

const Signature kEntryStr{"__str__", "Entry.__str__", {"self"}, 1, 1};

Ref Entry_str(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kEntryStr, args, nargs, kwnames);
    Ref stamp = getattr(p[0], S.timestamp);
    Ref when = call_method1(stamp.get(), S.strftime, S.stamp_format);
    Ref api = getattr(p[0], S.api);
    return own(PyUnicode_FromFormat("%S: %S", when.get(), api.get()));
}

const Signature kEntryRepr{"__repr__", "Entry.__repr__", {"self"}, 1, 1};

Ref Entry_repr(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kEntryRepr, args, nargs, kwnames);
    Ref text = call_method0(p[0], S.str_);
    Ref ident = own(PyLong_FromVoidPtr(p[0]));
    Ref hex = own(PyNumber_ToBase(ident.get(), 16));
    return own(PyUnicode_FromFormat("<Entry '%S' at %S>", text.get(), hex.get()));
}

MethodSpec kEntryMethods[] = {
    {{"__init__", PYHELP_FAST(Entry_init),
      "__init__(self, api)\n--\n\n"
      "Record one call.  api is the call's text, or a sequence of words, which\n"
      "is joined with single spaces, a word holding a space written in braces,\n"
      "and kept as the tuple words (None for text).  The timestamp is taken\n"
      "from get_time() now."},
     Kind::Instance},
    {{"__str__", PYHELP_FAST(Entry_str),
      "__str__(self)\n--\n\nThe timestamp to the microsecond, a colon, a space and the call's text."},
     Kind::Instance},
    {{"__repr__", PYHELP_FAST(Entry_repr),
      "__repr__(self)\n--\n\n\"<Entry '<text>' at <hex id>>\", the text being str(self)."},
     Kind::Instance},
};

// Entry(item) through the module-level name `Entry`.  While that name is
// still this module's own class, unchanged in the parts a call goes through
// (metaclass, __new__, __init__), the instance is made as object.__new__
// makes it and initialised directly: the same object, without the generic
// call machinery.
Ref make_entry(PyObject* item) {
    Ref cls = global_as_loaded(S.Entry, M.entry_name, M.Entry);
    if (cls.get() == M.Entry) {
        auto* tp = (PyTypeObject*)M.Entry;
        if (Py_TYPE(tp) == &PyType_Type && tp->tp_new == PyBaseObject_Type.tp_new &&
            (M.entry_init.hit(tp) || guard::type_resolves(tp, S.init_, M.Entry_init))) {
            if (!M.entry_init.hit(tp)) M.entry_init.store(tp);
            Ref self = own(PyBaseObject_Type.tp_new(tp, M.no_args, nullptr));  // object.__new__(cls)
            entry_setup(self.get(), item);
            return self;
        }
    }
    return call1(cls.get(), item);
}

// ---------------------------------------------------------------------------
// History
// ---------------------------------------------------------------------------

const Signature kHistoryInit{"__init__", "History.__init__", {"self", "max_history"}, 2, 1};

Ref History_init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kHistoryInit, args, nargs, kwnames);
    PyObject* self = p[0];
    Ref dflt;
    PyObject* max_history = p[1];
    if (!max_history) {
        dflt = own(PyLong_FromLong(kMaxHistory));
        max_history = dflt.get();
    }
    Ref history = new_deque(max_history);
    setattr(self, S.history_, history.get());
    Ref markers = own(PyDict_New());
    setattr(self, S.markers_, markers.get());
    Ref active = own(PyList_New(0));
    setattr(self, S.active_, active.get());
    call_method0(self, S.enable);
    return none();
}

const Signature kHistoryEnable{"enable", "History.enable", {"self"}, 1, 1};

// self.enabled = flag, and the matching debug message.
Ref set_enabled(PyObject* self, PyObject* flag, PyObject* message) {
    setattr(self, S.enabled, flag);
    log_debug(message);
    return none();
}

Ref History_enable(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return set_enabled(Fixed<1>(kHistoryEnable, args, nargs, kwnames)[0], Py_True, S.msg_enabled);
}

const Signature kHistoryDisable{"disable", "History.disable", {"self"}, 1, 1};

Ref History_disable(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return set_enabled(Fixed<1>(kHistoryDisable, args, nargs, kwnames)[0], Py_False, S.msg_disabled);
}

/*
 *----------------------------------------------------------------------
 *
 * history_append --
 *
 *      Record one call: log "% <item>" at debug level (whether or not the
 *      history is enabled), then, while enabled, make one Entry and append
 *      it to __history__ and to the log of every active marker, in the
 *      order of __activeMarkers__ (a marker listed twice gets it twice).
 *
 *      The log line is the item's str() after "% "; a tuple item is written
 *      the same way, as one value (see log_item).
 *
 * Results:
 *      None.
 *
 * Side effects:
 *      Logging; the history and marker queues drop their oldest entry when
 *      full.  CAUTION: may run arbitrary Python code (str(item), logging
 *      handlers, get_time, marker hashing).
 *
 *----------------------------------------------------------------------
 */
void history_append(PyObject* self, PyObject* item) {
    log_item(item);
    if (!truthy(getattr(self, S.enabled).get())) return;
    Ref entry = make_entry(item);
    Ref history = getattr(self, S.history_);
    if (Py_TYPE(history.get()) == M.deque_type && M.deque_append)
        own(M.deque_append(history.get(), entry.get()));  // history.append(entry) of a plain deque
    else
        call_method1(history.get(), S.append, entry.get());
    Ref active = getattr(self, S.active_);
    if (PyList_CheckExact(active.get()) && PyList_GET_SIZE(active.get()) == 0) return;
    Ref it = own(PyObject_GetIter(active.get()));
    while (Ref marker = Ref::steal(PyIter_Next(it.get()))) {
        Ref markers = getattr(self, S.markers_);
        Ref log = own(PyObject_GetItem(markers.get(), marker.get()));
        call_method1(log.get(), S.append, entry.get());
    }
    if (PyErr_Occurred()) throw PyErrSet{};
}

const Signature kHistoryAppend{"append", "History.append", {"self", "item"}, 2, 2};

Ref History_append(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Fixed<2> f(kHistoryAppend, args, nargs, kwnames);
    history_append(f[0], f[1]);
    return none();
}

const Signature kHistoryClear{"clear", "History.clear", {"self", "marker", "clear_all"}, 3, 1};

Ref History_clear(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kHistoryClear, args, nargs, kwnames);
    PyObject* self = p[0];
    PyObject* marker = p.get(1, Py_None);
    PyObject* clear_all = p.get(2, Py_False);
    if (truthy(clear_all)) {
        // Every marker log first (markers stay registered and active), then the history.
        Ref markers = getattr(self, S.markers_);
        Ref logs = call_method0(markers.get(), S.values);
        Ref it = own(PyObject_GetIter(logs.get()));
        while (Ref log = Ref::steal(PyIter_Next(it.get()))) call_method0(log.get(), S.clear);
        if (PyErr_Occurred()) throw PyErrSet{};
        Ref history = getattr(self, S.history_);
        call_method0(history.get(), S.clear);
    } else if (marker == Py_None) {
        Ref history = getattr(self, S.history_);
        call_method0(history.get(), S.clear);
    } else {
        Ref markers = getattr(self, S.markers_);
        Ref log = own(PyObject_GetItem(markers.get(), marker));  // KeyError for a marker never started
        call_method0(log.get(), S.clear);
    }
    return none();
}

const Signature kHistoryStart{"start_marker", "History.start_marker", {"self", "marker"}, 2, 2};

Ref History_start_marker(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kHistoryStart, args, nargs, kwnames);
    PyObject* self = p[0];
    PyObject* marker = p[1];
    {
        Ref markers = getattr(self, S.markers_);
        if (!check(PySequence_Contains(markers.get(), marker))) {
            Ref history = getattr(self, S.history_);
            Ref maxlen = getattr(history.get(), S.maxlen);
            Ref log = new_deque(maxlen.get());
            markers = getattr(self, S.markers_);
            check(PyObject_SetItem(markers.get(), marker, log.get()));
        }
    }
    Ref active = getattr(self, S.active_);
    call_method1(active.get(), S.append, marker);
    return none();
}

const Signature kHistoryEnd{"end_marker", "History.end_marker", {"self", "marker"}, 2, 2};

Ref History_end_marker(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kHistoryEnd, args, nargs, kwnames);
    Ref active = getattr(p[0], S.active_);
    call_method1(active.get(), S.remove, p[1]);  // ValueError when the marker is not active
    return none();
}

// The queue of entries of the history (marker None) or of one marker's log.
// A marker never started raises Exception("No such marker: <marker>") while
// handling the KeyError of the lookup.
Ref entries_of(PyObject* self, PyObject* marker) {
    if (marker == Py_None) return getattr(self, S.history_);
    Ref markers = getattr(self, S.markers_);
    Ref source = Ref::steal(PyObject_GetItem(markers.get(), marker));
    if (source) return source;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyErrSet{};
    Ref caught = fetch_exception();
    Handling handling(caught.get());
    // The marker's str(), also for a tuple marker (which the % operator
    // would take as its argument list).
    Ref text = str(marker);
    Ref msg = own(PyUnicode_FromFormat("No such marker: %U", text.get()));
    Ref exc = call1(PyExc_Exception, msg.get());
    raise_instance(exc.get());
}

/*
 *----------------------------------------------------------------------
 *
 * History_filter --
 *
 *      filter(marker=None, count=20, regex=None): the entries of the
 *      history (or of one marker's log) sliced [-count:], oldest first,
 *      then, when regex is truthy, those whose text re.compile(regex)
 *      finds a match in.  The count cut comes first: the result is the
 *      matching entries among the last count, not the last count matches.
 *
 * Results:
 *      A new list (the entries are shared with the queues).  Exception
 *      "No such marker: <marker>" for a marker never started, raised while
 *      handling the lookup's KeyError; TypeError for a count that cannot
 *      be negated; re's error for a bad pattern.
 *
 * Side effects:
 *      None.
 *
 *----------------------------------------------------------------------
 */
const Signature kHistoryFilter{"filter", "History.filter", {"self", "marker", "count", "regex"}, 4, 1};

Ref History_filter(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kHistoryFilter, args, nargs, kwnames);
    PyObject* self = p[0];
    PyObject* marker = p.get(1, Py_None);
    PyObject* count = p.get(2, M.count_default);
    PyObject* regex = p.get(3, Py_None);
    Ref source = entries_of(self, marker);
    Ref entries = own(PySequence_List(source.get()));
    Ref start = own(PyNumber_Negative(count));
    Ref cut = own(PySlice_New(start.get(), nullptr, nullptr));
    Ref last = own(PyObject_GetItem(entries.get(), cut.get()));
    if (!truthy(regex)) return last;
    Ref re = global(S.re);
    Ref compile = getattr(re.get(), S.compile);
    Ref compiled = call1(compile.get(), regex);
    Ref kept = own(PyList_New(0));
    Ref it = own(PyObject_GetIter(last.get()));
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        Ref api = getattr(entry.get(), S.api);
        Ref found = call_method1(compiled.get(), S.search, api.get());
        if (truthy(found.get())) check(PyList_Append(kept.get(), entry.get()));
    }
    if (PyErr_Occurred()) throw PyErrSet{};
    return kept;
}

// ---------------------------------------------------------------------------
// Replay: the recorded calls written back as a Tcl script.
// ---------------------------------------------------------------------------

// quoml(o) through the module-level name, calling the C entry point while the
// name is still the quoml module's own function.  The result must be text.
Ref to_quoml(PyObject* o) {
    Ref f = global(S.quoml);
    Ref text = f.get() == M.capi->quoml_func ? own(M.capi->quoml(o)) : call1(f.get(), o);
    if (!PyUnicode_Check(text.get()))
        raise(PyExc_TypeError, "quoml() returned %.80s, not str", Py_TYPE(text.get())->tp_name);
    return text;
}

// Whether a word holds a character that a script file cannot carry as it
// is: tclsh and `source` read files with end-of-line translation (a carriage
// return comes back as a newline) and stop at the end-of-file character ^Z.
bool file_unsafe(PyObject* word) {
    unicode_ready(word);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(word);
    const int kind = PyUnicode_KIND(word);
    const void* data = PyUnicode_DATA(word);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\r' || c == 0x1a) return true;
    }
    return false;
}

// The escape that stands for c in a bare word of a script, or nullptr when c
// stands for itself; *plain is set when a backslash before c is enough.
const char* word_escape(Py_UCS4 c, bool* plain) {
    *plain = false;
    switch (c) {
        case '\n': return "\\n";
        case '\t': return "\\t";
        case '\r': return "\\r";
        case '\f': return "\\f";
        case '\v': return "\\v";
        case 0x1a: return "\\u001a";  // four hex digits: a following digit is not taken in
        case ' ': case '"': case '$': case ';': case '[': case ']': case '\\': case '{': case '}':
            *plain = true;
            return nullptr;
        default: return nullptr;
    }
}

/*
 *----------------------------------------------------------------------
 *
 * escaped_word --
 *
 *      A word written with backslashes only, for words that hold a carriage
 *      return or ^Z: every character that ends, groups or substitutes in a
 *      bare word gets a backslash in front, and the line-end, tab, form
 *      feed, vertical tab and ^Z characters are written as escapes, so the
 *      line holds none of them raw.  Tcl's script parser reads it back as
 *      the word.  (A list quoting would put such a word in braces, raw
 *      characters and all.)
 *
 * Results:
 *      A new str, sized exactly in a first pass.
 *
 * Side effects:
 *      None.
 *
 *----------------------------------------------------------------------
 */
Ref escaped_word(PyObject* word) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(word);
    const int kind = PyUnicode_KIND(word);
    const void* data = PyUnicode_DATA(word);
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        bool plain;
        const char* esc = word_escape(PyUnicode_READ(kind, data, i), &plain);
        const Py_ssize_t add = esc ? (Py_ssize_t)std::strlen(esc) : plain ? 2 : 1;
        if (add > PY_SSIZE_T_MAX - total) {
            PyErr_NoMemory();
            throw PyErrSet{};
        }
        total += add;
    }
    Ref out = own(PyUnicode_New(total, PyUnicode_MAX_CHAR_VALUE(word)));
    const int okind = PyUnicode_KIND(out.get());
    void* odata = PyUnicode_DATA(out.get());
    Py_ssize_t pos = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        bool plain;
        const char* esc = word_escape(c, &plain);
        if (esc) {
            for (; *esc; ++esc) PyUnicode_WRITE(okind, odata, pos++, (Py_UCS4)*esc);
            continue;
        }
        if (plain) PyUnicode_WRITE(okind, odata, pos++, '\\');
        PyUnicode_WRITE(okind, odata, pos++, c);
    }
    return out;
}

/*
 *----------------------------------------------------------------------
 *
 * entry_command --
 *
 *      One entry as one Tcl command.  An entry made from words is their
 *      Tcl list text (quoml of the tuple): every word is quoted so that
 *      Tcl's script parser reads it back exactly and substitutes nothing,
 *      since a list quoting escapes or braces every character that means
 *      something to the parser ($, [, ;, braces, backslashes, newlines).
 *      Two things differ between a script and a list:
 *
 *      - A leading '#' would make the whole line a comment: a command
 *        whose text starts with '#' gets a backslash in front, which the
 *        parser reads as a literal '#' starting the first word.
 *      - A script is meant to be saved and sourced, and a file cannot
 *        carry a raw carriage return or ^Z (see file_unsafe): a word
 *        holding one is written with escapes (escaped_word), the others
 *        with quoml as one-word lists, one by one, which gives the same
 *        text as quoml of the whole tuple for them.
 *
 *      An entry made from text (words None, or no words attribute at all,
 *      as for entries made by other classes) is its api text unchanged.
 *
 * Results:
 *      A new str.  TypeError when the text is not a str, or when the
 *      words are not a tuple of str.
 *
 * Side effects:
 *      CAUTION: may run arbitrary Python code (attribute lookups on the
 *      entry, a rebound quoml).
 *
 *----------------------------------------------------------------------
 */
Ref entry_command(PyObject* entry) {
    Ref words;
    if (!lookup_attr(entry, S.words, words) || words.get() == Py_None) {
        Ref api = getattr(entry, S.api);
        if (!PyUnicode_Check(api.get()))
            raise(PyExc_TypeError, "entry text must be str, not %.80s", Py_TYPE(api.get())->tp_name);
        return api;
    }
    if (!PyTuple_Check(words.get()))
        raise(PyExc_TypeError, "entry words must be a tuple, not %.80s", Py_TYPE(words.get())->tp_name);
    const Py_ssize_t n = PyTuple_GET_SIZE(words.get());
    bool unsafe = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* w = PyTuple_GET_ITEM(words.get(), i);
        if (!PyUnicode_Check(w))
            raise(PyExc_TypeError, "entry word %zd must be str, not %.80s", i, Py_TYPE(w)->tp_name);
        if (file_unsafe(w)) unsafe = true;
    }
    Ref text;
    if (!unsafe) {
        text = to_quoml(words.get());
    } else {
        Ref parts = own(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* w = PyTuple_GET_ITEM(words.get(), i);
            if (file_unsafe(w)) {
                PyList_SET_ITEM(parts.get(), i, escaped_word(w).release());
            } else {
                Ref one = tuple_of({w});  // quoml of a str is its text: a one-word list quotes it
                PyList_SET_ITEM(parts.get(), i, to_quoml(one.get()).release());
            }
        }
        Ref space = from_utf8(" ");
        text = own(PyUnicode_Join(space.get(), parts.get()));
    }
    unicode_ready(text.get());
    if (PyUnicode_GET_LENGTH(text.get()) == 0 || PyUnicode_READ_CHAR(text.get(), 0) != '#') return text;
    Ref backslash = from_utf8("\\");
    return own(PyUnicode_Concat(backslash.get(), text.get()));
}

// The script of the history or of one marker's log: one command per entry,
// oldest first, each ended by a newline ("" when there is no entry).
Ref history_script(PyObject* self, PyObject* marker) {
    Ref source = entries_of(self, marker);
    Ref entries = own(PySequence_List(source.get()));  // a snapshot: the code run below may append
    const Py_ssize_t n = PyList_GET_SIZE(entries.get());
    Ref lines = own(PyList_New(n + 1));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref entry = Ref::newref(PyList_GET_ITEM(entries.get(), i));
        PyList_SET_ITEM(lines.get(), i, entry_command(entry.get()).release());
    }
    PyList_SET_ITEM(lines.get(), n, own(PyUnicode_New(0, 0)).release());  // so the last command ends too
    return own(PyUnicode_Join(S.newline, lines.get()));
}

const Signature kHistoryScript{"script", "History.script", {"self", "marker"}, 2, 1};

Ref History_script(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kHistoryScript, args, nargs, kwnames);
    return history_script(p[0], p.get(1, Py_None));
}

/*
 *----------------------------------------------------------------------
 *
 * History_save --
 *
 *      save(path, marker=None): write script(marker) to the file path as
 *      UTF-8, byte for byte (binary mode: no newline translation, which
 *      would change words holding line ends).  The script is made and
 *      encoded before the file is opened, so a failure there leaves any
 *      existing file untouched.
 *
 * Results:
 *      None.  The errors of encoding, opening and writing.
 *
 * Side effects:
 *      Creates or replaces the file.  The file is closed on every path; a
 *      failed write is raised after the close (an error of the close then
 *      carries it as its context, as a with block would).
 *
 *----------------------------------------------------------------------
 */
const Signature kHistorySave{"save", "History.save", {"self", "path", "marker"}, 3, 2};

Ref History_save(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kHistorySave, args, nargs, kwnames);
    Ref script = history_script(p[0], p.get(2, Py_None));
    Ref data = own(PyUnicode_AsUTF8String(script.get()));
    Ref io = import("io");
    Ref open = getattr(io.get(), "open");
    Ref mode = from_utf8("wb");
    Ref file = calln(open.get(), p[1], mode.get());
    Ref written = Ref::steal(PyObject_CallMethodObjArgs(file.get(), S.write, data.get(), nullptr));
    if (!written) {
        Ref caught = fetch_exception();
        {
            Handling handling(caught.get());
            call_method0(file.get(), S.close);
        }
        raise_instance(caught.get());
    }
    call_method0(file.get(), S.close);
    return none();
}

const Signature kHistoryStr{"__str__", "History.__str__", {"self"}, 1, 1};

Ref History_str(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kHistoryStr, args, nargs, kwnames);
    Ref history = getattr(p[0], S.history_);
    return str(history.get());
}

const Signature kHistoryRepr{"__repr__", "History.__repr__", {"self"}, 1, 1};

Ref History_repr(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Parsed p = parse(kHistoryRepr, args, nargs, kwnames);
    Ref history = getattr(p[0], S.history_);
    return own(PyObject_Repr(history.get()));
}

MethodSpec kHistoryMethods[] = {
    {{"__init__", PYHELP_FAST(History_init),
      "__init__(self, max_history=9999)\n--\n\n"
      "An enabled, empty history without markers that keeps the last\n"
      "max_history entries (all of them when max_history is None)."},
     Kind::Instance},
    {{"enable", PYHELP_FAST(History_enable),
      "enable(self)\n--\n\nRecord calls from now on (and log \"TclHistory is enabled.\")."},
     Kind::Instance},
    {{"disable", PYHELP_FAST(History_disable),
      "disable(self)\n--\n\n"
      "Stop recording calls (and log \"TclHistory is disabled.\").  Appended\n"
      "items are still logged; recorded entries are kept."},
     Kind::Instance},
    {{"append", PYHELP_FAST(History_append),
      "append(self, item)\n--\n\n"
      "Log \"% <item>\" at debug level and, while enabled, record item (a\n"
      "call's text or its list of words) as an Entry in the history and in\n"
      "the log of every active marker."},
     Kind::Instance},
    {{"clear", PYHELP_FAST(History_clear),
      "clear(self, marker=None, clear_all=False)\n--\n\n"
      "Empty the history (marker None), one marker's log, or, with clear_all,\n"
      "every marker's log and the history.  Markers stay registered and active."},
     Kind::Instance},
    {{"start_marker", PYHELP_FAST(History_start_marker),
      "start_marker(self, marker)\n--\n\n"
      "Activate marker: the entries recorded from now on are also filed under\n"
      "it.  A restarted marker keeps its earlier entries; a marker started\n"
      "twice receives every entry twice until ended once."},
     Kind::Instance},
    {{"end_marker", PYHELP_FAST(History_end_marker),
      "end_marker(self, marker)\n--\n\n"
      "Deactivate marker once (ValueError when it is not active).  Its log\n"
      "stays and can still be filtered, cleared or restarted."},
     Kind::Instance},
    {{"filter", PYHELP_FAST(History_filter),
      "filter(self, marker=None, count=20, regex=None)\n--\n\n"
      "A new list of the last count entries of the history (or of marker's\n"
      "log), oldest first; with regex, only those among them whose text\n"
      "re.search() matches.  count=0 gives every entry."},
     Kind::Instance},
    {{"script", PYHELP_FAST(History_script),
      "script(self, marker=None)\n--\n\n"
      "The recorded calls (of the history, or of marker's log) as a Tcl script,\n"
      "one command per entry, oldest first, each line ended by a newline.  An\n"
      "entry made from words is written with quoml(), so Tcl reads every word\n"
      "back exactly and substitutes nothing; an entry made from text is\n"
      "written as that text."},
     Kind::Instance},
    {{"save", PYHELP_FAST(History_save),
      "save(self, path, marker=None)\n--\n\n"
      "Write script(marker) to the file path, encoded as UTF-8."},
     Kind::Instance},
    {{"__str__", PYHELP_FAST(History_str), "__str__(self)\n--\n\nstr() of the history deque."}, Kind::Instance},
    {{"__repr__", PYHELP_FAST(History_repr), "__repr__(self)\n--\n\nrepr() of the history deque."},
     Kind::Instance},
};

const char kEntryDoc[] =
    "Entry(api)\n\n"
    "One recorded call: timestamp (from get_time()), api, the call's text, and\n"
    "words, the tuple of words it was made from (None for a call given as text).\n\n"
    "Entry(api) takes the text, or a sequence of str words joined with single\n"
    "spaces, a word holding a space written in braces: ['set', 'x', 'a b']\n"
    "gives 'set x {a b}', a readable form; History.script() writes the words\n"
    "as a command Tcl reads back exactly.";

const char kHistoryDoc[] =
    "History(max_history=9999)\n\n"
    "A bounded record of the calls made to a Tcl interpreter, with markers.\n\n"
    "History(max_history=9999) keeps the last max_history entries in the deque\n"
    "__history__ (None keeps all).  While a marker is active (start_marker),\n"
    "every recorded entry is also filed under it in __markers__[marker];\n"
    "__activeMarkers__ lists the active markers in start order.  enabled\n"
    "switches recording; every appended item is logged at debug level on the\n"
    "logger 'trelmo.tcl' either way.";

PyModuleDef module_def =
    module_def_of("history", "A bounded history of Tcl interpreter calls (History, Entry) with named markers.");

Ref init_module() {
    Ref m = new_module(&module_def, kNames, M);
    Ref modname = getattr(m.get(), "__name__");

    // Imports, in order: re, logging, collections.deque, get_time; then log.
    Ref re = add_object(m.get(), "re", import("re"));
    Ref logging = add_object(m.get(), "logging", import("logging"));
    Ref deque = add_object(m.get(), "deque", import_from("collections", "deque"));
    if (PyType_Check(deque.get()) && !(((PyTypeObject*)deque.get())->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        M.deque_type = (PyTypeObject*)Py_NewRef(deque.get());
        M.deque_append = compat::c_method(compat::type_lookup(M.deque_type, S.append), M.deque_type, METH_O);
    }
    add_object(m.get(), "get_time", import_from("trelmo.utils.utils", "get_time"));
    Ref get_logger = getattr(logging.get(), "getLogger");
    Ref logger_name = from_utf8("trelmo.tcl");
    Ref log = add_object(m.get(), "log", call1(get_logger.get(), logger_name.get()));
    M.debug_level = getattr(logging.get(), "DEBUG").release();
    {
        Ref logger = getattr(logging.get(), "Logger");
        if (PyType_Check(logger.get()))
            M.logger_debug = Py_XNewRef(compat::type_lookup((PyTypeObject*)logger.get(), S.debug));
    }
    M.count_default = own(PyLong_FromLong(20)).release();
    Ref quoml = import_sibling("trelmo.tcl", "quoml", "quoml");
    check(PyModule_AddObjectRef(m.get(), "quoml", quoml.get()));
    M.capi = quoml_capi_import();
    if (!M.capi) throw PyErrSet{};

    Ref bases = tuple_of({(PyObject*)&PyBaseObject_Type});
    auto* meta = (PyObject*)&PyType_Type;

    Ref entry_ns = own(PyDict_New());
    Ref entry = make_class(meta, "Entry", "Entry", bases.get(), kEntryMethods, entry_ns.get(), modname.get(), kEntryDoc);
    M.Entry_init = Py_NewRef(check(PyDict_GetItemWithError(entry_ns.get(), S.init_)));
    add_object(m.get(), "Entry", entry.get());
    M.Entry = entry.release();

    M.log = Py_NewRef(log.get());
    PyObject* dict = PyModule_GetDict(m.get());  // borrowed
    M.log_name.init(dict);
    M.log_name.expect(S.log, M.log);
    M.entry_name.init(dict);
    M.entry_name.expect(S.Entry, M.Entry);

    Ref history_ns = own(PyDict_New());
    Ref max_history = own(PyLong_FromLong(kMaxHistory));
    check(PyDict_SetItemString(history_ns.get(), "__MAX_HISTORY__", max_history.get()));
    Ref history = make_class(meta, "History", "History", bases.get(), kHistoryMethods, history_ns.get(),
                             modname.get(), kHistoryDoc);
    add_object(m.get(), "History", history.get());
    return m;
}

}  // namespace

PYHELP_MODULE_INIT(history, init_module)
