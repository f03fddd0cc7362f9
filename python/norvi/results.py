"""Simulation results as labelled xarray objects, and the files GIS tools read.

``image_to_xarray``, ``forward_to_xarray``, ``flux_to_xarray`` and
``lidar_to_xarray`` wrap the arrays and dictionaries of the ``norvi_gpu``
simulations (``pip install norvi_gpu[io]``) with named dimensions (``y``,
``x``, ``band``, ``layer``, ``pulse``, ``bin``, ...), coordinates and units in
attributes. ``to_netcdf`` writes any of them; ``to_geotiff`` writes an
orthographic image or a map with a coordinate reference system.

Positions are in scene units with +x east, +y north, +z up. Image rows grow
toward the camera's +y, so row 0 of a simulated image is its south edge for a
nadir camera with the identity rotation; ``to_geotiff`` turns it north-up.
"""

from __future__ import annotations

from os import PathLike
from typing import TYPE_CHECKING, Any, Mapping, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

from norvi._optional import require

if TYPE_CHECKING:
    import xarray
    from norvi_gpu import EmbreeSceneManager

__all__ = ["image_to_xarray", "forward_to_xarray", "flux_to_xarray", "lidar_to_xarray",
           "to_netcdf", "to_geotiff"]


def _band_coords(num_bands: int, wavelengths: Optional[npt.ArrayLike]) -> dict[str, Any]:
    if wavelengths is None:
        return {"band": np.arange(num_bands)}
    wavelengths = np.asarray(wavelengths, np.float64).reshape(-1)
    if wavelengths.size != num_bands:
        raise ValueError(f"{wavelengths.size} wavelengths given for {num_bands} bands")
    return {"band": np.arange(num_bands), "wavelength": ("band", wavelengths, {"units": "nm"})}


def _sensor(scene: EmbreeSceneManager) -> tuple[dict[str, Any], dict[str, Any]]:
    state = scene.get_state()
    return {key[len("sensor_"):]: state[key] for key in state if key.startswith("sensor_")}, state


def _pixel_coords(scene: EmbreeSceneManager, height: int, width: int) -> dict[str, Any]:
    """x and y coordinates of the pixel centres of an orthographic sensor: 1-D
    when the camera's rotation is the identity (a nadir view with columns
    along +x), otherwise 2-D world positions on the camera plane."""
    sensor, _ = _sensor(scene)
    if int(sensor["type"]) != 0:
        return {"y": np.arange(height), "x": np.arange(width)}
    m = np.asarray(sensor["cam_xform"], np.float64).reshape(4, 4)
    cx = ((np.arange(width) + 0.5) / width - 0.5) * float(sensor["ortho_w"])
    cy = ((np.arange(height) + 0.5) / height - 0.5) * float(sensor["ortho_h"])
    if np.allclose(m[:3, :3], np.eye(3), atol=1e-6):
        attrs = {"units": "scene units", "long_name": "pixel centre"}
        return {"y": ("y", m[1, 3] + cy, attrs), "x": ("x", m[0, 3] + cx, attrs)}
    gx, gy = np.meshgrid(cx, cy)
    world = np.einsum("ij,jyx->iyx", m[:3, :2], np.stack([gx, gy])) + m[:3, 3, None, None]
    return {"y": np.arange(height), "x": np.arange(width),
            "world_x": (("y", "x"), world[0]), "world_y": (("y", "x"), world[1]),
            "world_z": (("y", "x"), world[2])}


def image_to_xarray(image: npt.ArrayLike, scene: Optional[EmbreeSceneManager] = None,
                    wavelengths: Optional[npt.ArrayLike] = None, units: str = "radiance",
                    name: str = "radiance") -> xarray.DataArray:
    """An image of ``simulate_cpu`` (or ``Simulator.simulate``) as a DataArray
    of dims (y, x, band). With ``scene`` (the scene it was rendered from, its
    sensor unchanged) an orthographic image gets the scene positions of its
    pixel centres as ``x`` and ``y``; ``wavelengths`` (nm) label the bands."""
    xr = require("xarray", "io")
    image = np.asarray(image)
    if image.ndim != 3:
        raise ValueError(f"image must have shape (height, width, bands); got {image.shape}")
    h, w, b = image.shape
    coords = _band_coords(b, wavelengths)
    coords.update(_pixel_coords(scene, h, w) if scene is not None else {"y": np.arange(h), "x": np.arange(w)})
    return xr.DataArray(image, dims=("y", "x", "band"), coords=coords, name=name,
                        attrs={"units": units, "long_name": "radiance per band (sun irradiance unit per sr)"})


def _cell_coords(scene: Optional[EmbreeSceneManager], nx: int, ny: int) -> dict[str, Any]:
    """Cell centres of the forward and flux grids: the grid starts at the origin
    and spans the repetitive tile, or else the sensor footprint."""
    if scene is None:
        return {"y": np.arange(ny), "x": np.arange(nx)}
    sensor, state = _sensor(scene)
    ex, ey = float(state["scene_x_size"]), float(state["scene_y_size"])
    if not (ex > 0 and ey > 0):
        ex, ey = float(sensor["ortho_w"]), float(sensor["ortho_h"])
    attrs = {"units": "scene units", "long_name": "cell centre"}
    return {"y": ("y", (np.arange(ny) + 0.5) * ey / ny, attrs), "x": ("x", (np.arange(nx) + 0.5) * ex / nx, attrs)}


def forward_to_xarray(result: Mapping[str, Any], layer_heights: npt.ArrayLike,
                      scene: Optional[EmbreeSceneManager] = None,
                      wavelengths: Optional[npt.ArrayLike] = None) -> xarray.Dataset:
    """The dict of ``simulate_forward_cpu`` as a Dataset: ``grid`` (layer, y,
    x, band) with the layers' bottom, top and middle heights, and, where the
    run made them, ``leaf`` (primitive, band), ``brf`` (direction, band),
    ``albedo`` and ``terrain`` (band)."""
    xr = require("xarray", "io")
    grid = np.asarray(result["grid"])
    layers, ny, nx, b = grid.shape
    heights = np.asarray(layer_heights, np.float64)
    if heights.size != layers + 1:
        raise ValueError(f"{heights.size} layer heights given for {layers} layers (need layers + 1)")
    coords = _band_coords(b, wavelengths)
    coords.update(_cell_coords(scene, nx, ny))
    coords["layer"] = ("layer", 0.5 * (heights[:-1] + heights[1:]), {"units": "scene units", "long_name": "layer middle height"})
    coords["layer_bottom"] = ("layer", heights[:-1], {"units": "scene units"})
    coords["layer_top"] = ("layer", heights[1:], {"units": "scene units"})
    power = {"units": "sun irradiance unit x scene area"}
    data: dict[str, Any] = {"grid": (("layer", "y", "x", "band"), grid, dict(power, long_name="absorbed power per voxel"))}
    dims = {"leaf": ("primitive", "band"), "brf": ("direction", "band"), "albedo": ("band",), "terrain": ("band",)}
    for key, d in dims.items():
        if key in result:
            data[key] = (d, np.asarray(result[key]), dict(power))
    return xr.Dataset(data, coords=coords)


def flux_to_xarray(result: Mapping[str, Any], scene: Optional[EmbreeSceneManager] = None,
                   wavelengths: Optional[npt.ArrayLike] = None) -> xarray.Dataset:
    """The dict of ``simulate_flux_cpu`` as a Dataset of ``downwelling`` and
    ``upwelling`` (y, x, band) with cell-centre coordinates."""
    xr = require("xarray", "io")
    down = np.asarray(result["downwelling"])
    ny, nx, b = down.shape
    coords = _band_coords(b, wavelengths)
    coords.update(_cell_coords(scene, nx, ny))
    attrs = {"units": "sun irradiance unit x scene area"}
    return xr.Dataset({"downwelling": (("y", "x", "band"), down, attrs),
                       "upwelling": (("y", "x", "band"), np.asarray(result["upwelling"]), attrs)}, coords=coords)


def lidar_to_xarray(result: Mapping[str, Any], range_resolution: float = 0.15,
                    min_range: float = 0.0) -> xarray.Dataset:
    """The dict of ``simulate_lidar_cpu`` as a Dataset: ``waveform`` (pulse,
    bin, wavelength) with the bins' range, and ``points`` (point, field)."""
    xr = require("xarray", "io")
    wave = np.asarray(result["waveform"])
    fields = ["x", "y", "z", "intensity", "return_number", "number_of_returns", "range", "pulse"]
    coords = {"range": ("bin", min_range + (np.arange(wave.shape[1]) + 0.5) * range_resolution, {"units": "scene units"}),
              "field": fields}
    return xr.Dataset({"waveform": (("pulse", "bin", "wavelength"), wave, {"units": "pulse energy per bin"}),
                       "points": (("point", "field"), np.asarray(result["points"]))}, coords=coords)


def to_netcdf(obj: Union[xarray.DataArray, xarray.Dataset], path: Union[str, PathLike[str]]) -> str:
    """Writes a DataArray or Dataset to netCDF-4 (through h5netcdf, or netCDF4
    when that is the one installed)."""
    require("xarray", "io")
    try:
        import h5netcdf  # noqa: F401
        engine: Any = "h5netcdf"
    except ImportError:
        engine = require("netCDF4", "io") and "netcdf4"
    obj.to_netcdf(str(path), engine=engine)
    return str(path)


def to_geotiff(image: xarray.DataArray, path: Union[str, PathLike[str]], crs: Any,
               transform: Any = None, offset: Sequence[float] = (0.0, 0.0)) -> str:
    """Writes a (y, x, band) DataArray as a north-up GeoTIFF, bands as raster
    bands, float32.

    ``crs``: anything rasterio takes ("EPSG:32632", a WKT string...).
    ``transform``: the affine pixel-to-CRS transform of the north-up raster
    (an ``affine.Affine`` or its six GDAL coefficients); by default it is built
    from the image's 1-D ``x``/``y`` pixel-centre coordinates (scene +x east,
    +y north, in CRS units), shifted by ``offset`` (the CRS position of the
    scene origin).
    """
    require("rioxarray", "io")
    affine = require("affine", "io")
    if len(offset) != 2 or not np.all(np.isfinite(np.asarray(offset, np.float64))):
        raise ValueError(f"offset must be two finite numbers (easting, northing); got {offset!r}")
    da = image if image.dims[-1] == "band" else image.transpose("y", "x", "band")
    da = da.transpose("band", "y", "x")
    if transform is None:
        x, y = np.asarray(da["x"], np.float64), np.asarray(da["y"], np.float64)
        if "world_x" in da.coords or x.size < 2 or y.size < 2:
            raise ValueError("the image has no 1-D scene x/y coordinates (an orthographic nadir view of "
                             "at least 2 x 2 pixels); give the transform")
        dx, dy = x[1] - x[0], y[1] - y[0]
        north_up = da.isel(y=slice(None, None, -1)) if dy > 0 else da
        top = max(y[0], y[-1]) + abs(dy) / 2 + offset[1]
        transform = affine.Affine(dx, 0.0, x[0] - dx / 2 + offset[0], 0.0, -abs(dy), top)
    else:
        ys = np.asarray(da["y"], np.float64)
        north_up = da.isel(y=slice(None, None, -1)) if ys.size > 1 and ys[1] > ys[0] else da
        if not isinstance(transform, affine.Affine):
            transform = affine.Affine.from_gdal(*transform)
    if not np.all(np.isfinite(np.asarray(tuple(transform), np.float64))):
        raise ValueError(f"the GeoTIFF transform must be finite; got {tuple(transform)}")
    out = north_up.astype(np.float32).drop_vars([c for c in north_up.coords if c not in ("band",)])
    out = out.assign_coords(band=np.arange(1, out.sizes["band"] + 1))
    out = out.rio.write_crs(crs).rio.write_transform(transform)
    out.rio.to_raster(str(path))
    return str(path)
