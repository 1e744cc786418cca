#!/usr/bin/env python3
"""Keep new global state out of the extension modules.

Lists every mutable variable of static storage in src/ext/ -- at namespace
scope (named or anonymous namespaces, `inline` variables of headers), a
function's `static` or `thread_local` locals, and a class's `static` data
members -- and compares the list with the allow-list, one line per variable:

    src/ext/common/pyhelp.hpp:pyhelp::g_fast_paths  # read once at import

`const` and `constexpr` objects (a pointer counts as const only when the
pointer itself is), types, functions and declarations without storage are not
listed.  The names are qualified by their namespaces, classes and, for a
function's statics, the function (`file:func::name`).

    tools/check-globals.py            check: exit 1 when a variable is missing from the list
    tools/check-globals.py --list     every variable found, with its line and kind
    tools/check-globals.py --update   rewrite the allow-list from the sources, keeping the
                                      reasons of the entries still there; new entries get
                                      a placeholder reason to replace

Entries of the list that the sources no longer have are reported but do not
fail the check (`--update` drops them).

The reader is a small C++ tokenizer and brace-scope walker, not a compiler:
comments, string and character literals (raw strings too) and preprocessor
lines are dropped first, and a macro invocation at namespace scope (an X-macro
list, say) is skipped as far as its closing parenthesis.  A variable declared
with parentheses (`Foo g(1, 2);`) is taken for a function unless its
arguments contain a literal.
"""

import argparse
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = "src/ext"
ALLOWLIST = os.path.join("tools", "globals-allowlist.txt")
PLACEHOLDER = "# TODO: why this state is safe (bound at init, or keyed on a type's version tag)"
EXTENSIONS = (".cpp", ".hpp", ".cc", ".h", ".hh", ".cxx", ".hxx")

# -- tokens --------------------------------------------------------------------

_TOKEN = re.compile(
    r"""
    (?P<line_comment>//[^\n]*)
  | (?P<block_comment>/\*(?:.|\n)*?\*/)
  | (?P<raw>(?:u8|[uUL])?R"(?P<delim>[^()\\\s]{0,16})\((?:.|\n)*?\)(?P=delim)")
  | (?P<str>(?:u8|[uUL])?"(?:\\.|[^"\\\n])*")
  | (?P<chr>(?:u8|[uUL])?'(?:\\.|[^'\\\n])+')
  | (?P<num>\.?\d(?:[eEpP][+-]|[\w.']|)*)
  | (?P<id>[A-Za-z_]\w*)
  | (?P<punct>::|->|\.\.\.|[^\s\w])
  | (?P<space>\s+)
    """,
    re.X,
)

# operator names become one identifier token: operator(), operator<, ...
_OPERATOR_SYMBOLS = ["()", "[]", "->*", "->", "<<=", ">>=", "<=>", "<<", ">>", "<=", ">=", "==", "!=", "&&", "||",
                     "++", "--", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<", ">", "=", "+", "-", "*", "/",
                     "%", "&", "|", "^", "~", "!", ","]


class Tok:
    __slots__ = ("kind", "text", "line")

    def __init__(self, kind, text, line):
        self.kind, self.text, self.line = kind, text, line

    def __repr__(self):
        return self.text


def _strip_preprocessor(text):
    """Blank out preprocessor lines (with their continuations), keeping line numbers."""
    out, cont = [], False
    for line in text.split("\n"):
        if cont or line.lstrip().startswith("#"):
            cont = line.endswith("\\")
            out.append("")
        else:
            out.append(line)
    return "\n".join(out)


def tokenize(text):
    text = _strip_preprocessor(text)
    toks, pos, line = [], 0, 1
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if m is None:  # a stray character (a lone quote): skip it
            pos += 1
            continue
        kind = m.lastgroup if m.lastgroup != "delim" else "raw"
        s = m.group(0)
        if kind in ("raw", "str", "chr"):
            toks.append(Tok("lit", s, line))
        elif kind == "num":
            toks.append(Tok("lit", s, line))
        elif kind == "id":
            toks.append(Tok("id", s, line))
        elif kind == "punct":
            toks.append(Tok("p", s, line))
        line += s.count("\n")
        pos = m.end()
    return _merge_operators(toks)


def _merge_operators(toks):
    out, i = [], 0
    while i < len(toks):
        t = toks[i]
        if t.kind == "id" and t.text == "operator":
            rest = "".join(x.text for x in toks[i + 1:i + 4] if x.kind == "p")
            for sym in _OPERATOR_SYMBOLS:
                n = len(sym)
                if rest.startswith(sym) and "".join(x.text for x in toks[i + 1:i + 1 + n]) == sym:
                    out.append(Tok("id", "operator" + sym, t.line))
                    i += 1 + n
                    break
            else:
                out.append(t)  # a conversion operator: the type follows as ordinary tokens
                i += 1
            continue
        out.append(t)
        i += 1
    return out


# -- scopes --------------------------------------------------------------------

_OPEN = {"(": ")", "[": "]", "{": "}"}
_CLOSE = {")", "]", "}"}
_QUALIFIERS = {"const", "noexcept", "override", "final", "volatile", "throw", "try", "requires", "mutable"}
_SPECIFIERS = {"static", "inline", "extern", "thread_local", "constinit", "mutable", "volatile", "register"}
_NOT_DECLARATIONS = {"using", "typedef", "static_assert", "friend", "namespace", "return", "template", "concept",
                     "asm", "__asm__", "operator"}


def _match(toks, i):
    """Index of the bracket closing toks[i]."""
    stack = [_OPEN[toks[i].text]]
    j = i + 1
    while j < len(toks):
        s = toks[j].text if toks[j].kind == "p" else None
        if s in _OPEN:
            stack.append(_OPEN[s])
        elif s in _CLOSE:
            if stack and s == stack[-1]:
                stack.pop()
                if not stack:
                    return j
            # a mismatched closer: ignore it
        j += 1
    return len(toks) - 1


class Block:
    """A braced body folded into one token of a statement: kind 'init' (an
    initializer) or 'body' (a class or enum body)."""

    __slots__ = ("kind", "text", "line")

    def __init__(self, kind, line):
        self.kind, self.text, self.line = kind, "{...}", line


def _is(t, text):
    return t.kind in ("p", "id") and t.text == text


def _skip_angles(stmt, i):
    """Index after the <...> starting at stmt[i]."""
    depth = 0
    while i < len(stmt):
        t = stmt[i]
        if _is(t, "<"):
            depth += 1
        elif _is(t, ">"):
            depth -= 1
            if depth == 0:
                return i + 1
        elif t.kind == "p" and t.text in _OPEN:
            i = _skip_group(stmt, i) - 1
        i += 1
    return i


def _skip_group(stmt, i):
    """Index after the (...) or [...] starting at stmt[i] (stmt holds no braces)."""
    depth = 0
    while i < len(stmt):
        t = stmt[i]
        if t.kind == "p" and t.text in ("(", "["):
            depth += 1
        elif t.kind == "p" and t.text in (")", "]"):
            depth -= 1
            if depth == 0:
                return i + 1
        i += 1
    return i


def _clean(stmt):
    """Drop attributes, template headers and macro invocations in front of a declaration."""
    out, i = [], 0
    while i < len(stmt):
        t = stmt[i]
        if _is(t, "[") and i + 1 < len(stmt) and _is(stmt[i + 1], "["):  # [[attribute]]
            i = _skip_group(stmt, i)
            continue
        if t.kind == "id" and t.text in ("alignas", "__attribute__", "__declspec", "decltype") and i + 1 < len(
                stmt) and _is(stmt[i + 1], "("):
            end = _skip_group(stmt, i + 1)
            if t.text == "decltype":  # a type: keep a stand-in
                out.append(Tok("id", "decltype(...)", t.line))
            i = end
            continue
        if t.kind == "id" and t.text == "template" and i + 1 < len(stmt) and _is(stmt[i + 1], "<") and not out:
            i = _skip_angles(stmt, i + 1)
            continue
        out.append(t)
        i += 1
    # a macro invocation in front: NAME(...) followed by an identifier
    changed = True
    while changed:
        changed = False
        depth = 0
        for k, t in enumerate(out):
            if t.kind == "p" and t.text in ("(", "["):
                depth += 1
            elif t.kind == "p" and t.text in (")", "]"):
                depth -= 1
                if depth == 0 and t.text == ")" and k + 1 < len(out):
                    nxt = out[k + 1]
                    if nxt.kind == "id" and nxt.text not in _QUALIFIERS:
                        out = out[k + 1:]
                        changed = True
                        break
            elif isinstance(t, Block) or _is(t, "="):
                break
    return out


def _top_level(stmt, stop=("=",)):
    """(index, token) of stmt outside (), [] and <>, up to the first token in stop."""
    depth = angle = 0
    for k, t in enumerate(stmt):
        if t.kind == "p":
            if t.text in ("(", "["):
                if depth == 0 and angle == 0:
                    yield k, t
                depth += 1
                continue
            if t.text in (")", "]"):
                depth -= 1
                if depth == 0 and angle == 0:
                    yield k, t
                continue
            if depth == 0 and t.text == "<" and k > 0 and stmt[k - 1].kind == "id":
                angle += 1
                continue
            if depth == 0 and t.text == ">" and angle:
                angle -= 1
                continue
        if depth == 0 and angle == 0:
            if t.text in stop and t.kind == "p":
                return
            yield k, t


def _qualified_name_before(stmt, k):
    """The name (with its A::B:: qualifiers) ending just before stmt[k]."""
    j = k - 1
    if j < 0 or stmt[j].kind != "id":
        return None, j
    parts = [stmt[j].text]
    while j >= 2 and _is(stmt[j - 1], "::"):
        q = j - 2
        if _is(stmt[q], ">"):  # Class<T>::name: the qualifier without its arguments
            depth = 0
            while q >= 0:
                depth += _is(stmt[q], ">") - _is(stmt[q], "<")
                if depth == 0:
                    break
                q -= 1
            q -= 1
        if q < 0 or stmt[q].kind != "id":
            break
        parts.insert(0, stmt[q].text)
        j = q
    if j >= 1 and _is(stmt[j - 1], "::"):  # ::name
        j -= 1
    return "::".join(parts), j


def _function_name(stmt):
    stmt = _clean(stmt)
    for k, t in _top_level(stmt, stop=()):
        if _is(t, "("):
            name, _ = _qualified_name_before(stmt, k)
            return name or "<lambda>"
    return "<function>"


def _split_declarators(stmt):
    """The declarators of a simple declaration: lists of tokens split at top-level commas."""
    parts, cur, depth, angle, seen_eq = [], [], 0, 0, False
    for k, t in enumerate(stmt):
        if t.kind == "p":
            if t.text in ("(", "["):
                depth += 1
            elif t.text in (")", "]"):
                depth -= 1
            elif depth == 0 and not seen_eq and t.text == "<" and k > 0 and stmt[k - 1].kind == "id":
                angle += 1
            elif depth == 0 and not seen_eq and t.text == ">" and angle:
                angle -= 1
            elif depth == 0 and t.text == "=":
                seen_eq = True
            elif depth == 0 and angle == 0 and t.text == ",":
                parts.append(cur)
                cur, seen_eq = [], False
                continue
        cur.append(t)
    parts.append(cur)
    return parts


def _looks_like_arguments(args):
    """Whether the tokens inside `name(...)` are a variable's constructor
    arguments rather than a function's parameters: no parameter (a type
    followed by a name, `void`, nothing at all) and some literal value."""
    if not args or (len(args) == 1 and args[0].text == "void"):
        return False
    element, depth = [], 0
    for t in args + [Tok("p", ",", 0)]:
        if t.kind == "p" and t.text in ("(", "[", "<"):
            depth += 1
        elif t.kind == "p" and t.text in (")", "]", ">"):
            depth -= 1
        if depth == 0 and _is(t, ","):
            ids = [x for x in element if x.kind == "id" and x.text not in ("const", "volatile")]
            words = [x for x in element if not _is(x, "=")]
            before_default = words[:next((k for k, x in enumerate(element) if _is(x, "=")), len(element))]
            named = [x for x in before_default if x.kind == "id" and x.text not in ("const", "volatile")]
            if len(named) >= 2 and ids:
                return False  # `T name`, `T* name`, `T& name = x`: a parameter
            element = []
            continue
        element.append(t)
    return any(a.kind == "lit" or isinstance(a, Block) or a.text in ("nullptr", "true", "false") for a in args)


def _is_const(head):
    """Whether the object declared by the tokens before its name is itself const."""
    stars, consts, angle = [], [], 0
    for k, t in enumerate(head):
        if _is(t, "<"):
            angle += 1
        elif _is(t, ">") and angle:
            angle -= 1
        elif angle == 0 and _is(t, "*"):
            stars.append(k)
        elif angle == 0 and t.kind == "id" and t.text in ("const", "constexpr"):
            consts.append(k)
    if any(head[k].text == "constexpr" for k in consts):
        return True
    if not stars:
        return bool(consts)
    return any(k > stars[-1] for k in consts)


def _variables(stmt, scope):
    """The variables a namespace-scope or class-scope statement (or a function's
    static local) defines: [(name, line, const)]."""
    stmt = _clean(stmt)
    if not stmt or stmt[0].kind != "id" and not _is(stmt[0], "::"):
        return []
    if stmt[0].text in _NOT_DECLARATIONS or stmt[0].text in ("public", "private", "protected"):
        return []
    specs = set()
    k = 0
    while k < len(stmt) and stmt[k].kind == "id" and stmt[k].text in _SPECIFIERS | {"constexpr", "const"}:
        specs.add(stmt[k].text)
        k += 1
    if scope == "class" and "static" not in specs:
        return []  # an ordinary member: state of each instance
    has_init = any(isinstance(t, Block) or _is(t, "=") for t in stmt)
    if "extern" in specs and not has_init:
        return []  # declared here, defined elsewhere
    # class-key declarations: `struct X;`, `struct X {...};`, `struct {...} x;`,
    # `struct X x;`: the key, the name and the body become one type token
    for j, t in enumerate(stmt):
        if t.kind == "id" and t.text in ("class", "struct", "union", "enum"):
            body = next((b for b, x in enumerate(stmt) if isinstance(x, Block) and x.kind == "body"), None)
            if body is not None:
                end = body + 1
            else:
                end = j + 1
                if end < len(stmt) and stmt[end].text in ("class", "struct"):  # enum class
                    end += 1
                while end < len(stmt) and (stmt[end].kind == "id" or _is(stmt[end], "::")):
                    end += 1
                    if end < len(stmt) and stmt[end - 1].kind == "id" and stmt[end].kind == "id":
                        break  # `struct X x`: x is the declarator
            stmt = stmt[:j] + [Tok("id", "<type>", t.line)] + stmt[end:]
            break
        if isinstance(t, Block) or _is(t, "=") or _is(t, "("):
            break
    out, base = [], None
    for decl in _split_declarators(stmt):
        found = _declarator(decl if base is None else base + decl)
        if not found:
            break
        name, line, head = found
        out.append((name, line, _is_const(head)))
        if base is None:  # the shared part of `T a, *b;`: T without a's pointer operators
            base = list(head)
            while base and (base[-1].text in ("*", "&", "&&") or base[-1].text == "const" and "*" in [
                    t.text for t in base]):
                base.pop()
    return out


def _declarator(decl):
    """(name, line, tokens before the name) of the variable declared by decl, or None."""
    stop = None
    for k, t in _top_level(decl, stop=()):
        if isinstance(t, Block) or (t.kind == "p" and t.text in ("=", "[", "(", ":", ";")):
            stop = k
            break
    if stop is None:
        stop = len(decl)
    if stop < len(decl) and _is(decl[stop], "("):
        inner = decl[stop + 1:stop + 3]
        if inner and inner[0].kind == "p" and inner[0].text in ("*", "&", "^"):
            # a pointer to function or array: (*name)(...) or (*name)[...]
            close = _skip_group(decl, stop) - 1
            name, j = _qualified_name_before(decl, close)
            if name is None:
                return None
            return name, decl[close - 1].line, decl[:stop] + decl[stop + 1:j + 1]
        name, j = _qualified_name_before(decl, stop)
        if name is None:
            return None
        args = decl[stop + 1:_skip_group(decl, stop) - 1]
        if _looks_like_arguments(args):
            return name, decl[stop - 1].line, decl[:j]  # Foo g("x"): a variable
        return None  # a function declaration
    name, j = _qualified_name_before(decl, stop)
    if name is None or name in _SPECIFIERS or name in ("const", "constexpr", "<type>") or j < 0:
        return None
    head = decl[:j]
    if not any(t.kind == "id" for t in head):
        return None  # no type: an expression or a macro invocation, not a declaration
    if name.split("::")[-1].startswith("operator"):
        return None
    return name, decl[stop - 1].line, head


def _brace_kind(stmt, scope):
    """What the brace after the statement's tokens opens."""
    s = _clean(stmt)
    if not s:
        return "block", None
    if s[0].text == "namespace" or (s[0].text == "inline" and len(s) > 1 and s[1].text == "namespace"):
        names = [t.text for t in s if t.kind == "id" and t.text not in ("namespace", "inline")]
        return "namespace", "::".join(names) or None
    if s[0].text == "extern" and len(s) == 2 and s[1].kind == "lit":
        return "extern", None
    heads = list(_top_level(s, stop=()))
    if any(_is(t, "=") for _, t in heads):
        return "init", None
    for k, t in heads:
        if _is(t, "("):
            break
        if t.kind == "id" and t.text in ("class", "struct", "union"):
            name = next((x.text for x in s[k + 1:] if x.kind == "id" and x.text not in ("final", "alignas")), None)
            return "class", name
        if t.kind == "id" and t.text == "enum":
            return "enum", None
    closes = [k for k, t in heads if _is(t, ")")]
    if closes:
        after = s[closes[0] + 1:]
        ctor_init = any(_is(t, ":") for t in after)
        last = s[-1]
        if ctor_init and (last.kind == "id" or _is(last, ">")) and last.text not in _QUALIFIERS:
            return "init", None  # a member initializer: x{...}
        return "function", _function_name(stmt)
    return "init", None


class Found:
    __slots__ = ("name", "line", "kind")

    def __init__(self, name, line, kind):
        self.name, self.line, self.kind = name, line, kind


def _scan_scope(toks, i, end, scope, prefix, out):
    """Walk a namespace (scope 'ns') or class ('class') body toks[i:end]."""
    stmt = []
    while i < end:
        t = toks[i]
        if t.kind == "p" and t.text == ";":
            _record(stmt, scope, prefix, out)
            stmt = []
            i += 1
            continue
        if t.kind == "p" and t.text == ":" and scope == "class" and len(stmt) == 1 and stmt[0].text in (
                "public", "private", "protected"):
            stmt = []
            i += 1
            continue
        if t.kind == "p" and t.text == "{":
            j = _match(toks, i)
            kind, name = _brace_kind(stmt, scope)
            if kind == "namespace":
                _scan_scope(toks, i + 1, j, "ns", prefix + ([name] if name else []), out)
                stmt = []
            elif kind == "extern":
                _scan_scope(toks, i + 1, j, "ns", prefix, out)
                stmt = []
            elif kind == "class":
                _scan_scope(toks, i + 1, j, "class", prefix + [name or "<anonymous>"], out)
                stmt.append(Block("body", t.line))
            elif kind == "enum":
                stmt.append(Block("body", t.line))
            elif kind == "function":
                _scan_function(toks, i + 1, j, prefix + [name], out)
                stmt = []
            else:  # an initializer: lambdas in it may have statics of their own
                decl = _variables(stmt + [Block("init", t.line)], scope)
                _scan_function(toks, i + 1, j, prefix + [decl[0][0] if decl else "<init>"], out)
                stmt.append(Block("init", t.line))
            i = j + 1
            continue
        if t.kind == "p" and t.text == "}":
            i += 1  # unbalanced: ignore
            continue
        stmt.append(t)
        i += 1


def _record(stmt, scope, prefix, out, kind=None):
    for name, line, const in _variables(stmt, scope):
        if const:
            continue
        if kind is None:
            specs = {t.text for t in stmt if t.kind == "id"}
            kind = "class static" if scope == "class" else "namespace"
            if "thread_local" in specs:
                kind += ", thread_local"
        out.append(Found("::".join(prefix + [name]), line, kind))


def _scan_function(toks, i, end, prefix, out):
    """Find the static (and thread_local) locals of a function body toks[i:end]."""
    at_start = True
    while i < end:
        t = toks[i]
        if at_start and t.kind == "id" and t.text in ("static", "thread_local"):
            j, depth = i, 0
            while j < end:
                s = toks[j].text if toks[j].kind == "p" else None
                if s in _OPEN:
                    depth += 1
                elif s in _CLOSE:
                    depth -= 1
                elif s == ";" and depth == 0:
                    break
                j += 1
            stmt = _fold_braces(toks, i, j)
            kind = "function static" + (", thread_local" if any(x.text == "thread_local" for x in stmt) else "")
            _record(stmt, "fn", prefix, out, kind)
            # statics inside a lambda of the initializer
            _scan_nested(toks, i, j, prefix, out)
            i = j + 1
            at_start = True
            continue
        at_start = t.kind == "p" and t.text in (";", "{", "}")
        i += 1


def _scan_nested(toks, i, j, prefix, out):
    k = i
    while k < j:
        if _is(toks[k], "{"):
            e = _match(toks, k)
            _scan_function(toks, k + 1, e, prefix, out)
            k = e + 1
        else:
            k += 1


def _fold_braces(toks, i, j):
    out, k = [], i
    while k < j:
        if _is(toks[k], "{"):
            e = _match(toks, k)
            out.append(Block("init", toks[k].line))
            k = e + 1
        else:
            out.append(toks[k])
            k += 1
    return out


def scan_text(text):
    """[Found] of one source text."""
    toks = tokenize(text)
    out = []
    _scan_scope(toks, 0, len(toks), "ns", [], out)
    return out


def scan_tree(root=ROOT, sources=SOURCES):
    """{"path:name": Found} of every file under sources (paths relative to root)."""
    found = {}
    base = os.path.join(root, sources)
    for folder, dirs, files in os.walk(base):
        dirs.sort()
        for f in sorted(files):
            if not f.endswith(EXTENSIONS):
                continue
            path = os.path.join(folder, f)
            rel = os.path.relpath(path, root).replace(os.sep, "/")
            with open(path, encoding="utf-8") as fh:
                for item in scan_text(fh.read()):
                    found.setdefault("%s:%s" % (rel, item.name), item)
    return found


# -- the allow-list ------------------------------------------------------------


def read_allowlist(path):
    """{"path:name": "# reason"} of the allow-list file."""
    entries = {}
    if not os.path.exists(path):
        return entries
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            key, _, reason = line.partition("#")
            entries[key.strip()] = ("#" + reason).strip() if reason else ""
    return entries


HEADER = """\
# The mutable variables of static storage in src/ext/ that may exist, one
# `file:name  # why` line each; tools/check-globals.py (run by the test suite)
# fails on any variable missing here.  State a fast path may keep: what module
# init bound (checked by identity through the guard facility) and per-type
# answers keyed on the type's version tag.  Refresh with
# `tools/check-globals.py --update`, then write the reason of each new line.
"""


def format_allowlist(found, old):
    lines = [HEADER]
    width = max([len(k) for k in found] + [0])
    for key in sorted(found):
        reason = old.get(key) or PLACEHOLDER
        lines.append("%-*s  %s\n" % (width, key, reason))
    return "".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=ROOT, help="the project folder (default: this checkout)")
    parser.add_argument("--allowlist", default=None, help="the allow-list file (default: %s)" % ALLOWLIST)
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--list", action="store_true", help="print every variable found, with its line and kind")
    group.add_argument("--update", action="store_true", help="rewrite the allow-list from the sources")
    args = parser.parse_args(argv)
    allowpath = args.allowlist or os.path.join(args.root, ALLOWLIST)
    found = scan_tree(args.root)
    if args.list:
        for key in sorted(found):
            path = key.split(":", 1)[0]
            print("%s:%d: %s (%s)" % (path, found[key].line, key.split(":", 1)[1], found[key].kind))
        return 0
    allowed = read_allowlist(allowpath)
    if args.update:
        with open(allowpath, "w", encoding="utf-8") as f:
            f.write(format_allowlist(found, allowed))
        new = sorted(set(found) - set(allowed))
        gone = sorted(set(allowed) - set(found))
        print("%s: %d entries (%d new, %d dropped)" % (os.path.relpath(allowpath), len(found), len(new), len(gone)))
        for key in new:
            print("  new: %s" % key)
        for key in gone:
            print("  dropped: %s" % key)
        return 0
    new = sorted(set(found) - set(allowed))
    gone = sorted(set(allowed) - set(found))
    for key in gone:
        print("no longer in the sources (tools/check-globals.py --update drops it): %s" % key)
    if new:
        print("mutable global state not in %s:" % os.path.relpath(allowpath, args.root))
        for key in new:
            path = key.split(":", 1)[0]
            print("  %s:%d: %s (%s)" % (path, found[key].line, key.split(":", 1)[1], found[key].kind))
        print("A fast path may keep only what module init bound (checked through the guard) and\n"
              "per-type answers keyed on the type's version tag; anything else belongs in the\n"
              "handle.  If the variable is that kind of state, add it with its reason\n"
              "(tools/check-globals.py --update writes the lines).")
        return 1
    print("%d mutable globals, all in the allow-list" % len(found))
    return 0


if __name__ == "__main__":
    sys.exit(main())
