"""From points, boxes and geometries to Web Mercator tiles, exact against quorlin's float32 edges.

A tile is an ``(x, y, z)`` tuple of ints, so ``quorlin.wm_bounds(*tile)``
takes it. A tile owns its west and north edges; the map's east edge (180)
and south edge belong to the last column and row. Bad input raises
ValueError or TypeError.
"""

from collections.abc import Iterable, Iterator, Mapping
from typing import Any
from typing import SupportsFloat, SupportsIndex, TypeAlias

_Real: TypeAlias = SupportsFloat | SupportsIndex
_Tile: TypeAlias = tuple[int, int, int]

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

def tile(lon: _Real, lat: _Real, z: SupportsIndex) -> _Tile:
    """The tile at zoom `z` that holds the point."""

def bounding_tile(west: _Real, south: _Real, east: _Real, north: _Real) -> _Tile:
    """The smallest tile that holds the whole box."""

def tiles(
    west: _Real, south: _Real, east: _Real, north: _Real, zooms: SupportsIndex | Iterable[SupportsIndex]
) -> Iterator[_Tile]:
    """The tiles covering the box at each zoom, lazily; west > east crosses the antimeridian."""

def count_tiles(
    west: _Real, south: _Real, east: _Real, north: _Real, zooms: SupportsIndex | Iterable[SupportsIndex]
) -> int:
    """How many tiles ``tiles`` yields for the same arguments."""

def parent(x: SupportsIndex, y: SupportsIndex, z: SupportsIndex, zoom: SupportsIndex | None = None) -> _Tile:
    """The ancestor at `zoom` (default z - 1)."""

def children(
    x: SupportsIndex, y: SupportsIndex, z: SupportsIndex, zoom: SupportsIndex | None = None
) -> list[_Tile]:
    """The descendants at `zoom` (default z + 1), north row first, west to east."""

def neighbors(x: SupportsIndex, y: SupportsIndex, z: SupportsIndex) -> list[_Tile]:
    """The up to eight tiles around the tile; columns wrap round the antimeridian."""

def quadkey(x: SupportsIndex, y: SupportsIndex, z: SupportsIndex) -> str:
    """The tile's quadkey: one digit 0-3 per zoom level."""

def quadkey_to_tile(key: str) -> _Tile:
    """The tile a quadkey names."""

def cover(geometry: object, zooms: SupportsIndex | Iterable[SupportsIndex]) -> Iterator[_Tile]:
    """The tiles a GeoJSON geometry (or an object with __geo_interface__) touches, lazily, each once."""

def simplify(tiles: Iterable[tuple[SupportsIndex, SupportsIndex, SupportsIndex]]) -> list[_Tile]:
    """The fewest tiles covering the same area: complete sets of four siblings merged, repeatedly."""

def feature(
    x: SupportsIndex, y: SupportsIndex, z: SupportsIndex, properties: Mapping[str, Any] | None = None
) -> dict[str, Any]:
    """The tile as a GeoJSON Feature of its float32 bounds, with bbox and id."""
