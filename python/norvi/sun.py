"""The sun's position from a place and a time, as the scene's emitter direction.

Axis convention of NORVI scenes (also that of the orthographic results'
``x``/``y`` coordinates and of the GeoTIFF writer): +x points east, +y points
north and +z up. Solar azimuth is measured clockwise from north (0 north,
90 east), so the unit vector toward the sun is

    (sin(zenith) sin(azimuth), sin(zenith) cos(azimuth), cos(zenith)).

The ephemeris is pvlib's (``pip install norvi_gpu[sun]``): the NREL solar
position algorithm, accurate to about 0.0003 degrees over several millennia,
with atmospheric refraction applied (the "apparent" zenith).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Union

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from norvi._optional import require

if TYPE_CHECKING:
    from norvi_gpu import EmbreeSceneManager, SceneManager

__all__ = ["SunPosition", "sun_position", "sun_direction", "set_sun"]


@dataclass
class SunPosition:
    """Apparent solar ``zenith`` and ``azimuth`` (degrees; azimuth clockwise
    from north) and ``direction``, the float32 unit vector toward the sun in
    scene axes (+x east, +y north, +z up)."""

    zenith: float
    azimuth: float
    direction: np.ndarray


def sun_direction(zenith_deg: float, azimuth_deg: float) -> npt.NDArray[np.float32]:
    """Unit vector toward a sun at the given zenith and azimuth (degrees,
    azimuth clockwise from north), in scene axes (+x east, +y north, +z up)."""
    z, a = np.radians(zenith_deg), np.radians(azimuth_deg)
    return np.array([np.sin(z) * np.sin(a), np.sin(z) * np.cos(a), np.cos(z)], np.float32)


def sun_position(latitude: float, longitude: float, time: Any, altitude: float = 0.0,
                 refraction: bool = True) -> SunPosition:
    """The sun seen from ``latitude``, ``longitude`` (degrees, north and east
    positive) at ``time`` (a timezone-aware datetime or pandas Timestamp, or a
    naive one / ISO string taken as UTC). ``altitude`` is in metres above sea
    level; ``refraction`` False gives the geometric (airless) zenith."""
    pd = require("pandas", "sun")
    solarposition = require("pvlib.solarposition", "sun")
    if not (-90.0 <= latitude <= 90.0 and -180.0 <= longitude <= 360.0):
        raise ValueError(f"latitude must lie in [-90, 90] and longitude in [-180, 360]; "
                         f"got {latitude}, {longitude}")
    stamp = pd.Timestamp(time)
    stamp = stamp.tz_localize("UTC") if stamp.tzinfo is None else stamp
    pos = solarposition.get_solarposition(pd.DatetimeIndex([stamp]), latitude, longitude, altitude)
    zenith = float(pos["apparent_zenith" if refraction else "zenith"].iloc[0])
    azimuth = float(pos["azimuth"].iloc[0])
    if not (0.0 <= zenith <= 180.0 and np.isfinite(azimuth)):  # a NaT time, a non-finite altitude
        raise ValueError(f"no sun position for time {time!r} and altitude {altitude!r}: "
                         f"zenith {zenith}, azimuth {azimuth}")
    return SunPosition(zenith, azimuth, sun_direction(zenith, azimuth))


def set_sun(scene: Union[EmbreeSceneManager, SceneManager], latitude: float, longitude: float, time: Any,
            spectral_offset: int, emitter_type: int = 0, **kwargs: Any) -> SunPosition:
    """Puts the sun of :func:`sun_position` into ``scene`` (``set_emitter``
    with the irradiance array at ``spectral_offset``) and returns the position.
    A sun below the horizon raises ValueError: it would light the scene from below."""
    pos = sun_position(latitude, longitude, time, **kwargs)
    if pos.zenith >= 90.0:
        raise ValueError(f"the sun is below the horizon at {time} (zenith {pos.zenith:.2f} degrees)")
    scene.set_emitter(emitter_type, pos.direction, spectral_offset)
    return pos
