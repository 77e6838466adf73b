"""quellix: an in-memory HNSW vector index for NumPy arrays.

One class, :class:`Index`, over float32 vectors under one of three metrics: "poincare" (geodesic
distance in the Poincaré ball of any curvature, accurate up to the boundary), "euclidean" (alias "l2", squared distances)
and "cosine". Batch calls take and return whole arrays and run on native threads without the GIL.
The low-level core ``vek_core`` ships in the same distribution and stays as it is.
"""

from quellix._index import METRICS, Index
from quellix import hyperbolic  # keyed hyperbolic embeddings: quellix.hyperbolic.KeyedIndex
# quellix.sklearn and quellix.umap are imported on demand: they would load scikit-learn with quellix.

__all__ = ["Index", "METRICS"]
__version__ = "0.2.0"
