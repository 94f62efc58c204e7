#!/usr/bin/python3
"""Fitted models: their size, the fit's cost, and applying from them.

Programs (bench/model.csv), for each corpus and setting:
  vok-fit against vok with the same options (CPU seconds, peak RSS), the
  model's size against the training text's; vok-apply of one short line
  from the model and from the training file (wall seconds); and applying a
  corpus of the same size from another seed, from the model and from the
  tree (the tree's cost being `vok-apply train new` less `vok-apply train
  empty`), in CPU microseconds per byte of new text.
Where the bytes go (bench/model_sections.csv): each model's sections, from
  the table in its header, in groups.
Python (bench/model_python.csv), each in a child process of its own:
  SubstringVectorizer().fit on the 5 MB corpus (seconds, the process's peak,
  the memory it keeps after fit, the model's bytes); pickle.loads of it;
  transform of 20,000 new documents with n_jobs=1 and n_jobs=2.

Every measurement is run VOK_BENCH_REPEAT times (default 3), keeping the
least time and the highest peak.  Usage, from the top of the source tree,
with a Release build in build-bench (bench/run.sh makes one) whose Python
module is built too (-DVOK_PYTHON=ON):

    /usr/bin/python3 bench/model_bench.py [BUILD_DIR]
"""

import json
import os
import pickle
import resource
import struct
import subprocess
import sys
import time

from timing import REPEAT, best

HERE = os.path.dirname(os.path.abspath(__file__))
# The corpora: (name, bytes, documents or None, seed).
CORPORA = [("5 MB", 5000000, None), ("25 MB", 25000000, 60000)]
SETTINGS = {"5 MB": [[], ["-w"], ["-w", "-s", "0"]],
            "25 MB": [["-w"], ["-w", "-s", "0"]]}
PY_NEW_DOCS = 20000

# The header of a model file (every field little-endian) and its table of
# sections, as src/vok/core/model_format.h lays them out.
HEADER = struct.Struct("<8sIIQqqqqddQQQQIIIIQQQ")
ENTRY = struct.Struct("<QQII")
SECTION_GROUPS = [
    ("tree (LOUDS with its rank and select samples)", 4),
    ("edge characters", 1),
    ("failure states", 1),
    ("distances to the next feature state", 2),
    ("feature states and their columns", 3),
    ("feature numbers", 4),
    ("names (the rest of each feature's edge)", 4),
]


def corpus(work, size, docs, seed):
    path = os.path.join(work, "model_%d_%s_s%d.txt" % (size, docs or "auto", seed))
    if not os.path.exists(path):
        args = [sys.executable, os.path.join(HERE, "gen_corpus.py"), str(size),
                "-s", str(seed), "-o", path]
        if docs:
            args += ["-d", str(docs)]
        subprocess.run(args, check=True)
    return path


def sections(path):
    with open(path, "rb") as f:
        data = f.read(HEADER.size + ENTRY.size * 64)
    count = HEADER.unpack_from(data)[2]
    sizes = [ENTRY.unpack_from(data, HEADER.size + ENTRY.size * k)[1] for k in range(count)]
    groups, at = [], 0
    for name, n in SECTION_GROUPS:
        groups.append((name, sum(sizes[at:at + n])))
        at += n
    groups.append(("header and checksum", os.path.getsize(path) - sum(sizes)))
    return groups


def programs(build, work):
    rows, parts = [], []
    line = os.path.join(work, "model_line.txt")
    empty = os.path.join(work, "model_empty.txt")
    with open(line, "w") as f:
        f.write("a short line of new text to classify\n")
    open(empty, "w").close()
    out = os.path.join(work, "model_out.txt")
    model = os.path.join(work, "model.vokm")
    for name, size, docs in CORPORA:
        train, new = corpus(work, size, docs, 1), corpus(work, size, docs, 2)
        train_bytes, new_bytes = os.path.getsize(train), os.path.getsize(new)
        for options in SETTINGS[name]:
            tag = " ".join(options) or "(none)"
            print("== %s, options %s" % (name, tag), file=sys.stderr, flush=True)
            fit = best([os.path.join(build, "vok-fit")] + options + [train, model])
            vok = best([os.path.join(build, "vok")] + options + [train, out])
            model_bytes = os.path.getsize(model)
            short_model = best([os.path.join(build, "vok-apply"), model, line, out])
            short_tree = best([os.path.join(build, "vok-apply")] + options + [train, line, out])
            new_model = best([os.path.join(build, "vok-apply"), model, new, out])
            new_tree = best([os.path.join(build, "vok-apply")] + options + [train, new, out])
            fit_tree = best([os.path.join(build, "vok-apply")] + options + [train, empty, out])
            tree_apply = max(new_tree[1] - fit_tree[1], 0.0)
            rows.append({
                "corpus": name, "options": tag, "train_bytes": train_bytes,
                "model_bytes": model_bytes,
                "model_over_train": "%.2f" % (model_bytes / train_bytes),
                "fit_cpu_s": "%.3f" % fit[1], "vok_cpu_s": "%.3f" % vok[1],
                "fit_peak_kb": fit[2], "vok_peak_kb": vok[2],
                "short_from_model_s": "%.3f" % short_model[0],
                "short_from_train_s": "%.3f" % short_tree[0],
                "short_ratio": "%.0f" % (short_tree[0] / max(short_model[0], 1e-9)),
                "new_bytes": new_bytes,
                "new_model_us_per_byte": "%.3f" % (new_model[1] * 1e6 / new_bytes),
                "new_tree_us_per_byte": "%.3f" % (tree_apply * 1e6 / new_bytes),
            })
            for group, nbytes in sections(model):
                parts.append({"corpus": name, "options": tag, "part": group, "bytes": nbytes,
                              "share": "%.1f%%" % (100.0 * nbytes / model_bytes)})
    for path in (line, empty, out, model):
        os.remove(path)
    return rows, parts


def rss_kb():
    with open("/proc/self/status") as f:
        for text in f:
            if text.startswith("VmRSS:"):
                return int(text.split()[1])
    return 0


def read_documents(path):
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return [text.decode("latin-1") for text in lines]


def child(task, train_path, new_path):
    import gc
    import vok
    result = {}
    if task == "fit":
        train = read_documents(train_path)
        gc.collect()
        before = rss_kb()
        t0 = time.perf_counter()
        vectorizer = vok.SubstringVectorizer().fit(train)
        result["seconds"] = time.perf_counter() - t0
        gc.collect()
        result["kept_kb"] = rss_kb() - before
        result["peak_kb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        result["model_bytes"] = len(pickle.dumps(vectorizer))
    elif task == "unpickle":  # the package imported first, as by any user
        with open(train_path, "rb") as f:
            data = f.read()
        t0 = time.perf_counter()
        pickle.loads(data)
        result["seconds"] = time.perf_counter() - t0
    else:
        with open(train_path, "rb") as f:
            vectorizer = pickle.loads(f.read())
        new = read_documents(new_path)
        vectorizer.n_jobs = int(task.split("=")[1])
        t0 = time.perf_counter()
        vectorizer.transform(new)
        result["seconds"] = time.perf_counter() - t0
    print(json.dumps(result))


def in_child(*args):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child"] + list(args),
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def python(work):
    import vok
    train = corpus(work, 5000000, None, 1)
    new = corpus(work, 5000000 * PY_NEW_DOCS // 7812, PY_NEW_DOCS, 2)
    fits = [in_child("fit", train, "") for _ in range(REPEAT)]
    pickled = os.path.join(work, "model_vectorizer.pickle")
    with open(pickled, "wb") as f:
        pickle.dump(vok.SubstringVectorizer().fit(read_documents(train)), f)
    rows = [{"measure": "fit on %d bytes (s)" % os.path.getsize(train),
             "value": "%.3f" % min(r["seconds"] for r in fits)},
            {"measure": "fit: the process's peak RSS (MB)",
             "value": "%.1f" % (max(r["peak_kb"] for r in fits) / 1024)},
            {"measure": "memory kept after fit (MB)",
             "value": "%.1f" % (min(r["kept_kb"] for r in fits) / 1024)},
            {"measure": "pickled vectorizer (MB)",
             "value": "%.1f" % (os.path.getsize(pickled) / 1e6)}]
    loads = [in_child("unpickle", pickled, "") for _ in range(REPEAT)]
    rows.append({"measure": "pickle.loads (s)",
                 "value": "%.4f" % min(r["seconds"] for r in loads)})
    times = {}
    for jobs in (1, 2):
        runs = [in_child("n_jobs=%d" % jobs, pickled, new) for _ in range(REPEAT)]
        times[jobs] = min(r["seconds"] for r in runs)
        rows.append({"measure": "transform of %d documents, n_jobs=%d (s)" % (PY_NEW_DOCS, jobs),
                     "value": "%.3f" % times[jobs]})
    rows.append({"measure": "n_jobs=2 against n_jobs=1 (speed-up)",
                 "value": "%.2f" % (times[1] / times[2])})
    os.remove(pickled)
    return rows


def write_csv(path, rows):
    import csv
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)


def main(argv):
    if argv[:1] == ["--child"]:
        child(*argv[1:4])
        return 0
    root = os.path.dirname(HERE)
    build = os.path.abspath(argv[0] if argv else os.path.join(root, "build-bench"))
    work = os.path.join(build, "bench-data")
    os.makedirs(work, exist_ok=True)
    load_start = open("/proc/loadavg").read().split()[:3]
    rows, parts = programs(build, work)
    write_csv(os.path.join(HERE, "model.csv"), rows)
    write_csv(os.path.join(HERE, "model_sections.csv"), parts)
    sys.path.insert(0, os.path.join(build, "python"))
    os.environ["PYTHONPATH"] = os.path.join(build, "python")
    write_csv(os.path.join(HERE, "model_python.csv"), python(work))
    # When and how busy: this bench may run apart from bench/run.sh.
    commit = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip() or "none"
    with open(os.path.join(HERE, "model_run.txt"), "w") as f:
        f.write("commit %s, %s, load average %s at the start, %s at the end\n" % (
            commit, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), " ".join(load_start),
            " ".join(open("/proc/loadavg").read().split()[:3])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
