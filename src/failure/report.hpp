// What the module writes to standard error when something fails, and the
// two ways it stops the process. Nothing here allocates.
#pragma once

#include <cstddef>
#include <string_view>

#include "source_location.hpp"

namespace quorlin {

// Writes "thread '<unnamed>' panicked at '<message>', <file>:<line>:<col>"
// and, on the first failure of the process, the hint about the backtrace
// switch, or the backtrace itself when QUORLIN_BACKTRACE asks for one.
void report_contract_failure(std::string_view message,
                             const SourceLocation &where) noexcept;

// Out of memory in the module's own allocations: nothing sensible can be
// raised, so say how much was asked for and stop.
[[noreturn]] void fail_allocation(std::size_t size) noexcept;

// The process cannot go on (a failure that could not be turned into a
// Python exception). Writes a backtrace and the notice, and aborts.
[[noreturn]] void fail_fatally(std::string_view notice) noexcept;

}  // namespace quorlin
