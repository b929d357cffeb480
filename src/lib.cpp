// quorlin: great-circle distances and Web Mercator tile geometry in single
// precision. This file holds the module's function table and definition;
// the entries, binding and conversions live in binding/, the arithmetic in
// geodesy/.
#include <array>

#include "binding/call_entry.hpp"
#include "binding/functions.hpp"
#include "binding/module_init.hpp"
#include "binding/python.hpp"

namespace quorlin {

namespace {

// The module's functions, one row each: Python name, parameters, and the
// computation, whose parameter types say how each argument is converted.
constexpr FunctionDescription GREAT_CIRCLE_DISTANCE_WITH_RADIUS{
    "great_circle_distance_with_radius",
    {"lon1", "lat1", "lon2", "lat2", "radius"},
    +[](float lon1, float lat1, float lon2, float lat2, float radius) {
        return float32_to_python(
            great_circle_distance_with_radius(lon1, lat1, lon2, lat2, radius));
    }};
constexpr FunctionDescription GREAT_CIRCLE_DISTANCE{
    "great_circle_distance",
    {"lon1", "lat1", "lon2", "lat2"},
    +[](float lon1, float lat1, float lon2, float lat2) {
        return float32_to_python(
            great_circle_distance(lon1, lat1, lon2, lat2));
    }};
constexpr FunctionDescription WM_BOUNDS{
    "wm_bounds",
    {"x", "y", "z"},
    +[](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
        return bounds_to_tuple(wm_bounds(x, y, z));
    }};
constexpr FunctionDescription WM_UPPER_LEFT{
    "wm_upper_left",
    {"x", "y", "z"},
    +[](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
        return lonlat_to_tuple(wm_upper_left(x, y, z));
    }};
constexpr FunctionDescription WM_TILE_EXPANDED_BBOX{
    "wm_tile_expanded_bbox",
    {"x", "y", "z", "expansion_meters"},
    +[](std::uint32_t x, std::uint32_t y, std::uint32_t z,
        float expansion_meters) {
        return bounds_to_tuple(
            wm_tile_expanded_bbox(x, y, z, expansion_meters));
    }};

// Created and listed in __all__ in this order.
std::array<FunctionRecord, 5> function_table = {
    function_record<GREAT_CIRCLE_DISTANCE_WITH_RADIUS>(),
    function_record<GREAT_CIRCLE_DISTANCE>(),
    function_record<WM_BOUNDS>(),
    function_record<WM_UPPER_LEFT>(),
    function_record<WM_TILE_EXPANDED_BBOX>(),
};

// Written by the interpreter on first use and referred to for the life of
// the process, so it stays in static, writable storage.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorlin",
    "",       // m_doc: the empty text, so __doc__ is "" rather than None
    0,        // m_size
    nullptr,  // m_methods: functions are added by populate_module
    nullptr,  // m_slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

std::span<FunctionRecord> MODULE_FUNCTIONS = function_table;

}  // namespace quorlin

// The module's only exported symbol. Every call builds a new, independent
// module.
PyMODINIT_FUNC PyInit_quorlin(void)
{
    return quorlin::run_call(
        [] { return quorlin::build_module(&quorlin::module_definition); });
}
