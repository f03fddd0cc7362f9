"""Scene state, pickles and scene files: everything a scene was given comes
back, the rebuilt scene renders the same image bit for bit, and bad states are
refused with the field named."""

import pickle
from pathlib import Path

import numpy as np
import pytest

import norvi
import norvi_gpu as ng
from result_checks import assert_same_state


def test_state_pickle_and_file_give_back_the_scene(feature_scene, tmp_path):
    state = feature_scene.get_state()
    assert state["format_version"] == 2 and state["built"] is True
    assert state["primitive_sif_spectra"].shape == (0,) and state["n_sif_bands"] == 0
    assert state["mesh_vertex_counts"].tolist() == [4, 72, 14]
    assert state["mesh_normal_counts"].tolist() == [4, 72, 0]
    assert state["material_params"][2, 3] == np.float32(310.0)
    assert state["sensor_fov"] == np.float32(50.0 * 3.1415927 / 180.0)
    assert state["primitive_emissivities"].shape == (254,)
    image = ng.simulate_cpu(feature_scene, 3)
    path = norvi.save_scene(tmp_path / "canopy", feature_scene)
    assert path.endswith("canopy.npz")
    with np.load(path) as raw:  # a plain archive of arrays, readable without NORVI
        assert raw["instance_xforms"].shape == (5, 12)
    # A version 1 state: the same without the SIF fields.
    v1 = {k: v for k, v in state.items() if k not in ("primitive_sif_spectra", "n_sif_bands", "sif_only")}
    v1["format_version"] = 1
    for copy in (ng.EmbreeSceneManager.from_state(state), pickle.loads(pickle.dumps(feature_scene)),
                 norvi.load_scene(path), ng.EmbreeSceneManager.from_state(v1)):
        assert copy.is_built() and copy.aabb() == feature_scene.aabb()
        assert_same_state(copy.get_state(), state)
        assert np.array_equal(ng.simulate_cpu(copy, 3), image)


def test_an_unbuilt_scene_comes_back_unbuilt():
    s = ng.EmbreeSceneManager()
    s.add_material(0, 0)
    assert not ng.EmbreeSceneManager.from_state(s.get_state()).is_built()


def test_the_installed_package_is_imported():
    src = Path(__file__).resolve().parents[2] / "python"
    assert src not in Path(norvi.__file__).resolve().parents


def _set(key, value):
    def change(state):
        state[key] = value
    return change


def _drop(key):
    return lambda state: state.pop(key)


BAD_STATES = [
    (_drop("format_version"), "'format_version' is missing"),
    (_set("format_version", 3), "'format_version' is 3; this NORVI reads versions 1 to 2 (the state comes from a newer NORVI)"),
    (_set("format_version", 1), "is not a field of scene state version 1"),
    (_drop("sensor_cam_xform"), "'sensor_cam_xform' is missing"),
    (lambda s: s.__setitem__("mesh_vertices", s["mesh_vertices"].astype(np.float64)),
     "'mesh_vertices' must be a float32 array of shape (N, 3); got a float64 array of shape (90, 3)"),
    (lambda s: s.__setitem__("instance_xforms", s["instance_xforms"][:, :11].copy()),
     "'instance_xforms' must be a float32 array of shape (I, 12); got a float32 array of shape (5, 11)"),
    (lambda s: s["mesh_vertex_counts"].__setitem__(0, 5), "'mesh_vertex_counts' adds up to 91 rows, but 'mesh_vertices' has 90"),
    (lambda s: s.__setitem__("mesh_normal_counts", np.array([4, 62, 10])),
     "'mesh_normal_counts' gives mesh 1 62 normals for 72 vertices"),
    (lambda s: s["mesh_indices"].__setitem__(0, [0, 1, 7]), "mesh 0: add_mesh: indices[0] = (0, 1, 7) refers to vertex 7"),
    (lambda s: s["instance_mesh_ids"].__setitem__(4, 9), "instance 4: add_instance: mesh_id 9 does not exist"),
    (lambda s: s.__setitem__("material_params", s["material_params"][:2].copy()), "'material_params' has 2 rows for 3 materials"),
    (_set("num_bands", 2.5), "'num_bands' must be an integer; got 2.5"),
    (_set("num_bands", 0), "num_bands: set_num_bands: the band count must be at least 1; got 0"),
    (lambda s: s["sensor_cam_xform"].__setitem__(3, np.nan),
     "sensor_cam_xform: sensor_cam_xform must be finite and at most 1e+09 in magnitude; got nan"),
    (_set("thermal_mode", 1), "'thermal_mode' must be a bool; got 1"),
    (_set("primitive_temperatures", np.zeros(3, np.float32)),
     "primitive_temperatures: set_primitive_temperatures: array length 3 does not match n_primitives() = 254"),
    (_set("primitive_albedos", np.zeros(3, np.float32)), "'primitive_albedos' is not a field of scene state version 2"),
]


@pytest.mark.parametrize("change,message", BAD_STATES)
def test_bad_states_are_refused_naming_the_field(feature_scene, change, message):
    state = feature_scene.get_state()
    change(state)
    with pytest.raises(ValueError) as err:
        ng.EmbreeSceneManager.from_state(state)
    assert message in str(err.value)


def test_a_file_that_is_not_a_scene_is_refused(tmp_path):
    np.savez(tmp_path / "other.npz", x=np.zeros(3))
    with pytest.raises(ValueError, match="'format_version' is missing"):
        norvi.load_scene(tmp_path / "other.npz")
