#include "cover.hpp"

#include <algorithm>
#include <cmath>

namespace quorlin {

namespace {

// ---- exact sign of (x0 - w) d + (y - y0) e
// ---------------------------------------------------------------
// Where a segment crosses latitude y, is it east or west of the float32
// edge w? The inputs are float32, so the differences are exact as sums of
// two doubles and the products as sums of two more (Dekker): the sign of
// the sum of the sixteen parts is the exact answer. Doubles decide first;
// the exact sum runs only where they cannot.

struct Pair {
    double high, low;
};

// The arithmetic below is in double on purpose: exact or error-bounded
// tests on float32 coordinates.
constexpr double wide(float v) noexcept
{
    return static_cast<double>(v);
}

Pair two_difference(double a, double b) noexcept
{
    const double s = a - b;
    const double b_virtual = a - s;
    const double a_virtual = s + b_virtual;
    return {s, (a - a_virtual) + (b_virtual - b)};
}

Pair split(double a) noexcept
{
    const double c = 134217729.0 * a;  // 2^27 + 1
    const double big = c - a;
    const double high = c - big;
    return {high, a - high};
}

Pair two_product(double a, double b) noexcept
{
    const double p = a * b;
    const Pair as = split(a), bs = split(b);
    const double e1 = p - as.high * bs.high;
    const double e2 = e1 - as.low * bs.high;
    const double e3 = e2 - as.high * bs.low;
    return {p, as.low * bs.low - e3};
}

// The sign of the exact sum of `terms`, kept as a non-overlapping
// expansion (Shewchuk): its largest nonzero component has the sign.
int sign_of_sum(const double *terms, int count) noexcept
{
    double expansion[32];
    int length = 0;
    for (int t = 0; t < count; ++t) {
        double q = terms[t];
        for (int i = 0; i < length; ++i) {
            const double s = q + expansion[i];
            const double b_virtual = s - q;
            const double a_virtual = s - b_virtual;
            expansion[i] = (q - a_virtual) + (expansion[i] - b_virtual);
            q = s;
        }
        expansion[length++] = q;
    }
    for (int i = length - 1; i >= 0; --i)
        if (expansion[i] != 0.0)
            return expansion[i] > 0.0 ? 1 : -1;
    return 0;
}

// sign((a0 - a1)(b0 - b1) + (c0 - c1)(d0 - d1)) for float32 inputs.
int sign_of_products(float a0, float a1, float b0, float b1, float c0,
                     float c1, float d0, float d1) noexcept
{
    const double a = wide(a0) - wide(a1), b = wide(b0) - wide(b1),
                 c = wide(c0) - wide(c1), d = wide(d0) - wide(d1);
    const double ab = a * b, cd = c * d;
    const double value = ab + cd;
    // Four roundings in the differences, two in the products, one in the
    // sum: far under 2^-49 of the magnitudes.
    const double bound = (std::fabs(ab) + std::fabs(cd)) * 0x1p-49;
    if (value > bound)
        return 1;
    if (value < -bound)
        return -1;
    const Pair pa = two_difference(wide(a0), wide(a1)),
               pb = two_difference(wide(b0), wide(b1)),
               pc = two_difference(wide(c0), wide(c1)),
               pd = two_difference(wide(d0), wide(d1));
    double terms[16];
    int n = 0;
    for (const double x : {pa.high, pa.low})
        for (const double y : {pb.high, pb.low}) {
            const Pair p = two_product(x, y);
            terms[n++] = p.low;
            terms[n++] = p.high;
        }
    for (const double x : {pc.high, pc.low})
        for (const double y : {pd.high, pd.low}) {
            const Pair p = two_product(x, y);
            terms[n++] = p.low;
            terms[n++] = p.high;
        }
    return sign_of_sum(terms, n);
}

struct Segment {
    float x0, y0, x1, y1;
};

// sign(x(y) - w), x(y) the longitude where the segment (not horizontal)
// reaches latitude y: (x0 - w)(y1 - y0) + (y - y0)(x1 - x0) has the sign of
// (x(y) - w)(y1 - y0).
int side(const Segment &s, float y, float w) noexcept
{
    const int sign =
        sign_of_products(s.x0, w, s.y1, s.y0, y, s.y0, s.x1, s.x0);
    return s.y1 > s.y0 ? sign : -sign;
}

double longitude_at(const Segment &s, double y) noexcept
{
    const double x0 = wide(s.x0), y0 = wide(s.y0), x1 = wide(s.x1),
                 y1 = wide(s.y1);
    return x0 + (y - y0) / (y1 - y0) * (x1 - x0);
}

}  // namespace

GeometryCover::GeometryCover(const std::vector<Shape> &shapes)
{
    for (std::uint32_t index = 0; index < shapes.size(); ++index) {
        const Shape &shape = shapes[index];
        const auto &p = shape.positions;
        if (p.empty())
            continue;
        ShapeRange range{p[0].lat, p[0].lat};
        for (const Position &q : p) {
            range.south = std::min(range.south, q.lat);
            range.north = std::max(range.north, q.lat);
        }
        ranges_.push_back(range);
        const auto shape_id = static_cast<std::uint32_t>(ranges_.size() - 1);
        const auto add_segment = [&](const Position &a, const Position &b,
                                     ShapeKind kind) {
            elements_.push_back(
                {a.lon, a.lat, b.lon, b.lat, shape_id, kind, 0, 0});
        };
        switch (shape.kind) {
        case ShapeKind::points:
            for (const Position &q : p)
                add_segment(q, q, ShapeKind::points);
            break;
        case ShapeKind::line:
            for (std::size_t i = 0; i + 1 < p.size(); ++i)
                add_segment(p[i], p[i + 1], ShapeKind::line);
            break;
        case ShapeKind::polygon: {
            std::uint32_t start = 0;
            for (const std::uint32_t end : shape.ring_ends) {
                for (std::uint32_t i = start; i + 1 < end; ++i)
                    add_segment(p[i], p[i + 1], ShapeKind::polygon);
                start = end;
            }
            break;
        }
        }
    }
}

void GeometryCover::begin(std::uint32_t z)
{
    z_ = z;
    scale_ = tile_scale(z);
    const auto clamp = [](float lat) {
        return std::clamp(lat, MAP_SOUTH_EDGE, MAP_NORTH_EDGE);
    };
    for (Element &e : elements_) {
        e.top = row_of(clamp(std::max(e.y0, e.y1)), z);
        e.bottom = row_of(clamp(std::min(e.y0, e.y1)), z);
    }
    std::stable_sort(
        elements_.begin(), elements_.end(),
        [](const Element &a, const Element &b) { return a.top < b.top; });
    sky_row_ = row_of(MAP_NORTH_EDGE, z);
    next_element_ = 0;
    active_.clear();
    row_ = 0;
}

bool GeometryCover::empty_column(std::uint32_t x) const noexcept
{
    const std::uint64_t last = (std::uint64_t{1} << z_) - 1;
    return x < last &&
           edge_longitude(x, scale_) == edge_longitude(x + 1ull, scale_);
}

bool GeometryCover::next_row(std::uint32_t &row, std::vector<ColumnRun> &runs)
{
    for (;;) {
        if (active_.empty()) {
            if (next_element_ == elements_.size())
                return false;
            row_ = std::max<std::uint64_t>(row_, elements_[next_element_].top);
        }
        while (next_element_ < elements_.size() &&
               elements_[next_element_].top <= row_)
            active_.push_back(static_cast<std::uint32_t>(next_element_++));
        const auto current = static_cast<std::uint32_t>(row_);
        found_.clear();
        row_columns(current);
        std::erase_if(active_, [&](std::uint32_t i) {
            return elements_[i].bottom <= current;
        });
        ++row_;
        if (found_.empty())
            continue;
        std::sort(found_.begin(), found_.end(),
                  [](const ColumnRun &a, const ColumnRun &b) {
                      return a.first < b.first;
                  });
        runs.clear();
        for (const ColumnRun &run : found_) {
            if (!runs.empty() && std::uint64_t{run.first} <=
                                     std::uint64_t{runs.back().last} + 1)
                runs.back().last = std::max(runs.back().last, run.last);
            else
                runs.push_back(run);
        }
        row = current;
        return true;
    }
}

void GeometryCover::add(std::int64_t first, std::int64_t last)
{
    if (first <= last && last >= 0)
        found_.push_back(
            {static_cast<std::uint32_t>(std::max<std::int64_t>(first, 0)),
             static_cast<std::uint32_t>(last)});
}

namespace {

// Column helpers at one zoom. Column c spans [west(c), west(c + 1)); the
// last also holds 180.
struct Columns {
    std::uint32_t z;
    TileScale scale;
    std::uint64_t last;

    float west(std::uint64_t c) const noexcept
    {
        return edge_longitude(c, scale);
    }
    std::uint64_t guess(double lon) const noexcept
    {
        const double g = (lon + 180.0) * (1.0 / 360.0) *
                         static_cast<double>(std::uint64_t{1} << z);
        if (!(g > 0.0))
            return 0;
        return g >= static_cast<double>(last) ? last
                                              : static_cast<std::uint64_t>(g);
    }
    // The last column whose west edge is <= lon (< lon when exclusive), or
    // -1 where there is none.
    std::int64_t of(float lon, bool exclusive) const noexcept
    {
        if (exclusive && !(lon > -180.0f))
            return -1;
        return column_of(lon, z, exclusive);
    }
    template <class Reaches>
    std::int64_t search(double estimate, Reaches reaches) const noexcept
    {
        if (!reaches(0))
            return -1;
        return static_cast<std::int64_t>(
            last_reaching(guess(estimate), last, reaches));
    }
    // The same for the longitude where segment s reaches latitude y.
    std::int64_t at(const Segment &s, float y, bool exclusive) const noexcept
    {
        if (y == s.y0)
            return of(s.x0, exclusive);
        if (y == s.y1)
            return of(s.x1, exclusive);
        return search(longitude_at(s, wide(y)), [&](std::uint64_t c) {
            const int sign = side(s, y, west(c));
            return exclusive ? sign > 0 : sign >= 0;
        });
    }
    // The last column whose west edge is <= lon, for a double.
    std::int64_t of_double(double lon) const noexcept
    {
        return search(lon, [&](std::uint64_t c) {
            return static_cast<double>(west(c)) <= lon;
        });
    }
    double middle(std::uint64_t c) const noexcept
    {
        return 0.5 * (static_cast<double>(west(c)) +
                      static_cast<double>(west(c + 1)));
    }
};

}  // namespace

void GeometryCover::row_columns(std::uint32_t r)
{
    const std::uint64_t last = (std::uint64_t{1} << z_) - 1;
    // The row that owns the map's north edge reaches to the pole (above it,
    // at high zooms, rows of no height); the last row reaches to the south
    // pole.
    const bool hi_sky = r == sky_row_;
    const bool lo_sky = r == last;
    const float hi = edge_latitude_degrees(r, scale_);
    const float lo = edge_latitude_degrees(r + 1ull, scale_);
    if (!hi_sky && !lo_sky && !(lo < hi))
        return;
    const Columns columns{z_, scale_, last};
    crossings_.clear();
    for (const std::uint32_t index : active_) {
        const Element &e = elements_[index];
        const Segment s{e.x0, e.y0, e.x1, e.y1};
        switch (e.kind) {
        case ShapeKind::points:
            if (e.top == r) {
                const std::int64_t c = columns.of(e.x0, false);
                add(c, c);
            }
            break;
        case ShapeKind::line:
            line_columns(e, lo, hi, lo_sky, hi_sky);
            break;
        case ShapeKind::polygon: {
            edge_columns(e, lo, hi, lo_sky, hi_sky);
            // Where the row's interior is, away from the edges: the
            // crossings of one latitude inside the row.
            const ShapeRange &range = ranges_[e.shape];
            const double south =
                wide(lo_sky ? range.south : std::max(lo, range.south));
            const double north =
                wide(hi_sky ? range.north : std::min(hi, range.north));
            if (!(south < north))
                break;
            const double y = 0.5 * (south + north);
            if ((wide(e.y0) > y) != (wide(e.y1) > y))
                crossings_.push_back({e.shape, longitude_at(s, y)});
            break;
        }
        }
    }
    if (crossings_.empty())
        return;
    std::sort(crossings_.begin(), crossings_.end(),
              [](const Crossing &a, const Crossing &b) {
                  return a.shape != b.shape ? a.shape < b.shape : a.x < b.x;
              });
    // Between a crossing and the next of the same shape, alternately inside
    // and outside. A tile no edge enters is all inside or all outside, and
    // its middle is far (half a tile) from every crossing, so doubles
    // place it.
    for (std::size_t i = 0; i + 1 < crossings_.size();) {
        if (crossings_[i].shape != crossings_[i + 1].shape) {
            ++i;
            continue;
        }
        const double west = crossings_[i].x, east = crossings_[i + 1].x;
        std::int64_t first = columns.of_double(west);
        if (first < 0)
            first = 0;
        else if (columns.middle(static_cast<std::uint64_t>(first)) <= west)
            ++first;
        std::int64_t final = columns.of_double(east);
        if (final >= 0 &&
            columns.middle(static_cast<std::uint64_t>(final)) >= east)
            --final;
        add(first, final);
        i += 2;
    }
}

// A line takes the columns of its points within the row's latitudes
// (lo, hi]: the end at lo is open, the one at hi closed.
void GeometryCover::line_columns(const Element &e, float lo, float hi,
                                 bool lo_sky, bool hi_sky)
{
    const Columns columns{z_, scale_, (std::uint64_t{1} << z_) - 1};
    const float south = std::min(e.y0, e.y1), north = std::max(e.y0, e.y1);
    if ((!lo_sky && north <= lo) || (!hi_sky && south > hi))
        return;
    if (e.y0 == e.y1) {
        add(columns.of(std::min(e.x0, e.x1), false),
            columns.of(std::max(e.x0, e.x1), false));
        return;
    }
    if (e.x0 == e.x1) {
        const std::int64_t c = columns.of(e.x0, false);
        add(c, c);
        return;
    }
    const Segment s{e.x0, e.y0, e.x1, e.y1};
    const bool first_lower = e.y0 < e.y1;
    const float lower_x = first_lower ? e.x0 : e.x1;
    const float upper_x = first_lower ? e.x1 : e.x0;
    const bool low_cut = !lo_sky && south <= lo;  // open, at lo
    const bool high_cut = !hi_sky && north > hi;  // closed, at hi
    const auto low_end = [&](bool exclusive) {
        return low_cut ? columns.at(s, lo, exclusive)
                       : columns.of(lower_x, false);
    };
    const auto high_end = [&] {
        return high_cut ? columns.at(s, hi, false)
                        : columns.of(upper_x, false);
    };
    if (lower_x < upper_x)
        add(low_end(false), high_end());
    else
        add(high_end(), low_end(true));
}

// A polygon's edge takes the columns whose open boxes it passes through
// within the open row lo < lat < hi.
void GeometryCover::edge_columns(const Element &e, float lo, float hi,
                                 bool lo_sky, bool hi_sky)
{
    const Columns columns{z_, scale_, (std::uint64_t{1} << z_) - 1};
    const float west = std::min(e.x0, e.x1), east = std::max(e.x0, e.x1);
    if (e.y0 == e.y1) {
        if ((lo_sky || e.y0 > lo) && (hi_sky || e.y0 < hi) && west < east)
            add(columns.of(west, false), columns.of(east, true));
        return;
    }
    const float south = std::min(e.y0, e.y1), north = std::max(e.y0, e.y1);
    if ((!lo_sky && north <= lo) || (!hi_sky && south >= hi))
        return;
    if (west == east) {
        add(columns.of(west, false), columns.of(west, true));
        return;
    }
    const Segment s{e.x0, e.y0, e.x1, e.y1};
    const bool first_lower = e.y0 < e.y1;
    const float lower_x = first_lower ? e.x0 : e.x1;
    const float upper_x = first_lower ? e.x1 : e.x0;
    const bool low_cut = !lo_sky && south < lo;
    const bool high_cut = !hi_sky && north > hi;
    const auto low_end = [&](bool exclusive) {
        return low_cut ? columns.at(s, lo, exclusive)
                       : columns.of(lower_x, exclusive);
    };
    const auto high_end = [&](bool exclusive) {
        return high_cut ? columns.at(s, hi, exclusive)
                        : columns.of(upper_x, exclusive);
    };
    if (lower_x < upper_x)
        add(low_end(false), high_end(true));
    else
        add(high_end(false), low_end(true));
}

}  // namespace quorlin
