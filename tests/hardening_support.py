"""Helpers shared by the hardening tests (test_hardening_*.py).

* ``tcl_split(tk, text)``: Tcl's own list parser as the oracle, reached with
  ``tk.call`` so that NUL characters survive (``tk.splitlist`` refuses them).
* ``decode_fuzz_input(data)``: the fuzz harness's reading of an input as list
  elements in the three character widths, byte for byte the same as the C++
  harness (fuzz/fuzz_quoml.cpp), so the regression corpus replays here.
"""

SEPARATOR = 0xFE  # never part of well-formed UTF-8; splits an input into elements


def tcl_split(tk, text):
    """The elements of the Tcl list ``text``, as Tcl's list parser reads them."""
    n = int(tk.call("llength", text))
    return tuple(str(tk.call("lindex", text, i)) for i in range(n))


def _cont(b):
    return 0x80 <= b <= 0xBF


def _decode(chunk):
    """Lenient UTF-8: malformed bytes stand for themselves (as Latin-1)."""
    out = []
    i, n = 0, len(chunk)
    while i < n:
        b = chunk[i]
        cp, step = b, 1
        if 0xC2 <= b <= 0xDF and i + 1 < n and _cont(chunk[i + 1]):
            cp, step = ((b & 0x1F) << 6) | (chunk[i + 1] & 0x3F), 2
        elif 0xE0 <= b <= 0xEF and i + 2 < n and _cont(chunk[i + 1]) and _cont(chunk[i + 2]):
            cp, step = ((b & 0x0F) << 12) | ((chunk[i + 1] & 0x3F) << 6) | (chunk[i + 2] & 0x3F), 3
        elif 0xF0 <= b <= 0xF4 and i + 3 < n and all(_cont(c) for c in chunk[i + 1 : i + 4]):
            cp = ((b & 0x07) << 18) | ((chunk[i + 1] & 0x3F) << 12) | ((chunk[i + 2] & 0x3F) << 6) | (chunk[i + 3] & 0x3F)
            step = 4
        if 0xD800 <= cp <= 0xDFFF or cp > 0x10FFFF:
            cp = 0xFFFD  # text Tcl cannot carry is not the quoting core's concern
        out.append(cp)
        i += step
    return out


def _narrow(cp, width):
    if width == 1:
        return cp & 0xFF
    if width == 2:
        cp &= 0xFFFF
        return 0xFFFD if 0xD800 <= cp <= 0xDFFF else cp
    return cp


def decode_fuzz_input(data):
    """``{1: [...], 2: [...], 4: [...]}``: the elements of a fuzz input per width."""
    chunks = bytes(data).split(bytes([SEPARATOR]))
    points = [_decode(c) for c in chunks]
    return {w: ["".join(chr(_narrow(cp, w)) for cp in elem) for elem in points] for w in (1, 2, 4)}
