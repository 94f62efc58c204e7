#!/usr/bin/python3
"""Reference point from a common library: character n-gram bags.

Reads a corpus (one document per line, line end removed as vok does) and
times CountVectorizer(analyzer="char_wb", ngram_range=(1, 8), min_df=2)
.fit_transform over it: every n-gram of 1 to 8 characters inside
blank-padded words, kept when it occurs in two documents or more.  This is
the usual fixed-length stand-in for vok's substring classes.  Prints one
"key value" pair per line, with the wall and CPU seconds of the call.

Run with the Debian interpreter that has scikit-learn: /usr/bin/python3.
Usage: sklearn_ref.py CORPUS
"""

import sys
import time


def read_documents(path):
    with open(path, "rb") as f:
        data = f.read()
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return [line.rstrip(b"\r").decode("latin-1") for line in lines]


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: sklearn_ref.py CORPUS\n")
        return 2
    import sklearn
    from sklearn.feature_extraction.text import CountVectorizer

    docs = read_documents(sys.argv[1])
    vectorizer = CountVectorizer(analyzer="char_wb", ngram_range=(1, 8),
                                 min_df=2)
    t0 = time.perf_counter()
    c0 = time.process_time()
    matrix = vectorizer.fit_transform(docs)
    cpu = time.process_time() - c0
    elapsed = time.perf_counter() - t0
    print("sklearn_version", sklearn.__version__)
    print("documents", len(docs))
    print("fit_transform_s", "%.6f" % elapsed)
    print("fit_transform_cpu_s", "%.6f" % cpu)
    print("rows", matrix.shape[0])
    print("features", matrix.shape[1])
    print("nonzeros", matrix.nnz)
    return 0


if __name__ == "__main__":
    sys.exit(main())
