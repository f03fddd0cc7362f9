import re

import numpy as np
import pytest

import norvi_gpu


def params(fn):
    """(name, default text or None) of each argument but self, read from the
    signature line pybind11 writes first in the docstring."""
    line = fn.__doc__.splitlines()[0]
    parts = re.split(r", (?=\w+: )", line[line.index("(") + 1: line.rindex(") ->")])
    return [(p.split(":")[0], p.split(" = ", 1)[1] if " = " in p else None)
            for p in parts if p and not p.startswith("self:")]


@pytest.fixture
def ground_scene():
    """A 20 x 20 ground plane at z = 0 with one Lambertian material under a
    nadir orthographic sensor of the same footprint, built."""
    s = norvi_gpu.EmbreeSceneManager()
    g = norvi_gpu.make_ground_plane(10.0, 10.0)
    s.add_material(0, 0)
    s.add_mesh(g["vertices"], g["normals"], g["indices"], 0)
    s.add_instance(0)
    s.upload_spectral_params(np.array([0.5], dtype=np.float32))
    # A nadir footprint over the plane: the photon engines' tally extent.
    s.set_sensor(0, 4, 4, 20.0, 20.0, [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10])
    s.build()
    return s


def build_feature_scene():
    """A periodic canopy tile using every CPU scene setting: two bands, the
    three material kinds with parameters, a mesh with and one without normals,
    scaled and rotated instances, sun, constant and parametric sky, a tilted
    perspective camera, terrain following, a measurement plane and thermal
    wavelengths (mode off), per-primitive temperatures and emissivities. Built."""
    s = norvi_gpu.EmbreeSceneManager()
    s.set_num_bands(2)
    s.add_material(0, 0)
    s.add_material(13, 2, [0.6, 0.4, 300.0])
    s.add_material(1, 8, [0, 0, 0, 310.0, 290.0])
    g = norvi_gpu.make_ground_plane(5.0, 5.0)
    ground = s.add_mesh(g["vertices"], g["normals"], g["indices"], 0)
    s.add_instance(ground, 5.0, 5.0, 0.0, 1.0)
    sph = norvi_gpu.make_sphere(1.2, np.zeros(3, dtype=np.float32), 1)
    crown = s.add_mesh(sph["vertices"], sph["normals"], sph["indices"], 1)
    for x, y in [(2.0, 3.0), (7.0, 6.5), (4.5, 8.0)]:
        s.add_instance(crown, x, y, 2.5, 1.0)
    cyl = norvi_gpu.make_cylinder(0.2, 1.5, 6)
    trunk = s.add_mesh(cyl["vertices"], np.zeros((0, 3), np.float32), cyl["indices"], 2)
    c, t = np.cos(0.3), np.sin(0.3)
    s.add_instance_xform(trunk, np.array([c, -t, 0, 7.0, t, c, 0, 6.5, 0, 0, 1, 0], np.float32))
    spec = [0.2, 0.3, 0.1, 0.45, 0.08, 0.4, 0.05, 0.4, 0.3, 0.35, 0.1, 0.1, 0.6, 0.6, 0.2, 0.25,
            1.5, 1.2, 0.3, 0.2] + [0.1] * 20
    s.upload_spectral_params(np.array(spec, dtype=np.float32))
    s.set_emitter(0, np.array([0.3, 0.2, 0.93], np.float32), 16)
    s.set_sky(18)
    s.set_hw_sky(-1, 0.1, 0.2, 0.97)
    s.set_repetitive(3, 10.0, 10.0)
    s.set_measurement_plane(4.5)
    s.set_thermal_mode(False, [650.0, 850.0])
    cam = np.array([1, 0, 0, 3.0, 0, 0.8, -0.6, -6.0, 0, 0.6, 0.8, 12.0, 0, 0, 0, 1], np.float32)
    s.set_sensor(1, 20, 14, 0, 0, cam, 50.0, 0, True)
    s.build()
    s.set_primitive_temperatures(np.linspace(280.0, 320.0, s.n_primitives(), dtype=np.float32))
    s.set_primitive_emissivities(np.full(s.n_primitives(), 0.95, np.float32))
    return s


@pytest.fixture
def feature_scene():
    return build_feature_scene()
