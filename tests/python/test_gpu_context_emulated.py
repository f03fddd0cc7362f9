"""OptiXContext and device_info on the emulated platform.

norvi_gpu_emulated is the GPU part of norvi_gpu built by test builds against
gpu/emulation instead of the CUDA runtime. CTest (gpu.python_emulated) runs
this file alone, without conftest.py and without importing norvi_gpu (both
modules bind the same C++ class), with NORVI_EMU_LIB naming the emulation
library; anywhere else every test here is skipped.
"""

import ctypes
import importlib
import os

import pytest

INFO_KEYS = ["name", "total_vram_mb", "free_vram_mb", "compute_capability", "optix_abi"]


@pytest.fixture
def emu():
    path = os.environ.get("NORVI_EMU_LIB")
    if not path:
        pytest.skip("runs under CTest on the platform emulation (NORVI_EMU_LIB unset)")
    module = importlib.import_module("norvi_gpu_emulated")
    lib = ctypes.CDLL(path)
    lib.norvi_emu_add_device.argtypes = [ctypes.c_char_p, ctypes.c_ulonglong, ctypes.c_ulonglong,
                                         ctypes.c_int, ctypes.c_int]
    lib.norvi_emu_fail_call.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
    lib.norvi_emu_optix_grant_abis.argtypes = [ctypes.c_int, ctypes.c_int]
    lib.norvi_emu_reset()
    yield module, lib
    lib.norvi_emu_reset()


def test_emulated_device_info_keys_and_value_forms(emu):
    ng, lib = emu
    info = ng.device_info()
    assert list(info) == INFO_KEYS
    assert info == {"name": "NORVI Emulated GPU", "total_vram_mb": 8192, "free_vram_mb": 6144,
                    "compute_capability": "8.6", "optix_abi": 118}
    assert [type(info[k]) for k in INFO_KEYS] == [str, int, int, str, int]
    assert lib.norvi_emu_optix_live_contexts() == 0  # the temporary context is gone

    lib.norvi_emu_add_device(b"Second \xff GPU", (24 << 30) - 1, 5 << 20, 12, 0)
    lib.norvi_emu_optix_grant_abis(105, 0)
    info = ng.device_info(device_id=1)
    assert info["name"] == "Second \ufffd GPU"
    assert info["total_vram_mb"] == 24 * 1024 - 1
    assert info["free_vram_mb"] == 5
    assert info["compute_capability"] == "12.0"
    assert info["optix_abi"] == 105


def test_emulated_context_methods(emu):
    ng, lib = emu
    ctx = ng.OptiXContext(device_id=0)
    assert callable(ctx.total_vram_mb) and not isinstance(ctx.total_vram_mb, int)
    assert (ctx.device_name(), ctx.total_vram_mb(), ctx.free_vram_mb()) == ("NORVI Emulated GPU", 8192, 6144)
    assert lib.norvi_emu_live_streams() == 1
    del ctx
    assert lib.norvi_emu_live_streams() == 0
    assert lib.norvi_emu_optix_live_contexts() == 0


# Every step's message is tested natively; here one CUDA and one OptiX step.
@pytest.mark.parametrize("call, code, message", [
    (b"cudaSetDevice", 35, "Failed to set CUDA device: CUDA driver version is insufficient for CUDA runtime version"),
    (b"optixDeviceContextCreate", 7001, "Failed to create OptiX device context"),
])
def test_emulated_construction_failures(emu, call, code, message):
    ng, lib = emu
    lib.norvi_emu_fail_call(call, 1, code)
    with pytest.raises(RuntimeError) as err:
        ng.OptiXContext()
    assert str(err.value) == message
    lib.norvi_emu_fail_call(call, 1, code)
    with pytest.raises(RuntimeError) as err:
        ng.device_info()
    assert str(err.value) == message
    assert lib.norvi_emu_live_streams() == 0


def test_emulated_invalid_ordinal(emu):
    ng, _ = emu
    with pytest.raises(RuntimeError, match="^Failed to set CUDA device: invalid device ordinal$"):
        ng.device_info(3)

