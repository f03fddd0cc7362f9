"""NORVI's Python layer over the native module ``norvi_gpu``.

``save_scene`` / ``load_scene`` keep a scene in one ``.npz`` file, and
``norvi.distributed`` spreads the CPU simulations over a Dask cluster.
"""

from norvi.scene_file import load_scene, save_scene

__all__ = ["load_scene", "save_scene"]
