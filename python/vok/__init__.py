"""vok: substring features for text classification from a suffix tree.

``SubstringVectorizer`` builds one generalized suffix tree over the training
documents and turns documents into sparse count vectors over the tree nodes
that vok selects as features (see the tool's README and manual page).
"""

from ._vectorizer import SubstringVectorizer

__all__ = ["SubstringVectorizer"]
__version__ = "0.1.0"
