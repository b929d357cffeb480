#include "module_init.hpp"

#include <cstring>
#include <string>

#include "arguments.hpp"
#include "call_scope.hpp"

namespace quorlin {

namespace {

// The interpreter's PYTHON_API_VERSION, the same for every 3.x.
constexpr int API_VERSION = 1013;

PyObject *get_value_error()
{
    return PyExc_ValueError;
}

PyObject *new_str(std::string_view text)
{
    return register_owned(PyUnicode_FromStringAndSize(
        text.data(), static_cast<Py_ssize_t>(text.size())));
}

// A stored text as a C string: used in place when its only NUL ends it,
// copied (for the life of the process) when it has none.
Result<const char *> c_string(std::string_view stored, const char *nul_message)
{
    std::size_t nul = stored.find('\0');
    if (nul == std::string_view::npos) {
        char *copy = new char[stored.size() + 1];
        std::memcpy(copy, stored.data(), stored.size());
        copy[stored.size()] = '\0';
        return static_cast<const char *>(copy);
    }
    if (nul + 1 != stored.size())
        return ErrorValue::deferred_type(get_value_error,
                                         ValueBuilder::text(nul_message));
    return stored.data();
}

}  // namespace

Result<PyObject *> build_module(PyModuleDef *definition)
{
    PyObject *module = PyModule_Create2(definition, API_VERSION);
    if (module == nullptr)
        return fetch_pending();
#ifdef Py_GIL_DISABLED
    // Safe without the interpreter lock: the rules in call_scope.cpp.
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        release_ref(module);
        return fetch_pending();
    }
#endif
    if (ErrorValue error = populate_module(module)) {
        // Functions already attached go with the module.
        release_ref(module);
        return error;
    }
    // Not handed to the frame: the reference passes to the caller.
    return module;
}

ErrorValue populate_module(PyObject *module)
{
    for (FunctionRecord &record : MODULE_FUNCTIONS) {
        Result<PyObject *> function = new_module_function(record, module);
        if (!function.ok())
            return function.take_error();
        if (ErrorValue error = export_function(module, function.value()))
            return error;
    }
    return ErrorValue();
}

Result<PyObject *> new_module_function(FunctionRecord &record,
                                       PyObject *module)
{
    const char *module_name = PyModule_GetName(module);
    if (module_name == nullptr)
        return fetch_pending();
    std::string_view name_text(module_name);
    if (decode_utf8_lossy(name_text) != name_text)
        fail_contract(std::string("PyModule_GetName expected to return utf8: "
                                  "the module name is not valid UTF-8"));
    PyObject *module_name_str = new_str(name_text);

    Result<const char *> name =
        c_string(record.name, "Function name cannot contain NUL byte.");
    if (!name.ok())
        return name.take_error();
    Result<const char *> doc =
        c_string(record.doc, "Document cannot contain NUL byte.");
    if (!doc.ok())
        return doc.take_error();

    PyMethodDef *method = &record.method;
    if (method->ml_name != name.value() || method->ml_doc != doc.value()) {
        // Only a record whose texts had to be copied gets a new interpreter
        // record; like the copies, it lives as long as the process.
        method = new PyMethodDef{name.value(), record.method.ml_meth,
                                 record.flags, doc.value()};
    }
    PyObject *function =
        PyCMethod_New(method, module, module_name_str, nullptr);
    if (function == nullptr)
        return fetch_pending();
    return register_owned(function);
}

ErrorValue export_function(PyObject *module, PyObject *function)
{
    PyObject *name = PyObject_GetAttr(function, new_str("__name__"));
    if (name == nullptr)
        return fetch_pending();
    register_owned(name);
    if (!PyUnicode_Check(name))
        return type_mismatch_error(name, "PyString");
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr)
        return fetch_pending();
    std::string_view name_text(utf8, static_cast<std::size_t>(size));

    Result<PyObject *> all = ensure_all_list(module);
    if (!all.ok())
        return all.take_error();
    if (PyList_Append(all.value(), new_str(name_text)) < 0)
        fail_contract("could not append __name__ to __all__: " +
                      fetch_pending().describe());
    if (PyObject_SetAttr(module, new_str(name_text), function) < 0)
        return fetch_pending();
    return ErrorValue();
}

Result<PyObject *> ensure_all_list(PyObject *module)
{
    PyObject *attribute = new_str("__all__");
    PyObject *all = PyObject_GetAttr(module, attribute);
    if (all != nullptr) {
        register_owned(all);
        if (!PyList_Check(all))
            return type_mismatch_error(all, "PyList");
        return all;
    }
    ErrorValue lookup_error = fetch_pending();
    if (!PyErr_GivenExceptionMatches(lookup_error.exception_type(),
                                     PyExc_AttributeError))
        return lookup_error;
    // A fresh module has no __all__ yet.
    PyObject *list = register_owned(PyList_New(0));
    if (PyObject_SetAttr(module, attribute, list) < 0)
        return fetch_pending();
    return list;
}

}  // namespace quorlin
