"""Command line: run one simulation on a scene file and write the result file.

    python -m norvi backward SCENE.npz OUT.nc|OUT.tif [--spp 16] [--crs EPSG:32632 --origin E N]
    python -m norvi forward  SCENE.npz OUT.nc --layers 0,1,2,4 [--nx 10 --ny 10 --photons 1000000]
    python -m norvi flux     SCENE.npz OUT.nc [--nx 10 --ny 10 --photons 1000000]
    python -m norvi lidar    SCENE.npz OUT.las|OUT.laz|OUT.nc --pulses PULSES.npz

The scene file is one written by ``norvi.save_scene`` (it is built if it was
saved unbuilt). A progress bar goes to standard error; the path written is
printed on standard output. Exit status 2 for a bad command line, 1 when the
run fails (the message names the cause).
"""

from __future__ import annotations

from typing import Optional, Sequence

import argparse
import sys

import numpy as np


def _floats(text: str) -> list[float]:
    try:
        return [float(v) for v in text.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected numbers separated by commas; got {text!r}") from None


def _positive(text: str) -> int:
    # The engines take 0 samples or photons as an empty run: on the command
    # line that is a mistake, not a request for a file of zeros.
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer; got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected an integer of at least 1; got {value}")
    return value


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m norvi", description="Runs a NORVI simulation on a scene file.")
    sub = p.add_subparsers(dest="mode", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("scene", help="scene file written by norvi.save_scene (.npz)")
    common.add_argument("output", help="result file (.nc; .tif for an image; .las/.laz for LiDAR points)")
    common.add_argument("--wavelengths", type=_floats, help="band centres in nm, comma separated")
    common.add_argument("--quiet", action="store_true", help="no progress bar")
    b = sub.add_parser("backward", parents=[common], help="sensor image (simulate_cpu)")
    b.add_argument("--spp", type=_positive, default=16)
    b.add_argument("--max-depth", type=_positive, default=16)
    b.add_argument("--crs", help="coordinate reference system of a GeoTIFF (e.g. EPSG:32632)")
    b.add_argument("--origin", type=float, nargs=2, default=(0.0, 0.0), metavar=("EASTING", "NORTHING"),
                   help="CRS position of the scene origin (GeoTIFF)")
    for name, helptext in (("forward", "absorbed power per voxel (simulate_forward_cpu)"),
                           ("flux", "downwelling and upwelling maps (simulate_flux_cpu)")):
        f = sub.add_parser(name, parents=[common], help=helptext)
        f.add_argument("--nx", type=_positive, default=10)
        f.add_argument("--ny", type=_positive, default=10)
        f.add_argument("--photons", type=_positive, default=1_000_000)
        f.add_argument("--max-depth", type=_positive, default=16)
        if name == "forward":
            f.add_argument("--layers", type=_floats, required=True, help="layer heights, comma separated")
    li = sub.add_parser("lidar", parents=[common], help="LiDAR scan (simulate_lidar_cpu)")
    li.add_argument("--pulses", required=True, help=".npz with 'origins' and 'directions' arrays (N, 3)")
    li.add_argument("--max-range", type=float, default=100.0)
    li.add_argument("--range-resolution", type=float, default=0.15)
    return p


def _run(args: argparse.Namespace) -> str:
    import norvi_gpu

    from norvi import load_scene, lidar, results
    from norvi.progress import progress_bar

    scene = load_scene(args.scene)
    if not scene.is_built():
        scene.build()
    bands = scene.get_state()["num_bands"]
    progress = None if args.quiet else progress_bar(args.mode, file=sys.stderr)
    out = args.output
    if args.mode == "backward":
        image = norvi_gpu.simulate_cpu(scene, args.spp, args.max_depth, progress)
        da = results.image_to_xarray(image, scene, args.wavelengths)
        if out.lower().endswith((".tif", ".tiff")):
            if not args.crs:
                raise ValueError("a GeoTIFF needs --crs")
            return results.to_geotiff(da, out, args.crs, offset=args.origin)
        return results.to_netcdf(da, out)
    if args.mode == "forward":
        res = norvi_gpu.simulate_forward_cpu(scene, args.nx, args.ny, layer_heights=args.layers,
                                             num_photons=args.photons, num_bands=int(bands),
                                             max_depth=args.max_depth, progress=progress)
        return results.to_netcdf(results.forward_to_xarray(res, args.layers, scene, args.wavelengths), out)
    if args.mode == "flux":
        res = norvi_gpu.simulate_flux_cpu(scene, args.nx, args.ny, args.photons, int(bands),
                                          max_depth=args.max_depth, progress=progress)
        return results.to_netcdf(results.flux_to_xarray(res, scene, args.wavelengths), out)
    with np.load(args.pulses, allow_pickle=False) as pulses:
        origins = np.asarray(pulses["origins"], np.float32).reshape(-1)
        directions = np.asarray(pulses["directions"], np.float32).reshape(-1)
    res = norvi_gpu.simulate_lidar_cpu(scene, origins, directions, origins.size // 3,
                                       range_resolution=args.range_resolution, max_range=args.max_range)
    if out.lower().endswith((".las", ".laz")):
        lidar.write_las(res["points"], out)
        return out
    return results.to_netcdf(results.lidar_to_xarray(res, args.range_resolution), out)


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        path = _run(args)
    except (OSError, ValueError, RuntimeError, KeyError, ImportError) as err:
        print(f"norvi: {err}", file=sys.stderr)
        return 1
    print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
