"""Pictures of a NORVI LiDAR result: a few waveforms and the point cloud.

`plot_lidar(result, path)` takes the dictionary of `simulate_lidar_cpu` and
writes one PNG with the waveforms of a few pulses (summed over wavelengths,
against range, with the extracted returns marked) on the left and the point
cloud on the right (a 3-D view coloured by height, first returns and later
returns told apart). The two panels can also be drawn on axes of one's own
with `plot_waveforms` and `plot_point_cloud`.

Requires matplotlib (scripts/setup.sh installs it); it draws off screen.
"""

import numpy as np


def pick_pulses(result, count=4):
    """Up to `count` pulses with the most returns, in pulse order."""
    pts = result["points"]
    if len(pts) == 0:
        return list(range(min(count, result["waveform"].shape[0])))
    idx = pts[:, 7].astype(np.int64)
    returns = np.bincount(idx)
    best = np.argsort(-returns, kind="stable")[:count]
    return sorted(int(p) for p in best if returns[p] > 0)


def plot_waveforms(ax, result, pulses, range_resolution=0.15, min_range=0.0):
    """Waveforms of the given pulses against range, returns marked."""
    wf = np.asarray(result["waveform"], dtype=np.float64)
    num_bins = wf.shape[1]
    ranges = (np.arange(num_bins) + 0.5) * range_resolution + min_range
    pts = result["points"]
    for p in pulses:
        s = wf[p].sum(axis=1)
        (line,) = ax.plot(ranges, s, lw=1.2, label="pulse %d" % p)
        mine = pts[pts[:, 7] == p] if len(pts) else pts
        if len(mine):
            ax.plot(mine[:, 6], mine[:, 3], "o", color=line.get_color(), ms=5)
    nonzero = np.nonzero(wf[list(pulses)].sum(axis=(0, 2)))[0] if len(pulses) else []
    if len(nonzero):
        lo, hi = ranges[nonzero[0]], ranges[nonzero[-1]]
        pad = max(1.0, 0.1 * (hi - lo))
        ax.set_xlim(lo - pad, hi + pad)
    ax.set_xlabel("range [m]")
    ax.set_ylabel("received energy per bin")
    ax.set_title("Waveforms (dots: returns)")
    if len(pulses):
        ax.legend(fontsize=8)


def plot_point_cloud(ax, points, max_points=200000):
    """3-D scatter of the points, coloured by height; later returns drawn smaller."""
    pts = np.asarray(points)
    if len(pts) > max_points:
        pts = pts[np.linspace(0, len(pts) - 1, max_points).astype(np.int64)]
    if len(pts):
        first = pts[:, 4] == 1
        kw = dict(c=None, cmap="viridis", vmin=pts[:, 2].min(), vmax=pts[:, 2].max())
        kw["c"] = pts[first, 2]
        sc = ax.scatter(pts[first, 0], pts[first, 1], pts[first, 2], s=2, label="first returns", **kw)
        kw["c"] = pts[~first, 2]
        ax.scatter(pts[~first, 0], pts[~first, 1], pts[~first, 2], s=1, marker="^",
                   label="later returns", **kw)
        ax.figure.colorbar(sc, ax=ax, shrink=0.6, pad=0.12, label="z [m]")
        ax.legend(fontsize=8, loc="upper left")
    ax.set_xlabel("x [m]")
    ax.set_ylabel("y [m]")
    ax.set_zlabel("z [m]")
    ax.set_title("Point cloud (%d returns)" % len(points))


def plot_lidar(result, path, pulses=None, range_resolution=0.15, min_range=0.0):
    """Write waveforms and point cloud of `result` side by side to the PNG `path`.

    range_resolution and min_range must be those of the simulation.
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    if pulses is None:
        pulses = pick_pulses(result)
    fig = plt.figure(figsize=(13, 5.5))
    plot_waveforms(fig.add_subplot(1, 2, 1), result, pulses, range_resolution, min_range)
    plot_point_cloud(fig.add_subplot(1, 2, 2, projection="3d"), result["points"])
    fig.tight_layout()
    fig.savefig(str(path), dpi=110)
    plt.close(fig)
    return path
