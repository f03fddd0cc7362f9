"""Every simulation split into independent pieces and run on a Dask cluster.

The CPU functions (``simulate_cpu``, ``simulate_forward_cpu``, ...) take an
``EmbreeSceneManager`` and the arguments of the ``norvi_gpu`` function of the
same name. The GPU functions (``simulate``, ``simulate_forward``,
``simulate_flux``, ``simulate_lidar``, ``run_energy_balance``,
``run_energy_balance_multiband``) take a ``SceneManager`` and the arguments of
the ``Simulator`` method of the same name, for workers that have a GPU: each
worker renders on its own copy of the scene, on a context of its device 0,
with one ``Simulator`` per scene copy (made on first use, pieces on one worker
taking turns on it); without a client the pieces run on the scene's own
context. Every function also takes three keyword arguments:

``client``
    a ``distributed.Client``; ``None`` runs the pieces one after the other in
    this process, without importing Dask.
``chunks``
    the size of one piece: image rows (``simulate_cpu``), photons
    (``simulate_forward_cpu``, ``simulate_flux_cpu``), pulses
    (``simulate_lidar_cpu``) or primitives (``run_energy_balance_cpu``,
    ``run_energy_balance_multiband_cpu``). ``None``: one piece without a client, otherwise
    about four pieces per worker thread (at most 2,000,000 photons or 250,000
    pulses per piece).
``progress_bar``
    show a ``tqdm`` bar over the pieces (terminal or notebook).

``progress``, when given, is called as ``progress(pieces done, pieces, elapsed
milliseconds)`` each time a piece finishes, in the process that called.

Every piece is a pure function of the scene and its own part of the run: the
engines draw each pixel's, photon's and pulse's random numbers from its index
in the whole run. So the result does not depend on the split, and a piece lost
with its worker is simply run again:

- images, LiDAR results (waveforms, points, counts) and energy balances equal
  the one-process result bit for bit;
- photon tallies (forward "grid", "leaf", "brf", "albedo", "terrain"; flux
  "downwelling", "upwelling") are sums over photons whose order of addition
  changes with the split; they agree with the one-process result to float32
  rounding (a relative difference of a few 1e-7 per value);
- on a GPU, LiDAR waveforms (and the returns found in them) and energy
  balances are sums of atomic additions in an order the device picks: they
  agree to float32 rounding, as two one-process GPU runs do; images and
  direct-mode LiDAR points are equal bit for bit.

A piece that raises makes the whole call raise that error; the other pieces
are cancelled. The scene, and any array argument shared by all pieces, is sent
to every worker once (``client.scatter`` with ``broadcast=True``); the scene
travels as its state (``get_state``, the same dictionary for both scene
classes).
The engines on a worker use all its hardware threads unless the worker's
environment sets ``NORVI_NUM_THREADS``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional

import contextlib
import sys
import threading
import time
import weakref

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from norvi_gpu import EmbreeSceneManager, SceneManager, Simulator

__all__ = ["simulate_cpu", "simulate_forward_cpu", "simulate_flux_cpu", "simulate_lidar_cpu",
           "run_energy_balance_cpu", "run_energy_balance_multiband_cpu",
           "simulate", "simulate_forward", "simulate_flux", "simulate_lidar",
           "run_energy_balance", "run_energy_balance_multiband"]

#: A progress callback: called with (done, total, elapsed milliseconds).
Progress = Optional[Callable[[int, int, float], object]]

_MAX_PHOTONS_PER_PIECE = 2_000_000
_MAX_PULSES_PER_PIECE = 250_000
# More pieces than this would cost more in bookkeeping (one task and one kept
# result each) than any run gains from them.
_MAX_PIECES = 1_000_000


# --- pieces: pure functions of the scene and their part of the run ----------
# (norvi._parts loads norvi_gpu, so it is imported by the CPU pieces only: the
# GPU functions also serve a process holding another build of the module.)

def _backward_piece(first, count, scene, spp, max_depth):
    from norvi import _parts
    return _parts.simulate_cpu(scene, spp, max_depth, None, first_row=first, row_count=count)


def _forward_piece(first, count, scene, **kwargs):
    from norvi import _parts
    return _parts.simulate_forward_cpu(scene, **kwargs, first_photon=first, photon_count=count)


def _flux_piece(first, count, scene, **kwargs):
    from norvi import _parts
    return _parts.simulate_flux_cpu(scene, **kwargs, first_photon=first, photon_count=count)


def _energy_balance_piece(first, count, scene, **kwargs):
    from norvi import _parts
    return _parts.run_energy_balance_cpu(scene, **kwargs, first_primitive=first,
                                         primitive_count=count)


def _energy_balance_multiband_piece(first, count, scene, **kwargs):
    from norvi import _parts
    return _parts.run_energy_balance_multiband_cpu(scene, **kwargs, first_primitive=first,
                                                   primitive_count=count)


def _lidar_piece(origins, directions, first, count, scene, **kwargs):
    from norvi import _parts
    r = _parts.simulate_lidar_cpu(scene, origins, directions, count, **kwargs, first_pulse=first)
    return _lidar_piece_result(r, kwargs["direct_mode"])


def _lidar_piece_result(r, direct_mode):
    if direct_mode:
        # Direct mode has no waveform, only zeros of its shape: made once at
        # the merge instead of travelling back with every piece.
        r["waveform"] = r["waveform"].shape
    return r


# The GPU pieces run on the Simulator of their copy of the scene.
_SIMULATORS: "weakref.WeakKeyDictionary[Any, tuple[Any, threading.Lock]]" = weakref.WeakKeyDictionary()
_SIMULATORS_LOCK = threading.Lock()


@contextlib.contextmanager
def _gpu_simulator(scene) -> Iterator[Simulator]:
    """The Simulator of ``scene``'s context, made on first use and dropped
    with the scene; one piece at a time uses it."""
    with _SIMULATORS_LOCK:
        entry = _SIMULATORS.get(scene)
        if entry is None:
            module = sys.modules[type(scene).__module__]  # norvi_gpu, or a test build of it
            entry = (module.Simulator(scene.context, module.PTX_DIR), threading.Lock())
            _SIMULATORS[scene] = entry
    simulator, lock = entry
    with lock:
        yield simulator


def _gpu_backward_piece(first, count, scene, spp, max_depth):
    with _gpu_simulator(scene) as sim:
        return sim._simulate_rows(scene, spp, max_depth, first, count)


def _gpu_forward_piece(first, count, scene, **kwargs):
    with _gpu_simulator(scene) as sim:
        return sim._simulate_forward_part(scene, **kwargs, progress=None, first_photon=first,
                                          photon_count=count)


def _gpu_flux_piece(first, count, scene, **kwargs):
    with _gpu_simulator(scene) as sim:
        return sim._simulate_flux_part(scene, **kwargs, progress=None, first_photon=first,
                                       photon_count=count)


def _gpu_lidar_piece(origins, directions, first, count, scene, **kwargs):
    with _gpu_simulator(scene) as sim:
        r = sim._simulate_lidar_part(scene, origins, directions, count, **kwargs, first_pulse=first)
    return _lidar_piece_result(r, kwargs["direct_mode"])


def _gpu_energy_balance_piece(first, count, scene, **kwargs):
    with _gpu_simulator(scene) as sim:
        return sim._run_energy_balance_part(scene, **kwargs, first_primitive=first,
                                            primitive_count=count)


def _gpu_energy_balance_multiband_piece(first, count, scene, **kwargs):
    with _gpu_simulator(scene) as sim:
        return sim._run_energy_balance_multiband_part(scene, **kwargs, first_primitive=first,
                                                      primitive_count=count)


# --- merging -----------------------------------------------------------------

def _sum_tallies(results):
    """Element-wise sums of the pieces' dictionaries, in double precision."""
    merged = {}
    for key in results[0]:
        total = np.zeros(results[0][key].shape, dtype=np.float64)
        for r in results:
            total += r[key]
        merged[key] = total.astype(np.float32)
    return merged


def _merge_lidar(results):
    waves = [r["waveform"] for r in results]
    if isinstance(waves[0], tuple):  # direct mode: the shapes of zero waveforms
        waveform = np.zeros((sum(w[0] for w in waves),) + waves[0][1:], np.float32)
    else:
        waveform = np.concatenate(waves, axis=0)
    return {
        "waveform": waveform,
        "points": np.concatenate([r["points"] for r in results], axis=0),
        "num_bins": results[0]["num_bins"],
        "num_returns": sum(r["num_returns"] for r in results),
    }


# --- splitting and running ---------------------------------------------------

def _piece_size(total, chunks, client, cap=None):
    if chunks is not None:
        if isinstance(chunks, bool) or not isinstance(chunks, (int, np.integer)) or chunks < 1:
            raise ValueError(f"chunks must be a positive integer (items per piece); got {chunks!r}")
        # (A total that is not an integer is left to the engine to refuse.)
        if isinstance(total, (int, np.integer)) and -(-total // chunks) > _MAX_PIECES:
            raise ValueError(f"chunks {chunks} splits {total} items into {-(-total // chunks)} pieces, "
                             f"more than {_MAX_PIECES}; give chunks of at least {-(-total // _MAX_PIECES)}")
        return int(chunks)
    if client is None:
        return max(total, 1)
    threads = max(1, sum(client.nthreads().values()))
    size = max(1, -(-total // (4 * threads)))
    return min(size, cap) if cap else size


def _split(total, size):
    """(first, count) of each piece; one empty piece when there is nothing to split."""
    if total <= 0:
        return [(0, 0)]
    return [(first, min(size, total - first)) for first in range(0, total, size)]


def _run_pieces(piece_fn, scene, args, kwargs, client, progress, progress_bar, label):
    """Runs piece_fn(*args[i], scene=scene, **kwargs) for every piece; the
    results come back in piece order. args[i] may hold arrays, which go to the
    workers as data of their own, not inside the task."""
    start = time.monotonic()
    total = len(args)
    bar = None
    if progress_bar:
        from tqdm.auto import tqdm
        bar = tqdm(total=total, desc=label, unit="piece")

    def finished(done):
        if bar is not None:
            bar.update(1)
        if progress is not None:
            progress(done, total, (time.monotonic() - start) * 1000.0)

    try:
        if client is None:
            results = []
            for i, a in enumerate(args):
                results.append(piece_fn(*a, scene=scene, **kwargs))
                finished(i + 1)
            return results
        return _run_on_cluster(piece_fn, scene, args, kwargs, client, finished)
    finally:
        if bar is not None:
            bar.close()


def _run_on_cluster(piece_fn, scene, args, kwargs, client, finished):
    from distributed import as_completed

    scene_future = client.scatter(scene, broadcast=True, hash=False)
    kwargs = {k: client.scatter(v, broadcast=True, hash=False) if isinstance(v, np.ndarray) else v
              for k, v in kwargs.items()}
    columns = []
    for column in zip(*args):
        if isinstance(column[0], np.ndarray):
            column = client.scatter(list(column), hash=False)
        columns.append(list(column))
    futures = client.map(piece_fn, *columns, scene=scene_future, pure=False, **kwargs)
    index = {f.key: i for i, f in enumerate(futures)}
    results = [None] * len(futures)
    try:
        for done, (future, result) in enumerate(as_completed(futures, with_results=True), 1):
            results[index[future.key]] = result
            finished(done)
    except BaseException:
        client.cancel(futures)
        raise
    return results


# --- splitting each kind of run -----------------------------------------------

def _run_backward(piece_fn, scene, spp, max_depth, client, chunks, progress, progress_bar,
                  label):
    height = int(scene.get_state()["sensor_height"])
    args = _split(height, _piece_size(height, chunks, client))
    results = _run_pieces(piece_fn, scene, args, {"spp": spp, "max_depth": max_depth},
                          client, progress, progress_bar, label)
    return np.concatenate(results, axis=0)


def _run_photons(piece_fn, scene, kwargs, client, chunks, progress, progress_bar, label):
    n = kwargs["num_photons"]
    args = _split(n, _piece_size(n, chunks, client, _MAX_PHOTONS_PER_PIECE))
    return _sum_tallies(_run_pieces(piece_fn, scene, args, kwargs, client, progress,
                                    progress_bar, label))


def _run_lidar(piece_fn, scene, pulse_origins, pulse_directions, num_pulses, kwargs, client,
               chunks, progress, progress_bar, label):
    origins = _pulse_values(pulse_origins, num_pulses, "pulse_origins")
    directions = _pulse_values(pulse_directions, num_pulses, "pulse_directions")
    if num_pulses < 0:  # the engine's own refusal, from one piece
        args = [(origins, directions, 0, num_pulses)]
    else:
        size = _piece_size(num_pulses, chunks, client, _MAX_PULSES_PER_PIECE)
        args = [(origins[3 * first:3 * (first + count)], directions[3 * first:3 * (first + count)],
                 first, count) for first, count in _split(num_pulses, size)]
    return _merge_lidar(_run_pieces(piece_fn, scene, args, kwargs, client, progress,
                                    progress_bar, label))


def _run_primitives(piece_fn, scene, kwargs, client, chunks, progress, progress_bar, label):
    n = scene.n_primitives()
    results = _run_pieces(piece_fn, scene, _split(n, _piece_size(n, chunks, client)), kwargs,
                          client, progress, progress_bar, label)
    return tuple(np.concatenate([r[i] for r in results], axis=-1) for i in (0, 1))


def _forward_kwargs(nx, ny, layer_heights, num_photons, num_bands, per_leaf, brf_directions,
                    num_brf_dirs, prob_sun, max_depth, terrain_instance_id, label):
    if layer_heights is None:
        raise TypeError(f"{label}() missing required argument 'layer_heights'")
    return dict(nx=nx, ny=ny, layer_heights=layer_heights, num_photons=num_photons,
                num_bands=num_bands, per_leaf=per_leaf,
                brf_directions=np.zeros(0, np.float32) if brf_directions is None else brf_directions,
                num_brf_dirs=num_brf_dirs, prob_sun=prob_sun, max_depth=max_depth,
                terrain_instance_id=terrain_instance_id)


def _lidar_kwargs(beam_half_angle_rad, beam_samples_per_dim, pulse_energy, sensor_area,
                  range_resolution, min_range, max_range, num_wavelengths, pulse_fwhm_ns,
                  peak_threshold, max_returns_per_pulse, direct_mode):
    return dict(beam_half_angle_rad=beam_half_angle_rad,
                beam_samples_per_dim=beam_samples_per_dim, pulse_energy=pulse_energy,
                sensor_area=sensor_area, range_resolution=range_resolution,
                min_range=min_range, max_range=max_range, num_wavelengths=num_wavelengths,
                pulse_fwhm_ns=pulse_fwhm_ns, peak_threshold=peak_threshold,
                max_returns_per_pulse=max_returns_per_pulse, direct_mode=direct_mode)


# --- the CPU simulations -----------------------------------------------------

def simulate_cpu(scene: EmbreeSceneManager, spp: int = 16, max_depth: int = 16,
                 progress: Progress = None, *, client: Any = None, chunks: Optional[int] = None,
                 progress_bar: bool = True) -> npt.NDArray[np.float32]:
    """``norvi_gpu.simulate_cpu`` over bands of image rows; equal bit for bit."""
    return _run_backward(_backward_piece, scene, spp, max_depth, client, chunks, progress,
                         progress_bar, "simulate_cpu")


def simulate_forward_cpu(scene: EmbreeSceneManager, nx: int = 1, ny: int = 1,
                         layer_heights: Optional[npt.ArrayLike] = None, num_photons: int = 10000000,
                         num_bands: int = 1, per_leaf: bool = False,
                         brf_directions: Optional[npt.ArrayLike] = None, num_brf_dirs: int = 0,
                         prob_sun: float = 1.0, max_depth: int = 16, terrain_instance_id: int = -1,
                         progress: Progress = None, *,
                         client: Any = None, chunks: Optional[int] = None,
                         progress_bar: bool = True) -> dict[str, Any]:
    """``norvi_gpu.simulate_forward_cpu`` over photon ranges; tallies summed."""
    kwargs = _forward_kwargs(nx, ny, layer_heights, num_photons, num_bands, per_leaf,
                             brf_directions, num_brf_dirs, prob_sun, max_depth,
                             terrain_instance_id, "simulate_forward_cpu")
    return _run_photons(_forward_piece, scene, kwargs, client, chunks, progress, progress_bar,
                        "simulate_forward_cpu")


def simulate_flux_cpu(scene: EmbreeSceneManager, nx: int, ny: int, num_photons: int, num_bands: int,
                      prob_sun: float = 1.0, max_bounces: int = 0, max_depth: int = 16, rr_depth: int = 3,
                      progress: Progress = None, *, client: Any = None, chunks: Optional[int] = None,
                      progress_bar: bool = True) -> dict[str, Any]:
    """``norvi_gpu.simulate_flux_cpu`` over photon ranges; maps summed."""
    kwargs = dict(nx=nx, ny=ny, num_photons=num_photons, num_bands=num_bands, prob_sun=prob_sun,
                  max_bounces=max_bounces, max_depth=max_depth, rr_depth=rr_depth)
    return _run_photons(_flux_piece, scene, kwargs, client, chunks, progress, progress_bar,
                        "simulate_flux_cpu")


def simulate_lidar_cpu(scene: EmbreeSceneManager, pulse_origins: npt.ArrayLike,
                       pulse_directions: npt.ArrayLike, num_pulses: int,
                       beam_half_angle_rad: float = 0.0005, beam_samples_per_dim: int = 10,
                       pulse_energy: float = 1.0, sensor_area: float = 0.1,
                       range_resolution: float = 0.15, min_range: float = 0.0, max_range: float = 100.0,
                       num_wavelengths: int = 1, pulse_fwhm_ns: float = 4.0, peak_threshold: float = 1e-8,
                       max_returns_per_pulse: int = 5, direct_mode: bool = False,
                       progress: Progress = None, *,
                       client: Any = None, chunks: Optional[int] = None,
                       progress_bar: bool = True) -> dict[str, Any]:
    """``norvi_gpu.simulate_lidar_cpu`` over ranges of pulses; results stacked in
    pulse order, with run-wide pulse indices in the points."""
    kwargs = _lidar_kwargs(beam_half_angle_rad, beam_samples_per_dim, pulse_energy, sensor_area,
                           range_resolution, min_range, max_range, num_wavelengths,
                           pulse_fwhm_ns, peak_threshold, max_returns_per_pulse, direct_mode)
    return _run_lidar(_lidar_piece, scene, pulse_origins, pulse_directions, num_pulses, kwargs,
                      client, chunks, progress, progress_bar, "simulate_lidar_cpu")


def run_energy_balance_cpu(scene: EmbreeSceneManager, band_type: int = 0, n_samples: int = 64,
                           sun_irradiance: float = 0.0, sky_diffuse_radiance: float = 0.0,
                           sky_lw_radiance: float = 0.0, sun_dir_x: float = 0.0, sun_dir_y: float = 0.0,
                           sun_dir_z: float = 1.0, two_sided: bool = True,
                           sw_albedos: Optional[npt.ArrayLike] = None, *,
                           client: Any = None, chunks: Optional[int] = None,
                           progress: Progress = None,
                           progress_bar: bool = True) -> tuple[npt.NDArray[np.float32], ...]:
    """``norvi_gpu.run_energy_balance_cpu`` over ranges of primitives; (top, bot)
    joined in primitive order, equal bit for bit."""
    kwargs = _energy_balance_kwargs(band_type, n_samples, sun_irradiance, sky_diffuse_radiance,
                                    sky_lw_radiance, sun_dir_x, sun_dir_y, sun_dir_z, two_sided,
                                    sw_albedos)
    return _run_primitives(_energy_balance_piece, scene, kwargs, client, chunks, progress,
                           progress_bar, "run_energy_balance_cpu")


def run_energy_balance_multiband_cpu(scene: EmbreeSceneManager, n_bands: int, n_samples: int = 64,
                                     sun_irradiance: npt.ArrayLike = (),
                                     sky_diffuse_radiance: npt.ArrayLike = (), sun_dir_x: float = 0.0,
                                     sun_dir_y: float = 0.0, sun_dir_z: float = 1.0,
                                     two_sided: bool = True, sw_albedos: Optional[npt.ArrayLike] = None,
                                     *, client: Any = None, chunks: Optional[int] = None,
                                     progress: Progress = None,
                                     progress_bar: bool = True) -> tuple[npt.NDArray[np.float32], ...]:
    """``norvi_gpu.run_energy_balance_multiband_cpu`` over ranges of primitives;
    (top, bot) of shape (n_bands, primitives) joined along the primitives."""
    kwargs = _multiband_kwargs(n_bands, n_samples, sun_irradiance, sky_diffuse_radiance,
                               sun_dir_x, sun_dir_y, sun_dir_z, two_sided, sw_albedos)
    return _run_primitives(_energy_balance_multiband_piece, scene, kwargs, client, chunks,
                           progress, progress_bar, "run_energy_balance_multiband_cpu")


# --- the GPU simulations -----------------------------------------------------

def simulate(scene: SceneManager, spp: int = 16, max_depth: int = 16, progress: Progress = None,
             *, client: Any = None, chunks: Optional[int] = None,
             progress_bar: bool = True) -> npt.NDArray[np.float32]:
    """``Simulator.simulate`` over bands of image rows; equal bit for bit."""
    return _run_backward(_gpu_backward_piece, scene, spp, max_depth, client, chunks, progress,
                         progress_bar, "simulate")


def simulate_forward(scene: SceneManager, nx: int = 1, ny: int = 1,
                     layer_heights: Optional[npt.ArrayLike] = None, num_photons: int = 10000000,
                     num_bands: int = 1, per_leaf: bool = False,
                     brf_directions: Optional[npt.ArrayLike] = None, num_brf_dirs: int = 0,
                     prob_sun: float = 1.0, max_depth: int = 16, terrain_instance_id: int = -1,
                     progress: Progress = None, *, client: Any = None,
                     chunks: Optional[int] = None, progress_bar: bool = True) -> dict[str, Any]:
    """``Simulator.simulate_forward`` over photon ranges; tallies summed."""
    kwargs = _forward_kwargs(nx, ny, layer_heights, num_photons, num_bands, per_leaf,
                             brf_directions, num_brf_dirs, prob_sun, max_depth,
                             terrain_instance_id, "simulate_forward")
    return _run_photons(_gpu_forward_piece, scene, kwargs, client, chunks, progress,
                        progress_bar, "simulate_forward")


def simulate_flux(scene: SceneManager, nx: int, ny: int, num_photons: int, num_bands: int,
                  prob_sun: float = 1.0, max_bounces: int = 0, max_depth: int = 16,
                  rr_depth: int = 3, progress: Progress = None, *, client: Any = None,
                  chunks: Optional[int] = None, progress_bar: bool = True) -> dict[str, Any]:
    """``Simulator.simulate_flux`` over photon ranges; maps summed."""
    kwargs = dict(nx=nx, ny=ny, num_photons=num_photons, num_bands=num_bands, prob_sun=prob_sun,
                  max_bounces=max_bounces, max_depth=max_depth, rr_depth=rr_depth)
    return _run_photons(_gpu_flux_piece, scene, kwargs, client, chunks, progress, progress_bar,
                        "simulate_flux")


def simulate_lidar(scene: SceneManager, pulse_origins: npt.ArrayLike,
                   pulse_directions: npt.ArrayLike, num_pulses: int,
                   beam_half_angle_rad: float = 0.0005, beam_samples_per_dim: int = 10,
                   pulse_energy: float = 1.0, sensor_area: float = 0.1,
                   range_resolution: float = 0.15, min_range: float = 0.0,
                   max_range: float = 100.0, num_wavelengths: int = 1, pulse_fwhm_ns: float = 4.0,
                   peak_threshold: float = 1e-8, max_returns_per_pulse: int = 5,
                   direct_mode: bool = False, progress: Progress = None, *, client: Any = None,
                   chunks: Optional[int] = None, progress_bar: bool = True) -> dict[str, Any]:
    """``Simulator.simulate_lidar`` over ranges of pulses; results stacked in
    pulse order, with run-wide pulse indices in the points."""
    kwargs = _lidar_kwargs(beam_half_angle_rad, beam_samples_per_dim, pulse_energy, sensor_area,
                           range_resolution, min_range, max_range, num_wavelengths,
                           pulse_fwhm_ns, peak_threshold, max_returns_per_pulse, direct_mode)
    return _run_lidar(_gpu_lidar_piece, scene, pulse_origins, pulse_directions, num_pulses,
                      kwargs, client, chunks, progress, progress_bar, "simulate_lidar")


def run_energy_balance(scene: SceneManager, band_type: int = 0, n_samples: int = 64,
                       sun_irradiance: float = 0.0, sky_diffuse_radiance: float = 0.0,
                       sky_lw_radiance: float = 0.0, sun_dir_x: float = 0.0,
                       sun_dir_y: float = 0.0, sun_dir_z: float = 1.0, two_sided: bool = True,
                       sw_albedos: Optional[npt.ArrayLike] = None, *, client: Any = None,
                       chunks: Optional[int] = None, progress: Progress = None,
                       progress_bar: bool = True) -> tuple[npt.NDArray[np.float32], ...]:
    """``Simulator.run_energy_balance`` over ranges of primitives; (top, bot)
    joined in primitive order, equal bit for bit."""
    kwargs = _energy_balance_kwargs(band_type, n_samples, sun_irradiance, sky_diffuse_radiance,
                                    sky_lw_radiance, sun_dir_x, sun_dir_y, sun_dir_z, two_sided,
                                    sw_albedos)
    return _run_primitives(_gpu_energy_balance_piece, scene, kwargs, client, chunks, progress,
                           progress_bar, "run_energy_balance")


def run_energy_balance_multiband(scene: SceneManager, n_bands: int, n_samples: int = 64,
                                 sun_irradiance: npt.ArrayLike = (),
                                 sky_diffuse_radiance: npt.ArrayLike = (), sun_dir_x: float = 0.0,
                                 sun_dir_y: float = 0.0, sun_dir_z: float = 1.0,
                                 two_sided: bool = True, sw_albedos: Optional[npt.ArrayLike] = None,
                                 *, client: Any = None, chunks: Optional[int] = None,
                                 progress: Progress = None,
                                 progress_bar: bool = True) -> tuple[npt.NDArray[np.float32], ...]:
    """``Simulator.run_energy_balance_multiband`` over ranges of primitives;
    (top, bot) of shape (n_bands, primitives) joined along the primitives."""
    kwargs = _multiband_kwargs(n_bands, n_samples, sun_irradiance, sky_diffuse_radiance,
                               sun_dir_x, sun_dir_y, sun_dir_z, two_sided, sw_albedos)
    return _run_primitives(_gpu_energy_balance_multiband_piece, scene, kwargs, client, chunks,
                           progress, progress_bar, "run_energy_balance_multiband")


def _energy_balance_kwargs(band_type, n_samples, sun_irradiance, sky_diffuse_radiance,
                           sky_lw_radiance, sun_dir_x, sun_dir_y, sun_dir_z, two_sided, sw_albedos):
    return dict(band_type=band_type, n_samples=n_samples, sun_irradiance=sun_irradiance,
                sky_diffuse_radiance=sky_diffuse_radiance, sky_lw_radiance=sky_lw_radiance,
                sun_dir_x=sun_dir_x, sun_dir_y=sun_dir_y, sun_dir_z=sun_dir_z,
                two_sided=two_sided, sw_albedos=sw_albedos)


def _multiband_kwargs(n_bands, n_samples, sun_irradiance, sky_diffuse_radiance, sun_dir_x,
                      sun_dir_y, sun_dir_z, two_sided, sw_albedos):
    return dict(n_bands=n_bands, n_samples=n_samples,
                sun_irradiance=np.asarray(sun_irradiance, np.float32),
                sky_diffuse_radiance=np.asarray(sky_diffuse_radiance, np.float32),
                sun_dir_x=sun_dir_x, sun_dir_y=sun_dir_y, sun_dir_z=sun_dir_z,
                two_sided=two_sided, sw_albedos=sw_albedos)


def _pulse_values(values, num_pulses, name):
    a = np.asarray(values, dtype=np.float32)
    if a.ndim != 1:
        raise ValueError(f"array has incorrect number of dimensions: {a.ndim}; expected 1")
    if num_pulses > 0 and a.shape[0] < 3 * num_pulses:
        raise ValueError(f"{name} must hold 3 x num_pulses = {3 * num_pulses} values "
                         f"(x, y, z per pulse); got {a.shape[0]}")
    return a
