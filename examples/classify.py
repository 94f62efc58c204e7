#!/usr/bin/python3
"""The sample corpus through vok's features and a linear SVM, in Python.

Reads examples/sample.txt (one document a line) with the topic of every
line from examples/labels.txt, and puts them through

    Pipeline(SubstringVectorizer(), TfidfTransformer(sublinear_tf=True),
             LinearSVC())

with a small grid over min_freq and word_delimited.  Prints the
cross-validated accuracy of every grid point (3-fold, stratified), and the
accuracy of the whole search measured from outside (nested, 4 outer folds:
each runs its own grid search on the other three), which is the honest
estimate: the best grid point's score is picked as the best, so it flatters.

Needs the vok package (pip install ./python, or PYTHONPATH=build-test/python
after make test) and Debian's interpreter: /usr/bin/python3 examples/classify.py
"""

import os
import warnings

from sklearn.exceptions import ConvergenceWarning
from sklearn.feature_extraction.text import TfidfTransformer
from sklearn.model_selection import GridSearchCV, StratifiedKFold, cross_val_score
from sklearn.pipeline import Pipeline
from sklearn.svm import LinearSVC

from vok import SubstringVectorizer

HERE = os.path.dirname(os.path.abspath(__file__))


def read_lines(name):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        return f.read().splitlines()


def main():
    docs = read_lines("sample.txt")
    labels = read_lines("labels.txt")
    assert len(docs) == len(labels)
    pipeline = Pipeline([
        ("voks", SubstringVectorizer()),
        ("tfidf", TfidfTransformer(sublinear_tf=True)),
        ("svm", LinearSVC()),
    ])
    grid = {"voks__min_freq": [2, 3, 5], "voks__word_delimited": [True, False]}
    folds = StratifiedKFold(n_splits=3, shuffle=True, random_state=0)
    search = GridSearchCV(pipeline, grid, cv=folds)
    warnings.simplefilter("ignore", ConvergenceWarning)

    search.fit(docs, labels)
    print(f"{len(docs)} documents, {len(set(labels))} topics; "
          "3-fold cross-validated accuracy:")
    print("  min_freq  word_delimited  accuracy")
    results = search.cv_results_
    for params, mean, std in zip(results["params"], results["mean_test_score"],
                                 results["std_test_score"]):
        print(f"  {params['voks__min_freq']:8d}  {str(params['voks__word_delimited']):>14s}"
              f"  {mean:.3f} +- {std:.3f}")
    best = search.best_params_
    print(f"best: min_freq={best['voks__min_freq']}, "
          f"word_delimited={best['voks__word_delimited']}, "
          f"{len(search.best_estimator_['voks'].feature_numbers_)} features")

    outer = StratifiedKFold(n_splits=4, shuffle=True, random_state=1)
    nested = cross_val_score(search, docs, labels, cv=outer)
    print(f"nested cross-validated accuracy of the search: "
          f"{nested.mean():.3f} +- {nested.std():.3f}")


if __name__ == "__main__":
    main()
