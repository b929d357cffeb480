// Binding a fast call's positional and keyword arguments to parameters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "error_value.hpp"
#include "python.hpp"

namespace quorlin {

// A parameter's name, with its first eight bytes packed into one word so
// that a keyword is matched with a word compare rather than byte by byte.
struct ParameterName {
    std::string_view text;
    std::uint64_t head;

    constexpr ParameterName(std::string_view name)
        : text(name), head(name_head(name.data(), name.size()))
    {
    }
    template <std::size_t N>
    constexpr ParameterName(const char (&name)[N])
        : ParameterName(std::string_view(name, N - 1))
    {
    }
    operator std::string_view() const noexcept { return text; }

    static constexpr std::uint64_t name_head(const char *data,
                                             std::size_t size) noexcept
    {
        std::uint64_t head = 0;
        for (std::size_t i = 0; i < size && i < 8; ++i)
            head |= std::uint64_t{static_cast<unsigned char>(data[i])}
                    << (8 * i);
        return head;
    }
};

struct KeywordOnlyParameter {
    ParameterName name;
    bool required;
};

// How one function takes its arguments. Constant for the life of the
// process. Names are UTF-8 and compared by length, then bytes.
struct ArgumentTable {
    std::string_view owner_name;  // empty for module functions
    std::string_view python_name;
    std::span<const ParameterName> parameter_names;  // positional order
    std::size_t positional_only_count;
    std::size_t required_count;
    std::span<const KeywordOnlyParameter> keyword_only;

    constexpr std::size_t slot_count() const noexcept
    {
        return parameter_names.size() + keyword_only.size();
    }
};

// Fill `slots` (all null on entry, one per parameter, then one per
// keyword-only parameter) with borrowed references to the arguments. On
// success every required slot is filled and the returned ErrorValue is
// empty; otherwise it is the TypeError the call raises.
ErrorValue bind_arguments_in_full(const ArgumentTable &table,
                                  PyObject *const *args, Py_ssize_t nargs,
                                  PyObject *kwnames, PyObject **slots);

inline ErrorValue bind_arguments(const ArgumentTable &table,
                                 PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames, PyObject **slots,
                                 std::size_t slot_count)
{
    // Every parameter given positionally and nothing else: the common call,
    // and one the full procedure would bind the same way.
    if (kwnames == nullptr &&
        static_cast<std::size_t>(nargs) == table.parameter_names.size() &&
        slot_count == table.parameter_names.size()) [[likely]] {
        for (std::size_t i = 0; i < slot_count; ++i)
            slots[i] = args[i];
        return ErrorValue();
    }
    return bind_arguments_in_full(table, args, nargs, kwnames, slots);
}

// "<owner>.<name>()" or "<name>()": every binding message begins with it.
std::string display_name(const ArgumentTable &table);

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void append_name_list(std::string &message,
                      std::span<const std::string_view> names);

// TypeError "'<type qualname>' object cannot be converted to '<target>'".
ErrorValue type_mismatch_error(PyObject *object, std::string_view target);

// str(object) as UTF-8, with U+FFFD for whatever cannot be encoded. A
// MemoryError from the interpreter is returned; any other failure to make
// the text is a formatting failure.
Result<std::string> lossy_text(PyObject *object);

// Decode UTF-8, replacing each maximal ill-formed subpart with U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

// A message could not be composed: the call ends with a PanicException.
[[noreturn]] void fail_formatting();

// The interpreter ran out of memory while a message was being composed:
// that MemoryError is what the call raises, not a formatting failure.
bool is_memory_error(ErrorValue &error);

}  // namespace quorlin
