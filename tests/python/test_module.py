"""Module frame: attributes and the registration order."""

import norvi_gpu


def test_attributes():
    assert norvi_gpu.__doc__ == "NORVI - GPU-accelerated 3D Radiative Transfer Model"
    assert norvi_gpu.__version__ == "0.1.0"
    assert isinstance(norvi_gpu.__version__, str)
    assert norvi_gpu.HAS_EMBREE is True


def test_registration_order():
    expected = [
        "OptiXContext", "SceneManager", "Simulator", "device_info",
        "make_ground_plane", "make_sphere", "make_cylinder", "HAS_EMBREE",
        "EmbreeSceneManager", "simulate_cpu", "simulate_forward_cpu",
        "simulate_flux_cpu", "simulate_lidar_cpu",
    ]
    names = [k for k in vars(norvi_gpu) if not k.startswith("__")]
    present = [k for k in expected if k in names]
    # Whatever is registered comes in this order, and nothing else is exported.
    assert names == present
    for k in ("make_ground_plane", "make_sphere", "make_cylinder", "HAS_EMBREE", "EmbreeSceneManager"):
        assert k in names


def test_module_level_functions_carry_only_their_signature():
    # pybind11 puts the signature line first; nothing may follow it.
    for name in ("device_info", "make_ground_plane", "make_sphere", "make_cylinder", "simulate_cpu",
                 "simulate_forward_cpu", "simulate_flux_cpu", "simulate_lidar_cpu"):
        fn = getattr(norvi_gpu, name)
        lines = [line for line in fn.__doc__.splitlines() if line.strip()]
        assert len(lines) == 1 and lines[0].startswith(name + "("), (name, fn.__doc__)
