"""quellix.distributed: one index split into shards on a Dask cluster.

:class:`ShardedIndex` keeps one :class:`quellix.Index` per shard in a Dask actor on a worker and
answers the same batch calls as one index, merging the shards' answers. Needs Dask's distributed
scheduler: ``pip install 'quellix[distributed]'``.
"""

try:
    import distributed as _distributed  # noqa: F401
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("quellix.distributed needs Dask's distributed scheduler: "
                      "pip install 'quellix[distributed]'") from exc

from quellix.distributed._coordinator import ShardedIndex, ShardUnavailableError
from quellix.distributed._files import ManifestError

__all__ = ["ShardedIndex", "ShardUnavailableError", "ManifestError"]
