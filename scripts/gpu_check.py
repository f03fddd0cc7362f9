"""On a machine with an NVIDIA GPU and driver: the real norvi_gpu module's
device, one canopy image rendered by Simulator.simulate against simulate_cpu
(per-band means within 4 standard errors), and the time of each."""

import math
import sys
import time

import numpy as np

import norvi_gpu as ng


def fill(s):
    s.set_num_bands(2)
    s.add_material(0, 0)
    s.add_material(13, 2, [0.6, 0.4])
    g = ng.make_ground_plane(5.0, 5.0)
    s.add_instance(s.add_mesh(g["vertices"], g["normals"], g["indices"], 0), 5.0, 5.0, 0.0, 1.0)
    crown = ng.make_sphere(1.2, np.zeros(3, np.float32), 2)
    m = s.add_mesh(crown["vertices"], crown["normals"], crown["indices"], 1)
    for x in range(1, 10, 3):
        for y in range(1, 10, 3):
            s.add_instance(m, float(x), float(y), 2.5, 1.0)
    s.upload_spectral_params(np.array([0.2, 0.3, 0.1, 0.45, 0.04, 0.3, 0.05, 0.4, 1.5, 1.2, 0.3, 0.2],
                                      np.float32))
    s.set_emitter(0, np.array([0.4, 0.2, 0.89], np.float32), 8)
    s.set_sky(10)
    cam = np.array([1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 8, 0, 0, 0, 1], np.float32)
    s.set_sensor(0, 256, 256, 10.0, 10.0, cam)
    s.build()


def main():
    print("device_info():", ng.device_info())
    ctx = ng.OptiXContext(0)
    gpu, cpu = ng.SceneManager(ctx), ng.EmbreeSceneManager()
    fill(gpu)
    fill(cpu)
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    sim.init()
    spp = 32
    t0 = time.perf_counter()
    a = sim.simulate(gpu, spp=spp)
    t1 = time.perf_counter()
    b = ng.simulate_cpu(cpu, spp=spp)
    t2 = time.perf_counter()
    print(f"simulate     {t1 - t0:8.3f} s")
    print(f"simulate_cpu {t2 - t1:8.3f} s   (cpu / gpu = {(t2 - t1) / (t1 - t0):.1f})")
    ok = True
    n = a.shape[0] * a.shape[1]
    for band in range(a.shape[2]):
        ga, cb = a[:, :, band], b[:, :, band]
        se = math.sqrt((ga.var() + cb.var()) / n)
        agree = abs(ga.mean() - cb.mean()) <= 4 * se
        ok &= agree
        print(f"band {band}: gpu mean {ga.mean():.6f}  cpu mean {cb.mean():.6f}  4 se {4 * se:.6f}  "
              f"{'agree' if agree else 'DIFFER'}")
    print("largest pixel difference:", float(np.abs(a - b).max()))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
