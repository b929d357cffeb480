// Building the module object: its functions, their attributes and __all__.
#pragma once

#include <span>
#include <string_view>

#include "error_value.hpp"
#include "python.hpp"

namespace quorlin {

using FastCallEntry = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t,
                                    PyObject *);

// METH_FASTCALL | METH_KEYWORDS.
inline constexpr int FASTCALL_WITH_KEYWORDS = 130;
static_assert(FASTCALL_WITH_KEYWORDS == (METH_FASTCALL | METH_KEYWORDS));

// Static description of one module function. `name` and `doc` are stored
// with their terminating NUL, which their sizes count. `method` is the
// interpreter's record for it, kept for the life of the process, so that
// repeated initialisation allocates nothing that outlives its module.
struct FunctionRecord {
    std::string_view name;
    FastCallEntry entry;
    int flags;
    std::string_view doc;
    PyMethodDef method;
};

// The module's functions, in the order they are created and listed in
// __all__.
extern std::span<FunctionRecord> MODULE_FUNCTIONS;

// A new module from `definition` with its functions added.
Result<PyObject *> build_module(PyModuleDef *definition);
// Adds every function of MODULE_FUNCTIONS, in table order.
ErrorValue populate_module(PyObject *module);
// A function object bound to `module`, held by the current frame.
Result<PyObject *> new_module_function(FunctionRecord &record,
                                       PyObject *module);
// Lists the function's __name__ in __all__, then sets the attribute.
ErrorValue export_function(PyObject *module, PyObject *function);
// The module's __all__, made empty if the module has none.
Result<PyObject *> ensure_all_list(PyObject *module);

}  // namespace quorlin
