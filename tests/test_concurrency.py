"""Many Python threads on one index at once.

Every call may come from any thread at any time, so random mixes of every method run on one instance, a
fixed number of calls on each thread, with the interpreter switching threads every few microseconds.
Afterwards the index and everything the threads saw must add up exactly: node counts equal the
insertions made, every stored vector and norm is bit-identical to what was inserted, masks are those
written by an insertion or by one successful mask update, graphs read back from every saved file are
sound, exhaustive answers were exact for the nodes that existed when the call started. A thread still
running after WATCHDOG seconds is a deadlock: the test fails with the stacks of all threads.
"""

from __future__ import annotations

import faulthandler
import itertools
import sys
import threading
import time
import traceback
from collections import Counter
from types import SimpleNamespace

import numpy as np
import pytest

import reference as ref
import vek_core
from conftest import build_index, check_graph, saved
from indexfile import IndexFile

F32 = np.float32
U64 = np.uint64
DIM_MISMATCH = "Vector dimension mismatch"
MASK_MISMATCH = "Mask array size does not match graph size!"
INSERT_BIT = 1 << 63  # set in every mask given at insertion, clear in every mask written by update_masks
# Seconds after which a thread that has not finished counts as deadlocked. A healthy run takes a few
# seconds here and well under this under ThreadSanitizer: the bound only keeps a hang from lasting forever.
WATCHDOG = 600.0


@pytest.fixture(autouse=True)
def dense_interleaving():
    """Switch threads every few microseconds, and kill the run with all stacks if the process hangs
    in a way the joins below cannot report (a thread stuck while holding the GIL)."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(5e-6)
    faulthandler.dump_traceback_later(WATCHDOG + 300, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()
    sys.setswitchinterval(old)


def run_threads(workers, rounds):
    """Runs every worker's run(rounds) on its own thread (a round of a random mix is 32 calls); fails on
    a worker error or on a thread still running WATCHDOG seconds after the start."""
    errors = []

    def body(worker):
        try:
            worker.run(rounds)
        except BaseException:  # noqa: BLE001 - reported below with the thread's traceback
            errors.append(f"{threading.current_thread().name}:\n{traceback.format_exc()}")

    threads = [threading.Thread(target=body, args=(w,), name=f"worker-{i}", daemon=True)
               for i, w in enumerate(workers)]
    give_up = time.monotonic() + WATCHDOG
    for t in threads:
        t.start()
    for t in threads:
        t.join(max(0.0, give_up - time.monotonic()))
    stuck = [t.name for t in threads if t.is_alive()]
    if stuck:
        faulthandler.dump_traceback(file=sys.__stderr__, all_threads=True)
        pytest.fail(f"deadlock: {stuck} still running {WATCHDOG:.0f} s after the start")
    assert not errors, "\n".join(errors)


def expect_error(counter, kind, exc_type, message, call, *args):
    """Calls `call`; an exception of `exc_type` whose text contains `message` is tolerated and counted."""
    try:
        return call(*args)
    except exc_type as e:
        if message not in str(e):
            raise
        counter[kind] += 1
        return None


# --------------------------------------------------------------------------------------------------
# What every sound index looks like


def linked_to(f: IndexFile) -> set[int]:
    return {j for layers in f.links for ids in layers for j in ids}


def random_vectors(rng, metric, count, dim):
    v = rng.normal(0.0, 1.0, (count, dim))
    if metric == "poincare":
        # inside the unit ball, a few of them past the boundary the walks step over
        radius = np.where(rng.random(count) < 0.03, rng.uniform(0.995, 0.9999, count), rng.uniform(0, 0.95, count))
        v *= (radius / np.linalg.norm(v, axis=1))[:, None]
    return v.astype(F32)


class Identities:
    """Maps stored vectors back to the (thread, sequence number) that inserted them."""

    def __init__(self, workers):
        self.by_bytes = {}
        for w in workers:
            for seq, v in enumerate(w.vectors):
                self.by_bytes[v.tobytes()] = (w.tid, seq)

    def of(self, vectors):
        return [self.by_bytes.get(v.tobytes()) for v in vectors]


def check_contents(f: IndexFile, ids, workers, update_gens):
    """Per node: an inserted vector (each at most once, each thread's in its own order) with its exact
    squared norm, flat nodes untouched by links, and a mask from the insertion or from a successful
    update, the updated ones forming a prefix of the ids."""
    known = [x for x in ids if x is not None]
    assert len(ids) == len(known), "a stored vector that no thread inserted"
    assert len(set(known)) == len(known), "a vector stored twice"
    for tid in {t for t, _ in known}:
        seqs = [s for t, s in known if t == tid]
        assert seqs == sorted(seqs), f"thread {tid}'s insertions out of order"
    assert np.array_equal(ref.bits(f.norms), ref.bits(ref.sqnorm(f.vectors)))
    flat = [i for i, (t, s) in enumerate(known) if workers[t].kinds[s] == "flat"]
    assert not set(flat) & linked_to(f), "a flat node got linked"
    for i in flat:
        assert f.levels[i] == 0 and f.links[i] == [[]]
    updated = []
    for i, ((t, s), mask) in enumerate(zip(known, f.masks.tolist())):
        if mask == workers[t].masks[s]:
            updated.append(False)
        else:
            assert not mask & INSERT_BIT and mask & 0xFFFFFFFF == i and mask >> 32 in update_gens, (i, hex(mask))
            updated.append(True)
    # An update writes every node that exists; nodes arrive in id order. So updated ids are a prefix.
    assert updated == sorted(updated, reverse=True), "masks of an update on a later node but not an earlier one"


# --------------------------------------------------------------------------------------------------
# The workers


class Worker:
    """One thread's random mix of calls. Insertions and their outcomes are recorded for the final check."""

    WEIGHTS = {}

    def __init__(self, tid, index, metric, dim, M, shared):
        self.tid = tid
        self.index = index
        self.metric = metric
        self.dim = dim
        self.M = M
        self.shared = shared
        self.rng = np.random.default_rng(9100 + tid)
        # How often a call draws from self.rng depends on what the other threads did; the mix of calls
        # comes from a generator of its own, so that each thread makes the same calls on every run.
        self.mix = np.random.default_rng(9200 + tid)
        self.pool, self.drawn = random_vectors(self.rng, metric, 2048, dim), 0
        self.queries = random_vectors(self.rng, metric, 128, dim)
        self.vectors, self.kinds, self.masks = [], [], []  # by sequence number, successful insertions only
        self.ops = Counter()
        self.tolerated = Counter()
        self.known_n = 0  # largest node count this thread has seen
        names = list(self.WEIGHTS)
        p = np.array([self.WEIGHTS[k] for k in names], dtype=float)
        self.plan = (names, p / p.sum())

    def run(self, rounds):
        names, p = self.plan
        for _ in range(rounds):
            for name in self.mix.choice(names, size=32, p=p):
                getattr(self, name)()
                self.ops[name] += 1

    # --- helpers ---
    # Vectors are drawn ahead, so that threads spend their time in the index rather than in NumPy.
    def next_vector(self, length=None):
        length = length or self.dim
        if self.drawn == len(self.pool):
            self.pool, self.drawn = random_vectors(self.rng, self.metric, len(self.pool), self.dim), 0
        v = self.pool[self.drawn]
        self.drawn += 1
        if length <= self.dim:
            return v[:length].copy() if length < self.dim else v
        return random_vectors(self.rng, self.metric, 1, length)[0]

    def query(self):
        return self.queries[self.rng.integers(len(self.queries))]

    def count(self):
        n = self.index.get_stats()["num_nodes"]
        self.known_n = max(self.known_n, n)
        return n

    def inserted(self, v, kind, mask):
        self.vectors.append(v)
        self.kinds.append(kind)
        self.masks.append(mask)

    def insert_mask(self):
        return INSERT_BIT | (self.tid << 40) | len(self.vectors)

    # --- operations shared by the phases ---
    def link(self):
        v, mask = self.next_vector(), self.insert_mask()
        self.index.add_item_and_link(v, mask, int(self.rng.choice([0, 1, 8, 24, 64])))
        self.inserted(v, "link", mask)

    def flat(self):
        v, mask = self.next_vector(), self.insert_mask()
        self.index.add_item_flat(v, mask)
        self.inserted(v, "flat", mask)

    def bad_flat(self):
        v = self.next_vector(self.dim + int(self.rng.choice([-1, 1])))
        expect_error(self.tolerated, "bad_flat", RuntimeError, DIM_MISMATCH, self.index.add_item_flat, v, 0)
        assert self.tolerated["bad_flat"] == self.ops["bad_flat"] + 1, "a wrong-length flat insertion was accepted"

    def stats(self):
        s = self.index.get_stats()
        assert sum(s["layer_distribution"]) <= s["num_nodes"]
        assert len(s["layer_distribution"]) == s["ep_layer"] + 2
        assert s["max_m"] == self.M and s["max_m_0"] == 2 * self.M
        self.known_n = max(self.known_n, s["num_nodes"])


class GrowingWorker(Worker):
    """Nothing removes nodes: every id below a count seen earlier stays valid and keeps its vector."""

    WEIGHTS = dict(link=6, flat=3, bad_flat=0.3, graph_search=3, filtered=2, exhaustive=3, update=1, stats=2,
                   distance=3, norm=2, negative_k=0.3, save=0.05)

    def __init__(self, *a, **kw):
        super().__init__(*a, **kw)
        self.distances, self.norms, self.exhaustive_seen, self.graph_seen, self.saves = [], [], [], [], []
        self.gens_done = []

    def sampled(self, kept, rate=0.1, cap=50):
        """Whether to keep this answer for the final check: a sample over the whole run, bounded."""
        return len(kept) < cap and self.rng.random() < rate

    def update(self):
        gen = next(self.shared["gens"])
        masks = (np.uint64(gen) << U64(32)) | np.arange(self.count(), dtype=U64)
        try:
            self.index.update_masks(masks)
        except RuntimeError as e:
            # another thread inserted between the count and the update
            assert str(e) == MASK_MISMATCH
            self.tolerated["update_raced"] += 1
            return
        self.gens_done.append(gen)

    def graph_search(self):
        q, k = self.query(), int(self.rng.integers(1, 20))
        res = self.index.custom_hnsw_search(q, k, 0, int(self.rng.choice([0, 8, 50, 120])))
        if self.sampled(self.graph_seen):
            self.graph_seen.append((q, k, res, self.count()))

    def filtered(self):
        q, k = self.query(), int(self.rng.integers(0, 15))
        res = self.index.filtered_search(q, k, 0, int(self.rng.choice([1, 16, 64, 200])))
        if self.sampled(self.graph_seen):
            self.graph_seen.append((q, k, res, self.count()))

    def exhaustive(self):
        q, k = self.query(), int(self.rng.integers(0, 25))
        before = self.count()
        res = self.index.hardware_flat_search(q, k, 0)
        if self.sampled(self.exhaustive_seen):
            self.exhaustive_seen.append((q, k, res, before, self.count()))

    def distance(self):
        node = int(self.rng.integers(0, self.known_n + 3))
        q = self.query()
        try:
            d = self.index.compute_distance(q, node)
        except IndexError:
            assert node >= self.known_n, "a node seen earlier vanished"
            self.tolerated["distance_out_of_range"] += 1
            return
        if self.sampled(self.distances):
            self.distances.append((q, node, d))

    def norm(self):
        node = int(self.rng.integers(0, self.known_n + 3))
        try:
            g = self.index.get_stored_norm(node)
        except IndexError:
            assert node >= self.known_n, "a node seen earlier vanished"
            self.tolerated["norm_out_of_range"] += 1
            return
        self.norms.append((node, g))

    def negative_k(self):
        # the index holds linked nodes from the start
        q = self.query()
        for call in (lambda: self.index.custom_hnsw_search(q, -1), lambda: self.index.hardware_flat_search(q, -3, 0)):
            with pytest.raises(ValueError, match="vector::reserve"):
                call()

    def save(self):
        path = self.shared["dir"] / f"grow-{self.tid}-{len(self.saves)}.bin"
        before = self.count()
        self.index.save_index(str(path))
        self.saves.append((path, before, self.count()))


def seed_index(index, metric, dim, count, rng):
    """Linked nodes inserted before the threads start, booked as thread 0's."""
    seed = SimpleNamespace(tid=0, vectors=[], kinds=[], masks=[])
    for i, v in enumerate(random_vectors(rng, metric, count, dim)):
        mask = INSERT_BIT | i
        index.add_item_and_link(v, mask, 30)
        seed.vectors.append(v)
        seed.kinds.append("link")
        seed.masks.append(mask)
    return seed


def test_mixed_calls_on_a_growing_index(tmp_path):
    """Inserts, searches, mask updates, stats, distances, norms and saves from six threads; no loads,
    so the final node count must equal the insertions made, and every answer can be checked against the
    final vectors (a node's vector never changes once it exists)."""
    metric, dim, M = "euclidean", 12, 6
    index = vek_core.HyperbolicIndex(dim, 1.0, M, metric)
    seed = seed_index(index, metric, dim, 40, np.random.default_rng(5))
    shared = {"gens": itertools.count(1), "dir": tmp_path}
    workers = [seed] + [GrowingWorker(t, index, metric, dim, M, shared) for t in range(1, 7)]
    run_threads(workers[1:], 150)

    f = saved(index, tmp_path / "final.bin")
    n = f.n
    assert n == index.get_stats()["num_nodes"] == sum(len(w.vectors) for w in workers)
    check_graph(f, M)
    ids = Identities(workers).of(f.vectors)
    gens = {g for w in workers[1:] for g in w.gens_done}
    check_contents(f, ids, workers, gens)
    flat_ids = {i for i, (t, s) in enumerate(ids) if workers[t].kinds[s] == "flat"}

    for w in workers[1:]:
        for node, g in w.norms:
            assert ref.bits(g) == ref.bits(f.norms[node])
        for q, node, d in w.distances:
            assert ref.bits(d) == ref.bits(ref.distance(metric, q, f.vectors[node], v_norm=f.norms[node]))
        for q, k, res, before, after in w.exhaustive_seen:
            # exact over the nodes that existed when the call began, and nothing that did not exist at its end
            d = ref.distances(metric, q, f.vectors[:after], f.norms[:after])
            res = np.asarray(res, dtype=np.int64)
            assert len(set(res.tolist())) == len(res) and np.all(res < after)
            assert min(k, before) <= len(res) <= min(k, after)
            assert np.all(np.diff(d[res]) >= 0)
            rest = np.setdiff1d(np.arange(before), res)
            if len(res) < k:
                assert len(rest) == 0
            elif len(rest) and k > 0:
                assert d[rest].min() >= d[res[-1]]
        for q, k, res, after in w.graph_seen:
            res = np.asarray(res, dtype=np.int64)
            assert len(res) <= max(k, 1) and len(set(res.tolist())) == len(res) and np.all(res < after)
            assert not set(res.tolist()) & flat_ids, "a graph search reached a flat node"
            d = ref.distances(metric, q, f.vectors[res], f.norms[res])
            assert np.all(np.diff(d) >= 0)
        counts = [(before, after) for _, before, after in w.saves]
        for path, before, after in w.saves:
            snap = IndexFile.read(path)
            assert before <= snap.n <= after
            check_graph(snap, M)
            # a snapshot is an earlier state: the same nodes, vectors, norms and levels up to its size
            assert np.array_equal(snap.vectors.view(np.uint32), f.vectors[:snap.n].view(np.uint32))
            assert np.array_equal(snap.norms.view(np.uint32), f.norms[:snap.n].view(np.uint32))
            assert snap.levels == f.levels[:snap.n]
            loaded = vek_core.HyperbolicIndex(1, metric=metric)
            loaded.load_index(str(path))
            assert loaded.get_stats()["num_nodes"] == snap.n
        assert counts == sorted(counts)
    assert all(sum(w.ops[name] for w in workers[1:]) for name in GrowingWorker.WEIGHTS)


# --------------------------------------------------------------------------------------------------
# With loads: the index jumps back to earlier states saved from the same instance


class LoadingWorker(GrowingWorker):
    WEIGHTS = dict(link=6, flat=3, bad_flat=0.3, graph_search=3, filtered=2, exhaustive=3, update=1, stats=2,
                   distance=3, norm=2, save=0.4, save_shared=0.2, load=0.4, bad_load=0.1, bad_save=0.1)

    def graph_search(self):
        q, k = self.query(), int(self.rng.integers(1, 20))
        res = self.index.custom_hnsw_search(q, k, 0, int(self.rng.choice([0, 8, 50, 120])))
        assert len(res) <= k and len(set(res)) == len(res) and min(res, default=0) >= 0

    def filtered(self):
        q, k = self.query(), int(self.rng.integers(0, 15))
        res = self.index.filtered_search(q, k, int(self.rng.choice([0, INSERT_BIT])), int(self.rng.choice([1, 64])))
        assert len(res) <= max(k, 1) and len(set(res)) == len(res) and min(res, default=0) >= 0

    def exhaustive(self):
        q, k = self.query(), int(self.rng.integers(1, 25))
        res = self.index.hardware_flat_search(q, k, 0)
        # every saved state held more than k nodes
        assert len(res) == k and len(set(res)) == k and min(res) >= 0

    def distance(self):
        node = int(self.rng.integers(0, self.shared["floor"] + 40))
        if node < self.shared["floor"]:
            self.index.compute_distance(self.query(), node)  # no state holds fewer nodes
        else:
            expect_error(self.tolerated, "distance_out_of_range", IndexError, "out of range",
                         self.index.compute_distance, self.query(), node)

    def norm(self):
        node = int(self.rng.integers(0, self.shared["floor"] + 40))
        if node < self.shared["floor"]:
            self.index.get_stored_norm(node)  # no state holds fewer nodes
        else:
            expect_error(self.tolerated, "norm_out_of_range", IndexError, "out of range",
                         self.index.get_stored_norm, node)

    def save(self):
        path = self.shared["dir"] / f"load-{self.tid}-{len(self.saves)}.bin"
        self.index.save_index(str(path))
        self.saves.append((path, 0, 0))
        self.shared["files"].append(path)

    def save_shared(self):
        # all threads replace the same file; each replacement is whole, so any load of it sees one state
        path = self.shared["dir"] / "shared.bin"
        self.index.save_index(str(path))
        if path not in self.shared["files"]:
            self.shared["files"].append(path)

    def load(self):
        files = self.shared["files"]
        self.index.load_index(str(files[int(self.rng.integers(len(files)))]))

    def bad_load(self):
        missing = self.shared["dir"] / "no-such-file.bin"
        expect_error(self.tolerated, "bad_load", RuntimeError, "Cannot open file for loading: " + str(missing),
                     self.index.load_index, str(missing))

    def bad_save(self):
        target = self.shared["dir"] / "no-such-dir" / "x.bin"
        expect_error(self.tolerated, "bad_save", RuntimeError, "Cannot open file for saving: " + str(target),
                     self.index.save_index, str(target))


def test_mixed_calls_with_loads(tmp_path):
    """Six threads as above, plus loads of files saved earlier by the same instance (and failed loads and
    saves): counts no longer add up, but the final index, and every file saved on the way, must be a
    sound graph made only of inserted vectors, each thread's in its own order, with exact norms and
    masks that an insertion or an update wrote."""
    metric, dim, M = "cosine", 9, 5
    index = vek_core.HyperbolicIndex(dim, 1.0, M, metric)
    seed = seed_index(index, metric, dim, 60, np.random.default_rng(6))
    first = tmp_path / "seeded.bin"
    index.save_index(str(first))
    shared = {"gens": itertools.count(1), "dir": tmp_path, "files": [first], "floor": 60}
    workers = [seed] + [LoadingWorker(t, index, metric, dim, M, shared) for t in range(1, 7)]
    run_threads(workers[1:], 80)

    identities = Identities(workers)
    gens = {g for w in workers[1:] for g in w.gens_done}
    for path in [tmp_path / "final.bin", *shared["files"]]:
        if path.name == "final.bin":
            index.save_index(str(path))
        f = IndexFile.read(path)
        assert f.n >= 60 and f.dimension == dim
        check_graph(f, M)
        check_contents(f, identities.of(f.vectors), workers, gens)
        loaded = vek_core.HyperbolicIndex(dim, metric=metric)
        loaded.load_index(str(path))
        assert loaded.get_stats()["num_nodes"] == f.n
    assert sum(w.ops["load"] for w in workers[1:]) > 0
    assert all(w.tolerated["bad_load"] == w.ops["bad_load"] for w in workers[1:])
    assert all(w.tolerated["bad_save"] == w.ops["bad_save"] for w in workers[1:])
    assert not list(tmp_path.glob("**/*.tmp.*")), "a save left its temporary file behind"


# --------------------------------------------------------------------------------------------------
# Loads that change the dimension under other threads' feet


class ResizingWorker(Worker):
    """The index flips between two files of different dimensions. Arrays of the larger dimension fit
    both; arrays of the smaller one must be refused whenever the larger dimension is in force."""

    WEIGHTS = dict(link=4, flat=2, graph_search=2, filtered=1, exhaustive=2, distance=2, norm=1, stats=1,
                   update=0.5, load=0.6, save=0.3)

    def sized(self):
        short, long_ = self.shared["dims"]
        length = short if self.rng.random() < 0.5 else long_
        return self.next_vector(length), length == long_

    def guarded(self, name, call, *args):
        """Calls `call`; a dimension mismatch is tolerated only for an array of the smaller dimension."""
        fits_all = len(args[0]) == self.shared["dims"][1]
        try:
            return call(*args)
        except RuntimeError as e:
            if str(e) != DIM_MISMATCH or (fits_all and name != "flat"):
                raise
            self.tolerated[name + "_mismatch"] += 1
            return None

    # Every array handed to an insertion is kept, accepted or not: stored vectors are checked against them.
    def link(self):
        v, _ = self.sized()
        self.guarded("link", self.index.add_item_and_link, v, INSERT_BIT, 8)
        self.vectors.append(v)

    def flat(self):
        v, _ = self.sized()
        self.guarded("flat", self.index.add_item_flat, v, INSERT_BIT)
        self.vectors.append(v)

    def graph_search(self):
        q, _ = self.sized()
        res = self.guarded("search", self.index.custom_hnsw_search, q, 5)
        assert res is None or len(res) <= 5

    def filtered(self):
        q, _ = self.sized()
        res = self.guarded("search", self.index.filtered_search, q, 5, 0, 32)
        assert res is None or len(res) <= 5

    def exhaustive(self):
        q, _ = self.sized()
        res = self.guarded("search", self.index.hardware_flat_search, q, 7, 0)
        assert res is None or len(res) == 7

    def distance(self):
        q, _ = self.sized()
        self.guarded("distance", self.index.compute_distance, q, int(self.rng.integers(0, self.shared["floor"])))

    def norm(self):
        self.index.get_stored_norm(int(self.rng.integers(0, self.shared["floor"])))

    def update(self):
        masks = np.arange(self.count(), dtype=U64)
        expect_error(self.tolerated, "update_raced", RuntimeError, MASK_MISMATCH, self.index.update_masks, masks)

    def load(self):
        self.index.load_index(str(self.shared["bases"][int(self.rng.integers(2))]))

    def save(self):
        path = self.shared["dir"] / f"resize-{self.tid}-{self.ops['save']}.bin"
        self.index.save_index(str(path))
        self.shared["files"].append(path)


def test_loads_that_change_the_dimension(tmp_path):
    """Arrays are measured against the dimension in force when the call holds the index, not when it
    was made: a vector of the larger dimension is accepted by every method but the exact-length flat
    insertion, whatever loads happen meanwhile; stored vectors are always the first `dimension` values of
    some array handed in; every saved state is sound."""
    metric, M, dims, base_n = "poincare", 4, (8, 13), 70
    rng = np.random.default_rng(11)
    bases, base_vectors = [], {}
    for d in dims:
        vs = random_vectors(rng, metric, base_n, d)
        ix = build_index(vs, metric, linked=[i % 9 != 4 for i in range(base_n)], M=M)
        bases.append(tmp_path / f"base-{d}.bin")
        ix.save_index(str(bases[-1]))
        base_vectors[d] = vs
    index = vek_core.HyperbolicIndex(dims[0], 1.0, M, metric)
    index.load_index(str(bases[0]))
    shared = {"dims": dims, "bases": bases, "dir": tmp_path, "files": [], "floor": base_n}
    workers = [ResizingWorker(t, index, metric, dims[1], M, shared) for t in range(6)]
    run_threads(workers, 70)

    given = {}
    for w in workers:
        for v in w.vectors:
            given[v[:dims[0]].tobytes()] = True
            if len(v) == dims[1]:
                given[v.tobytes()] = True
    index.save_index(str(tmp_path / "final.bin"))
    for path in [tmp_path / "final.bin", *shared["files"]]:
        f = IndexFile.read(path)
        assert f.dimension in dims and f.n >= base_n
        check_graph(f, M)
        assert np.array_equal(f.vectors[:base_n], base_vectors[f.dimension])
        assert all(v.tobytes() in given for v in f.vectors[base_n:]), "a stored vector nobody handed in"
        assert np.array_equal(ref.bits(f.norms), ref.bits(ref.sqnorm(f.vectors)))
        loaded = vek_core.HyperbolicIndex(1, metric=metric)
        loaded.load_index(str(path))
    assert sum(w.ops["load"] for w in workers) > 0


# --------------------------------------------------------------------------------------------------
# Searches in parallel


def test_parallel_searches_match_serial_answers():
    """Searches share the index and run without the GIL; answered in parallel (and one thread switching
    between two indexes, whose walks share that thread's visit marks) they must equal the serial ones."""
    rng = np.random.default_rng(21)
    vs = rng.normal(size=(20000, 32)).astype(F32)
    masks = rng.integers(0, 4, len(vs), dtype=U64)
    big = build_index(vs, "euclidean", masks=masks, linked=np.arange(len(vs)) < 2500, M=10, ef_construction=24)
    small = build_index(random_vectors(rng, "poincare", 300, 6), "poincare", masks=np.ones(300), M=4,
                        ef_construction=16)
    queries = rng.normal(size=(24, 32)).astype(F32)

    def answers(index, q):
        return (index.hardware_flat_search(q, 10, 0), index.hardware_flat_search(q, 5, 2, 60.0),
                index.custom_hnsw_search(q, 10, 0, 40), index.custom_hnsw_search(q, 5, 1),
                index.filtered_search(q, 10, 0, 60), index.filtered_search(q, 4, 3, 80))

    expected_big = [answers(big, q) for q in queries]
    expected_small = [answers(small, q[:6] * F32(0.1)) for q in queries]

    class Searcher:
        def __init__(self, tid, alternate):
            self.tid, self.alternate, self.rounds = tid, alternate, 0

        def run(self, rounds):
            order = np.random.default_rng(300 + self.tid)
            for _ in range(rounds):
                for j in order.permutation(len(queries)):
                    assert answers(big, queries[j]) == expected_big[j]
                    if self.alternate:
                        assert answers(small, queries[j][:6] * F32(0.1)) == expected_small[j]
                self.rounds += 1

    searchers = [Searcher(0, False), Searcher(1, False), Searcher(2, True)]
    run_threads(searchers, 3)
    assert [s.rounds for s in searchers] == [3, 3, 3]


# --------------------------------------------------------------------------------------------------
# Lock patterns prone to deadlock


def test_gil_holding_spinner_against_writers_and_loads(tmp_path):
    """A thread that keeps the GIL busy with index calls that hold it (stats, distances, norms), while
    others run long GIL-free insertion batches, saves and loads, mask updates and searches: every thread
    must make progress, and the writers must get through all their rounds."""
    rng = np.random.default_rng(31)
    dim = 16
    index = build_index(rng.normal(size=(200, dim)).astype(F32), "euclidean", masks=np.ones(200), M=8,
                        ef_construction=40)
    base = tmp_path / "base.bin"
    index.save_index(str(base))
    q = rng.normal(size=dim).astype(F32)

    class Writer:
        calls, done = 0, False

        def run(self, rounds):
            try:
                for _ in range(rounds):
                    self.round()
                    self.calls += 1
            finally:
                self.done = True  # a failed writer must not keep the others spinning

    class Contender:
        """Keeps going for as long as the writers run, and at least once."""
        calls = 0

        def run(self, rounds):
            while True:
                self.round()
                self.calls += 1
                if all(w.done for w in writers):
                    return

    class Spinner(Contender):
        def round(self):
            index.get_stats()
            index.compute_distance(q, 0)
            index.get_stored_norm(199)

    class Inserter(Writer):
        local = np.random.default_rng(32)

        def round(self):
            for v in self.local.normal(size=(100, dim)).astype(F32):
                index.add_item_and_link(v, 1, 200)

    class Keeper(Writer):
        def round(self):
            path = tmp_path / "kept.bin"
            for i in range(6):
                index.save_index(str(path))
                index.load_index(str(base if i % 3 == 0 else path))

    class Masker(Contender):
        def round(self):
            n = index.get_stats()["num_nodes"]
            try:
                index.update_masks(np.ones(n, dtype=U64))
            except RuntimeError as e:
                assert str(e) == MASK_MISMATCH
            index.hardware_flat_search(q, 5, 1)
            index.filtered_search(q, 5, 1, 50)

    writers = [Inserter(), Keeper()]
    workers = [Spinner(), *writers, Masker()]
    run_threads(workers, 20)
    assert all(w.calls > 0 for w in workers), [w.calls for w in workers]
    assert [w.calls for w in writers] == [20, 20]
    check_graph(saved(index, tmp_path / "final.bin"), 8)
