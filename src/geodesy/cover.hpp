// The tiles a geometry touches, exact against the float32 tile edges.
//
// Points and lines take the tiles that own their points (a tile owns its
// west and north edges; tiles.hpp). A polygon takes the tiles whose owned
// area meets its interior: as the interior is open, that is the tiles whose
// open box meets it. Past the map's north and south edges, the edge rows
// reach to the poles. Lines are straight in longitude and latitude.
//
// Work is row by row, north to south, so memory follows the geometry and
// not the number of tiles. Where a tile's edges coincide in float32 (high
// zooms, near the map's edges), the tile owns nothing and no cover holds it.
//
// Nothing here checks its input: coordinates are within [-180, 180] and
// [-90, 90], rings are closed and have four positions or more.
#pragma once

#include <cstdint>
#include <vector>

#include "tiles.hpp"

namespace quorlin {

struct Position {
    float lon, lat;
};

enum class ShapeKind : std::uint8_t { points, line, polygon };

// A polygon's rings follow each other in `positions`; ring_ends[i] is one
// past the last position of ring i. Points and lines use no ring_ends.
struct Shape {
    ShapeKind kind;
    std::vector<Position> positions;
    std::vector<std::uint32_t> ring_ends;
};

// A run of columns, inclusive.
struct ColumnRun {
    std::uint32_t first, last;
};

class GeometryCover {
  public:
    explicit GeometryCover(const std::vector<Shape> &shapes);

    // Starts zoom z from its northernmost row.
    void begin(std::uint32_t z);
    // The next row that holds tiles of the cover, with its columns as
    // sorted, disjoint runs; false when the zoom has no more.
    bool next_row(std::uint32_t &row, std::vector<ColumnRun> &runs);
    // True where column x of zoom z owns nothing (its edges are equal).
    bool empty_column(std::uint32_t x) const noexcept;
    // Whether empty_column can ever hold at this zoom.
    // Whether empty_column can hold at this zoom: below 24, consecutive
    // edges differ by more than a float32 unit of the products that make
    // them, so none is empty.
    bool may_have_empty_columns() const noexcept { return z_ >= 24; }

  private:
    struct Element {
        float x0, y0, x1, y1;
        std::uint32_t shape;
        ShapeKind kind;
        std::uint32_t top, bottom;  // rows at the current zoom
    };
    struct ShapeRange {
        float south, north;
    };
    struct Crossing {
        std::uint32_t shape;
        double x;
    };

    void row_columns(std::uint32_t row);
    void line_columns(const Element &e, float lo, float hi, bool lo_open_sky,
                      bool hi_open_sky);
    void edge_columns(const Element &e, float lo, float hi, bool lo_open_sky,
                      bool hi_open_sky);
    void add(std::int64_t first, std::int64_t last);

    std::vector<Element> elements_;  // sorted by top row for each zoom
    std::vector<ShapeRange> ranges_;
    std::vector<std::uint32_t> active_;
    std::vector<ColumnRun> found_;
    std::vector<Crossing> crossings_;
    std::size_t next_element_ = 0;
    std::uint32_t z_ = 0;
    std::uint64_t row_ = 0;
    std::uint32_t sky_row_ = 0;
    TileScale scale_{};
};

}  // namespace quorlin
