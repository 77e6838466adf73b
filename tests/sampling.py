"""Random test vectors shared by the search tests."""

from __future__ import annotations

import numpy as np


def ball_points(rng, n, dim, max_norm=0.8):
    """Uniform directions with norms uniform in [0, max_norm): inside the Poincare ball."""
    x = rng.standard_normal((n, dim))
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    x *= rng.uniform(0.0, max_norm, (n, 1))
    return x.astype(np.float32)


def points_for(metric, rng, n, dim, max_norm=0.8):
    if metric == "poincare":
        return ball_points(rng, n, dim, max_norm)
    return rng.standard_normal((n, dim)).astype(np.float32)
