"""simulate_cpu: the backward renderer against closed-form radiances, its
result layout, sensors, periodic scenes, progress reporting and bad input."""

import math
import re

import numpy as np
import pytest

import norvi_gpu as ng
from scene_geometry import camera, sun_at

H_PLANCK = 6.62607015e-34
C_LIGHT = 299792458.0
K_BOLTZ = 1.380649e-23


def planck_nm(wavelength_nm, temperature):
    """Black-body spectral radiance per nanometre."""
    lam = wavelength_nm * 1e-9
    b = 2 * H_PLANCK * C_LIGHT**2 / lam**5 / math.expm1(H_PLANCK * C_LIGHT / (lam * K_BOLTZ * temperature))
    return b * 1e-9


def add_plane(scene, material, half=10.0, cx=0.0, cy=0.0, z=0.0, flip=False):
    g = ng.make_ground_plane(half, half)
    idx = g["indices"][:, ::-1].copy() if flip else g["indices"]
    normals = -g["normals"] if flip else g["normals"]
    mesh = scene.add_mesh(g["vertices"], normals, idx, material)
    scene.add_instance(mesh, cx, cy, z, 1.0)
    return mesh


# --- closed-form radiances ----------------------------------------------------


def test_empty_scene_under_constant_sky_is_one_everywhere():
    s = ng.EmbreeSceneManager()
    s.set_num_bands(2)
    s.upload_spectral_params(np.array([1.0, 1.0, 5.0, 5.0], dtype=np.float32))
    s.set_sky(0)
    # a sun behind the camera: its disk is never in view
    s.set_emitter(0, sun_at(60.0, 90.0), 2)
    s.set_sensor(1, 12, 9, 0, 0, camera(z=3.0, tilt_deg=180.0), 60.0)  # looking straight up
    s.build()
    img = ng.simulate_cpu(s, 3)
    assert img.shape == (9, 12, 2) and img.dtype == np.float32
    np.testing.assert_array_equal(img, 1.0)


def test_parametric_sky_wins_over_the_constant_sky():
    shape = [-1.0, -0.32, 10.0, -3.0, 0.45, 0.5, -0.8, 0.2, 0.1, 2.0]  # c9 = 2: zenith radiance
    s = ng.EmbreeSceneManager()
    s.upload_spectral_params(np.array(shape + [5.0], dtype=np.float32))
    s.set_sky(10)
    s.set_hw_sky(0, *sun_at(30.0))
    s.set_sensor(1, 1, 1, 0, 0, camera(tilt_deg=180.0), 0.05)  # a tiny field around the zenith
    s.build()
    np.testing.assert_allclose(ng.simulate_cpu(s, 2), 2.0, rtol=2e-3)  # the shape varies across the field


# RPV with a neutral shape (k = 1, Theta = 0, rho_c = 1) renders like a Lambertian rho0.
@pytest.mark.parametrize("kind, shape", [(0, []), (1, [1.0, 1.0, 0.0, 0.0, 1.0, 1.0])])
def test_lambertian_ground_under_sun_and_sky(kind, shape):
    rho, e_sun, zen = [0.3, 0.7], [2.0, 1.5], 35.0
    sun = len(rho + shape)  # offsets of the sun irradiance and the sky radiance
    s = ng.EmbreeSceneManager()
    s.set_num_bands(2)
    s.add_material(kind, 0)
    add_plane(s, 0)
    s.upload_spectral_params(np.array(rho + shape + e_sun + [0.0, 0.0], dtype=np.float32))
    s.set_emitter(0, sun_at(zen, 30.0), sun)
    s.set_sensor(0, 6, 4, 8.0, 6.0, camera(z=5.0))
    s.build()
    expected = np.array(rho) * np.array(e_sun) * math.cos(math.radians(zen)) / math.pi
    img = ng.simulate_cpu(s, 4)
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape), rtol=1e-5)
    # the emitter direction is a direction: its length does not scale the light
    s.set_emitter(0, 3.0 * sun_at(zen, 30.0), sun)
    np.testing.assert_allclose(ng.simulate_cpu(s, 4), img, rtol=1e-6)
    # a constant sky of radiance 1 adds rho: every bounce off the plane sees the sky
    s.upload_spectral_params(np.array(rho + shape + e_sun + [1.0, 1.0], dtype=np.float32))
    s.set_sky(sun + 2)
    img = ng.simulate_cpu(s, 4)
    np.testing.assert_allclose(img, np.broadcast_to(expected + rho, img.shape), rtol=1e-5)


@pytest.mark.parametrize("material, cover, sun, temperature", [
    ([0.0, 0.0, 300.0], False, True, 300.0),               # one temperature, sun or not
    ([0.0, 0.0, 0.0, 315.0, 290.0], True, True, 290.0),    # the cover shades the ground
    ([0.0, 0.0, 0.0, 315.0, 290.0], False, True, 315.0),   # open to the sun
    ([0.0, 0.0, 0.0, 315.0, 290.0], False, False, 290.0),  # no sun in the scene: nothing is sunlit
])
def test_thermal_ground_emits_planck_radiance_at_its_temperature(material, cover, sun, temperature):
    eps, wl = [0.95, 0.9], [10000.0, 12000.0]
    s = ng.EmbreeSceneManager()
    s.set_num_bands(2)
    s.add_material(0, 0, material)  # a third value: one temperature; fourth and fifth: sunlit, shaded
    s.add_material(7, 2)  # a black cover that emits nothing
    add_plane(s, 0)
    if cover:
        add_plane(s, 1, z=2.0)
    s.upload_spectral_params(np.array(eps + [0.0, 0.0, 1000.0, 1000.0], dtype=np.float32))
    if sun:
        s.set_emitter(0, sun_at(0.0), 4)
    s.set_thermal_mode(True, wl)
    s.set_sensor(0, 5, 3, 4.0, 4.0, camera(z=1.0))  # between ground and cover
    s.build()
    img = ng.simulate_cpu(s, 2)
    expected = [eps[b] * planck_nm(wl[b], temperature) for b in range(2)]
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape), rtol=1e-5)


def test_two_sided_leaf_from_front_and_back():
    rf, rb, t, e_sun, zen = 0.4, 0.2, 0.35, 2.0, 20.0
    s = ng.EmbreeSceneManager()
    s.add_material(13, 0, [0.5, 0.5])
    add_plane(s, 0, z=1.0)
    s.upload_spectral_params(np.array([rf, rb, t, e_sun], dtype=np.float32))
    s.set_emitter(0, sun_at(zen), 3)
    cos_z = math.cos(math.radians(zen))
    # seen from above, lit from above: front reflectance
    s.set_sensor(0, 4, 4, 4.0, 4.0, camera(z=3.0))
    s.build()
    np.testing.assert_allclose(ng.simulate_cpu(s, 2), rf * e_sun * cos_z / math.pi, rtol=1e-5)
    # seen from below (its back), lit from above: the light comes through
    s.set_sensor(0, 4, 4, 4.0, 4.0, camera(z=-1.0, tilt_deg=180.0))
    np.testing.assert_allclose(ng.simulate_cpu(s, 2), t * e_sun * cos_z / math.pi, rtol=1e-5)
    # seen from below, lit from below: back reflectance
    s.set_emitter(0, -sun_at(zen), 3)
    np.testing.assert_allclose(ng.simulate_cpu(s, 2), rb * e_sun * cos_z / math.pi, rtol=1e-5)


def test_solar_disk_integrates_to_the_sun_irradiance():
    e_sun, n, fov = 2.0, 64, 1.2
    s = ng.EmbreeSceneManager()
    s.upload_spectral_params(np.array([e_sun], dtype=np.float32))
    s.set_emitter(0, sun_at(30.0, 90.0), 0)
    s.set_sensor(1, n, n, 0, 0, camera(tilt_deg=150.0), fov)  # aimed at the sun
    s.build()
    img = ng.simulate_cpu(s, 128)[:, :, 0]
    # solid angle of each pixel: its image-plane area (at unit distance) times cos^3
    f = math.tan(math.radians(fov) / 2)
    c = (np.arange(n) + 0.5) / n * 2 * f - f
    pixel_sr = (2 * f / n) ** 2 / (1 + c[:, None] ** 2 + c[None, :] ** 2) ** 1.5
    assert img.max() > 0 and img[0, 0] == 0  # the whole disk lies inside the field
    np.testing.assert_allclose((img * pixel_sr).sum(), e_sun, rtol=2e-3)


# --- layout and sensors ---------------------------------------------------------


def test_result_layout_rows_grow_toward_plus_y():
    s = ng.EmbreeSceneManager()
    s.set_num_bands(2)
    s.add_material(0, 0)  # south half (y < 0)
    s.add_material(0, 2)  # north half
    add_plane(s, 0, half=5.0, cy=-5.0)
    add_plane(s, 1, half=5.0, cy=5.0)
    s.upload_spectral_params(np.array([0.1, 0.2, 0.5, 0.6, 1.0, 1.0], dtype=np.float32))
    s.set_sky(4)
    s.set_sensor(0, 3, 4, 6.0, 8.0, camera(z=2.0))
    s.build()
    img = ng.simulate_cpu(s, 2)
    assert img.shape == (4, 3, 2)
    np.testing.assert_allclose(img[:2], np.broadcast_to([0.1, 0.2], (2, 3, 2)), rtol=1e-5)
    np.testing.assert_allclose(img[2:], np.broadcast_to([0.5, 0.6], (2, 3, 2)), rtol=1e-5)


def test_unknown_sensor_type_sees_straight_down_from_100():
    s = ng.EmbreeSceneManager()
    s.add_material(0, 0)
    add_plane(s, 0, half=1.0)  # only the spot below (0, 0) exists
    s.upload_spectral_params(np.array([0.5, 4.0], dtype=np.float32))
    s.set_emitter(0, sun_at(0.0), 1)
    s.set_sensor(2, 5, 3, 0.0, 0.0, camera(x=50.0, y=50.0))
    s.build()
    np.testing.assert_allclose(ng.simulate_cpu(s, 2), 0.5 * 4.0 / math.pi, rtol=1e-5)


@pytest.mark.parametrize("projection", [0, 1, 2, 3])
def test_fisheye_is_zero_outside_its_circle(projection):
    n = 16
    s = ng.EmbreeSceneManager()
    s.upload_spectral_params(np.array([1.0], dtype=np.float32))
    s.set_sky(0)
    s.set_sensor(4, n, n, 0, 0, camera(tilt_deg=180.0), 180.0, projection)
    s.build()
    img = ng.simulate_cpu(s, 8)[:, :, 0]
    # the nearest and farthest pixel corners from the optical axis, in image-plane units
    lo, hi = np.arange(n) / n - 0.5, np.arange(1, n + 1) / n - 0.5
    near = np.where(lo * hi > 0, np.minimum(abs(lo), abs(hi)), 0.0)
    far = np.maximum(abs(lo), abs(hi))
    r_near, r_far = np.hypot(near[:, None], near), np.hypot(far[:, None], far)
    assert np.all(img[r_near > 0.5] == 0.0)
    assert np.all(img[r_far < 0.5 * 0.95] == 1.0)  # whole pixel inside (all mappings reach r = 0.5)
    assert 0.5 < img.mean() < 0.9


@pytest.mark.parametrize("z, slope_deg", [(0.0, 0.0), (0.3, 0.0), (2.7, 0.0), (1000.0, 0.0), (0.3, 20.0)])
def test_terrain_following_sees_a_lambertian_ground_at_any_height_and_slope(z, slope_deg):
    a = math.radians(slope_deg)  # the ground turned about the y axis
    rot = np.array([[math.cos(a), 0, math.sin(a)], [0, 1, 0], [-math.sin(a), 0, math.cos(a)]], dtype=np.float32)
    g = ng.make_ground_plane(50.0, 50.0)
    s = ng.EmbreeSceneManager()
    mesh = s.add_mesh(g["vertices"] @ rot.T, g["normals"] @ rot.T, g["indices"], s.add_material(0, 0))
    s.add_instance(mesh, 0, 0, z)
    rho, e_sun, sun = 0.5, 1000.0, sun_at(30.0, 20.0)
    s.upload_spectral_params(np.array([rho, e_sun], dtype=np.float32))
    s.set_emitter(0, sun, 1)
    s.build()
    for tilt in (0.0, 35.0):  # nadir and oblique views
        s.set_sensor(0, 16, 16, 10.0, 10.0, camera(z=z + 20.0, tilt_deg=tilt), terrain_following=True)
        np.testing.assert_allclose(ng.simulate_cpu(s, 1, 1), rho * e_sun * (rot[:, 2] @ sun) / math.pi, rtol=1e-5)


def test_terrain_following_looks_at_the_ground_above_the_footprint():
    # Raised ground at z = 2: dark for y < -1, bright beyond. A 45-degree view from
    # (0, -10, 10) has its z = 0 footprint at y = 0 but meets the ground at y = -2.
    s = ng.EmbreeSceneManager()
    s.add_material(0, 0)
    s.add_material(0, 1)
    add_plane(s, 0, half=5.0, cy=-6.0, z=2.0)
    add_plane(s, 1, half=5.0, cy=4.0, z=2.0)
    s.upload_spectral_params(np.array([0.1, 0.9, 1.0], dtype=np.float32))
    s.set_sky(2)
    s.set_sensor(0, 1, 1, 0.01, 0.01, camera(y=-10.0, z=10.0, tilt_deg=45.0))
    s.build()
    np.testing.assert_allclose(ng.simulate_cpu(s, 2), 0.1, rtol=1e-5)
    s.set_sensor(0, 1, 1, 0.01, 0.01, camera(y=-10.0, z=10.0, tilt_deg=45.0), terrain_following=True)
    np.testing.assert_allclose(ng.simulate_cpu(s, 2), 0.9, rtol=1e-5)


def canopy_tile(s, size=10.0):
    """A periodic tile: ground covering it and a few leafy spheres."""
    s.set_num_bands(2)
    s.add_material(0, 0)
    s.add_material(13, 2, [0.5, 0.5])
    add_plane(s, 0, half=size / 2, cx=size / 2, cy=size / 2)
    sph = ng.make_sphere(1.5, np.zeros(3, dtype=np.float32), 1)
    m = s.add_mesh(sph["vertices"], sph["normals"], sph["indices"], 1)
    for x, y in [(2.0, 3.0), (7.0, 6.5), (4.5, 8.0), (9.2, 1.0)]:
        s.add_instance(m, x, y, 2.5, 1.0)
    s.upload_spectral_params(np.array([0.2, 0.3, 0.1, 0.45, 0.08, 0.4, 0.05, 0.4, 1.5, 1.2, 0.3, 0.2],
                                      dtype=np.float32))
    s.set_emitter(0, sun_at(40.0, 30.0), 8)
    s.set_sky(10)
    s.set_repetitive(3, size, size)


def test_periodic_scene_is_invariant_to_whole_tile_camera_shifts():
    s = ng.EmbreeSceneManager()
    canopy_tile(s)
    s.set_sensor(1, 24, 16, 0, 0, camera(x=3.0, y=-6.0, z=12.0, tilt_deg=35.0), 50.0)
    s.build()
    base = ng.simulate_cpu(s, 4)
    assert base.min() >= 0 and base.max() > 0
    s.set_sensor(1, 24, 16, 0, 0, camera(x=13.0, y=-26.0, z=12.0, tilt_deg=35.0), 50.0)
    shifted = ng.simulate_cpu(s, 4)
    # identical up to rounding of the shifted origins (a rare path may part at an edge)
    close = np.isclose(shifted, base, rtol=1e-3, atol=1e-5)
    assert close.mean() > 0.98
    np.testing.assert_allclose(shifted.mean(), base.mean(), rtol=0.02)


def test_periodic_ground_fills_a_view_that_looks_outside_the_tile():
    rho, e_sun = 0.4, 1.0
    s = ng.EmbreeSceneManager()
    s.add_material(0, 0)
    add_plane(s, 0, half=5.0, cx=5.0, cy=5.0)
    s.upload_spectral_params(np.array([rho, e_sun], dtype=np.float32))
    s.set_emitter(0, sun_at(0.0), 1)
    s.set_repetitive(2, 10.0, 10.0)
    s.set_sensor(0, 6, 6, 30.0, 30.0, camera(x=-40.0, y=75.0, z=5.0))
    s.build()
    np.testing.assert_allclose(ng.simulate_cpu(s, 2), rho * e_sun / math.pi, rtol=1e-5)


def test_periodic_wrap_budget_is_counted_per_path():
    # A black strip on the wall x = 9.9 of a 10 x 10 tile at heights 4 to 5. A ray
    # rising slowly along +x reaches those heights only after three wraps.
    s = ng.EmbreeSceneManager()
    s.add_material(7, 0)  # black
    v = np.array([[9.9, 0, 4], [9.9, 10, 4], [9.9, 10, 5], [9.9, 0, 5]], dtype=np.float32)
    n = np.tile(np.array([[-1, 0, 0]], dtype=np.float32), (4, 1))
    s.add_mesh(v, n, np.array([[0, 1, 2], [0, 2, 3]], dtype=np.int32), 0)
    s.add_instance(0)
    s.upload_spectral_params(np.array([1.0], dtype=np.float32))
    s.set_sky(0)
    d = np.array([1.0, 0.0, 0.1]) / math.sqrt(1.01)
    ex = np.array([0.0, 1.0, 0.0])
    ez = -d
    ey = np.cross(ez, ex)
    m = np.eye(4, dtype=np.float32)
    m[:3, 0], m[:3, 1], m[:3, 2], m[:3, 3] = ex, ey, ez, [0.5, 5.0, 0.5]
    s.set_sensor(0, 1, 1, 0.01, 0.01, m.ravel())
    s.build()
    for reps, expected in [(2, 1.0), (3, 0.0), (10, 0.0)]:
        s.set_repetitive(reps, 10.0, 10.0)
        assert ng.simulate_cpu(s, 2)[0, 0, 0] == expected, reps
    s.set_repetitive(0, 10.0, 10.0)  # not periodic: the ray leaves under the strip
    assert ng.simulate_cpu(s, 2)[0, 0, 0] == 1.0


# --- passes, progress, depth -------------------------------------------------------


def test_progress_is_called_after_every_pass_and_its_exception_propagates(ground_scene, capfd):
    s = ground_scene
    s.set_sensor(0, 3, 2, 4.0, 4.0, camera())
    calls = []
    ng.simulate_cpu(s, 3, 4, lambda done, total, ms: calls.append((done, total, ms)))
    assert [c[:2] for c in calls] == [(1, 3), (2, 3), (3, 3)]
    assert all(isinstance(c[2], float) and c[2] >= 0 for c in calls)
    assert calls[0][2] <= calls[1][2] <= calls[2][2]
    capfd.readouterr()
    ng.simulate_cpu(s, 3, 4, print)  # any callable will do, the built-in print too
    lines = [line.split() for line in capfd.readouterr().out.splitlines() if line.strip()]
    assert [(int(a), int(b)) for a, b, _ in lines] == [(1, 3), (2, 3), (3, 3)]

    def stop(done, total, ms):
        raise KeyError("stop here")

    with pytest.raises(KeyError, match="stop here"):
        ng.simulate_cpu(s, 2, 4, stop)


def test_scene_changes_made_by_progress_do_not_reach_the_running_render(ground_scene):
    s = ground_scene
    s.upload_spectral_params(np.array([0.5, 1.0], dtype=np.float32))
    s.set_sky(1)
    s.set_sensor(0, 3, 2, 4.0, 4.0, camera())
    expected = ng.simulate_cpu(s, 3)
    np.testing.assert_allclose(expected, 0.5, rtol=1e-6)

    def change(done, total, ms):
        s.upload_spectral_params(np.array([0.0, 0.0], dtype=np.float32))  # same length, same storage
        s.clear_for_reuse()

    np.testing.assert_array_equal(ng.simulate_cpu(s, 3, 16, change), expected)


@pytest.mark.parametrize("spp,depth,sensor_type", [
    (0, 4, 0), (-2, 4, 0),  # no passes: no division by zero, no progress
    (2, 0, 0),              # no surface interaction allowed
    (2, 4, 0), (2, 4, 1), (2, 4, 4),  # an all-zero camera matrix gives no ray directions
])
def test_zero_images(ground_scene, spp, depth, sensor_type):
    s = ground_scene
    s.upload_spectral_params(np.array([0.5, 1.0], dtype=np.float32))
    s.set_sky(1)
    degenerate = spp > 0 and depth > 0
    xform = np.zeros(16, dtype=np.float32) if degenerate else camera()
    s.set_sensor(sensor_type, 3, 2, 4.0, 4.0, xform, 60.0)
    calls = []
    img = ng.simulate_cpu(s, spp, depth, lambda *a: calls.append(a))
    assert img.shape == (2, 3, 1)
    assert np.all(img == 0.0)
    assert len(calls) == max(spp, 0)


def test_max_depth_override_from_environment(ground_scene, capfd, monkeypatch):
    s = ground_scene
    s.upload_spectral_params(np.array([0.5, 1.0], dtype=np.float32))
    s.set_sky(1)
    s.set_sensor(0, 2, 2, 4.0, 4.0, camera())
    # the override lifts the zero depth: one interaction, then the bounce sees the sky
    monkeypatch.setenv("NORVI_MAX_DEPTH", "2")
    img = ng.simulate_cpu(s, 2, 0)
    assert capfd.readouterr().out == "[CPU bwd] NORVI_MAX_DEPTH=2\n"
    np.testing.assert_allclose(img, 0.5, rtol=1e-5)
    # one interaction only: the sky after the bounce is never reached
    monkeypatch.setenv("NORVI_MAX_DEPTH", "1")
    assert np.all(ng.simulate_cpu(s, 2, 16) == 0.0)  # (values ignored are tested natively)


# --- bad input ---------------------------------------------------------------------


@pytest.mark.parametrize("setup, error, message", [
    (lambda s: s.set_sensor(1, 0, 4, 0, 0, camera()), ValueError, "width 0 and height 4"),
    (lambda s: s.set_sensor(1, -3, 2, 0, 0, camera()), ValueError, "width -3 and height 2"),
    (lambda s: s.set_sensor(0, 4, 4, 0.0, 3.0, camera()), ValueError, "ortho_w 0 and ortho_h 3"),
    (lambda s: (s.set_num_bands(3), s.upload_spectral_params([0.9] * 3), s.set_thermal_mode(True, [1e4, 1.1e4])),
     ValueError, "got 2 wavelengths for 3 bands"),
    (lambda s: s.set_emitter(0, sun_at(10.0), 1), ValueError, "sun irradiance reads spectral values 1 to 1"),
    (lambda s: s.set_num_bands(2), ValueError,
     "material 0 reads spectral values 0 to 1, but the spectral array holds 1 values"),
    (lambda s: s.add_instance(0), RuntimeError, "render_backward: scene not built"),  # a new instance needs a build
    (lambda s: (add_plane(s, 2), s.build()), ValueError,
     "mesh 1 uses material_id 2, but the scene has 1 materials (ids 0 to 0)"),
])
def test_bad_scenes_are_refused_before_rendering(ground_scene, setup, error, message):
    setup(ground_scene)
    calls = []
    with pytest.raises(error, match=re.escape(message)):
        ng.simulate_cpu(ground_scene, 2, 4, lambda *a: calls.append(a))
    assert calls == []


def test_thermal_mode_checks_emissivities_and_not_the_sun():
    s = ng.EmbreeSceneManager()
    s.add_material(7, 1)  # a black kind still reads its emissivity in thermal mode
    add_plane(s, 0)
    s.upload_spectral_params(np.array([0.9], dtype=np.float32))
    s.set_emitter(0, sun_at(0.0), 5)  # irradiance past the array: unread in thermal mode
    s.set_thermal_mode(True, [10000.0])
    s.set_sensor(0, 2, 2, 4.0, 4.0, camera())
    s.build()
    with pytest.raises(ValueError, match="material 0 reads spectral values 1 to 1"):
        ng.simulate_cpu(s, 1)
    s.upload_spectral_params(np.array([0.9, 0.9], dtype=np.float32))
    assert np.all(ng.simulate_cpu(s, 1) == 0.0)  # no temperature set: nothing emitted
