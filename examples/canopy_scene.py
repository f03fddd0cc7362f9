"""The demo canopy: instanced icosphere crowns on cylinder trunks over a ground
plane, with a sun, a sky and three spectral bands (red, green, near infrared).

Spectral array layout (each block is one value per band):
    0  ground reflectance          (Lambertian)
    3  leaf front reflectance      (two-sided leaf: R_front, R_back, T)
    6  leaf back reflectance
    9  leaf transmittance
    12 bark reflectance            (Lambertian)
    15 sun irradiance              (W m^-2 nm^-1 on a plane facing the sun)
    18 sky radiance                (W m^-2 sr^-1 nm^-1, the same in every direction)
"""

import math
import time

import numpy as np

import norvi_gpu

BANDS = ("red", "green", "nir")
SPECTRA = np.array([
    0.12, 0.10, 0.25,    # ground
    0.05, 0.10, 0.45,    # leaf front
    0.07, 0.12, 0.42,    # leaf back
    0.03, 0.08, 0.45,    # leaf transmittance
    0.20, 0.15, 0.30,    # bark
    1.50, 1.80, 1.00,    # sun
    0.08, 0.12, 0.05,    # sky
], dtype=np.float32)
SUN_OFFSET, SKY_OFFSET = 15, 18


def sun_direction(zenith_deg=30.0, azimuth_deg=135.0):
    """Unit vector from the scene toward the sun."""
    z, a = math.radians(zenith_deg), math.radians(azimuth_deg)
    return np.array([math.sin(z) * math.cos(a), math.sin(z) * math.sin(a), math.cos(z)], np.float32)


def build_canopy_scene(rows=12, cols=12, spacing=4.0, seed=7, scene=None):
    """Fills an EmbreeSceneManager (or the given scene) with a jittered grid of
    trees on a ground tile [0, cols*spacing] x [0, rows*spacing], builds it and
    returns (scene, info) where info holds the tile size and the build time."""
    rng = np.random.default_rng(seed)
    s = scene if scene is not None else norvi_gpu.EmbreeSceneManager()
    width, depth = cols * spacing, rows * spacing

    s.set_num_bands(len(BANDS))
    s.upload_spectral_params(SPECTRA)
    ground_mat = s.add_material(0, 0)
    leaf_mat = s.add_material(13, 3, [0.5, 0.5])  # reflect / transmit sampling weights
    bark_mat = s.add_material(0, 12)

    ground = norvi_gpu.make_ground_plane(width / 2, depth / 2)
    crown = norvi_gpu.make_sphere(1.6, [0.0, 0.0, 0.0], 3)
    trunk = norvi_gpu.make_cylinder(0.18, 3.2, 10)
    g = s.add_mesh(ground["vertices"], ground["normals"], ground["indices"], ground_mat)
    c = s.add_mesh(crown["vertices"], crown["normals"], crown["indices"], leaf_mat)
    t = s.add_mesh(trunk["vertices"], trunk["normals"], trunk["indices"], bark_mat)
    s.add_instance(g, width / 2, depth / 2, 0.0)

    for i in range(rows):
        for j in range(cols):
            x = (j + 0.5) * spacing + rng.uniform(-0.6, 0.6)
            y = (i + 0.5) * spacing + rng.uniform(-0.6, 0.6)
            scale = rng.uniform(0.75, 1.2)
            s.add_instance(c, x, y, 3.2 + 1.4 * scale, scale)
            s.add_instance(t, x, y, 0.0, 1.0)

    s.set_emitter(0, sun_direction(), SUN_OFFSET)
    s.set_sky(SKY_OFFSET)
    s.set_repetitive(4, width, depth)

    t0 = time.perf_counter()
    s.build()
    info = {"width": width, "depth": depth, "build_s": time.perf_counter() - t0,
            "meshes": 3, "materials": 3}
    return s, info


def describe(scene, info):
    (x0, y0, z0), (x1, y1, z1) = scene.aabb()
    return "\n".join([
        f"meshes:     {info['meshes']} (ground, crown, trunk)",
        f"instances:  {scene.num_instances()}",
        f"triangles:  {scene.total_triangles()} distinct "
        f"(crown {norvi_gpu.make_sphere(1.0, [0, 0, 0], 3)['indices'].shape[0]} each)",
        f"bounds:     x [{x0:.2f}, {x1:.2f}]  y [{y0:.2f}, {y1:.2f}]  z [{z0:.2f}, {z1:.2f}]",
        f"build time: {info['build_s'] * 1000:.1f} ms",
    ])
