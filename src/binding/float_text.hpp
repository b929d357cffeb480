// A float in an error message, written as Python's repr() writes it.
#pragma once

#include <string>

#include "python.hpp"

namespace quorlin {

// repr() of the value the check saw: what a user types back. "?" if the
// interpreter cannot make the text (out of memory), which is then cleared:
// the message is on its way to an exception of its own.
inline std::string float_text(float value)
{
    char *text = PyOS_double_to_string(static_cast<double>(value), 'r', 0,
                                       Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) {
        PyErr_Clear();
        return "?";
    }
    std::string copy(text);
    PyMem_Free(text);
    return copy;
}

}  // namespace quorlin
