// The few calls that differ between platforms, each with a fallback.
#pragma once

#include <string_view>

namespace quorlin {

// Writes all of `text` to the process's standard error (file descriptor 2),
// whatever Python has done to sys.stderr, without allocating. Gives up
// quietly if the stream is closed.
void write_stderr(std::string_view text) noexcept;

// Writes the calling thread's native stack to standard error. False where
// the C library has no backtrace (musl, Windows): nothing is written.
bool write_backtrace() noexcept;

}  // namespace quorlin
