"""Quaternion, Affine, point files, and the stub against the module."""
import ast
import pathlib
import pickle

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import zemtrafo as zt


def test_quaternion_conventions():
    rng = np.random.default_rng(8)
    for order in zt.Order.__members__.values():
        angles = rng.uniform(-1.5, 1.5, 3)
        q = zt.Quaternion.from_angles(angles, order)
        block = zt.Transformation(angles=angles, order=order).matrix[:3, :3]
        np.testing.assert_allclose(q.transformation().matrix[:3, :3], block, atol=1e-14)
        # SciPy's quaternion is also (x, y, z, w); its matrix is our block transposed.
        np.testing.assert_allclose(Rotation.from_quat(q.as_array()).as_matrix(), block.T, atol=1e-14)
    p = zt.Quaternion.from_axis_angle((1, 2, 3), 0.7)
    q = zt.Quaternion.from_axis_angle((0, -1, 1), -1.2)
    # p * q: p acts first, then q.
    np.testing.assert_allclose((p * q).transformation().matrix, (q.transformation() @ p.transformation()).matrix,
                               atol=1e-14)
    v = rng.normal(size=(5, 3))
    np.testing.assert_allclose(p.rotate_vectors(v), p.transformation().rotate_vectors(v), atol=1e-14)
    assert zt.Quaternion.slerp(p, 0.0, q) == p and zt.Quaternion.slerp(p, 1.0, q) == q
    with pytest.raises(ZeroDivisionError):
        p / 0


def test_affine_maps_four_points_exactly():
    src = np.array([[0.0, 0.0], [10.0, 1.0], [11.0, 9.0], [-1.0, 12.0]])
    dst = np.array([[5.0, 5.0], [20.0, 4.0], [22.0, 30.0], [3.0, 25.0]])
    np.testing.assert_allclose(zt.Affine.from_points(src, dst).transform_points(src), dst, atol=1e-12)
    with pytest.raises(zt.FitError, match="do not determine"):
        zt.Affine.from_points([[0, 0], [0, 0], [1, 1], [0, 1]], dst)
    with pytest.raises(ValueError):
        zt.Affine.from_points(src[:3], dst[:3])


def test_point_files_share_names_and_pair_by_identifier(tmp_path):
    nominal = np.array([[0.0, 0, 0], [100, 0, 0], [0, 50, 0], [0, 0, 30]])
    moved = zt.Transformation((10, -4, 2), (0.1, 0.2, -0.3)).transform_points(nominal)
    (tmp_path / "nominal.txt").write_text("id x y z\n" + "".join(
        f"{name} {x!r} {y!r} {z!r}\n" for name, (x, y, z) in zip(["A", "B", "7", "C"], nominal)))
    (tmp_path / "measured.csv").write_text("".join(
        f"{name};{x!r};{y!r};{z!r}\n" for name, (x, y, z) in zip(["C", "7", "A", "B"], moved[[3, 2, 0, 1]])))
    names = zt.PointNames()
    a = zt.PointFile.read(tmp_path / "nominal.txt", names)
    b = zt.PointFile.read(str(tmp_path / "measured.csv"), names)
    assert names.name_of(int(a.ids[0])) == "A" and a.ids[2] == 7 and b.weights is None
    result = zt.fit(b.points, a.points, b.ids, a.ids)
    np.testing.assert_allclose(result.transformation.transform_points(moved), nominal, atol=1e-9)
    with pytest.raises(ValueError, match="bad.txt:2:"):
        zt.PointFile.parse("1 2 3\n1 2 x\n", names, "bad.txt")
    with pytest.raises(OSError, match="cannot open"):
        zt.PointFile.read(tmp_path / "missing.txt", names)


def test_affine_and_point_names_pickle_and_every_class_has_a_repr():
    affine = zt.Affine(np.arange(8.0) / 3)
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(affine)).coefficients, affine.coefficients)
    names = zt.PointNames()
    ids = [names.id_of(name) for name in ("BORE_A", "P1", "Bohrung_\u00d81")]
    copy = pickle.loads(pickle.dumps(names))
    assert [copy.id_of(name) for name in ("BORE_A", "P1", "Bohrung_\u00d81")] == ids
    assert len(copy) == 3
    point_file = zt.PointFile.parse("A 1 2 3\n", names, "a.txt")
    for obj in (affine, names, point_file, zt.Quaternion(), zt.CoordinateSystem(), zt.Transformation()):
        assert not repr(obj).startswith("<zemtrafo."), type(obj).__name__


def test_stub_names_what_the_module_has():
    stub = ast.parse((pathlib.Path(__file__).parents[1] / "zemtrafo.pyi").read_text())
    classes = {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}
    functions = {node.name for node in stub.body if isinstance(node, ast.FunctionDef)}
    public = {name for name in dir(zt) if not name.startswith("_")}
    assert public == set(classes) | functions
    for name, node in classes.items():
        declared = {n.name for n in node.body if isinstance(n, ast.FunctionDef)} | {
            n.target.id for n in node.body if isinstance(n, ast.AnnAssign)}
        cls = getattr(zt, name)
        own = {m for m in vars(cls) if not m.startswith("_")}
        assert own == {m for m in declared if not m.startswith("_")}, name
        assert all(hasattr(cls, m) for m in declared), name


def test_alignments_return_new_transformations_or_raise():
    T = zt.Transformation
    mirror = T.mirror((0, 0, 2, -4))  # the plane z = 2, normal of length 2
    np.testing.assert_allclose(mirror.transform_points([[1, 2, 5], [3, 4, 2]]), [[1, 2, -1], [3, 4, 2]], atol=1e-14)
    turn = T.rotation_about_axis((1, 1, 0), (0, 0, 3), np.pi / 2)  # +Y onto +X about the axis through (1, 1)
    np.testing.assert_allclose(turn.transform_points([[1, 2, 0], [1, 1, 7]]), [[2, 1, 0], [1, 1, 7]], atol=1e-14)
    frame = T.frame_from_axes((0, 1, 0), (-1, 0, 0), (5, 5, 5))
    np.testing.assert_allclose(frame.transform_points([[5, 5, 5], [5, 6, 5]]), [[0, 0, 0], [1, 0, 0]], atol=1e-14)
    truth = T((1, 2, 3), (0.1, 0.2, 0.3))
    src = np.array([[0.0, 0, 0], [10, 0, 0], [0, 5, 0]])
    dst = truth.transform_points(src)
    known = dst.copy()
    known[1, 0] = known[2, 0] = known[2, 1] = np.nan  # the coordinates the alignment completes
    aligned, completed = T.three_point_alignment(src, known, positive_x=True, left_side=True)
    np.testing.assert_allclose(completed, dst, atol=1e-12)
    np.testing.assert_allclose(aligned.matrix, truth.matrix, atol=1e-12)
    measured_plane = [[0, 0, 0.1], [10, 0, 0.1], [0, 10, 0.1]]
    aligned = T.align_321(zt.AlignMode.ZYX, measured_plane, [0, 0, 0], [[0, 0, 0], [10, 0, 0]], [0, 0], (0, 0, 0), 0)
    np.testing.assert_allclose(aligned.transform_points(measured_plane)[:, 2], 0, atol=1e-14)
    for call in (lambda: T.mirror((0, 0, 0, 1)), lambda: T.rotation_about_axis((0, 0, 0), (0, 0, 0), 1.0),
                 lambda: T.align_plane_line_point(zt.PLPMode.PLANE_LINE_POINT, (0, 0, 1, 0), (0, 0, 1, -1),
                                                  [[0, 0, 0], [0, 0, 1]], [[0, 0, 1], [0, 1, 0]], (0, 0, 0),
                                                  (1, 1, 1))):
        with pytest.raises(zt.FitError):
            call()
