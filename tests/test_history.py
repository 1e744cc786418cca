"""Call history: bounded queues, markers, filtering, clearing, entries, log lines."""

import datetime
import errno
import gc
import importlib
import logging
import os
import re
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

history_mod = importlib.import_module("trelmo.tcl.history")
History = history_mod.History
Entry = history_mod.Entry

STAMP = datetime.datetime(2024, 1, 2, 3, 4, 5, 678901)


@pytest.fixture
def fixed_time(monkeypatch):
    """Entries made while this is active carry the timestamp STAMP."""
    monkeypatch.setattr(history_mod, "get_time", lambda: STAMP)


@pytest.fixture
def debug_log(caplog):
    """The messages logged on 'trelmo.tcl' at debug level (a list that fills as they come)."""
    caplog.set_level(logging.DEBUG, logger="trelmo.tcl")
    return caplog


@pytest.fixture(scope="module")
def tk():
    """A plain Tcl interpreter shared by the property tests of this module."""
    import tkinter

    return tkinter.Tcl().tk


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "trelmo.tcl" and r.levelno == logging.DEBUG]


def apis(entries):
    return [e.api for e in entries]


# -- construction and bounds -------------------------------------------------------------------


def test_module_objects():
    assert history_mod.log is logging.getLogger("trelmo.tcl")
    assert History.__MAX_HISTORY__ == 9999
    h = History()
    assert h.__history__.maxlen == 9999
    assert (h.__markers__, h.__activeMarkers__, h.enabled) == ({}, [], True)


@pytest.mark.parametrize("maxlen", [0, 1, 3, None])
def test_queues_are_bounded_alike(maxlen):
    h = History(max_history=maxlen)
    h.start_marker("m")
    for i in range(5):
        h.append("cmd %d" % i)
    kept = ["cmd %d" % i for i in range(5)]
    if maxlen is not None:
        kept = kept[len(kept) - maxlen :]
    assert apis(h.__history__) == kept
    assert apis(h.__markers__["m"]) == kept
    assert h.__markers__["m"].maxlen == maxlen


@pytest.mark.parametrize("bad, exc", [(-1, ValueError), ("3", TypeError), (2.5, TypeError)])
def test_invalid_lengths_raise_the_deque_errors(bad, exc):
    with pytest.raises(exc):
        History(max_history=bad)


def test_argument_errors_read_like_python():
    def reference(self, marker=None, count=20, regex=None):
        pass

    h = History()
    for args, kwargs in [((1, 2, 3, 4), {}), ((), {"bogus": 1}), ((None,), {"marker": "m"})]:
        with pytest.raises(TypeError) as ours:
            h.filter(*args, **kwargs)
        with pytest.raises(TypeError) as theirs:
            reference(h, *args, **kwargs)
        assert str(ours.value).split("() ")[1] == str(theirs.value).split("() ")[1]

    def script(self, marker=None):
        pass

    def save(self, path, marker=None):
        pass

    for name, ref, cases in [
        ("script", script, [((1, 2), {}), ((), {"path": "p"}), ((1,), {"marker": 1})]),
        ("save", save, [((), {}), (("p", 1, 2), {}), (("p",), {"path": "q"}), (("p",), {"count": 1})]),
    ]:
        for args, kwargs in cases:
            with pytest.raises(TypeError) as ours:
                getattr(h, name)(*args, **kwargs)
            with pytest.raises(TypeError) as theirs:
                ref(h, *args, **kwargs)
            assert str(ours.value).split("() ")[1] == str(theirs.value).split("() ")[1]


# -- enable, disable, log lines ----------------------------------------------------------------


def test_enable_disable_and_debug_lines(debug_log):
    h = History()
    h.append(["set", "x", "a b"])
    h.disable()
    h.append("puts hi")
    assert apis(h.__history__) == ["set x {a b}"]
    h.enable()
    h.append("puts again")
    assert apis(h.__history__) == ["set x {a b}", "puts again"]
    assert messages(debug_log) == [
        "TclHistory is enabled.",
        "% ['set', 'x', 'a b']",
        "TclHistory is disabled.",
        "% puts hi",
        "TclHistory is enabled.",
        "% puts again",
    ]


@pytest.mark.parametrize(
    "item, line",
    [
        (("a", "b"), "% ('a', 'b')"),
        (("a",), "% ('a',)"),
        ((), "% ()"),
        ({"k": "v"}, "% {'k': 'v'}"),
        ("100%", "% 100%"),
    ],
)
def test_items_are_logged_by_their_text(debug_log, item, line):
    History().append(item)
    assert messages(debug_log)[-1] == line


def test_logging_configuration_is_honoured(caplog, monkeypatch):
    class Loud(str):
        def __str__(self):
            raise RuntimeError("str() called")

    h = History()
    caplog.set_level(logging.INFO, logger="trelmo.tcl")
    h.append(Loud("a"))  # no debug output wanted: the line is not built
    caplog.set_level(logging.DEBUG, logger="trelmo.tcl")
    with pytest.raises(RuntimeError):
        h.append(Loud("b"))
    assert apis(h.__history__) == ["a"]
    # The module-level logger is looked up at call time.
    seen = []

    class Log:
        def debug(self, msg):
            seen.append(msg)

    monkeypatch.setattr(history_mod, "log", Log())
    h.disable()
    h.append("x")
    assert seen == ["TclHistory is disabled.", "% x"]


class _Verbose(logging.Logger):
    def isEnabledFor(self, level):
        return True


def _subclassed(log, monkeypatch):
    monkeypatch.setattr(log, "__class__", _Verbose)


# Ways a logger decides whether the debug line is wanted, with the level at
# INFO or DEBUG: (set up, level, whether the line is built).
@pytest.mark.parametrize(
    "setup, level, built",
    [
        (lambda log, mp: None, logging.INFO, False),
        (lambda log, mp: None, logging.DEBUG, True),
        (lambda log, mp: mp.setattr(log, "disabled", True), logging.DEBUG, False),
        (lambda log, mp: mp.setitem(log.__dict__, "isEnabledFor", lambda level: True), logging.INFO, True),
        (lambda log, mp: mp.setitem(log.__dict__, "isEnabledFor", lambda level: 0), logging.DEBUG, False),
        (_subclassed, logging.INFO, True),
        (lambda log, mp: mp.setattr(logging.Logger, "isEnabledFor", lambda self, level: True), logging.INFO, True),
        (lambda log, mp: logging.disable(logging.DEBUG), logging.DEBUG, False),
        (lambda log, mp: mp.setattr(log, "_cache", {}), logging.DEBUG, True),
        (lambda log, mp: mp.setattr(log, "_cache", {logging.DEBUG: 1}), logging.DEBUG, True),
    ],
)
def test_logger_decides_whether_the_line_is_built(caplog, monkeypatch, setup, level, built):
    class Loud(str):
        def __str__(self):
            raise RuntimeError("str() called")

    log = logging.getLogger("trelmo.tcl")
    h = History()
    caplog.set_level(level, logger="trelmo.tcl")
    try:
        setup(log, monkeypatch)
        if built:
            with pytest.raises(RuntimeError):
                h.append(Loud("a"))
        else:
            h.append(Loud("a"))
            assert apis(h.__history__) == ["a"]
    finally:
        logging.disable(logging.NOTSET)


class _OwnDebug(logging.Logger):
    def debug(self, msg, *args, **kwargs):
        _OwnDebug.seen.append(msg)


# Where log.debug can be replaced: on the logger itself, on logging.Logger, in
# a subclass.  The replacement is called for every line, whatever the level.
@pytest.mark.parametrize(
    "where",
    [
        lambda log, mp, seen: mp.setitem(log.__dict__, "debug", seen.append),  # undone by deleting it
        lambda log, mp, seen: mp.setattr(logging.Logger, "debug", lambda self, msg, *a, **k: seen.append(msg)),
        lambda log, mp, seen: (mp.setattr(_OwnDebug, "seen", seen, raising=False), mp.setattr(log, "__class__", _OwnDebug)),
    ],
    ids=["instance", "Logger", "subclass"],
)
@pytest.mark.parametrize("level", [logging.INFO, logging.DEBUG])
def test_replaced_debug_is_called(caplog, monkeypatch, where, level):
    log = logging.getLogger("trelmo.tcl")
    caplog.set_level(level, logger="trelmo.tcl")
    h = History()
    h.append("before")
    seen = []
    where(log, monkeypatch, seen)
    for _ in range(2):  # the second time too, after the class was seen once
        h.append(["set", "x", "a b"])
    h.disable()
    h.append("off")
    assert seen == ["% ['set', 'x', 'a b']"] * 2 + ["TclHistory is disabled.", "% off"]
    assert apis(h.__history__) == ["before", "set x {a b}", "set x {a b}"]


# -- markers -------------------------------------------------------------------------------------


def test_marker_stretch():
    h = History()
    h.start_marker("m")
    h.append("a")
    h.end_marker("m")
    h.append("b")
    assert apis(h.filter("m")) == ["a"]
    assert apis(h.filter()) == ["a", "b"]
    assert h.filter("m")[0] is h.filter()[0]
    h.start_marker("m")  # a restarted marker keeps its log
    h.append("c")
    assert apis(h.filter("m")) == ["a", "c"]


def test_marker_started_twice():
    h = History()
    h.start_marker("m")
    h.start_marker("m")
    h.append("a")
    first, second = h.filter("m")
    assert first is second
    h.end_marker("m")
    assert h.__activeMarkers__ == ["m"]
    h.append("b")
    assert apis(h.filter("m")) == ["a", "a", "b"]
    h.end_marker("m")
    with pytest.raises(ValueError):
        h.end_marker("m")


def test_markers_may_be_any_hashable():
    h = History()
    h.start_marker(("phase", 1))
    h.start_marker(7)
    h.append("a")
    assert apis(h.filter(("phase", 1))) == apis(h.filter(7)) == ["a"]
    with pytest.raises(TypeError):
        h.start_marker(["unhashable"])


# -- filtering -----------------------------------------------------------------------------------


@given(n=st.integers(0, 30), count=st.integers(-35, 35))
def test_filter_count_is_a_tail_slice(n, count):
    h = History()
    for i in range(n):
        h.append("c%d" % i)
    assert h.filter(count=count) == list(h.__history__)[-count:]


@given(
    words=st.lists(st.sampled_from(["set x 1", "puts a", "set y 2", "incr x", "sets"]), max_size=12),
    count=st.integers(0, 14),
    regex=st.sampled_from([None, "", "^set", "x", r"\d$", "^(puts|incr)"]),
)
def test_filter_regex_keeps_matches_among_the_last(words, count, regex):
    h = History()
    for w in words:
        h.append(w)
    last = list(h.__history__)[-count:]
    expected = [e for e in last if re.search(regex, e.api)] if regex else last
    assert h.filter(count=count, regex=regex) == expected


def test_filter_returns_a_new_list():
    h = History()
    h.append("a")
    got = h.filter()
    got.clear()
    assert apis(h.filter()) == ["a"]


@pytest.mark.parametrize("marker, text", [("nosuch", "No such marker: nosuch"), (("a", "b"), "No such marker: ('a', 'b')")])
def test_filter_unknown_marker(marker, text):
    with pytest.raises(Exception) as info:
        History().filter(marker)
    assert type(info.value) is Exception
    assert str(info.value) == text
    assert isinstance(info.value.__context__, KeyError)
    assert not info.value.__suppress_context__


def test_filter_unknown_marker_inside_a_handler():
    try:
        raise ValueError("outer")
    except ValueError:
        with pytest.raises(Exception) as info:
            History().filter("nosuch")
    context = info.value.__context__
    assert isinstance(context, KeyError)
    assert isinstance(context.__context__, ValueError)


@pytest.mark.parametrize("kwargs, exc", [({"count": None}, TypeError), ({"regex": "("}, re.error)])
def test_filter_bad_arguments(kwargs, exc):
    h = History()
    h.append("a")
    with pytest.raises(exc):
        h.filter(**kwargs)


# -- clearing ------------------------------------------------------------------------------------


@pytest.fixture
def filled():
    h = History()
    h.start_marker("m")
    h.start_marker("n")
    h.append("a")
    h.end_marker("n")
    return h


@pytest.mark.parametrize(
    "kwargs, history, m, n",
    [
        ({}, [], ["a"], ["a"]),
        ({"marker": "m"}, ["a"], [], ["a"]),
        ({"clear_all": True}, [], [], []),
        ({"marker": "m", "clear_all": True}, [], [], []),
        ({"marker": "m", "clear_all": 0}, ["a"], [], ["a"]),
    ],
)
def test_clear_rules(filled, kwargs, history, m, n):
    filled.clear(**kwargs)
    assert (apis(filled.__history__), apis(filled.filter("m")), apis(filled.filter("n"))) == (history, m, n)
    assert filled.__activeMarkers__ == ["m"]
    filled.append("b")
    assert apis(filled.filter("m"))[-1] == "b"


def test_clear_unknown_marker_raises_key_error(filled):
    with pytest.raises(KeyError) as info:
        filled.clear("nosuch")
    assert info.value.args == ("nosuch",)


# -- entries -------------------------------------------------------------------------------------


def test_entry_text_and_representation(fixed_time):
    e = Entry("set x 1")
    assert (e.api, e.timestamp) == ("set x 1", STAMP)
    assert str(e) == "2024-01-02T03:04:05.678901: set x 1"
    assert repr(e) == "<Entry '2024-01-02T03:04:05.678901: set x 1' at %s>" % hex(id(e))
    h = History()
    h.append(["set", "x", "a b"])
    assert str(h) == str(h.__history__) and repr(h) == repr(h.__history__)
    assert "<Entry '2024-01-02T03:04:05.678901: set x {a b}' at 0x" in str(h)


@pytest.mark.parametrize(
    "words, api, kept",
    [
        (["set", "x", "a b"], "set x {a b}", ("set", "x", "a b")),
        ((), "", ()),
        (["", "a"], " a", ("", "a")),
        (iter(["x", " "]), "x { }", ("x", " ")),
        (["é ü", "€"], "{é ü} €", ("é ü", "€")),
        ("set x {a b}", "set x {a b}", None),
        ("", "", None),
    ],
)
def test_entry_words(words, api, kept):
    e = Entry(words)
    assert (e.api, e.words) == (api, kept)


def test_entry_words_are_a_snapshot():
    words = ["set", "x", "1"]
    e = Entry(words)
    words[2] = "2"
    assert (e.api, e.words) == ("set x 1", ("set", "x", "1"))


@given(st.lists(st.text(alphabet="ab ñ\U0001f600", min_size=1), max_size=6))
def test_entry_words_read_back_as_a_tcl_list(tk, words):
    # With no special character but the space, the text is a Tcl list of the words.
    assert tk.splitlist(Entry(words).api) == tuple(words)


@pytest.mark.parametrize("api", [["a", 1], [b"a"], [["a b"]], 5, None])
def test_entry_needs_str_words(api):
    with pytest.raises(TypeError):
        Entry(api)


def test_entry_timestamps_are_the_local_time_now(monkeypatch):
    # Entries made in a tight loop across a second's turn: each stamp is the
    # naive local date-time datetime.now() gives, to the microsecond.
    start = datetime.datetime.now()
    while datetime.datetime.now().second == start.second:
        pass
    stamps = []
    for _ in range(3):
        before = datetime.datetime.now()
        for _ in range(200):
            stamps.append(Entry("x").timestamp)
        assert before <= stamps[-200] and stamps[-1] <= datetime.datetime.now()
    assert all(type(t) is datetime.datetime and t.tzinfo is None for t in stamps)
    assert stamps == sorted(stamps)
    calls = []
    monkeypatch.setattr(history_mod, "get_time", lambda: calls.append(1) or datetime.datetime.today())
    assert abs(Entry("x").timestamp - datetime.datetime.now()) < datetime.timedelta(seconds=5) and calls == [1]


def test_entry_timestamps_are_what_get_time_returns(monkeypatch):
    # A clock that hands out a sequence: every entry carries the very object
    # returned for it, in order, however close together the entries are made.
    base = datetime.datetime.now()
    stamps = [base + datetime.timedelta(microseconds=i) for i in range(50)]
    stamps += [base, base, datetime.date(2000, 1, 1), "not a date"]
    monkeypatch.setattr(history_mod, "get_time", iter(stamps).__next__)
    h = History(max_history=None)
    for s in stamps:
        h.append("x")
    assert [e.timestamp for e in h.__history__] == stamps
    assert all(e.timestamp is s for e, s in zip(h.__history__, stamps))


def test_entry_timestamps_follow_a_time_zone_change(monkeypatch):
    # The process's time zone changes between two entries of one second: each
    # entry is the local time now() gives at that moment.
    import time

    if not hasattr(time, "tzset"):
        pytest.skip("no time.tzset on this platform")
    try:
        for tz in ["UTC0", "XST-5:30", "YST7", "UTC0"]:
            monkeypatch.setenv("TZ", tz)
            time.tzset()
            before = datetime.datetime.now()
            stamp = Entry("x").timestamp
            after = datetime.datetime.now()
            assert before <= stamp <= after, tz
    finally:
        monkeypatch.undo()
        time.tzset()


def test_entry_reads_get_time_at_call_time(monkeypatch):
    calls = []
    monkeypatch.setattr(history_mod, "get_time", lambda: calls.append(1) or STAMP)
    h = History()
    h.append("a")
    h.disable()
    h.append("b")
    assert calls == [1]


# -- replay scripts ------------------------------------------------------------------------------

# Characters that mean something to Tcl's script parser or list parser, and
# text beyond ASCII; no NUL (the bridge's eval cuts there).
REPLAY_TEXT = st.lists(
    st.one_of(
        st.sampled_from(list("{}[]$\\\" ;#\t\n\r\x0b\f\x1a") + ["\\\n", "\\{", "é", "€", "\U0001f600", "::", "()"]),
        st.characters(blacklist_characters="\x00", blacklist_categories=("Cs",)),
    ),
    max_size=8,
).map("".join)


@pytest.fixture(scope="module")
def replayer():
    """A Tcl interpreter whose every unknown command name records its words in ::got.

    The trap commands count their runs in ::trapped.  Returns (tk, replay):
    replay(script) evaluates script and returns the recorded word lists.
    """
    import tkinter

    tk = tkinter.Tcl().tk
    tk.eval("set ::trapped 0; proc evil args {incr ::trapped}; proc trap args {incr ::trapped}")
    tk.eval("rename unknown {}; proc unknown args {lappend ::got $args; return}")

    def replay(script):
        tk.eval("set ::got {}")
        tk.eval(script)
        return [tk.splitlist(c) for c in tk.splitlist(tk.eval("set ::got"))]

    return tk, replay


def _unknown_name(tk, name):
    return tk.call("namespace", "which", "-command", name) == "" and tk.call("info", "procs", name) == ""


@given(st.lists(st.lists(REPLAY_TEXT, min_size=1, max_size=5), max_size=4))
def test_script_replays_every_word_exactly(replayer, calls):
    tk, replay = replayer
    # Command names that Tcl knows would run those commands: only unknown ones
    # reach the recording handler.
    calls = [c for c in calls if _unknown_name(tk, c[0]) and not c[0].startswith("::")]
    h = History()
    for words in calls:
        h.append(words)
    script = h.script()
    assert script.count("\n") >= len(calls) and (script == "" or script.endswith("\n"))
    assert "\r" not in script and "\x1a" not in script  # a file keeps every line as written
    assert replay(script) == [tuple(c) for c in calls]
    assert tk.getvar("::trapped") in (0, "0")


@pytest.mark.parametrize(
    "words, line",
    [
        (["#cmd", "x"], "\\#cmd x"),  # not a comment
        (["#"], "\\#"),
        (["a", "#b"], "a #b"),
        (["", "{"], "{} \\{"),
        (["x", "$y [evil]"], "x {$y [evil]}"),
        (["x", "a\r\nb c", "{d}"], "x a\\r\\nb\\ c {{d}}"),
        (["#\x1a", "\x1a0 {", "$[\\\"\t\f\x0b;]\x1a", "{}"], "\\#\\u001a \\u001a0\\ \\{ \\$\\[\\\\\\\"\\t\\f\\v\\;\\]\\u001a {{}}"),
    ],
)
def test_script_lines(replayer, words, line):
    tk, replay = replayer
    h = History()
    h.append(words)
    assert h.script() == line + "\n"
    if _unknown_name(tk, words[0]):
        assert replay(h.script()) == [tuple(words)]


def test_script_mixes_text_and_words_in_order():
    h = History()
    h.append("set x 1; set y 2")
    h.append(["set", "z", "a b"])
    h.append("")
    assert h.script() == "set x 1; set y 2\nset z {a b}\n\n"
    assert History().script() == ""


def test_script_of_a_marker_and_unknown_markers():
    h = History()
    h.append(["before"])
    h.start_marker("m")
    h.append(["during", "a b"])
    h.start_marker("m")
    h.append(["twice"])
    h.end_marker("m")
    h.end_marker("m")
    h.append(["after"])
    assert h.script("m") == "during {a b}\ntwice\ntwice\n"
    assert h.script() == "before\nduring {a b}\ntwice\nafter\n"
    for call in (lambda: h.script("nosuch"), lambda: h.save("/nonexistent/x.tcl", marker="nosuch")):
        with pytest.raises(Exception) as info:
            call()
        assert type(info.value) is Exception and str(info.value) == "No such marker: nosuch"


def test_script_entries_of_other_shapes():
    class Plain:  # an entry made by other code: no words attribute
        api = "set plain 1"

    h = History()
    h.__history__.extend([Plain(), Entry(["a", "b c"])])
    assert h.script() == "set plain 1\na {b c}\n"
    for bad in ({"api": 5}, {"words": ["a", "b"]}, {"words": ("a", 1)}):
        entry = Entry("x")
        entry.__dict__.update(bad)
        h.__history__[0] = entry
        with pytest.raises(TypeError):
            h.script()


def test_script_uses_the_module_level_quoml(monkeypatch):
    h = History()
    h.append(["a", "b"])
    monkeypatch.setattr(history_mod, "quoml", lambda words: "|".join(words))
    assert h.script() == "a|b\n"
    monkeypatch.setattr(history_mod, "quoml", lambda words: 5)
    with pytest.raises(TypeError):
        h.script()


def test_save_writes_utf8_bytes(tmp_path, replayer):
    tk, replay = replayer
    h = History()
    h.append(["rec", "é\r\n€ \U0001f600", "{", "\\\n", "$x [evil]", "", "^Z\x1a stops a file"])
    h.start_marker("m")
    h.append("set ::saved 1")
    path = tmp_path / "session.tcl"
    assert h.save(path) is None
    assert path.read_bytes() == h.script().encode("utf-8")
    h.save(str(path), marker="m")
    assert path.read_bytes() == b"set ::saved 1\n"
    h.save(str(tmp_path / "all.tcl"))
    tk.eval("set ::saved 0")
    # What Tcl reads from the file, as tclsh would source it.
    got = replay("source -encoding utf-8 {%s}" % (tmp_path / "all.tcl"))
    assert got == [("rec", "é\r\n€ \U0001f600", "{", "\\\n", "$x [evil]", "", "^Z\x1a stops a file")]
    assert tk.getvar("::saved") in (1, "1") and tk.getvar("::trapped") in (0, "0")


def test_save_errors_leave_no_file_open(tmp_path):
    h = History()
    h.append(["set", "x", "\ud800"])  # Tcl cannot hold a lone surrogate; nor can UTF-8
    path = tmp_path / "bad.tcl"
    with pytest.raises(UnicodeEncodeError):
        h.save(path)
    assert not path.exists()  # the script is encoded before the file is opened
    h.clear()
    h.append(["set", "x", "1"])
    with pytest.raises(IsADirectoryError):
        h.save(tmp_path)
    if os.path.exists("/dev/full"):
        with pytest.raises(OSError) as info:
            h.save("/dev/full")
        assert info.value.errno == errno.ENOSPC


def test_subclasses_behave_as_python_classes():
    class Quiet(History):
        def enable(self):
            self.enabled = "yes"

    class Noted(Entry):
        def __str__(self):
            return "noted"

    q = Quiet(max_history=2)
    assert q.enabled == "yes" and q.__history__.maxlen == 2
    n = Noted("x")
    assert repr(n) == "<Entry 'noted' at %s>" % hex(id(n))
    n.extra = 1  # instances have a __dict__


def test_no_reference_leaks():
    def batch():
        h = History(max_history=5)
        h.start_marker("m")
        for i in range(200):
            h.append(["set", "x", "a b %d" % i])
            h.append("#text %d" % i)
            h.filter("m", count=3, regex="x")
            h.script("m")
            try:
                h.filter("nosuch")
            except Exception:
                pass

    batch()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(5):
        batch()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200
