"""Perspective and orthographic pictures of a built CPU scene, as PNG files.

    render_images(scene, out_dir)  ->  [path of the perspective PNG, path of the orthographic PNG]

The scene (an EmbreeSceneManager with materials, sun and sky, built) is
rendered twice with norvi_gpu.simulate_cpu: an oblique perspective view and a
nadir orthographic view of its bounds, with a progress bar on the terminal.
Radiances are mapped to 8-bit colour (three chosen bands, or one band as
grey) by a common white point and a display gamma. Running this file renders
the demo canopy in colour infrared:  python3 examples/render_images.py [out_dir]
"""

import math
import os
import sys
import time

import numpy as np

import norvi_gpu
from norvi.progress import progress_bar


def write_png(path, rgb):
    """Writes an (H, W, 3) uint8 array as an 8-bit RGB PNG (first row at the top)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    plt.imsave(path, np.ascontiguousarray(rgb, dtype=np.uint8))


def to_rgb8(image, rgb_bands=None, white=None):
    """Radiance image (H, W, B) to uint8 RGB, top row first (rows grow toward the camera's +y)."""
    bands = image.shape[2]
    if rgb_bands is None:  # bands taken as blue, green, red
        rgb_bands = (2, 1, 0) if bands >= 3 else (0, 0, 0)
    rgb = image[:, :, list(rgb_bands)].astype(np.float64)
    if white is None:
        white = np.percentile(rgb, 99.5)
    rgb = np.clip(rgb / max(white, 1e-12), 0.0, 1.0) ** (1 / 2.2)
    return np.flipud((rgb * 255 + 0.5).astype(np.uint8))


def _camera(x, y, z, tilt_rad):
    c, s = math.cos(tilt_rad), math.sin(tilt_rad)
    return np.array([1, 0, 0, x, 0, c, -s, y, 0, s, c, z, 0, 0, 0, 1], dtype=np.float32)


def render_images(scene, out_dir, spp=16, max_depth=16, size=(480, 320), rgb_bands=None,
                  progress=True):
    """Renders the perspective and the orthographic view and writes
    out_dir/canopy_perspective.png and out_dir/canopy_orthographic.png."""
    os.makedirs(out_dir, exist_ok=True)
    (x0, y0, z0), (x1, y1, z1) = scene.aabb()
    cx, cy = 0.5 * (x0 + x1), 0.5 * (y0 + y1)
    extent = max(x1 - x0, y1 - y0, 1.0)
    width, height = size
    views = [
        # oblique view from the -y side, 55 degrees off nadir
        ("perspective", lambda: scene.set_sensor(
            1, width, height, 0.0, 0.0,
            _camera(cx, cy - 0.75 * extent, z1 + 0.5 * extent, math.radians(55.0)), 45.0)),
        # straight down over the whole scene
        ("orthographic", lambda: scene.set_sensor(
            0, height, height, x1 - x0, y1 - y0, _camera(cx, cy, z1 + 10.0, 0.0))),
    ]
    paths = []
    for name, set_view in views:
        set_view()
        bar = progress_bar(name, unit="pass") if progress else None
        img = norvi_gpu.simulate_cpu(scene, spp, max_depth, bar)
        path = os.path.join(out_dir, f"canopy_{name}.png")
        write_png(path, to_rgb8(img, rgb_bands))
        paths.append(path)
    return paths


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "examples/output"
    t0 = time.time()
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from canopy_scene import build_canopy_scene

    scene, _ = build_canopy_scene()
    for p in render_images(scene, out, rgb_bands=(2, 0, 1)):
        print(p)
    print(f"{time.time() - t0:.1f} s")
