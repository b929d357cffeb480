#include "functions.hpp"

#include <array>
#include <string>
#include <tuple>

#include "call_scope.hpp"

namespace quorlin {

// ---- argument tables --------------------------------------------------------

namespace {

constexpr ParameterName DISTANCE_WITH_RADIUS_PARAMS[] = {
    "lon1", "lat1", "lon2", "lat2", "radius"};
constexpr ParameterName DISTANCE_PARAMS[] = {"lon1", "lat1", "lon2",
                                                "lat2"};
constexpr ParameterName TILE_PARAMS[] = {"x", "y", "z"};
constexpr ParameterName EXPANDED_BBOX_PARAMS[] = {"x", "y", "z",
                                                     "expansion_meters"};

constexpr ArgumentTable module_function(
    std::string_view name, std::span<const ParameterName> parameters)
{
    // Every parameter is positional-or-keyword and required.
    return {{}, name, parameters, 0, parameters.size(), {}};
}

}  // namespace

const ArgumentTable GREAT_CIRCLE_DISTANCE_WITH_RADIUS_ARGS = module_function(
    "great_circle_distance_with_radius", DISTANCE_WITH_RADIUS_PARAMS);
const ArgumentTable GREAT_CIRCLE_DISTANCE_ARGS =
    module_function("great_circle_distance", DISTANCE_PARAMS);
const ArgumentTable WM_UPPER_LEFT_ARGS =
    module_function("wm_upper_left", TILE_PARAMS);
const ArgumentTable WM_BOUNDS_ARGS = module_function("wm_bounds", TILE_PARAMS);
const ArgumentTable WM_TILE_EXPANDED_BBOX_ARGS =
    module_function("wm_tile_expanded_bbox", EXPANDED_BBOX_PARAMS);

// ---- argument conversion ----------------------------------------------------

Result<float> to_float32(PyObject *object)
{
    double value;
    if (PyFloat_CheckExact(object)) [[likely]] {
        value = float_value(object);
    } else {
        value = PyFloat_AsDouble(object);
        // -1.0 is also a genuine value: only a pending error says it failed.
        if (value == -1.0) {
            ErrorValue error = take_pending();
            if (error)
                return error;
        }
    }
    // Round to nearest even; out-of-range values become infinities.
    return static_cast<float>(value);
}

Result<std::uint64_t> to_uint64(PyObject *object)
{
    // An exact int is its own index; anything else goes through __index__.
    PyObject *index = nullptr;
    if (!PyLong_CheckExact(object)) {
        index = PyNumber_Index(object);
        if (index == nullptr)
            return fetch_pending();
    }
    unsigned long long value =
        PyLong_AsUnsignedLongLong(index != nullptr ? index : object);
    if (index != nullptr)
        release_ref(index);
    // All ones is either 2^64 - 1 or the error marker.
    if (value == static_cast<unsigned long long>(-1)) [[unlikely]] {
        ErrorValue error = take_pending();
        if (error)
            return error;
    }
    return std::uint64_t{value};
}

Result<std::uint32_t> to_uint32(PyObject *object)
{
    Result<std::uint64_t> wide = to_uint64(object);
    if (!wide.ok()) [[unlikely]]
        return wide.take_error();
    if (wide.value() > UINT32_MAX) [[unlikely]]
        return overflow_error("out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(wide.value());
}

ErrorValue annotate_argument_error(std::string_view parameter_name,
                                   ErrorValue error)
{
    // Exactly TypeError: subclasses keep their own message.
    if (error.exception_type() != PyExc_TypeError)
        return error;
    Result<std::string> text = lossy_text(error.normalized().value);
    if (!text.ok())
        return text.take_error();
    std::string message = "argument '";
    message.append(parameter_name);
    message += "': ";
    message += text.value();
    ErrorValue annotated = type_error(message);
    // The cause carries over; the replaced exception is not chained.
    annotated.set_cause(error.cause());
    return annotated;
}

// ---- result conversion --------------------------------------------------------

PyObject *float32_to_python(float value)
{
    // Widening is exact: the caller sees the float32 value itself.
    PyObject *number =
        register_owned(PyFloat_FromDouble(static_cast<double>(value)));
    Py_INCREF(number);
    return number;
}

namespace {

// Releases a partly filled tuple if making an item fails.
class TupleUnderConstruction {
public:
    explicit TupleUnderConstruction(Py_ssize_t size) : tuple_(PyTuple_New(size))
    {
        if (tuple_ == nullptr)
            api_call_failed();
    }
    ~TupleUnderConstruction()
    {
        if (tuple_ != nullptr)
            release_ref(tuple_);
    }
    void set(Py_ssize_t index, float value)
    {
        // A fresh tuple: the item's reference is stolen.
        fill_tuple(tuple_, index, float32_to_python(value));
    }
    PyObject *finish() noexcept { return std::exchange(tuple_, nullptr); }

private:
    PyObject *tuple_;
};

}  // namespace

PyObject *lonlat_to_tuple(LonLat value)
{
    TupleUnderConstruction tuple(2);
    tuple.set(0, value.lon);
    tuple.set(1, value.lat);
    return tuple.finish();
}

PyObject *bounds_to_tuple(TileBounds value)
{
    TupleUnderConstruction tuple(4);
    tuple.set(0, value.west);
    tuple.set(1, value.south);
    tuple.set(2, value.east);
    tuple.set(3, value.north);
    return tuple.finish();
}

// ---- function bodies ----------------------------------------------------------

namespace {

Result<float> convert(PyObject *object, float *) { return to_float32(object); }
Result<std::uint32_t> convert(PyObject *object, std::uint32_t *)
{
    return to_uint32(object);
}

// Binds the arguments, converts them first to last (stopping at the first
// failure), then hands the native values to `compute`.
template <class... Params, class Compute>
Result<PyObject *> run_body(const ArgumentTable &table, PyObject *const *args,
                            Py_ssize_t nargs, PyObject *kwnames,
                            Compute compute)
{
    constexpr std::size_t count = sizeof...(Params);
    std::array<PyObject *, count> slots{};
    if (ErrorValue error =
            bind_arguments(table, args, nargs, kwnames, slots.data(), count))
        return error;

    std::tuple<Params...> values;
    ErrorValue error;
    std::size_t index = 0;
    auto convert_next = [&](auto &value) {
        auto converted = convert(slots[index], &value);
        if (!converted.ok()) [[unlikely]] {
            error = annotate_argument_error(table.parameter_names[index],
                                            converted.take_error());
            return false;
        }
        value = converted.value();
        ++index;
        return true;
    };
    bool converted = std::apply(
        [&](auto &...value) { return (convert_next(value) && ...); }, values);
    if (!converted) [[unlikely]]
        return error;
    return std::apply(compute, values);
}

}  // namespace

Result<PyObject *> great_circle_distance_with_radius_body(PyObject *const *args,
                                                          Py_ssize_t nargs,
                                                          PyObject *kwnames)
{
    return run_body<float, float, float, float, float>(
        GREAT_CIRCLE_DISTANCE_WITH_RADIUS_ARGS, args, nargs, kwnames,
        [](float lon1, float lat1, float lon2, float lat2, float radius) {
            return float32_to_python(great_circle_distance_with_radius(
                lon1, lat1, lon2, lat2, radius));
        });
}

Result<PyObject *> great_circle_distance_body(PyObject *const *args,
                                              Py_ssize_t nargs,
                                              PyObject *kwnames)
{
    return run_body<float, float, float, float>(
        GREAT_CIRCLE_DISTANCE_ARGS, args, nargs, kwnames,
        [](float lon1, float lat1, float lon2, float lat2) {
            return float32_to_python(
                great_circle_distance(lon1, lat1, lon2, lat2));
        });
}

Result<PyObject *> wm_upper_left_body(PyObject *const *args, Py_ssize_t nargs,
                                      PyObject *kwnames)
{
    return run_body<std::uint32_t, std::uint32_t, std::uint32_t>(
        WM_UPPER_LEFT_ARGS, args, nargs, kwnames,
        [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
            return lonlat_to_tuple(wm_upper_left(x, y, z));
        });
}

Result<PyObject *> wm_bounds_body(PyObject *const *args, Py_ssize_t nargs,
                                  PyObject *kwnames)
{
    return run_body<std::uint32_t, std::uint32_t, std::uint32_t>(
        WM_BOUNDS_ARGS, args, nargs, kwnames,
        [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
            return bounds_to_tuple(wm_bounds(x, y, z));
        });
}

Result<PyObject *> wm_tile_expanded_bbox_body(PyObject *const *args,
                                              Py_ssize_t nargs,
                                              PyObject *kwnames)
{
    return run_body<std::uint32_t, std::uint32_t, std::uint32_t, float>(
        WM_TILE_EXPANDED_BBOX_ARGS, args, nargs, kwnames,
        [](std::uint32_t x, std::uint32_t y, std::uint32_t z,
           float expansion_meters) {
            return bounds_to_tuple(
                wm_tile_expanded_bbox(x, y, z, expansion_meters));
        });
}

}  // namespace quorlin
