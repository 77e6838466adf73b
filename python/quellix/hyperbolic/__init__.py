"""quellix.hyperbolic: named Poincaré embeddings, searched and evaluated through a quellix.Index.

:class:`KeyedIndex` holds one string key and one float64 vector per node, the way gensim's
``PoincareKeyedVectors`` does, over a "poincare" :class:`quellix.Index` of the same vectors. The index
narrows every question to a few candidates (the graph walk or the exact scan, on native threads);
the answer is then decided by the float64 distance from the caller's own values, so keys, distances
and evaluation figures are the ones gensim computes on the same vectors.

It reads gensim models, ``KeyedVectors`` and their saved files (``quellix[gensim]``), word2vec text
files and plain arrays, and saves itself to one file that carries the keys, the float64 vectors and
the index. Plain arrays may be points of the Poincaré ball or of the Lorentz model, of any curvature;
:func:`poincare_to_lorentz` and :func:`lorentz_to_poincare` convert between the two.
:class:`GensimIndexer` answers gensim's own ``most_similar(..., indexer=...)`` through a quellix graph.
"""

from quellix.hyperbolic._indexer import GensimIndexer
# Pickles of a KeyedIndex name quellix.hyperbolic._from_bytes.
from quellix.hyperbolic._keyed import KeyedIndex, _from_bytes  # noqa: F401
from quellix.hyperbolic._models import HYPERBOLOID_TOLERANCE, lorentz_to_poincare, poincare_to_lorentz

__all__ = ["KeyedIndex", "GensimIndexer", "poincare_to_lorentz", "lorentz_to_poincare", "HYPERBOLOID_TOLERANCE"]
