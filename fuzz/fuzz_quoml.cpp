// fuzz_quoml.cpp -- libFuzzer harness for the list-quoting core
// (src/ext/quoml/quoml_core.hpp), judged by Tcl's own C parsers.
//
// An input is read as a list of elements: the bytes are cut at every 0xFE
// (never part of well-formed UTF-8), each piece is decoded as lenient UTF-8
// (a malformed byte stands for itself, surrogates and values past U+10FFFF
// become U+FFFD), and the code points are narrowed to each of the three code
// unit widths of the host's strings (1, 2 and 4 bytes).  For every width the
// harness
//   * scans, sizes and converts every element with the core and joins them
//     with single spaces, checking that the exact size matches what was
//     written, and that writing into a wider buffer gives the same text;
//   * hands the list to Tcl_ListObjGetElements, which must give back every
//     element exactly (compared as UTF-16, Tcl's own character form);
//   * parses "x <list>" with Tcl_ParseCommand: one command whose words are
//     braced or plain text with backslash sequences only -- no command
//     substitution, no variable substitution, no {*} expansion -- and
//     evaluates it with a command x that records its arguments, which must
//     again be the elements;
//   * parses the list itself as a script the same way unless its first
//     element begins with "#" (a list evaluated as a script whose first word
//     starts with "#" is a comment: the one caveat of the quoting).
// Any mismatch aborts, which libFuzzer reports as a crash with the input.
//
// tests/hardening_support.py reads inputs the same way, so that the saved
// failing inputs (fuzz/regressions/) replay through the Python functions.
#include "quoml_core.hpp"

#include <tcl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using CodePoints = std::vector<std::uint32_t>;
using Utf16 = std::vector<Tcl_UniChar>;

constexpr std::uint8_t kSeparator = 0xFE;

Tcl_Interp* interp = nullptr;     // one interpreter for the whole run
std::vector<Utf16> captured;      // the arguments of the last call of x
const char* stage = "";           // what was being checked, for the report

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_quoml: %s (%s)\n", what, stage);
    std::abort();
}

void require(bool ok, const char* what) {
    if (!ok) fail(what);
}

bool cont(std::uint8_t b) { return b >= 0x80 && b <= 0xBF; }

// Lenient UTF-8 of one piece of the input.
CodePoints decode(const std::uint8_t* s, std::size_t n) {
    CodePoints out;
    for (std::size_t i = 0; i < n;) {
        const std::uint8_t b = s[i];
        std::uint32_t cp = b;  // a malformed byte stands for itself
        std::size_t step = 1;
        if (b >= 0xC2 && b <= 0xDF && i + 1 < n && cont(s[i + 1])) {
            cp = ((b & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
            step = 2;
        } else if (b >= 0xE0 && b <= 0xEF && i + 2 < n && cont(s[i + 1]) && cont(s[i + 2])) {
            cp = ((b & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
            step = 3;
        } else if (b >= 0xF0 && b <= 0xF4 && i + 3 < n && cont(s[i + 1]) && cont(s[i + 2]) && cont(s[i + 3])) {
            cp = ((b & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
            step = 4;
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
        out.push_back(cp);
        i += step;
    }
    return out;
}

std::uint32_t narrow(std::uint32_t cp, int width) {
    if (width == 1) return cp & 0xFFu;
    if (width == 2) {
        cp &= 0xFFFFu;
        return (cp >= 0xD800 && cp <= 0xDFFF) ? 0xFFFD : cp;
    }
    return cp;
}

template <typename C>
Utf16 utf16(const C* s, std::size_t n) {
    Utf16 out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t cp = s[i];
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<Tcl_UniChar>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<Tcl_UniChar>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<Tcl_UniChar>(cp));
        }
    }
    return out;
}

Utf16 utf16_of(Tcl_Obj* obj) {
    int len = 0;
    const Tcl_UniChar* u = Tcl_GetUnicodeFromObj(obj, &len);
    return Utf16(u, u + len);
}

Tcl_Obj* new_obj(const Utf16& u) { return Tcl_NewUnicodeObj(u.data(), static_cast<int>(u.size())); }

// The command x of the checked scripts: records its arguments.
int capture_cmd(ClientData, Tcl_Interp*, int objc, Tcl_Obj* const objv[]) {
    captured.clear();
    for (int i = 1; i < objc; ++i) captured.push_back(utf16_of(objv[i]));
    return TCL_OK;
}

/*
 * join --
 *
 *	Writes the Tcl list of the elements with the core into code units of
 *	type D (at least as wide as C), sized exactly beforehand.
 *
 * Results:
 *	The list text.
 */
template <typename C, typename D>
std::vector<D> join(const std::vector<std::vector<C>>& elems) {
    std::vector<quoml_core::Scan> scans;
    std::size_t total = elems.empty() ? 0 : elems.size() - 1;
    for (const auto& e : elems) {
        const quoml_core::Scan sc = quoml_core::scan(e.data(), e.size());
        require(sc.length == e.size(), "scan length");
        const std::size_t len = quoml_core::converted_length(sc, sc.flags);
        require(len <= 2 * e.size() + 2, "converted length above the size estimate");
        total += len;
        scans.push_back(sc);
    }
    std::vector<D> out(total + 1);
    const D guard = static_cast<D>(0x5A);
    out[total] = guard;
    D* p = out.data();
    for (std::size_t i = 0; i < elems.size(); ++i) {
        if (i) *p++ = ' ';
        D* end = quoml_core::convert(elems[i].data(), scans[i], scans[i].flags, p);
        require(static_cast<std::size_t>(end - p) == quoml_core::converted_length(scans[i], scans[i].flags),
                "convert wrote other than converted_length");
        require(quoml_core::unchanged(scans[i], scans[i].flags) ==
                    (static_cast<std::size_t>(end - p) == elems[i].size() && !elems[i].empty() &&
                     std::equal(p, end, elems[i].begin(), [](D a, C b) { return a == static_cast<D>(b); })),
                "unchanged() disagrees with what convert wrote");
        p = end;
    }
    require(p == out.data() + total && out[total] == guard, "joined length");
    out.pop_back();
    return out;
}

// Checks every word of the one command in [script, script + len): only text
// and backslash sequences, no substitution, no expansion, nothing left over.
// Returns the number of words.
int clean_words(const char* script, int len) {
    Tcl_Parse parse;
    require(Tcl_ParseCommand(interp, script, len, 0, &parse) == TCL_OK, "Tcl cannot parse the list as a script");
    int words = parse.numWords;
    bool ok = parse.commentSize == 0 && parse.commandStart + parse.commandSize == script + len;
    for (int i = 0; ok && i < parse.numTokens; ++i) {
        const int type = parse.tokenPtr[i].type;
        ok = type == TCL_TOKEN_WORD || type == TCL_TOKEN_SIMPLE_WORD || type == TCL_TOKEN_TEXT || type == TCL_TOKEN_BS;
    }
    Tcl_FreeParse(&parse);
    require(ok, "a word of the list substitutes, expands or ends the command");
    return words;
}

template <typename C>
void check_width(const std::vector<std::vector<C>>& elems) {
    stage = sizeof(C) == 1 ? "1-byte" : sizeof(C) == 2 ? "2-byte" : "4-byte";
    const std::vector<C> text = join<C, C>(elems);
    // the same text written into wider code units
    if (sizeof(C) < 4) {
        const std::vector<std::uint32_t> wide = join<C, std::uint32_t>(elems);
        require(wide.size() == text.size() && std::equal(text.begin(), text.end(), wide.begin()),
                "wide conversion differs");
    }
    std::vector<Utf16> expect;
    for (const auto& e : elems) expect.push_back(utf16(e.data(), e.size()));

    // 1. Tcl's list parser reads back every element
    Tcl_Obj* list = new_obj(utf16(text.data(), text.size()));
    Tcl_IncrRefCount(list);
    int objc = 0;
    Tcl_Obj** objv = nullptr;
    require(Tcl_ListObjGetElements(interp, list, &objc, &objv) == TCL_OK, "Tcl rejects the list");
    require(static_cast<std::size_t>(objc) == elems.size(), "element count differs");
    for (int i = 0; i < objc; ++i) require(utf16_of(objv[i]) == expect[i], "an element reads back differently");

    // 2. as the words of a command: nothing substituted, the elements passed exactly
    Tcl_Obj* script = Tcl_NewStringObj("x ", 2);
    Tcl_IncrRefCount(script);
    {
        int n = 0;
        const char* s = Tcl_GetStringFromObj(list, &n);
        Tcl_AppendToObj(script, s, n);
    }
    int n = 0;
    const char* s = Tcl_GetStringFromObj(script, &n);
    require(clean_words(s, n) == objc + 1, "word count of the command differs");
    captured.clear();
    require(Tcl_EvalObjEx(interp, script, TCL_EVAL_DIRECT | TCL_EVAL_GLOBAL) == TCL_OK, "evaluating the command fails");
    require(captured == expect, "the command received other words");
    Tcl_DecrRefCount(script);

    // 3. the list itself as a script, unless it begins with a comment
    if (!(!elems.empty() && !elems[0].empty() && elems[0][0] == '#')) {
        const char* ls = Tcl_GetStringFromObj(list, &n);
        if (n > 0) require(clean_words(ls, n) == objc, "word count of the list as a script differs");
    }
    Tcl_DecrRefCount(list);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Tcl_FindExecutable(nullptr);
    interp = Tcl_CreateInterp();
    Tcl_CreateObjCommand(interp, "x", capture_cmd, nullptr, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<CodePoints> points;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == kSeparator) {
            points.push_back(decode(data + start, i - start));
            start = i + 1;
        }
    }
    std::vector<std::vector<std::uint8_t>> e1;
    std::vector<std::vector<std::uint16_t>> e2;
    std::vector<std::vector<std::uint32_t>> e4;
    for (const auto& cps : points) {
        e1.emplace_back();
        e2.emplace_back();
        e4.emplace_back();
        for (std::uint32_t cp : cps) {
            e1.back().push_back(static_cast<std::uint8_t>(narrow(cp, 1)));
            e2.back().push_back(static_cast<std::uint16_t>(narrow(cp, 2)));
            e4.back().push_back(narrow(cp, 4));
        }
    }
    check_width(e1);
    check_width(e2);
    check_width(e4);
    return 0;
}
