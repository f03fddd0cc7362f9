"""Geometry the tests of both back ends build scenes from. It imports no
norvi module: the emulated GPU tests run without conftest.py, in a process
where norvi_gpu must not be loaded."""

import math

import numpy as np

E_SUN = 2.0   # sun irradiance on a plane facing the sun, in the photon tracers' tests
TILE = 10.0   # tile side of their repetitive scenes


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


def build_tile(ng, s, ground_rho=0.0, leaves=None, leaf_rt=(0.0, 0.0), zenith=0.0, sky=None, hw_sky=False,
               reps=50, ground_size=TILE):
    """Builds s, a CPU or GPU scene of module ng, as a repetitive TILE x TILE
    scene: a Lambertian ground (instance 0) covering [0, ground_size] x
    [0, TILE], optionally a leaf mesh (instance 1) with reflectance /
    transmittance leaf_rt, a sun and optionally a sky of radiance `sky`
    (constant, or parametric with only the zenith term)."""
    r, t = leaf_rt
    spec = [ground_rho, E_SUN, r, r, t] + ([sky] if sky is not None else [])
    if hw_sky and sky is not None:
        spec += [0.0] * 9 + [sky]
    s.set_num_bands(1)
    s.upload_spectral_params(np.array(spec, np.float32))
    s.add_material(0, 0)
    s.add_material(13, 2, [r, t])
    g = ng.make_ground_plane(ground_size / 2, TILE / 2)
    s.add_mesh(g["vertices"], g["normals"], g["indices"], 0)
    s.add_instance(0, ground_size / 2, TILE / 2, 0.0)
    if leaves is not None:
        s.add_mesh(leaves[0], np.zeros((0, 3), np.float32), leaves[1], 1)
        s.add_instance(1)
        s.set_measurement_plane(3.5)  # photons start above the leaves
    s.set_emitter(0, sun_at(zenith, 30.0), 1)
    if sky is not None:
        if hw_sky:
            s.set_hw_sky(6, 0.0, 0.0, 1.0)
        else:
            s.set_sky(5)
    s.set_repetitive(reps, TILE, TILE)
    s.build()
    return s
