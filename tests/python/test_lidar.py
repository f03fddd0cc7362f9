"""simulate_lidar_cpu: closed-form returns of flat targets, result layout,
argument defaults and the refusal of bad input before anything is traced."""

import math

import numpy as np
import pytest

import norvi_gpu as ng


def plate_scene(plates, num_bands=1):
    """Horizontal squares (half size, x offset, height, material id), normal +z;
    the caller adds the materials and spectra and builds."""
    s = ng.EmbreeSceneManager()
    s.set_num_bands(num_bands)
    for half, x0, z, mat in plates:
        g = ng.make_ground_plane(half, half)
        mesh = s.add_mesh(g["vertices"], g["normals"], g["indices"], mat)
        s.add_instance(mesh, x0, 0.0, z)
    return s


def lambert_energy(rho, energy, area, r):
    return rho * energy * area / (math.pi * r * r)


@pytest.fixture
def flat_target():
    s = plate_scene([(50.0, 0.0, 0.0, 0)])
    s.add_material(0, 0)
    s.upload_spectral_params(np.array([0.4], dtype=np.float32))
    s.build()
    return s


def nadir(x, y, z):
    return np.array([x, y, z], np.float32), np.array([0, 0, -1], np.float32)


def test_flat_lambertian_target_direct_and_waveform(flat_target, capfd):
    R = 20.07
    o, d = nadir(1.0, -2.0, R)
    expected = lambert_energy(0.4, 2.0, 0.3, R)

    res = ng.simulate_lidar_cpu(flat_target, o, d, 1, pulse_energy=2.0, sensor_area=0.3,
                                direct_mode=True)
    assert list(res) == ["waveform", "points", "num_bins", "num_returns"]
    assert res["num_bins"] == 667 and res["num_returns"] == 1
    assert res["waveform"].dtype == np.float32 and res["waveform"].shape == (1, 667, 1)
    assert not res["waveform"].any()  # direct mode: zeros of the waveform's shape
    p = res["points"]
    assert p.dtype == np.float32 and p.shape == (1, 8)
    np.testing.assert_allclose(p[0, :3], [1.0, -2.0, 0.0], atol=1e-5)
    assert p[0, 3] == pytest.approx(expected, rel=1e-6)
    assert tuple(p[0, 4:6]) == (1.0, 1.0)
    assert p[0, 6] == pytest.approx(R, abs=1e-5)
    assert p[0, 7] == 0.0

    res = ng.simulate_lidar_cpu(flat_target, o, d, 1, pulse_energy=2.0, sensor_area=0.3)
    wf = res["waveform"]
    assert wf.shape == (1, 667, 1)
    assert res["num_returns"] == 1
    p = res["points"][0]
    assert abs(p[6] - R) <= 0.15
    assert p[2] == pytest.approx(R - p[6], abs=1e-5)
    assert wf.sum(dtype=np.float64) == pytest.approx(expected, rel=2e-6)
    assert p[3] == wf[0, int(p[6] / np.float32(0.15)), 0]

    out = capfd.readouterr().out
    assert out == ("LiDAR (CPU): 1 pulses, 1 beam samples, direct mode, %d threads\n" % _threads(out)
                   + "LiDAR (CPU): 1 pulses, 81 beam samples, waveform mode, %d threads\n"
                   % _threads(out))


def _threads(out):
    return int(out.split(" mode, ")[1].split(" ")[0])


def test_two_targets_in_one_beam():
    # A plate at z = 5 over x > 4.5 cm and a ground at z = 0, both in a 10 mrad beam.
    s = plate_scene([(50.0, 0.0, 0.0, 0), (5.0, 5.045, 5.0, 1)])
    s.add_material(0, 0)
    s.add_material(0, 1)
    s.upload_spectral_params(np.array([0.3, 0.6], dtype=np.float32))
    s.build()
    res = ng.simulate_lidar_cpu(s, [0, 0, 20], [0, 0, -1], 1, beam_half_angle_rad=0.01)
    p = res["points"]
    assert p.shape == (2, 8)
    assert abs(p[0, 6] - 15.0) <= 0.15 and abs(p[1, 6] - 20.0) <= 0.15
    assert p[:, 4].tolist() == [1.0, 2.0]
    assert p[:, 5].tolist() == [2.0, 2.0]
    assert p[:, 7].tolist() == [0.0, 0.0]
    # 81-sample beam: the columns a >= 0.4 (36 samples' weight) see the plate.
    a = np.linspace(-1, 1, 11, dtype=np.float32)
    aa, bb = np.meshgrid(a, a)
    r2 = aa * aa + bb * bb
    w = np.where(r2 <= 1.0001, np.exp(-0.5 * r2 / 0.50016385), 0.0)
    w /= w.sum()
    plate_w = w[aa > 0.3].sum()
    expected = (plate_w * lambert_energy(0.6, 1, 0.1, 15)
                + (1 - plate_w) * lambert_energy(0.3, 1, 0.1, 20))
    assert res["waveform"].sum(dtype=np.float64) == pytest.approx(expected, rel=1e-3)


def test_no_returns_and_no_pulses(flat_target):
    # Pointing up at nothing: no points, but the shapes hold.
    res = ng.simulate_lidar_cpu(flat_target, [0, 0, 10, 1, 1, 10], [0, 0, 1, 0, 0, 1], 2,
                                num_wavelengths=1, max_range=30.0)
    assert res["points"].shape == (0, 8) and res["points"].dtype == np.float32
    assert res["num_returns"] == 0
    # (30 - 0) / 0.15f is 199.99999 in single precision: 200 bins.
    assert res["num_bins"] == 200
    assert res["waveform"].shape == (2, 200, 1) and not res["waveform"].any()
    res = ng.simulate_lidar_cpu(flat_target, np.zeros(0), np.zeros(0), 0, direct_mode=True)
    assert res["waveform"].shape == (0, 667, 1)
    assert res["points"].shape == (0, 8)
    assert res["num_bins"] == 667 and res["num_returns"] == 0


def test_direct_mode_points_come_in_pulse_order(flat_target):
    n = 300
    x = np.linspace(-60, 60, n, dtype=np.float32)  # the plate spans [-50, 50]
    o = np.stack([x, np.zeros(n), np.full(n, 12.0)], axis=1).astype(np.float32).ravel()
    d = np.tile(np.array([0, 0, -1], np.float32), n)
    res = ng.simulate_lidar_cpu(flat_target, o, d, n, direct_mode=True)
    idx = res["points"][:, 7]
    hits = np.nonzero(np.abs(x) <= 50)[0]
    assert idx.tolist() == hits.astype(np.float32).tolist()
    np.testing.assert_allclose(res["points"][:, 0], x[hits], atol=1e-5)
    again = ng.simulate_lidar_cpu(flat_target, o, d, n, direct_mode=True)
    assert np.array_equal(again["points"], res["points"])


def test_multiband_leaf_reads_the_back_array_from_behind():
    s = plate_scene([(10.0, 0.0, 0.0, 0)], num_bands=2)
    s.add_material(13, 0)
    s.upload_spectral_params(np.array([0.1, 0.2, 0.5, 0.7, 0.05, 0.05], np.float32))
    s.build()
    res = ng.simulate_lidar_cpu(s, [0, 0, -10, 0, 0, 10], [0, 0, 1, 0, 0, -1], 2,
                                num_wavelengths=2)
    e = lambert_energy(1.0, 1.0, 0.1, 10.0)
    sums = res["waveform"].sum(axis=1, dtype=np.float64)
    np.testing.assert_allclose(sums, [[0.5 * e, 0.7 * e], [0.1 * e, 0.2 * e]], rtol=1e-5)


def test_defaults_are_single_precision():
    import re
    doc = ng.simulate_lidar_cpu.__doc__.split("\n")[0]
    defaults = dict(re.findall(r"(\w+): [^=,]*?= ([^,)]+)", doc))
    expected = dict(beam_half_angle_rad=np.float32(0.0005), beam_samples_per_dim=10,
                    pulse_energy=1.0, sensor_area=np.float32(0.1),
                    range_resolution=np.float32(0.15), min_range=0.0, max_range=100.0,
                    num_wavelengths=1, pulse_fwhm_ns=4.0, peak_threshold=np.float32(1e-8),
                    max_returns_per_pulse=5)
    assert set(defaults) == set(expected) | {"direct_mode"}
    for name, value in expected.items():
        assert float(defaults[name]) == float(value), name
    assert defaults["direct_mode"] == "False"


BAD_CALLS = [
    (dict(beam_samples_per_dim=0), "beam_samples_per_dim"),
    (dict(beam_samples_per_dim=-3), "beam_samples_per_dim"),
    (dict(range_resolution=0.0), "range_resolution"),
    (dict(range_resolution=-0.15, direct_mode=True), "range_resolution"),
    (dict(min_range=50.0, max_range=10.0), "max_range"),
    (dict(num_wavelengths=2), "num_wavelengths 2"),
    (dict(num_wavelengths=0), "num_wavelengths"),
    (dict(pulse_fwhm_ns=0.0), "pulse_fwhm_ns"),
    (dict(num_pulses=3), "pulse_origins must hold 3 x num_pulses = 9 values"),
    (dict(pulse_directions=[0, 0]), "pulse_directions must hold"),
    (dict(num_pulses=-1), "num_pulses"),
    (dict(pulse_directions=[0, 0, 0]), r"pulse 0 has origin \(0, 0, 10\) and direction \(0, 0, 0\)"),
    (dict(pulse_origins=[0, float("nan"), 10], direct_mode=True), "pulse 0 has origin"),
]


@pytest.mark.parametrize("kwargs, message", BAD_CALLS)
def test_bad_input_is_refused_before_tracing(flat_target, capfd, kwargs, message):
    args = dict(scene=flat_target, pulse_origins=[0, 0, 10], pulse_directions=[0, 0, -1],
                num_pulses=1)
    args.update(kwargs)
    with pytest.raises(ValueError, match=message):
        ng.simulate_lidar_cpu(**args)
    assert capfd.readouterr().out == ""


def test_pulse_arrays_must_be_flat(flat_target):
    with pytest.raises(ValueError, match=r"^array has incorrect number of dimensions: 2; expected 1$"):
        ng.simulate_lidar_cpu(flat_target, np.zeros((1, 3)), [0, 0, -1], 1)
    res = ng.simulate_lidar_cpu(flat_target, np.array([[0, 0, 10]]).ravel(), [0, 0, -1], 1)
    assert res["num_returns"] == 1


def test_missing_material_is_refused(capfd):
    s = plate_scene([(5.0, 0.0, 0.0, 3)])
    s.add_material(0, 0)
    s.upload_spectral_params(np.array([0.5], np.float32))
    s.build()
    with pytest.raises(ValueError, match="material"):
        ng.simulate_lidar_cpu(s, [0, 0, 10], [0, 0, -1], 1)
    assert capfd.readouterr().out == ""


def test_unbuilt_scene_is_refused(capfd):
    s = ng.EmbreeSceneManager()
    with pytest.raises(RuntimeError, match=r"^simulate_lidar: scene not built\. Call build\(\) first\.$"):
        ng.simulate_lidar_cpu(s, [0, 0, 10], [0, 0, -1], 1)
    assert capfd.readouterr().out == ""
