"""CPU energy balance: closed forms (isolated plate under sun and sky, long-wave
exchange of two parallel squares under a long-wave sky), the forward photon
tracer on a sun-lit canopy, per-primitive scene data, and the checks in their order."""

import math

import numpy as np
import pytest

import norvi_gpu as ng
from scene_geometry import random_leaves, sun_at

SIGMA = 5.670374419e-8


def square(z, half=1.0, n=1):
    """Square [-half, half]^2 at height z, n x n cells of two triangles, normal +z."""
    g = np.linspace(-half, half, n + 1)
    xx, yy = np.meshgrid(g, g)
    v = np.column_stack([xx.ravel(), yy.ravel(), np.full(xx.size, z)]).astype(np.float32)
    idx = []
    for j in range(n):
        for i in range(n):
            a = j * (n + 1) + i
            idx += [(a, a + 1, a + n + 2), (a, a + n + 2, a + n + 1)]
    return v, np.array(idx, np.int32)


def scene_of(*meshes):
    s = ng.EmbreeSceneManager()
    s.add_material(0, 0)
    for v, idx in meshes:
        s.add_instance(s.add_mesh(v, np.zeros((0, 3), np.float32), idx, 0))
    s.build()
    return s


def sun(zenith_deg):
    return dict(zip(("sun_dir_x", "sun_dir_y", "sun_dir_z"), map(float, sun_at(zenith_deg, 40.0))))


@pytest.mark.parametrize("zenith", [0.0, 60.0])
def test_isolated_plate_under_sun_and_sky(zenith):
    s = scene_of(square(0.0))
    albedo = 0.2
    top, bot = ng.run_energy_balance_cpu(s, 0, 16, 1000.0, 50.0, sw_albedos=[albedo, albedo],
                                         **sun(zenith))
    expected = (1 - albedo) * (1000.0 * math.cos(math.radians(zenith)) + math.pi * 50.0)
    np.testing.assert_allclose(top, expected, rtol=1e-4)
    np.testing.assert_array_equal(bot, 0.0)  # the sun is above; below the horizon is dark
    below = ng.run_energy_balance_cpu(s, 0, 4, 1000.0, sun_dir_x=0.6, sun_dir_z=-0.8)
    np.testing.assert_array_equal(below, 0.0)  # a sun below the horizon lights nothing
    # The multiband run with one band is the single-band short-wave run.
    mt, mb = ng.run_energy_balance_multiband_cpu(s, 1, 16, [1000.0], [50.0],
                                                 sw_albedos=[albedo, albedo], **sun(zenith))
    np.testing.assert_array_equal(mt[0], top)
    np.testing.assert_array_equal(mb[0], bot)


def parallel_squares_view_factor(a, h):
    x = a / h
    s = math.sqrt(1 + x * x)
    return 2 / (math.pi * x * x) * (math.log((1 + x * x) / math.sqrt(1 + 2 * x * x))
                                    + 2 * x * s * math.atan(x / s) - 2 * x * math.atan(x))


def test_parallel_squares_exchange_long_wave_with_the_view_factor():
    n = 8
    s = scene_of(square(0.0, 1.0, n), square(1.0, 1.0, n))
    m = 2 * n * n
    t1, t2, eps1, eps2, sky = 300.0, 350.0, 1.0, 0.8, 20.0
    s.set_primitive_temperatures(np.r_[np.full(m, t1), np.full(m, t2)])
    s.set_primitive_emissivities(np.r_[np.full(m, eps1), np.full(m, eps2)])
    top, bot = ng.run_energy_balance_cpu(s, 1, 2048, sky_lw_radiance=sky)
    f = parallel_squares_view_factor(2.0, 1.0)
    lower = eps1 * (f * eps2 * SIGMA * t2 ** 4 + (1 - f) * math.pi * sky)
    upper = eps2 * f * eps1 * SIGMA * t1 ** 4  # its bottom sees the lower square or the dark below
    assert top[:m].mean() == pytest.approx(lower, rel=0.01)
    assert bot[m:].mean() == pytest.approx(upper, rel=0.01)
    np.testing.assert_allclose(top[m:], eps2 * math.pi * sky, rtol=1e-5)  # only sky: none of its own emission
    np.testing.assert_array_equal(bot[:m], 0.0)


def test_sunlit_canopy_matches_the_forward_tracer_over_two_bounces():
    tile, rho, e_sun = 10.0, 0.3, 2.0
    v, idx, _ = random_leaves(900, tile, 0.5, 3.0, 0.5, seed=5, inside=True)  # wrapping at walls is exact
    s = ng.EmbreeSceneManager()
    s.upload_spectral_params(np.array([rho, e_sun, 0.0], np.float32))
    s.add_material(0, 0)  # Lambertian leaves reflecting rho on either side
    s.add_material(0, 2)  # black ground under them, ending the photons that pass
    s.add_instance(s.add_mesh(v, np.zeros((0, 3), np.float32), idx, 0))
    gv, gi = square(0.0, tile / 2)
    s.add_instance(s.add_mesh(gv, np.zeros((0, 3), np.float32), gi, 1), tile / 2, tile / 2, 0.0)
    d = sun(35.0)
    s.set_emitter(0, np.array([d["sun_dir_x"], d["sun_dir_y"], d["sun_dir_z"]], np.float32), 1)
    s.set_repetitive(50, tile, tile)
    s.set_measurement_plane(3.5)
    s.build()
    fwd = ng.simulate_forward_cpu(s, 1, 1, [0.0, 4.0], num_photons=1_000_000, per_leaf=True,
                                  max_depth=2)["leaf"][:900, 0]
    albedos = np.r_[np.full(900, rho), 0.0, 0.0]
    top, bot = ng.run_energy_balance_cpu(s, 0, 64, e_sun, sw_albedos=albedos, **d)
    power = (top + bot) * s.get_primitive_areas()
    assert power[:900].sum() == pytest.approx(fwd.sum(), rel=0.01)
    assert np.corrcoef(power[:900], fwd)[0, 1] > 0.98  # leaf by leaf, in the same order


def test_primitive_queries_follow_instances_then_triangles():
    s = ng.EmbreeSceneManager()
    s.add_material(0, 0)
    s.add_material(0, 0)
    v, idx = square(0.0)
    a = s.add_mesh(v, np.zeros((0, 3), np.float32), idx, 1)
    b = s.add_mesh(v, np.zeros((0, 3), np.float32), idx[:1], 0)
    assert s.n_primitives() == 0
    s.add_instance(b)
    s.add_instance(a, 0, 0, 5, 2.0)
    s.build()
    assert s.n_primitives() == 3
    np.testing.assert_allclose(s.get_primitive_areas(), [2.0, 8.0, 8.0])
    assert s.get_primitive_mat_ids().tolist() == [0, 1, 1]

    s.set_primitive_temperatures([280, 290, 300])
    s.set_primitive_emissivities(np.array([0.9, 0.95, 1.0]))
    temps, eps = s.set_primitive_temperatures, s.set_primitive_emissivities
    for setter, bad, exc, msg in [
        (temps, [1.0, 2.0], RuntimeError,
         "set_primitive_temperatures: array length 2 does not match n_primitives() = 3"),
        (temps, [[1.0, 2.0, 3.0]], RuntimeError, "temperatures must be 1D"),
        (temps, [1.0, 2.0, float("nan")], ValueError,
         "set_primitive_temperatures: value 2 is nan; expected a finite temperature >= 0 K"),
        (eps, np.ones((3, 1)), RuntimeError, "emissivities must be 1D"),
        (eps, [1.5, 1.0, 1.0], ValueError,
         "set_primitive_emissivities: value 0 is 1.5; expected an emissivity in [0, 1]"),
    ]:
        with pytest.raises(exc) as info:
            setter(bad)
        assert str(info.value) == msg
    assert s.get_primitive_temperatures().tolist() == [280, 290, 300]  # unchanged
    np.testing.assert_allclose(s.get_primitive_emissivities(), [0.9, 0.95, 1.0])

    s.add_instance(a)
    s.build()  # now 5 primitives: the 3 stored values no longer fit
    with pytest.raises(ValueError, match="temperatures hold 3 values but the scene has 5"):
        ng.run_energy_balance_cpu(s, 1)
    s.clear_primitive_temperatures()
    s.clear_primitive_emissivities()
    assert s.get_primitive_temperatures().size == 0
    assert ng.run_energy_balance_cpu(s, 1, 1)[0].shape == (5,)


def test_checks_come_in_order_with_their_messages():
    unbuilt = ng.EmbreeSceneManager()
    empty = ng.EmbreeSceneManager()
    empty.build()
    s = scene_of(square(0.0))
    eb, mb = ng.run_energy_balance_cpu, ng.run_energy_balance_multiband_cpu
    unbuilt_msg = "Scene not built. Call scene.build() first."
    cases = [
        (lambda: eb(unbuilt, n_samples=0), RuntimeError, unbuilt_msg),
        (lambda: eb(empty, n_samples=0), RuntimeError,
         "run_energy_balance: scene has 0 primitives"),
        (lambda: mb(empty, 0, 0), RuntimeError,
         "run_energy_balance_multiband: scene has 0 primitives"),
        (lambda: eb(s, n_samples=0), RuntimeError, "run_energy_balance: n_samples must be > 0"),
        (lambda: mb(s, 0, 0), RuntimeError, "run_energy_balance_multiband: n_bands must be > 0"),
        (lambda: mb(s, 1, 0), RuntimeError, "run_energy_balance_multiband: n_samples must be > 0"),
        (lambda: eb(s, 2), ValueError,
         "run_energy_balance: band_type must be 0 (short-wave) or 1 (long-wave); got 2"),
        (lambda: eb(s, sun_dir_x=float("nan")), ValueError,
         "run_energy_balance: the sun direction (sun_dir_x, sun_dir_y, sun_dir_z) = (nan, 0, 1) "
         "must be finite"),
        (lambda: eb(s, sw_albedos=[0.1, 0.2, 0.3]), ValueError,
         "run_energy_balance: sw_albedos holds 3 values; expected n_primitives = 2"),
        (lambda: eb(s, sw_albedos=[0.1, 1.2]), ValueError,
         "run_energy_balance: sw_albedos[1] = 1.2; expected a value in [0, 1]"),
        (lambda: mb(s, 2, sw_albedos=[0.1, 0.2]), ValueError,
         "run_energy_balance_multiband: sw_albedos holds 2 values; expected "
         "n_bands * n_primitives = 2 * 2 = 4"),
        (lambda: eb(s, sw_albedos=np.zeros((2, 1))), RuntimeError, "sw_albedos must be 1D"),
        (lambda: eb(s, sw_albedos=0.5), RuntimeError, "sw_albedos must be 1D"),
        (lambda: mb(s, 1, sw_albedos=[[0.1, 0.2]]), RuntimeError,
         "sw_albedos must be 1D (flattened [n_bands * n_prims])"),
        (lambda: mb(s, 2, sun_irradiance=[1.0, 2.0, 3.0]), RuntimeError,
         "sun_irradiance must be 1D with length n_bands"),
        (lambda: mb(s, 1, sky_diffuse_radiance=np.float32(1.0)), RuntimeError,
         "sky_diffuse_radiance must be 1D with length n_bands"),
    ]
    for call, exc, msg in cases:
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == msg


def test_layouts_and_absent_sun_after_a_run_with_one():
    s = scene_of(square(0.0))
    top, bot = ng.run_energy_balance_multiband_cpu(s, 2, 4, [100.0, 200.0], [1.0, 2.0])
    assert top.shape == bot.shape == (2, 2) and top.dtype == np.float32
    np.testing.assert_allclose(top[:, 0], [100 + math.pi, 200 + 2 * math.pi], rtol=1e-5)
    # No sun array: no sunlight, whatever the run before had.
    top, bot = ng.run_energy_balance_multiband_cpu(s, 2, 4, [], [1.0, 2.0], two_sided=False)
    np.testing.assert_allclose(top[:, 0], [math.pi, 2 * math.pi], rtol=1e-5)
    assert bot.shape == (0, 0)
    top, bot = ng.run_energy_balance_cpu(s, two_sided=False)
    assert top.shape == (2,) and bot.shape == (0,)
