"""Scenes as files: one NumPy ``.npz`` archive holding the scene's state.

The archive holds one array per state field (see ``EmbreeSceneManager.get_state``;
a GPU ``SceneManager`` has the same state), so ``numpy.load(path)`` opens it
anywhere without NORVI. It is read with ``allow_pickle=False``: loading a
scene file never runs code. A file written from either scene class loads
into either: onto the CPU by default, onto a GPU context with ``ctx=``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, Union, overload

import os
import sys

import numpy as np

if TYPE_CHECKING:
    import norvi_gpu


def save_scene(path: Union[str, "os.PathLike[str]"],
               scene: Union[norvi_gpu.EmbreeSceneManager, norvi_gpu.SceneManager]) -> str:
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


@overload
def load_scene(path: Union[str, "os.PathLike[str]"], ctx: None = None) -> norvi_gpu.EmbreeSceneManager:
    ...


@overload
def load_scene(path: Union[str, "os.PathLike[str]"], ctx: norvi_gpu.OptiXContext) -> norvi_gpu.SceneManager:
    ...


def load_scene(path: Union[str, "os.PathLike[str]"], ctx: Optional[norvi_gpu.OptiXContext] = None
               ) -> Union[norvi_gpu.EmbreeSceneManager, norvi_gpu.SceneManager]:
    """Reads a scene written by ``save_scene``: a new ``EmbreeSceneManager``,
    or with ``ctx`` a new ``SceneManager`` on that context, built when the
    saved scene was built. A file that is not a scene state, or holds a field
    of the wrong type or shape, raises ``ValueError`` naming the field."""
    with np.load(os.fspath(path), allow_pickle=False) as archive:
        state = {key: archive[key] for key in archive.files}
    if ctx is None:
        import norvi_gpu
        return norvi_gpu.EmbreeSceneManager.from_state(state)
    # The scene class of the context's own module (norvi_gpu, or a test build of it).
    return sys.modules[type(ctx).__module__].SceneManager.from_state(ctx, state)
