"""Great-circle distances and Web Mercator tile geometry in single precision.

Coordinates are degrees, longitude first; distances are metres. Every result
is a float32 value widened to float. A broken precondition (a coordinate
outside the open ranges, a negative expansion) raises PanicException, which
derives from BaseException, not Exception.
"""

from typing import SupportsFloat, SupportsIndex, TypeAlias

# Coordinates and distances: float, int, or anything with __float__ or
# __index__ (NumPy scalars included).
_Real: TypeAlias = SupportsFloat | SupportsIndex
# Tile indices: int, or anything with __index__; 0 <= value < 2**32.
_Index: TypeAlias = SupportsIndex

__all__ = [
    "great_circle_distance_with_radius",
    "great_circle_distance",
    "wm_bounds",
    "wm_upper_left",
    "wm_tile_expanded_bbox",
]

def great_circle_distance_with_radius(
    lon1: _Real, lat1: _Real, lon2: _Real, lat2: _Real, radius: _Real
) -> float:
    """Great-circle distance between two points on a sphere of `radius`, in the radius's unit."""

def great_circle_distance(lon1: _Real, lat1: _Real, lon2: _Real, lat2: _Real) -> float:
    """Great-circle distance in metres between two points on a sphere of radius 6371009 m."""

def wm_bounds(x: _Index, y: _Index, z: _Index) -> tuple[float, float, float, float]:
    """Bounds of tile x, y at zoom z as (west, south, east, north) degrees."""

def wm_upper_left(x: _Index, y: _Index, z: _Index) -> tuple[float, float]:
    """Upper-left (north-west) corner of tile x, y at zoom z as (lon, lat) degrees."""

def wm_tile_expanded_bbox(
    x: _Index, y: _Index, z: _Index, expansion_meters: _Real
) -> tuple[float, float, float, float]:
    """Box (west, south, east, north) of a circle about the tile's centre reaching its corners plus `expansion_meters`."""
