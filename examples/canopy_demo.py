"""NORVI demo on the CPU back end: builds an instanced canopy scene and reports
what it holds.

    python3 examples/canopy_demo.py [--out DIR]
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import norvi_gpu  # noqa: E402
from canopy_scene import build_canopy_scene, describe  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "output"),
                    help="folder for the pictures and files the demo writes")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)

    print(f"norvi_gpu {norvi_gpu.__version__} - {norvi_gpu.__doc__}")
    scene, info = build_canopy_scene()
    print("Canopy scene (CPU back end, Embree):")
    print(describe(scene, info))


if __name__ == "__main__":
    main()
