"""fit(): against an independent SVD solution, pairing, weights and failures."""
import pickle

import numpy as np
import pytest

import zemtrafo as zt
from thread_counts import assert_same_bits_in_one_thread_as_in_four


def umeyama(src, dst, with_scale, w=None):
    """Least-squares s, R, t with dst ~ s R src + t (Umeyama 1991), by SVD;
    w: one weight a pair, all 1 if not given."""
    w = np.ones(len(src)) if w is None else w
    mu_s, mu_d = w @ src / w.sum(), w @ dst / w.sum()
    a, b = src - mu_s, dst - mu_d
    u, sigma, vt = np.linalg.svd((w[:, None] * b).T @ a)
    d = np.diag([1.0, 1.0, np.sign(np.linalg.det(u @ vt))])
    r = u @ d @ vt
    s = np.trace(np.diag(sigma) @ d) / (w @ (a * a).sum(axis=1)) if with_scale else 1.0
    return s, r, mu_d - s * r @ mu_s


def noisy_problem(seed, n=60, scale=1.0):
    rng = np.random.default_rng(seed)
    truth = zt.Transformation(rng.uniform(-500, 500, 3), rng.uniform(-3, 3, 3), scale)
    src = rng.uniform(0, 100, (n, 3))
    return src, truth.transform_points(src) + rng.normal(0, 0.01, (n, 3))


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("with_scale", [False, True])
def test_fit_agrees_with_svd_solution(seed, with_scale):
    src, dst = noisy_problem(seed, scale=1.7 if with_scale else 1.0)
    result = zt.fit(src, dst, scale=with_scale)
    s, r, t = umeyama(src, dst, with_scale)
    fitted = result.transformation
    np.testing.assert_allclose(fitted.matrix[:3, :3], r, atol=1e-9)
    assert fitted.scale == pytest.approx(s, rel=1e-10)
    np.testing.assert_allclose(fitted.transform_points(src), src @ (s * r).T + t, atol=1e-8)
    # The residuals are exactly transform_points(source) - target.
    np.testing.assert_array_equal(result.residuals, fitted.transform_points(src) - dst)
    np.testing.assert_allclose(result.distances, np.linalg.norm(result.residuals, axis=1), rtol=1e-15)
    assert result.mean_residual == pytest.approx(result.distances.mean(), rel=1e-12)
    assert result.rms_residual == pytest.approx(np.sqrt(np.mean(result.distances ** 2)), rel=1e-12)
    assert result.max_residual == result.distances.max()
    assert result.pair_count == len(src) and result.mean_residual < 0.03
    assert not result.residuals.flags.writeable


def test_pairing_by_identifier_equals_pairing_by_row():
    src, dst = noisy_problem(7, n=40)
    rng = np.random.default_rng(7)
    ids = rng.permutation(1000)[:40]
    order = rng.permutation(40)
    # Unpaired extras on both sides and a point without identifier (-1).
    target = np.vstack([dst[order], [[1e6, 0, 0]]])
    target_ids = np.append(ids[order], 5000)
    source = np.vstack([src, [[0, 1e6, 0]], [[0, 0, 1e6]]])
    source_ids = np.append(ids, [6000, -1]).astype(np.int16)
    by_id = zt.fit(source, target, source_ids, target_ids)
    by_row = zt.fit(src, dst)
    np.testing.assert_array_equal(by_id.transformation.matrix, by_row.transformation.matrix)
    np.testing.assert_array_equal(by_id.source_indices, np.arange(40))
    np.testing.assert_array_equal(target_ids[by_id.target_indices], ids)
    np.testing.assert_array_equal(by_id.residuals, by_row.residuals)


SRC, DST = noisy_problem(11, n=10)


@pytest.mark.parametrize("call, error, text", [
    (lambda: zt.fit(SRC[:2], DST[:2]), zt.FitError, "at least three"),
    (lambda: zt.fit(SRC, DST, np.arange(10), np.arange(8, 18)), zt.FitError, "got 2"),
    (lambda: zt.fit(np.outer(np.arange(10.0), [1, 2, 3]), DST), zt.FitError, "one line"),
    (lambda: zt.fit(SRC, DST[:9]), ValueError, "same number of rows"),
    (lambda: zt.fit(SRC, DST, source_ids=np.arange(10)), ValueError, "both"),
    (lambda: zt.fit(SRC, DST, np.zeros(10, int), np.arange(10)), ValueError, "more than once"),
    (lambda: zt.fit(SRC, DST, np.arange(10.0), np.arange(10)), TypeError, "integers"),
    (lambda: zt.fit(np.where(np.arange(30).reshape(10, 3) == 13, np.nan, SRC), DST), ValueError, "row 4"),
    (lambda: zt.fit(SRC, DST, weights=-np.ones(10)), ValueError, "negative"),
    (lambda: zt.fit(SRC, DST, weights=np.ones(9)), ValueError, "shape"),
    (lambda: zt.fit(SRC, DST, weights=np.tile(np.diag([1.0, 1.0, 0.0]), (10, 1, 1))), zt.FitError, "one line"),
    (lambda: zt.fit(SRC, DST, scale=1.7), TypeError, ""),
])
def test_failures(call, error, text):
    with pytest.raises(error, match=text):
        call()


def _rotation(v):
    """exp([v]x) by Rodrigues' formula."""
    angle = np.linalg.norm(v)
    if angle == 0.0:
        return np.eye(3)
    k = np.cross(np.eye(3), v / angle)
    return np.eye(3) + np.sin(angle) * k + (1 - np.cos(angle)) * k @ k


def _weight_matrices(kind, rng, n):
    if kind == "per-axis":
        return rng.uniform(0.05, 4.0, (n, 3))
    if kind == "matrices":
        m = rng.normal(size=(n, 3, 3))
        return m @ m.transpose(0, 2, 1)
    normals = rng.normal(size=(n, 3))  # deviation along surface normals only
    normals /= np.linalg.norm(normals, axis=1)[:, None]
    return rng.uniform(0.5, 2.0, n)[:, None, None] * normals[:, :, None] * normals[:, None, :]


def _as_matrices(w):
    return w if w.ndim == 3 else np.einsum("ij,jk->ijk", w, np.eye(3))


def _lowest_of_starts(model, starts, dst, w):
    """The lowest sum of r^T W r (r = model(params) - dst) that SciPy's
    least_squares reaches from the starts; W = L L^T, made definite by 1e-12."""
    from scipy.optimize import least_squares

    roots = np.linalg.cholesky(w + 1e-12 * np.eye(3))
    best = np.inf
    for x0 in starts:
        sol = least_squares(lambda p: np.einsum("nji,nj->ni", roots, model(p) - dst).ravel(), x0,
                            xtol=1e-15, ftol=1e-15, gtol=1e-15, method="lm")
        q = model(sol.x) - dst
        best = min(best, np.einsum("ni,nij,nj->", q, w, q))
    return best


@pytest.mark.parametrize("kind", ["per-axis", "matrices", "normals"])
@pytest.mark.parametrize("with_scale", [False, True])
@pytest.mark.parametrize("seed", range(3))
def test_weighted_fit_is_the_optimum_of_an_independent_solver(kind, with_scale, seed):
    """Against SciPy's least_squares from many starts: the weighted sum of squares
    is the best found to 1e-12 relative, and its gradient vanishes."""
    rng = np.random.default_rng([seed, int(with_scale), len(kind)])
    n = 40
    src = rng.uniform(-100, 100, (n, 3))
    truth = zt.Transformation(rng.uniform(-50, 50, 3), rng.uniform(-3, 3, 3), 1.3 if with_scale else 1.0)
    dst = truth.transform_points(src) + rng.normal(0, 0.5, (n, 3))
    dst[:3] += rng.normal(0, 30, (3, 3))  # gross errors: large residuals at the optimum
    weights = _weight_matrices(kind, rng, n)
    w = _as_matrices(weights)

    def model(params):  # (translation, rotation vector, scale if fitted)
        return (params[6] if with_scale else 1.0) * src @ _rotation(params[3:6]).T + params[:3]

    starts = [np.concatenate([rng.uniform(-50, 50, 3), rng.uniform(-2, 2, 3), [1.0] if with_scale else []])
              for _ in range(12)]
    best = _lowest_of_starts(model, starts, dst, w)
    fitted = zt.fit(src, dst, weights=weights, scale=with_scale).transformation
    r = fitted.transform_points(src) - dst
    ssq = np.einsum("ni,nij,nj->", r, w, r)
    assert ssq <= best * (1 + 1e-12)
    assert ssq >= best * (1 - 1e-6)  # the independent solver found the same minimum
    # Gradient by the translation vanishes to rounding: sum of W r.
    wr = np.einsum("nij,nj->ni", w, r)
    assert np.linalg.norm(wr.sum(axis=0)) <= 1e-9 * np.einsum("nij,nj->", np.abs(w), np.abs(r))
    # No Newton step in all the free parameters promises a decrease beyond
    # rounding. Moving q_i = a_i + t (a_i = s·R·p_i) by a shift, a turn w of
    # the destination and a relative change of scale gives the Jacobian
    # [I, -[a_i]x, a_i]; the predicted decrease is g^T H^-1 g / 2 with the
    # gradient g = 2 sum J^T W r and H = 2 sum J^T W J.
    lever = fitted.transform_points(src) - fitted.transform_points(np.zeros_like(src))
    cross = np.zeros((n, 3, 3))
    cross[:, 0, 1], cross[:, 0, 2], cross[:, 1, 2] = -lever[:, 2], lever[:, 1], -lever[:, 0]
    cross -= cross.transpose(0, 2, 1)
    jacobian = np.concatenate([np.broadcast_to(np.eye(3), (n, 3, 3)), -cross, lever[:, :, None]], axis=2)
    jacobian = jacobian if with_scale else jacobian[:, :, :6]
    gradient = 2 * np.einsum("nji,nj->i", jacobian, wr)
    hessian = 2 * np.einsum("nji,njk,nkl->il", jacobian, w, jacobian)
    assert gradient @ np.linalg.solve(hessian, gradient) / 2 <= 1e-12 * ssq


@pytest.mark.parametrize("kind, freedoms, seed", [
    pytest.param("per-axis", {}, 0, id="per-axis, free"),
    pytest.param("normals", {}, 0, id="normals, free"),
    pytest.param("per-axis", {"rotation": "z"}, 4, id="per-axis, turn about z only"),
    pytest.param("per-axis", {"translation": "xy"}, 0, id="per-axis, z shift held"),
    pytest.param("per-axis", {"translation": "xy"}, 11, id="per-axis, z shift held, slow to converge")])
def test_weights_that_differ_between_axes_reach_the_global_optimum(kind, freedoms, seed):
    """Few pairs whose axes weigh 0, 0.01, 1 or 100 (or only along normals),
    with noise and a gross error, the fit free or with held freedoms: F has
    several minima, and the fit must give the lowest that SciPy's
    least_squares finds from many starts."""
    rng = np.random.default_rng(seed)
    turn_about_z, z_held = freedoms.get("rotation") == "z", freedoms.get("translation") == "xy"

    def model(params):  # (translation, rotation vector) without the held components
        t = np.concatenate([params[:2], [0.0 if z_held else params[2]]])
        turn = np.array([0.0, 0.0, params[-1]]) if turn_about_z else params[-3:]
        return src @ _rotation(turn).T + t

    for problem in range(20):
        n = int(rng.integers(6, 12))
        src = rng.uniform(-50, 50, (n, 3))
        turn = rng.uniform(-3, 3, 3) * ([0, 0, 1] if turn_about_z else 1)
        shift = rng.uniform(-50, 50, 3) * ([1, 1, 0] if z_held else 1)
        dst = src @ _rotation(turn).T + shift + rng.normal(0, 0.1, (n, 3))
        dst[0] += rng.normal(0, 20, 3)
        if kind == "per-axis":
            weights = rng.choice([0.0, 0.01, 1.0, 100.0], (n, 3))
        else:
            normals = rng.normal(size=(n, 3))
            normals /= np.linalg.norm(normals, axis=1)[:, None]
            weights = rng.choice([0.01, 1.0, 100.0], n)[:, None, None] * normals[:, :, None] * normals[:, None, :]
        w = _as_matrices(weights)
        try:
            fitted = zt.fit(src, dst, weights=weights, **freedoms).transformation
        except zt.FitError:
            continue  # the weights leave a freedom: no optimum to compare
        r = fitted.transform_points(src) - dst
        ssq = np.einsum("ni,nij,nj->", r, w, r)
        starts = [np.concatenate([rng.uniform(-50, 50, 2 if z_held else 3),
                                  rng.uniform(-3, 3, 1 if turn_about_z else 3)]) for _ in range(10)]
        best = _lowest_of_starts(model, starts, dst, w)
        assert ssq <= best * (1 + 1e-9) + 1e-12 * np.einsum("ni,nij,nj->", dst, w, dst), f"problem {problem}"


@pytest.mark.parametrize("with_scale", [False, True])
def test_isotropic_weights_give_the_weighted_svd_solution(with_scale):
    """The same weights per pair, per coordinate or as matrices; integers,
    and a zero weight that takes a gross error out of the fit."""
    src, dst = noisy_problem(11, n=50, scale=1.4 if with_scale else 1.0)
    dst[5] += 40.0  # weighed like any other pair
    dst[6] -= 50.0  # weighed 0
    w = np.random.default_rng(11).integers(1, 6, 50)
    w[6] = 0
    s, r, t = umeyama(src, dst, with_scale, w)
    expected = src @ (s * r).T + t
    for weights in (w, np.repeat(w[:, None], 3, axis=1), w[:, None, None] * np.eye(3)):
        fitted = zt.fit(src, dst, weights=weights, scale=with_scale).transformation
        np.testing.assert_allclose(fitted.transform_points(src), expected, atol=1e-9 * 500)


@pytest.mark.parametrize("kind", ["per axis", "matrices"])
def test_thin_bars_with_weights_per_pair_give_exact_data_back(kind):
    """A bar 1,000 mm long and 0.1 um thick: the moments cannot tell its roll
    about its axis. With weights that differ per pair and axis the fit used to
    stop short of the motion, or settle half a turn from it about the bar."""
    along, across1, across2 = np.array([1, 2, 2]) / 3, np.array([2, 1, -2]) / 3, np.array([2, -2, 1]) / 3
    for seed in range(120):
        rng = np.random.default_rng(seed)
        u = rng.uniform(-0.5, 0.5, (10, 3))
        src = np.outer(1000 * u[:, 0], along) + (np.outer(u[:, 1], across1) + np.outer(u[:, 2], across2)) * 1e-4
        truth = zt.Transformation(rng.uniform(-1e3, 1e3, 3), rng.uniform(-3, 3, 3))
        if kind == "per axis":
            weights = rng.uniform(0.5, 2, (10, 3))
        else:
            a = rng.normal(size=(10, 3, 3))
            weights = a @ a.transpose(0, 2, 1) + 0.1 * np.eye(3)
        dst = truth.transform_points(src)
        fitted = zt.fit(src, dst, weights=weights).transformation
        np.testing.assert_allclose(fitted.transform_points(src), dst, rtol=0, atol=1e-9, err_msg=f"seed {seed}")


def test_bad_units_and_factors_still_fit():
    rng = np.random.default_rng(3)
    p = rng.uniform(0, 100, (30, 3))
    fitted = zt.fit(p, 25.4 * p)  # rigid: the best rigid motion of a grown copy
    s, r, t = umeyama(p, 25.4 * p, False)
    np.testing.assert_allclose(fitted.transformation.transform_points(p), p @ r.T + t, atol=1e-9 * 2540)


def fitted_pair():
    rng = np.random.default_rng(21)
    source = rng.normal(0, 100, (12, 3))
    motion = zt.Transformation((5.0, -3.0, 2.0), (0.1, 0.2, -0.3))
    return source, motion.transform_points(source) + rng.normal(0, 0.01, (12, 3))


def test_result_hands_out_a_copy_of_its_transformation_and_stays_as_fitted():
    source, target = fitted_pair()
    result = zt.fit(source, target)
    fitted = result.transformation.matrix
    result.transformation.append(zt.Transformation((100.0, 0.0, 0.0)))
    np.testing.assert_array_equal(result.transformation.matrix, fitted)
    with pytest.raises(AttributeError):
        result.mean_residual = 0.0


def test_result_pickles_with_every_figure():
    source, target = fitted_pair()
    order = np.arange(12)[::-1]
    result = zt.fit(source, target[order], np.arange(12), order)
    copy = pickle.loads(pickle.dumps(result))
    assert copy.transformation == result.transformation
    for name in ("pair_count", "mean_residual", "rms_residual", "max_residual", "scale_estimated"):
        assert getattr(copy, name) == getattr(result, name), name
    for name in ("residuals", "distances", "source_indices", "target_indices"):
        np.testing.assert_array_equal(getattr(copy, name), getattr(result, name), err_msg=name)


@pytest.mark.parametrize("bad", [2**64 - 1, 2**31, -2**31 - 1], ids=["2**64-1", "2**31", "-2**31-1"])
def test_identifiers_beyond_32_bits_are_refused(bad):
    source, target = fitted_pair()
    ids = np.arange(12, dtype=np.uint64 if bad > 0 else np.int64)
    ids[3] = bad
    with pytest.raises(ValueError, match="32-bit"):
        zt.fit(source, target, ids, np.arange(12))


def test_fit_docstring_states_the_objective():
    assert "w * r**2" in zt.fit.__doc__
    assert "mean_residual is the mean over the pairs of |w * r|" in zt.fit.__doc__.replace("\n", " ")


def _largest_pause(call):
    """Runs call() in a thread while this one keeps stamping the time; returns
    the longest stretch of the call in which this thread got no Python code
    run, as a fraction of the call's time."""
    import threading
    import time

    span = {}

    def worker():
        span["start"] = time.perf_counter()
        call()
        span["end"] = time.perf_counter()

    thread = threading.Thread(target=worker)
    stamps = []
    thread.start()
    while thread.is_alive():
        stamps.append(time.perf_counter())
    thread.join()
    inside = [t for t in stamps if span["start"] <= t <= span["end"]]
    return np.diff([span["start"], *inside, span["end"]]).max() / (span["end"] - span["start"])


@pytest.mark.parametrize("by_id", [False, True], ids=["by position, weighted", "by identifier"])
def test_a_large_fit_lets_other_threads_run(by_id):
    """The fit releases the GIL: while a fit of a million pairs is inside the
    library, another thread keeps running (a call that held it would stop
    that thread for nearly all of its time; this one pauses it a few percent)."""
    rng = np.random.default_rng(3)
    src = rng.uniform(-100, 100, (1_000_000, 3))
    dst = src + (1, 2, 3)
    if by_id:
        ids = np.arange(len(src))
        kwargs = {"source_ids": ids, "target_ids": ids[::-1].copy()}
        dst = dst[::-1].copy()
    else:
        kwargs = {"weights": rng.uniform(0.5, 2.0, (len(src), 3))}
    assert _largest_pause(lambda: zt.fit(src, dst, **kwargs)) < 0.5


# Sets of more than 131,072 pairs are summed in fixed chunks spread over the
# cores: the fit must not depend on how many threads there are.
_FITS_IN_A_PROCESS = """
import sys, numpy as np, zemtrafo as zt
src, dst, w3, ids, order = (np.load(sys.argv[1])[k] for k in ("src", "dst", "w3", "ids", "order"))
normals = np.einsum("ni,nj->nij", w3, w3)  # weights along one direction per pair
fits = [zt.fit(src, dst), zt.fit(src, dst, scale=True, weights=w3), zt.fit(src, dst, weights=normals + np.eye(3)),
        zt.fit(src, dst[order], ids, ids[order])]
np.save(sys.argv[2], np.concatenate([np.r_[f.transformation.matrix.ravel(), f.mean_residual, f.residuals.ravel()]
                                     for f in fits]))
"""


def test_large_fits_give_the_same_bits_in_one_thread_as_in_four(tmp_path):
    n = 300_001  # five chunks, the last one partial
    src, dst = noisy_problem(21, n=n)
    rng = np.random.default_rng(21)
    data = {"src": src, "dst": dst, "w3": rng.uniform(0.5, 2.0, (n, 3)), "ids": rng.permutation(2 * n)[:n],
            "order": rng.permutation(n)}
    assert_same_bits_in_one_thread_as_in_four(_FITS_IN_A_PROCESS, data, tmp_path)
