// The per-call scope and the module's reference bookkeeping.
#pragma once

#include <cstddef>
#include <source_location>

#include "python.hpp"

namespace quorlin {

// Opened by every call entry before its body runs and closed after the
// outcome is settled. References handed to register_owned while it is the
// innermost frame are released when it closes, oldest first.
class CallFrame {
public:
    CallFrame() noexcept;
    ~CallFrame();
    CallFrame(const CallFrame &) = delete;
    CallFrame &operator=(const CallFrame &) = delete;

private:
    // Length of the thread's owned list at opening; SIZE_MAX when the list
    // has been destroyed at thread exit.
    std::size_t mark_;
};

// Hand a new reference, just returned by an object-creating call, to the
// innermost frame; returns it (borrowed from now on). A null reference
// means the interpreter failed where it must not: api_call_failed.
PyObject *register_owned(
    PyObject *object,
    std::source_location where = std::source_location::current());

// Release one reference: at once on a thread inside a frame, otherwise
// queued until the next frame opens on any thread.
void release_ref(PyObject *object) noexcept;

// An interpreter call returned null where it must not: print the pending
// error, then fail with "Python API call failed".
[[noreturn]] void api_call_failed(
    std::source_location where = std::source_location::current());

// Number of frames open on this thread (for tests and assertions).
std::size_t call_depth() noexcept;

// Number of references waiting in the process-wide release queue.
std::size_t pending_release_count() noexcept;

}  // namespace quorlin
