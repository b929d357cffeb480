// Ownership rules of the module, followed by every file in src/binding:
//
// 1. Every reference the module obtains is released exactly once: handed to
//    the interpreter (as a call's result, to a call that steals it such as
//    PyTuple_SetItem, or through PyErr_Restore), or dropped with Py_DECREF /
//    release_ref.
// 2. A temporary is handed to the current CallFrame with register_owned
//    right after the call that created it. The frame owns it from then on
//    and releases it when it closes, in order of registration; code may use
//    it, borrowed, until then.
// 3. A body's result is a reference of its own (Py_INCREF on an object the
//    frame also holds), so that after the frame closes the caller holds the
//    only reference.
// 4. Argument objects are borrowed from the interpreter for the call and
//    never retained.
// 5. An ErrorValue owns what its state holds, and has exactly one owner.
//
// Per-thread state is plain data with trivial construction, so reaching it
// costs a thread-pointer-relative load and no initialisation guard; only the
// owned list's buffer has a destructor, registered the first time the buffer
// is allocated.
//
// Without the interpreter lock (free-threaded builds), what each piece of
// state relies on:
// - call_depth and the owned list are thread_local: only their own thread
//   ever reads or writes them, lock or no lock.
// - pending_releases is the one structure threads share. Its mutex is held
//   only to append one pointer or to swap the whole list out, never while
//   calling the interpreter, so a thread waiting for it never waits on a
//   thread that waits on the interpreter (a stop-the-world pause included).
//   That is why it stays a std::mutex rather than PyMutex, which 3.10 to
//   3.12 do not have and which would add nothing here. pending_dirty is set
//   after the append (release) and exchanged before the swap (acquire).
// - The Py_DECREFs of drained releases run outside the mutex, on the
//   draining thread, inside its frame: reference counts are the
//   interpreter's to make thread-safe, which free-threaded builds do.
// - The PanicException class slot (error_value.cpp) is filled by a
//   compare-and-exchange: racing threads each make a class, one is stored,
//   the others release theirs.
// - Everything else is per call, on the caller's stack, or constant after
//   initialisation (the function table, the argument tables); the failure
//   report's first-failure flag is atomic and the backtrace switch is a
//   function-local static, initialised once by the compiler's guard.
#include "call_scope.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "../failure/contract.hpp"
#include "../failure/report.hpp"

namespace quorlin {

namespace detail {

thread_local constinit ThreadState thread_state QUORLIN_FAST_TLS{};
std::atomic<bool> pending_dirty{false};

}  // namespace detail

namespace {

using detail::thread_state;
using detail::ThreadState;

constexpr std::size_t INITIAL_OWNED_ROOM = 256;

// Frees the owned list when its thread exits. Only touched when the buffer
// is first allocated, so ordinary calls never pay for its guard.
struct OwnedListReaper {
    ~OwnedListReaper()
    {
        std::free(thread_state.owned);
        thread_state.owned = nullptr;
        thread_state.owned_length = 0;
        thread_state.owned_room = 0;
        thread_state.owned_destroyed = true;
    }
};
thread_local OwnedListReaper owned_list_reaper;

// Releases requested on a thread with no frame open.
std::mutex pending_mutex;
std::vector<PyObject *> pending_releases;

}  // namespace

namespace detail {

void grow_owned(ThreadState &state)
{
    if (state.owned == nullptr)
        (void)&owned_list_reaper;  // registers its destructor for this thread
    std::size_t room =
        state.owned_room ? state.owned_room * 2 : INITIAL_OWNED_ROOM;
    void *grown = std::realloc(state.owned, room * sizeof(PyObject *));
    if (grown == nullptr)
        fail_allocation(room * sizeof(PyObject *));
    state.owned = static_cast<PyObject **>(grown);
    state.owned_room = room;
}

void apply_pending_releases()
{
    std::vector<PyObject *> due;
    {
        std::lock_guard<std::mutex> lock(pending_mutex);
        due.swap(pending_releases);
    }
    // Outside the lock: a release may run arbitrary Python code.
    for (PyObject *object : due)
        Py_DECREF(object);
}

void release_detached(ThreadState &state, std::size_t mark)
{
    // Detach first: releasing can run Python code that calls back into the
    // module and registers into the same list.
    std::size_t count = state.owned_length - mark;
    PyObject *local[16];
    PyObject **detached = local;
    if (count > 16) [[unlikely]] {
        detached =
            static_cast<PyObject **>(std::malloc(count * sizeof(PyObject *)));
        if (detached == nullptr)
            fail_allocation(count * sizeof(PyObject *));
    }
    std::memcpy(detached, state.owned + mark, count * sizeof(PyObject *));
    state.owned_length = mark;
    // The depth is still raised, so releases caused by deallocation happen
    // at once rather than being queued.
    for (std::size_t i = 0; i < count; ++i)
        Py_DECREF(detached[i]);
    if (detached != local)
        std::free(detached);
}

}  // namespace detail

void release_ref(PyObject *object) noexcept
{
    if (thread_state.call_depth > 0) [[likely]] {
        Py_DECREF(object);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(pending_mutex);
        pending_releases.push_back(object);
    }
    detail::pending_dirty.store(true, std::memory_order_release);
}

void api_call_failed(SourceLocation where)
{
    PyErr_Print();
    fail_contract("Python API call failed", where);
}

std::size_t pending_release_count() noexcept
{
    std::lock_guard<std::mutex> lock(pending_mutex);
    return pending_releases.size();
}

}  // namespace quorlin
