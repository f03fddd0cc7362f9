"""simulate_microwave_cpu and make_mw_phase_tables from Python: result layout
and channels, the tables' shapes and normalisation, and refused input (the
physics is tested against closed forms in tests/cpp/test_microwave.cpp)."""

import math

import numpy as np
import pytest

import norvi_gpu as ng

SOIL = [0.2, 0.4, 0.2, 1.4, 295.0, 0.0, 0.0, 0.0, 0.0, 1]  # smooth Mironov soil
VEG = [290.0, 0.5, 0.1, 0, 0, 0]
TRUNK = [0.2, 0.5, 290.0, 0, 0, 1]


def soil_scene(width=3, height=2, built=True):
    s = ng.EmbreeSceneManager()
    g = ng.make_ground_plane(100.0, 100.0)
    s.add_material(0, 0)
    s.add_mesh(g["vertices"], g["normals"], g["indices"], 0)
    s.add_instance(0)
    c, sn = math.cos(math.radians(40)), math.sin(math.radians(40))
    s.set_sensor(0, width, height, 1.0, 1.0, [1, 0, 0, 0, 0, c, -sn, -50 * sn, 0, sn, c, 50 * c, 0, 0, 0, 1])
    if built:
        s.build()
    return s


def test_channels_and_layout():
    s = soil_scene()
    hv = ng.simulate_microwave_cpu(s, spp=2, mw_soil_params=np.array([SOIL], np.float32), material_map=[0])
    assert hv.shape == (2, 3, 2) and hv.dtype == np.float32
    assert np.all(hv[..., 1] > hv[..., 0])  # V emits more than H at 40 degrees
    total = ng.simulate_microwave_cpu(s, n_channels=1, spp=2, mw_soil_params=[SOIL], material_map=[0])
    stokes = ng.simulate_microwave_cpu(s, n_channels=4, spp=2, mw_soil_params=[SOIL], material_map=[0])
    assert total.shape == (2, 3, 1) and stokes.shape == (2, 3, 4)
    np.testing.assert_allclose(total[..., 0], hv.mean(axis=2), atol=1e-3)
    np.testing.assert_allclose(stokes[..., :2], hv, atol=1e-3)
    # Without a microwave material the ground is transparent: the sky through the atmosphere.
    sky = ng.simulate_microwave_cpu(s, spp=1, atm_tau=0.0)
    np.testing.assert_allclose(sky, 2.725, atol=1e-5)


@pytest.mark.parametrize("phase", ["isotropic", "rayleigh"])
def test_phase_tables(phase):
    lut, cts, dphi = ng.make_mw_phase_tables(phase, 8, 10, 12)
    assert lut.shape == (8, 10, 12, 4, 4) and cts.shape == (8, 10) and dphi.shape == (8, 10, 12)
    assert np.all(np.diff(cts, axis=1) >= 0) and np.all(np.diff(dphi, axis=2) >= 0)
    np.testing.assert_array_equal(cts[:, -1], 1.0)
    np.testing.assert_array_equal(dphi[..., -1], 1.0)
    # The unpolarised response integrates to 1 over the scattered directions
    # (dphi over [0, pi] counts twice, for both signs).
    p = 0.5 * (lut[..., 0, 0] + lut[..., 0, 1] + lut[..., 1, 0] + lut[..., 1, 1])
    np.testing.assert_allclose(p.sum(axis=(1, 2)) * (2 / 10) * (math.pi / 12) * 2, 1.0, atol=1e-5)
    # The tables drive a run.
    s = soil_scene()
    box = ng.make_sphere(2.0, np.array([0, 0, 3], np.float32), 1)
    s.add_material(0, 0)
    s.add_mesh(box["vertices"], box["normals"], box["indices"], 1)
    s.add_instance(1)
    s.build()
    img = ng.simulate_microwave_cpu(s, spp=4, mw_soil_params=[SOIL], mw_veg_params=[VEG + [0, 0]],
                                    material_map=[0, 1], mw_veg_mueller_luts=[(lut, cts, dphi)])
    assert np.all(np.isfinite(img)) and np.all(img > 0)


def test_refused_input():
    s = soil_scene()
    lut, cts, dphi = ng.make_mw_phase_tables("rayleigh", 4, 4, 4)
    cases = [
        (ValueError, "mw_soil_params must have at least 10 columns per row, got 9",
         dict(mw_soil_params=[SOIL[:9]])),
        (ValueError, "mw_veg_params must have at least 6 columns per row, got 5", dict(mw_veg_params=[VEG[:5]])),
        (ValueError, "mw_trunk_params must have at least 6 columns per row, got 5",
         dict(mw_trunk_params=[TRUNK[:5]])),
        (ValueError, "array has incorrect number of dimensions: 1; expected 2", dict(mw_soil_params=SOIL)),
        (RuntimeError, "mueller_lut must be 5-D (cti,cts,dphi,4,4)",
         dict(mw_veg_params=[VEG], mw_veg_mueller_luts=[(lut[0], cts, dphi)])),
        (ValueError, "the sampling tables hold 15 and 64 values",
         dict(mw_veg_params=[VEG], mw_veg_mueller_luts=[(lut, cts.ravel()[:15], dphi)])),
        (ValueError, "material_map[1] = 2 names no microwave material",
         dict(mw_soil_params=[SOIL], mw_veg_params=[VEG], material_map=[0, 2])),
        (ValueError, "n_channels must be 1 (total), 2 (H, V) or 4 (full Stokes), got 3", dict(n_channels=3)),
    ]
    for exc, message, kwargs in cases:
        with pytest.raises(exc) as e:
            ng.simulate_microwave_cpu(s, **kwargs)
        assert message in str(e.value), (message, str(e.value))
    with pytest.raises(RuntimeError, match=r"^Scene not built\. Call scene\.build\(\) first\.$"):
        ng.simulate_microwave_cpu(soil_scene(built=False))
    with pytest.raises(ValueError, match="phase must be"):
        ng.make_mw_phase_tables("mie")
