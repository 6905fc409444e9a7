"""CoordinateSystem and the persisted last/global record."""
import os
import pickle
import stat
import zlib

import numpy as np
import pytest

import zemtrafo as zt


def test_coordinate_system_orthonormalises_and_keeps_handedness():
    cs = zt.CoordinateSystem((1, 2, 3), (2, 0, 0), (1, 1, 0), (0, 0, 5))
    np.testing.assert_array_equal(cs.axes, np.eye(3))
    left = zt.CoordinateSystem(x_axis=(1, 0, 0), y_axis=(0, 1, 0), z_axis=(0, 0, -1))
    np.testing.assert_array_equal(left.z_axis, [0, 0, -1])
    with pytest.raises(ValueError, match="Axis could not be normalized!"):
        cs.set_axes((1, 0, 0), (2, 0, 0), (0, 0, 1))
    np.testing.assert_array_equal(cs.axes, np.eye(3))  # unchanged
    assert not zt.CoordinateSystem.check_axes_valid((1, 0, 0), (0, 0, 0), (0, 0, 1))
    t = zt.Transformation((1, 0, 0), (0, 0, np.pi / 2), 2.0)
    cs.transform(t)
    np.testing.assert_allclose(cs.origin, t.transform_points([1, 2, 3]), atol=1e-14)
    np.testing.assert_allclose(cs.axes, t.rotate_vectors(np.eye(3)), atol=1e-15)
    with pytest.raises(ValueError, match="Wrong transformation matrix"):
        # Halfway between the identity and a half turn about Z: the x and y axes vanish.
        cs.transform(zt.Transformation.lerp(zt.Transformation(), 0.5, zt.Transformation(np.diag([-1.0, -1.0, 1.0, 1.0]))))


def make_record(rng):
    last = zt.Transformation(rng.normal(0, 100, 3), rng.uniform(-3, 3, 3), 1.0 / 3.0, zt.Order.XZY)
    glob = zt.Transformation(rng.normal(0, 1e-200, 3), rng.uniform(-3, 3, 3), 1.7)
    return zt.LastAndGlobalTransformation(last, True, glob, False)


def test_saved_record_loads_back_bit_for_bit(tmp_path):
    record = make_record(np.random.default_rng(2))
    record.save(tmp_path / "part.trafo")
    back = zt.LastAndGlobalTransformation.load(str(tmp_path / "part.trafo"))
    assert (back.last_valid, back.global_valid) == (True, False)
    for name in ("last_transformation", "global_transformation"):
        assert getattr(back, name).matrix.tobytes() == getattr(record, name).matrix.tobytes()
    record.export_report(tmp_path / "report.txt")
    assert "Global transformation:" in (tmp_path / "report.txt").read_text()


def with_header(data, type_text, version):
    """The stream `data` with another type text and version, header checksum renewed."""
    n = int.from_bytes(data[10:12], "little")
    header = data[:10] + len(type_text).to_bytes(2, "little") + type_text + version.to_bytes(4, "little")
    return header + zlib.crc32(header).to_bytes(4, "little") + data[20 + n:]


@pytest.mark.parametrize("content, error, text", [
    (lambda d: with_header(d, b"OTHER-OBJECT-TYPE", 1), ValueError, "invalid file type"),
    (lambda d: with_header(d, b"LAST-GLOBAL-TRAFO", 2), ValueError, "invalid file version 2"),
    (lambda d: d[:40], OSError, ""),
    (lambda d: b"not a record", OSError, ""),
])
def test_load_errors(tmp_path, content, error, text):
    good = tmp_path / "good.trafo"
    make_record(np.random.default_rng(3)).save(good)
    bad = tmp_path / "bad.trafo"
    bad.write_bytes(content(good.read_bytes()))
    with pytest.raises(error, match=text):
        zt.LastAndGlobalTransformation.load(bad)


def test_file_errors_raise_oserror(tmp_path):
    record = make_record(np.random.default_rng(4))
    missing = tmp_path / "no such directory" / "x.trafo"
    for call in (lambda: record.save(missing), lambda: record.export_report(missing),
                 lambda: zt.LastAndGlobalTransformation.load(missing)):
        with pytest.raises(OSError, match="no such directory"):
            call()


@pytest.mark.parametrize("kind", [str, bytes, "pathlike"])
def test_paths_may_be_str_bytes_or_pathlike(tmp_path, kind):
    record = make_record(np.random.default_rng(8))
    target = tmp_path / "rec.trafo"
    path = {str: str(target), bytes: bytes(target), "pathlike": target}[kind]
    record.save(path)
    assert zt.LastAndGlobalTransformation.load(path).last_transformation == record.last_transformation


def test_path_with_a_nul_character_is_refused_and_nothing_written(tmp_path):
    record = make_record(np.random.default_rng(9))
    with pytest.raises(ValueError, match="NUL"):
        record.save(str(tmp_path / "rec\0.trafo"))
    with pytest.raises(ValueError, match="NUL"):
        zt.PointFile.read(str(tmp_path / "p\0.txt"), zt.PointNames())
    assert list(tmp_path.iterdir()) == []


def test_record_and_coordinate_system_pickle_and_repr():
    record = make_record(np.random.default_rng(10))
    copy = pickle.loads(pickle.dumps(record))
    assert copy.last_transformation == record.last_transformation
    assert copy.global_transformation == record.global_transformation
    assert (copy.last_valid, copy.global_valid) == (True, False)
    assert repr(record).startswith("LastAndGlobalTransformation(Transformation(")
    cs = zt.CoordinateSystem((1, 2, 3), (1, 1, 0), (-1, 1, 0), (0, 0, 1))
    back = pickle.loads(pickle.dumps(cs))
    np.testing.assert_array_equal(back.origin, cs.origin)
    np.testing.assert_allclose(back.axes, cs.axes, atol=1e-16)


def test_save_onto_a_fifo_is_refused_and_leaves_it(tmp_path):
    fifo = tmp_path / "pipe.trafo"
    os.mkfifo(fifo)
    with pytest.raises(OSError, match="not a regular file"):
        make_record(np.random.default_rng(11)).save(fifo)
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["pipe.trafo"]
