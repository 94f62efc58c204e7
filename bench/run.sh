#!/usr/bin/env bash
# Benchmark driver for vok.
#
#   bash bench/run.sh
#
# Builds vok (Release) in build-bench/, generates seeded corpora of about
# 0.5, 1, 2, 3, 4 and 5 MB, runs vok end to end on each (wall time and peak
# RSS), times its three phases with bench/vok_phases, runs the suffix-array
# baseline and scikit-learn on the 1 MB and 5 MB corpora, runs the
# pathological single-document inputs under a timeout, and writes
#   bench/results.csv       scaling series (one row per corpus)
#   bench/baselines.csv     vok against SA+LCP and scikit-learn
#   bench/pathological.csv  worst-case inputs
#   bench/wide.csv          vok -w on the same corpora and a large one, with
#                           scikit-learn on the large one
#   bench/apply.csv         vok-apply: a fit alone, and a fit applied to
#                           another corpus of the same size; its hostile shapes
#   bench/work.csv          instructions and cache misses of vok and SA+LCP
#                           under cachegrind's fixed cache model
#   bench/model*.csv        fitted models: size, fit, applying from them, and
#                           the Python package's (bench/model_bench.py)
#   bench/RESULTS.md        machine, tables and notes
#   bench/scaling.png       time and memory against corpus size
#
# Environment (all optional):
#   VOK_BENCH_BUILD     build directory             (default build-bench)
#   VOK_BENCH_VOK       measure this vok binary instead of building one
#   VOK_BENCH_SIZES     corpus sizes in bytes       (default 0.5M..5M)
#   VOK_BENCH_BASELINE  sizes that get the baselines (default: every size)
#   VOK_BENCH_REPEAT    runs per measurement, best kept (default 3)
#   VOK_BENCH_ROUNDS    rounds of end-to-end vok runs over all the sizes,
#                       best kept (default 5)
#   VOK_BENCH_TIMEOUT   seconds per pathological run   (default 120)
#   VOK_BENCH_LARGE     SIZE:DOCS of the large corpus for -w (25000000:60000;
#                       empty for none)
#   VOK_BENCH_SKIP      words among: sklearn pathological plot wide apply work
#                       model
set -uo pipefail
export LC_ALL=C

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH=$ROOT/bench
BUILD=${VOK_BENCH_BUILD:-$ROOT/build-bench}
SIZES=${VOK_BENCH_SIZES:-"500000 1000000 2000000 3000000 4000000 5000000"}
BASELINE=${VOK_BENCH_BASELINE:-$SIZES}
REPEAT=${VOK_BENCH_REPEAT:-3}
ROUNDS=${VOK_BENCH_ROUNDS:-5}
TIMEOUT=${VOK_BENCH_TIMEOUT:-120}
SKIP=${VOK_BENCH_SKIP:-}
LARGE=${VOK_BENCH_LARGE-25000000:60000}
SEED=1
PY=/usr/bin/python3          # Debian's interpreter, which has scikit-learn

DATA=$BUILD/bench-data       # corpora, cached across runs
LOGS=$BUILD/bench-logs       # raw output of every measured run
OUT=$BUILD/bench-out         # vok output files (deleted after each run)
mkdir -p "$DATA" "$LOGS" "$OUT"
rm -f "$LOGS"/* "$OUT"/*
LOAD_START=$(cut -d" " -f1-3 /proc/loadavg)

say() { printf '== %s\n' "$*" >&2; }
warn() { printf '!! %s\n' "$*" >&2; }
skipped() { [[ " $SKIP " == *" $1 "* ]]; }

# ---------------------------------------------------------------- tools ----

# Installs missing Debian packages when running as root; otherwise the parts
# that need them are skipped.
install_packages() {
  [[ $# -eq 0 ]] && return 0
  if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null; then
    warn "missing packages: $* (install them to run every part)"
    return 1
  fi
  say "installing $*"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >"$LOGS/apt.log" 2>&1 ||
    { apt-get update -q >>"$LOGS/apt.log" 2>&1 &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >>"$LOGS/apt.log" 2>&1; }
}

need=()
command -v gnuplot >/dev/null || need+=(gnuplot-nox)
command -v valgrind >/dev/null || need+=(valgrind)
[[ -f /usr/include/divsufsort.h || -f /usr/include/x86_64-linux-gnu/divsufsort.h ]] ||
  need+=(libdivsufsort-dev)
$PY -c 'import sklearn' 2>/dev/null || need+=(python3-sklearn)
install_packages "${need[@]}" || true
HAVE_GNUPLOT=1; command -v gnuplot >/dev/null || HAVE_GNUPLOT=0
HAVE_SKLEARN=1; $PY -c 'import sklearn' 2>/dev/null || HAVE_SKLEARN=0

# ---------------------------------------------------------------- build ----

VOK=${VOK_BENCH_VOK:-}
if [[ -n $VOK ]]; then
  say "using the given vok binary $VOK"
  HAVE_VOK=1
  [[ -x $VOK ]] || { warn "$VOK is not executable"; HAVE_VOK=0; }
else
  say "building vok (Release) in $BUILD"
  VOK=$BUILD/vok
  if cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVOK_TESTS=OFF \
       >"$LOGS/cmake.log" 2>&1 &&
     cmake --build "$BUILD" -j2 --target vok vok-apply vok-fit >>"$LOGS/cmake.log" 2>&1; then
    HAVE_VOK=1
  else
    HAVE_VOK=0
    warn "vok did not build; see $LOGS/cmake.log"
  fi
fi

# The phase timer is a target of the same build (the core's calls and the
# programs' reader).
HAVE_PHASES=0
if cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVOK_TESTS=OFF \
     >"$LOGS/vok_phases.build.log" 2>&1 &&
   cmake --build "$BUILD" -j2 --target vok_phases >>"$LOGS/vok_phases.build.log" 2>&1; then
  HAVE_PHASES=1
else
  warn "vok_phases did not build; see $LOGS/vok_phases.build.log"
fi

# What every measured run used, to the microsecond.
if ! g++ -O2 -std=c++20 -Wall -Wextra "$BENCH/rusage.cpp" -o "$BUILD/rusage" \
     >"$LOGS/rusage.build.log" 2>&1; then
  warn "rusage did not build; see $LOGS/rusage.build.log"
  exit 1
fi

# The suffix-array baseline; libdivsufsort is needed by it alone.
HAVE_SA=0
if g++ -O2 -std=c++20 -Wall -Wextra "$BENCH/sa_lcp.cpp" -o "$BUILD/sa_lcp" \
     -ldivsufsort >"$LOGS/sa_lcp.build.log" 2>&1; then
  HAVE_SA=1
else
  warn "sa_lcp did not build; see $LOGS/sa_lcp.build.log"
fi

# ------------------------------------------------------------ measuring ----

# measure TAG SECONDS CMD...: runs CMD once under a timeout, its output in
# $LOGS/TAG.{out,err,time}.  Sets M_STATUS (ok, timeout, killed, exitN),
# M_WALL (seconds, from the shell's microsecond clock), M_CPU (user + system
# seconds, to the microsecond) and M_RSS (peak RSS in kB); bench/rusage.cpp
# sees the command's figures through timeout.
measure() {
  local tag=$1 limit=$2 rc=0 t0 t1
  shift 2
  t0=$EPOCHREALTIME
  "$BUILD/rusage" "$LOGS/$tag.time" timeout -k 5 "$limit" "$@" \
    >"$LOGS/$tag.out" 2>"$LOGS/$tag.err" || rc=$?
  t1=$EPOCHREALTIME
  M_WALL=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  M_CPU=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.3f", s }' \
    "$LOGS/$tag.time")
  M_RSS=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$LOGS/$tag.time")
  case $rc in
    0) M_STATUS=ok ;;
    124) M_STATUS=timeout ;;
    137) M_STATUS=killed ;;
    *) M_STATUS=exit$rc ;;
  esac
}

# kv FILE KEY: the value of a "key value" line.
kv() { awk -v k="$2" '$1 == k { print $2; exit }' "$1" 2>/dev/null; }

# best KEY FILE...: the smallest value of KEY over the files; empty if none.
best() {
  local key=$1
  shift
  [[ $# -gt 0 ]] || return 0
  for f in "$@"; do kv "$f" "$key"; done | grep -v '^$' | sort -g | head -1
}

# calc EXPR FMT A B ...: EXPR over a[1], a[2], ... in awk; empty when any
# value is empty or a divisor is zero.
calc() {
  local expr=$1 fmt=$2
  shift 2
  for v in "$@"; do [[ -z $v ]] && return 0; done
  awk -v fmt="$fmt" "BEGIN { split(\"$*\", a, \" \"); d = $expr; printf fmt, d }" \
    2>/dev/null || true
}

minof() { printf '%s\n' "$@" | grep -v '^$' | sort -g | head -1; }
maxof() { printf '%s\n' "$@" | grep -v '^$' | sort -g | tail -1; }
csv() { local IFS=,; echo "$*"; }

# ------------------------------------------------------------- corpora ----

# corpus SIZE [SEED [DOCS]] -> path, generated once per size, seed and
# number of documents (DOCS: exactly that many; default: the generator's).
corpus() {
  local seed=${2:-$SEED} docs=${3:-}
  local f="$DATA/corpus-$1-s$seed${docs:+-d$docs}.txt"
  if [[ ! -s $f ]]; then
    say "generating $f"
    $PY "$BENCH/gen_corpus.py" "$1" -s "$seed" ${docs:+-d "$docs"} -o "$f.tmp" &&
      mv "$f.tmp" "$f"
  fi
  echo "$f"
}

# ------------------------------------------------------ scaling series ----

# What a run costs before its text: the peak of vok on one short line, so
# that the memory per input byte can also be told above it.
EMPTY_RSS=""
if [[ $HAVE_VOK -eq 1 ]]; then
  printf 'a\n' >"$OUT/one-line.txt"
  measure "vok-one-line" 60 "$VOK" "$OUT/one-line.txt" "$OUT/one-line.out"
  [[ $M_STATUS == ok ]] && EMPTY_RSS=$M_RSS
  rm -f "$OUT/one-line.txt" "$OUT/one-line.out"
fi

RESULTS=$BENCH/results.csv
csv target_bytes bytes documents status vok_wall_s vok_cpu_s vok_peak_rss_kb \
  rss_bytes_per_input_byte phases_status insert_s count_select_s output_s \
  insert_cpu_s count_select_cpu_s output_cpu_s num_nodes internal_nodes \
  selected output_bytes outputs_match one_line_rss_kb \
  rss_above_one_line_bytes_per_input_byte cpu_us_per_input_byte >"$RESULTS"
declare -A VOK_WALL VOK_CPU VOK_RSS INSERT_CPU INTERNAL

# vok end to end, with default settings: every round runs every size, so
# that a slow spell of the machine (they last minutes here) falls on all
# sizes alike instead of on one, and the times per byte stay comparable.
declare -A E2E_STATUS E2E_WALLS E2E_CPUS E2E_RSS
if [[ $HAVE_VOK -eq 1 ]]; then
  for ((r = 1; r <= ROUNDS; r++)); do
    for size in $SIZES; do
      [[ ${E2E_STATUS[$size]:-ok} == ok ]] || continue
      say "vok on $size bytes (round $r/$ROUNDS)"
      measure "vok-$size-$r" 900 "$VOK" "$(corpus "$size")" "$OUT/vok-$size.txt"
      E2E_STATUS[$size]=$M_STATUS
      if [[ $M_STATUS != ok ]]; then
        warn "vok: $M_STATUS: $(head -c 300 "$LOGS/vok-$size-$r.out")"
        continue
      fi
      E2E_WALLS[$size]+=" $M_WALL" E2E_CPUS[$size]+=" $M_CPU" E2E_RSS[$size]+=" $M_RSS"
    done
  done
fi

for size in $SIZES; do
  f=$(corpus "$size")
  bytes=$(stat -c %s "$f")
  docs=$(wc -l <"$f")

  status=${E2E_STATUS[$size]:-norun} out_bytes="" match=""
  read -ra walls <<<"${E2E_WALLS[$size]:-}"
  read -ra cpus <<<"${E2E_CPUS[$size]:-}"
  read -ra rss <<<"${E2E_RSS[$size]:-}"
  [[ $status == ok ]] && out_bytes=$(stat -c %s "$OUT/vok-$size.txt")
  wall=$(minof "${walls[@]}") cpu=$(minof "${cpus[@]}") peak=$(maxof "${rss[@]}")
  per_byte=$(calc 'a[1] * 1024 / a[2]' '%.1f' "$peak" "$bytes")
  above=$(calc '(a[1] - a[2]) * 1024 / a[3]' '%.1f' "$peak" "$EMPTY_RSS" "$bytes")
  us_per_byte=$(calc 'a[1] * 1e6 / a[2]' '%.3f' "$cpu" "$bytes")
  VOK_WALL[$size]=$wall VOK_CPU[$size]=$cpu VOK_RSS[$size]=$peak

  # The three phases, through the library.
  logs=() pstatus=norun nodes="" internal="" sel=""
  if [[ $HAVE_PHASES -eq 1 ]]; then
    for ((r = 1; r <= REPEAT; r++)); do
      say "vok_phases on $size bytes (run $r/$REPEAT)"
      measure "phases-$size-$r" 900 "$BUILD/vok_phases" "$f" "$OUT/phases-$size.txt"
      pstatus=$M_STATUS
      log=$LOGS/phases-$size-$r.out
      nodes=$(kv "$log" num_nodes)
      if [[ $pstatus != ok ]]; then
        warn "vok_phases: $pstatus: $(tail -c 300 "$LOGS/phases-$size-$r.err")"
        break
      fi
      logs+=("$log")
      internal=$(kv "$log" internal_nodes) sel=$(kv "$log" selected)
    done
    if [[ $status == ok && $pstatus == ok ]]; then
      cmp -s "$OUT/vok-$size.txt" "$OUT/phases-$size.txt" && match=yes || match=no
    fi
  fi
  rm -f "$OUT/vok-$size.txt" "$OUT/phases-$size.txt"
  INSERT_CPU[$size]=$(best insert_cpu_s "${logs[@]}") INTERNAL[$size]=$internal
  csv "$size" "$bytes" "$docs" "$status" "$wall" "$cpu" "$peak" "$per_byte" \
    "$pstatus" "$(best insert_s "${logs[@]}")" "$(best count_select_s "${logs[@]}")" \
    "$(best output_s "${logs[@]}")" "${INSERT_CPU[$size]}" \
    "$(best count_select_cpu_s "${logs[@]}")" "$(best output_cpu_s "${logs[@]}")" \
    "$nodes" "$internal" "$sel" "$out_bytes" "$match" "$EMPTY_RSS" "$above" \
    "$us_per_byte" >>"$RESULTS"
done

# ----------------------------------------------------------- baselines ----

BASES=$BENCH/baselines.csv
csv target_bytes bytes vok_wall_s vok_cpu_s vok_peak_rss_kb vok_insert_cpu_s \
  sa_s lcp_s intervals_s sa_cpu_s lcp_cpu_s intervals_cpu_s intervals \
  internal_nodes sa_lcp_peak_rss_kb vok_over_sa_lcp_cpu vok_over_sa_lcp_wall \
  insert_over_sa_lcp_intervals_cpu sklearn_fit_s sklearn_fit_cpu_s \
  sklearn_wall_s sklearn_features sklearn_nonzeros sklearn_peak_rss_kb \
  sklearn_over_vok_cpu sklearn_over_vok_wall >"$BASES"
for size in $BASELINE; do
  f=$(corpus "$size")
  bytes=$(stat -c %s "$f")
  logs=() intervals="" sa_rss=""
  if [[ $HAVE_SA -eq 1 ]]; then
    for ((r = 1; r <= REPEAT; r++)); do
      say "sa_lcp on $size bytes (run $r/$REPEAT)"
      measure "sa_lcp-$size-$r" 900 "$BUILD/sa_lcp" "$f"
      [[ $M_STATUS == ok ]] || { warn "sa_lcp: $M_STATUS"; break; }
      logs+=("$LOGS/sa_lcp-$size-$r.out")
      intervals=$(kv "$LOGS/sa_lcp-$size-$r.out" intervals) sa_rss=$(maxof "$sa_rss" "$M_RSS")
    done
  fi
  sa_s=$(best sa_s "${logs[@]}") lcp_s=$(best lcp_s "${logs[@]}")
  iv_s=$(best intervals_s "${logs[@]}") sa_c=$(best sa_cpu_s "${logs[@]}")
  lcp_c=$(best lcp_cpu_s "${logs[@]}") iv_c=$(best intervals_cpu_s "${logs[@]}")

  fit="" fit_c="" skwall="" feats="" nnz="" skrss=""
  if [[ $HAVE_SKLEARN -eq 1 ]] && ! skipped sklearn; then
    say "scikit-learn on $size bytes"
    measure "sklearn-$size" 1800 "$PY" "$BENCH/sklearn_ref.py" "$f"
    if [[ $M_STATUS == ok ]]; then
      log=$LOGS/sklearn-$size.out
      fit=$(kv "$log" fit_transform_s) fit_c=$(kv "$log" fit_transform_cpu_s)
      feats=$(kv "$log" features) nnz=$(kv "$log" nonzeros)
      skwall=$M_WALL skrss=$M_RSS
    else
      warn "sklearn: $M_STATUS"
    fi
  fi

  vw=${VOK_WALL[$size]:-} vc=${VOK_CPU[$size]:-} vi=${INSERT_CPU[$size]:-}
  csv "$size" "$bytes" "$vw" "$vc" "${VOK_RSS[$size]:-}" "$vi" \
    "$sa_s" "$lcp_s" "$iv_s" "$sa_c" "$lcp_c" "$iv_c" "$intervals" \
    "${INTERNAL[$size]:-}" "$sa_rss" \
    "$(calc 'a[1] / (a[2] + a[3])' '%.2f' "$vc" "$sa_c" "$lcp_c")" \
    "$(calc 'a[1] / (a[2] + a[3])' '%.2f' "$vw" "$sa_s" "$lcp_s")" \
    "$(calc 'a[1] / (a[2] + a[3] + a[4])' '%.2f' "$vi" "$sa_c" "$lcp_c" "$iv_c")" \
    "$fit" "$fit_c" "$skwall" "$feats" "$nnz" "$skrss" \
    "$(calc 'a[1] / a[2]' '%.2f' "$fit_c" "$vc")" \
    "$(calc 'a[1] / a[2]' '%.2f' "$fit" "$vw")" >>"$BASES"
done

# ---------------------------------------------------------------- work ----

# The same programs counted instead of timed: instructions and the misses of
# one fixed cache model under cachegrind, the same on every machine and
# whatever else it runs.  Time per byte on a real machine follows these and
# the machine's caches; the counts show which of the two moved.
WORK=$BENCH/work.csv
CACHE_MODEL=(--I1=32768,8,64 --D1=32768,8,64 --LL=16777216,16,64)
csv target_bytes bytes program status instructions d1_misses ll_misses \
  instructions_per_byte d1_misses_per_byte ll_misses_per_byte >"$WORK"

# count_work PROGRAM SIZE BYTES CMD...: one row of the table, CMD run under
# cachegrind (the data misses of the first level, all misses of the last).
count_work() {
  local program=$1 size=$2 bytes=$3 ir="" d1="" ll=""
  shift 3
  say "cachegrind: $program on $size bytes"
  measure "work-$program-$size" 1800 valgrind --tool=cachegrind --cache-sim=yes \
    "${CACHE_MODEL[@]}" --cachegrind-out-file=/dev/null "$@"
  if [[ $M_STATUS == ok ]]; then
    read -r ir d1 ll < <(awk '/ I +refs:/ { i = $4 } / D1 +misses:/ { d = $4 }
      / LL misses:/ { l = $4 } END { gsub(",", "", i); gsub(",", "", d);
      gsub(",", "", l); print i, d, l }' "$LOGS/work-$program-$size.err")
  else
    warn "cachegrind $program: $M_STATUS"
  fi
  csv "$size" "$bytes" "$program" "$M_STATUS" "$ir" "$d1" "$ll" \
    "$(calc 'a[1] / a[2]' '%.1f' "$ir" "$bytes")" \
    "$(calc 'a[1] / a[2]' '%.2f' "$d1" "$bytes")" \
    "$(calc 'a[1] / a[2]' '%.2f' "$ll" "$bytes")" >>"$WORK"
}

if command -v valgrind >/dev/null && ! skipped work; then
  for size in $BASELINE; do
    f=$(corpus "$size")
    bytes=$(stat -c %s "$f")
    [[ $HAVE_VOK -eq 1 ]] && count_work vok "$size" "$bytes" "$VOK" "$f" "$OUT/work.txt"
    [[ $HAVE_SA -eq 1 ]] && count_work sa_lcp "$size" "$bytes" "$BUILD/sa_lcp" "$f"
    rm -f "$OUT/work.txt"
  done
fi

# -------------------------------------------------------- pathological ----

PATHO=$BENCH/pathological.csv
csv input bytes word_delimited status wall_s cpu_s peak_rss_kb output_bytes >"$PATHO"
if ! skipped pathological; then
  for kind in run ab fib binary; do
    f=$DATA/pathological-$kind.txt
    [[ -s $f ]] || $PY "$BENCH/gen_pathological.py" "$kind" "$f" -s "$SEED"
    bytes=$(stat -c %s "$f")
    for s in 0 1; do
      status=norun wall="" cpu="" peak="" ob=""
      if [[ $HAVE_VOK -eq 1 ]]; then
        say "vok -s $s on $kind (timeout ${TIMEOUT}s)"
        measure "patho-$kind-s$s" "$TIMEOUT" "$VOK" -s "$s" "$f" "$OUT/patho.txt"
        status=$M_STATUS peak=$M_RSS
        if [[ $status == ok ]]; then
          wall=$M_WALL cpu=$M_CPU ob=$(stat -c %s "$OUT/patho.txt")
        elif [[ $status != timeout ]]; then
          warn "vok -s $s on $kind: $status: $(head -c 300 "$LOGS/patho-$kind-s$s.out")"
        fi
        rm -f "$OUT/patho.txt"
      fi
      csv "$kind" "$bytes" "$s" "$status" "$wall" "$cpu" "$peak" "$ob" >>"$PATHO"
    done
  done
fi

# ------------------------------------------------------------ wide tree ----

# vok -w on every corpus of the scaling series (its output must equal
# vok's) and on the large corpus, where vok stops at its document limit and
# scikit-learn runs on the same text.
WIDE=$BENCH/wide.csv
csv target_bytes bytes documents vok_status wide_status wide_wall_s wide_cpu_s \
  wide_peak_rss_kb wide_rss_bytes_per_input_byte wide_over_vok_cpu same_output \
  sklearn_fit_cpu_s sklearn_peak_rss_kb >"$WIDE"
if [[ $HAVE_VOK -eq 1 ]] && ! skipped wide; then
  for item in $SIZES ${LARGE:+large:$LARGE}; do
    large=0 size=$item docs_wanted=""
    if [[ $item == large:* ]]; then
      large=1 size=${item#large:} size=${size%%:*} docs_wanted=${item##*:}
    fi
    f=$(corpus "$size" "$SEED" "$docs_wanted")
    bytes=$(stat -c %s "$f") docs=$(wc -l <"$f")
    vstatus=ok vcpu=""
    if [[ $large -eq 1 ]]; then
      say "vok on the large corpus"
      measure "vok-large" 900 "$VOK" "$f" "$OUT/vok-large.txt"
      vstatus=$M_STATUS
      [[ $vstatus == ok ]] || vstatus="$vstatus: $(head -1 "$LOGS/vok-large.out")"
    fi
    cpus=() rss=() walls=() ncpus=() wstatus=norun
    reps=$REPEAT; [[ $large -eq 1 ]] && reps=1
    for ((r = 1; r <= reps; r++)); do
      # vok and vok -w take turns, so that the ratio of the two does not
      # depend on the spell each fell in.
      if [[ $large -eq 0 ]]; then
        measure "narrow-$size-$r" 900 "$VOK" "$f" "$OUT/narrow.txt"
        [[ $M_STATUS == ok ]] && ncpus+=("$M_CPU")
      fi
      say "vok -w on $bytes bytes (run $r/$reps)"
      measure "wide-$size-$r" 1800 "$VOK" -w "$f" "$OUT/wide.txt"
      wstatus=$M_STATUS
      [[ $wstatus == ok ]] || { warn "vok -w: $wstatus"; break; }
      walls+=("$M_WALL") cpus+=("$M_CPU") rss+=("$M_RSS")
    done
    same=""
    [[ $large -eq 0 ]] && { cmp -s "$OUT/narrow.txt" "$OUT/wide.txt" && same=yes || same=no; }
    rm -f "$OUT/narrow.txt" "$OUT/wide.txt" "$OUT/vok-large.txt"
    wcpu=$(minof "${cpus[@]}") wpeak=$(maxof "${rss[@]}")
    [[ $large -eq 0 ]] && vcpu=$(minof "${ncpus[@]}")
    skc="" skrss=""
    if [[ $large -eq 1 && $HAVE_SKLEARN -eq 1 ]] && ! skipped sklearn; then
      say "scikit-learn on the large corpus"
      measure "sklearn-large" 3600 "$PY" "$BENCH/sklearn_ref.py" "$f"
      [[ $M_STATUS == ok ]] && skc=$(kv "$LOGS/sklearn-large.out" fit_transform_cpu_s) skrss=$M_RSS
    fi
    csv "$size" "$bytes" "$docs" "$vstatus" "$wstatus" "$(minof "${walls[@]}")" "$wcpu" \
      "$wpeak" "$(calc 'a[1] * 1024 / a[2]' '%.1f' "$wpeak" "$bytes")" \
      "$(calc 'a[1] / a[2]' '%.2f' "$wcpu" "$vcpu")" "$same" "$skc" "$skrss" >>"$WIDE"
  done
fi

# ------------------------------------------------------------ vok-apply ----

# A fit alone (no documents to apply to), and the same fit applied to a
# corpus of the same size from another seed: the difference is the cost of
# applying.  Then the hostile shape: a line of 524,287 a's applied to the
# tree of a line half as long.
APPLY=$BENCH/apply.csv
csv case bytes word_delimited status fit_cpu_s fit_and_apply_cpu_s apply_cpu_s \
  apply_over_fit fit_peak_rss_kb fit_and_apply_peak_rss_kb >"$APPLY"
if [[ $HAVE_VOK -eq 1 && -x $BUILD/vok-apply ]] && ! skipped apply; then
  : >"$OUT/empty.txt"
  for size in $BASELINE; do
    f=$(corpus "$size") g=$(corpus "$size" 2)
    fits=() alls=() frss="" arss="" status=ok
    for ((r = 1; r <= REPEAT; r++)); do
      say "vok-apply on $size bytes (run $r/$REPEAT)"
      measure "fit-$size-$r" 900 "$BUILD/vok-apply" "$f" "$OUT/empty.txt" "$OUT/fit.txt"
      [[ $M_STATUS == ok ]] || { status=$M_STATUS; break; }
      fits+=("$M_CPU") frss=$(maxof "$frss" "$M_RSS")
      measure "apply-$size-$r" 900 "$BUILD/vok-apply" "$f" "$g" "$OUT/apply.txt"
      [[ $M_STATUS == ok ]] || { status=$M_STATUS; break; }
      alls+=("$M_CPU") arss=$(maxof "$arss" "$M_RSS")
    done
    rm -f "$OUT/fit.txt" "$OUT/apply.txt"
    fit=$(minof "${fits[@]}") all=$(minof "${alls[@]}")
    ap=$(calc 'a[1] - a[2]' '%.3f' "$all" "$fit")
    csv "corpus" "$(stat -c %s "$g")" 1 "$status" "$fit" "$all" "$ap" \
      "$(calc 'a[1] / a[2]' '%.2f' "$ap" "$fit")" "$frss" "$arss" >>"$APPLY"
  done
  head -c 262143 /dev/zero | tr '\0' a >"$OUT/train-run.txt"; echo >>"$OUT/train-run.txt"
  head -c 524287 /dev/zero | tr '\0' a >"$OUT/docs-run.txt"; echo >>"$OUT/docs-run.txt"
  for s in 0 1; do
    say "vok-apply -s $s on the hostile shape"
    measure "apply-run-s$s" "$TIMEOUT" "$BUILD/vok-apply" -s "$s" "$OUT/train-run.txt" \
      "$OUT/docs-run.txt" "$OUT/apply.txt"
    csv "run" 524288 "$s" "$M_STATUS" "" "$M_CPU" "" "" "" "$M_RSS" >>"$APPLY"
  done
  rm -f "$OUT"/*.txt
fi

# ------------------------------------------------------- fitted models ----

# vok-fit, vok-apply from a model and the Python package's model, with the
# module built into the same directory (bench/model_bench.py says what).
if [[ $HAVE_VOK -eq 1 && -z ${VOK_BENCH_VOK:-} ]] && ! skipped model; then
  say "fitted models"
  if cmake -S "$ROOT" -B "$BUILD" -DVOK_PYTHON=ON >>"$LOGS/cmake.log" 2>&1 &&
     cmake --build "$BUILD" -j2 --target _vok >>"$LOGS/cmake.log" 2>&1; then
    $PY "$BENCH/model_bench.py" "$BUILD" 2>"$LOGS/model.log" ||
      warn "the model bench failed; see $LOGS/model.log"
  else
    warn "the Python module did not build; see $LOGS/cmake.log"
  fi
fi

# -------------------------------------------------------------- report ----

MACHINE=$LOGS/machine.txt
{
  echo "cpu $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
  echo "cores $(nproc)"
  echo "memory $(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "kernel $(uname -sr)"
  cxx=$(awk -F= '/^CMAKE_CXX_COMPILER:/ { print $2 }' "$BUILD/CMakeCache.txt" 2>/dev/null)
  echo "compiler ${cxx:=g++}: $("$cxx" --version | head -1)"
  echo "cmake $(cmake --version | head -1)"
  echo "divsufsort $(dpkg-query -W -f '${Version}' libdivsufsort-dev 2>/dev/null || echo unknown)"
  echo "sklearn $($PY -c 'import sklearn; print(sklearn.__version__)' 2>/dev/null || echo none)"
  echo "python $($PY --version 2>&1)"
  dirty=$(git -C "$ROOT" --no-optional-locks status --porcelain --untracked-files=no \
    2>/dev/null | head -1)
  echo "commit $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo none)${dirty:+ with local changes}"
  echo "date $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "load $LOAD_START at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end"
  echo "vok ${VOK_BENCH_VOK:-built by CMake, Release}"
  echo "repeat $REPEAT"
  echo "rounds $ROUNDS"
  echo "timeout $TIMEOUT"
} >"$MACHINE"

rm -f "$BENCH/scaling.png"
if [[ $HAVE_GNUPLOT -eq 1 ]] && ! skipped plot &&
   awk -F, 'NR > 1 && $4 == "ok" { found = 1 } END { exit !found }' "$RESULTS"; then
  gnuplot -e "results='$RESULTS'; wide='$WIDE'; bases='$BASES'; outfile='$BENCH/scaling.png'" "$BENCH/plot.gp" \
    2>"$LOGS/gnuplot.log" || warn "gnuplot failed; see $LOGS/gnuplot.log"
fi

$PY "$BENCH/report.py" --machine "$MACHINE" --results "$RESULTS" \
  --baselines "$BASES" --pathological "$PATHO" --wide "$WIDE" --apply "$APPLY" \
  --work "$WORK" \
  --output "$BENCH/RESULTS.md"
say "wrote $RESULTS, $BASES, $PATHO, $WIDE, $APPLY, $WORK and $BENCH/RESULTS.md"
