"""A ready progress callback for every simulation: a tqdm bar.

``progress_bar(label)`` returns a callable taking the simulations'
``(done, total, elapsed_ms)``; ``tqdm.auto`` picks the notebook widget or the
terminal bar by itself. Pass it as ``progress=`` to ``simulate_cpu``,
``simulate_forward_cpu``, ``simulate_flux_cpu`` and the ``Simulator`` methods.
The bar closes itself when done reaches total.
"""

from norvi._optional import require

__all__ = ["progress_bar"]


class _TqdmProgress:
    def __init__(self, label, unit, **tqdm_args):
        self._tqdm = require("tqdm.auto", "progress").tqdm
        self._label, self._unit, self._args = label, unit, tqdm_args
        self._bar = None

    def __call__(self, done, total, elapsed_ms):
        if self._bar is None:
            self._bar = self._tqdm(total=total, desc=self._label, unit=self._unit, **self._args)
        self._bar.total = total
        self._bar.update(done - self._bar.n)
        self._bar.set_postfix_str(f"{elapsed_ms / 1000.0:.1f} s in the engine", refresh=False)
        if done >= total:
            self.close()

    def close(self):
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def progress_bar(label="norvi", unit="step", **tqdm_args):
    """A progress callback drawing a tqdm bar named ``label``; extra keyword
    arguments go to ``tqdm`` (``file=``, ``disable=``, ``leave=``...)."""
    return _TqdmProgress(label, unit, **tqdm_args)
