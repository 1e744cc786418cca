#!/usr/bin/env bash
# Verify the release files the way users and a package index get them.
#
#   tools/check-wheel.sh [python] [dist]   (default: .venv/bin/python, dist)
#
# dist holds what `make wheel` left there: the sdist and the repaired
# (manylinux) wheel for `python`.  The script checks the sdist's contents, the
# wheel's contents and tag, and the metadata; then, for each Python of
# CHECK_WHEEL_PYTHONS (default: "primary py38 debian" -- the given python,
# pyenv's or the system's 3.8, and Debian's /usr/bin/python3), it installs the
# repaired wheel of that Python's tag into a fresh virtual environment and runs
# the whole test suite there against the installed package -- from a scratch
# copy of the tests, so that the source tree is not on sys.path.  A Python
# whose tag has no wheel in dist yet gets one built from the sdist (and
# repaired) by tools/build-wheel.sh, into the work folder.  Under the given
# python the installed stubs are also checked (stubtest).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

py="${1:-.venv/bin/python}"
dist=$(cd "${2:-dist}" && pwd)
fail() { echo "check-wheel: $*" >&2; exit 1; }
pyversion() { "$1" -c 'import sys; print(sys.version_info[0], sys.version_info[1], sep="")'; }
base_of() { "$1" -c 'import sys; print(getattr(sys, "_base_executable", sys.executable))'; }

work=$(mktemp -d "${TMPDIR:-/tmp}/trelmo-wheel.XXXXXX")
trap 'rm -rf "$work"' EXIT

sdist=$(ls "$dist"/*.tar.gz 2>/dev/null | tail -1)
[ -n "$sdist" ] || fail "no sdist in $dist (run make wheel)"
primary_tag=cp$(pyversion "$py")
wheel=$(ls "$dist"/*-"$primary_tag"-"$primary_tag"-*manylinux*.whl 2>/dev/null | tail -1)
[ -n "$wheel" ] || fail "no repaired $primary_tag wheel in $dist (run make wheel)"
version=$(basename "$sdist" .tar.gz); version=${version##*-}
echo "== release files: $(basename "$sdist")  $(basename "$wheel")"

echo "== sdist contents"
tar tzf "$sdist" | sed 's|^[^/]*/||' | sort >"$work/sdist.txt"
for f in CMakeLists.txt pyproject.toml README.md LICENSE CHANGELOG.md src/trelmo/py.typed \
         src/ext/common/pyhelp.hpp src/ext/quoml/quoml_capi.hpp src/ext/quoml/quoml_core.hpp \
         src/ext/quoml/quoml.cpp src/ext/dorvel.cpp src/ext/history.cpp src/ext/vix.cpp \
         src/trelmo/tcl/py.typed src/trelmo/tcl/__init__.pyi; do
  grep -qx "$f" "$work/sdist.txt" || fail "sdist lacks $f"
done
grep -q '^src/ext/namespace/.*\.cpp$' "$work/sdist.txt" || fail "sdist lacks the namespace module's sources"
for m in quoml namespace dorvel history vix; do
  grep -qx "src/trelmo/tcl/$m.pyi" "$work/sdist.txt" || fail "sdist lacks src/trelmo/tcl/$m.pyi"
done
echo "   LICENSE, C++ sources, headers and stubs present"

echo "== wheel contents"
"$py" -m zipfile -l "$wheel" | awk '{print $1}' >"$work/wheel.txt"
grep -qx 'trelmo/py.typed' "$work/wheel.txt" || fail "wheel lacks trelmo/py.typed"
grep -qx 'trelmo/tcl/py.typed' "$work/wheel.txt" || fail "wheel lacks trelmo/tcl/py.typed"
grep -qx "trelmo_tcl-$version.dist-info/licenses/LICENSE" "$work/wheel.txt" || fail "wheel lacks LICENSE"
! grep -qE '\.(c|cc|cpp|cxx|h|hpp)$' "$work/wheel.txt" || fail "wheel carries C++ sources: $(grep -E '\.(c|cc|cpp|cxx|h|hpp)$' "$work/wheel.txt" | head -3 | tr '\n' ' ')"
for m in __init__ quoml namespace dorvel history vix; do
  grep -qx "trelmo/tcl/$m.pyi" "$work/wheel.txt" || fail "wheel lacks trelmo/tcl/$m.pyi"
done
for m in quoml namespace dorvel history vix; do
  grep -q "^trelmo/tcl/$m\..*\.so$" "$work/wheel.txt" || fail "wheel lacks the $m module"
done
echo "   LICENSE, modules and stubs present; no C/C++ sources"

echo "== metadata"
"$py" - "$wheel" "$sdist" "$version" <<'PY'
import email.parser, sys, tarfile, zipfile
wheel, sdist, version = sys.argv[1:]
with zipfile.ZipFile(wheel) as z:
    name = next(n for n in z.namelist() if n.endswith(".dist-info/METADATA"))
    md = email.parser.Parser().parsestr(z.read(name).decode("utf-8"))
with tarfile.open(sdist) as t:
    member = next(m for m in t.getmembers() if m.name.count("/") == 1 and m.name.endswith("/PKG-INFO"))
    pkg_info = email.parser.Parser().parsestr(t.extractfile(member).read().decode("utf-8"))
errors = []
def need(cond, what):
    if not cond:
        errors.append(what)
for where, m in (("wheel", md), ("sdist", pkg_info)):
    need(m["Name"] == "trelmo.tcl", "%s: name is %r" % (where, m["Name"]))
    need(m["Version"] == version, "%s: version %r, file name says %r" % (where, m["Version"], version))
    need(m["License-Expression"] == "MIT", "%s: License-Expression is %r" % (where, m["License-Expression"]))
    need("LICENSE" in (m.get_all("License-File") or []), "%s: no License-File: LICENSE" % where)
need(md["Summary"] and len(md["Summary"]) > 20, "summary missing")
need((md["Requires-Python"] or "").replace(" ", "") == ">=3.8", "Requires-Python is %r" % md["Requires-Python"])
classifiers = md.get_all("Classifier") or []
for c in ("Programming Language :: Python :: 3.8", "Programming Language :: Python :: 3.13",
          "Programming Language :: Tcl", "Typing :: Typed", "Operating System :: POSIX :: Linux"):
    need(c in classifiers, "classifier %r missing" % c)
urls = dict(u.split(", ", 1) for u in md.get_all("Project-URL") or [])
for label in ("Documentation", "Source", "Issues", "Changelog"):
    need(urls.get(label, "").startswith("https://"), "Project-URL %s missing" % label)
long_description = md.get_payload()
need(long_description.lstrip().startswith("# trelmo.tcl"), "long description is not the README")
need(md["Description-Content-Type"] == "text/markdown", "long description is not Markdown")
need("](docs/" not in long_description, "long description keeps relative links into docs/")
need("](%s" % urls.get("Documentation", "?") in long_description, "long description does not link the site")
if errors:
    sys.exit("metadata: " + "; ".join(errors))
print("   %s %s, License-Expression %s, %d classifiers, Project-URLs: %s"
      % (md["Name"], md["Version"], md["License-Expression"], len(classifiers), ", ".join(sorted(urls))))
PY

# A scratch copy of the tracked files without src/: the tests, docs and
# examples, but nothing that could shadow the installed package.
mkdir "$work/run"
git ls-files --cached --others --exclude-standard | grep -v '^src/' | tr '\n' '\0' \
  | xargs -0 cp --parents -t "$work/run" 2>/dev/null || true

find_py38() {
  local p
  for p in "$(command -v python3.8 2>/dev/null)" /root/.pyenv/versions/3.8*/bin/python3.8 /usr/bin/python3.8; do
    [ -x "$p" ] && "$p" -c 'import tkinter' 2>/dev/null && { echo "$p"; return 0; }
  done
  return 1
}

check_under() {  # check_under LABEL PYTHON
  local label="$1" host="$2" tag whl venv vpy
  tag=cp$(pyversion "$host")
  echo "== $label: $("$host" -V) ($host)"
  whl=$(ls "$dist"/*-"$tag"-"$tag"-*manylinux*.whl "$work"/wheels/*-"$tag"-"$tag"-*manylinux*.whl 2>/dev/null | head -1 || true)
  if [ -z "$whl" ]; then
    echo "   building the $tag wheel from $(basename "$sdist")"
    tools/build-wheel.sh --from-sdist "$sdist" "$host" "$work/wheels" | sed 's/^/   /'
    whl=$(ls "$work"/wheels/*-"$tag"-"$tag"-*manylinux*.whl)
  fi
  venv="$work/venv-$label"
  "$host" -m venv "$venv"
  vpy="$venv/bin/python"
  "$vpy" -m pip install -q "$whl[test]" pytest-xdist >"$work/pip-$label.log" 2>&1 \
    || { tail -20 "$work/pip-$label.log"; fail "$label: pip install $(basename "$whl") failed"; }
  echo "   installed $(basename "$whl")"
  (cd "$work/run" && "$vpy" - "$version" <<'PY'
import os, sys
import trelmo.tcl
from importlib import metadata
where = os.path.dirname(trelmo.tcl.__file__)
assert "site-packages" in where, where
try:
    dist_version = metadata.version("trelmo.tcl")
except metadata.PackageNotFoundError:  # Python 3.8 does not normalise the name
    dist_version = metadata.version("trelmo_tcl")
assert trelmo.tcl.__version__ == dist_version == sys.argv[1], (trelmo.tcl.__version__, dist_version)
print("   trelmo.tcl %s imported from %s" % (trelmo.tcl.__version__, where))
PY
  )
  # In parallel (pytest-xdist; CHECK_WHEEL_JOBS workers, default one per CPU).
  (cd "$work/run" && PYTHONDEVMODE=1 PYTHONFAULTHANDLER=1 \
    "$vpy" -m pytest -q -p no:cacheprovider -n "${CHECK_WHEEL_JOBS:-auto}" tests)
  if [ "$label" = primary ]; then
    echo "== stubtest against the installed package"
    "$vpy" -m pip install -q mypy >>"$work/pip-$label.log" 2>&1 || fail "pip install mypy failed"
    (cd "$work/run" && STUBS_FROM=installed sh tools/stubtest.sh "$vpy")
  fi
}

for label in ${CHECK_WHEEL_PYTHONS:-primary py38 debian}; do
  case "$label" in
    primary) check_under primary "$(base_of "$py")" ;;
    py38) p=$(find_py38) || fail "no Python 3.8 with tkinter found"; check_under py38 "$p" ;;
    debian)
      [ -x /usr/bin/python3 ] || fail "no Debian /usr/bin/python3"
      sh tools/ensure-debian-python.sh /usr/bin/python3
      sh tools/ensure-deps.sh /usr/bin/python3
      check_under debian /usr/bin/python3 ;;
    *) fail "unknown Python label $label (primary, py38, debian)" ;;
  esac
done
echo "check-wheel: ok"
