#include "call_entry.hpp"

namespace quorlin {

void restore_failed_call(ErrorValue error) noexcept
{
    try {
        std::move(error).restore();
    } catch (...) {
        fail_fatally("a native failure could not be raised as a Python "
                     "exception");
    }
}

}  // namespace quorlin
