#!/usr/bin/python3
"""SubstringVectorizer against CountVectorizer in Python.

For each corpus size, generates a training collection (gen_corpus.py SIZE
-s 1) and a collection of new documents of the same size (-s 2), and
measures, each in a child process of its own:

  fit_transform  SubstringVectorizer().fit_transform(train) against
                 CountVectorizer(analyzer="char_wb", ngram_range=(1, 8),
                 min_df=2).fit_transform(train);
  transform      the same two fitted on train, then transform(new) timed.

Times are the wall seconds of the call alone (documents read and decoded
to str before); peak memory is the child's ru_maxrss, interpreter and
imports included (for transform: the whole process, the fit included).
Each measurement is run VOK_BENCH_REPEAT times (default 3), each in a new
child, and keeps the least time and the highest peak, as bench/run.sh does.
Prints a markdown table.  Needs Debian's /usr/bin/python3 and the vok
package importable, best from a Release build:

    cmake -S . -B build-py -DCMAKE_BUILD_TYPE=Release -DVOK_TESTS=OFF -DVOK_PYTHON=ON
    cmake --build build-py -j2 --target _vok
    PYTHONPATH=build-py/python /usr/bin/python3 bench/python_bench.py

Usage: python_bench.py [SIZE ...]      (default: 1000000 5000000)
"""

import json
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WORK = os.path.join(HERE, "work")
REPEAT = int(os.environ.get("VOK_BENCH_REPEAT", "3"))


def read_documents(path):
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return [line.rstrip(b"\r").decode("latin-1") for line in lines]


def make_vectorizer(kind):
    if kind == "vok":
        import vok
        return vok.SubstringVectorizer()
    from sklearn.feature_extraction.text import CountVectorizer
    return CountVectorizer(analyzer="char_wb", ngram_range=(1, 8), min_df=2)


def child(kind, task, train_path, new_path):
    train = read_documents(train_path)
    new = read_documents(new_path) if task == "transform" else None
    vectorizer = make_vectorizer(kind)
    if task == "fit_transform":
        t0 = time.perf_counter()
        matrix = vectorizer.fit_transform(train)
    else:
        vectorizer.fit(train)
        t0 = time.perf_counter()
        matrix = vectorizer.transform(new)
    seconds = time.perf_counter() - t0
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(json.dumps({"seconds": seconds, "peak_mb": peak_mb,
                      "features": matrix.shape[1], "nnz": int(matrix.nnz)}))


def corpus(size, seed):
    os.makedirs(WORK, exist_ok=True)
    path = os.path.join(WORK, "py_%d_s%d.txt" % (size, seed))
    if not os.path.exists(path):
        subprocess.run([sys.executable, os.path.join(HERE, "gen_corpus.py"),
                        str(size), "-s", str(seed), "-o", path], check=True)
    return path


def measure_once(kind, task, train, new):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child",
                          kind, task, train, new],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def measure(kind, task, train, new):
    """The least time and the highest peak of REPEAT runs, as run.sh keeps."""
    runs = [measure_once(kind, task, train, new) for _ in range(REPEAT)]
    best = min(runs, key=lambda r: r["seconds"])
    best["peak_mb"] = max(r["peak_mb"] for r in runs)
    return best


def main(argv):
    if argv[:1] == ["--child"]:
        child(*argv[1:5])
        return 0
    sizes = [int(a) for a in argv] or [1000000, 5000000]
    print("| corpus (bytes) | call | vok (s) | CountVectorizer (s) | speed-up "
          "| vok peak (MB) | CountVectorizer peak (MB) | vok features "
          "| n-gram features | vok nonzeros | n-gram nonzeros |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for size in sizes:
        train, new = corpus(size, 1), corpus(size, 2)
        for task in ("fit_transform", "transform"):
            v = measure("vok", task, train, new)
            c = measure("sklearn", task, train, new)
            print("| %d | %s | %.3f | %.3f | %.1f | %.1f | %.1f | %d | %d | %d | %d |" % (
                os.path.getsize(train), task, v["seconds"], c["seconds"],
                c["seconds"] / v["seconds"], v["peak_mb"], c["peak_mb"],
                v["features"], c["features"], v["nnz"], c["nnz"]), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
