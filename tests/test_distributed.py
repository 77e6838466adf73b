"""quellix.distributed.ShardedIndex on a local Dask cluster (127.0.0.1 only, started and stopped here).

The single quellix.Index over the same vectors in the same order is the reference throughout: the
sharded exact search must give its answer exactly, ties included.
"""

from __future__ import annotations

import hashlib
import json
import os
import signal
import time

import numpy as np
import pytest

pytest.importorskip("distributed")

import dask  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import quellix  # noqa: E402
from quellix.distributed import ManifestError, ShardedIndex, ShardUnavailableError  # noqa: E402
from quellix.distributed._files import owners  # noqa: E402

METRICS = ["poincare", "euclidean", "cosine"]
DIM = 8


def _cluster(n_workers: int) -> LocalCluster:
    return LocalCluster(host="127.0.0.1", n_workers=n_workers, threads_per_worker=1, processes=True,
                        dashboard_address="127.0.0.1:0")


@pytest.fixture(scope="module")
def client():
    with _cluster(2) as cluster, Client(cluster) as c:
        yield c


def tied_data(n: int, seed: int, distinct: int = 40, dim: int = DIM):
    """n vectors drawn from `distinct` points (so many are equal), inside the unit ball; 4 mask bits."""
    rng = np.random.default_rng(seed)
    points = rng.normal(size=(distinct, dim)) * 0.15
    vectors = points[rng.integers(0, distinct, size=n)]
    masks = rng.integers(0, 16, size=n).astype(np.uint64)
    queries = np.concatenate([rng.normal(size=(30, dim)) * 0.15, vectors[:10]])
    return vectors, masks, queries


def reference(vectors, masks, metric, seed=3) -> quellix.Index:
    index = quellix.Index(vectors.shape[1], metric, seed=seed)
    index.add(vectors, masks)
    return index


def sharded(client, n_shards, vectors, masks, metric, batches=(0.3, 0.75), **kw) -> ShardedIndex:
    sx = ShardedIndex(client, n_shards, vectors.shape[1], metric, seed=3, **kw)
    cuts = [0, *(int(f * len(vectors)) for f in batches), len(vectors)]
    for a, b in zip(cuts, cuts[1:]):
        sx.add(vectors[a:b], None if masks is None else masks[a:b])
    return sx


def assert_same(a, b):
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


def worker_pid(client, sx: ShardedIndex, shard: int) -> int:
    # Asks that worker only: one killed earlier may not have left the scheduler's list yet.
    worker = sx.stats()["shards"][shard]["worker"]
    return client.run(os.getpid, workers=[worker])[worker]


# ---- answers ---------------------------------------------------------------------------------------


EXACT_OPTIONS = [{}, {"filter_mask": 1}, {"filter_mask": 6, "max_distance": 0.4}, {"min_norm": 0.3},
                 {"max_norm": 0.45, "filter_mask": 2}, {"filter_mask": 1, "filter_any": 6},
                 {"ids": np.r_[np.arange(0, 1500, 3), 10**6]}, {"exclude_ids": np.arange(0, 1500, 2), "filter_mask": 1},
                 {"ids": [np.arange(r, 1500, 7 + r) for r in range(40)], "min_norm": 0.1}]


@pytest.mark.parametrize("n_shards", [1, 3])
@pytest.mark.parametrize("metric", METRICS)
def test_exact_search_is_the_single_index_answer_with_ties(client, metric, n_shards):
    vectors, masks, queries = tied_data(1500, seed=11)
    single = reference(vectors, masks, metric)
    with sharded(client, n_shards, vectors, masks, metric) as sx:
        for k in (1, 4, 10, 64):
            for options in EXACT_OPTIONS:
                assert_same(sx.exact_search(queries, k, **options), single.exact_search(queries, k, **options))
        assert_same(sx.exact_search(queries[0], 5), single.exact_search(queries[0], 5))
        # After removals and replacements the single index scans its nodes in id order once compacted.
        gone, moved = np.arange(0, 1500, 7), np.arange(3, 1500, 11)
        for index in (sx, single):
            index.remove(gone)
            index.add(vectors[moved][::-1], masks[moved], ids=moved, replace=True)
        single.compact()
        for options in EXACT_OPTIONS[:3]:
            assert_same(sx.exact_search(queries, 10, **options), single.exact_search(queries, 10, **options))


def test_exact_search_without_ties_and_float64_queries(client):
    rng = np.random.default_rng(5)
    vectors = rng.normal(size=(1200, DIM)) * 0.1
    single = reference(vectors, None, "poincare")
    with sharded(client, 4, vectors, None, "poincare") as sx:
        queries = rng.normal(size=(25, DIM)) * 0.1
        assert_same(sx.exact_search(queries, 10), single.exact_search(queries, 10))
        assert_same(sx.exact_search(queries.tolist(), 3), single.exact_search(queries.tolist(), 3))


@pytest.mark.parametrize("metric", ["poincare", "euclidean"])
def test_graph_recall_is_at_least_one_index(client, metric):
    rng = np.random.default_rng(21)
    vectors = rng.normal(size=(3000, 16)) * 0.05
    queries = rng.normal(size=(200, 16)) * 0.05
    single = quellix.Index(16, metric, M=8, ef_construction=40, seed=1)
    single.add(vectors)
    truth = single.exact_search(queries, 10)[0]

    def recall(found):
        return np.mean([len(np.intersect1d(f, t)) / 10 for f, t in zip(found, truth)])

    with ShardedIndex(client, 2, 16, metric, M=8, ef_construction=40, seed=1) as sx:
        sx.add(vectors)
        for ef in (10, 40):
            assert recall(sx.search(queries, 10, ef=ef)[0]) >= recall(single.search(queries, 10, ef=ef)[0])


def test_ids_are_dense_in_order_and_spread_by_a_mix(client):
    rng = np.random.default_rng(8)
    vectors = rng.normal(size=(101, DIM))
    with ShardedIndex(client, 3, DIM, "euclidean") as sx:
        got = [sx.add(vectors[:40]), sx.add(vectors[40]), sx.add(vectors[41:41]), sx.add(vectors[41:])]
        assert [g.dtype for g in got] == [np.int64] * 4
        np.testing.assert_array_equal(np.concatenate(got), np.arange(101))
        assert len(sx) == 101
        assert [s["count"] for s in sx.stats()["shards"]] == np.bincount(owners(np.arange(101), 3, 0)).tolist()
        ids, dists = sx.exact_search(vectors, 1)
        np.testing.assert_array_equal(ids[:, 0], np.arange(101))
        assert not dists.any()
    # Sequential and strided ids alike spread within 5 % of an even share (id % n would put every id of
    # a stride of n on one shard).
    for ids in (np.arange(60000), np.arange(0, 60000 * 64, 64), np.arange(7, 60000 * 1000, 1000)):
        for n in (2, 3, 4, 8):
            counts = np.bincount(owners(ids, n, 0), minlength=n)
            assert counts.min() >= 0.95 * len(ids) / n and counts.max() <= 1.05 * len(ids) / n, (ids[:3], n, counts)


def test_filters_apply_across_shards(client):
    vectors, masks, queries = tied_data(2000, seed=4, distinct=2000)
    single = reference(vectors, masks, "euclidean")
    with sharded(client, 3, vectors, masks, "euclidean") as sx:
        for search in ("search", "filtered_search"):
            ids, dists = getattr(sx, search)(queries, 10, filter_mask=5)
            assert np.all((masks[ids[ids >= 0]] & 5) == 5)
            assert np.all(np.diff(dists, axis=1) >= 0)
        truth = single.exact_search(queries, 10, filter_mask=5)[0]
        found = sx.filtered_search(queries, 10, filter_mask=5)[0]
        assert np.mean([len(np.intersect1d(f, t)) for f, t in zip(found, truth)]) / 10 >= 0.95
        # id lists, shared and per query, go to each shard in its own ids
        per_query = [np.arange(r, 2000, 5) for r in range(len(queries))]
        for lists in (dict(ids=np.arange(1, 2000, 2)), dict(ids=per_query, exclude_ids=np.arange(0, 2000, 3))):
            truth = single.exact_search(queries, 10, **lists)[0]
            found = sx.filtered_search(queries, 10, strategy="graph", **lists)[0]
            assert np.mean([len(np.intersect1d(f, t)) for f, t in zip(found, truth)]) / 10 >= 0.95
            walked = sx.search(queries, 10, **lists)[0]
            for row, (f, w, t) in enumerate(zip(found, walked, truth)):
                allowed = set(single.exact_search(queries[row], 2000, **{k: v[row] if isinstance(v, list) else v
                                                                       for k, v in lists.items()})[0])
                assert set(f[f >= 0]) | set(w[w >= 0]) <= allowed
        within = sx.search(queries, 10, max_distance=0.02)[1]
        assert np.all(within[np.isfinite(within)] <= 0.02)
        uncut = sx.filtered_search(queries, 10)
        cut = sx.filtered_search(queries, 10, cut_gaps=True)
        for row_ids, row_dists, full in zip(*cut, uncut[0]):
            kept = int((row_ids >= 0).sum())
            np.testing.assert_array_equal(row_ids[:kept], full[:kept])
            d = row_dists[:kept]
            assert kept >= 1 and np.all(d[1:] <= 2.0) and not np.any((d[:-1] > 0.01) & (np.diff(d) > 0.6))


@pytest.mark.parametrize("search", ["search", "filtered_search", "exact_search"])
def test_k_beyond_count_and_empty_shards(client, search):
    vectors, masks, queries = tied_data(2, seed=1)
    single = reference(vectors, masks, "cosine")
    with ShardedIndex(client, 5, DIM, "cosine", seed=3) as sx:
        empty = getattr(sx, search)(queries, 4)
        assert np.all(empty[0] == -1) and np.all(np.isinf(empty[1])) and empty[0].shape == (len(queries), 4)
        sx.add(vectors, masks)
        assert_same(getattr(sx, search)(queries, 4), getattr(single, search)(queries, 4))
        assert getattr(sx, search)(queries, 0)[0].shape == (len(queries), 0)


@pytest.mark.parametrize("bad", [
    pytest.param(lambda v: np.where(np.arange(len(v))[:, None] == 7, np.nan, v), id="nan-row"),
    pytest.param(lambda v: v[:, :-1], id="short-rows"),
    pytest.param(lambda v: v * 10, id="outside-ball"),
])
def test_refused_add_adds_nothing(client, bad):
    vectors, masks, _ = tied_data(30, seed=2)
    with ShardedIndex(client, 2, DIM, "poincare") as sx:
        sx.add(vectors[:5])
        with pytest.raises(ValueError):
            sx.add(bad(vectors))
        with pytest.raises(ValueError, match="negative"):
            sx.add(vectors, masks=-np.ones(30, dtype=np.int64))
        assert len(sx) == 5
        np.testing.assert_array_equal(sx.add(vectors[5:]), np.arange(5, 30))
        assert sum(s["count"] for s in sx.stats()["shards"]) == 30


# ---- files -----------------------------------------------------------------------------------------


def test_a_shard_applies_each_change_once_and_in_order(tmp_path):
    from quellix.distributed._shard import Shard, _OutOfStep

    shard = Shard(0, "token", DIM, "euclidean", 16, 200, 1)
    vectors = np.random.default_rng(3).normal(size=(6, DIM))
    add = ("add", np.arange(10, 16), vectors, np.zeros(6, np.uint64), False)
    assert shard.apply(None, 0, add) == ("ok", 6)
    assert shard.apply(None, 0, add) == ("ok", 6)  # the retry after a lost reply
    assert shard.apply(None, 1, ("remove", np.array([11, 12]))) == ("ok", 4)
    for base, seq in ((None, 3), (str(tmp_path / "elsewhere"), 2)):  # a change missed, another base
        status, error = shard.apply(base, seq, ("remove", np.array([13])))
        assert status == "error" and isinstance(error, _OutOfStep)
    status, (count, _, _) = shard.save(str(tmp_path / "s.quellix"))
    assert count == 4 and shard.apply(None, 2, ("remove", np.array([13])))[0] == "error"
    assert shard.apply(str(tmp_path / "s.quellix"), 0, ("remove", np.array([13]))) == ("ok", 3)
    assert shard.ids()[1].tolist() == [10, 14, 15]


def test_save_and_load_give_the_same_answers(client, tmp_path):
    vectors, masks, queries = tied_data(900, seed=6)
    with sharded(client, 3, vectors, masks, "poincare", storage=tmp_path / "a") as sx:
        assert sx.save() == str((tmp_path / "a").resolve())
        first = sorted(os.listdir(tmp_path / "a"))
        sx.add(vectors[:50], masks[:50])
        assert sx.stats()["unsaved_vectors"] == 50
        sx.save()
        second = sorted(os.listdir(tmp_path / "a"))
        assert len(second) == 4 and not set(first) & set(second) - {"manifest.json"}
        expected = sx.exact_search(queries, 10), sx.search(queries, 10, ef=80)
        manifest = json.loads((tmp_path / "a" / "manifest.json").read_text())
        assert (manifest["count"], manifest["dim"], manifest["metric"], manifest["n_shards"]) == (950, DIM, "poincare", 3)
    with ShardedIndex.load(client, tmp_path / "a") as loaded:
        assert len(loaded) == 950 and loaded.stats()["unsaved_vectors"] == 0
        assert_same(loaded.exact_search(queries, 10), expected[0])
        assert_same(loaded.search(queries, 10, ef=80), expected[1])
        np.testing.assert_array_equal(loaded.add(vectors[:3]), [950, 951, 952])


def _set(key, value):
    def tamper(directory):
        path = directory / "manifest.json"
        doc = json.loads(path.read_text())
        target = doc
        *parents, last = key
        for p in parents:
            target = target[p]
        target[last] = value
        path.write_text(json.dumps(doc))
    return tamper


def _flip_byte(directory):
    name = json.loads((directory / "manifest.json").read_text())["shards"][1]["file"]
    data = bytearray((directory / name).read_bytes())
    data[100] ^= 1
    (directory / name).write_bytes(bytes(data))


def _swap_files(directory):
    doc = json.loads((directory / "manifest.json").read_text())
    a, b = doc["shards"][0]["file"], doc["shards"][1]["file"]
    for entry, name in zip(doc["shards"], (b, a)):
        entry["file"] = name
    (directory / "manifest.json").write_text(json.dumps(doc))


@pytest.mark.parametrize("tamper, message", [
    (_flip_byte, "shard 1: .* checksum"),
    (_swap_files, "shard 0: .* checksum"),
    (_set(("shards", 1, "count"), 99), "the shards hold 138 vectors, not 60"),
    (_set(("count",), 61), "the shards hold 60 vectors, not 61"),
    (_set(("n_shards",), 2), "n_shards is 2 but 3 shards"),
    (_set(("shards", 2, "file"), "../elsewhere.quellix"), "shard 2: file name"),
    (_set(("version",), 3), "format version 3"),
    (_set(("legacy",), -1), "legacy -1 out of range"),
    (_set(("dim",), DIM + 1), "shard 0: .*dim"),
    (lambda d: (d / "manifest.json").write_text("{"), "not JSON"),
    (lambda d: os.remove(d / json.loads((d / "manifest.json").read_text())["shards"][2]["file"]),
     "shard 2: cannot read"),
])
def test_load_refuses_a_manifest_its_shards_disagree_with(client, tmp_path, tamper, message):
    vectors, masks, _ = tied_data(60, seed=9)
    with sharded(client, 3, vectors, masks, "euclidean") as sx:
        sx.save(tmp_path)
    tamper(tmp_path)
    with pytest.raises(ManifestError, match=message):
        ShardedIndex.load(client, tmp_path)


def test_a_directory_of_the_first_layout_loads_and_changes(client, tmp_path):
    # Written as the first release did: id g on shard g % 3 as its local id g // 3, manifest version 1.
    vectors, masks, queries = tied_data(60, seed=14, distinct=60)
    shards = []
    for s in range(3):
        part = quellix.Index(DIM, "euclidean", seed=s)
        part.add(vectors[s::3], masks[s::3])
        part.save(tmp_path / f"shard-{s:05d}-0000000{s}.quellix")
        data = (tmp_path / f"shard-{s:05d}-0000000{s}.quellix").read_bytes()
        shards.append({"shard": s, "file": f"shard-{s:05d}-0000000{s}.quellix", "count": 20, "bytes": len(data),
                       "sha256": hashlib.sha256(data).hexdigest()})
    (tmp_path / "manifest.json").write_text(json.dumps({
        "format": "quellix-sharded-index", "version": 1, "count": 60, "dim": DIM, "metric": "euclidean", "M": 16,
        "ef_construction": 200, "n_shards": 3, "shards": shards}))
    single = reference(vectors, masks, "euclidean")
    with ShardedIndex.load(client, tmp_path, storage=tmp_path / "again") as sx:
        assert_same(sx.exact_search(queries, 5), single.exact_search(queries, 5))
        np.testing.assert_array_equal(sx.ids, np.arange(60))
        assert 7 in sx and 60 not in sx
        assert sx.remove([7, 8]) == 2 and (7 not in sx) and len(sx) == 58
        np.testing.assert_array_equal(sx.add(vectors[:2], masks[:2]), [60, 61])
        sx.save()
        expected = sx.exact_search(queries, 5)
    with ShardedIndex.load(client, tmp_path / "again") as sx:
        assert json.loads((tmp_path / "again" / "manifest.json").read_text())["version"] == 2
        assert_same(sx.exact_search(queries, 5), expected)
        assert len(sx) == 60 and 8 not in sx and 61 in sx


# ---- faults ----------------------------------------------------------------------------------------
# A cluster of its own, whose Nannies restart a killed worker process.


@pytest.fixture(scope="module")
def fault_cluster_client():
    # The cluster gives up a Nanny whose killed worker has not registered again within the lost-worker
    # timeout (15 s); a slow build (the sanitized one) can take longer to restart one, and the next test
    # would find a single worker.
    with dask.config.set({"distributed.deploy.lost-worker-timeout": "10 minutes"}), _cluster(2) as cluster, \
            Client(cluster) as c:
        yield c


@pytest.fixture
def fault_client(fault_cluster_client):
    # A worker killed by the test before may still be restarting: every test starts with both.
    fault_cluster_client.wait_for_workers(2, timeout=120)
    return fault_cluster_client


def _kill_during(sx: ShardedIndex, method: str, shard: int, nth: int, pid: int) -> list[int]:
    """Has the coordinator kill `pid` just before it sends `shard` its nth `method` call: the worker
    dies inside that call, after the shards before it were sent their part. The list answered gets the
    pid once it is killed."""
    send, count, killed = sx._send, [0], []

    def send_or_kill(h, name, *args):
        if name == method and h.shard == shard and not killed:
            count[0] += 1
            if count[0] == nth:
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)
        return send(h, name, *args)

    sx._send = send_or_kill
    return killed


def _wait_for_both_workers(client) -> None:
    """Waits until two running workers answer: the Nanny of one killed before has started its successor."""
    give_up = time.monotonic() + 120  # a restart takes seconds, even in the sanitized build
    while True:
        info = client.scheduler_info(n_workers=-1)["workers"]
        running = [w for w, meta in info.items() if meta.get("status", "running") == "running"]
        if len(client.run(os.getpid, workers=running, on_error="ignore")) >= 2:
            return
        assert time.monotonic() < give_up, f"no second worker answers: {sorted(info)}"
        time.sleep(0.1)


def test_killed_worker_mid_workload_loses_and_repeats_nothing(fault_client, tmp_path):
    rng = np.random.default_rng(31)
    vectors = rng.normal(size=(12000, 16)) * 0.05
    vectors[6000:6400] = vectors[:400]  # equal vectors, so the exact answers go through tie replay
    queries = np.concatenate([rng.normal(size=(40, 16)) * 0.05, vectors[:10]])
    sx = ShardedIndex(fault_client, 4, 16, "euclidean", seed=3, storage=tmp_path, heartbeat=2.0)
    with sx:
        sx.add(vectors[:3000])
        sx.save()
        sx.add(vectors[3000:4000])  # kept by the coordinator: the rebuilt shards need it
        # One kill inside a long add, one inside the third of a run of searches.
        killed = _kill_during(sx, "apply", 1, 1, worker_pid(fault_client, sx, 1))
        np.testing.assert_array_equal(sx.add(vectors[4000:9000]), np.arange(4000, 9000))
        assert killed
        single = reference(vectors[:9000], None, "euclidean")
        # The shards may all be on the other worker now: the second kill needs the first one's successor
        # to rebuild them on.
        _wait_for_both_workers(fault_client)
        killed = _kill_during(sx, "search", 2, 3, worker_pid(fault_client, sx, 2))
        for _ in range(12):
            assert_same(sx.exact_search(queries, 10), single.exact_search(queries, 10))
        assert killed
        np.testing.assert_array_equal(sx.add(vectors[9000:]), np.arange(9000, 12000))
        stats = sx.stats()
        assert stats["recoveries"] >= 2
        assert len(sx) == 12000
        assert [s["count"] for s in stats["shards"]] == np.bincount(owners(np.arange(12000), 4, 0)).tolist()
        single.add(vectors[9000:])
        assert_same(sx.exact_search(queries, 10), single.exact_search(queries, 10))
        assert not sx.exact_search(vectors[::7], 1)[1].any()


def test_removals_and_replacements_survive_killed_workers(fault_client, tmp_path):
    rng = np.random.default_rng(44)
    vectors = rng.normal(size=(4000, 8)) * 0.05
    ids = rng.choice(10**12, 4000, replace=False)
    queries = rng.normal(size=(30, 8)) * 0.05
    model: dict[int, np.ndarray] = {}

    def agrees(sx):
        held = np.array(sorted(model), dtype=np.int64)
        single = quellix.Index(8, "euclidean", seed=0)
        single.add(np.array([model[i] for i in held]), ids=held)
        assert_same(sx.exact_search(queries, 10), single.exact_search(queries, 10))
        np.testing.assert_array_equal(sx.ids, held)
        assert len(sx) == len(model) == sum(s["count"] for s in sx.stats()["shards"])

    sx = ShardedIndex(fault_client, 3, 8, "euclidean", seed=3, storage=tmp_path, heartbeat=2.0)
    with sx:
        sx.add(vectors[:2000], ids=ids[:2000])
        sx.save()
        sx.add(vectors[2000:3000], ids=ids[2000:3000])
        model.update(zip(ids[:3000].tolist(), vectors[:3000]))
        gone = rng.choice(ids[:3000], 300, replace=False)
        assert sx.remove(gone) == 300
        for i in gone.tolist():
            del model[i]
        # A worker dies between a removal and the next search: its shards are rebuilt from the save and
        # the changes since, the removal included.
        os.kill(worker_pid(fault_client, sx, 1), signal.SIGKILL)
        agrees(sx)
        assert not set(sx.search(queries, 10, ef=64)[0].ravel().tolist()) & set(gone.tolist())
        _wait_for_both_workers(fault_client)
        # One dies inside a replacing add that also adds new ids.
        replaced = rng.choice(sorted(model), 200, replace=False)
        batch = np.concatenate([replaced, ids[3000:3500]])
        killed = _kill_during(sx, "apply", 2, 1, worker_pid(fault_client, sx, 2))
        np.testing.assert_array_equal(sx.add(vectors[3000:3700], ids=batch, replace=True), batch)
        assert killed
        model.update(zip(batch.tolist(), vectors[3000:3700]))
        agrees(sx)
        with pytest.raises(ValueError, match="already in the index"):
            sx.add(vectors[:1], ids=batch[:1])
        with pytest.raises(KeyError):
            sx.remove([int(gone[0])])
        agrees(sx)


def test_a_shard_that_cannot_be_rebuilt_is_named(fault_client, tmp_path):
    vectors, masks, queries = tied_data(300, seed=12)
    sx = ShardedIndex(fault_client, 2, DIM, "euclidean", storage=tmp_path, heartbeat=2.0)
    with sx:
        sx.add(vectors, masks)
        sx.save()
        name = json.loads((tmp_path / "manifest.json").read_text())["shards"][1]["file"]
        (tmp_path / name).write_bytes(b"not an index")
        os.kill(worker_pid(fault_client, sx, 1), signal.SIGKILL)
        with pytest.raises(ShardUnavailableError, match="shard 1 .*checksum") as failure:
            sx.search(queries, 5)
        assert failure.value.shard == 1
        with pytest.raises(ShardUnavailableError, match="shard 1"):
            sx.add(vectors[:3])
        assert len(sx) == 300


def test_a_silent_worker_is_given_up_after_the_heartbeat(fault_client):
    vectors, masks, queries = tied_data(400, seed=13)
    single = reference(vectors, masks, "cosine")
    with sharded(fault_client, 2, vectors, masks, "cosine", heartbeat=1.0) as sx:
        silent = sx.stats()["shards"][0]["worker"]
        pid = fault_client.run(os.getpid)[silent]
        os.kill(pid, signal.SIGSTOP)
        try:
            start = time.monotonic()
            assert_same(sx.exact_search(queries, 10), single.exact_search(queries, 10))
            # The heartbeat gives the worker up within a few seconds, the scheduler on its own only after
            # its worker-ttl (5 minutes): a bound far from both still tells them apart.
            assert time.monotonic() - start < 120
            assert silent not in {s["worker"] for s in sx.stats()["shards"]}
        finally:
            os.kill(pid, signal.SIGKILL)  # its Nanny starts a fresh worker
