#!/bin/sh
# Make sure Debian's own Python (default /usr/bin/python3) can build and test
# the package: tkinter (python3-tk), venv (python3-venv) and the C headers
# (python3-dev).  As root it installs what is missing; otherwise it prints the
# apt-get line to run and fails.
python="${1:-/usr/bin/python3}"
[ -x "$python" ] || { echo "no Debian Python at $python (apt-get install python3)"; exit 1; }
missing=""
"$python" -c 'import tkinter' >/dev/null 2>&1 || missing="python3-tk"
"$python" -c 'import ensurepip, venv' >/dev/null 2>&1 || missing="$missing python3-venv"
[ -f "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ] || missing="$missing python3-dev"
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "installing Debian packages: $missing"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null || exit 1
else
  echo "missing Debian packages; run:  sudo apt-get install -y $missing"
  exit 1
fi
