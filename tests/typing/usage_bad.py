"""Mistyped use of quorlin: every marked line must be rejected."""

import quorlin
import quorlin_numpy
import quorlin_tiles

quorlin.wm_bounds(1.5, 2, 3)  # error: a float is no tile index
quorlin.great_circle_distance("1", 2, 3, 4)  # error: a str is no coordinate
quorlin.wm_upper_left(1, 2)  # error: z is missing
quorlin.wm_bounds(1, 2, 3, w=0)  # error: no such parameter
text: str = quorlin.great_circle_distance(1, 2, 3, 4)  # error: returns float
pair: tuple[float, float] = quorlin.wm_bounds(1, 2, 3)  # error: returns a 4-tuple
quorlin_numpy.wm_bounds_of_everything(1, 2, 3)  # error: no such ufunc
quorlin_tiles.tile(2.35, 48.86, 12.0)  # error: a float is no zoom
count: str = quorlin_tiles.count_tiles(0, 0, 1, 1, 3)  # error: returns int
quorlin_tiles.quadkey_to_tile(123)  # error: a quadkey is a str
