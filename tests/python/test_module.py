"""Module frame: attributes and the registration order."""

import os

import norvi_gpu
from conftest import params


def test_attributes():
    assert norvi_gpu.__doc__ == "NORVI - GPU-accelerated 3D Radiative Transfer Model"
    assert norvi_gpu.__version__ == "0.1.0"
    assert norvi_gpu.HAS_EMBREE is True


def test_registration_order():
    expected = [
        "OptiXContext", "SceneManager", "Simulator", "device_info",
        "make_ground_plane", "make_sphere", "make_cylinder", "HAS_EMBREE",
        "EmbreeSceneManager", "simulate_cpu", "simulate_forward_cpu",
        "simulate_flux_cpu", "simulate_lidar_cpu", "simulate_microwave_cpu",
        "make_mw_phase_tables", "run_energy_balance_cpu", "run_energy_balance_multiband_cpu",
        "PTX_DIR",
    ]
    names = [k for k in vars(norvi_gpu) if not k.startswith("__")]
    present = [k for k in expected if k in names]
    # Whatever is registered comes in this order, and nothing else is exported.
    assert names == present
    for k in ("make_ground_plane", "make_sphere", "make_cylinder", "HAS_EMBREE", "EmbreeSceneManager", "PTX_DIR"):
        assert k in names
    # The device programs are installed beside the module.
    assert os.path.isfile(os.path.join(norvi_gpu.PTX_DIR, "raygen_backward.ptx"))


def test_module_level_functions_carry_only_their_signature():
    # pybind11 puts the signature line first; nothing may follow it.
    for name in ("device_info", "make_ground_plane", "make_sphere", "make_cylinder", "simulate_cpu",
                 "simulate_forward_cpu", "simulate_flux_cpu", "simulate_lidar_cpu",
                 "simulate_microwave_cpu", "make_mw_phase_tables",
                 "run_energy_balance_cpu", "run_energy_balance_multiband_cpu"):
        fn = getattr(norvi_gpu, name)
        lines = [line for line in fn.__doc__.splitlines() if line.strip()]
        assert len(lines) == 1 and lines[0].startswith(name + "("), (name, fn.__doc__)
    # Argument names and defaults; the energy balance takes those of the GPU methods.
    sun = [("sun_dir_x", "0.0"), ("sun_dir_y", "0.0"), ("sun_dir_z", "1.0"), ("two_sided", "True"),
           ("sw_albedos", "None")]
    empty = "array([], dtype=float32)"
    assert params(norvi_gpu.simulate_cpu) == [("scene", None), ("spp", "16"), ("max_depth", "16"),
                                              ("progress", "None")]
    assert params(norvi_gpu.run_energy_balance_cpu) == [
        ("scene", None), ("band_type", "0"), ("n_samples", "64"), ("sun_irradiance", "0.0"),
        ("sky_diffuse_radiance", "0.0"), ("sky_lw_radiance", "0.0")] + sun
    assert params(norvi_gpu.run_energy_balance_multiband_cpu) == [
        ("scene", None), ("n_bands", None), ("n_samples", "64"), ("sun_irradiance", empty),
        ("sky_diffuse_radiance", empty)] + sun
