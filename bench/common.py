"""Shared helpers for the benchmarks: data, timing, recall and Markdown tables.

Import this module before NumPy in every benchmark: it pins BLAS to one thread so that NumPy's
brute force and vek_core (which never starts a thread) are compared core for core.
"""
import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import platform  # noqa: E402
import re  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from importlib import metadata  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

OUT_DIR = Path(__file__).resolve().parent / "out"

DIM = 128
N_CLUSTERS = 100
CENTRE_SCALE = 1.0  # per-component std of the cluster centres
NOISE_SCALE = 0.5  # per-component std of a point around its centre
BALL_MAX_NORM = 0.9  # largest Euclidean norm after scaling into the Poincare ball
DATA_SEED = 20240601
QUERY_SEED = 20240602
MASK_SHARES = {0: 0.5, 1: 0.1, 2: 0.01}  # mask bit -> share of the rows carrying it
MASK_SEED = 7
# The wide mixture (bench/health.py): many clusters far apart, so a graph must keep links between them.
WIDE_CLUSTERS = 1000
WIDE_CENTRE_SCALE = 3.0
WIDE_NOISE_SCALE = 1.0
WIDE_DATA_SEED = 20250301
WIDE_QUERY_SEED = 20250302


# --- data -------------------------------------------------------------------------------------

def _cluster_points(rng, centres, n, noise_scale=NOISE_SCALE):
    labels = rng.integers(0, len(centres), size=n)
    noise = rng.standard_normal((n, centres.shape[1]), dtype=np.float32)
    noise *= np.float32(noise_scale)
    noise += centres[labels]
    return noise


def make_dataset(n, n_queries, dim=DIM, poincare=False):
    """Base vectors and queries from one mixture of Gaussian clusters (queries are fresh draws).

    With `poincare`, both sets are scaled by one factor so that the largest norm is BALL_MAX_NORM,
    which keeps every point well away from the boundary of the unit ball.
    """
    centres = np.random.default_rng(DATA_SEED).standard_normal((N_CLUSTERS, dim), dtype=np.float32)
    centres *= np.float32(CENTRE_SCALE)
    base = _cluster_points(np.random.default_rng(DATA_SEED + 1), centres, n)
    queries = _cluster_points(np.random.default_rng(QUERY_SEED), centres, n_queries)
    if poincare:
        top = max(np.linalg.norm(base, axis=1).max(), np.linalg.norm(queries, axis=1).max())
        factor = np.float32(BALL_MAX_NORM / top)
        base *= factor
        queries *= factor
    return np.ascontiguousarray(base, np.float32), np.ascontiguousarray(queries, np.float32)


def make_wide_clusters(n, n_queries, dim=DIM):
    """Base vectors and queries (fresh draws) from WIDE_CLUSTERS Gaussian clusters: centres
    N(0, WIDE_CENTRE_SCALE^2) and noise N(0, WIDE_NOISE_SCALE^2) per component, float32."""
    centres = np.random.default_rng(WIDE_DATA_SEED).standard_normal((WIDE_CLUSTERS, dim), dtype=np.float32)
    centres *= np.float32(WIDE_CENTRE_SCALE)
    base = _cluster_points(np.random.default_rng(WIDE_DATA_SEED + 1), centres, n, WIDE_NOISE_SCALE)
    queries = _cluster_points(np.random.default_rng(WIDE_QUERY_SEED), centres, n_queries, WIDE_NOISE_SCALE)
    return np.ascontiguousarray(base), np.ascontiguousarray(queries)


def make_masks(n):
    """uint64 masks for n rows: each bit b of MASK_SHARES is set on a row with probability
    MASK_SHARES[b], independently of the other bits and rows."""
    rng = np.random.default_rng(MASK_SEED)
    masks = np.zeros(n, dtype=np.uint64)
    for bit, share in MASK_SHARES.items():
        masks |= (rng.random(n) < share).astype(np.uint64) << np.uint64(bit)
    return masks


# --- vek_core indexes -------------------------------------------------------------------------

def build_linked(base, metric, masks=None, M=16, ef_construction=200, progress=True):
    """A vek_core graph over the rows of base, one add_item_and_link per row; returns the index and
    the build time in seconds."""
    import vek_core
    from tqdm import tqdm

    index = vek_core.HyperbolicIndex(base.shape[1], M=M, metric=metric)
    masks = np.zeros(len(base), dtype=np.uint64) if masks is None else masks
    add = index.add_item_and_link
    start = time.perf_counter()
    for v, m in tqdm(zip(base, masks), total=len(base), desc="build", mininterval=2.0, disable=not progress):
        add(v, int(m), ef_construction)
    return index, time.perf_counter() - start


# --- exact answers ----------------------------------------------------------------------------

def _poincare64(sq_diff, x, g):
    """Poincare geodesic distance in float64, with the same clamps as the index."""
    x = np.minimum(x, 0.999999)
    g = np.minimum(g, 0.999999)
    den = np.maximum((1.0 - x) * (1.0 - g), 1e-6)
    t = np.maximum(2.0 * np.maximum(sq_diff, 0.0) / den + 1.0, 1.000001)
    return np.arccosh(t)


def distances64(base, queries, metric):
    """Exact distances (float64) from each query to every base vector, shape (queries, base)."""
    b = base.astype(np.float64, copy=False)
    q = np.atleast_2d(queries).astype(np.float64)
    bn = np.einsum("ij,ij->i", b, b)
    qn = np.einsum("ij,ij->i", q, q)
    dots = q @ b.T
    if metric == "cosine":
        return 1.0 - dots / np.sqrt(qn)[:, None] / np.sqrt(bn)[None, :]
    sq = np.maximum(qn[:, None] - 2.0 * dots + bn[None, :], 0.0)
    if metric == "l2":
        return sq
    return _poincare64(sq, qn[:, None], bn[None, :])


def exact_topk(base, queries, k, metric, chunk=64):
    """Exact top-k ids per query (nearest first), computed in float64 in chunks of queries."""
    return exact_topk_dist(base, queries, k, metric, chunk)[0]


def exact_topk_dist(base, queries, k, metric, chunk=64):
    """Exact top-k ids and their float64 distances per query, both (queries, k), nearest first."""
    base = base.astype(np.float64)
    ids = np.empty((len(queries), k), dtype=np.int64)
    dists = np.empty((len(queries), k), dtype=np.float64)
    for s in range(0, len(queries), chunk):
        d = distances64(base, queries[s:s + chunk], metric)
        part = np.argpartition(d, k - 1, axis=1)[:, :k]
        order = np.argsort(np.take_along_axis(d, part, axis=1), axis=1)
        ids[s:s + chunk] = np.take_along_axis(part, order, axis=1)
        dists[s:s + chunk] = np.take_along_axis(d, ids[s:s + chunk], axis=1)
    return ids, dists


def recall_at_k(found, truth, k):
    """Mean fraction of the true top-k found in each answer's first k ids."""
    hits = sum(len(set(np.asarray(f)[:k].tolist()) & set(t[:k].tolist())) for f, t in zip(found, truth))
    return hits / (k * len(truth))


# Real corpora hold duplicate rows (identical glosses), and float32 distances can order a near-tie
# differently from the float64 truth; an id-based recall would then fault even an exact scan.
TIE_RTOL = 1e-5
TIE_ATOL = 1e-9


def recall_with_ties(base, queries, found, kth_dist, k, metric):
    """Mean fraction of k: an answer's first k ids count as hits when their exact float64 distance is
    within TIE_RTOL (relative) / TIE_ATOL of the true k-th distance, so any member of a tie counts."""
    return float(query_recall_with_ties(base, queries, found, kth_dist, k, metric).mean())


def recall_by_distance(dist, kth_dist, k):
    """Per query, the fraction of k among the first k answer distances (n, >= k; inf or NaN for a
    missing answer) that lie within the tolerances of that query's true k-th distance."""
    d = np.asarray(dist, dtype=np.float64)[:, :k]
    kth = np.asarray(kth_dist, dtype=np.float64)[:, None]
    return (d <= kth + TIE_RTOL * np.abs(kth) + TIE_ATOL).sum(axis=1) / k


def query_recall_with_ties(base, queries, found, kth_dist, k, metric):
    """recall_with_ties per query: an array of n fractions of k."""
    n = len(queries)
    ids = np.full((n, k), -1, dtype=np.int64)
    for i, f in enumerate(found):
        f = np.asarray(f, dtype=np.int64)[:k]
        ids[i, :len(f)] = f
    valid = ids >= 0
    b = base[np.where(valid, ids, 0)].astype(np.float64)  # (n, k, d)
    q = np.asarray(queries, dtype=np.float64)[:, None, :]
    bn = np.einsum("ijk,ijk->ij", b, b)
    qn = np.einsum("ijk,ijk->ij", q, q)
    dots = np.einsum("ijk,ijk->ij", b, q)
    if metric == "cosine":
        d = 1.0 - dots / np.sqrt(qn) / np.sqrt(bn)
    else:
        sq = np.maximum(qn - 2.0 * dots + bn, 0.0)
        d = sq if metric == "l2" else _poincare64(sq, qn, bn)
    return recall_by_distance(np.where(valid, d, np.inf), kth_dist, k)


# --- timing -----------------------------------------------------------------------------------

def run_timed(fn, items):
    """Calls fn on each item; returns (results, seconds)."""
    start = time.perf_counter()
    results = [fn(x) for x in items]
    return results, time.perf_counter() - start


def race(sides, repeat, warmup=5, settle=False):
    """Times several ways of answering the same queries: sides maps a name to (fn, items).

    The sides take turns pass by pass, so load from elsewhere on the machine hits them alike, and
    the fastest of `repeat` passes counts. With `settle`, each pass is preceded by one untimed call on
    its first item: a side whose data outgrows the caches then starts its pass as warm as a side that
    walks the same data right after another. Returns name -> (results of the last pass, seconds).
    """
    for fn, items in sides.values():
        for x in items[:warmup]:
            fn(x)
    out = {}
    for _ in range(max(1, repeat)):
        for name, (fn, items) in sides.items():
            if settle and items:
                fn(items[0])
            results, secs = run_timed(fn, items)
            out[name] = (results, min(secs, out.get(name, (None, float("inf")))[1]))
    return out


def best_at(points, target):
    """(q/s, ef) of the fastest sweep point (recall, q/s, ef) that reaches target, or None."""
    ok = [(qps, ef) for rec, qps, ef in points if rec >= target]
    return max(ok) if ok else None


def target_table(points, systems, threads, targets, mine="quellix"):
    """Per recall target and thread count, every system's best q/s reaching the target and mine over
    the fastest peer; points maps (system, threads) to its sweep. Answers the Markdown table and the
    ratios by (target, threads), None where either side never reaches the target."""
    rows, ratios = [], {}
    for target in targets:
        for t in threads:
            best = {s: best_at(points[(s, t)], target) for s in systems if (s, t) in points}
            peers = [b[0] for s, b in best.items() if s != mine and b]
            q = best.get(mine)
            ratios[(target, t)] = q[0] / max(peers) if q and peers else None
            cells = [f"{b[0]:,.0f} (ef {b[1]})" if b else "not reached" for b in best.values()]
            ratio = ratios[(target, t)]
            rows.append([f"{target}", t, *cells, "n/a" if ratio is None else f"{ratio:.2f}"])
    return markdown_table(["recall@10 >=", "threads", *systems, f"{mine} / best peer"], rows), ratios


# --- reporting --------------------------------------------------------------------------------

def log(msg):
    """A progress line on stderr with the time and the 1-minute load average."""
    print(f"[{time.strftime('%H:%M:%S')} load {os.getloadavg()[0]:.2f}] {msg}", file=sys.stderr, flush=True)


def markdown_table(headers, rows):
    cells = [[str(h) for h in headers]] + [[str(c) for c in r] for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(headers))]
    fmt = lambda r: "| " + " | ".join(c.rjust(w) for c, w in zip(r, widths)) + " |"  # noqa: E731
    sep = "|" + "|".join("-" * (w + 1) + ":" for w in widths) + "|"
    return "\n".join([fmt(cells[0]), sep] + [fmt(r) for r in cells[1:]])


def environment_line():
    def version(pkg):
        try:
            return metadata.version(pkg)
        except metadata.PackageNotFoundError:
            return "n/a"

    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    return (f"python {platform.python_version()}, numpy {np.__version__}, hnswlib {version('hnswlib')}, "
            f"{os.cpu_count()} cpus, load avg {load:.2f} at start, BLAS threads "
            f"{os.environ.get('OPENBLAS_NUM_THREADS')}")


def rss_bytes():
    """Resident set size of this process, from /proc/self/statm."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def write_report(name, text):
    OUT_DIR.mkdir(exist_ok=True)
    path = OUT_DIR / f"{name}.md"
    path.write_text(text + "\n")
    return path


def _markers(key):
    return f"<!-- begin {key} -->", f"<!-- end {key} -->"


def replace_section(path, key, text):
    """Puts text into the Markdown file at path between the markers of key (HTML comments, so they do
    not show), in place of what they held before, or at the end of the file when it has none yet."""
    path = Path(path)
    begin, end = _markers(key)
    block = f"{begin}\n{text.strip()}\n{end}\n"
    old = path.read_text() if path.exists() else ""
    i, j = old.find(begin), old.find(end)
    if i >= 0 and j > i:
        rest = old[j + len(end):].lstrip("\n")
        new = old[:i] + block + ("\n" + rest if rest else "")
    else:
        new = old.rstrip("\n") + ("\n\n" if old.strip() else "") + block
    path.write_text(new)
    return path


def record_section(script, text):
    """Puts a whole run's report of bench/<script> into its section of bench/RESULTS.md, every heading
    one level down (the file has its own title); answers the file's path."""
    return replace_section(OUT_DIR.parent / "RESULTS.md", f"bench/{script}", re.sub(r"^(#+) ", r"#\1 ", text, flags=re.M))


def marked_sections(path):
    """Every block replace_section put into the file at path, markers included, in file order: what a
    script that rewrites the whole file (peers.py) carries over."""
    path = Path(path)
    text = path.read_text() if path.exists() else ""
    blocks, pos = [], 0
    while (i := text.find("<!-- begin ", pos)) >= 0:
        key = text[i + len("<!-- begin "):text.find(" -->", i)]
        j = text.find(_markers(key)[1], i)
        if j < 0:
            break
        pos = j + len(_markers(key)[1])
        blocks.append(text[i:pos])
    return blocks


# --- command line -----------------------------------------------------------------------------

def parser(description, n, queries, quick_n, quick_queries):
    """Argument parser with --n, --queries and --quick; call resolve() on the parsed result."""
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--n", type=int, default=None, help=f"base vectors (default {n}, quick {quick_n})")
    p.add_argument("--queries", type=int, default=None,
                   help=f"queries (default {queries}, quick {quick_queries})")
    p.add_argument("--quick", action="store_true", help="small sizes for a smoke run")
    p.set_defaults(_sizes=(n, queries, quick_n, quick_queries))
    return p


def resolve(args):
    n, queries, quick_n, quick_queries = args._sizes
    if args.n is None:
        args.n = quick_n if args.quick else n
    if args.queries is None:
        args.queries = quick_queries if args.quick else queries
    return args


def report_name(stem, args):
    """Output name: the stem for the full sizes, a suffix for anything else so full runs are kept."""
    n, queries = args._sizes[:2]
    if args.quick and args.n == args._sizes[2] and args.queries == args._sizes[3]:
        return stem + "_quick"
    return stem if (args.n, args.queries) == (n, queries) else f"{stem}_n{args.n}_q{args.queries}"
