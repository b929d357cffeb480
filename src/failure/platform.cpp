#include "platform.hpp"

#include <cstddef>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define QUORLIN_HAS_BACKTRACE 1
#endif

namespace quorlin {

void write_stderr(std::string_view text) noexcept
{
    while (!text.empty()) {
#if defined(_WIN32)
        // _write takes an unsigned int count.
        const unsigned chunk = text.size() > 0x7fffffffu
                                   ? 0x7fffffffu
                                   : static_cast<unsigned>(text.size());
        const int written = ::_write(2, text.data(), chunk);
#else
        const auto written = ::write(STDERR_FILENO, text.data(), text.size());
#endif
        if (written <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

bool write_backtrace() noexcept
{
#if defined(QUORLIN_HAS_BACKTRACE)
    void *frames[64];
    const int depth = ::backtrace(frames, 64);
    write_stderr("stack backtrace:\n");
    ::backtrace_symbols_fd(frames, depth, 2);
    return true;
#else
    return false;
#endif
}

}  // namespace quorlin
