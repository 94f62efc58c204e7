#!/usr/bin/python3
"""The wide tree at scale: time and memory from 1 MB to 100 MB.

For every corpus below, `vok -w CORPUS OUT` end to end (wall and CPU
seconds, peak RSS and that peak per input byte), the peak of each of its
phases (bench/vok_phases.cpp: the build, counting and selection, output),
the suffix-array baseline on the same text (bench/sa_lcp.cpp: libdivsufsort
and Kasai, CPU seconds and peak) and, up to VOK_SCALE_SKLEARN_MAX bytes
(default 50,000,000) and for more than one document, scikit-learn's
CountVectorizer (bench/sklearn_ref.py).
Writes bench/scale.csv; bench/report.py turns it into a table of
RESULTS.md and bench/plot_scale.gp into bench/scale.png.

Corpora, made in WORK (default BUILD_DIR/bench-data) and kept there:
  docs N MB      gen_corpus.py N MB, seed 1, one document per 420 bytes
  line N MB      the same text with every line end a blank: one document
  packages 25 MB this machine's Debian package lists (the Packages files
                 under /var/lib/apt/lists), one package a line: its fields
                 but the checksums, file name, size, version and maintainer,
                 continuation lines joined, cut at the last line end before
                 25,000,000 bytes
  packages twice the whole package text twice (every document repeated):
                 the shape that makes suffixes end at inner nodes

Every measurement runs VOK_BENCH_REPEAT times (default 3); the least time
and the highest peak are kept.  Usage, from the top of the source tree, with
a Release build (bench/run.sh makes one; the target vok_phases built too)
and bench/sa_lcp built beside it (bench/run.sh does that):

    /usr/bin/python3 bench/scale_bench.py [BUILD_DIR]
"""

import csv
import glob
import os
import subprocess
import sys

from timing import best, run

HERE = os.path.dirname(os.path.abspath(__file__))
SKLEARN_MAX = int(os.environ.get("VOK_SCALE_SKLEARN_MAX", "50000000"))
MB = 1000000
PACKAGE_BYTES = 25 * MB
# Fields of a package's entry left out: random-looking or per-build values.
DROPPED_FIELDS = {"MD5sum", "SHA256", "Description-md5", "Size", "Filename",
                  "Installed-Size", "Version", "Maintainer"}
FIELDS = ["corpus", "bytes", "documents", "wide_wall_s", "wide_cpu_s", "wide_peak_kb",
          "wide_bytes_per_byte", "build_peak_kb", "select_peak_kb", "output_peak_kb",
          "records", "internal", "sa_lcp_cpu_s", "sa_lcp_peak_kb", "wide_over_sa_lcp",
          "sklearn_cpu_s", "sklearn_peak_kb"]


def generated(work, size, one_line):
    docs = os.path.join(work, "scale_docs_%d.txt" % size)
    if not os.path.exists(docs):
        subprocess.run([sys.executable, os.path.join(HERE, "gen_corpus.py"), str(size),
                        "-s", "1", "-d", str(size // 420), "-o", docs], check=True)
    if not one_line:
        return docs
    line = os.path.join(work, "scale_line_%d.txt" % size)
    if not os.path.exists(line):
        with open(docs, "rb") as f:
            text = f.read()
        with open(line, "wb") as f:
            f.write(text[:-1].replace(b"\n", b" ") + b"\n")
    return line


def package_entries():
    """Every package of the machine's package lists as one line."""
    lists = sorted(glob.glob("/var/lib/apt/lists/*_Packages*"))
    if not lists:
        raise RuntimeError("no package lists in /var/lib/apt/lists (run apt-get update)")
    for path in lists:
        text = subprocess.run(["/usr/lib/apt/apt-helper", "cat-file", path], check=True,
                              capture_output=True).stdout
        for entry in text.split(b"\n\n"):
            fields = []
            for line in entry.split(b"\n"):
                if not line:
                    continue
                if line[:1] in (b" ", b"\t"):
                    if fields:
                        fields[-1] += b" " + line.strip()
                    continue
                if line.split(b":", 1)[0].decode("latin-1") not in DROPPED_FIELDS:
                    fields.append(line)
            if fields:
                yield b" ".join(fields)


def packages(work, twice):
    path = os.path.join(work, "scale_packages%s.txt" % ("_twice" if twice else ""))
    if os.path.exists(path):
        return path
    text = b"\n".join(package_entries()) + b"\n"
    text = text[:text.rfind(b"\n", 0, PACKAGE_BYTES) + 1]
    with open(path + ".tmp", "wb") as f:
        f.write(text + text if twice else text)
    os.replace(path + ".tmp", path)
    return path


def corpora(work):
    for size in (1, 5, 25, 50, 100):
        yield "docs %d MB" % size, generated(work, size * MB, False)
    for size in (25, 100):
        yield "line %d MB" % size, generated(work, size * MB, True)
    yield "packages 25 MB", packages(work, False)
    yield "packages twice", packages(work, True)


def keys(text):
    return dict(line.split(None, 1) for line in text.splitlines() if " " in line)


def measure(build, name, path, out):
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        documents = sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 20), b""))
    print("== %s (%d bytes)" % (name, size), file=sys.stderr, flush=True)
    wide = best([os.path.join(build, "vok"), "-w", path, out])
    phases = keys(run([os.path.join(build, "vok_phases"), "-w", path, out])[3])
    sa = best([os.path.join(build, "sa_lcp"), path])
    row = {"corpus": name, "bytes": size, "documents": documents,
           "wide_wall_s": "%.2f" % wide[0], "wide_cpu_s": "%.2f" % wide[1],
           "wide_peak_kb": wide[2], "wide_bytes_per_byte": "%.1f" % (wide[2] * 1024 / size),
           "build_peak_kb": phases.get("insert_peak_kb", ""),
           "select_peak_kb": phases.get("count_select_peak_kb", ""),
           "output_peak_kb": phases.get("output_peak_kb", ""),
           "records": phases.get("num_nodes", ""), "internal": phases.get("internal_nodes", ""),
           "sa_lcp_cpu_s": "%.2f" % sa[1], "sa_lcp_peak_kb": sa[2],
           "wide_over_sa_lcp": "%.2f" % (wide[1] / max(sa[1], 1e-9)),
           "sklearn_cpu_s": "", "sklearn_peak_kb": ""}
    if size <= SKLEARN_MAX and documents > 1:  # its min_df=2 needs two documents
        fit = run([sys.executable, os.path.join(HERE, "sklearn_ref.py"), path])
        row["sklearn_cpu_s"] = keys(fit[3]).get("fit_transform_cpu_s", "")
        row["sklearn_peak_kb"] = fit[2]
    os.remove(out)
    return row


def build_and_work():
    """The build directory (the first argument) and the corpora's directory."""
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build-bench")
    work = os.environ.get("VOK_SCALE_WORK", os.path.join(build, "bench-data"))
    os.makedirs(work, exist_ok=True)
    return build, work


def write_rows(name, fields, rows):
    """Writes rows to bench/NAME."""
    with open(os.path.join(HERE, name), "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=fields)
        writer.writeheader()
        writer.writerows(rows)


def main():
    build, work = build_and_work()
    out = os.path.join(work, "scale_out.txt")
    rows = [measure(build, name, path, out) for name, path in corpora(work)]
    write_rows("scale.csv", FIELDS, rows)
    if subprocess.run(["sh", "-c", "command -v gnuplot"], capture_output=True).returncode == 0:
        subprocess.run(["gnuplot", "-e", "scale='%s'; outfile='%s'" % (
            os.path.join(HERE, "scale.csv"), os.path.join(HERE, "scale.png")),
            os.path.join(HERE, "plot_scale.gp")], check=True)


if __name__ == "__main__":
    main()
