"""The systems of the peer benchmark behind one small interface, and the build worker.

Every system is built in a fresh Python process (`python peer_systems.py build ...`), so that its
build time and resident-memory growth are not disturbed by what other systems allocated and freed
before it; the worker saves the index with the system's own save function and the benchmark loads
that file to search it. Systems run on one thread unless the worker is given `--threads T` (quellix,
hnswlib and FAISS only; `build.py` uses it): BLAS and OpenMP are pinned by `common`, FAISS is told its
thread count explicitly (`faiss.omp_set_num_threads`), hnswlib, quellix and USearch get theirs on
every call.

Settings shared by the graph indexes: M (USearch: connectivity) 16, ef_construction
(efConstruction, expansion_add) 200, vectors kept as float32 everywhere (USearch would otherwise
pick bf16 for cosine on this machine).
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import argparse
import gc
import json
import os
import struct
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

K = 10
M = 16
EF_CONSTRUCTION = 200
HNSWLIB_SEED = 100
HNSWLIB_CHUNK = 1000
QUELLIX_SEED = 1
HERE = Path(__file__).resolve().parent


class System:
    """One index kind. `kind` is "graph" (has a search width) or "exact"; `threaded` systems build on
    `threads` threads, the others on one."""

    name = ""
    kind = "graph"
    metrics = ("l2", "cosine")
    threaded = False

    def __init__(self, dim, metric, n, threads=1, seed=None):
        if threads != 1 and not self.threaded:
            raise ValueError(f"{self.name} builds on one thread only")
        self.dim, self.metric, self.n, self.threads, self.seed = dim, metric, n, threads, seed
        self.index = None

    def build(self, base):  # pragma: no cover - interface
        raise NotImplementedError

    def save(self, path):
        raise NotImplementedError

    def load(self, path):
        raise NotImplementedError

    def layer0_degree(self, path):
        """Mean number of layer-0 neighbours per node of the built graph (saved at `path`), or None."""
        return None

    def rows(self, queries):
        """The queries as this system's search function takes them, one item per call."""
        return list(queries)

    def searcher(self, ef):
        """A one-query search function (query item -> ids, nearest first) at search width ef."""
        raise NotImplementedError


class VekGraph(System):
    name, kind, metrics = "vek_core", "graph", ("l2", "cosine", "poincare")

    def _new(self):
        import vek_core
        return vek_core.HyperbolicIndex(self.dim, M=M, metric=self.metric)

    def build(self, base):
        self.index = self._new()
        add = self.index.add_item_and_link
        for v in base:
            add(v, 0, EF_CONSTRUCTION)

    def save(self, path):
        self.index.save_index(path)

    def load(self, path):
        self.index = self._new()
        self.index.load_index(path)

    def layer0_degree(self, path):
        return self.index.get_stats()["avg_degree_layer0"]

    def searcher(self, ef):
        search = self.index.custom_hnsw_search
        return lambda q: search(q, K, 0, ef)


class VekFlat(VekGraph):
    name, kind = "vek_core exhaustive", "exact"

    def build(self, base):
        self.index = self._new()
        add = self.index.add_item_flat
        for v in base:
            add(v, 0)

    def searcher(self, ef=None):
        search = self.index.hardware_flat_search
        return lambda q: search(q, K, 0)


class Quellix(System):
    """quellix.Index, built with one `add` call on `threads` threads."""

    name, kind, metrics, threaded = "quellix", "graph", ("l2", "cosine", "poincare"), True

    def _new(self):
        import quellix
        seed = QUELLIX_SEED if self.seed is None else self.seed
        return quellix.Index(self.dim, self.metric, M=M, ef_construction=EF_CONSTRUCTION, seed=seed)

    def build(self, base):
        self.index = self._new()
        self.index.add(base, num_threads=self.threads)

    def save(self, path):
        self.index.save(path)

    def load(self, path):
        import quellix
        self.index = quellix.Index.load(path)

    def layer0_degree(self, path):
        return self.index.stats()["mean_degree_layer0"]

    def searcher(self, ef):
        search = self.index.search
        return lambda q: search(q, K, ef=ef, num_threads=1)[0]


class Hnswlib(System):
    name, threaded = "hnswlib", True

    def _new(self):
        import hnswlib
        return hnswlib.Index(space="cosine" if self.metric == "cosine" else "l2", dim=self.dim)

    def build(self, base):
        self.index = self._new()
        self.index.init_index(max_elements=len(base), ef_construction=EF_CONSTRUCTION, M=M,
                              random_seed=HNSWLIB_SEED)
        self.index.set_num_threads(self.threads)
        # Chunks only bound the temporary id arrays; with one thread hnswlib inserts row by row, with
        # more it shares each chunk's rows among its threads.
        for s in range(0, len(base), HNSWLIB_CHUNK):
            e = min(s + HNSWLIB_CHUNK, len(base))
            self.index.add_items(base[s:e], np.arange(s, e), num_threads=self.threads)

    def save(self, path):
        self.index.save_index(path)

    def rows(self, queries):
        return [queries[i:i + 1] for i in range(len(queries))]

    def load(self, path):
        self.index = self._new()
        self.index.load_index(path, max_elements=self.n)
        self.index.set_num_threads(1)

    def layer0_degree(self, path):
        # hnswlib's file: a header of six size_t, two int32, four size_t/double fields and ef_construction,
        # then each element's layer-0 record, whose first 4 bytes hold its neighbour count (low 16 bits).
        with open(path, "rb") as f:
            head = f.read(96)
        _, _, count, per_element = struct.unpack_from("<4Q", head, 0)
        data = np.fromfile(path, dtype=np.uint8, count=count * per_element, offset=96).reshape(count, per_element)
        return float((data[:, :4].copy().view("<u4")[:, 0] & 0xFFFF).mean()) if count else 0.0

    def searcher(self, ef):
        self.index.set_ef(ef)
        knn = self.index.knn_query
        return lambda q: knn(q, k=K, num_threads=1)[0][0]


def _faiss(threads=1):
    import faiss
    faiss.omp_set_num_threads(threads)
    return faiss


def _require_unit_rows(base, metric):
    # FAISS has no cosine metric: its inner product ranks as cosine only on unit rows (the cosine
    # sets are stored normalised, queries included).
    if metric == "cosine" and not np.allclose(np.einsum("ij,ij->i", base, base), 1.0, atol=1e-4):
        raise ValueError("the cosine set must hold unit rows for FAISS's inner-product indexes")


class FaissHNSW(System):
    name, threaded = "FAISS HNSW", True

    def build(self, base):
        faiss = _faiss(self.threads)
        _require_unit_rows(base, self.metric)
        kind = faiss.METRIC_INNER_PRODUCT if self.metric == "cosine" else faiss.METRIC_L2
        self.index = faiss.IndexHNSWFlat(self.dim, M, kind)
        self.index.hnsw.efConstruction = EF_CONSTRUCTION
        self.index.add(base)

    def save(self, path):
        _faiss().write_index(self.index, path)

    def load(self, path):
        self.index = _faiss().read_index(path)

    def layer0_degree(self, path):
        faiss = _faiss()
        hnsw = self.index.hnsw
        neighbors = faiss.vector_to_array(hnsw.neighbors)
        starts = faiss.vector_to_array(hnsw.offsets)[:-1].astype(np.int64) + hnsw.cum_nb_neighbors(0)
        width = hnsw.nb_neighbors(0)
        base = neighbors[starts[:, None] + np.arange(width)[None, :]] if len(starts) else np.empty((0, width))
        return float((base >= 0).sum(axis=1).mean()) if len(starts) else 0.0

    def rows(self, queries):
        return [queries[i:i + 1] for i in range(len(queries))]

    def searcher(self, ef):
        self.index.hnsw.efSearch = ef
        search = self.index.search
        return lambda q: search(q, K)[1][0]


class FaissFlat(FaissHNSW):
    name, kind = "FAISS flat", "exact"

    def build(self, base):
        faiss = _faiss(self.threads)
        _require_unit_rows(base, self.metric)
        self.index = faiss.IndexFlatIP(self.dim) if self.metric == "cosine" else faiss.IndexFlatL2(self.dim)
        self.index.add(base)

    def searcher(self, ef=None):
        search = self.index.search
        return lambda q: search(q, K)[1][0]


class USearch(System):
    name = "USearch"

    def build(self, base):
        from usearch.index import Index
        self.index = Index(ndim=self.dim, metric="cos" if self.metric == "cosine" else "l2sq", dtype="f32",
                           connectivity=M, expansion_add=EF_CONSTRUCTION, expansion_search=64)
        self.index.add(np.arange(len(base), dtype=np.uint64), base, threads=1)

    def save(self, path):
        self.index.save(path)

    def load(self, path):
        from usearch.index import Index
        self.index = Index.restore(path)

    def searcher(self, ef):
        self.index.expansion_search = ef
        search = self.index.search
        return lambda q: search(q, K, threads=1).keys


class NumpyScan(System):
    """Brute force as a NumPy user would write it: one matrix-vector product per query, the row norms
    computed once. Its "index" is its own copy of the rows plus those norms."""

    name, kind, metrics = "NumPy brute force", "exact", ("l2", "cosine", "poincare")

    def build(self, base):
        self.base = base.copy()
        self._prepare()

    def _prepare(self):
        self.norms = np.einsum("ij,ij->i", self.base, self.base)
        if self.metric == "cosine":  # other sets may hold the origin (the hierarchy's root)
            self.inv_norms = (np.float32(1.0) / np.sqrt(self.norms)).astype(np.float32)
        self.one_minus_g = (np.float32(1.0) - np.minimum(self.norms, np.float32(0.999999))).astype(np.float32)

    def save(self, path):
        with open(path, "wb") as f:
            np.save(f, self.base)

    def load(self, path):
        self.base = np.load(path)
        self._prepare()

    def distances(self, q):
        qn = np.float32(q @ q)
        d = self.base @ q
        if self.metric == "cosine":
            d *= self.inv_norms
            d *= np.float32(-1.0) / np.sqrt(qn)
            d += np.float32(1.0)
            return d
        d *= np.float32(-2.0)  # ||x||^2 - 2 x.q + ||q||^2, in place
        d += self.norms
        d += qn
        if self.metric == "l2":
            return d
        # The index's clamps: norms below 0.999999, denominator at least 1e-6, argument >= 1.000001.
        np.maximum(d, np.float32(0.0), out=d)
        den = self.one_minus_g * (np.float32(1.0) - min(qn, np.float32(0.999999)))
        np.maximum(den, np.float32(1e-6), out=den)
        d *= np.float32(2.0)
        d /= den
        d += np.float32(1.0)
        np.maximum(d, np.float32(1.000001), out=d)
        return np.arccosh(d, out=d)

    def searcher(self, ef=None):
        def search(q):
            d = self.distances(q)
            top = np.argpartition(d, K - 1)[:K]
            return top[np.argsort(d[top])]
        return search


SYSTEMS = {cls.name: cls for cls in (VekGraph, Quellix, Hnswlib, FaissHNSW, USearch, VekFlat, FaissFlat,
                                     NumpyScan)}
SUFFIX = {"vek_core": ".vek", "quellix": ".qlx", "vek_core exhaustive": ".vek", "hnswlib": ".hnsw",
          "FAISS HNSW": ".faiss", "FAISS flat": ".faiss", "USearch": ".usearch", "NumPy brute force": ".npy"}


def versions():
    from importlib import metadata
    out = {}
    for pkg in ("vek_core", "quellix", "hnswlib", "faiss-cpu", "usearch", "numpy"):
        try:
            out[pkg] = metadata.version(pkg)
        except metadata.PackageNotFoundError:
            out[pkg] = "n/a"
    if out["vek_core"] == "n/a":  # vek_core comes with the quellix distribution now
        out["vek_core"] = out["quellix"]
    return out


# --- build worker -----------------------------------------------------------------------------

def build_in_subprocess(system, metric, data_path, index_path, threads=1, seed=None):
    """Runs the build worker below in a fresh Python process; returns its measurements (a dict)."""
    cmd = [sys.executable, str(HERE / "peer_systems.py"), "build", "--system", system, "--metric", metric,
           "--data", str(data_path), "--index", str(index_path), "--threads", str(threads)]
    cmd += [] if seed is None else ["--seed", str(seed)]
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def build_worker(args):
    """Loads the rows, builds one system, saves it; prints a JSON line with the measurements."""
    base = np.load(args.data)
    cls = SYSTEMS[args.system]
    system = cls(base.shape[1], args.metric, len(base), args.threads, args.seed)
    if cls in (FaissHNSW, FaissFlat):
        _faiss(args.threads)
    elif cls is USearch:
        import usearch.index  # noqa: F401
    elif cls in (VekGraph, VekFlat):
        import vek_core  # noqa: F401
    elif cls is Quellix:
        import quellix  # noqa: F401
    elif cls is Hnswlib:
        import hnswlib  # noqa: F401
    # Touch the code paths once on a throwaway index so that lazy loading is not counted as the build.
    warm = cls(base.shape[1], args.metric, 8, args.threads)
    warm.build(base[:8].copy())
    del warm
    gc.collect()
    load0 = os.getloadavg()[0]
    rss0 = common.rss_bytes()
    cpu0 = time.process_time()
    start = time.perf_counter()
    system.build(base)
    seconds = time.perf_counter() - start
    cpu_s = time.process_time() - cpu0
    gc.collect()
    rss1 = common.rss_bytes()
    system.save(args.index)
    print(json.dumps({"system": args.system, "threads": args.threads, "build_s": seconds, "cpu_s": cpu_s,
                      "rss_growth": rss1 - rss0, "rss_after": rss1, "file_bytes": os.path.getsize(args.index),
                      "degree0": system.layer0_degree(args.index), "load_before": load0,
                      "load": os.getloadavg()[0]}), flush=True)


def main():
    p = argparse.ArgumentParser(description="build one system of the peer benchmark")
    sub = p.add_subparsers(dest="cmd", required=True)
    b = sub.add_parser("build")
    b.add_argument("--system", required=True, choices=list(SYSTEMS))
    b.add_argument("--metric", required=True, choices=["l2", "cosine", "poincare"])
    b.add_argument("--data", required=True, help=".npy file of float32 rows")
    b.add_argument("--index", required=True, help="where the system saves its index")
    b.add_argument("--threads", type=int, default=1, help="build threads (quellix, hnswlib and FAISS only)")
    b.add_argument("--seed", type=int, default=None, help=f"quellix's seed (default {QUELLIX_SEED})")
    args = p.parse_args()
    build_worker(args)


if __name__ == "__main__":
    main()
