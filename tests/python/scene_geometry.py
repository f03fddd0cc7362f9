"""Geometry the tests of both back ends build scenes from. It imports no
norvi module: the emulated GPU tests run without conftest.py, in a process
where norvi_gpu must not be loaded."""

import math

import numpy as np


def camera(x=0.0, y=0.0, z=5.0, tilt_deg=0.0):
    """Camera-to-world matrix at (x, y, z); tilt rotates the view from nadir toward +y."""
    a = math.radians(tilt_deg)
    c, s = math.cos(a), math.sin(a)
    return np.array([1, 0, 0, x, 0, c, -s, y, 0, s, c, z, 0, 0, 0, 1], dtype=np.float32)


def sun_at(zenith_deg, azimuth_deg=0.0):
    """The unit vector toward a sun at this zenith angle and azimuth (from +x toward +y)."""
    t, p = math.radians(zenith_deg), math.radians(azimuth_deg)
    return np.array([math.sin(t) * math.cos(p), math.sin(t) * math.sin(p), math.cos(t)], dtype=np.float32)


def random_leaves(n, tile, z0, z1, side, seed=3, inside=False):
    """n equilateral triangles of side `side`, orientations uniform on the
    sphere, centres uniform over the tile [0, tile]^2 (kept whole inside its
    column if `inside`) and in height over [z0, z1]: (vertices, indices, area)."""
    rng = np.random.default_rng(seed)
    normal = rng.normal(size=(n, 3))
    normal /= np.linalg.norm(normal, axis=1, keepdims=True)
    u = np.cross(normal, np.where(np.abs(normal[:, :1]) < 0.9, [[1.0, 0, 0]], [[0, 1.0, 0]]))
    u /= np.linalg.norm(u, axis=1, keepdims=True)
    v = np.cross(normal, u)
    r = side / math.sqrt(3.0)  # circumradius
    margin = r if inside else 0.0
    centre = np.column_stack([rng.uniform(margin, tile - margin, (n, 2)), rng.uniform(z0, z1, n)])
    turn = rng.uniform(0, 2 * math.pi, n)[:, None]
    verts = [centre + r * (np.cos(turn + a) * u + np.sin(turn + a) * v) for a in (0, 2 * math.pi / 3, 4 * math.pi / 3)]
    return (np.stack(verts, axis=1).reshape(-1, 3).astype(np.float32), np.arange(3 * n, dtype=np.int32).reshape(-1, 3),
            n * math.sqrt(3.0) / 4.0 * side * side)
