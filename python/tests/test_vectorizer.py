# SubstringVectorizer against the vok and vok-dict binaries on the same lines
# (VOK_BIN_DIR, default build-test/), and transform of other documents
# against a brute-force model built from the training texts alone.
import gc
import os
import pickle
import random
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.exceptions import NotFittedError
from sklearn.feature_extraction.text import TfidfTransformer
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import Pipeline
from sklearn.svm import LinearSVC

import vok
from vok import _vok

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN = os.environ.get("VOK_BIN_DIR", os.path.join(ROOT, "build-test"))
SAMPLE = open(os.path.join(ROOT, "examples", "sample.txt")).read().splitlines()
ALPHABET = [b"a", b"b", b"c", b" ", b"\t", b"\xc3", b"\xa9", b"\\", b"\x01", "\u20ac".encode(), b"A"]
OPTIONS = dict(word_delimited="-s", min_freq="-l", max_freq="-h", min_branches="-b",
               max_parent_prob="-p", max_link_prob="-q")


def run_vok(tmp_path, docs, params, program="vok"):
    src, out = tmp_path / "docs.txt", tmp_path / "out.txt"
    src.write_bytes(b"".join(d + b"\n" for d in docs))
    args = [x for name, opt in OPTIONS.items() for x in
            (opt, repr(params[name]) if "prob" in name else str(int(params[name])))]
    args += [f"--{name.replace('_', '-')}={params[name]!r}" for name in ("min_df", "max_df", "max_features", "max_shortest")
             if params.get(name) is not None]
    args += [f"--{name}" for name in ("utf8", "lowercase") if params.get(name) is True]
    res = subprocess.run([os.path.join(BIN, program), "-w"] + args + [str(src), str(out)],
                         capture_output=True)
    return res, (out.read_text("latin-1").split("\n")[:-1] if res.returncode == 0 else None)


def random_case(rng):
    docs = [b"".join(rng.choices(ALPHABET, [6, 4, 2, 3, 1, 1, 1, 1, 1, 1, 1], k=rng.randint(0, 40)))
            for _ in range(rng.randint(0, 25))]
    if docs and rng.random() < 0.3:
        docs[0] += b"\0ab"  # a NUL ends the text
    low = rng.randint(2, 5)
    more = {} if rng.random() < 0.5 else dict(
        min_df=rng.choice([1, 2, 3, 0.0, 0.2, 0.5]), max_df=rng.choice([1.0, 0.9, 0.5, 9, 4]),
        max_features=rng.choice([None, 1, 5, 30]), utf8=rng.random() < 0.5, lowercase=rng.random() < 0.5,
        max_shortest=rng.choice([None, None, 1, 2, 4]))
    return docs, dict(more, word_delimited=rng.random() < 0.5, min_freq=low,
                      max_freq=rng.choice([low, low + rng.randint(0, 20), 8000]),
                      min_branches=rng.randint(2, 4),
                      max_parent_prob=rng.choice([1.0, rng.uniform(0.3, 1.0), 2.5]),
                      max_link_prob=rng.choice([1.0, rng.uniform(0.3, 1.0), float("inf")]))


# A label as vok-dict writes it (read as Latin-1): a character of two to
# four bytes that Python's strict UTF-8 decoder takes stands as it is; other
# bytes from 127 up, those below 32 and the backslash are escaped.
def dict_label(b):
    def character(piece):
        try:
            return len(piece.decode("utf-8")) == 1
        except UnicodeDecodeError:
            return False
    special, out, i = {92: "\\\\", 9: "\\t", 13: "\\r", 10: "\\n"}, "", 0
    while i < len(b):
        n = next((n for n in (2, 3, 4) if len(b[i:i + n]) == n and character(b[i:i + n])), 1)
        out += b[i:i + n].decode("latin-1") if n > 1 else special.get(b[i]) or (
            chr(b[i]) if 32 <= b[i] < 127 else "\\x%02x" % b[i])
        i += n
    return out


# Feature f is found at an emitting position j of a document when the text
# from j starts with the shortest member of f's class: the shortest prefix of
# its label that occurs in the training texts as often as the label.
def model_bags(train, labels, docs, word_delimited, utf8=False, lowercase=False):
    def starts(d):  # where the characters begin: strict UTF-8, else byte by byte
        i, out = 0, set()
        while i < len(d):
            out.add(i)
            i += next((n for n in (2, 3, 4) if len(d[i:i + n]) == n and
                       len(d[i:i + n].decode("utf-8", "replace")) == 1 and
                       "\ufffd" not in d[i:i + n].decode("utf-8", "replace")), 1)
        return out
    train = [t.split(b"\0")[0].lower() if lowercase else t.split(b"\0")[0] for t in train]
    docs = [d.lower() for d in docs] if lowercase else docs
    occ = lambda s: sum(t[j:].startswith(s) for t in train for j in range(len(t)))
    heads = [next(label[:k] for k in range(1, len(label) + 1) if occ(label[:k]) == occ(label))
             for label in labels]
    rows = []
    for d in (d.split(b"\0")[0] for d in docs):
        emits = [j for j in range(len(d)) if (not word_delimited or j == 0 or
                 (d[j - 1] in b" \t" and d[j] not in b" \t")) and (not utf8 or j in starts(d))]
        rows.append([sum(d[j:].startswith(h) for j in emits) for h in heads])
    return np.array(rows, dtype=np.int64).reshape(len(docs), len(heads))


@pytest.mark.parametrize("seed", range(40))
def test_matches_vok_and_model(tmp_path, seed):
    docs, params = random_case(random.Random(seed))
    v = vok.SubstringVectorizer(**params)
    X = v.fit_transform(docs)
    _, lines = run_vok(tmp_path, docs, params)
    # The columns are the features of vok's bags, in vok-dict's order.
    seen = {int(token, 16) for line in lines for token in line.split()}
    entries = [e for e in (line.split("\t", 3) for line in
                           run_vok(tmp_path, docs, params, "vok-dict")[1]) if int(e[0], 16) in seen]
    numbers = [int(e[0], 16) for e in entries]
    assert list(v.feature_numbers_) == numbers
    labels = [n.encode("utf-8", "surrogateescape") for n in v.get_feature_names_out()]
    assert [dict_label(b) for b in labels] == [e[3] for e in entries]
    column = {n: i for i, n in enumerate(numbers)}
    want = np.zeros((len(docs), len(numbers)), dtype=np.int64)
    for i, line in enumerate(lines):
        for token in line.split():
            want[i, column[int(token, 16)]] += 1
    assert X.format == "csr" and X.dtype == np.int64
    assert np.array_equal(X.toarray(), want)
    assert np.array_equal(vok.SubstringVectorizer(**params).fit(docs).transform(docs).toarray(), want)
    strs = [d.decode("utf-8", "surrogateescape") for d in docs]  # str or bytes: the same bytes
    assert np.array_equal(vok.SubstringVectorizer(**params).fit_transform(strs).toarray(), want)
    new = random_case(random.Random(seed + 1000))[0]
    assert np.array_equal(v.transform(new).toarray(),
                          model_bags(docs, labels, new, params["word_delimited"],
                                     params.get("utf8"), params.get("lowercase")))
    assert np.array_equal(vok.SubstringVectorizer.load(save(v, tmp_path / "m")).transform(new).toarray(),
                          v.transform(new).toarray())
    if params.get("lowercase"):  # Python's lowering is no ASCII lowering: vok-apply refuses it
        res = subprocess.run([os.path.join(BIN, "vok-apply"), str(tmp_path / "m"), "-", "-"],
                             capture_output=True, input=b"")
        assert res.returncode == 1 and b"Unicode lowercasing" in res.stderr


def save(v, path):
    v.save(path)
    return path


BAD = [("word_delimited", 2), ("word_delimited", -1), ("min_freq", 1), ("min_freq", -10 ** 30),
       ("max_freq", 1), ("min_branches", 1), ("max_parent_prob", 0.0),
       ("max_link_prob", float("nan")), ("max_parent_prob", -1.0)]
GOOD = [dict(max_parent_prob=float("inf")), dict(min_freq=10 ** 30, max_freq=10 ** 30),
        dict(min_freq=3, max_freq=3), dict(word_delimited=0)]


@pytest.mark.parametrize("change,valid", [(dict([b]), False) for b in BAD] + [(g, True) for g in GOOD])
def test_settings_checked_as_vok_checks_them(tmp_path, change, valid):
    params = dict(vok.SubstringVectorizer().get_params(), **change)
    res, _ = run_vok(tmp_path, [b"ab ab"], params)
    assert res.returncode == (0 if valid else 1) and (valid or b"invalid option" in res.stdout)
    v = vok.SubstringVectorizer(**params)  # __init__ only stores
    for call in (v.fit, v.fit_transform):
        if valid:
            call(["ab ab"])
        else:
            with pytest.raises(ValueError, match=list(change)[0]):
                call(["ab ab"])


@pytest.mark.parametrize("change", [dict(min_freq=2.0), dict(max_link_prob="1"),
                                    dict(min_branches=None), dict(word_delimited=0.5)])
def test_settings_types(change):
    with pytest.raises(ValueError, match=list(change)[0]):
        vok.SubstringVectorizer(**change).fit(["ab"])


def test_errors_leave_the_module_usable():
    want = vok.SubstringVectorizer().fit_transform(SAMPLE)
    pages, before = _vok._pages_in_use(), _vok._pool_requests()
    vok.SubstringVectorizer().fit(SAMPLE)
    requests = _vok._pool_requests() - before
    assert requests > 0 and _vok._pages_in_use() == pages  # the fit keeps no tree
    with pytest.raises(NotFittedError):
        vok.SubstringVectorizer().transform(SAMPLE)
    for k in [1, 2, requests // 3, requests, "ab", b"ab", ["ab", 3], ["ab", None], ["\ud800"]]:
        try:
            if isinstance(k, int):
                _vok._fail_from(k)
                with pytest.raises(MemoryError) as raised:
                    vok.SubstringVectorizer().fit_transform(SAMPLE)
                assert _vok._pages_in_use() == pages, raised  # freed before the traceback goes
            else:
                with pytest.raises((ValueError, TypeError)):
                    vok.SubstringVectorizer().fit(k)
                with pytest.raises((ValueError, TypeError)):
                    vok.SubstringVectorizer().fit(["ab"]).transform(k)
        finally:
            _vok._fail_from(0)
        gc.collect()
        assert _vok._pages_in_use() == pages  # a failed fit keeps nothing
        assert (vok.SubstringVectorizer().fit_transform(SAMPLE) != want).nnz == 0


def test_sklearn_protocols():
    labels = open(os.path.join(ROOT, "examples", "labels.txt")).read().split()
    v = vok.SubstringVectorizer(min_freq=3).fit(SAMPLE[::2])
    want = v.transform(SAMPLE).toarray()
    assert clone(v).get_params() == v.get_params() and not hasattr(clone(v), "feature_numbers_")
    v.set_params(min_freq=5)  # the fitted features stay those of the fit
    stored, requests = pickle.dumps(v), _vok._pool_requests()
    again = pickle.loads(stored)
    assert _vok._pool_requests() == requests  # loading fits nothing
    assert not any(line.encode() in stored for line in SAMPLE)  # no training document
    assert again.min_freq == 5 and np.array_equal(again.transform(SAMPLE).toarray(), want)
    assert list(again.get_feature_names_out()) == list(v.get_feature_names_out())
    pipe = Pipeline([("voks", vok.SubstringVectorizer()), ("tfidf", TfidfTransformer()),
                     ("svm", LinearSVC())])
    grid = GridSearchCV(pipe, {"voks__min_freq": [2, 3], "voks__word_delimited": [True, False]},
                        cv=3).fit(SAMPLE, labels)
    assert grid.best_score_ > 0.5
    assert pickle.loads(pickle.dumps(grid)).predict(SAMPLE).tolist() == grid.predict(SAMPLE).tolist()


def test_threads_fit_and_transform_side_by_side(tmp_path):
    want = vok.SubstringVectorizer().fit_transform(SAMPLE * 20).toarray()
    shared = vok.SubstringVectorizer(min_freq=3).fit(SAMPLE)
    other = vok.SubstringVectorizer(min_freq=3).fit(SAMPLE[::2])
    got, seen = [], []

    def fit():
        got.append(vok.SubstringVectorizer().fit(SAMPLE * 20).transform(SAMPLE * 20))

    def transform():  # a refit races it: the old fit, the new or none
        try:
            seen.append(shared.transform(SAMPLE * 5).toarray())
        except NotFittedError:
            seen.append(None)

    def refit():
        shared.fit(SAMPLE[::2])

    old = shared.transform(SAMPLE * 5).toarray()
    threads = [threading.Thread(target=f) for f in [fit] * 3 + [transform] * 8 + [refit]]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(got) == 3 and all(np.array_equal(m.toarray(), want) for m in got)
    new = other.transform(SAMPLE * 5).toarray()
    assert len(seen) == 8 and all(x is None or np.array_equal(x, old) or np.array_equal(x, new)
                                  for x in seen)
    # Threads within one transform: the same rows in the same order.
    docs = SAMPLE * 300
    one = vok.SubstringVectorizer(n_jobs=None).fit(SAMPLE)
    for n_jobs in (2, -1, 7):
        assert (one.set_params(n_jobs=n_jobs).transform(docs) !=
                one.set_params(n_jobs=1).transform(docs)).nnz == 0
    for bad in (0, 1.5, "2"):
        with pytest.raises(ValueError, match="n_jobs"):
            one.set_params(n_jobs=bad).transform(docs)
    # Threads within one fit: the same model file and the same rows.
    fits = [vok.SubstringVectorizer(n_jobs=n, min_freq=3) for n in (1, 2, 3)]
    rows = [v.fit_transform(docs) for v in fits]
    assert all((x != rows[0]).nnz == 0 for x in rows[1:])
    assert len({save(v, tmp_path / "j").read_bytes() for v in fits + [fits[1].fit(docs)]}) == 1
    # The model file: saved, loaded, and refused when damaged.
    path = tmp_path / "sample.vokm"
    one.set_params(n_jobs=None).save(path)
    loaded = vok.SubstringVectorizer.load(path)
    assert loaded.get_params() == one.get_params()
    assert (loaded.transform(docs) != one.transform(docs)).nnz == 0
    damaged = bytearray(path.read_bytes())
    damaged[len(damaged) // 2] ^= 1
    path.write_bytes(bytes(damaged))
    with pytest.raises(ValueError, match="damaged"):
        vok.SubstringVectorizer.load(path)


def test_ctrl_c_stops_fit_soon_and_leaves_the_module_usable():
    text = np.random.default_rng(1).integers(97, 101, size=6_000_000, dtype=np.uint8).tobytes()
    docs = [text[i:i + 1000] for i in range(0, len(text), 1000)]
    pages = _vok._pages_in_use()
    # A shell that starts the suite in the background ignores SIGINT, and
    # Python then leaves it ignored: give it Python's handler for the test.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    for delay in (0.2, 1.0):  # while the documents go in; while the tree is built
        sent = []
        timer = threading.Timer(delay, lambda: (sent.append(time.monotonic()),
                                                os.kill(os.getpid(), signal.SIGINT)))
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            vok.SubstringVectorizer().fit_transform(docs)
        timer.join()
        assert time.monotonic() - sent[0] < 1.5
        gc.collect()
        assert _vok._pages_in_use() == pages
    signal.signal(signal.SIGINT, previous)
    assert (vok.SubstringVectorizer().fit_transform(SAMPLE) !=
            vok.SubstringVectorizer().fit(SAMPLE).transform(SAMPLE)).nnz == 0


def test_dask_example_transforms_on_workers():
    pytest.importorskip("distributed")
    res = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "dask_transform.py")],
                         capture_output=True, text=True, timeout=600)
    assert res.returncode == 0 and "the same as a local transform: True" in res.stdout, res.stderr
