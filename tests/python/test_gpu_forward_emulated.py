"""Simulator.simulate_forward and simulate_flux on the emulated GPU: the same
tallies as the CPU engines on the same scenes, energy conservation, batch
splitting, console lines and arguments refused before any GPU work (the
closed forms themselves are tested on the CPU engines).

Runs under CTest (gpu.python_emulated) on norvi_gpu_emulated; anywhere else
every test is skipped.
"""

import math

import numpy as np
import pytest

from scene_geometry import E_SUN, TILE, build_tile, random_leaves
from test_gpu_backward_emulated import ng  # noqa: F401  (the fixture)

# (norvi_gpu and norvi_gpu_emulated cannot share a process: the CPU tests'
# conftest is not imported, only their module-free geometry.)


def pair(ng, **kw):
    ctx = ng.OptiXContext()
    gpu = build_tile(ng, ng.SceneManager(ctx), **kw)
    cpu = build_tile(ng, ng.EmbreeSceneManager(), **kw)
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    sim.init()
    return ctx, sim, gpu, cpu


def refused(kind, text, call):
    """call() raises `kind` with `text` in its message (no traceback is kept,
    so the scene and simulator it names are freed with the test)."""
    try:
        call()
    except kind as err:
        message = str(err)
    else:
        pytest.fail(f"no {kind.__name__}: {text}")
    assert text in message, (text, message)


def close(g, c, unit, what):
    """Sums within 4 standard errors: each photon adds at most a few `unit`s,
    so the variance of a sum s is at most unit * s."""
    g, c = float(np.sum(g)), float(np.sum(c))
    assert abs(g - c) <= 4 * math.sqrt(3 * unit * (abs(g) + abs(c))) + 1e-6 * abs(c), (what, g, c)


def test_forward_and_flux_tallies_match_the_cpu_engines_and_conserve_energy(ng, capfd):
    v, i, _ = random_leaves(2566, TILE, 1.0, 3.0, 0.3)  # a leaf area index of 1
    ctx, sim, g, c = pair(ng, leaves=(v, i), leaf_rt=(0.45, 0.4), ground_rho=0.2, zenith=35.0, sky=0.1)
    n = 20000
    kw = dict(num_photons=n, num_brf_dirs=2, brf_directions=np.array([0, 0, 1, 0.5, 0, 1], np.float32),
              max_depth=100, terrain_instance_id=0, per_leaf=True, prob_sun=0.7)
    heights = np.array([0.0, 0.5, 2.0, 3.5], np.float32)
    rg = sim.simulate_forward(g, 2, 2, heights, **kw)
    rc = ng.simulate_forward_cpu(c, 2, 2, heights, **kw)
    assert sorted(rg) == sorted(rc) == ["albedo", "brf", "grid", "leaf", "terrain"]
    for key in rc:
        assert rg[key].shape == rc[key].shape and rg[key].dtype == np.float32, key
    unit = (E_SUN + math.pi * 0.1) * TILE * TILE / n / 0.3
    for k in range(3):
        close(rg["grid"][k], rc["grid"][k], unit, ("layer", k))
    for key in ("leaf", "terrain", "brf", "albedo"):
        close(rg[key], rc[key], unit, key)
    incident = (E_SUN * math.cos(math.radians(35.0)) + math.pi * 0.1) * TILE * TILE
    assert rg["grid"].sum() + rg["albedo"].sum() == pytest.approx(incident, rel=0.01)
    assert rg["leaf"].sum() + rg["terrain"].sum() == pytest.approx(rg["grid"].sum(), rel=1e-5)
    assert np.all(rg["leaf"][:2] == 0.0)  # the ground's triangles are the terrain's

    fg = sim.simulate_flux(g, 3, 2, n, 1, prob_sun=0.7, max_depth=100)
    fc = ng.simulate_flux_cpu(c, 3, 2, n, 1, prob_sun=0.7, max_depth=100)
    for key in ("downwelling", "upwelling"):
        assert fg[key].shape == (2, 3, 1) and fg[key].dtype == np.float32
        for row in range(2):
            close(fg[key][row], fc[key][row], unit, (key, row))
    out = capfd.readouterr()
    assert "Forward: 20000 photons (1 batches), 2x2x3 grid, 1 bands = " in out.out
    assert "[fwd] buffers allocated (batch=20480)" in out.err
    assert "Forward flux (GPU): 20000 photons, grid 3x2, 1 bands, max_bounces_record=-1\n" in out.out


def test_three_million_photons_run_as_two_batches_with_the_same_totals(ng):
    ctx, sim, g, c = pair(ng, ground_rho=0.3, zenith=20.0)
    n = 3000000
    calls = []
    r = sim.simulate_flux(g, 4, 4, n, 1, max_depth=1, progress=lambda d, t, ms: calls.append((d, t)))
    assert calls == [(2097152, n), (n, n)]
    # Every photon lands once on the ground, in the cell its own random
    # stream picks: the same cells as the CPU's single series of the same
    # photons, to float rounding of the sums.
    incident = E_SUN * math.cos(math.radians(20.0)) * TILE * TILE
    assert r["downwelling"].sum() == pytest.approx(incident, rel=1e-5)
    cpu = ng.simulate_flux_cpu(c, 4, 4, n, 1, max_depth=1)
    np.testing.assert_allclose(r["downwelling"], cpu["downwelling"], rtol=1e-5)


def test_bad_arguments_are_refused_before_any_gpu_work(ng, capfd):
    ctx, sim, g, _ = pair(ng)
    h = np.array([0.0, 1.0], np.float32)
    bad = [
        (RuntimeError, "layer_heights needs at least 2 values", lambda: sim.simulate_forward(g, layer_heights=[1.0])),
        (ValueError, "strictly increasing", lambda: sim.simulate_forward(g, layer_heights=[1.0, 1.0])),
        (ValueError, "fewer than 3 x num_brf_dirs", lambda: sim.simulate_forward(
            g, layer_heights=h, num_brf_dirs=2, brf_directions=np.array([0, 0, 1], np.float32))),
        (ValueError, "brf_directions[0]", lambda: sim.simulate_forward(
            g, layer_heights=h, num_brf_dirs=1, brf_directions=np.array([0, np.nan, 1], np.float32))),
        (ValueError, "terrain_instance_id 5", lambda: sim.simulate_forward(g, layer_heights=h, terrain_instance_id=5)),
        (ValueError, "num_bands (2)", lambda: sim.simulate_forward(g, layer_heights=h, num_bands=2)),
        (ValueError, "prob_sun", lambda: sim.simulate_forward(g, layer_heights=h, prob_sun=1.5)),
        (RuntimeError, "simulate_flux: nx and ny must be > 0", lambda: sim.simulate_flux(g, 0, 1, 10, 1)),
        (RuntimeError, "simulate_flux: num_photons must be > 0", lambda: sim.simulate_flux(g, 1, 1, 0, 1)),
        (ValueError, "max_bounces", lambda: sim.simulate_flux(g, 1, 1, 10, 1, max_bounces=-1)),
    ]
    for case in bad:
        refused(*case)
    assert "[fwd] initialized" not in capfd.readouterr().err
    # A scene with neither tile sizes nor an orthographic sensor has no flux extent.
    s = ng.SceneManager(ctx)
    s.set_num_bands(1)
    s.upload_spectral_params(np.array([0.0, 1.0], np.float32))
    s.add_material(0, 0)
    p = ng.make_ground_plane(1.0, 1.0)
    s.add_instance(s.add_mesh(p["vertices"], p["normals"], p["indices"], 0))
    s.build()
    refused(RuntimeError, "simulate_flux: scene extent unknown", lambda: sim.simulate_flux(s, 1, 1, 10, 1))


def lidar_pair(ng):
    """A ground (reflectance 0.3) under a roof at z = 5 over x < 0 (reflectance 0.6)."""
    ctx = ng.OptiXContext()
    out = []
    for s in (ng.SceneManager(ctx), ng.EmbreeSceneManager()):
        s.set_num_bands(1)
        s.upload_spectral_params(np.array([0.3, 0.6], np.float32))
        s.add_material(0, 0)
        s.add_material(0, 1)
        g = ng.make_ground_plane(20.0, 20.0)
        s.add_instance(s.add_mesh(g["vertices"], g["normals"], g["indices"], 0))
        r = ng.make_ground_plane(10.0, 10.0)
        s.add_instance(s.add_mesh(r["vertices"], r["normals"], r["indices"], 1), -10.0, 0.0, 5.0)
        s.build()
        out.append(s)
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    sim.init()
    return ctx, sim, out[0], out[1]


def test_lidar_matches_the_cpu_simulator_in_both_modes(ng):
    ctx, sim, g, c = lidar_pair(ng)
    xs = [-3.0, 3.0, 0.1, 30.0]  # roof, ground, the roof's edge (two returns), nothing
    n = len(xs)
    origins = np.array([[x, 0.2, 20.0] for x in xs], np.float32).ravel()
    dirs = np.tile(np.array([0, 0, -1], np.float32), n)
    kw = dict(beam_half_angle_rad=0.05, range_resolution=0.1, max_range=40.0)

    pg = sim.simulate_lidar(g, origins, dirs, n, direct_mode=True, **kw)
    pc = ng.simulate_lidar_cpu(c, origins, dirs, n, direct_mode=True, **kw)
    assert pg["num_returns"] == pc["num_returns"] == 3 and pg["num_bins"] == pc["num_bins"]
    cols = [0, 1, 2, 3, 7]  # position, intensity, pulse
    np.testing.assert_allclose(pg["points"][:, cols], pc["points"][:, cols], rtol=1e-6, atol=1e-6)
    assert np.all(pg["points"][:, 4:7] == [1.0, 1.0, 0.0])
    assert pg["waveform"].shape == (n, pc["num_bins"], 1) and not pg["waveform"].any()

    wg = sim.simulate_lidar(g, origins, dirs, n, **kw)
    wc = ng.simulate_lidar_cpu(c, origins, dirs, n, **kw)
    assert wg["waveform"].shape == wc["waveform"].shape
    np.testing.assert_allclose(wg["waveform"], wc["waveform"], rtol=1e-5, atol=1e-9)
    np.testing.assert_allclose(wg["points"], wc["points"], rtol=1e-5, atol=1e-9)
    edge = wg["points"][wg["points"][:, 7] == 2]
    assert len(edge) == 2 and edge[0, 6] < edge[1, 6]  # roof first, then ground
    assert edge[0, 6] == pytest.approx(15.0, abs=0.2) and edge[1, 6] == pytest.approx(20.0, abs=0.2)

    # N = 1 keeps no grid point: one central sub-ray of weight 1.
    one = sim.simulate_lidar(g, origins, dirs, n, beam_samples_per_dim=1, **kw)
    assert one["num_returns"] == 3 and one["waveform"].sum() > 0
    bad = [
        (RuntimeError, "No pulses to simulate.", lambda: sim.simulate_lidar(g, origins, dirs, 0)),
        (ValueError, "pulse_directions must hold 3 x num_pulses", lambda: sim.simulate_lidar(g, origins, dirs[:5], n)),
        (ValueError, "pulse_directions of pulse 1",
         lambda: sim.simulate_lidar(g, origins, np.array([0, 0, -1, 0, np.inf, -1], np.float32), 2)),
        (ValueError, "num_wavelengths", lambda: sim.simulate_lidar(g, origins, dirs, n, num_wavelengths=3)),
    ]
    for case in bad:
        refused(*case)
