"""Scenes as files: one NumPy ``.npz`` archive holding the scene's state.

The archive holds one array per state field (see ``EmbreeSceneManager.get_state``),
so ``numpy.load(path)`` opens it anywhere without NORVI. It is read with
``allow_pickle=False``: loading a scene file never runs code.
"""

from __future__ import annotations

from typing import Any, Union

import os

import numpy as np

import norvi_gpu


def save_scene(path: Union[str, "os.PathLike[str]"], scene: norvi_gpu.EmbreeSceneManager) -> str:
    """Writes the state of ``scene`` to ``path`` (a compressed ``.npz`` file).

    NumPy appends ``.npz`` to a path that lacks it; the path written is returned.
    """
    state = scene.get_state()
    path = os.fspath(path)
    if not path.endswith(".npz"):
        path += ".npz"
    arrays: dict[str, Any] = {key: np.asarray(value) for key, value in state.items()}
    np.savez_compressed(path, **arrays)
    return path


def load_scene(path: Union[str, "os.PathLike[str]"]) -> norvi_gpu.EmbreeSceneManager:
    """Reads a scene written by ``save_scene``: a new ``EmbreeSceneManager``,
    built when the saved scene was built. A file that is not a scene state, or
    holds a field of the wrong type or shape, raises ``ValueError`` naming the field."""
    with np.load(os.fspath(path), allow_pickle=False) as archive:
        state = {key: archive[key] for key in archive.files}
    return norvi_gpu.EmbreeSceneManager.from_state(state)
