"""The documentation's examples run, and the documentation covers the API.

Every fenced ```python block of README.md and docs/*.md is executed, in file
order, in one fresh namespace per file (so later blocks may use what earlier
ones defined); every ```pycon block is run as a doctest in that same
namespace, its printed results compared.  A block fenced ```python no-run is
shown to readers but not executed.

Each docs/<module>.md page must also name every public function, class and
method of its module, and help() of each must show a signature and a summary.
The package's __version__ must be the installed distribution's, with an entry
in CHANGELOG.md.
"""

import doctest
import gc
import importlib
import inspect
import io
import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOC_FILES = ["README.md"] + sorted(
    os.path.join("docs", f) for f in os.listdir(os.path.join(ROOT, "docs")) if f.endswith(".md")
)
MODULES = ["quoml", "namespace", "dorvel", "history", "vix"]

_FENCE = re.compile(r"^```([\w-]*)[ \t]*([^\n]*)\n(.*?)^```[ \t]*$", re.M | re.S)


def _blocks(path):
    """(kind, first line number, source) of each runnable block of a markdown file."""
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        text = f.read()
    out = []
    for m in _FENCE.finditer(text):
        lang, info, body = m.group(1), m.group(2), m.group(3)
        if "no-run" in info.split():
            continue
        if lang in ("python", "py", "pycon"):
            line = text.count("\n", 0, m.start(3)) + 1
            out.append(("pycon" if lang == "pycon" else "python", line, body))
    return out


@pytest.mark.parametrize("path", DOC_FILES)
def test_snippets_run(path, capsys):
    blocks = _blocks(path)
    if not blocks:
        return  # prose only
    filename = os.path.join(ROOT, path)
    namespace = {"__name__": "__docs__"}
    parser = doctest.DocTestParser()
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    for kind, line, body in blocks:
        if kind == "python":
            # Pad so that tracebacks show the line numbers of the markdown file.
            code = compile("\n" * (line - 1) + body, filename, "exec")
            exec(code, namespace)
            continue
        test = parser.get_doctest(body, namespace, "%s:%d" % (path, line), filename, line - 1)
        out = io.StringIO()
        runner = doctest.DocTestRunner(optionflags=flags)
        runner.run(test, out=out.write, clear_globs=False)
        namespace.update(test.globs)  # DocTest works on a copy; later blocks see its names
        assert not runner.failures, "doctest in %s:%d failed\n%s" % (path, line, out.getvalue())
    # Drop the snippets' objects newest first, as a script ending would: handles
    # (a TempTclCommand's finaliser, say) go before the interpreters they use.
    for name in reversed(list(namespace)):
        del namespace[name]
    gc.collect()


_LINK = re.compile(r"\]\(([^()\s]+)\)")


@pytest.mark.parametrize("path", DOC_FILES)
def test_relative_links_resolve(path):
    """Every relative link of a page names a file of the tree (and, with an
    anchor, a heading of that file), so it works in the repository and on the
    documentation site."""
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        text = _FENCE.sub("", f.read())
    broken = []
    for target in _LINK.findall(text):
        if re.match(r"[a-z]+:", target):
            continue
        file_part, _, anchor = target.partition("#")
        linked = os.path.normpath(os.path.join(ROOT, os.path.dirname(path), file_part)) if file_part else os.path.join(ROOT, path)
        if not os.path.exists(linked):
            broken.append(target)
        elif anchor:
            with open(linked, encoding="utf-8") as f:
                headings = re.findall(r"^#+ (.*)$", _FENCE.sub("", f.read()), re.M)
            # A code host's slug: lower case, punctuation dropped, spaces to dashes.
            slugs = {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-") for h in headings}
            if anchor not in slugs:
                broken.append(target)
    assert not broken, "%s: links that lead nowhere: %s" % (path, ", ".join(broken))


@pytest.mark.parametrize("script", ["report_example.py", "typed_usage.py", "tour.py"])
def test_examples_run(script):
    """The examples run to the end, cleanly (nothing ignored at finalisation)."""
    env = dict(os.environ, PYTHONDEVMODE="1")
    proc = subprocess.run(
        [sys.executable, os.path.join(ROOT, "examples", script)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        env=env,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == "", proc.stderr
    assert proc.stdout.strip()


def test_version_is_the_distributions_and_in_the_changelog():
    """__version__ is the installed distribution's version, and the changelog
    has an entry for it."""
    from importlib import metadata

    import trelmo.tcl

    try:
        installed = metadata.version("trelmo.tcl")
    except metadata.PackageNotFoundError:  # Python 3.8 does not normalise the name
        installed = metadata.version("trelmo_tcl")
    assert trelmo.tcl.__version__ == installed
    assert re.fullmatch(r"\d+\.\d+\.\d+(?:(?:a|b|rc)\d+)?(?:\.post\d+)?(?:\.dev\d+)?", installed), installed
    with open(os.path.join(ROOT, "CHANGELOG.md"), encoding="utf-8") as f:
        headings = re.findall(r"^## \[([^\]]+)\]", f.read(), re.M)
    assert headings[0] == "Unreleased" and installed in headings, headings


# -- API coverage of the per-module pages --------------------------------------


def _public_api(module):
    """(qualified name, object) of every public function, class and method."""
    mod = importlib.import_module("trelmo.tcl." + module)
    names = getattr(mod, "__all__", None) or [
        n for n, v in vars(mod).items() if not n.startswith("_") and getattr(v, "__module__", None) == mod.__name__
    ]
    out = []

    def walk(prefix, cls):
        for n, v in vars(cls).items():
            if n.startswith("_") and n not in ("__init__", "__call__"):
                continue
            if not isinstance(v, property):
                v = getattr(cls, n)  # the function itself, not its method wrapper
            if inspect.isclass(v):
                out.append((prefix + n, v))
                walk(prefix + n + ".", v)
            elif callable(v) or isinstance(v, property):
                out.append((prefix + n, v))

    for n in names:
        v = getattr(mod, n)
        if inspect.isclass(v) or callable(v):
            out.append((n, v))
            if inspect.isclass(v):
                walk(n + ".", v)
    return out


@pytest.mark.parametrize("module", MODULES)
def test_docs_page_covers_api(module):
    with open(os.path.join(ROOT, "docs", module + ".md"), encoding="utf-8") as f:
        page = f.read()
    undocumented = []
    for qualname, _ in _public_api(module):
        last = qualname.rsplit(".", 1)[-1]
        if last == "__init__":
            continue
        if not re.search(r"\b%s\b" % re.escape(last), page):
            undocumented.append(qualname)
    assert not undocumented, "docs/%s.md does not mention: %s" % (module, ", ".join(undocumented))


def _help_gaps(module):
    gaps = []
    for qualname, obj in _public_api(module):
        if isinstance(obj, property):
            if not (obj.__doc__ or "").strip():
                gaps.append("%s: no docstring" % qualname)
            continue
        doc = inspect.getdoc(obj) or ""
        if not doc.strip():
            gaps.append("%s: no docstring" % qualname)
        if inspect.isclass(obj):
            # A class whose __init__ is a C function has no signature that
            # inspect can find, so help() shows the constructor only when the
            # class docstring starts with it.
            try:
                inspect.signature(obj)
            except (TypeError, ValueError):
                if not doc.startswith(obj.__name__ + "("):
                    gaps.append(
                        "%s: help() shows no constructor signature; start the class docstring with "
                        "'%s(<parameters of __init__>)' and a blank line" % (qualname, obj.__name__)
                    )
            continue
        try:
            inspect.signature(obj)
        except (TypeError, ValueError):
            # help() still shows a signature when the docstring starts with one
            # that inspect cannot parse (a default that is no literal).
            name = getattr(obj, "__name__", qualname.rsplit(".", 1)[-1])
            if not doc.startswith(name + "("):
                gaps.append("%s: no signature" % qualname)
    return gaps


@pytest.mark.parametrize("module", MODULES)
def test_help_shows_signature_and_summary(module):
    gaps = _help_gaps(module)
    assert not gaps, "help() gaps in trelmo.tcl.%s:\n  %s" % (module, "\n  ".join(gaps))


def test_help_renders_for_package():
    """help() of the package module and its Interpreter shows signatures."""
    import pydoc

    import trelmo.tcl

    text = pydoc.render_doc(trelmo.tcl.Interpreter, renderer=pydoc.plaintext)
    assert "cast_list(self, value" in text
    for name in ("cast_list", "cast_boolean", "cast_array", "cast_any", "default_interpreter"):
        assert inspect.getdoc(getattr(trelmo.tcl, name))


if __name__ == "__main__":  # python tests/test_docs.py: list the help() gaps of every module
    for m in MODULES:
        for gap in _help_gaps(m):
            print("%s: %s" % (m, gap))
    sys.exit(0)
