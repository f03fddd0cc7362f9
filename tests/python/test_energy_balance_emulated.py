"""Simulator.run_energy_balance(_multiband) on the emulated GPU against the CPU
engines on the same scenes, the checks in their order, and the buffers kept
between runs.

Runs under CTest (gpu.python_emulated) on norvi_gpu_emulated; anywhere else
every test is skipped.
"""

import math

import numpy as np
import pytest

from test_gpu_backward_emulated import ng  # noqa: F401  (the fixture)

SIGMA = 5.670374419e-8


def canopy(ng, s, n_leaves=80):
    """A periodic 10 m tile: ground (two triangles) and tilted leaves."""
    s.add_material(0, 0)
    g = ng.make_ground_plane(5.0, 5.0)
    s.add_instance(s.add_mesh(g["vertices"], g["normals"], g["indices"], 0), 5.0, 5.0, 0.0, 1.0)
    rng = np.random.default_rng(7)
    leaf = np.array([[0, 0, 0], [0.7, 0, 0.2], [0.3, 0.6, -0.2]], np.float32)
    for _ in range(n_leaves):
        v = leaf + rng.uniform([0.5, 0.5, 0.4], [9.0, 9.0, 2.5]).astype(np.float32)
        s.add_instance(s.add_mesh(v, np.zeros((0, 3), np.float32), np.array([[0, 1, 2]], np.int32), 0))
    s.upload_spectral_params(np.array([0.2], np.float32))
    s.set_repetitive(3, 10.0, 10.0)
    s.build()


def pair(ng, fill=canopy):
    ctx = ng.OptiXContext()
    g, c = ng.SceneManager(ctx), ng.EmbreeSceneManager()
    fill(ng, g)
    fill(ng, c)
    return ctx, g, c


def assert_agree(gpu, cpu, groups):
    """Both runs use the same random streams: per primitive they agree to
    rounding; per group of primitives the means lie within 4 standard errors."""
    assert gpu.shape == cpu.shape and cpu.max() > 0
    close = np.isclose(gpu, cpu, rtol=1e-4, atol=1e-4 * cpu.max())
    assert close.mean() >= 0.99, np.argwhere(~close)[:5]
    for mask in groups:
        g, c = gpu[..., mask], cpu[..., mask]
        se = math.sqrt((g.var() + c.var()) / g.size) + 1e-6 * abs(c.mean())
        assert abs(g.mean() - c.mean()) <= 4 * se


def test_short_wave_long_wave_and_multiband_match_the_cpu(ng):
    ctx, g, c = pair(ng)
    n = g.n_primitives()
    assert n == c.n_primitives() == 82
    groups = [np.arange(n) < 2, np.arange(n) >= 2]  # ground, leaves
    albedos = np.random.default_rng(3).uniform(0.05, 0.6, n).astype(np.float32)
    sim = ng.Simulator(ctx, ng.PTX_DIR)

    sw = dict(band_type=0, n_samples=24, sun_irradiance=900.0, sky_diffuse_radiance=40.0,
              sun_dir_x=0.5, sun_dir_y=-0.2, sun_dir_z=0.7, sw_albedos=albedos)
    gt, gb = sim.run_energy_balance(g, **sw)
    ct, cb = ng.run_energy_balance_cpu(c, **sw)
    assert_agree(gt, ct, groups)
    assert_agree(gb, cb, groups)

    temps = np.linspace(270.0, 320.0, n).astype(np.float32)
    eps = np.linspace(0.9, 1.0, n).astype(np.float32)
    for s in (g, c):
        s.set_primitive_temperatures(temps)
        s.set_primitive_emissivities(eps)
    lw = dict(band_type=1, n_samples=24, sky_lw_radiance=95.0)
    gt, gb = sim.run_energy_balance(g, **lw)
    ct, cb = ng.run_energy_balance_cpu(c, **lw)
    assert_agree(gt, ct, groups)
    assert_agree(gb, cb, groups)
    # The ground's top sees mostly sky and leaves: between eps pi L_sky and
    # eps sigma T_max^4.
    assert 0.9 * math.pi * 95.0 < gt[0] < SIGMA * 320.0 ** 4

    # 20 bands: traced in more than one chunk of bands.
    nb = 20
    mb = dict(n_bands=nb, n_samples=12, sun_irradiance=np.linspace(100, 1000, nb).astype(np.float32),
              sky_diffuse_radiance=np.linspace(5, 50, nb).astype(np.float32), sun_dir_x=-0.3, sun_dir_z=0.9,
              sw_albedos=np.tile(albedos, nb) * np.repeat(np.linspace(0.2, 1.0, nb), n).astype(np.float32))
    gt, gb = sim.run_energy_balance_multiband(g, **mb)
    ct, cb = ng.run_energy_balance_multiband_cpu(c, **mb)
    assert gt.shape == gb.shape == (nb, n)
    assert_agree(gt, ct, groups)
    assert_agree(gb, cb, groups)

    # One band of the multiband run is the single-band short-wave run.
    one = sim.run_energy_balance_multiband(g, 1, 24, [900.0], [40.0], 0.5, -0.2, 0.7, True, albedos)
    single = sim.run_energy_balance(g, **sw)
    np.testing.assert_allclose(one[0][0], single[0], rtol=1e-6)
    np.testing.assert_allclose(one[1][0], single[1], rtol=1e-6)


def test_outputs_are_reset_between_runs(ng):
    ctx, g, _ = pair(ng)
    n = g.n_primitives()
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    top, bot = sim.run_energy_balance(g, n_samples=4, sun_irradiance=500.0)
    assert top.shape == bot.shape == (n,) and top.max() > 0
    top2, bot2 = sim.run_energy_balance(g, n_samples=4, sun_irradiance=500.0, two_sided=False)
    np.testing.assert_array_equal(top2, top)  # cleared, not added to
    assert bot2.shape == (0,)

    sun = np.array([300.0, 600.0], np.float32)
    top, bot = sim.run_energy_balance_multiband(g, 2, 4, sun)
    assert top.shape == bot.shape == (2, n) and top[1].max() > 0
    np.testing.assert_allclose(top[1], 2 * top[0], rtol=1e-5)
    # No sun array after a run with one: no sunlight, not the old values.
    top, bot = sim.run_energy_balance_multiband(g, 2, 4, two_sided=False)
    np.testing.assert_array_equal(top, 0.0)
    assert bot.shape == (0, 0)
    # Defaults: band 0, 64 samples, no sun and no sky: nothing absorbed.
    top, bot = sim.run_energy_balance(g)
    np.testing.assert_array_equal(top, 0.0)
    assert "2-bounce SW NEE" in ng.Simulator.run_energy_balance.__doc__
    assert "(SoA layout)" in ng.Simulator.run_energy_balance_multiband.__doc__


def test_checks_come_in_order_and_leave_the_simulator_usable(ng):
    ctx, g, c = pair(ng)
    n = g.n_primitives()
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    unbuilt = ng.SceneManager(ctx)
    eb, mb = sim.run_energy_balance, sim.run_energy_balance_multiband
    # The arguments go through the helpers of the CPU functions, whose every
    # refusal is tested with them; here the scene checks and one of each kind.
    cases = [
        (lambda: eb(unbuilt), RuntimeError, "Scene not built. Call scene.build() first."),
        (lambda: mb(unbuilt, 1), RuntimeError, "Scene not built. Call scene.build() first."),
        (lambda: eb(g, band_type=5, n_samples=0), RuntimeError, "run_energy_balance: n_samples must be > 0"),
        (lambda: mb(g, 0, 0), RuntimeError, "run_energy_balance_multiband: n_bands must be > 0"),
        (lambda: eb(g, sw_albedos=np.zeros(3, np.float32)), ValueError,
         f"run_energy_balance: sw_albedos holds 3 values; expected n_primitives = {n}"),
        (lambda: mb(g, 2, sun_irradiance=np.ones(3, np.float32)), RuntimeError,
         "sun_irradiance must be 1D with length n_bands"),
    ]
    for call, kind, text in cases:
        with pytest.raises(kind) as err:
            call()
        assert text in str(err.value)
    # A good run after the refusals.
    top, _ = eb(g, n_samples=8, sun_irradiance=700.0, sun_dir_x=0.3)
    np.testing.assert_allclose(top, ng.run_energy_balance_cpu(c, n_samples=8, sun_irradiance=700.0,
                                                               sun_dir_x=0.3)[0], rtol=1e-4, atol=1e-3)
