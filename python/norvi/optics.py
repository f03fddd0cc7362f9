"""Leaf and soil optics, band averaging, and the spectral array of a scene.

Leaf spectra come from PROSPECT (versions D and 5) as implemented by the
``prosail`` package, which ships the model's published refractive index and
specific absorption coefficients (400 to 2500 nm in 1 nm steps); the soil
spectra are the dry and wet soil spectra shipped with it. Both are optional:
``pip install norvi_gpu[optics]``.

A "Sentinel-2-like canopy in 10 bands"::

    wl = centres                         # 10 band centres, nm
    srf = [(w_k, r_k) for each band]     # spectral response functions
    spec = SpectralArray(len(srf))
    leaf = spec.add_leaf(*prospect(1.5, 40, 8, 0, 0.01, 0.009), srf)
    soil = spec.add(band_average(*soil_spectrum(0.5), srf))
    sun = spec.add(np.ones(10))
    spec.apply(scene)                    # set_num_bands + upload_spectral_params
    leaf_mat = scene.add_material(13, leaf, [0.5, 0.5])
    scene.add_material(0, soil)
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

_trapezoid = getattr(np, "trapezoid", None) or getattr(np, "trapz")  # NumPy 1 names it trapz

from norvi._optional import require

if TYPE_CHECKING:
    from norvi_gpu import EmbreeSceneManager

_F64 = npt.NDArray[np.float64]

__all__ = ["prospect", "soil_spectrum", "band_average", "gaussian_response", "SpectralArray"]


def prospect(N: float, Cab: float, Car: float, Cbrown: float, Cw: float, Cm: float, Ant: float = 0.0,
             version: str = "D") -> tuple[_F64, _F64, _F64]:
    """PROSPECT leaf spectra: returns (wavelengths in nm, reflectance,
    transmittance), three float64 arrays of 2101 values (400..2500 nm).

    N: structure parameter (leaf layers); Cab: chlorophyll a+b, Car:
    carotenoids, Ant: anthocyanins (ug cm-2); Cbrown: brown pigments
    (arbitrary units); Cw: equivalent water thickness, Cm: dry matter
    (g cm-2, i.e. cm of water for Cw). ``version`` "D" or "5" (which ignores Ant).
    """
    prosail = require("prosail", "optics")
    if not N >= 1.0:
        raise ValueError(f"PROSPECT structure parameter N must be at least 1; got {N}")
    for name, value in (("Cab", Cab), ("Car", Car), ("Cbrown", Cbrown), ("Cw", Cw), ("Cm", Cm), ("Ant", Ant)):
        if not (np.isfinite(value) and value >= 0):
            raise ValueError(f"PROSPECT {name} must be finite and not negative; got {value}")
    # A band without absorption takes the model's k -> 0 limit through 0 * inf
    # terms that the library then replaces, and an opaque single plate (N = 1)
    # its k -> inf limit through inf ** 0; the warnings they raise say nothing.
    # An opaque stack (N > 1) overflows into NaN, which the check below reports.
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        wl, refl, trans = prosail.run_prospect(N, Cab, Car, Cbrown, Cw, Cm, ant=Ant, prospect_version=str(version))
    if not (np.all(np.isfinite(refl)) and np.all(np.isfinite(trans))):
        raise ValueError(f"PROSPECT gave non-finite values for N={N}, Cab={Cab}, Car={Car}, "
                         f"Cbrown={Cbrown}, Cw={Cw}, Cm={Cm}, Ant={Ant}")
    return np.asarray(wl, np.float64), np.asarray(refl, np.float64), np.asarray(trans, np.float64)


def soil_spectrum(moisture: float = 0.0, brightness: float = 1.0) -> tuple[_F64, _F64]:
    """Soil reflectance as (wavelengths in nm, reflectance): ``brightness`` times
    the mix of the dry (``moisture`` 0) and wet (``moisture`` 1) soil spectra."""
    prosail = require("prosail", "optics")
    if not 0.0 <= moisture <= 1.0:
        raise ValueError(f"soil moisture must lie in [0, 1]; got {moisture}")
    if not (np.isfinite(brightness) and brightness >= 0.0):
        raise ValueError(f"soil brightness must be finite and not negative; got {brightness}")
    soil = prosail.spectral_lib.soil
    wl = np.arange(400.0, 400.0 + len(soil.rsoil1))
    return wl, brightness * ((1.0 - moisture) * soil.rsoil1 + moisture * soil.rsoil2)


def gaussian_response(centre: float, fwhm: float, step: float = 1.0, span: float = 1.5) -> tuple[_F64, _F64]:
    """A Gaussian spectral response (wavelengths, response) of the given centre
    and FWHM (nm), cut at ``span`` FWHM on each side (1.5: where it has fallen
    to 0.2 % of its peak). The response has at most 10,000,000 samples."""
    for name, value in (("centre", centre), ("fwhm", fwhm), ("step", step), ("span", span)):
        if not (np.isfinite(value) and (name == "centre" or value > 0)):
            raise ValueError(f"gaussian_response: {name} must be finite{'' if name == 'centre' else ' and above 0'}; "
                             f"got {value}")
    if 2.0 * span * fwhm / step > 1e7:
        raise ValueError(f"gaussian_response: {2.0 * span * fwhm:g} nm at steps of {step:g} nm is more than "
                         f"10,000,000 samples")
    sigma = fwhm / (2.0 * np.sqrt(2.0 * np.log(2.0)))
    wl = np.arange(centre - span * fwhm, centre + span * fwhm + step / 2, step)
    return wl, np.exp(-0.5 * ((wl - centre) / sigma) ** 2)


def band_average(wavelengths: npt.ArrayLike, spectrum: npt.ArrayLike, responses: Any) -> _F64:
    """The spectrum averaged over each band's response function.

    ``responses``: one (wavelengths, response) pair of arrays per band, or a
    pair (wavelengths, (bands, n) array). Each band value is the integral of
    spectrum x response over the integral of the response, both by the
    trapezoidal rule on the response's own wavelengths, the spectrum being
    linearly interpolated there. A response reaching outside the spectrum's
    wavelengths raises ValueError (extrapolating would invent values).
    """
    wavelengths = np.asarray(wavelengths, np.float64)
    spectrum = np.asarray(spectrum, np.float64)
    if wavelengths.ndim != 1 or wavelengths.shape != spectrum.shape or not np.all(np.diff(wavelengths) > 0):
        raise ValueError("wavelengths must be increasing and match the spectrum's length")
    if wavelengths.size == 0 or not (np.all(np.isfinite(wavelengths)) and np.all(np.isfinite(spectrum))):
        raise ValueError("wavelengths and spectrum must hold finite values, at least one")
    if isinstance(responses, tuple) and len(responses) == 2 and np.ndim(responses[1]) == 2:
        responses = [(responses[0], r) for r in np.asarray(responses[1])]
    out = np.empty(len(responses))
    for band, (wl, resp) in enumerate(responses):
        wl, resp = np.asarray(wl, np.float64), np.asarray(resp, np.float64)
        if wl.shape != resp.shape or wl.ndim != 1 or len(wl) < 2:
            raise ValueError(f"band {band}: response wavelengths and values must be 1-D arrays of one length >= 2")
        if not (np.all(np.isfinite(wl)) and np.all(np.isfinite(resp)) and np.any(resp > 0)):
            raise ValueError(f"band {band}: response wavelengths and values must be finite, with a value above 0")
        inside = resp > 0
        if wl[inside].min() < wavelengths[0] or wl[inside].max() > wavelengths[-1]:
            raise ValueError(f"band {band}: response spans {wl[inside].min()}..{wl[inside].max()} nm, "
                             f"outside the spectrum's {wavelengths[0]}..{wavelengths[-1]} nm")
        weight = _trapezoid(resp, wl)
        if not weight > 0:
            raise ValueError(f"band {band}: response integrates to {weight}, not above 0")
        out[band] = _trapezoid(np.interp(wl, wavelengths, spectrum) * resp, wl) / weight
    return out


class SpectralArray:
    """Builds the flat spectral parameter array of a scene block by block.

    Each ``add`` appends arrays of ``num_bands`` values and returns the offset
    of the first, as ``add_material``, ``set_emitter`` and ``set_sky`` take it;
    a block of k arrays is addressed as offset + k * num_bands + band.
    """

    def __init__(self, num_bands: int) -> None:
        if int(num_bands) < 1:
            raise ValueError(f"num_bands must be at least 1; got {num_bands}")
        self.num_bands = int(num_bands)
        self._blocks: list[npt.NDArray[np.float32]] = []
        self._size = 0

    def add(self, *arrays: npt.ArrayLike) -> int:
        offset = self._size
        for k, values in enumerate(arrays):
            values = np.asarray(values, np.float32).reshape(-1)
            if values.shape != (self.num_bands,):
                raise ValueError(f"array {k} has {values.size} values; the scene has {self.num_bands} bands")
            self._blocks.append(values)
            self._size += self.num_bands
        return offset

    def add_leaf(self, wavelengths: npt.ArrayLike, reflectance: npt.ArrayLike, transmittance: npt.ArrayLike,
                 responses: Any) -> int:
        """Appends a two-sided leaf block (R_front, R_back, T) averaged over
        ``responses``; front and back reflectance are equal, as PROSPECT
        models one. Returns the offset for ``add_material(13, offset, ...)``."""
        r = band_average(wavelengths, reflectance, responses)
        return self.add(r, r, band_average(wavelengths, transmittance, responses))

    @property
    def values(self) -> npt.NDArray[np.float32]:
        """The whole array (float32)."""
        return np.concatenate(self._blocks) if self._blocks else np.zeros(0, np.float32)

    def apply(self, scene: EmbreeSceneManager) -> None:
        """Sets the scene's band count and uploads the array."""
        scene.set_num_bands(self.num_bands)
        scene.upload_spectral_params(self.values)
