#!/usr/bin/python3
"""Threads: `vok -w -j N` against `-j 1` on the 25 MB corpora.

On the package lists and on the generated documents of bench/scale_bench.py
(made there, in the same WORK directory), `vok -w -j 1` and `vok -w -j 2`
take turns VOK_BENCH_REPEAT times (default 3; turns, so that the machine's
drift falls on both alike): the least wall and CPU seconds and the highest
peak of each, whose outputs must be byte for byte the same; then one run of
bench/vok_phases with each count for the wall seconds of the phases.
Writes bench/threads.csv; bench/report.py turns it into a table of
RESULTS.md.  Usage, from the top of the source tree, with a Release build
(bench/run.sh makes one, vok_phases too):

    /usr/bin/python3 bench/threads_bench.py [BUILD_DIR]
"""

import filecmp
import os
import sys

import scale_bench
from timing import REPEAT, run

COUNTS = (1, 2)
PHASES = ("sorting_s", "building_s", "linking_s", "count_select_s", "output_s")
FIELDS = ["corpus", "threads", "wall_s", "cpu_s", "peak_kb", "speedup"] + list(PHASES)


def measure(build, name, path, work):
    print("== %s" % name, file=sys.stderr, flush=True)
    outs = {n: os.path.join(work, "threads_out_%d.txt" % n) for n in COUNTS}
    runs = {n: [] for n in COUNTS}
    for _ in range(REPEAT):
        for n in COUNTS:
            runs[n].append(run([os.path.join(build, "vok"), "-w", "-j", str(n), path, outs[n]]))
    for n in COUNTS[1:]:
        if not filecmp.cmp(outs[COUNTS[0]], outs[n], shallow=False):
            raise RuntimeError("%s: -j %d writes other bags than -j %d" % (name, n, COUNTS[0]))
    rows = []
    for n in COUNTS:
        phases = scale_bench.keys(run([os.path.join(build, "vok_phases"), "-w", "-j", str(n),
                                       path, outs[n]])[3])
        wall = min(r[0] for r in runs[n])
        rows.append({"corpus": name, "threads": n, "wall_s": "%.2f" % wall,
                     "cpu_s": "%.2f" % min(r[1] for r in runs[n]),
                     "peak_kb": max(r[2] for r in runs[n]),
                     "speedup": "%.2f" % (min(r[0] for r in runs[COUNTS[0]]) / wall),
                     **{p: "%.2f" % float(phases.get(p, "nan")) for p in PHASES}})
    for out in outs.values():
        os.remove(out)
    return rows


def main():
    build, work = scale_bench.build_and_work()
    corpora = [("packages 25 MB", scale_bench.packages(work, False)),
               ("docs 25 MB", scale_bench.generated(work, 25 * scale_bench.MB, False))]
    rows = [row for name, path in corpora for row in measure(build, name, path, work)]
    scale_bench.write_rows("threads.csv", FIELDS, rows)


if __name__ == "__main__":
    main()
