#!/bin/sh
# Make sure the Debian pieces the package and its tests need are present: TclX
# (tclx8.4), tcllib (the tests and the cookbook load its packages: json, csv,
# struct::set), and python3-tk where the chosen Python lacks tkinter.  As root it
# installs what is missing; otherwise it prints the one apt-get line to run.
python="${1:-python3}"
missing=""
if ! "$python" -c 'import tkinter' >/dev/null 2>&1; then
  missing="python3-tk"
  dpkg -s tclx8.4 >/dev/null 2>&1 || missing="$missing tclx8.4"
  dpkg -s tcllib >/dev/null 2>&1 || missing="$missing tcllib"
else
  "$python" -c 'import tkinter; tkinter.Tcl().eval("package require Tclx")' >/dev/null 2>&1 || missing="tclx8.4"
  "$python" -c 'import tkinter; t = tkinter.Tcl(); t.eval("package require json"); t.eval("package require struct::set")' >/dev/null 2>&1 || missing="$missing tcllib"
fi
dpkg -s tcllib >/dev/null 2>&1 || missing="$missing tcllib"
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "installing Debian packages: $missing"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null || exit 1
else
  echo "missing Debian packages; run:  sudo apt-get install -y $missing"
  exit 1
fi
