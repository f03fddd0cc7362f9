"""OptiXContext and device_info from Python, on this machine.

Two groups: the module as it is here (the GPU classes are there and fail
cleanly without a usable GPU, leaving the CPU back end working), and a real
device (skipped unless one answers). The same bindings on an emulated device
are tested in test_gpu_context_emulated.py, the registration order in
test_module.py.
"""

import pytest

import norvi_gpu

CONSTRUCTION_MESSAGES = (
    "Failed to set CUDA device: ",
    "Failed to create CUDA stream",
    "Failed to initialize OptiX",
    "Failed to create OptiX device context",
    "norvi_gpu was built without GPU support",
)
INFO_KEYS = ["name", "total_vram_mb", "free_vram_mb", "compute_capability", "optix_abi"]


def _real_device():
    try:
        return norvi_gpu.device_info()
    except RuntimeError:
        return None


REAL_DEVICE = _real_device()
requires_gpu = pytest.mark.skipif(REAL_DEVICE is None, reason="no usable GPU on this machine")
without_gpu = pytest.mark.skipif(REAL_DEVICE is not None, reason="a GPU answers on this machine")


def _is_construction_message(text):
    return any(text.startswith(m) for m in CONSTRUCTION_MESSAGES)


# ---- The module on this machine -------------------------------------------


def test_arguments_are_checked_before_any_device_work():
    with pytest.raises(TypeError):
        norvi_gpu.OptiXContext("0")
    with pytest.raises(TypeError):
        norvi_gpu.device_info(device_id=None)


@without_gpu
def test_without_gpu_construction_raises_the_context_message(ground_scene):
    for make in (norvi_gpu.OptiXContext, lambda: norvi_gpu.OptiXContext(device_id=0), norvi_gpu.device_info):
        with pytest.raises(RuntimeError) as err:
            make()
        assert _is_construction_message(str(err.value)), str(err.value)
    # The CPU back end is untouched.
    hit = ground_scene.aabb()
    assert hit[0][0] == pytest.approx(-10.0)
    assert len(norvi_gpu.make_ground_plane(1.0, 1.0)["indices"]) == 2


# ---- A real device ----------------------------------------------------------


@requires_gpu
def test_real_device_info_keys_and_forms():
    info = norvi_gpu.device_info()
    assert list(info) == INFO_KEYS
    assert isinstance(info["name"], str) and info["name"]
    assert isinstance(info["total_vram_mb"], int) and info["total_vram_mb"] > 0
    assert isinstance(info["free_vram_mb"], int) and 0 <= info["free_vram_mb"] <= info["total_vram_mb"]
    major, minor = info["compute_capability"].split(".")
    assert int(major) >= 7 and minor.isdigit()
    assert info["optix_abi"] in (118, 105)


@requires_gpu
def test_real_context_matches_device_info():
    ctx = norvi_gpu.OptiXContext(0)
    info = norvi_gpu.device_info(0)
    assert ctx.device_name() == info["name"]
    assert ctx.total_vram_mb() == info["total_vram_mb"]
    assert 0 <= ctx.free_vram_mb() <= ctx.total_vram_mb()
