"""Data sets for the vek_core demo and benchmarks, all built offline.

- `noun_hierarchy()`: WordNet's noun synsets placed in the Poincaré ball, masks by lexicographer
  file (needs the WordNet 3.0 database files, e.g. Debian's `wordnet-base`).
- `gloss_vectors()`: LSA vectors of all WordNet glosses for the cosine and Euclidean metrics (needs
  WordNet and scikit-learn).
- `mammal_closure()`, `trained_mammals()`: the WordNet mammal closure and gensim's Poincaré embedding
  of it, trained on first use and cached in the user's cache directory (needs gensim).
- `generated_hierarchy()`, `make_hierarchy()`, `gaussian_clusters()`: generated data that needs
  nothing installed.

`wordnet_available()` tells whether the WordNet builders can run; without WordNet they raise
`WordNetNotFound`. WordNet builds are cached in corpora/cache/ (git-ignored) on first use; pass
`cache_dir=None` to build without writing anything.
"""

from .generated import gaussian_clusters, generated_hierarchy, make_hierarchy
from .glosses import GlossVectors, gloss_vectors
from .mammals import GensimMissing, TrainedEmbedding, mammal_closure, trained_mammals, user_cache_dir
from .wordnet import (Hierarchy, WordNetNotFound, find_wordnet, noun_hierarchy, place_tree,
                      wordnet_available)

__all__ = [
    "GensimMissing", "GlossVectors", "Hierarchy", "TrainedEmbedding", "WordNetNotFound", "find_wordnet",
    "gaussian_clusters", "generated_hierarchy", "gloss_vectors", "make_hierarchy", "mammal_closure",
    "noun_hierarchy", "place_tree", "trained_mammals", "user_cache_dir", "wordnet_available",
]
