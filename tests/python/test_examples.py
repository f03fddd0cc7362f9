"""The README demo runs and reports its scene."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_canopy_demo_runs(tmp_path):
    out = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "canopy_demo.py"),
                          "--out", str(tmp_path), "--quick"], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    assert "instances:  289" in out.stdout
    assert "triangles:  1302 distinct" in out.stdout
    for name in ("canopy_perspective.png", "canopy_orthographic.png", "absorption_profile.png",
                 "ground_downwelling.png", "lidar.png"):
        data = (tmp_path / name).read_bytes()
        assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 1000
    las = (tmp_path / "lidar.las").read_bytes()
    assert las[:4] == b"LASF" and (las[24], las[25]) == (1, 4)


def test_readme_example_runs():
    import re

    readme = open(os.path.join(ROOT, "README.md")).read()
    code = re.findall(r"```python\n(.*?)```", readme, re.S)[0]
    env = {}
    exec(compile(code, "README.md", "exec"), env)
    assert env["image"].shape == (64, 64, 1)
    assert env["fwd"]["grid"].shape == (3, 10, 10, 1)
    assert env["flux"]["downwelling"].shape == (10, 10, 1)
    assert env["lidar"]["points"].shape == (1, 8)
