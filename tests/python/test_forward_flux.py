"""CPU forward photon tracer and flux maps: closed-form energies (black and
Lambertian ground, energy conservation, Beer-Lambert through a leaf layer),
tally layouts, and arguments refused before any photon is traced."""

import math
import re

import numpy as np
import pytest

import norvi_gpu as ng
from scene_geometry import E_SUN, TILE, build_tile, random_leaves, sun_at


@pytest.fixture(scope="module")
def leaf_layer():
    """Leaves of side 0.2 between heights 1 and 3, a one-sided leaf area index of 1."""
    vertices, indices, area = random_leaves(round(TILE * TILE / (math.sqrt(3.0) / 4 * 0.04)), TILE, 1.0, 3.0, 0.2)
    return vertices, indices, area / (TILE * TILE)


def tile_scene(**kwargs):
    return build_tile(ng, ng.EmbreeSceneManager(), **kwargs)


# ---------------------------------------------------------------------------
# Closed forms


@pytest.mark.parametrize("zenith", [0.0, 40.0])
def test_black_ground_holds_all_incident_energy_in_the_bottom_cells(zenith):
    s = tile_scene(zenith=zenith)
    incident = E_SUN * math.cos(math.radians(zenith)) * TILE * TILE
    heights = [0.0, 0.5, 1.0, 4.0]
    r = ng.simulate_forward_cpu(s, 4, 5, heights, num_photons=20000, num_brf_dirs=1,
                                brf_directions=[0, 0, 1], terrain_instance_id=0)
    grid = r["grid"]
    assert grid.shape == (3, 5, 4, 1)
    # Every photon lands on the ground and stays there: exact up to rounding.
    assert grid.sum() == pytest.approx(incident, rel=1e-5)
    assert grid[1:].sum() == 0.0
    assert r["terrain"][0] == pytest.approx(incident, rel=1e-5)
    assert r["albedo"][0] == 0.0 and r["brf"][0, 0] == 0.0
    # Uniform over the cells within Monte Carlo error (1000 photons a cell).
    cells = grid[0, :, :, 0] / (incident / 20)
    assert np.all(np.abs(cells - 1.0) < 5 * math.sqrt(1 / 1000))

    f = ng.simulate_flux_cpu(s, 4, 5, 20000, 1)
    assert f["downwelling"].shape == f["upwelling"].shape == (5, 4, 1)
    assert f["downwelling"].sum() == pytest.approx(incident, rel=1e-5)
    assert np.array_equal(f["downwelling"], grid[0])  # same photons, same cells
    assert f["upwelling"].sum() == 0.0


def black_cube_scene(side, zenith, azimuth, sky=None):
    """A black cube [0, side]^3 alone (not repetitive); the sensor footprint
    covers its top face."""
    s = ng.EmbreeSceneManager()
    s.upload_spectral_params(np.array([0.0, E_SUN] + ([sky] if sky is not None else []), np.float32))
    s.add_material(0, 0)
    c = np.array([[x, y, z] for z in (0, side) for y in (0, side) for x in (0, side)], np.float32)
    quads = [(0, 2, 3, 1), (4, 5, 7, 6), (0, 1, 5, 4), (2, 6, 7, 3), (0, 4, 6, 2), (1, 3, 7, 5)]
    tris = np.array([t for q in quads for t in ((q[0], q[1], q[2]), (q[0], q[2], q[3]))], np.int32)
    s.add_mesh(c, np.zeros((0, 3), np.float32), tris, 0)
    s.add_instance(0)
    s.set_emitter(0, sun_at(zenith, azimuth), 1)
    if sky is not None:
        s.set_sky(2)
    s.set_sensor(0, 4, 4, side, side, np.eye(4, dtype=np.float32).ravel())
    s.build()
    return s


def test_finite_scene_photons_enter_every_lit_face():
    # Not repetitive: photons enter the scene box through its top and sides, and
    # the grid spans the sensor footprint. Sun photons enter the top and the two
    # lit sides in proportion to their projected areas: the cube intercepts E
    # times its projected area (exactly E side^2 under a zenith sun). Sky
    # photons enter the top and all four sides: each face receives pi L.
    side = 50.0
    for zenith, azimuth, rel in ((0.0, 0.0, 1e-5), (50.0, 200.0, 0.01)):
        s = black_cube_scene(side, zenith, azimuth)
        sd = sun_at(zenith, azimuth)
        projected = side * side * (abs(sd[0]) + abs(sd[1]) + abs(sd[2]))
        r = ng.simulate_forward_cpu(s, 2, 2, [0.0, side], num_photons=20000)
        assert r["grid"].sum() == pytest.approx(E_SUN * projected, rel=rel)
        f = ng.simulate_flux_cpu(s, 2, 2, 20000, 1)
        assert f["downwelling"].sum() == pytest.approx(E_SUN * projected, rel=rel)
        assert f["upwelling"].sum() == 0.0

    sky = 0.25
    s = black_cube_scene(side, 50.0, 200.0, sky=sky)
    r = ng.simulate_forward_cpu(s, 2, 2, [0.0, side], num_photons=20000, prob_sun=0.0)
    assert r["grid"].sum() == pytest.approx(math.pi * sky * 5 * side * side, rel=0.01)
    # Flux cells are half-open, [0, side) in x and y: hits on the faces x = side
    # and y = side lie outside the map (the forward grid clamps them into the
    # edge cells instead).
    f = ng.simulate_flux_cpu(s, 2, 2, 20000, 1, prob_sun=0.0)
    assert f["downwelling"].sum() == pytest.approx(math.pi * sky * 3 * side * side, rel=0.01)


def test_lambertian_ground_albedo_absorption_and_brf():
    rho = 0.3
    s = tile_scene(ground_rho=rho, reps=2)
    incident = E_SUN * TILE * TILE
    dirs = np.array([0, 0, 1, 0.6, 0, 0.8, 0, 0.6, -0.8], np.float32)
    r = ng.simulate_forward_cpu(s, 1, 1, [0.0, 1.0], num_photons=20000, brf_directions=dirs,
                                num_brf_dirs=3, terrain_instance_id=0)
    # Each photon deposits (1 - rho) of its energy, scatters rho of it
    # upward into an empty sky and reports (rho / pi) v_z toward each view.
    assert r["grid"].sum() == pytest.approx((1 - rho) * incident, rel=1e-5)
    assert r["terrain"][0] == pytest.approx((1 - rho) * incident, rel=1e-5)
    assert r["albedo"][0] == pytest.approx(rho * incident, rel=1e-5)
    assert r["brf"][:, 0] == pytest.approx([rho / math.pi * incident,
                                            rho / math.pi * 0.8 * incident, 0.0], rel=1e-5)

    f = ng.simulate_flux_cpu(s, 2, 2, 20000, 1)
    assert f["downwelling"].sum() == pytest.approx(incident, rel=1e-5)
    assert f["upwelling"].sum() == pytest.approx(rho * incident, rel=1e-5)
    # With max_bounces = 1 only first arrivals count; the escape still does.
    f1 = ng.simulate_flux_cpu(s, 2, 2, 20000, 1, max_bounces=1)
    assert np.array_equal(f1["downwelling"], f["downwelling"])
    assert np.array_equal(f1["upwelling"], f["upwelling"])


def test_energy_is_conserved_in_a_canopy_closed_by_a_ground(leaf_layer):
    vertices, indices, _ = leaf_layer
    # Leaves sample reflection and transmission in proportion to R and T, so
    # every scattering keeps R + T of the weight: only roulette adds noise.
    s = tile_scene(ground_rho=0.2, leaves=(vertices, indices), leaf_rt=(0.45, 0.4), zenith=35.0)
    incident = E_SUN * math.cos(math.radians(35.0)) * TILE * TILE
    heights = [0.0, 0.5, 2.0, 3.5]
    r = ng.simulate_forward_cpu(s, 2, 2, heights, num_photons=20000, num_brf_dirs=1,
                                brf_directions=[0, 0, 1], max_depth=200, terrain_instance_id=0,
                                per_leaf=True)
    total = r["grid"].sum() + r["albedo"].sum()
    assert total == pytest.approx(incident, rel=0.01)
    assert 0.1 * incident < r["albedo"][0] < 0.6 * incident
    # Per-leaf tallies: all of the grid's absorption except the terrain's.
    leaf = r["leaf"]
    assert leaf.shape == (2 + indices.shape[0], 1)
    assert np.all(leaf[:2] == 0.0)  # the ground's two triangles: never in "leaf"
    assert leaf.sum() + r["terrain"].sum() == pytest.approx(r["grid"].sum(), rel=1e-5)
    # The ground is the only absorber in layer 0; no leaf reaches below z = 0.8.
    assert vertices[:, 2].min() > 0.8
    assert r["grid"][0].sum() == pytest.approx(r["terrain"][0], rel=1e-5)

    # Without a terrain instance the ground's triangles carry its absorption.
    r2 = ng.simulate_forward_cpu(s, 2, 2, heights, num_photons=20000, max_depth=200,
                                 per_leaf=True)
    assert "terrain" not in r2
    assert r2["leaf"][:2].sum() == pytest.approx(r["terrain"][0], rel=1e-5)
    assert r2["leaf"].sum() == pytest.approx(r2["grid"].sum(), rel=1e-5)


@pytest.mark.parametrize("zenith", [0.0, 50.0])
def test_black_leaf_layer_transmits_as_beer_lambert(leaf_layer, zenith):
    vertices, indices, lai = leaf_layer
    s = tile_scene(leaves=(vertices, indices), zenith=zenith)
    n = 30000
    r = ng.simulate_forward_cpu(s, 1, 1, [0.0, 0.5, 4.0], num_photons=n, terrain_instance_id=0)
    incident = E_SUN * math.cos(math.radians(zenith)) * TILE * TILE
    gap = r["terrain"][0] / incident
    expected = math.exp(-0.5 * lai / math.cos(math.radians(zenith)))
    assert gap == pytest.approx(expected, rel=0.03)
    assert r["grid"].sum() == pytest.approx(incident, rel=1e-3)  # black: nothing escapes


@pytest.mark.parametrize("hw", [False, True])
def test_sun_and_uniform_sky_on_a_black_ground(hw):
    sky = 0.25
    s = tile_scene(zenith=30.0, sky=sky, hw_sky=hw)
    sun_part = E_SUN * math.cos(math.radians(30.0)) * TILE * TILE
    sky_part = math.pi * sky * TILE * TILE  # irradiance of a uniform sky: pi L
    n = 40000
    r = ng.simulate_forward_cpu(s, 1, 1, [0.0, 1.0], num_photons=n, prob_sun=0.4)
    # Sun photons carry sun_part / (0.4 n) each, sky photons sky_part / (0.6 n).
    sd = math.sqrt(n * 0.4 * 0.6) * abs(sun_part / (0.4 * n) - sky_part / (0.6 * n))
    assert abs(r["grid"].sum() - (sun_part + sky_part)) < 5 * sd
    only_sky = ng.simulate_forward_cpu(s, 1, 1, [0.0, 1.0], num_photons=n, prob_sun=0.0)
    assert only_sky["grid"].sum() == pytest.approx(sky_part, rel=1e-5)
    f = ng.simulate_flux_cpu(s, 1, 1, n, 1, prob_sun=0.0)
    assert f["downwelling"].sum() == pytest.approx(sky_part, rel=1e-5)


def test_without_a_sky_every_photon_is_a_sun_photon_whatever_prob_sun():
    s = tile_scene(ground_rho=0.3, zenith=20.0)
    base = ng.simulate_forward_cpu(s, 2, 2, [0.0, 1.0], num_photons=3000)["grid"]
    for p in (0.25, 0.0):
        assert np.array_equal(ng.simulate_forward_cpu(s, 2, 2, [0.0, 1.0], num_photons=3000,
                                                      prob_sun=p)["grid"], base)
        f = ng.simulate_flux_cpu(s, 2, 2, 3000, 1, prob_sun=p)
        assert np.isfinite(f["downwelling"]).all()
        assert f["downwelling"].sum() == pytest.approx(base.sum() / 0.7, rel=1e-5)


def test_flux_cells_follow_the_hits():
    # Ground over the left half of the tile only: the right cells get nothing
    # from the sun directly.
    s = tile_scene(ground_size=TILE / 2, reps=1)
    f = ng.simulate_flux_cpu(s, 4, 2, 8000, 1)
    down = f["downwelling"][:, :, 0]
    assert np.all(down[:, 2:] == 0.0)
    assert down[:, :2].sum() == pytest.approx(E_SUN * TILE * TILE / 2, rel=0.05)
    assert np.all(down[:, :2] > 0.0)


def test_horizon_sun_and_depth_limits():
    s = tile_scene(ground_rho=0.5, sky=0.3)
    s.update_emitter_direction(np.array([1.0, 0.0, 0.005], np.float32))
    r = ng.simulate_forward_cpu(s, 1, 1, [0.0, 1.0], num_photons=1000, prob_sun=0.5,
                                num_brf_dirs=1, brf_directions=[0, 0, 1])
    assert r["grid"].sum() == 0.0 and r["albedo"].sum() == 0.0  # sky photons too
    s.update_emitter_direction(np.zeros(3, np.float32))  # no sun at all: no sky photons either
    f = ng.simulate_flux_cpu(s, 1, 1, 1000, 1, prob_sun=0.5)
    assert not f["downwelling"].any() and not f["upwelling"].any()
    s.update_emitter_direction(np.array([0.0, 0.0, 1.0], np.float32))
    r = ng.simulate_forward_cpu(s, 1, 1, [0.0, 1.0], num_photons=1000, max_depth=1,
                                num_brf_dirs=1, brf_directions=[0, 0, 1])
    assert r["albedo"][0] == 0.0 and r["brf"][0, 0] > 0.0 and r["grid"].sum() > 0.0
    r = ng.simulate_forward_cpu(s, 1, 1, [0.0, 1.0], num_photons=1000, max_depth=0)
    assert r["grid"].sum() == 0.0


def test_sources_below_the_horizon_and_certain_sun():
    sky = 0.25
    s = tile_scene(sky=sky)
    s.update_emitter_direction(np.array([0.6, 0.0, -0.8], np.float32))
    n = 20000
    r = ng.simulate_forward_cpu(s, 1, 1, [0.0, 1.0], num_photons=n, prob_sun=0.5)
    # Only the sky photons (half of them, binomially) bring energy.
    sky_part = math.pi * sky * TILE * TILE
    assert r["grid"].sum() == pytest.approx(sky_part, rel=5 / math.sqrt(n))
    # prob_sun = 1 with a sky: sun photons only.
    s.update_emitter_direction(sun_at(30.0, 30.0))
    r = ng.simulate_forward_cpu(s, 1, 1, [0.0, 1.0], num_photons=n, prob_sun=1.0)
    assert r["grid"].sum() == pytest.approx(E_SUN * math.cos(math.radians(30.0)) * TILE * TILE, rel=1e-5)


# ---------------------------------------------------------------------------
# Layouts, defaults, console lines, progress


def test_result_keys_follow_their_conditions(ground_scene):
    h = [0.0, 1.0]
    r = ng.simulate_forward_cpu(ground_scene, layer_heights=h, num_photons=10)
    assert list(r) == ["grid"] and r["grid"].shape == (1, 1, 1, 1)
    assert r["grid"].dtype == np.float32
    r = ng.simulate_forward_cpu(ground_scene, 3, 2, h, num_photons=10, per_leaf=True,
                                brf_directions=np.array([0, 0, 1, 0, 0.6, 0.8], np.float32),
                                num_brf_dirs=2, terrain_instance_id=0)
    assert list(r) == ["grid", "leaf", "brf", "albedo", "terrain"]
    assert r["grid"].shape == (1, 2, 3, 1)
    assert r["leaf"].shape == (2, 1)
    assert r["brf"].shape == (2, 1)
    assert r["albedo"].shape == (1,) and r["terrain"].shape == (1,)
    # A view direction below the horizon still gives the albedo.
    r = ng.simulate_forward_cpu(ground_scene, 1, 1, h, num_photons=10, brf_directions=[0, 0, -1],
                                num_brf_dirs=1)
    assert list(r) == ["grid", "brf", "albedo"]
    # layer_heights as a list of ints; positional after nx, ny; required.
    assert ng.simulate_forward_cpu(ground_scene, 1, 1, [0, 1, 2], 10)["grid"].shape == (2, 1, 1, 1)
    with pytest.raises(TypeError):
        ng.simulate_forward_cpu(ground_scene, 1, 1)


def test_zero_photons_or_an_empty_scene_give_zero_tallies(ground_scene):
    calls = []
    r = ng.simulate_forward_cpu(ground_scene, 3, 2, [0.0, 1.0, 2.0], num_photons=0, per_leaf=True,
                                brf_directions=[0, 0, 1], num_brf_dirs=1, terrain_instance_id=0,
                                progress=lambda *a: calls.append(a))
    assert r["grid"].shape == (2, 2, 3, 1) and not r["grid"].any()
    assert r["leaf"].shape == (2, 1) and not r["leaf"].any()
    assert not r["brf"].any() and not r["albedo"].any() and not r["terrain"].any()
    f = ng.simulate_flux_cpu(ground_scene, 3, 2, 0, 1, progress=lambda *a: calls.append(a))
    assert f["downwelling"].shape == (2, 3, 1) and not f["downwelling"].any()
    assert calls == []
    empty = ng.EmbreeSceneManager()
    empty.upload_spectral_params(np.array([1.0], np.float32))
    empty.set_emitter(0, [0, 0, 1], 0)
    empty.set_repetitive(1, 5.0, 5.0)
    empty.build()
    r = ng.simulate_forward_cpu(empty, 2, 2, [0.0, 1.0], num_photons=100, per_leaf=True)
    assert list(r) == ["grid"] and not r["grid"].any()  # no triangles: no "leaf"


def test_console_lines_and_progress_per_million(capfd):
    s = tile_scene()
    calls = []
    ng.simulate_forward_cpu(s, 2, 3, [0.0, 1.0, 2.0], num_photons=1200000, max_depth=1,
                            progress=lambda *a: calls.append(a))
    out = capfd.readouterr().out
    assert re.fullmatch(r"Forward fPAR \(CPU\): 1200000 photons, grid 2x3x2, 1 bands, \d+ threads\n", out)
    assert [c[:2] for c in calls] == [(1000000, 1200000), (1200000, 1200000)]
    assert isinstance(calls[0][2], float) and 0.0 <= calls[0][2] <= calls[1][2]

    ng.simulate_flux_cpu(s, 4, 5, 10, 1, max_bounces=2)
    out = capfd.readouterr().out
    assert re.fullmatch(r"Forward flux \(CPU\): 10 photons, grid 4x5, 1 bands, "
                        r"max_bounces_record=2, \d+ threads\n", out)


@pytest.mark.parametrize("run", [
    lambda s, p: ng.simulate_forward_cpu(s, 1, 1, [0.0, 1.0], 10, progress=p),
    lambda s, p: ng.simulate_flux_cpu(s, 1, 1, 10, 1, progress=p),
], ids=["forward", "flux"])
def test_an_exception_from_progress_reaches_the_caller(ground_scene, run):
    def progress(done, total, ms):
        raise KeyError("stop here")

    with pytest.raises(KeyError, match="stop here"):
        run(ground_scene, progress)
    with pytest.raises(TypeError):  # not callable: fails at the first report
        run(ground_scene, 3)
    assert len(run(ground_scene, None)) >= 1  # the scene is still usable


def test_max_depth_override_from_the_environment(capfd, monkeypatch):
    monkeypatch.setenv("NORVI_MAX_DEPTH", "1")
    s = tile_scene(ground_rho=0.5)
    r = ng.simulate_forward_cpu(s, 1, 1, [0.0, 1.0], num_photons=100, num_brf_dirs=1,
                                brf_directions=[0, 0, 1])
    assert r["albedo"][0] == 0.0  # one interaction: nothing escapes after scattering
    ng.simulate_flux_cpu(s, 1, 1, 10, 1)
    out = capfd.readouterr().out.splitlines()
    assert out[0] == "[CPU fwd] NORVI_MAX_DEPTH=1" and out[1].startswith("Forward fPAR (CPU)")
    assert out[2] == "[CPU flux] NORVI_MAX_DEPTH=1" and out[3].startswith("Forward flux (CPU)")


# ---------------------------------------------------------------------------
# Arguments refused before anything is traced


def test_bad_arguments_are_refused_before_anything_is_traced(ground_scene, capfd):
    calls = []

    def fwd(scene=ground_scene, **kwargs):
        return lambda: ng.simulate_forward_cpu(scene, progress=lambda *a: calls.append(a),
                                               **{"layer_heights": [0.0, 1.0], "num_photons": 10, **kwargs})

    def flux(*args, scene=ground_scene, **kwargs):
        return lambda: ng.simulate_flux_cpu(scene, *args, progress=lambda *a: calls.append(a), **kwargs)

    leaf = ng.EmbreeSceneManager()  # a leaf reads three spectral values from 0; the array holds 2
    leaf.upload_spectral_params(np.array([0.5, 1.0], np.float32))
    leaf.add_material(13, 0)
    g = ng.make_ground_plane(1.0, 1.0)
    leaf.add_instance(leaf.add_mesh(g["vertices"], g["normals"], g["indices"], 0))
    leaf.set_emitter(0, [0, 0, 1], 1)
    leaf.set_repetitive(1, 1.0, 1.0)
    leaf.build()
    unbuilt = ng.EmbreeSceneManager()
    cases = [
        (fwd(nx=0), ValueError, "nx and ny must be at least 1; got nx=0, ny=1"),
        (fwd(ny=-2), ValueError, "nx and ny must be at least 1; got nx=1, ny=-2"),
        (fwd(num_bands=2), ValueError, "num_bands (2) must equal the scene's band count (1)"),
        (fwd(terrain_instance_id=1), ValueError,
         "terrain_instance_id 1 names no instance; the scene has 1 instances (ids 0 to 0)"),
        (fwd(brf_directions=[0, 0, 1, 0, 0], num_brf_dirs=2), ValueError,
         "brf_directions holds 5 values, fewer than 3 x num_brf_dirs = 6"),
        (fwd(num_brf_dirs=1), ValueError, "brf_directions holds 0 values, fewer than 3 x num_brf_dirs = 3"),
        (fwd(num_brf_dirs=-1), ValueError, "num_brf_dirs must not be negative; got -1"),
        (fwd(prob_sun=1.5), ValueError, "prob_sun must lie in [0, 1]; got 1.5"),
        (fwd(num_photons=-1), ValueError, "num_photons must not be negative; got -1"),
        (fwd(layer_heights=[1.0]), RuntimeError, "layer_heights must have at least 2 entries"),
        (fwd(brf_directions=np.zeros((1, 3), np.float32)), ValueError,
         "array has incorrect number of dimensions: 2; expected 1"),
        (fwd(brf_directions=np.float32(1.0)), ValueError, "array has incorrect number of dimensions: 0; expected 1"),
        (fwd(unbuilt), RuntimeError, "render_forward: scene not built. Call build() first."),
        (fwd(leaf), ValueError, "material 0 reads spectral values 0 to 2, but the spectral array holds 2"),
        (flux(0, 4, 10, 1), ValueError, "nx and ny must be at least 1; got nx=0, ny=4"),
        (flux(2, 2, 10, 3), ValueError, "num_bands (3) must equal the scene's band count (1)"),
        # A negative count would silently record nothing.
        (flux(2, 2, 10, 1, max_bounces=-1), ValueError,
         "max_bounces must not be negative (0 records every arrival); got -1"),
        (flux(1, 1, 10, 1, scene=unbuilt), RuntimeError, "render_flux: scene not built. Call build() first."),
        (flux(1, 1, 10, 1, scene=leaf), ValueError, "material 0 reads spectral values 0 to 2"),
    ]
    for call, exc, message in cases:
        with pytest.raises(exc) as e:
            call()
        assert message in str(e.value)
    assert calls == [] and "Forward" not in capfd.readouterr().out
