"""The filter planner: which way a filtered search answers (a walk or a scan of the passing nodes), that a
scan's answer is the exact search's, and that the passing counts it plans with follow every change."""

from __future__ import annotations

import numpy as np
import pytest

import quellix

N, D = 3000, 12


@pytest.fixture(scope="module")
def clustered():
    rng = np.random.default_rng(21)
    centres = rng.normal(size=(30, D)) * 3.0
    x = (centres[rng.integers(0, 30, N)] + rng.normal(size=(N, D))).astype(np.float32)
    x /= np.float32(1.2) * np.linalg.norm(x, axis=1).max()  # inside the unit ball, for every metric
    # bit 0: every node; bit 1: one node; bit 2: none; bit 3: 0.5 %; bit 4: 30 %
    masks = np.ones(N, np.uint64)
    masks[17] |= 2
    masks[rng.choice(N, 15, replace=False)] |= 8
    masks[rng.random(N) < 0.3] |= 16
    return x, masks, rng.normal(size=(25, D)).astype(np.float32) * np.float32(0.05)


@pytest.mark.parametrize("metric", ["poincare", "euclidean", "cosine"])
@pytest.mark.parametrize("mask, any_of", [(2, 0), (4, 0), (8, 0), (16, 0), (1, 0), (1, 8 | 2), (16, 8 | 4)])
def test_a_scan_answers_as_the_exact_search_does(clustered, metric, mask, any_of):
    x, masks, queries = clustered
    index = quellix.Index(D, metric, M=8, seed=0)
    index.add(x, masks, num_threads=1)
    bounds = dict(filter_mask=mask, filter_any=any_of, max_norm=0.6)
    truth = index.exact_search(queries, 10, **bounds)
    # The exact search keeps, from the whole unfiltered ranking, the first ten nodes that pass.
    passes = ((masks & np.uint64(mask)) == mask) & (((masks & np.uint64(any_of)) != 0) | (any_of == 0))
    passes &= np.linalg.norm(x.astype(np.float64), axis=1) <= 0.6 * (1 + 1e-6)
    every_ids, every_d = index.exact_search(queries, N)
    for ids, d, all_ids, all_d in zip(*truth, every_ids, every_d):
        kept = passes[all_ids]
        np.testing.assert_array_equal(ids[ids >= 0], all_ids[kept][:10])
        np.testing.assert_array_equal(d[ids >= 0], all_d[kept][:10])
    for found in (index.filtered_search(queries, 10, strategy="scan", **bounds),
                  index.search(queries, 10, strategy="scan", **bounds)):
        for a, b in zip(found, truth):
            np.testing.assert_array_equal(a, b)
    # The gap cut of a scan is the walk's cut, applied to the exact ranking.
    cut_ids, cut_d = index.filtered_search(queries, 10, strategy="scan", cut_gaps=True, **bounds)
    for row_ids, row_d, ids, d in zip(cut_ids, cut_d, *truth):
        kept = int((row_ids >= 0).sum())
        np.testing.assert_array_equal(row_ids[:kept], ids[:kept])
        np.testing.assert_array_equal(row_d[:kept], d[:kept])
        for i in range(1, int((ids >= 0).sum())):  # the reference cut, entry by entry
            if (d[i - 1] > np.float32(0.01) and d[i] - d[i - 1] > np.float32(0.6)) or d[i] > np.float32(2.0):
                assert kept == i
                break
        else:
            assert kept == (ids >= 0).sum()


def test_the_planner_scans_what_few_nodes_pass_and_walks_the_rest(clustered):
    x, masks, queries = clustered
    big = quellix.Index(D, "euclidean", M=8, seed=0)
    big.add(np.tile(x, (10, 1)), np.tile(masks, 10), num_threads=0)  # 30,000 nodes
    plans = {mask: big.explain(10, filter_mask=mask) for mask in (1, 2, 4, 8, 16)}
    assert {m: p["passing"] for m, p in plans.items()} == {1: 30000, 2: 10, 4: 0, 8: 150,
                                                          16: 10 * int((masks & 16).astype(bool).sum())}
    assert [plans[m]["strategy"] for m in (2, 4, 8)] == ["scan"] * 3
    assert [plans[m]["strategy"] for m in (1, 16)] == ["graph"] * 2
    assert plans[2]["ef"] is None and plans[16]["ef"] >= 10
    # search walks when nothing filters it, whatever the cost; a forced strategy is taken as given
    assert big.explain(10, filtered=False)["strategy"] == "graph"
    assert big.explain(10, filter_mask=1, strategy="scan")["strategy"] == "scan"
    assert big.explain(10, filter_mask=2, strategy="graph")["strategy"] == "graph"
    ids, _ = big.filtered_search(queries, 10, filter_mask=2)
    assert set(ids[0][ids[0] >= 0] % N) == {17}
    with pytest.raises(ValueError, match="unknown strategy 'fast'"):
        big.filtered_search(queries, 10, strategy="fast")
    # Lists given per query are planned query by query: a long list walks, a short one scans.
    lists = [np.arange(0, 30000, 2), np.arange(5)]
    plan = big.explain(10, ids=lists)
    assert plan["strategy"] == ["graph", "scan"] and plan["passing"] == [15000, 5]
    ids, dists = big.filtered_search(queries[:2], 10, ids=lists)
    exact = big.exact_search(queries[:2], 10, ids=lists)
    np.testing.assert_array_equal(ids[1], exact[0][1])
    np.testing.assert_array_equal(dists[1], exact[1][1])
    assert (ids[0] >= 0).all() and (ids[0] % 2 == 0).all()  # (ten copies of each point: no recall to ask)


def test_the_passing_counts_follow_every_change(clustered):
    x, masks, _ = clustered
    rng = np.random.default_rng(5)
    index = quellix.Index(D, "cosine", M=8, seed=0)
    model: dict[int, int] = {}  # id -> mask
    for step in range(12):
        action = step % 4
        if action == 0:
            rows = rng.choice(N, 200, replace=False)
            new = masks[rows] ^ rng.integers(0, 32, 200).astype(np.uint64)
            for i, m in zip(index.add(x[rows], new, num_threads=1), new):
                model[int(i)] = int(m)
        elif action == 1:
            gone = rng.choice(sorted(model), 60, replace=False)
            index.remove(gone)
            for i in gone:
                del model[int(i)]
        elif action == 2:
            new = rng.integers(0, 32, len(index)).astype(np.uint64)
            index.set_masks(new)
            model = dict(zip(map(int, index.ids), map(int, new)))
        else:
            index.compact()
        held = np.array(list(model.values()), dtype=np.uint64)
        for mask, any_of in ((1, 0), (2, 0), (6, 0), (16, 0), (0, 6), (1, 24)):
            expected = int((((held & np.uint64(mask)) == mask) & (((held & np.uint64(any_of)) != 0) | (any_of == 0))).sum())
            assert index.explain(10, filter_mask=mask, filter_any=any_of)["passing"] == expected, (step, mask)


@pytest.mark.parametrize("case", ["allow", "deny", "both", "rows", "ragged"])
def test_id_lists_keep_to_a_dict_model(clustered, case):
    x, masks, queries = clustered
    rng = np.random.default_rng(len(case))
    index = quellix.Index(D, "euclidean", M=8, seed=0)
    user = rng.choice(10**9, N, replace=False) + 5  # the index's own ids, not positions
    index.add(x, masks, ids=user, num_threads=1)
    gone = user[rng.choice(N, 300, replace=False)]
    index.remove(gone)
    live = dict(zip(map(int, user), range(N)))
    for i in gone:
        del live[int(i)]
    m = len(queries)

    def some(count):  # live ids, a removed one, one never held, and a repeat
        picked = rng.choice(sorted(live), count, replace=False)
        return np.concatenate([picked, gone[:1], [3], picked[:1]])

    shared_allow, shared_deny = some(400), some(900)
    per_row = [some(int(rng.integers(1, 60))) for _ in range(m)]
    kwargs, allowed, denied = {
        "allow": (dict(ids=shared_allow), [shared_allow] * m, [[]] * m),
        "deny": (dict(exclude_ids=shared_deny), [None] * m, [shared_deny] * m),
        "both": (dict(ids=shared_allow, exclude_ids=shared_allow[::3]), [shared_allow] * m, [shared_allow[::3]] * m),
        "rows": (dict(ids=np.stack([r[:1] for r in per_row] * 1)[:, [0, 0]]), [r[:1] for r in per_row], [[]] * m),
        "ragged": (dict(ids=per_row, exclude_ids=shared_allow, filter_mask=16), per_row, [shared_allow] * m),
    }[case]
    mask = kwargs.get("filter_mask", 0)
    every_ids, every_d = index.exact_search(queries, len(index))
    truth = index.exact_search(queries, 10, **kwargs)
    plan = index.explain(10, queries=m, **kwargs)
    admitted = []
    for r in range(m):
        ok = np.array([(allowed[r] is None or i in set(map(int, allowed[r]))) and i not in set(map(int, denied[r]))
                       and (int(masks[live[int(i)]]) & mask) == mask for i in every_ids[r]])
        admitted.append(set(every_ids[r][ok]))
        np.testing.assert_array_equal(truth[0][r][truth[0][r] >= 0], every_ids[r][ok][:10])
        np.testing.assert_array_equal(truth[1][r][truth[0][r] >= 0], every_d[r][ok][:10])
        assert (plan["passing"][r] if isinstance(plan["passing"], list) else plan["passing"]) == ok.sum()
    for strategy in ("scan", "auto"):
        for a, b in zip(index.filtered_search(queries, 10, strategy=strategy, **kwargs), truth):
            np.testing.assert_array_equal(a, b)
    # The walks return only what the lists admit, and the filtered walk nearly all of the exact answer.
    found = index.filtered_search(queries, 10, strategy="graph", **kwargs)[0]
    walked = index.search(queries, 10, ef=200, strategy="graph", **kwargs)[0]
    for r in range(m):
        assert set(found[r][found[r] >= 0]) | set(walked[r][walked[r] >= 0]) <= admitted[r]
    hits = sum(len(set(f[f >= 0]) & set(t[t >= 0])) for f, t in zip(found, truth[0]))
    assert hits >= 0.9 * (truth[0] >= 0).sum()


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(ids=[1, -2]), ValueError, "ids must be non-negative: id -2"),
    (dict(exclude_ids=[[1], [2]]), ValueError, r"exclude_ids must hold one list per query \(25\), got 2"),
    (dict(ids=[0.5]), TypeError, "ids must hold integers"),
    (dict(ids=np.zeros((2, 2, 2), int)), ValueError, "ids must be a list of ids"),
])
def test_bad_id_lists_are_refused_before_anything_runs(clustered, kwargs, error, message):
    x, masks, queries = clustered
    index = quellix.Index(D, "cosine", M=8, seed=0)
    index.add(x[:100], num_threads=1)
    for call in (index.search, index.filtered_search, index.exact_search):
        with pytest.raises(error, match=message):
            call(queries, 5, **kwargs)
