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
