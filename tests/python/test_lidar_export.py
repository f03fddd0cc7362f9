"""LAS / LAZ export (norvi.lidar): the file reads back with laspy to the same
points. The example scan that writes one runs in test_examples.py."""

import struct

import numpy as np
import pytest

import norvi_gpu as ng
from norvi import lidar as lidar_las


@pytest.fixture(scope="module")
def crown_scan():
    """A crown over a ground, scanned from 30 m on a 12 x 12 grid: one and two returns."""
    s = ng.EmbreeSceneManager()
    s.add_material(0, 0)
    s.add_material(13, 1)
    s.upload_spectral_params(np.array([0.25, 0.45, 0.35, 0.05], np.float32))
    g = ng.make_ground_plane(10.0, 10.0)
    s.add_mesh(g["vertices"], g["normals"], g["indices"], 0)
    s.add_instance(0)
    c = ng.make_sphere(2.0, np.array([0, 0, 6], np.float32), 2)
    s.add_mesh(c["vertices"], c["normals"], c["indices"], 1)
    s.add_instance(1)
    s.build()
    xs = np.linspace(-3, 3, 12, dtype=np.float32)
    xx, yy = np.meshgrid(xs, xs)
    n = xx.size
    origins = np.stack([xx.ravel(), yy.ravel(), np.full(n, 30.0, np.float32)], 1).ravel()
    dirs = np.tile(np.array([0, 0, -1], np.float32), n)
    res = ng.simulate_lidar_cpu(s, origins, dirs, n, beam_half_angle_rad=0.02)
    assert (res["points"][:, 5] == 2).any() and (res["points"][:, 5] == 1).any()
    return res


@pytest.mark.parametrize("suffix", [".las", ".laz"])
def test_las_reads_back_to_the_same_points(crown_scan, tmp_path, suffix):
    laspy = pytest.importorskip("laspy")
    if suffix == ".laz":
        pytest.importorskip("lazrs")

    pts = crown_scan["points"]
    path = tmp_path / ("scan" + suffix)
    scale = lidar_las.write_las(pts, path)
    assert scale == pytest.approx(pts[:, 3].max() / 65535.0)

    raw = path.read_bytes()
    assert raw[:4] == b"LASF" and raw[24:26] == bytes([1, 4])  # LAS 1.4
    assert struct.unpack("<H", raw[6:8])[0] & 0x10  # WKT bit, required for format 6
    assert raw[104] & 0x3F == 6  # point data format 6
    assert bool(raw[104] & 0x80) == (suffix == ".laz")  # the LAZ compression bit
    assert struct.unpack("<H", raw[105:107])[0] == 30  # standard 30-byte record

    las = laspy.read(str(path))
    assert len(las.points) == len(pts)
    np.testing.assert_allclose(las.header.scales, [0.001] * 3)
    np.testing.assert_allclose(las.x, pts[:, 0], atol=0.0006)
    np.testing.assert_allclose(las.y, pts[:, 1], atol=0.0006)
    np.testing.assert_allclose(las.z, pts[:, 2], atol=0.0006)
    assert np.array_equal(np.asarray(las.return_number), pts[:, 4].astype(np.uint8))
    assert np.array_equal(np.asarray(las.number_of_returns), pts[:, 5].astype(np.uint8))
    assert np.array_equal(np.asarray(las.gps_time), pts[:, 7].astype(np.float64))
    # The strongest return is full scale; every intensity is back within half a count.
    assert int(np.max(las.intensity)) == 65535
    assert lidar_las.read_intensity_scale(las) == scale
    assert las.header.system_identifier.startswith("NORVI I=")
    np.testing.assert_allclose(np.asarray(las.intensity) * scale, pts[:, 3], atol=0.5 * scale)

    back = lidar_las.read_las(path)
    np.testing.assert_allclose(back[:, [0, 1, 2, 4, 5, 7]], pts[:, [0, 1, 2, 4, 5, 7]], atol=0.0006)


def test_las_refuses_what_it_cannot_store(tmp_path):
    pytest.importorskip("laspy")

    with pytest.raises(ValueError, match="shape"):
        lidar_las.write_las(np.zeros((3, 7)), tmp_path / "a.las")
    bad = np.array([[0, 0, 0, 1, 3, 2, 1, 0]], np.float32)  # return 3 of 2
    with pytest.raises(ValueError, match="return numbers"):
        lidar_las.write_las(bad, tmp_path / "b.las")
    # An empty cloud is a valid file with no points.
    lidar_las.write_las(np.zeros((0, 8), np.float32), tmp_path / "c.las")
    assert lidar_las.read_las(tmp_path / "c.las").shape == (0, 8)
