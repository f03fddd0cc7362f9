"""Forward photon tracing on a built canopy scene, drawn as two pictures:

- the vertical profile of absorbed energy per layer, as a fraction of the
  energy entering the scene (an fPAR-like profile), one curve per band;
- a map of the downwelling irradiance reaching the ground.

    from forward_plots import plot_profiles
    paths = plot_profiles(scene, "output")

The scene must be repetitive (one tile of a periodic landscape) with its
ground starting at z = 0, as examples/canopy_scene.py builds it.
"""

import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import norvi_gpu  # noqa: E402

# The bottom layer holds only the ground (and the foot of the trunks).
GROUND_LAYER_TOP = 0.05


def plot_profiles(scene, out_dir, tile=None, num_bands=3, band_names=("red", "green", "nir"),
                  ground_reflectance=(0.12, 0.10, 0.25), num_photons=300000, layers=12,
                  cells=32, prob_sun=0.8):
    """Runs simulate_forward_cpu on `scene` and writes two PNG files into
    out_dir: "absorption_profile.png" and "ground_downwelling.png".

    tile: (width, depth) of the scene's tile, over which the grid is laid from
    the origin; by default the horizontal extent of the scene's bounds.
    num_bands must equal the scene's band count; ground_reflectance (one value
    per band) turns the energy the ground absorbs into the energy reaching it.
    prob_sun is the share of sun photons when the scene has a sky. Photons
    start just above the top of the scene: this sets the scene's measurement
    plane there.

    Returns a dict with the two file paths ("profile_png", "ground_png") and
    the arrays drawn ("layer_heights", "fraction" of shape (layers, num_bands),
    "ground_downwelling" of shape (cells, cells, num_bands), "ground_fraction").
    """
    os.makedirs(out_dir, exist_ok=True)
    (x0, y0, _), (x1, y1, top) = scene.aabb()
    tile_w, tile_h = tile if tile is not None else (x1 - x0, y1 - y0)
    scene.set_measurement_plane(top)
    top_layer = max(top, GROUND_LAYER_TOP + 1.0)  # a bare ground still gets ascending layers
    heights = np.concatenate([[0.0], np.linspace(GROUND_LAYER_TOP, top_layer, layers + 1)]).astype(np.float32)

    r = norvi_gpu.simulate_forward_cpu(
        scene, cells, cells, heights, num_photons=num_photons, num_bands=num_bands,
        brf_directions=np.array([0.0, 0.0, 1.0], np.float32), num_brf_dirs=1, prob_sun=prob_sun)
    grid = r["grid"].astype(np.float64)           # (layers + 1, ny, nx, bands)
    entering = grid.sum(axis=(0, 1, 2)) + r["albedo"]  # what is absorbed or leaves
    per_layer = grid.sum(axis=(1, 2))             # (layers + 1, bands)
    fraction = per_layer / entering
    ground_fraction = fraction[0]

    # Vertical profile of the canopy layers.
    mid = 0.5 * (heights[1:-1] + heights[2:])
    fig, ax = plt.subplots(figsize=(5.5, 6))
    for b in range(num_bands):
        name = band_names[b] if b < len(band_names) else f"band {b}"
        ax.plot(fraction[1:, b], mid, marker="o",
                label=f"{name} (canopy {fraction[1:, b].sum():.2f}, ground {ground_fraction[b]:.2f})")
    ax.set_xlabel("absorbed fraction of the incoming energy, per layer")
    ax.set_ylabel("height [m]")
    ax.set_ylim(0.0, float(top_layer))
    ax.set_xlim(left=0.0)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8, loc="upper right")
    ax.set_title(f"Absorption profile ({num_photons} photons, {layers} layers)")
    fig.tight_layout()
    profile_png = os.path.join(out_dir, "absorption_profile.png")
    fig.savefig(profile_png, dpi=120)
    plt.close(fig)

    # Downwelling irradiance at the ground: what the ground absorbed in each
    # cell over its absorptance, per square metre.
    cell_area = (tile_w / cells) * (tile_h / cells)
    absorptance = 1.0 - np.asarray(ground_reflectance[:num_bands], np.float64)
    ground = grid[0] / absorptance / cell_area    # (ny, nx, bands)
    fig, axes = plt.subplots(1, num_bands, figsize=(4.2 * num_bands, 4), squeeze=False)
    for b, ax in enumerate(axes[0]):
        name = band_names[b] if b < len(band_names) else f"band {b}"
        im = ax.imshow(ground[:, :, b], origin="lower", extent=(0.0, tile_w, 0.0, tile_h), cmap="magma")
        ax.set_title(f"{name}")
        ax.set_xlabel("x [m]")
        ax.set_ylabel("y [m]")
        fig.colorbar(im, ax=ax, shrink=0.8, label="irradiance at the ground")
    fig.suptitle("Downwelling irradiance reaching the ground")
    fig.tight_layout()
    ground_png = os.path.join(out_dir, "ground_downwelling.png")
    fig.savefig(ground_png, dpi=120)
    plt.close(fig)

    return {"profile_png": profile_png, "ground_png": ground_png, "layer_heights": heights,
            "fraction": fraction, "ground_downwelling": ground, "ground_fraction": ground_fraction}


if __name__ == "__main__":
    import sys

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from canopy_scene import build_canopy_scene

    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                             "output")
    scene, info = build_canopy_scene()
    paths = plot_profiles(scene, out, tile=(info["width"], info["depth"]))
    print(paths["profile_png"])
    print(paths["ground_png"])
