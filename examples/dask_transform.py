"""Transforms a corpus on a cluster of workers with dask.bag: the vectorizer
is fitted once here and shipped to every worker once (it pickles as its
fitted model's bytes: no training document travels, and no worker fits
again); each partition of the corpus is transformed where it lies, and the
rows come back in order.

The fit must still happen on one machine (it holds the suffix tree of the
whole training corpus); transforming scales out with the workers.  Here the
cluster is a LocalCluster of two worker processes on this machine; point a
dask.distributed Client at a scheduler to use other machines.

    PYTHONPATH=build-test/python /usr/bin/python3 examples/dask_transform.py

Prints the shape of the matrix and whether it equals a local transform.
"""

import os
import sys

import dask.bag
import scipy.sparse as sp
from dask.distributed import Client, LocalCluster

from vok import SubstringVectorizer

HERE = os.path.dirname(os.path.abspath(__file__))


def transform_partition(documents, vectorizer):
    return [vectorizer.transform(list(documents))]


def main():
    with open(os.path.join(HERE, "sample.txt"), encoding="utf-8") as f:
        training = f.read().splitlines()
    corpus = training * 50  # the documents to transform
    vectorizer = SubstringVectorizer(min_freq=2).fit(training)

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        shipped = client.scatter(vectorizer, broadcast=True)  # once to each worker
        parts = dask.bag.from_sequence(corpus, npartitions=8)
        pieces = parts.map_partitions(transform_partition, shipped).compute()
    matrix = sp.vstack(pieces, format="csr")

    local = vectorizer.transform(corpus)
    same = matrix.shape == local.shape and (matrix != local).nnz == 0
    print(f"{matrix.shape[0]} documents x {matrix.shape[1]} features; "
          f"the same as a local transform: {same}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
