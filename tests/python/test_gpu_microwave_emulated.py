"""Simulator.simulate_microwave on the emulated GPU: the same brightness
temperatures as simulate_microwave_cpu on a canopy scene, random states that
continue between runs and restart when the image changes, and the Python
surface of the method.

Runs under CTest (gpu.python_emulated) on norvi_gpu_emulated; anywhere else
every test is skipped.
"""

import math
import re

import numpy as np
import pytest

from result_checks import assert_same_means
from test_gpu_backward_emulated import ng  # noqa: F401  (the fixture)

SOIL = [0.25, 0.4, 0.2, 1.4, 295.0, 0.1, 0.1, 1.0, 1.0, 2]  # rough Dobson + Peplinski soil
VEG = [290.0, 0.6, 0.2, 0, 0, 0]
TRUNK = [0.2, 0.5, 288.0, 0, 0, 1]
DOC = ("Run passive microwave simulation.\n\nReturns numpy array of shape [height, width, n_channels] with "
       "brightness temperature (K).\nn_channels: 1=total, 2=H+V, 4=full Stokes.\natm_tau: nadir atmospheric "
       "optical depth (0 = no atmosphere).\nmw_soil_params: float32[n_soil_mats, 10] with MwSoilParams "
       "fields.\nmw_trunk_params: float32[n_trunk_mats, 6] with MwTrunkParams fields (radius, moisture, "
       "temperature, axis_xyz).\nmaterial_map: int32[n_optical_mats] mapping optical \u2192 MW material index "
       "(-1 = none).")


def canopy(ng, s, width=12, height=10):
    """Soil (material 0), crowns (1) on trunks (2), and leaves of a material
    (3) the microwave map does not reach, seen at 30 degrees."""
    for _ in range(4):
        s.add_material(0, 0)
    g = ng.make_ground_plane(15.0, 15.0)
    s.add_instance(s.add_mesh(g["vertices"], g["normals"], g["indices"], 0), 0.0, 0.0, 0.0, 1.0)
    crown = ng.make_sphere(1.5, np.zeros(3, np.float32), 1)
    trunk = ng.make_cylinder(0.2, 3.0, 8)
    leaf = s.add_mesh(np.float32([[0, 0, 5], [2, 0, 5], [0, 2, 5]]), np.zeros((0, 3), np.float32),
                      np.int32([[0, 1, 2]]), 3)
    crown_mesh = s.add_mesh(crown["vertices"], crown["normals"], crown["indices"], 1)
    trunk_mesh = s.add_mesh(trunk["vertices"], trunk["normals"], trunk["indices"], 2)
    for x, y in [(-4, -3), (0, 1), (4, -2), (-2, 5), (3, 4)]:
        s.add_instance(crown_mesh, float(x), float(y), 4.0, 1.0)
        s.add_instance(trunk_mesh, float(x), float(y), 0.0, 1.0)
    s.add_instance(leaf, -1.0, -1.0, 0.0, 1.0)
    a = math.radians(30.0)
    c, sn = math.cos(a), math.sin(a)
    s.set_sensor(0, width, height, 14.0, 12.0, np.float32([1, 0, 0, 0, 0, c, -sn, -30 * sn, 0, sn, c, 30 * c,
                                                           0, 0, 0, 1]))
    s.build()


def pair(ng):
    ctx = ng.OptiXContext()
    g, c = ng.SceneManager(ctx), ng.EmbreeSceneManager()
    canopy(ng, g)
    canopy(ng, c)
    return ctx, g, c


def args(ng, **kw):
    tables = ng.make_mw_phase_tables("rayleigh", 8, 8, 8)
    base = dict(spp=8, mw_soil_params=np.float32([SOIL]), mw_veg_params=np.float32([VEG]),
                mw_trunk_params=np.float32([TRUNK]), material_map=np.int32([0, 1, 2]),
                mw_veg_mueller_luts=[tables])
    base.update(kw)
    return base


def test_canopy_matches_the_cpu_engine(ng):
    ctx, g, c = pair(ng)
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    sim.init()
    for kw in (dict(n_channels=4), dict(n_channels=2, atm_tau=0.0, frequency=6.9e9)):
        # The first run of an image draws the CPU engine's streams, pixel by
        # pixel; the next continues them, an independent estimate.
        cpu = ng.simulate_microwave_cpu(c, **args(ng, **kw))
        np.testing.assert_allclose(sim.simulate_microwave(g, **args(ng, **kw)), cpu, atol=1e-3)
        assert_same_means(sim.simulate_microwave(g, **args(ng, **kw)), cpu, atol=1e-3)
        assert 150.0 < cpu[..., 0].mean() < 295.0


def test_random_states_continue_and_restart(ng):
    ctx, g, _ = pair(ng)
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    first = sim.simulate_microwave(g, **args(ng))
    second = sim.simulate_microwave(g, **args(ng))
    assert first.shape == (10, 12, 2) and not np.array_equal(first, second)
    # A new channel count reseeds every pixel; an empty map keeps the last one.
    total = sim.simulate_microwave(g, **args(ng, n_channels=1, material_map=np.int32([])))
    np.testing.assert_allclose(total[..., 0], first.mean(axis=2), rtol=1e-6)
    # Without microwave materials everything is transparent: the sky through the atmosphere.
    sky = sim.simulate_microwave(g, n_channels=1, spp=1, atm_tau=0.0)
    np.testing.assert_allclose(sky, 2.725, rtol=1e-6)


def test_python_surface_and_refused_input(ng):
    ctx, g, _ = pair(ng)
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    doc = ng.Simulator.simulate_microwave.__doc__
    assert doc.rstrip().endswith(DOC)
    sig = doc.splitlines()[0]
    defaults = [("frequency", "1400000000.0"), ("n_channels", "2"), ("spp", "64"), ("max_depth", "8"),
                ("air_temperature", "293.0"), ("include_atmosphere", "True"), ("atm_tau", "0.00999999977"),
                ("mw_soil_params", "array([], dtype=float32)"), ("mw_veg_params", "array([], dtype=float32)"),
                ("mw_trunk_params", "array([], dtype=float32)"), ("material_map", "array([], dtype=int32)"),
                ("mw_veg_mueller_luts", "[]"), ("_mw_veg_lut_dims", "None")]
    pattern = r"\(self: [^=]*?, scene: [^=]*?" + "".join(
        rf", {name}: [^=]* = {re.escape(value)}[^,]*" for name, value in defaults)
    assert re.match(pattern, sig[sig.index("("):]), sig
    # The parameter arrays and tables go through the parser of
    # simulate_microwave_cpu, whose refusals are tested with it; here the
    # checks the GPU run makes itself.
    bad = [
        (ValueError, "material_map", dict(mw_soil_params=[SOIL], material_map=np.int32([0, 1]))),
        (ValueError, "n_channels", dict(n_channels=3)),
    ]
    for error, message, kw in bad:
        with pytest.raises(error, match=message):
            sim.simulate_microwave(g, spp=1, **kw)
    unbuilt = ng.SceneManager(ctx)
    with pytest.raises(RuntimeError, match=r"^Scene not built. Call scene.build\(\) first.$"):
        sim.simulate_microwave(unbuilt)
