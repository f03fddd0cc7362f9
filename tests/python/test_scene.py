"""EmbreeSceneManager from Python: signatures, conversions, queries through the
module, and bad input rejected with a clear error while the scene stays as it was."""

import numpy as np
import pytest

import norvi_gpu
from conftest import params

E = norvi_gpu.EmbreeSceneManager

SCENE_METHODS = [
    "add_mesh", "add_instance", "add_instance_xform", "update_instance_transform", "refit_ias",
    "set_num_bands", "add_material", "upload_spectral_params", "set_emitter",
    "update_emitter_direction", "set_sensor", "set_sky", "set_hw_sky", "set_thermal_mode",
    "set_repetitive", "build", "is_built", "has_gpu_meshes", "clear_for_reuse", "build_reuse_gas",
    "total_triangles", "num_instances", "max_height", "min_height", "aabb", "set_measurement_plane",
    "n_primitives", "get_primitive_areas", "get_primitive_mat_ids", "set_primitive_temperatures",
    "clear_primitive_temperatures", "get_primitive_temperatures", "set_primitive_emissivities",
    "clear_primitive_emissivities", "get_primitive_emissivities",
]


def test_methods_exist_in_registration_order():
    assert [k for k in E.__dict__ if k in SCENE_METHODS] == SCENE_METHODS
    for absent in ("update_spectral_params", "set_primitive_sif_spectra", "set_sif_only_mode"):
        assert not hasattr(E, absent)


@pytest.mark.parametrize("fn, expected", [
    (E.add_mesh, "vertices normals indices material_id=0"),
    (E.add_instance, "mesh_id x=0 y=0 z=0 scale=1.0"),
    (E.add_instance_xform, "mesh_id xform"),
    (E.update_instance_transform, "id xform"),
    (E.set_num_bands, "arg0"),
    (E.add_material, "type offset scalar_params=[]"),
    (E.upload_spectral_params, "arg0"),
    (E.set_emitter, "arg0 arg1 arg2"),
    (E.update_emitter_direction, "arg0"),
    (E.set_sensor, "type width height ortho_w ortho_h cam_xform fov=60.0 projection_type=0 terrain_following=False"),
    (E.set_sky, "spectral_offset"),
    (E.set_hw_sky, "spectral_offset sun_x sun_y sun_z"),
    (E.set_thermal_mode, "enabled wavelengths"),
    (E.set_repetitive, "num_repetitions scene_x_size scene_y_size"),
    (E.set_measurement_plane, "height"),
    (E.aabb, ""),
    (norvi_gpu.make_ground_plane, "half_w=50.0 half_h=50.0 material_id=0"),
    (norvi_gpu.make_sphere, "radius center subdivisions=2"),
    (norvi_gpu.make_cylinder, "radius height segments=8"),
])
def test_signatures_and_defaults(fn, expected):
    assert " ".join(n if d is None else f"{n}={d}" for n, d in params(fn)) == expected
    if fn.__name__.startswith("make_"):
        assert fn.__doc__.splitlines()[0].endswith("-> dict")


def unit_square():
    v = np.array([[-0.5, -0.5, 0], [0.5, -0.5, 0], [0.5, 0.5, 0], [-0.5, 0.5, 0]], np.float32)
    return v, np.zeros((0, 3), np.float32), np.array([[0, 1, 2], [0, 2, 3]], np.int32)


def test_build_bounds_and_counts():
    s = E()
    s.build()
    assert s.aabb() == ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0)) and s.max_height() == 0.0  # empty scene
    s = E()
    assert not s.is_built() and not s.has_gpu_meshes()
    v, n, i = unit_square()
    assert s.add_mesh(v, n, i) == 0
    sph = norvi_gpu.make_sphere(1.0, [0, 0, 0], 1)
    assert s.add_mesh(sph["vertices"], sph["normals"], sph["indices"], 0) == 1
    assert s.add_instance(0, 1, 2, 3, 2) == 0
    xf = np.array([1, 0, 0, 10, 0, 1, 0, 0, 0, 0, 1, 5], np.float64)  # cast to float32
    assert s.add_instance_xform(1, xf) == 1
    assert s.add_instance(1, x=0.5) == 2
    s.build()
    assert s.is_built() and s.has_gpu_meshes()
    assert s.num_instances() == 3 and s.total_triangles() == 2 + 80
    np.testing.assert_allclose(s.aabb(), [(-0.5, -1.0, -1.0), (11.0, 3.0, 6.0)])
    assert (s.min_height(), s.max_height()) == pytest.approx((-1.0, 6.0))


def test_accepted_forms_are_cast():
    s = E()
    # Python lists of ints for vertices, float64 arrays for indices: forced casts.
    assert s.add_mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], np.zeros((0, 3)), np.array([[0, 1, 2]], np.float64)) == 0
    # Strided views read correctly.
    big = np.zeros((6, 6), np.float32)
    big[::2, ::2] = [[0, 0, 0], [2, 0, 0], [0, 2, 0]]
    assert s.add_mesh(big[::2, ::2], np.zeros((0, 3)), [[0, 1, 2]]) == 1
    s.add_instance(1)
    assert s.add_material(13, 4, [0.5, 0.5, 300, 310, 290, 1, 2, 3, 9, 10]) == 0  # the first eight are kept
    assert s.add_material(1, 2, [np.float64(1.5), 2]) == 1
    s.set_num_bands(3)
    s.upload_spectral_params([0.1, 0.2, 0.3, 1, 1, 1])
    s.set_emitter(0, np.array([0, 0, 1], np.float64), 3)
    s.update_emitter_direction([0.6, 0, 0.8])
    s.set_sensor(1, 64, 48, 0, 0, np.eye(4, dtype=np.float32).ravel(), fov=90, projection_type=0,
                 terrain_following=True)
    s.set_sensor(0, 8, 8, 10.0, 10.0, np.eye(3, 4).ravel())  # 12 values: row 3 stays zero
    s.set_sky(3)
    s.set_hw_sky(-1, 0, 0, 1)
    s.set_measurement_plane(2.5)
    s.set_repetitive(3, 10.0, 0.0)
    s.set_thermal_mode(True, [10000.0, 11000, 12000])
    s.build()
    assert s.aabb()[1][:2] == pytest.approx((2.0, 2.0))


def test_bad_input_is_refused_and_the_scene_stays_as_it_was():
    s = E()
    v, n, i = unit_square()
    s.add_mesh(v, n, i)
    s.add_instance(0)
    s.build()
    before = (s.num_instances(), s.aabb(), s.total_triangles(), s.get_state()["mesh_material_ids"].size)
    dims = "^array has incorrect number of dimensions: {}; expected {}$"
    cases = [
        (lambda: s.add_mesh(np.zeros(9, np.float32), n, i), ValueError, dims.format(1, 2)),
        (lambda: s.upload_spectral_params(np.zeros((2, 2))), ValueError, dims.format(2, 1)),
        (lambda: norvi_gpu.make_sphere(1.0, [[0, 0, 0]]), ValueError, "expected 1$"),
        (lambda: s.add_mesh(np.zeros((3, 2)), n, [[0, 1, 2]]), ValueError,
         r"vertices must have shape \(N, 3\); got \(3, 2\)"),
        (lambda: s.add_mesh(np.zeros((3, 3)), n, [[0, 1, 2, 0]]), ValueError,
         r"indices must have shape \(N, 3\); got \(1, 4\)"),
        (lambda: s.add_mesh("not an array", n, [[0, 1, 2]]), TypeError, ""),
        (lambda: s.set_thermal_mode(True, (1.0, 2.0)), TypeError, ""),  # a list is required
        (lambda: s.add_mesh(v, n, [[0, 1, 2], [0, 2, 4]]), ValueError,
         r"indices\[1\] = \(0, 2, 4\) refers to vertex 4, but the mesh has 4 vertices"),
        (lambda: s.add_mesh(v, n, [[0, -1, 2]]), ValueError, r"refers to vertex -1"),
        (lambda: s.add_mesh(v, np.zeros((2, 3)), i), ValueError, r"normals has 2 rows; expected 0 or 4"),
        (lambda: s.add_instance(3), ValueError,
         r"add_instance: mesh_id 3 does not exist \(the scene has 1 meshes\)"),
        (lambda: s.add_instance_xform(-1, np.eye(3, 4).ravel()), ValueError,
         r"add_instance: mesh_id -1 does not exist"),
        (lambda: s.add_instance_xform(0, np.zeros(11)), ValueError,
         r"add_instance_xform: xform must hold at least 12 values; got 11"),
        (lambda: s.update_instance_transform(0, [1, 2, 3]), ValueError,
         r"update_instance_transform: xform must hold at least 12 values; got 3"),
        (lambda: s.update_instance_transform(5, np.eye(3, 4).ravel()), RuntimeError,
         r"^update_instance_transform: id out of range$"),
        (lambda: s.set_emitter(0, [0, 1], 0), ValueError,
         r"set_emitter: direction \(arg1\) must hold at least 3 values; got 2"),
        (lambda: s.update_emitter_direction(np.zeros(0)), ValueError,
         r"update_emitter_direction: direction \(arg0\) must hold at least 3 values; got 0"),
        (lambda: s.add_material(0, 0, [1.0, "warm"]), TypeError,
         r"add_material: scalar_params\[1\] must be a number; got 'warm'"),
        (lambda: s.set_thermal_mode(True, [None]), TypeError,
         r"set_thermal_mode: wavelengths\[0\] must be a number"),
        (lambda: norvi_gpu.make_sphere(1.0, [0, 0]), ValueError,
         r"make_sphere: center must hold at least 3 values; got 2"),
        (lambda: norvi_gpu.make_cylinder(1.0, 2.0, 0), ValueError,
         r"make_cylinder: segments must be at least 1; got 0"),
    ]
    for call, exc, message in cases:
        with pytest.raises(exc, match=message or None):
            call()
    assert (s.num_instances(), s.aabb(), s.total_triangles(), s.get_state()["mesh_material_ids"].size) == before


def test_refit_before_build_and_transform_update():
    s = E()
    v, n, i = unit_square()
    s.add_mesh(v, n, i)
    s.add_instance(0)
    s.update_instance_transform(0, np.array([1, 0, 0, 5, 0, 1, 0, 0, 0, 0, 1, 0], np.float32))
    with pytest.raises(RuntimeError, match=r"^refit_ias: scene not built\. Call build\(\) first\.$"):
        s.refit_ias()
    s.build()
    assert s.aabb()[0][0] == pytest.approx(4.5)
    s.update_instance_transform(0, [1, 0, 0, -5, 0, 1, 0, 0, 0, 0, 1, 0, 99, 99])  # extra values ignored
    s.refit_ias()
    s.clear_for_reuse()
    s.build_reuse_gas()
    assert s.aabb()[0][0] == pytest.approx(-5.5)


def test_mesh_generators_layout():
    # Counts, radii and outward winding are checked natively; here the dictionaries.
    g = norvi_gpu.make_ground_plane(10, 10, 7)  # the material id is not part of the mesh
    assert list(g) == ["vertices", "normals", "indices"]
    assert g["vertices"].dtype == g["normals"].dtype == np.float32 and g["indices"].dtype == np.int32
    np.testing.assert_array_equal(g["vertices"], [[-10, -10, 0], [10, -10, 0], [10, 10, 0], [-10, 10, 0]])
    np.testing.assert_array_equal(g["indices"], [[0, 1, 2], [0, 2, 3]])
    np.testing.assert_array_equal(g["normals"], np.tile([0, 0, 1], (4, 1)))

    s0 = norvi_gpu.make_sphere(1.0, [0, 0, 0], 0)
    phi, n = np.float32(1.618034), np.sqrt(np.float32(3.6180341))
    ico = np.array([(-1, phi, 0), (1, phi, 0), (-1, -phi, 0), (1, -phi, 0), (0, -1, phi), (0, 1, phi),
                    (0, -1, -phi), (0, 1, -phi), (phi, 0, -1), (phi, 0, 1), (-phi, 0, -1), (-phi, 0, 1)],
                   np.float32) / n
    np.testing.assert_allclose(s0["vertices"], ico, rtol=0, atol=1e-7)
    np.testing.assert_array_equal(s0["indices"][:3], [[0, 11, 5], [0, 5, 1], [0, 1, 7]])
    s2 = norvi_gpu.make_sphere(2.0, np.array([1, 2, 3, 4]))  # default subdivisions 2; 4th value unused
    assert s2["vertices"].shape == (312, 3) and s2["indices"].shape == (320, 3)
    np.testing.assert_allclose(s2["vertices"], 2.0 * s2["normals"] + [1, 2, 3], atol=1e-5)
    assert norvi_gpu.make_cylinder(0.5, 10.0)["indices"].shape == (16, 3)  # default 8 segments
    e = norvi_gpu.make_cylinder(0.5, 10.0, -1)
    assert e["vertices"].shape == (0, 3) and e["indices"].shape == (0, 3)
