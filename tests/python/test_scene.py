"""EmbreeSceneManager from Python: signatures, conversions, queries through the
module, and bad input rejected with a clear error while the scene stays as it was."""

import inspect
import math

import numpy as np
import pytest

import norvi_gpu

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


def signature_line(fn):
    """The first line of pybind11's docstring: 'name(self: ..., a: T = d, ...) -> R'."""
    return fn.__doc__.splitlines()[0]


def params(fn, method=True):
    """(name, default-text) pairs (after self for methods), parsed from the signature line."""
    line = signature_line(fn)
    inner = line[line.index("(") + 1: line.rindex(")")]
    out = []
    depth = 0
    cur = ""
    for ch in inner:
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if ch == "," and depth == 0:
            out.append(cur.strip())
            cur = ""
        else:
            cur += ch
    if cur.strip():
        out.append(cur.strip())
    result = []
    for p in out[1:] if method else out:
        name = p.split(":")[0].strip()
        default = p.split(" = ")[1] if " = " in p else None
        result.append((name, default))
    return result


def test_methods_exist_in_registration_order():
    names = [k for k in E.__dict__ if k in SCENE_METHODS]
    assert names == SCENE_METHODS
    for absent in ("update_spectral_params", "set_primitive_sif_spectra", "set_sif_only_mode"):
        assert not hasattr(E, absent)


@pytest.mark.parametrize("method, expected", [
    ("add_mesh", [("vertices", None), ("normals", None), ("indices", None), ("material_id", "0")]),
    ("add_instance", [("mesh_id", None), ("x", "0"), ("y", "0"), ("z", "0"), ("scale", "1.0")]),
    ("add_instance_xform", [("mesh_id", None), ("xform", None)]),
    ("update_instance_transform", [("id", None), ("xform", None)]),
    ("set_num_bands", [("arg0", None)]),
    ("add_material", [("type", None), ("offset", None), ("scalar_params", "[]")]),
    ("upload_spectral_params", [("arg0", None)]),
    ("set_emitter", [("arg0", None), ("arg1", None), ("arg2", None)]),
    ("update_emitter_direction", [("arg0", None)]),
    ("set_sensor", [("type", None), ("width", None), ("height", None), ("ortho_w", None),
                    ("ortho_h", None), ("cam_xform", None), ("fov", "60.0"),
                    ("projection_type", "0"), ("terrain_following", "False")]),
    ("set_sky", [("spectral_offset", None)]),
    ("set_hw_sky", [("spectral_offset", None), ("sun_x", None), ("sun_y", None), ("sun_z", None)]),
    ("set_thermal_mode", [("enabled", None), ("wavelengths", None)]),
    ("set_repetitive", [("num_repetitions", None), ("scene_x_size", None), ("scene_y_size", None)]),
    ("set_measurement_plane", [("height", None)]),
    ("aabb", []),
])
def test_signatures_and_defaults(method, expected):
    assert params(getattr(E, method)) == expected


def test_mesh_generator_signatures():
    assert params(norvi_gpu.make_ground_plane, False) == [("half_w", "50.0"), ("half_h", "50.0"),
                                                          ("material_id", "0")]
    assert params(norvi_gpu.make_sphere, False) == [("radius", None), ("center", None), ("subdivisions", "2")]
    assert params(norvi_gpu.make_cylinder, False) == [("radius", None), ("height", None), ("segments", "8")]
    for fn in (norvi_gpu.make_ground_plane, norvi_gpu.make_sphere, norvi_gpu.make_cylinder):
        assert signature_line(fn).endswith("-> dict")


def unit_square():
    v = np.array([[-0.5, -0.5, 0], [0.5, -0.5, 0], [0.5, 0.5, 0], [-0.5, 0.5, 0]], np.float32)
    return v, np.zeros((0, 3), np.float32), np.array([[0, 1, 2], [0, 2, 3]], np.int32)


def test_build_bounds_and_counts():
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
    assert s.num_instances() == 3
    assert s.total_triangles() == 2 + 80
    (x0, y0, z0), (x1, y1, z1) = s.aabb()
    assert (x0, y0) == pytest.approx((-0.5, -1.0))
    assert (x1, y1) == pytest.approx((11.0, 3.0))
    assert z0 == pytest.approx(-1.0) and z1 == pytest.approx(6.0)
    assert s.min_height() == pytest.approx(-1.0)
    assert s.max_height() == pytest.approx(6.0)


def test_empty_scene_bounds_are_zero():
    s = E()
    s.build()
    assert s.aabb() == ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
    assert s.max_height() == 0.0


def test_list_and_int_inputs_are_cast():
    s = E()
    # Python lists of ints for vertices, float64 arrays for indices: forced casts.
    mid = s.add_mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], np.zeros((0, 3)), np.array([[0, 1, 2]], np.float64))
    assert mid == 0
    # Strided views read correctly.
    big = np.zeros((6, 6), np.float32)
    big[::2, ::2] = [[0, 0, 0], [2, 0, 0], [0, 2, 0]]
    assert s.add_mesh(big[::2, ::2], np.zeros((0, 3)), [[0, 1, 2]]) == 1
    s.add_instance(1)
    s.build()
    assert s.aabb()[1][:2] == pytest.approx((2.0, 2.0))


def test_dimension_messages():
    s = E()
    flat = np.zeros(9, np.float32)
    with pytest.raises(ValueError, match=r"^array has incorrect number of dimensions: 1; expected 2$"):
        s.add_mesh(flat, np.zeros((0, 3)), [[0, 1, 2]])
    with pytest.raises(ValueError, match=r"^array has incorrect number of dimensions: 2; expected 1$"):
        s.upload_spectral_params(np.zeros((2, 2)))
    with pytest.raises(ValueError, match=r"expected 1$"):
        norvi_gpu.make_sphere(1.0, [[0, 0, 0]])
    with pytest.raises(ValueError, match=r"vertices must have shape \(N, 3\); got \(3, 2\)"):
        s.add_mesh(np.zeros((3, 2)), np.zeros((0, 3)), [[0, 1, 2]])
    with pytest.raises(ValueError, match=r"indices must have shape \(N, 3\); got \(1, 4\)"):
        s.add_mesh(np.zeros((3, 3)), np.zeros((0, 3)), [[0, 1, 2, 0]])
    with pytest.raises(TypeError):
        s.add_mesh("not an array", np.zeros((0, 3)), [[0, 1, 2]])
    with pytest.raises(TypeError):
        s.set_thermal_mode(True, (1.0, 2.0))  # a list is required
    assert s.has_gpu_meshes() is False


def test_bad_input_leaves_scene_unchanged():
    s = E()
    v, n, i = unit_square()
    s.add_mesh(v, n, i)
    s.add_instance(0)
    s.build()
    before = (s.num_instances(), s.aabb(), s.total_triangles())

    with pytest.raises(ValueError, match=r"indices\[1\] = \(0, 2, 4\) refers to vertex 4, but the mesh has 4 vertices"):
        s.add_mesh(v, n, [[0, 1, 2], [0, 2, 4]])
    with pytest.raises(ValueError, match=r"refers to vertex -1"):
        s.add_mesh(v, n, [[0, -1, 2]])
    with pytest.raises(ValueError, match=r"normals has 2 rows; expected 0 or 4"):
        s.add_mesh(v, np.zeros((2, 3)), i)
    with pytest.raises(ValueError, match=r"add_instance: mesh_id 3 does not exist \(the scene has 1 meshes\)"):
        s.add_instance(3)
    with pytest.raises(ValueError, match=r"add_instance: mesh_id -1 does not exist"):
        s.add_instance_xform(-1, np.eye(3, 4).ravel())
    with pytest.raises(ValueError, match=r"add_instance_xform: xform must hold at least 12 values; got 11"):
        s.add_instance_xform(0, np.zeros(11))
    with pytest.raises(ValueError, match=r"update_instance_transform: xform must hold at least 12 values; got 3"):
        s.update_instance_transform(0, [1, 2, 3])
    with pytest.raises(RuntimeError, match=r"^update_instance_transform: id out of range$"):
        s.update_instance_transform(5, np.eye(3, 4).ravel())
    with pytest.raises(ValueError, match=r"set_emitter: direction \(arg1\) must hold at least 3 values; got 2"):
        s.set_emitter(0, [0, 1], 0)
    with pytest.raises(ValueError, match=r"update_emitter_direction: direction \(arg0\) must hold at least 3 values; got 0"):
        s.update_emitter_direction(np.zeros(0))
    with pytest.raises(ValueError, match=r"make_sphere: center must hold at least 3 values; got 2"):
        norvi_gpu.make_sphere(1.0, [0, 0])
    with pytest.raises(ValueError, match=r"make_cylinder: segments must be at least 1; got 0"):
        norvi_gpu.make_cylinder(1.0, 2.0, 0)

    assert (s.num_instances(), s.aabb(), s.total_triangles()) == before


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
    s.build_reuse_gas()
    assert s.aabb()[0][0] == pytest.approx(-5.5)


def test_add_material_uses_first_eight_params_and_accepts_numbers():
    s = E()
    assert s.add_material(13, 4, [0.5, 0.5, 300, 310, 290, 1, 2, 3, 9, 10]) == 0
    assert s.add_material(0, 0) == 1
    assert s.add_material(1, 2, [np.float64(1.5), 2]) == 2
    with pytest.raises(TypeError, match=r"add_material: scalar_params\[1\] must be a number; got 'warm'"):
        s.add_material(0, 0, [1.0, "warm"])
    with pytest.raises(TypeError, match=r"set_thermal_mode: wavelengths\[0\] must be a number"):
        s.set_thermal_mode(True, [None])


def test_setters_accept_documented_forms():
    s = E()
    s.set_num_bands(3)
    s.upload_spectral_params([0.1, 0.2, 0.3, 1, 1, 1])
    s.set_emitter(0, np.array([0, 0, 1], np.float64), 3)
    s.update_emitter_direction([0.6, 0, 0.8])
    s.set_sensor(1, 64, 48, 0, 0, np.eye(4, dtype=np.float32).ravel(), fov=90, projection_type=0,
                 terrain_following=True)
    s.set_sensor(0, 8, 8, 10.0, 10.0, np.eye(3, 4).ravel())  # 12 values: row 3 stays zero
    s.set_sky(3)
    s.set_hw_sky(-1, 0, 0, 1)
    s.set_repetitive(3, 10.0, 0.0)
    s.set_thermal_mode(True, [10000.0, 11000, 12000])
    s.set_measurement_plane(2.5)
    s.clear_for_reuse()
    s.build_reuse_gas()
    assert s.is_built()


def test_mesh_generators_layout():
    g = norvi_gpu.make_ground_plane()
    assert list(g) == ["vertices", "normals", "indices"]
    assert g["vertices"].dtype == np.float32 and g["indices"].dtype == np.int32
    np.testing.assert_array_equal(g["vertices"], [[-50, -50, 0], [50, -50, 0], [50, 50, 0], [-50, 50, 0]])
    np.testing.assert_array_equal(g["indices"], [[0, 1, 2], [0, 2, 3]])
    np.testing.assert_array_equal(g["normals"], np.tile([0, 0, 1], (4, 1)))
    g7 = norvi_gpu.make_ground_plane(10, 10, 7)
    g0 = norvi_gpu.make_ground_plane(10, 10)
    for k in g0:
        np.testing.assert_array_equal(g7[k], g0[k])

    s0 = norvi_gpu.make_sphere(1.0, [0, 0, 0], 0)
    phi, n = np.float32(1.618034), np.sqrt(np.float32(3.6180341))
    ico = np.array([(-1, phi, 0), (1, phi, 0), (-1, -phi, 0), (1, -phi, 0), (0, -1, phi), (0, 1, phi),
                    (0, -1, -phi), (0, 1, -phi), (phi, 0, -1), (phi, 0, 1), (-phi, 0, -1), (-phi, 0, 1)],
                   np.float32) / n
    np.testing.assert_allclose(s0["vertices"], ico, rtol=0, atol=1e-7)
    assert s0["indices"].shape == (20, 3)
    np.testing.assert_array_equal(s0["indices"][:3], [[0, 11, 5], [0, 5, 1], [0, 1, 7]])
    s2 = norvi_gpu.make_sphere(2.0, np.array([1, 2, 3, 4]))  # default subdivisions 2; 4th value unused
    assert s2["vertices"].shape == (312, 3) and s2["indices"].shape == (320, 3)
    np.testing.assert_allclose(s2["vertices"], 2.0 * s2["normals"] + [1, 2, 3], atol=1e-5)

    c = norvi_gpu.make_cylinder(0.5, 10.0)
    assert c["vertices"].shape == (18, 3) and c["indices"].shape == (16, 3)
    np.testing.assert_allclose(c["vertices"][16], c["vertices"][0], atol=1e-6)
    np.testing.assert_allclose(c["vertices"][17], c["vertices"][1], atol=1e-6)
    e = norvi_gpu.make_cylinder(0.5, 10.0, -1)
    assert e["vertices"].shape == (0, 3) and e["indices"].shape == (0, 3)


def test_generated_meshes_face_outward():
    for mesh, centre in ((norvi_gpu.make_sphere(1.5, [1, -2, 3], 2), lambda m: np.array([1, -2, 3])),
                         (norvi_gpu.make_cylinder(0.7, 3.0, 12), lambda m: np.array([0, 0, m[2]]))):
        v, idx = mesh["vertices"], mesh["indices"]
        a, b, c = v[idx[:, 0]], v[idx[:, 1]], v[idx[:, 2]]
        nrm = np.cross(b - a, c - a)
        mid = (a + b + c) / 3
        out = mid - np.array([centre(m) for m in mid])
        assert np.all(np.einsum("ij,ij->i", nrm, out) > 0)


def test_object_lifetime_many_scenes():
    # Creating and destroying scenes must release Embree handles cleanly.
    for _ in range(20):
        s = E()
        g = norvi_gpu.make_sphere(1.0, [0, 0, 0], 1)
        s.add_mesh(g["vertices"], g["normals"], g["indices"])
        for k in range(10):
            s.add_instance(0, k * 3.0)
        s.build()
        del s
