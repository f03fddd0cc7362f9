"""NORVI demo on the CPU back end: builds an instanced canopy scene, reports
what it holds, renders it with a perspective and an orthographic camera
(colour infrared: near infrared, red and green shown as red, green and blue),
traces photons forward for a vertical absorption profile and a map of the
irradiance reaching the ground, and scans it with an airborne LiDAR, writing
the point cloud as a LAS 1.4 file and a picture of waveforms and points.

    python3 examples/canopy_demo.py [--out DIR] [--spp N] [--quick]
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import norvi_gpu  # noqa: E402
from canopy_scene import build_canopy_scene, describe  # noqa: E402
from render_images import render_images  # noqa: E402
from forward_plots import plot_profiles  # noqa: E402
from lidar_scan import scan_canopy  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "output"),
                    help="folder for the pictures and files the demo writes")
    ap.add_argument("--spp", type=int, default=16, help="samples per pixel of the images")
    ap.add_argument("--quick", action="store_true", help="small images and few samples (for tests)")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)

    print(f"norvi_gpu {norvi_gpu.__version__} - {norvi_gpu.__doc__}")
    scene, info = build_canopy_scene()
    print("Canopy scene (CPU back end, Embree):")
    print(describe(scene, info))

    size = (160, 120) if args.quick else (640, 420)
    spp = 2 if args.quick else args.spp
    print(f"Rendering {size[0]}x{size[1]} images, {spp} samples per pixel:")
    for path in render_images(scene, args.out, spp=spp, size=size, rgb_bands=(2, 0, 1)):
        print(f"  wrote {path}")

    photons = 100_000 if args.quick else 2_000_000
    print(f"Forward photon tracing, {photons} photons (absorption profile and ground irradiance):")
    result = plot_profiles(scene, args.out, tile=(info["width"], info["depth"]), num_photons=photons)
    for key in ("profile_png", "ground_png"):
        print(f"  wrote {result[key]}")

    pulses = 1500 if args.quick else 12000
    print(f"LiDAR scan from 60 m along 3 flight lines, {pulses} pulses (waveforms and point cloud):")
    scan = scan_canopy(scene, info["width"], info["depth"], args.out, num_pulses=pulses, lines=3,
                       peak_threshold=1e-10)  # weak understorey returns at 60 m lie near 1e-9
    print(scan["summary"])


if __name__ == "__main__":
    main()
