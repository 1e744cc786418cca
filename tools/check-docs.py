"""Check that the built documentation site documents the whole public API.

    python tools/check-docs.py build/docs/html

Reads the site's object inventory (objects.inv, written by Sphinx) and fails
when a public function, class, method or property of trelmo.tcl or of one of
its extension modules has no entry there, that is, no place in the API
reference.  Public means: named in the module's __all__ (or, without one,
defined by the module under a name without a leading underscore), and for
classes every attribute without a leading underscore, nested classes
included.
"""

import importlib
import inspect
import os
import sys

from sphinx.util.inventory import InventoryFile

MODULES = ["quoml", "namespace", "dorvel", "history", "vix"]
# The package module's own API (the rest of its __all__ re-exports the
# modules' names, documented with their modules).
PACKAGE_NAMES = ["Interpreter", "default_interpreter", "cast_list", "cast_boolean", "cast_array", "cast_any"]


def public_api(modname, names=None):
    """Qualified names of the public functions, classes, methods and properties."""
    mod = importlib.import_module(modname)
    if names is None:
        names = getattr(mod, "__all__", None) or [
            n for n, v in vars(mod).items() if not n.startswith("_") and getattr(v, "__module__", None) == mod.__name__
        ]
    out = []

    def walk(prefix, cls):
        for n, v in vars(cls).items():
            if n.startswith("_"):
                continue
            if not isinstance(v, property):
                v = getattr(cls, n)
            if inspect.isclass(v):
                out.append(prefix + n)
                walk(prefix + n + ".", v)
            elif callable(v) or inspect.isdatadescriptor(v):
                out.append(prefix + n)

    for n in names:
        v = getattr(mod, n)
        if inspect.isclass(v) or callable(v):
            out.append(n)
            if inspect.isclass(v):
                walk(n + ".", v)
    return ["%s.%s" % (modname, q) for q in out]


def main(html):
    with open(os.path.join(html, "objects.inv"), "rb") as f:
        inventory = InventoryFile.load(f, "", os.path.join)
    documented = set()
    for kind, entries in inventory.items():
        if kind.startswith("py:"):
            documented.update(entries)
    wanted = public_api("trelmo.tcl", PACKAGE_NAMES)
    for m in MODULES:
        wanted += public_api("trelmo.tcl." + m)
    missing = [name for name in wanted if name not in documented]
    if missing:
        sys.exit("the API reference lacks %d public names:\n  %s" % (len(missing), "\n  ".join(missing)))
    print("API reference: all %d public names documented" % len(wanted))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build/docs/html")
