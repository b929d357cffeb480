#include "report.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.hpp"

namespace quorlin {

namespace {

// QUORLIN_BACKTRACE is read once, at the first failure: unset, empty or "0"
// means no backtrace.
bool backtrace_requested() noexcept
{
    static const bool requested = [] {
        const char *value = std::getenv("QUORLIN_BACKTRACE");
        return value != nullptr && value[0] != '\0' &&
               std::strcmp(value, "0") != 0;
    }();
    return requested;
}

void write_backtrace_or_say_why() noexcept
{
    if (!write_backtrace())
        write_stderr("stack backtrace: not available on this platform\n");
}

std::atomic<bool> failure_seen{false};

}  // namespace

void report_contract_failure(std::string_view message,
                             const SourceLocation &where) noexcept
{
    char position[48];
    std::snprintf(position, sizeof position, ":%u:%u\n",
                  static_cast<unsigned>(where.line()),
                  static_cast<unsigned>(where.column()));
    // The module starts no threads, so no thread it runs on has a name.
    write_stderr("thread '<unnamed>' panicked at '");
    write_stderr(message);
    write_stderr("', ");
    write_stderr(where.file_name());
    write_stderr(position);

    bool first = !failure_seen.exchange(true);
    if (backtrace_requested())
        write_backtrace_or_say_why();
    else if (first)
        write_stderr("note: set the environment variable QUORLIN_BACKTRACE=1 "
                     "to print a stack backtrace\n");
}

void fail_allocation(std::size_t size) noexcept
{
    char line[96];
    std::snprintf(line, sizeof line,
                  "quorlin: memory allocation of %zu bytes failed\n", size);
    write_stderr(line);
    std::abort();
}

void fail_fatally(std::string_view notice) noexcept
{
    write_backtrace_or_say_why();
    write_stderr("quorlin: ");
    write_stderr(notice);
    write_stderr("; aborting\n");
    std::abort();
}

}  // namespace quorlin
