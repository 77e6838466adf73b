"""Collections that change: users' ids, removal and replacement, checked step by step against a plain
dict of the live vectors, and every refusal leaving the index exactly as it was."""

from __future__ import annotations

import pickle

import numpy as np
import pytest

import quellix
import reference as R
from quellix_data import METRICS, points

K = 5


def _check(index: quellix.Index, model: dict, metric: str, rng) -> None:
    """Everything the index says agrees with the model: its ids, masks and vectors, the exact search
    (ids and distances bit for bit against the reference), and the graph searches' answers."""
    ids = index.ids
    assert len(index) == len(model) == len(ids)
    assert sorted(ids.tolist()) == sorted(model)
    if not model:
        assert index.search(np.zeros(index.dim, np.float32), K)[0].tolist() == [-1] * K
        return
    vectors = np.stack([model[i][0] for i in ids.tolist()])
    np.testing.assert_array_equal(index.get_vectors(ids), vectors)
    np.testing.assert_array_equal(index.masks, np.array([model[i][1] for i in ids.tolist()], np.uint64))
    assert all(i in index for i in rng.choice(ids, 3)) and (max(model) + 1) not in index and -1 not in index
    assert index.stats()["unreachable"] == 0
    queries = points(4, index.dim, metric, seed=int(rng.integers(1 << 30)))
    exact_ids, exact_d = index.exact_search(queries, K)
    found_ids, found_d = index.search(queries, K, ef=32)
    only_ids, only_d = index.filtered_search(queries, K, filter_mask=1)
    for q, e_ids, e_d, f_ids, f_d, o_ids, o_d in zip(queries, exact_ids, exact_d, found_ids, found_d, only_ids, only_d):
        # The ball's accurate distances have references of their own (test_quellix_poincare); here they
        # need only be the index's one distance for each pair.
        ref = index.distances(q, ids) if metric == "poincare" else R.distances(metric, q, vectors)
        order = np.argsort(ref, kind="stable")[:K]
        assert (R.bits(e_d[:len(order)]) == R.bits(ref[order])).all()
        np.testing.assert_array_equal(e_ids[:len(order)], ids[order])
        for got_ids, got_d, passing in ((f_ids, f_d, None), (o_ids, o_d, 1)):
            live = got_ids[got_ids >= 0]
            assert set(live.tolist()) <= set(model)  # nothing removed ever comes back
            assert len(set(live.tolist())) == len(live)
            at = {i: n for n, i in enumerate(ids.tolist())}
            assert (R.bits(got_d[:len(live)]) == R.bits(ref[[at[i] for i in live.tolist()]])).all()
            eligible = sum(1 for i in model if passing is None or model[i][1] & passing)
            assert len(live) == min(K, eligible)  # no short answers on a small, healthy graph


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("threads", [1, 2])
def test_random_changes_agree_with_a_dict_model(metric, threads, tmp_path):
    rng = np.random.default_rng(METRICS.index(metric) * 10 + threads)
    dim = 6
    index = quellix.Index(dim, metric, M=5, ef_construction=30, seed=4)
    model: dict[int, tuple[np.ndarray, int]] = {}
    largest = -1  # the largest id ever held
    for step in range(45):
        op = rng.choice(["add", "add ids", "replace", "remove", "masks", "reload", "compact"],
                        p=[0.2, 0.2, 0.15, 0.25, 0.08, 0.07, 0.05])
        n = int(rng.integers(1, 30))
        rows = points(n, dim, metric, seed=1000 + step)
        masks = rng.integers(0, 4, n).astype(np.uint64)
        if op == "add":
            got = index.add(rows, masks, num_threads=threads)
            np.testing.assert_array_equal(got, np.arange(largest + 1, largest + 1 + n))
            ids = got.tolist()
        elif op in ("add ids", "replace"):
            fresh = rng.choice(10_000, n, replace=False) + (largest + 1 if op == "add ids" else 0)
            held = list(model)
            if op == "replace" and held:
                fresh[: n // 2] = rng.choice(held, min(n // 2, len(held)), replace=False).tolist() + \
                    fresh[min(n // 2, len(held)): n // 2].tolist()
            fresh = np.unique(fresh)[: n]
            rows, masks, n = rows[: len(fresh)], masks[: len(fresh)], len(fresh)
            fresh = rng.permutation(fresh)
            if op == "add ids" or not set(fresh.tolist()) & set(model):
                np.testing.assert_array_equal(index.add(rows, masks, ids=fresh, num_threads=threads), fresh)
            else:
                before = index.to_bytes()
                with pytest.raises(ValueError, match="already in the index"):
                    index.add(rows, masks, ids=fresh, num_threads=threads)
                assert index.to_bytes() == before
                index.add(rows, masks, ids=fresh, replace=True, num_threads=threads)
            ids = fresh.tolist()
        elif op == "remove":
            if model:
                gone = rng.choice(list(model), int(rng.integers(1, max(2, len(model) // 3 + 1))), replace=False)
                assert index.remove(gone, num_threads=threads) == len(gone)
                for i in gone.tolist():
                    del model[i]
                assert index.remove(gone[:1], missing_ok=True) == 0
            ids = []
        elif op == "masks":
            value = int(rng.integers(0, 4))
            index.set_masks(value)
            model = {i: (v, value) for i, (v, _) in model.items()}
            ids = []
        elif op == "reload":
            index = rng.choice([lambda: pickle.loads(pickle.dumps(index)),
                                lambda: (index.save(tmp_path / "i.qlx"), quellix.Index.load(tmp_path / "i.qlx"))[1]])()
            ids = []
        else:
            index.compact()
            assert index.ids.tolist() == sorted(model)
            ids = []
        for i, v, m in zip(ids, rows, masks):
            model[i] = (v, int(m))
            largest = max(largest, i)
        _check(index, model, metric, rng)


def test_refusals_leave_the_index_as_it_was():
    index = quellix.Index(4, "euclidean", seed=1)
    index.add(points(20, 4, "euclidean"), ids=np.arange(100, 120))
    before = index.to_bytes()
    for call, error, message in [
        (lambda: index.add(np.ones((2, 4)), ids=[5, 5]), ValueError, "id 5 is repeated"),
        (lambda: index.add(np.ones((2, 4)), ids=[7, 103]), ValueError, "id 103 is already in the index"),
        (lambda: index.add(np.ones((2, 4)), ids=[7, -3]), ValueError, "non-negative"),
        (lambda: index.add(np.ones((2, 4)), ids=[7]), ValueError, "one id per row"),
        (lambda: index.remove([101, 3, 102]), KeyError, "id 3 is not in the index"),
        (lambda: index.get_vectors([3]), KeyError, "id 3"),
        (lambda: index.distances(np.ones(4), [100, 2**62]), KeyError, "is not in the index"),
        (lambda: index.save_vek_core("unused.vek"), ValueError, "compact"),
    ]:
        with pytest.raises(error, match=message):
            call()
        assert index.to_bytes() == before
    with pytest.raises(IndexError):  # unknown ids were once refused as out of range
        index.get_vectors([0])
    index.remove(np.arange(100, 120))
    assert len(index) == 0 and index.add(np.ones(4)).tolist() == [120]  # ids are never given twice


def test_compact_restores_positions_and_a_fresh_build_s_memory():
    data = points(3000, 16, "euclidean", seed=2)
    index = quellix.Index(16, "euclidean", seed=1)
    index.add(data)
    index.remove(np.arange(1000, 3000))
    index.add(data[1500:1600], ids=np.arange(1000, 1100)[::-1])
    assert index.ids.tolist() != list(range(1100))
    index.compact()
    assert index.ids.tolist() == list(range(1100))
    fresh = quellix.Index(16, "euclidean", seed=1)
    fresh.add(np.concatenate([data[:1000], data[1500:1600][::-1]]))
    assert index.stats()["memory_bytes"] <= 1.05 * fresh.stats()["memory_bytes"]
    np.testing.assert_array_equal(index.get_vectors(np.arange(1100)), fresh.get_vectors(np.arange(1100)))


def test_mixed_changes_from_many_threads():
    """Writers add, remove and replace their own ids while readers search, set masks and copy the index:
    every answer is well formed, no id removed before a search began comes back, and at the end the
    index holds exactly what the writers' models say."""
    import threading

    dim, rounds = 8, 20
    index = quellix.Index(dim, "euclidean", M=6, ef_construction=40, seed=2)
    models = [{}, {}]
    removed: set[int] = set()
    lock = threading.Lock()
    errors: list[BaseException] = []

    def writer(w):
        rng = np.random.default_rng(w)
        model, base = models[w], 1_000_000 * (w + 1)
        for r in range(rounds):
            ids = base + np.arange(r * 40, r * 40 + 40)
            rows = points(40, dim, "euclidean", seed=100 * w + r)
            index.add(rows, ids=ids, num_threads=1 + r % 2)
            model.update(zip(ids.tolist(), rows))
            gone = rng.choice(list(model), 15, replace=False)
            index.remove(gone, num_threads=1 + r % 2)
            for i in gone.tolist():
                del model[i]
            with lock:
                removed.update(gone.tolist())
            again = rng.choice(list(model), 10, replace=False)
            moved = points(10, dim, "euclidean", seed=7000 + 100 * w + r)
            index.add(moved, ids=again, replace=True, num_threads=2)
            model.update(zip(again.tolist(), moved))

    def reader(seed):
        rng = np.random.default_rng(seed)
        for r in range(rounds * 3):
            with lock:
                before = set(removed)
            queries = points(6, dim, "euclidean", seed=int(rng.integers(1 << 30)))
            for ids, dists in (index.search(queries, K, ef=16, num_threads=2), index.exact_search(queries, K),
                               index.filtered_search(queries, K, filter_mask=r % 2)):
                assert ids.shape == dists.shape == (6, K)
                for row, d in zip(ids, dists):
                    live = row[row >= 0]
                    assert (row[len(live):] == -1).all() and len(set(live.tolist())) == len(live)
                    assert not set(live.tolist()) & before
                    assert (np.diff(d[:len(live)]) >= 0).all()
            if r % 4 == 0:
                index.set_masks(int(rng.integers(0, 2)))
                copy = quellix.Index.from_bytes(index.to_bytes())
                assert len(copy) == len(copy.ids) == len(set(copy.ids.tolist()))

    def run(work, arg):
        try:
            work(arg)
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=run, args=a) for a in ((writer, 0), (writer, 1), (reader, 5), (reader, 6))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[0]
    model = {**models[0], **models[1]}
    assert sorted(index.ids.tolist()) == sorted(model)
    ids = np.array(sorted(model))
    np.testing.assert_array_equal(index.get_vectors(ids), np.stack([model[i] for i in ids.tolist()]))
    assert index.stats()["unreachable"] == 0
