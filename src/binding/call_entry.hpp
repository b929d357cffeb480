// The one shape of every entry from the interpreter: open the call scope,
// run the body, turn any failure into the pending exception, close the
// scope, return. Nothing escapes an entry.
#pragma once

#include <new>

#include "../failure/contract.hpp"
#include "../failure/report.hpp"
#include "call_scope.hpp"
#include "error_value.hpp"
#include "python.hpp"

namespace quorlin {

// Settles a failed call: the error becomes the interpreter's pending
// exception (or, if the interpreter cannot allocate it, its MemoryError).
// Only a broken internal check while restoring, which no input reaches,
// cannot be reported to Python and stops the process.
[[gnu::cold]] void restore_failed_call(ErrorValue error) noexcept;

// Runs `body` (returning Result<PyObject *>) inside a CallFrame. Returns a
// new reference, or null with an exception pending. Always inlined, so each
// call entry is one function, the unit the instruction budgets count.
template <class Body>
[[gnu::always_inline]] inline PyObject *run_call(Body &&body) noexcept
{
    CallFrame frame;
    ErrorValue error;
    try {
        Result<PyObject *> outcome = body();
        if (outcome.ok()) [[likely]]
            return outcome.value();
        error = outcome.take_error();
    } catch (const ContractFailure &failure) {
        error = error_from_failure(failure);
    } catch (const std::bad_alloc &) {
        fail_fatally("memory allocation failed");
    } catch (...) {
        error = error_from_unknown_failure();
    }
    // The frame closes after the exception is restored, so what it holds is
    // still alive while the exception is built.
    restore_failed_call(std::move(error));
    return nullptr;
}

using FunctionBody = Result<PyObject *> (*)(PyObject *const *args,
                                            Py_ssize_t nargs,
                                            PyObject *kwnames);

// The call entry of a module function, with the interpreter's fast calling
// convention with keywords. The bound object (the module) is not used.
template <FunctionBody Body>
PyObject *call_entry(PyObject * /*module*/, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames) noexcept
{
    return run_call([&] { return Body(args, nargs, kwnames); });
}

}  // namespace quorlin
