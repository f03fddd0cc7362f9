"""Imports of the optional libraries, with a message naming the extra that installs each."""

from __future__ import annotations

from types import ModuleType

import importlib


def require(module: str, extra: str) -> ModuleType:
    """Imports ``module``; raises ImportError naming the ``pip install`` extra when it is missing."""
    try:
        return importlib.import_module(module)
    except ImportError as err:
        raise ImportError(
            f"{module} is needed here and is not installed; install it with "
            f"`pip install norvi_gpu[{extra}]` (or `pip install {err.name or module}`)") from err
