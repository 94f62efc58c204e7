#!/usr/bin/python3
"""Do vok's substring features classify as well as character n-grams?

For every corpus (NAME.txt, one document per line, and NAME.labels, one
label per line, as bench/make_corpora.py writes them) and every method,
5-fold cross-validation: StratifiedKFold(shuffle=True, random_state=0); in
each fold the features are fitted on the training part only, inside

    Pipeline([vectorizer, TfidfTransformer(sublinear_tf=True), LinearSVC()])

and the held-out part is predicted.  Reported per corpus and method: mean
accuracy and mean macro-F1 over the folds (and their standard deviations),
the mean number of columns the vectorizer makes, and the mean wall seconds
of the vectorizer's fit_transform on the training part alone (the call the
pipeline makes; for CountVectorizer that is its fit).

Methods:
  char_wb 1-5   CountVectorizer(analyzer="char_wb", ngram_range=(1, 5))
  char 1-5      CountVectorizer(analyzer="char", ngram_range=(1, 5))
  word 1-2      CountVectorizer(analyzer="word", ngram_range=(1, 2))
  char_wb 1-8   CountVectorizer(analyzer="char_wb", ngram_range=(1, 8)):
                its fit time only, for comparison with vok's
  fastText      `fasttext supervised -input TRAIN -output MODEL -epoch 25
                -thread 1` and `fasttext predict` (Debian's fasttext), on
                the same folds; one thread, so that a run repeats exactly
  vok PARAMS    vok.SubstringVectorizer(**PARAMS), one row for each --vok
                (default: {} and {"word_delimited": false})

PARAMS are passed to the vectorizer unchanged; a name it does not take is
refused before anything runs.  The folds run in JOBS worker processes (2 by
default; each holds one fold's matrices at a time).

Writes the CSV (default bench/usefulness.csv) and prints markdown tables:
accuracy (macro-F1) per method and corpus, then columns and fit seconds.

Usage:
  /usr/bin/python3 bench/usefulness.py [--data DIR] [--corpora ja,de,en,zh]
      [--vok JSON]... [--skip fasttext,ngrams,vok] [--ngrams "char_wb 1-5,char 1-5"]
      [--folds 5] [--jobs 2]
      [--csv FILE]

The vok package is imported from $VOK_PYTHONPATH when set (put first on
sys.path), else from the normal path, for instance a Release build:

  cmake -S . -B build-py -DCMAKE_BUILD_TYPE=Release -DVOK_TESTS=OFF -DVOK_PYTHON=ON
  cmake --build build-py -j2 --target _vok
  VOK_PYTHONPATH=build-py/python /usr/bin/python3 bench/usefulness.py
"""

import argparse
import concurrent.futures
import csv
import functools
import json
import multiprocessing
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import traceback
import warnings

if os.environ.get("VOK_PYTHONPATH"):
    sys.path.insert(0, os.path.abspath(os.environ["VOK_PYTHONPATH"]))

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_DATA = os.path.join(ROOT, "build-bench", "usefulness-data")
DEFAULT_CSV = os.path.join(HERE, "usefulness.csv")
DEFAULT_VOK = ["{}", '{"word_delimited": false}']
SKIPPABLE = ("fasttext", "ngrams", "vok")
FIELDS = ["corpus", "method", "params", "accuracy", "macro_f1", "columns", "fit_s",
          "accuracy_sd", "macro_f1_sd"]

# method name -> (kind, parameters, classify): classify False measures the
# vectorizer's fit time only.
NGRAMS = [
    ("char_wb 1-5", "count", {"analyzer": "char_wb", "ngram_range": [1, 5]}, True),
    ("char 1-5", "count", {"analyzer": "char", "ngram_range": [1, 5]}, True),
    ("word 1-2", "count", {"analyzer": "word", "ngram_range": [1, 2]}, True),
    ("char_wb 1-8", "count", {"analyzer": "char_wb", "ngram_range": [1, 8]}, False),
]


@functools.lru_cache(maxsize=2)
def load_corpus(data, name):
    """The documents (str) and labels of a corpus."""
    def lines(path):
        with open(path, encoding="utf-8", errors="surrogateescape", newline="\n") as f:
            text = f.read()
        return text[:-1].split("\n") if text.endswith("\n") else text.split("\n")

    documents = lines(os.path.join(data, name + ".txt"))
    labels = lines(os.path.join(data, name + ".labels"))
    if len(documents) != len(labels):
        raise SystemExit(f"usefulness: {name}: {len(documents)} documents but "
                         f"{len(labels)} labels")
    return documents, labels


@functools.lru_cache(maxsize=2)
def folds_of(data, name, n_folds):
    from sklearn.model_selection import StratifiedKFold
    documents, labels = load_corpus(data, name)
    splitter = StratifiedKFold(n_splits=n_folds, shuffle=True, random_state=0)
    return list(splitter.split(documents, labels))


def make_vectorizer(kind, params):
    if kind == "count":
        from sklearn.feature_extraction.text import CountVectorizer
        params = dict(params)
        if "ngram_range" in params:
            params["ngram_range"] = tuple(params["ngram_range"])
        return CountVectorizer(**params)
    import vok
    return vok.SubstringVectorizer(**params)


def linear_svc():
    import sklearn
    from sklearn.svm import LinearSVC
    from sklearn.utils.fixes import parse_version
    # dual="auto" exists from scikit-learn 1.3 on; before, the default.
    if parse_version(sklearn.__version__) >= parse_version("1.3"):
        return LinearSVC(dual="auto")
    return LinearSVC()


def scores(truth, predicted):
    from sklearn.metrics import accuracy_score, f1_score
    return accuracy_score(truth, predicted), f1_score(truth, predicted, average="macro")


def run_pipeline(kind, params, classify, train_docs, train_labels, test_docs,
                 test_labels):
    """One fold through the pipeline.  The vectorizer's fit_transform is
    timed alone and its matrix handed to the rest of the pipeline, which is
    what Pipeline.fit does."""
    from sklearn.exceptions import ConvergenceWarning
    from sklearn.feature_extraction.text import TfidfTransformer
    from sklearn.pipeline import Pipeline
    pipeline = Pipeline([("features", make_vectorizer(kind, params)),
                         ("tfidf", TfidfTransformer(sublinear_tf=True)),
                         ("svm", linear_svc())])
    start = time.perf_counter()
    matrix = pipeline[0].fit_transform(train_docs)
    fit_s = time.perf_counter() - start
    result = dict(columns=matrix.shape[1], fit_s=fit_s)
    if not classify:
        return result
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ConvergenceWarning)
        pipeline[1:].fit(matrix, train_labels)
    del matrix
    result["converged"] = not any(issubclass(w.category, ConvergenceWarning)
                                  for w in caught)
    result["accuracy"], result["macro_f1"] = scores(test_labels,
                                                   pipeline.predict(test_docs))
    return result


def run_fasttext(train_docs, train_labels, test_docs, test_labels):
    """One fold through fastText's command line, in a directory of its own."""
    work = tempfile.mkdtemp(prefix="usefulness-fasttext-")
    try:
        train_path = os.path.join(work, "train.txt")
        test_path = os.path.join(work, "test.txt")
        model = os.path.join(work, "model")
        with open(train_path, "w", encoding="utf-8", errors="surrogateescape") as f:
            for label, document in zip(train_labels, train_docs):
                f.write(f"__label__{label} {document}\n")
        with open(test_path, "w", encoding="utf-8", errors="surrogateescape") as f:
            for document in test_docs:
                f.write(document + "\n")
        start = time.perf_counter()
        subprocess.run(["fasttext", "supervised", "-input", train_path, "-output", model,
                        "-epoch", "25", "-thread", "1", "-verbose", "0"],
                       check=True, stdout=subprocess.DEVNULL)
        fit_s = time.perf_counter() - start
        done = subprocess.run(["fasttext", "predict", model + ".bin", test_path],
                              check=True, capture_output=True, text=True)
        predicted = [line.strip().removeprefix("__label__")
                     for line in done.stdout.split("\n") if line.strip()]
        if len(predicted) != len(test_docs):
            raise RuntimeError(f"fasttext predicted {len(predicted)} labels for "
                               f"{len(test_docs)} documents")
        accuracy, macro_f1 = scores(test_labels, predicted)
        return dict(accuracy=accuracy, macro_f1=macro_f1, fit_s=fit_s)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_task(data, corpus, n_folds, fold, kind, params, classify):
    """One method on one fold of one corpus, in a worker: its result, or
    the error's text."""
    try:
        documents, labels = load_corpus(data, corpus)
        train, test = folds_of(data, corpus, n_folds)[fold]
        parts = ([documents[i] for i in train], [labels[i] for i in train],
                 [documents[i] for i in test], [labels[i] for i in test])
        if kind == "fasttext":
            return run_fasttext(*parts)
        return run_pipeline(kind, params, classify, *parts)
    except Exception:
        return dict(error=traceback.format_exc())


def summary(results):
    """Means over the folds (standard deviations of the scores), or None
    for a measure no fold gave."""
    row = {}
    for key in ("accuracy", "macro_f1", "columns", "fit_s"):
        values = [r[key] for r in results if key in r]
        row[key] = statistics.fmean(values) if values else None
        if key in ("accuracy", "macro_f1"):
            row[key + "_sd"] = statistics.stdev(values) if len(values) > 1 else None
    return row


def check_vok_params(settings):
    """Every --vok setting parsed, its names checked against the installed
    vectorizer's parameters: a wrong one stops the run before it starts."""
    parsed = []
    for text in settings:
        try:
            params = json.loads(text)
        except json.JSONDecodeError as e:
            raise SystemExit(f"usefulness: --vok {text!r} is not JSON: {e}")
        if not isinstance(params, dict):
            raise SystemExit(f"usefulness: --vok {text!r} is not a JSON object")
        parsed.append(params)
    if not parsed:
        return parsed
    try:
        import vok
    except ImportError as e:
        raise SystemExit(f"usefulness: cannot import vok ({e}); build the package and "
                         "set VOK_PYTHONPATH, or skip vok with --skip vok")
    known = vok.SubstringVectorizer().get_params()
    for params in parsed:
        unknown = sorted(set(params) - set(known))
        if unknown:
            raise SystemExit(
                f"usefulness: vok.SubstringVectorizer ({vok.__file__}) has no parameter "
                f"{', '.join(unknown)}; it takes {', '.join(sorted(known))}")
        try:  # the values, by a fit on a few documents
            vok.SubstringVectorizer(**params).fit(["a b a b", "b a b a", "a a b b"])
        except (TypeError, ValueError) as e:
            raise SystemExit(f"usefulness: --vok {json.dumps(params)}: {e}")
    return parsed


def fmt(value, digits=3):
    return "" if value is None else f"{value:.{digits}f}"


def csv_value(key, value):
    if key == "columns":
        return fmt(value, 0)
    return fmt(value, 4) if isinstance(value, float) or value is None else value


def markdown(rows, corpora):
    methods = list(dict.fromkeys(row["method"] for row in rows))
    cell = {(row["method"], row["corpus"]): row for row in rows}

    def table(title, render):
        lines = [f"| {title} | " + " | ".join(corpora) + " |",
                 "|---|" + "---:|" * len(corpora)]
        for method in methods:
            cells = [render(cell[method, c]) if (method, c) in cell else ""
                     for c in corpora]
            if any(cells):
                lines.append(f"| {method} | " + " | ".join(cells) + " |")
        return "\n".join(lines)

    def score(row):
        if row["accuracy"] is None:
            return ""
        return f"{row['accuracy']:.3f} ({row['macro_f1']:.3f})"

    def columns(row):
        return "" if row["columns"] is None else f"{row['columns']:,.0f}"

    return "\n\n".join([
        table("accuracy (macro-F1)", score),
        table("columns", columns),
        table("fit s", lambda row: fmt(row["fit_s"], 2)),
    ])


def main():
    parser = argparse.ArgumentParser(
        description="vok's features against n-grams and fastText in text classification",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    parser.add_argument("--data", default=DEFAULT_DATA,
                        help="directory of the corpora (default: %(default)s)")
    parser.add_argument("--corpora", default="ja,de,en,zh",
                        help="comma-separated corpus names (default: %(default)s)")
    parser.add_argument("--vok", action="append", metavar="JSON",
                        help="parameters of one vok row, a JSON object (repeatable)")
    parser.add_argument("--ngrams", default="",
                        help="the n-gram methods to run, by name, comma-separated "
                             "(default: all)")
    parser.add_argument("--skip", default="",
                        help="comma-separated: " + ", ".join(SKIPPABLE))
    parser.add_argument("--folds", type=int, default=5)
    parser.add_argument("--jobs", type=int, default=2, help="worker processes")
    parser.add_argument("--csv", default=DEFAULT_CSV)
    args = parser.parse_args()

    skip = {s for s in args.skip.split(",") if s}
    if skip - set(SKIPPABLE):
        parser.error(f"--skip takes {', '.join(SKIPPABLE)}, not "
                     f"{', '.join(sorted(skip - set(SKIPPABLE)))}")
    if args.folds < 2 or args.jobs < 1:
        parser.error("--folds must be at least 2 and --jobs at least 1")
    corpora = [c for c in args.corpora.split(",") if c]
    for corpus in corpora:
        for ext in (".txt", ".labels"):
            if not os.path.exists(os.path.join(args.data, corpus + ext)):
                raise SystemExit(f"usefulness: no {corpus}{ext} in {args.data}; "
                                 "make it with bench/make_corpora.py --data " + args.data)
    if "fasttext" not in skip and shutil.which("fasttext") is None:
        raise SystemExit("usefulness: no fasttext command (Debian package fasttext); "
                         "install it or --skip fasttext")

    methods = []  # (name, kind, params, classify)
    if "ngrams" not in skip:
        methods += [m for m in NGRAMS if not args.ngrams or m[0] in args.ngrams.split(",")]
    if "fasttext" not in skip:
        methods.append(("fastText", "fasttext", {"epoch": 25}, True))
    if "vok" not in skip:
        for params in check_vok_params(args.vok or DEFAULT_VOK):
            methods.append((f"vok {json.dumps(params)}", "vok", params, True))

    start = time.perf_counter()
    tasks = {}
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(args.jobs, mp_context=context) as pool:
        for corpus in corpora:
            for name, kind, params, classify in methods:
                for fold in range(args.folds):
                    future = pool.submit(run_task, os.path.abspath(args.data), corpus,
                                         args.folds, fold, kind, params, classify)
                    tasks[future] = (corpus, name, fold)
        results = {}
        for future in concurrent.futures.as_completed(tasks):
            corpus, name, fold = tasks[future]
            result = future.result()
            if "error" in result:
                print(f"usefulness: {corpus} {name} fold {fold} failed:\n"
                      f"{result['error']}", file=sys.stderr)
            elif result.get("converged") is False:
                print(f"usefulness: {corpus} {name} fold {fold}: LinearSVC did not "
                      "converge", file=sys.stderr)
            results.setdefault((corpus, name), []).append(result)
            done = sum(len(r) for r in results.values())
            print(f"[{time.perf_counter() - start:7.1f} s] {done}/{len(tasks)} "
                  f"{corpus} {name} fold {fold}", file=sys.stderr)

    rows, failed = [], False
    for corpus in corpora:
        for name, kind, params, classify in methods:
            folds = results[corpus, name]
            failed |= any("error" in r for r in folds)
            row = dict(corpus=corpus, method=name, params=json.dumps(params))
            row.update(summary([r for r in folds if "error" not in r]))
            rows.append(row)
    with open(args.csv, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=FIELDS)
        writer.writeheader()
        for row in rows:
            writer.writerow({key: csv_value(key, value) for key, value in row.items()})
    print(markdown(rows, corpora))
    print(f"\n{args.folds} folds, {len(tasks)} fits on {args.jobs} worker processes, "
          f"{time.perf_counter() - start:.0f} s wall; CSV: {args.csv}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
