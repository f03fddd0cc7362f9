"""Triangle meshes from files (OBJ, PLY, STL, glTF/GLB, OFF, ...) through trimesh.

``load_meshes(path)`` returns one :class:`Mesh` per group of the file (an OBJ
object or material group, a glTF primitive, a PLY or STL file as a whole), in
the arrays ``add_mesh`` takes; ``add_mesh_file(scene, path, materials)`` adds
them to a scene. Vertex normals are kept when the file has them and computed
by trimesh (area-weighted face normals) when it has none.
"""

from __future__ import annotations

from os import PathLike
from typing import TYPE_CHECKING, Any, Optional, Union

from dataclasses import dataclass

import operator

import numpy as np

from norvi._optional import require

if TYPE_CHECKING:
    from norvi_gpu import EmbreeSceneManager

__all__ = ["Mesh", "load_meshes", "add_mesh_file"]


@dataclass
class Mesh:
    """One group of a mesh file: ``vertices`` and ``normals`` (N, 3) float32,
    ``indices`` (M, 3) int32, and the group's ``name`` and ``material`` name
    (the file's material, or "" when it has none)."""

    name: str
    material: str
    vertices: np.ndarray
    normals: np.ndarray
    indices: np.ndarray


def _material_name(geometry: Any) -> str:
    material = getattr(getattr(geometry, "visual", None), "material", None)
    return str(getattr(material, "name", None) or "")


def _to_mesh(name: str, geometry: Any, transform: Any, path: Any) -> Optional["Mesh"]:
    trimesh = require("trimesh", "mesh")
    if not isinstance(geometry, trimesh.Trimesh):
        return None  # point clouds, paths
    vertices = np.asarray(geometry.vertices, dtype=np.float64)
    faces = np.asarray(geometry.faces, dtype=np.int64)
    if len(faces) == 0:
        return None
    if not np.all(np.isfinite(vertices)):
        raise ValueError(f"mesh file {path}: group {name!r} has vertices that are not finite")
    if faces.min() < 0 or faces.max() >= len(vertices):
        raise ValueError(f"mesh file {path}: group {name!r} has faces naming vertices outside its "
                         f"{len(vertices)} vertices")
    normals = np.asarray(geometry.vertex_normals, dtype=np.float64)  # the file's, or computed
    if transform is not None and not np.allclose(transform, np.eye(4)):
        t = np.asarray(transform, dtype=np.float64)
        vertices = vertices @ t[:3, :3].T + t[:3, 3]
        normals = normals @ np.linalg.inv(t[:3, :3])  # inverse transpose, applied to rows
        lengths = np.linalg.norm(normals, axis=1, keepdims=True)
        normals = np.divide(normals, lengths, out=np.zeros_like(normals), where=lengths > 0)
    return Mesh(str(name), _material_name(geometry), vertices.astype(np.float32),
                normals.astype(np.float32), faces.astype(np.int32))


def load_meshes(path: Union[str, PathLike[str]], split_materials: bool = True) -> list[Mesh]:
    """Reads the mesh file ``path`` into a list of :class:`Mesh`, one per group
    (per material when ``split_materials`` and an OBJ group holds several).
    Placement transforms of a glTF scene graph are applied to the vertices.
    Raises ValueError for a file with no triangle or with non-finite vertices."""
    trimesh = require("trimesh", "mesh")
    path = str(path)
    # process=False keeps the file's vertices and their order; merging would
    # drop the normals of split (sharp-edged) vertices.
    try:
        loaded = trimesh.load(path, force="scene", process=False,
                              group_material=split_materials, skip_materials=False)
    except IndexError as err:  # trimesh's readers index vertices by the file's faces
        raise ValueError(f"mesh file {path} has faces naming vertices it does not hold ({err})") from None
    meshes = []
    for node in loaded.graph.nodes_geometry:
        transform, geometry_name = loaded.graph[node]
        mesh = _to_mesh(node, loaded.geometry[geometry_name], transform, path)
        if mesh is not None:
            meshes.append(mesh)
    if not meshes:
        raise ValueError(f"mesh file {path} holds no triangle")
    return meshes


def add_mesh_file(scene: EmbreeSceneManager, path: Union[str, PathLike[str]],
                  materials: Union[int, dict[Optional[str], int]] = 0,
                  split_materials: bool = True) -> list[int]:
    """Adds every group of the mesh file ``path`` to ``scene`` and returns the
    mesh ids, in the order of :func:`load_meshes`.

    ``materials`` is one material id for every group, or a dict from the
    file's material (or group) name to a material id; a dict may hold the key
    None as the id for the names it does not list. A group whose material has
    no id raises KeyError naming it, before anything is added."""
    meshes = load_meshes(path, split_materials)
    ids = []
    for mesh in meshes:
        if isinstance(materials, dict):
            for key in (mesh.material, mesh.name, None):
                if key in materials:
                    ids.append(operator.index(materials[key]))
                    break
            else:
                raise KeyError(f"no material id for group {mesh.name!r} (material {mesh.material!r}) "
                               f"of {path}")
        else:
            ids.append(operator.index(materials))
    return [scene.add_mesh(m.vertices, m.normals, m.indices, mid) for m, mid in zip(meshes, ids)]
