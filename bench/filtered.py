"""Filtered search: quellix's planner against its two forced strategies, FAISS HNSW and hnswlib.

Data sets (`--datasets`): clusters (100,000 x 64 Gaussian clusters, squared Euclidean), lsa (every
WordNet gloss LSA row but the held-out queries, cosine), nouns (WordNet's nouns placed in the Poincare
ball) and, with `--large`, clusters-1m (1,000,000 x 128, the wide mixture of bench/health.py). Filters
of clusters and nouns: one mask bit per share of 0.1 %, 1 %, 5 %, 10 %, 50 %, 100 %, set on exactly that
fraction of the rows, drawn at random. Filters of lsa are real and correlated with the vectors: one
bit per lexicographer file (noun.animal, verb.motion, ...), one per part of speech and one on every
row; for each share the filter whose share is nearest (by ratio) is used and its own share reported.

Per filter: the truth is quellix's exact_search with the same mask. quellix answers with
filtered_search at ef=None, strategy "auto", "graph" and "scan" (the plan and width from explain);
FAISS IndexHNSWFlat with an IDSelectorBitmap at the smallest width of a ladder (16 .. 4096) that
reaches quellix auto's recall (its best recall where none does); hnswlib knn_query with a `filter`
callable, at the smallest width reaching it, on the first `--hnswlib-queries` queries only (the
callable runs in Python for every node the walk meets) and on one thread (it holds the GIL). Recall@10
counts a returned row that passes the filter and lies no farther (float64, ties allowed) than the
true 10th, over the true answer's length where fewer than 10 rows pass. Whole query batches are timed
at 1 and 2 threads, the sides taking turns (common.race), the fastest of `--repeat` passes counting; a
fast side repeats its batch so that a pass lasts `--min-pass` seconds.
FAISS and hnswlib have no Poincare metric: nouns has no peers. Graphs: M 16, ef_construction 200.

`--parts vek_core` runs the earlier comparison of vek_core's filtered searches (vek_core_part).
A run at the default sizes writes each data set's section of bench/RESULTS.md.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import argparse
import math
import os
import time

import numpy as np

import peer_data

K = 10
M = 16
EF_CONSTRUCTION = 200
QUELLIX_SEED = 1
HNSWLIB_SEED = 100
SHARES = (0.001, 0.01, 0.05, 0.1, 0.5, 1.0)
QUICK_SHARES = (0.001, 0.01, 0.1, 1.0)
WIDTHS = (16, 32, 64, 128, 256, 512, 1024, 2048, 4096)
STRATEGIES = ("auto", "graph", "scan")
DATASETS = ("clusters", "lsa", "nouns")
LARGE = "clusters-1m"
SIZES = {"clusters": 100_000, LARGE: 1_000_000}  # generated sets; the WordNet sets use every row
QUERIES, QUICK_N, QUICK_QUERIES = 1000, 20_000, 100
HNSWLIB_QUERIES = 200
# A fast side repeats its batch until a pass lasts this long (seconds): a batch of 1,000 scanned queries
# can take a millisecond, shorter than the noise of starting threads and of a shared machine.
MIN_PASS = 0.3
# The targets: recall with ef=None, and auto's speed over the peers and the forced strategies.
RECALL_TARGET, SCAN_RECALL_TARGET = 0.95, 0.99
FAISS_TARGET, HNSWLIB_TARGET, FORCED_SLACK = 1.5, 20.0, 1.1
# LSA filter bits: 0..44 the lexicographer files, then the parts of speech (satellites with the
# adjectives), and one bit every row carries.
POS_BITS = {"n": 45, "v": 46, "a": 47, "s": 47, "r": 48}
POS_NAMES = {45: "all nouns", 46: "all verbs", 47: "all adjectives", 48: "all adverbs"}
EVERY_ROW_BIT = 63


class Case:
    """One data set: rows, queries, a uint64 mask per row and the filters to run, as (label, mask)."""

    def __init__(self, name, metric, description, base, queries, masks, filters):
        self.name, self.metric, self.description = name, metric, description
        self.base, self.queries, self.masks, self.filters = base, queries, masks, filters


# --- data and filters -------------------------------------------------------------------------

def random_filters(n, shares):
    """Bit b on exactly round(share * n) rows (at least one) for the b-th share, rows drawn at random."""
    rng = np.random.default_rng(common.MASK_SEED)
    masks = np.zeros(n, dtype=np.uint64)
    filters = []
    for bit, share in enumerate(shares):
        rows = rng.choice(n, max(1, round(share * n)), replace=False)
        masks[rows] |= np.uint64(1 << bit)
        filters.append((f"random {share:.1%}", 1 << bit))
    return masks, filters


def lexname_filters(lexfile, pos, shares):
    """Masks from WordNet's labels and, per share, the single-bit filter whose share is nearest by ratio."""
    from corpora.wordnet import LEXNAMES
    bits = np.array([POS_BITS[p] for p in pos], dtype=np.uint64)
    masks = (np.uint64(1) << lexfile.astype(np.uint64)) | (np.uint64(1) << bits) | np.uint64(1 << EVERY_ROW_BIT)
    names = dict(enumerate(LEXNAMES)) | POS_NAMES | {EVERY_ROW_BIT: "every row"}
    share = {bit: float(((masks >> np.uint64(bit)) & np.uint64(1)).mean()) for bit in names}
    filters = []
    for target in shares:
        bit = min((b for b in names if share[b] > 0), key=lambda b: abs(math.log(share[b] / target)))
        filters.append((names[bit], 1 << bit))
    return masks, filters


def load_case(name, args):
    shares = QUICK_SHARES if args.quick else SHARES
    if name in SIZES:
        n = args.n or SIZES[name]
        make = common.make_wide_clusters if name == LARGE else lambda n, q: common.make_dataset(n, q, dim=64)
        base, queries = make(n, args.queries)
        kind = "the wide mixture (1,000 clusters)" if name == LARGE else "100 Gaussian clusters"
        return Case(name, "euclidean", f"{kind}, {base.shape[1]}-d, squared Euclidean", base, queries,
                    *random_filters(n, shares))
    if name == "lsa":
        ds, lexfile, pos = peer_data.labelled_glosses(args.n or 10**9, args.queries)
        if lexfile is None:
            return Case(name, "cosine", ds.description + "; random filters", ds.base, ds.queries,
                        *random_filters(len(ds.base), shares))
        return Case(name, "cosine", ds.description + "; filters by lexicographer file", ds.base, ds.queries,
                    *lexname_filters(lexfile, pos, shares))
    ds = peer_data.load("wordnet-poincare", args.n or 10**9, args.queries)
    return Case(name, "poincare", ds.description, ds.base, ds.queries, *random_filters(len(ds.base), shares))


# --- recall -----------------------------------------------------------------------------------

def distances64(base, queries, ids, metric):
    """float64 distances from each query to the rows of its answer ids (m, k); inf where an id is -1."""
    valid = ids >= 0
    b = base[np.where(valid, ids, 0)].astype(np.float64)
    q = queries.astype(np.float64)[:, None, :]
    bn, qn, dots = (np.einsum("ijk,ijk->ij", x, y) for x, y in ((b, b), (q, q), (b, q)))
    if metric == "cosine":
        d = 1.0 - dots / np.sqrt(qn) / np.sqrt(bn)
    else:
        sq = np.maximum(qn - 2.0 * dots + bn, 0.0)
        d = sq if metric == "euclidean" else common._poincare64(sq, qn, bn)
    return np.where(valid, d, np.inf)


class Truth:
    """The exact filtered answer, to score other answers against."""

    def __init__(self, case, ids, passing):
        self.case, self.passing = case, passing
        self.wanted = (ids >= 0).sum(axis=1)
        last = np.take_along_axis(ids, np.maximum(self.wanted - 1, 0)[:, None], axis=1)
        kth = distances64(case.base, case.queries, np.where(self.wanted[:, None] > 0, last, -1), case.metric)[:, 0]
        self.bound = kth + common.TIE_RTOL * np.abs(kth) + common.TIE_ATOL

    def recall(self, found):
        """Recall@K of the answers to the first len(found) queries."""
        found = np.asarray(found, dtype=np.int64)[:, :K]
        m = len(found)
        ok = found >= 0
        ok[ok] = self.passing[found[ok]]  # a row the filter refuses is never a hit
        case = self.case
        d = distances64(case.base, case.queries[:m], np.where(ok, found, -1), case.metric)
        hits = np.minimum((d <= self.bound[:m, None]).sum(axis=1), self.wanted[:m])
        return float(hits.sum() / max(1, self.wanted[:m].sum()))


# --- the systems ------------------------------------------------------------------------------

def build_quellix(case):
    import quellix
    index = quellix.Index(case.base.shape[1], case.metric, M=M, ef_construction=EF_CONSTRUCTION, seed=QUELLIX_SEED)
    index.add(case.base, case.masks)
    return index


def build_faiss(case):
    import faiss
    faiss.omp_set_num_threads(os.cpu_count())
    # No cosine metric in FAISS: the inner product ranks as cosine on the lsa set's unit rows.
    kind = faiss.METRIC_INNER_PRODUCT if case.metric == "cosine" else faiss.METRIC_L2
    index = faiss.IndexHNSWFlat(case.base.shape[1], M, kind)
    index.hnsw.efConstruction = EF_CONSTRUCTION
    index.add(case.base)
    return index


def build_hnswlib(case):
    import hnswlib
    index = hnswlib.Index(space="cosine" if case.metric == "cosine" else "l2", dim=case.base.shape[1])
    index.init_index(max_elements=len(case.base), ef_construction=EF_CONSTRUCTION, M=M, random_seed=HNSWLIB_SEED)
    index.add_items(case.base, np.arange(len(case.base)), num_threads=os.cpu_count())
    return index


def faiss_searcher(index, passing):
    import faiss
    bitmap = np.packbits(passing, bitorder="little")  # FAISS reads bit i of byte i // 8, lowest first
    selector = faiss.IDSelectorBitmap(len(passing), faiss.swig_ptr(bitmap))

    def search(queries, ef, threads):
        faiss.omp_set_num_threads(threads)
        params = faiss.SearchParametersHNSW(sel=selector, efSearch=ef)
        return index.search(queries, K, params=params)[1]
    search.keep = (bitmap, selector)  # FAISS holds raw pointers to both
    return search


def hnswlib_searcher(index, passing):
    allowed = passing.tolist()  # Python bools: the cheapest callable hnswlib can be given

    def search(queries, ef, threads=1):
        index.set_ef(ef)
        return index.knn_query(queries, k=K, num_threads=threads, filter=allowed.__getitem__)[0]
    return search


def planned(index, mask, rows):
    """index.explain for a batch of `rows` queries (the planner weighs the scan's screening against it)."""
    try:
        return index.explain(K, filter_mask=mask, queries=rows)
    except TypeError:  # a planner that does not look at the batch
        return index.explain(K, filter_mask=mask)


def climb(search, queries, truth, target):
    """The smallest ladder width whose recall reaches target, else the width of the best recall: (ef, recall)."""
    best = (None, -1.0)
    for ef in WIDTHS:
        rec = truth.recall(search(queries, ef))
        if rec > best[1]:
            best = (ef, rec)
        if rec >= target:
            break
    return best


def available(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


# --- one data set -----------------------------------------------------------------------------

def run_case(case, args):
    n = len(case.base)
    common.log(f"{case.name}: {n:,} x {case.base.shape[1]}, {len(case.queries):,} queries: building")
    peers = case.metric != "poincare"
    builders = {"quellix": build_quellix}
    if peers:
        builders.update({name: b for name, b, mod in (("FAISS", build_faiss, "faiss"),
                                                     ("hnswlib", build_hnswlib, "hnswlib")) if available(mod)})
    systems, build_s = {}, {}
    for name, build in builders.items():
        start = time.perf_counter()
        systems[name] = build(case)
        build_s[name] = time.perf_counter() - start
    index = systems["quellix"]
    hq = case.queries[:args.hnswlib_queries]
    quality, speed, misses = [], [], []
    for label, mask in case.filters:
        passing = (case.masks & np.uint64(mask)) == np.uint64(mask)
        truth = Truth(case, index.exact_search(case.queries, K, filter_mask=mask)[0], passing)
        plan = planned(index, mask, len(case.queries))
        mine = {s: (lambda q, t, s=s: index.filtered_search(q, K, filter_mask=mask, strategy=s, num_threads=t)[0])
                for s in STRATEGIES}
        recall = {s: truth.recall(fn(case.queries, 0)) for s, fn in mine.items()}
        sides = {s: (fn, case.queries) for s, fn in mine.items()}
        faiss_ef = hnsw_ef = None
        if "FAISS" in systems:
            search = faiss_searcher(systems["FAISS"], passing)
            faiss_ef, recall["FAISS"] = climb(lambda q, ef: search(q, ef, os.cpu_count()), case.queries, truth,
                                              recall["auto"])
            sides["FAISS"] = (lambda q, t, search=search, ef=faiss_ef: search(q, ef, t), case.queries)
        if "hnswlib" in systems and passing.sum() >= K:  # fewer passing rows than k: knn_query raises
            search = hnswlib_searcher(systems["hnswlib"], passing)
            hnsw_ef, recall["hnswlib"] = climb(search, hq, truth, recall["auto"])
            sides["hnswlib"] = (lambda q, t, search=search, ef=hnsw_ef: search(q, ef), hq)
        common.log(f"{case.name} {label}: plan {plan['strategy']} ef {plan['ef']}, racing")
        qps = {}
        for t in args.threads:
            racing = {}
            for s, (fn, q) in sides.items():
                if s == "hnswlib" and t != 1:
                    continue
                call = lambda batch, fn=fn, t=t: fn(batch, t)  # noqa: E731
                start = time.perf_counter()
                call(q)  # the warm-up, which also tells how many batches fill a pass
                batches = max(1, math.ceil(args.min_pass / max(time.perf_counter() - start, 1e-9)))
                racing[s] = (call, [q] * batches)
            for s, (_, secs) in common.race(racing, args.repeat, warmup=0, settle=True).items():
                qps[(s, t)] = len(racing[s][1]) * len(racing[s][1][0]) / secs
        share = f"{plan['share']:.3%}" if plan["share"] < 0.01 else f"{plan['share']:.1%}"
        quality.append([label, share, plan["strategy"], plan["ef"] or "-",
                        f"{plan['scan_cost']:,.0f} / {plan['walk_cost']:,.0f}",
                        *(f"{recall[s]:.4f}" for s in STRATEGIES),
                        faiss_ef or "-", f"{recall['FAISS']:.4f}" if faiss_ef else "-",
                        hnsw_ef or "-", f"{recall['hnswlib']:.4f}" if hnsw_ef else "-"])
        need = SCAN_RECALL_TARGET if plan["strategy"] == "scan" else RECALL_TARGET
        if recall["auto"] < need:
            misses.append(f"{label}: auto recall {recall['auto']:.4f} < {need}")
        for t in args.threads:
            auto = qps[("auto", t)]
            forced = auto / max(qps[("graph", t)], qps[("scan", t)])
            cells = [label, t, *(f"{qps[(s, t)]:,.0f}" for s in STRATEGIES)]
            ratios = [f"{forced:.2f}"]
            if forced < 1 / FORCED_SLACK:
                misses.append(f"{label}, {t} thread(s): auto at {forced:.2f} of the faster forced strategy")
            for peer, goal in (("FAISS", FAISS_TARGET), ("hnswlib", HNSWLIB_TARGET)):
                if (peer, t) not in qps:
                    cells.append("-")
                    ratios.append("-")
                    continue
                r = auto / qps[(peer, t)]
                below = recall[peer] < recall["auto"]
                cells.append(f"{qps[(peer, t)]:,.0f}" + (" *" if below else ""))
                ratios.append(f"{r:.1f}")
                if r < goal:
                    misses.append(f"{label}, {t} thread(s): auto / {peer} {r:.2f} < {goal}")
            speed.append(cells + ratios)
    return build_s, quality, speed, misses


def case_report(case, args, started, build_s, quality, speed, misses):
    peers = case.metric != "poincare"
    when = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    lines = [f"# Filtered search, {case.name}: {len(case.base):,} x {case.base.shape[1]}, {case.metric}", "",
             f"Generated by `bench/filtered.py` on {when} in {(time.perf_counter() - started) / 60:.1f} min.",
             "", f"{case.description}; {len(case.queries):,} queries, k = {K}, "
             f"best of {args.repeat} passes of at least {args.min_pass} s (batches repeated).",
             "", common.environment_line(), f"CPU: {common.cpu_model()}", "",
             "Build (M 16, ef_construction 200, every core): "
             + ", ".join(f"{name} {s:.1f} s" for name, s in build_s.items()), ""]
    if not peers:
        lines += ["FAISS and hnswlib have no Poincare metric: no peers on this set.", ""]
    else:
        missing = [p for p in ("FAISS", "hnswlib") if p not in build_s]
        if missing:
            lines += [f"Not installed, left out: {', '.join(missing)}.", ""]
    lines += ["Recall@10 against exact_search with the same filter; quellix at ef=None. FAISS and hnswlib at "
              "the smallest width reaching auto's recall (or their best); hnswlib on the first "
              f"{min(args.hnswlib_queries, len(case.queries))} queries.", "",
              common.markdown_table(["filter", "share", "plan", "plan ef", "scan / walk cost", "auto", "graph",
                                     "scan", "FAISS ef", "FAISS", "hnswlib ef", "hnswlib"], quality), "",
              "Queries/s, whole batches (hnswlib: one thread only; * below auto's recall).", "",
              common.markdown_table(["filter", "threads", "auto", "graph", "scan", "FAISS", "hnswlib",
                                     "auto / best forced", "auto / FAISS", "auto / hnswlib"], speed), "",
              f"Targets (recall >= {RECALL_TARGET}, >= {SCAN_RECALL_TARGET} scanning; auto >= {FAISS_TARGET}x "
              f"FAISS, >= {HNSWLIB_TARGET:.0f}x hnswlib, no more than {FORCED_SLACK - 1:.0%} slower than the "
              "faster forced strategy): " + ("all met." if not misses else "missed:")]
    lines += [f"- {m}" for m in misses]
    return "\n".join(lines)


def planner_part(args):
    args.queries = args.queries or (QUICK_QUERIES if args.quick else QUERIES)
    if args.quick and args.n is None:
        args.n = QUICK_N
    args.repeat = args.repeat or (2 if args.quick else 3)
    args.min_pass = args.min_pass if args.min_pass is not None else (0.1 if args.quick else MIN_PASS)
    names = list(args.datasets) + ([LARGE] if args.large and LARGE not in args.datasets else [])
    full = not args.quick and args.n is None and args.queries == QUERIES and args.threads == [1, 2]
    sections = []
    for name in names:
        start = time.perf_counter()
        case = load_case(name, args)
        text = case_report(case, args, start, *run_case(case, args))
        print(text, flush=True)
        sections.append(text)
        if full:  # each data set has its own section, so that a --large run keeps the others
            print(f"and its section of {common.record_section(f'filtered.py {name}', text)}")
    tag = "filtered" + ("_quick" if args.quick else "" if full else f"_n{args.n or 'all'}_q{args.queries}")
    tag += "" if names == list(DATASETS) else "_" + "_".join(names)
    text = "\n\n".join(sections)
    print("written to", common.write_report(tag, text))


# --- vek_core's filtered searches -------------------------------------------------------------

def vek_core_part(args):
    """One linked vek_core index (cosine, M 16, ef_construction 200) over the cluster mixture; every node
    carries three independent mask bits set with probability 50 %, 10 % and 1 % (common.make_masks). For
    each bit, filtered_search (filters during the walk), custom_hnsw_search (filters its ef candidates
    afterwards) and hardware_flat_search (exact) are timed one query per call and scored against the
    exhaustive filtered answer. Cosine, since the filtered search ends its answer at distances above 2.0,
    which squared Euclidean distances of this data exceed."""
    n = args.n or (5_000 if args.quick else 100_000)
    n_queries = args.queries or (50 if args.quick else 300)
    base, queries = common.make_dataset(n, n_queries)
    masks = common.make_masks(n)
    index, build_s = common.build_linked(base, "cosine", masks, progress=not args.quick)

    rows = []
    for bit, share in common.MASK_SHARES.items():
        mask = 1 << bit
        truth = [index.hardware_flat_search(q, K, mask) for q in queries]
        sides = {
            "filtered_search ef 2000": (lambda q: index.filtered_search(q, K, mask), queries),
            "filtered_search ef 200": (lambda q: index.filtered_search(q, K, mask, 200), queries),
            "custom_hnsw_search ef 200": (lambda q: index.custom_hnsw_search(q, K, mask, 200), queries),
            "hardware_flat_search": (lambda q: index.hardware_flat_search(q, K, mask), queries),
        }
        for name, (found, secs) in common.race(sides, repeat=2 if args.quick else 3).items():
            recall = np.mean([len(set(f) & set(t)) / max(1, len(t)) for f, t in zip(found, truth)])
            returned = np.mean([len(f) for f in found])
            rows.append([f"{share:.0%}", name, f"{recall:.4f}", f"{returned:.2f}", f"{len(queries) / secs:,.0f}"])

    text = "\n".join([
        f"# vek_core filtered search ({n} x {base.shape[1]}, cosine, {len(queries)} queries)",
        "", common.environment_line(), f"CPU: {common.cpu_model()}", "",
        f"Build (add_item_and_link, ef_construction 200): {build_s:.1f} s", "",
        common.markdown_table(["selectivity", "method", "recall@10", "ids returned", "queries/s"], rows),
    ])
    print(text)
    tag = "filtered_vek_core" + ("_quick" if args.quick else "" if args.n is None and args.queries is None
                                  else f"_n{n}_q{n_queries}")
    print("written to", common.write_report(tag, text))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--parts", nargs="+", choices=["planner", "vek_core"], default=["planner"],
                   help="planner (default): quellix against FAISS and hnswlib; vek_core: vek_core's filtered "
                   "searches against its exact scan")
    p.add_argument("--datasets", nargs="+", choices=[*DATASETS, LARGE], default=list(DATASETS))
    p.add_argument("--large", action="store_true", help=f"add {LARGE} (1,000,000 x 128: builds take minutes)")
    p.add_argument("--n", type=int, default=None, help="rows per data set (default: clusters 100,000, "
                   "the WordNet sets every row; quick 20,000)")
    p.add_argument("--queries", type=int, default=None, help=f"queries (default {QUERIES:,}, quick {QUICK_QUERIES})")
    p.add_argument("--hnswlib-queries", type=int, default=HNSWLIB_QUERIES,
                   help=f"queries given to hnswlib's filter callable (default {HNSWLIB_QUERIES})")
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    p.add_argument("--repeat", type=int, default=None, help="timed passes per side (default 3, quick 2)")
    p.add_argument("--min-pass", type=float, default=None,
                   help=f"seconds a timed pass lasts at least, repeating the batch (default {MIN_PASS}, quick 0.1)")
    p.add_argument("--quick", action="store_true", help=f"{QUICK_N:,} rows, {QUICK_QUERIES} queries, "
                   f"shares {', '.join(f'{s:.1%}' for s in QUICK_SHARES)}: a smoke run".replace("%", "%%"))
    args = p.parse_args()
    if "vek_core" in args.parts:
        vek_core_part(argparse.Namespace(**vars(args)))
    if "planner" in args.parts:
        planner_part(args)


if __name__ == "__main__":
    main()
