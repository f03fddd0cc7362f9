"""Comparisons of results and scene states shared by the CPU and the emulated
GPU tests; like scene_geometry.py, it loads no norvi module."""

import math

import numpy as np


def assert_same_state(a, b):
    assert a.keys() == b.keys()
    for key in a:
        x, y = np.asarray(a[key]), np.asarray(b[key])
        assert x.dtype == y.dtype and x.shape == y.shape and np.array_equal(x, y), key


def assert_same(got, want, exact):
    """got equals want (an array, or a dict or tuple of them): bit for bit when
    exact, else to float rounding of sums added in another order."""
    if isinstance(want, dict):
        assert got.keys() == want.keys()
        for key in want:
            assert_same(got[key], want[key], exact)
    elif isinstance(want, tuple):
        assert len(got) == len(want)
        for g, w in zip(got, want):
            assert_same(g, w, exact)
    elif exact or np.size(want) == 0:
        assert np.shape(got) == np.shape(want) and np.array_equal(got, want)
    else:  # float32 sums added in another order
        np.testing.assert_allclose(got, want, rtol=2e-6, atol=1e-6 * np.abs(want).max())


def assert_same_means(gpu, cpu, atol=0.0):
    """Per-channel means of two float32 images within 4 standard errors
    (pixels as samples), and not all zero."""
    assert gpu.shape == cpu.shape and gpu.dtype == np.float32 and cpu.any()
    n = gpu.shape[0] * gpu.shape[1]
    for k in range(gpu.shape[2]):
        g, c = gpu[..., k].astype(np.float64), cpu[..., k].astype(np.float64)
        se = math.sqrt((g.var() + c.var()) / n)
        assert abs(g.mean() - c.mean()) <= 4 * se + 1e-6 * abs(c.mean()) + atol, (k, g.mean(), c.mean(), se)
