"""Pulse patterns for simulate_lidar_cpu: an airborne scanner on a flight line.

`flight_line(start, end, altitude, num_pulses)` places `num_pulses` pulse
origins evenly along the straight line from `start` (x, y) to `end` (x, y) at
the given altitude, and points each pulse down with a saw-tooth sweep across
track between -max_scan_angle_deg and +max_scan_angle_deg, one sweep every
`sweep_pulses` pulses (an oscillating-mirror scanner), from left to right
of the direction of flight. It returns the two flat
float32 arrays of 3 x num_pulses values that simulate_lidar_cpu takes.
"""

import numpy as np


def flight_line(start, end, altitude, num_pulses, max_scan_angle_deg=15.0, sweep_pulses=50):
    start = np.asarray(start, dtype=np.float64)[:2]
    end = np.asarray(end, dtype=np.float64)[:2]
    track = end - start
    length = np.hypot(*track)
    if length == 0:
        raise ValueError("start and end of the flight line must differ")
    if num_pulses < 1 or sweep_pulses < 1:
        raise ValueError("num_pulses and sweep_pulses must be at least 1")
    along = track / length
    across = np.array([along[1], -along[0]])  # to the right of the direction of flight

    i = np.arange(num_pulses)
    s = (i + 0.5) / num_pulses
    origins = np.empty((num_pulses, 3))
    origins[:, :2] = start + s[:, None] * track
    origins[:, 2] = altitude

    sweep = ((i % sweep_pulses) + 0.5) / sweep_pulses - 0.5  # -0.5 .. 0.5
    angle = np.radians(max_scan_angle_deg) * 2.0 * sweep
    directions = np.empty((num_pulses, 3))
    directions[:, :2] = np.sin(angle)[:, None] * across
    directions[:, 2] = -np.cos(angle)
    return origins.astype(np.float32).ravel(), directions.astype(np.float32).ravel()


def scan_canopy(scene, width, depth, out_dir, altitude=60.0, num_pulses=6000, lines=1,
                num_wavelengths=1, **lidar_args):
    """Scan a built scene covering [0, width] x [0, depth] from `altitude` along
    `lines` flight lines parallel to y (evenly spread across x), in waveform
    mode, and write the point cloud to out_dir/lidar.las and a picture of a few
    waveforms and the cloud to out_dir/lidar.png.

    Extra keyword arguments go to simulate_lidar_cpu. Returns a dict with the
    simulation result, the two paths and a short text summary.
    """
    import os

    import norvi_gpu
    from norvi.lidar import write_las
    from lidar_plots import plot_lidar

    per_line = max(1, num_pulses // lines)
    origins, directions = [], []
    for k in range(lines):
        x = (k + 0.5) / lines * width
        o, d = flight_line((x, 0.0), (x, depth), altitude, per_line)
        origins.append(o)
        directions.append(d)
    origins = np.concatenate(origins)
    directions = np.concatenate(directions)
    n = origins.size // 3

    args = dict(max_range=altitude * 1.2, num_wavelengths=num_wavelengths)
    args.update(lidar_args)
    result = norvi_gpu.simulate_lidar_cpu(scene, origins, directions, n, **args)

    os.makedirs(out_dir, exist_ok=True)
    las_path = os.path.join(out_dir, "lidar.las")
    png_path = os.path.join(out_dir, "lidar.png")
    scale = write_las(result["points"], las_path)
    plot_lidar(result, png_path, range_resolution=args.get("range_resolution", 0.15),
               min_range=args.get("min_range", 0.0))

    pts = result["points"]
    multi = int(np.count_nonzero(np.bincount(pts[:, 7].astype(np.int64), minlength=n) > 1)) if len(pts) else 0
    summary = ("LiDAR scan: %d pulses on %d flight line(s) at %.0f m, %d returns "
               "(%d pulses with more than one), %d range bins\n"
               "  point cloud: %s (LAS 1.4, point format 6, intensity scale %.4g per count)\n"
               "  picture:     %s" % (n, lines, altitude, result["num_returns"], multi,
                                      result["num_bins"], las_path, scale, png_path))
    return {"result": result, "las": las_path, "png": png_path, "summary": summary}
