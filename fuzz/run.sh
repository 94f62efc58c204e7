#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time.
#
#   bash fuzz/run.sh [SECONDS]   fuzz every target SECONDS (default 60)
#   bash fuzz/run.sh --check     exit 0 when clang++ with libFuzzer works here
#
# Each target starts from a scratch copy of its seed corpus in
# fuzz/work/<target>/corpus, so the seeds in git stay as they are.  Inputs
# that crash, leak or hang are kept in fuzz/artifacts/<target>/ and make the
# script exit non-zero.  Binaries go to $FUZZ_BUILD_DIR (default
# build-fuzz/).  These builds are kept out of the CMake build on purpose:
# they need clang and its fuzzer runtime, the CMake build does not.
set -euo pipefail
cd "$(dirname "$0")/.."

CXX=${FUZZ_CXX:-clang++}
BIN=${FUZZ_BUILD_DIR:-build-fuzz}
FLAGS=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -fno-omit-frame-pointer -std=c++20 -O1 -g -Wall -Wextra)

# Whether the compiler can build and run a libFuzzer binary.
toolchain_works() {
  command -v "$CXX" >/dev/null 2>&1 || return 1
  local dir
  dir=$(mktemp -d)
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' \
    >"$dir/probe.cpp"
  local ok=0
  "$CXX" "${FLAGS[@]}" "$dir/probe.cpp" -o "$dir/probe" >/dev/null 2>&1 &&
    "$dir/probe" -runs=1 >/dev/null 2>&1 || ok=1
  rm -rf "$dir"
  return $ok
}

if [[ "${1:-}" == "--check" ]]; then
  toolchain_works
  exit
fi

SECONDS_PER_TARGET=${1:-60}
if ! [[ "$SECONDS_PER_TARGET" =~ ^[0-9]+$ ]] || ((SECONDS_PER_TARGET < 1)); then
  echo "usage: bash fuzz/run.sh [SECONDS | --check]" >&2
  exit 2
fi
if ! toolchain_works; then
  echo "fuzz: $CXX cannot build libFuzzer targets here (install clang)" >&2
  exit 2
fi

mkdir -p "$BIN"
echo "fuzz: building stree_fuzz and options_fuzz in $BIN/"
"$CXX" "${FLAGS[@]}" -Isrc/stree fuzz/stree_fuzz.cpp src/stree/*.cpp \
  -o "$BIN/stree_fuzz" &
"$CXX" "${FLAGS[@]}" -Isrc/vok fuzz/options_fuzz.cpp \
  src/vok/options.cpp -o "$BIN/options_fuzz"
wait $!

# run_target NAME EXTRA-FLAGS...: fuzzes one target; non-zero on a finding.
run_target() {
  local name=$1
  shift
  local work=fuzz/work/$name
  local artifacts=fuzz/artifacts/$name
  rm -rf "$work"
  mkdir -p "$work/corpus" "$artifacts"
  cp fuzz/seeds/"$name"/* "$work/corpus/"
  echo "fuzz: $name for ${SECONDS_PER_TARGET}s (log: $work/log)"
  local status=0
  "$BIN/${name}_fuzz" "$work/corpus" "$@" \
    -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    >"$work/log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units' "$work/log" |
    sed "s/^/fuzz: $name: /" || true
  echo "fuzz: $name: corpus $(ls "$work/corpus" | wc -l) inputs"
  if ((status != 0)); then
    echo "fuzz: $name FOUND A PROBLEM (exit $status); the input is in $artifacts/:"
    grep -E 'ERROR|SUMMARY|check failed|stree_check|Assertion|Test unit written' \
      "$work/log" | head -20 | sed "s/^/    /"
  fi
  return $status
}

failed=0
run_target stree || failed=1
run_target options -dict=fuzz/options.dict || failed=1
if ((failed)); then
  echo "fuzz: FAILED"
  exit 1
fi
echo "fuzz: no problem found"
