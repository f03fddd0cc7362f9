"""The README demo runs and reports its scene."""

import importlib.util
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import norvi_gpu

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
    if importlib.util.find_spec("laspy"):  # crowns over the ground give several returns, in pulse order
        from norvi.lidar import read_las
        points = read_las(tmp_path / "lidar.las")
        assert (points[:, 5] > 1).any() and np.all(np.diff(points[:, 7]) >= 0)


def test_readme_example_runs():
    readme = open(os.path.join(ROOT, "README.md")).read()
    code = re.findall(r"```python\n(.*?)```", readme, re.S)[0]
    env = {}
    exec(compile(code, "README.md", "exec"), env)
    assert env["image"].shape == (64, 64, 1)
    assert env["fwd"]["grid"].shape == (3, 10, 10, 1)
    assert env["flux"]["downwelling"].shape == (10, 10, 1)
    assert env["lidar"]["points"].shape == (1, 8)


def test_readme_real_world_example_runs(tmp_path, monkeypatch):
    """The README's tree-over-terrain example, on small images and scans, with a
    two-group tree OBJ and a terrain PLY written here."""
    for module in ("trimesh", "prosail", "pvlib", "rioxarray", "laspy"):
        pytest.importorskip(module)
    crown, trunk = norvi_gpu.make_sphere(1.5, [0, 0, 4], 1), norvi_gpu.make_cylinder(0.2, 3.0, 6)
    lines, base = ["mtllib pine.mtl"], 1
    for name, mesh in (("leaf", crown), ("bark", trunk)):
        lines += ["v %g %g %g" % tuple(v) for v in mesh["vertices"]]
        lines += ["o %s" % name, "usemtl %s" % name]
        lines += ["f %d %d %d" % tuple(f + base) for f in mesh["indices"]]
        base += len(mesh["vertices"])
    (tmp_path / "pine.obj").write_text("\n".join(lines) + "\n")
    (tmp_path / "pine.mtl").write_text("newmtl leaf\nKd 0 1 0\nnewmtl bark\nKd 1 0 0\n")
    import trimesh

    g = norvi_gpu.make_ground_plane(50, 50)
    trimesh.Trimesh(g["vertices"] + [50, 50, 0], g["indices"], process=False).export(tmp_path / "terrain.ply")

    readme = open(os.path.join(ROOT, "README.md")).read()
    code = next(c for c in re.findall(r"```python\n(.*?)```", readme, re.S) if "pine.obj" in c)
    small = code.replace("200, 200", "16, 16").replace("simulate_cpu(scene, 64, 16", "simulate_cpu(scene, 2, 4") \
                .replace("np.linspace(10, 90, 80)", "np.linspace(10, 90, 5)")
    assert small.count("16, 16") == 1 and "scene, 2, 4" in small
    monkeypatch.chdir(tmp_path)
    env = {}
    exec(compile(small, "README.md", "exec"), env)
    assert env["da"].sizes == {"y": 16, "x": 16, "band": 10} and float(env["da"].max()) > 0
    assert (tmp_path / "canopy.tif").read_bytes()[:2] in (b"II", b"MM")
    assert (tmp_path / "scan.las").read_bytes()[:4] == b"LASF" and env["scan"]["num_returns"] > 0
