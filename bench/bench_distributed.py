"""norvi.distributed against one process, on this machine.

    python bench/bench_distributed.py [--photons N] [--pulses N] [--waveform-pulses N]
                                      [--trees N] [--workers N] [--repeats N]

Builds the demo canopy (examples/canopy_scene.py), then measures:

- shipping the scene: bytes of its pickle (its state), seconds to pickle and
  to rebuild it from the pickle (what a worker does), seconds of
  client.scatter(scene, broadcast=True) to every worker; the same for a dense
  scene of one sphere of 20 * 4**--dense-subdiv distinct triangles;
- a forward run of --photons photons and LiDAR runs of --pulses pulses
  (direct mode) and --waveform-pulses pulses (waveform mode), each in this
  process (norvi_gpu, all hardware threads) and on a LocalCluster of
  --workers worker processes of one thread each (NORVI_NUM_THREADS=1), with
  the largest difference between the two results.

Times are the best of --repeats runs; other work on the machine disturbs them.
"""

import argparse
import os
import pickle
import sys
import time

import numpy as np

import norvi_gpu
from norvi import distributed as nd

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
from canopy_scene import build_canopy_scene  # noqa: E402


def best_of(repeats, fn):
    best, result = float("inf"), None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def max_rel_diff(a, b):
    if isinstance(a, dict):
        return max(max_rel_diff(a[k], b[k]) for k in a if isinstance(a[k], np.ndarray))
    scale = max(float(np.abs(b).max()), 1e-30)
    return float(np.abs(np.asarray(a, np.float64) - b).max()) / scale


def pulses(n, width, depth, seed=3):
    rng = np.random.default_rng(seed)
    o = np.column_stack([rng.uniform(0, width, n), rng.uniform(0, depth, n), np.full(n, 40.0)])
    d = np.column_stack([rng.normal(0, 0.1, n), rng.normal(0, 0.1, n), -np.ones(n)])
    return o.astype(np.float32).ravel(), d.astype(np.float32).ravel()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--photons", type=int, default=50_000_000)
    ap.add_argument("--pulses", type=int, default=2_000_000)
    ap.add_argument("--waveform-pulses", type=int, default=200_000)
    ap.add_argument("--trees", type=int, default=12, help="trees per side of the tile")
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--repeats", type=int, default=2)
    ap.add_argument("--dense-subdiv", type=int, default=8)
    args = ap.parse_args()

    from distributed import Client, LocalCluster

    scene, info = build_canopy_scene(rows=args.trees, cols=args.trees)
    print(f"scene: {scene.num_instances()} instances, {scene.total_triangles()} distinct triangles, "
          f"tile {info['width']:.0f} x {info['depth']:.0f} m; {os.cpu_count()} CPU cores")

    dense = norvi_gpu.EmbreeSceneManager()
    sph = norvi_gpu.make_sphere(10.0, [0.0, 0.0, 0.0], args.dense_subdiv)
    dense.add_material(0, 0)
    dense.add_mesh(sph["vertices"], sph["normals"], sph["indices"], 0)
    dense.add_instance(0)
    dense.upload_spectral_params(np.array([0.5], np.float32))
    dense.build()
    for name, s in (("canopy", scene), (f"dense sphere, {dense.total_triangles():,} triangles", dense)):
        t_dump, blob = best_of(args.repeats, lambda: pickle.dumps(s, protocol=5))
        t_load, _ = best_of(args.repeats, lambda: pickle.loads(blob))
        print(f"scene state ({name}): {len(blob) / 1e6:.2f} MB pickled; pickle "
              f"{t_dump * 1e3:.1f} ms, rebuild from pickle {t_load * 1e3:.1f} ms")

    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                           dashboard_address=None, env={"NORVI_NUM_THREADS": "1"})
    client = Client(cluster)
    try:
        for name, s in (("canopy", scene), ("dense sphere", dense)):
            def scatter():
                f = client.scatter(s, broadcast=True, hash=False)
                client.replicate([f])  # already on every worker; waits for nothing more
                del f
            t_scatter, _ = best_of(args.repeats, scatter)
            print(f"scatter to {args.workers} workers (broadcast, {name}): {t_scatter * 1e3:.1f} ms")
        del dense

        heights = np.linspace(0.0, 8.0, 9, dtype=np.float32)
        fwd = dict(nx=24, ny=24, layer_heights=heights, num_photons=args.photons, num_bands=3,
                   prob_sun=0.8)
        o, d = pulses(args.pulses, info["width"], info["depth"])
        ow, dw = pulses(args.waveform_pulses, info["width"], info["depth"], seed=4)
        wave = dict(min_range=30.0, max_range=45.0)
        runs = [
            (f"forward, {args.photons:,} photons",
             lambda: norvi_gpu.simulate_forward_cpu(scene, **fwd),
             lambda: nd.simulate_forward_cpu(scene, **fwd, client=client, progress_bar=False),
             args.photons, "photons"),
            (f"LiDAR direct, {args.pulses:,} pulses",
             lambda: norvi_gpu.simulate_lidar_cpu(scene, o, d, args.pulses, direct_mode=True),
             lambda: nd.simulate_lidar_cpu(scene, o, d, args.pulses, direct_mode=True,
                                           client=client, progress_bar=False),
             args.pulses, "pulses"),
            (f"LiDAR waveform, {args.waveform_pulses:,} pulses",
             lambda: norvi_gpu.simulate_lidar_cpu(scene, ow, dw, args.waveform_pulses, **wave),
             lambda: nd.simulate_lidar_cpu(scene, ow, dw, args.waveform_pulses, **wave,
                                           client=client, progress_bar=False),
             args.waveform_pulses, "pulses"),
        ]
        for label, local, spread, n, unit in runs:
            t_local, r_local = best_of(args.repeats, local)
            t_spread, r_spread = best_of(args.repeats, spread)
            print(f"{label}: in-process {t_local:.2f} s ({n / t_local / 1e6:.2f} M {unit}/s), "
                  f"{args.workers} workers {t_spread:.2f} s ({n / t_spread / 1e6:.2f} M {unit}/s), "
                  f"ratio {t_spread / t_local:.2f}; max relative difference "
                  f"{max_rel_diff(r_spread, r_local):.1e}")
    finally:
        client.close()
        cluster.close()


if __name__ == "__main__":
    main()
