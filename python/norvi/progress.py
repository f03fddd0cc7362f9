"""A ready progress callback for every simulation: a tqdm bar.

``progress_bar(label)`` returns a callable taking the simulations'
``(done, total, elapsed_ms)``; ``tqdm.auto`` picks the notebook widget or the
terminal bar by itself. Pass it as ``progress=`` to ``simulate_cpu``,
``simulate_forward_cpu``, ``simulate_flux_cpu`` and the ``Simulator`` methods.
The bar closes itself when done reaches total.
"""

from __future__ import annotations

from typing import Any, Optional

from norvi._optional import require

__all__ = ["progress_bar"]


class _TqdmProgress:
    def __init__(self, label: str, unit: str, **tqdm_args: Any) -> None:
        self._tqdm = require("tqdm.auto", "progress").tqdm
        self._label, self._unit, self._args = label, unit, tqdm_args
        self._bar: Optional[Any] = None

    def __call__(self, done: int, total: int, elapsed_ms: float) -> None:
        if self._bar is None:
            self._bar = self._tqdm(total=total, desc=self._label, unit=self._unit, **self._args)
        self._bar.total = total
        self._bar.update(done - self._bar.n)
        self._bar.set_postfix_str(f"{elapsed_ms / 1000.0:.1f} s in the engine", refresh=False)
        if done >= total:
            self.close()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def progress_bar(label: str = "norvi", unit: str = "step", **tqdm_args: Any) -> _TqdmProgress:
    """A progress callback drawing a tqdm bar named ``label``; extra keyword
    arguments go to ``tqdm`` (``file=``, ``disable=``, ``leave=``...)."""
    return _TqdmProgress(label, unit, **tqdm_args)
