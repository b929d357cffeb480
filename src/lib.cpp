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

using namespace std::string_view_literals;

// Stored with its NUL, as the interpreter reads them.
constexpr std::string_view EMPTY_DOC = "\0"sv;

FunctionRecord function_record(std::string_view name, FastCallEntry entry)
{
    return {name, entry, FASTCALL_WITH_KEYWORDS, EMPTY_DOC,
            PyMethodDef{name.data(), reinterpret_cast<PyCFunction>(
                                         reinterpret_cast<void (*)()>(entry)),
                        FASTCALL_WITH_KEYWORDS, EMPTY_DOC.data()}};
}

std::array<FunctionRecord, 5> function_table = {
    function_record("great_circle_distance_with_radius\0"sv,
                    call_entry<great_circle_distance_with_radius_body>),
    function_record("great_circle_distance\0"sv,
                    call_entry<great_circle_distance_body>),
    function_record("wm_bounds\0"sv, call_entry<wm_bounds_body>),
    function_record("wm_upper_left\0"sv, call_entry<wm_upper_left_body>),
    function_record("wm_tile_expanded_bbox\0"sv,
                    call_entry<wm_tile_expanded_bbox_body>),
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
