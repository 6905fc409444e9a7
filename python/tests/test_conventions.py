"""SciPy's Rotation interface on Transformation, checked against SciPy itself.

The default run uses a few thousand rotations per convention; ZEM_LONG_TESTS=1
also runs the full acceptance sets (a million random rotations and ten
thousand next to the gimbal lock in each of the 24 conventions)."""
import os
import pathlib
import re
import warnings

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import zemtrafo as zt

T = zt.Transformation
SEQUENCES = ["xyz", "xzy", "yxz", "yzx", "zxy", "zyx", "xyx", "xzx", "yxy", "yzy", "zxz", "zyz"]
CONVENTIONS = SEQUENCES + [s.upper() for s in SEQUENCES]
LONG = os.environ.get("ZEM_LONG_TESTS") == "1"
README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def proper(seq):
    return seq[0].lower() == seq[2].lower()


def lock_distance(seq, middle):
    """Distance of the middle angle from its gimbal-lock limits."""
    if proper(seq):
        return np.minimum(np.abs(middle), np.abs(np.pi - middle))
    return np.pi / 2 - np.abs(middle)


def wrapped(a):
    return (a + np.pi) % (2 * np.pi) - np.pi


def near_lock_angles(seq, n, rng):
    """Angles whose middle one lies at its limit, within 1e-9 of it, or 1e-12 to 1e-6 rad from it."""
    angles = rng.uniform(-np.pi, np.pi, (n, 3))
    limits = np.where(rng.random(n) < 0.5, 0.0, np.pi) if proper(seq) else rng.choice([-np.pi / 2, np.pi / 2], n)
    offset = 10.0 ** rng.uniform(-12, -6, n)
    offset[: n // 4] = 0.0
    offset[n // 4: n // 2] = rng.uniform(0, 1e-9, n // 2 - n // 4)
    angles[:, 1] = limits - np.sign(limits) * offset if not proper(seq) else np.where(limits > 0, limits - offset,
                                                                                       limits + offset)
    return angles, offset


def check_convention(seq, random_count, lock_count, seed):
    rng = np.random.default_rng(seed)
    # from_euler equals SciPy's matrix.
    angles = rng.uniform(-np.pi, np.pi, (random_count, 3))
    np.testing.assert_allclose(zt.matrices_from_euler(seq, angles), Rotation.from_euler(seq, angles).as_matrix(),
                               rtol=0, atol=1e-12)
    # as_euler of random rotations rebuilds them and equals SciPy's angles
    # wherever those are well defined (away from the lock, where both are exact).
    rotations = Rotation.random(random_count, random_state=seed)
    matrices = rotations.as_matrix()
    ours, locked = zt.euler_from_matrices(seq, matrices)
    assert not locked.any()
    np.testing.assert_allclose(Rotation.from_euler(seq, ours).as_matrix(), matrices, rtol=0, atol=1e-12)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        theirs = rotations.as_euler(seq)
    unique = lock_distance(seq, ours[:, 1]) > 1e-4
    np.testing.assert_allclose(wrapped(ours[unique] - theirs[unique]), 0.0, rtol=0, atol=1e-10)
    # Next to the lock: rebuilt to rounding, flagged exactly at it.
    angles, offset = near_lock_angles(seq, lock_count, rng)
    for matrices in (Rotation.from_euler(seq, angles).as_matrix(), zt.matrices_from_euler(seq, angles)):
        ours, locked = zt.euler_from_matrices(seq, matrices)
        np.testing.assert_allclose(zt.matrices_from_euler(seq, ours), matrices, rtol=0, atol=1e-12)
        np.testing.assert_array_equal(locked, offset == 0.0)
        assert (ours[locked, 2] == 0.0).all()


@pytest.mark.parametrize("seq", CONVENTIONS)
def test_euler_conventions_against_scipy(seq):
    check_convention(seq, 2000, 400, CONVENTIONS.index(seq))


@pytest.mark.skipif(not LONG, reason="the full acceptance sets run with ZEM_LONG_TESTS=1")
@pytest.mark.parametrize("seq", CONVENTIONS)
def test_euler_conventions_against_scipy_full_sets(seq):
    for chunk in range(10):
        check_convention(seq, 100_000, 1_000, 100 * CONVENTIONS.index(seq) + chunk)


def test_rotation_vectors_against_scipy_near_zero_and_half_turn():
    rng = np.random.default_rng(7)
    axes = rng.normal(size=(6000, 3))
    axes /= np.linalg.norm(axes, axis=1)[:, None]
    angle = np.concatenate([rng.uniform(0, np.pi, 1000), 10.0 ** rng.uniform(-300, -12, 1000),
                            rng.uniform(0, 1e-12, 1000), np.pi - rng.uniform(0, 1e-12, 1000),
                            np.pi - 10.0 ** rng.uniform(-12, -6, 1000), np.full(1000, np.pi)])
    rotvec = axes * angle[:, None]
    matrices = zt.matrices_from_rotvec(rotvec)
    np.testing.assert_allclose(matrices, Rotation.from_rotvec(rotvec).as_matrix(), rtol=0, atol=1e-12)
    np.testing.assert_allclose(zt.rotvec_from_matrices(matrices), Rotation.from_matrix(matrices).as_rotvec(),
                               rtol=0, atol=1e-12)
    back = zt.rotvec_from_matrices(matrices)
    flip = np.sum(back * rotvec, axis=1) < 0  # at a half turn v and -v are the same rotation
    back[flip] *= -1
    np.testing.assert_allclose(back, rotvec, rtol=0, atol=1e-12)


def test_single_rotations_take_and_give_what_scipy_does():
    quarter = T.from_euler("z", 90, degrees=True)
    assert isinstance(quarter, T)
    np.testing.assert_allclose(quarter.apply([1, 0, 0]), [0, 1, 0], atol=1e-15)  # right-hand: +X onto +Y
    np.testing.assert_allclose(quarter.apply([0, 1, 0], inverse=True), [1, 0, 0], atol=1e-15)
    angles = np.array([[10.0, -20.0, 30.0], [1.0, 2.0, 3.0]])
    stack = T.from_euler("ZYX", angles, degrees=True)
    assert isinstance(stack, list) and len(stack) == 2
    for t, a in zip(stack, angles):
        r = Rotation.from_euler("ZYX", a, degrees=True)
        np.testing.assert_allclose(t.as_euler("ZYX", degrees=True), r.as_euler("ZYX", degrees=True), atol=1e-12)
        np.testing.assert_allclose(t.as_matrix(), r.as_matrix(), atol=1e-15)
        np.testing.assert_allclose(t.as_rotvec(degrees=True), r.as_rotvec(degrees=True), atol=1e-12)
        np.testing.assert_allclose(t.as_quat(), Rotation.from_matrix(r.as_matrix()).as_quat(), atol=1e-15)
        q = r.as_quat() * (1 if r.as_quat()[3] >= 0 else -1)
        np.testing.assert_allclose(t.as_quat(canonical=True), q, atol=1e-15)
        np.testing.assert_allclose(T.from_quat(3 * r.as_quat()).as_matrix(), r.as_matrix(), atol=1e-15)
        np.testing.assert_allclose(T.from_rotvec(r.as_rotvec()).as_matrix(), r.as_matrix(), atol=1e-15)
        np.testing.assert_allclose(t.inv().apply([[1, 2, 3]]), r.inv().apply([[1, 2, 3]]), atol=1e-14)
    np.testing.assert_allclose(T.from_euler("xy", [0.3, 0.4]).as_matrix(),
                               Rotation.from_euler("xy", [0.3, 0.4]).as_matrix(), atol=1e-15)
    assert len(T.from_euler("x", [0.1, 0.2, 0.3])) == 3
    assert T.from_euler("xyz", [[0.1, 0.2, 0.3]])[0].as_euler("xyz").shape == (3,)
    # A scaled, shifted transformation: its rotation block alone.
    moved = T((5, 6, 7), (0.1, 0.2, 0.3), 2.0, zt.Order.XYZ)
    np.testing.assert_allclose(T.from_euler("xyz", moved.as_euler("xyz")).as_matrix(), moved.matrix[:3, :3],
                               atol=1e-15)


def test_gimbal_lock_warns_as_scipy_and_bad_input_is_refused():
    locked = T.from_euler("XYZ", [0.3, np.pi / 2, 0.2])
    with pytest.warns(UserWarning, match="Gimbal lock detected"):
        angles = locked.as_euler("XYZ")
    assert angles[2] == 0.0 and angles[1] == np.pi / 2
    np.testing.assert_allclose(angles[0], 0.5, atol=1e-15)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        T.from_euler("XYZ", [0.3, np.pi / 2 - 1e-12, 0.2]).as_euler("XYZ")
    for seq in ["xyzx", "", "xYz", "xxy", "abc"]:
        with pytest.raises(ValueError):
            T.from_euler(seq, [0.1] * max(1, min(3, len(seq))))
    with pytest.raises(ValueError, match="Expected 3 axes"):
        locked.as_euler("xy")
    with pytest.raises(ValueError):
        T.from_euler("xyz", [0.1, 0.2])
    with pytest.raises(ValueError, match="zero norm"):
        T.from_quat([0, 0, 0, 0])
    with pytest.raises(ValueError, match="non-finite"):
        T.from_quat([[0, 0, 0, 1], [0, np.nan, 0, 1]])
    with pytest.raises(ValueError, match="determinant"):
        T.from_matrix(np.diag([1.0, 1.0, -1.0]))
    with pytest.raises(ValueError):
        T.from_matrix(np.eye(4))
    noisy = Rotation.random(random_state=3).as_matrix() + 1e-4
    np.testing.assert_allclose(T.from_matrix(noisy).as_matrix(), Rotation.from_matrix(noisy).as_matrix(), atol=1e-14)


def test_readme_table_of_the_six_orders_holds():
    # Rows like: | `ORDER_XYZ` | `Order.XYZ` | "xyz" with (-x, -y, -z) | "ZYX" with (-z, -y, -x) |
    rows = re.findall(r'\| `ORDER_(\w{3})` \| `Order\.\w{3}` \| "(\w{3})" with \(([^)]*)\) \| "(\w{3})" with \(([^)]*)\) \|',
                      README.read_text(encoding="utf-8"))
    assert sorted(r[0] for r in rows) == ["XYZ", "XZY", "YXZ", "YZX", "ZXY", "ZYX"]
    rng = np.random.default_rng(2)
    for order, seq1, args1, seq2, args2 in rows:
        for xyz in rng.uniform(-np.pi, np.pi, (200, 3)):
            ours = T(angles=xyz, order=zt.Order.__members__[order]).matrix[:3, :3]
            for seq, args in ((seq1, args1), (seq2, args2)):
                values = [-xyz["xyz".index(term.strip()[-1])] for term in args.replace("\u2212", "-").split(",")]
                assert all(term.strip().startswith(("-", "\u2212")) for term in args.split(","))
                np.testing.assert_allclose(Rotation.from_euler(seq, values).as_matrix(), ours, rtol=0, atol=1e-12,
                                           err_msg=f"ORDER_{order} against {seq} {args}")
