#!/bin/sh
# Make sure the fuzzing toolchain is present: clang with its libFuzzer runtime
# (Debian: clang-14, libclang-rt-14-dev) and Tcl's C library and headers
# (tcl8.6-dev).  As root it installs what is missing; otherwise it prints the
# apt-get line to run and fails.
missing=""
command -v clang++ >/dev/null 2>&1 || command -v clang++-14 >/dev/null 2>&1 || missing="clang-14"
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || missing="$missing libclang-rt-14-dev"
[ -f /usr/include/tcl8.6/tcl.h ] || missing="$missing tcl8.6-dev"
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "installing Debian packages: $missing"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null || exit 1
else
  echo "missing Debian packages; run:  sudo apt-get install -y $missing"
  exit 1
fi
