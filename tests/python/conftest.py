import numpy as np
import pytest

import norvi_gpu


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
