#!/bin/sh
# Print the path of a CPython with tkinter, for CI and `make bench`:
#
#   sh tools/find-python.sh 3.12     a Python 3.12 (on PATH, under pyenv, or the system's)
#   sh tools/find-python.sh newest   the newest pyenv CPython, by version number
#
# Exits 1, printing nothing, when there is none.
v="${1:?usage: find-python.sh VERSION|newest}"
if [ "$v" = newest ]; then
  for p in /root/.pyenv/versions/3.*/bin/python3; do
    [ -x "$p" ] && "$p" -c 'import tkinter' 2>/dev/null \
      && echo "$("$p" -c 'import sys; print("%d.%03d" % sys.version_info[:2])') $p"
  done | sort -n | tail -1 | cut -d' ' -f2 | grep . && exit 0
  exit 1
fi
for p in "$(command -v "python$v" 2>/dev/null)" /root/.pyenv/versions/"$v"*/bin/python"$v" /usr/bin/python"$v"; do
  [ -x "$p" ] && "$p" -c 'import tkinter' 2>/dev/null && { echo "$p"; exit 0; }
done
exit 1
