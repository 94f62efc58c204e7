#!/bin/sh
# Makes sure the Debian packages one kind of work needs are here:
#
#   sh tools/ensure-deps.sh build    the programs and the library: cmake,
#                                    make and a C++ compiler (make run,
#                                    make install)
#   sh tools/ensure-deps.sh python   the Python package in a virtual
#                                    environment: what build needs, and
#                                    Debian's interpreter with its headers,
#                                    venv, setuptools, wheel, pybind11,
#                                    numpy, scipy and scikit-learn
#   sh tools/ensure-deps.sh test     the tests: what build needs, GoogleTest,
#                                    and for the Python module, built by
#                                    CMake, and its tests the interpreter's
#                                    headers, pybind11, numpy, scipy,
#                                    scikit-learn, pytest, and dask with its
#                                    distributed scheduler (make test)
#
# Installs what is missing with apt-get when it can (as root or through sudo
# without a password); otherwise names what is missing and fails.
set -eu

what=${1:-test}
case $what in
  build|python|test) ;;
  *) echo "usage: sh tools/ensure-deps.sh build|python|test" >&2; exit 2 ;;
esac

missing=""
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v make >/dev/null 2>&1 || missing="$missing make"
if ! command -v c++ >/dev/null 2>&1 && ! command -v g++ >/dev/null 2>&1 &&
   ! command -v clang++ >/dev/null 2>&1; then
  missing="$missing g++"
fi

if [ "$what" = test ]; then
  gtest_found=no
  if [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; then
    gtest_found=yes
  fi
  for dir in /usr/lib/*/cmake/GTest /usr/lib/cmake/GTest /usr/local/lib/cmake/GTest \
             /usr/share/cmake/GTest; do
    [ -f "$dir/GTestConfig.cmake" ] && gtest_found=yes
  done
  [ "$gtest_found" = yes ] || missing="$missing libgtest-dev"
fi

if [ "$what" != build ]; then
  # The Python package is built and tested with Debian's interpreter, whose
  # modules come from these packages (the PATH's python3 may be another one).
  python=/usr/bin/python3
  modules="numpy:python3-numpy scipy:python3-scipy sklearn:python3-sklearn"
  if [ "$what" = test ]; then
    # The example that transforms on a cluster of workers runs in the tests.
    modules="$modules pytest:python3-pytest dask:python3-dask distributed:python3-distributed"
  else
    # A virtual environment needs ensurepip, and pip builds the wheel with
    # the interpreter's setuptools and wheel (--no-build-isolation).
    modules="$modules ensurepip:python3-venv setuptools:python3-setuptools"
    modules="$modules wheel:python3-wheel"
  fi
  for pair in $modules; do
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
fi

[ -z "$missing" ] && exit 0

echo "ensure-deps: missing for $what:$missing"
if [ "$(id -u)" -eq 0 ]; then
  sudo=""
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  sudo="sudo"
else
  echo "ensure-deps: not root and no password-less sudo; please install:$missing" >&2
  echo "ensure-deps: for instance: sudo apt-get install$missing" >&2
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
