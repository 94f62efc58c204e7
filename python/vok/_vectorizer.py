"""SubstringVectorizer: vok's substring features as a scikit-learn transformer."""

import numbers
import os
import tempfile

import numpy as np
import scipy.sparse as sp
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.utils.validation import check_is_fitted

from . import _vok

# vok reads its integer options into a C long, saturating out of range.
_LONG_MIN = -(2 ** 63)
_LONG_MAX = 2 ** 63 - 1


class InvalidParameterError(ValueError, TypeError):
    """A parameter of the wrong type or out of its range (named in the message)."""


def _integer(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise InvalidParameterError(f"{name} must be an integer, got {value!r}")
    return min(max(int(value), _LONG_MIN), _LONG_MAX)


def _real(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise InvalidParameterError(f"{name} must be a real number, got {value!r}")
    return float(value)


def _df_bound(name, value):
    """A document-frequency bound as (value, share): an int is a count of
    documents, a float a share of them (as CountVectorizer takes them)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise InvalidParameterError(f"{name} must be an int or a float, got {value!r}")
    if isinstance(value, numbers.Integral):
        return float(min(max(int(value), 0), 2 ** 32)), False
    return float(value), True


def _lowered(raw_documents):
    """The documents lowercased: str by str.lower(), bytes in ASCII."""
    for d in raw_documents:
        yield d.lower() if isinstance(d, (str, bytes)) else d


def _check_documents(raw_documents):
    if isinstance(raw_documents, (str, bytes)):
        raise ValueError(
            "Iterable over raw text documents expected, string object received.")


def _threads(n_jobs):
    """The threads scikit-learn's n_jobs asks for: None is 1, -1 every core,
    -2 all but one, and so on."""
    if n_jobs is None:
        return 1
    if isinstance(n_jobs, (bool, np.bool_)) or not isinstance(n_jobs, numbers.Integral) \
            or n_jobs == 0:
        raise InvalidParameterError(
            f"n_jobs must be None or a non-zero integer, got {n_jobs!r}")
    cores = os.cpu_count() or 1
    return int(n_jobs) if n_jobs > 0 else max(cores + 1 + int(n_jobs), 1)


class SubstringVectorizer(TransformerMixin, BaseEstimator):
    """Counts of the substring features vok selects from a suffix tree.

    ``fit`` stores every training document in one generalized suffix tree
    (the wide tree of ``vok -w``: every byte 1..255 a character, any number
    of documents) and selects as features the tree nodes (classes of
    substrings sharing their occurrences) that vok selects with the same
    settings.  ``transform`` gives, for every document, how often each
    feature starts at one of its emitting positions (every position, or
    only word starts): a ``scipy.sparse.csr_matrix`` of int64 counts, one
    row per document and one column per seen feature (a selected one that
    occurs in at least one training bag) in ascending feature number.  ``fit_transform(docs)`` equals ``fit(docs).transform(docs)``
    and equals what ``vok -w`` writes for the same documents as lines;
    ``transform`` of other documents gives what ``vok-apply -w`` writes for
    them, from the fitted model as from the training file.

    Documents are ``str`` (encoded as UTF-8; lone surrogates from the
    ``surrogateescape`` error handler turn back into their bytes) or
    ``bytes`` (taken as they are).  A NUL byte ends a document's text, as
    it ends a line's in vok; every other byte, line ends included, is a
    character.

    Parameters (vok's options, checked at fit time as vok checks them)
    ----------
    word_delimited : bool or 0/1, default True
        ``-s``: emit features only at word starts (position 0 and every
        character that is no blank or tab and follows one).
    min_freq : int > 1, default 2
        ``-l``: lowest occurrence count of a feature in the training set.
    max_freq : int >= min_freq, default 8000
        ``-h``: counts from this value up are refused.
    min_branches : int > 1, default 2
        ``-b``: fewest children of a feature node.
    max_parent_prob : float > 0, default 1.0
        ``-p``: a node is refused when one child carries at least this share
        of its occurrences (1.0 refuses nothing).
    max_link_prob : float > 0, default 1.0
        ``-q``: likewise for a node whose suffix link points to it.
    min_df, max_df : int or float, default 1 and 1.0
        ``--min-df``, ``--max-df``: a node is refused when fewer than
        min_df or more than max_df training documents hold one of its
        substrings; an int counts documents, a float is a share of them
        (scikit-learn's meaning).  The defaults refuse nothing.
    max_features : int or None, default None
        ``--max-features``: after every other rule keep only this many
        features, those in the most training documents (ties: the lower
        feature number), of those that occur at an emitting position; so
        there are this many columns when the training documents have as
        many features.
    max_shortest : int or None, default None
        ``--max-shortest``: refuse a node whose shortest substring is longer
        than this many bytes (its parent's path and one byte more), so that
        every feature is also a character n-gram of at most that length.  On
        English and German text 6 classified better than no limit (by 1 to
        1.3 points), on Japanese and Chinese half a point worse (README,
        "Choosing settings for classification").
    utf8 : bool, default False
        ``--utf8``: only UTF-8 character starts emit (bytes that are no
        UTF-8 are characters of their own), a node none of whose substrings
        ends at a character boundary is no feature, and a feature's name is
        the longest substring of its class that ends at one.
    lowercase : bool, default False
        Lowercase every document before fit and transform: ``str`` by
        ``str.lower()``, ``bytes`` in ASCII.  The saved model records it,
        and vok-apply refuses such a model (it lowercases ASCII only); a
        model of ``vok-fit --lowercase`` loaded here lowers ASCII only, as
        vok-apply does.
    n_jobs : int or None, default None
        Threads for ``fit``, ``fit_transform`` and ``transform``
        (scikit-learn's meaning: None is 1, -1 every core); the features
        and the rows are the same for every value, in order.

    Attributes
    ----------
    feature_numbers_ : ndarray of int64
        The number vok writes for each column (its node's preorder number
        in the tree), ascending.

    A fitted vectorizer keeps only its fitted model (what ``vok-fit``
    writes: about one and a half bytes per training byte with the
    defaults), never the training documents; ``transform`` reads it without
    a lock, so any number of threads may transform at once.  Pickling
    stores the model's bytes and loading does not fit again; ``save`` and
    ``load`` write and read the model file that ``vok-fit`` writes and
    ``vok-apply`` takes.
    """

    def __init__(self, word_delimited=True, min_freq=2, max_freq=8000,
                 min_branches=2, max_parent_prob=1.0, max_link_prob=1.0, min_df=1,
                 max_df=1.0, max_features=None, max_shortest=None, utf8=False, lowercase=False,
                 n_jobs=None):
        self.word_delimited = word_delimited
        self.min_freq = min_freq
        self.max_freq = max_freq
        self.min_branches = min_branches
        self.max_parent_prob = max_parent_prob
        self.max_link_prob = max_link_prob
        self.min_df = min_df
        self.max_df = max_df
        self.max_features = max_features
        self.max_shortest = max_shortest
        self.utf8 = utf8
        self.lowercase = lowercase
        self.n_jobs = n_jobs

    def _settings(self):
        """The parameters as vok's settings: the types checked here, the
        ranges by vok's own check, which names the first one out of range."""
        word_delimited = self.word_delimited
        if isinstance(word_delimited, (bool, np.bool_)):
            word_delimited = int(word_delimited)
        settings = dict(word_delimited=_integer("word_delimited", word_delimited),
                        min_freq=_integer("min_freq", self.min_freq),
                        max_freq=_integer("max_freq", self.max_freq),
                        min_branches=_integer("min_branches", self.min_branches),
                        max_parent_prob=_real("max_parent_prob", self.max_parent_prob),
                        max_link_prob=_real("max_link_prob", self.max_link_prob))
        settings["min_df"], settings["min_df_share"] = _df_bound("min_df", self.min_df)
        settings["max_df"], settings["max_df_share"] = _df_bound("max_df", self.max_df)
        for name in ("max_features", "max_shortest"):
            limit = getattr(self, name)
            if limit is not None and (not isinstance(limit, numbers.Integral) or
                                      isinstance(limit, (bool, np.bool_)) or limit < 1):
                raise InvalidParameterError(
                    f"{name} must be None or a positive integer, got {limit!r}")
            settings[name] = min(int(limit or 0), _LONG_MAX)
        for name in ("utf8", "lowercase"):
            if not isinstance(getattr(self, name), (bool, np.bool_)):
                raise InvalidParameterError(f"{name} must be a bool, got {getattr(self, name)!r}")
        settings["utf8"] = bool(self.utf8)
        settings["lowercase"] = 2 if self.lowercase else 0  # Unicode, by str.lower()
        fault = _vok.settings_fault(**settings)
        if fault is not None:
            name, rule = fault
            raise InvalidParameterError(
                f"{name} must be {rule}, got {getattr(self, name)!r}")
        return settings

    def _fit(self, raw_documents, with_matrix):
        settings = self._settings()
        _check_documents(raw_documents)
        model = _vok.Model(**settings)
        if self.lowercase:
            raw_documents = _lowered(raw_documents)
        parts = model.fit(raw_documents, with_matrix, _threads(self.n_jobs))
        # One assignment makes the new fit current: a transform running
        # meanwhile has taken the old model, or none.
        self.feature_numbers_ = model.feature_numbers()
        self._model = model
        return self._matrix(model, parts) if with_matrix else None

    @staticmethod
    def _matrix(model, parts):
        data, indices, indptr = parts
        return sp.csr_matrix((data, indices, indptr),
                             shape=(len(indptr) - 1, model.num_features))

    def _fitted(self):
        model = self.__dict__.get("_model")
        if model is None:
            check_is_fitted(self, "_model")  # raises NotFittedError
        return model

    def fit(self, raw_documents, y=None):
        """Builds the tree over raw_documents, selects the features and keeps
        the fitted model of the seen ones."""
        self._fit(raw_documents, with_matrix=False)
        return self

    def fit_transform(self, raw_documents, y=None):
        """fit(raw_documents), then the bags of the same documents."""
        return self._fit(raw_documents, with_matrix=True)

    def transform(self, raw_documents):
        """The bags of raw_documents over the fitted features."""
        model = self._fitted()
        _check_documents(raw_documents)
        if model.settings[12] == 2:  # lowered by str.lower() in the fit
            raw_documents = _lowered(raw_documents)
        return self._matrix(model, model.transform(raw_documents, _threads(self.n_jobs)))

    def get_feature_names_out(self, input_features=None):
        """Each column's substring: the longest of its class (its node's path
        label), decoded from UTF-8 with errors="surrogateescape", so that
        ``name.encode("utf-8", "surrogateescape")`` gives its exact bytes."""
        model = self._fitted()
        names = np.empty(model.num_features, dtype=object)
        names[:] = model.feature_labels()
        return names

    def save(self, path):
        """Writes the fitted model to the file `path` in the format vok-fit
        writes (vok-apply takes it); the file is replaced only once written
        whole."""
        model = self._fitted()
        directory = os.path.dirname(os.path.abspath(path))
        fd, partial = tempfile.mkstemp(prefix=os.path.basename(path) + ".vok-partial-",
                                       dir=directory)
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(model.to_bytes())
                f.flush()
                os.fsync(f.fileno())
            os.replace(partial, path)
        except BaseException:
            if os.path.exists(partial):
                os.unlink(partial)
            raise

    @classmethod
    def load(cls, path):
        """A fitted vectorizer from a model file written by vok-fit or save;
        its parameters are the fit's."""
        with open(path, "rb") as f:
            model = _vok.Model.from_bytes(f.read())
        return cls._of_model(model)

    @classmethod
    def _of_model(cls, model):
        s = model.settings
        vectorizer = cls(word_delimited=bool(s[0]), min_freq=s[1], max_freq=s[2],
                         min_branches=s[3], max_parent_prob=s[4], max_link_prob=s[5],
                         min_df=s[6] if s[7] else int(s[6]), max_df=s[8] if s[9] else int(s[8]),
                         max_features=s[10] or None, utf8=bool(s[11]), lowercase=s[12] != 0,
                         max_shortest=s[13] or None)
        vectorizer.feature_numbers_ = model.feature_numbers()
        vectorizer._model = model
        return vectorizer

    def __getstate__(self):
        state = dict(super().__getstate__())
        model = state.pop("_model", None)
        state.pop("feature_numbers_", None)
        if model is not None:
            state["_vok_model"] = model.to_bytes()
        return state

    def __setstate__(self, state):
        state = dict(state)
        model_bytes = state.pop("_vok_model", None)
        super().__setstate__(state)
        if model_bytes is not None:
            model = _vok.Model.from_bytes(model_bytes)
            self.feature_numbers_ = model.feature_numbers()
            self._model = model

    def _more_tags(self):
        return {"X_types": ["string"]}
