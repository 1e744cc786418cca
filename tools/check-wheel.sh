#!/usr/bin/env bash
# Verify the package the way users get it: build an sdist and a wheel with the
# standard frontend (python -m build; the wheel is built from the sdist, so a
# file missing from the sdist breaks the build), install the wheel into a fresh
# virtual environment, and run the whole test suite there against the
# installed package -- from a scratch copy of the tests, so that the source
# tree is not on sys.path.  Then check the metadata pip shows, the sdist's
# contents (C++ sources, stubs) and the installed stubs (stubtest).
#
#   tools/check-wheel.sh [python]
#
# python builds and hosts the fresh environment (default: the interpreter
# behind .venv, or python3); it needs `build` (make build installs it in .venv).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

py="${1:-}"
if [ -z "$py" ]; then
  if [ -x .venv/bin/python ]; then py=.venv/bin/python; else py=python3; fi
fi
base=$("$py" -c 'import sys; print(getattr(sys, "_base_executable", sys.executable))')
"$py" -c 'import build' 2>/dev/null || { echo "check-wheel: $py lacks the 'build' package (pip install build)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/trelmo-wheel.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check-wheel: $*" >&2; exit 1; }

echo "== build sdist and wheel ($("$py" -V))"
# Build from a clean export of the tracked files, so that stray build products
# and untracked files of the checkout cannot leak into the distributions.
mkdir "$work/src"
git ls-files -z --cached --others --exclude-standard | (cd "$root" && xargs -0 cp --parents -t "$work/src" 2>/dev/null || true)
# PIP_FLAGS (CI sets -Ccmake.define.TRELMO_WERROR=ON) are config settings, as
# for make build.
# shellcheck disable=SC2086
"$py" -m build -o "$work/dist" ${PIP_FLAGS:-} "$work/src" >"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; fail "build failed"; }
sdist=$(ls "$work"/dist/*.tar.gz)
wheel=$(ls "$work"/dist/*.whl)
echo "   $(basename "$sdist")  $(basename "$wheel")"

echo "== sdist contents"
tar tzf "$sdist" | sed 's|^[^/]*/||' | sort >"$work/sdist.txt"
for f in CMakeLists.txt pyproject.toml README.md src/trelmo/py.typed \
         src/ext/common/pyhelp.hpp src/ext/quoml/quoml_capi.hpp src/ext/quoml/quoml_core.hpp \
         src/ext/quoml/quoml.cpp src/ext/namespace/module.cpp src/ext/dorvel.cpp src/ext/history.cpp src/ext/vix.cpp \
         src/trelmo/tcl/py.typed src/trelmo/tcl/__init__.pyi; do
  grep -qx "$f" "$work/sdist.txt" || fail "sdist lacks $f"
done
for m in quoml namespace dorvel history vix; do
  grep -qx "src/trelmo/tcl/$m.pyi" "$work/sdist.txt" || fail "sdist lacks src/trelmo/tcl/$m.pyi"
done
echo "   C++ sources, headers and stubs present"

echo "== install the wheel into a fresh virtual environment"
"$base" -m venv "$work/venv"
vpy="$work/venv/bin/python"
"$vpy" -m pip install -q "$wheel[test]" mypy pytest-xdist >"$work/pip.log" 2>&1 || { tail -20 "$work/pip.log"; fail "pip install failed"; }
"$vpy" -m zipfile -l "$wheel" >"$work/wheel.txt"
grep -q 'trelmo/py.typed' "$work/wheel.txt" || fail "wheel lacks trelmo/py.typed"
grep -q 'trelmo/tcl/py.typed' "$work/wheel.txt" || fail "wheel lacks trelmo/tcl/py.typed"
! grep -qE '\.(cpp|hpp)\b' "$work/wheel.txt" || fail "wheel carries C++ sources"
for m in __init__ quoml namespace dorvel history vix; do
  grep -q "trelmo/tcl/$m.pyi" "$work/wheel.txt" || fail "wheel lacks trelmo/tcl/$m.pyi"
done

echo "== metadata (pip show)"
"$vpy" -m pip show -v trelmo.tcl >"$work/show.txt"
sed -n '1,/^Classifiers:/p' "$work/show.txt" | sed 's/^/   /'
"$vpy" - "$work/show.txt" <<'PY'
import sys
from importlib import metadata
shown = open(sys.argv[1]).read()
try:
    md = metadata.metadata("trelmo.tcl")
except metadata.PackageNotFoundError:  # Python 3.8 does not normalise the name
    md = metadata.metadata("trelmo_tcl")
errors = []
def need(cond, what):
    if not cond:
        errors.append(what)
need(md["Name"] == "trelmo.tcl", "name is %r" % md["Name"])
need(md["Version"] and md["Version"][0].isdigit(), "version is %r" % md["Version"])
need(md["Summary"] and len(md["Summary"]) > 20, "summary missing")
need(md["License"] or md.get("License-Expression"), "license missing")
need((md["Requires-Python"] or "").replace(" ", "") == ">=3.8", "Requires-Python is %r" % md["Requires-Python"])
classifiers = md.get_all("Classifier") or []
for c in ("Programming Language :: Python :: 3.8", "Programming Language :: Python :: 3.13",
          "Programming Language :: Tcl", "Typing :: Typed"):
    need(c in classifiers, "classifier %r missing" % c)
for field in ("Name: trelmo.tcl", "Summary: ", "License: ", "Classifiers:"):
    need(field in shown, "pip show lacks %r" % field)
if errors:
    sys.exit("metadata: " + "; ".join(errors))
print("   Requires-Python %s, %d classifiers" % (md["Requires-Python"], len(classifiers)))
PY

echo "== test suite against the installed package"
# A scratch copy of the tracked files without src/: the tests, docs and
# examples, but nothing that could shadow the installed package.
mkdir "$work/run"
(cd "$work/src" && tar cf - --exclude=./src --exclude=./build .) | (cd "$work/run" && tar xf -)
cd "$work/run"
"$vpy" - <<'PY'
import os, sys, trelmo.tcl
where = os.path.dirname(trelmo.tcl.__file__)
assert "site-packages" in where, where
print("   trelmo.tcl imported from", where)
PY
# In parallel (pytest-xdist; CHECK_WHEEL_JOBS workers, default one per CPU).
PYTHONDEVMODE=1 PYTHONFAULTHANDLER=1 "$vpy" -m pytest -q -p no:cacheprovider -n "${CHECK_WHEEL_JOBS:-auto}" tests
echo "== stubtest against the installed package"
STUBS_FROM=installed sh tools/stubtest.sh "$vpy"
echo "check-wheel: ok"
