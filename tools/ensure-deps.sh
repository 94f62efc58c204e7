#!/bin/sh
# Makes sure the build tools are here: cmake, make, a C++ compiler and
# GoogleTest.  Installs what is missing with apt-get when it can (as root or
# through sudo without a password); otherwise names what is missing and
# fails.
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
