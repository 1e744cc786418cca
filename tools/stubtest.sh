#!/bin/sh
# Check the type stubs (src/trelmo/tcl/*.pyi) against the built extension
# modules with mypy's stubtest, then type-check examples/typed_usage.py with
# mypy --strict.
#
#   sh tools/stubtest.sh [python]        (default: .venv/bin/python)
#
# With the editable install of `make build`, mypy cannot follow the import
# hook that maps trelmo.tcl to the source tree, so the stubs are found through
# MYPYPATH=src while the modules themselves are imported from the build.  Set
# STUBS_FROM=installed to check an ordinary (wheel) install instead.
set -eu
cd "$(dirname "$0")/.."
py="${1:-.venv/bin/python}"
if [ "${STUBS_FROM:-src}" = src ]; then
  export MYPYPATH="$(pwd)/src"
fi
# Every module must have its stub beside it; stubtest then checks the package
# and, recursively, every submodule.
pkgdir=$("$py" -c 'import os, trelmo.tcl; print(os.path.dirname(trelmo.tcl.__file__))')
for m in __init__ quoml namespace dorvel history vix; do
  [ -f "$pkgdir/$m.pyi" ] || { echo "stubtest: no stub $pkgdir/$m.pyi" >&2; exit 1; }
done
allow=""
# Entries only some Python versions need: unused ones are not an error.
[ -f tools/stubtest-allowlist.txt ] && allow="--allowlist tools/stubtest-allowlist.txt --ignore-unused-allowlist"
echo "== stubtest trelmo.tcl (stubs in $pkgdir)"
# shellcheck disable=SC2086
"$py" -m mypy.stubtest --mypy-config-file tools/mypy.ini $allow trelmo.tcl
echo "== mypy --strict examples/typed_usage.py"
"$py" -m mypy --config-file tools/mypy.ini --strict examples/typed_usage.py
