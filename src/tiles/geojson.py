"""Tiles of whole geometries: reading GeoJSON into the float32 shapes the
compiled cover takes, and the functions around it (simplify, feature).

Coordinates are rounded to float32 first, as every quorlin function rounds
them; the checks then apply to the rounded values, and messages show the
values as given, with where they are.
"""

from __future__ import annotations

import math
import operator
from array import array
from collections.abc import Iterable, Mapping, Sequence

from . import _tiles

POINTS, LINE, POLYGON = 0, 1, 2

_GEOMETRIES = ("Point", "MultiPoint", "LineString", "MultiLineString", "Polygon", "MultiPolygon")


def _where(path: tuple | None) -> str:
    """A path as a reader would write it: features[2].geometry.coordinates[0].
    Paths are linked pairs (parent, part), so that going one level deeper
    costs the same at any depth."""
    parts = []
    while path is not None:
        path, part = path
        parts.append(part)
    text = ""
    for part in reversed(parts):
        text += f"[{part}]" if isinstance(part, int) else (f".{part}" if text else part)
    return text or "the geometry"


def _type_name(value: object) -> str:
    return type(value).__name__


def _number(value: object) -> float | None:
    """float(value), or None for what is not a number (strings included);
    small for the reason _doubles gives."""
    try:
        return None if isinstance(value, (str, bytes)) else float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return None


def _bad_position(position: object, where: str) -> Exception:
    if not isinstance(position, Sequence) or isinstance(position, (str, bytes)):
        return TypeError(f"{where}: a position is a list of numbers [longitude, latitude], "
                         f"not {_type_name(position)!r}")
    if len(position) < 2:
        return ValueError(f"{where}: a position needs a longitude and a latitude, not {len(position)} "
                          f"number{'s' if len(position) != 1 else ''}")
    for name, value in zip(("longitude", "latitude"), position):
        number = _number(value)
        if number is None:
            return TypeError(f"{where}: the {name} must be a number, not {_type_name(value)!r}")
        if not math.isfinite(number):
            return ValueError(f"{where}: the {name} must be a finite number, not {number!r}")
        bound = 180.0 if name == "longitude" else 90.0
        rounded = array("f", [number])[0]
        if not -bound <= rounded <= bound:
            return ValueError(f"{where}: the {name} must be from {-bound:g} to {bound:g}, not {value!r}")
    return ValueError(f"{where}: not a position")  # not reached


def _pairs(coordinates: Sequence) -> array:
    values = array("d")
    append = values.append
    for position in coordinates:
        if isinstance(position, (str, bytes, Mapping)):
            raise TypeError
        append(position[0])
        append(position[1])
    return values


def _doubles(coordinates: Sequence) -> array | None:
    """The positions' numbers as doubles, or None if one is not a position.
    Kept this small on purpose: when an exception reaches a handler, the
    interpreter allocates an int for the instruction's offset unless it is
    small, and while allocations keep failing it retries that forever."""
    try:
        return _pairs(coordinates)
    except (TypeError, IndexError, KeyError, ValueError, OverflowError):
        return None


def _positions(coordinates: object, path: tuple) -> array:
    """The positions as float32 lon, lat pairs; each checked."""
    if not isinstance(coordinates, Sequence) or isinstance(coordinates, (str, bytes)):
        raise TypeError(f"{_where(path)}: positions come in a list, not {_type_name(coordinates)!r}")
    values = _doubles(coordinates)
    if values is None:
        # Find the position, for the message.
        for index, position in enumerate(coordinates):
            error = _bad_position(position, _where((path, index)))
            if not isinstance(error, ValueError) or "not a position" not in str(error):
                raise error from None
        raise TypeError(f"{_where(path)}: not a list of positions")
    rounded = array("f", values)
    longitudes, latitudes = rounded[0::2], rounded[1::2]
    # One pass at C speed; the positions are looked at one by one only to
    # say which is wrong. A NaN makes the sum NaN.
    if rounded and not (
        -180.0 <= min(longitudes) and max(longitudes) <= 180.0
        and -90.0 <= min(latitudes) and max(latitudes) <= 90.0
        and not math.isnan(sum(rounded))
    ):
        for index, position in enumerate(coordinates):
            lon, lat = rounded[2 * index], rounded[2 * index + 1]
            if not (-180.0 <= lon <= 180.0 and -90.0 <= lat <= 90.0):
                raise _bad_position(position, _where((path, index)))
    return rounded


def _rings(coordinates: object, path: tuple, rings: list[array], ends: array) -> None:
    if not isinstance(coordinates, Sequence) or isinstance(coordinates, (str, bytes)):
        raise TypeError(f"{_where(path)}: a polygon's rings come in a list, not {_type_name(coordinates)!r}")
    total = 0
    for index, ring in enumerate(coordinates):
        here = (path, index)
        positions = _positions(ring, here)
        count = len(positions) // 2
        if count < 4:
            raise ValueError(f"{_where(here)}: a ring needs four positions or more, not {count}")
        # Closed as given: a ring whose ends differ only past float32 is
        # still not closed.
        if list(ring[0][:2]) != list(ring[-1][:2]):
            raise ValueError(f"{_where(here)}: a ring must be closed: its last position must equal its "
                             f"first, {list(ring[0][:2])} != {list(ring[-1][:2])}")
        rings.append(positions)
        total += count
        ends.append(total)


class _Reader:
    """Collects the shapes of a GeoJSON object; nesting is walked with a
    list, not recursion, so depth costs memory, not the stack."""

    def __init__(self) -> None:
        self.shapes: list[tuple[int, array, array | None]] = []
        self.points = array("f")

    def read(self, geometry: object) -> list[tuple[int, array, array | None]]:
        pending: list[tuple[object, tuple | None]] = [(geometry, None)]
        while pending:
            item, path = pending.pop()
            self._one(item, path, pending)
        if self.points:
            self.shapes.append((POINTS, self.points, None))
        return self.shapes

    def _one(self, item: object, path: tuple | None, pending: list[tuple[object, tuple | None]]) -> None:
        if not isinstance(item, Mapping):
            interface = getattr(item, "__geo_interface__", None)
            if interface is None:
                raise TypeError(f"{_where(path)}: a geometry is a GeoJSON mapping or has __geo_interface__, "
                                f"not {_type_name(item)!r}")
            item = interface
            if not isinstance(item, Mapping):
                raise TypeError(f"{_where(path)}: __geo_interface__ gave {_type_name(item)!r}, not a mapping")
        kind = item.get("type")
        if kind is None:
            raise ValueError(f"{_where(path)}: a GeoJSON object needs a 'type'")
        if kind == "Feature":
            if "geometry" not in item:
                raise ValueError(f"{_where(path)}: a Feature needs a 'geometry' (null for none)")
            if item["geometry"] is not None:
                pending.append((item["geometry"], (path, "geometry")))
            return
        if kind in ("FeatureCollection", "GeometryCollection"):
            member = "features" if kind == "FeatureCollection" else "geometries"
            parts = item.get(member)
            if not isinstance(parts, Sequence) or isinstance(parts, (str, bytes)):
                raise ValueError(f"{_where(path)}: a {kind} needs a list of '{member}'")
            here = (path, member)
            # Reversed onto the stack, so read in order: the first error
            # found is the first in the text.
            pending.extend([(part, (here, index)) for index, part in reversed(list(enumerate(parts)))])
            return
        if kind not in _GEOMETRIES:
            raise ValueError(f"{_where(path)}: unknown GeoJSON type {kind!r}")
        if "coordinates" not in item:
            raise ValueError(f"{_where(path)}: a {kind} needs 'coordinates'")
        coordinates = item["coordinates"]
        here = (path, "coordinates")
        if isinstance(coordinates, (str, bytes)) or not isinstance(coordinates, Sequence):
            raise TypeError(f"{_where(here)}: coordinates are a list, not {_type_name(coordinates)!r}")
        if len(coordinates) == 0:
            return  # an empty geometry covers nothing
        if kind == "Point":
            self.points.extend(_positions([coordinates], here)[:2])
        elif kind == "MultiPoint":
            self.points.extend(_positions(coordinates, here))
        elif kind == "LineString":
            self._line(coordinates, here)
        elif kind == "MultiLineString":
            for index, line in enumerate(coordinates):
                self._line(line, (here, index))
        elif kind == "Polygon":
            self._polygon(coordinates, here)
        else:
            for index, polygon in enumerate(coordinates):
                self._polygon(polygon, (here, index))

    def _line(self, coordinates: object, path: tuple) -> None:
        positions = _positions(coordinates, path)
        if len(positions) == 2:
            raise ValueError(f"{_where(path)}: a line needs two positions or more, not 1")
        if positions:
            self.shapes.append((LINE, positions, None))

    def _polygon(self, coordinates: object, path: tuple) -> None:
        rings: list[array] = []
        ends = array("I")
        _rings(coordinates, path, rings, ends)
        if rings:
            positions = array("f")
            for ring in rings:
                positions.extend(ring)
            self.shapes.append((POLYGON, positions, ends))


def shapes(geometry: object) -> list[tuple[int, array, array | None]]:
    """The float32 shapes of a GeoJSON object, checked."""
    return _Reader().read(geometry)


def cover(geometry: object, zooms: object) -> Iterable[tuple[int, int, int]]:
    """The tiles the geometry touches at each zoom, lazily, each once."""
    return _tiles._cover(shapes(geometry), zooms)


def _zoom(zoom: object) -> int:
    try:
        value = operator.index(zoom)
    except TypeError:
        raise TypeError(f"zoom must be an int, not {_type_name(zoom)!r}") from None
    if not 0 <= value <= 32:
        raise ValueError(f"zoom must be a zoom from 0 to 32, not {value}")
    return value


def cover_arrays(geometry: object, zoom: object, max_tiles: int = 10**8):
    """The cover at one zoom as int64 arrays (x, y), row by row from the north."""
    import numpy as np

    z = _zoom(zoom)
    limit = operator.index(max_tiles)
    count, data = _tiles._cover(shapes(geometry), z)._runs(limit)
    if count is None:
        raise ValueError(f"the cover has more than max_tiles={limit} tiles: raise max_tiles")
    if count > limit:
        raise ValueError(f"the cover has {count} tiles, more than max_tiles={limit}: raise max_tiles")
    runs = np.frombuffer(data, dtype=np.int64).reshape(-1, 3)
    lengths = runs[:, 1] - runs[:, 0] + 1
    ys = np.repeat(runs[:, 2], lengths)
    starts = np.cumsum(lengths) - lengths
    xs = np.arange(count, dtype=np.int64) + np.repeat(runs[:, 0] - starts, lengths)
    return xs, ys


# No generator expressions or key functions on the paths of cover and
# simplify: CPython 3.12.1 crashes when allocations fail around their
# frames.
def _tile_of(item: object) -> tuple[int, int, int]:
    """A tile as three ints on the map (quadkey checks it)."""
    if isinstance(item, (str, bytes)) or not isinstance(item, Sequence) or len(item) != 3:
        raise TypeError(f"a tile is (x, y, z), not {item!r}")
    x, y, z = operator.index(item[0]), operator.index(item[1]), operator.index(item[2])
    _tiles.quadkey(x, y, z)
    return x, y, z


def simplify(tiles: Iterable[Sequence[int]]) -> list[tuple[int, int, int]]:
    """The fewest tiles covering the same area: tiles inside others dropped,
    and complete sets of four siblings merged into their parent, repeatedly.
    Sorted by zoom, then north to south, west to east."""
    kept = {_tile_of(t) for t in tiles}
    # Drop tiles that an ancestor in the set already covers.
    inside = set()
    for x, y, z in kept:
        for depth in range(1, z + 1):
            if (x >> depth, y >> depth, z - depth) in kept:
                inside.add((x, y, z))
                break
    kept -= inside
    by_zoom: dict[int, set[tuple[int, int]]] = {}
    for x, y, z in kept:
        by_zoom.setdefault(z, set()).add((x, y))
    for z in sorted(by_zoom, reverse=True):
        if z == 0:
            continue
        level = by_zoom[z]
        parents: dict[tuple[int, int], int] = {}
        for x, y in level:
            parents[(x >> 1, y >> 1)] = parents.get((x >> 1, y >> 1), 0) + 1
        for (px, py), count in parents.items():
            if count == 4:
                level -= {(2 * px, 2 * py), (2 * px + 1, 2 * py), (2 * px, 2 * py + 1), (2 * px + 1, 2 * py + 1)}
                by_zoom.setdefault(z - 1, set()).add((px, py))
        # Zooms are visited downwards, and a merge only adds to z - 1.
    ordered = sorted([(z, y, x) for z, level in by_zoom.items() for x, y in level])
    return [(x, y, z) for z, y, x in ordered]


def feature(x: int, y: int, z: int, properties: Mapping | None = None) -> dict:
    """The tile as a GeoJSON Feature: its float32 bounds as a polygon (the
    exterior ring anticlockwise), with bbox and id."""
    import quorlin

    _tiles.quadkey(x, y, z)  # checks the tile
    west, south, east, north = quorlin.wm_bounds(x, y, z)
    tile = (operator.index(x), operator.index(y), operator.index(z))
    return {
        "type": "Feature",
        "id": f"{tile[2]}/{tile[0]}/{tile[1]}",
        "bbox": [west, south, east, north],
        "geometry": {
            "type": "Polygon",
            "coordinates": [[[west, south], [east, south], [east, north], [west, north], [west, south]]],
        },
        "properties": {"title": f"XYZ tile {tile}"} if properties is None else dict(properties),
    }
