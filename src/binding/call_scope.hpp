// The per-call scope and the module's reference bookkeeping. The ownership
// rules are written at the top of call_scope.cpp.
#pragma once

#include "../failure/source_location.hpp"
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "python.hpp"

namespace quorlin {

namespace detail {

// Per-thread state, plain data so that reaching it is one thread-pointer
// relative access with no initialisation guard.
struct ThreadState {
    std::size_t call_depth;  // frames open on this thread
    PyObject **owned;        // owned_refs: each entry owns one reference
    std::size_t owned_length;
    std::size_t owned_room;
    bool owned_destroyed;  // set at thread exit; nothing is tracked after
};

// constinit: zero-initialised, so no access runs an initialisation guard or
// a TLS wrapper call. The initial-exec model makes each access one load
// relative to the thread pointer instead of a __tls_get_addr call, which
// the module, loaded with dlopen, would otherwise pay: 6-9 % more
// instructions per call (callgrind, CPython 3.11).
#if !defined(QUORLIN_FAST_TLS) && defined(__GNUC__)
#define QUORLIN_FAST_TLS [[gnu::tls_model("initial-exec")]]
#elif !defined(QUORLIN_FAST_TLS)
#define QUORLIN_FAST_TLS
#endif
extern thread_local constinit ThreadState thread_state QUORLIN_FAST_TLS;
// Set when a release has been queued by a thread with no frame open.
extern std::atomic<bool> pending_dirty;

inline constexpr std::size_t NO_MARK = SIZE_MAX;

void apply_pending_releases();
void grow_owned(ThreadState &state);
void release_detached(ThreadState &state, std::size_t mark);

}  // namespace detail

// Opened by every call entry before its body runs and closed after the
// outcome is settled. References handed to register_owned while it is the
// innermost frame are released when it closes, oldest first.
class CallFrame {
  public:
    CallFrame() noexcept
    {
        detail::ThreadState &state = detail::thread_state;
        ++state.call_depth;
        // The plain load keeps the common entry free of a locked
        // instruction; the exchange still decides who drains the queue.
        if (detail::pending_dirty.load(std::memory_order_relaxed))
            [[unlikely]] {
            if (detail::pending_dirty.exchange(false,
                                               std::memory_order_acquire))
                detail::apply_pending_releases();
        }
        mark_ = state.owned_destroyed ? detail::NO_MARK : state.owned_length;
    }
    ~CallFrame()
    {
        detail::ThreadState &state = detail::thread_state;
        if (mark_ != detail::NO_MARK && state.owned_length > mark_) {
            std::size_t count = state.owned_length - mark_;
            if (count <= SMALL_RELEASE) [[likely]] {
                // Detach first: releasing can run Python code that calls
                // back into the module and registers into the same list.
                PyObject *detached[SMALL_RELEASE];
                for (std::size_t i = 0; i < count; ++i)
                    detached[i] = state.owned[mark_ + i];
                state.owned_length = mark_;
                // The depth is still raised, so releases caused by
                // deallocation happen at once rather than being queued.
                for (std::size_t i = 0; i < count; ++i)
                    Py_DECREF(detached[i]);
            } else {
                detail::release_detached(state, mark_);
            }
        }
        --state.call_depth;
    }
    CallFrame(const CallFrame &) = delete;
    CallFrame &operator=(const CallFrame &) = delete;

  private:
    // A successful call registers at most four floats.
    static constexpr std::size_t SMALL_RELEASE = 4;
    // Length of the thread's owned list at opening; NO_MARK when the list
    // has been destroyed at thread exit.
    std::size_t mark_;
};

// An interpreter call returned null where it must not: print the pending
// error, then fail with "Python API call failed".
[[noreturn]] void
api_call_failed(SourceLocation where = SourceLocation::current());

// Hand a new reference, just returned by an object-creating call, to the
// innermost frame; returns it (borrowed from now on). A null reference
// means the interpreter failed where it must not: api_call_failed.
inline PyObject *
register_owned(PyObject *object,
               SourceLocation where = SourceLocation::current())
{
    if (object == nullptr) [[unlikely]]
        api_call_failed(where);
    detail::ThreadState &state = detail::thread_state;
    if (state.owned_length == state.owned_room) [[unlikely]] {
        if (state.owned_destroyed)
            return object;  // thread exit: left untracked
        detail::grow_owned(state);
    }
    state.owned[state.owned_length++] = object;
    return object;
}

// Release one reference: at once on a thread inside a frame, otherwise
// queued until the next frame opens on any thread.
void release_ref(PyObject *object) noexcept;

// Number of frames open on this thread.
inline std::size_t call_depth() noexcept
{
    return detail::thread_state.call_depth;
}

// Number of references waiting in the process-wide release queue.
std::size_t pending_release_count() noexcept;

}  // namespace quorlin
