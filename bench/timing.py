"""Timed runs for the benchmark scripts: wall and CPU seconds and the peak
resident memory of a program, as /usr/bin/time reports them, and the best of
VOK_BENCH_REPEAT runs (default 3): the least times and the highest peak."""

import os
import subprocess

REPEAT = int(os.environ.get("VOK_BENCH_REPEAT", "3"))


def run(argv):
    """(wall s, CPU s, peak RSS KB, stdout) of one run; raises when the run
    fails.  The report goes to a file beside the last argument."""
    report = os.path.abspath(argv[-1]) + ".time"
    done = subprocess.run(["/usr/bin/time", "-o", report, "-f", "%e %U %S %M"] + argv,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with open(report) as f:
        fields = f.read().split()[-4:]
    os.remove(report)
    if done.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(argv), done.stderr.decode()))
    return (float(fields[0]), float(fields[1]) + float(fields[2]), int(fields[3]),
            done.stdout.decode())


def best(argv):
    """run(argv) REPEAT times: the least wall and CPU seconds, the highest
    peak, and the last run's stdout."""
    runs = [run(argv) for _ in range(REPEAT)]
    return (min(r[0] for r in runs), min(r[1] for r in runs), max(r[2] for r in runs),
            runs[-1][3])
