"""Replay of the fuzz corpus through the Python quoting functions.

Every input in fuzz/regressions/ (inputs that once made the libFuzzer harness
of the quoting core fail) and the seeds in fuzz/corpus/ are read exactly as
the harness reads them and checked against Tcl's own parsers: the list reads
back element for element, and each element, evaluated as a word of a script,
gives itself without running any command or reading any variable.
"""

import importlib
import pathlib

import pytest

from hardening_support import decode_fuzz_input, tcl_split


FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"
INPUTS = sorted(p for d in ("regressions", "corpus") for p in (FUZZ / d).glob("*") if p.is_file() and p.suffix != ".md")


@pytest.fixture
def tk(tcl, trap):
    return tcl.tk


def test_corpus_is_present():
    assert any(p.parent.name == "corpus" for p in INPUTS)


@pytest.mark.parametrize("path", INPUTS, ids=lambda p: "%s/%s" % (p.parent.name, p.name))
def test_replay(path, tk, trap):
    q = importlib.import_module("trelmo.tcl.quoml")

    for width, elems in decode_fuzz_input(path.read_bytes()).items():
        text = q._tcl_UpdateStringOfList(elems)
        assert text == q.quoml(elems), width
        assert tcl_split(tk, text) == tuple(elems), width
        # the whole list as the words of one command: nothing is substituted
        assert tcl_split(tk, tk.call("eval", "list " + text)) == tuple(elems), width
        for elem in elems:
            size, flags = q._Tcl_ScanElement(elem)
            word = q._Tcl_ConvertElement(elem, set(flags))
            assert size == 2 * len(elem) + 2
            assert tcl_split(tk, tk.call("eval", "list " + word)) == (elem,), (width, elem)
    assert trap() == 0
