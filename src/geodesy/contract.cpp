#include "contract.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <unistd.h>

namespace quorlin {

namespace {

// Written with write(2) so that the report reaches the process's own stderr
// whatever Python has done to sys.stderr, and never allocates.
void write_all(std::string_view text) noexcept
{
    while (!text.empty()) {
        ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void write_backtrace() noexcept
{
    void *frames[64];
    int depth = ::backtrace(frames, 64);
    write_all("stack backtrace:\n");
    ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
}

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

std::atomic<bool> failure_seen{false};

}  // namespace

void report_contract_failure(std::string_view message,
                             const std::source_location &where) noexcept
{
    char position[48];
    std::snprintf(position, sizeof position, ":%u:%u\n",
                  static_cast<unsigned>(where.line()),
                  static_cast<unsigned>(where.column()));
    // The module starts no threads, so no thread it runs on has a name.
    write_all("thread '<unnamed>' panicked at '");
    write_all(message);
    write_all("', ");
    write_all(where.file_name());
    write_all(position);

    bool first = !failure_seen.exchange(true);
    if (backtrace_requested())
        write_backtrace();
    else if (first)
        write_all("note: set the environment variable QUORLIN_BACKTRACE=1 "
                  "to print a stack backtrace\n");
}

void fail_contract(const char *static_text, std::source_location where)
{
    report_contract_failure(static_text, where);
    throw ContractFailure(static_text, where);
}

void fail_contract(std::string owned_text, std::source_location where)
{
    report_contract_failure(owned_text, where);
    throw ContractFailure(std::move(owned_text), where);
}

void resume_contract_failure(std::string owned_text)
{
    throw ContractFailure(std::move(owned_text),
                          std::source_location::current());
}

void fail_allocation(std::size_t size) noexcept
{
    char line[96];
    std::snprintf(line, sizeof line,
                  "quorlin: memory allocation of %zu bytes failed\n", size);
    write_all(line);
    std::abort();
}

void fail_fatally(std::string_view notice) noexcept
{
    write_backtrace();
    write_all("quorlin: ");
    write_all(notice);
    write_all("; aborting\n");
    std::abort();
}

}  // namespace quorlin
