"""Typed use of quorlin: must pass mypy --strict and pyright."""

from typing import SupportsIndex

import numpy as np

import quorlin
import quorlin_numpy


class Zoom:
    def __index__(self) -> int:
        return 3


distance: float = quorlin.great_circle_distance(2.35, 48.86, 139.69, 35.69)
on_moon: float = quorlin.great_circle_distance_with_radius(0, 0, 1, 1, radius=1737400)
corner: tuple[float, float] = quorlin.wm_upper_left(1, 2, Zoom())
west, south, east, north = quorlin.wm_bounds(x=1, y=2, z=3)
box: tuple[float, float, float, float] = quorlin.wm_tile_expanded_bbox(1, 2, 3, 500.0)
numpy_box = quorlin.wm_tile_expanded_bbox(np.uint32(1), np.int64(2), 3, np.float32(10))
index: SupportsIndex = 5
from_numpy: float = quorlin.great_circle_distance(np.float64(1), np.float32(2), index, 0)
names: list[str] = quorlin.__all__
ufunc: np.ufunc = quorlin_numpy.wm_bounds
distances = quorlin_numpy.great_circle_distance(2.35, 48.86, np.array([139.69]), np.array([35.69]))

import quorlin_tiles

here: tuple[int, int, int] = quorlin_tiles.tile(2.35, 48.86, Zoom())
covering: list[tuple[int, int, int]] = list(quorlin_tiles.tiles(2.2, 48.8, 2.5, 48.9, range(10, 13)))
how_many: int = quorlin_tiles.count_tiles(2.2, 48.8, 2.5, 48.9, 12)
up: tuple[int, int, int] = quorlin_tiles.parent(*here, zoom=None)
down: list[tuple[int, int, int]] = quorlin_tiles.children(*here)
key: str = quorlin_tiles.quadkey(*here)
xs, ys = quorlin_numpy.tiles(2.2, 48.8, 2.5, 48.9, 12, max_tiles=1000)

import polars as pl

import quorlin_polars

expression: pl.Expr = quorlin_polars.wm_bounds("x", pl.col("y"), 12, dtype=pl.Float32)
