"""Simulator.simulate on the emulated GPU: the same images as simulate_cpu on
the same scenes, SIF against its closed form, and the Python surface of the
GPU scene and simulator.

Runs under CTest (gpu.python_emulated) on norvi_gpu_emulated, the whole module
linked against the platform emulation; anywhere else every test is skipped.
"""

import ctypes
import gc
import importlib
import os

import numpy as np
import pytest

from result_checks import assert_same_means
from scene_geometry import camera, sun_at  # noqa: F401  (sun_at: for the other GPU tests)

LEAF, GROUND = 13, 0


@pytest.fixture
def ng():
    path = os.environ.get("NORVI_EMU_LIB")
    if not path:
        pytest.skip("runs under CTest on the platform emulation (NORVI_EMU_LIB unset)")
    module = importlib.import_module("norvi_gpu_emulated")
    lib = ctypes.CDLL(path)
    lib.norvi_emu_reset()
    yield module
    gc.collect()  # failed calls' tracebacks hold the test's frame in a cycle
    assert lib.norvi_emu_live_allocations() == 0  # every scene and simulator freed what it allocated
    lib.norvi_emu_reset()


def plane(ng, scene, material, half, cx=0.0, cy=0.0, z=0.0):
    g = ng.make_ground_plane(half, half)
    scene.add_instance(scene.add_mesh(g["vertices"], g["normals"], g["indices"], material), cx, cy, z, 1.0)


def canopy(ng, s, sky="constant", size=10.0, ground=(), leaf=(0.6, 0.4)):
    """Ground, and leaves whose two faces reflect differently, under sun and sky."""
    s.set_num_bands(2)
    s.add_material(GROUND, 0, list(ground))
    s.add_material(LEAF, 2, list(leaf))
    plane(ng, s, 0, size / 2, size / 2, size / 2)
    rng = np.random.default_rng(5)
    leaf = np.array([[0, 0, 0], [0.6, 0, 0.1], [0.3, 0.5, -0.1]], np.float32)
    for _ in range(120):
        v = leaf + rng.uniform([0.5, 0.5, 0.4], [size - 1, size - 1, 2.5]).astype(np.float32)
        s.add_instance(s.add_mesh(v, np.zeros((0, 3), np.float32), np.array([[0, 1, 2]], np.int32), 1))
    s.upload_spectral_params(np.array([0.2, 0.3, 0.1, 0.45, 0.04, 0.3, 0.05, 0.4, 1.5, 1.2, 0.3, 0.2]
                                      + [0.5, -0.3, 0.2, -0.1, 0.1, 0.0, 0.2, 0.0, 1.0, 0.0] * 2, np.float32))
    s.set_emitter(0, sun_at(35.0, 30.0), 8)
    if sky == "constant":
        s.set_sky(10)
    else:
        s.set_hw_sky(12, *sun_at(35.0, 30.0))


def pair(ng, fill, sensor, **kw):
    """The same scene as a GPU and a CPU scene."""
    ctx = ng.OptiXContext()
    scenes = (ng.SceneManager(ctx), ng.EmbreeSceneManager())
    for s in scenes:
        fill(ng, s)
        s.set_sensor(*sensor, **kw)
        s.build()
    return ctx, scenes


VIEWS = {
    "orthographic": ((0, 24, 24, 8.0, 8.0, camera(5, 5, 6)), {}),
    "perspective": ((1, 24, 16, 0.0, 0.0, camera(5, -2, 6, 40.0)), {"fov": 50.0}),
    "fisheye": ((4, 20, 20, 0.0, 0.0, camera(5, 5, 0.2, 180.0)), {"projection_type": 1}),
}


@pytest.mark.parametrize("view", list(VIEWS))
def test_canopy_views_match_the_cpu_renderer(ng, view):
    sensor, kw = VIEWS[view]
    ctx, (g, c) = pair(ng, lambda ng_, s: canopy(ng_, s, "parametric" if view == "fisheye" else "constant"),
                       sensor, **kw)
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    sim.init()
    assert_same_means(sim.simulate(g, spp=6, max_depth=8), ng.simulate_cpu(c, spp=6, max_depth=8))


def test_repetitive_and_terrain_following_scenes_match_the_cpu_renderer(ng):
    def fill(ng_, s):
        canopy(ng_, s)
        s.set_repetitive(3, 10.0, 10.0)

    # A view much wider than the tile, and oblique: rays wrap through the walls.
    ctx, (g, c) = pair(ng, fill, (1, 20, 20, 0.0, 0.0, camera(-13, -8, 4, 60.0)), fov=70.0)
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    assert_same_means(sim.simulate(g, spp=6), ng.simulate_cpu(c, spp=6))
    for s in (g, c):
        s.set_sensor(0, 16, 16, 30.0, 30.0, camera(5, 5, -3, 20.0), terrain_following=True)
    assert_same_means(sim.simulate(g, spp=4), ng.simulate_cpu(c, spp=4))


def test_per_primitive_temperatures_override_the_materials(ng):
    """GPU materials at 250 K with per-primitive temperatures of 300 K (ground)
    and 310 K (leaves) render as the CPU scene whose materials carry those."""
    def thermal(ground_t, leaf_t):
        def fill(ng_, s):
            canopy(ng_, s, ground=(0, 0, ground_t), leaf=(0.6, 0.4, leaf_t))
            s.set_thermal_mode(True, [8000.0, 11000.0])
            s.set_sky(-1)  # emission alone
        return fill

    sensor = (0, 16, 16, 8.0, 8.0, camera(5, 5, 6))
    ctx, (g, _) = pair(ng, thermal(250.0, 250.0), sensor)
    _, (_, c) = pair(ng, thermal(300.0, 310.0), sensor)
    ids = g.get_primitive_mat_ids()
    g.set_primitive_temperatures(np.where(ids == 0, 300.0, 310.0).astype(np.float32))
    assert g.get_primitive_temperatures()[0] == 300.0
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    cpu = ng.simulate_cpu(c, spp=4)
    assert_same_means(sim.simulate(g, spp=4), cpu)
    g.clear_primitive_temperatures()
    assert sim.simulate(g, spp=4).mean() < 0.8 * cpu.mean()  # back to the materials' 250 K


def test_constant_sky_without_geometry_in_view_is_exact(ng):
    ctx = ng.OptiXContext()
    s = ng.SceneManager(ctx)
    s.set_num_bands(3)
    plane(ng, s, 0, 1.0, z=-5.0)
    s.add_material(GROUND, 0)
    s.upload_spectral_params(np.array([0.5, 0.5, 0.5, 1.25, 7.0, 0.0], np.float32))
    s.set_sky(3)
    s.set_sensor(1, 9, 7, 0, 0, camera(0, 0, 0, 180.0), fov=90.0)  # looking up
    s.build()
    img = ng.Simulator(ctx, ng.PTX_DIR).simulate(s, spp=3)
    assert img.shape == (7, 9, 3) and img.dtype == np.float32
    assert np.array_equal(img, np.broadcast_to(np.float32([1.25, 7.0, 0.0]), img.shape))


def test_sif_of_a_flat_plate_at_nadir_has_its_closed_form(ng):
    """SIF is Lambertian emission of the given radiance: a plate of reflectance
    rho under a zenith sun E and sky L shows rho (E / pi + L) + SIF; SIF-only
    mode shows the SIF alone."""
    ctx = ng.OptiXContext()
    s = ng.SceneManager(ctx)
    s.set_num_bands(2)
    plane(ng, s, 0, 5.0)
    s.add_material(GROUND, 0)
    rho, e, sky = np.float32([0.3, 0.1]), np.float32([900.0, 1200.0]), np.float32([20.0, 5.0])
    s.upload_spectral_params(np.concatenate([rho, e, sky]))
    s.set_emitter(0, np.float32([0, 0, 1]), 2)
    s.set_sky(4)
    s.set_sensor(0, 6, 6, 2.0, 2.0, camera(0, 0, 3))
    s.build()
    n = s.n_primitives()
    sif = np.float32([1.5, 0.7])
    s.set_primitive_sif_spectra(np.repeat(sif, n), 2)
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    img = sim.simulate(s, spp=2)
    np.testing.assert_allclose(img, np.broadcast_to(rho * (e / np.pi + sky) + sif, img.shape), rtol=2e-5)
    s.set_sif_only_mode(True)
    assert np.array_equal(sim.simulate(s, spp=2), np.broadcast_to(sif, img.shape))
    s.clear_primitive_sif_spectra()
    assert not sim.simulate(s, spp=2).any()
    with pytest.raises(RuntimeError, match=r"array length 3 != n_sif_bands \* n_primitives = 2 \* 2 = 4"):
        s.set_primitive_sif_spectra(np.ones(3, np.float32), 2)


def test_python_surface_of_the_gpu_classes(ng):
    ctx = ng.OptiXContext()
    s = ng.SceneManager(ctx)
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    assert list(ng.__dict__)[-1] == "PTX_DIR" and os.path.isfile(os.path.join(ng.PTX_DIR, "miss.ptx"))
    assert ng.SceneManager.n_primitives.__doc__.endswith("Total triangle count across all instances (after build).\n")
    canopy(ng, s)
    s.set_sensor(0, 4, 3, 8.0, 8.0, camera(5, 5, 6))
    with pytest.raises(RuntimeError, match=r"^Scene not built. Call scene.build\(\) first.$"):
        sim.simulate(s)
    with pytest.raises(ValueError, match="add_instance: mesh_id 500 does not exist"):
        s.add_instance(500)
    s.build()
    assert s.is_built() and s.has_gpu_meshes() and s.n_primitives() == 122 == s.total_triangles()
    assert s.get_primitive_areas().shape == (122,) and s.get_primitive_mat_ids().dtype == np.int32
    seen = []
    img = sim.simulate(s, spp=4, progress=lambda d, t, ms: seen.append((d, t)))
    assert img.shape == (3, 4, 2) and seen == [(1, 4), (2, 4), (3, 4), (4, 4)]
    s.set_num_bands(1)
    assert sim.simulate(s, spp=1).shape == (3, 4, 1)
    del ctx  # the scene and simulator keep their context alive
    assert sim.simulate(s, spp=1).shape == (3, 4, 1)


BAD_INPUT = [
    # (change to a built canopy, error type, message pattern)
    (lambda s: s.set_sensor(0, 70000, 70000, 4, 4, camera()), ValueError, "exceeds the 2\\^31 values"),
    # 648 MB of image on the host, but 8.4 GB of buffers on a device with 6 GiB free
    (lambda s: s.set_sensor(0, 9000, 9000, 4, 4, camera()), RuntimeError,
     "need 8424000936 bytes, but the device has \\d+ MiB free"),
    (lambda s: s.update_spectral_params(30, np.ones(5, np.float32)), ValueError,
     "range \\[30, 35\\) lies outside"),
    (lambda s: s.upload_spectral_params(np.ones(11, np.float32)), ValueError, "the constant sky reads spectral"),
    (lambda s: s.add_instance_xform(0, np.float32([1, 0, 0, np.inf] + [0] * 8)), ValueError,
     "add_instance: the instance transform"),
]


@pytest.mark.parametrize("change, error, message", BAD_INPUT)
def test_bad_input_is_refused_with_a_clear_error(ng, change, error, message):
    ctx = ng.OptiXContext()
    s = ng.SceneManager(ctx)
    canopy(ng, s)
    s.set_sensor(0, 4, 4, 8.0, 8.0, camera(5, 5, 6))
    s.build()
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    with pytest.raises(error, match=message):
        change(s)
        s.build()
        sim.simulate(s, spp=1)
