"""The repaired wheel carries its Embree and TBB: installed into a fresh
virtual environment, the module loads them from the wheel, not from the system."""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
PROBE = """
import norvi_gpu, norvi._parts
s = norvi_gpu.EmbreeSceneManager()
g = norvi_gpu.make_ground_plane(1, 1)
s.add_instance(s.add_mesh(g["vertices"], g["normals"], g["indices"], 0))
s.build()
print("\\n".join(sorted({line.split()[-1] for line in open("/proc/self/maps") if "embree" in line or "tbb" in line})))
"""


def test_wheel_installs_with_its_own_embree(tmp_path):
    pytest.importorskip("auditwheel")
    if shutil.which("patchelf") is None:
        pytest.skip("patchelf is not installed")
    env = dict(os.environ, PYTHON=sys.executable, NORVI_BUILD_DIR=os.environ.get("NORVI_BUILD_DIR", "build/test"),
               NORVI_BUILD_TESTS="ON")  # the test build's folder and options: only the wheel is made anew
    subprocess.run(["bash", str(ROOT / "scripts" / "wheel.sh"), str(tmp_path / "dist")], env=env, check=True,
                   capture_output=True, timeout=1200)
    (wheel,) = (tmp_path / "dist").glob("norvi_gpu-*-manylinux_*_x86_64.whl")

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=120)
    py = str(venv / "bin" / "python")
    subprocess.run([py, "-m", "pip", "install", "-q", "--no-deps", "--no-index", str(wheel)], check=True, timeout=300)
    site = subprocess.run([py, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          check=True, capture_output=True, text=True).stdout.strip()
    numpy_dir = Path(np.__file__).parent  # NumPy from this interpreter, without reaching a registry
    for item in (numpy_dir, numpy_dir.with_name("numpy.libs")):
        if item.exists():
            os.symlink(item, Path(site) / item.name)

    run = subprocess.run([py, "-c", PROBE], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert run.returncode == 0, run.stderr
    libs = run.stdout.split()
    assert any("embree" in lib for lib in libs) and any("tbb" in lib for lib in libs), libs
    assert all(lib.startswith(str(Path(site) / "norvi_gpu.libs")) for lib in libs), libs
    assert sysconfig.get_paths()["purelib"] not in run.stdout
