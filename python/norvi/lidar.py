"""NORVI LiDAR point clouds as LAS 1.4 files (point format 6), or LAZ.

`write_las(points, path)` takes the "points" array of `simulate_lidar_cpu`
(one row per return: x, y, z, intensity, return number, number of returns,
range, pulse index) and writes:

- coordinates as 32-bit integers with a scale of 1 mm (`coordinate_scale`) and an
  offset at the lower corner of the cloud, as LAS requires;
- return number and number of returns in their 4-bit fields (LAS 1.4 allows up
  to 15 returns per pulse);
- the pulse index as the GPS time, so that the returns of one pulse share a
  time stamp as they do for a real scanner;
- intensity, which NORVI gives as received energy (units of the pulse energy),
  as an unsigned 16-bit count: the strongest return gets 65535 and
  energy = count * intensity_scale.

LAS has no field for the intensity scale, so it is written twice where a reader
finds it without knowing NORVI: as a little-endian float64 in a variable
length record (user id "NORVI", record id 1001, description "intensity scale:
energy per count"), and as text in the header's "system identifier"
("NORVI I=<scale>"). `read_intensity_scale(las)` reads it back from the record.

A path ending in ".laz" is written compressed, through laspy's `lazrs`
back end. Requires `laspy` (and `lazrs` for LAZ): `pip install norvi_gpu[io]`.
"""

from __future__ import annotations

from os import PathLike
from typing import Any, Optional, Union

import os
import struct

import numpy as np
import numpy.typing as npt

from norvi._optional import require

__all__ = ["write_las", "read_las", "read_intensity_scale"]

VLR_USER_ID = "NORVI"
VLR_INTENSITY_SCALE_ID = 1001
VLR_DESCRIPTION = "intensity scale: energy per count"


def write_las(points: npt.ArrayLike, path: Union[str, PathLike[str]], coordinate_scale: float = 0.001) -> float:
    """Write an (N, 8) NORVI point array to `path` as LAS 1.4, point format 6
    (LAZ when `path` ends in ".laz").

    Returns the intensity scale used (energy per 16-bit intensity count).
    """
    laspy = require("laspy", "io")
    if str(path).lower().endswith(".laz"):
        require("lazrs", "io")

    if not (np.isfinite(coordinate_scale) and coordinate_scale > 0):
        raise ValueError(f"coordinate_scale must be finite and above 0; got {coordinate_scale}")
    pts = np.asarray(points, dtype=np.float64)
    if pts.ndim != 2 or pts.shape[1] != 8:
        raise ValueError("points must have shape (N, 8); got %s" % (pts.shape,))
    if pts.shape[0] and not np.all(np.isfinite(pts)):
        raise ValueError("points hold values that are not finite")
    returns = pts[:, 4]
    counts = pts[:, 5]
    if pts.shape[0] and (returns.min() < 1 or counts.max() > 15 or np.any(returns > counts)):
        raise ValueError("return numbers must lie in 1 .. number of returns <= 15 for LAS")
    intensity = pts[:, 3]
    if pts.shape[0] and intensity.min() < 0:
        raise ValueError("intensities must not be negative")

    peak = float(intensity.max()) if pts.shape[0] else 0.0
    intensity_scale = peak / 65535.0 if peak > 0 else 1.0

    header = laspy.LasHeader(point_format=6, version="1.4")
    # LAS 1.4 requires the WKT bit of the global encoding for formats 6 to 10
    # (a coordinate system, if any, would be a WKT record; NORVI scenes have none).
    header.global_encoding.wkt = True
    header.scales = np.array([coordinate_scale] * 3)
    header.offsets = np.floor(pts[:, :3].min(axis=0)) if pts.shape[0] else np.zeros(3)
    header.system_identifier = ("NORVI I=%.9g" % intensity_scale)[:32]
    header.generating_software = "NORVI norvi.lidar"
    header.vlrs.append(laspy.VLR(user_id=VLR_USER_ID, record_id=VLR_INTENSITY_SCALE_ID,
                                 description=VLR_DESCRIPTION,
                                 record_data=struct.pack("<d", intensity_scale)))

    las = laspy.LasData(header)
    las.x = pts[:, 0]
    las.y = pts[:, 1]
    las.z = pts[:, 2]
    las.intensity = np.clip(np.rint(intensity / intensity_scale), 0, 65535).astype(np.uint16)
    las.return_number = returns.astype(np.uint8)
    las.number_of_returns = counts.astype(np.uint8)
    las.gps_time = pts[:, 7]
    las.write(str(path))
    return intensity_scale


def read_intensity_scale(las: Any) -> Optional[float]:
    """Energy per intensity count of a file written by write_las (None if absent)."""
    for vlr in las.header.vlrs:
        if vlr.user_id == VLR_USER_ID and vlr.record_id == VLR_INTENSITY_SCALE_ID:
            return struct.unpack("<d", vlr.record_data[:8])[0]
    return None


def read_las(path: Union[str, PathLike[str]]) -> npt.NDArray[np.float32]:
    """Read a file written by write_las back into an (N, 8) float32 point array.

    The range column is lost in LAS and comes back as NaN.
    """
    laspy = require("laspy", "io")

    size = os.path.getsize(path)
    with open(path, "rb") as f:
        head = f.read(104)
    if len(head) == 104 and head[:4] == b"LASF":
        # Counts laspy would read records for before it looks at the file size.
        offset_to_points, num_vlrs = struct.unpack_from("<II", head, 96)
        if offset_to_points > size or 54 * num_vlrs > size:
            raise ValueError(f"{path}: the header places the points at byte {offset_to_points} and counts "
                             f"{num_vlrs} variable length records, more than the file's {size} bytes hold")
    with laspy.open(str(path)) as reader:
        header = reader.header
        if not str(path).lower().endswith(".laz"):
            # An uncompressed file holds its points: a header that counts more
            # than fit in the file would have them allocated before reading.
            needed = header.offset_to_point_data + header.point_count * header.point_format.size
            if needed > size:
                raise ValueError(f"{path}: the header counts {header.point_count} points, more than "
                                 f"the file's {size} bytes hold")
    las = laspy.read(str(path))
    scale = read_intensity_scale(las) or 1.0
    out = np.empty((len(las.points), 8), dtype=np.float32)
    out[:, 0] = las.x
    out[:, 1] = las.y
    out[:, 2] = las.z
    out[:, 3] = np.asarray(las.intensity, dtype=np.float64) * scale
    out[:, 4] = las.return_number
    out[:, 5] = las.number_of_returns
    out[:, 6] = np.nan
    out[:, 7] = las.gps_time
    return out
