"""NORVI's Python layer over the native module ``norvi_gpu``.

- ``save_scene`` / ``load_scene``: a scene's state in one ``.npz`` file;
- ``norvi.meshes``: OBJ, PLY, STL, glTF meshes into a scene (trimesh);
- ``norvi.optics``: PROSPECT leaves, soil spectra, band averaging, the spectral array;
- ``norvi.sun``: the sun's direction from a place and a time (pvlib);
- ``norvi.results``: results as xarray objects, netCDF and GeoTIFF files;
- ``norvi.lidar``: LAS 1.4 / LAZ point clouds (laspy);
- ``norvi.progress``: a tqdm progress callback for every simulation;
- ``norvi.distributed``: the CPU and GPU simulations spread over a Dask cluster;
- ``python -m norvi``: a simulation from the command line.

The libraries behind these are optional extras of the wheel (``mesh``,
``optics``, ``sun``, ``io``, ``progress``, ``distributed``, or ``all``); a
function whose library is missing raises ImportError naming its extra.
"""

from norvi import lidar, meshes, optics, progress, results, sun
from norvi.scene_file import load_scene, save_scene

__all__ = ["load_scene", "save_scene", "lidar", "meshes", "optics", "progress", "results", "sun"]
