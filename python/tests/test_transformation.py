"""Transformation: conventions against SciPy, composition, and the array interface."""
import pickle
import tracemalloc

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import zemtrafo as zt

ORDERS = list(zt.Order.__members__.values())


def scipy_rotation(order, angles):
    """Our rotation for `order` from SciPy. Our elementary rotations are the
    transposes of SciPy's (active) ones and our first letter acts first:
    R = M_c M_b M_a = (A_a A_b A_c)^T for order "abc", and A_a A_b A_c is
    SciPy's intrinsic sequence "ABC" with the angles about a, b, c."""
    about = [angles["XYZ".index(axis)] for axis in order.name]
    return Rotation.from_euler(order.name, about).as_matrix().T


@pytest.mark.parametrize("order", ORDERS, ids=lambda o: o.name)
def test_angles_round_trip_against_scipy_in_every_order(order):
    rng = np.random.default_rng(5 + int(order))
    middle = "XYZ".index(order.name[1])
    for _ in range(300):
        angles = rng.uniform(-np.pi, np.pi, 3)
        angles[middle] /= 2  # principal range of the middle angle: (-pi/2, pi/2)
        t = zt.Transformation((1.0, -2.0, 3.0), angles, 1.5, order)
        np.testing.assert_allclose(t.matrix[:3, :3], scipy_rotation(order, angles), atol=1e-12)
        np.testing.assert_allclose(t.angles(order), angles, atol=1e-9)
    # Gimbal lock: the angles differ, the rotation is rebuilt.
    angles = np.array([0.3, 0.2, -0.4])
    angles[middle] = np.pi / 2
    t = zt.Transformation(angles=angles, order=order)
    back = zt.Transformation(angles=t.angles(order), order=order)
    np.testing.assert_allclose(back.matrix, t.matrix, atol=1e-12)


def test_conventions():
    quarter = np.pi / 2
    turn_z = zt.Transformation(angles=(0, 0, quarter))
    np.testing.assert_allclose(turn_z.transform_points([0, 1, 0]), [1, 0, 0], atol=1e-15)
    turn_x = zt.Transformation(angles=(quarter, 0, 0))
    np.testing.assert_allclose(turn_x.transform_points([0, 0, 1]), [0, 1, 0], atol=1e-15)
    scaled = zt.Transformation((1, 2, 3), (0, 0, 0), 2.0)
    assert scaled.matrix[3, 3] == 0.5
    assert scaled.scale == 2.0
    np.testing.assert_array_equal(scaled.translation, [1, 2, 3])
    np.testing.assert_array_equal(scaled.transform_points([0, 0, 0]), [2, 4, 6])
    np.testing.assert_array_equal(scaled.rotate_vectors([[1, 0, 0]]), [[1, 0, 0]])
    # Without an order the rotation is YXZ in closed form.
    angles = (0.3, -0.2, 0.5)
    np.testing.assert_allclose(zt.Transformation(angles=angles).matrix,
                               zt.Transformation(angles=angles, order=zt.Order.YXZ).matrix, atol=1e-15)
    np.testing.assert_allclose(zt.Transformation(angles=angles).angles(), angles, atol=1e-15)


def test_composition_inverse_and_lerp_are_the_matrix_operations():
    a = zt.Transformation((10, -5, 2), (0.1, 0.7, -1.2), 1.3, zt.Order.ZXY)
    b = zt.Transformation((-3, 4, 8), (-0.5, 0.2, 2.0), 0.8)
    both = zt.Transformation(matrix=a.matrix)
    both.append(b)  # a, then b
    np.testing.assert_allclose(both.matrix, b.matrix @ a.matrix, atol=1e-13)
    np.testing.assert_allclose((b @ a).matrix, both.matrix, atol=1e-13)
    p = np.array([[1.0, 2.0, 3.0], [-4.0, 0.5, 9.0]])
    np.testing.assert_allclose(both.transform_points(p), b.transform_points(a.transform_points(p)), atol=1e-12)
    first_b = zt.Transformation(matrix=a.matrix)
    first_b.prepend(b)  # b, then a
    np.testing.assert_allclose(first_b.matrix, a.matrix @ b.matrix, atol=1e-13)
    np.testing.assert_allclose((b @ b.inverse()).matrix, np.eye(4), atol=1e-15)
    np.testing.assert_array_equal(zt.Transformation.lerp(a, 0.25, b).matrix, 0.75 * a.matrix + 0.25 * b.matrix)


def test_transform_points_matches_numpy_for_every_dtype_and_layout():
    t = zt.Transformation((12.5, -3.0, 40.0), (0.1, -0.4, 2.0), 1.7)
    m = t.matrix
    rng = np.random.default_rng(1)
    points = rng.integers(-500, 500, (101, 3)).astype(np.float64)
    expected = (points @ m[:3, :3].T + m[:3, 3]) / m[3, 3]
    layouts = [points, points.astype(np.int32), points.astype(np.float32), points.astype(">f8"),
               points.tolist(), np.asfortranarray(points), np.ascontiguousarray(points.T).T]
    for given in layouts:
        np.testing.assert_allclose(t.transform_points(given), expected, rtol=1e-14, atol=1e-12)
    doubled = np.repeat(points, 2, axis=0)[::2]  # a strided view
    np.testing.assert_array_equal(t.transform_points(doubled), t.transform_points(points))
    assert t.transform_points(np.empty((0, 3))).shape == (0, 3)
    assert t.transform_points(points[0]).shape == (3,)


def test_out_receives_the_result_also_in_place_and_overlapping():
    t = zt.Transformation((1.0, -2.0, 0.5), (0.2, 0.3, -0.1), 1.25)
    points = np.random.default_rng(2).uniform(-9, 9, (50, 3))
    expected = t.transform_points(points)
    out = np.empty_like(points)
    assert t.transform_points(points, out=out) is out
    np.testing.assert_array_equal(out, expected)
    buffer = np.vstack([points, np.zeros((1, 3))])
    shifted = buffer[1:]  # each row written over the next row to be read
    t.transform_points(buffer[:-1], out=shifted)
    np.testing.assert_array_equal(shifted, expected)
    t.transform_points(points, out=points)
    np.testing.assert_array_equal(points, expected)
    read_only = np.empty_like(points)
    read_only.flags.writeable = False
    for bad, error in ((np.empty((50, 3), np.float32), TypeError), (np.empty((49, 3)), ValueError),
                       (np.empty((50, 3), order="F"), TypeError), (read_only, ValueError)):
        with pytest.raises(error):
            t.transform_points(points, out=bad)


@pytest.mark.parametrize("bad, error", [
    (np.zeros((5, 2)), ValueError), (np.zeros((5, 3, 1)), ValueError), (np.zeros(4), ValueError),
    (np.zeros((3, 5)), ValueError), ([[1, 2, 3], [4, 5]], ValueError),
    (np.array([["a", "b", "c"]]), TypeError), (np.zeros((2, 3), dtype=object), TypeError),
    (np.zeros((2, 3), dtype=complex), TypeError), (np.zeros((2, 3), dtype=bool), TypeError),
])
def test_bad_point_arrays_are_refused(bad, error):
    with pytest.raises(error):
        zt.Transformation().transform_points(bad)


def test_c_contiguous_float64_points_are_read_in_place():
    points = np.ones((200_000, 3))
    fortran = np.asfortranarray(points)
    t = zt.Transformation((1, 2, 3))
    for given, copies in ((points, 0), (fortran, 1)):
        tracemalloc.start()
        t.transform_points(given)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert (copies + 1) * points.nbytes <= peak < (copies + 1.5) * points.nbytes


REFUSED = {
    "zero scale": dict(scale=0.0), "nan scale": dict(scale=float("nan")),
    "denormal scale": dict(scale=1e-320), "negative denormal scale": dict(scale=-1e-320),
    "nan angle": dict(angles=(np.nan, 0, 0)), "inf angle": dict(angles=(0, np.inf, 0)),
    "inf translation": dict(translation=(np.inf, 0, 0)), "nan translation": dict(translation=(0, 0, np.nan)),
    "two translation components": dict(translation=(1, 2)), "3x3 matrix": dict(matrix=np.eye(3)),
    "m33 zero": dict(matrix=np.diag([1.0, 1.0, 1.0, 0.0])),
    "denormal 1/scale": dict(matrix=np.diag([1.0, 1.0, 1.0, 1e-320])),
    "projective row 3": dict(matrix=np.vstack([np.eye(4)[:3], [0.1, 0, 0, 1]])),
    "infinite matrix": dict(matrix=np.full((4, 4), np.inf)),
    "matrix and angles": dict(matrix=np.eye(4), angles=(0, 0, 1)),
}


@pytest.mark.parametrize("kwargs", list(REFUSED.values()), ids=list(REFUSED))
def test_constructor_refuses_what_is_no_finite_similarity(kwargs):
    with pytest.raises(ValueError):
        zt.Transformation(**kwargs)


def test_matrix_and_pickle_carry_every_bit():
    t = zt.Transformation((0.1, 1e-300, -7.25), (1.0, 2.0, 3.0), 1.0 / 3.0, zt.Order.ZYX)
    for copy in (zt.Transformation(t.matrix), pickle.loads(pickle.dumps(t))):
        assert copy.matrix.tobytes() == t.matrix.tobytes()


def scaled_affine(scale, angles, offset):
    """[[s R, t'], [0, 1]] as numpy and SciPy users hold a similarity."""
    a = np.eye(4)
    a[:3, :3] = scale * Rotation.from_euler("xyz", angles).as_matrix()
    a[:3, 3] = offset
    return a


def test_matrix_with_the_scale_in_the_block_is_split_into_the_stored_form():
    affine = scaled_affine(1.5, [0.3, -0.2, 1.1], [10.0, 20.0, 30.0])
    t = zt.Transformation(affine)
    assert t.scale == pytest.approx(1.5, rel=1e-15)
    np.testing.assert_allclose(t.matrix[3, 3], 1 / 1.5, rtol=1e-15)
    np.testing.assert_allclose(t.matrix[:3, :3], affine[:3, :3] / 1.5, atol=1e-15)
    np.testing.assert_allclose((t.inverse() @ t).matrix, np.eye(4), atol=1e-14)
    points = np.random.default_rng(3).normal(0, 100, (20, 3))
    expected = points @ affine[:3, :3].T + affine[:3, 3]
    np.testing.assert_allclose(t.transform_points(points), expected, atol=1e-12)
    np.testing.assert_allclose(t.affine_matrix, affine, atol=1e-14)
    np.testing.assert_array_equal(t.affine_matrix[3], [0, 0, 0, 1])


@pytest.mark.parametrize("block, m33", [
    pytest.param([[1, 0.1, 0], [0, 1, 0], [0, 0, 1]], 1.0, id="shear"),
    pytest.param(np.diag([1.0, 2.0, 1.0]), 1.0, id="stretch"),
    pytest.param(np.diag([1.0, 1.0, -1.0]), 1.0, id="reflection"),
    pytest.param(np.diag([-2.0, -2.0, -2.0]), 1.0, id="scaled reflection"),
    pytest.param(np.eye(3) + np.diag([1e-8, 0, 0]), 1.0, id="off by 1e-8"),
    pytest.param(2.0 * Rotation.from_euler("xyz", [0.1, 0.2, 0.3]).as_matrix(), 0.5, id="scale in the block and in m33"),
])
def test_matrix_that_is_no_scaled_rotation_is_refused(block, m33):
    m = np.eye(4)
    m[:3, :3] = block
    m[3, 3] = m33
    with pytest.raises(ValueError, match="not a multiple of a rotation"):
        zt.Transformation(m)


def test_equality_is_exact_and_isclose_takes_a_tolerance():
    a = zt.Transformation((1.0, 2.0, 3.0), (0.1, 0.2, 0.3), 1.5)
    same = zt.Transformation(a.matrix)
    shifted = a.matrix
    shifted[0, 3] += 1e-12  # translation x, 1 pm further
    moved = zt.Transformation(shifted)
    assert a == same
    assert not a != same
    assert a != moved
    assert a.isclose(moved, 1e-11)
    assert not a.isclose(moved, 1e-13)
    assert a != "not a transformation"
    with pytest.raises(ValueError):
        a.isclose(same, -1.0)


def test_failed_conversion_raises_memory_error():
    huge = np.broadcast_to(np.zeros(3), (2**44, 3))  # 384 TiB once made contiguous
    with pytest.raises(MemoryError):
        zt.Transformation().transform_points(huge)
