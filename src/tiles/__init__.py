"""From points, boxes and geometries to Web Mercator tiles, exact against
quorlin's float32 tile edges.

A tile is an ``(x, y, z)`` tuple of ints, so ``quorlin.wm_bounds(*tile)``
takes it. A tile owns its west and north edges; the map's east edge (180)
and south edge belong to the last column and row. Bad input raises
ValueError or TypeError.
"""

from ._tiles import (
    bounding_tile,
    children,
    count_tiles,
    neighbors,
    parent,
    quadkey,
    quadkey_to_tile,
    tile,
    tiles,
)
from .geojson import cover, feature, simplify

__all__ = [
    "tile",
    "bounding_tile",
    "tiles",
    "count_tiles",
    "parent",
    "children",
    "neighbors",
    "quadkey",
    "quadkey_to_tile",
    "cover",
    "simplify",
    "feature",
]
