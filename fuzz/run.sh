#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (outside CMake) and runs each for
# SECONDS (default 60) on a scratch copy of its seeds; --check only says
# whether clang can build them here.  Inputs that fail go to fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=${FUZZ_CXX:-clang++} BIN=${FUZZ_BUILD_DIR:-build-fuzz}
FLAGS=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -fno-omit-frame-pointer -std=c++20 -O1 -g -Wall -Wextra -Itests -Isrc/stree -Isrc/vok/core -Isrc/vok/cli)
mkdir -p "$BIN"
if [[ "${1:-}" == "--check" ]]; then
  echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, long) { return 0; }' >"$BIN/probe.cpp"
  "$CXX" "${FLAGS[@]}" "$BIN/probe.cpp" -o "$BIN/probe" 2>/dev/null && "$BIN/probe" -runs=1 2>/dev/null
  exit
fi
seconds=${1:-60}
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "usage: bash fuzz/run.sh [SECONDS | --check]" >&2; exit 2; }
echo "fuzz: building stree_fuzz, stree_wide_fuzz, vok_fuzz and model_fuzz in $BIN/"
"$CXX" "${FLAGS[@]}" fuzz/stree_fuzz.cpp src/stree/*.cpp -o "$BIN/stree_fuzz" &
"$CXX" "${FLAGS[@]}" -DSTREE_WIDE fuzz/stree_fuzz.cpp src/stree/*.cpp -o "$BIN/stree_wide_fuzz" &
# vok_fuzz links the tree and the core's tree-dependent parts twice:
# narrow, and wide.
mkdir -p "$BIN/wide"
for f in src/stree/*.cpp src/vok/core/{selection,tree_corpus,model_build}.cpp; do
  "$CXX" "${FLAGS[@]/-fsanitize=fuzzer,/-fsanitize=fuzzer-no-link,}" -DSTREE_WIDE -c "$f" -o "$BIN/wide/$(basename "$f" .cpp).o"
done
"$CXX" "${FLAGS[@]}" fuzz/vok_fuzz.cpp src/stree/*.cpp src/vok/core/*.cpp \
  $(ls src/vok/cli/*.cpp | grep -v main.cpp) "$BIN"/wide/*.o -o "$BIN/vok_fuzz" &
"$CXX" "${FLAGS[@]}" fuzz/model_fuzz.cpp src/stree/*.cpp src/vok/core/*.cpp \
  "$BIN"/wide/*.o -o "$BIN/model_fuzz"
wait
failed=0
for name in stree stree_wide vok model; do
  work=fuzz/work/$name
  rm -rf "$work" && mkdir -p "$work/corpus" "fuzz/artifacts/$name" && cp fuzz/seeds/${name%_wide}/* "$work/corpus/"
  echo "fuzz: $name for ${seconds}s (log: $work/log)"
  if ! "$BIN/${name}_fuzz" "$work/corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=4096 -artifact_prefix="fuzz/artifacts/$name/" $([ $name = vok ] && echo -dict=fuzz/vok.dict) \
      >"$work/log" 2>&1; then
    failed=1
    echo "fuzz: $name FOUND A PROBLEM; the input is in fuzz/artifacts/$name/:"
    grep -E 'ERROR|SUMMARY|_fuzz:|Assertion|Test unit written' "$work/log" | head -20 | sed "s/^/    /"
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" | sed "s/^/fuzz: $name: /" || true
done
((failed)) && { echo "fuzz: FAILED"; exit 1; }
echo "fuzz: no problem found"
