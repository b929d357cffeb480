// Where a check failed: file, line and column of the call site.
//
// std::source_location where the compiler and library provide it; clang 14
// builds it with neither libstdc++ 12 nor libc++ 14, so there the same
// three builtins it is made from (GCC and clang both have them) fill an
// equivalent of our own. The report lines are the same either way.
#pragma once

#include <cstdint>
#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace quorlin {

#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
class SourceLocation {
  public:
    static constexpr SourceLocation
    current(const char *file = __builtin_FILE(),
            std::uint_least32_t line = __builtin_LINE(),
            std::uint_least32_t column = __builtin_COLUMN()) noexcept
    {
        SourceLocation where;
        where.file_ = file;
        where.line_ = line;
        where.column_ = column;
        return where;
    }
    constexpr const char *file_name() const noexcept { return file_; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }
    constexpr std::uint_least32_t column() const noexcept { return column_; }

  private:
    const char *file_ = "";
    std::uint_least32_t line_ = 0;
    std::uint_least32_t column_ = 0;
};
#endif

}  // namespace quorlin
