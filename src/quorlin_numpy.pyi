from typing import SupportsIndex

import numpy as np
from numpy import ufunc
from numpy.typing import NDArray

__all__ = [
    "great_circle_distance",
    "great_circle_distance_with_radius",
    "wm_upper_left",
    "wm_bounds",
    "wm_tile_expanded_bbox",
    "valid_coordinates",
    "tile",
    "tiles",
    "cover",
]

great_circle_distance: ufunc
great_circle_distance_with_radius: ufunc
wm_upper_left: ufunc
wm_bounds: ufunc
wm_tile_expanded_bbox: ufunc
valid_coordinates: ufunc
tile: ufunc

def tiles(
    west: float,
    south: float,
    east: float,
    north: float,
    zoom: SupportsIndex,
    max_tiles: int = ...,
) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """The tiles at `zoom` covering the box, as int64 arrays (x, y)."""

def cover(
    geometry: object, zoom: SupportsIndex, max_tiles: int = ...
) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """The tiles at `zoom` a GeoJSON geometry touches, as int64 arrays (x, y)."""

