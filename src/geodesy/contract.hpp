// Contract failures: how a broken internal check abandons a computation.
//
// A failed check throws `ContractFailure`, which unwinds (running every
// destructor on the way) to the nearest call entry; the entry turns it into
// Python's PanicException. The failure report goes to the process's stderr
// at the point of failure, before anything is unwound, so that it names the
// check's own source location.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>
#include <string_view>

namespace quorlin {

class ContractFailure {
public:
    // A failed check: the text is static and outlives the failure.
    ContractFailure(const char *static_text, std::source_location where)
        : static_text_(static_text), where_(where)
    {
    }
    // A failure whose text was composed at run time.
    ContractFailure(std::string owned_text, std::source_location where)
        : static_text_(nullptr), owned_text_(std::move(owned_text)),
          where_(where)
    {
    }

    std::string_view message() const noexcept
    {
        return static_text_ ? std::string_view(static_text_)
                            : std::string_view(owned_text_);
    }
    bool is_static() const noexcept { return static_text_ != nullptr; }
    const std::source_location &where() const noexcept { return where_; }

private:
    const char *static_text_;
    std::string owned_text_;
    std::source_location where_;
};

// Report the failure on stderr, then throw it.
[[noreturn]] void fail_contract(
    const char *static_text,
    std::source_location where = std::source_location::current());
[[noreturn]] void fail_contract(
    std::string owned_text,
    std::source_location where = std::source_location::current());

// Throw without a report: used when a PanicException raised by Python code
// is resumed, which has already been printed by the interpreter.
[[noreturn]] void resume_contract_failure(std::string owned_text);

// Write "thread '<unnamed>' panicked at '<message>', <file>:<line>:<col>"
// and, on the first failure of the process, the backtrace hint or a
// backtrace. Exposed for the native tests.
void report_contract_failure(std::string_view message,
                             const std::source_location &where) noexcept;

// Out of memory in the module's own allocations: nothing sensible can be
// raised, so say how much was asked for and stop.
[[noreturn]] void fail_allocation(std::size_t size) noexcept;

// The process cannot go on (a failure that could not be turned into a
// Python exception). Writes the notice and aborts.
[[noreturn]] void fail_fatally(std::string_view notice) noexcept;

}  // namespace quorlin

// The module's check: a failure carries "assertion failed: <text>", and
// Python sees exactly that. The text is normally the condition itself; it is
// given separately where the source must differ from what users are shown
// (a float literal written with its `f`).
#define QUORLIN_CHECK_AS(condition, text)                                 \
    do {                                                                  \
        if (!(condition)) [[unlikely]]                                    \
            ::quorlin::fail_contract("assertion failed: " text);          \
    } while (0)
#define QUORLIN_CHECK(condition) QUORLIN_CHECK_AS(condition, #condition)
