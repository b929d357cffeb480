// Conversion of arguments and results around the arithmetic, and the
// function bodies made from each function's description.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "../geodesy/geodesy.hpp"
#include "arguments.hpp"
#include "call_entry.hpp"
#include "call_scope.hpp"
#include "error_value.hpp"
#include "module_init.hpp"
#include "python.hpp"

namespace quorlin {

// The argument conversions are inline so that each function body has them
// in place.

// float(object) narrowed to single precision (round to nearest even;
// overflow gives infinities, NaN stays NaN). Never fails once the
// interpreter has a double.
inline Result<float> to_float32(PyObject *object)
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

// operator.index(object) as an unsigned 64-bit integer.
inline Result<std::uint64_t> to_uint64(PyObject *object)
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

// As to_uint64, then OverflowError past 2^32 - 1.
inline Result<std::uint32_t> to_uint32(PyObject *object)
{
    Result<std::uint64_t> wide = to_uint64(object);
    if (!wide.ok()) [[unlikely]]
        return wide.take_error();
    if (wide.value() > UINT32_MAX) [[unlikely]]
        return overflow_error(
            "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(wide.value());
}

// A conversion error that is exactly TypeError gains the parameter's name:
// "argument '<name>': <message>". Anything else passes unchanged.
ErrorValue annotate_argument_error(std::string_view parameter_name,
                                   ErrorValue error);

PyObject *float32_to_python(float value);
PyObject *lonlat_to_tuple(LonLat value);
PyObject *bounds_to_tuple(TileBounds value);

// ---- function bodies -------------------------------------------------------

// operator.index(object) as a signed 64-bit integer; values beyond the
// range saturate to INT64_MIN or INT64_MAX, for the caller's range check
// to refuse.
inline Result<std::int64_t> to_int64(PyObject *object)
{
    PyObject *index = nullptr;
    if (!PyLong_CheckExact(object)) {
        index = PyNumber_Index(object);
        if (index == nullptr)
            return fetch_pending();
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(
        index != nullptr ? index : object, &overflow);
    if (index != nullptr)
        release_ref(index);
    if (value == -1 && overflow == 0) [[unlikely]] {
        ErrorValue error = take_pending();
        if (error)
            return error;
    }
    if (overflow != 0)
        return overflow > 0 ? INT64_MAX : INT64_MIN;
    return std::int64_t{value};
}

// One module function, described once: its Python name, its parameters in
// order, and its computation, whose parameter types say what each argument
// is converted to (float: to_float32; std::uint32_t: to_uint32;
// std::int64_t: to_int64; PyObject *: the object itself, borrowed). There
// are exactly as many names as types: a missing or extra name does not
// compile. The first `required` parameters must be given; a parameter after
// them that is not given reaches the computation as a null PyObject *.
template <class Returns, class... Params>
struct FunctionDescription {
    constexpr FunctionDescription(
        std::string_view python_name,
        std::array<ParameterName, sizeof...(Params)> parameter_names,
        Returns (*computation)(Params...),
        std::size_t required_count = sizeof...(Params))
        : name(python_name), parameters(parameter_names),
          required(required_count), compute(computation)
    {
    }

    std::string_view name;  // a string literal, so NUL-terminated
    std::array<ParameterName, sizeof...(Params)> parameters;
    std::size_t required;
    // The arithmetic on the converted values, and the result as a new
    // reference (PyObject *), or the result or an error (Result).
    Returns (*compute)(Params...);
};

// The types come from the computation (written `+[](float lon, ...)`, a
// plain function).
template <class Returns, class... Params>
FunctionDescription(std::string_view, auto, Returns (*)(Params...))
    -> FunctionDescription<Returns, Params...>;
template <class Returns, class... Params>
FunctionDescription(std::string_view, auto, Returns (*)(Params...),
                    std::size_t) -> FunctionDescription<Returns, Params...>;

namespace detail {

inline Result<float> convert(PyObject *object, float *)
{
    return to_float32(object);
}
inline Result<std::uint32_t> convert(PyObject *object, std::uint32_t *)
{
    return to_uint32(object);
}
inline Result<std::int64_t> convert(PyObject *object, std::int64_t *)
{
    return to_int64(object);
}
inline Result<PyObject *> convert(PyObject *object, PyObject **)
{
    return object;
}

}  // namespace detail

// The body of the function `Function` describes: binds the arguments,
// converts them first to last (stopping at the first failure), then runs
// the computation on the native values.
template <const auto &Function>
Result<PyObject *> function_body(PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames)
{
    // Every parameter is positional-or-keyword; the first `required` must
    // be given.
    static constexpr ArgumentTable table{
        {}, Function.name, Function.parameters, 0, Function.required, {}};
    // The lambda's argument only names the parameter types.
    return [&]<class Returns, class... Params>(
               Returns (*)(Params...)) -> Result<PyObject *> {
        // Binding fills one slot per parameter of the table.
        static_assert(table.slot_count() == sizeof...(Params));
        std::array<PyObject *, sizeof...(Params)> slots{};
        if (ErrorValue error = bind_arguments(table, args, nargs, kwnames,
                                              slots.data(), slots.size()))
            return error;

        std::tuple<Params...> values;
        ErrorValue error;
        // Indices known at compile time: an optional parameter's test
        // is only there for the optional ones.
        auto convert_at = [&]<std::size_t I>(
                              std::integral_constant<std::size_t, I>) {
            if constexpr (I >= Function.required) {
                if (slots[I] == nullptr)  // not given
                    return true;
            }
            auto converted = detail::convert(slots[I], &std::get<I>(values));
            if (!converted.ok()) [[unlikely]] {
                error = annotate_argument_error(table.parameter_names[I],
                                                converted.take_error());
                return false;
            }
            std::get<I>(values) = converted.value();
            return true;
        };
        bool converted = [&]<std::size_t... I>(std::index_sequence<I...>)
        {
            return (convert_at(std::integral_constant<std::size_t, I>{}) &&
                    ...);
        }
        (std::index_sequence_for<Params...>{});
        if (!converted) [[unlikely]]
            return error;
        // The constant pointer, so that the computation is inlined here.
        return std::apply(Function.compute, values);
    }(Function.compute);
}

// The interpreter's record of a function, with its name and doc stored
// with their NUL, as the interpreter reads them.
inline constexpr std::string_view EMPTY_DOC{"", 1};

template <const auto &Function>
FunctionRecord function_record()
{
    constexpr std::string_view name(Function.name.data(),
                                    Function.name.size() + 1);
    constexpr FastCallEntry entry = call_entry<function_body<Function>>;
    return {name, entry, FASTCALL_WITH_KEYWORDS, EMPTY_DOC,
            PyMethodDef{name.data(),
                        reinterpret_cast<PyCFunction>(
                            reinterpret_cast<void (*)()>(entry)),
                        FASTCALL_WITH_KEYWORDS, EMPTY_DOC.data()}};
}

}  // namespace quorlin
