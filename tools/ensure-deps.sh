#!/bin/sh
# Makes sure the build tools are here: cmake, make, a C++ compiler,
# GoogleTest, and for the Python package Debian's interpreter with its
# headers, pybind11, numpy, scipy, scikit-learn, pytest and setuptools.
# Installs what is missing with apt-get when it can (as root or through sudo
# without a password); otherwise names what is missing and fails.
set -eu

missing=""
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v make >/dev/null 2>&1 || missing="$missing make"
if ! command -v c++ >/dev/null 2>&1 && ! command -v g++ >/dev/null 2>&1 &&
   ! command -v clang++ >/dev/null 2>&1; then
  missing="$missing g++"
fi
gtest_found=no
if [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; then
  gtest_found=yes
fi
for dir in /usr/lib/*/cmake/GTest /usr/lib/cmake/GTest /usr/local/lib/cmake/GTest \
           /usr/share/cmake/GTest; do
  [ -f "$dir/GTestConfig.cmake" ] && gtest_found=yes
done
[ "$gtest_found" = yes ] || missing="$missing libgtest-dev"

# The Python package is built and tested with Debian's interpreter, whose
# modules come from these packages (the PATH's python3 may be another one).
python=/usr/bin/python3
for pair in numpy:python3-numpy scipy:python3-scipy sklearn:python3-sklearn \
            pytest:python3-pytest setuptools:python3-setuptools \
            pybind11:python3-pybind11; do
  module=${pair%%:*}
  if ! [ -x "$python" ] || ! "$python" -c "import importlib.util, sys
sys.exit(importlib.util.find_spec('$module') is None)" 2>/dev/null; then
    missing="$missing ${pair#*:}"
  fi
done
pybind11_found=no
for dir in /usr/lib/cmake/pybind11 /usr/share/cmake/pybind11 /usr/local/lib/cmake/pybind11; do
  [ -f "$dir/pybind11Config.cmake" ] && pybind11_found=yes
done
[ "$pybind11_found" = yes ] || missing="$missing pybind11-dev"
python_h=no
for header in /usr/include/python3*/Python.h; do
  [ -f "$header" ] && python_h=yes
done
[ "$python_h" = yes ] || missing="$missing python3-dev"

[ -z "$missing" ] && exit 0

echo "ensure-deps: missing:$missing"
if [ "$(id -u)" -eq 0 ]; then
  sudo=""
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  sudo="sudo"
else
  echo "ensure-deps: not root and no password-less sudo; please install:$missing" >&2
  exit 1
fi
if ! command -v apt-get >/dev/null 2>&1; then
  echo "ensure-deps: apt-get not found; please install:$missing" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
# shellcheck disable=SC2086
$sudo apt-get install -y --no-install-recommends $missing
echo "ensure-deps: installed:$missing"
