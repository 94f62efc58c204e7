#!/usr/bin/env bash
# Planted faults: puts one deliberate bug at a time into the source, rebuilds
# the tests and runs them.  A fault is caught when the build or a test fails,
# MISSED when everything still passes.  The file is always put back, also
# when the run is interrupted.  The faults go into this work tree, so nothing
# else should build from it while this runs.
#
# FAULT_FILE (default tools/faults.txt) holds one fault a line,
# ID|FILE|FROM|TO|WHAT, described at its top.  -b defaults to build-faults,
# -t (seconds, default 300) limits each test run, -k REGEX plants only the
# faults whose id matches, -s builds with AddressSanitizer and UBSan (for
# faults that only read or write out of bounds; -b then defaults to
# build-faults-asan).
set -u

usage() { echo "usage: bash tools/plant-faults.sh [-b BUILD_DIR] [-j JOBS] [-t CTEST_TIMEOUT] [-k REGEX] [-s] [FAULT_FILE]" >&2; exit 1; }
die() { echo "plant-faults: $*" >&2; exit 1; }

root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel 2>/dev/null) ||
  die "not inside a git work tree"
build='' jobs=2 limit=300 only='' sanitize=OFF
while getopts b:j:t:k:sh opt; do
  case $opt in
    b) build=$OPTARG ;; j) jobs=$OPTARG ;; t) limit=$OPTARG ;; k) only=$OPTARG ;;
    s) sanitize=ON ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ -n "$build" ] || { build=$root/build-faults; [ $sanitize = OFF ] || build+=-asan; }
[ $# -le 1 ] || usage
[[ $jobs =~ ^[1-9][0-9]*$ && $limit =~ ^[1-9][0-9]*$ ]] || usage
faults=${1:-$root/tools/faults.txt}
[ -f "$faults" ] || die "no fault file $faults"
faults=$(realpath -- "$faults") && build=$(realpath -m -- "$build") && cd "$root" || exit 1

# `list` prints line number, id, file and what of every well-formed line of
# the fault file; `apply N` plants the fault of line N unless FROM occurs
# other than once.  In FROM and TO, \| is |, \n a line break, \\ a backslash.
py='
import re, sys
esc = {"n": "\n", "|": "|", "\\": "\\"}
def fields(line):
    out = [""]
    for tok in re.findall(r"\\.|\||[^\\|]+|\\", line):
        if tok == "|":
            out.append("")
        else:
            out[-1] += esc.get(tok[1:], tok) if tok[0] == "\\" else tok
    return out
lines = open(sys.argv[2], encoding="utf-8").read().split("\n")
if sys.argv[1] == "list":
    for k, line in enumerate(lines, 1):
        if not line.strip() or line.startswith("#"):
            continue
        f = fields(line)
        if len(f) != 5 or not all(f[:3]) or "\t" in f[0] + f[1] + f[4]:
            print(f"line {k}: not ID|FILE|FROM|TO|WHAT, skipped", file=sys.stderr)
        else:
            print(f"{k}\t{f[0]}\t{f[1]}\t{f[4]}")
else:
    _, path, old, new, _ = fields(lines[int(sys.argv[3]) - 1])
    text = open(path, encoding="utf-8").read()
    if text.count(old) != 1:
        sys.exit(print(f"FROM occurs {text.count(old)} times") or 1)
    open(path, "w", encoding="utf-8").write(text.replace(old, new))
'
list=$(python3 -c "$py" list "$faults") || die "cannot read $faults"
picked=()
while IFS=$'\t' read -r line id file what; do
  [ -n "$line" ] && { [ -z "$only" ] || [[ $id =~ $only ]]; } &&
    picked+=("$line"$'\t'"$id"$'\t'"$file"$'\t'"$what")
done <<< "$list"
[ ${#picked[@]} -gt 0 ] || die "no fault selected"

# Putting a file back by copy is only safe when it holds what HEAD holds.
mapfile -t files < <(printf '%s\n' "${picked[@]}" | cut -f3 | sort -u)
for f in "${files[@]}"; do
  git ls-files --error-unmatch -- "$f" >/dev/null 2>&1 || die "$f is not a tracked file"
  git diff --quiet HEAD -- "$f" || die "$f has uncommitted changes; commit or stash them first"
done

# A fault can make a program write without end: no file may pass 1 GiB.
ulimit -f 1048576
work=$(mktemp -d) || exit 1
log=$work/log planted='' child=''
restore() { [ -z "$planted" ] || cp -- "$work/original" "$planted"; planted=''; }
# A step runs in the background under timeout, which takes its whole process
# tree down with it, so that a signal reaches the trap at once.  The trap
# waits for the step to stop before the file goes back: an object finished
# after that would look newer than the restored source.
run() { timeout -k 10 "$@" >>"$log" 2>&1 & child=$!; wait "$child"; }
trap 'restore; rm -rf "$work"' EXIT
trap '[ -z "$child" ] || kill "$child" 2>/dev/null; wait
  echo "plant-faults: interrupted; the sources are restored" >&2; exit 1' INT TERM HUP

# The tests carry their own TIMEOUT property, which ctest --timeout does not
# override, so the limit also bounds the whole ctest run.
build_and_test() {
  : >"$log"
  run 0 cmake --build "$build" -j "$jobs" &&
    run "$limit" ctest --test-dir "$build" -j "$jobs" --timeout "$limit" -Q
}
run 0 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOK_TESTS=ON \
    -DVOK_SANITIZE=$sanitize ||
  { tail -n 20 "$log" >&2; die "cmake failed to configure $build"; }
echo "plant-faults: building and testing the unmodified tree in $build" >&2
build_and_test || { tail -n 20 "$log" >&2; die "the unmodified tree does not build or pass its tests"; }

echo "| id | file | what | result |"
echo "|---|---|---|---|"
n=0 caught=0 missed=0
for entry in "${picked[@]}"; do
  IFS=$'\t' read -r line id file what <<< "$entry"
  cp -- "$file" "$work/original" || die "cannot copy $file"
  planted=$file
  if ! why=$(python3 -c "$py" apply "$faults" "$line"); then
    result="skipped: ${why:-cannot apply}"
  elif build_and_test; then
    result=MISSED n=$((n + 1)) missed=$((missed + 1))
  else
    result=caught n=$((n + 1)) caught=$((caught + 1))
  fi
  restore
  echo "plant-faults: $id: $result" >&2
  echo "| $id | $file | ${what//|/\\|} | $result |"
done

git diff --quiet HEAD -- "${files[@]}" || echo "plant-faults: WARNING: sources differ from HEAD" >&2
# Leave the build matching the restored sources.
run 0 cmake --build "$build" -j "$jobs" || echo "plant-faults: the final rebuild failed" >&2
echo
echo "$n planted, $caught caught, $missed missed"
exit 0
