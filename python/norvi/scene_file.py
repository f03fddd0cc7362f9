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
import zipfile

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


def _check_declared_sizes(path: str) -> None:
    """Refuses a field whose header declares more data than the archive holds
    for it, before NumPy allocates the array the header asks for."""
    if not zipfile.is_zipfile(path):
        return  # np.load says what the file is not
    with zipfile.ZipFile(path) as archive:
        for info in archive.infolist():
            with archive.open(info) as member:
                try:
                    version = np.lib.format.read_magic(member)
                    read_header = {(1, 0): np.lib.format.read_array_header_1_0,
                                   (2, 0): np.lib.format.read_array_header_2_0}[version]
                    shape, _, dtype = read_header(member)
                except (ValueError, KeyError, EOFError):
                    continue  # not an array NumPy reads this way: np.load refuses it
            declared = int(np.prod(shape, dtype=object)) * dtype.itemsize
            if declared > info.file_size:
                raise ValueError(f"scene file {path}: field {info.filename[:-4]!r} declares shape {shape} "
                                 f"({declared} bytes) but holds {info.file_size} bytes")


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
    path = os.fspath(path)
    _check_declared_sizes(path)
    with np.load(path, allow_pickle=False) as archive:
        state = {key: archive[key] for key in archive.files}
    if ctx is None:
        import norvi_gpu
        return norvi_gpu.EmbreeSceneManager.from_state(state)
    # The scene class of the context's own module (norvi_gpu, or a test build of it).
    return sys.modules[type(ctx).__module__].SceneManager.from_state(ctx, state)
