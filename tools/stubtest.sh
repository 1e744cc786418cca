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
  export MYPYPATH=src
fi
modules="trelmo.tcl trelmo.tcl.quoml trelmo.tcl.namespace trelmo.tcl.dorvel trelmo.tcl.history trelmo.tcl.vix"
allow=""
[ -f tools/stubtest-allowlist.txt ] && allow="--allowlist tools/stubtest-allowlist.txt"
echo "== stubtest: $modules"
# shellcheck disable=SC2086
"$py" -m mypy.stubtest --mypy-config-file tools/mypy.ini $allow $modules
echo "== mypy --strict examples/typed_usage.py"
"$py" -m mypy --config-file tools/mypy.ini --strict examples/typed_usage.py
