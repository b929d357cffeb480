"""quorlin-tiles: tiles of GeoJSON, boxes and tiles, for shell pipelines.

Reads standard input and writes one result per line. Input GeoJSON may be
one text, one text per line, or an RFC 8142 sequence (each text after an
RS character). Bad input is one line on standard error and exit status 1;
a bad command line, exit status 2.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Iterator
from typing import NoReturn, TextIO

from . import _tiles, geojson

RS = "\x1e"


class DataError(Exception):
    """Input that cannot be read: said in one line, exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: {message} (see --help)\n")
        sys.exit(2)


def _zoom(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"a zoom is a whole number from 0 to 32, not {text!r}") from None
    if not 0 <= value <= 32:
        raise argparse.ArgumentTypeError(f"a zoom is from 0 to 32, not {value}")
    return value


def _json_texts(stream: TextIO) -> Iterator[tuple[str, object]]:
    """(where, value) for each JSON text of the input."""
    data = stream.read()
    if RS in data:
        pieces = [(f"text {n}", piece) for n, piece in enumerate(data.split(RS)[1:], 1)]
    else:
        stripped = data.strip()
        if not stripped:
            return
        try:
            yield "the input", json.loads(stripped)
            return
        except json.JSONDecodeError as error:
            if error.msg != "Extra data":
                raise DataError(f"the input is not JSON: {error}") from None
        except RecursionError:
            raise DataError("the input is nested too deeply to read") from None
        pieces = [(f"line {n}", line) for n, line in enumerate(data.splitlines(), 1)]
    for where, piece in pieces:
        if not piece.strip():
            continue
        try:
            yield where, json.loads(piece)
        except json.JSONDecodeError as error:
            raise DataError(f"{where} is not JSON: {error}") from None
        except RecursionError:
            raise DataError(f"{where} is nested too deeply to read") from None


def _tile_lines(stream: TextIO) -> Iterator[tuple[str, tuple[int, int, int]]]:
    for n, line in enumerate(stream, 1):
        if not line.strip():
            continue
        try:
            value = json.loads(line.lstrip(RS))
            yield f"line {n}", geojson._tile_of(value)
        except (ValueError, TypeError) as error:
            raise DataError(f"line {n}: {error}") from None


def _tile_text(tile: tuple[int, int, int]) -> str:
    return f"[{tile[0]}, {tile[1]}, {tile[2]}]\n"


def _write_tiles(out: TextIO, tiles) -> None:
    write = out.write
    for x, y, z in tiles:
        write(f"[{x}, {y}, {z}]\n")


def _read_shapes(stream: TextIO) -> list:
    shapes = []
    for where, value in _json_texts(stream):
        try:
            shapes.extend(geojson.shapes(value))
        except (ValueError, TypeError) as error:
            raise DataError(f"{where}: {error}") from None
    return shapes


def cover(args, stream: TextIO, out: TextIO) -> None:
    _write_tiles(out, _tiles._cover(_read_shapes(stream), args.zoom))


def _box_of(value: object) -> tuple[float, float, float, float]:
    if isinstance(value, list) and len(value) == 4:
        return tuple(value)  # type: ignore[return-value]
    if isinstance(value, dict) and isinstance(value.get("bbox"), list) and len(value["bbox"]) == 4:
        return tuple(value["bbox"])  # type: ignore[return-value]
    shapes = geojson.shapes(value)
    lons = [v for _, positions, _ in shapes for v in positions[0::2]]
    lats = [v for _, positions, _ in shapes for v in positions[1::2]]
    if not lons:
        raise ValueError("an empty geometry has no box")
    return min(lons), min(lats), max(lons), max(lats)


def tiles(args, stream: TextIO, out: TextIO) -> None:
    for where, value in _json_texts(stream):
        try:
            boxes = _tiles.tiles(*_box_of(value), args.zoom)
        except (ValueError, TypeError) as error:
            raise DataError(f"{where}: {error}") from None
        _write_tiles(out, boxes)


def shapes(args, stream: TextIO, out: TextIO) -> None:
    prefix = RS if args.seq else ""
    for _, tile in _tile_lines(stream):
        out.write(prefix + json.dumps(geojson.feature(*tile)) + "\n")


def simplify(args, stream: TextIO, out: TextIO) -> None:
    _write_tiles(out, geojson.simplify(tile for _, tile in _tile_lines(stream)))


def _around(function):
    def command(args, stream: TextIO, out: TextIO) -> None:
        for where, tile in _tile_lines(stream):
            try:
                result = function(*tile, args.zoom)
            except (ValueError, TypeError) as error:
                raise DataError(f"{where}: {error}") from None
            _write_tiles(out, [result] if isinstance(result, tuple) else result)
    return command


def quadkey(args, stream: TextIO, out: TextIO) -> None:
    for n, line in enumerate(stream, 1):
        text = line.strip().lstrip(RS)
        if not text:
            continue
        try:
            if text.startswith("["):
                out.write(_tiles.quadkey(*geojson._tile_of(json.loads(text))) + "\n")
            else:
                out.write(_tile_text(_tiles.quadkey_to_tile(text)))
        except (ValueError, TypeError) as error:
            raise DataError(f"line {n}: {error}") from None


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="quorlin-tiles", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    def command(name: str, function, summary: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.set_defaults(run=function)
        return sub

    sub = command("cover", cover, "The tiles that GeoJSON geometries, features or collections touch, "
                  "each once, as [x, y, z] lines.")
    sub.add_argument("zoom", nargs="+", type=_zoom, help="zoom levels, 0 to 32")
    sub = command("tiles", tiles, "The tiles of boxes: [west, south, east, north] arrays, or GeoJSON "
                  "(its bbox, or the box of its positions).")
    sub.add_argument("zoom", nargs="+", type=_zoom, help="zoom levels, 0 to 32")
    sub = command("shapes", shapes, "Each [x, y, z] line as a GeoJSON Feature of the tile's float32 bounds.")
    sub.add_argument("--seq", action="store_true", help="write an RFC 8142 sequence (RS before each text)")
    command("simplify", simplify, "The fewest tiles covering the same area as the [x, y, z] lines.")
    sub = command("parent", _around(_tiles.parent), "The parent of each [x, y, z] line.")
    sub.add_argument("--zoom", type=_zoom, default=None, help="the ancestor's zoom (default: one up)")
    sub = command("children", _around(_tiles.children), "The children of each [x, y, z] line.")
    sub.add_argument("--zoom", type=_zoom, default=None, help="the descendants' zoom (default: one down)")
    command("quadkey", quadkey, "[x, y, z] lines to quadkeys, and quadkey lines to [x, y, z].")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        args.run(args, sys.stdin, sys.stdout)
        sys.stdout.flush()
    except DataError as error:
        sys.stderr.write(f"quorlin-tiles {args.command}: {error}\n")
        return 1
    except (ValueError, TypeError) as error:
        sys.stderr.write(f"quorlin-tiles {args.command}: {error}\n")
        return 1
    except BrokenPipeError:
        # The reader stopped (head): not an error. Point stdout at devnull so
        # that the interpreter's last flush is quiet too.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
