"""simulate_lidar_cpu: the result dictionary and its layout, every argument
reaching the engine, single-precision defaults and the refusal of bad input
before anything is traced. The physics is pinned down by the C++ tests."""

import ast
import math
import re

import numpy as np
import pytest

import norvi_gpu as ng
from conftest import params


def plate_scene(rho, num_bands=1, kind=0, plates=((50.0, 0.0, 0.0),)):
    """Horizontal squares (half size, x offset, height) of one material, built."""
    s = ng.EmbreeSceneManager()
    s.set_num_bands(num_bands)
    s.add_material(kind, 0)
    s.upload_spectral_params(np.array(rho, np.float32))
    for half, x0, z in plates:
        g = ng.make_ground_plane(half, half)
        s.add_instance(s.add_mesh(g["vertices"], g["normals"], g["indices"], 0), x0, 0.0, z)
    s.build()
    return s


@pytest.fixture
def flat_target():
    return plate_scene([0.4])


def test_flat_lambertian_target_direct_and_waveform(flat_target, capfd):
    R = 20.07
    o, d = np.array([1.0, -2.0, R], np.float32), np.array([0, 0, -1], np.float32)
    expected = 0.4 * 2.0 * 0.3 / (math.pi * R * R)

    res = ng.simulate_lidar_cpu(flat_target, o, d, 1, pulse_energy=2.0, sensor_area=0.3,
                                direct_mode=True)
    assert list(res) == ["waveform", "points", "num_bins", "num_returns"]
    assert res["num_bins"] == 667 and res["num_returns"] == 1
    assert res["waveform"].dtype == np.float32 and res["waveform"].shape == (1, 667, 1)
    assert not res["waveform"].any()  # direct mode: zeros of the waveform's shape
    assert res["waveform"].flags.c_contiguous and res["waveform"].flags.owndata
    p = res["points"]
    assert p.dtype == np.float32 and p.shape == (1, 8)
    np.testing.assert_allclose(p[0, [0, 1, 2, 4, 5, 6, 7]], [1, -2, 0, 1, 1, R, 0], atol=1e-5)
    assert p[0, 3] == pytest.approx(expected, rel=1e-6)

    res = ng.simulate_lidar_cpu(flat_target, o, d, 1, pulse_energy=2.0, sensor_area=0.3)
    wf, p = res["waveform"], res["points"]
    assert wf.shape == (1, 667, 1) and p.shape == (1, 8)
    assert abs(p[0, 6] - R) <= 0.15
    assert wf.sum(dtype=np.float64) == pytest.approx(expected, rel=2e-6)

    assert re.fullmatch(r"LiDAR \(CPU\): 1 pulses, 1 beam samples, direct mode, (\d+) threads\n"
                        r"LiDAR \(CPU\): 1 pulses, 81 beam samples, waveform mode, \1 threads\n",
                        capfd.readouterr().out)


def test_window_threshold_and_return_count_reach_the_engine(flat_target):
    down = ([0, 0, 10, 1, 1, 10], [0, 0, -1, 0, 0, -1])
    res = ng.simulate_lidar_cpu(flat_target, *down, 2, min_range=5.0, max_range=30.0)
    # (30 - 5) / 0.15f is 166.67 in single precision: 167 bins.
    assert res["num_bins"] == 167 and res["waveform"].shape == (2, 167, 1)
    assert res["points"][:, 6] == pytest.approx([10.0, 10.0], abs=0.15)
    for kwargs in (dict(peak_threshold=1.0), dict(max_returns_per_pulse=0),
                   dict(min_range=12.0), dict(max_range=8.0)):
        res = ng.simulate_lidar_cpu(flat_target, *down, 2, **kwargs)
        assert res["points"].shape == (0, 8) and res["points"].dtype == np.float32, kwargs
        assert res["num_returns"] == 0
    res = ng.simulate_lidar_cpu(flat_target, np.zeros(0), np.zeros(0), 0, direct_mode=True)
    assert res["waveform"].shape == (0, 667, 1) and res["points"].shape == (0, 8)


def test_beam_width_and_wavelengths_reach_the_engine():
    # A plate at z = 5 over x > 4.5 cm and a ground at z = 0: both only in a 10 mrad beam.
    s = plate_scene([0.3], plates=((50.0, 0.0, 0.0), (5.0, 5.045, 5.0)))
    assert ng.simulate_lidar_cpu(s, [0, 0, 20], [0, 0, -1], 1)["num_returns"] == 1
    p = ng.simulate_lidar_cpu(s, [0, 0, 20], [0, 0, -1], 1, beam_half_angle_rad=0.01)["points"]
    assert p[:, 4].tolist() == [1.0, 2.0] and p[:, 5].tolist() == [2.0, 2.0]

    # A two-band leaf: from below it returns its back reflectances.
    leaf = plate_scene([0.1, 0.2, 0.5, 0.7, 0.05, 0.05], num_bands=2, kind=13)
    res = ng.simulate_lidar_cpu(leaf, [0, 0, -10, 0, 0, 10], [0, 0, 1, 0, 0, -1], 2,
                                num_wavelengths=2)
    e = 0.1 / (math.pi * 100.0)
    sums = res["waveform"].sum(axis=1, dtype=np.float64)
    np.testing.assert_allclose(sums, [[0.5 * e, 0.7 * e], [0.1 * e, 0.2 * e]], rtol=1e-5)


def test_defaults_are_single_precision():
    expected = dict(beam_half_angle_rad=np.float32(0.0005), beam_samples_per_dim=10, pulse_energy=1.0,
                    sensor_area=np.float32(0.1), range_resolution=np.float32(0.15), min_range=0.0, max_range=100.0,
                    num_wavelengths=1, pulse_fwhm_ns=4.0, peak_threshold=np.float32(1e-8),
                    max_returns_per_pulse=5, direct_mode=False)
    got = params(ng.simulate_lidar_cpu)
    assert [n for n, _ in got] == ["scene", "pulse_origins", "pulse_directions", "num_pulses"] + list(expected)
    assert {n: ast.literal_eval(d) for n, d in got[4:]} == {n: float(v) for n, v in expected.items()}


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(num_pulses=3), ValueError,
     r"^pulse_origins must hold 3 x num_pulses = 9 values \(x, y, z per pulse\); got 3$"),
    (dict(pulse_directions=[0, 0]), ValueError, "^pulse_directions must hold"),
    (dict(pulse_origins=np.zeros((1, 3))), ValueError,
     r"^array has incorrect number of dimensions: 2; expected 1$"),
    (dict(beam_samples_per_dim=0), ValueError, "beam_samples_per_dim"),
    (dict(range_resolution=-0.15, direct_mode=True), ValueError, "range_resolution"),
    (dict(min_range=50.0, max_range=10.0), ValueError,
     "max_range must not be below min_range; got min_range 50, max_range 10"),
    (dict(num_wavelengths=2), ValueError, "num_wavelengths must lie between 1 and the scene's band count 1; got 2"),
    (dict(pulse_fwhm_ns=0.0), ValueError, "pulse_fwhm_ns"),
    (dict(beam_half_angle_rad=float("nan")), ValueError,
     "^simulate_lidar: beam_half_angle_rad must be finite; got nan$"),
    (dict(pulse_directions=[0, 0, 0]), ValueError,
     r"pulse_directions of pulse 0 must be a finite, non-zero direction; got \(0, 0, 0\)"),
    (dict(scene=None), RuntimeError, r"^simulate_lidar: scene not built\. Call build\(\) first\.$"),
])
def test_bad_input_is_refused_before_tracing(flat_target, capfd, kwargs, error, message):
    args = dict(scene=flat_target, pulse_origins=[0, 0, 10], pulse_directions=[0, 0, -1],
                num_pulses=1)
    args.update(kwargs)
    if args["scene"] is None:
        args["scene"] = ng.EmbreeSceneManager()
    with pytest.raises(error, match=message):
        ng.simulate_lidar_cpu(**args)
    assert capfd.readouterr().out == ""
