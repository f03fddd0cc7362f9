"""The README demo runs and reports its scene."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_canopy_demo_runs(tmp_path):
    out = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "canopy_demo.py"),
                          "--out", str(tmp_path)], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    assert "instances:  289" in out.stdout
    assert "triangles:  1302 distinct" in out.stdout
