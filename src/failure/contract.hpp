// Contract failures: how a broken internal check abandons a computation.
//
// A failed check throws `ContractFailure`, which unwinds (running every
// destructor on the way) to the nearest call entry; the entry turns it into
// Python's PanicException. The failure report goes to the process's stderr
// at the point of failure, before anything is unwound, so that it names the
// check's own source location.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "source_location.hpp"

namespace quorlin {

class ContractFailure {
  public:
    // A failed check: the text is static and outlives the failure.
    ContractFailure(const char *static_text, SourceLocation where)
        : static_text_(static_text), where_(where)
    {
    }
    // A failure whose text was composed at run time.
    ContractFailure(std::string owned_text, SourceLocation where)
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
    const SourceLocation &where() const noexcept { return where_; }

  private:
    const char *static_text_;
    std::string owned_text_;
    SourceLocation where_;
};

// Report the failure on stderr, then throw it.
[[noreturn]] void
fail_contract(const char *static_text,
              SourceLocation where = SourceLocation::current());
[[noreturn]] void
fail_contract(std::string owned_text,
              SourceLocation where = SourceLocation::current());

// Throw without a report: used when a PanicException raised by Python code
// is resumed, which has already been printed by the interpreter.
[[noreturn]] void resume_contract_failure(std::string owned_text);

}  // namespace quorlin

// The module's check: a failure carries "assertion failed: <text>", and
// Python sees exactly that. The text is normally the condition itself; it is
// given separately where the source must differ from what users are shown
// (a float literal written with its `f`).
#define QUORLIN_CHECK_AS(condition, text)                                     \
    do {                                                                      \
        if (!(condition)) [[unlikely]]                                        \
            ::quorlin::fail_contract("assertion failed: " text);              \
    } while (0)
#define QUORLIN_CHECK(condition) QUORLIN_CHECK_AS(condition, #condition)
